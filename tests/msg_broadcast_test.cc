#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "broadcast/msg_broadcast.h"
#include "support/event_requests.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"

namespace {

MsgBroEntry Event(const char *task, uint32_t msgId, int32_t dataLen, const void *data) {
    MsgBroEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    std::memcpy(entry.taskName, task, strnlen(task, sizeof(entry.taskName)));
    entry.msgId = msgId;
    entry.dataLen = dataLen;
    entry.data = const_cast<void *>(data);
    return entry;
}

uint32_t Read32(const MsgHead &head, size_t offset) {
    uint32_t value;
    std::memcpy(&value, static_cast<const uint8_t *>(head.data) + offset, sizeof(value));
    return value;
}

void FreePayload(MsgHead &head) {
    OSMemTypeFreeMon(head.data, 0, 0, __LINE__, "test");
}

using BroadcastPacking = MemBalanceTest;

TEST_F(BroadcastPacking, PacksBlocksBackToBackWithTheirData) {
    MsgHead head = RequestHead(0, "pp", "sender");
    MsgBroEntry entries[] = {Event("pt", 1, 10, "0123456789"), Event("", 2, 0, nullptr), Event("", 3, -4, nullptr)};
    ASSERT_EQ(MsgSetBroadcastData(&head, entries, 2, "sender"), OS_MSG_OK);
    ASSERT_EQ(head.dataLen, 82U);
    const uint8_t *bytes = static_cast<const uint8_t *>(head.data);
    EXPECT_EQ(Read32(head, 0), 2U);
    EXPECT_EQ(Read32(head, 4), 32U);
    EXPECT_EQ(std::memcmp(bytes + 8, &entries[0], 32), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(bytes) + 40, 10), "0123456789");
    EXPECT_STREQ(reinterpret_cast<const char *>(bytes) + 50, "sender");
    EXPECT_EQ(Read32(head, 66), 2U);
    FreePayload(head);

    struct {
        const char *defaultTask;
        const char *packed;
    } defaults[] = {{nullptr, ""}, {"0123456789abcdef", ""}, {"other", "other"}};
    for (const auto &d : defaults) {
        ASSERT_EQ(MsgSetBroadcastData(&head, &entries[1], 2, d.defaultTask), OS_MSG_OK);
        EXPECT_EQ(head.dataLen, 8U + 32U + 32U); // a negative dataLen adds no bytes
        EXPECT_STREQ(static_cast<const char *>(head.data) + 8, d.packed);
        FreePayload(head);
    }

    ASSERT_EQ(MsgSetBroadcastData(&head, nullptr, 0, nullptr), OS_MSG_OK);
    EXPECT_EQ(head.dataLen, 8U);
    EXPECT_EQ(Read32(head, 0), 0U);
    EXPECT_EQ(Read32(head, 4), 32U);
    FreePayload(head);
}

TEST_F(BroadcastPacking, RefusesBeforeAllocating) {
    LogCapture log;
    static const char small[8] = {};
    const int32_t fits = static_cast<int32_t>(OS_MSG_MAX_MSG_SIZE - 168U - 8U - 32U);
    struct {
        std::vector<MsgBroEntry> entries;
        uint32_t result;
        const char *logged;
    } cases[] = {
        {{Event("t", 1, 2, small), Event("t", 1, 5, nullptr)},
         OS_MSG_ERR_INVALID_PARAM,
         "]:entry[1] dataLen = 5 without data."},
        {{Event("t", 1, fits + 1, small)}, OS_MSG_ERR_OVERSIZE, "]:msg oversize"},
        // Lengths whose sum wraps a 32-bit total to a small value.
        {{Event("t", 1, INT32_MAX, small), Event("t", 1, INT32_MAX, small), Event("t", 1, 2, small)},
         OS_MSG_ERR_OVERSIZE,
         "]:msg oversize"},
    };
    for (auto &c : cases) {
        log.Clear();
        MsgHead head = RequestHead(0, "pp", "pt");
        MsgHead before = head;
        OSMemSetFailCountdown(1);
        EXPECT_EQ(MsgSetBroadcastData(&head, c.entries.data(), static_cast<uint32_t>(c.entries.size()), "pt"),
                  c.result);
        EXPECT_EQ(OSMemGetFailCountdown(), 1) << "allocated before refusing: " << c.logged;
        OSMemSetFailCountdown(-1);
        EXPECT_EQ(std::memcmp(&head, &before, sizeof(head)), 0);
        EXPECT_EQ(log.Count(c.logged, OS_LOG_ERROR), 1U) << c.logged;
    }

    std::vector<char> largest(static_cast<size_t>(fits), 'x');
    MsgBroEntry entry = Event("t", 1, fits, largest.data());
    MsgHead head = RequestHead(0, "pp", "pt");
    ASSERT_EQ(MsgSetBroadcastData(&head, &entry, 1, nullptr), OS_MSG_OK);
    EXPECT_EQ(head.dataLen, OS_MSG_MAX_DATA_LEN);
    EXPECT_EQ(static_cast<const char *>(head.data)[OS_MSG_MAX_DATA_LEN - 1], 'x');
    FreePayload(head);
}

TEST_F(BroadcastPacking, AllocationFailureLeavesTheHeadUnchanged) {
    LogCapture log;
    MsgBroEntry entries[] = {Event("pt", 1, 3, "abc"), Event("", 2, 0, nullptr)};
    MsgHead head = RequestHead(0, "pp", "pt");
    const MsgHead before = head;
    SweepAllocFailures([&] { return MsgSetBroadcastData(&head, entries, 2, "pt"); },
                       [&](int n, bool failed, uint32_t result) {
                           EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK) << n;
                           if (failed) {
                               EXPECT_EQ(std::memcmp(&head, &before, sizeof(head)), 0) << n;
                           } else {
                               FreePayload(head);
                           }
                       });
    EXPECT_EQ(log.Count("[MsgSetBroadcastData]"), 1U);
    EXPECT_EQ(log.Count("]:malloc error.", OS_LOG_ERROR), 1U);
}

class Broadcast : public MemBalanceTest {
protected:
    void SetUp() override {
        MemBalanceTest::SetUp();
        ASSERT_EQ(MsgCreateSubscribeTable(128), OS_MSG_OK);
        InstallRecorder();
        ClearDeliveries();
    }
    void TearDown() override {
        MsgDestroySubscribeTable();
        MemBalanceTest::TearDown();
    }
    void Subscribe(const MsgHead &record) { ASSERT_EQ(MsgAddSubscribe(&record), OS_MSG_OK); }
    void Subscribe(uint32_t msgId, const char *subTask, const char *pubTask = "pt") {
        Subscribe(Subscriber(0, "subp", subTask, msgId, 0, "pubp", pubTask));
    }
    // Hands over an exactly sized copy, so any read past it is caught.
    uint32_t Recv(const std::vector<uint8_t> &bytes) {
        payloadSize_ = bytes.size();
        payload_.reset(new uint8_t[bytes.size()]);
        std::memcpy(payload_.get(), bytes.data(), bytes.size());
        return MsgRecvBroadcastData(&pub_, payload_.get(), static_cast<uint32_t>(bytes.size()));
    }
    bool InsidePayload(const Delivery &d) const {
        const uint8_t *p = static_cast<const uint8_t *>(d.dataPtr);
        return p >= payload_.get() && p + d.head.dataLen <= payload_.get() + payloadSize_;
    }
    MsgHead pub_ = RequestHead(0, "pubp", "ptask");
    std::unique_ptr<uint8_t[]> payload_;
    size_t payloadSize_ = 0;
};

TEST_F(Broadcast, DeliversOncePerMatchingSubscriberWithDataIntact) {
    Subscribe(Subscriber(0, "subA", "ta", 100, 0, "pubp", "pt"));
    Subscribe(Subscriber(0, "subB", "tb", 100, 0, "otherproc", "pt")); // publisher process is not compared
    Subscribe(Subscriber(0, "subC", "tc", 100, 0, "pubp", "pu"));
    Subscribe(Subscriber(0, "subD", "td", 100, 1, "pubp", "pt"));
    Subscribe(Subscriber(2, "subE", "te", 100, 0, "pubp", "pt")); // subscriber on another CPU
    pub_.msgKind = 1;
    pub_.mscBlock = 0x77;
    pub_.reserved0 = 5;
    MsgBroEntry entry = Event("", 100, 5, "hello");
    MsgHead req = pub_;
    ASSERT_EQ(MsgSetBroadcastData(&req, &entry, 1, "pt"), OS_MSG_OK);
    std::vector<uint8_t> bytes(static_cast<uint8_t *>(req.data), static_cast<uint8_t *>(req.data) + req.dataLen);
    FreePayload(req);

    ASSERT_EQ(Recv(bytes), OS_MSG_OK);
    std::vector<Delivery> got = Deliveries();
    ASSERT_EQ(got.size(), 3U);
    const char *to[][2] = {{"subA", "ta"}, {"subB", "tb"}, {"subE", "te"}};
    for (size_t i = 0; i < got.size(); ++i) {
        MsgHead expected;
        std::memset(&expected, 0, sizeof(expected));
        expected.sendUid = pub_.sendUid;
        expected.sendPid = pub_.sendPid;
        SetName(expected.sendProcName, "pubp");
        SetName(expected.sendTaskName, "pt");
        expected.msgId = 100;
        expected.recvCpuId = i == 2 ? 2U : 0U;
        SetName(expected.recvProcName, to[i][0]);
        SetName(expected.recvTaskName, to[i][1]);
        expected.dataLen = 5;
        expected.data = got[i].head.data;
        EXPECT_EQ(std::memcmp(&got[i].head, &expected, sizeof(expected)), 0) << i;
        EXPECT_EQ(got[i].data, "hello");
        EXPECT_TRUE(InsidePayload(got[i]));
    }
}

TEST_F(Broadcast, ResultIsTheLastEventsResult) {
    LogCapture log;
    Subscribe(1, "s1");
    Subscribe(3, "s3");
    EXPECT_EQ(Recv(BroRequest().Block("pt", 1, 3, "abc").Block("pt", 2, 0).Block("pt", 3, 2, "xy").Bytes()), OS_MSG_OK);
    std::vector<Delivery> got = Deliveries();
    ASSERT_EQ(got.size(), 2U);
    EXPECT_EQ(got[0].data, "abc");
    EXPECT_STREQ(got[1].head.recvTaskName, "s3");
    EXPECT_EQ(got[1].data, "xy");
    EXPECT_EQ(log.Count("]:hash not found [2].", OS_LOG_WARN), 1U);

    // A publisher task name without room for its terminator fails its event.
    const char *full = "0123456789abcdef";
    EXPECT_EQ(Recv(BroRequest().Block("pt", 1, 0).Block(full, 3, 0).Bytes()), OS_MSG_ERR_FAIL);
    EXPECT_EQ(Recv(BroRequest().Block(full, 3, 0).Block("pt", 1, 0).Bytes()), OS_MSG_OK);
    EXPECT_EQ(Deliveries().size(), 4U);
    EXPECT_EQ(log.Count("]:MsgBroadcastEvent error ret = -2147352562.", OS_LOG_ERROR), 2U);
    EXPECT_EQ(log.Count("]:memcpy error.", OS_LOG_ERROR), 2U);
}

TEST_F(Broadcast, StopsAtTheFirstBlockThatRunsPastThePayload) {
    LogCapture log;
    Subscribe(1, "s1");
    EXPECT_EQ(Recv(BroRequest().Block("pt", 1, 12, "twelve bytes").Bytes(2)), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(Deliveries().size(), 1U);
    EXPECT_EQ(log.Count("[MsgDealBroadcastInner]"), 1U);
    EXPECT_EQ(log.Count("]:dataLen[52] not match dataSize[84].", OS_LOG_ERROR), 1U);

    EXPECT_EQ(Recv(BroRequest().Block("pt", 1, 100, "short").Bytes()), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("]:dataLen[45] not match dataSize[140].", OS_LOG_ERROR), 1U);
    std::vector<uint8_t> hugeBlock = BroRequest(28).Block("pt", 1, 0).Bytes();
    hugeBlock[4] = hugeBlock[5] = hugeBlock[6] = hugeBlock[7] = 0xFF;
    EXPECT_EQ(Recv(hugeBlock), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("]:dataLen[36] not match dataSize[4294967303].", OS_LOG_ERROR), 1U);
    EXPECT_EQ(Deliveries().size(), 1U);
}

TEST_F(Broadcast, ChecksTheRequestHeadAndAcceptsAnyBlockSizeFrom28) {
    LogCapture log;
    Subscribe(1, "s1");
    std::vector<uint8_t> small = BroRequest(28).Block("pt", 1, 0).Bytes();
    EXPECT_EQ(Recv(std::vector<uint8_t>(small.begin(), small.end() - 1)), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("]:wrong dataLen = 35.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(Recv(BroRequest(28).Block("pt", 1, 0).Bytes(0)), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("]:wrong dataNum = 0.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(Recv(BroRequest(27).Block("pt", 1, 0).Block("pt", 1, 0).Bytes()), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("]:wrong blocksize = 27.", OS_LOG_ERROR), 1U);
    EXPECT_TRUE(Deliveries().empty());

    for (uint32_t blockSize : {28U, 40U}) {
        ClearDeliveries();
        EXPECT_EQ(Recv(BroRequest(blockSize).Block("pt", 1, 4, "abcd").Block("pt", 1, 2, "ef").Bytes()), OS_MSG_OK);
        std::vector<Delivery> got = Deliveries();
        ASSERT_EQ(got.size(), 2U) << blockSize;
        EXPECT_EQ(got[0].data, "abcd");
        EXPECT_EQ(got[1].data, "ef");
        EXPECT_TRUE(InsidePayload(got[1]));
    }
}

TEST_F(Broadcast, BlocksWithoutDataAreDeliveredWithoutData) {
    Subscribe(1, "s1");
    EXPECT_EQ(Recv(BroRequest()
                       .Block("pt", 1, 0)
                       .Block("pt", 1, -5)
                       .Block("pt", 1, INT32_MIN)
                       .Block("pt", 1, 2, "ok")
                       .Bytes()),
              OS_MSG_OK);
    std::vector<Delivery> got = Deliveries();
    ASSERT_EQ(got.size(), 4U);
    const int32_t lengths[] = {0, -5, INT32_MIN};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].head.dataLen, (uint32_t)lengths[i]) << i; // the length is passed on as published
        EXPECT_EQ(got[i].head.data, nullptr) << i;
    }
    EXPECT_EQ(got[3].data, "ok");
}

TEST_F(Broadcast, NeedsAPublisherTaskAndSkipsSubscribersThatDoNotFit) {
    LogCapture log;
    Subscribe(Subscriber(0, "subp", "anyTask", 1, 0, "pubp", ""));
    Subscribe(1, "s1");
    MsgHead unfit = Subscriber(0, "subp", "", 1, 0, "pubp", "pt");
    std::memset(unfit.sendTaskName, 'x', sizeof(unfit.sendTaskName));
    Subscribe(unfit);
    EXPECT_EQ(Recv(BroRequest().Block("", 1, 0).Bytes()), OS_MSG_OK);
    EXPECT_TRUE(Deliveries().empty());
    EXPECT_EQ(Recv(BroRequest().Block("pt", 1, 0).Bytes()), OS_MSG_OK);
    ASSERT_EQ(Deliveries().size(), 1U); // the unfit subscriber is skipped
    EXPECT_STREQ(Deliveries()[0].head.recvTaskName, "s1");
    EXPECT_EQ(log.Count("[MsgCmpBroadcast]", OS_LOG_ERROR), 1U);
}

TEST_F(Broadcast, DeliveryRunsBesideSubscriptionChanges) {
    constexpr int kRounds = 300;
    Subscribe(1, "steady");
    std::promise<void> go;
    std::shared_future<void> started = go.get_future().share();
    std::thread changer([&] {
        started.wait();
        MsgHead head = RequestHead(0, "subp", "churn");
        std::vector<uint8_t> sub = SubRequest(true, {SubEntry(1, 0, "pubp", "pt")});
        std::vector<uint8_t> unsub = SubRequest(false, {SubEntry(1, 0, "pubp", "pt")});
        for (int i = 0; i < kRounds; ++i) {
            EXPECT_EQ(MsgRecvSubData(&head, sub.data(), static_cast<uint32_t>(sub.size()), 0), OS_MSG_OK);
            EXPECT_EQ(MsgRecvSubData(&head, unsub.data(), static_cast<uint32_t>(unsub.size()), 0), OS_MSG_OK);
        }
    });
    std::vector<uint8_t> event = BroRequest().Block("pt", 1, 1, "e").Bytes();
    go.set_value();
    for (int i = 0; i < kRounds; ++i) {
        EXPECT_EQ(MsgRecvBroadcastData(&pub_, event.data(), static_cast<uint32_t>(event.size())), OS_MSG_OK);
    }
    changer.join();
    size_t steady = 0;
    for (const Delivery &d : Deliveries()) {
        steady += std::strcmp(d.head.recvTaskName, "steady") == 0 ? 1U : 0U;
        EXPECT_EQ(d.data, "e");
    }
    EXPECT_EQ(steady, static_cast<size_t>(kRounds));
    EXPECT_EQ(Subscribers(1).size(), 1U);
}

class BroadcastSetup : public MemBalanceTest {};

TEST_F(BroadcastSetup, NeedsATableAndAFunction) {
    LogCapture log;
    EXPECT_EQ(MsgSetBroadcastFunc(nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("]:func null.", OS_LOG_ERROR), 1U);
    std::vector<uint8_t> req = BroRequest().Block("pt", 1, 0).Bytes();
    MsgHead pub = RequestHead(0, "pubp", "pt");
    MsgHead event = Subscriber(0, "pubp", "pt", 1, 0, "", "");

    ASSERT_EQ(MsgCreateSubscribeTable(8), OS_MSG_OK);
    EXPECT_EQ(MsgRecvBroadcastData(&pub, req.data(), static_cast<uint32_t>(req.size())), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(MsgBroadcastEvent(&event), OS_MSG_ERR_NOT_INIT);
    InstallRecorder();
    MsgDestroySubscribeTable();
    EXPECT_EQ(MsgRecvBroadcastData(&pub, req.data(), static_cast<uint32_t>(req.size())), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(MsgBroadcastEvent(&event), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(log.Count("]:hash or func is null.", OS_LOG_ERROR), 4U);
    EXPECT_EQ(log.Count("[MsgBroadcastEvent]"), 2U);
}

TEST_F(BroadcastSetup, FunctionMayBeRegisteredWhileEventsArrive) {
    LogCapture quiet(OS_LOG_FATAL);
    ASSERT_EQ(MsgCreateSubscribeTable(8), OS_MSG_OK);
    MsgHead rec = Subscriber(0, "subp", "s1", 1, 0, "pubp", "pt");
    ASSERT_EQ(MsgAddSubscribe(&rec), OS_MSG_OK);
    std::vector<uint8_t> req = BroRequest().Block("pt", 1, 0).Bytes();
    MsgHead pub = RequestHead(0, "pubp", "pt");
    std::thread receiver([&] {
        while (MsgRecvBroadcastData(&pub, req.data(), static_cast<uint32_t>(req.size())) != OS_MSG_OK) {
        }
    });
    InstallRecorder();
    receiver.join();
    EXPECT_EQ(Deliveries().size(), 1U);
    MsgDestroySubscribeTable();
}

} // namespace

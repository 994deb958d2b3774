// Event requests: the subscription and broadcast messages as they reach the
// broadcast task (recorded by a stand-in "pmsgBro"), the size limit, entries
// of other CPUs, allocation failures, and delivery end to end through the
// real broadcast task.
#include "core/msg_event_req.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "msc/msg_cpu_cfg.h"
#include "msc/msg_msc.h"
#include "msg_route_test_util.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "vyre_os_mem.h"

using namespace route_test;

namespace {

MsgSubEntry Entry(uint32_t msgId, uint32_t cpuId, const char *publisher, const char *subscriber) {
    MsgSubEntry entry{};
    entry.msgId = msgId;
    entry.cpuId = cpuId;
    CopyName(entry.procName, kOwnProc);
    CopyName(entry.taskName, publisher);
    CopyName(entry.subTaskName, subscriber);
    return entry;
}

// A received subscription payload: op, count and every whole entry in it.
struct SubReq {
    uint8_t op = 0;
    uint32_t count = 0;
    std::vector<MsgSubEntry> entries;
};

SubReq ParseSubReq(const std::string &payload) {
    SubReq req;
    if (payload.size() < MSG_SUB_REQ_HEAD_LEN) {
        ADD_FAILURE() << "subscription payload of " << payload.size() << " bytes";
        return req;
    }
    req.op = static_cast<uint8_t>(payload[0]);
    std::memcpy(&req.count, payload.data() + 1, sizeof(req.count));
    for (size_t pos = MSG_SUB_REQ_HEAD_LEN; pos + sizeof(MsgSubEntry) <= payload.size(); pos += sizeof(MsgSubEntry)) {
        req.entries.emplace_back();
        std::memcpy(&req.entries.back(), payload.data() + pos, sizeof(MsgSubEntry));
    }
    return req;
}

bool SameEntry(const MsgSubEntry &a, const MsgSubEntry &b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// Places every entry on the CPU its cpuId names.
uint32_t IdentityCpuId(uint32_t cpuId, uint32_t *realCpuId) {
    *realCpuId = cpuId;
    return OS_MSG_OK;
}

// Requests reach a recording stand-in for the broadcast task.
class EventRequest : public MemBalanceTest {
protected:
    void SetUp() override {
        MemBalanceTest::SetUp();
        StartLayers();
        bro_ = std::make_unique<RecordingTask>(MSG_TASK_NAME_PMSG_BRO);
        ASSERT_EQ(bro_->RegResult(), OS_MSG_OK);
    }
    void TearDown() override {
        bro_.reset();
        g_pfnMsgSubRealCpuId = MsgCpuGetRealCpuID;
        StopLayers();
        MemBalanceTest::TearDown();
    }
    // Every request sent so far, in order of arrival.
    std::vector<Received> Requests() {
        bro_->Fence();
        return bro_->Messages();
    }

    std::unique_ptr<RecordingTask> bro_;
};

TEST_F(EventRequest, LocalEntriesTravelTogetherAndUnsubscribeDiffersOnlyInTheOpByte) {
    MsgSubEntry entries[] = {Entry(0x10U, 0U, "pub", "s1"), Entry(0x11U, 4U, "pub", "s2"), Entry(0x12U, 9U, "cam", "")};
    ASSERT_EQ(MsgSendSubMsg(entries, 3U, 1U), OS_MSG_OK);
    for (const MsgSubEntry &entry : entries) {
        uint32_t real = 99U;
        ASSERT_EQ(MsgCpuGetRealCpuID(entry.cpuId, &real), OS_MSG_OK);
        EXPECT_EQ(entry.cpuId, real) << "the caller's entries hold real CPU ids";
    }
    ASSERT_EQ(MsgSendSubMsg(entries, 3U, 0U), OS_MSG_OK);

    std::vector<Received> reqs = Requests();
    ASSERT_EQ(reqs.size(), 2U);
    const MsgHead &head = reqs[0].head;
    EXPECT_EQ(head.msgId, MSG_ID_SUBSCRIBE);
    EXPECT_EQ(NameOf(head.sendTaskName), ThreadTaskName());
    EXPECT_EQ(head.sendUid, OsGetUId());
    EXPECT_EQ(head.mscBlock, 0U);
    EXPECT_EQ(head.dataLen, 3U * 56U + 5U);
    SubReq subscribe = ParseSubReq(reqs[0].payload);
    EXPECT_EQ(subscribe.op, 1U);
    ASSERT_EQ(subscribe.count, 3U);
    for (size_t i = 0; i < 3U; ++i) {
        EXPECT_TRUE(SameEntry(subscribe.entries.at(i), entries[i])) << "entry " << i;
    }
    const std::string &unsubscribe = reqs[1].payload;
    ASSERT_EQ(unsubscribe.size(), reqs[0].payload.size());
    EXPECT_EQ(unsubscribe[0], 0);
    EXPECT_EQ(unsubscribe.substr(1), reqs[0].payload.substr(1));
}

TEST_F(EventRequest, RequestsLeaveAsSubscriptionTrafficForTheBroadcastTask) {
    TransportSpy spy;
    MsgSubEntry entry = Entry(0x44U, 0U, "pub", "s");
    EXPECT_EQ(MsgSendSubMsg(&entry, 1U, 1U), OS_MSG_OK);
    MsgBroEntry event{};
    event.msgId = 0x45U;
    EXPECT_EQ(MsgSendBroadcastMsg(&event, 1U), OS_MSG_OK);

    const std::vector<TransportSpy::Call> &calls = spy.Calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[0].head.msgId, MSG_ID_SUBSCRIBE);
    EXPECT_EQ(calls[1].head.msgId, MSG_ID_BROADCAST);
    for (const TransportSpy::Call &call : calls) {
        EXPECT_EQ(call.transType, MSG_TRANS_SUB_BRO);
        EXPECT_EQ(NameOf(call.head.recvProcName), MSG_PROC_NAME_PMSG);
        EXPECT_EQ(NameOf(call.head.recvTaskName), MSG_TASK_NAME_PMSG_BRO);
    }
}

TEST_F(EventRequest, EntriesOfOtherCpusTravelAloneBeforeTheLocalRequest) {
    g_pfnMsgSubRealCpuId = IdentityCpuId;
    MsgSubEntry entries[] = {Entry(0x20U, 0U, "pub", "s"), Entry(0x21U, 2U, "pub", "s"), Entry(0x22U, 0U, "pub", "s"),
                             Entry(0x23U, 3U, "pub", "s")};
    ASSERT_EQ(MsgSendSubMsg(entries, 4U, 1U), OS_MSG_OK);

    std::vector<Received> reqs = Requests();
    ASSERT_EQ(reqs.size(), 3U);
    const uint32_t chanBits = (MsgMscGetDefaultChanType() << MSG_MSC_CHAN_TYPE_SHIFT) & MSG_MSC_CHAN_TYPE_MASK;
    const MsgSubEntry *alone[] = {&entries[1], &entries[3]};
    for (size_t i = 0; i < 2U; ++i) {
        EXPECT_EQ(reqs[i].head.dataLen, MSG_SUB_CPU_REQ_LEN);
        EXPECT_EQ(reqs[i].head.mscBlock & MSG_MSC_CHAN_TYPE_MASK, chanBits);
        SubReq req = ParseSubReq(reqs[i].payload);
        EXPECT_EQ(req.op, 1U);
        EXPECT_EQ(req.count, 1U);
        EXPECT_TRUE(SameEntry(req.entries.at(0), *alone[i])) << i;
    }
    SubReq local = ParseSubReq(reqs[2].payload);
    EXPECT_EQ(reqs[2].head.dataLen, 4U * 56U + 5U) << "the local request keeps the length of all entries";
    ASSERT_EQ(local.count, 2U);
    EXPECT_TRUE(SameEntry(local.entries.at(0), entries[0]));
    EXPECT_TRUE(SameEntry(local.entries.at(1), entries[2]));
}

TEST_F(EventRequest, LocalPayloadIsZeroFilledBehindItsEntriesAndUnwrittenWithoutAny) {
    g_pfnMsgSubRealCpuId = IdentityCpuId;
    MsgSubEntry entries[] = {Entry(0x30U, 5U, "pub", "s"), Entry(0x31U, 0U, "pub", "s"), Entry(0x32U, 6U, "pub", "s")};
    std::vector<uint8_t> payload(3U * 56U + 5U, 0xAAU);
    MsgHead head{};
    head.data = payload.data();
    head.dataLen = static_cast<uint32_t>(payload.size());
    ASSERT_EQ(MsgSetSubscribeData(&head, entries, 3U, 1U), OS_MSG_OK);
    uint32_t count = 0;
    std::memcpy(&count, payload.data() + 1, sizeof(count));
    EXPECT_EQ(payload[0], 1U);
    EXPECT_EQ(count, 1U);
    EXPECT_EQ(std::memcmp(payload.data() + 5, &entries[1], sizeof(MsgSubEntry)), 0);
    EXPECT_EQ(std::vector<uint8_t>(payload.begin() + 5 + 56, payload.end()), std::vector<uint8_t>(size_t{2} * 56U, 0U));

    // A sender whose CPU no entry shares: every entry travels alone.
    LogCapture log;
    std::fill(payload.begin(), payload.end(), 0xAAU);
    head.sendCpuId = 9U;
    EXPECT_EQ(MsgSetSubscribeData(&head, entries, 3U, 1U), 0xFFFFFFFFU);
    EXPECT_EQ(std::vector<uint8_t>(payload.size(), 0xAAU), payload) << "the local payload is not written";
    EXPECT_EQ(log.Count("not need subscribe."), 1U);
    std::vector<Received> reqs = Requests();
    ASSERT_EQ(reqs.size(), 5U);
    for (const Received &r : reqs) {
        EXPECT_EQ(r.head.dataLen, MSG_SUB_CPU_REQ_LEN);
    }

    MsgSubEntry remote[] = {Entry(0x42U, 1U, "pub", "s"), Entry(0x43U, 2U, "pub", "s")};
    EXPECT_EQ(MsgSendSubMsg(remote, 2U, 1U), 0xFFFFFFFFU);
    EXPECT_EQ(Requests().size(), 7U);
}

TEST_F(EventRequest, SizeLimitIsCheckedBeforeAnyAllocation) {
    LogCapture log;
    MsgSubEntry entry = Entry(0x50U, 9U, "pub", "s");
    // 74,896 entries are one too many; the larger counts wrap around in
    // 32-bit arithmetic to sizes that would look small.
    for (uint32_t count : {74896U, 76695845U, 0xFFFFFFFFU}) {
        OSMemSetFailCountdown(1);
        EXPECT_EQ(MsgSendSubMsg(&entry, count, 1U), OS_MSG_ERR_OVERSIZE) << count;
        EXPECT_EQ(OSMemGetFailCountdown(), 1) << count << ": nothing was allocated";
        OSMemSetFailCountdown(-1);
    }
    EXPECT_EQ(log.Count("msg oversize"), 3U);

    // 74,895 pass: the payload allocation comes next and is made to fail
    // before any entry is read.
    OSMemSetFailCountdown(1);
    EXPECT_EQ(MsgSendSubMsg(&entry, 74895U, 1U), OS_MSG_ERR_NO_MEMORY);
    EXPECT_EQ(OSMemGetFailCountdown(), -1);
    OSMemSetFailCountdown(-1);
    EXPECT_EQ(entry.cpuId, 9U);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(EventRequest, FailureOfAnEntryForAnotherCpuStopsTheRequest) {
    g_pfnMsgSubRealCpuId = IdentityCpuId;
    uint64_t start = UsedBlocks();
    size_t seen = 0;
    SweepAllocFailures(
        [&] {
            MsgSubEntry entries[] = {Entry(0x60U, 2U, "pub", "s"), Entry(0x61U, 3U, "pub", "s"),
                                     Entry(0x62U, 0U, "pub", "s")};
            return MsgSendSubMsg(entries, 3U, 1U);
        },
        [&](int n, bool failed, uint32_t result) {
            std::vector<Received> reqs = Requests();
            std::vector<Received> run(reqs.begin() + static_cast<std::ptrdiff_t>(seen), reqs.end());
            seen = reqs.size();
            EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK) << "n=" << n;
            ASSERT_LE(run.size(), failed ? 2U : 3U) << "n=" << n;
            for (size_t i = 0; i < run.size() && i < 2U; ++i) {
                EXPECT_EQ(run[i].head.dataLen, MSG_SUB_CPU_REQ_LEN) << "n=" << n;
                EXPECT_EQ(ParseSubReq(run[i].payload).entries.at(0).msgId, 0x60U + i) << "n=" << n;
            }
            EXPECT_EQ(run.size() == 3U, !failed) << "n=" << n << ": the local request goes last, or not at all";
            EXPECT_EQ(UsedBlocks(), start) << "n=" << n;
        });
}

TEST_F(EventRequest, BroadcastCarriesEventsWithoutTaskNameUnderTheSenderTask) {
    char data[] = "abcd";
    MsgBroEntry events[2] = {};
    events[0].msgId = 0x70U;
    events[0].dataLen = 4;
    events[0].data = data;
    CopyName(events[1].taskName, "cam");
    events[1].msgId = 0x71U;
    ASSERT_EQ(MsgSendBroadcastMsg(events, 2U), OS_MSG_OK);

    std::vector<Received> reqs = Requests();
    ASSERT_EQ(reqs.size(), 1U);
    EXPECT_EQ(reqs[0].head.msgId, MSG_ID_BROADCAST);
    EXPECT_EQ(NameOf(reqs[0].head.sendTaskName), ThreadTaskName());
    const std::string &payload = reqs[0].payload;
    MsgBroReq broHead{};
    MsgBroEntry first{};
    ASSERT_GE(payload.size(), sizeof(broHead) + sizeof(first));
    std::memcpy(&broHead, payload.data(), sizeof(broHead));
    std::memcpy(&first, payload.data() + sizeof(broHead), sizeof(first));
    EXPECT_EQ(broHead.num, 2U);
    EXPECT_EQ(NameOf(first.taskName), ThreadTaskName());
    EXPECT_EQ(first.msgId, 0x70U);
    EXPECT_EQ(payload.substr(sizeof(broHead) + broHead.blockSize, 4U), "abcd");
}

TEST_F(EventRequest, BroadcastFailuresReportAndLeakNothing) {
    MsgBroEntry noData{};
    noData.msgId = 0x72U;
    noData.dataLen = 8;
    EXPECT_EQ(MsgSendBroadcastMsg(&noData, 1U), OS_MSG_ERR_INVALID_PARAM);

    char data[64] = "event";
    MsgBroEntry event{};
    event.msgId = 0x73U;
    event.dataLen = static_cast<int32_t>(sizeof(data));
    event.data = data;
    uint64_t start = UsedBlocks();
    SweepAllocFailures([&] { return MsgSendBroadcastMsg(&event, 1U); },
                       [&](int n, bool failed, uint32_t result) {
                           bro_->Fence();
                           EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK) << "n=" << n;
                           EXPECT_EQ(UsedBlocks(), start) << "n=" << n;
                       });
    EXPECT_EQ(Requests().size(), 1U);
}

// The process as it runs: the server (with its broadcast task) starts once
// the library counts as initialised and before the tables exist, as at
// process start. The server context and the slice collector stay for the
// life of the process, so the balance is taken after the server started.
class EventDelivery : public MemBalanceTest {
protected:
    void SetUp() override {
        ASSERT_EQ(MsgSetProcName(kOwnProc, 5U), OS_MSG_OK);
        ASSERT_EQ(SimpleMsgInitPthreadMutex(), OS_MSG_OK);
        ASSERT_EQ(IPCMsgStartServer(kOwnProc), OS_MSG_OK);
        MemBalanceTest::SetUp();
        ASSERT_EQ(SimpleMsgCreateQueue(128U), OS_MSG_OK);
        ASSERT_EQ(MsgCreateSubscribeTable(128U), OS_MSG_OK);
        PMsgRegAdpFunc();
        auto deadline = std::chrono::steady_clock::now() + kHandShakeLimit;
        while (!TaskExists(MSG_TASK_NAME_PMSG_BRO) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(TaskExists(MSG_TASK_NAME_PMSG_BRO));
    }
    void TearDown() override {
        StopLayers();
        MemBalanceTest::TearDown();
    }

    static void Broadcast(const char *publisher, uint32_t msgId, const std::string &data) {
        MsgBroEntry event{};
        CopyName(event.taskName, publisher);
        event.msgId = msgId;
        event.dataLen = static_cast<int32_t>(data.size());
        event.data = data.empty() ? nullptr : const_cast<char *>(data.data());
        ASSERT_EQ(MsgSendBroadcastMsg(&event, 1U), OS_MSG_OK);
    }
};

TEST_F(EventDelivery, SubscribersReceiveEachEventOnceUntilTheyUnsubscribe) {
    constexpr uint32_t kEvent = 0x7001U;
    constexpr uint32_t kLast = 0x7002U; // marks the end of a round
    RecordingTask s1("s1"), s2("s2"), s3("s3");
    std::vector<MsgSubEntry> entries;
    for (const char *sub : {"s1", "s2", "s3"}) {
        entries.push_back(Entry(kEvent, 0U, "pub", sub));
        entries.push_back(Entry(kLast, 0U, "pub", sub));
    }
    ASSERT_EQ(MsgSendSubMsg(entries.data(), static_cast<uint32_t>(entries.size()), 1U), OS_MSG_OK);
    std::string data(300U, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i);
    }
    Broadcast("pub", kEvent, data);
    Broadcast("other", kEvent, "not from the subscribed publisher");
    Broadcast("pub", kLast, "");
    for (RecordingTask *sub : {&s1, &s2, &s3}) {
        ASSERT_TRUE(sub->WaitForId(kLast));
        std::vector<Received> got = sub->Messages();
        ASSERT_EQ(got.size(), 2U);
        EXPECT_EQ(got[0].head.msgId, kEvent);
        EXPECT_EQ(got[0].payload, data);
        EXPECT_EQ(NameOf(got[0].head.sendTaskName), "pub");
    }

    MsgSubEntry leave = Entry(kEvent, 0U, "pub", "s1");
    ASSERT_EQ(MsgSendSubMsg(&leave, 1U, 0U), OS_MSG_OK);
    Broadcast("pub", kEvent, "again");
    Broadcast("pub", kLast, "");
    for (RecordingTask *sub : {&s1, &s2, &s3}) {
        ASSERT_TRUE(sub->WaitForId(kLast, 2U));
    }
    EXPECT_EQ(s1.Messages(kEvent).size(), 1U) << "unsubscribed";
    EXPECT_EQ(s2.Messages(kEvent).size(), 2U);
    EXPECT_EQ(s3.Messages(kEvent).size(), 2U);
}

} // namespace

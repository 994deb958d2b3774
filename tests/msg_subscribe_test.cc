#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "broadcast/msg_broadcast.h"
#include "support/event_requests.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"

namespace {

class SubscribeTable : public MemBalanceTest {
protected:
    void SetUp() override {
        MemBalanceTest::SetUp();
        ASSERT_EQ(MsgCreateSubscribeTable(128), OS_MSG_OK);
    }
    void TearDown() override {
        MsgDestroySubscribeTable();
        MemBalanceTest::TearDown();
    }
    uint32_t Recv(const std::vector<uint8_t> &req, uint32_t localCpu = 0) {
        return MsgRecvSubData(&head_, req.data(), static_cast<uint32_t>(req.size()), localCpu);
    }
    MsgHead head_ = RequestHead(0, "subp", "subt");
};

TEST_F(SubscribeTable, RequestNeedsOneWholeEntryAndACount) {
    LogCapture log;
    std::vector<uint8_t> req = SubRequest(true, {SubEntry(7, 0, "pubp", "pubt")});
    ASSERT_EQ(req.size(), 61U);
    EXPECT_EQ(MsgRecvSubData(&head_, req.data(), 60, 0), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("[MsgRecvSubData][", OS_LOG_ERROR), 1U);
    EXPECT_EQ(log.Count("]:wrong dataLen = 60.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(Recv(SubRequest(true, {SubEntry(7, 0, "pubp", "pubt")}, 0)), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("]:wrong dataNum = 0.", OS_LOG_ERROR), 1U);
    EXPECT_FALSE(IdInTable(7));

    // Unaligned payload: fields are read bytewise.
    std::vector<uint8_t> shifted(1, 0);
    shifted.insert(shifted.end(), req.begin(), req.end());
    EXPECT_EQ(MsgRecvSubData(&head_, shifted.data() + 1, 61, 0), OS_MSG_OK);
    std::vector<MsgHead> subs = Subscribers(7);
    ASSERT_EQ(subs.size(), 1U);
    EXPECT_EQ(subs[0].sendCpuId, 0U);
    EXPECT_STREQ(subs[0].sendProcName, "subp");
    EXPECT_STREQ(subs[0].sendTaskName, "subt");
    EXPECT_EQ(subs[0].msgId, 7U);
    EXPECT_EQ(subs[0].recvCpuId, 0U);
    EXPECT_STREQ(subs[0].recvProcName, "pubp");
    EXPECT_STREQ(subs[0].recvTaskName, "pubt");
}

TEST_F(SubscribeTable, WalksOnlyWholeEntriesAndSkipsOtherCpus) {
    LogCapture log;
    std::vector<uint8_t> req = SubRequest(
        true, {SubEntry(1, 0, "p", "a"), SubEntry(2, 1, "p", "b"), SubEntry(3, 0, "p", "c"), SubEntry(4, 0, "p", "d")});
    req.resize(5 + 56 * 3 + 30); // the fourth entry is cut short
    EXPECT_EQ(Recv(req), OS_MSG_OK);
    EXPECT_TRUE(IdInTable(1));
    EXPECT_FALSE(IdInTable(2));
    EXPECT_TRUE(IdInTable(3));
    EXPECT_FALSE(IdInTable(4));
    EXPECT_EQ(log.Count("]:cpuid[1]-[0] not match, cannot support sub-bro cross cpu.", OS_LOG_ERROR), 1U);

    // A count far beyond the payload walks the same whole entries.
    uint32_t huge = 0xFFFFFFFFU;
    std::memcpy(req.data() + 1, &huge, sizeof(huge));
    EXPECT_EQ(Recv(req, 1), OS_MSG_OK);
    std::vector<MsgHead> subs = Subscribers(2);
    ASSERT_EQ(subs.size(), 1U);
    EXPECT_EQ(subs[0].recvCpuId, 1U);
    EXPECT_FALSE(IdInTable(4));
}

TEST_F(SubscribeTable, SubscriberTaskCarriesOverToLaterEntries) {
    EXPECT_EQ(
        Recv(SubRequest(true, {SubEntry(9, 0, "p", "w"), SubEntry(10, 0, "p", "x", "tA"), SubEntry(11, 0, "p", "y"),
                               SubEntry(12, 0, "p", "z", "tB"), SubEntry(13, 0, "p", "v")})),
        OS_MSG_OK);
    const char *expected[] = {"subt", "tA", "tA", "tB", "tB"};
    for (uint32_t id = 9; id <= 13; ++id) {
        std::vector<MsgHead> subs = Subscribers(id);
        ASSERT_EQ(subs.size(), 1U) << id;
        EXPECT_STREQ(subs[0].sendTaskName, expected[id - 9]) << id;
    }
}

TEST_F(SubscribeTable, RepeatIgnoresOnlyTheSubscriberCpu) {
    LogCapture log;
    MsgHead rec = Subscriber(0, "sp", "st", 5, 0, "pp", "pt");
    EXPECT_EQ(MsgAddSubscribe(&rec), OS_MSG_OK);
    MsgHead otherCpu = rec;
    otherCpu.sendCpuId = 3;
    EXPECT_EQ(MsgAddSubscribe(&otherCpu), OS_MSG_OK);
    EXPECT_EQ(Subscribers(5).size(), 1U);
    EXPECT_EQ(log.Count("[MsgIsNodeRepeate]"), 1U);
    EXPECT_EQ(log.Count("]:repeate subscribe", OS_LOG_WARN), 1U);

    char *names[] = {rec.sendProcName, rec.sendTaskName, rec.recvProcName, rec.recvTaskName};
    size_t expected = 1;
    for (char *name : names) {
        SetName(name, "changed");
        EXPECT_EQ(MsgAddSubscribe(&rec), OS_MSG_OK);
        EXPECT_EQ(Subscribers(5).size(), ++expected);
    }
    rec.recvCpuId = 1;
    EXPECT_EQ(MsgAddSubscribe(&rec), OS_MSG_OK);
    EXPECT_EQ(Subscribers(5).size(), ++expected);
    EXPECT_EQ(log.Count("repeate subscribe"), 1U);
}

TEST_F(SubscribeTable, KeepsAtMost2048SubscribersPerId) {
    MsgHead rec = Subscriber(0, "sp", "", 42, 0, "pp", "pt");
    for (int i = 0; i < 2048; ++i) {
        SetName(rec.sendTaskName, ("s" + std::to_string(i)).c_str());
        ASSERT_EQ(MsgAddSubscribe(&rec), OS_MSG_OK) << i;
    }
    LogCapture log(OS_LOG_WARN);
    SetName(rec.sendTaskName, "one-too-many");
    EXPECT_EQ(MsgAddSubscribe(&rec), OS_MSG_ERR_FULL);
    EXPECT_EQ(log.Count("]:msg id[42] sub num is over maxnum[2048], not push to list", OS_LOG_ERROR), 1U);
    SetName(rec.sendTaskName, "s17");
    EXPECT_EQ(MsgAddSubscribe(&rec), OS_MSG_OK); // a repeat is not a new subscriber
    // Through a request the refusal shows only in the log.
    EXPECT_EQ(Recv(SubRequest(true, {SubEntry(42, 0, "pp", "pt", "late")})), OS_MSG_OK);
    EXPECT_EQ(log.Count("sub num is over maxnum"), 2U);
    EXPECT_EQ(Subscribers(42).size(), 2048U);
}

TEST_F(SubscribeTable, UnsubscribeMatchesSubscriberAndPublisherTask) {
    MsgHead rec = Subscriber(0, "sp", "st", 6, 0, "pp", "pt");
    MsgHead sameButProc = Subscriber(0, "sp", "st", 6, 0, "pp2", "pt");
    MsgHead emptyNames = Subscriber(0, "sp", "", 6, 0, "pp", "");
    for (MsgHead *r : {&rec, &sameButProc, &emptyNames}) {
        ASSERT_EQ(MsgAddSubscribe(r), OS_MSG_OK);
    }
    auto changed = [&](void (*edit)(MsgHead &)) {
        MsgHead r = rec;
        edit(r);
        return r;
    };
    MsgHead misses[] = {
        changed([](MsgHead &r) { r.sendCpuId = 1; }),
        changed([](MsgHead &r) { r.recvCpuId = 1; }),
        changed([](MsgHead &r) { SetName(r.sendProcName, "x"); }),
        changed([](MsgHead &r) { SetName(r.sendTaskName, "x"); }),
        changed([](MsgHead &r) { SetName(r.recvTaskName, "x"); }),
        emptyNames,
    };
    for (MsgHead &miss : misses) {
        EXPECT_EQ(MsgDelSubscribe(&miss), OS_MSG_OK);
    }
    EXPECT_EQ(Subscribers(6).size(), 3U);

    // The publisher process is not compared; only the first match goes.
    MsgHead anyProc = changed([](MsgHead &r) { SetName(r.recvProcName, "elsewhere"); });
    EXPECT_EQ(MsgDelSubscribe(&anyProc), OS_MSG_OK);
    std::vector<MsgHead> left = Subscribers(6);
    ASSERT_EQ(left.size(), 2U);
    EXPECT_STREQ(left[0].recvProcName, "pp2");
    EXPECT_STREQ(left[1].recvTaskName, "");
}

TEST_F(SubscribeTable, RemovingTheLastSubscriberRemovesTheId) {
    LogCapture log;
    uint64_t before = UsedBlocks();
    std::vector<MsgSubEntry> entry = {SubEntry(8, 0, "pp", "pt")};
    EXPECT_EQ(Recv(SubRequest(true, entry)), OS_MSG_OK);
    EXPECT_TRUE(IdInTable(8));
    EXPECT_EQ(Recv(SubRequest(false, entry)), OS_MSG_OK);
    EXPECT_FALSE(IdInTable(8));
    EXPECT_EQ(UsedBlocks(), before);
    EXPECT_EQ(Recv(SubRequest(false, entry)), OS_MSG_OK);
    EXPECT_EQ(log.Count("[MsgDelSubscribe]"), 3U); // del suber, del [..], hash not found
    EXPECT_EQ(log.Count("]:hash not found [8].", OS_LOG_ERROR), 1U);
}

TEST_F(SubscribeTable, FailedAddLeavesNoHalfEntry) {
    MsgHead first = Subscriber(0, "sp", "st", 20, 0, "pp", "pt");
    uint64_t before = UsedBlocks();
    int allocations = SweepAllocFailures([&] { return MsgAddSubscribe(&first); },
                                         [&](int n, bool failed, uint32_t result) {
                                             if (failed) {
                                                 EXPECT_EQ(result, OS_MSG_ERR_NO_MEMORY) << n;
                                                 EXPECT_FALSE(IdInTable(20)) << n;
                                                 EXPECT_EQ(UsedBlocks(), before) << n;
                                             } else {
                                                 EXPECT_EQ(result, OS_MSG_OK);
                                             }
                                         });
    EXPECT_GE(allocations, 3); // id list, list node, record copy

    MsgHead second = first;
    SetName(second.sendTaskName, "st2");
    before = UsedBlocks();
    SweepAllocFailures([&] { return MsgAddSubscribe(&second); },
                       [&](int n, bool failed, uint32_t result) {
                           EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK) << n;
                           EXPECT_EQ(Subscribers(20).size(), failed ? 1U : 2U) << n;
                           if (failed) {
                               EXPECT_EQ(UsedBlocks(), before) << n;
                           }
                       });
    OSMemSetFailCountdown(1);
    EXPECT_EQ(ListDupSubscribeNode(reinterpret_cast<ZemWord>(&first)), 0U);
}

TEST_F(SubscribeTable, LogsUnterminatedNamesWithinTheirFields) {
    LogCapture log;
    std::memset(head_.sendProcName, 'P', sizeof(head_.sendProcName));
    MsgSubEntry entry = SubEntry(30, 0, "", "");
    std::memset(entry.procName, 'Q', sizeof(entry.procName));
    std::memset(entry.taskName, 'R', sizeof(entry.taskName));
    EXPECT_EQ(Recv(SubRequest(true, {entry})), OS_MSG_OK);
    std::string p(16, 'P'), q(16, 'Q'), r(16, 'R');
    EXPECT_EQ(log.Count("add suber=[0][" + p + "][subt] subee=[0][" + q + "][" + r + "] msgid=30."), 1U) << log.Dump();
    EXPECT_EQ(Subscribers(30).size(), 1U);
}

class SubscribeTableLifecycle : public MemBalanceTest {};

TEST_F(SubscribeTableLifecycle, RefusesUseWithoutATableAndASecondTable) {
    LogCapture log;
    MsgDestroySubscribeTable();
    EXPECT_EQ(log.Count("]:subscribe not init.", OS_LOG_ERROR), 1U);
    MsgHead rec = Subscriber(0, "sp", "st", 1, 0, "pp", "pt");
    EXPECT_EQ(MsgAddSubscribe(&rec), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(MsgDelSubscribe(&rec), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(log.Count("]:hash null.", OS_LOG_ERROR), 2U);

    EXPECT_EQ(MsgCreateSubscribeTable(0), OS_MSG_ERR_HASH);
    EXPECT_EQ(log.Count("]:subscribe init hash error.", OS_LOG_ERROR), 1U);
    ASSERT_EQ(MsgCreateSubscribeTable(4), OS_MSG_OK);
    EXPECT_EQ(MsgCreateSubscribeTable(4), OS_MSG_ERR_REPEATED);
    EXPECT_EQ(log.Count("]:already create subscribe.", OS_LOG_ERROR), 1U);
    for (uint32_t id = 0; id < 16; ++id) { // more ids than buckets
        rec.msgId = id;
        ASSERT_EQ(MsgAddSubscribe(&rec), OS_MSG_OK);
        SetName(rec.sendTaskName, id % 2 ? "odd" : "even");
        ASSERT_EQ(MsgAddSubscribe(&rec), OS_MSG_OK);
    }
    MsgDestroySubscribeTable(); // the fixture checks that every record went
    EXPECT_EQ(g_subscribeTable, nullptr);
    ASSERT_EQ(MsgCreateSubscribeTable(4), OS_MSG_OK);
    MsgDestroySubscribeTable();
}

TEST_F(SubscribeTableLifecycle, CreationSurvivesAllocationFailures) {
    SweepAllocFailures([] { return MsgCreateSubscribeTable(128); },
                       [](int n, bool failed, uint32_t result) {
                           EXPECT_EQ(result, failed ? OS_MSG_ERR_HASH : OS_MSG_OK) << n;
                           EXPECT_EQ(g_subscribeTable == nullptr, failed) << n;
                       });
    MsgDestroySubscribeTable();
}

} // namespace

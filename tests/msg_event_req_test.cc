// Event requests: subscription and broadcast messages as the transport gets
// them (entries of other CPUs, zero-filled tail, size limit, allocation
// failures), and delivery through the loopback and "pmsgBro".
#include "core/msg_event_req.h"

#include <thread>
#include <utility>

#include "msc/msg_cpu_cfg.h"
#include "msc/msg_msc.h"
#include "msg_route_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_mem.h"
#include "vyre_os_time.h"

using namespace route_test;

namespace {

uint32_t Publish(const char *publisher, uint32_t msgId, const std::string &data) {
    MsgBroEntry event{};
    CopyName(event.taskName, publisher);
    event.msgId = msgId;
    event.dataLen = static_cast<int32_t>(data.size());
    event.data = data.empty() ? nullptr : const_cast<char *>(data.data());
    return MsgSendBroadcastMsg(&event, 1U);
}

// The broadcast task's callback, then recorded: a drained inbox means the request was applied.
uint32_t ApplyThenRecord(MsgHead *msg) {
    (void)IPCMsgBroTaskCallback(msg);
    return Record(msg);
}

class EventRequest : public RouteTest {
protected:
    void SetUp() override {
        RouteTest::SetUp();
        SpyOnSendSlots();
        g_pfnMsgSubRealCpuId = [](uint32_t cpuId, uint32_t *real) { // entry CPU 100 + n lies on CPU n
            *real = cpuId % 100U;
            return uint32_t{OS_MSG_OK};
        };
    }
    // The requests sent since the last call, in order; every one leaves as
    // subscription traffic for the broadcast task.
    static std::vector<SpiedSend> Sent() {
        std::vector<SpiedSend> sent = std::exchange(g_spiedSends, {});
        for (const SpiedSend &s : sent) {
            EXPECT_EQ(s.transType, MSG_TRANS_SUB_BRO);
            EXPECT_EQ(Name(s.head.recvProcName), MSG_PROC_NAME_PMSG);
            EXPECT_EQ(Name(s.head.recvTaskName), MSG_TASK_NAME_PMSG_BRO);
        }
        return sent;
    }
};

TEST_F(EventRequest, EntriesOfOtherCpusTravelAloneAndLocalOnesTogetherZeroFilled) {
    const uint32_t chanBits = (MsgMscGetDefaultChanType() << MSG_MSC_CHAN_TYPE_SHIFT) & MSG_MSC_CHAN_TYPE_MASK;
    for (uint32_t op : {1U, 0U}) {
        SCOPED_TRACE(op);
        MsgSubEntry e[] = {SubEntry(0x20U, 100U, "proc", "pub", "s1"), SubEntry(0x21U, 102U, "proc", "pub"),
                           SubEntry(0x22U, 100U, "proc", "cam", "s2"), SubEntry(0x23U, 103U, "proc", "pub")};
        ASSERT_EQ(MsgSendSubMsg(e, 4U, op), OS_MSG_OK);
        EXPECT_EQ(e[1].cpuId, 2U) << "the caller's entries hold the real CPU ids";
        std::vector<uint8_t> local = SubRequest(op, {e[0], e[2]});
        local.resize(4U * 56U + 5U); // the length of all entries
        const std::vector<uint8_t> expected[] = {SubRequest(op, {e[1]}), SubRequest(op, {e[3]}), local};
        std::vector<SpiedSend> reqs = Sent();
        ASSERT_EQ(reqs.size(), 3U);
        for (size_t i = 0; i < 3U; ++i) {
            EXPECT_EQ(Name(reqs[i].head.sendTaskName), ThreadTaskName()) << i;
            EXPECT_EQ(reqs[i].head.mscBlock & MSG_MSC_CHAN_TYPE_MASK, i < 2U ? chanBits : 0U) << i;
            EXPECT_EQ(reqs[i].payload, expected[i]) << i;
        }
    }
    MsgSubEntry e[] = {SubEntry(0x30U, 105U, "proc", "pub"), SubEntry(0x31U, 0U, "proc", "pub")};
    std::vector<uint8_t> payload(2U * 56U + 5U, 0xAAU), expected = SubRequest(true, {e[1]});
    expected.resize(payload.size()); // zero-filled behind the local entry, though it was not zero before
    MsgHead head{};
    head.data = payload.data();
    head.dataLen = static_cast<uint32_t>(payload.size());
    head.sendCpuId = 9U; // no entry is local: nothing is written
    EXPECT_EQ(MsgSetSubscribeData(&head, e, 2U, 1U), 0xFFFFFFFFU);
    EXPECT_EQ(payload, std::vector<uint8_t>(payload.size(), 0xAAU));
    head.sendCpuId = 0U;
    ASSERT_EQ(MsgSetSubscribeData(&head, e, 2U, 1U), OS_MSG_OK);
    EXPECT_EQ(payload, expected);
    EXPECT_EQ(Sent().size(), 2U + 1U);
}

TEST_F(EventRequest, SizeLimitIsCheckedBeforeAnyAllocation) {
    MsgSubEntry entry = SubEntry(0x50U, 109U, "proc", "pub");
    // 74,896 entries are one too many, the larger counts wrap around in 32
    // bits; 74,895 pass, and the payload's allocation fails before any entry is read.
    for (uint32_t count : {74896U, 76695845U, 0xFFFFFFFFU, 74895U}) {
        OSMemSetFailCountdown(1);
        EXPECT_EQ(MsgSendSubMsg(&entry, count, 1U), count == 74895U ? OS_MSG_ERR_NO_MEMORY : OS_MSG_ERR_OVERSIZE);
        EXPECT_EQ(OSMemGetFailCountdown(), count == 74895U ? -1 : 1) << count << ": allocations";
    }
    EXPECT_EQ(entry.cpuId, 109U) << "no entry was read";
    EXPECT_TRUE(Sent().empty());
}

TEST_F(EventRequest, AllocationFailuresEndTheRequestAndLeakNothing) {
    const std::string data(64U, 'e');
    // A whole run sends the entries of other CPUs one by one, then the local
    // entry, then the broadcast (payload lengths, 0 for the broadcast).
    const std::vector<uint32_t> whole = {61U, 61U, 3U * 56U + 5U, 0U};
    uint64_t start = UsedBlocks();
    SweepAllocFailures(
        [&] {
            MsgSubEntry e[] = {SubEntry(0x60U, 102U, "proc", "pub"), SubEntry(0x61U, 103U, "proc", "pub"),
                               SubEntry(0x62U, 100U, "proc", "pub")};
            uint32_t ret = MsgSendSubMsg(e, 3U, 1U);
            return ret == OS_MSG_OK ? Publish("", 0x63U, data) : ret;
        },
        [&](int n, bool failed, uint32_t result) {
            EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK) << "n=" << n;
            std::vector<uint32_t> sent;
            for (const SpiedSend &r : Sent()) {
                sent.push_back(r.head.msgId == MSG_ID_BROADCAST ? 0U : r.head.dataLen);
            }
            ASSERT_LE(sent.size(), failed ? 3U : 4U) << "n=" << n;
            EXPECT_EQ(sent, std::vector<uint32_t>(whole.begin(), whole.begin() + sent.size())) << "n=" << n;
            EXPECT_EQ(UsedBlocks(), start) << "n=" << n;
        });
}

// The event id of the first block of a broadcast request's payload.
uint32_t FirstEventId(const Received &request) {
    uint32_t msgId = 0U;
    std::memcpy(&msgId, request.payload.data() + 8U + 16U, sizeof(msgId));
    return msgId;
}

TEST_F(EventRequest, AFullBroadcastQueueHoldsARequestUpToItsBoundThenRefusesIt) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    PMsgRegAdpFunc();
    ASSERT_EQ(SimpleMsgRegTask(MSG_TASK_NAME_PMSG_BRO, 1U, Record, 0U), OS_MSG_OK); // no loop takes from it yet
    ASSERT_EQ(Publish("pub", 0x7101U, "queued"), OS_MSG_OK);
    const uint32_t t0 = OsGetSysRunTime();
    EXPECT_EQ(Publish("pub", 0x7102U, "refused"), OS_MSG_ERR_FULL);
    const uint32_t waited = OsGetSysRunTime() - t0;
    EXPECT_TRUE(waited >= MSG_EVENT_REQ_WAIT_MS && waited < MSG_EVENT_REQ_WAIT_MS + 4000U) << waited;
    // Whether the loop starts before or while it waits, this one gets in.
    std::thread loop([this] { StartLoop(MSG_TASK_NAME_PMSG_BRO); });
    EXPECT_EQ(Publish("pub", 0x7103U, "admitted"), OS_MSG_OK);
    loop.join();
    ASSERT_EQ(SimpleMsgWaitRoom(MSG_TASK_NAME_PMSG_BRO, 5000U), SIMPLE_MSG_ROOM_FREE); // for the drain's marker
    std::vector<uint32_t> ids;
    for (const Received &request : Drained(MSG_TASK_NAME_PMSG_BRO)) {
        ids.push_back(FirstEventId(request));
    }
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x7101U, 0x7103U})) << "queued once each, in order; the refused one never";
}

TEST_F(EventRequest, ASubscriberThatTakesNothingHoldsTheBroadcastTaskUpToItsBoundThenLosesTheEvent) {
    LogCapture log;
    PMsgRegAdpFunc();
    StartTask(MSG_TASK_NAME_PMSG_BRO, ApplyThenRecord);
    ASSERT_EQ(SimpleMsgRegTask("stuck", 1U, Record, 0U), OS_MSG_OK); // takes nothing: no loop
    MsgSubEntry entry = SubEntry(0x7201U, 0U, "proc", "pub", "stuck");
    ASSERT_EQ(MsgSendSubMsg(&entry, 1U, 1U), OS_MSG_OK);
    const uint32_t t0 = OsGetSysRunTime();
    ASSERT_EQ(Publish("pub", 0x7201U, "fills the queue"), OS_MSG_OK);
    ASSERT_EQ(Publish("pub", 0x7201U, "finds it full"), OS_MSG_OK) << "the request itself is queued";
    (void)Drained(MSG_TASK_NAME_PMSG_BRO); // both applied
    const uint32_t held = OsGetSysRunTime() - t0;
    EXPECT_TRUE(held >= MSG_BRO_DELIVER_WAIT_MS && held < MSG_BRO_DELIVER_WAIT_MS + 4000U) << held;
    EXPECT_EQ(log.Count("event 0x7201 for [stuck] dropped: queue full.", OS_MSG_LOG_ERROR), 1U) << log.Dump();
    StartLoop("stuck");
    ASSERT_EQ(SimpleMsgWaitRoom("stuck", 5000U), SIMPLE_MSG_ROOM_FREE); // for the drain's marker
    std::vector<Received> got = Drained("stuck");
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0].payload, "fills the queue");
}

} // namespace

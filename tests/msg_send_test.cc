// Routing and event requests: route classification and send slots, sender
// stamping, asynchronous and synchronous sends in the process and across the
// loopback, temporary tasks, subscription and broadcast requests as the
// transport gets them and their delivery, allocation failures. Spies in the
// transport's send slots record on the sending thread.
#include <algorithm>
#include <iterator>
#include <numeric>
#include <thread>
#include <tuple>
#include <utility>

#include "core/msg_event_req.h"
#include "core/msg_send.h"
#include "msc/msg_cpu_cfg.h"
#include "msc/msg_msc.h"
#include "support/log_capture.h"
#include "support/sub_request.h"
#include "transport_test_util.h"
#include "vyre_os_mem.h"
#include "vyre_os_thread.h"
#include "vyre_os_time.h"

using simple_msg_test::FindTask;
using simple_msg_test::Received;
using simple_msg_test::Record;
using transport_test::CopyName;
using transport_test::Name;

namespace {

class RouteTest : public transport_test::TransportTest {
protected:
    // Sends a marker to a recording task and waits until its loop took it, so
    // all queued before has been handled and released. Returns what the task
    // received, without markers.
    std::vector<Received> Drained(const std::string &task) {
        const uint32_t marker = kFirstMarker + ++markers_;
        MsgHead head = transport_test::Head("proc", task, marker, "marker");
        EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
        std::vector<Received> seen, out;
        while (!HasFailure() &&
               std::none_of(seen.begin(), seen.end(), [&](const Received &s) { return s.head.msgId == marker; })) {
            EXPECT_TRUE(inbox_.WaitFor(seen.size() + 1U));
            seen = inbox_.Items();
        }
        std::copy_if(seen.begin(), seen.end(), std::back_inserter(out), [&](const Received &s) {
            return s.head.msgId < kFirstMarker && Name(s.head.recvTaskName) == task;
        });
        return out;
    }

private:
    static constexpr uint32_t kFirstMarker = 0xD0000000U;
    uint32_t markers_ = 0U;
};

// What the routing layer handed to a send slot, with a copy of the payload.
struct SpiedSend {
    uint32_t slot;
    uint32_t transType;
    MsgHead head;
    std::vector<uint8_t> payload;
};
inline std::vector<SpiedSend> g_spiedSends;

// Copies the payload through the tracked allocator, as a carrier does, so
// allocation failures reach the sender; delivers nothing.
template <uint32_t Slot> uint32_t SpySend(const char *, uint32_t transType, MsgHead *head) {
    if (head->dataLen != 0U) {
        void *copy = SimpleMsgAllocBuffer(head->dataLen);
        if (copy == nullptr) {
            return OS_MSG_ERR_NO_MEMORY;
        }
        SimpleMsgReleaseBuffer(copy, head->dataLen);
    }
    const auto *data = static_cast<const uint8_t *>(head->data);
    g_spiedSends.push_back({Slot, transType, *head, {data, data == nullptr ? data : data + head->dataLen}});
    return OS_MSG_OK;
}

// Puts spies in the send slots for this CPU and for other CPUs.
inline void SpyOnSendSlots() {
    g_spiedSends.clear();
    MsgAdpFuncReg reg{};
    for (auto [slot, spy] : {std::pair{MSG_ADP_SLOT_SEND, SpySend<MSG_ADP_SLOT_SEND>},
                             std::pair{MSG_ADP_SLOT_SEND_CPU, SpySend<MSG_ADP_SLOT_SEND_CPU>}}) {
        reg.funcId = slot;
        reg.func.send = spy;
        ASSERT_EQ(MsgAdpRegFunc(&reg), OS_MSG_OK);
    }
}

class SendRouting : public RouteTest {};

MsgHead Between(uint32_t sendCpu, const char *sendProc, const char *sendTask, uint32_t recvCpu, const char *recvProc,
                const char *recvTask) {
    MsgHead head = transport_test::Head(recvProc, recvTask, 0U, sendTask);
    CopyName(head.sendProcName, sendProc);
    head.sendCpuId = sendCpu;
    head.recvCpuId = recvCpu;
    return head;
}

TEST_F(SendRouting, ClassifiesByWhereTheReceiverLivesAndSendsAccordingly) {
    struct Case {
        const char *own, *sendProc, *sendTask, *recvProc, *recvTask;
        uint32_t sendCpu, recvCpu, request, response;
    };
    // Own name "" is the board-support process (whose name is empty here): across
    // CPUs it relays requests of other senders and responses to other receivers.
    const Case cases[] = {
        {"proc", "proc", "a", "media", "b", 0, 0, MSG_INNER_OTHER_PROC, MSG_INNER_OTHER_PROC},
        {"proc", "", "a", "proc", "b", 0, 0, MSG_INNER_OTHER_PROC, MSG_INNER_OTHER_PROC},
        {"proc", "proc", "a", "proc", "b", 0, 0, MSG_INNER_OTHER_TASK, MSG_INNER_OTHER_TASK},
        {"proc", "proc", "abcdefghijklmnop", "proc", "abcdefghijklmnoq", 0, 0, MSG_INNER_OTHER_TASK,
         MSG_INNER_OTHER_TASK},
        {"proc", "proc", "a", "proc", "a", 0, 0, MSG_INNER_SAME_TASK, MSG_INNER_SAME_TASK},
        {"proc", "proc", "a", "proc", "a", 0, 1, MSG_INNER_OTHER_CPU, MSG_INNER_OTHER_CPU},
        {"", "app", "a", "", "b", 0, 1, MSG_INNER_NA, MSG_INNER_OTHER_CPU},
        {"", "", "a", "app", "b", 0, 1, MSG_INNER_OTHER_CPU, MSG_INNER_NA},
        {"", "app", "a", "media", "b", 1, 1, MSG_INNER_OTHER_PROC, MSG_INNER_OTHER_PROC},
    };
    SpyOnSendSlots();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.sendProc) + "/" + c.sendTask + " -> " + c.recvProc + "/" + c.recvTask);
        ASSERT_EQ(MsgSetProcName(c.own, static_cast<uint32_t>(strlen(c.own) + 1U)), OS_MSG_OK);
        MsgHead head = Between(c.sendCpu, c.sendProc, c.sendTask, c.recvCpu, c.recvProc, c.recvTask);
        EXPECT_EQ(MsgGetInnerType(&head, 0U), c.request);
        EXPECT_EQ(MsgGetInnerType(&head, 1U), c.response);
        // Tasks of this process are reached directly (none exist here).
        head.msgKind = 7U;
        g_spiedSends.clear();
        (void)MsgAsynSend(&head, MSG_TRANS_SUB_BRO);
        const bool local = c.request == MSG_INNER_OTHER_TASK || c.request == MSG_INNER_SAME_TASK;
        ASSERT_EQ(g_spiedSends.size(), local ? 0U : 1U);
        for (const SpiedSend &sent : g_spiedSends) { // a relayed message keeps its kind
            EXPECT_EQ(std::tuple(sent.slot, sent.transType, sent.head.msgKind),
                      std::tuple(c.request == MSG_INNER_OTHER_CPU ? MSG_ADP_SLOT_SEND_CPU : MSG_ADP_SLOT_SEND,
                                 MSG_TRANS_SUB_BRO, c.request == MSG_INNER_NA ? 7U : MSG_KIND_ASYN));
        }
    }
    MsgHead same = Between(0, "proc", "rx", 0, "proc", "rx");
    std::memcpy(same.sendTaskName + 3, "junk", 4);
    std::memcpy(same.recvProcName + 5, "x", 1);
    EXPECT_EQ(MsgGetInnerType(&same, 0U), MSG_INNER_SAME_TASK) << "names end at their terminator";
}

TEST_F(SendRouting, StampsSenderFieldsUnlessTheProcessIsAReservedSender) {
    uint32_t realRecvCpu = 99U;
    ASSERT_EQ(MsgCpuGetRealCpuID(7U, &realRecvCpu), OS_MSG_OK);
    for (auto [own, reserved] :
         {std::pair{"proc", false}, std::pair{MSG_PROC_NAME_SYSCTRL, true}, std::pair{MSG_PROC_NAME_PMSG, true},
          std::pair{"sysctrl2", false}, std::pair{"pms", false}}) {
        SCOPED_TRACE(own);
        ASSERT_EQ(MsgSetProcName(own, static_cast<uint32_t>(strlen(own) + 1U)), OS_MSG_OK);
        MsgHead head = Between(3, "", "", 7, "media", "b");
        head.sendUid = OsGetUId() + 1U;
        head.sendPid = OsGetPId() + 1U;
        EXPECT_EQ(MsgForceSetSendName(&head), reserved ? 1U : 0U) << "the test thread is no task";
        // Receiver CPU, uid, pid, sender CPU, process and task; only what is missing is filled in.
        EXPECT_EQ(std::tuple(head.recvCpuId, head.sendUid, head.sendPid, head.sendCpuId, Name(head.sendProcName),
                             Name(head.sendTaskName)),
                  std::tuple(realRecvCpu, OsGetUId() + (reserved ? 1U : 0U), OsGetPId() + (reserved ? 1U : 0U),
                             reserved ? 3U : MsgGetLocalCpuID(), std::string(reserved ? own : ""), ThreadTaskName()));
    }
}

TEST_F(SendRouting, AsynMessagesArriveWithTheirBytesCopyingNothingElse) {
    // Another task, the sending task, another process name (the loopback brings it back here).
    const std::pair<const char *, const char *> routes[] = {{"", "proc"}, {"rx", "proc"}, {"", "media"}};
    StartTask("rx", 0U, Record);
    std::string payload(256U, '\0');
    std::iota(payload.begin(), payload.end(), '\0');
    for (uint32_t id = 0U; id < 3U; ++id) {
        MsgHead head = Between(0, "proc", routes[id].first, 0, routes[id].second, "rx");
        head.msgId = id;
        head.data = payload.data();
        head.dataLen = static_cast<uint32_t>(payload.size());
        (void)MsgForceSetSendName(&head);
        OSMemSetFailCountdown(2);
        EXPECT_EQ(MsgAsynSend(&head, MSG_TRANS_ASYN), OS_MSG_OK) << id;
        EXPECT_EQ(OSMemGetFailCountdown(), 1) << id << ": one allocation, for the payload copy";
        OSMemSetFailCountdown(-1);
    }
    std::vector<Received> got = Drained("rx");
    ASSERT_EQ(got.size(), 3U);
    for (uint32_t id = 0U; id < 3U; ++id) {
        EXPECT_EQ(got[id].payload, payload) << id;
        EXPECT_EQ(Name(got[id].head.sendTaskName), *routes[id].first ? routes[id].first : ThreadTaskName()) << id;
        EXPECT_EQ(Name(got[id].head.recvProcName), "proc") << id;
    }
}

// Answers a synchronous request with "re:" and its payload, then records it.
uint32_t Answer(MsgHead *msg) {
    if (msg->msgKind == MSG_KIND_SYN) {
        std::string reply = "re:" + std::string(static_cast<const char *>(msg->data), msg->dataLen);
        (void)MsgSynSendResp(msg, reply.data(), static_cast<uint32_t>(reply.size())); // a failure times the call out
    }
    return Record(msg);
}

// A synchronous call from this thread, stamped as the public call does it.
uint32_t Call(const char *recvProc, const char *recvTask, const char *sendTask, uint32_t timeout, MsgHead **resp) {
    static const std::string ping = "ping";
    MsgHead head = transport_test::Head(recvProc, recvTask, 0x200U, sendTask, ping);
    *resp = nullptr;
    return MsgSynSend(&head, resp, timeout, MSG_TRANS_SYN, MsgForceSetSendName(&head));
}

TEST_F(SendRouting, SynCallsAreAnsweredOrFailAndATemporaryTaskLeavesWithTheirEnd) {
    StartTask("rx", 0U, Answer);
    ASSERT_EQ(SimpleMsgRegTask("self", 1U, Answer, 0U), OS_MSG_OK); // called on the calling thread
    struct Case {
        const char *recvProc, *recvTask, *sendTask;
        uint32_t expected;
    };
    const Case cases[] = {{"proc", "rx", "", OS_MSG_OK},
                          {"media", "rx", "", OS_MSG_OK},
                          {"proc", "self", "self", OS_MSG_OK},
                          {"proc", "nobody", "", OS_MSG_ERR_NOT_FOUND}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.recvProc) + "/" + c.recvTask);
        const std::string requester = *c.sendTask != '\0' ? c.sendTask : ThreadTaskName();
        MsgHead *resp = nullptr;
        ASSERT_EQ(Call(c.recvProc, c.recvTask, c.sendTask, 10000U, &resp), c.expected);
        if (c.expected == OS_MSG_OK) {
            EXPECT_EQ(resp->msgKind, MSG_KIND_SYN_RESP);
            EXPECT_EQ(std::string(static_cast<const char *>(resp->data), resp->dataLen), "re:ping");
            EXPECT_EQ(Name(resp->sendTaskName), requester);
            EXPECT_NE(FindTask(requester), nullptr) << "the response stays with the requester";
            EXPECT_EQ(MsgFreeResp(resp), OS_MSG_OK);
        } else {
            EXPECT_EQ(resp, nullptr);
        }
        EXPECT_EQ(FindTask(requester) != nullptr, *c.sendTask != '\0') << "only a temporary task leaves";
    }
    ASSERT_EQ(SimpleMsgRegTask(ThreadTaskName().c_str(), 1U, nullptr, 0U), OS_MSG_OK);
    MsgHead *resp = nullptr;
    EXPECT_EQ(Call("proc", "nobody", "", 60U, &resp), OS_MSG_ERR_NOT_FOUND);
    EXPECT_NE(FindTask(ThreadTaskName()), nullptr) << "a thread that is a task stays one";
}

// A thread that called before skips registering its task again, but only
// while the task is still there and the "already exist" line would be
// dropped anyway.
TEST_F(SendRouting, SynCallerRegistersAgainOnceItsTaskWentAndLogsAsEveryCallWould) {
    StartTask("rx", 0U, Answer);
    auto callTwice = [] {
        for (int call = 0; call < 2; ++call) {
            MsgHead *resp = nullptr;
            ASSERT_EQ(Call("proc", "rx", "me", 10000U, &resp), OS_MSG_OK) << call;
            EXPECT_EQ(MsgFreeResp(resp), OS_MSG_OK);
        }
    };
    for (int round = 0; round < 2; ++round) {
        LogCapture quiet(OS_LOG_ERROR);
        ASSERT_NO_FATAL_FAILURE(callTwice()) << round;
        ASSERT_EQ(SimpleMsgUnregTask("me"), OS_MSG_OK); // the next call needs a new record
    }
    LogCapture log;
    ASSERT_NO_FATAL_FAILURE(callTwice());
    EXPECT_EQ(log.Count("reg[me] success.", OS_LOG_DEBUG), 1U) << log.Dump();
    EXPECT_EQ(log.Count("reg[me] already exist.", OS_LOG_INFO), 1U) << log.Dump();
    EXPECT_NE(FindTask("me"), nullptr);
}

TEST_F(SendRouting, SynAllocationFailuresLeaveNoTaskOrBlockBehind) {
    StartTask("rx", 0U, Answer);
    uint64_t start = UsedBlocks();
    SweepAllocFailures(
        [&] {
            MsgHead *resp = nullptr;
            uint32_t ret = Call("proc", "rx", "", 2000U, &resp); // reached when the answer's copy failed
            return ret == OS_MSG_OK ? MsgFreeResp(resp) : ret;
        },
        [&](int n, bool failed, uint32_t result) {
            (void)Drained("rx");
            // The failure hits the registration, the request's copy, or the
            // answer's copy (the requester then times out).
            EXPECT_TRUE(failed ? result == OS_MSG_ERR_NO_MEMORY || result == OS_MSG_ERR_HASH ||
                                     result == OS_MSG_ERR_TIMEOUT
                               : result == OS_MSG_OK)
                << "n=" << n << " result=" << std::hex << result;
            EXPECT_EQ(FindTask(ThreadTaskName()), nullptr) << "n=" << n;
            EXPECT_EQ(UsedBlocks(), start) << "n=" << n;
        });
}

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
    std::vector<uint32_t> ids; // the event id of each request's first block
    for (const Received &request : Drained(MSG_TASK_NAME_PMSG_BRO)) {
        std::memcpy(&ids.emplace_back(), request.payload.data() + 8U + 16U, sizeof(uint32_t));
    }
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x7101U, 0x7103U})) << "queued once each, in order; the refused one never";
}

TEST_F(EventRequest, ASubscriberThatTakesNothingHoldsTheBroadcastTaskUpToItsBoundThenLosesTheEvent) {
    LogCapture log;
    PMsgRegAdpFunc();
    StartTask(MSG_TASK_NAME_PMSG_BRO, 0U, ApplyThenRecord);
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

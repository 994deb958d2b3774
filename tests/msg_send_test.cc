// Send routing: route classification and the send slot each route takes,
// sender stamping, asynchronous and synchronous sends within the process and
// across the loopback transport, temporary tasks, allocation failures.
#include "core/msg_send.h"

#include <numeric>

#include "msc/msg_cpu_cfg.h"
#include "msg_route_test_util.h"
#include "vyre_os_mem.h"
#include "vyre_os_thread.h"

using namespace route_test;
using simple_msg_test::FindTask;

namespace {

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
        EXPECT_EQ(head.recvCpuId, realRecvCpu);
        EXPECT_EQ(head.sendUid, OsGetUId() + (reserved ? 1U : 0U));
        EXPECT_EQ(head.sendPid, OsGetPId() + (reserved ? 1U : 0U));
        EXPECT_EQ(head.sendCpuId, reserved ? 3U : MsgGetLocalCpuID());
        EXPECT_EQ(Name(head.sendProcName), reserved ? own : "") << "only what is missing is filled in";
        EXPECT_EQ(Name(head.sendTaskName), ThreadTaskName());
    }
}

TEST_F(SendRouting, AsynMessagesArriveWithTheirBytesCopyingNothingElse) {
    // Another task, the sending task, another process name (the loopback brings it back here).
    const std::pair<const char *, const char *> routes[] = {{"", "proc"}, {"rx", "proc"}, {"", "media"}};
    StartTask("rx");
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
    StartTask("rx", Answer);
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
    StartTask("rx", Answer);
    MsgHead *resp = nullptr;
    for (int round = 0; round < 2; ++round) {
        LogCapture quiet(OS_LOG_ERROR);
        ASSERT_EQ(Call("proc", "rx", "me", 10000U, &resp), OS_MSG_OK) << round;
        EXPECT_EQ(MsgFreeResp(resp), OS_MSG_OK);
        ASSERT_EQ(Call("proc", "rx", "me", 10000U, &resp), OS_MSG_OK) << round;
        EXPECT_EQ(MsgFreeResp(resp), OS_MSG_OK);
        ASSERT_EQ(SimpleMsgUnregTask("me"), OS_MSG_OK); // the next call needs a new record
    }
    LogCapture log;
    for (int call = 0; call < 2; ++call) {
        ASSERT_EQ(Call("proc", "rx", "me", 10000U, &resp), OS_MSG_OK) << call;
        EXPECT_EQ(MsgFreeResp(resp), OS_MSG_OK);
    }
    EXPECT_EQ(log.Count("reg[me] success.", OS_LOG_DEBUG), 1U) << log.Dump();
    EXPECT_EQ(log.Count("reg[me] already exist.", OS_LOG_INFO), 1U) << log.Dump();
    EXPECT_NE(FindTask("me"), nullptr);
}

TEST_F(SendRouting, SynAllocationFailuresLeaveNoTaskOrBlockBehind) {
    StartTask("rx", Answer);
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

} // namespace

// Send routing and sender stamping: route classification, stamped and kept
// sender fields, delivery through the task queues and through the loopback
// transport, synchronous calls and their temporary tasks, allocation failures.
#include "core/msg_send.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "msc/msg_cpu_cfg.h"
#include "msg_route_test_util.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "vyre_os_mem.h"
#include "vyre_os_thread.h"

using namespace route_test;

namespace {

class SendRouting : public MemBalanceTest {
protected:
    void SetUp() override {
        MemBalanceTest::SetUp();
        StartLayers();
    }
    void TearDown() override {
        StopLayers();
        MemBalanceTest::TearDown();
    }
};

// Every byte value, so a truncated or shifted copy shows.
std::string BinaryPayload(size_t size) {
    std::string payload(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        payload[i] = static_cast<char>((i * 7U + 3U) & 0xFFU);
    }
    return payload;
}

void AnswerPong(MsgHead *msg) {
    if (msg->msgKind == MSG_KIND_SYN) {
        (void)MsgSynSendResp(msg, "pong", 5U);
    }
}

TEST_F(SendRouting, ClassifiesByWhereTheReceiverLives) {
    struct Case {
        const char *what;
        MsgHead head;
        uint32_t expected;
    };
    const Case cases[] = {
        {"another process", Head(0, "proc", "a", 0, "media", "b"), MSG_INNER_OTHER_PROC},
        {"no sender process name", Head(0, "", "a", 0, "proc", "b"), MSG_INNER_OTHER_PROC},
        {"another task", Head(0, "proc", "a", 0, "proc", "b"), MSG_INNER_OTHER_TASK},
        {"15-character names", Head(0, "proc", "abcdefghijklmn1", 0, "proc", "abcdefghijklmn2"), MSG_INNER_OTHER_TASK},
        {"the sending task", Head(0, "proc", "a", 0, "proc", "a"), MSG_INNER_SAME_TASK},
        {"same names, other CPU", Head(0, "proc", "a", 1, "proc", "a"), MSG_INNER_OTHER_CPU},
        {"other process and CPU", Head(2, "proc", "a", 0, "media", "b"), MSG_INNER_OTHER_CPU},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(MsgGetInnerType(&c.head, 0U), c.expected) << c.what << " (request)";
        EXPECT_EQ(MsgGetInnerType(&c.head, 1U), c.expected) << c.what << " (response)";
    }
    // Names count up to their terminator only.
    MsgHead same = Head(0, "proc", "rx", 0, "proc", "rx");
    std::memcpy(same.sendTaskName + 3, "junk", 4);
    std::memcpy(same.recvProcName + 5, "x", 1);
    EXPECT_EQ(MsgGetInnerType(&same, 0U), MSG_INNER_SAME_TASK);
}

TEST_F(SendRouting, BoardSupportProcessMarksMessagesItRelaysForOthers) {
    // The board-support process name is empty on this platform, so a process
    // with an empty name plays that role. A request is judged by its sender,
    // a response by its receiver.
    ASSERT_EQ(MsgSetProcName("", 0U), OS_MSG_OK);
    MsgHead fromApp = Head(0, "app", "a", 1, "", "b");
    EXPECT_EQ(MsgGetInnerType(&fromApp, 0U), MSG_INNER_NA);
    EXPECT_EQ(MsgGetInnerType(&fromApp, 1U), MSG_INNER_OTHER_CPU);
    MsgHead toApp = Head(0, "", "a", 1, "app", "b");
    EXPECT_EQ(MsgGetInnerType(&toApp, 0U), MSG_INNER_OTHER_CPU);
    EXPECT_EQ(MsgGetInnerType(&toApp, 1U), MSG_INNER_NA);
    MsgHead sameCpu = Head(1, "app", "a", 1, "media", "b");
    EXPECT_EQ(MsgGetInnerType(&sameCpu, 0U), MSG_INNER_OTHER_PROC);

    ASSERT_EQ(MsgSetProcName(kOwnProc, 5U), OS_MSG_OK);
    EXPECT_EQ(MsgGetInnerType(&fromApp, 0U), MSG_INNER_OTHER_CPU) << "an ordinary process";
}

TEST_F(SendRouting, OrdinaryProcessStampsSenderIdsAndTaskButKeepsItsProcessName) {
    MsgHead head = Head(9, "foreign", "", 7, "media", "b");
    head.sendUid = OsGetUId() + 1234U;
    head.sendPid = OsGetPId() + 5678U;
    EXPECT_EQ(MsgForceSetSendName(&head), 0U) << "the test thread is no task";
    EXPECT_EQ(head.sendUid, OsGetUId());
    EXPECT_EQ(head.sendPid, OsGetPId());
    EXPECT_EQ(head.sendCpuId, MsgGetLocalCpuID());
    uint32_t realRecvCpu = 99U;
    ASSERT_EQ(MsgCpuGetRealCpuID(7U, &realRecvCpu), OS_MSG_OK);
    EXPECT_EQ(head.recvCpuId, realRecvCpu);
    EXPECT_EQ(NameOf(head.sendProcName), "foreign");
    EXPECT_EQ(NameOf(head.sendTaskName), ThreadTaskName());

    MsgHead named = Head(0, "", "mine", 0, "media", "b");
    EXPECT_EQ(MsgForceSetSendName(&named), 1U);
    EXPECT_EQ(NameOf(named.sendTaskName), "mine");
    EXPECT_EQ(NameOf(named.sendProcName), "");

    // A thread registered under its own name, and a task's loop thread, are
    // found.
    ASSERT_EQ(SimpleMsgRegTask(ThreadTaskName().c_str(), 1U, nullptr, 0U), OS_MSG_OK);
    MsgHead fromTask{};
    EXPECT_EQ(MsgForceSetSendName(&fromTask), 1U);
    EXPECT_EQ(NameOf(fromTask.sendTaskName), ThreadTaskName());
    std::atomic<uint32_t> loopFound{99U};
    std::string loopName;
    RecordingTask rx("rx", [&](MsgHead *) {
        MsgHead fromLoop{};
        loopFound = MsgForceSetSendName(&fromLoop);
        loopName = NameOf(fromLoop.sendTaskName);
    });
    rx.Fence();
    EXPECT_EQ(loopFound.load(), 1U);
    EXPECT_EQ(loopName, "rx");
}

TEST_F(SendRouting, ReservedSendersKeepWhatTheCallerWrote) {
    for (const char *reserved : {MSG_PROC_NAME_SYSCTRL, MSG_PROC_NAME_PMSG}) {
        SCOPED_TRACE(reserved);
        ASSERT_EQ(MsgSetProcName(reserved, static_cast<uint32_t>(strlen(reserved) + 1U)), OS_MSG_OK);
        MsgHead head = Head(3, "", "", 0, "media", "b");
        head.sendUid = 1234U;
        head.sendPid = 5678U;
        EXPECT_EQ(MsgForceSetSendName(&head), 1U) << "reserved senders always count as found";
        EXPECT_EQ(head.sendUid, 1234U);
        EXPECT_EQ(head.sendPid, 5678U);
        EXPECT_EQ(head.sendCpuId, 3U);
        EXPECT_EQ(NameOf(head.sendProcName), reserved) << "a missing process name is filled in";
        EXPECT_EQ(NameOf(head.sendTaskName), ThreadTaskName());

        MsgHead zeroCpu = Head(0, "other", "t", 0, "media", "b");
        (void)MsgForceSetSendName(&zeroCpu);
        EXPECT_EQ(zeroCpu.sendCpuId, MsgGetLocalCpuID());
        EXPECT_EQ(NameOf(zeroCpu.sendProcName), "other");
    }
    for (const char *ordinary : {"sysctrl2", "pms"}) {
        ASSERT_EQ(MsgSetProcName(ordinary, static_cast<uint32_t>(strlen(ordinary) + 1U)), OS_MSG_OK);
        MsgHead head{};
        head.sendUid = OsGetUId() + 1U;
        (void)MsgForceSetSendName(&head);
        EXPECT_EQ(head.sendUid, OsGetUId()) << ordinary << " is no reserved name";
    }
}

TEST_F(SendRouting, AsynMessagesArriveByEveryRouteWithTheirBytes) {
    struct Route {
        const char *sendProc;
        const char *recvProc;
        size_t transportHops;
    };
    RecordingTask rx("rx");
    const std::string payload = BinaryPayload(1000U);
    uint32_t msgId = 0x100U;
    for (const Route &route : {Route{kOwnProc, kOwnProc, 0U}, Route{kOwnProc, "media", 1U}, Route{"", kOwnProc, 1U}}) {
        SCOPED_TRACE(std::string(route.sendProc) + "->" + route.recvProc);
        LogCapture log;
        MsgHead head = Outgoing(route.sendProc, route.recvProc, "rx", ++msgId, payload);
        head.msgKind = 5U;
        (void)MsgForceSetSendName(&head);
        ASSERT_EQ(MsgAsynSend(&head, MSG_TRANS_ASYN), OS_MSG_OK);
        ASSERT_TRUE(rx.WaitForId(msgId));
        Received got = rx.Messages(msgId).at(0);
        EXPECT_EQ(got.payload, payload);
        EXPECT_EQ(got.head.msgKind, MSG_KIND_ASYN);
        EXPECT_EQ(NameOf(got.head.sendProcName), route.sendProc);
        EXPECT_EQ(NameOf(got.head.sendTaskName), ThreadTaskName());
        EXPECT_EQ(NameOf(got.head.recvProcName), kOwnProc) << "the loopback readdresses to this process";
        EXPECT_EQ(log.Count("BinderAdpTransact"), route.transportHops);
    }
}

TEST_F(SendRouting, AsynToTheSendingTaskLandsInItsOwnQueue) {
    std::atomic<uint32_t> innerType{99U};
    const std::string again = "again";
    RecordingTask rx("rx", [&](MsgHead *msg) {
        if (msg->msgId == 1U) {
            MsgHead next = Outgoing(kOwnProc, kOwnProc, "rx", 2U, again);
            (void)MsgForceSetSendName(&next);
            innerType = MsgGetInnerType(&next, 0U);
            EXPECT_EQ(MsgAsynSend(&next, MSG_TRANS_ASYN), OS_MSG_OK);
        }
    });
    MsgHead first = Outgoing(kOwnProc, kOwnProc, "rx", 1U);
    (void)MsgForceSetSendName(&first);
    ASSERT_EQ(MsgAsynSend(&first, MSG_TRANS_ASYN), OS_MSG_OK);
    ASSERT_TRUE(rx.WaitForId(2U));
    EXPECT_EQ(innerType.load(), MSG_INNER_SAME_TASK);
    EXPECT_EQ(NameOf(rx.Messages(2U).at(0).head.sendTaskName), "rx");
}

TEST_F(SendRouting, TransportRoutesPickTheSlotByCpuAndKeepOnlyRelayedKinds) {
    TransportSpy spy;
    MsgHead crossCpu = Head(0, kOwnProc, "a", 1, kOwnProc, "b");
    crossCpu.msgKind = 7U;
    EXPECT_EQ(MsgAsynSend(&crossCpu, MSG_TRANS_ASYN), OS_MSG_OK);
    MsgHead otherProc = Head(0, kOwnProc, "a", 0, "media", "b");
    EXPECT_EQ(MsgAsynSend(&otherProc, MSG_TRANS_SUB_BRO), OS_MSG_OK);
    ASSERT_EQ(MsgSetProcName("", 0U), OS_MSG_OK);
    MsgHead relayed = Head(0, "app", "a", 1, "", "b");
    relayed.msgKind = 7U;
    EXPECT_EQ(MsgAsynSend(&relayed, MSG_TRANS_ASYN), OS_MSG_OK);

    const std::vector<TransportSpy::Call> &calls = spy.Calls();
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[0].slot, MSG_ADP_SLOT_SEND_CPU);
    EXPECT_EQ(calls[0].transType, MSG_TRANS_ASYN);
    EXPECT_EQ(calls[0].head.msgKind, MSG_KIND_ASYN);
    EXPECT_EQ(calls[1].slot, MSG_ADP_SLOT_SEND);
    EXPECT_EQ(calls[1].transType, MSG_TRANS_SUB_BRO);
    EXPECT_EQ(calls[2].slot, MSG_ADP_SLOT_SEND) << "relayed messages use this CPU's transport";
    EXPECT_EQ(calls[2].head.msgKind, 7U);
}

TEST_F(SendRouting, StampingAndDispatchAllocateNothing) {
    RecordingTask rx("rx");
    for (const char *recvProc : {kOwnProc, "media"}) {
        MsgHead head = Outgoing(kOwnProc, recvProc, "rx", 0x103U);
        OSMemSetFailCountdown(1);
        (void)MsgForceSetSendName(&head);
        uint32_t ret = MsgAsynSend(&head, MSG_TRANS_ASYN);
        int64_t pending = OSMemGetFailCountdown();
        OSMemSetFailCountdown(-1);
        EXPECT_EQ(ret, OS_MSG_OK) << recvProc;
        EXPECT_EQ(pending, 1) << recvProc << ": a message without payload needs no allocation";
    }
    rx.Fence();
    EXPECT_EQ(rx.Messages(0x103U).size(), 2U);
}

TEST_F(SendRouting, AsynAllocationFailuresReportAndLeakNothing) {
    RecordingTask rx("rx");
    const std::string payload = BinaryPayload(64U);
    for (const char *recvProc : {kOwnProc, "media"}) {
        SCOPED_TRACE(recvProc);
        uint64_t start = UsedBlocks();
        size_t delivered = rx.Messages().size();
        SweepAllocFailures(
            [&] {
                MsgHead head = Outgoing(kOwnProc, recvProc, "rx", 0x104U, payload);
                (void)MsgForceSetSendName(&head);
                return MsgAsynSend(&head, MSG_TRANS_ASYN);
            },
            [&](int n, bool failed, uint32_t result) {
                rx.Fence();
                EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK) << "n=" << n;
                EXPECT_EQ(rx.Messages().size(), delivered + (failed ? 0U : 1U)) << "n=" << n;
                EXPECT_EQ(UsedBlocks(), start) << "n=" << n;
            });
    }
}

// Synchronous calls from this thread, as the public call makes them: sender
// task name cleared, then stamped.
class SyncSend : public SendRouting {
protected:
    uint32_t Call(const char *recvProc, const char *recvTask, uint32_t timeout, MsgHead **resp) {
        MsgHead head = Outgoing(kOwnProc, recvProc, recvTask, 0x200U, ping_);
        uint32_t found = MsgForceSetSendName(&head);
        EXPECT_EQ(found, 0U);
        *resp = nullptr;
        return MsgSynSend(&head, resp, timeout, MSG_TRANS_SYN, found);
    }

    const std::string ping_ = "ping";
};

TEST_F(SyncSend, CallsAreAnsweredAndTheTemporaryTaskLeavesWithTheResponse) {
    std::atomic<uint32_t> requestKind{99U};
    RecordingTask rx("rx", [&](MsgHead *msg) {
        requestKind = msg->msgKind;
        AnswerPong(msg);
    });
    for (const char *recvProc : {kOwnProc, "media"}) {
        SCOPED_TRACE(recvProc);
        MsgHead *resp = nullptr;
        ASSERT_EQ(Call(recvProc, "rx", 2000U, &resp), OS_MSG_OK);
        ASSERT_NE(resp, nullptr);
        EXPECT_EQ(requestKind.load(), MSG_KIND_SYN);
        EXPECT_EQ(resp->msgKind, MSG_KIND_SYN_RESP);
        ASSERT_EQ(resp->dataLen, 5U);
        EXPECT_STREQ(static_cast<const char *>(resp->data), "pong");
        EXPECT_EQ(NameOf(resp->sendTaskName), ThreadTaskName());
        EXPECT_TRUE(TaskExists(ThreadTaskName())) << "the response lives in the temporary task";
        EXPECT_EQ(MsgFreeResp(resp), OS_MSG_OK);
        EXPECT_FALSE(TaskExists(ThreadTaskName()));
    }
    rx.Fence();
    EXPECT_EQ(rx.Messages().at(1).payload, ping_);
}

TEST_F(SyncSend, UnansweredCallsTimeOutPerRouteAndLeaveNoTask) {
    RecordingTask rx("rx");
    struct Route {
        const char *recvProc;
        uint32_t expected;
    };
    for (const Route &route : {Route{kOwnProc, OS_MSG_ERR_TIMEOUT}, Route{"media", OS_MSG_ERR_SYN_TIMEOUT}}) {
        SCOPED_TRACE(route.recvProc);
        MsgHead *resp = nullptr;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Call(route.recvProc, "rx", 60U, &resp), route.expected);
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(50));
        EXPECT_LT(waited, std::chrono::seconds(5));
        EXPECT_EQ(resp, nullptr);
        EXPECT_FALSE(TaskExists(ThreadTaskName()));
    }
    rx.Fence();
}

TEST_F(SyncSend, FailedCallLeavesNoTemporaryTaskButKeepsARegisteredOne) {
    MsgHead *resp = nullptr;
    EXPECT_EQ(Call(kOwnProc, "nobody", 2000U, &resp), OS_MSG_ERR_NOT_FOUND);
    EXPECT_FALSE(TaskExists(ThreadTaskName()));

    ASSERT_EQ(SimpleMsgRegTask(ThreadTaskName().c_str(), 1U, nullptr, 0U), OS_MSG_OK);
    MsgHead head = Outgoing(kOwnProc, kOwnProc, "nobody", 0x201U);
    uint32_t found = MsgForceSetSendName(&head);
    ASSERT_EQ(found, 1U);
    EXPECT_EQ(MsgSynSend(&head, &resp, 2000U, MSG_TRANS_SYN, found), OS_MSG_ERR_NOT_FOUND);
    EXPECT_TRUE(TaskExists(ThreadTaskName()));
}

std::atomic<OsThread> g_selfCallThread{};

uint32_t AnswerSelf(MsgHead *msg) {
    g_selfCallThread = OsPthreadSelf();
    EXPECT_EQ(MsgSynSendResp(msg, "direct", 7U), OS_MSG_OK);
    return 0U;
}

TEST_F(SyncSend, CallToTheSendingTaskRunsItsCallbackOnTheCallingThread) {
    ASSERT_EQ(SimpleMsgRegTask("self", 1U, AnswerSelf, 0U), OS_MSG_OK);
    MsgHead head = Outgoing(kOwnProc, kOwnProc, "self", 0x202U, ping_);
    CopyName(head.sendTaskName, "self");
    uint32_t found = MsgForceSetSendName(&head);
    MsgHead *resp = nullptr;
    ASSERT_EQ(MsgSynSend(&head, &resp, 0U, MSG_TRANS_SYN, found), OS_MSG_OK);
    EXPECT_TRUE(pthread_equal(g_selfCallThread.load(), OsPthreadSelf()));
    ASSERT_NE(resp, nullptr);
    ASSERT_EQ(resp->dataLen, 7U);
    EXPECT_STREQ(static_cast<const char *>(resp->data), "direct");

    uint64_t withResponse = UsedBlocks();
    EXPECT_EQ(MsgFreeResp(resp), OS_MSG_OK);
    EXPECT_EQ(UsedBlocks(), withResponse - 1U) << "the response payload is released";
    EXPECT_TRUE(TaskExists("self"));
}

TEST_F(SyncSend, AllocationFailuresReportAndLeaveNoTaskOrBlockBehind) {
    RecordingTask rx("rx", AnswerPong);
    uint64_t start = UsedBlocks();
    SweepAllocFailures(
        [&] {
            MsgHead *resp = nullptr;
            uint32_t ret = Call(kOwnProc, "rx", 200U, &resp);
            if (ret == OS_MSG_OK) {
                EXPECT_EQ(MsgFreeResp(resp), OS_MSG_OK);
            }
            return ret;
        },
        [&](int n, bool failed, uint32_t result) {
            rx.Fence();
            // A failure hits the requester's registration or payload copy,
            // or the answer (the requester then times out).
            if (failed) {
                EXPECT_TRUE(result == OS_MSG_ERR_NO_MEMORY || result == OS_MSG_ERR_HASH || result == OS_MSG_ERR_TIMEOUT)
                    << "n=" << n << " result=" << std::hex << result;
            } else {
                EXPECT_EQ(result, OS_MSG_OK);
            }
            EXPECT_FALSE(TaskExists(ThreadTaskName())) << "n=" << n;
            EXPECT_EQ(UsedBlocks(), start) << "n=" << n;
        });
}

} // namespace

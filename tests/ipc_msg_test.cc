// The loopback IPC transport: messages for other processes arrive in the own
// process, synchronous calls are answered across it or time out, the server
// is created once and its broadcast task applies subscriptions and fans
// events out, and the queue directory works over a segment when one is
// handed over and fails cleanly without.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "support/event_requests.h"
#include "support/log_capture.h"
#include "transport_test_util.h"
#include "vyre_os_mem.h"
#include "vyre_os_time.h"

using namespace transport_test;

namespace {

Mailbox *g_mailbox = nullptr;
bool g_answerInProcess = false;

uint32_t Collect(MsgHead *msg) {
    g_mailbox->Add(msg);
    return 0;
}

// Answers "re:" and the request's payload, through the transport or through
// the in-process response.
uint32_t Answer(MsgHead *msg) {
    std::string reply = "re:" + std::string(static_cast<const char *>(msg->data), msg->dataLen);
    auto len = static_cast<uint32_t>(reply.size());
    EXPECT_EQ(g_answerInProcess ? SimpleMsgRespSend(msg, reply.data(), len) : PMsgSendResp(msg, reply.data(), len),
              OS_MSG_OK);
    return 0;
}

class Loopback : public TransportTest {
protected:
    void SetUp() override {
        TransportTest::SetUp();
        g_mailbox = &mailbox_;
        ASSERT_EQ(SimpleMsgRegTask("rx", 16, Collect, 0), OS_MSG_OK);
    }
    std::vector<Seen> Receive(size_t n) {
        StartLoop("rx");
        return mailbox_.WaitFor(n);
    }

    Mailbox mailbox_;
};

TEST_F(Loopback, MessageForAnotherProcessArrivesHereUnderTheOwnName) {
    std::string payload("hello\0world", 11);
    MsgHead head = Head("other", "rx", 0x10, "tx", payload);
    EXPECT_EQ(IPCMsgSendData("ignored", MSG_TRANS_ASYN, &head), OS_MSG_OK);
    EXPECT_EQ(Name(head.recvProcName), "proc"); // the caller's header stays rewritten
    std::string original = payload;
    payload.assign(11, '#'); // the queued copy does not follow the caller's bytes
    MsgHead empty = Head("other", "rx", 0x11, "tx");
    empty.data = &head; // without a length no payload travels
    EXPECT_EQ(IPCMsgSendData("ignored", MSG_TRANS_ASYN, &empty), OS_MSG_OK);
    MsgHead cross = Head("other", "rx", 0x12, "tx");
    EXPECT_EQ(PMsgAsynSend(&cross, MSG_TRANS_ASYN, 1), OS_MSG_OK); // slot 8 is the same loopback

    auto seen = Receive(3);
    ASSERT_EQ(seen.size(), 3U);
    EXPECT_EQ(seen[0].payload, original);
    EXPECT_EQ(Name(seen[0].head.recvProcName), "proc");
    EXPECT_EQ(seen[1].head.data, nullptr);
    EXPECT_EQ(seen[2].head.msgId, 0x12U);
    EXPECT_EQ(PMsgInitClient(), OS_MSG_OK); // slots 4 to 7 stay empty
}

TEST_F(Loopback, UndeliverableMessageIsDroppedSilentlyAndItsCopyReleased) {
    LogCapture log;
    uint64_t blocks = OSMemGetUsedBlocks();
    std::string payload = "lost";
    MsgHead head = Head("other", "ghost", 1, "tx", payload);
    EXPECT_EQ(IPCMsgSendData("other", MSG_TRANS_ASYN, &head), OS_MSG_OK);
    EXPECT_EQ(log.Count("MsgAdpTransact transcat ret=-2147352571", OS_MSG_LOG_ERROR), 1U);
    EXPECT_EQ(IPCMsgSendData("other", 9, &head), OS_MSG_OK);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    // A length without data cannot be copied: refused before anything moves.
    head.data = nullptr;
    CopyName(head.recvTaskName, "rx");
    uint32_t ret = IPCMsgSendData("other", MSG_TRANS_ASYN, &head);
    EXPECT_NE(ret, OS_MSG_OK);
    EXPECT_NE(ret, OS_MSG_ERR_NO_MEMORY);
    EXPECT_EQ(Pending("rx"), 0U);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
}

TEST_F(Loopback, PayloadCopyFailureSendsNothingAndKeepsNothing) {
    uint64_t blocks = OSMemGetUsedBlocks();
    std::string payload(300, 'p');
    MsgHead head = Head("other", "rx", 1, "tx", payload);
    SweepAllocFailures([&] { return IPCMsgSendData("other", MSG_TRANS_ASYN, &head); },
                       [&](int, bool failed, uint32_t result) {
                           EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK);
                           EXPECT_EQ(Pending("rx"), failed ? 0U : 1U);
                           if (failed) {
                               EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
                           }
                       });
    EXPECT_EQ(Receive(1).at(0).payload, payload);
}

TEST_F(Loopback, BroadcastTaskRefusesEmptyRequestsAndIgnoresOtherMessages) {
    MsgHead head = Head("proc", MSG_TASK_NAME_PMSG_BRO, MSG_ID_SUBSCRIBE, "rx");
    EXPECT_EQ(IPCMsgBroTaskCallback(&head), 0xFFFFFFFFU);
    head.dataLen = 61; // a length without data
    EXPECT_EQ(IPCMsgBroTaskCallback(&head), 0xFFFFFFFFU);
    head.msgId = MSG_ID_BROADCAST;
    EXPECT_EQ(IPCMsgBroTaskCallback(&head), 0xFFFFFFFFU);
    head.msgId = 0x1234;
    EXPECT_EQ(IPCMsgBroTaskCallback(&head), OS_MSG_OK);
}

TEST_F(Loopback, BroadcastThreadEndsWhenTheTaskIsServedAlready) {
    ASSERT_EQ(SimpleMsgRegTask(MSG_TASK_NAME_PMSG_BRO, 1, IPCMsgBroTaskCallback, 0), OS_MSG_OK);
    EXPECT_EQ(MsgBrodcastTaskFunc(nullptr), nullptr); // returns instead of retrying every millisecond
}

class SyncLoopback : public TransportTest {
protected:
    void SetUp() override {
        TransportTest::SetUp();
        ASSERT_EQ(SimpleMsgRegTask("cli", 1, nullptr, 0), OS_MSG_OK);
    }
    uint32_t Call(uint32_t timeout, MsgHead **out) {
        const std::string payload = "ping";
        MsgHead request = Head("other", "srv", 0x70, "cli", payload);
        request.msgKind = MSG_KIND_SYN;
        return PMsgSynSend(&request, reinterpret_cast<void **>(out), timeout, MSG_TRANS_SYN);
    }
};

TEST_F(SyncLoopback, RequestIsAnsweredByTheReceiversCallback) {
    ASSERT_EQ(SimpleMsgRegTask("srv", 4, Answer, 0), OS_MSG_OK);
    StartLoop("srv");
    for (bool inProcess : {false, true}) {
        g_answerInProcess = inProcess;
        MsgHead *out = nullptr;
        ASSERT_EQ(Call(5000, &out), OS_MSG_OK);
        EXPECT_EQ(out->msgId, 0x70U);
        EXPECT_EQ(std::string(static_cast<const char *>(out->data), out->dataLen), "re:ping");
        EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
    }
}

TEST_F(SyncLoopback, UnansweredRequestTimesOutAsATransportTimeOut) {
    ASSERT_EQ(SimpleMsgRegTask("srv", 4, nullptr, 0), OS_MSG_OK); // no loop: nobody answers
    LogCapture log;
    MsgHead *out = nullptr;
    uint32_t t0 = OsGetSysRunTime();
    EXPECT_EQ(Call(80, &out), OS_MSG_ERR_SYN_TIMEOUT);
    uint32_t elapsed = OsGetSysRunTime() - t0;
    EXPECT_GE(elapsed, 75U);
    EXPECT_LT(elapsed, 5000U);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(log.Count("SYN send wait error. lret:-2147352556", OS_MSG_LOG_ERROR), 1U);
    EXPECT_EQ(Pending("srv"), 1U);
}

// The server context and the slice collector live for the rest of the
// process, so these tests count blocks themselves. They follow start-up: the
// layer's locks and the transport, then the server, then the tables, which
// the broadcast task waits for.
class IpcServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(MsgSetProcName("proc", 5), OS_MSG_OK);
        ASSERT_EQ(SimpleMsgInitPthreadMutex(), OS_MSG_OK);
        PMsgRegAdpFunc();
    }
    void TablesUp() {
        ASSERT_EQ(SimpleMsgCreateQueue(128), OS_MSG_OK);
        ASSERT_EQ(MsgCreateSubscribeTable(128), OS_MSG_OK);
        up_ = true;
        ASSERT_TRUE(WaitForLoop(MSG_TASK_NAME_PMSG_BRO));
    }
    void TearDown() override {
        if (up_) {
            MsgDestroySubscribeTable();
            SimpleMsgDestroyQueue(); // ends the loop of "pmsgBro" and with it the broadcast thread
            for (auto &loop : loops_) {
                (void)loop->Join();
            }
            loops_.clear();
            up_ = false;
        }
    }
    // Sends a request from task sender to "pmsgBro" of process "pmsg".
    static void ToBroadcastTask(const char *sender, uint32_t msgId, std::vector<uint8_t> payload) {
        MsgHead request = RequestHead(0, "proc", sender);
        CopyName(request.recvProcName, MSG_PROC_NAME_PMSG);
        CopyName(request.recvTaskName, MSG_TASK_NAME_PMSG_BRO);
        request.msgId = msgId;
        request.data = payload.data();
        request.dataLen = static_cast<uint32_t>(payload.size());
        ASSERT_EQ(IPCMsgSendData(MSG_PROC_NAME_PMSG, MSG_TRANS_SUB_BRO, &request), OS_MSG_OK);
    }

    bool up_ = false;
    std::vector<std::unique_ptr<simple_msg_test::LoopThread>> loops_;
};

TEST_F(IpcServer, JoinWithoutAServerIsRefused) {
    LogCapture log;
    EXPECT_EQ(IPCMsgJoinServer(), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(log.Count("server init error.", OS_MSG_LOG_ERROR), 1U);
}

TEST_F(IpcServer, StartsOnceAndItsBroadcastTaskDeliversEventsOncePerSubscriber) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL); // registration retries until the tables exist
    uint64_t blocks = OSMemGetUsedBlocks();
    testing::internal::CaptureStdout();
    ASSERT_EQ(IPCMsgStartServer("proc"), OS_MSG_OK);
    (void)fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "create pmsgBro\n");
    rebuildmsg::MsgRebuildRecvData *collector = rebuildEntry;
    ASSERT_NE(collector, nullptr);
    blocks += 2; // the context and the collector, kept for good
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    EXPECT_EQ(IPCMsgStartServer("a-name-too-long!"), OS_MSG_ERR_FAIL);
    EXPECT_EQ(rebuildEntry, collector);
    TablesUp();

    Mailbox mailbox;
    g_mailbox = &mailbox;
    for (const char *task : {"rx", "rx2"}) {
        ASSERT_EQ(SimpleMsgRegTask(task, 4, Collect, 0), OS_MSG_OK);
        loops_.push_back(std::make_unique<simple_msg_test::LoopThread>(task));
        ToBroadcastTask(task, MSG_ID_SUBSCRIBE, SubRequest(true, {SubEntry(0x700, 0, "proc", "pub")}));
    }
    std::string event("e\0vt", 4);
    ToBroadcastTask("pub", MSG_ID_BROADCAST, BroRequest().Block("pub", 0x700, 4, event).Bytes());
    auto seen = mailbox.WaitFor(2);
    ASSERT_EQ(seen.size(), 2U);
    std::vector<std::string> receivers;
    for (const Seen &s : seen) {
        EXPECT_EQ(s.head.msgId, 0x700U);
        EXPECT_EQ(s.payload, event);
        receivers.push_back(Name(s.head.recvTaskName));
    }
    std::sort(receivers.begin(), receivers.end());
    EXPECT_EQ(receivers, (std::vector<std::string>{"rx", "rx2"}));

    TearDown();
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
}

TEST_F(IpcServer, StartFailuresKeepNothing) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    uint64_t blocks = OSMemGetUsedBlocks();
    EXPECT_EQ(IPCMsgStartServer(nullptr), OS_MSG_ERR_FAIL);
    testing::internal::CaptureStdout();
    SweepAllocFailures([] { return IPCMsgStartServer("proc"); },
                       [&](int, bool failed, uint32_t result) {
                           EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK);
                           EXPECT_EQ(rebuildEntry == nullptr, failed);
                           EXPECT_EQ(OSMemGetUsedBlocks(), blocks + (failed ? 0 : 2));
                       });
    (void)fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "create pmsgBro\n"); // the successful start only
    TablesUp();
}

// ---------------------------------------------------------------------------
// Queue directory
// ---------------------------------------------------------------------------

TEST(IpcDirectory, WithoutASharedHeadEveryOperationFails) {
    LogCapture log;
    EXPECT_EQ(IPCMsgGetShmHead(), nullptr);
    auto *untouched = reinterpret_cast<IpcMsgShmHead *>(0x10);
    IPCMsgInitShmHead(&untouched);
    EXPECT_EQ(untouched, reinterpret_cast<IpcMsgShmHead *>(0x10));
    EXPECT_EQ(IPCMsgGetMainQid(), IPC_MSG_INVALID_QID);
    EXPECT_EQ(IPCMsgGetQidByName("q"), IPC_MSG_INVALID_QID);
    EXPECT_EQ(IPCMsgAddQid("q"), OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(IPCMsgDelQid("q"), OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(log.Count("shm head not init.", OS_MSG_LOG_ERROR), 1U);
    EXPECT_EQ(log.Count("get shm error", OS_MSG_LOG_ERROR), 2U);
    EXPECT_EQ(IPCMsgNewQid(), 0U);
}

class IpcDirectoryOverSegment : public ::testing::Test {
protected:
    void SetUp() override {
        // Exactly the head's bytes, so any access beyond them is caught.
        segment_.reset(new uint64_t[IPC_MSG_SHM_HEAD_SIZE / sizeof(uint64_t)]);
        std::memset(segment_.get(), 0xA5, IPC_MSG_SHM_HEAD_SIZE);
        IPCMsgSetShmSegment(segment_.get());
        head_ = IPCMsgGetShmHead();
        ASSERT_EQ(static_cast<void *>(head_), static_cast<void *>(segment_.get()));
    }
    void TearDown() override { IPCMsgDeinitShmHead(head_); }

    std::unique_ptr<uint64_t[]> segment_;
    IpcMsgShmHead *head_ = nullptr;
};

TEST_F(IpcDirectoryOverSegment, AddsFindsAndFreesNamesUntilFull) {
    LogCapture log;
    EXPECT_EQ(IPCMsgGetMainQid(), 0U);
    EXPECT_EQ(IPCMsgAddQid("alpha"), OS_MSG_OK);
    EXPECT_EQ(IPCMsgAddQid("alpha"), OS_MSG_OK);
    EXPECT_EQ(head_->entries[1].inUse, 0U); // listed once
    EXPECT_EQ(IPCMsgGetQidByName("alpha"), 0U);
    EXPECT_EQ(IPCMsgGetQidByName("beta"), IPC_MSG_INVALID_QID);
    EXPECT_EQ(log.Count("[beta]not found", OS_MSG_LOG_ERROR), 1U);
    EXPECT_EQ(IPCMsgAddQid("sixteen-chars-xx"), OS_MSG_ERR_FAIL);
    for (uint32_t i = 1; i < IPC_MSG_QID_ENTRY_NUM; ++i) {
        ASSERT_EQ(IPCMsgAddQid(("q" + std::to_string(i)).c_str()), OS_MSG_OK);
    }
    EXPECT_EQ(IPCMsgAddQid("late"), OS_MSG_ERR_NO_IDLE_BLOCK);
    EXPECT_EQ(log.Count("no idle block", OS_MSG_LOG_ERROR), 1U);

    EXPECT_EQ(IPCMsgDelQid("q5"), OS_MSG_OK);
    EXPECT_EQ(std::string(head_->entries[5].name, 16), std::string(16, '\0'));
    EXPECT_EQ(IPCMsgDelQid("q5"), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(log.Count("not found this queue", OS_MSG_LOG_ERROR), 1U);
    EXPECT_EQ(IPCMsgAddQid("late"), OS_MSG_OK);
    EXPECT_EQ(Name(head_->entries[5].name), "late");
}

TEST_F(IpcDirectoryOverSegment, CountAndOffsetWrittenElsewhereAreBoundedByTheHead) {
    head_->entryCount = 0xFFFFFFFFU;
    head_->dirOffset = IPC_MSG_SHM_HEAD_SIZE - sizeof(IpcMsgQidEntry); // room for one entry
    EXPECT_EQ(IPCMsgAddQid("one"), OS_MSG_OK);
    EXPECT_EQ(IPCMsgAddQid("two"), OS_MSG_ERR_NO_IDLE_BLOCK);
    EXPECT_EQ(IPCMsgGetQidByName("one"), 0U);
    for (uint32_t offset : {IPC_MSG_SHM_HEAD_SIZE + 24U, 0xFFFFFFF0U, 8U, 74U}) {
        head_->dirOffset = offset;
        EXPECT_EQ(IPCMsgAddQid("two"), OS_MSG_ERR_NO_IDLE_BLOCK) << offset;
        EXPECT_EQ(IPCMsgGetQidByName("one"), IPC_MSG_INVALID_QID) << offset;
    }
}

} // namespace

// The transport adapter and its loopback IPC transport: send slots, receive entry, loopback, server and directory.
#include "transport/msg_adapter.h"

#include <gtest/gtest.h>

#include <memory>

#include "base/msg_setup_state.h"
#include "support/log_capture.h"
#include "transport/msg_adp_buff.h"
#include "transport_test_util.h"
#include "vyre_os_mem.h"

using namespace transport_test;

namespace {

constexpr uint32_t kBad = OS_MSG_ERR_INVALID_PARAM, kNotInit = OS_MSG_ERR_NOT_INIT, kFull = OS_MSG_ERR_FULL;

std::string g_sends; // what RecordSend, a transport that answers kFull, got: "slot dest transType msgKind dataLen;"

template <int Slot> uint32_t RecordSend(const char *dest, uint32_t transType, MsgHead *head) {
    g_sends += std::to_string(Slot) + " " + std::string(dest, strnlen(dest, OS_MSG_NAME_LEN)) + " " +
               std::to_string(transType) + " " + std::to_string(head->msgKind) + " " + std::to_string(head->dataLen) +
               ";";
    return kFull;
}

// The layers up with the loopback registered, and task "rx" collecting what reaches its queue once its loop runs.
class Transport : public TransportTest {
protected:
    void SetUp() override {
        TransportTest::SetUp();
        ASSERT_EQ(SimpleMsgRegTask("rx", 16, simple_msg_test::Record, 0), OS_MSG_OK);
    }
};

TEST_F(Transport, SendsTakeSlot0OrForAnotherCpuSlot8AndEmptySlotsAreRefusedWithoutACall) {
    LogCapture log;
    ASSERT_EQ(SimpleMsgRegTask("cli", 1, nullptr, 0), OS_MSG_OK);
    enum Op { kAsyn, kSyn, kResp };
    struct Case {
        uint32_t slots; // registered: bit 0 slot 0, bit 1 slot 8
        Op op;
        uint32_t cpu, result;      // cpu: of the other end
        const char *sent, *logged; // sent: what the transport got
    } cases[] = {
        {0, kAsyn, 0, kNotInit, "", "client not init."},
        {0, kSyn, 0, kNotInit, "", "client not init."},
        {0, kResp, 0, kNotInit, "", "client not init."},
        {1, kAsyn, 1, kNotInit, "", "cross cpu send not supported."},
        {1, kSyn, 1, kNotInit, "", "SYN write data error. lRet = 0x80020004."},
        {1, kResp, 1, kNotInit, "", "cross cpu send not supported."},
        {3, kAsyn, 0, kFull, "0 other 4 1 0;", nullptr},
        {3, kAsyn, 1, kFull, "8 other 4 1 0;", nullptr},
        {1, kSyn, 0, kFull, "0 other 2 1 0;", "SYN write data error. lRet = 0x80020007."}, // the wait is closed
        {3, kResp, 0, kFull, "0 there 3 1 6;", nullptr}, // back to the requester, kind unchanged
        {3, kResp, 1, kFull, "8 there 3 2 6;", nullptr},
    };
    char answer[] = "answer";
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.slots << " " << c.op << " " << c.cpu);
        log.Clear();
        ASSERT_EQ(MsgAdpPrepareTrans(), OS_MSG_OK);
        for (uint32_t slot : {0U, 8U}) {
            if ((c.slots & (slot == 0 ? 1U : 2U)) != 0) {
                MsgAdpFuncReg replaced{slot, {RecordSend<100>}}, reg{slot, {slot == 0 ? RecordSend<0> : RecordSend<8>}};
                ASSERT_EQ(MsgAdpRegFunc(&replaced) | MsgAdpRegFunc(&reg), OS_MSG_OK);
            }
        }
        MsgHead head = Head("other", "srv", 7, "cli");
        CopyName(head.sendProcName, "there");
        head.msgKind = MSG_KIND_SYN;
        (c.op == kResp ? head.sendCpuId : head.recvCpuId) = c.cpu;
        void *resp = nullptr;
        EXPECT_EQ(c.op == kAsyn  ? PMsgAsynSend(&head, MSG_TRANS_SUB_BRO, c.cpu)
                  : c.op == kSyn ? PMsgSynSend(&head, &resp, 100, MSG_TRANS_SYN)
                                 : PMsgSendResp(&head, answer, 6),
                  c.result);
        EXPECT_EQ(std::exchange(g_sends, ""), c.sent);
        EXPECT_TRUE(c.logged == nullptr || log.Count(c.logged, OS_MSG_LOG_ERROR) == 1U) << log.Dump();
        EXPECT_TRUE(head.data == nullptr && resp == nullptr);
    }
    MsgHead unknown = Head("other", "srv", 5, "nobody");
    EXPECT_EQ(PMsgSynSend(&unknown, nullptr, 100, MSG_TRANS_SYN), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(SimpleMsgUnregTask("cli"), OS_MSG_OK); // every wait was closed: nothing holds the slot
    MsgAdpFuncReg nine{9, {RecordSend<9>}};
    EXPECT_EQ(MsgAdpRegFunc(&nine), kBad);
    EXPECT_EQ(MsgAdpRegFunc(nullptr), kBad);
    EXPECT_TRUE(PMsgStartServer("proc") + PMsgInitClient() == 0 && !PMsgGetServerHandle()); // other empty slots
}

TEST(AdapterChecks, HandlesNeedANameAndTheLibraryAndMscNeedsAForeignCpuOutsideTheBoardSupportProcess) {
    EXPECT_EQ(MsgAdpSetClientHandle(nullptr, nullptr), kBad);
    EXPECT_EQ(MsgAdpSetClientHandle("", nullptr), kBad);
    EXPECT_TRUE(MsgAdpSetClientHandle("c", nullptr) == kNotInit && MsgAdpGetServerHandle() == nullptr);
    MsgHead head{};
    ASSERT_EQ(MsgSetProcName("proc", 5), OS_MSG_OK);
    EXPECT_EQ(MsgAdpCheckMscSend(nullptr) + MsgAdpCheckMscSend(&head), 0U);
    head.recvCpuId = 1;
    EXPECT_EQ(MsgAdpCheckMscSend(&head), 1U);
    (void)MsgSetProcName("", 0); // the board-support process's name is empty
    EXPECT_EQ(MsgAdpCheckMscSend(&head), 0U);
}

TEST_F(Transport, ReceiveEntryReadsOnly164HeadBytesAndDeliversEachTypeWithTheTransportsBuffer) {
    MsgHead head = Head("proc", "rx", 0, "tx");
    head.sendPid = 10;
    head.sendUid = 20;
    head.reserved1[59] = 0x5A;
    head.mscBlock = 0x281; // channel memory type 1
    head.data = &head;     // never taken from the wire
    auto buffer = [](const char *bytes) { return std::memcpy(SimpleMsgAllocBuffer(4), bytes, 4); };
    void *request = buffer("req!"), *sub = buffer("sub!"), *kept = buffer("kept");  // as a transport obtains them
    std::unique_ptr<unsigned char[]> wire(new unsigned char[MSG_ADP_MIN_HEAD_LEN]); // exactly the bytes read
    struct Case {
        int32_t type;
        uint32_t headLen, sendCpu;
        void *buf;
        uint32_t bufLen, pid, uid, result;
    } cases[] = {
        {MSG_TRANS_ASYN, 163, 0, nullptr, 0, 1, 1, kBad}, // a header cut after the lower half of data
        {MSG_TRANS_ASYN, 164, 0, nullptr, 0, 0xFFFFFFFFU, 0xFFFFFFFFU, OS_MSG_OK}, // pid and uid as sent
        {MSG_TRANS_ASYN, 164, 0, nullptr, 0, 77, 0xFFFFFFFFU, OS_MSG_OK},
        {MSG_TRANS_ASYN, 164, 0, nullptr, 0, 0xFFFFFFFFU, 0, OS_MSG_OK},
        {MSG_TRANS_SYN, 168, 1, request, 4, 10, 20, OS_MSG_OK}, // queued as is; mscBlock converted
        {MSG_TRANS_ASYN, 168, 0, kept, 0, 10, 20, OS_MSG_OK},   // no length: no payload, the buffer stays ours
        {MSG_TRANS_SUB_BRO, 168, 1, sub, 4, 10, 20, OS_MSG_OK}, // as received
        {0, 168, 0, kept, 4, 10, 20, kBad},
        {5, 168, 0, kept, 4, 10, 20, kBad},
        {-1, 168, 0, kept, 4, 10, 20, kBad},
    };
    for (const Case &c : cases) {
        head.msgId = static_cast<uint32_t>(&c - cases);
        head.sendCpuId = c.sendCpu;
        const void *bytes = c.headLen < sizeof(head) ? std::memcpy(wire.get(), &head, c.headLen) : &head;
        EXPECT_EQ(MsgAdpTransact(c.type, bytes, c.headLen, c.buf, c.bufLen, c.pid, c.uid), c.result) << head.msgId;
    }
    EXPECT_EQ(MsgAdpTransact(MSG_TRANS_ASYN, nullptr, 168, kept, 4, 0, 0), kBad);
    CopyName(head.recvTaskName, "ghost");
    EXPECT_EQ(MsgAdpTransact(MSG_TRANS_ASYN, &head, 168, kept, 4, 0, 0), OS_MSG_ERR_NOT_FOUND);
    SimpleMsgReleaseBuffer(kept, 4); // refused and undelivered buffers stay the caller's

    // The broadcast function sends within one CPU only, an event without data without a payload.
    const std::string evt = "evt";
    MsgHead event = Head("proc", "rx", 10, "pub", evt);
    event.sendCpuId = 2;
    EXPECT_EQ(MsgBroadcastCallback(&event), OS_MSG_OK);
    event.sendCpuId = 0;
    EXPECT_EQ(MsgBroadcastCallback(&event), OS_MSG_OK);
    event = Head("proc", "rx", 11, "pub");
    event.dataLen = static_cast<uint32_t>(-5);
    EXPECT_EQ(MsgBroadcastCallback(&event), OS_MSG_OK);
    // The board-support process passes foreign traffic for others to its own task (none here), keeps its own.
    (void)MsgSetProcName("", 0);
    head = Head("elsewhere", "rx", 12, "tx");
    head.sendCpuId = 1;
    EXPECT_NE(MsgAdpTransact(MSG_TRANS_ASYN, &head, 168, nullptr, 0, 0, 0), OS_MSG_OK);
    EXPECT_NE(MsgAdpTransact(MSG_TRANS_SUB_BRO, &head, 168, nullptr, 0, 0, 0), OS_MSG_OK);
    CopyName(head.recvProcName, "");
    EXPECT_EQ(MsgAdpTransact(MSG_TRANS_ASYN, &head, 168, nullptr, 0, 0, 0), OS_MSG_OK);

    StartLoop("rx");
    std::string got; // "id:pid/uid:mscBlock:payload", "-" for none, "=" for the transport's own buffer
    ASSERT_TRUE(inbox_.WaitFor(9));
    for (const Received &s : inbox_.Items()) {
        got += std::to_string(s.head.msgId) + ":" + std::to_string(s.head.sendPid) + "/" +
               std::to_string(s.head.sendUid) + ":" + std::to_string(s.head.mscBlock) + ":" +
               (s.head.data == nullptr ? "-" : s.payload) + (s.head.data == request || s.head.data == sub ? "= " : " ");
        EXPECT_TRUE(s.head.msgId > 6 || s.head.reserved1[59] == 0x5A) << s.head.msgId;
    }
    EXPECT_EQ(got, "1:10/20:641:- 2:77/20:641:- 3:10/0:641:- 4:10/20:647:req!= 5:10/20:641:- 6:10/20:641:sub!= "
                   "10:0/0:0:evt 11:0/0:0:- 12:0/0:0:- ");
}

TEST_F(Transport, LoopbackBringsMessagesForOtherProcessesHereInACopyOrDropsThem) {
    LogCapture log;
    std::string payload("hello\0world", 11);
    const std::string original = payload;
    MsgHead head = Head("other", "rx", 0x10, "tx", payload);
    OSMemSetFailCountdown(1); // no copy: nothing is sent, nothing kept
    EXPECT_EQ(IPCMsgSendData("ignored", MSG_TRANS_ASYN, &head), OS_MSG_ERR_NO_MEMORY);
    OSMemSetFailCountdown(-1);
    EXPECT_EQ(IPCMsgSendData("ignored", MSG_TRANS_ASYN, &head), OS_MSG_OK);
    EXPECT_EQ(Name(head.recvProcName), "proc"); // the caller's header stays rewritten
    payload.assign(11, '#');                    // the queued copy does not follow the caller's bytes
    MsgHead cross = Head("other", "rx", 0x11, "tx");
    EXPECT_EQ(PMsgAsynSend(&cross, MSG_TRANS_ASYN, 1), OS_MSG_OK); // slot 8 is the same loopback
    // Undeliverable messages are dropped and their copies released; the fixture checks the balance.
    MsgHead ghost = Head("other", "ghost", 1, "tx", original);
    EXPECT_EQ(IPCMsgSendData("other", MSG_TRANS_ASYN, &ghost) | IPCMsgSendData("other", 9, &ghost), OS_MSG_OK);
    EXPECT_EQ(log.Count("MsgAdpTransact transcat ret=", OS_MSG_LOG_ERROR), 2U);
    ghost.data = nullptr; // a length without data carries no payload: nothing is allocated for it
    OSMemSetFailCountdown(1);
    EXPECT_EQ(IPCMsgSendData("other", MSG_TRANS_ASYN, &ghost), OS_MSG_OK);
    EXPECT_EQ(OSMemGetFailCountdown(), 1);
    OSMemSetFailCountdown(-1);
    StartLoop("rx");
    ASSERT_TRUE(inbox_.WaitFor(2));
    std::vector<Received> seen = inbox_.Items();
    EXPECT_EQ(seen.at(0).payload, original);
    EXPECT_EQ(Name(seen.at(0).head.recvProcName), "proc");
    EXPECT_EQ(seen.at(1).head.msgId, 0x11U);
}

TEST_F(Transport, BroadcastTaskNeedsAPayloadForItsTwoRequestsAndASecondThreadForItEnds) {
    ASSERT_EQ(SimpleMsgRegTask(MSG_TASK_NAME_PMSG_BRO, 1, IPCMsgBroTaskCallback, 0), OS_MSG_OK);
    EXPECT_EQ(MsgBrodcastTaskFunc(nullptr), nullptr); // returns instead of retrying every millisecond
    MsgHead head = Head("proc", MSG_TASK_NAME_PMSG_BRO, 0, "rx");
    for (uint32_t id : {MSG_ID_SUBSCRIBE, MSG_ID_BROADCAST, 0x1234U}) {
        for (uint32_t len : {0U, 61U}) { // no data: without or with a length
            head.msgId = id;
            head.dataLen = len;
            EXPECT_EQ(IPCMsgBroTaskCallback(&head), id == 0x1234U ? OS_MSG_OK : 0xFFFFFFFFU) << id << " " << len;
        }
    }
}

// The server context and collector live for good: blocks are counted by hand, and start-up's order is followed.
TEST(IpcServer, StartsOnceKeepsNothingWhenMemoryIsShortAndIsNeededToJoin) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    ASSERT_EQ(MsgSetProcName("proc", 5), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgInitPthreadMutex(), OS_MSG_OK);
    PMsgRegAdpFunc();
    EXPECT_EQ(IPCMsgJoinServer(), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(IPCMsgStartServer(nullptr), OS_MSG_ERR_FAIL);
    const uint64_t blocks = OSMemGetUsedBlocks();
    (void)MsgSetupBegin(); // the broadcast thread serves only once its set-up succeeded
    testing::internal::CaptureStdout();
    SweepAllocFailures([] { return IPCMsgStartServer("proc"); },
                       [&](int, bool failed, uint32_t result) {
                           EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK);
                           EXPECT_EQ(rebuildEntry == nullptr, failed);
                           EXPECT_EQ(OSMemGetUsedBlocks(), blocks + (failed ? 0 : 2)); // the context and the collector
                       });
    rebuildmsg::MsgRebuildRecvData *collector = rebuildEntry;
    OSMemSetFailCountdown(1); // a later start allocates nothing
    EXPECT_EQ(IPCMsgStartServer("a-name-too-long!"), OS_MSG_ERR_FAIL);
    EXPECT_TRUE(rebuildEntry == collector && OSMemGetFailCountdown() == 1);
    OSMemSetFailCountdown(-1);
    (void)fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "create pmsgBro\n"); // the successful start only
    ASSERT_EQ(SimpleMsgCreateQueue(128), OS_MSG_OK);
    ASSERT_EQ(MsgCreateSubscribeTable(128), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask(MSG_TASK_NAME_PMSG_BRO, 0, IPCMsgBroTaskCallback, 0), OS_MSG_OK);
    MsgSetupEnd(true);
    ASSERT_TRUE(WaitForLoop(MSG_TASK_NAME_PMSG_BRO));
    MsgDestroySubscribeTable();
    SimpleMsgDestroyQueue(); // ends the loop of "pmsgBro" and with it the broadcast thread
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks + 2);
}

TEST(IpcDirectory, FailsWithoutASharedHeadAndOverOneKeepsEveryIndexInsideIt) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    EXPECT_EQ(IPCMsgGetShmHead(), nullptr);
    EXPECT_EQ(IPCMsgGetMainQid() & IPCMsgGetQidByName("q"), IPC_MSG_INVALID_QID); // both all ones
    EXPECT_TRUE(IPCMsgAddQid("q") == OS_MSG_ERR_SYSTEM && IPCMsgDelQid("q") == OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(IPCMsgNewQid(), 0U);

    std::unique_ptr<uint64_t[]> segment(new uint64_t[IPC_MSG_SHM_HEAD_SIZE / sizeof(uint64_t)]); // the head's bytes
    IPCMsgSetShmSegment(segment.get());
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    ASSERT_EQ(static_cast<void *>(head), static_cast<void *>(segment.get()));
    EXPECT_EQ(IPCMsgAddQid("alpha") | IPCMsgAddQid("alpha") | IPCMsgGetQidByName("alpha"), OS_MSG_OK);
    EXPECT_EQ(head->entries[1].inUse, 0U); // listed once
    EXPECT_EQ(IPCMsgAddQid("sixteen-chars-xx"), OS_MSG_ERR_FAIL);
    EXPECT_EQ(IPCMsgDelQid("alpha"), OS_MSG_OK);
    EXPECT_EQ(IPCMsgDelQid("alpha"), OS_MSG_ERR_NOT_FOUND);
    // Count and offset written by another process.
    head->entryCount = 0xFFFFFFFFU;
    head->dirOffset = IPC_MSG_SHM_HEAD_SIZE - sizeof(IpcMsgQidEntry); // room for one entry
    EXPECT_EQ(IPCMsgAddQid("one") | IPCMsgGetQidByName("one"), OS_MSG_OK);
    EXPECT_EQ(IPCMsgAddQid("two"), OS_MSG_ERR_NO_IDLE_BLOCK);
    for (uint32_t offset : {IPC_MSG_SHM_HEAD_SIZE + 24U, 0xFFFFFFF0U, 8U, 74U}) {
        head->dirOffset = offset;
        EXPECT_EQ(IPCMsgAddQid("two"), OS_MSG_ERR_NO_IDLE_BLOCK) << offset;
        EXPECT_EQ(IPCMsgGetQidByName("one"), IPC_MSG_INVALID_QID) << offset;
    }
    IPCMsgDeinitShmHead(head);
}

} // namespace

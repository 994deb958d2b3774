// The adapter table and the receive entry: which slot a send takes, how empty
// slots are refused, and how received headers and payload buffers are checked
// and delivered into task queues and response slots.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/log_capture.h"
#include "transport/msg_adp_buff.h"
#include "transport_test_util.h"

using namespace transport_test;

namespace {

// A transport that records what each send slot is given.
struct SendCall {
    int slot;
    std::string dest;
    uint32_t transType;
    MsgHead head;
};
std::mutex g_callsMutex;
std::vector<SendCall> g_sends;
uint32_t g_sendResult = OS_MSG_OK;

template <int Slot> uint32_t RecordSend(const char *dest, uint32_t transType, MsgHead *head) {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    g_sends.push_back({Slot, std::string(dest, strnlen(dest, OS_MSG_NAME_LEN)), transType, *head});
    return g_sendResult;
}

std::vector<SendCall> Sends() {
    std::lock_guard<std::mutex> lock(g_callsMutex);
    return g_sends;
}

void RegisterSend(uint32_t slot, MsgAdpSendFunc func) {
    MsgAdpFuncReg reg{};
    reg.funcId = slot;
    reg.func.send = func;
    ASSERT_EQ(MsgAdpRegFunc(&reg), OS_MSG_OK);
}

class AdapterTable : public ::testing::Test {
protected:
    void SetUp() override {
        g_sends.clear();
        g_sendResult = OS_MSG_OK;
        ASSERT_EQ(MsgAdpPrepareTrans(), OS_MSG_OK);
    }
};

TEST_F(AdapterTable, KeepsTheLastRegistrationAndRefusesSlotNine) {
    RegisterSend(MSG_ADP_SLOT_SEND, RecordSend<100>);
    RegisterSend(MSG_ADP_SLOT_SEND, RecordSend<0>);
    MsgAdpFuncReg nine{};
    nine.funcId = 9;
    nine.func.send = RecordSend<9>;
    EXPECT_EQ(MsgAdpRegFunc(&nine), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgAdpRegFunc(nullptr), OS_MSG_ERR_INVALID_PARAM);

    g_sendResult = OS_MSG_ERR_FULL;
    MsgHead head = Head("other", "t", 7, "s");
    EXPECT_EQ(PMsgAsynSend(&head, MSG_TRANS_SUB_BRO, 0), OS_MSG_ERR_FULL);
    ASSERT_EQ(Sends().size(), 1U);
    EXPECT_EQ(Sends()[0].slot, 0);
    EXPECT_EQ(Sends()[0].dest, "other");
    EXPECT_EQ(Sends()[0].transType, MSG_TRANS_SUB_BRO);
    RegisterSend(MSG_ADP_SLOT_SEND_CPU, RecordSend<8>);
    EXPECT_EQ(PMsgAsynSend(&head, MSG_TRANS_ASYN, 1), OS_MSG_ERR_FULL);
    EXPECT_EQ(Sends().back().slot, 8);
}

TEST_F(AdapterTable, EmptySendSlotsAreRefusedWithoutACall) {
    LogCapture log;
    MsgHead head = Head("other", "t", 1, "s");
    EXPECT_EQ(PMsgAsynSend(&head, MSG_TRANS_ASYN, 0), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(PMsgSendResp(&head, nullptr, 0), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(log.Count("client not init.", OS_MSG_LOG_ERROR), 2U);
    // A transport that serves its own CPU only.
    RegisterSend(MSG_ADP_SLOT_SEND, RecordSend<0>);
    EXPECT_EQ(PMsgAsynSend(&head, MSG_TRANS_ASYN, 1), OS_MSG_ERR_NOT_INIT);
    head.sendCpuId = 1;
    EXPECT_EQ(PMsgSendResp(&head, nullptr, 0), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(log.Count("cross cpu send not supported.", OS_MSG_LOG_ERROR), 2U);
    EXPECT_TRUE(Sends().empty());
    // Emptying the table empties every slot.
    ASSERT_EQ(MsgAdpPrepareTrans(), OS_MSG_OK);
    head.sendCpuId = 0;
    EXPECT_EQ(PMsgAsynSend(&head, MSG_TRANS_ASYN, 0), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(PMsgStartServer("proc"), OS_MSG_OK);
    EXPECT_EQ(PMsgGetServerHandle(), nullptr);
}

TEST_F(AdapterTable, ResponseTravelsBackToTheRequesterInACopy) {
    RegisterSend(MSG_ADP_SLOT_SEND, RecordSend<0>);
    RegisterSend(MSG_ADP_SLOT_SEND_CPU, RecordSend<8>);
    MsgHead request = Head("here", "srv", 0x33, "cli");
    CopyName(request.sendProcName, "there");
    request.msgKind = MSG_KIND_SYN;
    char answer[] = "answer";
    EXPECT_EQ(PMsgSendResp(&request, answer, 6), OS_MSG_OK);
    request.sendCpuId = 3;
    EXPECT_EQ(PMsgSendResp(&request, answer, 6), OS_MSG_OK);

    auto sends = Sends();
    ASSERT_EQ(sends.size(), 2U);
    EXPECT_EQ(sends[0].slot, 0);
    EXPECT_EQ(sends[0].dest, "there");
    EXPECT_EQ(sends[0].transType, MSG_TRANS_SYN_RESP);
    EXPECT_EQ(sends[0].head.data, static_cast<void *>(answer));
    EXPECT_EQ(sends[0].head.dataLen, 6U);
    EXPECT_EQ(sends[0].head.msgKind, MSG_KIND_SYN); // the kind changes only across CPUs
    EXPECT_EQ(sends[1].slot, 8);
    EXPECT_EQ(sends[1].head.msgKind, MSG_KIND_SYN_RESP);
    EXPECT_EQ(request.data, nullptr);
}

TEST_F(AdapterTable, SendersSeeAnEmptyOrACompleteSlotWhileATransportRegisters) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        MsgHead head = Head("other", "t", 1, "s");
        while (!stop.load()) {
            uint32_t ret = PMsgAsynSend(&head, MSG_TRANS_ASYN, 0);
            EXPECT_TRUE(ret == OS_MSG_OK || ret == OS_MSG_ERR_NOT_INIT) << ret;
        }
    });
    for (int i = 0; i < 200; ++i) {
        RegisterSend(MSG_ADP_SLOT_SEND, RecordSend<0>);
        EXPECT_EQ(MsgAdpPrepareTrans(), OS_MSG_OK);
    }
    RegisterSend(MSG_ADP_SLOT_SEND, RecordSend<0>);
    size_t before = Sends().size();
    EXPECT_TRUE(simple_msg_test::WaitUntil([&] { return Sends().size() > before; }));
    stop = true;
    sender.join();
}

TEST(AdapterChecks, HandlesNeedANameAndTheLibraryAndMscNeedsAForeignCpu) {
    LogCapture log;
    EXPECT_EQ(MsgAdpSetClientHandle(nullptr, nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgAdpSetClientHandle("", nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgAdpSetClientHandle("c", nullptr), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(MsgAdpGetServerHandle(), nullptr);
    EXPECT_EQ(log.Count("input name null.", OS_MSG_LOG_ERROR), 1U);
    EXPECT_EQ(log.Count("input name empty.", OS_MSG_LOG_ERROR), 1U);
    EXPECT_EQ(log.Count("msg not init", OS_MSG_LOG_ERROR), 2U);

    MsgHead head{};
    EXPECT_EQ(MsgAdpCheckMscSend(nullptr), 0U);
    ASSERT_EQ(MsgSetProcName("proc", 5), OS_MSG_OK);
    EXPECT_EQ(MsgAdpCheckMscSend(&head), 0U);
    head.recvCpuId = 1;
    EXPECT_EQ(MsgAdpCheckMscSend(&head), 1U);
    (void)MsgSetProcName("", 0); // now the board-support process (its name is empty)
    EXPECT_EQ(MsgAdpCheckMscSend(&head), 0U);
}

// PMsgSynSend's refusals, with the recording transport in slot 0 only.
class SynSendRefusal : public TransportTest {
protected:
    void SetUp() override {
        TransportTest::SetUp();
        g_sends.clear();
        ASSERT_EQ(MsgAdpPrepareTrans(), OS_MSG_OK);
        RegisterSend(MSG_ADP_SLOT_SEND, RecordSend<0>);
        ASSERT_EQ(SimpleMsgRegTask("cli", 1, nullptr, 0), OS_MSG_OK);
    }
};

TEST_F(SynSendRefusal, FailedSendsCloseTheWait) {
    LogCapture log;
    void *resp = nullptr;
    MsgHead unknown = Head("other", "srv", 5, "nobody");
    EXPECT_EQ(PMsgSynSend(&unknown, &resp, 100, MSG_TRANS_SYN), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(log.Count("SYN send wait error.", OS_MSG_LOG_DEBUG), 1U);
    EXPECT_TRUE(Sends().empty());

    g_sendResult = OS_MSG_ERR_FULL;
    MsgHead head = Head("other", "srv", 6, "cli");
    EXPECT_EQ(PMsgSynSend(&head, &resp, 100, MSG_TRANS_SYN), OS_MSG_ERR_FULL);
    EXPECT_EQ(log.Count("SYN write data error. lRet = 0x80020007.", OS_MSG_LOG_ERROR), 1U);
    head.recvCpuId = 1; // slot 8 is empty
    EXPECT_EQ(PMsgSynSend(&head, &resp, 100, MSG_TRANS_SYN), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(log.Count("cross cpu send not supported.", OS_MSG_LOG_ERROR), 1U);
    EXPECT_EQ(Sends().size(), 1U);
    EXPECT_EQ(resp, nullptr);
    // Both waits were closed: nothing holds the slot, so the task goes at once.
    EXPECT_EQ(SimpleMsgUnregTask("cli"), OS_MSG_OK);
}

// ---------------------------------------------------------------------------
// Receive entry
// ---------------------------------------------------------------------------

Mailbox *g_mailbox = nullptr;

uint32_t Collect(MsgHead *msg) {
    g_mailbox->Add(msg);
    return 0;
}

class ReceiveEntry : public TransportTest {
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
    uint32_t Transact(int32_t type, const MsgHead &head, void *buf = nullptr, uint32_t len = 0,
                      uint32_t pid = 0xFFFFFFFFU, uint32_t uid = 0xFFFFFFFFU) {
        return MsgAdpTransact(type, &head, sizeof(head), buf, len, pid, uid);
    }
    // A payload buffer as a transport obtains it.
    static void *Buffer(const std::string &bytes) {
        void *buf = SimpleMsgAllocBuffer(static_cast<uint32_t>(bytes.size()));
        std::memcpy(buf, bytes.data(), bytes.size());
        return buf;
    }

    Mailbox mailbox_;
};

TEST_F(ReceiveEntry, ReadsOnlyTheFirst164BytesAndTakesPidAndUidUnlessAbsent) {
    LogCapture log;
    MsgHead head = Head("proc", "rx", 0x41, "tx");
    head.sendPid = 10;
    head.sendUid = 20;
    head.reserved1[59] = 0x5A;
    unsigned char wire[164]; // a header cut after the lower half of data
    std::memcpy(wire, &head, sizeof(wire));
    EXPECT_EQ(MsgAdpTransact(MSG_TRANS_ASYN, wire, 163, nullptr, 0, 1, 1), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("headLen[163] error.", OS_MSG_LOG_ERROR), 1U);
    EXPECT_EQ(Pending("rx"), 0U);
    EXPECT_EQ(MsgAdpTransact(MSG_TRANS_ASYN, wire, 164, nullptr, 0, 0xFFFFFFFFU, 0xFFFFFFFFU), OS_MSG_OK);
    EXPECT_EQ(MsgAdpTransact(MSG_TRANS_ASYN, wire, 164, nullptr, 0, 77, 0xFFFFFFFFU), OS_MSG_OK);
    EXPECT_EQ(MsgAdpTransact(MSG_TRANS_ASYN, wire, 164, nullptr, 0, 0xFFFFFFFFU, 0), OS_MSG_OK);
    auto seen = Receive(3);
    ASSERT_EQ(seen.size(), 3U);
    EXPECT_EQ(seen[0].head.msgId, 0x41U);
    EXPECT_EQ(seen[0].head.reserved1[59], 0x5A);
    EXPECT_EQ(std::make_pair(seen[0].head.sendPid, seen[0].head.sendUid), std::make_pair(10U, 20U));
    EXPECT_EQ(std::make_pair(seen[1].head.sendPid, seen[1].head.sendUid), std::make_pair(77U, 20U));
    EXPECT_EQ(std::make_pair(seen[2].head.sendPid, seen[2].head.sendUid), std::make_pair(10U, 0U));
}

TEST_F(ReceiveEntry, DeliversEachTypeWithTheTransportsBufferInItsForm) {
    const std::string bytes("a\0b\xff", 4);
    void *request = Buffer(bytes);
    void *sub = Buffer("sub!");
    MsgHead head = Head("proc", "rx", 2, "tx");
    head.sendCpuId = 1;
    head.mscBlock = 0x281; // channel memory type 1
    head.data = &head;     // never taken from the wire
    ASSERT_EQ(Transact(MSG_TRANS_SYN, head, request, 4), OS_MSG_OK);
    char kept[3] = {'x', 'y', 'z'};
    ASSERT_EQ(Transact(MSG_TRANS_ASYN, head, kept, 0), OS_MSG_OK); // no length: no payload, kept stays ours
    ASSERT_EQ(Transact(MSG_TRANS_SUB_BRO, head, sub, 4), OS_MSG_OK);
    auto seen = Receive(3);
    ASSERT_EQ(seen.size(), 3U);
    EXPECT_EQ(seen[0].head.data, request); // queued as is, not copied
    EXPECT_EQ(seen[0].payload, bytes);
    EXPECT_EQ(seen[0].head.mscBlock, 0x287U); // converted to local numbering
    EXPECT_EQ(seen[0].head.sendCpuId, 1U);    // no virtual id configured
    EXPECT_EQ(seen[1].head.data, nullptr);
    EXPECT_EQ(seen[1].head.dataLen, 0U);
    EXPECT_EQ(seen[2].head.data, sub); // subscription traffic: as received
    EXPECT_EQ(seen[2].head.dataLen, 4U);
    EXPECT_EQ(seen[2].head.mscBlock, 0x281U);
    EXPECT_EQ(kept[0], 'x');
}

TEST_F(ReceiveEntry, RefusesUnknownTypesAndTasksAndLeavesTheBufferWithTheCaller) {
    LogCapture log;
    void *buf = Buffer("keep");
    MsgHead head = Head("proc", "rx", 3, "tx");
    for (int32_t type : {0, 5, -1}) {
        EXPECT_EQ(Transact(type, head, buf, 4), OS_MSG_ERR_INVALID_PARAM);
    }
    EXPECT_EQ(log.Count("MsgAdpTransact transcat ret=-2147352575", OS_MSG_LOG_ERROR), 3U);
    EXPECT_EQ(MsgAdpTransact(MSG_TRANS_ASYN, nullptr, 168, buf, 4, 0, 0), OS_MSG_ERR_INVALID_PARAM);
    CopyName(head.recvTaskName, "ghost");
    EXPECT_EQ(Transact(MSG_TRANS_ASYN, head, buf, 4), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(Pending("rx"), 0U);
    MsgReleaseBuffByHead(&head, sizeof(head), buf, 4);
}

TEST_F(ReceiveEntry, ResponseWithoutLengthReachesTheWaitingRequesterWithoutPayload) {
    ASSERT_EQ(SimpleMsgRegTask("req", 1, nullptr, 0), OS_MSG_OK);
    MsgHead request = Head("proc", "rx", 0x99, "req");
    simple_msg_test::Gate armed;
    MsgHead *resp = nullptr;
    uint32_t waited = 0xFFFFFFFFU;
    std::thread requester([&] {
        SimpleMsgTask *slot = SimpleMsgWaitSynRespStart("req");
        SimpleMsgSetToken(slot, &request);
        armed.Open();
        waited = SimpleMsgWaitSynRespEnd(slot, &resp, 10000);
    });
    ASSERT_TRUE(armed.Wait());
    char notTaken[4] = "abc";
    EXPECT_EQ(Transact(MSG_TRANS_SYN_RESP, request, notTaken, 0), OS_MSG_OK);
    requester.join();
    ASSERT_EQ(waited, OS_MSG_OK);
    EXPECT_EQ(resp->msgId, 0x99U);
    EXPECT_EQ(resp->data, nullptr);
    EXPECT_EQ(resp->dataLen, 0U);
    EXPECT_EQ(SimpleMsgFreeRespBuffer("req"), OS_MSG_OK);
}

TEST_F(ReceiveEntry, BoardSupportProcessRedirectsForeignCpuTrafficAwayFromItsTasks) {
    // The own name now equals the (empty) board-support name: traffic from
    // another CPU for another process goes to the board-support task, which
    // does not exist here, and not to "rx".
    (void)MsgSetProcName("", 0);
    MsgHead head = Head("elsewhere", "rx", 4, "tx");
    head.sendCpuId = 1;
    EXPECT_NE(Transact(MSG_TRANS_ASYN, head), OS_MSG_OK);
    EXPECT_NE(Transact(MSG_TRANS_SUB_BRO, head), OS_MSG_OK);
    EXPECT_EQ(Pending("rx"), 0U);
    CopyName(head.recvProcName, ""); // addressed to the board-support process itself
    EXPECT_EQ(Transact(MSG_TRANS_ASYN, head), OS_MSG_OK);
    EXPECT_EQ(Pending("rx"), 1U);
}

TEST_F(ReceiveEntry, BroadcastCallbackSendsOnlyWithinOneCpu) {
    const std::string payload = "evt";
    MsgHead event = Head("proc", "rx", 0x500, "pub", payload);
    event.sendCpuId = 2;
    EXPECT_EQ(MsgBroadcastCallback(&event), OS_MSG_OK);
    EXPECT_EQ(Pending("rx"), 0U);
    event.sendCpuId = 0;
    EXPECT_EQ(MsgBroadcastCallback(&event), OS_MSG_OK);
    auto seen = Receive(1);
    ASSERT_EQ(seen.size(), 1U);
    EXPECT_EQ(seen[0].payload, "evt");

    // An event published with a negative length has no data: it is delivered
    // without a payload instead of turning the length into a buffer size.
    event.data = nullptr;
    event.dataLen = (uint32_t)-5;
    EXPECT_EQ(MsgBroadcastCallback(&event), OS_MSG_OK);
    seen = mailbox_.WaitFor(2);
    ASSERT_EQ(seen.size(), 2U);
    EXPECT_EQ(seen[1].head.dataLen, 0U);
    EXPECT_EQ(seen[1].head.data, nullptr);
}

} // namespace

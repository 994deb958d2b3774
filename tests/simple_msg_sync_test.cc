// Synchronous requests between two tasks of the process and the direct call
// of a task's own callback: answers, time-outs, late and stale answers, a
// slot whose lock stays busy, freeing, and allocation failures on the way.
#include <gtest/gtest.h>

#include <atomic>

#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_mem.h"
#include "vyre_os_time.h"

using namespace simple_msg_test;

namespace {

enum class Server { Echo, Empty, Silent, StaleThenNew };

std::atomic<Server> g_mode{Server::Echo};
Inbox *g_inbox = nullptr;
Gate *g_requestSeen = nullptr;
MsgHead g_saved;                     // the last request the silent server kept
std::atomic<uint32_t> g_respResult;  // result of the server's last answer
std::atomic<uint32_t> g_staleResult; // result of answering the kept request late

uint32_t ServerCallback(MsgHead *msg) {
    g_inbox->Add(msg);
    std::string request(static_cast<const char *>(msg->data), msg->data != nullptr ? msg->dataLen : 0U);
    switch (g_mode.load()) {
    case Server::Echo: {
        std::string reply = "re:" + request;
        g_respResult = SimpleMsgRespSend(msg, reply.data(), static_cast<uint32_t>(reply.size()));
        break;
    }
    case Server::Empty:
        g_respResult = SimpleMsgRespSend(msg, nullptr, 0);
        break;
    case Server::Silent:
        g_saved = *msg;
        g_saved.data = nullptr;
        g_saved.dataLen = 0;
        g_requestSeen->Open();
        break;
    case Server::StaleThenNew:
        g_staleResult = SimpleMsgRespSend(&g_saved, "old", 3);
        g_respResult = SimpleMsgRespSend(msg, "new", 3);
        break;
    }
    return 0;
}

std::string PayloadOf(const MsgHead *head) {
    return head->data != nullptr ? std::string(static_cast<const char *>(head->data), head->dataLen) : "";
}

class SyncRequest : public SimpleMsgTest {
protected:
    void SetUp() override {
        SimpleMsgTest::SetUp();
        g_inbox = &inbox_;
        g_requestSeen = &requestSeen_;
        g_mode = Server::Echo;
        ASSERT_EQ(SimpleMsgRegTask("srv", 8, ServerCallback, 0), OS_MSG_OK);
        StartLoop("srv");
        ASSERT_EQ(SimpleMsgRegTask("cli", 1, nullptr, 0), OS_MSG_OK);
    }
    uint32_t Call(uint32_t msgId, const std::string &payload, uint32_t timeout, MsgHead **out) {
        MsgHead request = MakeHead("srv", msgId, "cli", payload);
        return SimpleMsgSynSend(&request, out, timeout);
    }

    Inbox inbox_;
    Gate requestSeen_;
};

TEST_F(SyncRequest, AnswerStaysInTheSlotUntilFreed) {
    LogCapture log;
    MsgHead *out = nullptr;
    ASSERT_EQ(Call(0x42, "ping", 2000, &out), OS_MSG_OK);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->msgId, 0x42U);
    EXPECT_STREQ(out->sendTaskName, "cli");
    EXPECT_STREQ(out->recvTaskName, "srv");
    EXPECT_EQ(PayloadOf(out), "re:ping");
    EXPECT_EQ(inbox_.Items().at(0).payload, "ping");
    EXPECT_EQ(SimpleMsgGetRespBuffer("cli"), out);

    EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
    EXPECT_EQ(out->data, nullptr);
    EXPECT_EQ(out->dataLen, 0U);
    EXPECT_EQ(SimpleMsgGetRespBuffer("cli"), nullptr);
    EXPECT_EQ(log.Count("GetRespBuffer - enRespStatus is fail [0].", OS_LOG_ERROR), 1U);
    EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
    EXPECT_EQ(log.Count("no resp buffer.", OS_LOG_ERROR), 1U);
}

TEST_F(SyncRequest, AnswerWithoutDataCarriesNoPayload) {
    g_mode = Server::Empty;
    MsgHead *out = nullptr;
    ASSERT_EQ(Call(1, "", 2000, &out), OS_MSG_OK);
    EXPECT_EQ(out->dataLen, 0U);
    EXPECT_EQ(out->data, nullptr);
    EXPECT_FALSE(inbox_.Items().at(0).hasData);
    EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
}

TEST_F(SyncRequest, UnknownRequesterOrReceiverSendsNothingAndKeepsNothing) {
    LogCapture log;
    uint64_t blocks = OSMemGetUsedBlocks();
    MsgHead *out = nullptr;
    const std::string payload = "payload";
    MsgHead anonymous = MakeHead("srv", 1, "nobody", payload);
    EXPECT_EQ(SimpleMsgSynSend(&anonymous, &out, 100), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(log.Count("SimpleMsgGetQueue NULL[nobody].", OS_LOG_ERROR), 1U);
    EXPECT_EQ(log.Count("wait syn thread msg error.", OS_LOG_ERROR), 1U);
    MsgHead lost = MakeHead("ghost", 2, "cli", payload);
    EXPECT_EQ(SimpleMsgSynSend(&lost, &out, 100), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    EXPECT_EQ(out, nullptr);
    // The requester's slot was released: the next request goes through, and
    // it is the first the server sees.
    ASSERT_EQ(Call(3, "ok", 2000, &out), OS_MSG_OK);
    EXPECT_EQ(inbox_.Ids(), std::vector<uint32_t>{3});
    EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
}

TEST_F(SyncRequest, TimeOutEndsTheWaitAndALateAnswerIsRefused) {
    g_mode = Server::Silent;
    LogCapture log;
    MsgHead *out = nullptr;
    uint32_t t0 = OsGetSysRunTime();
    EXPECT_EQ(Call(5, "q", 60, &out), OS_MSG_ERR_TIMEOUT);
    uint32_t elapsed = OsGetSysRunTime() - t0;
    EXPECT_GE(elapsed, 55U);
    EXPECT_LT(elapsed, 2000U);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(log.Count("pthread cond wait error. lRet=110", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(log.Count("wait syn thread msg error ret=-2147352556.", OS_LOG_ERROR), 1U) << log.Dump();

    ASSERT_TRUE(requestSeen_.Wait());
    uint64_t blocks = OSMemGetUsedBlocks();
    EXPECT_EQ(SimpleMsgRespSend(&g_saved, "late", 4), OS_MSG_ERR_RESP_STATE);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    EXPECT_EQ(log.Count("resp buffer wrong stat[0].", OS_LOG_ERROR), 1U);
}

TEST_F(SyncRequest, StaleAnswerAfterANewRequestIsRefused) {
    g_mode = Server::Silent;
    MsgHead *out = nullptr;
    ASSERT_EQ(Call(1, "first", 50, &out), OS_MSG_ERR_TIMEOUT);
    ASSERT_TRUE(requestSeen_.Wait());

    LogCapture log;
    g_mode = Server::StaleThenNew;
    ASSERT_EQ(Call(2, "second", 2000, &out), OS_MSG_OK);
    EXPECT_EQ(g_staleResult.load(), OS_MSG_ERR_REQ_RELEASED);
    EXPECT_EQ(log.Count("sync request msg has been released, msgid = 1.", OS_LOG_DEBUG), 1U);
    EXPECT_EQ(out->msgId, 2U);
    EXPECT_EQ(PayloadOf(out), "new");
    EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
}

TEST_F(SyncRequest, StoreGivesUpCleanlyWhileTheSlotStaysLocked) {
    MsgHead answer = MakeHead("srv", 7, "cli");
    SimpleMsgTask *cli = SimpleMsgWaitSynRespStart("cli");
    ASSERT_NE(cli, nullptr);
    SimpleMsgSetToken(cli, &answer);
    void *payload = SimpleMsgAllocBuffer(4);
    ASSERT_NE(payload, nullptr);

    LogCapture log;
    std::atomic<uint32_t> stored{0xFFFFFFFFU};
    uint32_t t0 = OsGetSysRunTime();
    std::thread responder([&] { stored = SimpleMsgPushRespBuffer(nullptr, &answer, payload, 4); });
    responder.join();
    uint32_t elapsed = OsGetSysRunTime() - t0;
    EXPECT_EQ(stored.load(), OS_MSG_ERR_RESP_STATE);
    EXPECT_GE(elapsed, 1900U);
    EXPECT_LT(elapsed, 8000U);
    EXPECT_EQ(log.Count("[cli]push resp msgid=0x7, count = 200, lockRet = ", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(cli->enRespStatus, SIMPLE_MSG_RESP_IDLE);
    EXPECT_EQ(cli->respHead.data, nullptr);
    // The table lock is free again, and ours is still ours to release.
    std::thread other([] { EXPECT_EQ(SimpleMsgRegTask("later", 1, nullptr, 0), OS_MSG_OK); });
    other.join();
    EXPECT_EQ(SimpleMsgWaitSynRespEndNoCond(cli), OS_MSG_OK);
    SimpleMsgReleaseBuffer(payload, 4);
}

TEST_F(SyncRequest, RequestAndAnswerCopiesFailCleanly) {
    const uint64_t start = OSMemGetUsedBlocks();
    LogCapture log;
    int allocations = SweepAllocFailures(
        [&] {
            MsgHead *out = nullptr;
            return Call(11, "payload", 100, &out);
        },
        [&](int n, bool failed, uint32_t result) {
            if (!failed) {
                EXPECT_EQ(result, OS_MSG_OK);
                EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
                return;
            }
            // The request copy is made first, the answer copy by the server.
            EXPECT_EQ(result, n == 1 ? OS_MSG_ERR_NO_MEMORY : OS_MSG_ERR_TIMEOUT);
            EXPECT_EQ(OSMemGetUsedBlocks(), start);
        });
    EXPECT_EQ(allocations, 2);
    EXPECT_EQ(log.Count("malloc failed.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(log.Count("simple msg alloc buffer error.", OS_LOG_ERROR), 1U);
}

TEST_F(SyncRequest, TemporaryRequesterGoesWhenItsAnswerIsFreed) {
    ASSERT_EQ(SimpleMsgRegTask("T4242", 1, nullptr, 1), OS_MSG_OK);
    const std::string payload = "x";
    MsgHead request = MakeHead("srv", 3, "T4242", payload);
    MsgHead *out = nullptr;
    ASSERT_EQ(SimpleMsgSynSend(&request, &out, 2000), OS_MSG_OK);
    EXPECT_EQ(PayloadOf(out), "re:x");
    EXPECT_EQ(SimpleMsgFreeRespBuffer("T4242"), OS_MSG_OK);
    EXPECT_EQ(FindTask("T4242"), nullptr);
}

// --- direct call ---------------------------------------------------------

enum class Direct { Answer, AnswerTwice, Silent, RemoveOwnTask };

std::atomic<Direct> g_direct{Direct::Answer};
std::atomic<uint32_t> g_directResp{0};
std::atomic<uint32_t> g_secondResp{0};
std::thread::id g_callbackThread;

uint32_t DirectCallback(MsgHead *msg) {
    g_callbackThread = std::this_thread::get_id();
    switch (g_direct.load()) {
    case Direct::Answer:
        g_directResp = SimpleMsgDirectResp(msg, "ok", 2);
        break;
    case Direct::AnswerTwice:
        g_directResp = SimpleMsgDirectResp(msg, "ok", 2);
        g_secondResp = SimpleMsgDirectResp(msg, "again", 5);
        break;
    case Direct::Silent:
        break;
    case Direct::RemoveOwnTask:
        g_directResp = SimpleMsgUnregTask(msg->recvTaskName);
        break;
    }
    return 0;
}

class DirectCall : public SimpleMsgTest {
protected:
    void SetUp() override {
        SimpleMsgTest::SetUp();
        g_direct = Direct::Answer;
        ASSERT_EQ(SimpleMsgRegTask("me", 2, DirectCallback, 0), OS_MSG_OK);
    }
    uint32_t CallSelf(uint32_t msgId, MsgHead **out, const std::string &task = "me") {
        request_ = "request";
        MsgHead head = MakeHead(task, msgId, task, request_);
        return SimpleMsgDirectCall(&head, out);
    }
    std::string request_;
};

TEST_F(DirectCall, RunsTheCallbackInlineAndFreeingClearsThePayload) {
    LogCapture log;
    g_direct = Direct::AnswerTwice;
    uint64_t blocks = OSMemGetUsedBlocks();
    MsgHead *out = nullptr;
    ASSERT_EQ(CallSelf(3, &out), OS_MSG_OK);
    EXPECT_EQ(g_callbackThread, std::this_thread::get_id());
    EXPECT_EQ(g_directResp.load(), OS_MSG_OK);
    EXPECT_EQ(g_secondResp.load(), OS_MSG_ERR_RESP_STATE);
    EXPECT_EQ(log.Count("resp buffer stat wrong[2], msgid = [3].", OS_LOG_ERROR), 1U);
    ASSERT_EQ(out, &FindTask("me")->respHead);
    EXPECT_EQ(PayloadOf(out), "ok");
    EXPECT_EQ(out->msgId, 3U);

    EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
    EXPECT_EQ(out->data, nullptr);
    EXPECT_EQ(out->dataLen, 0U);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
    EXPECT_EQ(log.Count("resp buffer null.", OS_LOG_ERROR), 1U);
}

TEST_F(DirectCall, UnansweredCallHandsOutNoPayloadAndDropsAnUnfreedOne) {
    uint64_t blocks = OSMemGetUsedBlocks();
    MsgHead *out = nullptr;
    ASSERT_EQ(CallSelf(1, &out), OS_MSG_OK);
    ASSERT_EQ(PayloadOf(out), "ok");
    // Not freed; the next call replaces it.
    g_direct = Direct::Silent;
    ASSERT_EQ(CallSelf(2, &out), OS_MSG_OK);
    EXPECT_EQ(out->msgId, 2U);
    EXPECT_EQ(out->data, nullptr);
    EXPECT_EQ(out->dataLen, 0U);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    // An answer now finds no call waiting.
    EXPECT_EQ(SimpleMsgDirectResp(out, "late", 4), OS_MSG_ERR_RESP_STATE);
    EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
}

TEST_F(DirectCall, RefusesTasksWithoutCallbackOrRegistration) {
    ASSERT_EQ(SimpleMsgRegTask("deaf", 1, nullptr, 0), OS_MSG_OK);
    MsgHead *out = nullptr;
    EXPECT_EQ(CallSelf(1, &out, "deaf"), OS_MSG_ERR_NO_CALLBACK);
    LogCapture log;
    EXPECT_EQ(CallSelf(1, &out, "nobody"), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(log.Count("SimpleMsgGetQueue NULL[nobody].", OS_LOG_ERROR), 1U);
    EXPECT_EQ(out, nullptr);
}

TEST_F(DirectCall, CallbackThatRemovesItsTaskEndsTheCall) {
    g_direct = Direct::RemoveOwnTask;
    MsgHead *out = nullptr;
    EXPECT_EQ(CallSelf(1, &out), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(g_directResp.load(), OS_MSG_OK);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(FindTask("me"), nullptr);
}

TEST_F(DirectCall, TemporaryTaskGoesWhenItsAnswerIsFreed) {
    ASSERT_EQ(SimpleMsgRegTask("tmp", 1, DirectCallback, 1), OS_MSG_OK);
    MsgHead *out = nullptr;
    ASSERT_EQ(CallSelf(1, &out, "tmp"), OS_MSG_OK);
    EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
    EXPECT_EQ(FindTask("tmp"), nullptr);
}

TEST_F(DirectCall, AnswerCopyFailureLeavesTheCallUnanswered) {
    const uint64_t start = OSMemGetUsedBlocks();
    MsgHead *out = nullptr;
    int allocations = SweepAllocFailures([&] { return CallSelf(4, &out); },
                                         [&](int, bool failed, uint32_t result) {
                                             EXPECT_EQ(result, OS_MSG_OK);
                                             if (failed) {
                                                 EXPECT_EQ(g_directResp.load(), OS_MSG_ERR_NO_MEMORY);
                                                 EXPECT_EQ(out->data, nullptr);
                                                 EXPECT_EQ(OSMemGetUsedBlocks(), start);
                                             } else {
                                                 EXPECT_EQ(PayloadOf(out), "ok");
                                                 EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
                                             }
                                         });
    EXPECT_EQ(allocations, 1);
}

} // namespace

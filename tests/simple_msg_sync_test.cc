// Synchronous requests between two tasks and the direct call of a task's own
// callback: answers, time-outs, late and stale answers, a slot whose lock
// stays busy, freeing, and copies that cannot be made.
#include <gtest/gtest.h>

#include <atomic>

#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_mem.h"
#include "vyre_os_time.h"

using namespace simple_msg_test;

namespace {

enum class Server { Echo, Silent, StaleThenNew };

std::atomic<Server> g_mode{Server::Echo};
Gate *g_requestSeen = nullptr;
MsgHead g_kept;                         // the request the silent server kept
std::atomic<uint32_t> g_staleResult{0}; // answering the kept request late

uint32_t ServerCallback(MsgHead *msg) {
    const std::string request(static_cast<const char *>(msg->data), msg->data != nullptr ? msg->dataLen : 0U);
    const std::string reply = "re:" + request;
    switch (g_mode.load()) {
    case Server::Echo:
        (void)SimpleMsgRespSend(msg, request.empty() ? nullptr : reply.data(), static_cast<uint32_t>(reply.size()));
        break;
    case Server::Silent:
        g_kept = *msg;
        g_kept.data = nullptr;
        g_kept.dataLen = 0;
        g_requestSeen->Open();
        break;
    case Server::StaleThenNew:
        g_staleResult = SimpleMsgRespSend(&g_kept, "old", 3);
        (void)SimpleMsgRespSend(msg, "new", 3);
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
        g_requestSeen = &requestSeen_;
        ASSERT_EQ(SimpleMsgRegTask("srv", 8, ServerCallback, 0), OS_MSG_OK);
        StartLoop("srv");
        ASSERT_EQ(SimpleMsgRegTask("cli", 1, nullptr, 0), OS_MSG_OK);
    }
    uint32_t Call(uint32_t msgId, const std::string &payload, uint32_t timeout, MsgHead **out) {
        MsgHead request = MakeHead("srv", msgId, "cli", payload);
        return SimpleMsgSynSend(&request, out, timeout);
    }
    Gate requestSeen_;
};

TEST_F(SyncRequest, AnswerStaysInTheRequestersSlotUntilFreed) {
    LogCapture log;
    MsgHead *out = nullptr;
    ASSERT_EQ(Call(0x42, "ping", 2000, &out), OS_MSG_OK);
    EXPECT_EQ(out->msgId, 0x42U);
    EXPECT_STREQ(out->sendTaskName, "cli");
    EXPECT_EQ(PayloadOf(out), "re:ping");
    EXPECT_EQ(SimpleMsgGetRespBuffer("cli"), out);
    EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
    EXPECT_EQ(out->data, nullptr);
    EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
    EXPECT_EQ(log.Count("no resp buffer.", OS_LOG_ERROR), 1U);

    ASSERT_EQ(Call(2, "", 2000, &out), OS_MSG_OK); // an answer without data
    EXPECT_EQ(out->dataLen, 0U);
    EXPECT_EQ(out->data, nullptr);
    EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
}

TEST_F(SyncRequest, TimeOutEndsTheWaitAndALateAnswerIsRefused) {
    g_mode = Server::Silent;
    LogCapture log;
    MsgHead *out = nullptr;
    const uint32_t t0 = OsGetSysRunTime();
    EXPECT_EQ(Call(5, "q", 60, &out), OS_MSG_ERR_TIMEOUT);
    const uint32_t elapsed = OsGetSysRunTime() - t0;
    EXPECT_GE(elapsed, 55U);
    EXPECT_LT(elapsed, 2000U);
    EXPECT_EQ(log.Count("pthread cond wait error. lRet=110", OS_LOG_ERROR), 1U);
    ASSERT_TRUE(requestSeen_.Wait());
    const uint64_t blocks = OSMemGetUsedBlocks();
    EXPECT_EQ(SimpleMsgRespSend(&g_kept, "late", 4), OS_MSG_ERR_RESP_STATE);
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
    LogCapture log;
    std::atomic<uint32_t> stored{0xFFFFFFFFU};
    const uint32_t t0 = OsGetSysRunTime();
    std::thread([&] { stored = SimpleMsgPushRespBuffer(nullptr, &answer, payload, 4); }).join();
    EXPECT_GE(OsGetSysRunTime() - t0, 1900U);
    EXPECT_EQ(stored.load(), OS_MSG_ERR_RESP_STATE);
    EXPECT_EQ(log.Count("[cli]push resp msgid=0x7, count = 200, lockRet = ", OS_LOG_ERROR), 1U);
    EXPECT_EQ(cli->enRespStatus, SIMPLE_MSG_RESP_IDLE);
    EXPECT_EQ(cli->respHead.data, nullptr);
    // The table lock is free again, and the slot lock still ours to release.
    std::thread([] { EXPECT_EQ(SimpleMsgRegTask("later", 1, nullptr, 0), OS_MSG_OK); }).join();
    EXPECT_EQ(SimpleMsgWaitSynRespEndNoCond(cli), OS_MSG_OK);
    SimpleMsgReleaseBuffer(payload, 4);
}

TEST_F(SyncRequest, RequestAndAnswerCopiesFailCleanly) {
    const uint64_t start = OSMemGetUsedBlocks();
    LogCapture log;
    MsgHead *out = nullptr;
    int allocations = SweepAllocFailures([&] { return Call(11, "payload", 100, &out); },
                                         [&](int n, bool failed, uint32_t result) {
                                             if (!failed) {
                                                 EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
                                                 return;
                                             }
                                             // The request is copied first, the answer by the server.
                                             EXPECT_EQ(result, n == 1 ? OS_MSG_ERR_NO_MEMORY : OS_MSG_ERR_TIMEOUT);
                                             EXPECT_EQ(OSMemGetUsedBlocks(), start);
                                         });
    EXPECT_EQ(allocations, 2);
    EXPECT_EQ(log.Count("malloc failed.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(log.Count("simple msg alloc buffer error.", OS_LOG_ERROR), 1U);
}

// --- direct call ---------------------------------------------------------

std::atomic<bool> g_answer{true};
std::atomic<uint32_t> g_secondAnswer{0};
std::thread::id g_callbackThread;

uint32_t DirectCallback(MsgHead *msg) {
    g_callbackThread = std::this_thread::get_id();
    if (g_answer) {
        EXPECT_EQ(SimpleMsgDirectResp(msg, "ok", 2), OS_MSG_OK);
        g_secondAnswer = SimpleMsgDirectResp(msg, "again", 5);
    }
    return 0;
}

class DirectCall : public SimpleMsgTest {
protected:
    uint32_t CallSelf(uint32_t msgId, MsgHead **out, const std::string &task = "me") {
        const std::string request = "request";
        MsgHead head = MakeHead(task, msgId, task, request);
        return SimpleMsgDirectCall(&head, out);
    }
};

TEST_F(DirectCall, RunsTheCallbackInlineAndFreeingClearsTheSlot) {
    const uint64_t blocks = OSMemGetUsedBlocks();
    ASSERT_EQ(SimpleMsgRegTask("me", 2, DirectCallback, 1), OS_MSG_OK);
    LogCapture log;
    MsgHead *out = nullptr;
    ASSERT_EQ(CallSelf(3, &out), OS_MSG_OK);
    EXPECT_EQ(g_callbackThread, std::this_thread::get_id());
    EXPECT_EQ(g_secondAnswer.load(), OS_MSG_ERR_RESP_STATE);
    EXPECT_EQ(log.Count("resp buffer stat wrong[2], msgid = [3].", OS_LOG_ERROR), 1U);
    ASSERT_EQ(out, &FindTask("me")->respHead);
    EXPECT_EQ(PayloadOf(out), "ok");

    // Registered with autoUnreg: the task goes with its freed answer.
    EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
    EXPECT_EQ(FindTask("me"), nullptr);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
}

TEST_F(DirectCall, UnansweredCallNeverHandsOutAPayload) {
    ASSERT_EQ(SimpleMsgRegTask("me", 2, DirectCallback, 0), OS_MSG_OK);
    const uint64_t blocks = OSMemGetUsedBlocks();
    MsgHead *out = nullptr;
    ASSERT_EQ(CallSelf(1, &out), OS_MSG_OK);
    ASSERT_EQ(PayloadOf(out), "ok");
    EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
    EXPECT_EQ(out->data, nullptr); // a freed payload is not reachable

    ASSERT_EQ(CallSelf(2, &out), OS_MSG_OK); // answered, never freed
    g_answer = false;
    ASSERT_EQ(CallSelf(3, &out), OS_MSG_OK);
    EXPECT_EQ(out->msgId, 3U);
    EXPECT_EQ(out->data, nullptr);
    EXPECT_EQ(out->dataLen, 0U);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks); // the unfreed answer went back
    LogCapture log;
    EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
    EXPECT_EQ(log.Count("resp buffer null.", OS_LOG_ERROR), 1U);

    ASSERT_EQ(SimpleMsgRegTask("deaf", 1, nullptr, 0), OS_MSG_OK);
    EXPECT_EQ(CallSelf(4, &out, "deaf"), OS_MSG_ERR_NO_CALLBACK);
}

} // namespace

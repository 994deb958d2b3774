// Synchronous requests between two tasks and the direct call of a task's own
// callback: answers, time-outs, late and stale answers, a busy slot. Failed
// copies of request and answer are driven in msg_send_test.cc.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "simple_msg_test_util.h"
#include "vyre_os_time.h"

using namespace simple_msg_test;

namespace {

MsgHead g_kept;             // the request "keep", left unanswered
uint32_t g_staleResult = 0; // answering it while request "stale" waits

// Answers "re:<request>".
uint32_t Serve(MsgHead *msg) {
    const std::string request = PayloadOf(msg);
    if (request == "keep") {
        g_kept = *msg;
        return Record(msg);
    }
    if (request == "stale") {
        g_staleResult = SimpleMsgRespSend(&g_kept, "old", 3);
    }
    const std::string reply = "re:" + request;
    (void)SimpleMsgRespSend(msg, reply.data(), static_cast<uint32_t>(reply.size()));
    return 0;
}

class SyncRequest : public SimpleMsgTest {
protected:
    void SetUp() override {
        SimpleMsgTest::SetUp();
        StartTask("srv", 8, Serve);
        ASSERT_EQ(SimpleMsgRegTask("cli", 1, nullptr, 0), OS_MSG_OK);
    }
    uint32_t Call(uint32_t msgId, const std::string &payload, uint32_t timeout, MsgHead **out) {
        MsgHead request = MakeHead("srv", msgId, "cli", payload);
        return SimpleMsgSynSend(&request, out, timeout);
    }
};

TEST_F(SyncRequest, TimedOutRequestRefusesItsLateAndStaleAnswers) {
    LogCapture log;
    MsgHead *out = nullptr;
    EXPECT_EQ(Call(1, "keep", 60, &out), OS_MSG_ERR_TIMEOUT);
    ASSERT_TRUE(inbox_.WaitFor(1));
    EXPECT_EQ(SimpleMsgRespSend(&g_kept, "late", 4), OS_MSG_ERR_RESP_STATE); // nobody waits
    EXPECT_EQ(log.Count("resp buffer wrong stat[0].", OS_LOG_ERROR), 1U);

    ASSERT_EQ(Call(2, "stale", 10000, &out), OS_MSG_OK); // the server answers request 1 first
    EXPECT_EQ(g_staleResult, OS_MSG_ERR_REQ_RELEASED);
    EXPECT_EQ(log.Count("sync request msg has been released, msgid = 1.", OS_LOG_DEBUG), 1U);
    EXPECT_EQ(out->msgId, 2U);
    EXPECT_EQ(PayloadOf(out), "re:stale");
    EXPECT_EQ(SimpleMsgGetRespBuffer("cli"), out) << "the answer stays in the slot until freed";
    EXPECT_EQ(SimpleMsgFreeRespBuffer("cli"), OS_MSG_OK);
    EXPECT_EQ(out->data, nullptr);

    ASSERT_EQ(SimpleMsgUnregTask("cli"), OS_MSG_OK); // an answer for a requester that went is released
    EXPECT_EQ(SimpleMsgRespSend(&g_kept, "gone", 4), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(log.Count("SimpleMsgGetQueue NULL[cli].", OS_LOG_ERROR), 1U) << log.Dump();
}

// Each callback of "ping" and "pong" calls the other task, once both are in:
// ping waits 200 ms, pong much longer. Later requests (9) are answered.
std::atomic<int> g_inCallback{0};
std::atomic<uint32_t> g_pingResult{0xFFFFFFFFU};
std::atomic<uint32_t> g_pongResult{0xFFFFFFFFU};
uint32_t CallTheOther(MsgHead *msg) {
    const bool ping = std::string(msg->recvTaskName) == "ping";
    if (msg->msgId == 9U) {
        (void)SimpleMsgRespSend(msg, "ok", 2);
        return 0;
    }
    g_inCallback.fetch_add(1);
    EXPECT_TRUE(WaitUntil([] { return g_inCallback.load() == 2; }));
    MsgHead request = MakeHead(ping ? "pong" : "ping", 9, ping ? "ping" : "pong");
    MsgHead *out = nullptr;
    uint32_t ret = SimpleMsgSynSend(&request, &out, ping ? 200U : 20000U);
    if (ret == OS_MSG_OK) {
        (void)SimpleMsgFreeRespBuffer(ping ? "ping" : "pong");
    }
    (ping ? g_pingResult : g_pongResult).store(ret);
    return 0;
}

TEST_F(SyncRequest, TasksThatCallEachOtherTimeOutWithALineThatSaysWhy) {
    LogCapture log;
    StartTask("ping", 4, CallTheOther);
    StartTask("pong", 4, CallTheOther);
    ASSERT_EQ(SendTo("ping", 1), OS_MSG_OK);
    ASSERT_EQ(SendTo("pong", 1), OS_MSG_OK);
    ASSERT_TRUE(WaitUntil([] { return g_pongResult.load() != 0xFFFFFFFFU; }));
    EXPECT_EQ(g_pingResult.load(), OS_MSG_ERR_TIMEOUT);
    EXPECT_EQ(g_pongResult.load(), OS_MSG_OK) << "ping's loop answers once its own call has given up";
    EXPECT_EQ(log.Count("task[ping] and task[pong] call each other synchronously", OS_LOG_ERROR), 1U) << log.Dump();
}

// The responder's 200 tries, 10 ms apart, at a slot its requester keeps locked. Only
// a lower time bound is checked: on a loaded machine the tries take any longer.
TEST_F(SyncRequest, StoreGivesUpCleanlyWhileTheSlotStaysLocked) {
    MsgHead answer = MakeHead("srv", 7, "cli");
    SimpleMsgTask *cli = SimpleMsgWaitSynRespStart("cli");
    ASSERT_NE(cli, nullptr);
    SimpleMsgSetToken(cli, &answer);
    void *payload = SimpleMsgAllocBuffer(4);
    LogCapture log;
    uint32_t stored = 0xFFFFFFFFU;
    const uint32_t t0 = OsGetSysRunTime();
    std::thread([&] { stored = SimpleMsgPushRespBuffer(nullptr, &answer, payload, 4); }).join();
    EXPECT_GE(OsGetSysRunTime() - t0, 1900U);
    EXPECT_EQ(stored, OS_MSG_ERR_RESP_STATE);
    EXPECT_EQ(log.Count("[cli]push resp msgid=0x7, count = 200, lockRet = ", OS_LOG_ERROR), 1U);
    EXPECT_EQ(cli->enRespStatus, SIMPLE_MSG_RESP_IDLE); // nothing stored
    // The table lock is free again, and the slot lock still ours to release.
    std::thread([] { EXPECT_EQ(SimpleMsgRegTask("later", 1, nullptr, 0), OS_MSG_OK); }).join();
    EXPECT_EQ(SimpleMsgWaitSynRespEndNoCond(cli), OS_MSG_OK);
    SimpleMsgReleaseBuffer(payload, 4);
}

// Removal of a waiting requester races the answer: the requester gets the
// answer or fails as removed, the responder's copy is kept by the slot or
// released, and nothing is left behind (checked at tear-down). A removal that
// finds the requester waiting pauses a second after waking it, so the rounds
// stop early where a slow machine makes that the common case.
TEST_F(SyncRequest, RemovalRacingAnAnswerEndsTheWaitEitherWayAndLeavesNothing) {
    const std::string y = "y";
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (uint32_t round = 0U; round < 100U && std::chrono::steady_clock::now() < stop; ++round) {
        ASSERT_EQ(SimpleMsgRegTask("rq", 1, nullptr, 0), OS_MSG_OK);
        uint32_t result = 0xFFFFFFFFU;
        std::thread requester([&] {
            MsgHead request = MakeHead("srv", 1000U + round, "rq", y);
            MsgHead *out = nullptr;
            result = SimpleMsgSynSend(&request, &out, 10000);
        });
        // Before the request is armed, while it waits, or once it has its
        // answer (which removal then releases).
        EXPECT_EQ(SimpleMsgUnregTask("rq"), OS_MSG_OK);
        requester.join();
        EXPECT_TRUE(result == OS_MSG_OK || result == OS_MSG_ERR_NOT_FOUND) << std::hex << result;
        ASSERT_EQ(FindTask("rq"), nullptr);
    }
    // The server's loop has taken every request it was sent: a last one
    // round-trips only after them.
    ASSERT_EQ(SimpleMsgRegTask("cli2", 1, nullptr, 0), OS_MSG_OK);
    MsgHead last = MakeHead("srv", 5000U, "cli2", y);
    MsgHead *out = nullptr;
    ASSERT_EQ(SimpleMsgSynSend(&last, &out, 10000), OS_MSG_OK);
    EXPECT_EQ(SimpleMsgFreeRespBuffer("cli2"), OS_MSG_OK);
}

bool g_answer = true;

// Answers a direct call, twice (no loop runs: only an inline call can answer).
uint32_t AnswerDirectly(MsgHead *msg) {
    if (g_answer) {
        EXPECT_EQ(SimpleMsgDirectResp(msg, "ok", 2), OS_MSG_OK);
        EXPECT_EQ(SimpleMsgDirectResp(msg, "again", 5), OS_MSG_ERR_RESP_STATE);
    }
    return 0;
}

uint32_t CallSelf(const std::string &task, uint32_t msgId, MsgHead **out) {
    MsgHead head = MakeHead(task, msgId, task);
    return SimpleMsgDirectCall(&head, out);
}

using DirectCall = SimpleMsgTest;

TEST_F(DirectCall, RunsTheCallbackInlineAndNeverHandsOutAReleasedPayload) {
    ASSERT_EQ(SimpleMsgRegTask("me", 2, AnswerDirectly, 0), OS_MSG_OK);
    LogCapture log;
    MsgHead *out = nullptr;
    ASSERT_EQ(CallSelf("me", 1, &out), OS_MSG_OK);
    EXPECT_EQ(log.Count("resp buffer stat wrong[2], msgid = [1].", OS_LOG_ERROR), 1U);
    ASSERT_EQ(out, &FindTask("me")->respHead);
    ASSERT_EQ(PayloadOf(out), "ok");
    EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
    EXPECT_EQ(out->data, nullptr);

    ASSERT_EQ(CallSelf("me", 2, &out), OS_MSG_OK); // answered, never freed
    g_answer = false;
    ASSERT_EQ(CallSelf("me", 3, &out), OS_MSG_OK);
    EXPECT_EQ(out->msgId, 3U);
    EXPECT_EQ(out->data, nullptr); // the unfreed answer went back: tear-down checks the balance
    EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
    EXPECT_EQ(log.Count("resp buffer null.", OS_LOG_ERROR), 1U);

    ASSERT_EQ(SimpleMsgRegTask("deaf", 1, nullptr, 0), OS_MSG_OK);
    EXPECT_EQ(CallSelf("deaf", 4, &out), OS_MSG_ERR_NO_CALLBACK);
    g_answer = true;
    ASSERT_EQ(SimpleMsgRegTask("auto", 2, AnswerDirectly, 1), OS_MSG_OK); // goes with its freed answer
    ASSERT_EQ(CallSelf("auto", 5, &out), OS_MSG_OK);
    EXPECT_EQ(SimpleMsgDirectFreeResp(out), OS_MSG_OK);
    EXPECT_EQ(FindTask("auto"), nullptr);
}

} // namespace

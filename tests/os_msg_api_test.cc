// The public message, event and process functions end to end: the order of
// their argument tests with codes and log lines, the size rules, and the
// access rules of synchronous calls. Events and the process life cycle are
// exercised in os_msg_lifecycle_test.cc.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/msg_test_task.h"
#include "vyre_os_msg.h"

namespace {

constexpr const char *kProc = "apiproc";
constexpr uint32_t kMaxData = 0x3FFF58U;

struct Refusal {
    std::function<uint32_t()> call;
    uint32_t code;
    const char *function;
    const char *text;
};

// Each call, in turn, must give its code and log exactly one ERROR line on
// the calling thread: the text under the public function's name. (Library
// threads may log at the same time; their lines carry other thread ids.)
void ExpectRefusals(const std::vector<Refusal> &cases) {
    const std::string thisThread = "/T:" + ThreadTaskName().substr(1) + "]";
    for (size_t i = 0; i < cases.size(); ++i) {
        const Refusal &c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i) + ": " + c.function);
        LogCapture log;
        EXPECT_EQ(c.call(), c.code);
        std::vector<std::string> errors;
        for (const LogRecord &r : log.Records()) {
            if (!r.platform && r.level >= OS_MSG_LOG_ERROR && r.text.find(thisThread) != std::string::npos) {
                errors.push_back(r.text);
            }
        }
        ASSERT_EQ(errors.size(), 1U) << log.Dump();
        EXPECT_NE(errors[0].find(std::string("[") + c.function + ":"), std::string::npos) << errors[0];
        EXPECT_NE(errors[0].find(c.text), std::string::npos) << errors[0];
    }
}

MsgHead Head(const char *recvTask, uint32_t dataLen = 0U, const char *sendTask = "") {
    MsgHead head = MakeHead(kProc, recvTask, 0x100U);
    head.dataLen = dataLen;
    strncpy(head.sendTaskName, sendTask, sizeof(head.sendTaskName) - 1U);
    return head;
}

// Where one call breaks several rules, the first in the given order reports.
TEST(PublicApi, RefusesBeforeInitialisationInTheGivenOrder) {
    static char byte = 0;
    MsgSubEntry sub{};
    MsgBroEntry bro{};
    MsgHead *resp = nullptr;
    char buf[OS_MSG_NAME_LEN];
    MsgHead plain = Head("rx");
    MsgHead largest = Head("rx", kMaxData);
    MsgHead oversize = Head("rx", kMaxData + 1U);
    MsgHead noTaskOversize = Head("", kMaxData + 1U);
    MsgHead noTask = Head("");
    MsgHead noTaskHuge = Head("", 0xFFFFFFFFU);
    MsgHead fromTx = Head("rx", 0U, "tx");
    const uint32_t param = OS_MSG_ERR_INVALID_PARAM;
    const uint32_t notInit = OS_MSG_ERR_NOT_INIT;
    ExpectRefusals({
        {[] { return OsMsgInit(""); }, param, "OsMsgInit", "invalid param"},
        {[] { return OsMsgInit("abcdefghijklmnop"); }, param, "OsMsgInit", "invalid param"},
        {[] { return OsMsgMain(); }, notInit, "OsMsgMain", "msg not init"},
        {[] { return OsMsgDestroy("abcdefghijklmnop"); }, param, "OsMsgDestroy", "invalid param"},
        {[] { return OsMsgDestroy(kProc); }, notInit, "OsMsgDestroy", "msg not init"},
        {[] { return OsMsgGetProcName(nullptr, 16U); }, param, "OsMsgGetProcName", "input buff null."},
        {[&] { return OsMsgGetProcName(buf, 16U); }, notInit, "OsMsgGetProcName", "proc name not set yet."},
        {[] { return OsMsgAsynSend(nullptr); }, param, "OsMsgAsynSend", "invalid param"},
        {[&] { return OsMsgAsynSend(&noTaskOversize); }, param, "OsMsgAsynSend", "invalid param"},
        {[&] { return OsMsgAsynSend(&oversize); }, OS_MSG_ERR_OVERSIZE, "OsMsgAsynSend", "invalid data size"},
        {[&] { return OsMsgAsynSend(&largest); }, notInit, "OsMsgAsynSend", "msg not init"},
        {[&] { return OsMsgSynSend(&plain, nullptr, 0U); }, param, "OsMsgSynSend", "invalid param"},
        {[&] { return OsMsgSynSend(&noTaskHuge, &resp, 0U); }, OS_MSG_ERR_OVERSIZE, "OsMsgSynSend",
         "invalid data size"},
        {[&] { return OsMsgSynSend(&noTask, &resp, 0U); }, param, "OsMsgSynSend",
         "recv task id and task name invlaid."},
        {[&] { return OsMsgSynSend(&largest, &resp, 0U); }, notInit, "OsMsgSynSend", "msg not init"},
        {[] { return OsMsgSynSendResp(nullptr, &byte, 1U); }, param, "OsMsgSynSendResp", "invalid param"},
        {[&] { return OsMsgSynSendResp(&plain, &byte, kMaxData + 1U); }, OS_MSG_ERR_OVERSIZE, "OsMsgSynSendResp",
         "msg oversize"},
        // Without a payload any length passes the size rule.
        {[&] { return OsMsgSynSendResp(&plain, nullptr, 0xFFFFFFFFU); }, param, "OsMsgSynSendResp", "invalid param"},
        {[&] { return OsMsgSynSendResp(&fromTx, &byte, kMaxData); }, notInit, "OsMsgSynSendResp", "msg not init"},
        {[] { return OsMsgSynRespFree(nullptr); }, param, "OsMsgSynRespFree", "invalid param"},
        {[&] { return OsMsgSynRespFree(&plain); }, param, "OsMsgSynRespFree", "invalid param"},
        {[&] { return OsMsgSynRespFree(&fromTx); }, notInit, "OsMsgSynRespFree", "msg not init"},
        {[&] { return OsMsgSubscribeEvent(&sub, 0U); }, param, "OsMsgSubscribeEvent", "invalid param"},
        {[&] { return OsMsgSubscribeEvent(&sub, 1U); }, notInit, "OsMsgSubscribeEvent", "msg not init"},
        {[] { return OsMsgUnsubscribeEvent(nullptr, 1U); }, param, "OsMsgUnsubscribeEvent", "invalid param"},
        {[&] { return OsMsgUnsubscribeEvent(&sub, 1U); }, notInit, "OsMsgUnsubscribeEvent", "msg not init"},
        {[&] { return OsMsgBroadcastEvent(&bro, 0U); }, param, "OsMsgBroadcastEvent", "invalid param"},
        {[&] { return OsMsgBroadcastEvent(&bro, 1U); }, notInit, "OsMsgBroadcastEvent", "msg not init"},
    });
}

// ---------------------------------------------------------------------------
// Behaviour of an initialised process

TestCounter g_received;
uint32_t g_lastLen = 0U;
unsigned char g_lastBytes[2] = {0, 0};

uint32_t RecordPayload(MsgHead *msg) {
    g_lastLen = msg->dataLen;
    if (msg->dataLen >= 2U) {
        const unsigned char *bytes = static_cast<const unsigned char *>(msg->data);
        g_lastBytes[0] = bytes[0];
        g_lastBytes[1] = bytes[msg->dataLen - 1U];
    }
    g_received.Add();
    return 0U;
}

class InitialisedApi : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK); }
    void TearDown() override { EXPECT_EQ(OsMsgUninit(), OS_MSG_OK); }
};

TEST_F(InitialisedApi, ProcessNameRulesOnceInitialised) {
    char exact[OS_MSG_NAME_LEN];
    memset(exact, 0x55, sizeof(exact));
    ASSERT_EQ(OsMsgGetProcName(exact, sizeof(exact)), OS_MSG_OK);
    char expected[OS_MSG_NAME_LEN] = {0};
    strcpy(expected, kProc);
    EXPECT_EQ(memcmp(exact, expected, sizeof(exact)), 0) << "the whole 16-byte field, zero-padded";

    char shortBuffer[OS_MSG_NAME_LEN - 1U];
    ExpectRefusals({
        {[&] { return OsMsgGetProcName(shortBuffer, sizeof(shortBuffer)); }, OS_MSG_ERR_FAIL, "OsMsgGetProcName",
         "memcpy error."},
        {[] { return OsMsgInit("abcdefghijklmnop"); }, OS_MSG_ERR_INVALID_PARAM, "OsMsgInit", "invalid param"},
        {[] { return OsMsgDestroy("apiproc2"); }, OS_MSG_ERR_FAIL, "OsMsgDestroy",
         "no permission to execute msg destory!"},
        // Compared with its terminator: a prefix of the own name is another name.
        {[] { return OsMsgDestroy("apipro"); }, OS_MSG_ERR_FAIL, "OsMsgDestroy",
         "no permission to execute msg destory!"},
    });
}

TEST_F(InitialisedApi, AsynchronousPayloadOfTheLargestSizeArrivesWhole) {
    TestTask rx("rx", RecordPayload);
    ASSERT_EQ(rx.RegResult(), OS_MSG_OK);
    std::vector<unsigned char> payload(kMaxData + 1U, 0xA5U);
    payload.front() = 0x11U;
    payload[kMaxData - 1U] = 0x22U;

    MsgHead head = MakeHead(kProc, "rx", 0x200U, payload.data(), kMaxData + 1U);
    EXPECT_EQ(OsMsgAsynSend(&head), OS_MSG_ERR_OVERSIZE);
    head = MakeHead(kProc, "rx", 0x200U, payload.data(), kMaxData);
    ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
    // The caller's buffer may change at once: the library sent a copy.
    payload.front() = 0x33U;
    ASSERT_TRUE(g_received.WaitFor(1U));
    EXPECT_EQ(g_lastLen, kMaxData);
    EXPECT_EQ(g_lastBytes[0], 0x11U);
    EXPECT_EQ(g_lastBytes[1], 0x22U);
}

// ---------------------------------------------------------------------------
// Synchronous calls

std::string g_seenRequester;
std::string g_answer;
uint32_t g_respResults[2] = {0U, 0U};

uint32_t AnswerWithRequesterName(MsgHead *msg) {
    g_seenRequester.assign(msg->sendTaskName, strnlen(msg->sendTaskName, OS_MSG_NAME_LEN));
    (void)OsMsgSynSendResp(msg, msg->sendTaskName, OS_MSG_NAME_LEN);
    return 0U;
}

TEST_F(InitialisedApi, RequestTravelsUnderTheCallersTaskNameAndOnlyTheRequesterFreesIt) {
    TestTask echo("echo", AnswerWithRequesterName);
    ASSERT_EQ(echo.RegResult(), OS_MSG_OK);

    MsgHead request = MakeHead(kProc, "echo", 0x300U);
    strcpy(request.sendTaskName, "forged");
    MsgHead *resp = nullptr;
    ASSERT_EQ(OsMsgSynSend(&request, &resp, 2000U), OS_MSG_OK);
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(g_seenRequester, ThreadTaskName());
    ASSERT_EQ(resp->dataLen, OS_MSG_NAME_LEN);
    EXPECT_EQ(std::string(static_cast<const char *>(resp->data)), ThreadTaskName());

    uint32_t otherThread = 0U;
    {
        LogCapture log;
        std::thread([&] { otherThread = OsMsgSynRespFree(resp); }).join();
        EXPECT_EQ(otherThread, OS_MSG_ERR_FAIL);
        EXPECT_EQ(log.Count("Spoofing caller.[" + ThreadTaskName() + "]-[T", OS_MSG_LOG_ERROR), 1U) << log.Dump();
    }
    // Still there for its owner.
    EXPECT_EQ(std::string(static_cast<const char *>(resp->data)), ThreadTaskName());
    EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
}

TestCounter g_answered;

uint32_t AnswerOversizeThenWithoutPayload(MsgHead *msg) {
    static char big = 1;
    g_respResults[0] = OsMsgSynSendResp(msg, &big, kMaxData + 1U);
    g_respResults[1] = OsMsgSynSendResp(msg, nullptr, 0xFFFFFFFFU);
    g_answered.Add();
    return 0U;
}

TEST_F(InitialisedApi, ResponseSizeRuleAppliesOnlyToAGivenPayload) {
    TestTask echo("echo", AnswerOversizeThenWithoutPayload);
    ASSERT_EQ(echo.RegResult(), OS_MSG_OK);
    MsgHead request = MakeHead(kProc, "echo", 0x301U);
    MsgHead *resp = nullptr;
    ASSERT_EQ(OsMsgSynSend(&request, &resp, 2000U), OS_MSG_OK);
    ASSERT_TRUE(g_answered.WaitFor(1U));
    EXPECT_EQ(g_respResults[0], OS_MSG_ERR_OVERSIZE);
    EXPECT_EQ(g_respResults[1], OS_MSG_OK);
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(resp->dataLen, 0U) << "a null payload answers without data, whatever its length";
    EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
}

} // namespace

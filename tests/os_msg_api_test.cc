// The public functions' argument tests in their order, with codes and log
// lines, and the access rules of synchronous calls. The process life cycle is
// exercised in os_msg_lifecycle_test.cc.
#include <gtest/gtest.h>

#include <functional>

#include "support/log_capture.h"
#include "support/msg_test_task.h"

namespace {

constexpr const char *kProc = "apiproc";
constexpr uint32_t kMaxData = 0x3FFF58U;

// The call gives code and logs nothing but one ERROR line: text under the
// public function's name.
void ExpectRefused(const std::function<uint32_t()> &call, uint32_t code, const char *function, const char *text) {
    SCOPED_TRACE(std::string(function) + ": " + text);
    LogCapture log;
    EXPECT_EQ(call(), code);
    const std::vector<LogRecord> records = log.Records();
    ASSERT_EQ(records.size(), 1U) << log.Dump();
    EXPECT_EQ(records[0].level, OS_MSG_LOG_ERROR);
    EXPECT_NE(records[0].text.find(std::string("[") + function + ":"), std::string::npos) << records[0].text;
    EXPECT_NE(records[0].text.find(text), std::string::npos) << records[0].text;
}
#define EXPECT_REFUSED(fn, args, code, text) ExpectRefused([&] { return fn args; }, code, #fn, text)

// Where one call breaks several rules, the first in the given order reports.
TEST(PublicApi, RefusesBeforeInitialisationInTheGivenOrder) {
    static char byte = 0;
    MsgSubEntry sub{};
    MsgBroEntry bro{};
    char buf[OS_MSG_NAME_LEN];
    MsgHead plain = MakeHead(kProc, "rx", 1U), largest = MakeHead(kProc, "rx", 1U, kMaxData);
    MsgHead oversize = MakeHead(kProc, "rx", 1U, kMaxData + 1U), noTask = MakeHead(kProc, "", 1U);
    MsgHead noTaskOversize = MakeHead(kProc, "", 1U, kMaxData + 1U), noTaskHuge = MakeHead(kProc, "", 1U, 0xFFFFFFFFU);
    MsgHead fromTx = MakeHead(kProc, "rx", 1U), *resp = nullptr;
    strcpy(fromTx.sendTaskName, "tx");
    const uint32_t param = OS_MSG_ERR_INVALID_PARAM, notInit = OS_MSG_ERR_NOT_INIT, big = OS_MSG_ERR_OVERSIZE;
    EXPECT_REFUSED(OsMsgInit, (""), param, "invalid param");
    EXPECT_REFUSED(OsMsgInit, ("abcdefghijklmnop"), param, "invalid param");
    EXPECT_REFUSED(OsMsgMain, (), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgDestroy, ("abcdefghijklmnop"), param, "invalid param");
    EXPECT_REFUSED(OsMsgDestroy, (kProc), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgGetProcName, (nullptr, 16U), param, "input buff null.");
    EXPECT_REFUSED(OsMsgGetProcName, (buf, 16U), notInit, "proc name not set yet.");
    EXPECT_REFUSED(OsMsgRegTask, ("", 1U, nullptr), param, "invalid param");
    EXPECT_REFUSED(OsMsgRegTask, ("t", 1U, nullptr), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgTaskRoutineByName, ("t"), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgUnregTask, (nullptr, 0U, nullptr), param, "invalid param");
    EXPECT_REFUSED(OsMsgUnregTask, ("foreign", 0U, "t"), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgAsynSend, (nullptr), param, "invalid param");
    EXPECT_REFUSED(OsMsgAsynSend, (&noTaskOversize), param, "invalid param");
    EXPECT_REFUSED(OsMsgAsynSend, (&oversize), big, "invalid data size");
    EXPECT_REFUSED(OsMsgAsynSend, (&largest), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgSynSend, (&plain, nullptr, 0U), param, "invalid param");
    EXPECT_REFUSED(OsMsgSynSend, (&noTaskHuge, &resp, 0U), big, "invalid data size");
    EXPECT_REFUSED(OsMsgSynSend, (&noTask, &resp, 0U), param, "recv task id and task name invlaid.");
    EXPECT_REFUSED(OsMsgSynSend, (&largest, &resp, 0U), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgSynSendResp, (nullptr, &byte, 1U), param, "invalid param");
    EXPECT_REFUSED(OsMsgSynSendResp, (&plain, &byte, kMaxData + 1U), big, "msg oversize");
    // Without a payload any length passes the size rule.
    EXPECT_REFUSED(OsMsgSynSendResp, (&plain, nullptr, 0xFFFFFFFFU), param, "invalid param");
    EXPECT_REFUSED(OsMsgSynSendResp, (&fromTx, &byte, kMaxData), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgSynRespFree, (nullptr), param, "invalid param");
    EXPECT_REFUSED(OsMsgSynRespFree, (&plain), param, "invalid param");
    EXPECT_REFUSED(OsMsgSynRespFree, (&fromTx), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgSubscribeEvent, (&sub, 0U), param, "invalid param");
    EXPECT_REFUSED(OsMsgSubscribeEvent, (&sub, 1U), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgUnsubscribeEvent, (nullptr, 1U), param, "invalid param");
    EXPECT_REFUSED(OsMsgUnsubscribeEvent, (&sub, 1U), notInit, "msg not init");
    EXPECT_REFUSED(OsMsgBroadcastEvent, (&bro, 0U), param, "invalid param");
    EXPECT_REFUSED(OsMsgBroadcastEvent, (&bro, 1U), notInit, "msg not init");
}

// Answers with the requester's task name.
uint32_t Answer(MsgHead *msg) {
    return OsMsgSynSendResp(msg, msg->sendTaskName, OS_MSG_NAME_LEN);
}

TEST(PublicApi, RequestTravelsUnderTheCallersNameAndOnlyTheRequesterFreesIt) {
    ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    TestTask echo("echo", Answer);
    MsgHead request = MakeHead(kProc, "echo", 0x301U), *resp = nullptr;
    strcpy(request.sendTaskName, "forged");
    ASSERT_EQ(OsMsgSynSend(&request, &resp, 2000U), OS_MSG_OK);
    ASSERT_EQ(resp->dataLen, OS_MSG_NAME_LEN);
    EXPECT_EQ(std::string(static_cast<const char *>(resp->data)), ThreadTaskName());
    LogCapture log;
    uint32_t otherThread = OS_MSG_OK;
    std::thread([&] { otherThread = OsMsgSynRespFree(resp); }).join();
    EXPECT_EQ(otherThread, OS_MSG_ERR_FAIL);
    EXPECT_EQ(log.Count("Spoofing caller.[" + ThreadTaskName() + "]-[T", OS_MSG_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(std::string(static_cast<const char *>(resp->data)), ThreadTaskName()) << "still there";
    EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK); // ends the loop of echo
}

} // namespace

// The public functions' argument tests in their order, with codes and log
// lines, the access rules of synchronous calls, and misuse refused cleanly:
// names that fill their 16 bytes without a terminator, payload pointers that are null while a length is given, and
// the response pointer of a synchronous call that fails. The process life
// cycle is exercised in os_msg_lifecycle_test.cc.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "simple_msg/simple_msg.h"
#include "support/log_capture.h"
#include "support/msg_test_task.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"
#include "vyre_os_thread.h"

namespace {

constexpr const char *kProc = "apiproc";
constexpr uint32_t kMaxData = 0x3FFF58U, kAsk = 0x900U;

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
    ASSERT_EQ(OsMsgSynSend(&request, &resp, 10000U), OS_MSG_OK);
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

// The first 16 bytes of text, alone in an allocation of their size, so that
// AddressSanitizer reports any read past them.
std::unique_ptr<char[]> NameBytes(const char (&text)[OS_MSG_NAME_LEN + 1]) {
    std::unique_ptr<char[]> bytes(new char[OS_MSG_NAME_LEN]);
    std::memcpy(bytes.get(), text, OS_MSG_NAME_LEN);
    return bytes;
}

uint32_t Ignore(MsgHead *) {
    return 0U;
}

TEST(CallerNames, AreReadNoFurtherThanSixteenBytes) {
    const std::unique_ptr<char[]> name = NameBytes("abcdefghijklmnop"); // no terminator
    EXPECT_EQ(OsMsgInit(name.get()), OS_MSG_ERR_INVALID_PARAM);
    ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    {
        LogCapture log; // every level passes, so every refusal line is formatted
        EXPECT_EQ(OsMsgRegTask(name.get(), 4U, Ignore), OS_MSG_ERR_FAIL);
        EXPECT_EQ(log.Count("memcpy_s error.", OS_LOG_FATAL), 1U) << log.Dump();
        EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, name.get()), OS_MSG_ERR_NOT_FOUND);
        EXPECT_EQ(log.Count("unreg[abcdefghijklmnop] not exist.", OS_LOG_ERROR), 1U) << log.Dump();
        EXPECT_EQ(OsMsgUnregTask(name.get(), 0U, "t"), OS_MSG_ERR_FAIL) << "another process's name";
        EXPECT_EQ(OsMsgTaskRoutineByName(name.get()), OS_MSG_ERR_NOT_FOUND);
        EXPECT_EQ(log.Count("task[abcdefghijklmnop] not get queue.", OS_LOG_FATAL), 1U) << log.Dump();
        EXPECT_EQ(OsMsgDestroy(name.get()), OS_MSG_ERR_INVALID_PARAM);
    }
    // Fifteen characters and the terminator fill the 16 bytes exactly.
    const std::unique_ptr<char[]> fits = NameBytes("abcdefghijklmno\0");
    EXPECT_EQ(OsMsgRegTask(fits.get(), 4U, Ignore), OS_MSG_OK);
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, fits.get()), OS_MSG_OK);
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

TestCounter g_handled;
// What the receiver saw of the last message: its length and whether data
// pointed anywhere. Written by the loop thread before it counts.
uint32_t g_seenLen = 0xFFFFFFFFU;
bool g_seenData = true;
uint32_t g_respondResult = 0xFFFFFFFFU;
int64_t g_countdownAfterAnswer = 0;

// Answers requests without data but with a length of 4 MB; the allocation
// countdown shows whether answering allocated anything.
uint32_t NoteAndAnswerEmpty(MsgHead *msg) {
    g_seenLen = msg->dataLen;
    g_seenData = msg->data != nullptr;
    if (msg->msgId == kAsk) {
        OSMemSetFailCountdown(1);
        g_respondResult = OsMsgSynSendResp(msg, nullptr, 0x3FFF00U);
        g_countdownAfterAnswer = OSMemGetFailCountdown();
        OSMemSetFailCountdown(-1);
    }
    g_handled.Add();
    return 0U;
}

// recvProc selects the route: the own process name keeps the message in the
// process, another name sends it through the transport (which brings it
// back here); the sender's process name then differs from the receiver's, so
// the answer takes the transport too.
MsgHead NullPayloadHead(const char *sendProc, const char *recvProc, uint32_t msgId) {
    MsgHead head = MakeHead(sendProc, "rx", msgId, 100U);
    std::memset(head.recvProcName, 0, sizeof(head.recvProcName));
    std::strcpy(head.recvProcName, recvProc);
    head.data = nullptr;
    return head;
}

TEST(NullPayload, GetsTheSameAnswerOnBothRoutesAndNothingIsAllocatedForIt) {
    ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    TestTask rx("rx", NoteAndAnswerEmpty);
    uint32_t handled = 0U;
    const struct {
        const char *route, *sendProc, *recvProc;
    } routes[] = {{"in-process", kProc, kProc}, {"transport", "faraway", "elsewhere"}};
    for (const auto &r : routes) {
        SCOPED_TRACE(r.route);
        MsgHead head = NullPayloadHead(r.sendProc, r.recvProc, 1U);
        EXPECT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
        ASSERT_TRUE(g_handled.WaitFor(++handled));
        EXPECT_EQ(g_seenLen, 0U);
        EXPECT_FALSE(g_seenData);

        head = NullPayloadHead(r.sendProc, r.recvProc, kAsk);
        MsgHead *resp = nullptr;
        ASSERT_EQ(OsMsgSynSend(&head, &resp, 5000U), OS_MSG_OK);
        ASSERT_TRUE(g_handled.WaitFor(++handled));
        EXPECT_EQ(g_seenLen, 0U) << "the request carried no payload";
        EXPECT_EQ(g_respondResult, OS_MSG_OK);
        EXPECT_EQ(g_countdownAfterAnswer, 1) << "answering allocated";
        ASSERT_NE(resp, nullptr);
        EXPECT_EQ(resp->dataLen, 0U);
        EXPECT_EQ(resp->data, nullptr);
        EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
    }
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

} // namespace

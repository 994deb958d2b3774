// Joining and leaving end to end: start-up, the main thread's wait, two life
// cycles in one process, teardown while other threads are busy, set-up
// against allocation failures, an application's own registry and a racing
// teardown; the public functions' argument checks in their order, the access
// rules of synchronous calls, unterminated names and null payloads.
#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "core/msg_lifecycle.h"
#include "service/msg_local_service.h"
#include "simple_msg/simple_msg.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "support/msg_test_task.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"
#include "vyre_os_thread.h"

namespace {

constexpr uint32_t kRequest = 0x700U, kEvent = 0x701U;
TestCounter g_received;

// Answers requests with its own name.
uint32_t Echo(MsgHead *msg) {
    return msg->msgId == kRequest ? OsMsgSynSendResp(msg, msg->recvTaskName, OS_MSG_NAME_LEN) : 0U;
}

// Counts what it receives and answers nothing.
uint32_t Count(MsgHead *) {
    g_received.Add();
    return 0U;
}

// A synchronous round trip to task "echo" (which the caller runs), and an
// event through the library's broadcast task to a subscriber, within proc.
void ExpectMessagingWorks(const char *proc) {
    TestTask listener("listener", Count);
    MsgHead request = MakeHead(proc, "echo", kRequest), *resp = nullptr;
    ASSERT_EQ(OsMsgSynSend(&request, &resp, 10000U), OS_MSG_OK);
    EXPECT_STREQ(static_cast<const char *>(resp->data), "echo");
    EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
    MsgSubEntry sub{kEvent, 0U, {}, "pub", "listener"};
    strcpy(sub.procName, proc);
    MsgBroEntry event{"pub", kEvent, 0, nullptr};
    static uint32_t events = 0U;
    ASSERT_EQ(OsMsgSubscribeEvent(&sub, 1U), OS_MSG_OK);
    ASSERT_EQ(OsMsgBroadcastEvent(&event, 1U), OS_MSG_OK);
    EXPECT_TRUE(g_received.WaitFor(++events));
}

// Every operation that needs an initialised library refuses.
void ExpectEverythingRefused() {
    char name[OS_MSG_NAME_LEN];
    MsgHead head = MakeHead("gone", "echo", kRequest), *resp = nullptr;
    head.sendTaskName[0] = 'x';
    MsgSubEntry sub{};
    MsgBroEntry event{};
    // clang-format off
    const std::vector<uint32_t> results = {
        OsMsgGetProcName(name, sizeof(name)), OsMsgMain(), OsMsgDestroy("gone"), OsMsgRegTask("echo", 0U, Echo),
        OsMsgAsynSend(&head), OsMsgSynSend(&head, &resp, 10U), OsMsgSynSendResp(&head, nullptr, 0U),
        OsMsgSynRespFree(&head), OsMsgSubscribeEvent(&sub, 1U), OsMsgBroadcastEvent(&event, 1U)};
    // clang-format on
    EXPECT_EQ(results, std::vector<uint32_t>(results.size(), OS_MSG_ERR_NOT_INIT));
}

// The same with an own task "echo".
void ExpectMessagingWorksWithEcho(const char *proc) {
    TestTask echo("echo", Echo);
    ExpectMessagingWorks(proc);
}

// The first cycle's process destroys itself before its teardown, the second
// is torn down with the main thread still waiting. The transport keeps its
// server context from the first start on, so blocks balance from the second.
TEST(Lifecycle, TwoLifeCyclesEndInOrderAndReturnEveryTrackedBlock) {
    const char *procs[] = {"abcdefghijklmno", "lcsecond"}; // the first is as long as a name may be
    for (int cycle = 0; cycle < 2; ++cycle) {
        const char *proc = procs[cycle];
        SCOPED_TRACE(proc);
        const uint64_t start = OSMemGetUsedBlocks();
        ASSERT_EQ(OsMsgInit(proc), OS_MSG_OK);
        EXPECT_EQ(OsMsgInit("other"), OS_MSG_OK) << "already initialised: nothing changes";
        char name[OS_MSG_NAME_LEN] = {};
        EXPECT_EQ(OsMsgGetProcName(name, sizeof(name)), OS_MSG_OK);
        EXPECT_STREQ(name, proc);
        TestTask echo("echo", Echo);
        uint32_t mainResult = 0xFFFFFFFFU;
        std::thread waiter([&] { mainResult = OsMsgMain(); });
        EXPECT_TRUE(WaitUntil([] { return MsgWaitServerWaiters() != 0U; })) << "OsMsgMain does not wait";
        EXPECT_EQ(OsMsgDestroy("other"), OS_MSG_ERR_FAIL);
        EXPECT_EQ(OsMsgDestroy(std::string(proc, strlen(proc) - 1U).c_str()), OS_MSG_ERR_FAIL) << "a prefix";
        ExpectMessagingWorks(proc);
        EXPECT_EQ(MsgWaitServerWaiters(), 1U) << "the server still runs and main still waits";
        if (cycle == 0) {
            EXPECT_EQ(OsMsgDestroy(proc), OS_MSG_OK);
            waiter.join();
            EXPECT_EQ(OsMsgMain(), OS_MSG_ERR_SERVER_NOT_RUNNING) << "after the quit it returns at once";
        }
        LogCapture log;
        EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
        EXPECT_EQ(echo.JoinLoop(), OS_MSG_OK) << "the loop ends when its task goes";
        if (waiter.joinable()) {
            waiter.join();
        }
        EXPECT_EQ(mainResult, OS_MSG_OK);
        EXPECT_EQ(log.Count("binder server[] quit.", OS_MSG_LOG_DEBUG), 1U) << "the name goes first\n" << log.Dump();
        ExpectEverythingRefused();
        EXPECT_EQ(OsMsgUninit(), OS_MSG_OK) << "a second teardown does nothing";
        EXPECT_TRUE(cycle == 0 || OSMemGetUsedBlocks() == start) << OSMemGetUsedBlocks() << " != " << start;
    }
}

// One round of what a busy thread does; each call's result.
std::vector<uint32_t> BusyRound(const std::string &ownTask) {
    MsgHead head = MakeHead("lcrace", "sink", kEvent), *resp = nullptr;
    MsgSubEntry sub{kEvent, 0U, "lcrace", "sink", "sink"};
    std::vector<uint32_t> results{OsMsgAsynSend(&head)};
    head.msgId = kRequest;
    results.push_back(OsMsgSynSend(&head, &resp, 1000U));
    if (results.back() == OS_MSG_OK) {
        (void)OsMsgSynRespFree(resp);
    }
    results.push_back(OsMsgRegTask(ownTask.c_str(), 4U, Echo));
    if (results.back() == OS_MSG_OK) {
        (void)OsMsgUnregTask(nullptr, 0U, ownTask.c_str());
    }
    results.push_back(OsMsgSubscribeEvent(&sub, 1U));
    return results;
}

TEST(Shutdown, BusyThreadsGetResultCodesWhileTheProcessTearsDown) {
    ASSERT_EQ(OsMsgInit("lcrace"), OS_MSG_OK);
    TestTask sink("sink", Echo, 16U), silent("silent", Count);
    uint32_t waitResult = OS_MSG_OK;
    std::thread requester([&] { // in its wait when the teardown starts
        MsgHead request = MakeHead("lcrace", "silent", kRequest), *resp = nullptr;
        waitResult = OsMsgSynSend(&request, &resp, 20000U);
    });
    constexpr int kBusy = 3;
    TestCounter rounds;
    std::atomic<bool> down{false};
    std::vector<std::vector<uint32_t>> lastRounds(kBusy);
    std::vector<std::thread> busy;
    for (int i = 0; i < kBusy; ++i) {
        busy.emplace_back([&, i] {
            for (bool after = false; !after; rounds.Add()) { // until a whole round followed the teardown
                after = down.load();
                lastRounds[i] = BusyRound("busy" + std::to_string(i));
            }
        });
    }
    ASSERT_TRUE(g_received.WaitFor(1U));
    ASSERT_TRUE(rounds.WaitFor(kBusy * 3U));
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    down.store(true);
    JoinAll(busy);
    requester.join();
    EXPECT_NE(waitResult, OS_MSG_OK);
    EXPECT_NE(waitResult, OS_MSG_ERR_TIMEOUT) << "the teardown ended the wait, not the time-out";
    for (const std::vector<uint32_t> &results : lastRounds) {
        EXPECT_EQ(results, std::vector<uint32_t>(4U, OS_MSG_ERR_NOT_INIT));
    }
}

// True when the process has at most n threads before the wait's bound: a
// thread that has returned from its function leaves /proc a moment later (a
// long moment on a loaded machine or under an emulator).
bool ThreadsDropTo(size_t n) {
    return WaitUntil([n] { return ThreadCount() <= n; });
}

// The threads a process has once it went through one life: one more than
// before, as the first life's server thread stays in the transport's join
// for the rest of the process.
size_t ThreadsAfterOneLife(const char *proc) {
    std::thread([] {}).join(); // a sanitizer starts its own thread with the first one
    const size_t before = ThreadCount();
    EXPECT_EQ(OsMsgInit(proc), OS_MSG_OK);
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_TRUE(ThreadsDropTo(before + 1U)) << ThreadCount() << " threads, " << before << " before";
    return ThreadCount();
}

TEST(SetUp, FailureAtAnyAllocationLeavesNoThreadNoBlockAndNoRecurringLog) {
    // The first tracked allocation of a process is its server context.
    const uint64_t cold = OSMemGetUsedBlocks();
    OSMemSetFailCountdown(1);
    EXPECT_EQ(OsMsgInit("sweep"), OS_MSG_ERR_SERVER_NOT_RUNNING);
    OSMemSetFailCountdown(-1);
    ExpectEverythingRefused();
    EXPECT_EQ(OSMemGetUsedBlocks(), cold);

    const size_t threads = ThreadsAfterOneLife("sweep");
    const uint64_t blocks = OSMemGetUsedBlocks();
    int failures = 0;
    for (int n = 1; n < 1000; ++n) {
        SCOPED_TRACE(n);
        uint32_t result;
        {
            LogCapture log;
            OSMemSetFailCountdown(n);
            result = OsMsgInit("sweep");
            OSMemSetFailCountdown(-1);
            if (result == OS_MSG_OK) {
                break;
            }
            ++failures;
            // The tables' creation, or the broadcast task's registration.
            EXPECT_TRUE(result == OS_MSG_ERR_HASH || result == OS_MSG_ERR_NO_MEMORY) << result;
            EXPECT_TRUE(ThreadsDropTo(threads)) << ThreadCount() << " threads, " << threads << " before";
            // The set-up's own report and the roll-back's few lines, nothing
            // from a thread that goes on trying.
            EXPECT_EQ(log.Count("msg init error ret="), 1U);
            EXPECT_EQ(log.Count("msg not init"), 0U) << log.Dump();
            const std::vector<LogRecord> records = log.Records();
            EXPECT_LE(std::count_if(records.begin(), records.end(), [](const LogRecord &r) { return r.level >= 3U; }),
                      6)
                << log.Dump();
        }
        ExpectEverythingRefused();
        EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    }
    EXPECT_GT(failures, 3) << "every table and the broadcast task allocate";
    ExpectMessagingWorksWithEcho("sweep");
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_TRUE(ThreadsDropTo(threads));
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
}

TEST(SetUp, AdoptsARegistryTheApplicationMadeAndLeavesItToTheApplication) {
    (void)ThreadsAfterOneLife("adopt");
    EXPECT_EQ(MsgLocalServiceMangerExists(), 0U) << "the set-up's own registry went with its life";
    ASSERT_EQ(MsgInitLocalServiceManger(3U), 1U);
    ASSERT_EQ(MsgAddLocalService("camera", 0xCA11U), OS_MSG_OK);
    for (int n = 1; n < 1000; ++n) { // failed set-ups, then one that succeeds
        OSMemSetFailCountdown(n);
        const uint32_t result = OsMsgInit("adopt");
        OSMemSetFailCountdown(-1);
        ASSERT_EQ(MsgGetLocalService("camera"), 0xCA11U) << "n=" << n << " result " << result;
        if (result == OS_MSG_OK) {
            break;
        }
    }
    ExpectMessagingWorksWithEcho("adopt");
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_EQ(MsgGetLocalService("camera"), 0xCA11U);
    // Still the application's registry of three slots, not one of the library's.
    EXPECT_EQ(MsgAddLocalService("mixer", 1U) | MsgAddLocalService("tuner", 2U), OS_MSG_OK);
    EXPECT_EQ(MsgAddLocalService("extra", 3U), OS_MSG_ERR_FULL);
    MsgDestroyLocalServiceManger();
}

TEST(SetUp, InitAndUninitRacingOnTwoThreadsEachGetACodeOfTheirContract) {
    const size_t threads = ThreadsAfterOneLife("race");
    const uint64_t blocks = OSMemGetUsedBlocks();
    constexpr int kRounds = 40;
    std::vector<uint32_t> inits, uninits;
    std::atomic<int> ready{0};
    RunOnThreads(2, [&](uint32_t t) { // an initialiser and a stopper, started together
        ready.fetch_add(1);
        ASSERT_TRUE(WaitUntil([&] { return ready.load() == 2; }));
        for (int i = 0; i < kRounds; ++i) {
            (t == 0 ? inits : uninits).push_back(t == 0 ? OsMsgInit("race") : OsMsgUninit());
        }
    });
    EXPECT_EQ(inits, std::vector<uint32_t>(kRounds, OS_MSG_OK));
    EXPECT_EQ(uninits, std::vector<uint32_t>(kRounds, OS_MSG_OK));
    // Whichever came last, the library is whole: it works, or it is down.
    char name[OS_MSG_NAME_LEN] = {};
    if (OsMsgGetProcName(name, sizeof(name)) == OS_MSG_OK) {
        EXPECT_STREQ(name, "race");
        ExpectMessagingWorksWithEcho("race");
    }
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_TRUE(ThreadsDropTo(threads));
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
}

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

TEST(CallerNames, AreReadNoFurtherThanSixteenBytes) {
    const std::unique_ptr<char[]> name = NameBytes("abcdefghijklmnop"); // no terminator
    EXPECT_EQ(OsMsgInit(name.get()), OS_MSG_ERR_INVALID_PARAM);
    ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    {
        LogCapture log; // every level passes, so every refusal line is formatted
        EXPECT_EQ(OsMsgRegTask(name.get(), 4U, Echo), OS_MSG_ERR_FAIL);
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
    EXPECT_EQ(OsMsgRegTask(fits.get(), 4U, Echo), OS_MSG_OK);
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

TEST(Lifecycle, UninitReleasesTheMemoryPool) {
    ASSERT_EQ(prctl(PR_SET_NAME, "vyre_video_serv"), 0); // a process allowed to keep a pool
    ASSERT_EQ(OsMsgMemPoolInit(10240, 256), OS_MSG_OK);
    ASSERT_EQ(OsMsgInit("pooled"), OS_MSG_OK);
    ASSERT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_EQ(OsMsgMemPoolInit(10240, 256), OS_MSG_OK) << "the pool of the ended life is still in use";
    EXPECT_EQ(OsMsgMemPoolUnInit(), OS_MSG_OK);
}

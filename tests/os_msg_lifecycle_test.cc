// Joining and leaving the messaging system end to end: start-up, the wait of
// the main thread, stopping the own server, teardown while other threads are
// busy, two life cycles in one process, tracked memory, and the roll-back of
// a set-up that fails at any allocation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/msg_lifecycle.h"
#include "service/msg_local_service.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "support/msg_test_task.h"
#include "vyre_os_mem.h"
#include "vyre_os_msg.h"

namespace {

constexpr uint32_t kRequest = 0x700U;
constexpr uint32_t kEvent = 0x701U;
constexpr uint32_t kMarker = 0x702U;

uint32_t Echo(MsgHead *msg) {
    if (msg->msgId == kRequest) {
        (void)OsMsgSynSendResp(msg, msg->data, msg->dataLen);
    }
    return 0U;
}

TestCounter g_events;
TestCounter g_markers;

uint32_t CountEvent(MsgHead *msg) {
    (msg->msgId == kMarker ? g_markers : g_events).Add();
    return 0U;
}

uint32_t Publish(uint32_t msgId) {
    MsgBroEntry event{};
    strcpy(event.taskName, "pub");
    event.msgId = msgId;
    return OsMsgBroadcastEvent(&event, 1U);
}

// A synchronous round trip through task "echo", and events through the
// library's broadcast task to a subscriber until it unsubscribes, all within
// process proc.
void ExpectMessagingWorks(const char *proc) {
    TestTask echo("echo", Echo);
    TestTask listener("listener", CountEvent);
    ASSERT_EQ(echo.RegResult(), OS_MSG_OK);
    ASSERT_EQ(listener.RegResult(), OS_MSG_OK);

    char text[] = "ping";
    MsgHead request = MakeHead(proc, "echo", kRequest, text, sizeof(text));
    MsgHead *resp = nullptr;
    ASSERT_EQ(OsMsgSynSend(&request, &resp, 2000U), OS_MSG_OK);
    ASSERT_NE(resp, nullptr);
    EXPECT_STREQ(static_cast<const char *>(resp->data), "ping");
    EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);

    MsgSubEntry subs[2] = {};
    for (MsgSubEntry &sub : subs) {
        strncpy(sub.procName, proc, sizeof(sub.procName) - 1U);
        strcpy(sub.taskName, "pub");
        strcpy(sub.subTaskName, "listener");
    }
    subs[0].msgId = kEvent;
    subs[1].msgId = kMarker;
    const uint32_t events = g_events.Value();
    const uint32_t markers = g_markers.Value();
    ASSERT_EQ(OsMsgSubscribeEvent(subs, 2U), OS_MSG_OK);
    ASSERT_EQ(Publish(kEvent), OS_MSG_OK);
    ASSERT_TRUE(g_events.WaitFor(events + 1U));
    ASSERT_EQ(OsMsgUnsubscribeEvent(subs, 1U), OS_MSG_OK);
    ASSERT_EQ(Publish(kEvent), OS_MSG_OK);
    ASSERT_EQ(Publish(kMarker), OS_MSG_OK);
    // Requests are applied in order: once the marker is in, so would the
    // unsubscribed event be.
    ASSERT_TRUE(g_markers.WaitFor(markers + 1U));
    EXPECT_EQ(g_events.Value(), events + 1U);
}

// Every operation that needs an initialised library refuses.
void ExpectEverythingRefused() {
    char name[OS_MSG_NAME_LEN];
    MsgHead head = MakeHead("gone", "echo", kRequest);
    MsgHead *resp = nullptr;
    MsgSubEntry sub{};
    MsgBroEntry event{};
    head.sendTaskName[0] = 'x';
    EXPECT_EQ(OsMsgGetProcName(name, sizeof(name)), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgMain(), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgDestroy("gone"), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgRegTask("echo", 0U, Echo), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgAsynSend(&head), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgSynSend(&head, &resp, 10U), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgSynSendResp(&head, nullptr, 0U), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgSynRespFree(&head), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgSubscribeEvent(&sub, 1U), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgBroadcastEvent(&event, 1U), OS_MSG_ERR_NOT_INIT);
}

// Runs OsMsgMain on a thread and returns once it waits.
std::thread StartMainWaiter(uint32_t *result) {
    std::thread waiter([result] { *result = OsMsgMain(); });
    while (MsgWaitServerWaiters() == 0U) {
        std::this_thread::yield();
    }
    return waiter;
}

TEST(Lifecycle, MainWaitsUntilTheProcessDestroysItself) {
    ASSERT_EQ(OsMsgInit("lcmain"), OS_MSG_OK);
    uint32_t mainResult = 0xFFFFFFFFU;
    std::thread waiter = StartMainWaiter(&mainResult);

    EXPECT_EQ(OsMsgDestroy("lcother"), OS_MSG_ERR_FAIL);
    // Refused: the server still runs and the main thread still waits.
    ExpectMessagingWorks("lcmain");
    EXPECT_EQ(MsgWaitServerWaiters(), 1U);

    LogCapture log;
    EXPECT_EQ(OsMsgDestroy("lcmain"), OS_MSG_OK);
    waiter.join();
    EXPECT_EQ(mainResult, OS_MSG_OK);
    EXPECT_EQ(log.Count("destroy myself", OS_MSG_LOG_DEBUG), 1U);
    EXPECT_EQ(log.Count("binder server[lcmain] quit.", OS_MSG_LOG_DEBUG), 1U) << log.Dump();

    EXPECT_EQ(OsMsgMain(), OS_MSG_ERR_SERVER_NOT_RUNNING) << "after the quit it returns at once";
    // A second quit notice, with nobody left waiting, is harmless.
    EXPECT_EQ(OsMsgDestroy("lcmain"), OS_MSG_OK);
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

TEST(Lifecycle, ShutdownEndsTaskLoopsAndWakesMainWithTheNameClearedAlready) {
    ASSERT_EQ(OsMsgInit("lcdown"), OS_MSG_OK);
    TestTask worker("worker", CountEvent);
    ASSERT_EQ(worker.RegResult(), OS_MSG_OK);
    MsgHead head = MakeHead("lcdown", "worker", kEvent);
    ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
    ASSERT_TRUE(g_events.WaitFor(1U)) << "the loop runs";
    uint32_t mainResult = 0xFFFFFFFFU;
    std::thread waiter = StartMainWaiter(&mainResult);

    LogCapture log;
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_EQ(worker.JoinLoop(), OS_MSG_OK) << "the loop returned when its task was removed";
    waiter.join();
    EXPECT_EQ(mainResult, OS_MSG_OK);
    EXPECT_EQ(log.Count("binder server[] quit.", OS_MSG_LOG_DEBUG), 1U) << log.Dump();
    ExpectEverythingRefused();
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK) << "a second teardown does nothing";
}

TEST(Lifecycle, TwoLifeCyclesInOneProcess) {
    // The first name has the most characters a name may have.
    for (const char *proc : {"abcdefghijklmno", "lcsecond"}) {
        SCOPED_TRACE(proc);
        ASSERT_EQ(OsMsgInit(proc), OS_MSG_OK);
        {
            LogCapture log;
            EXPECT_EQ(OsMsgInit("other"), OS_MSG_OK);
            EXPECT_EQ(log.Count("already inited.", OS_MSG_LOG_INFO), 1U) << log.Dump();
        }
        EXPECT_EQ(OwnProcName(), proc);
        ExpectMessagingWorks(proc);
        uint32_t mainResult = 0xFFFFFFFFU;
        std::thread waiter = StartMainWaiter(&mainResult);
        EXPECT_EQ(OsMsgDestroy(proc), OS_MSG_OK);
        waiter.join();
        EXPECT_EQ(mainResult, OS_MSG_OK);
        EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
        ExpectEverythingRefused();
    }
}

TEST(Lifecycle, FullLifeCycleReturnsEveryTrackedBlock) {
    // The transport keeps its server context and slice collector from the
    // first start for the rest of the process; count from after that.
    ASSERT_EQ(OsMsgInit("lcmem"), OS_MSG_OK);
    ASSERT_EQ(OsMsgUninit(), OS_MSG_OK);
    const uint64_t start = OSMemGetUsedBlocks();

    ASSERT_EQ(OsMsgInit("lcmem"), OS_MSG_OK);
    EXPECT_GT(OSMemGetUsedBlocks(), start) << "the tables are tracked";
    ExpectMessagingWorks("lcmem");
    // Tasks and subscriptions left for the teardown to release.
    TestTask left("left", Echo);
    ASSERT_EQ(left.RegResult(), OS_MSG_OK);
    MsgHead pending = MakeHead("lcmem", "left", 0x1U);
    ASSERT_EQ(OsMsgAsynSend(&pending), OS_MSG_OK);
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    left.JoinLoop();
    EXPECT_EQ(OSMemGetUsedBlocks(), start);
    if (OSMemGetUsedBlocks() != start) {
        DumpUsedBlocks();
    }
}

TEST(Lifecycle, ServerThatCannotStartFailsTheSetUp) {
    // No transport server has started in this process yet, so the first
    // tracked allocation is its server context, made on the server thread.
    const uint64_t start = OSMemGetUsedBlocks();
    {
        LogCapture log;
        OSMemSetFailCountdown(1);
        EXPECT_EQ(OsMsgInit("lccold"), OS_MSG_ERR_SERVER_NOT_RUNNING);
        OSMemSetFailCountdown(-1);
        EXPECT_EQ(log.Count("start server[lccold] error.", OS_MSG_LOG_ERROR), 1U) << log.Dump();
        EXPECT_EQ(log.Count("msg init error ret=", OS_MSG_LOG_ERROR), 1U);
    }
    ExpectEverythingRefused();
    EXPECT_EQ(OSMemGetUsedBlocks(), start);
    ASSERT_EQ(OsMsgInit("lccold"), OS_MSG_OK);
    ExpectMessagingWorks("lccold");
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

TEST(Lifecycle, ExistingServiceRegistryFailsTheSetUpAndIsReleased) {
    ASSERT_EQ(MsgInitLocalServiceManger(4U), 1U);
    LogCapture log;
    EXPECT_EQ(OsMsgInit("lcreg"), OS_MSG_ERR_REPEATED);
    EXPECT_EQ(log.Count("msg init error ret=", OS_MSG_LOG_ERROR), 1U) << log.Dump();
    ExpectEverythingRefused();
    EXPECT_EQ(OsMsgInit("lcreg"), OS_MSG_OK) << "the roll-back released the registry";
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

TEST(Lifecycle, AllocationFailureAtAnyStepLeavesNothingBehind) {
    ASSERT_EQ(OsMsgInit("lcsweep"), OS_MSG_OK);
    ASSERT_EQ(OsMsgUninit(), OS_MSG_OK);
    const uint64_t start = OSMemGetUsedBlocks();

    std::set<uint32_t> codes;
    int allocations = SweepAllocFailures([] { return OsMsgInit("lcsweep"); },
                                         [&](int n, bool failed, uint32_t result) {
                                             SCOPED_TRACE(n);
                                             if (result != OS_MSG_OK) {
                                                 EXPECT_TRUE(failed);
                                                 codes.insert(result);
                                                 ExpectEverythingRefused();
                                             } else {
                                                 // The failure hit a library thread that retries; the
                                                 // process is up and works.
                                                 ExpectMessagingWorks("lcsweep");
                                                 EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
                                             }
                                             EXPECT_EQ(OSMemGetUsedBlocks(), start);
                                         });
    EXPECT_GT(allocations, 0);
    EXPECT_EQ(codes, (std::set<uint32_t>{OS_MSG_ERR_HASH})) << "both tables report a failed creation";
    ASSERT_EQ(OsMsgInit("lcsweep"), OS_MSG_OK);
    ExpectMessagingWorks("lcsweep");
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

// ---------------------------------------------------------------------------
// Teardown while other threads are busy

TestCounter g_silentRequests;

uint32_t NeverAnswer(MsgHead *msg) {
    (void)msg;
    g_silentRequests.Add();
    return 0U;
}

// One round of everything a busy thread does; the results of each call.
std::vector<uint32_t> BusyRound(const std::string &ownTask) {
    std::vector<uint32_t> results;
    MsgHead head = MakeHead("lcrace", "sink", 0x2U);
    results.push_back(OsMsgAsynSend(&head));
    MsgHead request = MakeHead("lcrace", "sink", kRequest);
    MsgHead *resp = nullptr;
    uint32_t ret = OsMsgSynSend(&request, &resp, 1000U);
    results.push_back(ret);
    if (ret == OS_MSG_OK) {
        results.push_back(OsMsgSynRespFree(resp));
    }
    ret = OsMsgRegTask(ownTask.c_str(), 4U, Echo);
    results.push_back(ret);
    if (ret == OS_MSG_OK) {
        (void)OsMsgUnregTask(nullptr, 0U, ownTask.c_str());
    }
    MsgSubEntry sub{};
    sub.msgId = kEvent;
    strcpy(sub.procName, "lcrace");
    strcpy(sub.taskName, "sink");
    results.push_back(OsMsgSubscribeEvent(&sub, 1U));
    return results;
}

TEST(Shutdown, BusyThreadsGetResultCodesWhileTheProcessTearsDown) {
    ASSERT_EQ(OsMsgInit("lcrace"), OS_MSG_OK);
    auto sink = std::make_unique<TestTask>("sink", Echo, 16U);
    auto silent = std::make_unique<TestTask>("silent", NeverAnswer);
    ASSERT_EQ(sink->RegResult(), OS_MSG_OK);
    ASSERT_EQ(silent->RegResult(), OS_MSG_OK);

    // A synchronous requester whose answer never comes, so it is in its wait
    // when the teardown starts.
    uint32_t waitResult = 0U;
    std::thread requester([&] {
        MsgHead request = MakeHead("lcrace", "silent", kRequest);
        MsgHead *resp = nullptr;
        waitResult = OsMsgSynSend(&request, &resp, 20000U);
    });
    uint32_t mainResult = 0xFFFFFFFFU;
    std::thread waiter = StartMainWaiter(&mainResult);

    constexpr int kBusy = 3;
    TestCounter rounds;
    std::atomic<bool> down{false};
    std::vector<std::vector<uint32_t>> lastRounds(kBusy);
    std::vector<std::thread> busy;
    for (int i = 0; i < kBusy; ++i) {
        busy.emplace_back([&, i] {
            const std::string ownTask = "busy" + std::to_string(i);
            // Runs until a whole round came after the teardown finished.
            for (bool after = false; !after;) {
                after = down.load();
                lastRounds[i] = BusyRound(ownTask);
                rounds.Add();
            }
        });
    }
    ASSERT_TRUE(g_silentRequests.WaitFor(1U));
    ASSERT_TRUE(rounds.WaitFor(kBusy * 3U));

    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    down.store(true);
    for (std::thread &t : busy) {
        t.join();
    }
    requester.join();
    waiter.join();
    sink->JoinLoop();
    silent->JoinLoop();

    EXPECT_NE(waitResult, OS_MSG_OK);
    EXPECT_NE(waitResult, OS_MSG_ERR_TIMEOUT) << "the teardown ended the wait, not the time-out";
    EXPECT_EQ(mainResult, OS_MSG_OK);
    for (const std::vector<uint32_t> &results : lastRounds) {
        EXPECT_EQ(results, std::vector<uint32_t>(4U, OS_MSG_ERR_NOT_INIT));
    }
    // The library comes up again in the same process.
    ASSERT_EQ(OsMsgInit("lcrace"), OS_MSG_OK);
    ExpectMessagingWorks("lcrace");
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

} // namespace

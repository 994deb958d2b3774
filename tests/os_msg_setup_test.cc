// Set-up and teardown against each other and against failures: a failed
// set-up leaves no library thread and no recurring log behind, a registry the
// application made itself survives every set-up and teardown, and set-up and
// teardown racing on two threads each get a code from their contract.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "service/msg_local_service.h"
#include "support/log_capture.h"
#include "support/msg_test_task.h"
#include "vyre_os_mem.h"

namespace {

size_t ThreadCount() {
    size_t count = 0;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return 0;
    }
    while (const dirent *entry = readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1U : 0U;
    }
    closedir(dir);
    return count;
}

// True when the process has at most n threads within two seconds: a thread
// that has returned from its function leaves /proc a moment later.
bool ThreadsDropTo(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (ThreadCount() > n) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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

TestCounter g_events;

uint32_t CountEvent(MsgHead *) {
    g_events.Add();
    return 0U;
}

// An event through the library's broadcast task reaches a subscriber.
void ExpectEventsFlow(const char *proc) {
    static uint32_t delivered = 0U;
    TestTask listener("listener", CountEvent);
    MsgSubEntry sub{0x801U, 0U, {}, "pub", "listener"};
    strcpy(sub.procName, proc);
    MsgBroEntry event{"pub", 0x801U, 0, nullptr};
    ASSERT_EQ(OsMsgSubscribeEvent(&sub, 1U), OS_MSG_OK);
    ASSERT_EQ(OsMsgBroadcastEvent(&event, 1U), OS_MSG_OK);
    EXPECT_TRUE(g_events.WaitFor(++delivered));
}

TEST(SetUp, FailureAtAnyAllocationLeavesNoThreadAndNoRecurringLog) {
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
        EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    }
    EXPECT_GT(failures, 3) << "every table and the broadcast task allocate";
    ExpectEventsFlow("sweep");
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
    ExpectEventsFlow("adopt");
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
    auto startTogether = [&] {
        ready.fetch_add(1);
        while (ready.load() < 2) {
            std::this_thread::yield();
        }
    };
    std::thread initialiser([&] {
        startTogether();
        for (int i = 0; i < kRounds; ++i) {
            inits.push_back(OsMsgInit("race"));
        }
    });
    std::thread stopper([&] {
        startTogether();
        for (int i = 0; i < kRounds; ++i) {
            uninits.push_back(OsMsgUninit());
        }
    });
    initialiser.join();
    stopper.join();
    EXPECT_EQ(inits, std::vector<uint32_t>(kRounds, OS_MSG_OK));
    EXPECT_EQ(uninits, std::vector<uint32_t>(kRounds, OS_MSG_OK));
    // Whichever came last, the library is whole: it works, or it is down.
    char name[OS_MSG_NAME_LEN] = {};
    if (OsMsgGetProcName(name, sizeof(name)) == OS_MSG_OK) {
        EXPECT_STREQ(name, "race");
        ExpectEventsFlow("race");
    }
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_TRUE(ThreadsDropTo(threads));
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
}

} // namespace

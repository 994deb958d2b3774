// The platform stand-in: the Annex K functions, the platform log, the
// process name, and locks, conditions, semaphores and sleeping seen from a
// second thread (monotonic timed waits, recursive locks, semaphores that
// count every post, and a sleep and a wait that outlast signals).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/threads.h"
#include "vyre_os_lock.h"
#include "vyre_os_log.h"
#include "vyre_os_sem.h"
#include "vyre_os_thread.h"
#include "vyre_os_time.h"
#include "vyre_securec.h"

namespace {

const char kSrc[] = "0123456789abcdef";
const size_t kHuge = VYRE_RSIZE_MAX + 1;
int g_written = 0;
long g_writtenLong = 0;

// Each violation is refused. The image gives the 16-byte destination per byte
// afterwards ('Z' cleared, 'F' untouched, '?' anything); its last character
// stands for the rest.
TEST(AnnexK, ViolationsAreRefusedAndClearWhatAnnexKClears) {
    struct Case {
        const char *what;
        std::function<bool(char *)> refused;
        const char *image;
    };
    const Case cases[] = {
        {"memcpy_s NULL dest", [](char *) { return memcpy_s(nullptr, 16, kSrc, 4) != 0; }, "F"},
        {"memcpy_s NULL src", [](char *d) { return memcpy_s(d, 16, nullptr, 4) != 0; }, "Z"},
        {"memcpy_s NULL src of 0 bytes", [](char *d) { return memcpy_s(d, 16, nullptr, 0) == EINVAL; }, "Z"},
        {"memcpy_s count > destsz", [](char *d) { return memcpy_s(d, 8, kSrc, 9) != 0; }, "ZZZZZZZZF"},
        {"memcpy_s huge count", [](char *d) { return memcpy_s(d, 16, kSrc, kHuge) != 0; }, "Z"},
        {"memcpy_s huge destsz", [](char *d) { return memcpy_s(d, kHuge, kSrc, 4) != 0; }, "F"},
        {"memcpy_s overlap after", [](char *d) { return memcpy_s(d + 4, 12, d, 8) != 0; }, "FFFFZ"},
        {"memcpy_s overlap before", [](char *d) { return memcpy_s(d, 12, d + 4, 8) != 0; }, "ZZZZZZZZZZZZF"},
        {"memset_s count > destsz", [](char *d) { return memset_s(d, 8, 0, 12) != 0; }, "ZZZZZZZZF"},
        {"memset_s NULL dest", [](char *) { return memset_s(nullptr, 8, 0, 8) != 0; }, "F"},
        {"memset_s huge destsz", [](char *d) { return memset_s(d, kHuge, 0, 4) != 0; }, "F"},
        {"strcpy_s no room for NUL", [](char *d) { return strcpy_s(d, 8, "12345678") != 0; }, "Z???????F"},
        {"strcpy_s NULL src", [](char *d) { return strcpy_s(d, 8, nullptr) != 0; }, "Z???????F"},
        {"strcpy_s destsz 0", [](char *d) { return strcpy_s(d, 0, "x") != 0; }, "F"},
        {"strcpy_s NULL dest", [](char *) { return strcpy_s(nullptr, 8, "x") != 0; }, "F"},
        {"strcpy_s overlap", [](char *d) { return strcpy_s(d + 1, 15, strcpy(d, "ab")) != 0; }, "?Z?F"},
        {"sprintf_s overflow", [](char *d) { return sprintf_s(d, 16, "%016d", 7) < 0; }, "Z?"},
        {"sprintf_s NULL format", [](char *d) { return sprintf_s(d, 16, nullptr) < 0; }, "Z?"},
        {"sprintf_s NULL buf", [](char *) { return sprintf_s(nullptr, 16, "x") < 0; }, "F"},
        {"sprintf_s size 0", [](char *d) { return sprintf_s(d, 0, "x") < 0; }, "F"},
        {"sprintf_s %n", [](char *d) { return sprintf_s(d, 16, "ab%n", &g_written) < 0 && g_written == 0; }, "Z?"},
        {"sprintf_s %ln", [](char *d) { return sprintf_s(d, 16, "%d%ln", 1, &g_writtenLong) < 0; }, "Z?"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char dest[16];
        memset(dest, 'F', sizeof(dest));
        EXPECT_TRUE(c.refused(dest));
        for (size_t i = 0, last = strlen(c.image) - 1; i < sizeof(dest); ++i) {
            char want = c.image[i < last ? i : last];
            EXPECT_TRUE(want == '?' || dest[i] == (want == 'Z' ? '\0' : 'F')) << "byte " << i;
        }
    }
}

TEST(AnnexK, ValidCallsBehaveLikeTheCLibrary) {
    char bytes[32] = "abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(memcpy_s(bytes + 8, 20, bytes, 8), 0) << "adjacent areas do not overlap";
    EXPECT_EQ(memset_s(bytes, 16, '-', 4), 0);
    EXPECT_EQ(std::string(bytes, 16), "----efghabcdefgh");
    EXPECT_EQ(strcpy_s(bytes, 8, "1234567"), 0);
    EXPECT_STREQ(bytes, "1234567");
    char buf[16];
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%s-%d", "task", 42), 7);
    EXPECT_STREQ(buf, "task-42");
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%015d", 7), 15) << "exact fit with the terminator";
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%%n"), 2) << "an escaped percent is not a conversion";

    char text[] = ",,alpha,beta;;gamma,";
    rsize_t left = sizeof(text);
    char *next = nullptr;
    std::string tokens;
    for (char *tok = strtok_s(text, &left, ",;", &next); tok != nullptr; tok = strtok_s(nullptr, &left, ",;", &next)) {
        tokens += std::string(tok) + "/" + std::to_string(left) + " ";
    }
    EXPECT_EQ(tokens, "alpha/13 beta/8 gamma/1 ") << "what is left counts down to the terminator";
    char unterminated[] = {'a', 'b', 'c', 'd'};
    left = sizeof(unterminated);
    EXPECT_EQ(strtok_s(unterminated, &left, " ", &next), nullptr) << "a token running past strmax is refused";
    EXPECT_EQ(strtok_s(nullptr, &left, " ", nullptr), nullptr);
}

std::vector<std::string> g_records;

TEST(PlatformLog, FiltersBelowTheLevelCutsToTheLineSizeAndDefaultsToStandardError) {
    OsLogSetSink([](uint32_t level, const char *tag, const char *text) {
        g_records.push_back(std::to_string(level) + " " + tag + " " + text);
    });
    OsLogPrintf(OS_LOG_WARN, "T", "below the default level");
    OsLogSetLevel(OS_LOG_WARN);
    EXPECT_EQ(OsLogEnabled(OS_LOG_DEBUG) + OsLogEnabled(OS_LOG_INFO), 0U) << "whether a record would pass now";
    EXPECT_EQ(OsLogEnabled(OS_LOG_WARN) + OsLogEnabled(OS_LOG_FATAL), 2U);
    OsLogPrintf(OS_LOG_INFO, "T", "info");
    OsLogPrintf(OS_LOG_WARN, "OS_MSG", "[%s][%d]:queue %u\r\n", "SimpleMsgPush", 77, 1024U);
    OsLogPrintf(OS_LOG_ERROR, "T", "%s", std::string(3000, 'x').c_str());
    OsLogSetLevel(OS_LOG_FATAL);
    OsLogPrintf(OS_LOG_ERROR, "T", "error after raising the level");
    EXPECT_EQ(g_records,
              (std::vector<std::string>{"2 OS_MSG [SimpleMsgPush][77]:queue 1024", "3 T " + std::string(1023, 'x')}));

    OsLogSetSink(nullptr);
    OsLogSetLevel(OS_LOG_DEBUG);
    EXPECT_EQ(OsLogEnabled(OS_LOG_DEBUG), 1U);
    testing::internal::CaptureStderr();
    OsLogPrintf(OS_LOG_WARN, "OS_MSG", "pool %d ready", 3);
    OsLogPrintf(OS_LOG_DEBUG, "TAG2", "second\r\n"); // its own line end gives way to the sink's
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[OS_MSG][WARN] pool 3 ready\n[TAG2][DEBUG] second\n");
    EXPECT_EQ(g_records.size(), 2U) << "the replaced sink still called";
}

// A sink set before or after the route keeps precedence over it: the library
// installs the route, so msg_log_control_test.cc checks both orders.
TEST(PlatformLog, RouteTakesWhatNoSinkTakesAtItsOwnLevel) {
    static std::vector<std::string> routed;
    OsLogSetRoute(
        [](uint32_t level, const char *, const char *text) { routed.push_back(std::to_string(level) + text); },
        OS_LOG_WARN);
    EXPECT_EQ(OsLogEnabled(OS_LOG_INFO) * 10U + OsLogEnabled(OS_LOG_WARN), 1U) << "the route's level applies";
    OsLogPrintf(OS_LOG_INFO, "T", "info");
    OsLogPrintf(OS_LOG_WARN, "T", "warn\r\n");
    EXPECT_EQ(routed, std::vector<std::string>{"2warn"});

    OsLogSetLevel(OS_LOG_DEBUG);
    OsLogSetRoute(nullptr, OS_LOG_FATAL);
    testing::internal::CaptureStderr();
    OsLogPrintf(OS_LOG_DEBUG, "T", "default again");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[T][DEBUG] default again\n") << "at the platform's own level";
}

TEST(ProcName, IsTheKernelNameOfTheProcessCutToTheBuffer) {
    char buf[64] = "";
    ASSERT_EQ(prctl(PR_SET_NAME, "a_name_too_long_for_the_kernel", 0, 0, 0), 0);
    std::thread([&] {
        prctl(PR_SET_NAME, "worker_thread", 0, 0, 0);
        EXPECT_EQ(MenGetProcName(buf, sizeof(buf)), 0);
    }).join();
    EXPECT_STREQ(buf, "a_name_too_long") << "15 characters of the process's name, not the thread's";
    ASSERT_EQ(MenGetProcName(buf, 5), 0);
    EXPECT_STREQ(buf, "a_na");
    EXPECT_NE(MenGetProcName(nullptr, 8), 0);
    EXPECT_NE(MenGetProcName(buf, 0), 0);
    EXPECT_STREQ(buf, "a_na") << "a refused call leaves the buffer alone";
}

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Whether another thread could take the mutex just now.
bool FreeForOthers(OsMutex *mutex) {
    int32_t rc = -1;
    std::thread([&] { rc = OsMutexTryLock(mutex) == 0 ? OsMutexUnLock(mutex) : -1; }).join();
    return rc == 0;
}

TEST(PlatformCondition, TimedWaitExpiresWith110HoldingTheMutexOrWakesWith0) {
    OsCondAttr attr;
    OsCond cond;
    OsMutex mutex;
    ASSERT_EQ(OsPthreadCondInitAttr(&attr), 0);
    ASSERT_EQ(OsPthreadCondAttrSetClockMonotic(&attr), 0);
    ASSERT_EQ(OsPthreadCondInit(&cond, &attr), 0);
    ASSERT_EQ(OsPthreadCondAttrDestroy(&attr) + OsMutexInit(&mutex), 0);
    OsMutexLock(&mutex);
    Clock::time_point start = Clock::now();
    int32_t rc = 0;
    while (rc == 0 && MsSince(start) < 60) { // a spurious wake-up waits out the rest
        rc = OsPthreadCondTimedWaitClock(&cond, &mutex, static_cast<uint64_t>(60 - MsSince(start)) * 1000);
    }
    long long elapsed = MsSince(start);
    EXPECT_FALSE(FreeForOthers(&mutex)) << "mutex not held on return";
    EXPECT_EQ(rc, 110);
    EXPECT_GE(elapsed, 59);
    EXPECT_LT(elapsed, 5000) << "the time-out fired, however loaded the machine";

    bool flag = false;
    std::thread signaller([&] {
        OsMutexLock(&mutex); // acquired only once the waiter waits
        flag = true;
        OsPthreadCondSignal(&cond);
        OsMutexUnLock(&mutex);
    });
    for (rc = 0; !flag && rc == 0;) { // the largest time-out must not wrap into the past
        rc = OsPthreadCondTimedWaitClock(&cond, &mutex, UINT64_MAX);
    }
    OsMutexUnLock(&mutex);
    signaller.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(OsPthreadCondDestroy(&cond) + OsMutexDestroy(&mutex), 0);
}

TEST(PlatformMutex, RecursiveLocksNeedEveryUnlockBeforeAnotherThreadGetsIn) {
    OsMutex mutex;
    ASSERT_EQ(OsMutexInitRecursive(&mutex), 0);
    ASSERT_EQ(OsMutexLock(&mutex) + OsMutexLock(&mutex) + OsMutexTryLock(&mutex), 0);
    for (int held = 3; held > 0; --held) {
        EXPECT_FALSE(FreeForOthers(&mutex)) << held << " locks held";
        ASSERT_EQ(OsMutexUnLock(&mutex), 0);
    }
    EXPECT_TRUE(FreeForOthers(&mutex));
    EXPECT_EQ(OsMutexDestroy(&mutex), 0);
}

std::atomic<int> g_signals{0};

// A thread sleeps 80 ms, then takes 4000 posts off a semaphore. Signals (without SA_RESTART, so each blocked call sees
// EINTR) cut neither the sleep nor a wait short, and no post is lost or invented.
TEST(PlatformSemaphore, CountsEveryPostAndOutlastsSignalsLikeTheSleep) {
    struct sigaction action = {}, previous = {};
    action.sa_handler = [](int) { g_signals.fetch_add(1); };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    OsSem sem;
    ASSERT_EQ(OsSemInit(&sem, 0), 0);
    std::atomic<int> phase{0};
    long long slept = 0, runTimeSlept = 0;
    int waited = 0;
    std::thread sleeper([&] {
        Clock::time_point start = Clock::now();
        uint32_t runTime = OsGetSysRunTime();
        phase = 1;
        OsSleepMs(80);
        runTimeSlept = static_cast<uint32_t>(OsGetSysRunTime() - runTime);
        slept = MsSince(start);
        phase = 2;
        for (int i = 0; i < 4000; ++i) {
            waited += OsSemWait(&sem) == 0 ? 1 : 0;
        }
    });
    // The sleeper stays alive until the posts below, so each wait ends; the
    // bounds only turn a fault into a failure instead of a hang.
    for (int wanted = 1; wanted <= 2; ++wanted) {
        // On a loaded machine the sleep may already be over when this thread looks.
        EXPECT_TRUE(WaitUntil([&] { return phase >= wanted; })) << "phase " << wanted;
        for (int i = 0, before = g_signals; i < 3; ++i, before = g_signals) {
            // Sent again until handled: under ThreadSanitizer a signal that
            // lands as the sleeper enters a blocking call runs its handler
            // only once the call returns, and the posts come after this.
            EXPECT_TRUE(WaitUntil([&] {
                pthread_kill(sleeper.native_handle(), SIGUSR1);
                return WaitUntil([&] { return g_signals != before; }, std::chrono::milliseconds(10));
            })) << "signal "
                << i << " not handled";
        }
    }
    for (int i = 0; i < 4000; ++i) {
        ASSERT_EQ(OsSemPost(&sem), 0);
    }
    sleeper.join();
    sigaction(SIGUSR1, &previous, nullptr);
    int value = -1;
    EXPECT_EQ(waited, 4000) << "a wait failed on a signal";
    ASSERT_EQ(sem_getvalue(&sem, &value), 0);
    EXPECT_EQ(value, 0) << "a wait returned early, or a post was counted twice";
    EXPECT_EQ(OsSemDestroy(&sem), 0);
    // Upper bounds only tell a sleep from a hang: a loaded machine stretches it.
    EXPECT_GE(slept, 80);
    EXPECT_LT(slept, 5000);
    // Read inside the steady clock's span, on the same clock: milliseconds,
    // at most one apart by rounding.
    EXPECT_GE(runTimeSlept, 80) << "the run time counts milliseconds";
    EXPECT_LE(runTimeSlept, slept + 1);
}

} // namespace

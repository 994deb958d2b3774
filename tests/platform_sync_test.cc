// Locks, conditions, semaphores and sleeping of the platform stand-in, seen
// from a second thread: monotonic timed waits, recursive locks, semaphores
// that count every post, and a sleep and a wait that outlast signals.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/threads.h"
#include "vyre_os_lock.h"
#include "vyre_os_sem.h"
#include "vyre_os_time.h"

namespace {

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

// Locks, conditions and semaphores of the platform stand-in: timed waits on
// the monotonic clock, recursive and try locks seen from other threads, and
// semaphores that count every post and survive signals.
#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "vyre_os_lock.h"
#include "vyre_os_sem.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Runs fn on another thread and returns its result.
template <typename Fn> int32_t OnOtherThread(Fn fn) {
    int32_t rc = -1;
    std::thread t([&] { rc = fn(); });
    t.join();
    return rc;
}

int32_t TryLockAndRelease(OsMutex *mutex) {
    int32_t rc = OsMutexTryLock(mutex);
    if (rc == 0) {
        OsMutexUnLock(mutex);
    }
    return rc;
}

// A condition timed on the monotonic clock with its mutex, as the library
// sets them up.
class MonotonicCondition : public ::testing::Test {
protected:
    void SetUp() override {
        OsCondAttr attr;
        ASSERT_EQ(OsPthreadCondInitAttr(&attr), 0);
        ASSERT_EQ(OsPthreadCondAttrSetClockMonotic(&attr), 0);
        ASSERT_EQ(OsPthreadCondInit(&cond_, &attr), 0);
        ASSERT_EQ(OsPthreadCondAttrDestroy(&attr), 0);
        ASSERT_EQ(OsMutexInit(&mutex_), 0);
    }
    void TearDown() override {
        EXPECT_EQ(OsPthreadCondDestroy(&cond_), 0);
        EXPECT_EQ(OsMutexDestroy(&mutex_), 0);
    }

    // Waits with the given time-out until another thread sets the flag;
    // returns the result of the last wait.
    int32_t WaitForSignal(uint64_t timeoutUs) {
        bool flag = false;
        OsMutexLock(&mutex_);
        std::thread signaller([&] {
            OsMutexLock(&mutex_); // acquired only once the waiter is waiting
            flag = true;
            OsPthreadCondSignal(&cond_);
            OsMutexUnLock(&mutex_);
        });
        int32_t rc = 0;
        while (!flag && rc == 0) {
            rc = OsPthreadCondTimedWaitClock(&cond_, &mutex_, timeoutUs);
        }
        EXPECT_TRUE(flag);
        OsMutexUnLock(&mutex_);
        signaller.join();
        return rc;
    }

    OsCond cond_;
    OsMutex mutex_;
};

TEST_F(MonotonicCondition, TimedWaitExpiresWith110AfterRoughlyTheTimeOut) {
    constexpr long long kTimeOutMs = 60;
    OsMutexLock(&mutex_);
    Clock::time_point start = Clock::now();
    int32_t rc = OsPthreadCondTimedWaitClock(&cond_, &mutex_, kTimeOutMs * 1000);
    while (rc == 0 && MsSince(start) < kTimeOutMs) { // a spurious wake-up: wait out the rest
        rc = OsPthreadCondTimedWaitClock(&cond_, &mutex_, (kTimeOutMs - MsSince(start)) * 1000);
    }
    long long elapsed = MsSince(start);
    EXPECT_NE(OnOtherThread([&] { return TryLockAndRelease(&mutex_); }), 0) << "mutex not held on return";
    OsMutexUnLock(&mutex_);
    EXPECT_EQ(rc, 110);
    EXPECT_GE(elapsed, kTimeOutMs - 1);
    EXPECT_LT(elapsed, kTimeOutMs + 500);
}

TEST_F(MonotonicCondition, TimedWaitReturnsZeroWhenSignalled) {
    EXPECT_EQ(WaitForSignal(5ULL * 1000 * 1000), 0);
}

TEST_F(MonotonicCondition, HugeTimeOutWaitsForTheSignalInsteadOfExpiring) {
    Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSignal(UINT64_MAX), 0);
    EXPECT_LT(MsSince(start), 5000);
}

TEST(PlatformMutex, TryLockIsBusyWhileAnotherThreadHoldsIt) {
    OsMutex mutex;
    ASSERT_EQ(OsMutexInit(&mutex), 0);
    ASSERT_EQ(OsMutexLock(&mutex), 0);
    EXPECT_NE(OnOtherThread([&] { return TryLockAndRelease(&mutex); }), 0);
    ASSERT_EQ(OsMutexUnLock(&mutex), 0);
    EXPECT_EQ(OnOtherThread([&] { return TryLockAndRelease(&mutex); }), 0);
    EXPECT_EQ(OsMutexDestroy(&mutex), 0);
}

TEST(PlatformMutex, RecursiveMutexRelocksAndNeedsAsManyUnlocks) {
    OsMutex mutex;
    ASSERT_EQ(OsMutexInitRecursive(&mutex), 0);
    ASSERT_EQ(OsMutexLock(&mutex), 0);
    ASSERT_EQ(OsMutexLock(&mutex), 0);
    ASSERT_EQ(OsMutexTryLock(&mutex), 0);
    ASSERT_EQ(OsMutexUnLock(&mutex), 0);
    ASSERT_EQ(OsMutexUnLock(&mutex), 0);
    EXPECT_NE(OnOtherThread([&] { return TryLockAndRelease(&mutex); }), 0) << "one lock still held";
    ASSERT_EQ(OsMutexUnLock(&mutex), 0);
    EXPECT_EQ(OnOtherThread([&] { return TryLockAndRelease(&mutex); }), 0);
    EXPECT_EQ(OsMutexDestroy(&mutex), 0);
}

TEST(PlatformSemaphore, CountsEveryPostFromSeveralThreads) {
    constexpr int kThreads = 4;
    constexpr int kPostsEach = 1000;
    OsSem sem;
    ASSERT_EQ(OsSemInit(&sem, 0), 0);
    std::vector<std::thread> posters;
    for (int i = 0; i < kThreads; ++i) {
        posters.emplace_back([&] {
            for (int j = 0; j < kPostsEach; ++j) {
                EXPECT_EQ(OsSemPost(&sem), 0);
            }
        });
    }
    for (int i = 0; i < kThreads * kPostsEach; ++i) {
        ASSERT_EQ(OsSemWait(&sem), 0);
    }
    for (std::thread &t : posters) {
        t.join();
    }
    int value = -1;
    ASSERT_EQ(sem_getvalue(&sem, &value), 0);
    EXPECT_EQ(value, 0) << "more posts counted than made";
    EXPECT_EQ(OsSemDestroy(&sem), 0);
}

std::atomic<int> g_signalsSeen{0};

void CountSignal(int) {
    g_signalsSeen.fetch_add(1);
}

TEST(PlatformSemaphore, WaitResumesAfterASignalInsteadOfReturning) {
    struct sigaction action = {};
    action.sa_handler = CountSignal; // no SA_RESTART: sem_wait fails with EINTR
    sigemptyset(&action.sa_mask);
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    OsSem sem;
    ASSERT_EQ(OsSemInit(&sem, 0), 0);
    std::atomic<bool> waiting{false};
    std::atomic<bool> posted{false};
    int32_t rc = -1;
    bool postedBeforeReturn = false;
    std::thread waiter([&] {
        waiting.store(true);
        rc = OsSemWait(&sem);
        postedBeforeReturn = posted.load();
    });
    while (!waiting.load()) {
        sched_yield();
    }
    int sent = 0;
    while (g_signalsSeen.load() < 5) {
        if (sent == g_signalsSeen.load()) {
            pthread_kill(waiter.native_handle(), SIGUSR1);
            ++sent;
        }
        sched_yield();
    }
    posted.store(true);
    ASSERT_EQ(OsSemPost(&sem), 0);
    waiter.join();
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(postedBeforeReturn) << "the wait ended on a signal, not on the post";
    EXPECT_EQ(OsSemDestroy(&sem), 0);
    sigaction(SIGUSR1, &previous, nullptr);
}

} // namespace

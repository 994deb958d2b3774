/*
 * Mutexes and condition variables over POSIX threads.
 *
 * Thin wrappers: each call maps to one pthread call and returns its error
 * number. The only logic of its own is the timed wait, which turns a relative
 * time-out in microseconds into an absolute deadline on the monotonic clock.
 * Every function may be called from any thread; no state is kept here.
 */
#include "vyre_os_lock.h"

#include <errno.h>
#include <time.h>

#include <cstdint>

static_assert(OS_ETIMEDOUT == ETIMEDOUT, "the platform's time-out number is the kernel's");

namespace {

constexpr uint64_t kUsPerSec = 1000000ULL;
constexpr long kNsPerSec = 1000000000L;

// Deadline timeoutUs from now on CLOCK_MONOTONIC. Even UINT64_MAX
// microseconds is about 1.8e13 seconds, far inside time_t.
int32_t MonotonicDeadline(uint64_t timeoutUs, struct timespec *deadline) {
    if (clock_gettime(CLOCK_MONOTONIC, deadline) != 0) {
        return errno;
    }
    deadline->tv_sec += static_cast<time_t>(timeoutUs / kUsPerSec);
    deadline->tv_nsec += static_cast<long>(timeoutUs % kUsPerSec) * 1000L;
    if (deadline->tv_nsec >= kNsPerSec) {
        deadline->tv_sec += 1;
        deadline->tv_nsec -= kNsPerSec;
    }
    return 0;
}

} // namespace

extern "C" {

int32_t OsMutexInit(OsMutex *mutex) {
    return pthread_mutex_init(mutex, nullptr);
}

int32_t OsMutexInitRecursive(OsMutex *mutex) {
    pthread_mutexattr_t attr;
    int32_t rc = pthread_mutexattr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0) {
        rc = pthread_mutex_init(mutex, &attr);
    }
    (void)pthread_mutexattr_destroy(&attr);
    return rc;
}

int32_t OsMutexLock(OsMutex *mutex) {
    return pthread_mutex_lock(mutex);
}

int32_t OsMutexUnLock(OsMutex *mutex) {
    return pthread_mutex_unlock(mutex);
}

int32_t OsMutexTryLock(OsMutex *mutex) {
    return pthread_mutex_trylock(mutex);
}

int32_t OsMutexDestroy(OsMutex *mutex) {
    return pthread_mutex_destroy(mutex);
}

int32_t OsPthreadCondInitAttr(OsCondAttr *attr) {
    return pthread_condattr_init(attr);
}

int32_t OsPthreadCondAttrSetClockMonotic(OsCondAttr *attr) {
    return pthread_condattr_setclock(attr, CLOCK_MONOTONIC);
}

int32_t OsPthreadCondAttrDestroy(OsCondAttr *attr) {
    return pthread_condattr_destroy(attr);
}

int32_t OsPthreadCondInit(OsCond *cond, const OsCondAttr *attr) {
    return pthread_cond_init(cond, attr);
}

int32_t OsPthreadCondWait(OsCond *cond, OsMutex *mutex) {
    return pthread_cond_wait(cond, mutex);
}

int32_t OsPthreadCondTimedWaitClock(OsCond *cond, OsMutex *mutex, uint64_t timeoutUs) {
    struct timespec deadline;
    int32_t rc = MonotonicDeadline(timeoutUs, &deadline);
    if (rc != 0) {
        return rc;
    }
    return pthread_cond_timedwait(cond, mutex, &deadline);
}

int32_t OsPthreadCondSignal(OsCond *cond) {
    return pthread_cond_signal(cond);
}

int32_t OsPthreadCondDestroy(OsCond *cond) {
    return pthread_cond_destroy(cond);
}

} // extern "C"

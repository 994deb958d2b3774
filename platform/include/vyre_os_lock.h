/*
 * Mutexes and condition variables.
 *
 * Every function may be called from any thread. Results are 0 on success and
 * an error number (errno value) otherwise, unless stated.
 */
#ifndef VYRE_OS_LOCK_H
#define VYRE_OS_LOCK_H

#include <pthread.h>

#include "vyre_os_types.h"

OS_PLATFORM_BEGIN_DECLS

typedef pthread_mutex_t OsMutex;
typedef pthread_cond_t OsCond;
typedef pthread_condattr_t OsCondAttr;

/* Error number of a timed wait that expired. */
#define OS_ETIMEDOUT 110

/* Initialises a plain (non-recursive) mutex. */
OS_PLATFORM_API int32_t OsMutexInit(OsMutex *mutex);
/* Initialises a recursive mutex: the owner may lock it again and must unlock
 * it as often as it locked it. */
OS_PLATFORM_API int32_t OsMutexInitRecursive(OsMutex *mutex);
/* Blocks until the mutex is acquired. */
OS_PLATFORM_API int32_t OsMutexLock(OsMutex *mutex);
/* Releases a mutex held by the caller. */
OS_PLATFORM_API int32_t OsMutexUnLock(OsMutex *mutex);
/* Acquires the mutex if it is free: 0 when acquired, non-zero when busy. */
OS_PLATFORM_API int32_t OsMutexTryLock(OsMutex *mutex);
/* Releases the mutex's resources; it must be unlocked and unused. */
OS_PLATFORM_API int32_t OsMutexDestroy(OsMutex *mutex);

/* Initialises a condition attribute with default settings. */
OS_PLATFORM_API int32_t OsPthreadCondInitAttr(OsCondAttr *attr);
/* Makes conditions created with this attribute time their waits on the
 * monotonic clock, so wall-clock changes neither shorten nor stretch them. */
OS_PLATFORM_API int32_t OsPthreadCondAttrSetClockMonotic(OsCondAttr *attr);
OS_PLATFORM_API int32_t OsPthreadCondAttrDestroy(OsCondAttr *attr);
/* Initialises a condition; attr may be NULL for the defaults. */
OS_PLATFORM_API int32_t OsPthreadCondInit(OsCond *cond, const OsCondAttr *attr);
/* Waits on cond; the caller holds mutex, which is held again on return.
 * 0 when woken (wake-ups may be spurious), else an error number. */
OS_PLATFORM_API int32_t OsPthreadCondWait(OsCond *cond, OsMutex *mutex);
/* Waits on cond for at most timeoutUs microseconds, measured on the
 * monotonic clock (the condition must have been created with an attribute
 * set by OsPthreadCondAttrSetClockMonotic). The caller holds mutex, which is
 * held again on return. 0 when signalled, OS_ETIMEDOUT (110) when the time
 * ran out, another error number otherwise. */
OS_PLATFORM_API int32_t OsPthreadCondTimedWaitClock(OsCond *cond, OsMutex *mutex, uint64_t timeoutUs);
/* Wakes one waiter, if any. */
OS_PLATFORM_API int32_t OsPthreadCondSignal(OsCond *cond);
/* Releases the condition; no thread may be waiting on it. */
OS_PLATFORM_API int32_t OsPthreadCondDestroy(OsCond *cond);

OS_PLATFORM_END_DECLS

#endif /* VYRE_OS_LOCK_H */

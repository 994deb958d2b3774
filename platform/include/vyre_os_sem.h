/*
 * Counting semaphores, private to the process.
 *
 * Post and wait may be called from any thread; init and destroy by the owner
 * while no thread waits.
 */
#ifndef VYRE_OS_SEM_H
#define VYRE_OS_SEM_H

#include <semaphore.h>

#include "vyre_os_types.h"

OS_PLATFORM_BEGIN_DECLS

typedef sem_t OsSem;

/* Initialises a process-private counting semaphore with the given count. */
OS_PLATFORM_API int32_t OsSemInit(OsSem *sem, uint32_t value);
/* Blocks until the count is above 0, then decrements it. 0 when it was
 * posted; an error number otherwise (a signal interrupting the wait is
 * retried, not reported). */
OS_PLATFORM_API int32_t OsSemWait(OsSem *sem);
/* Increments the count, waking one waiter. 0 on success. */
OS_PLATFORM_API int32_t OsSemPost(OsSem *sem);
/* Releases the semaphore; no thread may be waiting on it. */
OS_PLATFORM_API int32_t OsSemDestroy(OsSem *sem);

OS_PLATFORM_END_DECLS

#endif /* VYRE_OS_SEM_H */

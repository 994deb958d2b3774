/*
 * Sleeping and the system run time. Thread-safe.
 */
#ifndef VYRE_OS_TIME_H
#define VYRE_OS_TIME_H

#include "vyre_os_types.h"

OS_PLATFORM_BEGIN_DECLS

/* Sleeps at least the given number of seconds / milliseconds. */
OS_PLATFORM_API void OsSleep(uint32_t seconds);
OS_PLATFORM_API void OsSleepMs(uint32_t milliseconds);
/* Milliseconds since the system started (monotonic), truncated to 32 bits:
 * the value wraps after about 49.7 days, so callers subtract readings as
 * unsigned 32-bit values. */
OS_PLATFORM_API uint32_t OsGetSysRunTime(void);

OS_PLATFORM_END_DECLS

#endif /* VYRE_OS_TIME_H */

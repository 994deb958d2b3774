/*
 * Tracked memory: every block remembers its size, module and source line, so
 * a process can count what it has not given back and name where a leak came
 * from. Thread-safe; blocks may be freed by any thread.
 *
 * The counters and the failure injection below exist for tests and tools.
 */
#ifndef VYRE_OS_MEM_H
#define VYRE_OS_MEM_H

#include "vyre_os_types.h"

OS_PLATFORM_BEGIN_DECLS

/* Allocates size bytes (uninitialised), tagged with a memory type (callers
 * pass 0), a second tag (0), the caller's source line and module name.
 * NULL when memory is short or an injected failure fires. A size of 0 gives
 * a valid, unique block. */
OS_PLATFORM_API void *OSMemTypeMallocMon(size_t size, uint32_t memType, uint32_t tag, uint32_t line, const char *file);
/* As OSMemTypeMallocMon for count * size bytes, zero-filled; NULL when the
 * product overflows. */
OS_PLATFORM_API void *OSMemCallocMon(size_t count, size_t size, uint32_t memType, uint32_t tag, uint32_t line,
                                     const char *file);
/* Releases a block from the two calls above. NULL is ignored. The other
 * arguments name the releasing site and are not checked. Blocks below
 * 128 KiB are kept, uncounted, in per-thread caches for the next
 * allocations of their size (those of a thread that exits go to the other
 * threads); a few larger ones are kept for the next large allocation; the
 * rest go back to the C library. */
OS_PLATFORM_API void OSMemTypeFreeMon(void *block, uint32_t memType, uint32_t tag, uint32_t line, const char *file);

/* Blocks and bytes handed out and not yet released. */
OS_PLATFORM_API uint64_t OSMemGetUsedBlocks(void);
OS_PLATFORM_API uint64_t OSMemGetUsedBytes(void);
/* Failure injection: the n-th next tracked allocation (n >= 1, counted over
 * all threads) returns NULL, once; later allocations succeed again.
 * n <= 0 disables (the default is -1). */
OS_PLATFORM_API void OSMemSetFailCountdown(int64_t n);
/* Allocations still to go before the injected failure fires; -1 when no
 * failure is pending (disabled, or it has fired). */
OS_PLATFORM_API int64_t OSMemGetFailCountdown(void);
/* Writes one line per outstanding block to fd: address, size, module and
 * line of the allocation. */
OS_PLATFORM_API void OSMemDumpUsed(int fd);

OS_PLATFORM_END_DECLS

#endif /* VYRE_OS_MEM_H */

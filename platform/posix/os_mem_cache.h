/*
 * Per-thread caches of tracked blocks and the per-thread counters of the
 * tracked allocator.
 *
 * Blocks below kMemCacheMaxBytes come in size classes (four per doubling).
 * A block given back goes to the releasing thread's cache of its class; an
 * allocation takes from the calling thread's cache. A cache that grows past
 * its limit hands half of its blocks, as one chain, to the class's shared
 * depot; an empty cache takes one chain back. So a thread that only
 * allocates (a message producer) and one that only releases (its consumer)
 * meet on the depot's lock once per chain, not once per block. The depot
 * keeps a few chains per class; beyond them, and for a thread that exits,
 * blocks go back to the depot or to the C library.
 *
 * Each thread also counts the blocks and bytes it handed out and those it
 * took back; the totals are the sums over the threads that exist and the
 * threads that have exited, exact whenever no allocation is under way, and
 * while one is, never below what was held throughout the read.
 *
 * Thread safety: a thread's record is written by that thread only (its
 * counters are atomics that others read); the list of records and the
 * exited threads' totals are guarded by the registry lock; the depots by the
 * depot lock. Both are leaf locks (the depot lock is never taken with the
 * registry lock held, except around fork, which holds both).
 */
#ifndef VYRE_OS_MEM_CACHE_H
#define VYRE_OS_MEM_CACHE_H

#include <cstddef>
#include <cstdint>

#include "os_mem_block.h"

/* The size class of a block of total bytes (below kMemCacheMaxBytes), and the
 * bytes a block of that class holds (at least total). */
inline uint32_t MemClassOf(size_t total) {
    if (total <= 64U) {
        return 0U;
    }
    const size_t last = total - 1U;
    const uint32_t lg = 63U - static_cast<uint32_t>(__builtin_clzll(last)); // 6 ... 16
    const uint32_t quarter = static_cast<uint32_t>((last - (size_t{1} << lg)) >> (lg - 2U));
    return 1U + (lg - 6U) * 4U + quarter;
}
size_t MemClassBytes(uint32_t cls);

/* A cached block of class cls for the calling thread, counted as handed out
 * with size bytes; NULL when none is cached (nothing is counted then). */
BlockHeader *MemCacheTake(uint32_t cls, size_t size);
/* Counts a block of a size class with size bytes as taken back and keeps it
 * for reuse (or releases it when caching is off or the thread exits). */
void MemCacheGive(BlockHeader *head, size_t size);

/* Counts blocks and bytes handed out (positive) or taken back (negative) by
 * the calling thread. */
void MemCount(int64_t blocks, int64_t bytes);
/* Blocks and bytes outstanding over all threads. */
void MemTotals(uint64_t *blocks, uint64_t *bytes);

/* Fork hand-over: takes every lock of the caches, and lets them go again. */
void MemCacheLockAll();
void MemCacheUnlockAll();

#endif /* VYRE_OS_MEM_CACHE_H */

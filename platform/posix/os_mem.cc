/*
 * Tracked memory: malloc with a header in front of every block.
 *
 * The header records the block's size, module name and source line and links
 * the block into a list, so that a process can count what it has not given
 * back and a dump names where each block came from. The header is a multiple
 * of 16 bytes, so the caller's block keeps malloc's alignment.
 *
 * Blocks below 128 KiB come in size classes and are kept between uses in
 * per-thread caches (os_mem_cache.h): allocating and releasing them, also
 * when one thread releases what another allocated (a message payload), takes
 * no lock in the common case. The counters are kept per thread and summed
 * when read, exact whenever no allocation is under way. Such a block stays
 * in its shard's list while it is cached; the dump prints only live blocks.
 *
 * Large blocks (message payloads of kMemCacheMaxBytes and more) are not
 * handed back to the C library at once either: a few of them are kept for
 * the next large allocation. Otherwise the C library gives such memory back
 * to the system after each message and faults it in again for the next one.
 *
 * Cached and kept blocks are untracked memory: the counters, the dump and
 * the failure countdown see exactly the blocks the callers hold.
 *
 * Thread safety: each shard's lock guards its list (leaf locks; nothing is
 * called with one held except the write of a dump line); a shard lock is
 * taken only when a block's memory comes from or goes back to the C library.
 * The failure countdown is an atomic. g_reuse.lock guards the kept large
 * blocks (a leaf lock). Blocks may be freed by any thread. Around fork every
 * lock of the allocator is held, so the child starts with none of them taken.
 */
#include "vyre_os_mem.h"

#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <new>

#include "os_mem_block.h"
#include "os_mem_cache.h"

namespace {

constexpr uint32_t kShardBits = 5;
constexpr uint32_t kShardCount = 1U << kShardBits;

struct alignas(64) Shard {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    // Circular list of the shard's blocks, live and cached, with `blocks` as
    // its sentinel; links set on first use. Guarded by lock.
    BlockHeader blocks{};
};

Shard g_shards[kShardCount];

// Allocations still to go before the injected failure; -1 when none pending.
std::atomic<int64_t> g_failCountdown{-1};

// Counts one allocation against the countdown; true when it is the one that
// must fail. Exactly one caller sees the step from 1, even under contention.
// While no failure is pending this is one read of a line nobody writes.
bool InjectedFailureFires() {
    int64_t cur = g_failCountdown.load(std::memory_order_relaxed);
    while (cur > 0) {
        int64_t next = cur == 1 ? -1 : cur - 1;
        if (g_failCountdown.compare_exchange_weak(cur, next, std::memory_order_relaxed)) {
            return cur == 1;
        }
    }
    return false;
}

uint32_t ShardOf(const void *raw) {
    auto bits = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(raw) >> 4);
    return static_cast<uint32_t>((bits * 0x9E3779B97F4A7C15ULL) >> (64 - kShardBits));
}

void Link(BlockHeader *head) {
    Shard &shard = g_shards[head->shard];
    pthread_mutex_lock(&shard.lock);
    if (shard.blocks.next == nullptr) {
        shard.blocks.next = &shard.blocks;
        shard.blocks.prev = &shard.blocks;
    }
    head->next = &shard.blocks;
    head->prev = shard.blocks.prev;
    shard.blocks.prev->next = head;
    shard.blocks.prev = head;
    pthread_mutex_unlock(&shard.lock);
}

void Unlink(BlockHeader *head) {
    Shard &shard = g_shards[head->shard];
    pthread_mutex_lock(&shard.lock);
    head->prev->next = head->next;
    head->next->prev = head->prev;
    pthread_mutex_unlock(&shard.lock);
}

// Large blocks kept for reuse: at most kReuseSlots of them and kReuseMaxBytes
// together. A kept block serves a request it fits, if it is no more than
// twice the size asked for.
constexpr size_t kReuseMinBytes = kMemCacheMaxBytes;
constexpr size_t kReuseMaxBytes = 16U * 1024U * 1024U;
constexpr uint32_t kReuseSlots = 4;

struct ReuseCache {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    void *blocks[kReuseSlots] = {};    // guarded by lock
    size_t capacity[kReuseSlots] = {}; // guarded by lock: usable bytes of each
    size_t keptBytes = 0;              // guarded by lock
    bool closed = false;               // guarded by lock: the process is exiting
};

ReuseCache g_reuse;

// A kept block of at least `need` bytes, or NULL.
void *ReuseTake(size_t need) {
    if (need < kReuseMinBytes) {
        return nullptr;
    }
    pthread_mutex_lock(&g_reuse.lock);
    uint32_t best = kReuseSlots;
    for (uint32_t i = 0; i < kReuseSlots; ++i) {
        size_t cap = g_reuse.capacity[i];
        if (g_reuse.blocks[i] != nullptr && cap >= need && cap / 2 <= need &&
            (best == kReuseSlots || cap < g_reuse.capacity[best])) {
            best = i;
        }
    }
    void *raw = nullptr;
    if (best != kReuseSlots) {
        raw = g_reuse.blocks[best];
        g_reuse.keptBytes -= g_reuse.capacity[best];
        g_reuse.blocks[best] = nullptr;
        g_reuse.capacity[best] = 0;
    }
    pthread_mutex_unlock(&g_reuse.lock);
    return raw;
}

// Keeps a large block for reuse; false when it is small or there is no room
// (the caller frees it).
bool ReuseKeep(void *raw) {
    size_t cap = malloc_usable_size(raw);
    if (cap < kReuseMinBytes) {
        return false;
    }
    bool kept = false;
    pthread_mutex_lock(&g_reuse.lock);
    for (uint32_t i = 0; i < kReuseSlots && !g_reuse.closed && g_reuse.keptBytes + cap <= kReuseMaxBytes; ++i) {
        if (g_reuse.blocks[i] == nullptr) {
            g_reuse.blocks[i] = raw;
            g_reuse.capacity[i] = cap;
            g_reuse.keptBytes += cap;
            kept = true;
            break;
        }
    }
    pthread_mutex_unlock(&g_reuse.lock);
    return kept;
}

// Gives the kept blocks back to the C library when the process exits, so no
// memory checker mistakes them for a leak; later large frees go straight back.
struct ReuseCacheRelease {
    ~ReuseCacheRelease() {
        pthread_mutex_lock(&g_reuse.lock);
        g_reuse.closed = true;
        for (uint32_t i = 0; i < kReuseSlots; ++i) {
            free(g_reuse.blocks[i]);
            g_reuse.blocks[i] = nullptr;
            g_reuse.capacity[i] = 0;
        }
        g_reuse.keptBytes = 0;
        pthread_mutex_unlock(&g_reuse.lock);
    }
} g_reuseRelease;

void LockAllForFork() {
    MemCacheLockAll();
    for (Shard &shard : g_shards) {
        pthread_mutex_lock(&shard.lock);
    }
    pthread_mutex_lock(&g_reuse.lock);
}

void UnlockAllAfterFork() {
    pthread_mutex_unlock(&g_reuse.lock);
    for (Shard &shard : g_shards) {
        pthread_mutex_unlock(&shard.lock);
    }
    MemCacheUnlockAll();
}

// Installed when the library is loaded, before any allocation can be made.
struct ForkHandlers {
    ForkHandlers() { (void)pthread_atfork(LockAllForFork, UnlockAllAfterFork, UnlockAllAfterFork); }
} g_forkHandlers;

// Memory for a new block of total bytes: of class cls (total rounded up to
// the class), or exact-size and possibly a kept large block.
__attribute__((noinline)) BlockHeader *MakeBlock(size_t total, uint32_t cls, bool zero) {
    void *raw = nullptr;
    if (cls != kMemNoClass) {
        // Cache-line aligned, so the caller's block starts on a line of its
        // own too (the header is a whole line): a 64-byte payload is one
        // line, and records padded to lines keep their groups apart.
        if (posix_memalign(&raw, kMemBlockAlign, MemClassBytes(cls)) != 0) {
            raw = nullptr;
        }
    } else {
        raw = ReuseTake(total);
        if (raw != nullptr && zero) {
            memset(raw, 0, total);
        } else if (raw == nullptr) {
            raw = zero ? calloc(1, total) : malloc(total);
        }
    }
    if (raw == nullptr) {
        return nullptr;
    }
    auto *head = new (raw) BlockHeader();
    head->cls = cls;
    head->shard = ShardOf(raw);
    Link(head);
    return head;
}

void *TrackedAlloc(size_t size, bool zero, uint32_t line, const char *file) {
    if (size > SIZE_MAX - sizeof(BlockHeader) || InjectedFailureFires()) {
        return nullptr;
    }
    const size_t total = sizeof(BlockHeader) + size;
    const uint32_t cls = total < kMemCacheMaxBytes ? MemClassOf(total) : kMemNoClass;
    BlockHeader *head = cls != kMemNoClass ? MemCacheTake(cls, size) : nullptr;
    if (head == nullptr) {
        head = MakeBlock(total, cls, zero);
        if (head == nullptr) {
            return nullptr;
        }
        MemCount(1, static_cast<int64_t>(size));
    }
    if (zero && cls != kMemNoClass) {
        memset(static_cast<void *>(head + 1), 0, size);
    }
    head->size.store(size, std::memory_order_relaxed);
    head->module.store(file, std::memory_order_relaxed);
    head->line.store(line, std::memory_order_relaxed);
    head->magic.store(kMemLiveMagic, std::memory_order_relaxed);
    return head + 1;
}

} // namespace

void MemBlockRelease(BlockHeader *head) {
    Unlink(head);
    head->~BlockHeader();
    free(head);
}

extern "C" {

void *OSMemTypeMallocMon(size_t size, uint32_t /*memType*/, uint32_t /*tag*/, uint32_t line, const char *file) {
    return TrackedAlloc(size, false, line, file);
}

void *OSMemCallocMon(size_t count, size_t size, uint32_t /*memType*/, uint32_t /*tag*/, uint32_t line,
                     const char *file) {
    if (size != 0 && count > SIZE_MAX / size) {
        return nullptr;
    }
    return TrackedAlloc(count * size, true, line, file);
}

void OSMemTypeFreeMon(void *block, uint32_t /*memType*/, uint32_t /*tag*/, uint32_t /*line*/, const char * /*file*/) {
    if (block == nullptr) {
        return;
    }
    BlockHeader *head = static_cast<BlockHeader *>(block) - 1;
    assert(head->magic.load(std::memory_order_relaxed) == kMemLiveMagic &&
           "block not from the tracked allocator, or freed twice");
    head->magic.store(kMemCachedMagic, std::memory_order_relaxed);
    const size_t size = head->size.load(std::memory_order_relaxed);
    if (head->cls != kMemNoClass) {
        MemCacheGive(head, size);
        return;
    }
    MemCount(-1, -static_cast<int64_t>(size));
    Unlink(head);
    head->~BlockHeader();
    if (!ReuseKeep(head)) {
        free(head);
    }
}

uint64_t OSMemGetUsedBlocks(void) {
    uint64_t blocks = 0;
    uint64_t bytes = 0;
    MemTotals(&blocks, &bytes);
    return blocks;
}

uint64_t OSMemGetUsedBytes(void) {
    uint64_t blocks = 0;
    uint64_t bytes = 0;
    MemTotals(&blocks, &bytes);
    return bytes;
}

void OSMemSetFailCountdown(int64_t n) {
    g_failCountdown.store(n > 0 ? n : -1, std::memory_order_relaxed);
}

int64_t OSMemGetFailCountdown(void) {
    return g_failCountdown.load(std::memory_order_relaxed);
}

void OSMemDumpUsed(int fd) {
    char line[256];
    for (Shard &shard : g_shards) {
        pthread_mutex_lock(&shard.lock);
        for (const BlockHeader *head = shard.blocks.next; head != nullptr && head != &shard.blocks; head = head->next) {
            if (head->magic.load(std::memory_order_relaxed) != kMemLiveMagic) {
                continue;
            }
            const char *module = head->module.load(std::memory_order_relaxed);
            int len = snprintf(line, sizeof(line), "block %p size %zu module %s line %u\n",
                               static_cast<const void *>(head + 1), head->size.load(std::memory_order_relaxed),
                               module != nullptr ? module : "?", head->line.load(std::memory_order_relaxed));
            if (len <= 0) {
                continue;
            }
            size_t n = static_cast<size_t>(len);
            if (n >= sizeof(line)) { // an overlong module name: keep the line a line
                n = sizeof(line) - 1;
                line[n - 1] = '\n';
            }
            (void)!write(fd, line, n);
        }
        pthread_mutex_unlock(&shard.lock);
    }
}

} // extern "C"

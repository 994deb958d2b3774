/*
 * Per-thread block caches, their shared depots and the per-thread counters
 * of the tracked allocator (the scheme is described in os_mem_cache.h).
 *
 * A thread's record is plain C-library memory, not thread-local storage: a
 * child process made by fork keeps the records of the threads it did not
 * inherit (their counts still stand), and their memory must stay valid.
 * The thread reaches its record through a thread-local pointer; a
 * thread-specific key retires it when the thread exits, and the process's
 * exit retires the exiting thread's record and empties the depots, so a
 * memory checker finds nothing kept.
 *
 * Built with AddressSanitizer, blocks are never cached: each goes back to
 * the C library at once, so a use after release is still caught.
 */
#include "os_mem_cache.h"

#include <pthread.h>
#include <stdlib.h>

#include <new>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCacheBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCacheBlocks = false;
#else
constexpr bool kCacheBlocks = true;
#endif
#else
constexpr bool kCacheBlocks = true;
#endif

// Four classes per doubling from 64 bytes up to kMemCacheMaxBytes.
constexpr uint32_t kClassCount = 1U + 4U * 11U;
// A thread's cache of one class holds about this many bytes at most (but
// never fewer than kMinBinBlocks or more than kMaxBinBlocks blocks); half of
// it moves to the depot as one chain when it is exceeded.
constexpr size_t kBinBytes = 256U * 1024U;
constexpr uint32_t kMinBinBlocks = 4U;
constexpr uint32_t kMaxBinBlocks = 64U;
// A depot keeps at most kDepotChains chains and about kDepotBytes per class
// (but always kMinDepotChains): enough for the payloads of a full queue of
// the default length to come back for reuse.
constexpr uint32_t kDepotChains = 64U;
constexpr uint32_t kMinDepotChains = 4U;
constexpr size_t kDepotBytes = 8U * 1024U * 1024U;

struct Bin {
    BlockHeader *head = nullptr;
    uint32_t count = 0;
};

// The chains of one class; guarded by g_depotLock.
struct Depot {
    BlockHeader *chains[kDepotChains] = {};
    uint32_t counts[kDepotChains] = {};
    uint32_t used = 0;
};

// One lock for every class's depot: it is taken once per chain, not per
// block, and fork must hold every lock of the allocator at once (a thread
// sanitizer follows at most 64 held locks).
pthread_mutex_t g_depotLock = PTHREAD_MUTEX_INITIALIZER;
Depot g_depots[kClassCount];
// Set when the process exits, under g_depotLock: the depots keep nothing
// any more.
bool g_depotsClosed = false;

} // namespace

struct MemThread {
    Bin bins[kClassCount];
    // Blocks and bytes handed out, and taken back, by this thread: each only
    // grows, is written by the owning thread only (release) and read by
    // anyone (acquire), so that a reader who sees a release also sees the
    // allocation that came before it (see MemTotals).
    std::atomic<uint64_t> outBlocks{0};
    std::atomic<uint64_t> outBytes{0};
    std::atomic<uint64_t> backBlocks{0};
    std::atomic<uint64_t> backBytes{0};
    MemThread *prev = nullptr; // registry list; guarded by g_registry.lock
    MemThread *next = nullptr;
};

namespace {

struct Registry {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    MemThread *threads = nullptr; // guarded by lock
    int64_t retiredBlocks = 0;    // guarded by lock: counts of exited threads
    int64_t retiredBytes = 0;
    pthread_key_t key{};
    bool keyMade = false;
};

Registry g_registry;

// Counts of threads without a record (exiting, or none could be made), kept
// as in MemThread.
std::atomic<uint64_t> g_unownedOutBlocks{0};
std::atomic<uint64_t> g_unownedOutBytes{0};
std::atomic<uint64_t> g_unownedBackBlocks{0};
std::atomic<uint64_t> g_unownedBackBytes{0};

__attribute__((tls_model("initial-exec"))) thread_local MemThread *t_self = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local bool t_retired = false;

constexpr size_t ClassBytes(uint32_t cls) {
    return cls == 0U
               ? 64U
               : (size_t{1} << (6U + (cls - 1U) / 4U)) + ((cls - 1U) % 4U + 1U) * (size_t{1} << (4U + (cls - 1U) / 4U));
}

constexpr uint32_t Clamp(size_t value, uint32_t low, uint32_t high) {
    return value < low ? low : value > high ? high : static_cast<uint32_t>(value);
}

// Per class: the bytes of a block, the blocks a thread's cache holds before
// it hands half of them on, and the chains the depot keeps.
struct ClassLimits {
    size_t bytes[kClassCount];
    uint32_t binBlocks[kClassCount];
    uint32_t depotChains[kClassCount];
    constexpr ClassLimits() : bytes(), binBlocks(), depotChains() {
        for (uint32_t cls = 0; cls < kClassCount; ++cls) {
            bytes[cls] = ClassBytes(cls);
            binBlocks[cls] = Clamp(kBinBytes / bytes[cls], kMinBinBlocks, kMaxBinBlocks);
            depotChains[cls] =
                Clamp(kDepotBytes / (bytes[cls] * (binBlocks[cls] / 2U + 1U)), kMinDepotChains, kDepotChains);
        }
    }
};

constexpr ClassLimits kLimits;
static_assert(ClassBytes(kClassCount - 1U) == kMemCacheMaxBytes, "the classes end at the cache's bound");

void ReleaseChain(BlockHeader *chain) {
    while (chain != nullptr) {
        BlockHeader *next = chain->cacheNext;
        MemBlockRelease(chain);
        chain = next;
    }
}

// Hands a chain of count blocks to the depot of cls, or to the C library
// when the depot is full or closed.
void DepotPut(uint32_t cls, BlockHeader *chain, uint32_t count) {
    Depot &depot = g_depots[cls];
    pthread_mutex_lock(&g_depotLock);
    bool kept = !g_depotsClosed && depot.used < kLimits.depotChains[cls];
    if (kept) {
        depot.chains[depot.used] = chain;
        depot.counts[depot.used] = count;
        ++depot.used;
    }
    pthread_mutex_unlock(&g_depotLock);
    if (!kept) {
        ReleaseChain(chain);
    }
}

BlockHeader *DepotTake(uint32_t cls, uint32_t *count) {
    Depot &depot = g_depots[cls];
    BlockHeader *chain = nullptr;
    pthread_mutex_lock(&g_depotLock);
    if (depot.used != 0U) {
        --depot.used;
        chain = depot.chains[depot.used];
        *count = depot.counts[depot.used];
        depot.chains[depot.used] = nullptr;
    }
    pthread_mutex_unlock(&g_depotLock);
    return chain;
}

// Gives every cached block of the record to the depots and folds its counts
// into the exited threads' totals; the record is freed.
void Retire(MemThread *self) {
    for (uint32_t cls = 0; cls < kClassCount; ++cls) {
        Bin &bin = self->bins[cls];
        if (bin.head != nullptr) {
            DepotPut(cls, bin.head, bin.count);
        }
        bin = Bin{};
    }
    pthread_mutex_lock(&g_registry.lock);
    g_registry.retiredBlocks += static_cast<int64_t>(self->outBlocks.load(std::memory_order_relaxed) -
                                                     self->backBlocks.load(std::memory_order_relaxed));
    g_registry.retiredBytes += static_cast<int64_t>(self->outBytes.load(std::memory_order_relaxed) -
                                                    self->backBytes.load(std::memory_order_relaxed));
    if (self->prev != nullptr) {
        self->prev->next = self->next;
    } else {
        g_registry.threads = self->next;
    }
    if (self->next != nullptr) {
        self->next->prev = self->prev;
    }
    pthread_mutex_unlock(&g_registry.lock);
    self->~MemThread();
    free(self);
}

void RetireAtThreadExit(void *record) {
    if (record == t_self) {
        t_self = nullptr;
        t_retired = true;
    }
    Retire(static_cast<MemThread *>(record));
}

// Made when the library is loaded, before any allocation; closed when the
// process exits, after the exiting thread's record gave its blocks back.
struct Lifetime {
    Lifetime() { g_registry.keyMade = pthread_key_create(&g_registry.key, RetireAtThreadExit) == 0; }
    ~Lifetime() {
        if (t_self != nullptr) {
            MemThread *self = t_self;
            t_self = nullptr;
            t_retired = true;
            if (g_registry.keyMade) {
                (void)pthread_setspecific(g_registry.key, nullptr);
            }
            Retire(self);
        }
        MemCacheLockAll();
        g_depotsClosed = true;
        BlockHeader *chains[kClassCount][kDepotChains] = {};
        for (uint32_t cls = 0; cls < kClassCount; ++cls) {
            for (uint32_t i = 0; i < g_depots[cls].used; ++i) {
                chains[cls][i] = g_depots[cls].chains[i];
                g_depots[cls].chains[i] = nullptr;
            }
            g_depots[cls].used = 0;
        }
        MemCacheUnlockAll();
        for (auto &ofClass : chains) {
            for (BlockHeader *chain : ofClass) {
                ReleaseChain(chain);
            }
        }
    }
} g_lifetime;

MemThread *MakeSelf() {
    if (t_retired || !g_registry.keyMade) {
        return nullptr;
    }
    void *memory = malloc(sizeof(MemThread));
    if (memory == nullptr) {
        return nullptr;
    }
    auto *self = new (memory) MemThread();
    if (pthread_setspecific(g_registry.key, self) != 0) {
        self->~MemThread();
        free(memory);
        return nullptr;
    }
    pthread_mutex_lock(&g_registry.lock);
    self->next = g_registry.threads;
    if (self->next != nullptr) {
        self->next->prev = self;
    }
    g_registry.threads = self;
    pthread_mutex_unlock(&g_registry.lock);
    t_self = self;
    return self;
}

} // namespace

size_t MemClassBytes(uint32_t cls) {
    return kLimits.bytes[cls];
}

namespace {

MemThread *Self() {
    MemThread *self = t_self;
    return self != nullptr ? self : MakeSelf();
}

// Adds to a counter that only its owner writes.
inline void Bump(std::atomic<uint64_t> &counter, uint64_t amount) {
    counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_release);
}

void Count(MemThread *self, int64_t blocks, int64_t bytes) {
    const bool out = blocks > 0;
    const auto nBlocks = static_cast<uint64_t>(out ? blocks : -blocks);
    const auto nBytes = static_cast<uint64_t>(out ? bytes : -bytes);
    if (self == nullptr) {
        (out ? g_unownedOutBytes : g_unownedBackBytes).fetch_add(nBytes, std::memory_order_acq_rel);
        (out ? g_unownedOutBlocks : g_unownedBackBlocks).fetch_add(nBlocks, std::memory_order_acq_rel);
        return;
    }
    Bump(out ? self->outBytes : self->backBytes, nBytes);
    Bump(out ? self->outBlocks : self->backBlocks, nBlocks);
}

// The cache of cls is empty: takes a chain from the depot; false when it has
// none.
__attribute__((noinline)) bool Refill(Bin &bin, uint32_t cls) {
    bin.head = DepotTake(cls, &bin.count);
    return bin.head != nullptr;
}

// The cache of cls holds more than its limit: the newest half stays, the
// older half moves on as one chain.
__attribute__((noinline)) void Spill(Bin &bin, uint32_t cls) {
    const uint32_t keep = bin.count / 2U;
    BlockHeader *last = bin.head;
    for (uint32_t i = 1; i < keep; ++i) {
        last = last->cacheNext;
    }
    BlockHeader *chain = last->cacheNext;
    last->cacheNext = nullptr;
    DepotPut(cls, chain, bin.count - keep);
    bin.count = keep;
}

} // namespace

BlockHeader *MemCacheTake(uint32_t cls, size_t size) {
    MemThread *self = Self();
    if (!kCacheBlocks || self == nullptr) {
        return nullptr;
    }
    Bin &bin = self->bins[cls];
    if (bin.head == nullptr && !Refill(bin, cls)) {
        return nullptr;
    }
    BlockHeader *head = bin.head;
    bin.head = head->cacheNext;
    if (bin.head != nullptr) {
        // The blocks of a chain were last written by the thread that released
        // them, often on another core: fetching the next one's header now, for
        // writing, hides that miss behind the caller's use of this block.
        __builtin_prefetch(bin.head, 1, 3);
    }
    --bin.count;
    Count(self, 1, static_cast<int64_t>(size));
    return head;
}

void MemCacheGive(BlockHeader *head, size_t size) {
    MemThread *self = Self();
    Count(self, -1, -static_cast<int64_t>(size));
    if (!kCacheBlocks || self == nullptr) {
        MemBlockRelease(head);
        return;
    }
    const uint32_t cls = head->cls;
    Bin &bin = self->bins[cls];
    head->cacheNext = bin.head;
    bin.head = head;
    if (++bin.count > kLimits.binBlocks[cls]) {
        Spill(bin, cls);
    }
}

void MemCount(int64_t blocks, int64_t bytes) {
    Count(Self(), blocks, bytes);
}

void MemTotals(uint64_t *blocks, uint64_t *bytes) {
    // Every release is read before any allocation: a block is taken back only
    // after it was handed out, so each release seen in the first pass has its
    // allocation seen in the second, and the sum never falls below the blocks
    // held throughout the read (a read in one pass could see a block's
    // release without its allocation, and a total below zero).
    uint64_t backBlocks = g_unownedBackBlocks.load(std::memory_order_acquire);
    uint64_t backBytes = g_unownedBackBytes.load(std::memory_order_acquire);
    pthread_mutex_lock(&g_registry.lock);
    for (const MemThread *thread = g_registry.threads; thread != nullptr; thread = thread->next) {
        backBlocks += thread->backBlocks.load(std::memory_order_acquire);
        backBytes += thread->backBytes.load(std::memory_order_acquire);
    }
    uint64_t outBlocks = static_cast<uint64_t>(g_registry.retiredBlocks);
    uint64_t outBytes = static_cast<uint64_t>(g_registry.retiredBytes);
    for (const MemThread *thread = g_registry.threads; thread != nullptr; thread = thread->next) {
        outBlocks += thread->outBlocks.load(std::memory_order_acquire);
        outBytes += thread->outBytes.load(std::memory_order_acquire);
    }
    pthread_mutex_unlock(&g_registry.lock);
    outBlocks += g_unownedOutBlocks.load(std::memory_order_acquire);
    outBytes += g_unownedOutBytes.load(std::memory_order_acquire);
    *blocks = outBlocks - backBlocks;
    *bytes = outBytes - backBytes;
}

void MemCacheLockAll() {
    pthread_mutex_lock(&g_registry.lock);
    pthread_mutex_lock(&g_depotLock);
}

void MemCacheUnlockAll() {
    pthread_mutex_unlock(&g_depotLock);
    pthread_mutex_unlock(&g_registry.lock);
}

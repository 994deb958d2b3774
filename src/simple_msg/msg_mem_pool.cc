/*
 * The message memory pool: equal chunks made once from malloc and kept on a
 * last-in first-out free list, so that a listed process serves its small
 * message buffers without a system allocation per message.
 *
 * A chunk is one link word followed by the caller's block, so blocks are
 * aligned to the link word (8 bytes). The link word holds the index of the
 * next free chunk and the chunk's own index in the pool's chunk table, which
 * follows the pool header in the header's allocation.
 *
 * The free list takes no lock: it is a lock-free stack whose head, the
 * header's `freeList`, packs the index of the first free chunk with a count
 * of changes, and every push and pop replaces the whole word with one
 * compare-and-swap. The count defeats the ABA case (a chunk taken and given
 * back between a pop's read of the head and its swap). Otherwise a sender
 * taking chunks and a task loop giving them back would meet on a lock for
 * every message.
 *
 * Thread safety: allocation and release may run on any threads at once; the
 * counters are atomics (each exact, their sum equal to totalNum whenever no
 * allocation or release is under way). memPoolMutex serialises
 * initialisation and destruction (a leaf lock, never held while logging),
 * which run while no messages flow. memPoolInitFlag, memPoolChunkSize and
 * g_pool are atomics so that the buffer routing may read them without it.
 */
#include "simple_msg/msg_mem_pool.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

#include "log/msg_log.h"
#include "vyre_os_thread.h"

MsgMemPoolInfo *g_pool = nullptr; // written under memPoolMutex, read atomically
void *(*g_pfnMemPoolMalloc)(size_t size) = malloc;

namespace {

constexpr uint32_t kMinChunkSize = 16;
constexpr uint32_t kMaxChunkSize = 3072;
constexpr uint32_t kMinPoolSize = 10240;
constexpr uint32_t kMaxPoolSize = 1048576;
constexpr size_t kProcNameBufSize = 64;

// Processes that may have a pool. A process matches when its name occurs in
// an entry, so a name the kernel cut to 15 characters still matches.
const char *const g_memPoolList[] = {
    "vyre_video_server",
    "vyre_audio_server",
    "vendor.zorvantv.hardware.zvaudioproxy@2.0-service",
};

// Guards g_pool, its counters and its free list. A leaf lock: nothing else is
// locked, called back or logged while it is held.
pthread_mutex_t memPoolMutex = PTHREAD_MUTEX_INITIALIZER;
// Written under memPoolMutex, read without it by the buffer routing.
std::atomic<uint32_t> memPoolInitFlag{0};  // 1 while the pool is in use
std::atomic<uint32_t> memPoolChunkSize{0}; // the pool's chunk size, 0 while none

// The link word in front of each chunk's block: the next free chunk's index
// (while the chunk is free) and the chunk's own index.
struct MemChunk {
    std::atomic<uint32_t> next;
    uint32_t index;
};
static_assert(sizeof(MemChunk) == 8, "one 8-byte link word in front of each block");

constexpr uint32_t kNoChunk = 0xFFFFFFFFU;

uint32_t HeadIndex(uint64_t head) {
    return static_cast<uint32_t>(head);
}

uint64_t NextHead(uint64_t head, uint32_t index) {
    return ((head >> 32) + 1U) << 32 | index;
}

void *BlockOf(MemChunk *chunk) {
    return chunk + 1;
}

MemChunk *ChunkOf(void *block) {
    return static_cast<MemChunk *>(block) - 1;
}

// The chunk table: totalNum entries right after the header.
MemChunk **ChunkTable(MsgMemPoolInfo *pool) {
    return reinterpret_cast<MemChunk **>(pool + 1);
}

MsgMemPoolInfo *LoadPool() {
    return __atomic_load_n(&g_pool, __ATOMIC_ACQUIRE);
}

// Makes the header (with its chunk table) for n chunks of chunkSize bytes.
// NULL when memory is short.
MsgMemPoolInfo *MakePoolHeader(uint32_t maxPoolSize, uint32_t chunkSize, uint32_t n) {
    static_assert(sizeof(MsgMemPoolInfo) % alignof(MemChunk *) == 0, "the chunk table follows the header");
    auto *pool = static_cast<MsgMemPoolInfo *>(g_pfnMemPoolMalloc(sizeof(MsgMemPoolInfo) + n * sizeof(MemChunk *)));
    if (pool == nullptr) {
        return nullptr;
    }
    pool->freeList = kNoChunk;
    pool->freeNum = n;
    pool->usedNum = 0;
    pool->maxPoolSize = maxPoolSize;
    pool->chuckSize = chunkSize;
    pool->totalNum = n;
    for (uint32_t i = 0; i < n; ++i) {
        ChunkTable(pool)[i] = nullptr;
    }
    return pool;
}

// Makes the pool's totalNum chunks onto its free list, the last made first.
// False when memory ran short; the chunks made so far stay.
bool MakeChunks(MsgMemPoolInfo *pool) {
    for (uint32_t i = 0; i < pool->totalNum; ++i) {
        auto *chunk = static_cast<MemChunk *>(g_pfnMemPoolMalloc(sizeof(MemChunk) + pool->chuckSize));
        if (chunk == nullptr) {
            return false;
        }
        new (chunk) MemChunk{{HeadIndex(pool->freeList)}, i};
        ChunkTable(pool)[i] = chunk;
        pool->freeList = NextHead(pool->freeList, i);
    }
    return true;
}

// Takes the first free chunk off the list; NULL when it is empty.
MemChunk *PopChunk(MsgMemPoolInfo *pool) {
    uint64_t head = __atomic_load_n(&pool->freeList, __ATOMIC_ACQUIRE);
    while (HeadIndex(head) != kNoChunk) {
        MemChunk *chunk = ChunkTable(pool)[HeadIndex(head)];
        // May be stale if another thread takes the chunk meanwhile; the swap
        // then fails, as the change count has moved on.
        uint32_t next = chunk->next.load(std::memory_order_relaxed);
        if (__atomic_compare_exchange_n(&pool->freeList, &head, NextHead(head, next), true, __ATOMIC_ACQUIRE,
                                        __ATOMIC_ACQUIRE)) {
            __atomic_fetch_sub(&pool->freeNum, 1U, __ATOMIC_RELAXED);
            __atomic_fetch_add(&pool->usedNum, 1U, __ATOMIC_RELAXED);
            return chunk;
        }
    }
    return nullptr;
}

void PushChunk(MsgMemPoolInfo *pool, MemChunk *chunk) {
    uint64_t head = __atomic_load_n(&pool->freeList, __ATOMIC_RELAXED);
    do {
        chunk->next.store(HeadIndex(head), std::memory_order_relaxed);
    } while (!__atomic_compare_exchange_n(&pool->freeList, &head, NextHead(head, chunk->index), true, __ATOMIC_RELEASE,
                                          __ATOMIC_RELAXED));
    __atomic_add_fetch(&pool->freeNum, 1U, __ATOMIC_RELAXED);
    __atomic_sub_fetch(&pool->usedNum, 1U, __ATOMIC_RELAXED);
}

} // namespace

extern "C" {

uint32_t CheckProcPermission(const char *procName) {
    if (procName == nullptr || procName[0] == '\0') {
        return 0;
    }
    for (const char *entry : g_memPoolList) {
        if (strstr(entry, procName) != nullptr) {
            OS_MSG_LOG(OS_LOG_INFO, "Proc:%s In g_memPoolList", procName);
            return 1;
        }
    }
    return 0;
}

uint32_t MsgMemPoolInit(uint32_t maxPoolSize, uint32_t chunkSize) {
    if (chunkSize < kMinChunkSize || chunkSize > kMaxChunkSize || maxPoolSize < kMinPoolSize ||
        maxPoolSize > kMaxPoolSize) {
        OS_MSG_LOG(OS_LOG_ERROR, "INVAL Error! maxPoolSize:%u, chunkSize:%u", maxPoolSize, chunkSize);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    char procName[kProcNameBufSize] = {0};
    (void)MenGetProcName(procName, sizeof(procName));
    if (CheckProcPermission(procName) == 0) {
        return OS_MSG_ERR_INVALID_PARAM;
    }

    pthread_mutex_lock(&memPoolMutex);
    if (memPoolInitFlag.load(std::memory_order_relaxed) == 1) {
        pthread_mutex_unlock(&memPoolMutex);
        OS_MSG_LOG(OS_LOG_ERROR, "MsgMemPoolInit again");
        return OS_MSG_ERR_REPEATED;
    }
    memPoolInitFlag.store(1, std::memory_order_release);
    MsgMemPoolInfo *pool = MakePoolHeader(maxPoolSize, chunkSize, maxPoolSize / chunkSize);
    if (pool == nullptr) {
        memPoolInitFlag.store(0, std::memory_order_release);
        pthread_mutex_unlock(&memPoolMutex);
        OS_MSG_LOG(OS_LOG_ERROR, "malloc g_pool failed");
        return OS_MSG_ERR_NO_MEMORY;
    }
    bool complete = MakeChunks(pool);
    __atomic_store_n(&g_pool, pool, __ATOMIC_RELEASE);
    memPoolChunkSize.store(chunkSize, std::memory_order_release);
    pthread_mutex_unlock(&memPoolMutex);
    if (!complete) {
        OS_MSG_LOG(OS_LOG_ERROR, "malloc error");
        return OS_MSG_ERR_NO_MEMORY;
    }
    return OS_MSG_OK;
}

void *MsgMemPoolAlloc(uint32_t size) {
    MsgMemPoolInfo *pool = LoadPool();
    uint32_t chunkSize = pool != nullptr ? pool->chuckSize : 0;
    if (pool != nullptr && size <= chunkSize) {
        MemChunk *chunk = PopChunk(pool);
        if (chunk != nullptr) {
            return BlockOf(chunk);
        }
    }
    OS_MSG_LOG(OS_LOG_ERROR, "memPoolAlloc failed, no free list, g_pool->chuckSize:%d, mallocSize:%d",
               static_cast<int>(chunkSize), static_cast<int>(size));
    return nullptr;
}

void MsgMemPoolFree(void *block) {
    if (block == nullptr) {
        return;
    }
    MemChunk *chunk = ChunkOf(block);
    MsgMemPoolInfo *pool = LoadPool();
    if (pool == nullptr || chunk->index >= pool->totalNum || ChunkTable(pool)[chunk->index] != chunk) {
        // Given back after its pool went away: the chunk is still malloc's.
        free(chunk);
        return;
    }
    PushChunk(pool, chunk);
}

uint32_t MsgMemPoolDestroy(void) {
    pthread_mutex_lock(&memPoolMutex);
    MsgMemPoolInfo *pool = LoadPool();
    if (memPoolInitFlag.load(std::memory_order_relaxed) != 1 || pool == nullptr) {
        pthread_mutex_unlock(&memPoolMutex);
        OS_MSG_LOG(OS_LOG_ERROR, "MsgMemPool not init.");
        return OS_MSG_OK;
    }
    for (uint32_t index = HeadIndex(pool->freeList); index != kNoChunk;) {
        MemChunk *chunk = ChunkTable(pool)[index];
        index = chunk->next.load(std::memory_order_relaxed);
        free(chunk);
    }
    __atomic_store_n(&g_pool, static_cast<MsgMemPoolInfo *>(nullptr), __ATOMIC_RELEASE);
    free(pool);
    memPoolInitFlag.store(0, std::memory_order_release);
    memPoolChunkSize.store(0, std::memory_order_release);
    pthread_mutex_unlock(&memPoolMutex);
    return OS_MSG_OK;
}

uint32_t MsgMemPoolInUse(void) {
    return memPoolInitFlag.load(std::memory_order_acquire);
}

uint32_t MsgMemPoolChunkSize(void) {
    return memPoolChunkSize.load(std::memory_order_acquire);
}

} // extern "C"

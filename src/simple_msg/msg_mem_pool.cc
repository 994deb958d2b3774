/*
 * The message memory pool: equal chunks made once from malloc and kept on a
 * last-in first-out free list, so that a listed process serves its small
 * message buffers without a system allocation per message.
 *
 * A chunk is one link word (the next free chunk) followed by the caller's
 * block, so blocks are aligned to the link word (8 bytes).
 *
 * Thread safety: memPoolMutex guards g_pool, its counters and the free list;
 * it is a leaf lock held only inside this file, never while logging.
 * memPoolInitFlag and memPoolChunkSize are atomics so that the buffer routing
 * may read them without the mutex; they change only at initialisation and
 * destruction.
 */
#include "simple_msg/msg_mem_pool.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "log/msg_log.h"
#include "vyre_os_thread.h"

MsgMemPoolInfo *g_pool = nullptr; // guarded by memPoolMutex
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

// A chunk on the free list; the caller's block follows the link word.
struct MemChunk {
    MemChunk *next;
};

void *BlockOf(MemChunk *chunk) {
    return chunk + 1;
}

MemChunk *ChunkOf(void *block) {
    return static_cast<MemChunk *>(block) - 1;
}

// Makes the header for n chunks of chunkSize bytes and publishes it as
// g_pool. Caller holds memPoolMutex. False when memory is short.
bool MakePoolHeader(uint32_t maxPoolSize, uint32_t chunkSize, uint32_t n) {
    auto *pool = static_cast<MsgMemPoolInfo *>(g_pfnMemPoolMalloc(sizeof(MsgMemPoolInfo)));
    if (pool == nullptr) {
        return false;
    }
    pool->freeList = nullptr;
    pool->freeNum = n;
    pool->usedNum = 0;
    pool->maxPoolSize = maxPoolSize;
    pool->chuckSize = chunkSize;
    pool->totalNum = n;
    g_pool = pool;
    memPoolChunkSize.store(chunkSize, std::memory_order_release);
    return true;
}

// Makes g_pool's totalNum chunks onto its free list. Caller holds
// memPoolMutex. False when memory ran short; the chunks made so far stay.
bool MakeChunks() {
    for (uint32_t i = 0; i < g_pool->totalNum; ++i) {
        auto *chunk = static_cast<MemChunk *>(g_pfnMemPoolMalloc(sizeof(MemChunk) + g_pool->chuckSize));
        if (chunk == nullptr) {
            return false;
        }
        chunk->next = static_cast<MemChunk *>(g_pool->freeList);
        g_pool->freeList = chunk;
    }
    return true;
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
    if (!MakePoolHeader(maxPoolSize, chunkSize, maxPoolSize / chunkSize)) {
        memPoolInitFlag.store(0, std::memory_order_release);
        pthread_mutex_unlock(&memPoolMutex);
        OS_MSG_LOG(OS_LOG_ERROR, "malloc g_pool failed");
        return OS_MSG_ERR_NO_MEMORY;
    }
    bool complete = MakeChunks();
    pthread_mutex_unlock(&memPoolMutex);
    if (!complete) {
        OS_MSG_LOG(OS_LOG_ERROR, "malloc error");
        return OS_MSG_ERR_NO_MEMORY;
    }
    return OS_MSG_OK;
}

void *MsgMemPoolAlloc(uint32_t size) {
    pthread_mutex_lock(&memPoolMutex);
    uint32_t chunkSize = g_pool != nullptr ? g_pool->chuckSize : 0;
    if (g_pool != nullptr && g_pool->freeList != nullptr && size <= chunkSize) {
        auto *chunk = static_cast<MemChunk *>(g_pool->freeList);
        g_pool->freeList = chunk->next;
        g_pool->freeNum--;
        g_pool->usedNum++;
        pthread_mutex_unlock(&memPoolMutex);
        return BlockOf(chunk);
    }
    pthread_mutex_unlock(&memPoolMutex);
    OS_MSG_LOG(OS_LOG_ERROR, "memPoolAlloc failed, no free list, g_pool->chuckSize:%d, mallocSize:%d",
               static_cast<int>(chunkSize), static_cast<int>(size));
    return nullptr;
}

void MsgMemPoolFree(void *block) {
    if (block == nullptr) {
        return;
    }
    MemChunk *chunk = ChunkOf(block);
    pthread_mutex_lock(&memPoolMutex);
    if (g_pool == nullptr) {
        // Given back after the pool went away: the chunk is still malloc's.
        pthread_mutex_unlock(&memPoolMutex);
        free(chunk);
        return;
    }
    chunk->next = static_cast<MemChunk *>(g_pool->freeList);
    g_pool->freeList = chunk;
    g_pool->freeNum++;
    g_pool->usedNum--;
    pthread_mutex_unlock(&memPoolMutex);
}

uint32_t MsgMemPoolDestroy(void) {
    pthread_mutex_lock(&memPoolMutex);
    if (memPoolInitFlag.load(std::memory_order_relaxed) != 1 || g_pool == nullptr) {
        pthread_mutex_unlock(&memPoolMutex);
        OS_MSG_LOG(OS_LOG_ERROR, "MsgMemPool not init.");
        return OS_MSG_OK;
    }
    auto *chunk = static_cast<MemChunk *>(g_pool->freeList);
    while (chunk != nullptr) {
        MemChunk *next = chunk->next;
        free(chunk);
        chunk = next;
    }
    free(g_pool);
    g_pool = nullptr;
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

/*
 * Tracked memory: malloc with a header in front of every block.
 *
 * The header records the block's size, module name and source line and links
 * the block into one list of outstanding blocks, so that a process can count
 * what it has not given back and a dump names where each block came from.
 * The header is a multiple of 16 bytes, so the caller's block keeps malloc's
 * alignment.
 *
 * Thread safety: g_blocksLock guards the list (it is a leaf lock: nothing is
 * called with it held except the write of a dump line). The block and byte
 * counters and the failure countdown are atomics read and changed without
 * the lock. Blocks may be freed by any thread.
 */
#include "vyre_os_mem.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>

namespace {

// Marks a live tracked block; cleared when the block is freed so that a
// double or foreign free trips the assertion in debug builds.
constexpr uint32_t kLiveMagic = 0x4D454D42U;

struct alignas(16) BlockHeader {
    BlockHeader *prev;
    BlockHeader *next;
    size_t size;
    const char *module; // the caller's string literal; never copied
    uint32_t line;
    uint32_t magic;
};
static_assert(sizeof(BlockHeader) % alignof(std::max_align_t) == 0, "the caller's block keeps malloc's alignment");

// Circular list of outstanding blocks with g_blocks as its sentinel.
pthread_mutex_t g_blocksLock = PTHREAD_MUTEX_INITIALIZER;
BlockHeader g_blocks = {&g_blocks, &g_blocks, 0, nullptr, 0, 0}; // guarded by g_blocksLock

std::atomic<uint64_t> g_usedBlocks{0};
std::atomic<uint64_t> g_usedBytes{0};
// Allocations still to go before the injected failure; -1 when none pending.
std::atomic<int64_t> g_failCountdown{-1};

// Counts one allocation against the countdown; true when it is the one that
// must fail. Exactly one caller sees the step from 1, even under contention.
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

void *TrackedAlloc(size_t size, bool zero, uint32_t line, const char *file) {
    if (size > SIZE_MAX - sizeof(BlockHeader) || InjectedFailureFires()) {
        return nullptr;
    }
    void *raw = zero ? calloc(1, sizeof(BlockHeader) + size) : malloc(sizeof(BlockHeader) + size);
    if (raw == nullptr) {
        return nullptr;
    }
    auto *head = static_cast<BlockHeader *>(raw);
    head->size = size;
    head->module = file;
    head->line = line;
    head->magic = kLiveMagic;

    pthread_mutex_lock(&g_blocksLock);
    head->next = &g_blocks;
    head->prev = g_blocks.prev;
    g_blocks.prev->next = head;
    g_blocks.prev = head;
    pthread_mutex_unlock(&g_blocksLock);

    g_usedBlocks.fetch_add(1, std::memory_order_relaxed);
    g_usedBytes.fetch_add(size, std::memory_order_relaxed);
    return head + 1;
}

} // namespace

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
    assert(head->magic == kLiveMagic && "block not from the tracked allocator, or freed twice");

    pthread_mutex_lock(&g_blocksLock);
    head->prev->next = head->next;
    head->next->prev = head->prev;
    pthread_mutex_unlock(&g_blocksLock);

    head->magic = 0;
    g_usedBlocks.fetch_sub(1, std::memory_order_relaxed);
    g_usedBytes.fetch_sub(head->size, std::memory_order_relaxed);
    free(head);
}

uint64_t OSMemGetUsedBlocks(void) {
    return g_usedBlocks.load(std::memory_order_relaxed);
}

uint64_t OSMemGetUsedBytes(void) {
    return g_usedBytes.load(std::memory_order_relaxed);
}

void OSMemSetFailCountdown(int64_t n) {
    g_failCountdown.store(n > 0 ? n : -1, std::memory_order_relaxed);
}

int64_t OSMemGetFailCountdown(void) {
    return g_failCountdown.load(std::memory_order_relaxed);
}

void OSMemDumpUsed(int fd) {
    char line[256];
    pthread_mutex_lock(&g_blocksLock);
    for (const BlockHeader *head = g_blocks.next; head != &g_blocks; head = head->next) {
        int len =
            snprintf(line, sizeof(line), "block %p size %zu module %s line %u\n", static_cast<const void *>(head + 1),
                     head->size, head->module != nullptr ? head->module : "?", head->line);
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
    pthread_mutex_unlock(&g_blocksLock);
}

} // extern "C"

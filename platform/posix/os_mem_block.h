/*
 * The header in front of every tracked block, shared by the tracked
 * allocator (os_mem.cc) and its per-thread block caches (os_mem_cache.cc).
 *
 * A block either has a size class (blocks below kMemCacheMaxBytes: its
 * memory holds the class's bytes and may be kept in a cache between uses) or
 * is exact-size (large blocks). Every block the allocator holds memory for,
 * live or cached, sits in the list of its shard, so a dump can walk them all
 * and print the live ones. The fields a dump reads while another thread
 * reuses the block are relaxed atomics; the others belong to whoever holds
 * the block (its caller, a cache or the shard lock for the links).
 */
#ifndef VYRE_OS_MEM_BLOCK_H
#define VYRE_OS_MEM_BLOCK_H

#include <atomic>
#include <cstddef>
#include <cstdint>

// Marks a block the caller holds; cleared when it is given back, so a double
// or foreign free trips the assertion in debug builds.
constexpr uint32_t kMemLiveMagic = 0x4D454D42U;
// A block of a size class whose last use ended; it waits in a cache.
constexpr uint32_t kMemCachedMagic = 0x4D454D43U;
// The class of an exact-size block.
constexpr uint32_t kMemNoClass = 0xFFFFFFFFU;
// Blocks of a size class start on a cache line.
constexpr size_t kMemBlockAlign = 64U;
// Blocks (header included) below this size have a size class.
constexpr size_t kMemCacheMaxBytes = 128U * 1024U;

struct alignas(16) BlockHeader {
    BlockHeader *prev; // shard list; guarded by the shard's lock
    BlockHeader *next;
    BlockHeader *cacheNext;           // while cached: the next block of its chain
    uint32_t cls;                     // size class or kMemNoClass; fixed when made
    uint32_t shard;                   // fixed when made
    std::atomic<size_t> size;         // the caller's size while live
    std::atomic<const char *> module; // the caller's string literal; never copied
    std::atomic<uint32_t> line;
    std::atomic<uint32_t> magic;
};
static_assert(sizeof(BlockHeader) % alignof(std::max_align_t) == 0, "the caller's block keeps malloc's alignment");
static_assert(sizeof(BlockHeader) == kMemBlockAlign, "the header is one cache line");

/* Unlinks a block from its shard list and hands its memory back to the C
 * library (os_mem.cc); the block is not live. */
void MemBlockRelease(BlockHeader *head);

#endif /* VYRE_OS_MEM_BLOCK_H */

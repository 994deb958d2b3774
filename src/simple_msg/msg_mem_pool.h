/*
 * The message memory pool: a fixed pool of equal chunks made once, from which
 * a listed process serves its small message buffers instead of asking the
 * tracked allocator for each message.
 *
 * Allocation and release take no lock and may run on any threads at once.
 * memPoolMutex (a plain POSIX mutex) serialises initialisation and
 * destruction; it is held only inside these functions. The in-use flag and
 * the chunk size are read without it by the buffer routing (MsgMemPoolInUse,
 * MsgMemPoolChunkSize): they change only at initialisation and destruction,
 * which run while no messages flow.
 *
 * The header and the chunks come from malloc, not from the tracked allocator.
 */
#ifndef VYRE_MSG_MEM_POOL_H
#define VYRE_MSG_MEM_POOL_H

#include <stddef.h>
#include <stdint.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The pool header; field names as the dump prints them. The chunk table
 * follows it in the same allocation. */
typedef struct MsgMemPoolInfo {
    /* The first free chunk, most recently freed first: its index in the low
     * 32 bits (0xFFFFFFFF when none is free), a count of changes in the high
     * 32 bits. Changed atomically, as a whole. */
    uint64_t freeList;
    uint32_t freeNum;     /* free chunks (atomic) */
    uint32_t usedNum;     /* chunks handed out (atomic) */
    uint32_t maxPoolSize; /* pool size in bytes as requested */
    uint32_t chuckSize;   /* chunk size: the largest buffer the pool serves */
    uint32_t totalNum;    /* chunks made: maxPoolSize / chuckSize */
} MsgMemPoolInfo;

/* The pool, or NULL while none exists. */
extern MsgMemPoolInfo *g_pool;

/* Sets the pool up with maxPoolSize / chunkSize chunks of chunkSize bytes.
 * chunkSize 16..3072 and maxPoolSize 10240..1048576, else 0x80020001; the
 * process (its kernel name) must be listed, else 0x80020001; 0x80020003 when
 * a pool is already in use; 0x80020020 when memory is short (if only some
 * chunks could be made, the pool stays in use with those). */
OS_MSG_API uint32_t MsgMemPoolInit(uint32_t maxPoolSize, uint32_t chunkSize);
/* A chunk for a buffer of size bytes (at most the chunk size), or NULL when
 * none is free or size is too large. Only while the pool is in use. */
OS_MSG_API void *MsgMemPoolAlloc(uint32_t size);
/* Gives a block from MsgMemPoolAlloc back; NULL is ignored. A block given
 * back while no pool exists, or after the pool it came from was destroyed,
 * goes back to the C library. */
OS_MSG_API void MsgMemPoolFree(void *block);
/* Releases the free chunks and the header; 0 always (logs when no pool).
 * Blocks still handed out are not released: destroy only after every pool
 * block came back. */
OS_MSG_API uint32_t MsgMemPoolDestroy(void);
/* 1 (after an INFO log line) when procName occurs within an entry of the
 * list of processes that may have a pool, so a name the kernel cut to 15
 * characters still matches; 0 for any other name, an empty name or NULL. */
OS_MSG_API uint32_t CheckProcPermission(const char *procName);

/* Unlocked reads for the buffer routing: 1 while the pool is in use; its
 * chunk size (0 when none). */
uint32_t MsgMemPoolInUse(void);
uint32_t MsgMemPoolChunkSize(void);

/* The allocator of the header and the chunks: malloc. Tests replace it to
 * make chunk allocation fail; set it only while no pool exists. */
extern void *(*g_pfnMemPoolMalloc)(size_t size);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_MEM_POOL_H */

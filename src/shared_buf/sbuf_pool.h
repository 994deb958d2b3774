/*
 * The process's pool of shared buffers: memory that a message can carry by
 * reference instead of by copy. The pool is a set of segments, each one
 * sealed memory file mapped once (sbuf_sys.h), cut into blocks of one size
 * class: powers of two from 4 KiB to 256 MiB. A class up to 16 MiB shares
 * segments of 1 to 16 MiB (eight blocks, or fewer of the larger classes); a
 * larger one gets a segment of its own per block. Segments are made on demand
 * while the bytes mapped stay within the pool's limit, and kept when their
 * blocks come back, so that a stream of frames reuses the same pages; a
 * segment whose blocks are all free is unmapped when another class needs its
 * bytes, when the limit is lowered, and by SbufTrim.
 *
 * A buffer is a block in use. It counts references: its owner's (from
 * allocation until it is given away by a send or freed), each queued
 * message's, each hold's (sbuf_hold.h), each one lent to another process
 * (sbuf_share.h). The last reference to go puts the block back on its
 * class's free list. Buffers are never zeroed: they are the sender's memory,
 * and what a receiver reads is what the sender wrote.
 *
 * Blocks of other processes' segments that this process mapped
 * (sbuf_mapping.h) are SbufBlocks too, so that messages, holds and byte
 * bounds treat them as the own ones: a look-up by address finds them after
 * the own, and their last reference goes back to their owner instead of a
 * free list.
 *
 * Thread safety: one plain mutex, the pool lock, guards every segment, block,
 * free list and counter below; it is a leaf lock (nothing else is locked,
 * logged or called back while it is held) and may be taken with
 * simpleQueueLock held, never the other way round. Every function may be
 * called from any thread.
 */
#ifndef VYRE_SBUF_POOL_H
#define VYRE_SBUF_POOL_H

#include <stddef.h>
#include <stdint.h>

#include "vyre_os_msg.h"

struct SbufHold;
struct SbufMapping;
struct SbufSegment;
struct SbufShare;

/* One block of a segment. Every field is guarded by the pool lock. */
typedef struct SbufBlock {
    struct SbufSegment *segment; /* an own block's segment; NULL for a block of another process's */
    struct SbufMapping *mapping; /* the mapping another process's block lies in; NULL for an own block */
    uint8_t *data;               /* the block's first byte in the segment's mapping */
    uint32_t size;               /* bytes asked for at allocation; 0 while the block is free */
    uint32_t refs;               /* references; 0 while free */
    uint32_t owned;              /* 1 while the owner's reference is among refs */
    uint32_t looseHolds;         /* holds charged to no task */
    struct SbufHold *holds;      /* holds charged to tasks, oldest first */
    struct SbufBlock *nextFree;
} SbufBlock;

/* What a process has mapped: one segment. blockBytes is the class size. */
typedef struct SbufSegment {
    int fd;
    int readOnlyFd;            /* the file opened for reading only, for peers; -1 until first shared */
    uint32_t id;               /* numbers the segments in the order they were made: never 0, never reused */
    struct SbufShare **shares; /* the connections whose peers were told of the segment */
    uint32_t shareCount;
    uint32_t shareCap;
    uint8_t *base;
    size_t bytes;
    uint32_t blockBytes;
    uint32_t blockCount;
    uint32_t freeBlocks;
    uint32_t classIndex;
    SbufBlock blocks[1]; /* blockCount of them */
} SbufSegment;

#ifdef __cplusplus
extern "C" {
#endif

/* Gives out a buffer of size bytes (1 to OS_MSG_BUF_MAX_SIZE) with its
 * owner's reference: *data is its first byte, aligned to 4 KiB. 0;
 * 0x80020001 (size out of range or data NULL); 0x80020007 (the pool is at its
 * limit and no block of the class is free; said at once, never waited for);
 * 0x8002000d (the system refused a memory file or a mapping); 0x80020020 (no
 * memory for the pool's records). Logs each refusal. */
uint32_t SbufAlloc(uint32_t size, void **data);

/* As SbufAlloc, but when the pool is at its limit it waits up to timeoutMs
 * (0: not at all) for a block to come back or the limit to rise, woken when
 * one does; 0x80020007 once the time is over. */
uint32_t SbufAllocWaiting(uint32_t size, void **data, uint32_t timeoutMs);

/* The owner gives back a buffer it never sent: drops the owner's reference.
 * 0; 0x80020001 when data is not inside a buffer of this pool or the caller
 * no longer owns it. */
uint32_t SbufFree(const void *data);

/* For a send of the len bytes at data (len >= 1): the buffer they lie in,
 * which must be owned, with a new reference for the message. 0 and *block;
 * 0x80020001 (not inside a buffer, or not owned: given away or freed);
 * 0x8002000b (the bytes run past the buffer's end). */
uint32_t SbufRefForSend(const void *data, uint32_t len, SbufBlock **block);

/* The owner's reference passes to the library once a send was accepted:
 * drops it (the message keeps its own). Does nothing when it was given away
 * already. */
void SbufDisown(SbufBlock *block);

/* Adds a reference (the caller has one), and drops one: the last puts the
 * block back. */
void SbufAddRef(SbufBlock *block);
void SbufDropRef(SbufBlock *block);

/* The bytes asked for at allocation (what a task's byte bound is charged). */
uint32_t SbufSizeOf(const SbufBlock *block);

/* The buffer that data lies in and the caller holds a reference to;
 * the caller holds the pool lock. NULL when data is inside none. */
SbufBlock *SbufFindLocked(const void *data);
void SbufLock(void);
void SbufUnlock(void);
/* Drops a reference with the pool lock held. */
void SbufDropRefLocked(SbufBlock *block);
/* Calls visit(block, arg) for every block in use, the mapped blocks of other
 * processes included; the caller holds the pool lock. */
void SbufForEachInUseLocked(void (*visit)(SbufBlock *block, void *arg), void *arg);
/* Unlocks the pool, then sends the notices that drops made meanwhile to the
 * peers they are for (sbuf_share.h); every path that may drop the last
 * reference of another process's block unlocks this way. */
void SbufUnlockAndNotify(void);
/* Calls visit(segment, arg) for every own segment; the caller holds the pool
 * lock. */
void SbufForEachSegmentLocked(void (*visit)(SbufSegment *segment, void *arg), void *arg);

/* Sets the most bytes the pool maps (a whole number of MiB, at least 1); a
 * lower limit unmaps the free segments it can and holds new ones back until
 * the pool is below it again. */
void SbufSetLimit(uint64_t bytes);
/* Unmaps every segment whose blocks are all free; with none left the pool
 * keeps no memory at all. Run by process teardown. */
void SbufTrim(void);
/* The pool's figures now. */
void SbufGetStats(OsMsgBufPoolStats *stats);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SBUF_POOL_H */

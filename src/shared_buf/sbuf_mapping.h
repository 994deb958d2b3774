/*
 * The segments of other processes that this process has mapped: each one a
 * sealed memory file a peer passed on one connection (its share,
 * sbuf_share.h), mapped once, read-only, for as long as a block in it is in
 * use here or the connection lasts.
 *
 * A message that brings one of the peer's buffers names its block; the
 * block becomes an SbufBlock in use here (sbuf_pool.h), counting local
 * references (the message's, each hold's) and keeping the peer's reference
 * ids that brought it. When its last local reference goes, those ids are
 * queued on the share to be given back to the peer. A mapping whose
 * connection closed, or that the peer gave up, is unmapped as soon as none
 * of its blocks is in use: until then callbacks and holds read on, also when
 * the peer has died, since a shared mapping keeps the memory file alive.
 *
 * Everything a peer sends is checked before it is used: the segment is a
 * memory file sealed against shrinking and growing, of the size announced,
 * with a sane block size; a block lies inside its segment and the data
 * inside its block.
 *
 * Thread safety: every record here is guarded by the pool lock
 * (sbuf_pool.h); functions named *Locked need it held. SbufMapSegment makes
 * its system calls without it.
 */
#ifndef VYRE_SBUF_MAPPING_H
#define VYRE_SBUF_MAPPING_H

#include <stddef.h>
#include <stdint.h>

#include "shared_buf/sbuf_pool.h"

struct SbufShare;

/* A block of another process's segment. */
typedef struct SbufMappedBlock {
    SbufBlock block; /* mapping set, segment NULL; size as the message said */
    uint32_t *ids;   /* the peer's reference ids that keep it, one per message */
    uint32_t idCount;
    uint32_t idCap;
} SbufMappedBlock;

typedef struct SbufMapping {
    struct SbufShare *share; /* the connection it came on; NULL once that closed */
    uint32_t segId;          /* the peer's number for it */
    uint32_t blockBytes;
    uint32_t blockCount;
    uint32_t inUse; /* blocks with references */
    bool gone;      /* the peer gave it up */
    uint8_t *base;
    size_t bytes;
    SbufMappedBlock blocks[1]; /* blockCount of them */
} SbufMapping;

/* Most bytes one mapped segment may have, and most blocks. */
#define SBUF_MAP_MAX_BYTES ((uint64_t)OS_MSG_BUF_MAX_SIZE)
#define SBUF_MAP_MAX_BLOCKS 256U

#ifdef __cplusplus
extern "C" {
#endif

/* Maps segment segId of share's peer from fd (which it closes in every
 * case): blockBytes a power of two from 4 KiB, bytes a multiple of it of at
 * most SBUF_MAP_MAX_BYTES and SBUF_MAP_MAX_BLOCKS blocks; the file must be
 * sealed against shrinking and growing and have exactly bytes bytes. A
 * segment mapped already is left as it is, and none is mapped while the
 * process maps MSG_TUNE_MAPPED_SEGMENTS_MAX. NULL when it was mapped, else
 * why it was refused (*code: 0x80020001 for what the peer got wrong,
 * 0x80020007 for the bound, 0x8002000d or 0x80020020 for this process's
 * failures). */
const char *SbufMapSegment(struct SbufShare *share, uint32_t segId, uint32_t blockBytes, uint64_t bytes, int fd,
                           uint32_t *code);

/* One more local reference to block blockIndex of mapping for a message
 * whose data lies dataOffset bytes into the block, dataLen bytes, the block
 * holding size bytes, brought by the peer's reference refId: the block, with
 * *data set. NULL, with *why, when the peer's description does not fit
 * (nothing changed). */
SbufBlock *SbufMapReferLocked(SbufMapping *mapping, uint32_t blockIndex, uint32_t size, uint32_t dataOffset,
                              uint32_t dataLen, uint32_t refId, uint8_t **data, const char **why);

/* The mapped block that p lies in and that is in use, or NULL. */
SbufBlock *SbufMapFindLocked(const uint8_t *p);

/* block, a mapped one, lost its last local reference: its ids go back to
 * the peer, and its mapping goes when nothing keeps it. */
void SbufMapLastRefLocked(SbufBlock *block);

/* Calls visit for every mapped block in use. */
void SbufMapForEachInUseLocked(void (*visit)(SbufBlock *block, void *arg), void *arg);

/* The peer gave the segment up: unmapped now when no block is in use, else
 * when the last one goes. */
void SbufMapGoneLocked(SbufMapping *mapping);

/* Its connection closed: the mapping belongs to no share any more and goes
 * when no block of it is in use (now, when none is). */
void SbufMapDetachLocked(SbufMapping *mapping);

/* Segments mapped now (of every peer). */
uint32_t SbufMapCountLocked(void);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SBUF_MAPPING_H */

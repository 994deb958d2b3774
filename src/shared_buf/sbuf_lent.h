/*
 * A lent table: the references this process lent one peer, by reference id
 * (never 0), each with its block and the account of the task that sent it.
 * Open addressing with linear probing; removal shifts the entries after it
 * back, so a look-up never passes a hole.
 *
 * Thread safety: none of its own; its share guards it with the pool lock.
 */
#ifndef VYRE_SBUF_LENT_H
#define VYRE_SBUF_LENT_H

#include <stdint.h>

#include "shared_buf/sbuf_hold.h"
#include "shared_buf/sbuf_pool.h"

typedef struct SbufLentEntry {
    uint32_t refId; /* 0: a free slot */
    uint32_t pad;
    SbufBlock *block;
    SbufAccount *account; /* the sending task's, or NULL */
} SbufLentEntry;

typedef struct SbufLentTable {
    SbufLentEntry *slots;
    uint32_t cap; /* a power of two, or 0 */
    uint32_t count;
    uint64_t bytes; /* sizes of the lent blocks */
} SbufLentTable;

/* Adds refId (not in the table) for block; false without memory. */
bool SbufLentAdd(SbufLentTable *table, uint32_t refId, SbufBlock *block);

/* The entry of refId, or NULL. */
SbufLentEntry *SbufLentFind(SbufLentTable *table, uint32_t refId);

/* Removes the entry of refId into *out; false when there is none. */
bool SbufLentTake(SbufLentTable *table, uint32_t refId, SbufLentEntry *out);

/* Calls visit for every entry, then empties the table and frees its
 * slots. */
void SbufLentClear(SbufLentTable *table, void (*visit)(SbufLentEntry *entry));

/* Calls visit for every entry. */
void SbufLentForEach(SbufLentTable *table, void (*visit)(SbufLentEntry *entry, void *arg), void *arg);

#endif /* VYRE_SBUF_LENT_H */

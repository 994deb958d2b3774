/*
 * An index of subscriber records by a key of their fields: an open-addressing
 * hash table (linear probing, at most half full, growing and shrinking by
 * halves) of record addresses with their key hashes. It lets a subscription
 * request find a repeated subscription, and an unsubscription the record it
 * removes, in constant time per entry instead of walking the subscriber list.
 * What the key is, is the caller's: it gives the hash and a match function.
 *
 * Thread safety: none inside; the subscription table's mutex guards every
 * index (see msg_broadcast.h). The slot arrays come from the tracked
 * allocator. Internal: nothing here is exported.
 */
#ifndef VYRE_MSG_SUBSCRIBE_INDEX_H
#define VYRE_MSG_SUBSCRIBE_INDEX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MsgSubIndexSlot {
    uint64_t hash;
    void *item; /* NULL: a free slot */
} MsgSubIndexSlot;

/* Zero-filled: an empty index without slots. */
typedef struct MsgSubIndex {
    MsgSubIndexSlot *slots;
    uint64_t capacity; /* a power of two, or 0 */
    uint64_t count;
} MsgSubIndex;

/* Non-zero when item's key equals the key that key describes. */
typedef int (*MsgSubIndexMatch)(const void *item, const void *key);

/* Makes room for one more item, so that the next MsgSubIndexInsert cannot
 * fail. 0; 0x80020020 when the larger slot array cannot be had (the index is
 * as it was). */
uint32_t MsgSubIndexReserve(MsgSubIndex *index);
/* Adds item under hash; MsgSubIndexReserve must have made room. */
void MsgSubIndexInsert(MsgSubIndex *index, uint64_t hash, void *item);
/* The item under hash for which match(item, key) holds, or NULL. */
void *MsgSubIndexFind(const MsgSubIndex *index, uint64_t hash, MsgSubIndexMatch match, const void *key);
/* Puts newItem in the place of item (listed under hash); the key must not
 * change. */
void MsgSubIndexReplace(MsgSubIndex *index, uint64_t hash, const void *item, void *newItem);
/* Removes item (listed under hash); the slot array shrinks when it is mostly
 * empty and a smaller one can be had. */
void MsgSubIndexRemove(MsgSubIndex *index, uint64_t hash, const void *item);
/* Releases the slot array; the index is empty again. */
void MsgSubIndexRelease(MsgSubIndex *index);

/* Hash of a name field as it is compared: its bytes up to the first NUL
 * within 16, mixed into h. */
uint64_t MsgSubIndexHashName(uint64_t h, const char *name);
/* Mixes a 32-bit value into h. */
uint64_t MsgSubIndexHashWord(uint64_t h, uint32_t value);
/* The start value for the two functions above. */
#define MSG_SUB_INDEX_HASH_SEED 1469598103934665603ULL

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_SUBSCRIBE_INDEX_H */

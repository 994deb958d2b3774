/*
 * The bounded message ring of one task: any number of producers, one
 * consumer, no lock. Each slot carries a sequence number that says whose turn
 * it is: a slot at position p is free for the producer of p while its number
 * is 2p, holds a published node while it is 2p + 1, and is free again for
 * the producer of p + capacity once the consumer has set it to
 * 2(p + capacity). Producers
 * claim a position by compare-and-swap on enqueuePos, fill the slot, then
 * publish its number (release); the consumer reads the number (acquire),
 * copies the node out and hands the slot back. Positions are 64-bit counts
 * that never wrap in practice; a slot index is the position modulo the
 * capacity, so any capacity works. A slot's number and node share whole
 * cache lines of their own: a producer filling one slot and the consumer
 * handing back its neighbour never write the same line.
 *
 * Waking. The consumer never waits without bound for a node that is there,
 * and a producer makes no system call while the consumer is awake: before it sleeps the consumer raises
 * `sleeping` and then looks at the ring once more; a producer, after
 * publishing, looks at `sleeping` and, when it is raised, takes it down and
 * posts the task's semaphore. Both sides' store-then-load pairs are
 * sequentially consistent, so at least one of them sees the other: either
 * the consumer finds the new node, or the producer finds the consumer asleep.
 * Exactly one producer takes a raised flag, so each announced sleep costs at
 * most one post.
 *
 * Thread safety: SimpleMsgRingPush and SimpleMsgRingTakeWake from any
 * thread; SimpleMsgRingPop, SimpleMsgRingPrepareSleep and
 * SimpleMsgRingCancelSleep and SimpleMsgRingAwait from the one consumer thread (or from a thread
 * that has taken the consumer's place after a hand-over that orders it after
 * the consumer, such as a join); SimpleMsgRingPending from any thread (a
 * snapshot); SimpleMsgRingPeek only while no producer runs. Every field is
 * read and written with atomic operations except the nodes, whose hand-over
 * the slot numbers order.
 */
#ifndef VYRE_SIMPLE_MSG_RING_H
#define VYRE_SIMPLE_MSG_RING_H

#include <stddef.h>
#include <stdint.h>

#include "vyre_os_msg.h"
#include "vyre_os_sem.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Keeps the producers' and the consumer's hot words on cache lines of their
 * own (padding, not alignment: the record comes from a plain allocator). */
#define SIMPLE_MSG_CACHE_LINE 64U

struct SimpleMsgRingSlot;
struct MsgCargo;

typedef struct SimpleMsgRing {
    struct SimpleMsgRingSlot *slots; /* capacity slots, cache-line aligned inside storage */
    void *storage;                   /* the block given to SimpleMsgRingInit */
    uint32_t capacity;               /* slots; 0 while the ring has no storage */
    char padShared[SIMPLE_MSG_CACHE_LINE - sizeof(void *) * 2U - sizeof(uint32_t)];
    uint64_t enqueuePos; /* next position a producer claims */
    /* A position the consumer has reached (never ahead of dequeuePos): lets a
     * producer bound the pending nodes without reading the consumer's line. */
    uint64_t headSeen;
    char padProducer[SIMPLE_MSG_CACHE_LINE - sizeof(uint64_t) * 2U];
    uint64_t dequeuePos; /* next position the consumer reads; written by the consumer only */
    char padConsumer[SIMPLE_MSG_CACHE_LINE - sizeof(uint64_t)];
    /* 1 from the consumer's announcement until a producer takes it; on a line
     * of its own, which producers read on every push and which changes only
     * around a sleep. */
    uint32_t sleeping;
    char padSleep[SIMPLE_MSG_CACHE_LINE - sizeof(uint32_t)];
} SimpleMsgRing;

/* Bytes of storage a ring of capacity nodes needs. */
size_t SimpleMsgRingBytes(uint32_t capacity);
/* Sets an empty ring up over storage of SimpleMsgRingBytes(capacity) bytes
 * (capacity above 0), which the ring uses until SimpleMsgRingTakeStorage. */
void SimpleMsgRingInit(SimpleMsgRing *ring, void *storage, uint32_t capacity);
/* Empties the ring's description and returns its storage for the caller to
 * release; the nodes still in it are the caller's to have handled before.
 * Called by the consumer, with no producer running. */
void *SimpleMsgRingTakeStorage(SimpleMsgRing *ring);

/* Copies head into the next slot with data/dataLen replaced by payload/len
 * and publishes it. true, with *position the node's position and, when
 * pending is not NULL, *pending the nodes pending right after it (at most
 * the capacity); false when the ring is full (or has no storage), and
 * nothing changed. */
bool SimpleMsgRingPush(SimpleMsgRing *ring, const MsgHead *head, void *payload, uint32_t len, uint64_t *position,
                       uint32_t *pending);
/* SimpleMsgRingPush of a node that also carries cargo (NULL for none) and the
 * bytes charged to the task's byte bound for it (0 for none). Both ride in
 * the slot beside the node, where its padding was: a node is no larger for
 * them. */
bool SimpleMsgRingPushCargo(SimpleMsgRing *ring, const MsgHead *head, void *payload, uint32_t len,
                            struct MsgCargo *cargo, uint32_t charged, uint64_t *position, uint32_t *pending);
/* After a successful push at position: the nodes pending right after it (at
 * most the capacity) when they may be more than known; otherwise a count of
 * at most known. Reads the consumer's position only in the first case. */
uint32_t SimpleMsgRingPendingBeyond(SimpleMsgRing *ring, uint64_t position, uint32_t known);
/* After a successful push: true when the consumer had announced that it
 * sleeps and this caller took the announcement, so it must post the
 * consumer's semaphore; false otherwise. */
bool SimpleMsgRingTakeWake(SimpleMsgRing *ring);

/* Consumer: moves the oldest published node into *out and hands its slot
 * back; *position is its position. false when none is published. */
bool SimpleMsgRingPop(SimpleMsgRing *ring, MsgHead *out, uint64_t *position);
/* SimpleMsgRingPop that also hands out the node's cargo and charged bytes
 * (what SimpleMsgRingPushCargo stored; NULL and 0 for a plain push). */
bool SimpleMsgRingPopCargo(SimpleMsgRing *ring, MsgHead *out, uint64_t *position, struct MsgCargo **cargo,
                           uint32_t *charged);
/* Consumer: announces that it is about to sleep. true when it may now wait
 * on its semaphore (no node was published); false when a node is there:
 * then it must withdraw with SimpleMsgRingCancelSleep. */
bool SimpleMsgRingPrepareSleep(SimpleMsgRing *ring);
/* Consumer: withdraws an announcement. true when nobody had taken it; false
 * when a producer took it, whose post then arrives and must be absorbed with
 * one wait. */
bool SimpleMsgRingCancelSleep(SimpleMsgRing *ring);

/* Consumer, with the ring found empty: returns once a node may be there.
 * First polls briefly (a couple of hundred pauses, about a microsecond),
 * then yields the processor a few times (more while a producer has claimed
 * the next position but not yet published it: it may have been preempted in
 * between), returning as soon as a node is published; then announces its
 * sleep and waits on wake unless a node arrived meanwhile. A push while the
 * consumer polls or yields costs no post. 0, or the wait's error. */
int32_t SimpleMsgRingAwait(SimpleMsgRing *ring, OsSem *wake);

/* Nodes pending: claimed by producers and not yet handed back by the
 * consumer; a snapshot that may be stale by the operations in flight. */
uint32_t SimpleMsgRingPending(const SimpleMsgRing *ring);
/* Pushes that succeeded since SimpleMsgRingInit (the positions given out). */
uint64_t SimpleMsgRingPushed(const SimpleMsgRing *ring);
/* The consumer's next position (the oldest pending node's), a snapshot. */
uint64_t SimpleMsgRingHead(const SimpleMsgRing *ring);
/* The node at position, without taking it; only while no producer runs, for
 * a position from SimpleMsgRingHead up to SimpleMsgRingHead + pending. */
const MsgHead *SimpleMsgRingPeek(const SimpleMsgRing *ring, uint64_t position);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SIMPLE_MSG_RING_H */

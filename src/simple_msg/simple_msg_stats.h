/*
 * Per-task counters, cheap enough to stay on: pushes accepted and refused as
 * full, messages handled, the queue's high-water mark, and the callback's
 * longest time with a fixed log-scale histogram from which the 99th
 * percentile is read. The accepted pushes need no word of their own: they
 * are the positions the ring has given out. Producers write the first two
 * words, the task's loop thread the rest; padding keeps the two groups on
 * different cache lines.
 *
 * Thread safety: every word is a relaxed atomic. The producer counts may be
 * called from any thread; SimpleMsgCountHandled only by the task's loop
 * thread (its words have that one writer, so it stores instead of adding);
 * SimpleMsgReadCounters from any thread, with no lock: each word is exact,
 * the set of words a snapshot.
 */
#ifndef VYRE_SIMPLE_MSG_STATS_H
#define VYRE_SIMPLE_MSG_STATS_H

#include <stdint.h>

#include "simple_msg/simple_msg_ring.h"
#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Callback times below 16 ns have a bucket each; above, every power of two
 * is split into four buckets, up to 2^44 ns (about 4.9 hours), beyond which
 * everything shares the last one. A bucket's top is at most 25% above its
 * bottom. */
#define SIMPLE_MSG_STATS_LINEAR 16U
#define SIMPLE_MSG_STATS_BUCKETS 176U

typedef struct SimpleMsgTaskCounters {
    uint64_t refusedFull;   /* pushes refused with 0x80020007 */
    uint64_t refusedAccess; /* messages from other processes the access policy refused */
    uint32_t highWater;     /* most messages pending right after a push */
    char padProducer[SIMPLE_MSG_CACHE_LINE - 2U * sizeof(uint64_t) - sizeof(uint32_t)];
    uint64_t handled;       /* messages taken by the loop and passed on (or dropped without a callback) */
    uint64_t handledBytes;  /* payload bytes of those messages */
    uint64_t callbackMaxNs; /* longest callback call */
    uint64_t callbackHist[SIMPLE_MSG_STATS_BUCKETS];
} SimpleMsgTaskCounters;

/* The high-water mark now (a relaxed read). */
static inline uint32_t SimpleMsgHighWater(const SimpleMsgTaskCounters *counters) {
    return __atomic_load_n(&counters->highWater, __ATOMIC_RELAXED);
}
/* A push took a slot and left pending messages in the ring: raises the
 * high-water mark. */
void SimpleMsgCountAccepted(SimpleMsgTaskCounters *counters, uint32_t pending);
/* A push was refused with 0x80020007: the ring held capacity messages (a
 * full ring, which also counts towards the high-water mark), or 0 for a task
 * being removed. */
void SimpleMsgCountRefused(SimpleMsgTaskCounters *counters, uint32_t capacity);
/* The loop passed a message on: to a callback that took ns nanoseconds
 * (timed non-zero), or to none (timed 0). */
void SimpleMsgCountHandled(SimpleMsgTaskCounters *counters, int timed, uint64_t ns);

/* The loop took a message with len payload bytes. */
static inline void SimpleMsgCountBytes(SimpleMsgTaskCounters *counters, uint32_t len) {
    // One writer (the serving thread): a load and a store suffice.
    __atomic_store_n(&counters->handledBytes, __atomic_load_n(&counters->handledBytes, __ATOMIC_RELAXED) + len,
                     __ATOMIC_RELAXED);
}

/* The histogram bucket of a callback time, and the largest time it holds. */
uint32_t SimpleMsgStatsBucket(uint64_t ns);
uint64_t SimpleMsgStatsBucketTop(uint32_t bucket);

/* Fills the counter fields of stats (refusedFull, refusedAccess, handled,
 * highWater, callbackMaxNs, callbackP99Ns); leaves the others. */
void SimpleMsgReadCounters(const SimpleMsgTaskCounters *counters, OsMsgTaskStats *stats);

/* The counters and queue state of task taskName, read under simpleQueueLock.
 * 0; 0x80020004 (no table); 0x80020001 (no name); 0x80020005 (not
 * registered, or being removed). */
uint32_t SimpleMsgGetTaskStats(const char *taskName, OsMsgTaskStats *stats);
/* Counts a message for task taskName (a name of at most 15 characters)
 * that the access policy refused; nothing when no such task is registered.
 * Takes simpleQueueLock. */
void SimpleMsgCountAccessRefused(const char *taskName);

/* One task's row of a listing: its name, its counters, its byte and shared
 * buffer figures, and how it is served. */
typedef struct SimpleMsgStatsRow {
    char name[OS_MSG_NAME_LEN];
    OsMsgTaskStats stats;
    OsMsgTaskBufStats buf;
    uint64_t handledBytes; /* payload bytes of the handled messages */
    uint32_t served;       /* SIMPLE_MSG_SERVED_* */
} SimpleMsgStatsRow;

/* How a task is served now. */
#define SIMPLE_MSG_SERVED_NONE 0U /* no thread serves it */
#define SIMPLE_MSG_SERVED_LOOP 1U /* a thread runs its loop (or handles its messages right now) */
#define SIMPLE_MSG_SERVED_FD 2U   /* it has a descriptor: an application's poll loop serves it */
#define SIMPLE_MSG_SERVED_RECV 3U /* the carrier's receive thread serves it */

/* Fills rows[0..max) with the registered tasks, in table order, under
 * simpleQueueLock; *total is the number of tasks (may exceed max: the rows
 * past max are left out). Taken only by inspection, never on the message
 * path. 0; 0x80020004 (no table). */
uint32_t SimpleMsgCollectStats(SimpleMsgStatsRow *rows, uint32_t max, uint32_t *total);

/* Writes one line per registered task to fd, in table order:
 * "TaskStats: <name> queueLen:.. pending:.. highWater:.. accepted:..
 * refusedFull:.. handled:.. cbMaxNs:.. cbP99Ns:.. refusedAccess:..\n". */
void SimpleMsgDumpStats(int fd);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SIMPLE_MSG_STATS_H */

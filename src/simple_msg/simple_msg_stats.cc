/*
 * Per-task counters: the producers' and the loop's counts, the callback-time
 * histogram with its percentile, and the two readers (one task's counters,
 * one line per task). Counting takes no lock; the readers take
 * simpleQueueLock only to find the records and keep them alive.
 */
#define MSG_MODULE "simple_msg"

#include <inttypes.h>
#include <string.h>
#include <unistd.h>

#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_securec.h"

namespace {

constexpr uint32_t kSubBits = 2U;     // four buckets per power of two
constexpr uint32_t kFirstOctave = 4U; // 2^4 = SIMPLE_MSG_STATS_LINEAR
constexpr size_t kStatsLineSize = 256U;

inline uint64_t Read(const uint64_t *word) {
    return __atomic_load_n(word, __ATOMIC_RELAXED);
}

/* Only the loop thread writes these words: a load and a store suffice. */
inline void Bump(uint64_t *word, uint64_t by) {
    __atomic_store_n(word, Read(word) + by, __ATOMIC_RELAXED);
}

/* The smallest callback time whose rank reaches 99% of the calls, as the
 * top of its bucket; 0 without calls. */
uint64_t SimpleMsgP99(const SimpleMsgTaskCounters *counters) {
    uint64_t counts[SIMPLE_MSG_STATS_BUCKETS];
    uint64_t total = 0;
    for (uint32_t b = 0; b < SIMPLE_MSG_STATS_BUCKETS; ++b) {
        counts[b] = Read(&counters->callbackHist[b]);
        total += counts[b];
    }
    if (total == 0U) {
        return 0U;
    }
    uint64_t rank = total - total / 100U; // ceil(0.99 * total) for every total
    uint64_t seen = 0;
    for (uint32_t b = 0; b < SIMPLE_MSG_STATS_BUCKETS; ++b) {
        seen += counts[b];
        if (seen >= rank) {
            return SimpleMsgStatsBucketTop(b);
        }
    }
    return SimpleMsgStatsBucketTop(SIMPLE_MSG_STATS_BUCKETS - 1U);
}

void SimpleMsgRaiseHighWater(SimpleMsgTaskCounters *counters, uint32_t pending) {
    uint32_t high = __atomic_load_n(&counters->highWater, __ATOMIC_RELAXED);
    while (pending > high && !__atomic_compare_exchange_n(&counters->highWater, &high, pending, true, __ATOMIC_RELAXED,
                                                          __ATOMIC_RELAXED)) {
    }
}

void SimpleMsgFillStats(const SimpleMsgTask *task, OsMsgTaskStats *stats) {
    (void)memset_s(stats, sizeof(*stats), 0, sizeof(*stats));
    SimpleMsgReadCounters(&task->counters, stats);
    stats->accepted = SimpleMsgRingPushed(&task->ring);
    stats->queueLen = __atomic_load_n(&task->ring.capacity, __ATOMIC_RELAXED);
    stats->pending = SimpleMsgRingPending(&task->ring);
}

/* The tasks of the table, in order; the caller holds simpleQueueLock. */
template <typename Visit> void SimpleMsgForEachTask(Visit visit) {
    for (ListNode *pos = simpleQueue != nullptr ? ZEM_HashIterBegin(simpleQueue) : nullptr;
         simpleQueue != nullptr && pos != ZEM_HashIterEnd(simpleQueue); pos = ZEM_HashIterNext(simpleQueue, pos)) {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the table holds the records' addresses.
        const SimpleMsgTask *task = reinterpret_cast<const SimpleMsgTask *>(ZEM_HashIterValue(pos));
        if (SimpleTaskState(task) == 1U) {
            visit(task);
        }
    }
}

} // namespace

extern "C" {

uint32_t SimpleMsgStatsBucket(uint64_t ns) {
    if (ns < SIMPLE_MSG_STATS_LINEAR) {
        return static_cast<uint32_t>(ns);
    }
    uint32_t octave = 63U - static_cast<uint32_t>(__builtin_clzll(ns));
    uint32_t sub = static_cast<uint32_t>(ns >> (octave - kSubBits)) & ((1U << kSubBits) - 1U);
    uint32_t bucket = SIMPLE_MSG_STATS_LINEAR + ((octave - kFirstOctave) << kSubBits) + sub;
    return bucket < SIMPLE_MSG_STATS_BUCKETS ? bucket : SIMPLE_MSG_STATS_BUCKETS - 1U;
}

uint64_t SimpleMsgStatsBucketTop(uint32_t bucket) {
    if (bucket < SIMPLE_MSG_STATS_LINEAR) {
        return bucket;
    }
    if (bucket >= SIMPLE_MSG_STATS_BUCKETS - 1U) {
        return UINT64_MAX;
    }
    uint32_t octave = ((bucket - SIMPLE_MSG_STATS_LINEAR) >> kSubBits) + kFirstOctave;
    uint64_t sub = (bucket - SIMPLE_MSG_STATS_LINEAR) & ((1U << kSubBits) - 1U);
    return (((1ULL << kSubBits) + sub + 1U) << (octave - kSubBits)) - 1U;
}

void SimpleMsgCountAccepted(SimpleMsgTaskCounters *counters, uint32_t pending) {
    SimpleMsgRaiseHighWater(counters, pending);
}

void SimpleMsgCountRefused(SimpleMsgTaskCounters *counters, uint32_t capacity) {
    __atomic_fetch_add(&counters->refusedFull, 1U, __ATOMIC_RELAXED);
    SimpleMsgRaiseHighWater(counters, capacity);
}

void SimpleMsgCountHandled(SimpleMsgTaskCounters *counters, int timed, uint64_t ns) {
    if (timed != 0) {
        Bump(&counters->callbackHist[SimpleMsgStatsBucket(ns)], 1U);
        if (ns > Read(&counters->callbackMaxNs)) {
            __atomic_store_n(&counters->callbackMaxNs, ns, __ATOMIC_RELAXED);
        }
    }
    Bump(&counters->handled, 1U);
}

void SimpleMsgReadCounters(const SimpleMsgTaskCounters *counters, OsMsgTaskStats *stats) {
    stats->refusedFull = Read(&counters->refusedFull);
    const uint64_t refusedAccess = Read(&counters->refusedAccess);
    stats->refusedAccess = refusedAccess < UINT32_MAX ? (uint32_t)refusedAccess : UINT32_MAX;
    stats->handled = Read(&counters->handled);
    stats->highWater = __atomic_load_n(&counters->highWater, __ATOMIC_RELAXED);
    stats->callbackMaxNs = Read(&counters->callbackMaxNs);
    uint64_t p99 = SimpleMsgP99(counters);
    // The histogram may be one call ahead of the maximum it was read with.
    stats->callbackP99Ns = p99 < stats->callbackMaxNs ? p99 : stats->callbackMaxNs;
}

uint32_t SimpleMsgGetTaskStats(const char *taskName, OsMsgTaskStats *stats) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleMsgGetQueue(taskName, &task);
    if (ret == OS_MSG_OK && SimpleTaskState(task) != 1U) {
        ret = OS_MSG_ERR_NOT_FOUND;
    }
    if (ret == OS_MSG_OK) {
        SimpleMsgFillStats(task, stats);
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    return ret;
}

void SimpleMsgCountAccessRefused(const char *taskName) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    if (SimpleMsgGetQueue(taskName, &task) == OS_MSG_OK && SimpleTaskState(task) == 1U) {
        __atomic_fetch_add(&task->counters.refusedAccess, 1U, __ATOMIC_RELAXED);
    }
    (void)OsMutexUnLock(&simpleQueueLock);
}

uint32_t SimpleMsgCollectStats(SimpleMsgStatsRow *rows, uint32_t max, uint32_t *total) {
    *total = 0U;
    (void)OsMutexLock(&simpleQueueLock);
    if (simpleQueue == nullptr) {
        (void)OsMutexUnLock(&simpleQueueLock);
        return OS_MSG_ERR_NOT_INIT;
    }
    SimpleMsgForEachTask([&](const SimpleMsgTask *task) {
        if (*total < max) {
            SimpleMsgStatsRow *row = &rows[*total];
            (void)memcpy(row->name, task->acTaskName, sizeof(row->name));
            SimpleMsgFillStats(task, &row->stats);
            SimpleMsgFillBufStats(task, &row->buf);
            row->handledBytes = Read(&task->counters.handledBytes);
            row->served = __atomic_load_n(&task->onReceive, __ATOMIC_RELAXED) != 0U ? SIMPLE_MSG_SERVED_RECV
                          : SimpleTaskWakeFd(task) >= 0                             ? SIMPLE_MSG_SERVED_FD
                          : SimpleTaskThread(task) != 0                             ? SIMPLE_MSG_SERVED_LOOP
                                                                                    : SIMPLE_MSG_SERVED_NONE;
        }
        *total += 1U;
    });
    (void)OsMutexUnLock(&simpleQueueLock);
    return OS_MSG_OK;
}

void SimpleMsgDumpStats(int fd) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgForEachTask([fd](const SimpleMsgTask *task) {
        OsMsgTaskStats stats;
        SimpleMsgFillStats(task, &stats);
        char line[kStatsLineSize] = {0};
        int n =
            sprintf_s(line, sizeof(line),
                      "TaskStats: %s queueLen:%u pending:%u highWater:%u accepted:%" PRIu64 " refusedFull:%" PRIu64
                      " handled:%" PRIu64 " cbMaxNs:%" PRIu64 " cbP99Ns:%" PRIu64 " refusedAccess:%u\n",
                      task->acTaskName, stats.queueLen, stats.pending, stats.highWater, stats.accepted,
                      stats.refusedFull, stats.handled, stats.callbackMaxNs, stats.callbackP99Ns, stats.refusedAccess);
        if (n < 0 || write(fd, line, static_cast<size_t>(n)) < 0) {
            OS_MSG_LOG_AS("SimpleMsgDumpStats", OS_LOG_ERROR, "write stats error.");
        }
    });
    (void)OsMutexUnLock(&simpleQueueLock);
}

} // extern "C"

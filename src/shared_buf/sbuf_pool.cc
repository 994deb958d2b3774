/*
 * The shared-buffer pool: size classes, segments, blocks and their
 * references (see sbuf_pool.h). The pool lock guards everything here; the
 * system calls that make and unmap a segment run under it too, since they
 * happen only when the pool grows or shrinks, never per buffer in steady
 * use. Log lines are written after the lock is released.
 */
#define MSG_MODULE "shared_buf"

#include "shared_buf/sbuf_pool.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_monotonic.h"
#include "base/msg_serve_mark.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "shared_buf/sbuf_mapping.h"
#include "shared_buf/sbuf_share.h"
#include "shared_buf/sbuf_sys.h"

namespace {

constexpr uint32_t kMinShift = 12U; // 4 KiB: buffers start on a page
constexpr uint32_t kMaxShift = 28U; // 256 MiB, OS_MSG_BUF_MAX_SIZE
constexpr uint32_t kClasses = kMaxShift - kMinShift + 1U;
constexpr size_t kMiB = 1024U * 1024U;
constexpr size_t kMinSegment = kMiB;
constexpr size_t kMaxSegment = 16U * kMiB; // a larger class gets a segment per block
constexpr uint32_t kBlocksPerSegment = 8U;
static_assert((1ULL << kMaxShift) == OS_MSG_BUF_MAX_SIZE, "the largest class is the largest buffer");

/* The pool; a trivially destructible global, so that a process that exits
 * without tearing down leaves nothing for static destruction to do. */
struct SbufPoolState {
    SbufBlock *freeLists[kClasses];
    SbufSegment **segments; /* sorted by base */
    uint32_t segmentCount;
    uint32_t segmentCap;
    uint64_t mappedBytes;
    uint64_t limitBytes;
    uint64_t bytesInUse;
    uint32_t buffersInUse;
    uint64_t refusedFull;
    uint32_t lastSegmentId;
};

pthread_mutex_t g_sbufLock = PTHREAD_MUTEX_INITIALIZER;
/* Signalled (under the pool lock) when a block comes back or the limit
 * rises while allocations wait for room (g_sbufRoomWaiters of them). */
pthread_cond_t g_sbufRoom = PTHREAD_COND_INITIALIZER;
uint32_t g_sbufRoomWaiters = 0U;
SbufPoolState g_sbuf = {{}, nullptr, 0U, 0U, 0U, (uint64_t)OS_MSG_BUF_POOL_DEFAULT_MB *kMiB, 0U, 0U, 0U, 0U};

uint32_t ClassOf(uint32_t size) {
    uint32_t shift = kMinShift;
    while ((1ULL << shift) < size) {
        ++shift;
    }
    return shift - kMinShift;
}

size_t BlockBytesOf(uint32_t cls) {
    return static_cast<size_t>(1U) << (cls + kMinShift);
}

size_t SegmentBytesOf(uint32_t cls) {
    size_t block = BlockBytesOf(cls);
    if (block >= kMaxSegment) {
        return block;
    }
    size_t bytes = block * kBlocksPerSegment;
    return bytes < kMinSegment ? kMinSegment : (bytes > kMaxSegment ? kMaxSegment : bytes);
}

/* Index of the first segment whose base lies above p. */
uint32_t UpperBound(const uint8_t *p) {
    auto *const first = g_sbuf.segments;
    auto *const last = first + g_sbuf.segmentCount;
    return (uint32_t)(std::upper_bound(first, last, p, [](const uint8_t *q, const auto *m) { return q < m->base; }) -
                      first);
}

bool GrowTable() {
    if (g_sbuf.segmentCount < g_sbuf.segmentCap) {
        return true;
    }
    uint32_t cap = g_sbuf.segmentCap == 0U ? 16U : g_sbuf.segmentCap * 2U;
    auto *table = static_cast<SbufSegment **>(MSG_MALLOC(sizeof(SbufSegment *) * cap));
    if (table == nullptr) {
        return false;
    }
    if (g_sbuf.segmentCount != 0U) {
        std::memcpy(table, g_sbuf.segments, sizeof(SbufSegment *) * g_sbuf.segmentCount);
    }
    MSG_FREE(g_sbuf.segments);
    g_sbuf.segments = table;
    g_sbuf.segmentCap = cap;
    return true;
}

/* Takes segment's blocks off their free list, unmaps it and forgets it; the
 * peers that were told of it are told it is gone. All its blocks are free. */
void DropSegment(uint32_t index) {
    SbufSegment *segment = g_sbuf.segments[index];
    for (uint32_t i = 0U; i < segment->shareCount; ++i) {
        SbufShareSegmentGoneLocked(segment->shares[i], segment->id);
    }
    MSG_FREE(segment->shares);
    SbufSysCloseFd(segment->readOnlyFd);
    SbufBlock **link = &g_sbuf.freeLists[segment->classIndex];
    while (*link != nullptr) {
        if ((*link)->segment == segment) {
            *link = (*link)->nextFree;
        } else {
            link = &(*link)->nextFree;
        }
    }
    SbufSysUnmap(segment->base, segment->bytes);
    SbufSysCloseFd(segment->fd);
    g_sbuf.mappedBytes -= segment->bytes;
    std::memmove(&g_sbuf.segments[index], &g_sbuf.segments[index + 1U],
                 sizeof(SbufSegment *) * (g_sbuf.segmentCount - index - 1U));
    --g_sbuf.segmentCount;
    MSG_FREE(segment);
    if (g_sbuf.segmentCount == 0U) {
        MSG_FREE(g_sbuf.segments);
        g_sbuf.segments = nullptr;
        g_sbuf.segmentCap = 0U;
    }
}

/* Unmaps free segments, of any class, until need more bytes fit the limit
 * (need 0: all of them). */
void TrimLocked(uint64_t need) {
    for (uint32_t i = g_sbuf.segmentCount; i > 0U; --i) {
        if (need != 0U && g_sbuf.mappedBytes + need <= g_sbuf.limitBytes) {
            return;
        }
        SbufSegment *segment = g_sbuf.segments[i - 1U];
        if (segment->freeBlocks == segment->blockCount) {
            DropSegment(i - 1U);
        }
    }
}

/* A new segment of class cls with its blocks on the free list; a result
 * code. */
uint32_t AddSegment(uint32_t cls) {
    const size_t bytes = SegmentBytesOf(cls);
    if (g_sbuf.mappedBytes + bytes > g_sbuf.limitBytes) {
        TrimLocked(bytes);
        if (g_sbuf.mappedBytes + bytes > g_sbuf.limitBytes) {
            return OS_MSG_ERR_FULL;
        }
    }
    const uint32_t count = static_cast<uint32_t>(bytes / BlockBytesOf(cls));
    auto *segment =
        static_cast<SbufSegment *>(MSG_CALLOC(1U, offsetof(SbufSegment, blocks) + sizeof(SbufBlock) * count));
    if (segment == nullptr || !GrowTable()) {
        MSG_FREE(segment);
        return OS_MSG_ERR_NO_MEMORY;
    }
    segment->fd = SbufSysCreateSegment(SBUF_SYS_SEGMENT_NAME, bytes);
    segment->base = segment->fd >= 0 ? SbufSysMap(segment->fd, bytes, true) : nullptr;
    if (segment->base == nullptr) {
        SbufSysCloseFd(segment->fd);
        MSG_FREE(segment);
        return OS_MSG_ERR_SYSTEM;
    }
    segment->readOnlyFd = -1;
    segment->id = ++g_sbuf.lastSegmentId != 0U ? g_sbuf.lastSegmentId : ++g_sbuf.lastSegmentId;
    segment->bytes = bytes;
    segment->blockBytes = static_cast<uint32_t>(BlockBytesOf(cls));
    segment->blockCount = count;
    segment->freeBlocks = count;
    segment->classIndex = cls;
    for (uint32_t i = count; i > 0U; --i) {
        SbufBlock *block = &segment->blocks[i - 1U];
        block->segment = segment;
        block->data = segment->base + static_cast<size_t>(i - 1U) * segment->blockBytes;
        block->nextFree = g_sbuf.freeLists[cls];
        g_sbuf.freeLists[cls] = block;
    }
    uint32_t at = UpperBound(segment->base);
    std::memmove(&g_sbuf.segments[at + 1U], &g_sbuf.segments[at], sizeof(SbufSegment *) * (g_sbuf.segmentCount - at));
    g_sbuf.segments[at] = segment;
    ++g_sbuf.segmentCount;
    g_sbuf.mappedBytes += bytes;
    return OS_MSG_OK;
}

uint32_t AllocLocked(uint32_t size, void **data) {
    const uint32_t cls = ClassOf(size);
    // Blocks the peers gave back on their release lanes come back first, and
    // on every allocation: the block given back last is the one reused next,
    // while its pages are still cached, and the pool grows only for blocks
    // that are really out.
    (void)SbufShareCollectLocked();
    if (g_sbuf.freeLists[cls] == nullptr) {
        uint32_t ret = AddSegment(cls);
        if (ret != OS_MSG_OK) {
            return ret;
        }
    }
    SbufBlock *block = g_sbuf.freeLists[cls];
    g_sbuf.freeLists[cls] = block->nextFree;
    block->nextFree = nullptr;
    block->size = size;
    block->refs = 1U;
    block->owned = 1U;
    --block->segment->freeBlocks;
    ++g_sbuf.buffersInUse;
    g_sbuf.bytesInUse += size;
    *data = block->data;
    return OS_MSG_OK;
}

} // namespace

extern "C" {

void SbufLock(void) {
    (void)pthread_mutex_lock(&g_sbufLock);
}

void SbufUnlock(void) {
    (void)pthread_mutex_unlock(&g_sbufLock);
}

SbufBlock *SbufFindLocked(const void *data) {
    const auto *p = static_cast<const uint8_t *>(data);
    if (p == nullptr) {
        return nullptr;
    }
    uint32_t at = UpperBound(p);
    SbufSegment *segment = at != 0U ? g_sbuf.segments[at - 1U] : nullptr;
    if (segment == nullptr || p >= segment->base + segment->bytes) {
        return SbufMapFindLocked(p);
    }
    SbufBlock *block = &segment->blocks[static_cast<size_t>(p - segment->base) / segment->blockBytes];
    return block->refs != 0U && p < block->data + block->size ? block : nullptr;
}

void SbufDropRefLocked(SbufBlock *block) {
    if (--block->refs != 0U) {
        return;
    }
    if (block->mapping != nullptr) {
        SbufMapLastRefLocked(block);
        return;
    }
    const uint32_t cls = block->segment->classIndex;
    g_sbuf.bytesInUse -= block->size;
    --g_sbuf.buffersInUse;
    block->size = 0U;
    block->owned = 0U;
    block->nextFree = g_sbuf.freeLists[cls];
    g_sbuf.freeLists[cls] = block;
    ++block->segment->freeBlocks;
    if (g_sbufRoomWaiters != 0U) {
        (void)pthread_cond_broadcast(&g_sbufRoom);
    }
}

void SbufForEachInUseLocked(void (*visit)(SbufBlock *block, void *arg), void *arg) {
    for (uint32_t s = 0U; s < g_sbuf.segmentCount; ++s) {
        SbufSegment *segment = g_sbuf.segments[s];
        for (uint32_t b = 0U; b < segment->blockCount && segment->freeBlocks != segment->blockCount; ++b) {
            if (segment->blocks[b].refs != 0U) {
                visit(&segment->blocks[b], arg);
            }
        }
    }
    SbufMapForEachInUseLocked(visit, arg);
}

void SbufForEachSegmentLocked(void (*visit)(SbufSegment *segment, void *arg), void *arg) {
    for (uint32_t s = 0U; s < g_sbuf.segmentCount; ++s) {
        visit(g_sbuf.segments[s], arg);
    }
}

void SbufUnlockAndNotify(void) {
    const bool notices = SbufShareNoticesDueLocked();
    SbufUnlock();
    if (notices) {
        SbufShareNotify();
    }
}

uint32_t SbufAlloc(uint32_t size, void **data) {
    return SbufAllocWaiting(size, data, 0U);
}

uint32_t SbufAllocWaiting(uint32_t size, void **data, uint32_t timeoutMs) {
    if (data == nullptr || size == 0U || size > OS_MSG_BUF_MAX_SIZE) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid buffer size %u.", size);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    // A callback on the receive thread does not wait: the notices that wake
    // a waiter come in on that very thread.
    if (MsgServingOnReceive()) {
        timeoutMs = 0U;
    }
    const uint64_t startNs = MsgMonotonicNs();
    const uint64_t endNs = startNs + (uint64_t)timeoutMs * 1000000ULL;
    const uint64_t batchEndNs = startNs + MSG_TUNE_SBUF_WAIT_BATCH_US * 1000ULL;
    SbufLock();
    uint32_t ret = AllocLocked(size, data);
    for (uint64_t now = startNs; ret == OS_MSG_ERR_FULL && now < endNs; now = MsgMonotonicNs()) {
        // Woken when a block comes back or the limit rises; any of them may
        // be the room this size needs, so it is simply asked again. While
        // the lanes' wait words are set, a peer that gives blocks back on a
        // lane also sends a notice once enough wait there, which wakes this;
        // what was given back before the words were set is collected here,
        // after setting them. The first waits ask for a batch; once that
        // has taken too long, every waiter takes the first block back.
        const SbufWaitMode mode = SbufShareWaitModeLocked();
        const bool batch = now < batchEndNs && mode != SBUF_WAIT_ONE;
        const uint64_t untilNs = batch ? std::min(endNs, batchEndNs) : endNs;
        struct timespec until = {(time_t)(untilNs / 1000000000ULL), (long)(untilNs % 1000000000ULL)};
        if (g_sbufRoomWaiters++ == 0U || (!batch && mode == SBUF_WAIT_BATCH)) {
            SbufShareWaitingLocked(batch ? SBUF_WAIT_BATCH : SBUF_WAIT_ONE);
        }
        if (!SbufShareCollectLocked()) {
            (void)pthread_cond_clockwait(&g_sbufRoom, &g_sbufLock, CLOCK_MONOTONIC, &until);
        }
        if (--g_sbufRoomWaiters == 0U) {
            SbufShareWaitingLocked(SBUF_WAIT_NONE);
        }
        ret = AllocLocked(size, data);
    }
    if (ret == OS_MSG_ERR_FULL) {
        ++g_sbuf.refusedFull;
    }
    const uint64_t mapped = g_sbuf.mappedBytes;
    const uint64_t limit = g_sbuf.limitBytes;
    SbufHolder top;
    const bool named = ret == OS_MSG_ERR_FULL && SbufShareTopHolderLocked(&top);
    SbufUnlockAndNotify();
    if (ret == OS_MSG_ERR_FULL && named) {
        // A peer that keeps buffers is named, so that a starved sender knows
        // whom it waits for.
        MSG_LOG(OS_MSG_LOG_ERROR,
                "buffer pool full: %u bytes asked, %llu of %llu bytes mapped; process [%s] holds %u buffers (%llu "
                "bytes).",
                size, (unsigned long long)mapped, (unsigned long long)limit, top.label, top.refs,
                (unsigned long long)top.bytes);
    } else if (ret == OS_MSG_ERR_FULL) {
        MSG_LOG(OS_MSG_LOG_ERROR, "buffer pool full: %u bytes asked, %llu of %llu bytes mapped.", size,
                (unsigned long long)mapped, (unsigned long long)limit);
    } else if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "buffer segment not made (0x%x).", ret);
    }
    return ret;
}

uint32_t SbufFree(const void *data) {
    SbufLock();
    SbufBlock *block = SbufFindLocked(data);
    bool owned = block != nullptr && block->owned != 0U;
    if (owned) {
        block->owned = 0U;
        SbufDropRefLocked(block);
    }
    SbufUnlock();
    if (!owned) {
        MSG_LOG(OS_MSG_LOG_ERROR, "not an owned buffer.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    return OS_MSG_OK;
}

uint32_t SbufRefForSend(const void *data, uint32_t len, SbufBlock **out) {
    SbufLock();
    SbufBlock *block = SbufFindLocked(data);
    uint32_t ret = OS_MSG_OK;
    if (block == nullptr || block->owned == 0U) {
        ret = OS_MSG_ERR_INVALID_PARAM;
    } else if (len > static_cast<size_t>(block->data + block->size - static_cast<const uint8_t *>(data))) {
        ret = OS_MSG_ERR_OVERSIZE;
    } else {
        ++block->refs;
        *out = block;
    }
    SbufUnlock();
    if (ret == OS_MSG_ERR_INVALID_PARAM) {
        MSG_LOG(OS_MSG_LOG_ERROR, "data is not in an owned buffer.");
    } else if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "dataLen %u runs past the buffer.", len);
    }
    return ret;
}

void SbufDisown(SbufBlock *block) {
    SbufLock();
    if (block->owned != 0U) {
        block->owned = 0U;
        SbufDropRefLocked(block);
    }
    SbufUnlock();
}

void SbufAddRef(SbufBlock *block) {
    SbufLock();
    ++block->refs;
    SbufUnlock();
}

void SbufDropRef(SbufBlock *block) {
    SbufLock();
    SbufDropRefLocked(block);
    SbufUnlockAndNotify();
}

uint32_t SbufSizeOf(const SbufBlock *block) {
    return block->size;
}

void SbufSetLimit(uint64_t bytes) {
    SbufLock();
    (void)SbufShareCollectLocked();
    if (bytes > g_sbuf.limitBytes && g_sbufRoomWaiters != 0U) {
        (void)pthread_cond_broadcast(&g_sbufRoom);
    }
    g_sbuf.limitBytes = bytes;
    if (g_sbuf.mappedBytes > bytes) {
        TrimLocked(1U);
    }
    SbufUnlockAndNotify();
}

void SbufTrim(void) {
    SbufLock();
    (void)SbufShareCollectLocked();
    TrimLocked(0U);
    SbufUnlockAndNotify();
}

void SbufGetStats(OsMsgBufPoolStats *stats) {
    SbufLock();
    (void)SbufShareCollectLocked();
    stats->mappedBytes = g_sbuf.mappedBytes;
    stats->limitBytes = g_sbuf.limitBytes;
    stats->bytesInUse = g_sbuf.bytesInUse;
    stats->refusedFull = g_sbuf.refusedFull;
    stats->segments = g_sbuf.segmentCount;
    stats->buffersInUse = g_sbuf.buffersInUse;
    SbufUnlock();
}

} // extern "C"

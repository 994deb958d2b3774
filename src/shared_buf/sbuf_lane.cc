/*
 * Release lanes (see sbuf_lane.h). The shared memory holds three words,
 * each on a cache line of its own so that the two processes do not write
 * the same line, and the ring of ids:
 *
 *   offset  word
 *        0  magic, then the number of slots (written once, by the owner)
 *       64  head: ids pushed so far (receiver), wrapping
 *      128  tail: ids taken so far (owner), wrapping; then the wait word
 *           (owner: 0, or the ids it waits for) and the drain asked for
 *           (receiver sets, owner clears)
 *      192  slots ids
 */
#define MSG_MODULE "shared_buf"

#include "shared_buf/sbuf_lane.h"

#include <unistd.h>

#include "base/msg_alloc.h"
#include "shared_buf/sbuf_sys.h"

namespace {

constexpr uint32_t kMagic = SBUF_LANE_MAGIC;
constexpr uint32_t kSlots = 2048U; // power of two
constexpr uint32_t kMinSlots = 16U;
constexpr uint32_t kMaxSlots = 65536U;
constexpr uint32_t kMagicAt = 0U;
constexpr uint32_t kSlotsAt = SBUF_LANE_SLOTS_AT;
constexpr uint32_t kHeadAt = 64U;
constexpr uint32_t kTailAt = 128U;
constexpr uint32_t kWaitsAt = 132U;
constexpr uint32_t kAskedAt = 136U;
constexpr uint32_t kIdsAt = 192U;

uint32_t BytesFor(uint32_t slots) {
    const auto page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    const uint32_t need = kIdsAt + slots * (uint32_t)sizeof(uint32_t);
    return (need + page - 1U) / page * page;
}

} // namespace

struct SbufLane {
    uint8_t *base;
    uint32_t bytes;
    uint32_t slots;
    uint32_t count; /* the receiver's ids pushed, or the owner's ids taken */
    bool broken;
};

namespace {

uint32_t *Word(const SbufLane *lane, uint32_t at) {
    return reinterpret_cast<uint32_t *>(lane->base + at);
}

SbufLane *NewLane(uint8_t *base, uint32_t bytes, uint32_t slots) {
    auto *lane = static_cast<SbufLane *>(MSG_CALLOC(1U, sizeof(SbufLane)));
    if (lane == nullptr) {
        SbufSysUnmap(base, bytes);
        return nullptr;
    }
    lane->base = base;
    lane->bytes = bytes;
    lane->slots = slots;
    return lane;
}

} // namespace

extern "C" {

uint32_t SbufLaneBytes(void) {
    return BytesFor(kSlots);
}

uint32_t SbufLaneSlots(void) {
    return kSlots;
}

SbufLane *SbufLaneCreate(int *fd) {
    const uint32_t bytes = BytesFor(kSlots);
    *fd = SbufSysCreateSegment(SBUF_SYS_LANE_NAME, bytes);
    uint8_t *base = *fd >= 0 ? SbufSysMap(*fd, bytes, true) : nullptr;
    SbufLane *lane = base != nullptr ? NewLane(base, bytes, kSlots) : nullptr;
    if (lane == nullptr) {
        SbufSysCloseFd(*fd);
        *fd = -1;
        return nullptr;
    }
    __atomic_store_n(Word(lane, kSlotsAt), kSlots, __ATOMIC_RELAXED);
    __atomic_store_n(Word(lane, kMagicAt), kMagic, __ATOMIC_RELEASE);
    return lane;
}

SbufLane *SbufLaneMap(int fd, uint32_t bytes, uint32_t slots, const char **why) {
    uint8_t *base = nullptr;
    if (slots < kMinSlots || slots > kMaxSlots || (slots & (slots - 1U)) != 0U || bytes != BytesFor(slots)) {
        *why = "bad lane size";
    } else if (SbufSysCheckSegment(fd, bytes) != SBUF_SEGMENT_SOUND) {
        *why = "lane not a sealed memory file of its size";
    } else if ((base = SbufSysMap(fd, bytes, true)) == nullptr) {
        *why = "lane cannot be mapped for writing";
    }
    SbufSysCloseFd(fd);
    if (base == nullptr) {
        return nullptr;
    }
    if (__atomic_load_n(reinterpret_cast<uint32_t *>(base + kMagicAt), __ATOMIC_ACQUIRE) != kMagic ||
        __atomic_load_n(reinterpret_cast<uint32_t *>(base + kSlotsAt), __ATOMIC_RELAXED) != slots) {
        SbufSysUnmap(base, bytes);
        *why = "lane not set up as announced";
        return nullptr;
    }
    SbufLane *lane = NewLane(base, bytes, slots);
    if (lane == nullptr) {
        *why = "no memory for the lane";
        return nullptr;
    }
    // Pushes continue from what the lane holds: a lane is mapped once per
    // connection, so this is 0 unless the owner wrote something else, which
    // only hurts the owner.
    lane->count = __atomic_load_n(Word(lane, kHeadAt), __ATOMIC_RELAXED);
    return lane;
}

void SbufLaneFree(SbufLane *lane) {
    if (lane != nullptr) {
        SbufSysUnmap(lane->base, lane->bytes);
        MSG_FREE(lane);
    }
}

bool SbufLanePush(SbufLane *lane, uint32_t id) {
    const uint32_t taken = __atomic_load_n(Word(lane, kTailAt), __ATOMIC_ACQUIRE);
    if (lane->count - taken >= lane->slots) {
        return false; // full, or a count that cannot be true
    }
    __atomic_store_n(Word(lane, kIdsAt) + (lane->count & (lane->slots - 1U)), id, __ATOMIC_RELAXED);
    lane->count += 1U;
    __atomic_store_n(Word(lane, kHeadAt), lane->count, __ATOMIC_SEQ_CST);
    return true;
}

bool SbufLaneAskDrain(SbufLane *lane) {
    const uint32_t wants = __atomic_load_n(Word(lane, kWaitsAt), __ATOMIC_SEQ_CST);
    if (wants == 0U) {
        return false;
    }
    // What waits since the owner's last take. A tail read before a later
    // take only makes this larger (an early notice); a count that cannot be
    // true asks at once.
    const uint32_t waiting = lane->count - __atomic_load_n(Word(lane, kTailAt), __ATOMIC_ACQUIRE);
    return (waiting >= wants || waiting > lane->slots) &&
           __atomic_exchange_n(Word(lane, kAskedAt), 1U, __ATOMIC_SEQ_CST) == 0U;
}

uint32_t SbufLaneTake(SbufLane *lane, uint32_t *ids, uint32_t max, bool *broken) {
    if (lane->broken) {
        *broken = true;
        return 0U;
    }
    // Looking now: what is pushed from here on asks again.
    if (__atomic_load_n(Word(lane, kAskedAt), __ATOMIC_SEQ_CST) != 0U) {
        __atomic_store_n(Word(lane, kAskedAt), 0U, __ATOMIC_SEQ_CST);
    }
    const uint32_t pushed = __atomic_load_n(Word(lane, kHeadAt), __ATOMIC_SEQ_CST);
    uint32_t n = pushed - lane->count;
    if (n > lane->slots) {
        lane->broken = true;
        *broken = true;
        return 0U;
    }
    n = n < max ? n : max;
    for (uint32_t i = 0U; i < n; ++i) {
        ids[i] = __atomic_load_n(Word(lane, kIdsAt) + ((lane->count + i) & (lane->slots - 1U)), __ATOMIC_RELAXED);
    }
    lane->count += n;
    __atomic_store_n(Word(lane, kTailAt), lane->count, __ATOMIC_RELEASE);
    *broken = false;
    return n;
}

void SbufLaneSetWaiting(SbufLane *lane, uint32_t wants) {
    __atomic_store_n(Word(lane, kWaitsAt), wants, __ATOMIC_SEQ_CST);
}

} // extern "C"

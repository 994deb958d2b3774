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
 *
 * The post ring follows on the next page (post below), written the other
 * way, by the owner, and read by the receiver:
 *
 *   post+  word
 *        0  posted: records posted so far (owner), wrapping
 *       64  taken: records taken so far (receiver), wrapping; then the open
 *           word (receiver sets once it reads the ring) and the bell word
 *           (receiver sets before it sleeps, owner clears when it posts)
 *      128  kPostSlots slots of kPostSlotBytes: length, tag, record
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
constexpr uint32_t kPostedAt = 0U; // from the post ring's start
constexpr uint32_t kTakenAt = 64U;
constexpr uint32_t kOpenAt = 68U;
constexpr uint32_t kBellAt = 72U;
constexpr uint32_t kPostSlotsAt = 128U;
constexpr uint32_t kPostSlots = 256U;  // power of two
constexpr uint32_t kPostSlotHead = 8U; // length and tag
constexpr uint32_t kPostSlotBytes = kPostSlotHead + SBUF_POST_RECORD_MAX;

static_assert((kPostSlots & (kPostSlots - 1U)) == 0U, "post slots are a power of two");
static_assert(kPostSlotBytes % 8U == 0U, "post slots keep their words aligned");

uint32_t PageRound(uint32_t need) {
    const auto page = static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
    return (need + page - 1U) / page * page;
}

/* Where the post ring starts: the page after the release ring. */
uint32_t PostAt(uint32_t slots) {
    return PageRound(kIdsAt + slots * (uint32_t)sizeof(uint32_t));
}

uint32_t BytesFor(uint32_t slots) {
    return PageRound(PostAt(slots) + kPostSlotsAt + kPostSlots * kPostSlotBytes);
}

} // namespace

struct SbufLane {
    uint8_t *base;
    uint32_t bytes;
    uint32_t slots;
    uint32_t count; /* the receiver's ids pushed, or the owner's ids taken */
    bool broken;
    uint8_t *post;      /* the post ring */
    uint32_t postCount; /* the owner's records posted, or the receiver's taken */
    bool postBroken;    /* receiver: the ring's count cannot be true; never read again */
};

namespace {

uint32_t *Word(const SbufLane *lane, uint32_t at) {
    return reinterpret_cast<uint32_t *>(lane->base + at);
}

uint32_t *PostWord(const SbufLane *lane, uint32_t at) {
    return reinterpret_cast<uint32_t *>(lane->post + at);
}

uint8_t *PostSlot(const SbufLane *lane, uint32_t count) {
    return lane->post + kPostSlotsAt + (size_t)(count & (kPostSlots - 1U)) * kPostSlotBytes;
}

/* Copies len bytes between a post slot and private memory a word at a time
 * with atomic loads and stores (len rounded up to words: slots and the
 * callers' buffers hold SBUF_POST_RECORD_MAX bytes, a multiple of 8). */
void CopyWords(uint8_t *to, const uint8_t *from, uint32_t len) {
    const uint32_t words = (len + 7U) / 8U;
    for (uint32_t i = 0U; i < words; ++i) {
        uint64_t w = __atomic_load_n(reinterpret_cast<const uint64_t *>(from) + i, __ATOMIC_RELAXED);
        __atomic_store_n(reinterpret_cast<uint64_t *>(to) + i, w, __ATOMIC_RELAXED);
    }
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
    lane->post = base + PostAt(slots);
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

void SbufLaneOpenPost(SbufLane *lane) {
    lane->postCount = __atomic_load_n(PostWord(lane, kPostedAt), __ATOMIC_ACQUIRE);
    __atomic_store_n(PostWord(lane, kTakenAt), lane->postCount, __ATOMIC_RELEASE);
    __atomic_store_n(PostWord(lane, kBellAt), 1U, __ATOMIC_SEQ_CST);
    __atomic_store_n(PostWord(lane, kOpenAt), 1U, __ATOMIC_RELEASE);
}

bool SbufLanePost(SbufLane *lane, const void *rec, uint32_t len, uint32_t tag, bool *ring) {
    *ring = false;
    if (len > SBUF_POST_RECORD_MAX || __atomic_load_n(PostWord(lane, kOpenAt), __ATOMIC_ACQUIRE) == 0U) {
        return false;
    }
    const uint32_t taken = __atomic_load_n(PostWord(lane, kTakenAt), __ATOMIC_ACQUIRE);
    if (lane->postCount - taken >= kPostSlots) {
        return false; // full, or a count that cannot be true
    }
    uint8_t *slot = PostSlot(lane, lane->postCount);
    // Word-wise atomic copies: the receiver may read a slot it was handed
    // while the owner writes another, never this one, but the memory is
    // shared with another process and a race detector sees only this side.
    __atomic_store_n(reinterpret_cast<uint32_t *>(slot), len, __ATOMIC_RELAXED);
    __atomic_store_n(reinterpret_cast<uint32_t *>(slot) + 1, tag, __ATOMIC_RELAXED);
    CopyWords(slot + kPostSlotHead, static_cast<const uint8_t *>(rec), len);
    lane->postCount += 1U;
    __atomic_store_n(PostWord(lane, kPostedAt), lane->postCount, __ATOMIC_SEQ_CST);
    // After the count: either the receiver, arming the bell, then sees the
    // record, or the owner sees the bell and rings it.
    *ring = __atomic_load_n(PostWord(lane, kBellAt), __ATOMIC_SEQ_CST) != 0U &&
            __atomic_exchange_n(PostWord(lane, kBellAt), 0U, __ATOMIC_SEQ_CST) != 0U;
    return true;
}

uint32_t SbufLanePeekPost(SbufLane *lane, uint8_t *out, uint32_t *tag) {
    if (lane->postBroken) {
        return 0U;
    }
    const uint32_t posted = __atomic_load_n(PostWord(lane, kPostedAt), __ATOMIC_ACQUIRE);
    const uint32_t waiting = posted - lane->postCount;
    if (waiting == 0U) {
        return 0U;
    }
    const uint8_t *slot = PostSlot(lane, lane->postCount);
    const uint32_t len = __atomic_load_n(reinterpret_cast<const uint32_t *>(slot), __ATOMIC_RELAXED);
    if (waiting > kPostSlots || len == 0U || len > SBUF_POST_RECORD_MAX) {
        lane->postBroken = true;
        return 0U;
    }
    *tag = __atomic_load_n(reinterpret_cast<const uint32_t *>(slot) + 1, __ATOMIC_RELAXED);
    CopyWords(out, slot + kPostSlotHead, len);
    return len;
}

void SbufLaneTakePost(SbufLane *lane) {
    lane->postCount += 1U;
    __atomic_store_n(PostWord(lane, kTakenAt), lane->postCount, __ATOMIC_RELEASE);
}

bool SbufLaneArmPost(SbufLane *lane) {
    __atomic_store_n(PostWord(lane, kBellAt), 1U, __ATOMIC_SEQ_CST);
    return !lane->postBroken && __atomic_load_n(PostWord(lane, kPostedAt), __ATOMIC_SEQ_CST) != lane->postCount;
}

bool SbufLanePostBroken(const SbufLane *lane) {
    return lane->postBroken;
}

} // extern "C"

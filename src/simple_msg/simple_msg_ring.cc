/*
 * The bounded many-producer, one-consumer message ring and its sleep
 * hand-shake (the protocol is described in simple_msg_ring.h). The memory
 * orders are the whole argument:
 *   - a producer's acquire of a slot number pairs with the consumer's release
 *     when it handed the slot back, so the node is no longer read when the
 *     producer overwrites it;
 *   - the consumer's acquire of a slot number pairs with the producer's
 *     publication, so the node's bytes are complete when it copies them;
 *   - the publication and the producer's look at `sleeping`, and the
 *     consumer's raising of `sleeping` and its look at the slot, are all
 *     sequentially consistent, so no wake-up is lost between them.
 * Lock-free and wait-free for the consumer; a producer retries only when
 * another producer claimed the same position first.
 */
#include "simple_msg/simple_msg_ring.h"

#include <string.h>

#include "base/msg_cpu_relax.h"

/* A slot: its sequence number, its node, and the node's cargo and charged
 * bytes, padded to whole cache lines. */
struct SimpleMsgRingSlot {
    uint64_t seq;
    MsgHead node;
    MsgCargo *cargo;
    uint32_t charged;
    char pad[(SIMPLE_MSG_CACHE_LINE -
              (sizeof(uint64_t) + sizeof(MsgHead) + sizeof(void *) + sizeof(uint32_t)) % SIMPLE_MSG_CACHE_LINE) %
             SIMPLE_MSG_CACHE_LINE];
};
static_assert(sizeof(SimpleMsgRingSlot) % SIMPLE_MSG_CACHE_LINE == 0, "slots fill whole cache lines");
// The cargo took the padding of a 168-byte node: a slot is three lines, as before.
static_assert(sizeof(SimpleMsgRingSlot) == 3U * SIMPLE_MSG_CACHE_LINE, "a slot is no larger for its cargo");

namespace {

inline uint64_t Load(const uint64_t *word, int order) {
    return __atomic_load_n(word, order);
}

/* Slot numbers count in steps of two so that "published for p" (2p + 1)
 * never equals "free for the next position" (2(p + 1)), which a ring of one
 * slot would otherwise confuse. */
inline uint64_t FreeFor(uint64_t position) {
    return position * 2U;
}

inline uint64_t PublishedFor(uint64_t position) {
    return position * 2U + 1U;
}

/* How often the consumer polls with a pause before it starts yielding: a
 * producer about as fast as the consumer publishes its next node within a
 * few hundred cycles, and finding it by polling costs neither the consumer a
 * system call nor the producer a post. A pause takes 10 to 140 cycles
 * depending on the processor, so the polls last at most about a microsecond:
 * longer, and a loop that has just answered a synchronous request keeps a
 * shared processor from its requester. */
constexpr uint32_t kPolls = 32U;

/* How often the consumer yields before it announces its sleep: a few times
 * when nothing is claimed (under load the next push is usually moments away,
 * and a sleep costs a post and a wake-up), more while a claimed node is on
 * its way (its producer may have been preempted between claim and
 * publication). A yield that let another thread run ends the yields at
 * once (msg_cpu_relax.h): the processor is shared, and a sleeping consumer
 * leaves it to the producer. */
constexpr uint32_t kIdleYields = 8U;
constexpr uint32_t kInFlightYields = 64U;

inline uint32_t SlotOf(const SimpleMsgRing *ring, uint64_t position) {
    return static_cast<uint32_t>(position % ring->capacity);
}

} // namespace

extern "C" {

size_t SimpleMsgRingBytes(uint32_t capacity) {
    // A cache line more, to align the first slot within any block.
    return static_cast<size_t>(capacity) * sizeof(SimpleMsgRingSlot) + SIMPLE_MSG_CACHE_LINE;
}

void SimpleMsgRingInit(SimpleMsgRing *ring, void *storage, uint32_t capacity) {
    uintptr_t first = (reinterpret_cast<uintptr_t>(storage) + SIMPLE_MSG_CACHE_LINE - 1U) &
                      ~static_cast<uintptr_t>(SIMPLE_MSG_CACHE_LINE - 1U);
    ring->storage = storage;
    ring->slots = reinterpret_cast<SimpleMsgRingSlot *>(first);
    for (uint32_t i = 0; i < capacity; ++i) {
        __atomic_store_n(&ring->slots[i].seq, FreeFor(i), __ATOMIC_RELAXED);
    }
    __atomic_store_n(&ring->enqueuePos, 0ULL, __ATOMIC_RELAXED);
    __atomic_store_n(&ring->dequeuePos, 0ULL, __ATOMIC_RELAXED);
    __atomic_store_n(&ring->headSeen, 0ULL, __ATOMIC_RELAXED);
    __atomic_store_n(&ring->sleeping, 0U, __ATOMIC_RELAXED);
    __atomic_store_n(&ring->capacity, capacity, __ATOMIC_RELEASE);
}

void *SimpleMsgRingTakeStorage(SimpleMsgRing *ring) {
    void *storage = ring->storage;
    __atomic_store_n(&ring->capacity, 0U, __ATOMIC_RELAXED);
    ring->storage = nullptr;
    ring->slots = nullptr;
    return storage;
}

bool SimpleMsgRingPush(SimpleMsgRing *ring, const MsgHead *head, void *payload, uint32_t len, uint64_t *position,
                       uint32_t *pending) {
    return SimpleMsgRingPushCargo(ring, head, payload, len, nullptr, 0U, position, pending);
}

bool SimpleMsgRingPushCargo(SimpleMsgRing *ring, const MsgHead *head, void *payload, uint32_t len, MsgCargo *cargo,
                            uint32_t charged, uint64_t *position, uint32_t *pending) {
    if (__atomic_load_n(&ring->capacity, __ATOMIC_RELAXED) == 0U) {
        return false;
    }
    uint64_t pos = Load(&ring->enqueuePos, __ATOMIC_RELAXED);
    uint32_t slot = 0;
    for (;;) {
        slot = SlotOf(ring, pos);
        int64_t turn = static_cast<int64_t>(Load(&ring->slots[slot].seq, __ATOMIC_ACQUIRE) - FreeFor(pos));
        if (turn == 0) {
            if (__atomic_compare_exchange_n(&ring->enqueuePos, &pos, pos + 1U, true, __ATOMIC_RELAXED,
                                            __ATOMIC_RELAXED)) {
                break;
            }
        } else if (turn < 0) {
            return false; // the slot still holds the node of position pos - capacity
        } else {
            pos = Load(&ring->enqueuePos, __ATOMIC_RELAXED);
        }
    }
    MsgHead *node = &ring->slots[slot].node;
    (void)memcpy(node, head, sizeof(MsgHead));
    node->dataLen = len;
    node->data = payload;
    ring->slots[slot].cargo = cargo;
    ring->slots[slot].charged = charged;
    if (pending != nullptr) {
        // The slot was handed back after the consumer moved its head past
        // pos - capacity, so this difference is at most the capacity.
        uint64_t ahead = pos + 1U - Load(&ring->dequeuePos, __ATOMIC_RELAXED);
        *pending = static_cast<uint32_t>(ahead < ring->capacity ? ahead : ring->capacity);
    }
    __atomic_store_n(&ring->slots[slot].seq, PublishedFor(pos), __ATOMIC_SEQ_CST);
    *position = pos;
    return true;
}

uint32_t SimpleMsgRingPendingBeyond(SimpleMsgRing *ring, uint64_t position, uint32_t known) {
    // headSeen trails the consumer, so this bounds the pending nodes from above.
    uint64_t bound = position + 1U - Load(&ring->headSeen, __ATOMIC_RELAXED);
    if (bound <= known) {
        return static_cast<uint32_t>(bound);
    }
    uint64_t head = Load(&ring->dequeuePos, __ATOMIC_RELAXED);
    __atomic_store_n(&ring->headSeen, head, __ATOMIC_RELAXED);
    uint64_t ahead = position + 1U - head;
    // A head read after the push may have passed position already.
    if (static_cast<int64_t>(ahead) <= 0) {
        return 0U;
    }
    return static_cast<uint32_t>(ahead < ring->capacity ? ahead : ring->capacity);
}

bool SimpleMsgRingTakeWake(SimpleMsgRing *ring) {
    if (__atomic_load_n(&ring->sleeping, __ATOMIC_SEQ_CST) == 0U) {
        return false;
    }
    return __atomic_exchange_n(&ring->sleeping, 0U, __ATOMIC_SEQ_CST) != 0U;
}

bool SimpleMsgRingPop(SimpleMsgRing *ring, MsgHead *out, uint64_t *position) {
    MsgCargo *cargo = nullptr;
    uint32_t charged = 0U;
    return SimpleMsgRingPopCargo(ring, out, position, &cargo, &charged);
}

bool SimpleMsgRingPopCargo(SimpleMsgRing *ring, MsgHead *out, uint64_t *position, MsgCargo **cargo, uint32_t *charged) {
    if (ring->capacity == 0U) {
        return false;
    }
    uint64_t pos = Load(&ring->dequeuePos, __ATOMIC_RELAXED);
    uint32_t slot = SlotOf(ring, pos);
    if (Load(&ring->slots[slot].seq, __ATOMIC_ACQUIRE) != PublishedFor(pos)) {
        return false;
    }
    (void)memcpy(out, &ring->slots[slot].node, sizeof(MsgHead));
    *cargo = ring->slots[slot].cargo;
    *charged = ring->slots[slot].charged;
    // The head moves before the slot is handed back: a producer that takes
    // the slot then also sees the head past it (see SimpleMsgRingPush).
    __atomic_store_n(&ring->dequeuePos, pos + 1U, __ATOMIC_RELAXED);
    __atomic_store_n(&ring->slots[slot].seq, FreeFor(pos + ring->capacity), __ATOMIC_RELEASE);
    *position = pos;
    return true;
}

bool SimpleMsgRingPrepareSleep(SimpleMsgRing *ring) {
    __atomic_store_n(&ring->sleeping, 1U, __ATOMIC_SEQ_CST);
    if (ring->capacity == 0U) {
        return true;
    }
    uint64_t pos = Load(&ring->dequeuePos, __ATOMIC_RELAXED);
    return Load(&ring->slots[SlotOf(ring, pos)].seq, __ATOMIC_SEQ_CST) != PublishedFor(pos);
}

bool SimpleMsgRingCancelSleep(SimpleMsgRing *ring) {
    return __atomic_exchange_n(&ring->sleeping, 0U, __ATOMIC_SEQ_CST) != 0U;
}

int32_t SimpleMsgRingAwait(SimpleMsgRing *ring, OsSem *wake) {
    if (ring->capacity != 0U) {
        const uint64_t pos = Load(&ring->dequeuePos, __ATOMIC_RELAXED);
        const uint64_t *published = &ring->slots[SlotOf(ring, pos)].seq;
        for (uint32_t i = 0; i < kPolls; ++i) {
            if (Load(published, __ATOMIC_ACQUIRE) == PublishedFor(pos)) {
                return 0;
            }
            MsgCpuRelax();
        }
    }
    for (uint32_t i = 0; ring->capacity != 0U; ++i) {
        uint64_t pos = Load(&ring->dequeuePos, __ATOMIC_RELAXED);
        if (Load(&ring->slots[SlotOf(ring, pos)].seq, __ATOMIC_ACQUIRE) == PublishedFor(pos)) {
            return 0;
        }
        bool claimed = Load(&ring->enqueuePos, __ATOMIC_RELAXED) != pos;
        if (i >= (claimed ? kInFlightYields : kIdleYields) || MsgYieldFoundWork()) {
            break;
        }
    }
    if (SimpleMsgRingPrepareSleep(ring)) {
        return OsSemWait(wake);
    }
    if (!SimpleMsgRingCancelSleep(ring)) {
        return OsSemWait(wake); // a producer took the announcement: absorb its post
    }
    return 0;
}

uint32_t SimpleMsgRingPending(const SimpleMsgRing *ring) {
    uint32_t capacity = __atomic_load_n(&ring->capacity, __ATOMIC_RELAXED);
    // The head first: the tail read after it is at least as new, so the
    // difference is never negative.
    uint64_t head = Load(&ring->dequeuePos, __ATOMIC_ACQUIRE);
    uint64_t tail = Load(&ring->enqueuePos, __ATOMIC_ACQUIRE);
    uint64_t pending = tail - head;
    return static_cast<uint32_t>(pending < capacity ? pending : capacity);
}

uint64_t SimpleMsgRingPushed(const SimpleMsgRing *ring) {
    return Load(&ring->enqueuePos, __ATOMIC_RELAXED);
}

uint64_t SimpleMsgRingHead(const SimpleMsgRing *ring) {
    return Load(&ring->dequeuePos, __ATOMIC_ACQUIRE);
}

const MsgHead *SimpleMsgRingPeek(const SimpleMsgRing *ring, uint64_t position) {
    return &ring->slots[SlotOf(ring, position)].node;
}

} // extern "C"

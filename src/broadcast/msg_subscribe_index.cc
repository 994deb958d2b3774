/*
 * The subscriber record index: open addressing with linear probing over a
 * power-of-two slot array kept at most half full, and deletion by shifting
 * the following cluster back, so no tombstones build up. Thread safety: see
 * msg_subscribe_index.h.
 */
#define MSG_MODULE "msg_broadcast"

#include "broadcast/msg_subscribe_index.h"

#include "base/msg_alloc.h"
#include "vyre_os_msg.h"

namespace {

constexpr uint64_t kMinCapacity = 16U;
constexpr uint64_t kFnvPrime = 1099511628211ULL;

uint64_t Home(const MsgSubIndex *index, uint64_t hash) {
    return hash & (index->capacity - 1U);
}

uint64_t Next(const MsgSubIndex *index, uint64_t position) {
    return (position + 1U) & (index->capacity - 1U);
}

void PlaceInto(MsgSubIndexSlot *slots, uint64_t capacity, uint64_t hash, void *item) {
    uint64_t position = hash & (capacity - 1U);
    while (slots[position].item != nullptr) {
        position = (position + 1U) & (capacity - 1U);
    }
    slots[position] = {hash, item};
}

/* Moves every item into a new array of capacity slots; false (nothing
 * changed) when it cannot be had. */
bool Resize(MsgSubIndex *index, uint64_t capacity) {
    auto *slots = static_cast<MsgSubIndexSlot *>(MSG_CALLOC(capacity, sizeof(MsgSubIndexSlot)));
    if (slots == nullptr) {
        return false;
    }
    for (uint64_t i = 0; i < index->capacity; ++i) {
        if (index->slots[i].item != nullptr) {
            PlaceInto(slots, capacity, index->slots[i].hash, index->slots[i].item);
        }
    }
    MSG_FREE(index->slots);
    index->slots = slots;
    index->capacity = capacity;
    return true;
}

/* The position of item, which is listed under hash. */
uint64_t PositionOf(const MsgSubIndex *index, uint64_t hash, const void *item) {
    uint64_t position = Home(index, hash);
    while (index->slots[position].item != item) {
        position = Next(index, position);
    }
    return position;
}

/* Empties the slot at hole and moves later items of its cluster back, so
 * that each stays reachable from its home slot. */
void CloseHole(MsgSubIndex *index, uint64_t hole) {
    index->slots[hole].item = nullptr;
    for (uint64_t position = Next(index, hole); index->slots[position].item != nullptr;
         position = Next(index, position)) {
        const uint64_t home = Home(index, index->slots[position].hash);
        // The item may fill the hole unless its home lies cyclically in (hole, position].
        const bool homeAfterHole =
            hole <= position ? (hole < home && home <= position) : (hole < home || home <= position);
        if (!homeAfterHole) {
            index->slots[hole] = index->slots[position];
            index->slots[position].item = nullptr;
            hole = position;
        }
    }
}

} // namespace

extern "C" {

uint32_t MsgSubIndexReserve(MsgSubIndex *index) {
    if ((index->count + 1U) * 2U <= index->capacity) {
        return OS_MSG_OK;
    }
    const uint64_t capacity = index->capacity == 0U ? kMinCapacity : index->capacity * 2U;
    return Resize(index, capacity) ? OS_MSG_OK : OS_MSG_ERR_NO_MEMORY;
}

void MsgSubIndexInsert(MsgSubIndex *index, uint64_t hash, void *item) {
    PlaceInto(index->slots, index->capacity, hash, item);
    ++index->count;
}

void *MsgSubIndexFind(const MsgSubIndex *index, uint64_t hash, MsgSubIndexMatch match, const void *key) {
    if (index->capacity == 0U) {
        return nullptr;
    }
    for (uint64_t position = Home(index, hash); index->slots[position].item != nullptr;
         position = Next(index, position)) {
        const MsgSubIndexSlot &slot = index->slots[position];
        if (slot.hash == hash && match(slot.item, key) != 0) {
            return slot.item;
        }
    }
    return nullptr;
}

void MsgSubIndexReplace(MsgSubIndex *index, uint64_t hash, const void *item, void *newItem) {
    index->slots[PositionOf(index, hash, item)].item = newItem;
}

void MsgSubIndexRemove(MsgSubIndex *index, uint64_t hash, const void *item) {
    CloseHole(index, PositionOf(index, hash, item));
    --index->count;
    if (index->capacity > kMinCapacity && index->count * 8U < index->capacity) {
        (void)Resize(index, index->capacity / 2U);
    }
}

void MsgSubIndexRelease(MsgSubIndex *index) {
    MSG_FREE(index->slots);
    *index = MsgSubIndex{nullptr, 0U, 0U};
}

uint64_t MsgSubIndexHashName(uint64_t h, const char *name) {
    for (uint32_t i = 0; i < OS_MSG_NAME_LEN && name[i] != '\0'; ++i) {
        h = (h ^ static_cast<uint8_t>(name[i])) * kFnvPrime;
    }
    return (h ^ 0xFFU) * kFnvPrime; // ends the name, so that "ab","c" and "a","bc" differ
}

uint64_t MsgSubIndexHashWord(uint64_t h, uint32_t value) {
    for (uint32_t i = 0; i < 4U; ++i) {
        h = (h ^ ((value >> (8U * i)) & 0xFFU)) * kFnvPrime;
    }
    return h;
}

} // extern "C"

/*
 * The lent table (see sbuf_lent.h).
 */
#define MSG_MODULE "shared_buf"

#include "shared_buf/sbuf_lent.h"

#include "base/msg_alloc.h"

namespace {

uint32_t HomeOf(uint32_t refId, uint32_t cap) {
    return (refId * 2654435761U) & (cap - 1U);
}

void Place(SbufLentEntry *slots, uint32_t cap, const SbufLentEntry &entry) {
    uint32_t at = HomeOf(entry.refId, cap);
    while (slots[at].refId != 0U) {
        at = (at + 1U) & (cap - 1U);
    }
    slots[at] = entry;
}

/* Keeps the table at most half full. */
bool Grow(SbufLentTable *table) {
    if ((table->count + 1U) * 2U <= table->cap) {
        return true;
    }
    uint32_t cap = table->cap == 0U ? 16U : table->cap * 2U;
    auto *slots = static_cast<SbufLentEntry *>(MSG_CALLOC(cap, sizeof(SbufLentEntry)));
    if (slots == nullptr) {
        return false;
    }
    for (uint32_t i = 0U; i < table->cap; ++i) {
        if (table->slots[i].refId != 0U) {
            Place(slots, cap, table->slots[i]);
        }
    }
    MSG_FREE(table->slots);
    table->slots = slots;
    table->cap = cap;
    return true;
}

int32_t IndexOf(const SbufLentTable *table, uint32_t refId) {
    if (table->cap == 0U || refId == 0U) {
        return -1;
    }
    for (uint32_t at = HomeOf(refId, table->cap);; at = (at + 1U) & (table->cap - 1U)) {
        if (table->slots[at].refId == refId) {
            return (int32_t)at;
        }
        if (table->slots[at].refId == 0U) {
            return -1;
        }
    }
}

} // namespace

bool SbufLentAdd(SbufLentTable *table, uint32_t refId, SbufBlock *block) {
    if (!Grow(table)) {
        return false;
    }
    Place(table->slots, table->cap, SbufLentEntry{refId, 0U, block, nullptr});
    table->count += 1U;
    table->bytes += SbufSizeOf(block);
    return true;
}

SbufLentEntry *SbufLentFind(SbufLentTable *table, uint32_t refId) {
    int32_t at = IndexOf(table, refId);
    return at < 0 ? nullptr : &table->slots[at];
}

bool SbufLentTake(SbufLentTable *table, uint32_t refId, SbufLentEntry *out) {
    int32_t found = IndexOf(table, refId);
    if (found < 0) {
        return false;
    }
    const uint32_t mask = table->cap - 1U;
    uint32_t hole = (uint32_t)found;
    *out = table->slots[hole];
    // Entries after the hole move back into it when their home lies at or
    // before it (cyclically), so that probing from their home finds them.
    for (uint32_t at = (hole + 1U) & mask; table->slots[at].refId != 0U; at = (at + 1U) & mask) {
        uint32_t home = HomeOf(table->slots[at].refId, table->cap);
        if (((at - home) & mask) >= ((at - hole) & mask)) {
            table->slots[hole] = table->slots[at];
            hole = at;
        }
    }
    table->slots[hole] = SbufLentEntry{0U, 0U, nullptr, nullptr};
    table->count -= 1U;
    table->bytes -= SbufSizeOf(out->block);
    return true;
}

void SbufLentClear(SbufLentTable *table, void (*visit)(SbufLentEntry *entry)) {
    for (uint32_t i = 0U; i < table->cap; ++i) {
        if (table->slots[i].refId != 0U) {
            visit(&table->slots[i]);
        }
    }
    MSG_FREE(table->slots);
    *table = SbufLentTable{nullptr, 0U, 0U, 0U};
}

void SbufLentForEach(SbufLentTable *table, void (*visit)(SbufLentEntry *entry, void *arg), void *arg) {
    for (uint32_t i = 0U; i < table->cap; ++i) {
        if (table->slots[i].refId != 0U) {
            visit(&table->slots[i], arg);
        }
    }
}

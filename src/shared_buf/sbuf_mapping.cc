/*
 * Other processes' segments mapped here (see sbuf_mapping.h). The table of
 * mappings is kept sorted by address, so that a hold or release finds the
 * block of any address as the pool finds its own. Guarded by the pool lock.
 */
#define MSG_MODULE "shared_buf"

#include "shared_buf/sbuf_mapping.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_tunables.h"
#include "shared_buf/sbuf_share.h"
#include "shared_buf/sbuf_sys.h"

namespace {

constexpr uint32_t kMinBlockBytes = 4096U;

/* Every mapping, sorted by base. */
struct SbufMapTable {
    SbufMapping **maps;
    uint32_t count;
    uint32_t cap;
};
SbufMapTable g_sbufMaps = {nullptr, 0U, 0U};

/* Index of the first mapping whose base lies above p. */
uint32_t MapUpperBound(const uint8_t *p) {
    auto *const first = g_sbufMaps.maps;
    auto *const last = first + g_sbufMaps.count;
    return (uint32_t)(std::upper_bound(first, last, p, [](const uint8_t *q, const auto *m) { return q < m->base; }) -
                      first);
}

bool MapInsert(SbufMapping *mapping) {
    if (g_sbufMaps.count == g_sbufMaps.cap) {
        uint32_t cap = g_sbufMaps.cap == 0U ? 16U : g_sbufMaps.cap * 2U;
        auto *maps = static_cast<SbufMapping **>(MSG_MALLOC(sizeof(SbufMapping *) * cap));
        if (maps == nullptr) {
            return false;
        }
        if (g_sbufMaps.count != 0U) {
            std::memcpy(maps, g_sbufMaps.maps, sizeof(SbufMapping *) * g_sbufMaps.count);
        }
        MSG_FREE(g_sbufMaps.maps);
        g_sbufMaps.maps = maps;
        g_sbufMaps.cap = cap;
    }
    uint32_t at = MapUpperBound(mapping->base);
    std::memmove(&g_sbufMaps.maps[at + 1U], &g_sbufMaps.maps[at], sizeof(SbufMapping *) * (g_sbufMaps.count - at));
    g_sbufMaps.maps[at] = mapping;
    ++g_sbufMaps.count;
    return true;
}

/* Unmaps mapping and frees its records; no block of it is in use. */
void MapFree(SbufMapping *mapping) {
    uint32_t at = MapUpperBound(mapping->base);
    if (at != 0U && g_sbufMaps.maps[at - 1U] == mapping) {
        std::memmove(&g_sbufMaps.maps[at - 1U], &g_sbufMaps.maps[at], sizeof(SbufMapping *) * (g_sbufMaps.count - at));
        --g_sbufMaps.count;
    }
    if (g_sbufMaps.count == 0U) {
        MSG_FREE(g_sbufMaps.maps);
        g_sbufMaps = {nullptr, 0U, 0U};
    }
    if (mapping->share != nullptr) {
        SbufShareRemoveMappingLocked(mapping->share, mapping);
    }
    SbufSysUnmap(mapping->base, mapping->bytes);
    for (uint32_t i = 0U; i < mapping->blockCount; ++i) {
        MSG_FREE(mapping->blocks[i].ids);
    }
    MSG_FREE(mapping);
}

/* Unmaps mapping once nothing keeps it: no block in use, and its connection
 * closed or its peer gave it up. */
void MapFreeIfIdle(SbufMapping *mapping) {
    if (mapping->inUse == 0U && (mapping->share == nullptr || mapping->gone)) {
        MapFree(mapping);
    }
}

/* NULL when blockBytes and bytes describe a segment this side maps. */
const char *CheckShape(uint32_t blockBytes, uint64_t bytes) {
    if (blockBytes < kMinBlockBytes || (blockBytes & (blockBytes - 1U)) != 0U) {
        return "block size not a power of two from 4 KiB";
    }
    if (bytes == 0U || bytes > SBUF_MAP_MAX_BYTES || bytes % blockBytes != 0U ||
        bytes / blockBytes > SBUF_MAP_MAX_BLOCKS) {
        return "segment size out of range";
    }
    return nullptr;
}

SbufMapping *NewMapping(uint8_t *base, uint32_t segId, uint32_t blockBytes, uint64_t bytes) {
    const uint32_t count = static_cast<uint32_t>(bytes / blockBytes);
    auto *mapping =
        static_cast<SbufMapping *>(MSG_CALLOC(1U, offsetof(SbufMapping, blocks) + sizeof(SbufMappedBlock) * count));
    if (mapping == nullptr) {
        return nullptr;
    }
    mapping->segId = segId;
    mapping->blockBytes = blockBytes;
    mapping->blockCount = count;
    mapping->base = base;
    mapping->bytes = static_cast<size_t>(bytes);
    for (uint32_t i = 0U; i < count; ++i) {
        mapping->blocks[i].block.mapping = mapping;
        mapping->blocks[i].block.data = base + static_cast<size_t>(i) * blockBytes;
    }
    return mapping;
}

bool GrowIds(SbufMappedBlock *mb) {
    if (mb->idCount < mb->idCap) {
        return true;
    }
    uint32_t cap = mb->idCap == 0U ? 2U : mb->idCap * 2U;
    auto *ids = static_cast<uint32_t *>(MSG_MALLOC(sizeof(uint32_t) * cap));
    if (ids == nullptr) {
        return false;
    }
    if (mb->idCount != 0U) {
        std::memcpy(ids, mb->ids, sizeof(uint32_t) * mb->idCount);
    }
    MSG_FREE(mb->ids);
    mb->ids = ids;
    mb->idCap = cap;
    return true;
}

} // namespace

extern "C" {

const char *SbufMapSegment(SbufShare *share, uint32_t segId, uint32_t blockBytes, uint64_t bytes, int fd,
                           uint32_t *code) {
    *code = OS_MSG_ERR_INVALID_PARAM;
    const char *why = segId == 0U ? "segment number 0" : CheckShape(blockBytes, bytes);
    SbufLock();
    const bool known = why == nullptr && (SbufShareClosedLocked(share) || SbufMapOfLocked(share, segId) != nullptr);
    if (why == nullptr && !known && g_sbufMaps.count >= MSG_TUNE_MAPPED_SEGMENTS_MAX) {
        why = "this process maps as many segments of other processes as it may";
        *code = OS_MSG_ERR_FULL;
    }
    SbufUnlock();
    if (why == nullptr && !known) {
        switch (SbufSysCheckSegment(fd, bytes)) {
        case SBUF_SEGMENT_NOT_SEALED:
            why = "not a memory file sealed against shrinking and growing";
            break;
        case SBUF_SEGMENT_WRONG_SIZE:
            why = "segment size differs from the file's";
            break;
        default:
            break;
        }
    }
    uint8_t *base = why == nullptr && !known ? SbufSysMap(fd, static_cast<size_t>(bytes), false) : nullptr;
    SbufSysCloseFd(fd);
    if (why != nullptr || known) {
        return why;
    }
    if (base == nullptr) {
        *code = OS_MSG_ERR_SYSTEM;
        return "segment not mapped";
    }
    SbufMapping *mapping = NewMapping(base, segId, blockBytes, bytes);
    SbufLock();
    // Only the receive thread maps a share's segments, but its connection
    // may have closed meanwhile.
    const bool wanted = !SbufShareClosedLocked(share) && SbufMapOfLocked(share, segId) == nullptr;
    bool kept = wanted && mapping != nullptr && MapInsert(mapping);
    if (kept && !SbufShareAddMappingLocked(share, mapping)) {
        MapFree(mapping); // not the share's yet: the table forgets it, and it is unmapped
        mapping = nullptr;
        base = nullptr;
        kept = false;
    }
    SbufUnlock();
    if (!kept) {
        SbufSysUnmap(base, static_cast<size_t>(bytes));
        MSG_FREE(mapping);
    }
    if (!kept && wanted) {
        *code = OS_MSG_ERR_NO_MEMORY;
        return "no memory for the mapping";
    }
    return nullptr;
}

SbufBlock *SbufMapReferLocked(SbufMapping *mapping, uint32_t blockIndex, uint32_t size, uint32_t dataOffset,
                              uint32_t dataLen, uint32_t refId, uint8_t **data, const char **why) {
    if (blockIndex >= mapping->blockCount) {
        *why = "block outside its segment";
        return nullptr;
    }
    if (size == 0U || size > mapping->blockBytes) {
        *why = "block size out of range";
        return nullptr;
    }
    if (dataLen == 0U || dataOffset > size || dataLen > size - dataOffset) {
        *why = "data outside its block";
        return nullptr;
    }
    SbufMappedBlock *mb = &mapping->blocks[blockIndex];
    if (mb->block.refs != 0U && mb->block.size != size) {
        *why = "block size changed while in use";
        return nullptr;
    }
    if (!GrowIds(mb)) {
        *why = "no memory for the reference";
        return nullptr;
    }
    if (mb->block.refs == 0U) {
        mb->block.size = size;
        ++mapping->inUse;
    }
    ++mb->block.refs;
    mb->ids[mb->idCount++] = refId;
    *data = mb->block.data + dataOffset;
    return &mb->block;
}

SbufBlock *SbufMapFindLocked(const uint8_t *p) {
    uint32_t at = MapUpperBound(p);
    if (at == 0U) {
        return nullptr;
    }
    SbufMapping *mapping = g_sbufMaps.maps[at - 1U];
    if (p >= mapping->base + mapping->bytes) {
        return nullptr;
    }
    SbufBlock *block = &mapping->blocks[static_cast<size_t>(p - mapping->base) / mapping->blockBytes].block;
    return block->refs != 0U && p < block->data + block->size ? block : nullptr;
}

void SbufMapLastRefLocked(SbufBlock *block) {
    SbufMapping *mapping = block->mapping;
    auto *mb = reinterpret_cast<SbufMappedBlock *>(block);
    if (mapping->share != nullptr) {
        SbufShareQueueReleasesLocked(mapping->share, mb->ids, mb->idCount);
    }
    mb->idCount = 0U;
    block->size = 0U;
    --mapping->inUse;
    MapFreeIfIdle(mapping);
}

void SbufMapForEachInUseLocked(void (*visit)(SbufBlock *block, void *arg), void *arg) {
    for (uint32_t m = 0U; m < g_sbufMaps.count; ++m) {
        SbufMapping *mapping = g_sbufMaps.maps[m];
        for (uint32_t b = 0U; b < mapping->blockCount && mapping->inUse != 0U; ++b) {
            if (mapping->blocks[b].block.refs != 0U) {
                visit(&mapping->blocks[b].block, arg);
            }
        }
    }
}

void SbufMapGoneLocked(SbufMapping *mapping) {
    mapping->gone = true;
    MapFreeIfIdle(mapping);
}

void SbufMapDetachLocked(SbufMapping *mapping) {
    mapping->share = nullptr;
    MapFreeIfIdle(mapping);
}

uint32_t SbufMapCountLocked(void) {
    return g_sbufMaps.count;
}

} // extern "C"

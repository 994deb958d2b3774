/*
 * String keys for the chained hash table: the string hash and match
 * functions, the key copy and release hooks (the table keeps its own copy of
 * every key, in tracked memory of this module), and the string-keyed
 * wrappers.
 *
 * No lock inside: each user serialises every call on a table with a lock of
 * its own. Nothing here logs.
 */
#define MSG_MODULE "zem_str_hash"

#include <cstdint>
#include <cstring>

#include "base/msg_alloc.h"
#include "containers/zem_hash.h"

namespace {

// Key dup hook: a tracked copy of the string; 0 (which makes the insert fail)
// for a NULL key or when the copy cannot be made.
ZemWord StrKeyCopy(ZemWord key) {
    const char *src = reinterpret_cast<const char *>(key);
    if (src == nullptr) {
        return 0;
    }
    size_t size = strlen(src) + 1;
    auto *copy = static_cast<char *>(MSG_MALLOC(size));
    if (copy == nullptr) {
        return 0;
    }
    memcpy(copy, src, size);
    return reinterpret_cast<ZemWord>(copy);
}

// Key free hook: gives a copy made by StrKeyCopy back.
void StrKeyRelease(ZemWord key) {
    MSG_FREE(reinterpret_cast<void *>(key));
}

const ZemDataHooks kStrKeyHooks = {StrKeyCopy, StrKeyRelease};

} // namespace

extern "C" {

// A NULL string hashes as the empty string and equals only another NULL, so
// a stray NULL key finds nothing instead of crashing.
uint64_t ZEM_HashCodeCalcStr(ZemWord key, uint64_t bucketCount) {
    uint64_t h = 0;
    const auto *bytes = reinterpret_cast<const unsigned char *>(key);
    if (bytes != nullptr) {
        for (; *bytes != 0; ++bytes) {
            h = h * 131U + *bytes;
        }
    }
    auto low = static_cast<uint32_t>(h);
    return bucketCount != 0 ? low % bucketCount : low;
}

int ZEM_HashMatchStr(ZemWord probe, ZemWord stored) {
    const char *a = reinterpret_cast<const char *>(probe);
    const char *b = reinterpret_cast<const char *>(stored);
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    return strcmp(a, b) == 0;
}

ZemHashTable *ZEM_StrHashCreate(uint64_t bucketCount) {
    return ZEM_HashCreate(bucketCount, ZEM_HashCodeCalcStr, ZEM_HashMatchStr, &kStrKeyHooks, nullptr);
}

uint32_t ZEM_StrHashInsert(ZemHashTable *table, const char *key, ZemWord value) {
    return ZEM_HashInsert(table, reinterpret_cast<ZemWord>(key), value);
}

ListNode *ZEM_StrHashFind(ZemHashTable *table, const char *key) {
    return ZEM_HashFind(table, reinterpret_cast<ZemWord>(key));
}

ListNode *ZEM_StrHashErase(ZemHashTable *table, const char *key) {
    return ZEM_HashErase(table, reinterpret_cast<ZemWord>(key));
}

} // extern "C"

/*
 * The generic chained hash table: the inner bucket table (chains of link
 * nodes reached through two adapters), the handle that wraps each pair in a
 * DataEntry, and the integer-keyed wrappers.
 *
 * No lock inside: each user serialises every call on a table with a lock of
 * its own. Nothing here logs; failures are reported only through results.
 */
#define MSG_MODULE "zem_hash_impl"

#include <cstddef>
#include <cstdint>

#include "base/msg_alloc.h"
#include "containers/zem_hash.h"

namespace {

constexpr uint32_t kHashClearFailed = 0xFFFFFFFFU;

DataEntry *EntryOf(ListNode *link) {
    return reinterpret_cast<DataEntry *>(reinterpret_cast<char *>(link) - offsetof(DataEntry, link));
}

const DataEntry *EntryOf(const ListNode *link) {
    return reinterpret_cast<const DataEntry *>(reinterpret_cast<const char *>(link) - offsetof(DataEntry, link));
}

void ChainInitEmpty(ListNode *head) {
    head->next = head;
    head->prev = head;
}

// Links node just before head, i.e. at the tail of the chain.
void ChainLinkTail(ListNode *head, ListNode *node) {
    node->next = head;
    node->prev = head->prev;
    head->prev->next = node;
    head->prev = node;
}

void ChainUnlink(ListNode *node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
}

// Sets up the inner table with a fresh bucket array of bucketCount empty
// chains; false (buckets left NULL) when the array cannot be had. The caller
// has checked that the array's byte size does not overflow.
bool HashBucketTableFill(HashBucketTable *impl, uint64_t bucketCount) {
    impl->bucketCount = bucketCount;
    impl->nodeMatch = AdaptDataEntryMatch;
    impl->nodeKey = AdaptDataEntryKey;
    impl->buckets = static_cast<ListNode *>(MSG_MALLOC(static_cast<size_t>(bucketCount) * sizeof(ListNode)));
    if (impl->buckets == nullptr) {
        return false;
    }
    for (uint64_t i = 0; i < bucketCount; ++i) {
        ChainInitEmpty(&impl->buckets[i]);
    }
    return true;
}

// Releases every entry (with the release hooks) and the bucket array.
void HashBucketTableRelease(HashBucketTable *impl) {
    if (impl->buckets == nullptr) {
        return;
    }
    for (uint64_t i = 0; i < impl->bucketCount; ++i) {
        ListNode *head = &impl->buckets[i];
        ListNode *link = head->next;
        while (link != head) {
            ListNode *next = link->next;
            FreeListNode(link);
            link = next;
        }
    }
    MSG_FREE(impl->buckets);
    impl->buckets = nullptr;
}

bool BucketCountFits(uint64_t bucketCount) {
    return bucketCount != 0 && bucketCount <= SIZE_MAX / sizeof(ListNode);
}

// The signed key widens to a signed 64-bit value first, so -1 becomes the
// all-ones word.
ZemWord IntKeyWord(int32_t key) {
    return static_cast<ZemWord>(static_cast<int64_t>(key));
}

} // namespace

extern "C" {

uint64_t AdaptDataEntryKey(const ListNode *link, uint64_t bucketCount) {
    (void)bucketCount; // the owner's own count decides, as at insertion
    const DataEntry *entry = EntryOf(link);
    return entry->owner->hashFunc(entry->key, entry->owner->bucketCount);
}

int AdaptDataEntryMatch(const ListNode *probe, const ListNode *candidate) {
    const DataEntry *probeEntry = EntryOf(probe);
    ZemMatchFunc match = probeEntry->owner->matchFunc;
    if (match == nullptr) {
        return 0;
    }
    return match(probeEntry->key, EntryOf(candidate)->key);
}

ListNode *HashFirstNodeByBktIndex(HashBucketTable *impl, uint64_t index) {
    if (impl == nullptr || impl->buckets == nullptr) {
        return nullptr;
    }
    for (uint64_t i = index; i < impl->bucketCount; ++i) {
        ListNode *head = &impl->buckets[i];
        if (head->next != head) {
            return head->next;
        }
    }
    return nullptr;
}

ListNode *HashFirstNode(HashBucketTable *impl) {
    return HashFirstNodeByBktIndex(impl, 0);
}

ListNode *HashNextNode(HashBucketTable *impl, ListNode *link) {
    uint64_t bucket = impl->nodeKey(link, impl->bucketCount);
    if (impl->buckets[bucket].prev != link) {
        return link->next;
    }
    return HashFirstNodeByBktIndex(impl, bucket + 1);
}

void FreeDataEntry(DataEntry *entry) {
    const ZemHashTable *owner = entry->owner;
    if (owner->keyHooks.free != nullptr) {
        owner->keyHooks.free(entry->key);
    }
    if (owner->valueHooks.free != nullptr) {
        owner->valueHooks.free(entry->value);
    }
    MSG_FREE(entry);
}

void FreeListNode(ListNode *link) {
    FreeDataEntry(EntryOf(link));
}

void ZemHashHookRegister(ZemHashTable *table, ZemHashFunc hashFunc, ZemMatchFunc matchFunc,
                         const ZemDataHooks *keyHooks, const ZemDataHooks *valueHooks) {
    if (table == nullptr) {
        return;
    }
    table->hashFunc = hashFunc != nullptr ? hashFunc : ZEM_HashCodeCalcInt;
    table->matchFunc = matchFunc != nullptr ? matchFunc : ZEM_HashMatchInt;
    table->keyHooks = keyHooks != nullptr ? *keyHooks : ZemDataHooks{nullptr, nullptr};
    table->valueHooks = valueHooks != nullptr ? *valueHooks : ZemDataHooks{nullptr, nullptr};
}

ZemHashTable *ZEM_HashCreate(uint64_t bucketCount, ZemHashFunc hashFunc, ZemMatchFunc matchFunc,
                             const ZemDataHooks *keyHooks, const ZemDataHooks *valueHooks) {
    if (!BucketCountFits(bucketCount)) {
        return nullptr;
    }
    auto *impl = static_cast<HashBucketTable *>(MSG_MALLOC(sizeof(HashBucketTable)));
    if (impl == nullptr) {
        return nullptr;
    }
    if (!HashBucketTableFill(impl, bucketCount)) {
        MSG_FREE(impl);
        return nullptr;
    }
    auto *table = static_cast<ZemHashTable *>(MSG_CALLOC(1, sizeof(ZemHashTable)));
    if (table == nullptr) {
        HashBucketTableRelease(impl);
        MSG_FREE(impl);
        return nullptr;
    }
    table->bucketCount = bucketCount;
    ZemHashHookRegister(table, hashFunc, matchFunc, keyHooks, valueHooks);
    table->impl = impl;
    table->size = 0;
    return table;
}

ListNode *ZEM_HashIterEnd(ZemHashTable *table) {
    if (table == nullptr || table->impl->buckets == nullptr) {
        return nullptr;
    }
    return &table->impl->buckets[table->bucketCount - 1];
}

ListNode *ZEM_HashFind(ZemHashTable *table, ZemWord key) {
    ListNode *end = ZEM_HashIterEnd(table);
    if (end == nullptr) {
        return end;
    }
    DataEntry probe{key, 0, table, {nullptr, nullptr}};
    HashBucketTable *impl = table->impl;
    ListNode *head = &impl->buckets[table->hashFunc(key, table->bucketCount)];
    for (ListNode *link = head->next; link != head; link = link->next) {
        if (impl->nodeMatch(&probe.link, link)) {
            return link;
        }
    }
    return end;
}

uint32_t ZEM_HashInsert(ZemHashTable *table, ZemWord key, ZemWord value) {
    ListNode *end = ZEM_HashIterEnd(table);
    if (end == nullptr || ZEM_HashFind(table, key) != end) {
        return 1;
    }
    auto *entry = static_cast<DataEntry *>(MSG_MALLOC(sizeof(DataEntry)));
    if (entry == nullptr) {
        return 1;
    }
    if (table->keyHooks.dup != nullptr) {
        entry->key = table->keyHooks.dup(key);
        if (entry->key == 0) {
            MSG_FREE(entry);
            return 1;
        }
    } else {
        entry->key = key;
    }
    entry->value = table->valueHooks.dup != nullptr ? table->valueHooks.dup(value) : value;
    entry->owner = table;
    ChainLinkTail(&table->impl->buckets[table->hashFunc(entry->key, table->bucketCount)], &entry->link);
    ++table->size;
    return 0;
}

uint32_t ZEM_HashAt(ZemHashTable *table, ZemWord key, ZemWord *value) {
    ListNode *found = ZEM_HashFind(table, key);
    if (found == ZEM_HashIterEnd(table)) {
        return 1;
    }
    if (value != nullptr) {
        *value = EntryOf(found)->value;
    }
    return 0;
}

ListNode *ZEM_HashErase(ZemHashTable *table, ZemWord key) {
    ListNode *end = ZEM_HashIterEnd(table);
    ListNode *found = ZEM_HashFind(table, key);
    if (found == end) {
        return end;
    }
    ListNode *following = HashNextNode(table->impl, found);
    ChainUnlink(found);
    --table->size;
    FreeListNode(found);
    return following != nullptr ? following : end;
}

uint32_t ZEM_HashClear(ZemHashTable *table) {
    if (table == nullptr) {
        return kHashClearFailed;
    }
    HashBucketTableRelease(table->impl);
    table->size = 0;
    return HashBucketTableFill(table->impl, table->bucketCount) ? 0 : kHashClearFailed;
}

uint32_t ZEM_HashRehash(ZemHashTable *table, uint64_t bucketCount) {
    if (table == nullptr || table->impl->buckets == nullptr || !BucketCountFits(bucketCount)) {
        return 1;
    }
    auto *buckets = static_cast<ListNode *>(MSG_MALLOC(static_cast<size_t>(bucketCount) * sizeof(ListNode)));
    if (buckets == nullptr) {
        return 1;
    }
    for (uint64_t i = 0; i < bucketCount; ++i) {
        ChainInitEmpty(&buckets[i]);
    }
    HashBucketTable *impl = table->impl;
    for (uint64_t i = 0; i < impl->bucketCount; ++i) {
        ListNode *head = &impl->buckets[i];
        while (head->next != head) {
            ListNode *link = head->next;
            ChainUnlink(link);
            ChainLinkTail(&buckets[table->hashFunc(EntryOf(link)->key, bucketCount)], link);
        }
    }
    MSG_FREE(impl->buckets);
    impl->buckets = buckets;
    impl->bucketCount = bucketCount;
    table->bucketCount = bucketCount;
    return 0;
}

void ZEM_HashDestory(ZemHashTable *table) {
    if (table == nullptr) {
        return;
    }
    HashBucketTableRelease(table->impl);
    MSG_FREE(table->impl);
    MSG_FREE(table);
}

uint64_t ZEM_HashSize(const ZemHashTable *table) {
    return table != nullptr ? table->size : 0;
}

int ZEM_HashEmpty(const ZemHashTable *table) {
    return ZEM_HashSize(table) == 0;
}

ListNode *ZEM_HashIterBegin(ZemHashTable *table) {
    ListNode *first = table != nullptr ? HashFirstNode(table->impl) : nullptr;
    return first != nullptr ? first : ZEM_HashIterEnd(table);
}

ListNode *ZEM_HashIterNext(ZemHashTable *table, ListNode *position) {
    ListNode *end = ZEM_HashIterEnd(table);
    if (position == nullptr || position == end) {
        return end;
    }
    ListNode *next = HashNextNode(table->impl, position);
    return next != nullptr ? next : end;
}

ZemWord ZEM_HashIterKey(ListNode *position) {
    return position != nullptr ? EntryOf(position)->key : 0;
}

ZemWord ZEM_HashIterValue(ListNode *position) {
    return position != nullptr ? EntryOf(position)->value : 0;
}

uint64_t ZEM_HashCodeCalcInt(ZemWord key, uint64_t bucketCount) {
    auto k = static_cast<uint32_t>(key);
    k = ~k + (k << 15);
    k = k ^ (k >> 12);
    k = k + (k << 2);
    k = k ^ (k >> 4);
    k = k + (k << 3) + (k << 11);
    k = k ^ (k >> 16);
    return bucketCount != 0 ? k % bucketCount : k;
}

int ZEM_HashMatchInt(ZemWord probe, ZemWord stored) {
    return static_cast<uint64_t>(probe) == static_cast<uint64_t>(stored);
}

ZemHashTable *ZEM_IntHashCreate(uint64_t bucketCount) {
    return ZEM_HashCreate(bucketCount, ZEM_HashCodeCalcInt, ZEM_HashMatchInt, nullptr, nullptr);
}

uint32_t ZEM_IntHashInsert(ZemHashTable *table, int32_t key, ZemWord value) {
    return ZEM_HashInsert(table, IntKeyWord(key), value);
}

ListNode *ZEM_IntHashFind(ZemHashTable *table, int32_t key) {
    return ZEM_HashFind(table, IntKeyWord(key));
}

ListNode *ZEM_IntHashErase(ZemHashTable *table, int32_t key) {
    return ZEM_HashErase(table, IntKeyWord(key));
}

} // extern "C"

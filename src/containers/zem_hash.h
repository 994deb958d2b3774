/*
 * Chained hash table from one machine word (an integer, or a pointer such as
 * a C string) to another, with optional duplication and release hooks for
 * keys and values.
 *
 * Two layers: an inner bucket table (HashBucketTable) that knows only chains
 * of link nodes and two adapters, and the handle (ZemHashTable) that wraps
 * each pair in a DataEntry with a back pointer to its table, through which
 * the adapters reach the table's hash and match functions.
 *
 * Not thread-safe: every user guards a table with a lock of its own. Results
 * are 0 for success and 1 for failure (ZEM_HashClear: 0 or 0xFFFFFFFF);
 * allocation failures are reported only through results, never logged.
 *
 * Ownership: the table owns its entries, the inner table and the bucket
 * array. Keys and values are the caller's, unless dup hooks were given: then
 * the table owns the copies and releases them with the free hooks on erase,
 * clear and destroy.
 */
#ifndef VYRE_ZEM_HASH_H
#define VYRE_ZEM_HASH_H

#include <stdint.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A key or value: one machine word. */
typedef uintptr_t ZemWord;

/* Link of a circular doubly linked chain; a chain head is a ListNode of its
 * own and an empty chain points to itself. */
typedef struct ListNode {
    struct ListNode *next;
    struct ListNode *prev;
} ListNode;

typedef ZemWord (*ZemDupFunc)(ZemWord word);
typedef void (*ZemFreeFunc)(ZemWord word);

/* Optional hooks: dup makes the copy that is stored, free releases a stored
 * copy. Either may be NULL. */
typedef struct ZemDataHooks {
    ZemDupFunc dup;
    ZemFreeFunc free;
} ZemDataHooks;

typedef uint64_t (*ZemHashFunc)(ZemWord key, uint64_t bucketCount);
/* Non-zero when probe and stored keys are equal. */
typedef int (*ZemMatchFunc)(ZemWord probe, ZemWord stored);

typedef struct ZemHashTable ZemHashTable;

/* One stored pair. An iterator (position) is the address of an entry's link. */
typedef struct DataEntry {
    ZemWord key;
    ZemWord value;
    ZemHashTable *owner;
    ListNode link;
} DataEntry;

typedef int (*HashNodeMatchFunc)(const ListNode *probe, const ListNode *candidate);
typedef uint64_t (*HashNodeKeyFunc)(const ListNode *link, uint64_t bucketCount);

/* The inner layer. */
typedef struct HashBucketTable {
    uint64_t bucketCount;
    HashNodeMatchFunc nodeMatch; /* always AdaptDataEntryMatch */
    HashNodeKeyFunc nodeKey;     /* always AdaptDataEntryKey */
    ListNode *buckets;           /* bucketCount chain heads */
} HashBucketTable;

struct ZemHashTable {
    ZemHashFunc hashFunc;   /* never NULL; default ZEM_HashCodeCalcInt */
    ZemMatchFunc matchFunc; /* never NULL; default ZEM_HashMatchInt */
    ZemDataHooks keyHooks;
    ZemDataHooks valueHooks;
    uint64_t bucketCount;
    HashBucketTable *impl;
    uint64_t size;
};

/* Creates a table of bucketCount buckets (a count of 0, or one whose bucket
 * array would not fit in memory, gives NULL). NULL hash / match functions
 * select the integer defaults; NULL hook pairs store words unchanged. NULL
 * when memory is short; nothing is left allocated then. */
OS_MSG_API ZemHashTable *ZEM_HashCreate(uint64_t bucketCount, ZemHashFunc hashFunc, ZemMatchFunc matchFunc,
                                        const ZemDataHooks *keyHooks, const ZemDataHooks *valueHooks);
/* Sets the hash and match functions (NULL selects the integer defaults) and
 * copies the hook pairs (NULL clears a pair). Touches nothing else. */
OS_MSG_API void ZemHashHookRegister(ZemHashTable *table, ZemHashFunc hashFunc, ZemMatchFunc matchFunc,
                                    const ZemDataHooks *keyHooks, const ZemDataHooks *valueHooks);
/* Inserts a pair: 0 on success; 1 when the key is present (nothing changes),
 * memory is short, or the key dup hook yields 0. */
OS_MSG_API uint32_t ZEM_HashInsert(ZemHashTable *table, ZemWord key, ZemWord value);
/* The entry whose key matches, else ZEM_HashIterEnd(table). */
OS_MSG_API ListNode *ZEM_HashFind(ZemHashTable *table, ZemWord key);
/* 0 when found (the value is stored in *value when value is not NULL), 1 when
 * not found. */
OS_MSG_API uint32_t ZEM_HashAt(ZemHashTable *table, ZemWord key, ZemWord *value);
/* Erases the key's entry (with the release hooks) and returns the position
 * that followed it, or the end position when the key is absent or nothing
 * follows. */
OS_MSG_API ListNode *ZEM_HashErase(ZemHashTable *table, ZemWord key);
/* Removes every entry and starts a fresh bucket array: 0, or 0xFFFFFFFF when
 * the new array cannot be had (the table is then empty without buckets: only
 * ZEM_HashDestory, ZEM_HashClear, size and emptiness queries, and find / at /
 * erase / iteration, which see an empty table, may follow). */
OS_MSG_API uint32_t ZEM_HashClear(ZemHashTable *table);
/* Moves every entry into a new array of bucketCount buckets (iteration
 * positions stay valid; the iteration order changes). 0; 1 when the count is
 * 0 or too large or the array cannot be had, and then the table is as it
 * was. Lets a table whose size is not known in advance keep its chains
 * short. Internal: not exported. */
uint32_t ZEM_HashRehash(ZemHashTable *table, uint64_t bucketCount);
/* Releases every entry (with the release hooks) and the table. NULL is
 * ignored. */
OS_MSG_API void ZEM_HashDestory(ZemHashTable *table);
OS_MSG_API uint64_t ZEM_HashSize(const ZemHashTable *table);
OS_MSG_API int ZEM_HashEmpty(const ZemHashTable *table);

/* Iteration: bucket index ascending, insertion order within a bucket. A
 * position stays valid until its entry is erased or the table is cleared or
 * destroyed. */
OS_MSG_API ListNode *ZEM_HashIterBegin(ZemHashTable *table);
OS_MSG_API ListNode *ZEM_HashIterNext(ZemHashTable *table, ListNode *position);
/* The end position: the head of the last bucket's chain, never an entry. */
OS_MSG_API ListNode *ZEM_HashIterEnd(ZemHashTable *table);
OS_MSG_API ZemWord ZEM_HashIterKey(ListNode *position);
/* 0 for a NULL position. */
OS_MSG_API ZemWord ZEM_HashIterValue(ListNode *position);

/* Thomas Wang's 32-bit integer hash of the key's low 32 bits, reduced modulo
 * bucketCount when it is not 0. */
OS_MSG_API uint64_t ZEM_HashCodeCalcInt(ZemWord key, uint64_t bucketCount);
/* Equal when the two 64-bit words are equal. */
OS_MSG_API int ZEM_HashMatchInt(ZemWord probe, ZemWord stored);
/* h = h * 131 + byte over the C string at key, low 32 bits, reduced modulo
 * bucketCount when it is not 0. */
OS_MSG_API uint64_t ZEM_HashCodeCalcStr(ZemWord key, uint64_t bucketCount);
/* Equal when strcmp gives 0. */
OS_MSG_API int ZEM_HashMatchStr(ZemWord probe, ZemWord stored);

/* Integer keys: the signed 32-bit key is sign-extended to the key word. */
OS_MSG_API ZemHashTable *ZEM_IntHashCreate(uint64_t bucketCount);
OS_MSG_API uint32_t ZEM_IntHashInsert(ZemHashTable *table, int32_t key, ZemWord value);
OS_MSG_API ListNode *ZEM_IntHashFind(ZemHashTable *table, int32_t key);
OS_MSG_API ListNode *ZEM_IntHashErase(ZemHashTable *table, int32_t key);

/* String keys: the table stores its own copy of each key string (tracked
 * memory of module "zem_str_hash") and releases it with the entry. */
OS_MSG_API ZemHashTable *ZEM_StrHashCreate(uint64_t bucketCount);
OS_MSG_API uint32_t ZEM_StrHashInsert(ZemHashTable *table, const char *key, ZemWord value);
OS_MSG_API ListNode *ZEM_StrHashFind(ZemHashTable *table, const char *key);
OS_MSG_API ListNode *ZEM_StrHashErase(ZemHashTable *table, const char *key);

/* Inner layer. */
/* The owner's hashFunc applied to the entry's key and the owner's count. */
OS_MSG_API uint64_t AdaptDataEntryKey(const ListNode *link, uint64_t bucketCount);
/* The probe owner's matchFunc applied to (probe key, candidate key); 0 when
 * that function is NULL. */
OS_MSG_API int AdaptDataEntryMatch(const ListNode *probe, const ListNode *candidate);
/* First link of the first non-empty bucket at or after index; NULL when the
 * index is not below the bucket count or all later buckets are empty. */
OS_MSG_API ListNode *HashFirstNodeByBktIndex(HashBucketTable *impl, uint64_t index);
OS_MSG_API ListNode *HashFirstNode(HashBucketTable *impl);
/* The link after this one in iteration order, or NULL at the end. */
OS_MSG_API ListNode *HashNextNode(HashBucketTable *impl, ListNode *link);
/* Calls the owner's key free hook, then its value free hook (each if set),
 * then releases the entry. */
OS_MSG_API void FreeDataEntry(DataEntry *entry);
/* FreeDataEntry of the entry that contains link. */
OS_MSG_API void FreeListNode(ListNode *link);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_ZEM_HASH_H */

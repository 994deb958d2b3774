// The containers. The chained hash table: fixed hash values, iteration order,
// erase while iterating, hooks, key kinds, bad input and allocation failures.
// The circular list: bad input, allocation failure, positional insertion,
// erase while iterating, and hooks on insertion, removal and deinit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "containers/zem_hash.h"
#include "containers/zem_list.h"
#include "support/mem_check.h"
#include "vyre_os_mem.h"

namespace {

using Pairs = std::vector<std::pair<ZemWord, ZemWord>>;

Pairs Contents(ZemHashTable *t) {
    Pairs out;
    for (ListNode *p = ZEM_HashIterBegin(t); p != ZEM_HashIterEnd(t); p = ZEM_HashIterNext(t, p)) {
        out.emplace_back(ZEM_HashIterKey(p), ZEM_HashIterValue(p));
    }
    return out;
}

// Key k goes to bucket (k / 10) mod count: a test chooses who shares a chain.
uint64_t TensHash(ZemWord key, uint64_t count) {
    return (key / 10) % count;
}

// Keys 75 3 71 12 1 79 18 2 40, in this order, each with twice its value.
ZemHashTable *TensTable(uint64_t buckets) {
    ZemHashTable *t = ZEM_HashCreate(buckets, TensHash, nullptr, nullptr, nullptr);
    for (ZemWord k : {75, 3, 71, 12, 1, 79, 18, 2, 40}) {
        EXPECT_EQ(ZEM_HashInsert(t, k, k * 2), 0U);
    }
    return t;
}

// Their order in 8 buckets: 0 (3 1 2), 1 (12 18), 4 (40), 7 (75 71 79), insertion order kept within each.
const Pairs kTensInOrder{{3, 6}, {1, 2}, {2, 4}, {12, 24}, {18, 36}, {40, 80}, {75, 150}, {71, 142}, {79, 158}};

ZemWord Str(const char *s) {
    return reinterpret_cast<ZemWord>(s);
}

// Integer keys count with their low 32 bits only; string bytes are unsigned.
TEST(HashFunctions, GiveTheFixedValues) {
    struct Case {
        ZemHashFunc hash;
        ZemWord key;
        uint64_t raw, bucket;
    };
    const ZemHashFunc i = ZEM_HashCodeCalcInt, s = ZEM_HashCodeCalcStr;
    const Case cases[] = {
        {i, 0, 0xCAA3CAA3U, 35},         {i, 1, 0x12D60BF6U, 118},         {i, UINT64_MAX, 0xBD55FC18U, 24},
        {i, 0x20000CU, 0xCD0BFAAAU, 42}, {i, 1ULL << 32, 0xCAA3CAA3U, 35}, {s, Str(""), 0, 0},
        {s, Str("a"), 97, 97},           {s, Str("abc"), 1677554, 114},    {s, Str("pmsg"), 253671909, 101},
        {s, Str("\xff"), 255, 127}};
    for (const Case &c : cases) {
        SCOPED_TRACE(&c - cases);
        EXPECT_EQ(c.hash(c.key, 0), c.raw);
        EXPECT_EQ(c.hash(c.key, 128), c.bucket);
    }
}

class HashTable : public MemBalanceTest {};

TEST_F(HashTable, RehashKeepsEveryEntryAndPositionAndChainOrder) {
    ZemHashTable *t = TensTable(2);
    ListNode *at71 = ZEM_HashFind(t, 71);
    ASSERT_EQ(ZEM_HashRehash(t, 8), 0U);
    EXPECT_EQ(t->bucketCount, 8U);
    EXPECT_EQ(Contents(t), kTensInOrder);
    EXPECT_EQ(ZEM_HashFind(t, 71), at71) << "positions survive";
    EXPECT_EQ(ZEM_HashIterKey(ZEM_HashErase(t, 71)), 79U);
    OSMemSetFailCountdown(1);
    EXPECT_EQ(ZEM_HashRehash(t, 64), 1U) << "no memory for the buckets";
    EXPECT_EQ(ZEM_HashRehash(t, 0), 1U);
    EXPECT_EQ(t->bucketCount, 8U);
    EXPECT_EQ(Contents(t).size(), 8U);
    ZEM_HashDestory(t);
}

TEST_F(HashTable, IteratesByBucketThenInsertionAndErasesWhileIterating) {
    ZemHashTable *t = TensTable(8);
    EXPECT_EQ(ZEM_HashInsert(t, 71, 0), 1U) << "a present key is refused";
    ZemWord v = 0;
    EXPECT_TRUE(ZEM_HashAt(t, 71, &v) == 0U && v == 142U) << "the first value stays";
    EXPECT_EQ(ZEM_HashAt(t, 5, &v), 1U);
    // Erase hands back the entry that follows: in the same chain (3), in a later chain (2, 18), inside the last
    // chain, whose head is the end (75), then none (79). Every entry is still visited once.
    Pairs visited;
    for (ListNode *p = ZEM_HashIterBegin(t); p != ZEM_HashIterEnd(t);) {
        ZemWord k = ZEM_HashIterKey(p);
        visited.emplace_back(k, ZEM_HashIterValue(p));
        p = (k == 3 || k == 2 || k == 18 || k == 75 || k == 79) ? ZEM_HashErase(t, k) : ZEM_HashIterNext(t, p);
    }
    EXPECT_EQ(visited, kTensInOrder);
    EXPECT_EQ(Contents(t), (Pairs{{1, 2}, {12, 24}, {40, 80}, {71, 142}}));
    EXPECT_EQ(ZEM_HashErase(t, 79), ZEM_HashIterEnd(t));
    EXPECT_EQ(ZEM_HashSize(t), 4U);
    ZEM_HashDestory(t);
}

// Every hook call is recorded in order; dup adds Offset, yet 0 stays 0 (a failed dup).
std::string g_events;
template <char Tag, ZemWord Offset> ZemWord Dup(ZemWord w) {
    g_events += Tag + std::string("dup") + std::to_string(w) + " ";
    return w == 0 ? 0 : w + Offset;
}
template <char Tag> void Release(ZemWord w) {
    g_events += Tag + std::string("free") + std::to_string(w) + " ";
}

TEST_F(HashTable, HooksCopyOnInsertAndReleaseKeyThenValueOnEveryRemoval) {
    ZemDataHooks keys{Dup<'k', 1000>, Release<'k'>}, values{Dup<'v', 2000>, Release<'v'>};
    ZemHashTable *t = ZEM_HashCreate(4, TensHash, nullptr, &keys, &values);
    ASSERT_EQ(ZEM_HashInsert(t, 1, 5), 0U);
    EXPECT_EQ(ZEM_HashInsert(t, 1001, 6), 1U) << "the stored copy is the key";
    EXPECT_EQ(ZEM_HashInsert(t, 0, 6), 1U) << "key dup yielding none";
    ASSERT_EQ(ZEM_HashInsert(t, 3, 0), 0U) << "value dup yielding none";
    ASSERT_EQ(ZEM_HashInsert(t, 11, 11), 0U);
    EXPECT_EQ(g_events, "kdup1 vdup5 kdup0 kdup3 vdup0 kdup11 vdup11 ");
    g_events.clear();
    EXPECT_EQ(ZEM_HashErase(t, 1001), ZEM_HashFind(t, 1003));
    ASSERT_EQ(ZEM_HashClear(t), 0U);
    ASSERT_EQ(ZEM_HashInsert(t, 7, 8), 0U) << "hooks survive a clear";
    ZEM_HashDestory(t);
    EXPECT_EQ(g_events, "kfree1001 vfree2005 kfree1003 vfree0 kfree1011 vfree2011 kdup7 vdup8 kfree1007 vfree2008 ");
}

TEST_F(HashTable, IntegerKeysAreSignExtendedStringKeysCopiedAndBadInputRefused) {
    ZemHashTable *t = ZEM_IntHashCreate(128);
    ASSERT_EQ(ZEM_IntHashInsert(t, -1, 1), 0U);
    ASSERT_EQ(ZEM_HashInsert(t, 0xFFFFFFFFU, 2), 0U) << "shares -1's chain, yet is another key";
    EXPECT_EQ(ZEM_HashIterKey(ZEM_IntHashFind(t, -1)), UINT64_MAX);
    EXPECT_EQ(ZEM_HashIterValue(ZEM_IntHashErase(t, -1)), 2U);
    ZEM_HashDestory(t);

    t = ZEM_StrHashCreate(128);
    char name[16] = "pmsg";
    ASSERT_EQ(ZEM_StrHashInsert(t, name, 1), 0U);
    strcpy(name, "other");
    ListNode *stored = ZEM_StrHashFind(t, "pmsg");
    ASSERT_NE(stored, ZEM_HashIterEnd(t)) << "the table keeps its own copy";
    EXPECT_EQ(ZEM_StrHashInsert(t, "pmsg", 2) & ZEM_StrHashInsert(t, nullptr, 2), 1U);
    EXPECT_EQ(ZEM_StrHashFind(t, nullptr), ZEM_HashIterEnd(t));
    ASSERT_EQ(ZEM_StrHashInsert(t, "abc", 4), 0U); // bucket 114, after "pmsg" in 101
    auto *ownCopy = reinterpret_cast<const char *>(ZEM_HashIterKey(stored));
    EXPECT_EQ(ZEM_StrHashErase(t, ownCopy), ZEM_StrHashFind(t, "abc")) << "erasing by the table's own copy";
    ZEM_HashDestory(t);

    EXPECT_TRUE(ZEM_IntHashCreate(0) == nullptr &&
                ZEM_HashCreate(SIZE_MAX / 16 + 1, nullptr, nullptr, nullptr, nullptr) == nullptr);
    EXPECT_EQ(ZEM_HashInsert(nullptr, 1, 1) & ZEM_HashAt(nullptr, 1, nullptr), 1U);
    EXPECT_TRUE(ZEM_HashFind(nullptr, 1) == nullptr && ZEM_HashErase(nullptr, 1) == nullptr);
    EXPECT_TRUE(ZEM_HashClear(nullptr) == 0xFFFFFFFFU && ZEM_HashEmpty(nullptr));
    EXPECT_EQ(ZEM_HashIterBegin(nullptr), ZEM_HashIterEnd(nullptr));
    ZEM_HashDestory(nullptr);
}

// Each allocation of create, inserts and clear fails in turn; a table whose clear failed is empty and recovers.
TEST_F(HashTable, EveryAllocationFailureIsReportedWithoutLeaks) {
    auto op = [] {
        ZemHashTable *t = ZEM_StrHashCreate(4);
        bool failed = t == nullptr || ZEM_StrHashInsert(t, "a", 1) != 0;
        if (!failed && ZEM_StrHashInsert(t, "b", 2) != 0) {
            failed = true;
            EXPECT_EQ(ZEM_HashSize(t), 1U);
        }
        if (!failed && ZEM_HashClear(t) != 0) {
            failed = true;
            EXPECT_TRUE(ZEM_HashEmpty(t) && ZEM_HashAt(t, Str("a"), nullptr) == 1U);
            ListNode *end = ZEM_HashIterEnd(t);
            EXPECT_TRUE(ZEM_HashIterBegin(t) == end && ZEM_StrHashFind(t, "a") == end &&
                        ZEM_StrHashErase(t, "a") == end);
            EXPECT_EQ(ZEM_HashClear(t), 0U);
            EXPECT_EQ(ZEM_StrHashInsert(t, "a", 1), 0U);
        }
        ZEM_HashDestory(t);
        return failed ? 1U : 0U;
    };
    uint64_t start = UsedBlocks();
    EXPECT_EQ(SweepAllocFailures(op,
                                 [&](int, bool failed, uint32_t result) {
                                     EXPECT_EQ(result, failed ? 1U : 0U);
                                     EXPECT_EQ(UsedBlocks(), start);
                                 }),
              8)
        << "three for the table, an entry and a key copy per insert, the bucket array of clear";
}

using Words = std::vector<ZemWord>;

// Walks forward through next and backward through prev; both must agree.
Words ListContents(ZemList *list) {
    Words forward, backward;
    for (ZemListNode *p = ZEM_ListIterBegin(list); p != ZEM_ListIterEnd(list); p = ZEM_ListIterNext(list, p)) {
        forward.push_back(ZEM_ListIterData(p));
    }
    for (ZemListNode *p = ZEM_ListIterEnd(list)->prev; p != ZEM_ListIterEnd(list); p = p->prev) {
        backward.insert(backward.begin(), p->data);
    }
    EXPECT_EQ(forward, backward) << "next and prev links disagree";
    return forward;
}

// ListDup adds 100 (7 yields none); every hook call is recorded in order.
std::string g_listEvents;
ZemWord ListDup(ZemWord w) {
    g_listEvents += "dup" + std::to_string(w) + " ";
    return w == 7 ? 0 : w + 100;
}
void ListRelease(ZemWord w) {
    g_listEvents += "free" + std::to_string(w) + " ";
}

class List : public MemBalanceTest {};

TEST_F(List, KeepsOrderThroughInsertionsErasesWhileIteratingAndCallsEachHookOnce) {
    ZemList list;
    ZemDataHooks hooks{ListDup, ListRelease};
    ZEM_ListInit(&list, &hooks);
    // An empty or missing list answers zero, refuses, and calls no hook.
    EXPECT_EQ(ZEM_ListFront(&list) | ZEM_ListBack(&list) | ZEM_ListSize(&list), 0U);
    EXPECT_EQ(ZEM_ListIterNext(&list, ZEM_ListIterEnd(&list)), ZEM_ListIterEnd(&list));
    EXPECT_EQ(ZEM_ListIterErase(&list, ZEM_ListIterEnd(&list)), ZEM_ListIterEnd(&list));
    ZEM_ListPopFront(&list);
    ZEM_ListPopBack(&list);
    ZEM_ListDeinit(&list);
    EXPECT_EQ(list.hooks.free, &ListRelease) << "deinit of an empty list keeps its hooks";
    ZEM_ListInit(nullptr, nullptr);
    EXPECT_TRUE(ZEM_ListEmpty(nullptr));
    EXPECT_EQ(ZEM_ListPushFront(nullptr, 1) & ZEM_ListPushBack(nullptr, 1) & ZEM_ListInsert(&list, nullptr, 1), 1U);
    EXPECT_EQ(ZEM_ListFront(nullptr) | ZEM_ListBack(nullptr), 0U);
    EXPECT_EQ(ZEM_ListIterErase(nullptr, nullptr), nullptr);
    ZEM_ListDeinit(nullptr);
    EXPECT_TRUE(g_listEvents.empty());
    // A failed node allocation leaves the list unchanged and calls no hook.
    uint64_t start = UsedBlocks();
    EXPECT_EQ(SweepAllocFailures([&] { return ZEM_ListInsert(&list, ZEM_ListIterEnd(&list), 2); },
                                 [&](int, bool failed, uint32_t result) {
                                     EXPECT_EQ(result, failed ? 1U : 0U);
                                     EXPECT_EQ(g_listEvents, failed ? "" : "dup2 ");
                                     EXPECT_EQ(ListContents(&list), failed ? Words{} : Words{102});
                                     EXPECT_EQ(UsedBlocks(), start + (failed ? 0 : 1));
                                 }),
              1);

    ASSERT_EQ(ZEM_ListPushBack(&list, 4), 0U);
    ASSERT_EQ(ZEM_ListPushFront(&list, 1), 0U);
    ASSERT_EQ(ZEM_ListInsert(&list, ZEM_ListIterEnd(&list)->prev, 3), 0U);
    ASSERT_EQ(ZEM_ListPushBack(&list, 7), 0U) << "a dup yielding none still inserts";
    auto *node =
        static_cast<ZemListNode *>(OSMemTypeMallocMon(sizeof(ZemListNode), 0, 0, __LINE__, "zem_containers_test"));
    ASSERT_EQ(DupUserData(ListDup, node, 5), 0U);
    ZEM_RawListInsert(&list, ZEM_ListIterEnd(&list), node);
    const Words all{101, 102, 103, 104, 0, 105};
    EXPECT_EQ(ListContents(&list), all);
    EXPECT_EQ(ZEM_ListSize(&list), 6U);
    EXPECT_EQ(g_listEvents, "dup2 dup4 dup1 dup3 dup7 dup5 ");

    g_listEvents.clear();
    Words visited;
    for (ZemListNode *p = ZEM_ListIterBegin(&list); p != ZEM_ListIterEnd(&list);) {
        visited.push_back(ZEM_ListIterData(p));
        p = visited.back() % 2 == 0 ? ZEM_ListIterErase(&list, p) : ZEM_ListIterNext(&list, p);
    }
    EXPECT_EQ(visited, all);
    EXPECT_EQ(ListContents(&list), (Words{101, 103, 105}));
    EXPECT_TRUE(ZEM_ListFront(&list) == 101U && ZEM_ListBack(&list) == 105U);
    ZEM_ListPopBack(&list);
    ZEM_ListPushFront(&list, 6);
    ZEM_ListDeinit(&list);
    EXPECT_EQ(g_listEvents, "free102 free104 free0 free105 dup6 free106 free101 free103 ");
    EXPECT_TRUE(ZEM_ListSize(&list) == 0U && list.hooks.dup == nullptr && list.hooks.free == nullptr);
}

} // namespace

// Behaviour of the chained hash table: the fixed hash values, integer and
// string keys, iteration order, erase while iterating, hooks, clear,
// allocation failures and a randomized comparison against std::map.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "containers/zem_hash.h"
#include "support/mem_check.h"
#include "vyre_os_mem.h"

namespace {

ZemWord W(uint64_t v) {
    return static_cast<ZemWord>(v);
}
ZemWord S(const char *s) {
    return reinterpret_cast<ZemWord>(s);
}
const char *Str(ZemWord w) {
    return reinterpret_cast<const char *>(w);
}
int32_t Int(ZemWord w) {
    return static_cast<int32_t>(static_cast<int64_t>(w));
}

using Pairs = std::vector<std::pair<ZemWord, ZemWord>>;
Pairs Contents(ZemHashTable *t) {
    Pairs out;
    for (ListNode *p = ZEM_HashIterBegin(t); p != ZEM_HashIterEnd(t); p = ZEM_HashIterNext(t, p)) {
        out.emplace_back(ZEM_HashIterKey(p), ZEM_HashIterValue(p));
    }
    return out;
}

// Key k goes to bucket (k / 10) mod count, so a test chooses which keys share
// a chain.
uint64_t TensHash(ZemWord key, uint64_t count) {
    return (key / 10) % count;
}

TEST(HashFunctions, IntegerAndStringHashesGiveTheFixedValues) {
    struct IntCase {
        uint64_t key, raw, bucket;
    };
    for (const IntCase &c : {IntCase{0, 0xCAA3CAA3U, 35}, IntCase{1, 0x12D60BF6U, 118},
                             IntCase{UINT64_MAX, 0xBD55FC18U, 24}, IntCase{0xFFFFFFFFU, 0xBD55FC18U, 24},
                             IntCase{0x20000CU, 0xCD0BFAAAU, 42}, IntCase{0x100000000ULL, 0xCAA3CAA3U, 35}}) {
        EXPECT_EQ(ZEM_HashCodeCalcInt(W(c.key), 0), c.raw) << c.key;
        EXPECT_EQ(ZEM_HashCodeCalcInt(W(c.key), 128), c.bucket) << c.key;
    }
    struct StrCase {
        const char *key;
        uint64_t raw, bucket;
    };
    for (const StrCase &c : {StrCase{"", 0, 0}, StrCase{"a", 97, 97}, StrCase{"abc", 1677554, 114},
                             StrCase{"pmsg", 253671909, 101}, StrCase{"\xff", 255, 127}}) {
        EXPECT_EQ(ZEM_HashCodeCalcStr(S(c.key), 0), c.raw) << c.key;
        EXPECT_EQ(ZEM_HashCodeCalcStr(S(c.key), 128), c.bucket) << c.key;
    }
}

class HashTable : public MemBalanceTest {};

TEST_F(HashTable, CreateRefusesZeroAndOverflowingBucketCountsWithoutAllocating) {
    uint64_t before = UsedBlocks();
    EXPECT_EQ(ZEM_IntHashCreate(0), nullptr);
    EXPECT_EQ(ZEM_StrHashCreate(0), nullptr);
    EXPECT_EQ(ZEM_HashCreate(SIZE_MAX / sizeof(ListNode) + 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(UsedBlocks(), before);
    ZemHashTable *one = ZEM_IntHashCreate(1); // the smallest count works
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(ZEM_IntHashInsert(one, k, W(k)), 0U);
    }
    EXPECT_EQ(Contents(one).size(), 10U);
    ZEM_HashDestory(one);
}

TEST_F(HashTable, DuplicateInsertIsRefusedAndKeepsTheFirstValue) {
    ZemHashTable *t = ZEM_HashCreate(128, nullptr, nullptr, nullptr, nullptr); // integer defaults
    EXPECT_EQ(ZEM_HashInsert(t, W(0x20000C), W(100)), 0U);
    EXPECT_EQ(HashFirstNode(t->impl), HashFirstNodeByBktIndex(t->impl, 42)) << "placed in its hash's bucket";
    EXPECT_EQ(ZEM_HashInsert(t, W(0x20000C), W(200)), 1U);
    EXPECT_EQ(ZEM_HashSize(t), 1U);
    ZemWord v = 0;
    EXPECT_EQ(ZEM_HashAt(t, W(0x20000C), &v), 0U);
    EXPECT_EQ(v, W(100));
    EXPECT_EQ(ZEM_HashAt(t, W(0x20000C), nullptr), 0U);
    EXPECT_EQ(ZEM_HashAt(t, W(1), &v), 1U);
    EXPECT_EQ(ZEM_HashErase(t, W(1)), ZEM_HashIterEnd(t));
    EXPECT_EQ(ZEM_HashSize(t), 1U);
    ZEM_HashDestory(t);
}

TEST_F(HashTable, IntegerKeysAreSignExtendedAndMatchOnAll64Bits) {
    ZemHashTable *t = ZEM_IntHashCreate(128);
    ASSERT_EQ(ZEM_IntHashInsert(t, -1, W(1)), 0U);
    EXPECT_EQ(ZEM_HashFind(t, W(0xFFFFFFFFU)), ZEM_HashIterEnd(t));
    EXPECT_EQ(ZEM_HashIterKey(ZEM_IntHashFind(t, -1)), W(UINT64_MAX));
    // Both words hash alike, so they share a chain yet stay distinct keys.
    ASSERT_EQ(ZEM_HashInsert(t, W(0xFFFFFFFFU), W(2)), 0U);
    ZEM_IntHashErase(t, -1);
    EXPECT_EQ(ZEM_IntHashFind(t, -1), ZEM_HashIterEnd(t));
    EXPECT_EQ(ZEM_HashIterValue(ZEM_HashFind(t, W(0xFFFFFFFFU))), W(2));
    ZEM_HashDestory(t);
}

TEST_F(HashTable, IteratesByBucketThenInsertionAndEraseReturnsTheFollowingEntry) {
    ZemHashTable *t = ZEM_HashCreate(8, TensHash, nullptr, nullptr, nullptr);
    const uint64_t keys[] = {75, 3, 71, 12, 1, 79, 18, 2, 40};
    Pairs expected;
    for (uint64_t k : keys) {
        ASSERT_EQ(ZEM_HashInsert(t, W(k), W(k * 2)), 0U);
    }
    for (uint64_t bucket = 0; bucket < 8; ++bucket) {
        for (uint64_t k : keys) {
            if (TensHash(k, 8) == bucket) {
                expected.emplace_back(W(k), W(k * 2));
            }
        }
    }
    EXPECT_EQ(Contents(t), expected);
    // Following entry in the same chain, in a later chain, inside the last
    // chain (whose head is the end position), then none.
    EXPECT_EQ(ZEM_HashErase(t, W(1)), ZEM_HashFind(t, W(2)));
    EXPECT_EQ(ZEM_HashErase(t, W(2)), ZEM_HashFind(t, W(12)));
    EXPECT_EQ(ZEM_HashErase(t, W(75)), ZEM_HashFind(t, W(71)));
    EXPECT_EQ(ZEM_HashErase(t, W(71)), ZEM_HashFind(t, W(79)));
    EXPECT_EQ(ZEM_HashErase(t, W(79)), ZEM_HashIterEnd(t));
    EXPECT_EQ(ZEM_HashSize(t), 4U);
    ZEM_HashDestory(t);
}

TEST_F(HashTable, EraseWhileIteratingVisitsEveryRemainingEntryOnce) {
    ZemHashTable *t = ZEM_IntHashCreate(16);
    std::map<int32_t, int> visits;
    for (int32_t k = -40; k < 60; ++k) {
        ASSERT_EQ(ZEM_IntHashInsert(t, k, W(k)), 0U);
    }
    for (ListNode *p = ZEM_HashIterBegin(t); p != ZEM_HashIterEnd(t);) {
        int32_t k = Int(ZEM_HashIterKey(p));
        ++visits[k];
        p = (k % 3 == 0) ? ZEM_HashErase(t, ZEM_HashIterKey(p)) : ZEM_HashIterNext(t, p);
    }
    EXPECT_EQ(visits.size(), 100U);
    for (auto &kv : visits) {
        EXPECT_EQ(kv.second, 1) << "key " << kv.first;
        EXPECT_EQ(ZEM_IntHashFind(t, kv.first) == ZEM_HashIterEnd(t), kv.first % 3 == 0) << "key " << kv.first;
    }
    EXPECT_EQ(ZEM_HashSize(t), Contents(t).size());
    ZEM_HashDestory(t);
}

// Recording hooks: dup adds a tag (0 stays 0, so a test can make dup fail);
// every call is logged in order.
std::vector<std::string> g_events;
ZemWord KeyDup(ZemWord w) {
    return g_events.push_back("kdup " + std::to_string(w)), w == 0 ? 0 : w + 1000;
}
void KeyFree(ZemWord w) {
    g_events.push_back("kfree " + std::to_string(w));
}
ZemWord ValueDup(ZemWord w) {
    return g_events.push_back("vdup " + std::to_string(w)), w == 0 ? 0 : w + 2000;
}
void ValueFree(ZemWord w) {
    g_events.push_back("vfree " + std::to_string(w));
}
using Events = std::vector<std::string>;

TEST_F(HashTable, HooksCopyOnInsertAndReleaseKeyThenValueOnEveryRemoval) {
    g_events.clear();
    ZemDataHooks keys{KeyDup, KeyFree}, values{ValueDup, ValueFree};
    ZemHashTable *t = ZEM_HashCreate(4, TensHash, nullptr, &keys, &values);
    ASSERT_EQ(ZEM_HashInsert(t, W(1), W(5)), 0U);
    EXPECT_EQ(Contents(t), (Pairs{{W(1001), W(2005)}}));
    EXPECT_EQ(ZEM_HashInsert(t, W(1001), W(6)), 1U) << "the stored copy is the key";
    EXPECT_EQ(ZEM_HashInsert(t, W(0), W(6)), 1U) << "key dup yielding none";
    ASSERT_EQ(ZEM_HashInsert(t, W(3), W(0)), 0U) << "value dup yielding none";
    EXPECT_EQ(g_events, (Events{"kdup 1", "vdup 5", "kdup 0", "kdup 3", "vdup 0"}));
    EXPECT_EQ(ZEM_HashIterValue(ZEM_HashFind(t, W(1003))), W(0));

    g_events.clear();
    EXPECT_EQ(ZEM_HashErase(t, W(1001)), ZEM_HashFind(t, W(1003)));
    for (uint64_t k : {31, 11}) {
        ASSERT_EQ(ZEM_HashInsert(t, W(k), W(k)), 0U);
    }
    ASSERT_EQ(ZEM_HashClear(t), 0U); // buckets 0 {1003}, 1 {1011}, 3 {1031}
    ASSERT_EQ(ZEM_HashInsert(t, W(7), W(8)), 0U) << "hooks survive a clear";
    ZEM_HashDestory(t);
    EXPECT_EQ(g_events, (Events{"kfree 1001", "vfree 2005", "kdup 31", "vdup 31", "kdup 11", "vdup 11", "kfree 1003",
                                "vfree 0", "kfree 1011", "vfree 2011", "kfree 1031", "vfree 2031", "kdup 7", "vdup 8",
                                "kfree 1007", "vfree 2008"}));
}

TEST_F(HashTable, StringKeysAreCopiedSoTheCallersBufferMayChange) {
    ZemHashTable *t = ZEM_StrHashCreate(128);
    char name[16] = "pmsg";
    ASSERT_EQ(ZEM_StrHashInsert(t, name, W(1)), 0U);
    const char *stored = Str(ZEM_HashIterKey(ZEM_StrHashFind(t, "pmsg")));
    EXPECT_NE(stored, name);
    strcpy(name, "other");
    EXPECT_NE(ZEM_StrHashFind(t, "pmsg"), ZEM_HashIterEnd(t));
    EXPECT_EQ(ZEM_StrHashFind(t, "other"), ZEM_HashIterEnd(t));
    EXPECT_EQ(ZEM_StrHashInsert(t, "pmsg", W(2)), 1U);
    EXPECT_EQ(ZEM_StrHashInsert(t, "abc", W(4)), 0U); // bucket 114, after "pmsg" in 101
    EXPECT_EQ(ZEM_StrHashInsert(t, "", W(3)), 0U);
    EXPECT_EQ(ZEM_StrHashInsert(t, nullptr, W(4)), 1U);
    EXPECT_EQ(ZEM_StrHashFind(t, nullptr), ZEM_HashIterEnd(t));
    // Erasing with the table's own copy as the key is safe.
    EXPECT_EQ(ZEM_StrHashErase(t, stored), ZEM_StrHashFind(t, "abc"));
    EXPECT_EQ(ZEM_HashSize(t), 2U);
    uint64_t withEntries = UsedBlocks();
    ASSERT_EQ(ZEM_HashClear(t), 0U);
    EXPECT_EQ(UsedBlocks(), withEntries - 4) << "two entries and their key copies";
    EXPECT_EQ(ZEM_HashIterBegin(t), ZEM_HashIterEnd(t));
    ASSERT_EQ(ZEM_StrHashInsert(t, "pmsg", W(5)), 0U);
    EXPECT_EQ(ZEM_HashIterValue(ZEM_StrHashFind(t, "pmsg")), W(5));
    ZEM_HashDestory(t);
}

TEST_F(HashTable, FailedClearLeavesAnEmptyTableThatAnswersAndRecovers) {
    for (bool destroyAtOnce : {true, false}) {
        ZemHashTable *t = ZEM_StrHashCreate(128);
        ASSERT_EQ(ZEM_StrHashInsert(t, "a", W(1)), 0U);
        OSMemSetFailCountdown(1);
        EXPECT_EQ(ZEM_HashClear(t), 0xFFFFFFFFU);
        OSMemSetFailCountdown(-1);
        if (!destroyAtOnce) {
            EXPECT_TRUE(ZEM_HashEmpty(t));
            EXPECT_EQ(ZEM_HashIterBegin(t), ZEM_HashIterEnd(t));
            EXPECT_EQ(ZEM_StrHashFind(t, "a"), ZEM_HashIterEnd(t));
            EXPECT_EQ(ZEM_HashAt(t, S("a"), nullptr), 1U);
            EXPECT_EQ(ZEM_StrHashErase(t, "a"), ZEM_HashIterEnd(t));
            ASSERT_EQ(ZEM_HashClear(t), 0U);
            ASSERT_EQ(ZEM_StrHashInsert(t, "a", W(5)), 0U);
            EXPECT_EQ(ZEM_HashIterValue(ZEM_StrHashFind(t, "a")), W(5));
        }
        ZEM_HashDestory(t);
    }
}

TEST_F(HashTable, NullTableIsRefusedOrSeenAsEmpty) {
    EXPECT_EQ(ZEM_HashInsert(nullptr, W(1), W(1)), 1U);
    EXPECT_EQ(ZEM_HashFind(nullptr, W(1)), nullptr);
    EXPECT_EQ(ZEM_HashAt(nullptr, W(1), nullptr), 1U);
    EXPECT_EQ(ZEM_HashErase(nullptr, W(1)), nullptr);
    EXPECT_EQ(ZEM_HashClear(nullptr), 0xFFFFFFFFU);
    EXPECT_TRUE(ZEM_HashEmpty(nullptr));
    EXPECT_EQ(ZEM_HashIterBegin(nullptr), ZEM_HashIterEnd(nullptr));
    EXPECT_EQ(ZEM_HashIterValue(nullptr), W(0));
    ZemHashHookRegister(nullptr, nullptr, nullptr, nullptr, nullptr);
    ZEM_HashDestory(nullptr);
}

TEST_F(HashTable, CreateInsertAndClearFailCleanlyAtEveryAllocation) {
    uint64_t start = UsedBlocks();
    auto create = [] {
        ZemHashTable *t = ZEM_StrHashCreate(128);
        ZEM_HashDestory(t);
        return t != nullptr ? 0U : 1U;
    };
    EXPECT_EQ(SweepAllocFailures(create,
                                 [&](int n, bool failed, uint32_t result) {
                                     EXPECT_EQ(result, failed ? 1U : 0U) << "allocation " << n;
                                     EXPECT_EQ(UsedBlocks(), start) << "allocation " << n;
                                 }),
              3);

    ZemHashTable *t = ZEM_StrHashCreate(128);
    ASSERT_EQ(ZEM_StrHashInsert(t, "existing", W(1)), 0U);
    uint64_t oneEntry = UsedBlocks();
    auto insert = [&] { return ZEM_StrHashInsert(t, "newcomer", W(2)); };
    EXPECT_EQ(SweepAllocFailures(insert,
                                 [&](int n, bool failed, uint32_t result) {
                                     EXPECT_EQ(result, failed ? 1U : 0U) << "allocation " << n;
                                     EXPECT_EQ(UsedBlocks(), oneEntry + (failed ? 0 : 2)) << "allocation " << n;
                                     EXPECT_EQ(ZEM_HashSize(t), failed ? 1U : 2U);
                                 }),
              2)
        << "the entry, then the key copy";

    uint64_t twoEntries = UsedBlocks();
    EXPECT_EQ(SweepAllocFailures([&] { return ZEM_HashClear(t); },
                                 [&](int, bool failed, uint32_t result) {
                                     EXPECT_EQ(result, failed ? 0xFFFFFFFFU : 0U);
                                     EXPECT_TRUE(ZEM_HashEmpty(t));
                                     EXPECT_EQ(UsedBlocks(), twoEntries - 4 - (failed ? 1 : 0))
                                         << "entries and copies gone, the bucket array too on failure";
                                     if (failed) {
                                         ASSERT_EQ(ZEM_HashClear(t), 0U);
                                         ASSERT_EQ(ZEM_StrHashInsert(t, "existing", W(1)), 0U);
                                         ASSERT_EQ(ZEM_StrHashInsert(t, "newcomer", W(2)), 0U);
                                     }
                                 }),
              1);
    ZEM_HashDestory(t);
}

// Random operations on an integer and a string table with few buckets (long
// chains), each step checked against std::map: results, size and contents.
TEST_F(HashTable, BehavesLikeAMapUnderRandomOperations) {
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    ZemHashTable *ints = ZEM_IntHashCreate(7);
    ZemHashTable *strs = ZEM_StrHashCreate(5);
    std::map<int32_t, ZemWord> intModel;
    std::map<std::string, ZemWord> strModel;

    for (int step = 0; step < 3000 && !HasFailure(); ++step) {
        int32_t k = static_cast<int32_t>(rng() % 64) - 32;
        std::string name = "task" + std::to_string(rng() % 48);
        ZemWord v = rng();
        unsigned op = rng() % 40;
        if (op < 16) {
            EXPECT_EQ(ZEM_IntHashInsert(ints, k, v), intModel.emplace(k, v).second ? 0U : 1U);
            EXPECT_EQ(ZEM_StrHashInsert(strs, name.c_str(), v), strModel.emplace(name, v).second ? 0U : 1U);
        } else if (op < 28) {
            ListNode *following = ZEM_HashIterNext(ints, ZEM_IntHashFind(ints, k));
            EXPECT_EQ(ZEM_IntHashErase(ints, k), following);
            intModel.erase(k);
            following = ZEM_HashIterNext(strs, ZEM_StrHashFind(strs, name.c_str()));
            EXPECT_EQ(ZEM_StrHashErase(strs, name.c_str()), following);
            strModel.erase(name);
        } else if (op < 39) {
            ZemWord got = 0;
            auto it = intModel.find(k);
            EXPECT_EQ(ZEM_HashAt(ints, W(static_cast<int64_t>(k)), &got), it == intModel.end() ? 1U : 0U);
            EXPECT_EQ(got, it == intModel.end() ? 0 : it->second);
        } else {
            ASSERT_EQ(ZEM_HashClear(ints) | ZEM_HashClear(strs), 0U);
            intModel.clear();
            strModel.clear();
        }
        Pairs intContents = Contents(ints), strContents = Contents(strs);
        ASSERT_EQ(ZEM_HashSize(ints), intModel.size());
        ASSERT_EQ(ZEM_HashSize(strs), strModel.size());
        ASSERT_EQ(intContents.size(), intModel.size()) << "an entry iterated twice or missed";
        ASSERT_EQ(strContents.size(), strModel.size()) << "an entry iterated twice or missed";
        std::map<int32_t, ZemWord> intSeen;
        std::map<std::string, ZemWord> strSeen;
        for (auto &kv : intContents) {
            intSeen.emplace(Int(kv.first), kv.second);
        }
        for (auto &kv : strContents) {
            strSeen.emplace(Str(kv.first), kv.second);
        }
        ASSERT_EQ(intSeen, intModel);
        ASSERT_EQ(strSeen, strModel);
    }
    ZEM_HashDestory(ints);
    ZEM_HashDestory(strs);
}

} // namespace

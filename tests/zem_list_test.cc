// Behaviour of the circular list: empty-list answers, positional insertion,
// erase while iterating, hooks on insertion, removal and deinit, allocation
// failures and a randomized comparison against std::list.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "containers/zem_list.h"
#include "support/mem_check.h"
#include "vyre_os_mem.h"

namespace {

ZemWord W(uint64_t v) {
    return static_cast<ZemWord>(v);
}
using Words = std::vector<ZemWord>;
using Events = std::vector<std::string>;

// Walks forward through next and backward through prev; both must agree, so
// every link is checked.
Words Contents(ZemList *list) {
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

// Recording hooks; CopyString makes a tracked copy of a C string so that the
// memory balance shows every copy released.
Events g_events;
ZemWord CopyString(ZemWord w) {
    const char *s = reinterpret_cast<const char *>(w);
    g_events.push_back(std::string("dup ") + s);
    auto *copy = static_cast<char *>(OSMemTypeMallocMon(strlen(s) + 1, 0, 0, __LINE__, "zem_list_test"));
    return reinterpret_cast<ZemWord>(copy != nullptr ? strcpy(copy, s) : nullptr);
}
void ReleaseString(ZemWord w) {
    g_events.push_back(std::string("free ") + reinterpret_cast<const char *>(w));
    OSMemTypeFreeMon(reinterpret_cast<void *>(w), 0, 0, __LINE__, "zem_list_test");
}
ZemWord RecordDup(ZemWord w) {
    return g_events.push_back("dup " + std::to_string(w)), w;
}
ZemWord DupToNone(ZemWord) {
    return 0;
}
void RecordFree(ZemWord w) {
    g_events.push_back("free " + std::to_string(w));
}

class List : public MemBalanceTest {
protected:
    void SetUp() override {
        MemBalanceTest::SetUp();
        g_events.clear();
    }
};

TEST_F(List, EmptyListAnswersZeroAndPopsCallNoHook) {
    ZemList list;
    ZemDataHooks hooks{nullptr, RecordFree};
    ZEM_ListInit(&list, &hooks);
    EXPECT_TRUE(ZEM_ListEmpty(&list));
    EXPECT_EQ(ZEM_ListFront(&list), W(0));
    EXPECT_EQ(ZEM_ListBack(&list), W(0));
    EXPECT_EQ(ZEM_ListIterBegin(&list), ZEM_ListIterEnd(&list));
    EXPECT_EQ(ZEM_ListIterNext(&list, ZEM_ListIterEnd(&list)), ZEM_ListIterEnd(&list));
    ZEM_ListPopFront(&list);
    ZEM_ListPopBack(&list);
    EXPECT_EQ(ZEM_ListIterErase(&list, ZEM_ListIterEnd(&list)), ZEM_ListIterEnd(&list));
    ZEM_ListDeinit(&list);
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(ZEM_ListSize(&list), 0U);
    EXPECT_EQ(list.hooks.free, &RecordFree) << "deinit of an empty list keeps its hooks";

    // A missing list is refused or reads as empty.
    ZEM_ListInit(nullptr, nullptr);
    EXPECT_TRUE(ZEM_ListEmpty(nullptr));
    EXPECT_EQ(ZEM_ListPushFront(nullptr, W(1)) & ZEM_ListPushBack(nullptr, W(1)), 1U);
    EXPECT_EQ(ZEM_ListInsert(&list, nullptr, W(1)), 1U);
    EXPECT_EQ(ZEM_ListFront(nullptr) | ZEM_ListBack(nullptr), W(0));
    EXPECT_EQ(ZEM_ListIterErase(nullptr, nullptr), nullptr);
    ZEM_ListPopFront(nullptr);
    ZEM_ListDeinit(nullptr);
}

TEST_F(List, StoresCopiesAndDeinitReleasesThemFrontToBack) {
    ZemList list;
    ZemDataHooks hooks{CopyString, ReleaseString};
    ZEM_ListInit(&list, &hooks);
    char word[8] = "one";
    ASSERT_EQ(ZEM_ListPushBack(&list, reinterpret_cast<ZemWord>(word)), 0U);
    strcpy(word, "two");
    ASSERT_EQ(ZEM_ListPushBack(&list, reinterpret_cast<ZemWord>(word)), 0U);
    strcpy(word, "zero");
    ASSERT_EQ(ZEM_ListPushFront(&list, reinterpret_cast<ZemWord>(word)), 0U);
    EXPECT_EQ(ZEM_ListSize(&list), 3U);
    EXPECT_NE(ZEM_ListFront(&list), reinterpret_cast<ZemWord>(word));
    EXPECT_STREQ(reinterpret_cast<const char *>(ZEM_ListBack(&list)), "two");

    g_events.clear();
    ZEM_ListDeinit(&list);
    EXPECT_EQ(g_events, (Events{"free zero", "free one", "free two"}));
    EXPECT_TRUE(ZEM_ListEmpty(&list));
    EXPECT_EQ(ZEM_ListSize(&list), 0U);
    EXPECT_EQ(list.hooks.dup, nullptr);
    EXPECT_EQ(list.hooks.free, nullptr);
    // Reusable, now storing words unchanged.
    ASSERT_EQ(ZEM_ListPushBack(&list, W(42)), 0U);
    EXPECT_EQ(ZEM_ListFront(&list), W(42));
    ZEM_ListPopFront(&list);
    EXPECT_EQ(g_events.size(), 3U);
}

TEST_F(List, DupYieldingNoneStillInserts) {
    ZemList list;
    ZemDataHooks hooks{DupToNone, RecordFree};
    ZEM_ListInit(&list, &hooks);
    EXPECT_EQ(ZEM_ListPushBack(&list, W(7)), 0U);
    EXPECT_EQ(Contents(&list), Words{W(0)});
    ZEM_ListPopBack(&list);
    EXPECT_EQ(g_events, Events{"free 0"});
}

TEST_F(List, InsertBeforeAPositionAndRawInsertOfACallerNode) {
    ZemList list;
    ZEM_ListInit(&list, nullptr);
    ASSERT_EQ(ZEM_ListInsert(&list, ZEM_ListIterEnd(&list), W(2)), 0U); // as push back, into the empty list
    ASSERT_EQ(ZEM_ListInsert(&list, ZEM_ListIterEnd(&list), W(4)), 0U);
    ASSERT_EQ(ZEM_ListInsert(&list, ZEM_ListIterBegin(&list), W(1)), 0U); // as push front
    ZemListNode *four = ZEM_ListIterEnd(&list)->prev;
    ASSERT_EQ(ZEM_ListInsert(&list, four, W(3)), 0U);
    auto *node = static_cast<ZemListNode *>(OSMemTypeMallocMon(sizeof(ZemListNode), 0, 0, __LINE__, "test"));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(DupUserData(nullptr, node, W(5)), 0U);
    ZEM_RawListInsert(&list, ZEM_ListIterEnd(&list), node);
    EXPECT_EQ(Contents(&list), (Words{W(1), W(2), W(3), W(4), W(5)}));
    EXPECT_EQ(ZEM_ListSize(&list), 5U);
    ZEM_ListDeinit(&list); // releases the caller's node with the others
}

TEST_F(List, EraseWhileIteratingVisitsEveryRemainingNodeOnce) {
    ZemList list;
    ZemDataHooks hooks{nullptr, RecordFree};
    ZEM_ListInit(&list, &hooks);
    for (uint64_t i = 0; i < 10; ++i) {
        ASSERT_EQ(ZEM_ListPushBack(&list, W(i)), 0U);
    }
    Words visited;
    for (ZemListNode *p = ZEM_ListIterBegin(&list); p != ZEM_ListIterEnd(&list);) {
        ZemWord w = ZEM_ListIterData(p);
        visited.push_back(w);
        p = (w % 3 == 0) ? ZEM_ListIterErase(&list, p) : ZEM_ListIterNext(&list, p);
    }
    EXPECT_EQ(visited, (Words{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(Contents(&list), (Words{1, 2, 4, 5, 7, 8}));
    EXPECT_EQ(g_events, (Events{"free 0", "free 3", "free 6", "free 9"}));
    ZEM_ListDeinit(&list);
}

TEST_F(List, BoundedHistoryKeepsTheNewestFirst) {
    constexpr uint64_t kBound = 4;
    ZemList history;
    ZEM_ListInit(&history, nullptr);
    for (uint64_t i = 1; i <= 10; ++i) {
        if (ZEM_ListSize(&history) >= kBound) {
            ZEM_ListPopBack(&history);
        }
        ASSERT_EQ(ZEM_ListPushFront(&history, W(i)), 0U);
    }
    EXPECT_EQ(Contents(&history), (Words{10, 9, 8, 7}));
    ZEM_ListDeinit(&history);
}

TEST_F(List, InsertionFailureLeavesTheListUnchangedAndCallsNoHook) {
    ZemList list;
    ZemDataHooks hooks{RecordDup, RecordFree};
    ZEM_ListInit(&list, &hooks);
    ASSERT_EQ(ZEM_ListPushBack(&list, W(1)), 0U);
    ASSERT_EQ(ZEM_ListPushBack(&list, W(2)), 0U);
    struct Way {
        std::function<uint32_t()> insert;
        Words after;
    };
    const Way ways[] = {
        {[&] { return ZEM_ListPushFront(&list, W(9)); }, {9, 1, 2}},
        {[&] { return ZEM_ListPushBack(&list, W(9)); }, {1, 2, 9}},
        {[&] { return ZEM_ListInsert(&list, ZEM_ListIterEnd(&list)->prev, W(9)); }, {1, 9, 2}},
    };
    for (const Way &way : ways) {
        uint64_t start = UsedBlocks();
        g_events.clear();
        int allocations = SweepAllocFailures(way.insert, [&](int, bool failed, uint32_t result) {
            EXPECT_EQ(result, failed ? 1U : 0U);
            EXPECT_EQ(g_events, failed ? Events{} : Events{"dup 9"}) << "dup runs only once a node exists";
            EXPECT_EQ(UsedBlocks(), start + (failed ? 0 : 1));
            EXPECT_EQ(Contents(&list), (failed ? Words{1, 2} : way.after));
            EXPECT_EQ(ZEM_ListSize(&list), failed ? 2U : 3U);
            if (!failed) {
                ZemListNode *p = ZEM_ListIterBegin(&list);
                while (ZEM_ListIterData(p) != W(9)) {
                    p = ZEM_ListIterNext(&list, p);
                }
                (void)ZEM_ListIterErase(&list, p);
            }
        });
        EXPECT_EQ(allocations, 1);
    }
    ZEM_ListDeinit(&list);
}

// Random operations against std::list at the same positions; contents, size,
// front and back are compared after every step.
TEST_F(List, BehavesLikeStdListUnderRandomOperations) {
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    ZemList list;
    ZEM_ListInit(&list, nullptr);
    std::list<ZemWord> model;

    for (int step = 0; step < 4000 && !HasFailure(); ++step) {
        ZemWord w = rng();
        size_t index = rng() % (model.size() + 1);
        ZemListNode *pos = ZEM_ListIterBegin(&list);
        for (size_t i = 0; i < index; ++i) {
            pos = ZEM_ListIterNext(&list, pos);
        }
        auto modelPos = std::next(model.begin(), static_cast<std::ptrdiff_t>(index));
        switch (rng() % 6) {
        case 0:
            ASSERT_EQ(ZEM_ListPushFront(&list, w), 0U);
            model.push_front(w);
            break;
        case 1:
            ASSERT_EQ(ZEM_ListPushBack(&list, w), 0U);
            model.push_back(w);
            break;
        case 2:
            ASSERT_EQ(ZEM_ListInsert(&list, pos, w), 0U);
            model.insert(modelPos, w);
            break;
        case 3:
            pos = ZEM_ListIterErase(&list, pos);
            modelPos = modelPos == model.end() ? modelPos : model.erase(modelPos);
            EXPECT_EQ(pos == ZEM_ListIterEnd(&list), modelPos == model.end());
            if (modelPos != model.end()) {
                EXPECT_EQ(ZEM_ListIterData(pos), *modelPos);
            }
            break;
        case 4:
            ZEM_ListPopFront(&list);
            model.empty() ? void() : model.pop_front();
            break;
        default:
            ZEM_ListPopBack(&list);
            model.empty() ? void() : model.pop_back();
            break;
        }
        ASSERT_EQ(ZEM_ListSize(&list), model.size());
        ASSERT_EQ(Contents(&list), Words(model.begin(), model.end()));
        ASSERT_EQ(ZEM_ListFront(&list), model.empty() ? 0 : model.front());
        ASSERT_EQ(ZEM_ListBack(&list), model.empty() ? 0 : model.back());
    }
    ZEM_ListDeinit(&list);
}

} // namespace

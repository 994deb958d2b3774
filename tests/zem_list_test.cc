// The circular list: bad input, allocation failure, positional insertion,
// erase while iterating, and hooks on insertion, removal and deinit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "containers/zem_list.h"
#include "support/mem_check.h"
#include "vyre_os_mem.h"

namespace {

using Words = std::vector<ZemWord>;

// Walks forward through next and backward through prev; both must agree.
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

// Dup adds 100 (7 yields none); every hook call is recorded in order.
std::string g_events;
ZemWord Dup(ZemWord w) {
    g_events += "dup" + std::to_string(w) + " ";
    return w == 7 ? 0 : w + 100;
}
void Release(ZemWord w) {
    g_events += "free" + std::to_string(w) + " ";
}

class List : public MemBalanceTest {};

TEST_F(List, KeepsOrderThroughInsertionsErasesWhileIteratingAndCallsEachHookOnce) {
    ZemList list;
    ZemDataHooks hooks{Dup, Release};
    ZEM_ListInit(&list, &hooks);
    // An empty or missing list answers zero, refuses, and calls no hook.
    EXPECT_EQ(ZEM_ListFront(&list) | ZEM_ListBack(&list) | ZEM_ListSize(&list), 0U);
    EXPECT_EQ(ZEM_ListIterNext(&list, ZEM_ListIterEnd(&list)), ZEM_ListIterEnd(&list));
    EXPECT_EQ(ZEM_ListIterErase(&list, ZEM_ListIterEnd(&list)), ZEM_ListIterEnd(&list));
    ZEM_ListPopFront(&list);
    ZEM_ListPopBack(&list);
    ZEM_ListDeinit(&list);
    EXPECT_EQ(list.hooks.free, &Release) << "deinit of an empty list keeps its hooks";
    ZEM_ListInit(nullptr, nullptr);
    EXPECT_TRUE(ZEM_ListEmpty(nullptr));
    EXPECT_EQ(ZEM_ListPushFront(nullptr, 1) & ZEM_ListPushBack(nullptr, 1) & ZEM_ListInsert(&list, nullptr, 1), 1U);
    EXPECT_EQ(ZEM_ListFront(nullptr) | ZEM_ListBack(nullptr), 0U);
    EXPECT_EQ(ZEM_ListIterErase(nullptr, nullptr), nullptr);
    ZEM_ListDeinit(nullptr);
    EXPECT_TRUE(g_events.empty());
    // A failed node allocation leaves the list unchanged and calls no hook.
    uint64_t start = UsedBlocks();
    EXPECT_EQ(SweepAllocFailures([&] { return ZEM_ListInsert(&list, ZEM_ListIterEnd(&list), 2); },
                                 [&](int, bool failed, uint32_t result) {
                                     EXPECT_EQ(result, failed ? 1U : 0U);
                                     EXPECT_EQ(g_events, failed ? "" : "dup2 ");
                                     EXPECT_EQ(Contents(&list), failed ? Words{} : Words{102});
                                     EXPECT_EQ(UsedBlocks(), start + (failed ? 0 : 1));
                                 }),
              1);

    ASSERT_EQ(ZEM_ListPushBack(&list, 4), 0U);
    ASSERT_EQ(ZEM_ListPushFront(&list, 1), 0U);
    ASSERT_EQ(ZEM_ListInsert(&list, ZEM_ListIterEnd(&list)->prev, 3), 0U);
    ASSERT_EQ(ZEM_ListPushBack(&list, 7), 0U) << "a dup yielding none still inserts";
    auto *node = static_cast<ZemListNode *>(OSMemTypeMallocMon(sizeof(ZemListNode), 0, 0, __LINE__, "zem_list_test"));
    ASSERT_EQ(DupUserData(Dup, node, 5), 0U);
    ZEM_RawListInsert(&list, ZEM_ListIterEnd(&list), node);
    const Words all{101, 102, 103, 104, 0, 105};
    EXPECT_EQ(Contents(&list), all);
    EXPECT_EQ(ZEM_ListSize(&list), 6U);
    EXPECT_EQ(g_events, "dup2 dup4 dup1 dup3 dup7 dup5 ");

    g_events.clear();
    Words visited;
    for (ZemListNode *p = ZEM_ListIterBegin(&list); p != ZEM_ListIterEnd(&list);) {
        visited.push_back(ZEM_ListIterData(p));
        p = visited.back() % 2 == 0 ? ZEM_ListIterErase(&list, p) : ZEM_ListIterNext(&list, p);
    }
    EXPECT_EQ(visited, all);
    EXPECT_EQ(Contents(&list), (Words{101, 103, 105}));
    EXPECT_TRUE(ZEM_ListFront(&list) == 101U && ZEM_ListBack(&list) == 105U);
    ZEM_ListPopBack(&list);
    ZEM_ListPushFront(&list, 6);
    ZEM_ListDeinit(&list);
    EXPECT_EQ(g_events, "free102 free104 free0 free105 dup6 free106 free101 free103 ");
    EXPECT_TRUE(ZEM_ListSize(&list) == 0U && list.hooks.dup == nullptr && list.hooks.free == nullptr);
}

} // namespace

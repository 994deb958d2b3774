/*
 * The circular doubly linked list of machine words with optional dup / free
 * hooks. Nodes are tracked memory of this module; the head is the caller's.
 *
 * No lock inside: each user serialises every call on a list with a lock of
 * its own. Nothing here logs.
 */
#define MSG_MODULE "zem_list_impl"

#include <cstdint>

#include "base/msg_alloc.h"
#include "containers/zem_list.h"

namespace {

// The head seen as a node: its first two fields have a node's layout. The
// links of the head are always read and written through this view, so every
// access to them has the same type.
ZemListNode *HeadNode(ZemList *list) {
    return reinterpret_cast<ZemListNode *>(list);
}

const ZemListNode *HeadNode(const ZemList *list) {
    return reinterpret_cast<const ZemListNode *>(list);
}

uint32_t ListInsertBefore(ZemList *list, ZemListNode *position, ZemWord word) {
    auto *node = static_cast<ZemListNode *>(MSG_MALLOC(sizeof(ZemListNode)));
    if (node == nullptr) {
        return 1;
    }
    (void)DupUserData(list->hooks.dup, node, word);
    ZEM_RawListInsert(list, position, node);
    return 0;
}

} // namespace

extern "C" {

void ZEM_ListInit(ZemList *list, const ZemDataHooks *hooks) {
    if (list == nullptr) {
        return;
    }
    ZemListNode *head = HeadNode(list);
    head->next = head;
    head->prev = head;
    list->size = 0;
    list->hooks = hooks != nullptr ? *hooks : ZemDataHooks{nullptr, nullptr};
}

int ZEM_ListEmpty(const ZemList *list) {
    return list == nullptr || HeadNode(list)->next == HeadNode(list);
}

uint64_t ZEM_ListSize(const ZemList *list) {
    return list != nullptr ? list->size : 0;
}

uint32_t ZEM_ListPushFront(ZemList *list, ZemWord word) {
    if (list == nullptr) {
        return 1;
    }
    return ListInsertBefore(list, HeadNode(list)->next, word);
}

uint32_t ZEM_ListPushBack(ZemList *list, ZemWord word) {
    if (list == nullptr) {
        return 1;
    }
    return ListInsertBefore(list, HeadNode(list), word);
}

uint32_t ZEM_ListInsert(ZemList *list, ZemListNode *position, ZemWord word) {
    if (list == nullptr || position == nullptr) {
        return 1;
    }
    return ListInsertBefore(list, position, word);
}

ZemWord ZEM_ListFront(const ZemList *list) {
    return ZEM_ListEmpty(list) ? 0 : HeadNode(list)->next->data;
}

ZemWord ZEM_ListBack(const ZemList *list) {
    return ZEM_ListEmpty(list) ? 0 : HeadNode(list)->prev->data;
}

ZemListNode *ZEM_ListIterBegin(ZemList *list) {
    return list != nullptr ? HeadNode(list)->next : nullptr;
}

ZemListNode *ZEM_ListIterEnd(ZemList *list) {
    return list != nullptr ? HeadNode(list) : nullptr;
}

ZemListNode *ZEM_ListIterNext(ZemList *list, ZemListNode *position) {
    ZemListNode *end = ZEM_ListIterEnd(list);
    if (position == nullptr || position == end) {
        return end;
    }
    return position->next;
}

ZemWord ZEM_ListIterData(const ZemListNode *position) {
    return position != nullptr ? position->data : 0;
}

ZemListNode *ZEM_ListIterErase(ZemList *list, ZemListNode *position) {
    ZemListNode *end = ZEM_ListIterEnd(list);
    if (position == nullptr || position == end) {
        return end;
    }
    if (list->hooks.free != nullptr) {
        list->hooks.free(position->data);
    }
    ZemListNode *following = position->next;
    position->prev->next = following;
    following->prev = position->prev;
    --list->size;
    MSG_FREE(position);
    return following;
}

void ZEM_ListPopFront(ZemList *list) {
    if (!ZEM_ListEmpty(list)) {
        (void)ZEM_ListIterErase(list, HeadNode(list)->next);
    }
}

void ZEM_ListPopBack(ZemList *list) {
    if (!ZEM_ListEmpty(list)) {
        (void)ZEM_ListIterErase(list, HeadNode(list)->prev);
    }
}

void ZEM_ListDeinit(ZemList *list) {
    if (ZEM_ListEmpty(list)) {
        return;
    }
    ZemListNode *end = HeadNode(list);
    ZemListNode *position = end->next;
    while (position != end) {
        position = ZEM_ListIterErase(list, position);
    }
    list->hooks = ZemDataHooks{nullptr, nullptr};
}

void ZEM_RawListInsert(ZemList *list, ZemListNode *position, ZemListNode *node) {
    node->next = position;
    node->prev = position->prev;
    position->prev->next = node;
    position->prev = node;
    ++list->size;
}

uint32_t DupUserData(ZemDupFunc dup, ZemListNode *node, ZemWord word) {
    node->data = dup != nullptr ? dup(word) : word;
    return 0;
}

} // extern "C"

/*
 * Circular doubly linked list of machine words with optional duplication and
 * release hooks. The head lives in the user's record or in static storage;
 * the list allocates only its nodes (tracked memory, module
 * "zem_list_impl"). The head doubles as the end position.
 *
 * Not thread-safe: each user guards a list with its own lock. Results are 0
 * for success and 1 for failure (only node allocation fails; the list is then
 * unchanged).
 *
 * Ownership: with a dup hook the list owns the copies it made and hands them
 * to the free hook on removal; without hooks the caller owns what the words
 * point to.
 */
#ifndef VYRE_ZEM_LIST_H
#define VYRE_ZEM_LIST_H

#include <stdint.h>

#include "containers/zem_hash.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZemListNode {
    struct ZemListNode *next;
    struct ZemListNode *prev;
    ZemWord data;
} ZemListNode;

/* The head: next/prev point to the head itself when the list is empty. Its
 * first two fields have the layout of a node's, so the head serves as the end
 * position. */
typedef struct ZemList {
    ZemListNode *next;
    ZemListNode *prev;
    uint64_t size;
    ZemDataHooks hooks;
} ZemList;

/* Empty circle, size 0; copies the hook pair, or clears both when NULL. */
OS_MSG_API void ZEM_ListInit(ZemList *list, const ZemDataHooks *hooks);
OS_MSG_API int ZEM_ListEmpty(const ZemList *list);
OS_MSG_API uint64_t ZEM_ListSize(const ZemList *list);
/* Insert a node holding dup(word) (or word without a dup hook; whatever dup
 * returns, 0 included, is stored): first, last, or just before position. */
OS_MSG_API uint32_t ZEM_ListPushFront(ZemList *list, ZemWord word);
OS_MSG_API uint32_t ZEM_ListPushBack(ZemList *list, ZemWord word);
OS_MSG_API uint32_t ZEM_ListInsert(ZemList *list, ZemListNode *position, ZemWord word);
/* Data of the first / last node, 0 when empty. */
OS_MSG_API ZemWord ZEM_ListFront(const ZemList *list);
OS_MSG_API ZemWord ZEM_ListBack(const ZemList *list);
OS_MSG_API ZemListNode *ZEM_ListIterBegin(ZemList *list);
OS_MSG_API ZemListNode *ZEM_ListIterEnd(ZemList *list);
/* The node after position; the end position stays the end position. */
OS_MSG_API ZemListNode *ZEM_ListIterNext(ZemList *list, ZemListNode *position);
OS_MSG_API ZemWord ZEM_ListIterData(const ZemListNode *position);
/* Removes the node (free hook first) and returns the one that followed it. */
OS_MSG_API ZemListNode *ZEM_ListIterErase(ZemList *list, ZemListNode *position);
/* Remove the first / last node; nothing on an empty list. */
OS_MSG_API void ZEM_ListPopFront(ZemList *list);
OS_MSG_API void ZEM_ListPopBack(ZemList *list);
/* Removes every node, then clears both hooks; an empty list is left as it is,
 * hooks included. */
OS_MSG_API void ZEM_ListDeinit(ZemList *list);
/* Links a caller-made node just before position and increases the size. */
OS_MSG_API void ZEM_RawListInsert(ZemList *list, ZemListNode *position, ZemListNode *node);
/* Stores dup(word) (or word without a hook) in node->data; always 0. */
OS_MSG_API uint32_t DupUserData(ZemDupFunc dup, ZemListNode *node, ZemWord word);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_ZEM_LIST_H */

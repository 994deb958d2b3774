/*
 * The per-process subscription table: event message id -> subscriber list,
 * and the subscription requests that change it. Two indexes of the records
 * (msg_subscribe_index.h) make each added or removed entry cost constant
 * time, so a request of tens of thousands of entries is applied in time
 * linear in its size; the table's bucket array grows with the number of ids
 * for the same reason.
 *
 * g_subscribeMutex guards the table, its lists, records and indexes; every
 * function here that touches them takes it, except creation and destruction,
 * which run while nothing else uses the table (see msg_broadcast.h). No
 * callback runs from this file.
 */
#define MSG_MODULE "msg_broadcast"

#include <string.h>

#include "base/msg_alloc.h"
#include "base/msg_names.h"
#include "broadcast/msg_broadcast.h"
#include "broadcast/msg_subscribe_index.h"
#include "log/msg_log.h"

ZemHashTable *g_subscribeTable = nullptr;
OsMutex g_subscribeMutex;

namespace {

/* Both guarded by g_subscribeMutex, like the table. */
MsgSubIndex g_repeatIndex;      // every record, by its repeat key
MsgSubIndex g_unsubscribeIndex; // the first record of each unsubscribe key
/* The bucket count the table was created with: it never shrinks below. */
uint64_t g_subscribeMinBuckets = 0U;

uint64_t RepeatHash(const MsgHead *r) {
    uint64_t h = MsgSubIndexHashWord(MSG_SUB_INDEX_HASH_SEED, r->msgId);
    h = MsgSubIndexHashWord(h, r->recvCpuId);
    h = MsgSubIndexHashName(h, r->sendProcName);
    h = MsgSubIndexHashName(h, r->sendTaskName);
    h = MsgSubIndexHashName(h, r->recvProcName);
    return MsgSubIndexHashName(h, r->recvTaskName);
}

int IsRepeat(const void *item, const void *key) {
    const MsgHead *listed = &static_cast<const MsgSubRecord *>(item)->head;
    const MsgHead *record = static_cast<const MsgHead *>(key);
    return listed->msgId == record->msgId && listed->recvCpuId == record->recvCpuId &&
           MsgNameEqual(listed->sendProcName, record->sendProcName) &&
           MsgNameEqual(listed->sendTaskName, record->sendTaskName) &&
           MsgNameEqual(listed->recvProcName, record->recvProcName) &&
           MsgNameEqual(listed->recvTaskName, record->recvTaskName);
}

uint64_t UnsubscribeHash(const MsgHead *r) {
    uint64_t h = MsgSubIndexHashWord(MSG_SUB_INDEX_HASH_SEED, r->msgId);
    h = MsgSubIndexHashWord(h, r->sendCpuId);
    h = MsgSubIndexHashWord(h, r->recvCpuId);
    h = MsgSubIndexHashName(h, r->sendProcName);
    h = MsgSubIndexHashName(h, r->sendTaskName);
    return MsgSubIndexHashName(h, r->recvTaskName);
}

/* The same subscriber (CPU, process, task) and publisher CPU and task of the
 * same id; the publisher process is not compared. */
bool SameUnsubscribeKey(const MsgHead *listed, const MsgHead *request) {
    return listed->msgId == request->msgId && listed->sendCpuId == request->sendCpuId &&
           listed->recvCpuId == request->recvCpuId && MsgNameEqual(listed->sendProcName, request->sendProcName) &&
           MsgNameEqual(listed->sendTaskName, request->sendTaskName) &&
           MsgNameEqual(listed->recvTaskName, request->recvTaskName);
}

int IsUnsubscribeMatch(const void *item, const void *key) {
    return SameUnsubscribeKey(&static_cast<const MsgSubRecord *>(item)->head, static_cast<const MsgHead *>(key)) ? 1
                                                                                                                 : 0;
}

/* Enters the record at the end of idList (just appended) into both indexes,
 * which have room for it. The caller holds the mutex. */
void IndexLastRecord(MsgSubscribeIdList *idList) {
    ZemListNode *node = ZEM_ListIterEnd(&idList->subList)->prev;
    auto *record = static_cast<MsgSubRecord *>(MsgWordToPtr(ZEM_ListIterData(node)));
    record->node = node;
    MsgSubIndexInsert(&g_repeatIndex, RepeatHash(&record->head), record);
    const uint64_t hash = UnsubscribeHash(&record->head);
    auto *first =
        static_cast<MsgSubRecord *>(MsgSubIndexFind(&g_unsubscribeIndex, hash, IsUnsubscribeMatch, &record->head));
    if (first == nullptr) {
        record->lastSame = record;
        MsgSubIndexInsert(&g_unsubscribeIndex, hash, record);
    } else {
        first->lastSame->nextSame = record;
        first->lastSame = record;
    }
}

/* Takes the first record of its unsubscribe chain out of both indexes and
 * out of idList (which releases it). The caller holds the mutex. */
void RemoveFirstOfChain(MsgSubscribeIdList *idList, MsgSubRecord *first) {
    const uint64_t hash = UnsubscribeHash(&first->head);
    if (first->nextSame != nullptr) {
        first->nextSame->lastSame = first->lastSame;
        MsgSubIndexReplace(&g_unsubscribeIndex, hash, first, first->nextSame);
    } else {
        MsgSubIndexRemove(&g_unsubscribeIndex, hash, first);
    }
    MsgSubIndexRemove(&g_repeatIndex, RepeatHash(&first->head), first);
    (void)ZEM_ListIterErase(&idList->subList, first->node);
}

void ReleaseIdList(MsgSubscribeIdList *idList) {
    ZEM_ListDeinit(&idList->subList);
    MSG_FREE(idList);
}

/* Keeps the table's chains short: at most one id per bucket on average,
 * and the bucket array no larger than needed. A failure to resize keeps the
 * table as it is. */
void FitBuckets(void) {
    const uint64_t size = ZEM_HashSize(g_subscribeTable);
    const uint64_t buckets = g_subscribeTable->bucketCount;
    if (size > buckets) {
        (void)ZEM_HashRehash(g_subscribeTable, buckets * 2U);
    } else if (buckets > g_subscribeMinBuckets && size * 8U < buckets) {
        (void)ZEM_HashRehash(g_subscribeTable, buckets / 2U);
    }
}

/* Appends a copy of record; 1 when the node or the copy cannot be had, and
 * then the list is as it was. */
uint32_t AppendRecord(MsgSubscribeIdList *idList, const MsgHead *record) {
    if (ZEM_ListPushBack(&idList->subList, (ZemWord)record) != 0) {
        return 1;
    }
    if (ZEM_ListBack(&idList->subList) == 0) {
        ZEM_ListPopBack(&idList->subList);
        return 1;
    }
    return 0;
}

/* The first subscriber of a new id: the id list is complete before it is
 * inserted, so a failure leaves nothing behind. The caller holds the mutex. */
uint32_t AddFirstSubscriber(const MsgHead *record) {
    MsgSubscribeIdList *idList = (MsgSubscribeIdList *)MSG_MALLOC(sizeof(MsgSubscribeIdList));
    if (idList == nullptr) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    idList->msgId = record->msgId;
    ZemDataHooks hooks = {ListDupSubscribeNode, MsgFreeNode};
    ZEM_ListInit(&idList->subList, &hooks);
    if (AppendRecord(idList, record) != 0 ||
        ZEM_IntHashInsert(g_subscribeTable, (int32_t)record->msgId, (ZemWord)idList) != 0) {
        ReleaseIdList(idList);
        return OS_MSG_ERR_NO_MEMORY;
    }
    IndexLastRecord(idList);
    FitBuckets();
    return OS_MSG_OK;
}

/* Adds record to the existing list of its id, or refuses it. The caller
 * holds the mutex and has made room in both indexes. */
uint32_t AddToList(MsgSubscribeIdList *idList, const MsgHead *record) {
    if (MsgSubIndexFind(&g_repeatIndex, RepeatHash(record), IsRepeat, record) != nullptr) {
        OS_MSG_LOG_AS("MsgIsNodeRepeate", OS_LOG_WARN, "repeate subscribe");
        return OS_MSG_OK;
    }
    if (ZEM_ListSize(&idList->subList) > MSG_SUB_MAX_PER_ID - 1U) {
        OS_MSG_LOG_AS("MsgAddSubscribe", OS_LOG_ERROR, "msg id[%u] sub num is over maxnum[%u], not push to list",
                      record->msgId, MSG_SUB_MAX_PER_ID);
        return OS_MSG_ERR_FULL;
    }
    if (AppendRecord(idList, record) != 0) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    IndexLastRecord(idList);
    OS_MSG_LOG_AS("MsgAddSubscribe", OS_LOG_DEBUG, "push to list, node cnt[%zu]",
                  (size_t)ZEM_ListSize(&idList->subList));
    return OS_MSG_OK;
}

} // namespace

extern "C" {

uint32_t MsgVisitSubscriptions(void (*visit)(const MsgHead *record, void *arg), void *arg) {
    if (g_subscribeTable == nullptr) {
        return OS_MSG_ERR_NOT_INIT;
    }
    (void)OsMutexLock(&g_subscribeMutex);
    for (ListNode *pos = ZEM_HashIterBegin(g_subscribeTable); pos != ZEM_HashIterEnd(g_subscribeTable);
         pos = ZEM_HashIterNext(g_subscribeTable, pos)) {
        auto *idList = static_cast<MsgSubscribeIdList *>(MsgWordToPtr(ZEM_HashIterValue(pos)));
        ZemList *list = &idList->subList;
        for (ZemListNode *node = ZEM_ListIterBegin(list); node != ZEM_ListIterEnd(list);
             node = ZEM_ListIterNext(list, node)) {
            visit(MsgSubscriberAt(node), arg);
        }
    }
    (void)OsMutexUnLock(&g_subscribeMutex);
    return OS_MSG_OK;
}

MsgSubscribeIdList *MsgSubscribeFindIdList(uint32_t msgId) {
    ListNode *pos = ZEM_IntHashFind(g_subscribeTable, (int32_t)msgId);
    if (pos == ZEM_HashIterEnd(g_subscribeTable)) {
        return nullptr;
    }
    return (MsgSubscribeIdList *)MsgWordToPtr(ZEM_HashIterValue(pos));
}

uint32_t MsgCreateSubscribeTable(uint32_t buckets) {
    if (g_subscribeTable != nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "already create subscribe.");
        return OS_MSG_ERR_REPEATED;
    }
    ZemHashTable *table = ZEM_IntHashCreate(buckets);
    if (table == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "subscribe init hash error.");
        return OS_MSG_ERR_HASH;
    }
    (void)OsMutexInitRecursive(&g_subscribeMutex);
    g_subscribeMinBuckets = buckets;
    g_subscribeTable = table;
    return OS_MSG_OK;
}

void MsgDestroySubscribeTable(void) {
    if (g_subscribeTable == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "subscribe not init.");
        return;
    }
    (void)OsMutexLock(&g_subscribeMutex);
    ListNode *pos = ZEM_HashIterBegin(g_subscribeTable);
    while (pos != ZEM_HashIterEnd(g_subscribeTable)) {
        MsgSubscribeIdList *idList = (MsgSubscribeIdList *)MsgWordToPtr(ZEM_HashIterValue(pos));
        pos = ZEM_IntHashErase(g_subscribeTable, (int32_t)idList->msgId);
        ReleaseIdList(idList);
    }
    ZEM_HashDestory(g_subscribeTable);
    g_subscribeTable = nullptr;
    MsgSubIndexRelease(&g_repeatIndex);
    MsgSubIndexRelease(&g_unsubscribeIndex);
    (void)OsMutexUnLock(&g_subscribeMutex);
    (void)OsMutexDestroy(&g_subscribeMutex);
}

uint32_t MsgRecvSubData(const MsgHead *head, const void *payload, uint32_t length, uint32_t localCpuId) {
    if (head == nullptr || payload == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "param null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (length < MSG_SUB_REQ_MIN_LEN) {
        OS_MSG_LOG(OS_LOG_ERROR, "wrong dataLen = %u.", length);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    const uint8_t *bytes = (const uint8_t *)payload;
    uint8_t op = bytes[MSG_SUB_REQ_OP_OFFSET];
    uint32_t count;
    memcpy(&count, bytes + MSG_SUB_REQ_COUNT_OFFSET, sizeof(count));
    if (count == 0) {
        OS_MSG_LOG(OS_LOG_ERROR, "wrong dataNum = %u.", count);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "get subscribe Num = %u.", count);
    return MsgSubscribeData(head, bytes, length, count, localCpuId, op != 0 ? MsgAddSubscribe : MsgDelSubscribe);
}

uint32_t MsgSubscribeData(const MsgHead *head, const uint8_t *payload, uint32_t length, uint32_t count,
                          uint32_t localCpuId, MsgSubscribeOp op) {
    MsgHead working = *head;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t entryEnd = MSG_SUB_REQ_ENTRY_OFFSET + (uint64_t)MSG_SUB_ENTRY_SIZE * (i + 1U);
        if (entryEnd > length) {
            break;
        }
        MsgSubEntry entry;
        memcpy(&entry, payload + (entryEnd - MSG_SUB_ENTRY_SIZE), sizeof(entry));
        if (entry.cpuId != localCpuId) {
            OS_MSG_LOG(OS_LOG_ERROR, "cpuid[%d]-[%d] not match, cannot support sub-bro cross cpu.", (int)entry.cpuId,
                       (int)localCpuId);
            continue;
        }
        working.msgId = entry.msgId;
        working.recvCpuId = localCpuId;
        memcpy(working.recvProcName, entry.procName, OS_MSG_NAME_LEN);
        memcpy(working.recvTaskName, entry.taskName, OS_MSG_NAME_LEN);
        if (!MsgNameEmpty(entry.subTaskName)) {
            memcpy(working.sendTaskName, entry.subTaskName, OS_MSG_NAME_LEN);
        }
        (void)op(&working);
    }
    return OS_MSG_OK;
}

uint32_t MsgAddSubscribe(const MsgHead *record) {
    if (g_subscribeTable == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "hash null.");
        return OS_MSG_ERR_NOT_INIT;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "add suber=[%d][%.16s][%.16s] subee=[%d][%.16s][%.16s] msgid=%d.", (int)record->sendCpuId,
               record->sendProcName, record->sendTaskName, (int)record->recvCpuId, record->recvProcName,
               record->recvTaskName, (int)record->msgId);
    (void)OsMutexLock(&g_subscribeMutex);
    uint32_t ret = MsgSubIndexReserve(&g_repeatIndex);
    if (ret == OS_MSG_OK) {
        ret = MsgSubIndexReserve(&g_unsubscribeIndex);
    }
    if (ret == OS_MSG_OK) {
        MsgSubscribeIdList *idList = MsgSubscribeFindIdList(record->msgId);
        if (idList == nullptr) {
            ret = AddFirstSubscriber(record);
            if (ret == OS_MSG_OK) {
                OS_MSG_LOG(OS_LOG_DEBUG, "new list add");
            }
        } else {
            ret = AddToList(idList, record);
        }
    }
    (void)OsMutexUnLock(&g_subscribeMutex);
    return ret;
}

uint32_t MsgDelSubscribe(const MsgHead *record) {
    if (g_subscribeTable == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "hash null.");
        return OS_MSG_ERR_NOT_INIT;
    }
    (void)OsMutexLock(&g_subscribeMutex);
    MsgSubscribeIdList *idList = MsgSubscribeFindIdList(record->msgId);
    if (idList == nullptr) {
        (void)OsMutexUnLock(&g_subscribeMutex);
        OS_MSG_LOG(OS_LOG_ERROR, "hash not found [%d].", (int)record->msgId);
        return OS_MSG_OK;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "del suber=[%.16s][%.16s] subee=[%.16s][%.16s] msgid=%d.", record->sendProcName,
               record->sendTaskName, record->recvProcName, record->recvTaskName, (int)record->msgId);
    // Empty subscriber or publisher task names in the request match nothing.
    auto *first = MsgNameEmpty(record->sendTaskName) || MsgNameEmpty(record->recvTaskName)
                      ? nullptr
                      : static_cast<MsgSubRecord *>(
                            MsgSubIndexFind(&g_unsubscribeIndex, UnsubscribeHash(record), IsUnsubscribeMatch, record));
    if (first != nullptr) {
        RemoveFirstOfChain(idList, first);
        OS_MSG_LOG(OS_LOG_DEBUG, "del [%.16s][%.16s]", record->recvProcName, record->recvTaskName);
    }
    if (ZEM_ListEmpty(&idList->subList)) {
        (void)ZEM_IntHashErase(g_subscribeTable, (int32_t)record->msgId);
        ReleaseIdList(idList);
        FitBuckets();
    }
    (void)OsMutexUnLock(&g_subscribeMutex);
    return OS_MSG_OK;
}

uint32_t MsgIsNodeRepeate(ZemList *list, const MsgHead *record) {
    for (ZemListNode *pos = ZEM_ListIterBegin(list); pos != ZEM_ListIterEnd(list); pos = ZEM_ListIterNext(list, pos)) {
        const MsgHead *listed = MsgSubscriberAt(pos);
        if (MsgNameEqual(listed->sendProcName, record->sendProcName) &&
            MsgNameEqual(listed->sendTaskName, record->sendTaskName) &&
            MsgNameEqual(listed->recvProcName, record->recvProcName) &&
            MsgNameEqual(listed->recvTaskName, record->recvTaskName) && listed->msgId == record->msgId &&
            listed->recvCpuId == record->recvCpuId) {
            OS_MSG_LOG(OS_LOG_WARN, "repeate subscribe");
            return 1;
        }
    }
    return 0;
}

ZemWord ListDupSubscribeNode(ZemWord word) {
    MsgSubRecord *copy = (MsgSubRecord *)MSG_CALLOC(1U, sizeof(MsgSubRecord));
    if (copy == nullptr) {
        return 0;
    }
    memcpy(&copy->head, MsgWordToPtr(word), sizeof(MsgHead));
    return (ZemWord)copy;
}

void MsgFreeNode(ZemWord word) {
    MSG_FREE(MsgWordToPtr(word));
}

} // extern "C"

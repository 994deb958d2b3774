/*
 * The per-process subscription table: event message id -> subscriber list,
 * and the subscription requests that change it.
 *
 * g_subscribeMutex guards the table, its lists and records; every function
 * here that touches them takes it, except creation and destruction, which
 * run while nothing else uses the table (see msg_broadcast.h). No callback
 * runs from this file.
 */
#define MSG_MODULE "msg_broadcast"

#include <string.h>

#include "broadcast/msg_broadcast.h"
#include "base/msg_alloc.h"
#include "base/msg_names.h"
#include "log/msg_log.h"

ZemHashTable *g_subscribeTable = nullptr;
OsMutex g_subscribeMutex;

namespace {

void ReleaseIdList(MsgSubscribeIdList *idList) {
    ZEM_ListDeinit(&idList->subList);
    MSG_FREE(idList);
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
    return OS_MSG_OK;
}

bool IsUnsubscribeMatch(const MsgHead *listed, const MsgHead *request) {
    return listed->sendCpuId == request->sendCpuId && listed->recvCpuId == request->recvCpuId &&
           MsgNameEqual(listed->sendProcName, request->sendProcName) && !MsgNameEmpty(request->sendTaskName) &&
           MsgNameEqual(listed->sendTaskName, request->sendTaskName) && !MsgNameEmpty(request->recvTaskName) &&
           MsgNameEqual(listed->recvTaskName, request->recvTaskName);
}

/* true when a record was removed. The caller holds the mutex. */
bool RemoveFirstMatch(MsgSubscribeIdList *idList, const MsgHead *request) {
    ZemList *list = &idList->subList;
    for (ZemListNode *pos = ZEM_ListIterBegin(list); pos != ZEM_ListIterEnd(list); pos = ZEM_ListIterNext(list, pos)) {
        if (IsUnsubscribeMatch(MsgSubscriberAt(pos), request)) {
            ZEM_ListIterErase(list, pos);
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" {

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
    uint32_t ret = OS_MSG_OK;
    MsgSubscribeIdList *idList = MsgSubscribeFindIdList(record->msgId);
    if (idList == nullptr) {
        ret = AddFirstSubscriber(record);
        if (ret == OS_MSG_OK) {
            OS_MSG_LOG(OS_LOG_DEBUG, "new list add");
        }
    } else if (MsgIsNodeRepeate(&idList->subList, record) != 0) {
        ret = OS_MSG_OK;
    } else if (ZEM_ListSize(&idList->subList) > MSG_SUB_MAX_PER_ID - 1U) {
        OS_MSG_LOG(OS_LOG_ERROR, "msg id[%u] sub num is over maxnum[%u], not push to list", record->msgId,
                   MSG_SUB_MAX_PER_ID);
        ret = OS_MSG_ERR_FULL;
    } else if (AppendRecord(idList, record) != 0) {
        ret = OS_MSG_ERR_NO_MEMORY;
    } else {
        OS_MSG_LOG(OS_LOG_DEBUG, "push to list, node cnt[%zu]", (size_t)ZEM_ListSize(&idList->subList));
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
    if (RemoveFirstMatch(idList, record)) {
        OS_MSG_LOG(OS_LOG_DEBUG, "del [%.16s][%.16s]", record->recvProcName, record->recvTaskName);
    }
    if (ZEM_ListEmpty(&idList->subList)) {
        (void)ZEM_IntHashErase(g_subscribeTable, (int32_t)record->msgId);
        ReleaseIdList(idList);
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
    MsgHead *copy = (MsgHead *)MSG_MALLOC(sizeof(MsgHead));
    if (copy == nullptr) {
        return 0;
    }
    memcpy(copy, MsgWordToPtr(word), sizeof(MsgHead));
    return (ZemWord)copy;
}

void MsgFreeNode(ZemWord word) {
    MSG_FREE(MsgWordToPtr(word));
}

} // extern "C"

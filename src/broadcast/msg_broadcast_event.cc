/*
 * Broadcast events: packing a publisher's events into a request payload,
 * unpacking a received request, and handing each event to the broadcast
 * function once per matching subscriber.
 *
 * Delivery reads the subscription table under g_subscribeMutex and calls the
 * broadcast function with it held (see msg_broadcast.h); the tap sees each
 * event after that, with the mutex released. g_broadcastFunc and
 * g_broadcastTap are atomic because they are registered on one thread and
 * read by the delivering thread without the mutex. Packing touches no shared
 * state.
 */
#define MSG_MODULE "msg_broadcast"

#include <string.h>

#include <atomic>

#include "base/msg_alloc.h"
#include "base/msg_names.h"
#include "base/msg_result_code.h"
#include "broadcast/msg_broadcast.h"
#include "log/msg_log.h"
#include "vyre_securec.h"

namespace {

std::atomic<MsgBroadcastFunc> g_broadcastFunc{nullptr};
std::atomic<MsgBroadcastTap> g_broadcastTap{nullptr};

/* Offsets inside a block's fixed part. */
constexpr size_t kBlockMsgIdOffset = 16;
constexpr size_t kBlockDataLenOffset = 20;

/* Copies a name with its terminator into a 16-byte field, reading at most 16
 * bytes of src; non-zero when the name does not fit (dest is then unchanged
 * or cleared). */
int CopyName(char *dest, const char *src) {
    size_t len = strnlen(src, OS_MSG_NAME_LEN);
    if (len == OS_MSG_NAME_LEN) {
        return 1;
    }
    return memcpy_s(dest, OS_MSG_NAME_LEN, src, len + 1U) != 0 ? 1 : 0;
}

enum class PackEnd { kDone, kCopyFailed, kNameFailed };

/* Writes the blocks after the request head of a payload of total bytes whose
 * size was computed from the same entries. */
PackEnd PackBlocks(uint8_t *payload, uint64_t total, const MsgBroEntry *entries, uint32_t n, const char *defaultTask) {
    uint64_t offset = MSG_BRO_REQ_HEAD_SIZE;
    for (uint32_t i = 0; i < n; ++i) {
        char *block = (char *)(payload + offset);
        if (memcpy_s(block, total - offset, &entries[i], MSG_BRO_BLOCK_SIZE) != 0) {
            return PackEnd::kCopyFailed;
        }
        offset += MSG_BRO_BLOCK_SIZE;
        if (MsgNameEmpty(entries[i].taskName) && defaultTask != nullptr && CopyName(block, defaultTask) != 0) {
            return PackEnd::kNameFailed;
        }
        if (entries[i].dataLen > 0) {
            if (memcpy_s(payload + offset, total - offset, entries[i].data, (size_t)entries[i].dataLen) != 0) {
                return PackEnd::kCopyFailed;
            }
            offset += (uint64_t)entries[i].dataLen;
        }
    }
    return PackEnd::kDone;
}

/* Fills the event fields of one block into event and returns the number of
 * data bytes that follow its fixed part. A block whose dataLen is not
 * positive carries no data: the event gets no data and keeps the block's
 * dataLen as it is (0, or a negative value seen as a large unsigned one), so
 * whoever delivers it must go by the missing data, not by the length. The
 * fixed part lies inside the payload; the data is not checked. */
uint32_t ReadBlock(uint8_t *block, uint32_t blockSize, MsgHead *event) {
    int32_t dataLen;
    memcpy(event->sendTaskName, block, OS_MSG_NAME_LEN);
    memcpy(&event->msgId, block + kBlockMsgIdOffset, sizeof(event->msgId));
    memcpy(&dataLen, block + kBlockDataLenOffset, sizeof(dataLen));
    event->dataLen = (uint32_t)dataLen;
    if (dataLen > 0) {
        event->data = block + blockSize;
        return (uint32_t)dataLen;
    }
    event->data = nullptr;
    return 0U;
}

} // namespace

extern "C" {

uint32_t MsgSetBroadcastData(MsgHead *head, const MsgBroEntry *entries, uint32_t n, const char *defaultTask) {
    if (head == nullptr || (entries == nullptr && n != 0)) {
        OS_MSG_LOG(OS_LOG_ERROR, "param null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    uint64_t total = MSG_BRO_REQ_HEAD_SIZE;
    for (uint32_t i = 0; i < n; ++i) {
        if (entries[i].dataLen > 0 && entries[i].data == nullptr) {
            OS_MSG_LOG(OS_LOG_ERROR, "entry[%u] dataLen = %d without data.", i, (int)entries[i].dataLen);
            return OS_MSG_ERR_INVALID_PARAM;
        }
        total += MSG_BRO_BLOCK_SIZE + (entries[i].dataLen > 0 ? (uint64_t)entries[i].dataLen : 0U);
    }
    if (total + sizeof(MsgHead) > OS_MSG_MAX_MSG_SIZE) {
        OS_MSG_LOG(OS_LOG_ERROR, "msg oversize (%u events packed into %llu bytes: at most %u)", n,
                   (unsigned long long)total, (unsigned)(OS_MSG_MAX_MSG_SIZE - sizeof(MsgHead)));
        return OS_MSG_ERR_OVERSIZE;
    }
    /* Zero-filled, so a packing that ends early sends no stale bytes. */
    uint8_t *payload = (uint8_t *)MSG_CALLOC(1U, (size_t)total);
    if (payload == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "malloc error.");
        return OS_MSG_ERR_NO_MEMORY;
    }
    MsgBroReq req = {n, MSG_BRO_BLOCK_SIZE};
    memcpy(payload, &req, sizeof(req));
    if (PackBlocks(payload, total, entries, n, defaultTask) == PackEnd::kCopyFailed) {
        OS_MSG_LOG(OS_LOG_ERROR, "memcpy error.");
    }
    head->dataLen = (uint32_t)total;
    head->data = payload;
    return OS_MSG_OK;
}

uint32_t MsgRecvBroadcastData(const MsgHead *head, void *payload, uint32_t length) {
    if (head == nullptr || payload == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "param null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (length < MSG_BRO_REQ_MIN_LEN) {
        OS_MSG_LOG(OS_LOG_ERROR, "wrong dataLen = %u.", length);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    MsgBroReq req;
    memcpy(&req, payload, sizeof(req));
    if (req.num == 0) {
        OS_MSG_LOG(OS_LOG_ERROR, "wrong dataNum = %u.", req.num);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (req.blockSize < MSG_BRO_MIN_BLOCK_SIZE) {
        OS_MSG_LOG(OS_LOG_ERROR, "wrong blocksize = %u.", req.blockSize);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "get broadcast Num = %u.", req.num);
    return MsgDealBroadcastInner(head, req.blockSize, payload, length, req.num);
}

uint32_t MsgDealBroadcastInner(const MsgHead *head, uint32_t blockSize, void *payload, uint32_t length, uint32_t num) {
    if (g_subscribeTable == nullptr || g_broadcastFunc.load(std::memory_order_acquire) == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "hash or func is null.");
        return OS_MSG_ERR_NOT_INIT;
    }
    if (head == nullptr || payload == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "param null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (blockSize < MSG_BRO_MIN_BLOCK_SIZE) {
        OS_MSG_LOG(OS_LOG_ERROR, "wrong blocksize = %u.", blockSize);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    MsgHead event = *head;
    uint8_t *bytes = (uint8_t *)payload;
    uint64_t blockOffset = MSG_BRO_REQ_HEAD_SIZE;
    uint32_t ret = OS_MSG_OK;
    for (uint32_t i = 0; i < num; ++i) {
        /* The end of what the block has been found to hold: its fixed part,
         * then its data once the fixed part lies inside the payload. */
        uint64_t consumed = blockOffset + blockSize;
        if (consumed <= length) {
            consumed += ReadBlock(bytes + blockOffset, blockSize, &event);
        }
        if (consumed > length) {
            OS_MSG_LOG(OS_LOG_ERROR, "dataLen[%d] not match dataSize[%lu].", (int)length, (unsigned long)consumed);
            return OS_MSG_ERR_INVALID_PARAM;
        }
        ret = MsgBroadcastEvent(&event);
        MsgBroadcastTap tap = g_broadcastTap.load(std::memory_order_acquire);
        if (tap != nullptr) {
            tap(&event);
        }
        if (ret != OS_MSG_OK) {
            OS_MSG_LOG(OS_LOG_ERROR, "MsgBroadcastEvent error ret = %d. " MSG_CODE_FMT, (int)ret, MSG_CODE_ARGS(ret));
        }
        blockOffset = consumed;
    }
    return ret;
}

uint32_t MsgBroadcastEvent(const MsgHead *event) {
    if (g_subscribeTable == nullptr || g_broadcastFunc.load(std::memory_order_acquire) == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "hash or func is null.");
        return OS_MSG_ERR_NOT_INIT;
    }
    (void)OsMutexLock(&g_subscribeMutex);
    MsgSubscribeIdList *idList = MsgSubscribeFindIdList(event->msgId);
    if (idList == nullptr) {
        (void)OsMutexUnLock(&g_subscribeMutex);
        OS_MSG_LOG(OS_LOG_WARN, "hash not found [%d].", (int)event->msgId);
        return OS_MSG_OK;
    }
    MsgHead outgoing;
    memset(&outgoing, 0, sizeof(outgoing));
    if (CopyName(outgoing.sendProcName, event->sendProcName) != 0 ||
        CopyName(outgoing.sendTaskName, event->sendTaskName) != 0) {
        (void)OsMutexUnLock(&g_subscribeMutex);
        OS_MSG_LOG(OS_LOG_ERROR, "memcpy error.");
        return OS_MSG_ERR_FAIL;
    }
    outgoing.sendUid = event->sendUid;
    outgoing.sendPid = event->sendPid;
    outgoing.sendCpuId = event->sendCpuId;
    outgoing.msgId = event->msgId;
    OS_MSG_LOG(OS_LOG_DEBUG, "find broadcast [%d][%s][%s]", (int)outgoing.sendCpuId, outgoing.sendProcName,
               outgoing.sendTaskName);
    ZemList *list = &idList->subList;
    for (ZemListNode *pos = ZEM_ListIterBegin(list); pos != ZEM_ListIterEnd(list); pos = ZEM_ListIterNext(list, pos)) {
        const MsgHead *subscriber = MsgSubscriberAt(pos);
        OS_MSG_LOG(OS_LOG_DEBUG, "iter broadcast [%d][%.16s][%.16s]", (int)subscriber->recvCpuId,
                   subscriber->recvProcName, subscriber->recvTaskName);
        MsgCmpBroadcast(subscriber, event, &outgoing);
    }
    (void)OsMutexUnLock(&g_subscribeMutex);
    return OS_MSG_OK;
}

void MsgCmpBroadcast(const MsgHead *subscriber, const MsgHead *event, MsgHead *outgoing) {
    OS_MSG_LOG(OS_LOG_DEBUG, "cmp [%x][%.16s][%.16s] -- [%x][%.16s][%.16s]", event->sendCpuId, event->sendProcName,
               event->sendTaskName, subscriber->recvCpuId, subscriber->recvProcName, subscriber->recvTaskName);
    if (subscriber->recvCpuId != event->sendCpuId || MsgNameEmpty(event->sendTaskName) ||
        !MsgNameEqual(event->sendTaskName, subscriber->recvTaskName)) {
        return;
    }
    if (CopyName(outgoing->recvProcName, subscriber->sendProcName) != 0 ||
        CopyName(outgoing->recvTaskName, subscriber->sendTaskName) != 0) {
        OS_MSG_LOG(OS_LOG_ERROR, "memcpy error.");
        return;
    }
    outgoing->recvCpuId = subscriber->sendCpuId;
    outgoing->dataLen = event->dataLen;
    outgoing->data = event->data;
    OS_MSG_LOG(OS_LOG_DEBUG, "broadcast [%d] from [%x][%s][%s] to [%x][%s][%s]", (int)outgoing->msgId,
               outgoing->sendCpuId, outgoing->sendProcName, outgoing->sendTaskName, outgoing->recvCpuId,
               outgoing->recvProcName, outgoing->recvTaskName);
    MsgBroadcastFunc func = g_broadcastFunc.load(std::memory_order_acquire);
    if (func != nullptr) {
        (void)func(outgoing);
    }
}

void MsgSetBroadcastTap(MsgBroadcastTap tap) {
    g_broadcastTap.store(tap, std::memory_order_release);
}

uint32_t MsgSetBroadcastFunc(MsgBroadcastFunc func) {
    if (func == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "func null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    g_broadcastFunc.store(func, std::memory_order_release);
    return OS_MSG_OK;
}

} // extern "C"

/*
 * Event requests: builds subscription and broadcast messages for the
 * broadcast task "pmsgBro" and sends them through the routing layer.
 *
 * Stateless apart from the CPU-id lookup hook, which only tests change. Each
 * request header lives on the caller's stack; each payload is released before
 * the operation returns.
 */
#define MSG_MODULE "msg_proc"

#include "core/msg_event_req.h"

#include <errno.h>
#include <string.h>

#include "base/msg_alloc.h"
#include "base/msg_result_code.h"
#include "broadcast/msg_broadcast.h"
#include "core/msg_send.h"
#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "msc/msg_msc.h"
#include "shared_buf/msg_cargo.h"
#include "simple_msg/simple_msg.h"
#include "transport/msg_adapter.h"
#include "vyre_securec.h"

static_assert(sizeof(MsgSubEntry) == 56U, "a subscription entry travels as 56 bytes");
static_assert(MSG_SUB_CPU_REQ_LEN == MSG_SUB_REQ_HEAD_LEN + sizeof(MsgSubEntry), "one-entry request");

MsgRealCpuIdFunc g_pfnMsgSubRealCpuId = MsgCpuGetRealCpuID;

namespace {

/* The count field of a subscription payload when one entry travels alone. */
constexpr uint32_t kSingleEntryCount = 1U;

/* Makes head a request msgId to the broadcast task on CPU recvCpuId: stamps
 * the sender (MsgForceSetSendName, which sees whatever sender fields the
 * caller set before) and copies the receiver names with their terminators.
 * Returns the failing copy's result, else 0. */
errno_t MsgAddressPmsgReq(MsgHead *head, uint32_t msgId, uint32_t recvCpuId) {
    head->msgId = msgId;
    head->recvCpuId = recvCpuId;
    (void)MsgForceSetSendName(head);
    errno_t rc =
        memcpy_s(head->recvProcName, sizeof(head->recvProcName), MSG_PROC_NAME_PMSG, sizeof(MSG_PROC_NAME_PMSG));
    if (rc != 0) {
        return rc;
    }
    return memcpy_s(head->recvTaskName, sizeof(head->recvTaskName), MSG_TASK_NAME_PMSG_BRO,
                    sizeof(MSG_TASK_NAME_PMSG_BRO));
}

/* Writes n bytes at offset of head's payload; fails without writing when they
 * do not lie wholly inside data[0, dataLen). */
errno_t MsgPutPayload(const MsgHead *head, uint32_t offset, const void *src, uint32_t n) {
    if (head->data == nullptr || offset > head->dataLen) {
        return ERANGE;
    }
    return memcpy_s(static_cast<uint8_t *>(head->data) + offset, head->dataLen - offset, src, n);
}

/* The subscription payload's head: op and the number of entries it carries. */
errno_t MsgPutSubReqHead(const MsgHead *head, uint32_t op, uint32_t count) {
    uint8_t reqHead[MSG_SUB_REQ_HEAD_LEN];
    reqHead[0] = static_cast<uint8_t>(op);
    memcpy(reqHead + 1, &count, sizeof(count));
    return MsgPutPayload(head, 0U, reqHead, sizeof(reqHead));
}

/* Zeroes the payload of head from offset to its end. */
void MsgZeroPayloadTail(const MsgHead *head, uint32_t offset) {
    if (head->data != nullptr && offset < head->dataLen) {
        (void)memset_s(static_cast<uint8_t *>(head->data) + offset, head->dataLen - offset, 0, head->dataLen - offset);
    }
}

/* Sends a finished request to the broadcast task. A request that finds the
 * task's queue full waits there for room rather than being dropped, so one
 * that returns 0 is queued, behind every request queued before it. */
uint32_t MsgSendEventReq(const MsgHead *head) {
    return SimpleMsgSendWaitingRoom(MsgAsynSend, MSG_TRANS_SUB_BRO, head, MSG_EVENT_REQ_WAIT_MS);
}

/* One attempt of a request with cargo: a reference of its own, which the
 * send takes; ctx is the request's cargo, which stays the caller's. */
uint32_t MsgSendCargoReq(MsgHead *head, uint32_t transType, void *ctx) {
    MsgCargo *share = MsgCargoShare(static_cast<const MsgCargo *>(ctx));
    if (share == nullptr) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    share->flags = static_cast<const MsgCargo *>(ctx)->flags;
    return MsgAsynSendCargo(head, transType, share);
}

} // namespace

extern "C" {

uint32_t MsgSendSubMsg(MsgSubEntry *entries, uint32_t count, uint32_t op) {
    uint64_t size = static_cast<uint64_t>(count) * sizeof(MsgSubEntry);
    if (size + MSG_SUB_REQ_HEAD_LEN + sizeof(MsgHead) > OS_MSG_MAX_MSG_SIZE) {
        MSG_LOG(OS_MSG_LOG_ERROR, "msg oversize (%u entries: one request holds at most %u)", count,
                (uint32_t)((OS_MSG_MAX_MSG_SIZE - MSG_SUB_REQ_HEAD_LEN - sizeof(MsgHead)) / sizeof(MsgSubEntry)));
        return OS_MSG_ERR_OVERSIZE;
    }
    MsgHead head = {};
    head.sendCpuId = MsgGetLocalCpuID();
    errno_t rc = MsgAddressPmsgReq(&head, MSG_ID_SUBSCRIBE, MsgGetLocalCpuID());
    if (rc != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "memcpy error.");
        return static_cast<uint32_t>(rc);
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "subscribe [%s][%s] num=%u.", head.sendProcName, head.sendTaskName, count);

    uint32_t len = static_cast<uint32_t>(size) + MSG_SUB_REQ_HEAD_LEN;
    void *payload = SimpleMsgAllocBuffer(len);
    if (payload == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "malloc error.");
        return OS_MSG_ERR_NO_MEMORY;
    }
    head.dataLen = len;
    head.data = payload;
    uint32_t ret = MsgSetSubscribeData(&head, entries, count, op);
    if (ret == OS_MSG_OK) {
        ret = MsgSendEventReq(&head);
        if (ret != OS_MSG_OK) {
            MSG_LOG(OS_MSG_LOG_ERROR, "send subscribe fail ret = %d. " MSG_CODE_FMT, (int)ret, MSG_CODE_ARGS(ret));
        }
    }
    SimpleMsgReleaseBuffer(payload, len);
    return ret;
}

uint32_t MsgSetSubscribeData(MsgHead *head, MsgSubEntry *entries, uint32_t count, uint32_t op) {
    if (head == nullptr || entries == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    uint32_t remaining = count;
    uint32_t writePos = MSG_SUB_REQ_HEAD_LEN;
    for (uint32_t i = 0U; i < count; ++i) {
        MsgSubEntry *entry = &entries[i];
        (void)g_pfnMsgSubRealCpuId(entry->cpuId, &entry->cpuId);
        if (entry->cpuId != head->sendCpuId) {
            --remaining;
            uint32_t ret = MsgSubscribeCpuData(entry, op);
            if (ret != OS_MSG_OK) {
                return ret;
            }
            continue;
        }
        if (MsgPutPayload(head, writePos, entry, sizeof(*entry)) != 0) {
            MSG_LOG(OS_MSG_LOG_ERROR, "memcpy error.");
            continue;
        }
        writePos += sizeof(*entry);
    }
    if (remaining == 0U) {
        MSG_LOG(OS_MSG_LOG_DEBUG, "not need subscribe.");
        return 0xFFFFFFFFU;
    }
    /* Entries sent to other CPUs leave room behind the copied ones; it
     * travels with the message, so it carries no stale bytes. */
    MsgZeroPayloadTail(head, writePos);
    if (MsgPutSubReqHead(head, op, remaining) != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "memcpy error.");
        return OS_MSG_ERR_FAIL;
    }
    return OS_MSG_OK;
}

uint32_t MsgSubscribeCpuData(const MsgSubEntry *entry, uint32_t op) {
    if (entry == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    void *payload = MSG_MALLOC(MSG_SUB_CPU_REQ_LEN);
    if (payload == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "malloc error.");
        return OS_MSG_ERR_NO_MEMORY;
    }
    MsgHead head = {};
    head.dataLen = MSG_SUB_CPU_REQ_LEN;
    head.data = payload;
    head.sendCpuId = MsgGetLocalCpuID();
    head.mscBlock = (MsgMscGetDefaultChanType() << MSG_MSC_CHAN_TYPE_SHIFT) & MSG_MSC_CHAN_TYPE_MASK;
    if (MsgPutSubReqHead(&head, op, kSingleEntryCount) != 0 ||
        MsgPutPayload(&head, MSG_SUB_REQ_HEAD_LEN, entry, sizeof(*entry)) != 0 ||
        MsgAddressPmsgReq(&head, MSG_ID_SUBSCRIBE, entry->cpuId) != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "memcpy error.");
        MSG_FREE(payload);
        return OS_MSG_ERR_FAIL;
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "subscribe cpu msg [%s][%s] num=%u.", head.sendProcName, head.sendTaskName,
            kSingleEntryCount);
    uint32_t ret = MsgSendEventReq(&head);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "send subscribe fail ret = %d. " MSG_CODE_FMT, (int)ret, MSG_CODE_ARGS(ret));
    }
    MSG_FREE(payload);
    return ret;
}

uint32_t MsgSendBroadcastMsg(const MsgBroEntry *events, uint32_t count) {
    MsgHead head = {};
    errno_t rc = MsgAddressPmsgReq(&head, MSG_ID_BROADCAST, MsgGetLocalCpuID());
    if (rc != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "memcpy error.");
        return static_cast<uint32_t>(rc);
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "broadcast [%s][%s] num=%u.", head.sendProcName, head.sendTaskName, count);
    uint32_t ret = MsgSetBroadcastData(&head, events, count, head.sendTaskName);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    void *payload = head.data;
    ret = MsgSendEventReq(&head);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "send broadcast fail ret = %d. " MSG_CODE_FMT, (int)ret, MSG_CODE_ARGS(ret));
    }
    MSG_FREE(payload);
    return ret;
}

uint32_t MsgSendBroadcastBufMsg(const MsgBroEntry *event, MsgCargo *cargo) {
    MsgHead head = {};
    errno_t rc = MsgAddressPmsgReq(&head, MSG_ID_BROADCAST, MsgGetLocalCpuID());
    if (rc != 0) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "memcpy error.");
        return static_cast<uint32_t>(rc);
    }
    MsgBroEntry bare = *event;
    bare.dataLen = 0;
    bare.data = nullptr;
    uint32_t ret = MsgSetBroadcastData(&head, &bare, 1U, head.sendTaskName);
    if (ret != OS_MSG_OK) {
        MsgCargoRelease(cargo);
        return ret;
    }
    cargo->flags |= MSG_CARGO_BROADCAST;
    void *payload = head.data;
    ret = SimpleMsgSendWaitingRoomCtx(MsgSendCargoReq, MSG_TRANS_SUB_BRO, cargo, &head, MSG_EVENT_REQ_WAIT_MS);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "send broadcast fail ret = %d.", (int)ret);
    }
    MSG_FREE(payload);
    MsgCargoRelease(cargo);
    return ret;
}

} // extern "C"

/*
 * The receive side of the adapter: the entry through which every transport
 * hands a received header and payload buffer to the task queues, the dispatch
 * by transport message type, the three delivery handlers with the redirect
 * into the board-support task, and the broadcast function that sends each
 * event on to its subscriber.
 *
 * Received headers are untrusted: only their first 164 bytes are read, into a
 * private zeroed copy whose data word is cleared, and everything after that
 * works on the copy. Names from the wire are printed with a 16-byte bound.
 *
 * Thread safety: no state of its own; any transport thread may call in. The
 * queue operations lock the task table and the queue.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <cstring>

#include "base/msg_names.h"
#include "base/msg_proc_name.h"
#include "base/msg_result_code.h"
#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "msc/msg_msc.h"
#include "shared_buf/msg_delivery.h"
#include "simple_msg/simple_msg.h"
#include "transport/msg_adapter.h"
#include "transport/msg_adp_buff.h"
#include "vyre_securec.h"

namespace {

/* True when a message from another CPU arrives in the board-support process
 * and is meant for some other process: it then goes to the board-support
 * task unchanged. destProcName is the receiving process of the message. */
bool MsgAdpNeedBspRedirect(const MsgHead *head, const char *destProcName) {
    if (head->sendCpuId == head->recvCpuId) {
        return false;
    }
    const char *bspProc = MsgGetBspProcName();
    return MsgNameEqual(MsgGetProcName(), bspProc) && !MsgNameEqual(destProcName, bspProc);
}

/* Pushes into a task queue, with cargo (NULL for none); a message without
 * a payload length or buffer carries neither. */
uint32_t MsgAdpPushToTask(const char *taskName, const MsgHead *head, void *buf, uint32_t bufLen,
                          MsgCargo *cargo = nullptr) {
    if (bufLen == 0U || buf == nullptr) {
        buf = nullptr;
        bufLen = 0U;
    }
    return cargo == nullptr ? SimpleMsgPushBuffer(taskName, head, buf, bufLen)
                            : SimpleMsgPushCargo(taskName, head, buf, bufLen, cargo);
}

void MsgAdpConvertCrossCpuBlock(MsgHead *head) {
    if (head->sendCpuId != head->recvCpuId) {
        (void)MsgSetRecvMscBlock(&head->mscBlock);
    }
}

/* A real CPU id without a virtual id stays as it is. */
void MsgAdpMapToVirtualCpu(uint32_t *cpuId) {
    uint32_t virtualId = 0U;
    if (MsgCpuGetVirtualCpuID(*cpuId, &virtualId) == OS_MSG_OK) {
        *cpuId = virtualId;
    }
}

/* An asynchronous send through slot 0, the signature the wait for room takes. */
uint32_t MsgAdpSendHere(MsgHead *head, uint32_t transType) {
    return PMsgAsynSend(head, transType, 0U);
}

/* The receive entry's first step on a received header: the wire's data
 * word (its upper half included) is never taken, and the kernel's pid and
 * uid of the sender, when the transport has them, replace what it wrote. */
void MsgAdpStampReceived(MsgHead *head, uint32_t pid, uint32_t uid) {
    head->data = nullptr;
    if (pid != MSG_ADP_ABSENT_ID) {
        head->sendPid = pid;
    }
    if (uid != MSG_ADP_ABSENT_ID) {
        head->sendUid = uid;
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "msg BinderAdpTransact[id:%u from pid:%d uid:%d] [%d][%.16s][%.16s]->[%d][%.16s][%.16s].",
            head->msgId, (int)pid, (int)uid, (int)head->sendCpuId, head->sendProcName, head->sendTaskName,
            (int)head->recvCpuId, head->recvProcName, head->recvTaskName);
}

/* The task whose queue takes a received asynchronous message: the BSP task
 * when the message must be redirected there, else its receiver, with the
 * header converted for this CPU. */
const char *MsgAdpAsynTarget(MsgHead *head) {
    if (MsgAdpNeedBspRedirect(head, head->recvProcName)) {
        return MsgGetBspTaskName();
    }
    MsgAdpConvertCrossCpuBlock(head);
    MsgAdpMapToVirtualCpu(&head->sendCpuId);
    MsgAdpMapToVirtualCpu(&head->recvCpuId);
    return head->recvTaskName;
}

/* Turns a received asynchronous header into the one its queue takes, as
 * MsgAdpTransact does, with buf/len as its payload; returns the name of the
 * task whose queue takes it. */
const char *MsgAdpPrepareAsyn(MsgHead *head, void *buf, uint32_t len, uint32_t pid, uint32_t uid) {
    MsgAdpStampReceived(head, pid, uid);
    const char *task = MsgAdpAsynTarget(head);
    bool payload = len != 0U && buf != nullptr;
    head->data = payload ? buf : nullptr;
    head->dataLen = payload ? len : 0U;
    return task;
}

/* The cargo a broadcast event shares: that of the broadcast request the
 * calling thread (the broadcast task) is handling, when its event lies in a
 * shared buffer; else NULL. */
MsgCargo *MsgAdpBroadcastCargo(void) {
    MsgCargo *cargo = MsgDeliveryCurrentCargo();
    return cargo != nullptr && (cargo->flags & MSG_CARGO_BROADCAST) != 0U ? cargo : nullptr;
}

/* MsgAdpSendHere of an event that shares the broadcast request's buffer:
 * each attempt sends a reference of its own (taken by the send). */
uint32_t MsgAdpSendSharedHere(MsgHead *head, uint32_t transType) {
    MsgCargo *share = MsgCargoShare(MsgAdpBroadcastCargo());
    if (share == nullptr) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    head->data = share->data;
    head->dataLen = share->dataLen;
    return PMsgAsynSendCargo(head, transType, share);
}

/* Delivers a received header copy by type, with cargo (NULL for none); the
 * handlers' contract. */
uint32_t MsgAdpDeliver(int32_t transType, MsgHead *head, void *buf, uint32_t bufLen, MsgCargo *cargo) {
    switch (transType) {
    case (int32_t)MSG_TRANS_ASYN:
    case (int32_t)MSG_TRANS_SYN:
        return MsgAdpPushToTask(MsgAdpAsynTarget(head), head, buf, bufLen, cargo);
    case (int32_t)MSG_TRANS_SYN_RESP:
        if (cargo != nullptr) {
            return OS_MSG_ERR_INVALID_PARAM;
        }
        return MsgAdpDealRcvSynResp(head, buf, bufLen);
    case (int32_t)MSG_TRANS_SUB_BRO:
        if (MsgAdpNeedBspRedirect(head, head->recvProcName)) {
            return MsgAdpPushToTask(MsgAdpAsynTarget(head), head, buf, bufLen, cargo);
        }
        return cargo == nullptr ? SimpleMsgPushBuffer(head->recvTaskName, head, buf, bufLen)
                                : SimpleMsgPushCargo(head->recvTaskName, head, buf, bufLen, cargo);
    default:
        return OS_MSG_ERR_INVALID_PARAM;
    }
}

/* The line of a delivery the queues refused; a full queue is flow control
 * on a receive thread that holds the message back (DEBUG there). */
void MsgAdpLogRefusal(uint32_t ret) {
    MSG_LOG(ret == OS_MSG_ERR_FULL && SimpleMsgFullIsFlow() ? OS_MSG_LOG_DEBUG : OS_MSG_LOG_ERROR,
            "MsgAdpTransact transcat ret=%d " MSG_CODE_FMT, (int)ret, MSG_CODE_ARGS(ret));
}

/* The received header's checks and copy of MsgAdpTransact; 0 or the
 * refusal's code. */
uint32_t MsgAdpCopyReceived(MsgHead *copy, const void *head, uint32_t headLen) {
    std::memset(copy, 0, sizeof(*copy));
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input head null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (headLen < MSG_ADP_MIN_HEAD_LEN) {
        MSG_LOG(OS_MSG_LOG_ERROR, "headLen[%u] error.", headLen);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (memcpy_s(copy, sizeof(*copy), head, MSG_ADP_MIN_HEAD_LEN) != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "memcpy error.");
        return OS_MSG_ERR_FAIL;
    }
    return OS_MSG_OK;
}

} // namespace

extern "C" {

uint32_t MsgAdpTransact(int32_t transType, const void *head, uint32_t headLen, void *buf, uint32_t bufLen, uint32_t pid,
                        uint32_t uid) {
    MsgHead copy;
    uint32_t ret = MsgAdpCopyReceived(&copy, head, headLen);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    MsgAdpStampReceived(&copy, pid, uid);
    ret = MsgAdpProc(transType, &copy, buf, bufLen);
    if (ret != OS_MSG_OK) {
        MsgAdpLogRefusal(ret);
        return ret;
    }
    return OS_MSG_OK;
}

uint32_t MsgAdpTransactCargo(int32_t transType, const void *head, uint32_t headLen, void *buf, uint32_t bufLen,
                             uint32_t pid, uint32_t uid, MsgCargo *cargo) {
    MsgHead copy;
    uint32_t ret = MsgAdpCopyReceived(&copy, head, headLen);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    MsgAdpStampReceived(&copy, pid, uid);
    ret = MsgAdpDeliver(transType, &copy, buf, bufLen, cargo);
    if (ret != OS_MSG_OK) {
        MsgAdpLogRefusal(ret);
        return ret;
    }
    return OS_MSG_OK;
}

uint32_t MsgAdpProc(int32_t transType, MsgHead *head, void *buf, uint32_t bufLen) {
    switch (transType) {
    case (int32_t)MSG_TRANS_ASYN:
    case (int32_t)MSG_TRANS_SYN:
        return MsgAdpDealRcvASynMsg(head, buf, bufLen);
    case (int32_t)MSG_TRANS_SYN_RESP:
        return MsgAdpDealRcvSynResp(head, buf, bufLen);
    case (int32_t)MSG_TRANS_SUB_BRO:
        return MsgAdpDealRcvSubBroadcast(head, buf, bufLen);
    default:
        return OS_MSG_ERR_INVALID_PARAM;
    }
}

uint32_t MsgAdpDealRcvASynMsg(MsgHead *head, void *buf, uint32_t bufLen) {
    return MsgAdpPushToTask(MsgAdpAsynTarget(head), head, buf, bufLen);
}

uint32_t MsgAdpDealRcvSynResp(MsgHead *head, void *buf, uint32_t bufLen) {
    if (MsgAdpNeedBspRedirect(head, head->sendProcName)) {
        return MsgAdpPushToTask(MsgGetBspTaskName(), head, buf, bufLen);
    }
    MsgAdpConvertCrossCpuBlock(head);
    if (bufLen == 0U || buf == nullptr) {
        return SimpleMsgPushRespBuffer(head->sendTaskName, head, nullptr, 0U);
    }
    return SimpleMsgPushRespBuffer(head->sendTaskName, head, buf, bufLen);
}

uint32_t MsgAdpDealRcvSubBroadcast(MsgHead *head, void *buf, uint32_t bufLen) {
    if (MsgAdpNeedBspRedirect(head, head->recvProcName)) {
        return MsgAdpDealRcvASynMsg(head, buf, bufLen);
    }
    return SimpleMsgPushBuffer(head->recvTaskName, head, buf, bufLen);
}

uint32_t MsgBroadcastCallback(MsgHead *head) {
    if (head == nullptr || head->sendCpuId != head->recvCpuId) {
        return OS_MSG_OK;
    }
    MsgHead event = *head;
    if (event.data == nullptr) {
        // An event published with a negative length carries no data; its
        // length must not become a payload size on the way to the subscriber.
        event.dataLen = 0U;
    }
    // An event in a shared buffer travels without data in the request; the
    // request's cargo has it.
    SimpleMsgSendFunc send =
        event.data == nullptr && MsgAdpBroadcastCargo() != nullptr ? MsgAdpSendSharedHere : MsgAdpSendHere;
    uint32_t ret = SimpleMsgSendWaitingRoom(send, MSG_TRANS_ASYN, &event, MSG_BRO_DELIVER_WAIT_MS);
    if (ret == OS_MSG_ERR_FULL) {
        MSG_LOG(OS_MSG_LOG_ERROR, "event 0x%x for [%.16s] dropped: queue full.", event.msgId, event.recvTaskName);
    }
    return ret;
}

} // extern "C"

uint32_t MsgAdpTransactBatch(MsgHead *heads, void *const *bufs, const uint32_t *lens, uint32_t count, uint32_t pid,
                             uint32_t uid, uint32_t *done) {
    const char *tasks[MSG_ADP_BATCH_MAX];
    count = count < MSG_ADP_BATCH_MAX ? count : MSG_ADP_BATCH_MAX;
    for (uint32_t i = 0U; i < count; ++i) {
        tasks[i] = MsgAdpPrepareAsyn(&heads[i], bufs[i], lens[i], pid, uid);
    }
    uint32_t i = 0U;
    while (i < count) {
        uint32_t run = 1U;
        while (i + run < count && MsgNameEqual(tasks[i + run], tasks[i])) {
            ++run;
        }
        uint32_t pushed = SimpleMsgPushBatch(tasks[i], &heads[i], run);
        i += pushed;
        if (pushed == run) {
            continue;
        }
        // The message the batch did not take goes alone, which reports a
        // refusal as the single receive entry does.
        uint32_t ret = SimpleMsgPushBuffer(tasks[i], &heads[i], heads[i].data, heads[i].dataLen);
        if (ret != OS_MSG_OK) {
            MsgAdpLogRefusal(ret);
            *done = i;
            return ret;
        }
        ++i;
    }
    *done = count;
    return OS_MSG_OK;
}

bool MsgAdpPrepareQueued(MsgHead *head, void *buf, uint32_t len, uint32_t pid, uint32_t uid) {
    if (MsgAdpNeedBspRedirect(head, head->recvProcName)) {
        return false;
    }
    (void)MsgAdpPrepareAsyn(head, buf, len, pid, uid);
    return true;
}

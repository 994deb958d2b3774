/*
 * Send routing and sender stamping: stamps the sender fields of outgoing
 * headers and routes each message by its inner route type to the in-process
 * task layer or to the transport adapter.
 *
 * Stateless; every operation runs on the caller's thread and takes only the
 * locks of the layers it calls. Nothing here allocates: the layers below make
 * the payload copies, and the only extra memory is a header or name copy on
 * the stack.
 */
#define MSG_MODULE "msg_proc"

#include "core/msg_send.h"

#include "base/msg_names.h"
#include "base/msg_proc_name.h"
#include "base/msg_serve_mark.h"
#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "msc/msg_msc.h"
#include "shared_buf/msg_cargo.h"
#include "simple_msg/simple_msg.h"
#include "transport/msg_adapter.h"
#include "vyre_os_thread.h"
#include "vyre_securec.h"

/* Sender and receiver of a header in the routing log lines. Names are printed
 * with at most 16 characters, as a name field may lack its terminator. */
#define MSG_ROUTE_FMT "[%d][%.16s][%.16s]->[%d][%.16s][%.16s]."
#define MSG_ROUTE_ARGS(h)                                                                                              \
    (int)(h)->sendCpuId, (h)->sendProcName, (h)->sendTaskName, (int)(h)->recvCpuId, (h)->recvProcName, (h)->recvTaskName

namespace {

/* Processes whose messages keep the sender fields their callers wrote: the
 * system controller, the library's own broadcast process and the
 * board-support process. */
bool MsgIsReservedSender(const char *ownName) {
    return MsgNameEqual(ownName, MSG_PROC_NAME_SYSCTRL) || MsgNameEqual(ownName, MSG_PROC_NAME_PMSG) ||
           MsgNameEqual(ownName, MsgGetBspProcName());
}

/* The inner route type of head; unless the message is relayed for another
 * process (MSG_INNER_NA), its msgKind becomes kind. */
uint32_t MsgRouteAs(MsgHead *head, uint32_t isResponse, uint32_t kind) {
    uint32_t innerType = MsgGetInnerType(head, isResponse);
    if (innerType != MSG_INNER_NA) {
        head->msgKind = kind;
    }
    return innerType;
}

/* SimpleMsgAsynSend in the shape SimpleMsgSendWaitingRoom takes. */
uint32_t MsgSendHere(MsgHead *head, uint32_t) {
    return SimpleMsgAsynSend(head);
}

} // namespace

extern "C" {

uint32_t MsgForceSetSendName(MsgHead *head) {
    if (head == nullptr) {
        return 1U;
    }
    const char *ownName = MsgGetProcName();
    if (MsgCpuGetRealCpuID(head->recvCpuId, &head->recvCpuId) != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_INFO, "recvCpuId : %d , get real cpuId failed.", (int)head->recvCpuId);
    }
    if (MsgIsReservedSender(ownName)) {
        MSG_LOG(OS_MSG_LOG_DEBUG, "msg from %s not change send info.", ownName);
        MsgFillSendMsg(head);
        return 1U;
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "before name [%d][%d][%.16s][%.16s]", (int)head->sendCpuId, (int)head->recvCpuId,
            head->sendProcName, head->sendTaskName);
    head->sendCpuId = MsgGetLocalCpuID();
    head->sendUid = OsGetUId();
    head->sendPid = OsGetPId();
    uint32_t found = 1U;
    if (MsgNameEmpty(head->sendTaskName)) {
        found = SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), head->sendTaskName, OS_MSG_NAME_LEN);
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "after name [%d][%d][%.16s][%.16s]", (int)head->sendCpuId, (int)head->recvCpuId,
            head->sendProcName, head->sendTaskName);
    return found;
}

void MsgFillSendMsg(MsgHead *head) {
    if (head == nullptr) {
        return;
    }
    if (head->sendCpuId == 0U) {
        head->sendCpuId = MsgGetLocalCpuID();
    }
    if (MsgNameEmpty(head->sendProcName)) {
        errno_t rc = memcpy_s(head->sendProcName, sizeof(head->sendProcName), MsgGetProcName(), OS_MSG_NAME_LEN);
        if (rc != 0) {
            MSG_LOG(OS_MSG_LOG_ERROR, "memcpy_s error[%d].", (int)rc);
        }
    }
    if (MsgNameEmpty(head->sendTaskName)) {
        (void)SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), head->sendTaskName, OS_MSG_NAME_LEN);
    }
}

uint32_t MsgGetInnerType(const MsgHead *head, uint32_t isResponse) {
    if (head == nullptr) {
        return MSG_INNER_NA;
    }
    if (head->sendCpuId != head->recvCpuId) {
        const char *bspName = MsgGetBspProcName();
        if (MsgNameEqual(MsgGetProcName(), bspName)) {
            if (isResponse == 1U && !MsgNameEqual(head->recvProcName, bspName)) {
                return MSG_INNER_NA;
            }
            if (isResponse == 0U && !MsgNameEqual(head->sendProcName, bspName)) {
                return MSG_INNER_NA;
            }
        }
        return MSG_INNER_OTHER_CPU;
    }
    if (!MsgFieldEqual(head->recvProcName, head->sendProcName)) {
        return MSG_INNER_OTHER_PROC;
    }
    return MsgFieldEqual(head->recvTaskName, head->sendTaskName) ? MSG_INNER_SAME_TASK : MSG_INNER_OTHER_TASK;
}

uint32_t MsgAsynSend(MsgHead *head, uint32_t transType) {
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    uint32_t innerType = MsgRouteAs(head, 0U, MSG_KIND_ASYN);
    MSG_LOG(OS_MSG_LOG_DEBUG, "msg(type:%d inType:%d) Asyn send 0x%x " MSG_ROUTE_FMT, (int)transType, (int)innerType,
            head->msgId, MSG_ROUTE_ARGS(head));
    switch (innerType) {
    case MSG_INNER_OTHER_TASK:
    case MSG_INNER_SAME_TASK:
        return SimpleMsgAsynSend(head);
    case MSG_INNER_OTHER_CPU:
        return PMsgAsynSend(head, transType, 1U);
    default:
        return PMsgAsynSend(head, transType, 0U);
    }
}

uint32_t MsgAsynSendTimed(MsgHead *head, uint32_t transType, uint32_t waitMs) {
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    uint32_t innerType = MsgRouteAs(head, 0U, MSG_KIND_ASYN);
    MSG_LOG(OS_MSG_LOG_DEBUG, "msg(type:%d inType:%d) Asyn send 0x%x waiting %u ms " MSG_ROUTE_FMT, (int)transType,
            (int)innerType, head->msgId, waitMs, MSG_ROUTE_ARGS(head));
    switch (innerType) {
    case MSG_INNER_OTHER_TASK:
    case MSG_INNER_SAME_TASK:
        return SimpleMsgSendWaitingRoom(MsgSendHere, 0U, head, waitMs);
    case MSG_INNER_OTHER_CPU:
        return PMsgAsynSendTimed(head, transType, 1U, waitMs);
    default:
        return PMsgAsynSendTimed(head, transType, 0U, waitMs);
    }
}

uint32_t MsgSynSend(MsgHead *head, MsgHead **respOut, uint32_t timeout, uint32_t transType, uint32_t found) {
    return MsgSynSendCargo(head, respOut, timeout, transType, found, nullptr);
}

uint32_t MsgSynSendCargo(MsgHead *head, MsgHead **respOut, uint32_t timeout, uint32_t transType, uint32_t found,
                         MsgCargo *cargo) {
    if (head == nullptr) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    uint32_t ret = SimpleMsgRegRequester(head->sendTaskName, found == 0U ? 1U : 0U);
    if (ret != OS_MSG_OK && ret != OS_MSG_ERR_TASK_EXIST) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "can not send syn msg.");
        return ret;
    }
    uint32_t innerType = MsgRouteAs(head, 0U, MSG_KIND_SYN);
    MSG_LOG(OS_MSG_LOG_DEBUG, "msg(type:%d) Syn send 0x%x " MSG_ROUTE_FMT, (int)innerType, head->msgId,
            MSG_ROUTE_ARGS(head));
    /* The caller's pointer is written only on success. */
    MsgHead *resp = nullptr;
    if (innerType == MSG_INNER_SAME_TASK) {
        ret = cargo == nullptr ? SimpleMsgDirectCall(head, &resp) : SimpleMsgDirectCallCargo(head, cargo, &resp);
    } else if (innerType == MSG_INNER_OTHER_TASK && MsgServingOnReceive() &&
               SimpleTaskServedOnReceive(head->recvTaskName)) {
        // Its answer would come from this very thread, which waits.
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR,
                "task[%.16s] is served on the receive thread and cannot wait for an answer from task [%.16s], which "
                "the same thread serves: send asynchronously.",
                head->sendTaskName, head->recvTaskName);
        ret = OS_MSG_ERR_FAIL;
    } else if (innerType == MSG_INNER_OTHER_TASK) {
        ret = cargo == nullptr ? SimpleMsgSynSend(head, &resp, timeout)
                               : SimpleMsgSynSendCargo(head, cargo, &resp, timeout);
    } else {
        void *transResp = resp;
        ret = cargo == nullptr ? PMsgSynSend(head, &transResp, timeout, transType)
                               : PMsgSynSendCargo(head, &transResp, timeout, transType, cargo);
        resp = static_cast<MsgHead *>(transResp);
    }
    if (ret == OS_MSG_OK && respOut != nullptr) {
        *respOut = resp;
    }
    /* A temporary task goes with its response: now, when none came. */
    if (found == 0U && (ret != OS_MSG_OK || resp == nullptr)) {
        (void)SimpleMsgUnregTask(head->sendTaskName);
    }
    return ret;
}

uint32_t MsgAsynSendCargo(MsgHead *head, uint32_t transType, MsgCargo *cargo) {
    if (head == nullptr) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    uint32_t innerType = MsgRouteAs(head, 0U, MSG_KIND_ASYN);
    MSG_LOG(OS_MSG_LOG_DEBUG, "msg(type:%d inType:%d) Asyn send 0x%x with cargo " MSG_ROUTE_FMT, (int)transType,
            (int)innerType, head->msgId, MSG_ROUTE_ARGS(head));
    switch (innerType) {
    case MSG_INNER_OTHER_TASK:
    case MSG_INNER_SAME_TASK:
        return SimpleMsgAsynSendCargo(head, cargo);
    case MSG_INNER_OTHER_CPU:
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "shared buffers and descriptors do not travel to another cpu.");
        return OS_MSG_ERR_NOT_IMPLEMENTED;
    default:
        return PMsgAsynSendCargo(head, transType, cargo);
    }
}

uint32_t MsgSynSendResp(MsgHead *head, const void *data, uint32_t len) {
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    uint32_t innerType = MsgRouteAs(head, 1U, MSG_KIND_SYN_RESP);
    MSG_LOG(OS_MSG_LOG_DEBUG, "msg(type:%d) Syn Rsp 0x%x " MSG_ROUTE_FMT, (int)innerType, head->msgId,
            MSG_ROUTE_ARGS(head));
    switch (innerType) {
    case MSG_INNER_SAME_TASK:
        return SimpleMsgDirectResp(head, data, len);
    case MSG_INNER_OTHER_TASK:
        return SimpleMsgRespSend(head, data, len);
    default:
        /* The transport copies the payload and only reads it. */
        return PMsgSendResp(head, const_cast<void *>(data), len);
    }
}

uint32_t MsgFreeResp(const MsgHead *head) {
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    uint32_t innerType = MsgGetInnerType(head, 0U);
    MSG_LOG(OS_MSG_LOG_DEBUG, "msg(type:%d) Free Rsp 0x%x " MSG_ROUTE_FMT, (int)innerType, head->msgId,
            MSG_ROUTE_ARGS(head));
    if (innerType == MSG_INNER_SAME_TASK) {
        return SimpleMsgDirectFreeResp(head);
    }
    /* head normally lies in the requester's response slot, which the release
     * clears and, for a temporary task, frees: pass the name as a copy. */
    const MsgNameCopy requester(head->sendTaskName);
    return SimpleMsgFreeRespBuffer(requester.text);
}

} // extern "C"

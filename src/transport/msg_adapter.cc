/*
 * The adapter table and the send side: the nine operation slots a transport
 * fills at start-up, the sends that leave the process through slots 0 and 8,
 * the lifecycle and handle operations that call slots 1 to 7, and the check
 * that tells routing whether a message needs the multi-CPU channel.
 *
 * Thread safety: every slot is an atomic word. Registration publishes the
 * operation with a release store; every caller loads it with acquire, so a
 * sender reads either an empty slot or a complete registration without a
 * lock. Registration runs during process initialisation only.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <atomic>
#include <cstring>

#include "base/msg_names.h"
#include "base/msg_proc_name.h"
#include "base/msg_result_code.h"
#include "base/msg_serve_mark.h"
#include "broadcast/msg_broadcast.h"
#include "log/msg_log.h"
#include "msc/msg_msc.h"
#include "shared_buf/msg_cargo.h"
#include "simple_msg/simple_msg.h"
#include "transport/msg_adapter.h"
#include "vyre_os_time.h"

namespace {

/* Any operation, stored in the slot's own type only through conversion back
 * and forth; conversions between function pointer types keep the value. */
using MsgAdpAnyFunc = void (*)(void);

/* Slot i holds the operation registered under slot number i. */
std::atomic<MsgAdpAnyFunc> g_msgAdpTable[MSG_ADP_SLOT_NUM];

/* The transport's send of messages with cargo; NULL while none is
 * registered. */
std::atomic<MsgAdpCargoSendFunc> g_msgAdpCargoSend{nullptr};

/* The wait budget of the send on this thread (MsgAdpSendWaitMs) and whether
 * its sender chose it (MsgAdpSendWaitChosen). Initial-exec: read on every
 * send (see t_lookups in simple_msg_registry.cc). */
__attribute__((tls_model("initial-exec"))) thread_local uint32_t t_msgAdpSendWaitMs = 0U;
__attribute__((tls_model("initial-exec"))) thread_local bool t_msgAdpSendWaitChosen = false;

MsgAdpAnyFunc MsgAdpFuncOf(const MsgAdpFuncReg *reg) {
    switch (reg->funcId) {
    case MSG_ADP_SLOT_SEND:
    case MSG_ADP_SLOT_SEND_CPU:
        return reinterpret_cast<MsgAdpAnyFunc>(reg->func.send);
    case MSG_ADP_SLOT_START_SERVER:
        return reinterpret_cast<MsgAdpAnyFunc>(reg->func.startServer);
    case MSG_ADP_SLOT_SET_CLIENT_HANDLE:
        return reinterpret_cast<MsgAdpAnyFunc>(reg->func.setClientHandle);
    case MSG_ADP_SLOT_GET_SERVER_HANDLE:
        return reinterpret_cast<MsgAdpAnyFunc>(reg->func.getServerHandle);
    default:
        return reinterpret_cast<MsgAdpAnyFunc>(reg->func.control);
    }
}

template <typename Func> Func MsgAdpSlotFunc(uint32_t slot) {
    return reinterpret_cast<Func>(g_msgAdpTable[slot].load(std::memory_order_acquire));
}

uint32_t MsgAdpControl(uint32_t slot) {
    MsgAdpControlFunc func = MsgAdpSlotFunc<MsgAdpControlFunc>(slot);
    return func == nullptr ? OS_MSG_OK : func();
}

/* The send operation for crossCpu (slot 8) or not (slot 0), or NULL with the
 * refusal logged. */
MsgAdpSendFunc MsgAdpSendSlot(uint32_t crossCpu) {
    if (MsgAdpSlotFunc<MsgAdpSendFunc>(MSG_ADP_SLOT_SEND) == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "client not init.");
        return nullptr;
    }
    if (crossCpu == 0U) {
        return MsgAdpSlotFunc<MsgAdpSendFunc>(MSG_ADP_SLOT_SEND);
    }
    MsgAdpSendFunc func = MsgAdpSlotFunc<MsgAdpSendFunc>(MSG_ADP_SLOT_SEND_CPU);
    if (func == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "cross cpu send not supported.");
    }
    return func;
}

/* Hands a message with cargo to the transport's cargo send (crossCpu: to
 * another CPU, which cargo cannot reach). Takes the cargo in every case. */
uint32_t PMsgAsynSendCargoVia(MsgHead *head, uint32_t transType, uint32_t crossCpu, MsgCargo *cargo) {
    MsgAdpCargoSendFunc send = g_msgAdpCargoSend.load(std::memory_order_acquire);
    if (send == nullptr || crossCpu != 0U) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "the transport does not carry shared buffers or descriptors there.");
        return OS_MSG_ERR_NOT_IMPLEMENTED;
    }
    return send(head->recvProcName, transType, head, cargo);
}

/* The response half of PMsgSynSend, once the transport has the request. */
uint32_t PMsgSynWaitResp(SimpleMsgTask *wait, MsgHead *head, void **respOut, uint32_t timeout) {
    SimpleMsgSetToken(wait, head);
    MsgHead *resp = nullptr;
    uint32_t ret = SimpleMsgWaitSynRespEnd(wait, &resp, timeout);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "SYN send wait error. lret:%d " MSG_CODE_FMT, (int)ret, MSG_CODE_ARGS(ret));
        return ret == OS_MSG_ERR_TIMEOUT ? OS_MSG_ERR_SYN_TIMEOUT : ret;
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "SYN send wait finish");
    if (respOut != nullptr) {
        *respOut = SimpleMsgGetRespBuffer(head->sendTaskName);
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "SYN send end");
    return OS_MSG_OK;
}

/* PMsgSynSend, with cargo (taken in every case) or without. */
uint32_t PMsgSynSendWith(MsgHead *head, void **respOut, uint32_t timeout, uint32_t transType, MsgCargo *cargo) {
    if (head == nullptr) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "input head null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (MsgAdpSlotFunc<MsgAdpSendFunc>(MSG_ADP_SLOT_SEND) == nullptr) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "client not init.");
        return OS_MSG_ERR_NOT_INIT;
    }
    if (MsgServingOnReceive() && head->recvProcName[0] != '\0' && !MsgNameEqual(head->recvProcName, MsgGetProcName())) {
        // Its answer would come in on this very thread.
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR,
                "task[%.16s] is served on the receive thread and cannot wait for an answer from process [%.16s]: "
                "send asynchronously, or serve the task on a thread of its own.",
                head->sendTaskName, head->recvProcName);
        return OS_MSG_ERR_FAIL;
    }
    SimpleMsgTask *wait = SimpleMsgWaitSynRespStart(head->sendTaskName);
    if (wait == nullptr) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_DEBUG, "SYN send wait error.");
        return OS_MSG_ERR_NOT_FOUND;
    }
    uint32_t crossCpu = head->sendCpuId != head->recvCpuId ? 1U : 0U;
    if (crossCpu != 0U) {
        MSG_LOG(OS_MSG_LOG_DEBUG, "send sync message cross cpu.\n");
    }
    // A carrier may wait for room at the receiver; that time counts against
    // the request's time-out.
    uint32_t budget = timeout == 0U ? OS_MSG_DEFAULT_TIMEOUT_MS : timeout;
    uint32_t start = OsGetSysRunTime();
    t_msgAdpSendWaitMs = budget;
    uint32_t ret = OS_MSG_OK;
    if (cargo == nullptr) {
        MsgAdpSendFunc send = MsgAdpSendSlot(crossCpu);
        ret = send == nullptr ? OS_MSG_ERR_NOT_INIT : send(head->recvProcName, transType, head);
    } else {
        ret = PMsgAsynSendCargoVia(head, transType, crossCpu, cargo);
    }
    t_msgAdpSendWaitMs = 0U;
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "SYN write data error. lRet = 0x%x. " MSG_CODE_FMT, ret, MSG_CODE_ARGS(ret));
        (void)SimpleMsgWaitSynRespEndNoCond(wait);
        return ret;
    }
    // The clock counts whole milliseconds: one less than it shows is
    // surely spent, so the whole call never gives up before its time-out.
    uint32_t spent = OsGetSysRunTime() - start;
    spent = spent > 0U ? spent - 1U : 0U;
    return PMsgSynWaitResp(wait, head, respOut, spent < budget ? budget - spent : 1U);
}

} // namespace

extern "C" {

uint32_t MsgAdpPrepareTrans(void) {
    MSG_LOG(OS_MSG_LOG_DEBUG, "prepare adapt func.");
    for (std::atomic<MsgAdpAnyFunc> &slot : g_msgAdpTable) {
        slot.store(nullptr, std::memory_order_release);
    }
    return MsgSetBroadcastFunc(MsgBroadcastCallback);
}

uint32_t MsgAdpRegFunc(const MsgAdpFuncReg *reg) {
    if (reg == nullptr) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "reg func [%u].", reg->funcId);
    if (reg->funcId >= MSG_ADP_SLOT_NUM) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    g_msgAdpTable[reg->funcId].store(MsgAdpFuncOf(reg), std::memory_order_release);
    return OS_MSG_OK;
}

uint32_t PMsgAsynSend(MsgHead *head, uint32_t transType, uint32_t crossCpu) {
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input head null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    MsgAdpSendFunc send = MsgAdpSendSlot(crossCpu);
    if (send == nullptr) {
        return OS_MSG_ERR_NOT_INIT;
    }
    return send(head->recvProcName, transType, head);
}

void MsgAdpSetCargoSend(MsgAdpCargoSendFunc func) {
    g_msgAdpCargoSend.store(func, std::memory_order_release);
}

uint32_t PMsgAsynSendCargo(MsgHead *head, uint32_t transType, MsgCargo *cargo) {
    if (head == nullptr) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "input head null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (MsgAdpSlotFunc<MsgAdpSendFunc>(MSG_ADP_SLOT_SEND) == nullptr) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "client not init.");
        return OS_MSG_ERR_NOT_INIT;
    }
    return PMsgAsynSendCargoVia(head, transType, head->sendCpuId != head->recvCpuId ? 1U : 0U, cargo);
}

uint32_t PMsgSynSendCargo(MsgHead *head, void **respOut, uint32_t timeout, uint32_t transType, MsgCargo *cargo) {
    return PMsgSynSendWith(head, respOut, timeout, transType, cargo);
}

uint32_t PMsgAsynSendTimed(MsgHead *head, uint32_t transType, uint32_t crossCpu, uint32_t waitMs) {
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input head null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    MsgAdpSendFunc send = MsgAdpSendSlot(crossCpu);
    if (send == nullptr) {
        return OS_MSG_ERR_NOT_INIT;
    }
    t_msgAdpSendWaitMs = waitMs;
    t_msgAdpSendWaitChosen = true;
    uint32_t ret = send(head->recvProcName, transType, head);
    t_msgAdpSendWaitMs = 0U;
    t_msgAdpSendWaitChosen = false;
    return ret;
}

uint32_t MsgAdpSendWaitMs(void) {
    return t_msgAdpSendWaitMs;
}

bool MsgAdpSendWaitChosen(void) {
    return t_msgAdpSendWaitChosen;
}

uint32_t PMsgSynSend(MsgHead *head, void **respOut, uint32_t timeout, uint32_t transType) {
    return PMsgSynSendWith(head, respOut, timeout, transType, nullptr);
}

uint32_t PMsgSendResp(const MsgHead *request, void *buf, uint32_t len) {
    if (request == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input head null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (MsgAdpSlotFunc<MsgAdpSendFunc>(MSG_ADP_SLOT_SEND) == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "client not init.");
        return OS_MSG_ERR_NOT_INIT;
    }
    MsgHead resp;
    std::memcpy(&resp, request, sizeof(resp));
    // A response without data carries no payload, whatever its length.
    resp.dataLen = buf != nullptr ? len : 0U;
    resp.data = buf;
    uint32_t crossCpu = resp.sendCpuId != resp.recvCpuId ? 1U : 0U;
    if (crossCpu != 0U) {
        resp.msgKind = MSG_KIND_SYN_RESP;
    }
    MsgAdpSendFunc send = MsgAdpSendSlot(crossCpu);
    if (send == nullptr) {
        return OS_MSG_ERR_NOT_INIT;
    }
    return send(request->sendProcName, MSG_TRANS_SYN_RESP, &resp);
}

uint32_t PMsgStartServer(const char *procName) {
    MsgAdpStartServerFunc func = MsgAdpSlotFunc<MsgAdpStartServerFunc>(MSG_ADP_SLOT_START_SERVER);
    return func == nullptr ? OS_MSG_OK : func(procName);
}

uint32_t PMsgJoinServer(void) {
    return MsgAdpControl(MSG_ADP_SLOT_JOIN_SERVER);
}

uint32_t PMsgStopServer(void) {
    return MsgAdpControl(MSG_ADP_SLOT_STOP_SERVER);
}

uint32_t PMsgInitClient(void) {
    return MsgAdpControl(MSG_ADP_SLOT_INIT_CLIENT);
}

uint32_t PMsgUninitClient(void) {
    return MsgAdpControl(MSG_ADP_SLOT_UNINIT_CLIENT);
}

uint32_t PMsgSetClientHandle(const char *name, void *handle) {
    MsgAdpSetClientHandleFunc func = MsgAdpSlotFunc<MsgAdpSetClientHandleFunc>(MSG_ADP_SLOT_SET_CLIENT_HANDLE);
    return func == nullptr ? OS_MSG_OK : func(name, handle);
}

void *PMsgGetServerHandle(void) {
    MsgAdpGetServerHandleFunc func = MsgAdpSlotFunc<MsgAdpGetServerHandleFunc>(MSG_ADP_SLOT_GET_SERVER_HANDLE);
    return func == nullptr ? nullptr : func();
}

uint32_t MsgAdpSetClientHandle(const char *name, void *handle) {
    if (name == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input name null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (MsgNameEmpty(name)) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input name empty.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (SimpleMsgCheckInit() == 0U) {
        MSG_LOG(OS_MSG_LOG_ERROR, "msg not init");
        return OS_MSG_ERR_NOT_INIT;
    }
    return PMsgSetClientHandle(name, handle);
}

void *MsgAdpGetServerHandle(void) {
    if (SimpleMsgCheckInit() == 0U) {
        MSG_LOG(OS_MSG_LOG_ERROR, "msg not init");
        return nullptr;
    }
    return PMsgGetServerHandle();
}

uint32_t MsgAdpCheckMscSend(const MsgHead *head) {
    if (head == nullptr || head->sendCpuId == head->recvCpuId) {
        return 0U;
    }
    return MsgNameEqual(MsgGetProcName(), MsgGetBspProcName()) ? 0U : 1U;
}

} // extern "C"

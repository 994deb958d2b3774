/*
 * The loopback IPC transport: its registration in the adapter table, the send
 * operation that delivers every outgoing message back into the own process,
 * the server (context, slice collector, broadcast thread, join and receive
 * thread) and the callback of the broadcast task "pmsgBro".
 *
 * Thread safety: g_ipcServerCreateLock guards the creation of the server
 * context and rebuildEntry (a leaf lock, held only inside IPCMsgStartServer).
 * Both pointers are published once and never change afterwards. The join
 * flag is read and written atomically. IPCMsgSendData keeps no state.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/ipc_msg.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "base/msg_alloc.h"
#include "base/msg_forever.h"
#include "base/msg_monotonic.h"
#include "base/msg_names.h"
#include "base/msg_proc_name.h"
#include "base/msg_setup_state.h"
#include "base/msg_thread_name.h"
#include "broadcast/msg_broadcast.h"
#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "shared_buf/msg_cargo.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_carrier.h"
#include "transport/msg_adapter.h"
#include "transport/msg_adp_buff.h"
#include "transport/msg_rebuild.h"
#include "vyre_os_thread.h"
#include "vyre_os_time.h"
#include "vyre_securec.h"

rebuildmsg::MsgRebuildRecvData *rebuildEntry = nullptr;

namespace {

constexpr size_t kIpcMsgServerCtxSize = 526016U;
/* Result of the broadcast callback for a request without payload. */
constexpr uint32_t kIpcMsgNoPayload = 0xFFFFFFFFU;

/* The receive thread's state; on this platform it is set up by the join and
 * otherwise unused. */
struct IpcMsgRecvState {
    pthread_mutex_t recvLock; /* initialised by the join, never taken here */
    pthread_t recvThread;
    uint32_t recvRunning; /* 1 once the receive thread is created */
    uint32_t recvWords[7];
};

/* The server context, one per process, zero-filled. */
struct IpcMsgServerCtx {
    uint32_t qid;
    char procName[OS_MSG_NAME_LEN];
    uint32_t joinFlag; /* 1 while the join runs; accessed atomically */
    /* The receive area of a real carrier; unused by the loopback. */
    uint8_t recvArea[kIpcMsgServerCtxSize - 24U - sizeof(IpcMsgRecvState)];
    IpcMsgRecvState recv;
};
static_assert(sizeof(IpcMsgServerCtx) == kIpcMsgServerCtxSize, "the server context is 526,016 bytes");

/* Guards the creation of the server context and rebuildEntry. A leaf lock:
 * nothing else is locked, logged or called back while it is held. */
std::mutex g_ipcServerCreateLock;
/* Published under g_ipcServerCreateLock, never released. */
std::atomic<IpcMsgServerCtx *> g_ipcServerCtx{nullptr};

/* With a carrier between processes the join waits here rather than polling
 * once a second, so that the stop ends it at once. g_ipcJoinLock guards
 * nothing but the wait on the join flag (a leaf lock). Never destroyed: the
 * server thread still waits here when a process leaves without tearing
 * down. */
MsgForever<std::mutex> g_ipcJoinLock;
MsgForever<std::condition_variable> g_ipcJoinCond;

/* The join of a carrier between processes: the receive thread belongs to the
 * carrier, so the join only waits until the stop clears the flag. */
uint32_t IpcMsgJoinCarrier(IpcMsgServerCtx *ctx) {
    std::unique_lock<std::mutex> lock(*g_ipcJoinLock);
    g_ipcJoinCond->wait(lock, [ctx] { return __atomic_load_n(&ctx->joinFlag, __ATOMIC_ACQUIRE) == 0U; });
    return OS_MSG_OK;
}

/* A new context named procName with its slice collector, both published; 0,
 * 0x80020020 or 0x8002000e with nothing kept. Caller holds
 * g_ipcServerCreateLock. */
uint32_t IpcMsgCreateServer(const char *procName) {
    auto *ctx = static_cast<IpcMsgServerCtx *>(MSG_CALLOC(1U, sizeof(IpcMsgServerCtx)));
    if (ctx == nullptr) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    if (strcpy_s(ctx->procName, sizeof(ctx->procName), procName) != 0) {
        MSG_FREE(ctx);
        return OS_MSG_ERR_FAIL;
    }
    ctx->qid = IPC_MSG_INVALID_QID;
    void *block = MSG_MALLOC(sizeof(rebuildmsg::MsgRebuildRecvData));
    if (block == nullptr) {
        MSG_FREE(ctx);
        return OS_MSG_ERR_NO_MEMORY;
    }
    rebuildEntry = new (block) rebuildmsg::MsgRebuildRecvData();
    g_ipcServerCtx.store(ctx, std::memory_order_release);
    return OS_MSG_OK;
}

/* Steps of IPCMsgStartServer that need the creation lock. */
uint32_t IpcMsgPrepareServer(const char *procName) {
    std::lock_guard<std::mutex> guard(g_ipcServerCreateLock);
    IpcMsgServerCtx *ctx = g_ipcServerCtx.load(std::memory_order_acquire);
    if (ctx == nullptr) {
        uint32_t ret = IpcMsgCreateServer(procName);
        if (ret != OS_MSG_OK) {
            return ret;
        }
        ctx = g_ipcServerCtx.load(std::memory_order_acquire);
    }
    if (rebuildEntry == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "msg rebuild entry not init.");
        return OS_MSG_ERR_NO_MEMORY;
    }
    if (strcpy_s(ctx->procName, sizeof(ctx->procName), procName) != 0) {
        return OS_MSG_ERR_FAIL;
    }
    return OS_MSG_OK;
}

/* Hands copy and buf to the receive entry. A sender that chose to wait for
 * room (MsgAdpSendWaitChosen) waits, woken by the receiving task's loop,
 * while the queue is full, at most its time-out; any other send is refused
 * at once by a full queue. */
uint32_t IpcMsgDeliverHere(uint32_t transType, MsgHead *copy, void *buf) {
    const uint32_t waitMs = MsgAdpSendWaitChosen() ? MsgAdpSendWaitMs() : 0U;
    const uint64_t endNs = MsgMonotonicNs() + (uint64_t)waitMs * 1000000ULL;
    for (;;) {
        uint32_t ret = MsgAdpTransact((int32_t)transType, copy, (uint32_t)sizeof(*copy), buf, copy->dataLen,
                                      MSG_ADP_ABSENT_ID, MSG_ADP_ABSENT_ID);
        const uint32_t left = MsgMsLeft(endNs);
        if (ret != OS_MSG_ERR_FULL || left == 0U) {
            return ret;
        }
        const MsgNameCopy task(copy->recvTaskName);
        if (SimpleMsgWaitRoom(task.text, left) != SIMPLE_MSG_ROOM_FREE) {
            return ret;
        }
    }
}

} // namespace

extern "C" {

void PMsgRegAdpFunc(void) {
    (void)MsgAdpPrepareTrans();
    const IpcCarrierOps *carrier = IpcCarrierSelect();
    MsgAdpFuncReg reg;
    reg.funcId = MSG_ADP_SLOT_START_SERVER;
    reg.func.startServer = IPCMsgStartServer;
    (void)MsgAdpRegFunc(&reg);
    reg.funcId = MSG_ADP_SLOT_STOP_SERVER;
    reg.func.control = IPCMsgStopServer;
    (void)MsgAdpRegFunc(&reg);
    reg.funcId = MSG_ADP_SLOT_JOIN_SERVER;
    reg.func.control = IPCMsgJoinServer;
    (void)MsgAdpRegFunc(&reg);
    reg.funcId = MSG_ADP_SLOT_SEND;
    reg.func.send = carrier->send;
    (void)MsgAdpRegFunc(&reg);
    reg.funcId = MSG_ADP_SLOT_SEND_CPU;
    reg.func.send = carrier->sendCpu;
    (void)MsgAdpRegFunc(&reg);
    MsgAdpSetCargoSend(IPCMsgSendCargo);
    // The client slots open and close the carrier with the process.
    if (carrier->open != nullptr) {
        reg.funcId = MSG_ADP_SLOT_INIT_CLIENT;
        reg.func.control = carrier->open;
        (void)MsgAdpRegFunc(&reg);
    }
    if (carrier->close != nullptr) {
        reg.funcId = MSG_ADP_SLOT_UNINIT_CLIENT;
        reg.func.control = carrier->close;
        (void)MsgAdpRegFunc(&reg);
    }
}

uint32_t IPCMsgSendData(const char *destProcName, uint32_t transType, MsgHead *head) {
    (void)destProcName;
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input head null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    (void)strcpy_s(head->recvProcName, sizeof(head->recvProcName), MsgGetProcName());
    MsgHead copy;
    std::memcpy(&copy, head, sizeof(copy));
    if (copy.data == nullptr) {
        // A length without data carries no payload, as on the in-process
        // route: nothing is allocated for it.
        copy.dataLen = 0U;
    }
    void *buf = nullptr;
    if (copy.dataLen != 0U) {
        buf = SimpleMsgAllocBuffer(copy.dataLen);
        if (buf == nullptr) {
            return OS_MSG_ERR_NO_MEMORY;
        }
        errno_t err = memcpy_s(buf, copy.dataLen, copy.data, copy.dataLen);
        if (err != 0) {
            SimpleMsgReleaseBuffer(buf, copy.dataLen);
            return (uint32_t)err;
        }
    }
    uint32_t ret = IpcMsgDeliverHere(transType, &copy, buf);
    if (ret != OS_MSG_OK) {
        MsgReleaseBuffByHead(&copy, (uint32_t)sizeof(copy), buf, copy.dataLen);
    }
    // A full queue is reported as on the in-process route, so that a sender
    // may wait for room; any other failure drops the message.
    return ret == OS_MSG_ERR_FULL ? OS_MSG_ERR_FULL : OS_MSG_OK;
}

uint32_t IPCMsgSendCargo(const char *destProcName, uint32_t transType, MsgHead *head, MsgCargo *cargo) {
    if (head == nullptr || cargo == nullptr) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "input head null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    const bool forBroadcastTask =
        transType == MSG_TRANS_SUB_BRO && strncmp(destProcName, MSG_PROC_NAME_PMSG, OS_MSG_NAME_LEN) == 0;
    if (IpcCarrierBetweenProcesses() && destProcName[0] != '\0' && !forBroadcastTask &&
        strncmp(destProcName, MsgGetProcName(), OS_MSG_NAME_LEN) != 0) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "shared buffers and descriptors do not reach process [%.16s].", destProcName);
        return OS_MSG_ERR_NOT_IMPLEMENTED;
    }
    (void)strcpy_s(head->recvProcName, sizeof(head->recvProcName), MsgGetProcName());
    MsgHead copy;
    std::memcpy(&copy, head, sizeof(copy));
    copy.dataLen = copy.data != nullptr ? copy.dataLen : 0U;
    void *buf = MsgCargoIsPayload(cargo) ? copy.data : nullptr;
    if (!MsgCargoIsPayload(cargo) && copy.dataLen != 0U) {
        buf = SimpleMsgAllocBuffer(copy.dataLen);
        if (buf == nullptr) {
            MsgCargoRelease(cargo);
            return OS_MSG_ERR_NO_MEMORY;
        }
        std::memcpy(buf, copy.data, copy.dataLen);
    }
    uint32_t ret = MsgAdpTransactCargo((int32_t)transType, &copy, (uint32_t)sizeof(copy), buf, copy.dataLen,
                                       MSG_ADP_ABSENT_ID, MSG_ADP_ABSENT_ID, cargo);
    if (ret != OS_MSG_OK) {
        if (!MsgCargoIsPayload(cargo)) {
            SimpleMsgReleaseBuffer(buf, copy.dataLen);
        }
        MsgCargoRelease(cargo);
    }
    return ret == OS_MSG_ERR_FULL ? OS_MSG_ERR_FULL : OS_MSG_OK;
}

uint32_t IPCMsgSendCpuData(const char *destProcName, uint32_t transType, MsgHead *head) {
    return IPCMsgSendData(destProcName, transType, head);
}

uint32_t IPCMsgStartServer(const char *procName) {
    uint32_t ret = IpcMsgPrepareServer(procName);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    if (IpcCarrierBetweenProcesses()) {
        // Armed before the start report, so a stop of this start-up always
        // finds it set, however late the server thread reaches the join.
        std::lock_guard<std::mutex> guard(*g_ipcJoinLock);
        __atomic_store_n(&g_ipcServerCtx.load(std::memory_order_acquire)->joinFlag, 1U, __ATOMIC_RELEASE);
    }
    (void)puts("create pmsgBro");
    // The thread belongs to the set-up that starts the server: it serves the
    // broadcast task only when that set-up succeeds.
    const uint32_t setup = MsgSetupThreadStarting();
    OsThread thread;
    if (OsPthreadCreate(&thread, nullptr, MsgBrodcastTaskFunc, reinterpret_cast<void *>(uintptr_t{setup})) != 0) {
        MsgSetupThreadNotStarted(setup);
        return OS_MSG_ERR_THREAD_CREATE;
    }
    if (OsPthreadDetach(thread) != 0) {
        return OS_MSG_ERR_THREAD_CREATE;
    }
    return OS_MSG_OK;
}

uint32_t IPCMsgStopServer(void) {
    const IpcCarrierOps *carrier = IpcCarrierCurrent();
    if (carrier->stop == nullptr) {
        return OS_MSG_OK;
    }
    carrier->stop();
    IpcMsgServerCtx *ctx = g_ipcServerCtx.load(std::memory_order_acquire);
    if (ctx != nullptr) {
        std::lock_guard<std::mutex> guard(*g_ipcJoinLock);
        __atomic_store_n(&ctx->joinFlag, 0U, __ATOMIC_RELEASE);
        g_ipcJoinCond->notify_all();
    }
    return OS_MSG_OK;
}

uint32_t IPCMsgJoinServer(void) {
    IpcMsgServerCtx *ctx = g_ipcServerCtx.load(std::memory_order_acquire);
    if (ctx == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "server init error.");
        return OS_MSG_ERR_NOT_INIT;
    }
    if (IpcCarrierBetweenProcesses()) {
        return IpcMsgJoinCarrier(ctx);
    }
    __atomic_store_n(&ctx->joinFlag, 1U, __ATOMIC_RELEASE);
    std::memset(ctx->recv.recvWords, 0, sizeof(ctx->recv.recvWords));
    (void)pthread_mutex_init(&ctx->recv.recvLock, nullptr);
    ctx->recv.recvRunning = 1U;
    if (pthread_create(&ctx->recv.recvThread, nullptr, IPCMsgRecvThread, nullptr) != 0) {
        MSG_LOG(OS_MSG_LOG_FATAL, "create thread error.");
        ctx->recv.recvRunning = 0U;
        (void)pthread_mutex_destroy(&ctx->recv.recvLock);
        return OS_MSG_ERR_THREAD_CREATE;
    }
    (void)pthread_detach(ctx->recv.recvThread);
    while (__atomic_load_n(&ctx->joinFlag, __ATOMIC_ACQUIRE) != 0U) {
        OsSleepMs(1000U);
    }
    return OS_MSG_OK;
}

void *IPCMsgRecvThread(void *arg) {
    MsgNameThisThread(MSG_THREAD_RECV);
    const IpcCarrierOps *carrier = IpcCarrierCurrent();
    if (arg != nullptr && carrier->recvLoop != nullptr) {
        carrier->recvLoop(arg);
    }
    return nullptr;
}

void *MsgBrodcastTaskFunc(void *arg) {
    MsgNameThisThread(MSG_THREAD_BROADCAST);
    if (MsgSetupAwait(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)))) {
        (void)OsMsgTaskRoutineByName(MSG_TASK_NAME_PMSG_BRO);
    }
    return nullptr;
}

uint32_t IPCMsgBroTaskCallback(MsgHead *head) {
    if (head == nullptr) {
        return kIpcMsgNoPayload;
    }
    bool hasPayload = head->data != nullptr && head->dataLen != 0U;
    switch (head->msgId) {
    case MSG_ID_SUBSCRIBE:
        return hasPayload ? MsgRecvSubData(head, head->data, head->dataLen, MsgGetLocalCpuID()) : kIpcMsgNoPayload;
    case MSG_ID_BROADCAST:
        return hasPayload ? MsgRecvBroadcastData(head, head->data, head->dataLen) : kIpcMsgNoPayload;
    default:
        return OS_MSG_OK;
    }
}

} // extern "C"

/*
 * The Unix-socket carrier's life cycle: opening it for the own process name
 * (run directory, name claim, listening socket, receive thread), closing it,
 * and its table of operations. Thread safety: see
 * ipc_unix_carrier.h; open and close run under the initialisation lock.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_unix_carrier.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/msg_alloc.h"
#include "base/msg_forever.h"
#include "base/msg_proc_name.h"
#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_carrier.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/unix/ipc_cargo_send.h"
#include "transport/unix/ipc_fd_closer.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_link.h"
#include "transport/unix/ipc_link_gate.h"
#include "transport/unix/ipc_link_park.h"
#include "transport/unix/ipc_peer_cache.h"
#include "transport/unix/ipc_policy_file.h"
#include "transport/unix/ipc_post.h"
#include "transport/unix/ipc_presence.h"
#include "transport/unix/ipc_send_batch.h"
#include "transport/unix/ipc_shm_segment.h"
#include "transport/unix/ipc_sub_keeper.h"
#include "transport/unix/ipc_task_serve.h"
#include "transport/unix/ipc_unix_life.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

/* The process's carrier; its descriptors are -1 while it is closed. */
IpcUnixCarrier g_ipcUnix = {{0}, {false, 0U}, {0}, {0}, -1, -1, {-1}, pthread_t(), false, {false}, {false}, nullptr};

/* Held across each write to the wake-up descriptor and across its close: the
 * room hook writes from task loops at any time, and must never reach a
 * descriptor number that was closed (and perhaps reused) meanwhile. A leaf
 * lock. */
MsgForever<std::mutex> g_ipcUnixWakeLock;

/* Wakes the receive loop, if the carrier is open. Any thread. */
void IpcUnixWake(IpcUnixCarrier *carrier) {
    std::lock_guard<std::mutex> guard(*g_ipcUnixWakeLock);
    int wakeFd = carrier->wakeFd.load();
    if (wakeFd >= 0) {
        IpcSysEventPost(wakeFd);
    }
}

/* The room hook: a task loop has room again in a queue that turned a
 * message away. Safe after the carrier closed (the wake finds no
 * descriptor). */
void IpcUnixOfferRoom(void) {
    g_ipcUnix.roomOffered.store(true, std::memory_order_release);
    IpcUnixWake(&g_ipcUnix);
}

/* The receive side's descriptors and buffer. */
uint32_t IpcUnixOpenReceiver(IpcUnixCarrier *carrier) {
    int poller = IpcSysPollerCreate();
    int wakeFd = IpcSysEventCreate();
    carrier->epollFd = poller;
    carrier->wakeFd.store(wakeFd);
    int err = poller < 0 ? poller : wakeFd;
    if (err >= 0) {
        // Each post is reported once and the counter is never read, which
        // spares the receive thread a system call on every wake-up: the
        // room hook comes every few messages of a stream into a short
        // queue, and a stream of frames into a queue of four ran 10-30%
        // faster for it. A 64-bit counter does not fill.
        err = IpcSysPollerAdd(poller, wakeFd, IPC_SYS_READABLE | IPC_SYS_EDGE, &carrier->wakeFd);
    }
    if (err >= 0) {
        err = IpcSysPollerAdd(poller, carrier->listenFd, IPC_SYS_READABLE, &carrier->listenFd);
    }
    if (err >= 0) {
        err = IpcPostOpenBell(poller);
    }
    if (err < 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "receiver set-up error[%d].", -err);
        return OS_MSG_ERR_SYSTEM;
    }
    IpcLinkRegistryOpen(poller);
    IpcServeOpen(poller);
    carrier->recvBuf = static_cast<uint8_t *>(MSG_MALLOC(IPC_FRAME_DATAGRAM_MAX));
    return carrier->recvBuf == nullptr ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK;
}

uint32_t IpcUnixOpen(IpcUnixCarrier *carrier) {
    uint32_t ret = IpcRunDirPath(carrier->runDir, sizeof(carrier->runDir));
    if (ret == OS_MSG_OK) {
        ret = IpcRunDirOpen(carrier->runDir, &carrier->runMode);
    }
    if (ret == OS_MSG_OK) {
        ret = IpcPolicyFileLoad(getenv(IPC_CARRIER_POLICY_ENV));
    }
    if (ret != OS_MSG_OK) {
        return ret;
    }
    (void)snprintf(carrier->procName, sizeof(carrier->procName), "%.15s", MsgGetProcName());
    if (IpcRunDirSockPath(carrier->sockPath, carrier->runDir, carrier->procName) != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "process name [%s] cannot name a socket.", carrier->procName);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    IpcGateOpen(carrier->procName, MsgGetLocalCpuID());
    ret = IpcShmSegmentAttach(carrier->runDir, &carrier->runMode);
    if (ret == OS_MSG_OK) {
        ret = IpcUnixClaimName(carrier);
    }
    if (ret == OS_MSG_OK) {
        ret = IpcUnixOpenReceiver(carrier);
    }
    if (ret != OS_MSG_OK) {
        return ret;
    }
    IpcPeerCacheOpen(carrier->runDir, &carrier->runMode);
    ret = IpcBatchStart();
    if (ret != OS_MSG_OK) {
        return ret;
    }
    carrier->stopping.store(false, std::memory_order_release);
    SimpleMsgSetRoomHook(IpcUnixOfferRoom);
    MsgAdpSetCargoSend(IpcUnixSendCargo); // shared buffers and descriptors reach other processes
    if (pthread_create(&carrier->recvThread, nullptr, IPCMsgRecvThread, carrier) != 0) {
        MSG_LOG(OS_MSG_LOG_FATAL, "create thread error.");
        return OS_MSG_ERR_THREAD_CREATE;
    }
    carrier->recvStarted = true;
    // Presence watches for processes that come and go; a folder that cannot
    // be watched is logged and leaves the carrier working without it.
    (void)IpcPresenceOpen(carrier->runDir, carrier->procName);
    return OS_MSG_OK;
}

/* The run directory this process's carrier opened in last (written by the
 * open only, before the threads that ask for it start). */
uint32_t IpcUnixRunDir(char *out, size_t size) {
    if (out == nullptr || size == 0U) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    (void)snprintf(out, size, "%s", g_ipcUnix.runDir);
    return out[0] != '\0' ? OS_MSG_OK : OS_MSG_ERR_NOT_INIT;
}

} // namespace

const IpcCarrierOps g_ipcUnixOps = {"unix",          IpcUnixInitClient, IpcUnixUninitClient, IpcUnixSendData,
                                    IpcUnixSendData, IpcUnixStopRecv,   IpcUnixRecvLoop,     IpcUnixRunDir,
                                    IpcPresenceWait, IpcServeAdd};

uint32_t IpcUnixInitClient(void) {
    uint32_t ret = IpcUnixOpen(&g_ipcUnix);
    if (ret != OS_MSG_OK) {
        (void)IpcUnixUninitClient();
    }
    return ret;
}

uint32_t IpcUnixUninitClient(void) {
    IpcUnixCarrier *carrier = &g_ipcUnix;
    // Presence goes first: its thread sends through the peer cache.
    IpcPresenceClose();
    SimpleMsgSetRoomHook(nullptr);
    MsgAdpSetCargoSend(IPCMsgSendCargo);
    IpcUnixStopRecv();
    if (carrier->recvStarted) {
        (void)pthread_join(carrier->recvThread, nullptr);
        carrier->recvStarted = false;
        IpcFrameDropAllPartials(rebuildEntry);
    }
    IpcFdCloserStop();
    IpcServeClose();
    IpcBatchStop();
    IpcPeerCacheClose();
    IpcSubKeeperClear();
    IpcLinkRegistryClose(IpcUnixRecvDropLink);
    (void)IpcParkTrim();
    IpcUnixDropTraces();
    if (carrier->listenFd >= 0) {
        IpcSysPollerRemove(carrier->epollFd, carrier->listenFd);
        IpcSysClose(&carrier->listenFd);
    }
    IpcShmSegmentDetach();
    {
        std::lock_guard<std::mutex> guard(*g_ipcUnixWakeLock);
        int wakeFd = carrier->wakeFd.exchange(-1);
        if (wakeFd >= 0) {
            IpcSysPollerRemove(carrier->epollFd, wakeFd);
            IpcSysClose(&wakeFd);
        }
    }
    IpcPostCloseBell(carrier->epollFd);
    IpcSysClose(&carrier->epollFd);
    if (carrier->recvBuf != nullptr) {
        MSG_FREE(carrier->recvBuf);
        carrier->recvBuf = nullptr;
    }
    return OS_MSG_OK;
}

void IpcUnixStopRecv(void) {
    IpcUnixCarrier *carrier = &g_ipcUnix;
    carrier->stopping.store(true, std::memory_order_release);
    IpcUnixWake(carrier);
}

/*
 * The Unix-socket carrier's life cycle: opening it for the own process name
 * (run directory, name claim, listening socket, receive thread), closing it,
 * and its registration in the adapter table. Thread safety: see
 * ipc_unix_carrier.h; open and close run under the initialisation lock.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/ipc_unix_carrier.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "base/msg_alloc.h"
#include "base/msg_proc_name.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_frame.h"
#include "transport/ipc_msg.h"
#include "transport/ipc_peer_cache.h"
#include "transport/ipc_send_batch.h"
#include "transport/ipc_shm_segment.h"
#include "transport/msg_adapter.h"

namespace {

/* Pending connections a listening socket holds. */
constexpr int kIpcUnixBacklog = 128;

/* The process's carrier; its descriptors are -1 while it is closed. */
IpcUnixCarrier g_ipcUnix = {{0}, {0}, {0}, -1, -1, {-1}, pthread_t(), false, {false}, {false}, nullptr};

/* Held across each write to the wake-up descriptor and across its close: the
 * room hook writes from task loops at any time, and must never reach a
 * descriptor number that was closed (and perhaps reused) meanwhile. A leaf
 * lock. */
std::mutex g_ipcUnixWakeLock;

/* Wakes the receive loop, if the carrier is open. Any thread. */
void IpcUnixWake(IpcUnixCarrier *carrier) {
    std::lock_guard<std::mutex> guard(g_ipcUnixWakeLock);
    int wakeFd = carrier->wakeFd.load();
    if (wakeFd >= 0) {
        uint64_t one = 1U;
        (void)!write(wakeFd, &one, sizeof(one));
    }
}

/* The room hook: a task loop has room again in a queue that turned a
 * message away. Safe after the carrier closed (the wake finds no
 * descriptor). */
void IpcUnixOfferRoom(void) {
    g_ipcUnix.roomOffered.store(true, std::memory_order_release);
    IpcUnixWake(&g_ipcUnix);
}

/* Binds and listens on carrier->sockPath, replacing a stale socket file (the
 * caller holds the name in the directory, so no live process owns it). */
uint32_t IpcUnixListen(IpcUnixCarrier *carrier) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "socket error[%d].", errno);
        return OS_MSG_ERR_SYSTEM;
    }
    int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, carrier->sockPath, sizeof(addr.sun_path));
    (void)unlink(carrier->sockPath);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, kIpcUnixBacklog) != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "listen on [%s] error[%d].", carrier->sockPath, errno);
        (void)close(fd);
        return OS_MSG_ERR_SYSTEM;
    }
    carrier->listenFd = fd;
    return OS_MSG_OK;
}

uint32_t IpcUnixListenHook(void *arg) {
    return IpcUnixListen(static_cast<IpcUnixCarrier *>(arg));
}

/* Adds fd to the carrier's epoll set, tagged with tag. */
bool IpcUnixWatch(IpcUnixCarrier *carrier, int fd, void *tag) {
    struct epoll_event ev;
    std::memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.ptr = tag;
    return epoll_ctl(carrier->epollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

/* The receive side's descriptors and buffer. */
uint32_t IpcUnixOpenReceiver(IpcUnixCarrier *carrier) {
    carrier->epollFd = epoll_create1(EPOLL_CLOEXEC);
    carrier->wakeFd.store(eventfd(0U, EFD_CLOEXEC | EFD_NONBLOCK));
    int wakeFd = carrier->wakeFd.load();
    if (carrier->epollFd < 0 || wakeFd < 0 || !IpcUnixWatch(carrier, wakeFd, &carrier->wakeFd) ||
        !IpcUnixWatch(carrier, carrier->listenFd, &carrier->listenFd)) {
        MSG_LOG(OS_MSG_LOG_ERROR, "receiver set-up error[%d].", errno);
        return OS_MSG_ERR_SYSTEM;
    }
    carrier->recvBuf = static_cast<uint8_t *>(MSG_MALLOC(IPC_FRAME_DATAGRAM_MAX));
    return carrier->recvBuf == nullptr ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK;
}

void IpcUnixCloseFd(int *fd) {
    if (*fd >= 0) {
        (void)close(*fd);
        *fd = -1;
    }
}

uint32_t IpcUnixOpen(IpcUnixCarrier *carrier) {
    uint32_t ret = IpcCarrierRunDir(carrier->runDir, sizeof(carrier->runDir));
    if (ret == OS_MSG_OK) {
        ret = IpcCarrierMakeRunDir(carrier->runDir);
    }
    if (ret != OS_MSG_OK) {
        return ret;
    }
    (void)snprintf(carrier->procName, sizeof(carrier->procName), "%.15s", MsgGetProcName());
    if (IpcCarrierSockPath(carrier->sockPath, carrier->runDir, carrier->procName) != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "process name [%s] cannot name a socket.", carrier->procName);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    ret = IpcShmSegmentAttach(carrier->runDir);
    if (ret == OS_MSG_OK) {
        ret = IPCMsgClaimQid(carrier->procName, IpcUnixListenHook, carrier);
    }
    if (ret == OS_MSG_OK) {
        ret = IpcUnixOpenReceiver(carrier);
    }
    if (ret != OS_MSG_OK) {
        return ret;
    }
    IpcPeerCacheOpen(carrier->runDir);
    ret = IpcBatchStart();
    if (ret != OS_MSG_OK) {
        return ret;
    }
    carrier->stopping.store(false, std::memory_order_release);
    SimpleMsgSetRoomHook(IpcUnixOfferRoom);
    if (pthread_create(&carrier->recvThread, nullptr, IPCMsgRecvThread, carrier) != 0) {
        MSG_LOG(OS_MSG_LOG_FATAL, "create thread error.");
        return OS_MSG_ERR_THREAD_CREATE;
    }
    carrier->recvStarted = true;
    return OS_MSG_OK;
}

} // namespace

uint32_t IpcUnixInitClient(void) {
    uint32_t ret = IpcUnixOpen(&g_ipcUnix);
    if (ret != OS_MSG_OK) {
        (void)IpcUnixUninitClient();
    }
    return ret;
}

uint32_t IpcUnixUninitClient(void) {
    IpcUnixCarrier *carrier = &g_ipcUnix;
    SimpleMsgSetRoomHook(nullptr);
    IpcUnixStopRecv();
    if (carrier->recvStarted) {
        (void)pthread_join(carrier->recvThread, nullptr);
        carrier->recvStarted = false;
        IpcFrameDropAllPartials(rebuildEntry);
    }
    IpcBatchStop();
    IpcPeerCacheClose();
    if (carrier->listenFd >= 0) {
        IpcUnixCloseFd(&carrier->listenFd);
        (void)unlink(carrier->sockPath);
        (void)IPCMsgDelQid(carrier->procName);
    }
    IpcShmSegmentDetach();
    IpcUnixCloseFd(&carrier->epollFd);
    {
        std::lock_guard<std::mutex> guard(g_ipcUnixWakeLock);
        int wakeFd = carrier->wakeFd.exchange(-1);
        if (wakeFd >= 0) {
            (void)close(wakeFd);
        }
    }
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

void IpcUnixRegister(void) {
    MsgAdpFuncReg reg;
    reg.funcId = MSG_ADP_SLOT_SEND;
    reg.func.send = IpcUnixSendData;
    (void)MsgAdpRegFunc(&reg);
    reg.funcId = MSG_ADP_SLOT_SEND_CPU;
    reg.func.send = IpcUnixSendData;
    (void)MsgAdpRegFunc(&reg);
    reg.funcId = MSG_ADP_SLOT_INIT_CLIENT;
    reg.func.control = IpcUnixInitClient;
    (void)MsgAdpRegFunc(&reg);
    reg.funcId = MSG_ADP_SLOT_UNINIT_CLIENT;
    reg.func.control = IpcUnixUninitClient;
    (void)MsgAdpRegFunc(&reg);
}

/*
 * The peer-connection cache: slots named after the processes this process
 * sends to, each with its kept SOCK_SEQPACKET connection. Locks: see
 * ipc_peer_cache.h.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_peer_cache.h"

#include <errno.h>

#include <cstdio>
#include <cstring>

#include "base/msg_alloc.h"
#include "log/msg_log.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_run_dir.h"
#include "transport/unix/ipc_unix_sys.h"
#include "vyre_os_time.h"

namespace {

/* Send buffer asked for on every connection: room for several of the
 * largest datagrams, so large payloads go in few system calls. The kernel
 * caps it at its configured maximum. */
constexpr int kIpcPeerSendBuffer = 4 * (int)IPC_FRAME_DATAGRAM_MAX;
/* The kernel's own overhead on a datagram's size limit. */
constexpr uint32_t kIpcPeerKernelSlack = 64U;

/* Guards the naming of slots and the run directory; never held while a peer
 * lock is taken, except in IpcPeerCacheClose. */
std::mutex g_ipcPeerCacheLock;
char g_ipcPeerRunDir[IPC_RUN_DIR_PATH_SIZE];
bool g_ipcPeerCacheOpen = false;
IpcPeer g_ipcPeers[IPC_PEER_NUM];
/* Changes whenever the cache opens or closes: a slot found under one value
 * keeps its name until the value changes. */
std::atomic<uint32_t> g_ipcPeerEpoch{0U};

/* The slot this thread found last, so that a thread sending to one peer
 * skips the cache lock. */
struct IpcPeerLast {
    uint32_t epoch;
    char name[OS_MSG_NAME_LEN];
    IpcPeer *peer;
};
thread_local IpcPeerLast t_ipcPeerLast = {0U, {0}, nullptr};

/* The payload a datagram on fd may carry, from its effective send buffer. */
uint32_t IpcPeerMaxBody(int fd) {
    uint32_t room = (uint32_t)IpcSysSetSendBuffer(fd, kIpcPeerSendBuffer);
    uint32_t overhead = IPC_FRAME_RECORD_OVERHEAD + IPC_FRAME_TAIL_LEN + kIpcPeerKernelSlack;
    if (room <= overhead + 4096U) {
        return 4096U;
    }
    room -= overhead;
    return room < IPC_FRAME_SLICE_MAX ? room : IPC_FRAME_SLICE_MAX;
}

uint32_t IpcPeerConnectError(const IpcPeer *peer, int err) {
    switch (err) {
    case ENOENT:
    case ECONNREFUSED:
    case ENOTDIR:
        MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] not running.", peer->name);
        return OS_MSG_ERR_SERVER_NOT_RUNNING;
    case EAGAIN:
        MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] accepts no connection now.", peer->name);
        return OS_MSG_ERR_FULL;
    default:
        MSG_LOG(OS_MSG_LOG_ERROR, "connect to [%.16s] error[%d].", peer->name, err);
        return OS_MSG_ERR_SYSTEM;
    }
}

/* The slot of name under the cache lock, taking a free one for a new name. */
IpcPeer *IpcPeerLookUp(const char *name, uint32_t *err, uint32_t *epoch) {
    std::lock_guard<std::mutex> guard(g_ipcPeerCacheLock);
    *epoch = g_ipcPeerEpoch.load(std::memory_order_acquire);
    *err = OS_MSG_ERR_NOT_INIT;
    if (!g_ipcPeerCacheOpen) {
        return nullptr;
    }
    IpcPeer *free = nullptr;
    for (IpcPeer &peer : g_ipcPeers) {
        if (peer.name[0] == '\0') {
            free = (free == nullptr) ? &peer : free;
        } else if (strncmp(peer.name, name, OS_MSG_NAME_LEN) == 0) {
            return &peer;
        }
    }
    if (free == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "peer cache full.");
        *err = OS_MSG_ERR_NO_IDLE_BLOCK;
        return nullptr;
    }
    char path[IPC_RUN_DIR_PATH_SIZE];
    *err = IpcRunDirSockPath(path, g_ipcPeerRunDir, name);
    if (*err != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "process name [%.16s] cannot name a socket.", name);
        return nullptr;
    }
    std::lock_guard<std::mutex> peerGuard(free->lock);
    std::memcpy(free->path, path, sizeof(path));
    (void)snprintf(free->name, sizeof(free->name), "%.15s", name);
    return free;
}

} // namespace

void IpcPeerCacheOpen(const char *runDir) {
    std::lock_guard<std::mutex> guard(g_ipcPeerCacheLock);
    (void)snprintf(g_ipcPeerRunDir, sizeof(g_ipcPeerRunDir), "%s", runDir);
    for (IpcPeer &peer : g_ipcPeers) {
        std::lock_guard<std::mutex> peerGuard(peer.lock);
        peer.closed = false;
        peer.full = false;
        peer.fd = -1;
        peer.name[0] = '\0';
        peer.spareLen = 0U;
        std::lock_guard<std::mutex> pendGuard(peer.pendLock);
        peer.pendLen = 0U;
        peer.queued = false;
        peer.lastAsyncNs = 0U;
    }
    g_ipcPeerCacheOpen = true;
    g_ipcPeerEpoch.fetch_add(1U, std::memory_order_acq_rel);
}

void IpcPeerCacheClose(void) {
    std::lock_guard<std::mutex> guard(g_ipcPeerCacheLock);
    if (!g_ipcPeerCacheOpen) {
        return;
    }
    g_ipcPeerCacheOpen = false;
    g_ipcPeerEpoch.fetch_add(1U, std::memory_order_acq_rel);
    for (IpcPeer &peer : g_ipcPeers) {
        std::lock_guard<std::mutex> peerGuard(peer.lock);
        IpcPeerDisconnect(&peer);
        peer.closed = true;
        std::memset(peer.name, 0, sizeof(peer.name));
        std::lock_guard<std::mutex> pendGuard(peer.pendLock);
        for (uint8_t **buf : {&peer.spare, &peer.pend}) {
            if (*buf != nullptr) {
                MSG_FREE(*buf);
                *buf = nullptr;
            }
        }
        peer.spareLen = 0U;
        peer.pendLen = 0U;
        peer.queued = false;
    }
}

IpcPeer *IpcPeerFind(const char *name, uint32_t *err) {
    IpcPeerLast &last = t_ipcPeerLast;
    if (last.peer != nullptr && last.epoch == g_ipcPeerEpoch.load(std::memory_order_acquire) &&
        strncmp(last.name, name, OS_MSG_NAME_LEN) == 0) {
        return last.peer;
    }
    uint32_t epoch = 0U;
    IpcPeer *peer = IpcPeerLookUp(name, err, &epoch);
    if (peer != nullptr) {
        // Remembered only together with the epoch it was found under.
        last.epoch = epoch;
        last.peer = peer;
        (void)snprintf(last.name, sizeof(last.name), "%.15s", name);
    }
    return peer;
}

uint32_t IpcPeerConnect(IpcPeer *peer) {
    if (peer->closed) {
        return OS_MSG_ERR_NOT_INIT;
    }
    if (peer->fd >= 0) {
        return OS_MSG_OK;
    }
    int fd = IpcSysConnect(peer->path);
    if (fd < 0) {
        return IpcPeerConnectError(peer, -fd);
    }
    peer->maxBody = IpcPeerMaxBody(fd);
    peer->fd = fd;
    peer->linked.store(true, std::memory_order_release);
    return OS_MSG_OK;
}

void IpcPeerDisconnect(IpcPeer *peer) {
    if (peer->fd >= 0) {
        peer->linked.store(false, std::memory_order_release);
        IpcSysClose(&peer->fd);
    }
}

namespace {

IpcSendResult IpcPeerSendOnce(int fd, struct iovec *iov, size_t iovLen) {
    int err = IpcSysSend(fd, iov, iovLen);
    switch (-err) {
    case 0:
        return IPC_SEND_OK;
    case EAGAIN:
        return IPC_SEND_FULL;
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ECONNREFUSED:
        return IPC_SEND_BROKEN;
    default:
        MSG_LOG(OS_MSG_LOG_ERROR, "sendmsg error[%d].", -err);
        return IPC_SEND_ERROR;
    }
}

} // namespace

IpcSendResult IpcPeerSendDatagram(IpcPeer *peer, struct iovec *iov, size_t iovLen, uint32_t waitMs) {
    IpcSendResult res = IpcPeerSendOnce(peer->fd, iov, iovLen);
    uint32_t start = OsGetSysRunTime();
    while (res == IPC_SEND_FULL && waitMs != 0U) {
        uint32_t spent = OsGetSysRunTime() - start;
        if (spent >= waitMs || !IpcSysWaitWritable(peer->fd, (int)(waitMs - spent))) {
            return IPC_SEND_FULL;
        }
        res = IpcPeerSendOnce(peer->fd, iov, iovLen);
    }
    return res;
}

/*
 * The peer-connection cache: slots named after the processes this process
 * sends to, each with its kept SOCK_SEQPACKET connection. Locks: see
 * ipc_peer_cache.h.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/ipc_peer_cache.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "log/msg_log.h"
#include "transport/ipc_frame.h"

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
char g_ipcPeerRunDir[IPC_CARRIER_PATH_SIZE];
bool g_ipcPeerCacheOpen = false;
IpcPeer g_ipcPeers[IPC_PEER_NUM];

/* The payload a datagram on fd may carry, from its effective send buffer. */
uint32_t IpcPeerMaxBody(int fd) {
    int size = kIpcPeerSendBuffer;
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    socklen_t len = sizeof(size);
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &len) != 0) {
        size = 0;
    }
    uint32_t room = (uint32_t)size;
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

} // namespace

void IpcPeerCacheOpen(const char *runDir) {
    std::lock_guard<std::mutex> guard(g_ipcPeerCacheLock);
    (void)snprintf(g_ipcPeerRunDir, sizeof(g_ipcPeerRunDir), "%s", runDir);
    for (IpcPeer &peer : g_ipcPeers) {
        std::lock_guard<std::mutex> peerGuard(peer.lock);
        peer.closed = false;
        peer.fd = -1;
        peer.name[0] = '\0';
    }
    g_ipcPeerCacheOpen = true;
}

void IpcPeerCacheClose(void) {
    std::lock_guard<std::mutex> guard(g_ipcPeerCacheLock);
    if (!g_ipcPeerCacheOpen) {
        return;
    }
    g_ipcPeerCacheOpen = false;
    for (IpcPeer &peer : g_ipcPeers) {
        std::lock_guard<std::mutex> peerGuard(peer.lock);
        IpcPeerDisconnect(&peer);
        peer.closed = true;
        std::memset(peer.name, 0, sizeof(peer.name));
    }
}

IpcPeer *IpcPeerFind(const char *name, uint32_t *err) {
    std::lock_guard<std::mutex> guard(g_ipcPeerCacheLock);
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
    char path[IPC_CARRIER_PATH_SIZE];
    *err = IpcCarrierSockPath(path, g_ipcPeerRunDir, name);
    if (*err != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "process name [%.16s] cannot name a socket.", name);
        return nullptr;
    }
    std::lock_guard<std::mutex> peerGuard(free->lock);
    std::memcpy(free->path, path, sizeof(path));
    (void)snprintf(free->name, sizeof(free->name), "%.15s", name);
    return free;
}

uint32_t IpcPeerConnect(IpcPeer *peer) {
    if (peer->closed) {
        return OS_MSG_ERR_NOT_INIT;
    }
    if (peer->fd >= 0) {
        return OS_MSG_OK;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "socket error[%d].", errno);
        return OS_MSG_ERR_SYSTEM;
    }
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, peer->path, sizeof(addr.sun_path));
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        int err = errno;
        (void)close(fd);
        return IpcPeerConnectError(peer, err);
    }
    peer->maxBody = IpcPeerMaxBody(fd);
    peer->fd = fd;
    return OS_MSG_OK;
}

void IpcPeerDisconnect(IpcPeer *peer) {
    if (peer->fd >= 0) {
        (void)close(peer->fd);
        peer->fd = -1;
    }
}

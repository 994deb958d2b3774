/*
 * The peer cache: slots named after the processes this process sends to,
 * each with its dialled link and its set of full tasks. Locks: see
 * ipc_peer_cache.h. Every slot, the locks and the condition senders wait on
 * for room live in MsgForever storage: a sender may still wait on them while
 * a process that left without tearing down runs its static destructors.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_peer_cache.h"

#include <errno.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_forever.h"
#include "base/msg_monotonic.h"
#include "base/msg_names.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_run_dir.h"
#include "transport/unix/ipc_send_batch.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

struct IpcPeerTable {
    IpcPeer peers[IPC_PEER_NUM];
};

MsgForever<IpcPeerTable> g_ipcPeerTable;
/* Guards the naming and freeing of slots, the run directory and the open
 * state; taken before any slot's lock. */
MsgForever<std::mutex> g_ipcPeerCacheLock;
char g_ipcPeerRunDir[IPC_RUN_DIR_PATH_SIZE];
/* Whether the run directory is shared (IpcRunDirMode), for the judgement of
 * the socket files connected to; written by the open, read by connects. */
std::atomic<bool> g_ipcPeerRunShared{false};
bool g_ipcPeerCacheOpen = false;
std::atomic<uint32_t> g_ipcPeerNamed{0U};
std::atomic<uint32_t> g_ipcPeerIdleMs{MSG_TUNE_PEER_IDLE_MS};
std::atomic<uint64_t> g_ipcPeerSweptNs{0U};
/* Guards every slot's set of full tasks; senders wait on g_ipcFullCond for
 * a task to have room. A leaf lock. */
MsgForever<std::mutex> g_ipcFullLock;
MsgForever<std::condition_variable> g_ipcFullCond;

/* The slot this thread found last, so that a thread sending to one peer
 * skips the cache lock; valid while the slot keeps the generation. */
struct IpcPeerLast {
    IpcPeer *peer;
    uint32_t gen;
    char name[OS_MSG_NAME_LEN];
};
// Initial-exec: read on every send to another process (see t_lookups in simple_msg_registry.cc).
__attribute__((tls_model("initial-exec"))) thread_local IpcPeerLast t_ipcPeerLast = {nullptr, 0U, {0}};

IpcPeer *IpcPeers() {
    return g_ipcPeerTable->peers;
}

uint32_t IpcPeerConnectError(const IpcPeer *peer, int err, bool logAbsent) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        if (logAbsent) {
            MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] not running (no socket in %s).", peer->name, g_ipcPeerRunDir);
        }
        return OS_MSG_ERR_SERVER_NOT_RUNNING;
    case ECONNREFUSED:
        if (logAbsent) {
            MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] not running (its socket in %s does not answer).", peer->name,
                    g_ipcPeerRunDir);
        }
        return OS_MSG_ERR_SERVER_NOT_RUNNING;
    case EAGAIN:
        MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] accepts no connection now.", peer->name);
        return OS_MSG_ERR_FULL;
    default:
        MSG_LOG(OS_MSG_LOG_ERROR, "connect to [%.16s] error[%d].", peer->name, err);
        return OS_MSG_ERR_SYSTEM;
    }
}

/* Whether peer's socket file may be connected to: a connect follows a
 * symbolic link, and the name of a process must not lead elsewhere (logged
 * when it may not). A missing file is for the connect to report. */
bool IpcPeerSocketTrusted(const IpcPeer *peer) {
    IpcSysFileInfo info;
    if (IpcSysFileInfoOfPath(peer->path, &info) != 0) {
        return true;
    }
    const IpcRunDirMode mode = {g_ipcPeerRunShared.load(std::memory_order_relaxed), 0U};
    char why[IPC_RUN_DIR_WHY_SIZE];
    const char *fault = IpcRunDirFileFault(&mode, &info, IPC_SYS_FILE_SOCKET, why, sizeof(why));
    if (fault != nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "socket [%s] of process [%.16s] refused: %s.", peer->path, peer->name, fault);
    }
    return fault == nullptr;
}

/* Empties peer's set of full tasks and wakes its waiters. */
void IpcPeerClearFull(IpcPeer *peer) {
    std::lock_guard<std::mutex> guard(*g_ipcFullLock);
    if (peer->fullCount.load(std::memory_order_relaxed) != 0U) {
        peer->fullCount.store(0U, std::memory_order_relaxed);
        g_ipcFullCond->notify_all();
    }
}

/* Drops peer's link (its lock held), shutting it down when shut is set. */
void IpcPeerDropLink(IpcPeer *peer, bool shut) {
    IpcLink *link = peer->link;
    if (link == nullptr) {
        return;
    }
    peer->link = nullptr;
    peer->linked.store(false, std::memory_order_release);
    if (shut) {
        IpcLinkShutdown(link);
    }
    IpcLinkRelease(link);
    IpcPeerClearFull(peer);
}

/* True when nothing uses peer: no send, no batch (its lock and pendLock
 * held). */
bool IpcPeerIdleLocked(const IpcPeer *peer) {
    return peer->users == 0U && !peer->queued && peer->pendLen == 0U && peer->spareLen == 0U;
}

/* Gives peer's name back (cache lock, its lock and pendLock held): its link
 * is shut down, its batch buffers released. */
void IpcPeerFreeLocked(IpcPeer *peer) {
    IpcPeerDropLink(peer, true);
    for (uint8_t **buf : {&peer->spare, &peer->pend}) {
        if (*buf != nullptr) {
            MSG_FREE(*buf);
            *buf = nullptr;
        }
    }
    std::memset(peer->name, 0, sizeof(peer->name));
    peer->gen.fetch_add(1U, std::memory_order_acq_rel);
    g_ipcPeerNamed.fetch_sub(1U, std::memory_order_relaxed);
}

/* Gives peer back when it is idle and still named under gen (cache lock
 * held). */
bool IpcPeerFreeIfIdle(IpcPeer *peer, const uint32_t *gen) {
    std::lock_guard<std::mutex> guard(peer->lock);
    std::lock_guard<std::mutex> pendGuard(peer->pendLock);
    if (peer->name[0] == '\0' || (gen != nullptr && peer->gen.load(std::memory_order_relaxed) != *gen) ||
        !IpcPeerIdleLocked(peer)) {
        return false;
    }
    IpcPeerFreeLocked(peer);
    return true;
}

/* A slot for a new name (cache lock held): a free one, else the least
 * recently used idle one, given back first. NULL when every slot is busy. */
IpcPeer *IpcPeerFreeSlot() {
    IpcPeer *oldest = nullptr;
    for (uint32_t i = 0U; i < IPC_PEER_NUM; ++i) {
        IpcPeer *peer = &IpcPeers()[i];
        if (peer->name[0] == '\0') {
            return peer;
        }
        if (oldest == nullptr ||
            peer->lastUseNs.load(std::memory_order_relaxed) < oldest->lastUseNs.load(std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> guard(peer->lock);
            std::lock_guard<std::mutex> pendGuard(peer->pendLock);
            oldest = IpcPeerIdleLocked(peer) ? peer : oldest;
        }
    }
    return oldest != nullptr && IpcPeerFreeIfIdle(oldest, nullptr) ? oldest : nullptr;
}

/* The slot of name under the cache lock, naming one for a new name. */
IpcPeer *IpcPeerLookUp(const char *name, uint32_t *err, uint32_t *gen) {
    std::lock_guard<std::mutex> guard(*g_ipcPeerCacheLock);
    *err = OS_MSG_ERR_NOT_INIT;
    if (!g_ipcPeerCacheOpen) {
        return nullptr;
    }
    for (uint32_t i = 0U; i < IPC_PEER_NUM; ++i) {
        IpcPeer *peer = &IpcPeers()[i];
        if (peer->name[0] != '\0' && strncmp(peer->name, name, OS_MSG_NAME_LEN) == 0) {
            *gen = peer->gen.load(std::memory_order_acquire);
            return peer;
        }
    }
    char path[IPC_RUN_DIR_PATH_SIZE];
    *err = IpcRunDirSockPath(path, g_ipcPeerRunDir, name);
    if (*err != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "process name [%.16s] cannot name a socket.", name);
        return nullptr;
    }
    IpcPeer *peer = IpcPeerFreeSlot();
    if (peer == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "peer cache full.");
        *err = OS_MSG_ERR_NO_IDLE_BLOCK;
        return nullptr;
    }
    std::lock_guard<std::mutex> peerGuard(peer->lock);
    std::lock_guard<std::mutex> pendGuard(peer->pendLock);
    std::memcpy(peer->path, path, sizeof(path));
    (void)snprintf(peer->name, sizeof(peer->name), "%.15s", name);
    peer->lastUseNs.store(MsgMonotonicNs(), std::memory_order_relaxed);
    peer->lastAsyncNs = 0U;
    *gen = peer->gen.fetch_add(1U, std::memory_order_acq_rel) + 1U;
    g_ipcPeerNamed.fetch_add(1U, std::memory_order_relaxed);
    return peer;
}

/* The index of task in peer's full set, -1 when absent (g_ipcFullLock
 * held). */
int IpcPeerFullIndex(const IpcPeer *peer, const char *task) {
    uint32_t count = peer->fullCount.load(std::memory_order_relaxed);
    for (uint32_t i = 0U; i < count; ++i) {
        if (MsgFieldEqual(peer->full[i].task, task)) {
            return (int)i;
        }
    }
    return -1;
}

} // namespace

void IpcPeerCacheOpen(const char *runDir, const IpcRunDirMode *mode) {
    std::lock_guard<std::mutex> guard(*g_ipcPeerCacheLock);
    (void)snprintf(g_ipcPeerRunDir, sizeof(g_ipcPeerRunDir), "%s", runDir);
    g_ipcPeerRunShared.store(mode->shared, std::memory_order_relaxed);
    for (uint32_t i = 0U; i < IPC_PEER_NUM; ++i) {
        IpcPeer &peer = IpcPeers()[i];
        std::lock_guard<std::mutex> peerGuard(peer.lock);
        std::lock_guard<std::mutex> pendGuard(peer.pendLock);
        peer.closed = false;
        peer.sockFull = false;
        peer.link = nullptr;
        peer.users = 0U;
        peer.name[0] = '\0';
        peer.spareLen = 0U;
        peer.pendLen = 0U;
        peer.queued = false;
        peer.lastAsyncNs = 0U;
        peer.fullCount.store(0U, std::memory_order_relaxed);
    }
    g_ipcPeerNamed.store(0U, std::memory_order_relaxed);
    g_ipcPeerSweptNs.store(MsgMonotonicNs(), std::memory_order_relaxed);
    g_ipcPeerCacheOpen = true;
}

void IpcPeerCacheClose(void) {
    std::lock_guard<std::mutex> guard(*g_ipcPeerCacheLock);
    if (!g_ipcPeerCacheOpen) {
        return;
    }
    g_ipcPeerCacheOpen = false;
    for (uint32_t i = 0U; i < IPC_PEER_NUM; ++i) {
        IpcPeer &peer = IpcPeers()[i];
        std::lock_guard<std::mutex> peerGuard(peer.lock);
        std::lock_guard<std::mutex> pendGuard(peer.pendLock);
        peer.closed = true;
        peer.users = 0U;
        peer.queued = false;
        IpcBatchDropLocked(&peer);
        if (peer.name[0] != '\0') {
            IpcPeerFreeLocked(&peer);
        }
    }
}

IpcPeer *IpcPeerFind(const char *name, uint32_t *err, uint32_t *gen) {
    IpcPeerLast &last = t_ipcPeerLast;
    if (last.peer != nullptr && last.gen == last.peer->gen.load(std::memory_order_acquire) &&
        strncmp(last.name, name, OS_MSG_NAME_LEN) == 0) {
        *gen = last.gen;
        return last.peer;
    }
    IpcPeer *peer = IpcPeerLookUp(name, err, gen);
    if (peer != nullptr) {
        last.gen = *gen;
        last.peer = peer;
        (void)snprintf(last.name, sizeof(last.name), "%.15s", name);
    }
    return peer;
}

bool IpcPeerBegin(IpcPeer *peer, uint32_t gen) {
    peer->lock.lock();
    if (peer->gen.load(std::memory_order_relaxed) != gen || peer->name[0] == '\0') {
        peer->lock.unlock();
        return false;
    }
    peer->users += 1U;
    peer->lastUseNs.store(MsgMonotonicNs(), std::memory_order_relaxed);
    return true;
}

void IpcPeerEnd(IpcPeer *peer, bool forget) {
    peer->users -= 1U;
    const uint32_t gen = peer->gen.load(std::memory_order_relaxed);
    forget = forget && peer->users == 0U && peer->link == nullptr;
    peer->lock.unlock();
    if (forget) {
        std::lock_guard<std::mutex> guard(*g_ipcPeerCacheLock);
        (void)IpcPeerFreeIfIdle(peer, &gen);
    }
}

uint32_t IpcPeerConnect(IpcPeer *peer, bool logAbsent) {
    if (peer->closed) {
        return OS_MSG_ERR_NOT_INIT;
    }
    if (peer->link != nullptr) {
        return OS_MSG_OK;
    }
    if (!IpcPeerSocketTrusted(peer)) {
        return OS_MSG_ERR_ACCESS;
    }
    int fd = IpcSysConnect(peer->path);
    if (fd < 0) {
        return IpcPeerConnectError(peer, -fd, logAbsent);
    }
    IpcLink *link = IpcLinkCreate(fd, IPC_LINK_DIALLED, 0U, 0U);
    if (link == nullptr) {
        IpcSysClose(&fd);
        return OS_MSG_ERR_NO_MEMORY;
    }
    link->peer = peer;
    link->peerGen = peer->gen.load(std::memory_order_relaxed);
    if (!IpcLinkRegister(link)) {
        IpcLinkRelease(link);
        return OS_MSG_ERR_SYSTEM;
    }
    peer->link = link;
    peer->linked.store(true, std::memory_order_release);
    return OS_MSG_OK;
}

void IpcPeerDisconnect(IpcPeer *peer) {
    IpcPeerDropLink(peer, true);
}

void IpcPeerNotice(IpcLink *link, uint32_t kind, const char *task) {
    IpcPeer *peer = link->peer;
    std::lock_guard<std::mutex> peerGuard(peer->lock);
    if (peer->gen.load(std::memory_order_relaxed) != link->peerGen || peer->link != link) {
        return; // a notice of a connection the slot has left
    }
    std::lock_guard<std::mutex> guard(*g_ipcFullLock);
    int at = IpcPeerFullIndex(peer, task);
    uint32_t count = peer->fullCount.load(std::memory_order_relaxed);
    if (kind == IPC_CONTROL_TASK_FULL && at < 0 && count < IPC_PEER_FULL_MAX) {
        std::memcpy(peer->full[count].task, task, OS_MSG_NAME_LEN);
        peer->full[count].logged = false;
        peer->fullCount.store(count + 1U, std::memory_order_relaxed);
    } else if (kind == IPC_CONTROL_TASK_ROOM && at >= 0) {
        peer->full[at] = peer->full[count - 1U];
        peer->fullCount.store(count - 1U, std::memory_order_relaxed);
        g_ipcFullCond->notify_all();
    }
}

void IpcPeerLinkGone(IpcLink *link) {
    IpcPeer *peer = link->peer;
    std::lock_guard<std::mutex> guard(*g_ipcPeerCacheLock);
    {
        std::lock_guard<std::mutex> peerGuard(peer->lock);
        if (peer->gen.load(std::memory_order_relaxed) != link->peerGen || peer->link != link) {
            return;
        }
        IpcPeerDropLink(peer, false);
    }
    (void)IpcPeerFreeIfIdle(peer, &link->peerGen);
}

void IpcPeerSweepIdle(void) {
    const uint64_t now = MsgMonotonicNs();
    const uint64_t idleNs = (uint64_t)g_ipcPeerIdleMs.load(std::memory_order_relaxed) * 1000000ULL;
    g_ipcPeerSweptNs.store(now, std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(*g_ipcPeerCacheLock);
    for (uint32_t i = 0U; i < IPC_PEER_NUM; ++i) {
        IpcPeer *peer = &IpcPeers()[i];
        if (peer->name[0] != '\0' && now - peer->lastUseNs.load(std::memory_order_relaxed) >= idleNs) {
            (void)IpcPeerFreeIfIdle(peer, nullptr);
        }
    }
}

int IpcPeerSweepDueMs(uint64_t now) {
    if (g_ipcPeerNamed.load(std::memory_order_relaxed) == 0U) {
        return -1;
    }
    // Every half idle time: a slot goes at most half that time late.
    const uint64_t periodNs = (uint64_t)g_ipcPeerIdleMs.load(std::memory_order_relaxed) * 500000ULL;
    const uint64_t swept = g_ipcPeerSweptNs.load(std::memory_order_relaxed);
    const uint64_t since = now > swept ? now - swept : 0U;
    return since >= periodNs ? 0 : (int)((periodNs - since) / 1000000ULL) + 1;
}

void IpcPeerSetIdleMs(uint32_t ms) {
    g_ipcPeerIdleMs.store(ms != 0U ? ms : MSG_TUNE_PEER_IDLE_MS, std::memory_order_relaxed);
}

bool IpcPeerWaitTaskRoom(IpcPeer *peer, const char *task, uint32_t ms, bool *logIt) {
    *logIt = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(*g_ipcFullLock);
    for (int at = IpcPeerFullIndex(peer, task); at >= 0; at = IpcPeerFullIndex(peer, task)) {
        if (g_ipcFullCond->wait_until(lock, deadline) == std::cv_status::timeout &&
            (at = IpcPeerFullIndex(peer, task)) >= 0) {
            *logIt = !peer->full[at].logged;
            peer->full[at].logged = true;
            return false;
        }
    }
    return true;
}

uint32_t IpcPeerNamedCount(void) {
    return g_ipcPeerNamed.load(std::memory_order_relaxed);
}

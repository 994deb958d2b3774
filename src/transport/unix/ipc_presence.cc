/*
 * The presence thread, its table of known processes and the waits for a
 * process to join (see ipc_presence.h for the rules and the locks).
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_presence.h"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/msg_forever.h"
#include "base/msg_names.h"
#include "base/msg_thread_name.h"
#include "log/msg_log.h"
#include "transport/ipc_msg.h"
#include "transport/unix/ipc_run_dir.h"
#include "transport/unix/ipc_sub_keeper.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

constexpr char kSockSuffix[] = ".sock";
constexpr size_t kSuffixLen = sizeof(kSockSuffix) - 1U;
/* Changes handled one by one per wake-up; past them the folder is looked at
 * whole, which sees them all. */
constexpr uint32_t kBatchMax = 64U;
/* Names a look at the whole folder takes in. */
constexpr uint32_t kScanMax = 2U * IPC_PRESENCE_MAX;

/* A known process. The presence thread alone writes the slots, name, pid
 * and used under g_presenceLock (waiters read those), the rest without. */
struct IpcPresencePeer {
    char name[OS_MSG_NAME_LEN];
    uint32_t pid;
    int endFd; /* readable once the process ended; -1 without one */
    bool used;
    bool seen; /* found by the current look at the whole folder */
};

/* The presence thread's state; written by open before the thread starts and
 * by close after it ended. */
struct IpcPresence {
    char runDir[IPC_RUN_DIR_PATH_SIZE];
    char ownName[OS_MSG_NAME_LEN];
    int dirWatch;
    int poller;
    int wakeFd;
    pthread_t thread;
    bool opened; /* the fields below hold descriptors or -1 */
    bool started;
    std::atomic<bool> stopping;
    bool fullLogged;
    bool goneLogged;
    IpcPresencePeer peers[IPC_PRESENCE_MAX];
};

IpcPresence g_presence = {{0}, {0}, -1, -1, -1, pthread_t(), false, false, {false}, false, false, {}};

/* What waiters read. Never destroyed: a waiter may sleep here while a
 * process that left without tearing down runs its static destructors. */
MsgForever<std::mutex> g_presenceLock;
MsgForever<std::condition_variable> g_presenceCond;
bool g_presenceOpen = false;               /* g_presenceLock */
bool g_presenceWatching = false;           /* g_presenceLock: the thread runs */
uint64_t g_presenceChanges = 0U;           /* g_presenceLock */
uint32_t g_presenceKnown = 0U;             /* g_presenceLock: slots used */
char g_presenceDir[IPC_RUN_DIR_PATH_SIZE]; /* g_presenceLock */
char g_presenceOwn[OS_MSG_NAME_LEN];       /* g_presenceLock */

/* Counts a change and wakes the waiters (g_presenceLock held). */
void IpcPresenceChangedLocked(void) {
    g_presenceChanges += 1U;
    g_presenceCond->notify_all();
}

/* The process name a socket file name stands for, into name: false for any
 * other file (the folder's segment, a temporary name, a name too long). */
bool IpcPresenceNameOf(const char *file, char *name) {
    size_t len = strlen(file);
    if (file[0] == '.' || len <= kSuffixLen || len - kSuffixLen >= OS_MSG_NAME_LEN ||
        std::memcmp(file + len - kSuffixLen, kSockSuffix, kSuffixLen) != 0) {
        return false;
    }
    std::memset(name, 0, OS_MSG_NAME_LEN);
    std::memcpy(name, file, len - kSuffixLen);
    return true;
}

/* Whether name's socket answers; *pid gets its listener's id (0 when the
 * kernel did not tell it). */
bool IpcPresenceAnswers(const char *name, uint32_t *pid) {
    char path[IPC_RUN_DIR_PATH_SIZE];
    *pid = 0U;
    if (IpcRunDirSockPath(path, g_presence.runDir, name) != OS_MSG_OK) {
        return false;
    }
    int probe = IpcSysProbe(path, pid);
    return probe == 0 || probe == -EAGAIN;
}

IpcPresencePeer *IpcPresenceFind(const char *name) {
    for (IpcPresencePeer &peer : g_presence.peers) {
        if (peer.used && MsgFieldEqual(peer.name, name)) {
            return &peer;
        }
    }
    return nullptr;
}

/* Records a process that joined, waking the waiters; false when the table
 * is full. */
bool IpcPresenceRecord(const char *name, uint32_t pid) {
    for (IpcPresencePeer &peer : g_presence.peers) {
        if (peer.used) {
            continue;
        }
        peer.endFd = pid != 0U ? IpcSysProcessWatch(pid) : -1;
        if (peer.endFd >= 0 && IpcSysPollerAdd(g_presence.poller, peer.endFd, IPC_SYS_READABLE, &peer) != 0) {
            IpcSysClose(&peer.endFd);
        }
        peer.seen = true;
        std::lock_guard<std::mutex> guard(*g_presenceLock);
        std::memcpy(peer.name, name, OS_MSG_NAME_LEN);
        peer.pid = pid;
        peer.used = true;
        g_presenceKnown += 1U;
        IpcPresenceChangedLocked();
        return true;
    }
    if (!g_presence.fullLogged) {
        MSG_LOG(OS_MSG_LOG_ERROR,
                "more than %u processes in [%s]: the leave of [%.16s] and later ones is seen only when their socket "
                "goes.",
                IPC_PRESENCE_MAX, g_presence.runDir, name);
        g_presence.fullLogged = true;
    }
    return false;
}

/* A known process left; published unless silent. */
void IpcPresenceLeft(IpcPresencePeer *peer, bool silent) {
    if (peer->endFd >= 0) {
        IpcSysPollerRemove(g_presence.poller, peer->endFd);
        IpcSysClose(&peer->endFd);
    }
    {
        std::lock_guard<std::mutex> guard(*g_presenceLock);
        peer->used = false;
        g_presenceKnown -= 1U;
        IpcPresenceChangedLocked();
    }
    if (!silent) {
        (void)IPCMsgPublishPresence(MSG_ID_PROC_LEFT, peer->name, peer->pid);
    }
}

/* A process joined: the subscriptions kept for it go to it first, then it
 * is known (waiters see it), then the event is published; so whoever learns
 * of the join finds those subscriptions sent ahead of what it sends. */
void IpcPresenceJoined(const char *name, uint32_t pid, bool silent) {
    if (!silent) {
        IpcSubKeeperResend(name);
    }
    (void)IpcPresenceRecord(name, pid);
    if (!silent) {
        (void)IPCMsgPublishPresence(MSG_ID_PROC_JOINED, name, pid);
    }
}

/* name's socket appeared (or is found by a look at the whole folder): a
 * process joined unless it is the one known under that name; one known
 * under it before, now gone or replaced, left. */
void IpcPresenceAppeared(const char *name, bool silent) {
    if (MsgFieldEqual(name, g_presence.ownName)) {
        return;
    }
    uint32_t pid = 0U;
    bool answers = IpcPresenceAnswers(name, &pid);
    IpcPresencePeer *known = IpcPresenceFind(name);
    if (known != nullptr && answers && known->pid == pid) {
        known->seen = true;
        return;
    }
    if (known != nullptr) {
        IpcPresenceLeft(known, silent);
    }
    if (answers) {
        IpcPresenceJoined(name, pid, silent);
    }
}

void IpcPresenceVanished(const char *name) {
    IpcPresencePeer *known = IpcPresenceFind(name);
    if (known != nullptr) {
        IpcPresenceLeft(known, false);
    }
}

struct IpcPresenceScan {
    char names[kScanMax][OS_MSG_NAME_LEN];
    uint32_t count;
};

void IpcPresenceScanVisit(const char *file, void *arg) {
    auto *scan = static_cast<IpcPresenceScan *>(arg);
    if (scan->count < kScanMax && IpcPresenceNameOf(file, scan->names[scan->count])) {
        scan->count += 1U;
    }
}

/* Looks at the whole folder: what answers there and is not known joined,
 * what is known and no longer answers there left. */
void IpcPresenceRescan(bool silent) {
    IpcPresenceScan scan;
    scan.count = 0U;
    (void)IpcSysListDir(g_presence.runDir, IpcPresenceScanVisit, &scan);
    for (IpcPresencePeer &peer : g_presence.peers) {
        peer.seen = false;
    }
    for (uint32_t i = 0U; i < scan.count; ++i) {
        IpcPresenceAppeared(scan.names[i], silent);
    }
    for (IpcPresencePeer &peer : g_presence.peers) {
        if (peer.used && !peer.seen) {
            IpcPresenceLeft(&peer, silent);
        }
    }
}

/* The changes one wake-up of the folder watch read. */
struct IpcPresenceBatch {
    uint32_t kinds[kBatchMax];
    char names[kBatchMax][OS_MSG_NAME_LEN];
    uint32_t count;
    bool lost; /* look at the whole folder */
    bool gone; /* the folder itself went */
};

void IpcPresenceBatchVisit(uint32_t kind, const char *file, void *arg) {
    auto *batch = static_cast<IpcPresenceBatch *>(arg);
    if (kind == IPC_SYS_DIR_LOST) {
        batch->lost = true;
    } else if (kind == IPC_SYS_DIR_GONE) {
        batch->gone = true;
    } else if (batch->count == kBatchMax) {
        batch->lost = true;
    } else if (IpcPresenceNameOf(file, batch->names[batch->count])) {
        batch->kinds[batch->count++] = kind;
    }
}

/* Wakes the waiters that look for themselves (the table is full). */
void IpcPresenceTellWaiters(void) {
    std::lock_guard<std::mutex> guard(*g_presenceLock);
    IpcPresenceChangedLocked();
}

void IpcPresenceOnFolder(void) {
    IpcPresenceBatch batch;
    batch.count = 0U;
    batch.lost = false;
    batch.gone = false;
    if (IpcSysDirChanges(g_presence.dirWatch, IpcPresenceBatchVisit, &batch) <= 0) {
        return;
    }
    IpcPresenceTellWaiters();
    if (batch.gone && !g_presence.goneLogged) {
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] removed: processes that join from now on are not seen.",
                g_presence.runDir);
        g_presence.goneLogged = true;
    }
    if (batch.lost) {
        IpcPresenceRescan(false);
        return;
    }
    for (uint32_t i = 0U; i < batch.count; ++i) {
        if (batch.kinds[i] == IPC_SYS_DIR_APPEARED) {
            IpcPresenceAppeared(batch.names[i], false);
        } else {
            IpcPresenceVanished(batch.names[i]);
        }
    }
}

/* A process watch turned readable: the process ended, unless the slot
 * serves another process since an earlier event of the same wait. */
void IpcPresenceOnEnd(IpcPresencePeer *peer) {
    IpcSysPollItem item = {peer->endFd, IPC_SYS_READABLE, 0U};
    if (peer->used && peer->endFd >= 0 && IpcSysPoll(&item, 1U, 0) > 0) {
        IpcPresenceLeft(peer, false);
    }
}

void *IpcPresenceThread(void *) {
    MsgNameThisThread(MSG_THREAD_PRESENCE);
    IpcSysEvent events[16];
    while (!g_presence.stopping.load(std::memory_order_acquire)) {
        int n = IpcSysPollerWait(g_presence.poller, events, 16, -1);
        if (n < 0) {
            MSG_LOG(OS_MSG_LOG_FATAL, "epoll wait error[%d].", -n);
            break;
        }
        for (int i = 0; i < n && !g_presence.stopping.load(std::memory_order_acquire); ++i) {
            if (events[i].tag == &g_presence.wakeFd) {
                IpcSysEventDrain(g_presence.wakeFd);
            } else if (events[i].tag == &g_presence.dirWatch) {
                IpcPresenceOnFolder();
            } else {
                IpcPresenceOnEnd(static_cast<IpcPresencePeer *>(events[i].tag));
            }
        }
    }
    return nullptr;
}

/* The poller, the wake-up counter and the folder watch; -errno of the first
 * that failed. */
int IpcPresenceWatch(void) {
    IpcPresence &p = g_presence;
    p.poller = IpcSysPollerCreate();
    p.wakeFd = p.poller >= 0 ? IpcSysEventCreate() : -1;
    p.dirWatch = p.wakeFd >= 0 ? IpcSysDirWatch(p.runDir) : -1;
    int err = p.poller < 0 ? p.poller : (p.wakeFd < 0 ? p.wakeFd : p.dirWatch);
    if (err >= 0) {
        err = IpcSysPollerAdd(p.poller, p.wakeFd, IPC_SYS_READABLE, &p.wakeFd);
    }
    if (err >= 0) {
        err = IpcSysPollerAdd(p.poller, p.dirWatch, IPC_SYS_READABLE, &p.dirWatch);
    }
    return err < 0 ? err : 0;
}

void IpcPresenceCloseFds(void) {
    IpcPresence &p = g_presence;
    if (!p.opened) {
        return;
    }
    p.opened = false;
    for (IpcPresencePeer &peer : p.peers) {
        IpcSysClose(&peer.endFd);
    }
    IpcSysClose(&p.dirWatch);
    IpcSysClose(&p.wakeFd);
    IpcSysClose(&p.poller);
    std::lock_guard<std::mutex> guard(*g_presenceLock);
    for (IpcPresencePeer &peer : p.peers) {
        peer.used = false;
    }
    g_presenceKnown = 0U;
}

/* Whether procName is known to have joined (g_presenceLock held). */
bool IpcPresenceKnownLocked(const char *procName) {
    for (const IpcPresencePeer &peer : g_presence.peers) {
        if (peer.used && MsgNameEqual(peer.name, procName)) {
            return true;
        }
    }
    return false;
}

/* Whether the socket at path answers now, asked without the lock (held
 * again on return). */
bool IpcPresenceProbeUnlocked(std::unique_lock<std::mutex> &lock, const char *path) {
    lock.unlock();
    uint32_t pid = 0U;
    int probe = IpcSysProbe(path, &pid);
    lock.lock();
    return probe == 0 || probe == -EAGAIN;
}

} // namespace

uint32_t IpcPresenceOpen(const char *runDir, const char *ownName) {
    IpcPresence &p = g_presence;
    (void)snprintf(p.runDir, sizeof(p.runDir), "%s", runDir);
    std::memset(p.ownName, 0, sizeof(p.ownName));
    (void)snprintf(p.ownName, sizeof(p.ownName), "%.15s", ownName);
    p.stopping.store(false, std::memory_order_relaxed);
    p.fullLogged = false;
    p.goneLogged = false;
    {
        std::lock_guard<std::mutex> guard(*g_presenceLock);
        for (IpcPresencePeer &peer : p.peers) {
            peer = IpcPresencePeer{{0}, 0U, -1, false, false};
        }
        g_presenceKnown = 0U;
    }
    p.opened = true;
    // The watch comes before the look, so that no change falls between them.
    int err = IpcPresenceWatch();
    if (err == 0) {
        IpcPresenceRescan(true);
        p.started = pthread_create(&p.thread, nullptr, IpcPresenceThread, nullptr) == 0;
        err = p.started ? 0 : -EAGAIN;
    }
    if (err != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR,
                "run directory [%s] cannot be watched, error[%d]: no process joined or left "
                "events, and waits for a process only look.",
                runDir, -err);
        IpcPresenceCloseFds();
    }
    std::lock_guard<std::mutex> guard(*g_presenceLock);
    (void)snprintf(g_presenceDir, sizeof(g_presenceDir), "%s", runDir);
    std::memcpy(g_presenceOwn, p.ownName, sizeof(g_presenceOwn));
    g_presenceOpen = true;
    g_presenceWatching = err == 0;
    return err == 0 ? OS_MSG_OK : OS_MSG_ERR_SYSTEM;
}

void IpcPresenceClose(void) {
    IpcPresence &p = g_presence;
    if (p.started) {
        p.stopping.store(true, std::memory_order_release);
        IpcSysEventPost(p.wakeFd);
        (void)pthread_join(p.thread, nullptr);
        p.started = false;
    }
    IpcPresenceCloseFds();
    std::lock_guard<std::mutex> guard(*g_presenceLock);
    g_presenceOpen = false;
    g_presenceWatching = false;
    g_presenceChanges += 1U;
    g_presenceCond->notify_all();
}

uint32_t IpcPresenceWait(const char *procName, uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char path[IPC_RUN_DIR_PATH_SIZE];
    std::unique_lock<std::mutex> lock(*g_presenceLock);
    if (!g_presenceOpen) {
        return OS_MSG_ERR_NOT_INIT;
    }
    if (MsgNameEqual(procName, g_presenceOwn)) {
        return OS_MSG_OK;
    }
    if (IpcRunDirSockPath(path, g_presenceDir, procName) != OS_MSG_OK) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    for (;;) {
        if (IpcPresenceKnownLocked(procName)) {
            return OS_MSG_OK;
        }
        const uint64_t changes = g_presenceChanges;
        if (IpcPresenceProbeUnlocked(lock, path)) {
            // It runs. Unless the thread does not keep it (none runs, or the
            // table is full), the thread is about to take it in, sending it
            // what is kept for it first: wait for that, a moment at most.
            if (g_presenceWatching && g_presenceKnown < IPC_PRESENCE_MAX) {
                (void)g_presenceCond->wait_for(lock, std::chrono::milliseconds(IPC_PRESENCE_CATCH_UP_MS), [procName] {
                    return !g_presenceOpen || IpcPresenceKnownLocked(procName);
                });
            }
            return g_presenceOpen ? OS_MSG_OK : OS_MSG_ERR_NOT_INIT;
        }
        if (!g_presenceOpen) {
            return OS_MSG_ERR_NOT_INIT;
        }
        if (!g_presenceWatching) {
            return timeoutMs == 0U ? OS_MSG_ERR_TIMEOUT : OS_MSG_ERR_SYSTEM;
        }
        if (!g_presenceCond->wait_until(lock, deadline, [changes] { return g_presenceChanges != changes; })) {
            return OS_MSG_ERR_TIMEOUT;
        }
        if (!g_presenceOpen) {
            return OS_MSG_ERR_NOT_INIT;
        }
    }
}

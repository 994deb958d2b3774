/*
 * The socket carrier's name claim, the removal of its traces on close and at
 * exit, and the fork child's hand-off (see ipc_unix_life.h for the rules and
 * the locks).
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_unix_life.h"

#include <errno.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "base/msg_forever.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "transport/ipc_msg.h"
#include "transport/unix/ipc_post.h"
#include "transport/unix/ipc_run_dir.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

/* Pending connections a listening socket holds. */
constexpr int kIpcUnixBacklog = 128;

/* What this process leaves in the run directory while its carrier is open. */
struct IpcLifeTraces {
    bool kept;   /* recorded and not removed yet */
    bool listed; /* the directory lists the name */
    char sockPath[IPC_RUN_DIR_PATH_SIZE];
    IpcSysFileKey sockKey; /* the socket file this process bound */
    char name[OS_MSG_NAME_LEN];
    uint32_t pid; /* the owner, as listed */
};

/* Guards g_ipcLifeTraces; see ipc_unix_life.h. Never destroyed: the exit
 * handler takes it while the process's static objects go. */
MsgForever<std::mutex> g_ipcLifeLock;
IpcLifeTraces g_ipcLifeTraces;
/* The process that recorded the traces, 0 when none: read before the lock,
 * so that a forked child's exit never takes it. */
std::atomic<uint32_t> g_ipcLifeOwner{0U};
/* The open carrier, for the fork child's hand-off. */
std::atomic<IpcUnixCarrier *> g_ipcLifeCarrier{nullptr};
std::once_flag g_ipcLifeHooksOnce;

/* Removes the traces (g_ipcLifeLock held). */
void IpcLifeRemove(uint32_t waitMs) {
    IpcLifeTraces &traces = g_ipcLifeTraces;
    if (!traces.kept) {
        return;
    }
    traces.kept = false;
    g_ipcLifeOwner.store(0U, std::memory_order_relaxed);
    (void)IpcSysUnlinkSame(traces.sockPath, &traces.sockKey);
    if (traces.listed) {
        (void)IPCMsgReleaseQid(traces.name, traces.pid, waitMs);
    }
}

/* atexit: a process that leaves with its carrier open (a return from main,
 * exit() anywhere) removes its traces; its threads go on until the process
 * ends and are never waited for. */
void IpcLifeAtExit(void) {
    if (g_ipcLifeOwner.load(std::memory_order_relaxed) != IpcSysPid()) {
        return; // nothing recorded, or a forked child: the traces are another process's
    }
    std::lock_guard<std::mutex> guard(*g_ipcLifeLock);
    IpcLifeRemove(MSG_TUNE_DIR_LOCK_EXIT_WAIT_MS);
}

/* In a forked child: its copies of the carrier's descriptors would keep the
 * parent's socket answering after the parent died, and its epoll and
 * wake-up copies serve nothing. Only close(2) here. */
void IpcLifeInChild(void) {
    IpcUnixCarrier *carrier = g_ipcLifeCarrier.load(std::memory_order_relaxed);
    if (carrier == nullptr) {
        return;
    }
    int wakeFd = carrier->wakeFd.exchange(-1, std::memory_order_relaxed);
    IpcSysClose(&wakeFd);
    IpcSysClose(&carrier->listenFd);
    IpcPostCloseBell(-1);
    IpcSysClose(&carrier->epollFd);
}

void IpcLifeInstallHooks(void) {
    int err = IpcSysOnExitAndFork(IpcLifeAtExit, IpcLifeInChild);
    if (err != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "exit and fork hooks error[%d].", err);
    }
}

/* Whether what answers probe's result is a live process. */
bool IpcLifeAnswers(int probe) {
    return probe == 0 || probe == -EAGAIN;
}

/* The claim's state: the carrier, and the socket file its take bound. */
struct IpcLifeClaim {
    IpcUnixCarrier *carrier;
    IpcSysFileKey sockKey;
    bool bound;
};

/* The claim's decision under the directory lock: refuses the name while its
 * socket answers, else replaces the stale socket file and listens. */
uint32_t IpcLifeTake(void *arg, uint32_t listedPid) {
    auto *claim = static_cast<IpcLifeClaim *>(arg);
    IpcUnixCarrier *carrier = claim->carrier;
    uint32_t pid = listedPid;
    int probe = IpcSysProbe(carrier->sockPath, &pid);
    if (IpcLifeAnswers(probe)) {
        if (pid != 0U) {
            MSG_LOG(OS_MSG_LOG_ERROR, "process name [%s] in use by pid %d.", carrier->procName, (int)pid);
        } else {
            MSG_LOG(OS_MSG_LOG_ERROR, "process name [%s] in use: its socket [%s] answers.", carrier->procName,
                    carrier->sockPath);
        }
        return OS_MSG_ERR_REPEATED;
    }
    if (probe != -ENOENT && probe != -ECONNREFUSED) {
        MSG_LOG(OS_MSG_LOG_ERROR, "socket [%s] cannot be probed, error[%d].", carrier->sockPath, -probe);
        return OS_MSG_ERR_SYSTEM;
    }
    IpcSysUnlink(carrier->sockPath); // nobody listens on it: its owner is gone
    int fd = IpcSysListen(carrier->sockPath, kIpcUnixBacklog);
    if (fd < 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "listen on [%s] error[%d].", carrier->sockPath, -fd);
        return OS_MSG_ERR_SYSTEM;
    }
    carrier->listenFd = fd;
    claim->bound = IpcSysFileKeyOf(carrier->sockPath, &claim->sockKey) == 0;
    // Who may connect is the run directory's business: its owner, or in a
    // shared one its group, whatever the umask left.
    const IpcRunDirMode &mode = carrier->runMode;
    int err = claim->bound ? IpcSysSetSocketMode(carrier->sockPath, &claim->sockKey, IpcRunDirFileMode(&mode),
                                                 mode.shared ? mode.gid : IPC_SYS_KEEP_ID)
                           : ENOENT;
    if (err != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "socket [%s] mode error[%d].", carrier->sockPath, err);
        return OS_MSG_ERR_SYSTEM;
    }
    return OS_MSG_OK;
}

/* Whether the process that listed name still answers on its socket. */
bool IpcLifeAlive(void *arg, const char *name) {
    auto *claim = static_cast<IpcLifeClaim *>(arg);
    char path[IPC_RUN_DIR_PATH_SIZE];
    if (IpcRunDirSockPath(path, claim->carrier->runDir, name) != OS_MSG_OK) {
        return true; // not a name this carrier lists: leave it
    }
    uint32_t pid = 0U;
    int probe = IpcSysProbe(path, &pid);
    return probe != -ENOENT && probe != -ECONNREFUSED; // what cannot be told counts as alive
}

/* Records what the claim left (g_ipcLifeLock held). */
void IpcLifeRecord(const IpcLifeClaim &claim, bool listed) {
    IpcLifeTraces &traces = g_ipcLifeTraces;
    const IpcUnixCarrier *carrier = claim.carrier;
    (void)snprintf(traces.sockPath, sizeof(traces.sockPath), "%s", carrier->sockPath);
    (void)snprintf(traces.name, sizeof(traces.name), "%s", carrier->procName);
    traces.sockKey = claim.sockKey;
    traces.pid = IpcSysPid();
    traces.listed = listed;
    traces.kept = true;
    g_ipcLifeOwner.store(traces.pid, std::memory_order_relaxed);
}

} // namespace

uint32_t IpcUnixClaimName(IpcUnixCarrier *carrier) {
    std::call_once(g_ipcLifeHooksOnce, IpcLifeInstallHooks);
    g_ipcLifeCarrier.store(carrier, std::memory_order_relaxed);
    IpcLifeClaim claim = {carrier, {0U, 0U}, false};
    const IpcMsgClaimOps ops = {IpcLifeTake, IpcLifeAlive, &claim};
    uint32_t ret = IPCMsgClaimQid(carrier->procName, &ops);
    // Recorded outside the directory lock, which removal takes inside
    // g_ipcLifeLock.
    if (claim.bound) {
        std::lock_guard<std::mutex> guard(*g_ipcLifeLock);
        IpcLifeRecord(claim, ret == OS_MSG_OK);
    }
    return ret;
}

void IpcUnixDropTraces(void) {
    std::lock_guard<std::mutex> guard(*g_ipcLifeLock);
    IpcLifeRemove(MSG_TUNE_DIR_LOCK_WAIT_MS);
}

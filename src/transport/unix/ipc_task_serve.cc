/*
 * Tasks served on the receive thread (see ipc_task_serve.h).
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_task_serve.h"

#include <fcntl.h>

#include <cstring>
#include <mutex>

#include "base/msg_forever.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

/* Tasks one process may serve on its receive thread. */
constexpr uint32_t kIpcServeTasks = 16U;
/* Messages of one task handled per turn of the loop: the links and the
 * other tasks are looked at in between. */
constexpr uint32_t kIpcServeBatch = 32U;

struct IpcServeEntry {
    char name[OS_MSG_NAME_LEN]; /* empty while free */
    int fd;                     /* the carrier's descriptor of the counter, -1 while free */
    uint32_t serial;            /* marks the task served by this entry, and no later one of its name */
};

/* Never destroyed: an add may run while a process that left without
 * tearing down runs its static destructors. */
MsgForever<std::mutex> g_ipcServeLock;
IpcServeEntry g_ipcServe[kIpcServeTasks] = {};
int g_ipcServePoller = -1;      /* the receive loop's, -1 while the carrier is closed */
uint32_t g_ipcServeSerial = 0U; /* the last entry's serial */

void IpcServeDropLocked(IpcServeEntry &entry) {
    IpcSysPollerRemove(g_ipcServePoller, entry.fd);
    IpcSysClose(&entry.fd);
    entry.name[0] = '\0';
}

} // namespace

void IpcServeOpen(int poller) {
    std::lock_guard<std::mutex> guard(*g_ipcServeLock);
    for (IpcServeEntry &entry : g_ipcServe) {
        entry.name[0] = '\0';
        entry.fd = -1;
    }
    g_ipcServePoller = poller;
}

uint32_t IpcServeAdd(const char *name) {
    std::lock_guard<std::mutex> guard(*g_ipcServeLock);
    if (g_ipcServePoller < 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "task[%.16s] not served on the receive thread: the carrier is closed.", name);
        return OS_MSG_ERR_NOT_INIT;
    }
    IpcServeEntry *slot = nullptr;
    for (IpcServeEntry &entry : g_ipcServe) {
        if (entry.fd < 0 && slot == nullptr) {
            slot = &entry;
        }
    }
    if (slot == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "task[%.16s] not served on the receive thread: %u tasks are already.", name,
                kIpcServeTasks);
        return OS_MSG_ERR_NO_IDLE_BLOCK;
    }
    int fd = IpcSysEventCreate();
    int taskFd = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    int err = fd < 0 ? fd : taskFd < 0 ? -errno : IpcSysPollerAdd(g_ipcServePoller, fd, IPC_SYS_READABLE, slot);
    if (err < 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "task[%.16s] descriptor error[%d].", name, -err);
        IpcSysClose(&taskFd);
        IpcSysClose(&fd);
        return OS_MSG_ERR_SYSTEM;
    }
    slot->fd = fd;
    slot->serial = ++g_ipcServeSerial != 0U ? g_ipcServeSerial : ++g_ipcServeSerial;
    uint32_t ret = SimpleTaskServeOnReceive(name, taskFd, slot->serial);
    if (ret != OS_MSG_OK) {
        IpcSysClose(&taskFd);
        IpcServeDropLocked(*slot);
        return ret == OS_MSG_ERR_REPEATED ? OS_MSG_OK : ret;
    }
    (void)snprintf(slot->name, sizeof(slot->name), "%.15s", name);
    return OS_MSG_OK;
}

bool IpcServeOwns(const void *tag) {
    const auto *at = static_cast<const IpcServeEntry *>(tag);
    return at >= g_ipcServe && at < g_ipcServe + kIpcServeTasks;
}

void IpcServeHandle(void *tag) {
    auto *entry = static_cast<IpcServeEntry *>(tag);
    char name[OS_MSG_NAME_LEN];
    uint32_t serial = 0U;
    {
        std::lock_guard<std::mutex> guard(*g_ipcServeLock);
        std::memcpy(name, entry->name, sizeof(name));
        serial = entry->serial;
    }
    if (name[0] == '\0') {
        return; // dropped after the wait reported it
    }
    uint32_t handled = 0U;
    uint32_t ret = SimpleTaskHandleOnReceive(name, serial, kIpcServeBatch, &handled);
    // No other thread may handle the task (its descriptor is given to
    // nobody, OsMsgTaskHandle refuses it): it is handled here or is gone,
    // perhaps registered and served again under another entry.
    if (ret == OS_MSG_ERR_NOT_FOUND) {
        std::lock_guard<std::mutex> guard(*g_ipcServeLock);
        if (entry->name[0] != '\0' && entry->serial == serial) { // not dropped or reused meanwhile
            IpcServeDropLocked(*entry);
        }
    }
}

void IpcServeOwed(void) {
    char names[SIMPLE_MSG_OWED_MAX][OS_MSG_NAME_LEN];
    const uint32_t n = SimpleMsgTakeOwed(names);
    for (uint32_t i = 0U; i < n; ++i) {
        // A task that went meanwhile is dropped when its descriptor, which
        // removal signals, is reported.
        uint32_t handled = 0U;
        (void)SimpleTaskHandleOwed(names[i], kIpcServeBatch, &handled);
    }
}

void IpcServeClose(void) {
    std::lock_guard<std::mutex> guard(*g_ipcServeLock);
    for (IpcServeEntry &entry : g_ipcServe) {
        if (entry.fd >= 0 && g_ipcServePoller >= 0) {
            IpcServeDropLocked(entry);
        }
    }
    g_ipcServePoller = -1;
}

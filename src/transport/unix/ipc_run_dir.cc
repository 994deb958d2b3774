/*
 * The run directory's path, its creation and the judgement of the directory
 * and its files, and the socket paths in it. Thread safety: see
 * ipc_run_dir.h.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_run_dir.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <cstdio>

#include "log/msg_log.h"
#include "transport/ipc_access.h"
#include "transport/ipc_carrier.h"
#include "vyre_os_msg.h"

namespace {

constexpr uint32_t kModeSetgid = 02000U;
constexpr uint32_t kModeGroupWrite = 0020U;
constexpr uint32_t kModeOtherWrite = 0002U;

/* The reasons found so far, joined with " and ". */
struct IpcFault {
    char *text;
    size_t size;
    size_t used;

    void Add(const char *format, uint32_t a, uint32_t b = 0U) {
        if (used + 1U >= size) {
            return;
        }
        int n = used != 0U ? snprintf(text + used, size - used, " and ") : 0;
        used += n > 0 ? (size_t)n : 0U;
        n = used < size ? snprintf(text + used, size - used, format, a, b) : 0;
        used = n > 0 && used + (size_t)n < size ? used + (size_t)n : size - 1U;
    }
    const char *Result() const { return used != 0U ? text : nullptr; }
};

/* Whether uid may own what a shared directory holds: root, the process's
 * own user or the one OsMsgSetSharedRunDir named. */
bool IpcTrustedOwner(uint32_t uid) {
    uint32_t trusted = IpcAccessTrustedOwner();
    return uid == 0U || uid == IpcSysUid() || (trusted != OS_MSG_ID_NONE && uid == trusted);
}

/* The judgement of the run directory itself. */
const char *IpcRunDirFault(const IpcSysFileInfo &info, IpcRunDirMode *mode, char *why, size_t size) {
    IpcFault fault = {why, size, 0U};
    mode->shared = (info.mode & kModeSetgid) != 0U && (info.mode & kModeGroupWrite) != 0U;
    mode->gid = info.gid;
    if (info.uid != IpcSysUid() && !(mode->shared && IpcTrustedOwner(info.uid))) {
        fault.Add("owned by uid %u", info.uid);
    }
    if ((info.mode & kModeOtherWrite) != 0U) {
        fault.Add("writable by others (mode %04o)", info.mode);
    } else if ((info.mode & kModeGroupWrite) != 0U && !mode->shared) {
        fault.Add("writable by its group (mode %04o) but not setgid, as a shared directory is (mode 2770)", info.mode);
    }
    if (fault.Result() == nullptr && mode->shared) {
        uint32_t group = IpcAccessRequiredGroup();
        if (group != OS_MSG_ID_NONE && info.gid != group) {
            fault.Add("its group is %u, not %u", info.gid, group);
        } else if (IpcSysUid() != 0U && !IpcSysInGroup(info.gid)) {
            fault.Add("this process is not in its group %u", info.gid);
        }
    }
    return fault.Result();
}

/* The fault of a directory that could not be opened (err), as the name
 * itself shows it; NULL when the name looks fine (another failure). */
const char *IpcRunDirOpenFault(const char *dir, int err, char *why, size_t size) {
    IpcSysFileInfo info;
    IpcFault fault = {why, size, 0U};
    const bool seen = IpcSysFileInfoOfPath(dir, &info) == 0;
    if (seen && info.type == IPC_SYS_FILE_LINK) {
        fault.Add("a symbolic link", 0U);
    } else if (err == ENOTDIR) {
        fault.Add("not a directory", 0U);
    } else if (err == EACCES && seen) {
        fault.Add("this process may not open it (owner uid %u, group %u)", info.uid, info.gid);
    } else if (err == EACCES) {
        fault.Add("this process may not reach it", 0U);
    }
    return fault.Result();
}

} // namespace

void IpcRunDirDefault(char *out, size_t size) {
    if (IpcSysMayUseDir(IPC_RUN_DIR_SYSTEM)) {
        (void)snprintf(out, size, "%s", IPC_RUN_DIR_SYSTEM);
    } else {
        (void)snprintf(out, size, "/tmp/vyre_os_msg-%lu", (unsigned long)IpcSysUid());
    }
}

uint32_t IpcRunDirPath(char *out, size_t size) {
    if (out == nullptr || size <= IPC_RUN_DIR_MAX) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    const char *dir = IpcCarrierRunDirOption();
    if (dir == nullptr) {
        const char *env = getenv(IPC_CARRIER_RUNDIR_ENV);
        dir = env != nullptr && env[0] != '\0' ? env : nullptr;
    }
    if (dir == nullptr) {
        IpcRunDirDefault(out, size);
        return OS_MSG_OK;
    }
    const size_t room = IPC_RUN_DIR_MAX + 1U;
    int len = snprintf(out, room, "%s", dir);
    if (len <= 0 || (size_t)len >= room || out[0] != '/') {
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] unusable.", dir);
        out[0] = '\0';
        return OS_MSG_ERR_INVALID_PARAM;
    }
    return OS_MSG_OK;
}

uint32_t IpcRunDirOpen(const char *dir, IpcRunDirMode *mode) {
    int err = IpcSysMakeDir(dir, 0700U);
    const bool made = err == 0;
    if (err != 0 && err != EEXIST) {
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] error[%d].", dir, err);
        return OS_MSG_ERR_SYSTEM;
    }
    char why[IPC_RUN_DIR_WHY_SIZE];
    int fd = IpcSysOpenDir(dir);
    if (fd < 0) {
        const char *fault = IpcRunDirOpenFault(dir, -fd, why, sizeof(why));
        if (fault == nullptr) {
            MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] error[%d].", dir, -fd);
            return OS_MSG_ERR_SYSTEM;
        }
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] refused: %s.", dir, fault);
        return OS_MSG_ERR_ACCESS;
    }
    IpcSysFileInfo info;
    err = IpcSysFileInfoOfFd(fd, &info);
    if (err == 0 && made && info.uid == IpcSysUid()) {
        // What the umask took from the new directory's mode is of no use.
        err = IpcSysSetFdMode(fd, 0700U, IPC_SYS_KEEP_ID);
        info.mode = 0700U;
    }
    IpcSysClose(&fd);
    if (err != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] error[%d].", dir, err);
        return OS_MSG_ERR_SYSTEM;
    }
    const char *fault = IpcRunDirFault(info, mode, why, sizeof(why));
    if (fault != nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] refused: %s.", dir, fault);
        return OS_MSG_ERR_ACCESS;
    }
    return OS_MSG_OK;
}

uint32_t IpcRunDirFileMode(const IpcRunDirMode *mode) {
    return mode->shared ? 0660U : 0600U;
}

const char *IpcRunDirFileFault(const IpcRunDirMode *mode, const IpcSysFileInfo *info, uint32_t type, char *why,
                               size_t size) {
    IpcFault fault = {why, size, 0U};
    if (info->type != type) {
        fault.Add(info->type == IPC_SYS_FILE_LINK ? "a symbolic link"
                  : type == IPC_SYS_FILE_SOCKET   ? "not a socket"
                                                  : "not a regular file",
                  0U);
        return fault.Result();
    }
    // In a shared directory every member makes files of its own.
    if (!mode->shared && info->uid != IpcSysUid() && info->uid != 0U) {
        fault.Add("owned by uid %u", info->uid);
    }
    if (type == IPC_SYS_FILE_SOCKET) {
        return fault.Result();
    }
    if ((info->mode & kModeOtherWrite) != 0U) {
        fault.Add("writable by others (mode %04o)", info->mode);
    } else if (!mode->shared && (info->mode & kModeGroupWrite) != 0U) {
        fault.Add("writable by its group (mode %04o)", info->mode);
    } else if (mode->shared && info->gid != mode->gid) {
        fault.Add("its group is %u, not the directory's %u", info->gid, mode->gid);
    }
    return fault.Result();
}

const char *IpcRunDirConfigFault(const IpcSysFileInfo *info, char *why, size_t size) {
    IpcFault fault = {why, size, 0U};
    if (info->type != IPC_SYS_FILE_REGULAR) {
        fault.Add("not a regular file", 0U);
        return fault.Result();
    }
    if (!IpcTrustedOwner(info->uid)) {
        fault.Add("owned by uid %u", info->uid);
    }
    if ((info->mode & (kModeOtherWrite | kModeGroupWrite)) != 0U) {
        fault.Add("writable by others than its owner (mode %04o)", info->mode);
    }
    return fault.Result();
}

uint32_t IpcRunDirSockPath(char *out, const char *dir, const char *procName) {
    size_t nameLen = strnlen(procName, OS_MSG_NAME_LEN);
    if (nameLen == 0U || nameLen >= OS_MSG_NAME_LEN || memchr(procName, '/', nameLen) != nullptr ||
        strcmp(procName, ".") == 0 || strcmp(procName, "..") == 0) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    int len = snprintf(out, IPC_RUN_DIR_PATH_SIZE, "%s/%.15s.sock", dir, procName);
    return (len > 0 && (size_t)len < IPC_RUN_DIR_PATH_SIZE) ? OS_MSG_OK : OS_MSG_ERR_INVALID_PARAM;
}

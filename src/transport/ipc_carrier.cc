/*
 * Carrier selection and the run directory: reads the two environment
 * variables at start-up and prepares the directory the socket carrier lives
 * in. Thread safety: see ipc_carrier.h; the functions keep no state beyond
 * the one atomic choice.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/ipc_carrier.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "log/msg_log.h"
#include "vyre_os_msg.h"

namespace {

std::atomic<int> g_ipcCarrierKind{IPC_CARRIER_LOOPBACK};

} // namespace

IpcCarrierKind IpcCarrierSelect(void) {
    const char *value = getenv(IPC_CARRIER_ENV);
    IpcCarrierKind kind = IPC_CARRIER_LOOPBACK;
    if (value != nullptr && value[0] != '\0') {
        if (strcmp(value, "unix") == 0) {
            kind = IPC_CARRIER_UNIX;
        } else if (strcmp(value, "loopback") != 0) {
            MSG_LOG(OS_MSG_LOG_ERROR, "unknown carrier [%s].", value);
            kind = IPC_CARRIER_UNKNOWN;
        }
    }
    g_ipcCarrierKind.store(kind, std::memory_order_release);
    return kind;
}

IpcCarrierKind IpcCarrierCurrent(void) {
    return (IpcCarrierKind)g_ipcCarrierKind.load(std::memory_order_acquire);
}

uint32_t IpcCarrierRunDir(char *out, size_t size) {
    if (out == nullptr || size <= IPC_CARRIER_RUNDIR_MAX) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    const char *dir = getenv(IPC_CARRIER_RUNDIR_ENV);
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    const size_t room = IPC_CARRIER_RUNDIR_MAX + 1U;
    int len;
    if (dir != nullptr && dir[0] != '\0') {
        len = snprintf(out, room, "%s", dir);
    } else if (runtime != nullptr && runtime[0] == '/') {
        len = snprintf(out, room, "%s/vyre_os_msg", runtime);
    } else {
        len = snprintf(out, room, "/tmp/vyre_os_msg-%lu", (unsigned long)getuid());
    }
    bool ok = len > 0 && (size_t)len < room;
    if (!ok || out[0] != '/') {
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] unusable.", dir != nullptr ? dir : "");
        out[0] = '\0';
        return OS_MSG_ERR_INVALID_PARAM;
    }
    return OS_MSG_OK;
}

uint32_t IpcCarrierMakeRunDir(const char *dir) {
    if (mkdir(dir, 0700) != 0 && errno != EEXIST) {
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] error[%d].", dir, errno);
        return OS_MSG_ERR_SYSTEM;
    }
    struct stat st;
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] error[%d].", dir, ENOTDIR);
        return OS_MSG_ERR_SYSTEM;
    }
    return OS_MSG_OK;
}

uint32_t IpcCarrierSockPath(char *out, const char *dir, const char *procName) {
    size_t nameLen = strnlen(procName, OS_MSG_NAME_LEN);
    if (nameLen == 0U || nameLen >= OS_MSG_NAME_LEN || memchr(procName, '/', nameLen) != nullptr ||
        strcmp(procName, ".") == 0 || strcmp(procName, "..") == 0) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    int len = snprintf(out, IPC_CARRIER_PATH_SIZE, "%s/%.15s.sock", dir, procName);
    return (len > 0 && (size_t)len < IPC_CARRIER_PATH_SIZE) ? OS_MSG_OK : OS_MSG_ERR_INVALID_PARAM;
}

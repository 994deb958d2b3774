/*
 * The run directory's path, its creation and the socket paths in it. Thread
 * safety: see ipc_run_dir.h.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_run_dir.h"

#include <stdlib.h>
#include <string.h>

#include <cstdio>

#include "log/msg_log.h"
#include "transport/ipc_carrier.h"
#include "transport/unix/ipc_unix_sys.h"
#include "vyre_os_msg.h"

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

uint32_t IpcRunDirMake(const char *dir) {
    int err = IpcSysMakeDir(dir, 0700);
    if (err != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%s] error[%d].", dir, err);
        return OS_MSG_ERR_SYSTEM;
    }
    return OS_MSG_OK;
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

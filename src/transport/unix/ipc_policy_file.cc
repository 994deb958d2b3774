/*
 * Reading the access policy file (see ipc_policy_file.h).
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_policy_file.h"

#include <errno.h>

#include "base/msg_alloc.h"
#include "log/msg_log.h"
#include "transport/ipc_access.h"
#include "transport/unix/ipc_run_dir.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

/* The rules of the text read from path (len bytes at text) into the
 * policy. */
uint32_t IpcPolicyFileApply(const char *path, const char *text, size_t len) {
    auto *rules = static_cast<OsMsgAccessRule *>(MSG_MALLOC(OS_MSG_ACCESS_RULES_MAX * sizeof(OsMsgAccessRule)));
    if (rules == nullptr) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    uint32_t count = 0U;
    uint32_t line = 0U;
    const char *what = nullptr;
    uint32_t ret = IpcAccessParse(text, len, rules, OS_MSG_ACCESS_RULES_MAX, &count, &line, &what);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "access policy [%s] line %u: %s.", path, line, what);
        ret = OS_MSG_ERR_INVALID_PARAM;
    } else {
        ret = IpcAccessSetFileRules(rules, count);
        if (ret != OS_MSG_OK) {
            MSG_LOG(OS_MSG_LOG_ERROR, "access policy [%s]: its %u rules do not fit beside those the calls set.", path,
                    count);
        } else {
            MSG_LOG(OS_MSG_LOG_INFO, "access policy [%s]: %u rules.", path, count);
        }
    }
    MSG_FREE(rules);
    return ret;
}

} // namespace

uint32_t IpcPolicyFileLoad(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return IpcAccessSetFileRules(nullptr, 0U);
    }
    auto *text = static_cast<char *>(MSG_MALLOC(IPC_POLICY_FILE_MAX));
    if (text == nullptr) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    IpcSysFileInfo info;
    ssize_t len = IpcSysReadFile(path, text, IPC_POLICY_FILE_MAX, &info);
    char why[IPC_RUN_DIR_WHY_SIZE];
    const char *fault = len >= 0 || len == -EFBIG ? IpcRunDirConfigFault(&info, why, sizeof(why)) : nullptr;
    uint32_t ret = OS_MSG_OK;
    if (fault != nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "access policy [%s] refused: %s.", path, fault);
        ret = OS_MSG_ERR_ACCESS;
    } else if (len == -EFBIG) {
        MSG_LOG(OS_MSG_LOG_ERROR, "access policy [%s] line %u: %s.", path, 0U, "the file is larger than 64 KiB");
        ret = OS_MSG_ERR_INVALID_PARAM;
    } else if (len < 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "access policy [%s] cannot be read, error[%d].", path, (int)-len);
        ret = OS_MSG_ERR_SYSTEM;
    } else {
        ret = IpcPolicyFileApply(path, text, (size_t)len);
    }
    MSG_FREE(text);
    return ret;
}

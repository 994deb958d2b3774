/*
 * The shared directory segment: creation by link-into-place, mapping and
 * validation of a segment another process laid out. Thread safety: see
 * ipc_shm_segment.h; g_ipcShmMapping is touched only by attach and detach.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_shm_segment.h"

#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

#include "log/msg_log.h"
#include "transport/ipc_msg.h"
#include "transport/unix/ipc_run_dir.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

/* How often attach retries when another process is creating the segment at
 * the same moment (each retry finds the winner's file). */
constexpr int kIpcShmAttachTries = 4;

IpcMsgShmHead *g_ipcShmMapping = nullptr;

IpcMsgShmHead *IpcShmMap(int fd, int *err) {
    return static_cast<IpcMsgShmHead *>(IpcSysMapShared(fd, IPC_MSG_SHM_HEAD_SIZE, err));
}

/* Creates the segment at path: lays it out in a private file, then links it
 * into place. 0 when this process's file won, EEXIST when another's did,
 * else an error number. */
int IpcShmCreate(const char *path) {
    char tmp[IPC_RUN_DIR_PATH_SIZE + 16];
    (void)snprintf(tmp, sizeof(tmp), "%s.%ld", path, (long)getpid());
    int fd = IpcSysOpenFile(tmp, true, IPC_MSG_SHM_HEAD_SIZE);
    if (fd < 0) {
        return -fd;
    }
    int err = 0;
    IpcMsgShmHead *head = IpcShmMap(fd, &err);
    if (head != nullptr) {
        IPCMsgSetShmSegment(head);
        IpcMsgShmHead *laid = nullptr;
        IPCMsgInitShmHead(&laid);
        IPCMsgSetShmSegment(nullptr);
        IpcSysUnmap(head, IPC_MSG_SHM_HEAD_SIZE);
        err = IpcSysLinkFile(tmp, path);
    }
    IpcSysClose(&fd);
    IpcSysUnlink(tmp);
    return err;
}

/* Maps an existing segment and checks that it is one this library laid out. */
int IpcShmOpen(const char *path, IpcMsgShmHead **headOut) {
    int fd = IpcSysOpenFile(path, false, 0U);
    if (fd < 0) {
        return -fd;
    }
    IpcMsgShmHead *head = nullptr;
    int err = 0;
    if (IpcSysFileSize(fd) < (off_t)IPC_MSG_SHM_HEAD_SIZE) {
        err = EINVAL;
    } else if ((head = IpcShmMap(fd, &err)) == nullptr) {
        // err is set
    } else if (head->entryCount != IPC_MSG_QID_ENTRY_NUM ||
               head->dirOffset != (uint32_t)offsetof(IpcMsgShmHead, entries)) {
        IpcSysUnmap(head, IPC_MSG_SHM_HEAD_SIZE);
        head = nullptr;
        err = EINVAL;
    }
    IpcSysClose(&fd);
    *headOut = (err == 0) ? head : nullptr;
    return err;
}

} // namespace

uint32_t IpcShmSegmentAttach(const char *runDir) {
    char path[IPC_RUN_DIR_PATH_SIZE];
    (void)snprintf(path, sizeof(path), "%s/%s", runDir, IPC_SHM_SEGMENT_FILE);
    IpcShmSegmentDetach();
    int err = ENOENT;
    for (int tries = 0; tries < kIpcShmAttachTries && err == ENOENT; ++tries) {
        IpcMsgShmHead *head = nullptr;
        err = IpcShmOpen(path, &head);
        if (err == 0) {
            g_ipcShmMapping = head;
            IPCMsgAttachShmHead(head, path);
            return OS_MSG_OK;
        }
        if (err != ENOENT) {
            MSG_LOG(OS_MSG_LOG_ERROR, "shmget error[%d].", err);
            return OS_MSG_ERR_SYSTEM;
        }
        int created = IpcShmCreate(path);
        if (created != 0 && created != EEXIST) {
            MSG_LOG(OS_MSG_LOG_ERROR, "shmget create error[%d].", created);
            return OS_MSG_ERR_SYSTEM;
        }
    }
    MSG_LOG(OS_MSG_LOG_ERROR, "shmget error[%d].", err);
    return OS_MSG_ERR_SYSTEM;
}

void IpcShmSegmentDetach(void) {
    if (g_ipcShmMapping == nullptr) {
        return;
    }
    IPCMsgAttachShmHead(nullptr, nullptr);
    IpcSysUnmap(g_ipcShmMapping, IPC_MSG_SHM_HEAD_SIZE);
    g_ipcShmMapping = nullptr;
}

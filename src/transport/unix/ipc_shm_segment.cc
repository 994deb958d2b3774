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

/* Creates the segment at path: lays it out in a private file, which gets
 * the mode of the run directory's files, then links it into place (a link
 * never replaces a name, so the first process's file wins and no process
 * maps a head half laid out). 0 when this process's file won, EEXIST when
 * another's did, else an error number. */
int IpcShmCreate(const char *path, const IpcRunDirMode *mode) {
    char tmp[IPC_RUN_DIR_PATH_SIZE + 16];
    (void)snprintf(tmp, sizeof(tmp), "%s.%ld", path, (long)getpid());
    int fd = IpcSysOpenFile(tmp, true, IPC_MSG_SHM_HEAD_SIZE);
    if (fd < 0) {
        return -fd;
    }
    int err = IpcSysSetFdMode(fd, IpcRunDirFileMode(mode), mode->shared ? mode->gid : IPC_SYS_KEEP_ID);
    IpcMsgShmHead *head = err == 0 ? IpcShmMap(fd, &err) : nullptr;
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

/* Why the segment at path (not opened: err) or open as fd may not be used;
 * NULL when nothing is wrong with who made it. */
const char *IpcShmFault(const char *path, int fd, int err, const IpcRunDirMode *mode, char *why) {
    IpcSysFileInfo info;
    if (fd < 0 ? (err == ELOOP || err == EACCES) && IpcSysFileInfoOfPath(path, &info) == 0
               : IpcSysFileInfoOfFd(fd, &info) == 0) {
        return IpcRunDirFileFault(mode, &info, IPC_SYS_FILE_REGULAR, why, IPC_RUN_DIR_WHY_SIZE);
    }
    return nullptr;
}

/* Maps an existing segment and checks that it is one this library laid out
 * in a file no other user could have put there; *fault is set when it is
 * not (logged). */
int IpcShmOpen(const char *path, const IpcRunDirMode *mode, IpcMsgShmHead **headOut, bool *fault) {
    char why[IPC_RUN_DIR_WHY_SIZE];
    int fd = IpcSysOpenFile(path, false, 0U);
    const char *wrong = fd != -ENOENT ? IpcShmFault(path, fd, -fd, mode, why) : nullptr;
    *fault = wrong != nullptr;
    if (wrong != nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "directory segment [%s] refused: %s.", path, wrong);
        IpcSysClose(&fd);
        return EACCES;
    }
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

uint32_t IpcShmSegmentAttach(const char *runDir, const IpcRunDirMode *mode) {
    char path[IPC_RUN_DIR_PATH_SIZE];
    (void)snprintf(path, sizeof(path), "%s/%s", runDir, IPC_SHM_SEGMENT_FILE);
    IpcShmSegmentDetach();
    int err = ENOENT;
    for (int tries = 0; tries < kIpcShmAttachTries && err == ENOENT; ++tries) {
        IpcMsgShmHead *head = nullptr;
        bool fault = false;
        err = IpcShmOpen(path, mode, &head, &fault);
        if (err == 0) {
            g_ipcShmMapping = head;
            IPCMsgAttachShmHead(head, path);
            return OS_MSG_OK;
        }
        if (fault) {
            return OS_MSG_ERR_ACCESS;
        }
        if (err != ENOENT) {
            MSG_LOG(OS_MSG_LOG_ERROR, "shmget error[%d].", err);
            return OS_MSG_ERR_SYSTEM;
        }
        int created = IpcShmCreate(path, mode);
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

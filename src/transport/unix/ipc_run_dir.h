/*
 * The run directory of the Unix-socket carrier: the folder that holds each
 * process's socket and the shared queue directory. The run directory option
 * of OsMsgInitWithOptions names it, else VYRE_OS_MSG_RUNDIR, else the
 * default: IPC_RUN_DIR_SYSTEM when this process may use it (it exists and
 * the process may write and search it, or it does not exist and the process
 * may create it in its parent: root, normally), else
 * /tmp/vyre_os_msg-<uid>, one per user. The default is one fixed place, the
 * same for a service and a shell of any session, so processes find each
 * other without a setting; no login session's folder plays a part. It is
 * created with mode 0700 unless it exists.
 *
 * Only a directory no other user controls is used, and only files in it
 * that no other user can have put there or can change (the rules are those
 * of "Access between processes" in the public header): a private directory
 * is the process's own and writable by no one else; a shared one is owned by
 * root, the own user or the user OsMsgSetSharedRunDir names, setgid and
 * writable by its group and no one else (mode 2770), and the carrier makes
 * its files readable and writable by that group. The directory's parents are
 * not judged: a directory that a user who may write to its parent could
 * rename is no safer than that parent.
 *
 * Thread safety: the functions keep no state; IpcRunDirPath reads the
 * option under the initialisation lock (see ipc_carrier.h) or before any
 * start-up.
 */
#ifndef VYRE_IPC_RUN_DIR_H
#define VYRE_IPC_RUN_DIR_H

#include <stddef.h>
#include <stdint.h>

#include "transport/unix/ipc_unix_sys.h"

/* Longest run directory path accepted, without its terminator. A socket path
 * is the run directory, '/', a process name of at most 15 characters and
 * ".sock"; it has to fit the 108 bytes of a Unix socket address. */
#define IPC_RUN_DIR_MAX 80U

/* Size of a path buffer in the run directory (the sun_path of a Unix socket
 * address). */
#define IPC_RUN_DIR_PATH_SIZE 108U

/* Size of a buffer for the reason a file is refused. */
#define IPC_RUN_DIR_WHY_SIZE 128U

/* How the run directory is shared, as IpcRunDirOpen found it. */
typedef struct IpcRunDirMode {
    bool shared;  /* setgid and writable by its group: its group's members share it */
    uint32_t gid; /* its group */
} IpcRunDirMode;

/* The shared default run directory, used when the process may. */
#define IPC_RUN_DIR_SYSTEM "/run/vyre_os_msg"

/* Writes the run directory's path into out (size bytes). 0; 0x80020001 when
 * the path is empty, not absolute or longer than IPC_RUN_DIR_MAX ("run
 * directory [%s] unusable."). */
uint32_t IpcRunDirPath(char *out, size_t size);

/* Writes the default run directory (as IpcRunDirPath when nothing names
 * one) into out (size bytes, more than IPC_RUN_DIR_MAX): IPC_RUN_DIR_SYSTEM
 * when the calling process may use or create it, else
 * /tmp/vyre_os_msg-<uid>. */
void IpcRunDirDefault(char *out, size_t size);

/* Creates dir with mode 0700 unless it exists, then judges it: 0 and *mode
 * for a directory this process may use; 0x80020021 for one another user
 * controls, which this process cannot reach, or that is no directory ("run
 * directory [%s] refused: %s."); 0x8002000d when it cannot be created or
 * opened for another reason ("run directory [%s] error[%d]."). */
uint32_t IpcRunDirOpen(const char *dir, IpcRunDirMode *mode);

/* The permission bits of the carrier's files in a directory of mode: 0600,
 * or 0660 in a shared one. */
uint32_t IpcRunDirFileMode(const IpcRunDirMode *mode);

/* Why the file info describes (what the kernel says of it, its name not
 * followed) is not one of type (IPC_SYS_FILE_SOCKET or
 * IPC_SYS_FILE_REGULAR) that the carrier may use in a directory of mode:
 * NULL when it may, else the reason, written into why (size bytes). A
 * socket's permission bits are not judged: they only say who may connect,
 * which the directory decides already. */
const char *IpcRunDirFileFault(const IpcRunDirMode *mode, const IpcSysFileInfo *info, uint32_t type, char *why,
                               size_t size);

/* Why a file that configures the process (the policy file) may not be
 * trusted: NULL when it is a regular file owned by root, the own user or the
 * user OsMsgSetSharedRunDir names and writable by no one else, else the
 * reason, written into why (size bytes). */
const char *IpcRunDirConfigFault(const IpcSysFileInfo *info, char *why, size_t size);

/* Writes the socket path of process procName (at most 15 characters, no
 * '/') in dir into out (IPC_RUN_DIR_PATH_SIZE bytes). 0; 0x80020001 for a
 * name that cannot name a socket (empty, too long, containing '/', or "." or
 * ".."). */
uint32_t IpcRunDirSockPath(char *out, const char *dir, const char *procName);

#endif /* VYRE_IPC_RUN_DIR_H */

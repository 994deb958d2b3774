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
 * Thread safety: the functions keep no state; IpcRunDirPath reads the
 * option under the initialisation lock (see ipc_carrier.h) or before any
 * start-up.
 */
#ifndef VYRE_IPC_RUN_DIR_H
#define VYRE_IPC_RUN_DIR_H

#include <stddef.h>
#include <stdint.h>

/* Longest run directory path accepted, without its terminator. A socket path
 * is the run directory, '/', a process name of at most 15 characters and
 * ".sock"; it has to fit the 108 bytes of a Unix socket address. */
#define IPC_RUN_DIR_MAX 80U

/* Size of a path buffer in the run directory (the sun_path of a Unix socket
 * address). */
#define IPC_RUN_DIR_PATH_SIZE 108U

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

/* Creates dir with mode 0700 unless it exists. 0; 0x8002000d when it cannot
 * be created or is not a directory ("run directory [%s] error[%d]."). */
uint32_t IpcRunDirMake(const char *dir);

/* Writes the socket path of process procName (at most 15 characters, no
 * '/') in dir into out (IPC_RUN_DIR_PATH_SIZE bytes). 0; 0x80020001 for a
 * name that cannot name a socket (empty, too long, containing '/', or "." or
 * ".."). */
uint32_t IpcRunDirSockPath(char *out, const char *dir, const char *procName);

#endif /* VYRE_IPC_RUN_DIR_H */

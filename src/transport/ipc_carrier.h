/*
 * Which carrier moves messages between processes, chosen once per start-up.
 *
 * With no setting the transport is the loopback: every message that leaves
 * the process is delivered back into it. VYRE_OS_MSG_CARRIER=unix selects the
 * Unix-socket carrier; VYRE_OS_MSG_RUNDIR names the run directory that holds
 * each process's socket and the shared queue directory (default
 * $XDG_RUNTIME_DIR/vyre_os_msg, else /tmp/vyre_os_msg-<uid>), created with
 * mode 0700 unless it exists.
 *
 * Thread safety: IpcCarrierSelect runs during process initialisation (under
 * the initialisation lock, before any send) and publishes the choice in one
 * atomic word; IpcCarrierCurrent may be read from any thread afterwards.
 */
#ifndef VYRE_IPC_CARRIER_H
#define VYRE_IPC_CARRIER_H

#include <stddef.h>
#include <stdint.h>

/* Environment variables read by OsMsgInit. */
#define IPC_CARRIER_ENV "VYRE_OS_MSG_CARRIER"
#define IPC_CARRIER_RUNDIR_ENV "VYRE_OS_MSG_RUNDIR"

/* Longest run directory path accepted, without its terminator. A socket path
 * is the run directory, '/', a process name of at most 15 characters and
 * ".sock"; it has to fit the 108 bytes of a Unix socket address. */
#define IPC_CARRIER_RUNDIR_MAX 80U

typedef enum IpcCarrierKind {
    IPC_CARRIER_LOOPBACK = 0, /* no setting, or an empty one */
    IPC_CARRIER_UNIX = 1,     /* VYRE_OS_MSG_CARRIER=unix */
    IPC_CARRIER_UNKNOWN = 2,  /* any other value: initialisation is refused */
} IpcCarrierKind;

/* Reads VYRE_OS_MSG_CARRIER, remembers and returns the choice. An unknown
 * value is logged ("unknown carrier [%s].") once here. */
IpcCarrierKind IpcCarrierSelect(void);

/* The choice of the last IpcCarrierSelect (the loopback before any). */
IpcCarrierKind IpcCarrierCurrent(void);

/* Writes the run directory's path into out (size bytes). 0; 0x80020001 when
 * the path is empty, not absolute or longer than IPC_CARRIER_RUNDIR_MAX
 * ("run directory [%s] unusable."). */
uint32_t IpcCarrierRunDir(char *out, size_t size);

/* Creates dir with mode 0700 unless it exists. 0; 0x8002000d when it cannot
 * be created or is not a directory ("run directory [%s] error[%d]."). */
uint32_t IpcCarrierMakeRunDir(const char *dir);

/* Size of a socket path buffer (the sun_path of a Unix socket address). */
#define IPC_CARRIER_PATH_SIZE 108U

/* Writes the socket path of process procName (at most 15 characters, no
 * '/') in dir into out (IPC_CARRIER_PATH_SIZE bytes). 0; 0x80020001 for a
 * name that cannot name a socket (empty, too long, containing '/', or "." or
 * ".."). */
uint32_t IpcCarrierSockPath(char *out, const char *dir, const char *procName);

#endif /* VYRE_IPC_CARRIER_H */

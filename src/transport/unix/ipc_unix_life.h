/*
 * The socket carrier's process identity and lifetime: how a process takes
 * its name, the traces it leaves in the run directory (its socket file and
 * its directory entry), their removal when the carrier closes and when the
 * process leaves through exit() without closing it, and what a forked child
 * keeps of it.
 *
 * A process is alive while its socket answers: a connection to it is
 * accepted, or refused only because its backlog is full. A socket file
 * nobody listens on (the connection is refused) or a missing one means the
 * owner is gone, whatever the directory lists: a process id that has been
 * given to another process since, an entry from before the directory file
 * was deleted, a process that died without clearing anything. A stopped
 * process still answers. So a name is taken over only when its socket no
 * longer answers, and then its stale socket file is replaced; a live
 * owner's socket is never unlinked.
 *
 * A process removes its own traces only: the socket file while it is still
 * the file it bound (a successor's file is a new one), the entry while it
 * lists its own process id. A forked child inherits the traces' record and
 * the atexit handler that removes them; it never removes them (its process
 * id differs from the owner's), and its copies of the carrier's listening,
 * poller and wake-up descriptors are closed as it is forked, so the
 * parent's name becomes free when the parent dies even while the child
 * lives on.
 *
 * Thread safety. The claim runs during the carrier's open, under the
 * directory lock. The record of the traces is guarded by g_ipcLifeLock (a
 * leaf lock but for the directory lock, which removal takes inside it): the
 * carrier's close and the exit handler each remove the traces at most once,
 * and the close waits for an exit handler that is removing them (its
 * removal uses the directory's mapping, which the close unmaps after). The
 * owner's process id is also kept outside the lock, so that a forked
 * child's exit never waits for a lock a thread of the parent held at the
 * fork.
 */
#ifndef VYRE_IPC_UNIX_LIFE_H
#define VYRE_IPC_UNIX_LIFE_H

#include <stdint.h>

#include "transport/unix/ipc_unix_carrier.h"

/* Takes carrier->procName for this process in the shared directory (which
 * must be attached) and listens on carrier->sockPath (carrier->listenFd):
 * the directory lists the name with this process's id, and the traces are
 * recorded for removal. 0; 0x80020003 when a live process holds the name
 * ("process name [%s] in use by pid %d.", or "process name [%s] in use: its
 * socket [%s] answers." when its id is not known); 0x8002000d when the
 * directory lock stays taken, the socket cannot be probed or listened on, or
 * the directory fails; the directory's codes. On failure the socket may be
 * listening already: the carrier's close undoes it. */
uint32_t IpcUnixClaimName(IpcUnixCarrier *carrier);

/* Removes the traces the claim recorded, if this process recorded them: the
 * socket file (while it is still the one this process bound) and the
 * directory entry (while it lists this process), waiting at most
 * MSG_TUNE_DIR_LOCK_WAIT_MS for the directory lock. Call while the carrier's
 * socket still listens, so no successor can take the name meanwhile, and
 * before the directory is detached. Nothing when nothing is recorded. */
void IpcUnixDropTraces(void);

#endif /* VYRE_IPC_UNIX_LIFE_H */

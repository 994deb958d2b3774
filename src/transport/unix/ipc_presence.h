/*
 * Presence: which processes of the run directory run, as the kernel tells
 * it. Off the message path: one thread per open carrier that sleeps until
 * something changes.
 *
 * A process appears in the run directory when its socket is renamed into
 * place, which happens once it listens (IpcSysListen), and goes when its
 * socket file is removed (its teardown, or its exit) or when it ends
 * without removing it. The presence thread waits on a watch of the run
 * directory (inotify) and on one process watch (pidfd) per process it
 * knows, which turns readable when that process ends. For each process that
 * appears (its socket answers) or goes it
 *   - wakes the threads in IpcPresenceWait, first;
 *   - on a join, sends the process the subscriptions this process keeps for
 *     it (ipc_sub_keeper.h), then publishes "process joined"; on a leave,
 *     publishes "process left" (IPCMsgPublishPresence). Each change is
 *     published once: a process known as present leaves once, however many
 *     of its signs (socket removed, process ended, its name taken by a new
 *     process) come, and a process joins once per socket it publishes.
 * A watch that lost changes (its queue overflowed) is answered by looking
 * at the whole folder again.
 *
 * Bounds: IPC_PRESENCE_MAX processes are known at a time (one process
 * watch each); a process beyond them still has its subscriptions sent
 * again and its join published, but its leave is seen only when its socket
 * goes (logged once). A kernel without process watches, or a peer whose
 * process id the kernel does not tell (another pid namespace), is likewise
 * seen to leave only when its socket goes.
 *
 * Thread safety: IpcPresenceOpen and IpcPresenceClose run under the
 * initialisation lock (the carrier's open and close); the table of known
 * processes belongs to the presence thread, and to IpcPresenceOpen before
 * the thread starts. g_presenceLock (in the .cc, a leaf lock) guards the
 * run directory's path, the open state and the count of changes, which
 * waiters read; they sleep on its condition, so a wait holds no other lock.
 */
#ifndef VYRE_IPC_PRESENCE_H
#define VYRE_IPC_PRESENCE_H

#include <stdint.h>

/* Processes known at a time. */
#define IPC_PRESENCE_MAX 128U

/* How long a wait for a process that answers already waits for the
 * presence thread to take it in (the thread is woken by the same change and
 * needs a probe and the sends of what is kept for it). */
#define IPC_PRESENCE_CATCH_UP_MS 1000U

/* Starts watching runDir for the processes besides ownName: looks at every
 * socket there (the processes that run now are known from the start, and
 * not published), then starts the presence thread. 0; 0x8002000d when the
 * folder cannot be watched or the thread not started (logged: the carrier
 * runs on without presence, and IpcPresenceWait only looks). */
uint32_t IpcPresenceOpen(const char *runDir, const char *ownName);

/* Ends the presence thread, closes its watches and wakes every waiter, which
 * returns 0x80020004. Nothing when it is not open. */
void IpcPresenceClose(void);

/* The contract of OsMsgWaitProcess for the carrier: 0 once a process named
 * procName has joined: the presence thread has taken it in, after sending it
 * the subscriptions kept for it, so whatever the caller sends it afterwards
 * follows them (a process the thread does not keep counts once its socket
 * answers). Looks again at each change of the run directory; 0x80020014
 * after timeoutMs; 0x80020004 when presence is not open or closes
 * meanwhile; 0x8002000d when nothing watches the run directory and the
 * process does not answer now (0x80020014 for a timeoutMs of 0). Any
 * thread. */
uint32_t IpcPresenceWait(const char *procName, uint32_t timeoutMs);

#endif /* VYRE_IPC_PRESENCE_H */

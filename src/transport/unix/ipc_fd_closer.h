/*
 * The carrier's closer: a thread of its own that closes, for the receive
 * thread, the descriptors other processes sent (msg_foreign_fd.h), so that
 * a descriptor whose close waits (a lingering socket, a file of a daemon
 * that does not answer) holds up that close alone, never the messages of
 * the process. It starts with the first such close and ends with the
 * carrier, closing what is left. A closer with MSG_TUNE_CLOSER_FDS closes
 * waiting (every one of them stuck) has the receive thread close the next
 * one itself. A closer still stuck MSG_TUNE_CLOSER_STOP_MS after the
 * carrier's end began is left to finish on its own (one WARN line), so that
 * a close that never returns cannot keep the process from tearing down; the
 * library then stays loaded, as the thread still runs its code.
 *
 * Thread safety: IpcFdCloserPut runs on the receive thread, IpcFdCloserStop
 * once that thread has ended; the queue is guarded by the closer's lock.
 */
#ifndef VYRE_IPC_FD_CLOSER_H
#define VYRE_IPC_FD_CLOSER_H

/* Hands fd over to the closer (a MsgForeignFdCloser). */
void IpcFdCloserPut(int fd);

/* Ends the closer, once everything handed over is closed or after
 * MSG_TUNE_CLOSER_STOP_MS. */
void IpcFdCloserStop(void);

#endif /* VYRE_IPC_FD_CLOSER_H */

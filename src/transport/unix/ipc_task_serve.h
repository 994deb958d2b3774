/*
 * Tasks served on the receive thread (OsMsgTaskServeOnReceive): the receive
 * loop polls each such task's descriptor beside its links and, when it is
 * readable, handles the task's queue itself. A message from another process
 * for such a task is pushed into its queue by the receive thread and
 * handled by the same thread once the events of its wait are done: no other
 * thread wakes for it, and no descriptor is signalled. Messages from the own
 * process wake the loop through the descriptor, as they would wake an
 * application's poll loop.
 *
 * Each task's descriptor is an eventfd of the carrier's, registered with
 * the poller; the task holds a second descriptor of the same counter, which
 * its producers signal, and which removal signals once more and closes. The
 * loop then finds the task gone and drops its own.
 *
 * Thread safety: the table is a fixed array, so a tag the poller reports
 * stays an entry whatever became of it meanwhile; g_ipcServeLock guards the
 * entries and is taken before simpleQueueLock (an add marks the task with
 * it held); the handling runs without it, callbacks with no lock held.
 */
#ifndef VYRE_IPC_TASK_SERVE_H
#define VYRE_IPC_TASK_SERVE_H

#include <stdint.h>

/* Opens the table on the receive loop's poller (the carrier's open). */
void IpcServeOpen(int poller);

/* Serves task name (of this process) on the receive thread from now on.
 * 0 (also when it is served that way already); 0x80020004 (the carrier is
 * closed); 0x8002000c (16 tasks are served so already); 0x8002000d (no
 * descriptor); the refusals of SimpleTaskServeOnReceive. Any thread. */
uint32_t IpcServeAdd(const char *name);

/* True when tag is one IpcServeAdd registered. */
bool IpcServeOwns(const void *tag);

/* The receive thread, for a readable descriptor of tag: handles the task's
 * queued messages, up to a batch (the descriptor stays readable while more
 * wait), or drops the entry of a task that went. */
void IpcServeHandle(void *tag);

/* The receive thread, once its wait's events are handled: handles the
 * tasks it serves that its own pushes found asleep (SimpleMsgTakeOwed). */
void IpcServeOwed(void);

/* At the carrier's close, with the receive thread ended and before the
 * poller closes: drops every entry (the tasks keep their own descriptors
 * until their removal) and refuses adds until the next open. */
void IpcServeClose(void);

#endif /* VYRE_IPC_TASK_SERVE_H */

/*
 * Whether this process is the child of a fork() that a process serving the
 * messaging system made without executing another program.
 *
 * Such a child inherits the parent's tables, queues and connections but
 * none of the threads that serve them, and any lock a parent thread held at
 * the fork stays held in it for good. The library refuses to serve it: from
 * the fork on, every call that needs the messaging system fails there
 * (core/msg_api_gate.h), and a task loop that a callback returns to in the
 * child ends. A child that executes a program starts afresh (every
 * descriptor of the library is close-on-exec).
 *
 * Thread safety: MsgForkWatch may be called from any thread, any number of
 * times (the hook is installed once); the flag is set in the child by the
 * fork's child hook, before the child's own code runs, and only read
 * afterwards.
 */
#ifndef VYRE_MSG_FORK_STATE_H
#define VYRE_MSG_FORK_STATE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* From now on, the child of every fork() of this process counts as forked.
 * Called when the process starts joining the messaging system. */
void MsgForkWatch(void);

/* 1 in the child of a fork() made after MsgForkWatch (and in its own
 * children), else 0. */
uint32_t MsgForkedChild(void);

/* The id of the process that called MsgForkWatch: in a forked child, the
 * process it was forked from (or that one's ancestor). */
uint32_t MsgForkServedPid(void);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_FORK_STATE_H */

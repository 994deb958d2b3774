/*
 * The outcome of the process's set-up, as the library threads see it that the
 * set-up starts before it knows whether it will succeed (the broadcast thread,
 * started with the transport server).
 *
 * Each set-up has a number. A thread started on behalf of a set-up is counted
 * (MsgSetupThreadStarting) and waits for that set-up's outcome
 * (MsgSetupAwait). A set-up that fails wakes its threads and returns only once
 * every one of them has learnt the outcome, so none of them lives on to use a
 * life cycle that was rolled back. A thread whose set-up is over by the time
 * it asks (it failed, or its life cycle ended, or a later set-up began) learns
 * that at once.
 *
 * Thread safety: one private mutex and condition guard the state; nothing
 * else is locked or called under them, so any thread may call in holding any
 * library lock. MsgSetupBegin, MsgSetupEnd and MsgSetupLifeEnd come from the
 * set-up and teardown only, which the initialisation lock serialises.
 */
#ifndef VYRE_MSG_SETUP_STATE_H
#define VYRE_MSG_SETUP_STATE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* No set-up: the number a thread gets when no set-up is running. */
#define MSG_SETUP_NONE 0U

/* A set-up starts; returns its number (never MSG_SETUP_NONE). */
uint32_t MsgSetupBegin(void);

/* The running set-up ends. On failure, returns once every thread counted for
 * it has learnt the outcome in MsgSetupAwait. */
void MsgSetupEnd(bool succeeded);

/* The life cycle of the last set-up ends (teardown): its threads that have not
 * asked yet learn that there is nothing to serve. */
void MsgSetupLifeEnd(void);

/* A library thread is about to be started for the running set-up: it is
 * counted, and must call MsgSetupAwait with the number returned exactly once
 * (MSG_SETUP_NONE when no set-up runs; then it need not). */
uint32_t MsgSetupThreadStarting(void);

/* The thread announced with MsgSetupThreadStarting could not be started. */
void MsgSetupThreadNotStarted(uint32_t setup);

/* Blocks until set-up `setup` has ended; true when it succeeded and its life
 * cycle still runs, false otherwise (and at once for MSG_SETUP_NONE or a
 * set-up that is over). */
bool MsgSetupAwait(uint32_t setup);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_SETUP_STATE_H */

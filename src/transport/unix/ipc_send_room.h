/*
 * How long a send of the socket carrier may wait for room at its receiver
 * (its budget), and the send of one datagram within it. What a send may
 * wait:
 *   - an asynchronous message (and a subscription or broadcast request):
 *     MSG_TUNE_SEND_ROOM_WAIT_MS in all while the receiver makes no room
 *     (for a full task, for room in its socket); the clock starts again
 *     after each datagram that goes out, so a receiver that keeps reading
 *     takes a message in slices whole. Then 0x80020007;
 *   - a synchronous request (MsgAdpSendWaitMs) or an asynchronous message
 *     whose sender chose to wait (MsgAdpSendWaitChosen): until its time-out,
 *     all waits together;
 *   - an answer: as an asynchronous message, with
 *     MSG_TUNE_SEND_ANSWER_WAIT_MS.
 *
 * Thread safety: a budget belongs to the one send that made it; the peer's
 * lock, when given, is held by the caller and released only while waiting.
 */
#ifndef VYRE_IPC_SEND_ROOM_H
#define VYRE_IPC_SEND_ROOM_H

#include <stddef.h>
#include <stdint.h>
#include <sys/uio.h>

#include "transport/unix/ipc_link.h"
#include "transport/unix/ipc_peer_cache.h"

/* How long one send may wait for room: until a time-out, or, without one,
 * as long as the receiver makes no room (the clock starts at the first wait
 * and starts again after each datagram that goes out). Worked out at the
 * first wait: a send that never waits never asks. */
struct IpcSendBudget {
    uint32_t transType;
    bool logAbsent;    /* a receiver that does not run is logged */
    bool known;        /* the fields below are worked out */
    bool hard;         /* every wait ends by endNs (a time-out) */
    uint64_t endNs;    /* monotonic */
    uint64_t stallNs;  /* without a time-out: the longest time without room */
    uint64_t waitedNs; /* when the current wait without room began, 0 when none */
};

/* The budget of a send of transType on the calling thread. */
IpcSendBudget IpcSendBudgetOf(uint32_t transType, bool logAbsent = true);

/* Makes budget one without a time-out that waits at most ms without room. */
void IpcSendBudgetStall(IpcSendBudget &budget, uint32_t ms);

/* Milliseconds the next wait may take (rounded up); 0: none. */
uint32_t IpcSendWaitLeft(IpcSendBudget &budget);

/* Sends one datagram (iovLen pieces, with fdCount descriptors) on link,
 * waiting for room within budget. With peer given, its lock is held and is
 * released while waiting; a link the slot dropped meanwhile counts as
 * broken. */
IpcSendResult IpcSendDatagram(IpcPeer *peer, IpcLink *link, struct iovec *iov, size_t iovLen, IpcSendBudget &budget,
                              const int *fds = nullptr, uint32_t fdCount = 0U);

#endif /* VYRE_IPC_SEND_ROOM_H */

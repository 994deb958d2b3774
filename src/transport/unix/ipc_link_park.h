/*
 * Flow control per task on the receiving side of the socket carrier.
 *
 * A message whose task queue is full is parked on the link it came on, in
 * a park of that task; later messages of the link for the same task queue
 * up behind it, so a task's messages keep their order, while messages for
 * other tasks go on to their queues: one full task holds back only its own
 * messages. A park is the receiver's buffer for a burst, as a socket's was:
 * once it holds IPC_PARK_NOTICE_MSGS messages or IPC_PARK_NOTICE_BYTES
 * bytes, the link tells the sender "task T is full" (a control record); the
 * sender then stops sending to T until the park has drained and the link
 * tells it "task T has room".
 *
 * When a task loop reports room (the room hook: a queue that refused a push
 * has drained to half), the receive thread moves parked messages into
 * their queues, one message per park in turn so that links share the room
 * fairly, until the queues refuse again. A park for a task that is gone is
 * dropped with one line.
 *
 * What one link may hold back is bounded: once it holds IPC_LINK_PARK_MSGS
 * messages or IPC_LINK_PARK_BYTES bytes, the receive thread stops reading
 * it (the rest of the datagram in hand is still parked) until it has
 * drained to half, while it still watches it for hang-up; a sender that
 * ignores the notices only holds itself back. The bounds leave room, past
 * the notice, for what a sender streams before the notice reaches it (its
 * socket's worth, and what it sends until its receive thread has read the
 * notice), so a sender that heeds the notices is seldom held back. A link
 * that closes drops what it holds back.
 *
 * Thread safety: the receive thread alone calls these functions and owns
 * the parks; the queue operations they call take the in-process layer's
 * locks.
 */
#ifndef VYRE_IPC_LINK_PARK_H
#define VYRE_IPC_LINK_PARK_H

#include <stdint.h>

#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_link.h"
#include "vyre_os_msg.h"

/* A park of this many messages, or bytes (payloads and bookkeeping), tells
 * its sender the task is full. */
#define IPC_PARK_NOTICE_MSGS 256U
#define IPC_PARK_NOTICE_BYTES (1024U * 1024U)
/* Messages, and bytes, one link may hold back before it is no longer read;
 * the largest message fits. */
#define IPC_LINK_PARK_MSGS 16384U
#define IPC_LINK_PARK_BYTES (4U * 1024U * 1024U)

/* One message held back. */
typedef struct IpcParkedMsg {
    struct IpcParkedMsg *next;
    int32_t transType;
    uint32_t pid; /* the kernel's credentials of its datagram */
    uint32_t uid;
    MsgHead head; /* as received */
    void *buf;    /* its payload buffer (owned), NULL for none */
    uint32_t bufLen;
} IpcParkedMsg;

/* The messages a link holds back for one task, oldest first. */
typedef struct IpcPark {
    struct IpcPark *next;
    char task[OS_MSG_NAME_LEN]; /* the header's recvTaskName field */
    IpcParkedMsg *first;
    IpcParkedMsg *last;
    uint32_t count;
    uint64_t bytes; /* of its messages, as they count against the bounds */
    bool fullSent;  /* the sender was told "full" and not yet "room" */
} IpcPark;

/* Makes sink the one for a datagram from link with the kernel's
 * credentials pid and uid: an accepted link's messages go to their queues
 * or are parked, its "drop the message" records reach the collector; a
 * dialled link's answers go to their requesters, its notices to the peer
 * cache. Records against the link's direction are dropped ("bad datagram
 * from pid %u: %s."). */
void IpcParkSinkInit(IpcFrameSink *sink, IpcLink *link, uint32_t pid, uint32_t uid);

/* Moves parked messages into their queues while they take them, fairly
 * across links; sends the "room" notices due; reads held-back links again
 * once they drained to half. */
void IpcParkRetry(void);

/* True while some link holds messages back or owes a notice. */
bool IpcParkPending(void);

/* Drops, releasing their buffers, the messages link holds back (it
 * closes). */
void IpcParkDropLink(IpcLink *link);

#endif /* VYRE_IPC_LINK_PARK_H */

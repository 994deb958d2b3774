/*
 * Flow control per task on the receiving side of the socket carrier.
 *
 * A message whose task queue is full is parked on the link it came on, in
 * a park of that task; later messages of the link for the same task queue
 * up behind it, so a task's messages keep their order, while messages for
 * other tasks go on to their queues: one full task holds back only its own
 * messages. Once a park holds IPC_PARK_NOTICE_MSGS messages or
 * IPC_PARK_NOTICE_BYTES bytes, the link tells the sender "task T is full"
 * (a control record); the sender then stops sending to T until the park has
 * drained to half and the link tells it "task T has room", while the rest
 * of the park still feeds the queue.
 *
 * First, though, a link whose datagram meets a full queue pauses: the rest
 * of that datagram, from the refused message on, is kept as it came, and
 * the link is not read until the task reports room or
 * MSG_TUNE_RECV_PAUSE_MS pass, whichever comes first; then the rest is
 * handed over again. A stream into a queue its task works down soon so
 * waits in the socket, which costs nothing, rather than in a park. A pause
 * that runs its full time shows a slow task: the kept rest and what follows
 * is then taken apart, the messages for the full task parked while the
 * others go on, one datagram per pause, until the task reports room again.
 * Other tasks' messages on the link wait at most one pause at a time.
 *
 * When a task loop reports room (the room hook: a queue that refused a push
 * has drained to a quarter), the receive thread moves parked messages into
 * their queues, one hand-over (a chunk's ready messages) per park in turn
 * so that links share the room fairly, until the queues refuse again; then
 * the paused links hand their kept rests over. A park for a task that is
 * gone is dropped with one line.
 *
 * What one link may hold back is bounded: once it holds IPC_LINK_PARK_MSGS
 * messages or IPC_LINK_PARK_BYTES bytes, the receive thread stops reading
 * it (the rest of the datagram in hand is still parked) until it has
 * drained to half, while it still watches it for hang-up; a sender that
 * ignores the notices only holds itself back. The bounds leave room, past
 * the notice, for what a sender streams before the notice reaches it (its
 * socket's worth, and what it sends until its receive thread has read the
 * notice), so a sender that heeds the notices is seldom held back.
 *
 * Descriptors that come with messages are bounded for the whole process
 * (msg_cargo.h): once those waiting pass a quarter of its descriptor limit,
 * tasks refuse messages with descriptors, and a link that parks such a
 * message is held back as well (one line) until the tasks have taken or
 * closed enough of them, down to half; its parks are retried meanwhile.
 * Only the links that bring descriptors stop; their senders keep theirs.
 *
 * A sender that closes its connection (it exited after its last send)
 * while the link pauses or is held back loses nothing: the link is read to
 * its end as its tasks make room, then closed. Only when its tasks take
 * none of its messages for MSG_TUNE_RECV_GONE_HOLD_MS is what it holds back
 * dropped (one line) and the link closed.
 *
 * A queue that refuses here is flow control, not a failure: the refusals
 * are logged at DEBUG (SimpleMsgMarkFullIsFlow), and the receiving process
 * logs one ERROR line when a park reaches the notice size (its sender's
 * sends are refused from then on), at most once per
 * MSG_TUNE_RECV_FULL_LOG_MS for a link, naming the task and what helps.
 *
 * A message with cargo (a shared buffer, descriptors) is never paused for:
 * its datagram's descriptors cannot wait with the rest, so it is parked at
 * once when its queue is full, and costs its park its header, not its
 * buffer, which lies in its sender's memory.
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
#define IPC_PARK_NOTICE_MSGS 512U
#define IPC_PARK_NOTICE_BYTES (1024U * 1024U)
/* Messages, and bytes, one link may hold back before it is no longer read;
 * the largest message fits. */
#define IPC_LINK_PARK_MSGS 16384U
#define IPC_LINK_PARK_BYTES (4U * 1024U * 1024U)

/* Messages one chunk of a park holds: as many as one hand-over to a queue
 * takes. */
#define IPC_PARK_CHUNK 32U

struct MsgCargo;

/* How one held message is delivered. */
typedef struct IpcParkedMeta {
    int32_t transType;
    uint32_t pid; /* the kernel's credentials of its datagram */
    uint32_t uid;
    uint32_t bufLen;
    void *buf;              /* its payload buffer (owned), NULL for none */
    struct MsgCargo *cargo; /* its shared buffer and descriptors (owned), NULL for none */
    bool ready;             /* its header is already the one its queue takes, the
                             * payload in data/dataLen: it moves in with the others
                             * (never a message with cargo) */
    bool payloadInCargo;    /* its payload is the cargo's shared buffer: noted when
                             * parked, as the cargo is the queue's once it moved */
} IpcParkedMeta;

/* Held messages, oldest first, in the order they came. The headers lie
 * side by side, so that ready ones move into their queue together. */
typedef struct IpcParkChunk {
    struct IpcParkChunk *next;
    uint32_t first; /* the oldest entry still held */
    uint32_t end;   /* entries written */
    MsgHead heads[IPC_PARK_CHUNK];
    IpcParkedMeta meta[IPC_PARK_CHUNK];
} IpcParkChunk;

/* The messages a link holds back for one task. */
typedef struct IpcPark {
    struct IpcPark *next;
    char task[OS_MSG_NAME_LEN]; /* the header's recvTaskName field */
    IpcParkChunk *first;
    IpcParkChunk *last;
    uint32_t count;
    uint64_t bytes; /* of its messages, as they count against the bounds */
    bool fullSent;  /* the sender was told "full" and not yet "room" */
} IpcPark;

/* Makes sink the one for a datagram from link with the kernel's
 * credentials pid, uid and gid: an accepted link's messages pass the gate
 * (ipc_link_gate.h) and go to their queues or are parked, its "drop the
 * message" records reach the collector; a dialled link's answers go to their
 * requesters, its refusals end their calls, its notices go to the peer
 * cache. Records against the link's direction are dropped ("bad datagram
 * from pid %u: %s."). */
void IpcParkSinkInit(IpcFrameSink *sink, IpcLink *link, uint32_t pid, uint32_t uid, uint32_t gid);

/* Moves parked messages into their queues while they take them, fairly
 * across links; sends the "room" notices due; reads held-back links again
 * once they drained to half. */
void IpcParkRetry(void);

/* True while some link holds messages back or owes a notice. */
bool IpcParkPending(void);

/* After a datagram of link was handled: a link whose datagram met a full
 * queue pauses (see above). True when link is no longer to be read now
 * (paused or held back). */
bool IpcParkAfterDatagram(IpcLink *link);

/* Keeps the len bytes at data, the rest of a datagram from pid/uid/gid that
 * the sink stopped before, for link's pause. */
void IpcParkKeepRest(IpcLink *link, const uint8_t *data, uint32_t len, uint32_t pid, uint32_t uid, uint32_t gid);

/* Reads the links whose pause ended by now (monotonic nanoseconds) again;
 * the end of the next pause, 0 when none is paused. */
uint64_t IpcParkResumeDue(uint64_t now);

/* Notes that the peer of link closed while the link paused or was held
 * back: it is read to its end when it is read again. */
void IpcParkPeerGone(IpcLink *link);

/* True while link holds messages back (parked, or the rest of a datagram). */
bool IpcParkHolds(const IpcLink *link);

/* Notes that everything the peer of link sent was read (it closed) while
 * the link still holds messages back: it is no longer read, and closes once
 * they went (IpcParkToClose). */
void IpcParkEnded(IpcLink *link);

/* A link for the receive thread to close by now (monotonic nanoseconds):
 * one that ended and holds nothing back any more, or one whose peer closed
 * and whose tasks took none of its messages for MSG_TUNE_RECV_GONE_HOLD_MS
 * (logged); NULL when there is none. */
IpcLink *IpcParkToClose(uint64_t now);

/* Drops, releasing their buffers, the messages link holds back (it
 * closes). */
void IpcParkDropLink(IpcLink *link);

/* Gives the spare chunks kept for parks back to the allocator when no link
 * holds anything back (true then). */
bool IpcParkTrim(void);

/* True while spare chunks are kept. */
bool IpcParkSpares(void);

#endif /* VYRE_IPC_LINK_PARK_H */

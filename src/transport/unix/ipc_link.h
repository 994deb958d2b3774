/*
 * Links: the connections of the socket carrier, each used both ways.
 *
 * A link is one SOCK_SEQPACKET connection. A dialled link is one this
 * process opened to send its messages to a peer; the peer's answers and
 * flow-control notices come back on it. An accepted link is one a peer
 * opened to this process; its messages come in on it, and this process's
 * answers to its requests and its notices go back on it. The receive thread
 * watches both kinds. An answer is written on the accepted link its request
 * came on: the link from the requester's kernel-verified pid that carried a
 * request last (a process has one link to this one unless it opened more
 * connections of its own), so no sender can make this process open
 * connections.
 *
 * Lifetime. A link comes from the tracked allocator holding one reference
 * for its maker. While it is registered (in the receive thread's poller and
 * in the registry below) the registry holds one more; a thread that writes
 * on it holds one while it writes. The descriptor leaves the poller when the
 * link is unregistered and is closed when the last reference goes, so no
 * thread writes to or polls a descriptor that was closed (and perhaps
 * reused), and a forked child's copy of a descriptor never keeps a
 * registration alive.
 *
 * Shared buffers. A link that carries shared buffers, either way, gets a
 * share (ipc_link_share.h) on first use, kept until the link closes.
 *
 * Thread safety. refs, share, sent and bellFd are atomic; fd, id, kind,
 * pid, uid, gid, groups, maxBody, peer and peerGen are fixed when the link
 * is made.
 * g_ipcLinkLock (in the .cc, a leaf lock) guards the registry: the list of
 * registered links, the answer links by pid, and each link's reg fields.
 * recv belongs to the receive thread alone. Writes need no lock: a datagram
 * is sent whole by one system call, and the callers order their own
 * datagrams.
 */
#ifndef VYRE_IPC_LINK_H
#define VYRE_IPC_LINK_H

#include <stddef.h>
#include <stdint.h>
#include <sys/uio.h>

#include <atomic>

#include "vyre_os_msg.h"

struct IpcPeer;
struct IpcPark;
struct SbufShare;
struct SbufLane;

/* Result of sending one datagram. */
enum IpcSendResult { IPC_SEND_OK, IPC_SEND_FULL, IPC_SEND_BROKEN, IPC_SEND_ERROR };

enum IpcLinkKind : uint8_t {
    IPC_LINK_DIALLED,  /* this process's messages out; answers and notices in */
    IPC_LINK_ACCEPTED, /* a peer's messages in; answers and notices out */
};

/* Tasks of one link whose refusals by the access policy are logged; the
 * refusals for further tasks are only counted. */
#define IPC_LINK_GATE_LOGGED 8U

/* The receiving side's verdict on an accepted link's sender
 * (ipc_link_gate.h), kept with the link (receive thread only). */
typedef struct IpcLinkGate {
    uint32_t gen; /* the policy's generation the verdict holds for; 0: none yet */
    uint32_t pid; /* the kernel's ids of the last datagram; the verdict is for uid and gid */
    uint32_t uid;
    uint32_t gid;
    uint32_t verdict;  /* IPC_ACCESS_* */
    bool misaddressed; /* a message addressed elsewhere was logged */
    uint32_t logged;   /* tasks in refused, up to IPC_LINK_GATE_LOGGED, then one more for "others" */
    char refused[IPC_LINK_GATE_LOGGED][OS_MSG_NAME_LEN]; /* the tasks whose refusal was logged */
} IpcLinkGate;

/* What the receive thread keeps about a link (receive thread only). */
typedef struct IpcLinkRecv {
    bool inPlace;        /* the last datagram was large: peek at the next */
    bool heldBack;       /* past its park bound: not read until it drains to half */
    bool fdsCrowded;     /* held back as well until waiting descriptors ease (msg_cargo.h) */
    bool pauseWanted;    /* the datagram in hand met a full queue */
    bool slow;           /* its last pause ran out: parked without pausing first */
    bool paused;         /* not read until room is offered or pauseEndNs */
    bool unwatched;      /* the poller watches it only for hang-up */
    bool peerGone;       /* the peer closed while the link was not read: read to its end, then closed */
    bool ended;          /* everything the peer sent was read; closed once nothing is held back */
    uint64_t goneNs;     /* monotonic: when its tasks last took one of its messages since then */
    uint64_t pauseEndNs; /* monotonic */
    uint8_t *rest;       /* while paused: the rest of a datagram, from the */
    uint32_t restLen;    /*   record a full queue refused on (owned) */
    uint32_t restPid;    /*   and its credentials */
    uint32_t restUid;
    uint32_t restGid;
    bool owesNotice;          /* a park's "room" notice waits for room on the socket */
    bool listed;              /* on the receive side's list of links with parks */
    bool badReturnLogged;     /* the peer gave back a reference it was not lent (logged once) */
    uint32_t badLines;        /* lines its bad datagrams and posts got (IpcFrameLogBad) */
    uint64_t fullLoggedNs;    /* monotonic: when a task of its last stayed full (logged), 0: never */
    bool peerApart;           /* the peer runs on none of the receive thread's processors, */
    uint64_t apartNs;         /*   as found at this monotonic time (0: never asked) */
    uint32_t datagrams;       /* datagrams read, wrapping: the posts whose tag it reached may go (ipc_post.h) */
    struct SbufLane *post;    /* accepted links: the peer's lane whose post ring is read, NULL for none */
    struct IpcLink *postNext; /* the list of links with a post ring */
    struct IpcPark *parks;    /* messages held back for full queues, one park per task */
    uint32_t parkedMsgs;      /* messages in all its parks */
    uint64_t parkedBytes;     /* their payload bytes and bookkeeping */
    struct IpcLink *next;     /* the list of links with parks */
    IpcLinkGate gate;
} IpcLinkRecv;

typedef struct IpcLink {
    std::atomic<uint32_t> refs;
    int fd;
    uint32_t id; /* never 0; keys the link's messages under reassembly */
    IpcLinkKind kind;
    uint32_t pid; /* the peer's kernel credentials when the link was made */
    uint32_t uid;
    uint32_t gid;
    uint32_t *groups; /* accepted links: its supplementary groups then (owned), groupCount of them */
    uint32_t groupCount;
    uint32_t maxBody; /* largest payload bytes in one datagram on fd */
    /* Accepted links: when it last carried a request (a number that grows
     * with every request the receive thread hands over); read by answers. */
    std::atomic<uint64_t> requestSeq;
    struct IpcPeer *peer; /* dialled links: the peer slot that dialled it, */
    uint32_t peerGen;     /* and the slot's generation then */
    /* Set (release) once the link is registered: the receive thread reads it
     * (acquire) before it uses a link another thread made, since the poller
     * that hands the link over orders nothing for the compiler or a race
     * detector. */
    std::atomic<bool> published;
    /* Registry, under g_ipcLinkLock. */
    bool registered;
    struct IpcLink *regPrev;
    struct IpcLink *regNext;
    struct IpcLink *pidNext; /* accepted links: the next with the same pid bucket */
    /* What the link's two ends share (shared buffers), made on first use by
     * a sender or the receive thread; NULL before. */
    std::atomic<struct SbufShare *> share;
    /* Dialled links: datagrams sent on it (wrapping), counted after each
     * send: the tag of what is posted instead (ipc_post.h). */
    std::atomic<uint32_t> sent;
    /* Dialled links: the receiver's bell for posts (a wake-up counter it
     * passed, ipc_post.h), -1 until then; closed with the link. */
    std::atomic<int> bellFd;
    IpcLinkRecv recv;
} IpcLink;

/* Opens the registry for links watched by poller. */
void IpcLinkRegistryOpen(int poller);

/* Unregisters every link still registered, calling drop(link) for each
 * first (the receive side's clean-up, which must not unregister), then
 * forgets the poller. Called when the receive thread has ended. */
void IpcLinkRegistryClose(void (*drop)(IpcLink *link));

/* A link around the connected descriptor fd, holding one reference, with
 * the peer's credentials pid and uid. NULL without memory (fd stays the
 * caller's). */
IpcLink *IpcLinkCreate(int fd, IpcLinkKind kind, uint32_t pid, uint32_t uid);

/* Records the group gid and the supplementary groups the kernel reports for
 * the peer of link (accepted links, before they are registered). False
 * without memory for them (logged). */
bool IpcLinkSetGroups(IpcLink *link, uint32_t gid);

/* Takes one more reference; the caller already holds one. */
void IpcLinkHold(IpcLink *link);

/* Takes one more reference unless the last one is gone already (the link
 * is being freed): for a caller that reaches the link through a record that
 * outlives it (its share). */
bool IpcLinkTryHold(IpcLink *link);

/* Drops one reference; the last closes the link's share, closes the
 * descriptor and frees the link. */
void IpcLinkRelease(IpcLink *link);

/* Puts link in the poller (watched for data and for the peer closing) and
 * in the registry, which holds a reference from now on. False when the
 * registry is closed or the poller refuses (logged); nothing changes. */
bool IpcLinkRegister(IpcLink *link);

/* Takes link out of the poller and the registry and drops the registry's
 * reference (the caller holds one of its own). Receive thread, or the close
 * once it has ended. */
void IpcLinkUnregister(IpcLink *link);

/* The receive thread's first step on a link the poller reported: sees
 * everything its maker wrote before registering it. */
static inline void IpcLinkAcquire(const IpcLink *link) {
    (void)link->published.load(std::memory_order_acquire);
}

/* Changes what the poller watches link for: data and the peer closing
 * (reading), or only the peer closing, reported once (a link held back). */
void IpcLinkWatch(IpcLink *link, bool reading);

/* Notes that link just carried a synchronous request. Receive thread. */
void IpcLinkNoteRequest(IpcLink *link);

/* The registered accepted link from process pid that carried a request
 * last (the newest one when none did), with a reference for the caller;
 * NULL when there is none. Any thread. */
IpcLink *IpcLinkFindAnswerLink(uint32_t pid);

/* Links registered now. */
uint32_t IpcLinkCount(void);

/* Sends one datagram (iovLen pieces) on link without waiting, with fdCount
 * descriptors (copies go with it; the caller keeps its own). FULL when the
 * socket has no room now, BROKEN when the peer has gone, ERROR for other
 * failures (logged). */
IpcSendResult IpcLinkSendNow(IpcLink *link, struct iovec *iov, size_t iovLen, const int *fds = nullptr,
                             uint32_t fdCount = 0U);

/* Answers the request head (as received) that came on accepted link with a
 * refusal record carrying code, so that its call ends at once with code;
 * a refusal the socket has no room for is logged and lost (the call then
 * runs into its time-out). Receive thread. */
void IpcLinkSendRefusal(IpcLink *link, const MsgHead *head, uint32_t code);

/* Waits at most ms for room to send on link, holding no lock (the caller
 * holds a reference): true when there may be room (or the connection
 * failed, which the next send reports), false when the time ran out. */
bool IpcLinkWaitRoom(IpcLink *link, uint32_t ms);

/* Ends both directions of link's connection (any thread, a reference held):
 * the peer reads what was sent, then the end; the receive thread sees it
 * hang up and unregisters it. */
void IpcLinkShutdown(IpcLink *link);

#endif /* VYRE_IPC_LINK_H */

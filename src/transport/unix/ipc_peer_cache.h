/*
 * The peer cache of the socket carrier: a bounded set of slots, one per
 * process this process sends to, each with its dialled link (ipc_link.h),
 * its batches (ipc_send_batch.h) and the tasks the peer reported full.
 *
 * The cache forgets. A slot and its connection are given back when the peer
 * closes or dies (the receive thread sees its link hang up), when a connect
 * fails (a name that does not run takes no slot), and when the slot stays
 * unused for longer than MSG_TUNE_PEER_IDLE_MS; a new name takes the least
 * recently used idle slot when none is free. A slot is idle while no send
 * uses it and nothing is batched for it. Every naming or freeing of a slot
 * changes its generation, so a look-up a thread remembers is never used for
 * another name.
 *
 * Flow control, sending side. A task the peer reported full ("task T is
 * full", see ipc_link_park.h) stays in the slot's set until the peer reports
 * room or the link goes; a send to it waits for that, holding no lock, at
 * most its bound. The set is empty on nearly every send, which then costs
 * one relaxed load.
 *
 * Thread safety and lock order: g_ipcPeerCacheLock (in the .cc) guards the
 * naming and freeing of slots and the cache's open state; then a slot's
 * lock, which guards its link, its users and the batch being sent, and is
 * held only across calls that never wait (a connect on a non-blocking
 * socket, a send without waiting, the swap of batches); then its pendLock
 * (the batch being filled); then the batch sender's own lock. g_ipcFullLock
 * (in the .cc) guards every slot's set of full tasks and is a leaf lock,
 * taken alone. gen and the set's count are atomic.
 */
#ifndef VYRE_IPC_PEER_CACHE_H
#define VYRE_IPC_PEER_CACHE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/uio.h>

#include <atomic>
#include <mutex>

#include "transport/unix/ipc_link.h"
#include "transport/unix/ipc_run_dir.h"
#include "vyre_os_msg.h"

/* Number of slots. */
#define IPC_PEER_NUM 128U
/* Tasks of one peer that can be known full at once; a sender that does not
 * know a task is full finds out from the receiver holding its link back. */
#define IPC_PEER_FULL_MAX 32U

/* A task the peer reported full. */
typedef struct IpcPeerFullTask {
    char task[OS_MSG_NAME_LEN]; /* the recvTaskName field */
    bool logged;                /* a refusal for it was logged in this episode */
} IpcPeerFullTask;

typedef struct IpcPeer {
    std::mutex lock;                         /* see the file comment */
    std::atomic<uint32_t> gen;               /* changes with every naming and freeing (under lock and pendLock) */
    char name[OS_MSG_NAME_LEN];              /* the peer's process, "" when free (cache lock and lock) */
    char path[IPC_RUN_DIR_PATH_SIZE];        /* its socket */
    IpcLink *link;                           /* lock: the dialled link (one reference), NULL when none */
    std::atomic<bool> linked;                /* link is set; read without the lock by appends */
    bool closed;                             /* lock: the cache is closed, no new connection */
    bool sockFull;                           /* lock: the last send found the socket full (logged once) */
    uint32_t users;                          /* lock: sends in progress (IpcPeerBegin to IpcPeerEnd) */
    std::atomic<uint64_t> lastUseNs;         /* monotonic time of the last send: idle and LRU eviction */
    uint8_t *spare;                          /* lock: the batch taken for sending (IPC_BATCH_BYTES), or NULL */
    uint32_t spareLen;                       /* lock: its bytes not sent yet */
    IpcLink *spareLent;                      /* lock: the link spare's shared buffers were lent on (a reference) */
    std::mutex pendLock;                     /* guards the five fields below; taken after lock */
    uint8_t *pend;                           /* the batch being filled (IPC_BATCH_BYTES), or NULL */
    uint32_t pendLen;                        /* its bytes */
    IpcLink *pendLent;                       /* as spareLent, for pend; NULL while it lends nothing */
    bool queued;                             /* the batch sender holds the slot (ready or waiting for room) */
    uint64_t lastAsyncNs;                    /* monotonic time of the last lone send or batch */
    std::atomic<uint32_t> fullCount;         /* entries in full (written under g_ipcFullLock) */
    IpcPeerFullTask full[IPC_PEER_FULL_MAX]; /* g_ipcFullLock */
} IpcPeer;

/* Opens the cache for peers whose sockets live in runDir (kept), a
 * directory of mode. */
void IpcPeerCacheOpen(const char *runDir, const IpcRunDirMode *mode);

/* Shuts every link down and forgets every name and batch; waits for sends
 * in progress to leave the slots' locks. Later sends find no peer until the
 * next IpcPeerCacheOpen. */
void IpcPeerCacheClose(void);

/* The slot of process name, taking a free slot (or the least recently used
 * idle one) for a new name, and its generation through *gen. NULL when the
 * cache is closed (0x80020004 through *err), name cannot name a socket
 * (0x80020001) or no slot is free or idle (0x8002000c, "peer cache full.").
 * Nothing is locked; a thread's last look-up is remembered with its
 * generation. */
IpcPeer *IpcPeerFind(const char *name, uint32_t *err, uint32_t *gen);

/* Starts a send on peer (found under gen): takes its lock and counts the
 * send as a user, so the slot keeps its name until IpcPeerEnd. False (the
 * lock not held) when the slot was given to another name meanwhile: the
 * caller looks the name up again. */
bool IpcPeerBegin(IpcPeer *peer, uint32_t gen);

/* Ends a send begun with IpcPeerBegin; the slot's lock must be held and is
 * released. With forget set (the peer does not run), the slot is given back
 * unless another send uses it or something is batched for it. */
void IpcPeerEnd(IpcPeer *peer, bool forget);

/* Connects peer (its lock held) unless it is connected: 0 and peer->link
 * set; 0x80020002 when no process of that name listens (with logAbsent,
 * ERROR "process [%s] not running (no socket in %s)." or "... (its socket in
 * %s does not answer).", naming the run directory); 0x80020007 when its
 * listen queue is full; 0x80020004 when the cache was closed; 0x80020021
 * when its socket file is a symbolic link, no socket, or in a private run
 * directory another user's ("socket [%s] of process [%s] refused: %s.");
 * 0x8002000d for other failures (logged). */
uint32_t IpcPeerConnect(IpcPeer *peer, bool logAbsent = true);

/* Shuts peer's link down and forgets it (its lock held): the next send
 * connects again. */
void IpcPeerDisconnect(IpcPeer *peer);

/* A notice that came on the dialled link: "task is full"
 * (IPC_CONTROL_TASK_FULL) or "task has room" (IPC_CONTROL_TASK_ROOM) for
 * task (a 16-byte field); wakes the senders that wait for it. Ignored unless
 * link is still its slot's link. Receive thread. */
void IpcPeerNotice(IpcLink *link, uint32_t kind, const char *task);

/* The receive thread saw the dialled link hang up (it still holds its
 * reference): its slot forgets the link and the tasks it reported full, and
 * is given back unless a send uses it or something is batched for it. */
void IpcPeerLinkGone(IpcLink *link);

/* Gives back the slots unused for longer than the idle time, shutting their
 * links down. Receive thread, now and then. */
void IpcPeerSweepIdle(void);

/* How long, from now (monotonic nanoseconds), the receive thread may sleep
 * before the next IpcPeerSweepIdle is due, in milliseconds; -1 while no slot
 * is named. */
int IpcPeerSweepDueMs(uint64_t now);

/* The idle time after which a slot is given back (MSG_TUNE_PEER_IDLE_MS by
 * default); a test shortens it. */
void IpcPeerSetIdleMs(uint32_t ms);

/* True when task (a 16-byte field) is in peer's set of full tasks; one
 * relaxed load when the set is empty. */
static inline bool IpcPeerTaskMayBeFull(const IpcPeer *peer) {
    return peer->fullCount.load(std::memory_order_relaxed) != 0U;
}

/* Waits, holding no lock, until task (a 16-byte field) of peer is not in its
 * set of full tasks, at most ms. True when it is not (or no longer); false
 * when the time ran out, with *logIt set for the first refusal of the
 * task's episode. */
bool IpcPeerWaitTaskRoom(IpcPeer *peer, const char *task, uint32_t ms, bool *logIt);

/* Slots named now. */
uint32_t IpcPeerNamedCount(void);

#endif /* VYRE_IPC_PEER_CACHE_H */

/*
 * The peer-connection cache of the socket carrier: one kept connection per
 * process this process sends to. A sender looks its destination up by name,
 * connects on first use and keeps the connection; when the peer has
 * restarted since, the send finds the connection broken and reconnects once.
 *
 * Thread safety. g_ipcPeerCacheLock (in the .cc) guards the assignment of
 * slots to names and the cache's open state; it is held only for the
 * look-up. Each IpcPeer's lock guards its connection and whatever is written
 * to it: it is held for the whole send of one message (all its datagrams)
 * and for each batch sent, so datagrams never interleave on a connection.
 * Its pendLock guards the batch being filled (see ipc_send_batch.h) and is
 * held only for an append or a swap. Lock order: cache lock, peer lock,
 * pendLock, then the batch sender's own lock; the cache lock is taken before
 * a peer lock only by IpcPeerCacheOpen and IpcPeerCacheClose.
 */
#ifndef VYRE_IPC_PEER_CACHE_H
#define VYRE_IPC_PEER_CACHE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/uio.h>

#include <atomic>
#include <mutex>

#include "transport/unix/ipc_run_dir.h"
#include "vyre_os_msg.h"

/* Number of peers: as many as the shared directory has processes. */
#define IPC_PEER_NUM 128U

typedef struct IpcPeer {
    std::mutex lock;                  /* guards every field below once the slot is named */
    char name[OS_MSG_NAME_LEN];       /* the peer's process; set under the cache lock */
    char path[IPC_RUN_DIR_PATH_SIZE]; /* its socket */
    int fd;                           /* the kept connection, -1 when none */
    std::atomic<bool> linked;         /* fd is connected; read without the lock by appends */
    uint32_t maxBody;                 /* largest payload bytes in one datagram on fd */
    bool closed;                      /* the cache is closed: no new connection */
    bool full;                        /* the last send found the peer full (logged once) */
    uint8_t *spare;                   /* a batch taken for sending (IPC_BATCH_BYTES), or NULL */
    uint32_t spareLen;                /* its bytes not sent yet */
    std::mutex pendLock;              /* guards the four fields below; taken after lock */
    uint8_t *pend;                    /* the batch being filled (IPC_BATCH_BYTES), or NULL */
    uint32_t pendLen;                 /* its bytes */
    bool queued;                      /* the batch sender holds the peer on its list */
    uint64_t lastAsyncNs;             /* monotonic time of the last lone send or batch */
} IpcPeer;

/* Result of sending one datagram. */
enum IpcSendResult { IPC_SEND_OK, IPC_SEND_FULL, IPC_SEND_BROKEN, IPC_SEND_ERROR };

/* Opens the cache for peers whose sockets live in runDir (kept). */
void IpcPeerCacheOpen(const char *runDir);

/* Closes every connection and forgets every name; waits for sends in
 * progress. Later sends find no peer until the next IpcPeerCacheOpen. */
void IpcPeerCacheClose(void);

/* The peer slot of process name, taking a free slot for a new name. NULL
 * when the cache is closed, name cannot name a socket (0x80020001 through
 * *err) or every slot is taken (0x8002000c, "peer cache full.", through
 * *err). The slot stays valid for the life of the process; its fields are
 * used under its lock. */
IpcPeer *IpcPeerFind(const char *name, uint32_t *err);

/* Connects peer (its lock held) unless it is connected. 0;
 * 0x80020002 when no process of that name listens (ERROR "process [%s] not
 * running."); 0x80020007 when its listen queue is full; 0x80020004 when the
 * cache was closed; 0x8002000d for other failures (logged). */
uint32_t IpcPeerConnect(IpcPeer *peer);

/* Closes peer's connection (its lock held). */
void IpcPeerDisconnect(IpcPeer *peer);

/* Sends one datagram (iovLen pieces) on peer's connection (its lock held,
 * connected), waiting at most waitMs for room; 0 never waits. FULL when the
 * peer's socket stayed full, BROKEN when the peer has gone (closed or
 * restarted), ERROR for other failures (logged). */
IpcSendResult IpcPeerSendDatagram(IpcPeer *peer, struct iovec *iov, size_t iovLen, uint32_t waitMs);

#endif /* VYRE_IPC_PEER_CACHE_H */

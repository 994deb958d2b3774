/*
 * The peer-connection cache of the socket carrier: one kept connection per
 * process this process sends to. A sender looks its destination up by name,
 * connects on first use and keeps the connection; when the peer has
 * restarted since, the send finds the connection broken and reconnects once.
 *
 * Thread safety. g_ipcPeerCacheLock (in the .cc) guards the assignment of
 * slots to names and the cache's open state; it is held only for the
 * look-up. Each IpcPeer's lock guards its connection and is held for the
 * whole send of one message (all its datagrams), so the datagrams of two
 * messages never interleave on one connection. Lock order: the cache lock is
 * never held while a peer lock is taken, except by IpcPeerCacheClose, which
 * takes each peer lock inside it; nothing else is locked under a peer lock.
 */
#ifndef VYRE_IPC_PEER_CACHE_H
#define VYRE_IPC_PEER_CACHE_H

#include <stdint.h>

#include <mutex>

#include "transport/ipc_carrier.h"
#include "vyre_os_msg.h"

/* Number of peers: as many as the shared directory has processes. */
#define IPC_PEER_NUM 128U

typedef struct IpcPeer {
    std::mutex lock;                  /* guards every field below once the slot is named */
    char name[OS_MSG_NAME_LEN];       /* the peer's process; set under the cache lock */
    char path[IPC_CARRIER_PATH_SIZE]; /* its socket */
    int fd;                           /* the kept connection, -1 when none */
    uint32_t maxBody;                 /* largest payload bytes in one datagram on fd */
    bool closed;                      /* the cache is closed: no new connection */
} IpcPeer;

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

#endif /* VYRE_IPC_PEER_CACHE_H */

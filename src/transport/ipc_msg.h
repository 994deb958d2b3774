/*
 * The IPC transport: the one transport this library registers in the adapter
 * table. It provides the server side of a process (a server context, the
 * broadcast task "pmsgBro" that applies subscription and broadcast requests,
 * a receive thread), the send operation for messages that leave the process,
 * and the queue directory, a shared head that maps 16-byte queue names to
 * queue ids.
 *
 * On this platform nothing travels between processes. The send operation
 * re-addresses each message to the own process and delivers it through the
 * adapter's receive entry (a loopback), so the receive side and the broadcast
 * task run for real. The receive thread ends at once, the stop does nothing,
 * queue creation yields id 0, and no shared head is obtained, so every
 * directory operation gives its result for a missing head.
 *
 * Thread safety. Senders call IPCMsgSendData on their own threads; it holds no
 * lock and delivers through the queue locks of the in-process layer. The
 * server context and the slice collector are created once, under the
 * transport's creation lock, by the first IPCMsgStartServer (the process's
 * server thread), and read afterwards without a lock. The directory lock in
 * the shared head serialises every directory read and change.
 */
#ifndef VYRE_IPC_MSG_H
#define VYRE_IPC_MSG_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Registration and adapter operations
 * ------------------------------------------------------------------------- */

/* Registers this transport: MsgAdpPrepareTrans, then slots 1 (start), 2
 * (stop), 3 (join), 0 (send) and 8 (cross-CPU send). Slots 4 to 7 stay empty.
 * Called by process initialisation before any send. */
OS_MSG_API void PMsgRegAdpFunc(void);

/*
 * Slot 0 (and, identically, slot 8 as IPCMsgSendCpuData): delivers head into
 * the own process. destProcName is not used. Copies the own process name into
 * head->recvProcName (the caller's header stays changed), copies the payload
 * (dataLen bytes at data) into a new message buffer and hands header and
 * buffer to MsgAdpTransact.
 * 0x80020007 when the receiver's queue is full (nothing is queued and the
 * copy is released); 0 also when any other delivery fails (no such task):
 * the message is dropped and its copy released. 0x80020020 when no buffer is
 * available for the copy; the copy's error number when data is NULL with a
 * non-zero dataLen.
 * The caller keeps head and the payload.
 */
OS_MSG_API uint32_t IPCMsgSendData(const char *destProcName, uint32_t transType, MsgHead *head);
OS_MSG_API uint32_t IPCMsgSendCpuData(const char *destProcName, uint32_t transType, MsgHead *head);

/*
 * The cargo send (MsgAdpSetCargoSend) of the loopback: delivers head with
 * cargo (a shared buffer, descriptors) into the own process as
 * IPCMsgSendData does, without copying a shared buffer (a payload outside
 * one is copied). Takes the cargo in every case: 0 when delivered, and also
 * when the delivery fails other than for a full queue (the message and its
 * cargo are dropped and released); 0x80020007 for a full queue, 0x80020020
 * (no buffer for a copy), both with the cargo released. Under a carrier
 * between processes only messages that stay in this process (to its own
 * name, or a broadcast request for its broadcast task) are delivered; any
 * other is refused with 0x80020011 until the carrier passes cargo on.
 * Internal: not exported.
 */
uint32_t IPCMsgSendCargo(const char *destProcName, uint32_t transType, MsgHead *head, struct MsgCargo *cargo);

/*
 * Slot 1: starts the server side of the process. The first call creates the
 * server context (526,016 bytes, queue id 0xFFFFFFFF, the process name) and
 * the process's slice collector; both live for the rest of the process and
 * are never released, so memory accounting starts after the server is up.
 * Every call then copies procName into the context, prints "create pmsgBro"
 * and starts the detached broadcast thread (MsgBrodcastTaskFunc) on behalf
 * of the running set-up.
 * 0; 0x80020020 (no memory for the context or the collector: nothing is
 * kept); 0x8002000e (procName NULL or 16 characters or more); 0x8002001f (the
 * broadcast thread was not started). Called from the server thread.
 */
OS_MSG_API uint32_t IPCMsgStartServer(const char *procName);

/* Slot 2: does nothing on this platform; 0. */
OS_MSG_API uint32_t IPCMsgStopServer(void);

/*
 * Slot 3: runs the server on the calling thread: sets the join flag, starts
 * the detached receive thread and waits, checking once a second, until the
 * join flag is cleared. Nothing clears it on this platform, so the caller (the
 * server thread) stays for the life of the process.
 * 0x80020004 ("server init error.") when no server was started; 0x8002001f
 * (FATAL "create thread error.") when the receive thread cannot be created.
 */
OS_MSG_API uint32_t IPCMsgJoinServer(void);

/* Body of the receive thread; returns NULL at once on this platform. */
OS_MSG_API void *IPCMsgRecvThread(void *arg);

/* Body of the broadcast thread; arg carries the number of the set-up that
 * started the server (MsgSetupThreadStarting). Waits for that set-up's
 * outcome: when it succeeded, runs the loop of the task "pmsgBro", which the
 * set-up registered, until the task is removed; when it failed or is over
 * (also for a NULL arg), ends at once. Returns NULL. */
OS_MSG_API void *MsgBrodcastTaskFunc(void *arg);

/* The callback of task "pmsgBro". Subscription requests (MSG_ID_SUBSCRIBE)
 * go to the subscription table, broadcast requests (MSG_ID_BROADCAST) are
 * fanned out: each returns the table's result, 0xFFFFFFFF when the message
 * carries no payload. Any other message id: 0, nothing done. Runs on the
 * broadcast thread with no library lock held. */
uint32_t IPCMsgBroTaskCallback(MsgHead *head);

/* How long a presence event waits for room in the broadcast task's queue:
 * as long as an application's event request does (MSG_EVENT_REQ_WAIT_MS),
 * so a flood of requests delays the events rather than losing them. */
#define IPC_PRESENCE_PUBLISH_WAIT_MS 1000U

/* Publishes the library's event msgId (MSG_ID_PROC_JOINED or
 * MSG_ID_PROC_LEFT) about process procName, pid, to this process's
 * subscribers: a broadcast request from process "pmsg", task "pmsgBro",
 * with an OsMsgProcEvent as the event's payload, queued for the own
 * broadcast task, which fans it out as it does every event. Waits for room
 * in the broadcast task's queue at most IPC_PRESENCE_PUBLISH_WAIT_MS. 0, or
 * the push's code (logged). Any thread; called by a
 * carrier's presence watch. Internal: not exported. */
uint32_t IPCMsgPublishPresence(uint32_t msgId, const char *procName, uint32_t pid);

/* ---------------------------------------------------------------------------
 * Queue directory
 *
 * The shared head's byte layout, the one format every process that shares
 * the directory reads (little-endian, 3,144 bytes):
 *
 *   offset  width  field
 *        0      4  not used by this library
 *        4      4  entryCount: number of directory entries
 *        8      4  cleared when the head is initialised
 *       12      4  mainQid: the main queue id
 *       16     48  lock: the directory lock, a process-shared POSIX mutex
 *       64      4  dirOffset: byte offset of entry 0 from the head's start
 *       68      4  padding
 *       72   24*n  entries; this library lays out 128 (n = entryCount)
 *
 * An entry (IpcMsgQidEntry, 24 bytes): name (16 bytes, zero-padded, compared
 * over 16 bytes; all zero when free), qid (32 bits), inUse (32 bits: 1 in use,
 * 0 free). Every index derived from entryCount and dirOffset is checked
 * against the 3,144 bytes, since another process writes them.
 *
 * inUse is the entry's commit word. A writer fills name and qid first and
 * sets inUse to 1 last; a remover clears inUse first, then the name. So an
 * entry whose inUse is not 1 is never trusted, whatever its name says: the
 * look-ups pass over it, an addition may fill it, and a claim of a name
 * (IPCMsgClaimQid) and the recovery after a process died holding the lock
 * (mid-way through an entry, perhaps) clear it.
 *
 * The directory lock is waited for at most MSG_TUNE_DIR_LOCK_WAIT_MS (a
 * holder that is stopped, or a lock word naming a thread that holds
 * nothing, never blocks a caller for good): the operation then fails as
 * stated below and one line names the directory and the owner in the lock
 * word ("directory [%s] locked by pid %d for over %u ms; remove the file to
 * rebuild it.").
 * ------------------------------------------------------------------------- */

#define IPC_MSG_QUEUE_NAME_LEN 16U
#define IPC_MSG_QID_ENTRY_NUM 128U
#define IPC_MSG_SHM_HEAD_SIZE 3144U
#define IPC_MSG_SHM_LOCK_SIZE 48U
/* Queue id meaning "none" or "failed". */
#define IPC_MSG_INVALID_QID 0xFFFFFFFFU

typedef struct IpcMsgQidEntry {
    char name[IPC_MSG_QUEUE_NAME_LEN];
    uint32_t qid;
    uint32_t inUse;
} IpcMsgQidEntry;

typedef struct IpcMsgShmHead {
    uint32_t reserved;
    uint32_t entryCount;
    uint32_t initWord;
    uint32_t mainQid;
    union {
        pthread_mutex_t mutex;
        uint8_t raw[IPC_MSG_SHM_LOCK_SIZE];
    } lock;
    uint32_t dirOffset;
    uint32_t padding;
    IpcMsgQidEntry entries[IPC_MSG_QID_ENTRY_NUM];
} IpcMsgShmHead;

#ifdef __cplusplus
static_assert(sizeof(IpcMsgQidEntry) == 24, "IpcMsgQidEntry is 24 bytes");
static_assert(offsetof(IpcMsgQidEntry, qid) == 16, "IpcMsgQidEntry.qid offset");
static_assert(offsetof(IpcMsgQidEntry, inUse) == 20, "IpcMsgQidEntry.inUse offset");
static_assert(sizeof(pthread_mutex_t) <= IPC_MSG_SHM_LOCK_SIZE, "the directory lock fits its 48 bytes");
static_assert(offsetof(IpcMsgShmHead, entryCount) == 4, "IpcMsgShmHead.entryCount offset");
static_assert(offsetof(IpcMsgShmHead, initWord) == 8, "IpcMsgShmHead.initWord offset");
static_assert(offsetof(IpcMsgShmHead, mainQid) == 12, "IpcMsgShmHead.mainQid offset");
static_assert(offsetof(IpcMsgShmHead, lock) == 16, "IpcMsgShmHead.lock offset");
static_assert(offsetof(IpcMsgShmHead, dirOffset) == 64, "IpcMsgShmHead.dirOffset offset");
static_assert(offsetof(IpcMsgShmHead, entries) == 72, "the head is 72 bytes");
static_assert(sizeof(IpcMsgShmHead) == IPC_MSG_SHM_HEAD_SIZE, "IpcMsgShmHead is 3,144 bytes");
#endif

/* The process's head, obtaining it (IPCMsgInitShmHead) on first use; NULL
 * when no segment exists, as on this platform. Any thread. */
OS_MSG_API IpcMsgShmHead *IPCMsgGetShmHead(void);
/* Obtains the segment, clears its 3,144 bytes, lays out the directory (128
 * entries at offset 72, process-shared robust lock) and stores the head through
 * headOut. Stores nothing when no segment exists. */
OS_MSG_API void IPCMsgInitShmHead(IpcMsgShmHead **headOut);
/* Destroys head's directory lock; NULL is ignored. */
OS_MSG_API void IPCMsgDeinitShmHead(IpcMsgShmHead *head);
/* Does nothing. */
OS_MSG_API void IPCMSGReleaseShmHead(void);
/* The head's main queue id; 0xFFFFFFFF without a head. */
OS_MSG_API uint32_t IPCMsgGetMainQid(void);
/* The queue id of the first of the entryCount entries named name (of those
 * in use: an entry whose commit word is not set is passed over); 0xFFFFFFFF
 * without a head ("shm head not init."), for a NULL name, when not found
 * ("[%s]not found") or when the directory lock stays taken. */
OS_MSG_API uint32_t IPCMsgGetQidByName(const char *name);
/* Creates a message queue: its id, 0xFFFFFFFF for failure. 0 with the
 * loopback, which has no message queues; under the socket carrier, whose
 * queue is the process's listening socket, the process id, so that the entry
 * of a process that died can be recognised and reclaimed. */
OS_MSG_API uint32_t IPCMsgNewQid(void);
/* Adds name with a new queue in the first free entry. 0 (also when name is
 * listed already: nothing changes); 0x8002000d (no head: "get shm error"; no
 * queue: "msgget error."; or the directory lock stays taken); 0x8002000e
 * (name does not fit 16 bytes); 0x8002000c (no free entry: "no idle
 * block"); 0x80020001 (NULL name). */
OS_MSG_API uint32_t IPCMsgAddQid(const char *name);
/* Frees the first entry named name. 0; 0x8002000d (no head: "get shm
 * error"; or the directory lock stays taken); 0x80020005 ("not found this
 * queue"); 0x80020001 (NULL name). */
OS_MSG_API uint32_t IPCMsgDelQid(const char *name);

/* The segment that IPCMsgInitShmHead obtains, IPC_MSG_SHM_HEAD_SIZE bytes
 * that outlive every user, or NULL (the default: this platform has none). A
 * carrier that has shared memory sets it before the first directory call. */
void IPCMsgSetShmSegment(void *segment);

/* Publishes head, a directory already laid out in shared memory, as the
 * process's head (NULL forgets it); path names its file in the log lines
 * (copied; NULL for none). Called by the socket carrier when it attaches to
 * and detaches from the run directory's segment, while no directory
 * operation runs. */
void IPCMsgAttachShmHead(IpcMsgShmHead *head, const char *path);

/* How a carrier takes a name in the directory (see IPCMsgClaimQid). */
typedef struct IpcMsgClaimOps {
    /* Takes name for the calling process, under the directory lock, or
     * refuses it (logged) because a live process holds it; listedPid is the
     * queue id the directory lists under name (0 when none). A result code;
     * on failure nothing is listed. */
    uint32_t (*take)(void *arg, uint32_t listedPid);
    /* Whether the process that listed name still runs; asked, under the
     * directory lock, for every entry whose process id still exists when
     * the directory is full (the id may now be another process's). */
    bool (*alive)(void *arg, const char *name);
    void *arg;
} IpcMsgClaimOps;

/* Claims name for the calling process, atomically across processes: under
 * the directory lock, frees the entries whose process is gone, lets
 * ops->take decide (it tells a live owner from a dead one), and when it
 * succeeds lists name with the caller's queue (IPCMsgNewQid): in name's
 * entry, taking a dead owner's over, or in a free one; when none is free,
 * entries whose owners ops->alive finds gone are freed first. take's code
 * when it refuses (nothing listed); the codes of IPCMsgAddQid (0x8002000d
 * also when the directory lock stays taken). */
uint32_t IPCMsgClaimQid(const char *name, const IpcMsgClaimOps *ops);

/* Frees the entry named name if it lists queue qid (the caller's own entry,
 * never a successor's), waiting at most waitMs for the directory lock. 0;
 * 0x80020005 when no such entry is listed; 0x8002000d without a head or
 * when the lock stays taken (logged; the entry stays until a later claim
 * finds its owner gone). */
uint32_t IPCMsgReleaseQid(const char *name, uint32_t qid, uint32_t waitMs);

#ifdef __cplusplus
}

namespace rebuildmsg {
class MsgRebuildRecvData;
}

/* The process's slice collector for carriers that receive payloads in slices.
 * Created by the first IPCMsgStartServer together with the server context,
 * under the transport's creation lock, and never destroyed; NULL before. */
extern rebuildmsg::MsgRebuildRecvData *rebuildEntry;
#endif

#endif /* VYRE_IPC_MSG_H */

/*
 * Event subscription and broadcast delivery.
 *
 * The subscription table maps each event message id to the list of its
 * subscriber records (at most MSG_SUB_MAX_PER_ID per id). Subscription
 * requests (message MSG_ID_SUBSCRIBE) add and remove records; broadcast
 * requests (message MSG_ID_BROADCAST) carry events that are handed, one
 * header per matching subscriber, to the registered broadcast function.
 *
 * Thread safety: g_subscribeMutex (recursive) guards the table, every list in
 * it and every subscriber record. It is the innermost lock of this subsystem
 * and is held while the broadcast function runs, so that function may take
 * the in-process task table lock, but must not wait for another thread that
 * needs g_subscribeMutex and must not change the subscription table.
 * MsgCreateSubscribeTable and MsgDestroySubscribeTable run on the thread that
 * initialises or tears down the process, while no other operation of this
 * header runs. Everything else may be called from any thread; in the process
 * the broadcast task's thread applies requests one at a time.
 *
 * Received payloads are untrusted: every count, length and block size is
 * checked against the payload length before it is used.
 */
#ifndef VYRE_MSG_BROADCAST_H
#define VYRE_MSG_BROADCAST_H

#include <stdint.h>

#include "containers/zem_hash.h"
#include "containers/zem_list.h"
#include "vyre_os_lock.h"
#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Request layouts (host byte order, no alignment: read fields with memcpy)
 * ------------------------------------------------------------------------- */

/*
 * MsgSubReq, the payload of a MSG_ID_SUBSCRIBE message:
 *   byte 0          op: non-zero subscribe, 0 unsubscribe
 *   bytes 1-4       count: number of entries, unsigned 32-bit
 *   5 + 56 * i      entry i, a MsgSubEntry (56 bytes)
 */
#define MSG_SUB_REQ_OP_OFFSET 0U
#define MSG_SUB_REQ_COUNT_OFFSET 1U
#define MSG_SUB_REQ_ENTRY_OFFSET 5U
#define MSG_SUB_ENTRY_SIZE 56U
/* Shortest request that is looked at: one whole entry. */
#define MSG_SUB_REQ_MIN_LEN (MSG_SUB_REQ_ENTRY_OFFSET + MSG_SUB_ENTRY_SIZE)
/* Subscriber records kept per message id. */
#define MSG_SUB_MAX_PER_ID 2048U

/*
 * MsgBroReq, the payload of a MSG_ID_BROADCAST message: this fixed head, then
 * num blocks back to back. A block is a fixed part of blockSize bytes that
 * begins like a MsgBroEntry (taskName, msgId, dataLen at offsets 0, 16, 20),
 * followed by dataLen bytes of event data when dataLen is positive. The
 * MsgBroEntry.data word is copied verbatim and means nothing to a receiver.
 */
typedef struct MsgBroReq {
    uint32_t num;       /* number of blocks */
    uint32_t blockSize; /* size of every block's fixed part */
} MsgBroReq;

#define MSG_BRO_REQ_HEAD_SIZE 8U
/* The block size this library writes. */
#define MSG_BRO_BLOCK_SIZE 32U
/* Smallest block size a receiver accepts. */
#define MSG_BRO_MIN_BLOCK_SIZE 28U
/* Shortest request that is looked at. */
#define MSG_BRO_REQ_MIN_LEN 36U

/* ---------------------------------------------------------------------------
 * Subscription table
 * ------------------------------------------------------------------------- */

/*
 * The value stored per message id. A subscriber record is a whole MsgHead:
 * sendCpuId / sendProcName / sendTaskName name the subscriber (where events
 * go), msgId the event, recvCpuId / recvProcName / recvTaskName the publisher.
 * Other fields are carried from the request header and never read; data is
 * never followed. subList holds private copies made by ListDupSubscribeNode
 * and released by MsgFreeNode, in the order they were added; it is never
 * empty while the id is in the table.
 */
typedef struct MsgSubscribeIdList {
    uint32_t msgId;
    ZemList subList;
} MsgSubscribeIdList;

/*
 * How a subscriber record is kept: the MsgHead first (the list's word is the
 * record's address, so it reads as a MsgHead), then its place in two indexes
 * of the whole table, which let a request find a repeated subscription and
 * the record an unsubscription removes without walking the list:
 *   by the repeat key (msgId, publisher CPU, subscriber and publisher process
 *   and task names): at most one record per key;
 *   by the unsubscribe key (msgId, subscriber CPU, process and task, publisher
 *   CPU and task): records with the same key are chained in list order, and
 *   the index holds the first of each chain.
 */
typedef struct MsgSubRecord {
    MsgHead head;
    ZemListNode *node;             /* its node in the id's subList */
    struct MsgSubRecord *nextSame; /* the next record with the same unsubscribe key */
    struct MsgSubRecord *lastSame; /* in the first record of a chain: its last one */
} MsgSubRecord;

/* message id (as a signed 32-bit key) -> MsgSubscribeIdList; NULL without a
 * table. Its bucket array grows and shrinks with the number of ids, so a
 * look-up stays short however many ids are subscribed. Guarded by
 * g_subscribeMutex; set and cleared only by creation and destruction. */
extern ZemHashTable *g_subscribeTable;
/* Recursive: delivery calls out to the broadcast function while holding it.
 * Valid only while g_subscribeTable is set. */
extern OsMutex g_subscribeMutex;

/* Creates the table with the given bucket count and initialises its mutex.
 * 0; 0x80020003 when a table exists; 0x8002001e when the hash table cannot be
 * created (nothing is left allocated). */
OS_MSG_API uint32_t MsgCreateSubscribeTable(uint32_t buckets);

/* Releases every subscriber record, id list and the table, then destroys the
 * mutex. Without a table it only logs. */
OS_MSG_API void MsgDestroySubscribeTable(void);

/*
 * Applies one subscription request: every entry that lies wholly inside the
 * payload and names a publisher on localCpuId is added (op non-zero) or
 * removed (op 0); entries for other CPUs are skipped with a log line. The
 * caller keeps the header and payload; nothing of them is kept.
 * 0 once length and count are valid, whatever each entry's outcome (that is
 * only logged); 0x80020001 for a NULL header or payload, a length of 60 or
 * less, or a count of 0.
 */
OS_MSG_API uint32_t MsgRecvSubData(const MsgHead *head, const void *payload, uint32_t length, uint32_t localCpuId);

/* One step of MsgRecvSubData: add or remove one subscriber record. */
typedef uint32_t (*MsgSubscribeOp)(const MsgHead *record);

/*
 * Walks the first count entries of a request (fewer when the payload ends
 * first) and applies op to each, with one working copy of head: msgId and the
 * publisher fields come from the entry, recvCpuId is localCpuId, and a
 * non-empty subTaskName replaces sendTaskName for this and every later entry
 * of the request that leaves its own empty. Always 0.
 */
OS_MSG_API uint32_t MsgSubscribeData(const MsgHead *head, const uint8_t *payload, uint32_t length, uint32_t count,
                                     uint32_t localCpuId, MsgSubscribeOp op);

/*
 * Adds a copy of record to the list of record->msgId unless an equal record
 * is listed (then 0, WARN "repeate subscribe" and nothing changes). Constant
 * time apart from the growth of the table and its indexes. 0; 0x80020004
 * without a table; 0x80020007 when the id already has MSG_SUB_MAX_PER_ID
 * subscribers; 0x80020020 when memory is short (the table is then as it was:
 * no empty id list, no record left half made). The caller keeps record.
 */
OS_MSG_API uint32_t MsgAddSubscribe(const MsgHead *record);

/*
 * Removes the first listed record of record->msgId with the same subscriber
 * (CPU, process, task) and the same publisher CPU and task; the publisher
 * process is not compared, and an empty subscriber or publisher task name in
 * record matches nothing. Removing the last record removes the id. Constant
 * time. 0 (also when nothing matches or the id is unknown); 0x80020004
 * without a table.
 */
OS_MSG_API uint32_t MsgDelSubscribe(const MsgHead *record);

/* 1 when list holds a record with the same subscriber process and task, the
 * same publisher CPU, process and task and the same msgId (the subscriber CPU
 * is not compared), else 0; logs WARN "repeate subscribe" on a repeat. Walks
 * the list; the table's own adds use the index instead. The caller holds
 * g_subscribeMutex. */
OS_MSG_API uint32_t MsgIsNodeRepeate(ZemList *list, const MsgHead *record);

/* Calls visit(record, arg) for every subscriber record of the table (the
 * record's fields as MsgSubscribeIdList describes them), ids in table order,
 * each id's records in the order they were added, with g_subscribeMutex
 * held: visit may only copy what it needs, and must not call into the
 * library. 0; 0x80020004 without a table. For inspection only; never on the
 * message path. Internal: not exported. */
uint32_t MsgVisitSubscriptions(void (*visit)(const MsgHead *record, void *arg), void *arg);

/* The id list of msgId, or NULL when the id has no subscribers. The caller
 * holds g_subscribeMutex. Internal: not exported. */
MsgSubscribeIdList *MsgSubscribeFindIdList(uint32_t msgId);

/* The containers keep the addresses of id lists and records as words. */
static inline void *MsgWordToPtr(ZemWord word) {
    return (void *)word; // NOLINT(performance-no-int-to-ptr): the word holds an address the library stored.
}

/* The subscriber record at a position of a subList. */
static inline const MsgHead *MsgSubscriberAt(const ZemListNode *pos) {
    return (const MsgHead *)MsgWordToPtr(ZEM_ListIterData(pos));
}

/* List hooks of every subList: a tracked MsgSubRecord holding a copy of the
 * MsgHead that word points to, not yet indexed (0 when memory is short), and
 * its release. */
OS_MSG_API ZemWord ListDupSubscribeNode(ZemWord word);
OS_MSG_API void MsgFreeNode(ZemWord word);

/* ---------------------------------------------------------------------------
 * Broadcast delivery
 * ------------------------------------------------------------------------- */

/* Receives each matched event as a header addressed to one subscriber. It
 * runs on the delivering thread with g_subscribeMutex held (see above). The
 * header and the data it points to are valid only during the call: the same
 * header is reused for the next subscriber, and data points into the request
 * payload, which the function must not write. The result is not used. */
typedef uint32_t (*MsgBroadcastFunc)(MsgHead *head);

/*
 * Packs n events into a new broadcast payload: head->dataLen and head->data
 * then describe it, and the caller releases it with OSMemTypeFreeMon after
 * sending. An event with an empty taskName is packed under defaultTask when
 * one is given; a defaultTask of 16 characters or more ends the packing at
 * that block, whose name stays empty, and the blocks after it stay zero (the
 * result is still 0). A negative dataLen is packed as given, with no data
 * bytes. The caller keeps entries and their data.
 * 0; 0x80020001 for a NULL head, a NULL array with n > 0, or an entry with a
 * positive dataLen and no data; 0x8002000b when the payload plus a header
 * would exceed OS_MSG_MAX_MSG_SIZE; 0x80020020 when memory is short. On
 * failure nothing is allocated and head is unchanged.
 */
OS_MSG_API uint32_t MsgSetBroadcastData(MsgHead *head, const MsgBroEntry *entries, uint32_t n, const char *defaultTask);

/*
 * Unpacks a broadcast request and delivers its events in order
 * (MsgDealBroadcastInner). The caller keeps header and payload; delivered
 * headers point into the payload only during the broadcast function's call.
 * 0x80020001 for a NULL header or payload, a length of 35 or less, a num of 0
 * or a blockSize below 28; otherwise MsgDealBroadcastInner's result.
 */
OS_MSG_API uint32_t MsgRecvBroadcastData(const MsgHead *head, void *payload, uint32_t length);

/*
 * Delivers the num blocks of payload one by one through MsgBroadcastEvent.
 * Each event carries the request header's sender process fields, the block's
 * taskName, msgId and dataLen, and its data inside the payload. A block with
 * a negative dataLen carries no data: its event has no data and keeps the
 * negative dataLen, so a broadcast function must go by the missing data
 * (MsgBroadcastCallback delivers such an event with no payload).
 * The last event's result (earlier failures are only logged); 0 for num 0;
 * 0x80020004 without a table or broadcast function; 0x80020001 for a
 * blockSize below 28 or when the blocks or their data run past length (the
 * events before that point have been delivered).
 */
OS_MSG_API uint32_t MsgDealBroadcastInner(const MsgHead *head, uint32_t blockSize, void *payload, uint32_t length,
                                          uint32_t num);

/*
 * Hands one event (sendUid, sendPid, sendCpuId, sendProcName, sendTaskName,
 * msgId, dataLen, data of event) to every subscriber of event->msgId whose
 * publisher CPU and task equal the event's sender CPU and task (process
 * names are not compared). Runs the broadcast function under
 * g_subscribeMutex. 0 (also without subscribers); 0x80020004 without a table
 * or broadcast function; 0x8002000e when a sender name does not fit 16 bytes
 * with its terminator.
 */
OS_MSG_API uint32_t MsgBroadcastEvent(const MsgHead *event);

/* One subscriber against one event: on a match, addresses outgoing (which
 * holds the event's sender fields) to the subscriber and calls the broadcast
 * function. A subscriber whose names do not fit is skipped. The caller holds
 * g_subscribeMutex. */
OS_MSG_API void MsgCmpBroadcast(const MsgHead *subscriber, const MsgHead *event, MsgHead *outgoing);

/* Registers where matched events go; it stays registered for the life of the
 * process. 0; 0x80020001 for NULL. Any thread. */
OS_MSG_API uint32_t MsgSetBroadcastFunc(MsgBroadcastFunc func);

/* Sees each event of a broadcast request once, after it was handed to its
 * subscribers (also when it has none), on the delivering thread with no lock
 * of this subsystem held: the event's sender fields, msgId, and data/dataLen
 * (no data for an event without payload), valid only during the call. */
typedef void (*MsgBroadcastTap)(const MsgHead *event);

/* Sets the tap (NULL: none); a tap that was replaced may be called once more
 * by a delivery in progress, so it must stay safe to call. Costs a delivery
 * one load when none is set. Any thread. Internal: not exported. */
void MsgSetBroadcastTap(MsgBroadcastTap tap);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_BROADCAST_H */

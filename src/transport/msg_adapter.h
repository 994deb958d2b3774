/*
 * The transport adapter: the table of nine operation slots through which the
 * messaging core reaches whatever carries messages to other processes and
 * CPUs, the send side that calls those slots, and the receive entry through
 * which a transport hands received messages to the in-process task queues.
 *
 * The core never calls a transport directly. A transport fills the table at
 * start-up (MsgAdpPrepareTrans, then MsgAdpRegFunc once per slot); routing
 * hands every message that leaves the process to PMsgAsynSend, PMsgSynSend or
 * PMsgSendResp; the process lifecycle drives the server and client slots.
 *
 * Thread safety. The table is written during process initialisation, before
 * any sender runs, and read without a lock by every sending thread
 * afterwards: each slot is one atomic word, the operation published with
 * release and read with acquire, so a reader sees either the empty slot or a
 * complete registration. The receive side takes no lock of its own; the
 * queue operations it calls lock the task table and the queue. Logging uses
 * the library's own line (MSG_LOG).
 */
#ifndef VYRE_MSG_ADAPTER_H
#define VYRE_MSG_ADAPTER_H

#include <stdint.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Transport message types: how a message travels and how the receive entry
 * delivers it.
 * ------------------------------------------------------------------------- */

/* Asynchronous message: into the receiver task's queue. */
#define MSG_TRANS_ASYN 1U
/* Synchronous request: queued like an asynchronous message; the receiver
 * answers with a response. */
#define MSG_TRANS_SYN 2U
/* Response: into the response slot of the requester (its sendTaskName). */
#define MSG_TRANS_SYN_RESP 3U
/* Subscription or broadcast request: into the receiver task's queue with the
 * payload as received. */
#define MSG_TRANS_SUB_BRO 4U

/* ---------------------------------------------------------------------------
 * The operation table
 *
 * One contract per slot. An empty slot makes its caller return 0 (a null
 * handle for slot 7), except slots 0 and 8: a send through an empty slot 0
 * fails with 0x80020004 and "client not init.", and a cross-CPU send through
 * an empty slot 8 fails with 0x80020004 and "cross cpu send not supported."
 * (a transport that serves one CPU only need not register slot 8).
 * ------------------------------------------------------------------------- */

/* Slot 0: sends head to process destProcName (16 bytes) on this CPU with the
 * transport message type transType. Returns a result code. The transport
 * copies the payload (head->dataLen bytes at head->data) before it returns;
 * the caller keeps head and the payload. May rewrite fields of head. */
#define MSG_ADP_SLOT_SEND 0U
/* Slot 1: starts the process's transport server under the own process name.
 * Result code. */
#define MSG_ADP_SLOT_START_SERVER 1U
/* Slot 2: stops the server. Its result carries no meaning. */
#define MSG_ADP_SLOT_STOP_SERVER 2U
/* Slot 3: runs the server on the calling thread; blocks while it runs.
 * Result code. */
#define MSG_ADP_SLOT_JOIN_SERVER 3U
/* Slot 4: prepares the client side; a non-zero result fails initialisation. */
#define MSG_ADP_SLOT_INIT_CLIENT 4U
/* Slot 5: releases the client side. Result code. */
#define MSG_ADP_SLOT_UNINIT_CLIENT 5U
/* Slot 6: hands the transport a named client handle. Result code. */
#define MSG_ADP_SLOT_SET_CLIENT_HANDLE 6U
/* Slot 7: the server's handle, or NULL. */
#define MSG_ADP_SLOT_GET_SERVER_HANDLE 7U
/* Slot 8: as slot 0, for a receiver on another CPU. */
#define MSG_ADP_SLOT_SEND_CPU 8U
/* Number of slots; valid slot numbers are 0 to MSG_ADP_SLOT_NUM - 1. */
#define MSG_ADP_SLOT_NUM 9U

typedef uint32_t (*MsgAdpSendFunc)(const char *destProcName, uint32_t transType, MsgHead *head);
typedef uint32_t (*MsgAdpStartServerFunc)(const char *procName);
typedef uint32_t (*MsgAdpControlFunc)(void);
typedef uint32_t (*MsgAdpSetClientHandleFunc)(const char *name, void *handle);
typedef void *(*MsgAdpGetServerHandleFunc)(void);

/* The operation of one slot. The member that matches the slot number is the
 * one read: send for slots 0 and 8, startServer for 1, control for 2 to 5,
 * setClientHandle for 6, getServerHandle for 7. A typed union rather than an
 * untyped pointer, so a registration states the operation's signature. */
typedef union MsgAdpFunc {
    MsgAdpSendFunc send;
    MsgAdpStartServerFunc startServer;
    MsgAdpControlFunc control;
    MsgAdpSetClientHandleFunc setClientHandle;
    MsgAdpGetServerHandleFunc getServerHandle;
} MsgAdpFunc;

/* A registration record: slot number and operation (NULL empties the slot). */
typedef struct MsgAdpFuncReg {
    uint32_t funcId;
    MsgAdpFunc func;
} MsgAdpFuncReg;

/* Clears all nine slots (DEBUG "prepare adapt func."), then registers
 * MsgBroadcastCallback as the broadcast function of the subscription layer
 * and returns that registration's result. Called during process
 * initialisation before any send. */
OS_MSG_API uint32_t MsgAdpPrepareTrans(void);

/* Stores reg's operation in slot reg->funcId, replacing what was there (DEBUG
 * "reg func [%u]."). 0; 0x80020001 for a NULL record or a slot number above
 * 8 (the table is unchanged). Called during process initialisation. */
OS_MSG_API uint32_t MsgAdpRegFunc(const MsgAdpFuncReg *reg);

/* ---------------------------------------------------------------------------
 * Send side
 * ------------------------------------------------------------------------- */

/* Sends head through slot 8 when crossCpu is non-zero, else slot 0, to the
 * process in head->recvProcName. The slot's result; 0x80020004 when the slot
 * is empty; 0x80020001 for a NULL head. The caller keeps head and its
 * payload; the transport may rewrite fields of head (the loopback transport
 * rewrites recvProcName). */
OS_MSG_API uint32_t PMsgAsynSend(MsgHead *head, uint32_t transType, uint32_t crossCpu);

/* Sends the request head (transport type transType, normally 2) and waits at
 * most timeout ms (0 selects 30,000) for its response in the response slot of
 * the task head->sendTaskName, which must be registered. Slot 8 is used when
 * sendCpuId differs from recvCpuId, else slot 0.
 * 0 and, when respOut is not NULL, *respOut = the response header (a
 * MsgHead *; it stays in the requester's slot until SimpleMsgFreeRespBuffer
 * of sendTaskName). 0x80020001 (head NULL), 0x80020004 (slot empty),
 * 0x80020005 (the requester is not a registered task), the transport's code
 * (the wait is closed), 0x80020015 (time-out), other codes of the wait. The
 * caller keeps head and its payload; head may be rewritten by the
 * transport. */
OS_MSG_API uint32_t PMsgSynSend(MsgHead *head, void **respOut, uint32_t timeout, uint32_t transType);

/* Answers request (as received by the responder's callback) with the len
 * bytes at buf, back to the requester's process (request->sendProcName) and
 * task (request->sendTaskName), as transport type 3. Slot 8 when sendCpuId
 * differs from recvCpuId (msgKind then 2), else slot 0. The slot's result;
 * 0x80020004 when the slot is empty; 0x80020001 for a NULL request. The
 * caller keeps request and buf. */
OS_MSG_API uint32_t PMsgSendResp(const MsgHead *request, void *buf, uint32_t len);

/* ---------------------------------------------------------------------------
 * Messages with cargo (a shared buffer, descriptors)
 *
 * A transport that can carry cargo registers one more operation beside the
 * table: the send of slot 0 with the cargo, which it takes in every case
 * (kept by the message once delivered or sent, released otherwise). Without
 * one, or for a receiver on another CPU, such a message is refused with
 * 0x80020011. Internal: not exported.
 * ------------------------------------------------------------------------- */
struct MsgCargo;
typedef uint32_t (*MsgAdpCargoSendFunc)(const char *destProcName, uint32_t transType, MsgHead *head,
                                        struct MsgCargo *cargo);
/* Registers (or, with NULL, removes) the cargo send; called by the
 * transport's registration, before any send. */
void MsgAdpSetCargoSend(MsgAdpCargoSendFunc func);
/* PMsgAsynSend of a message with cargo, which it takes in every case. */
uint32_t PMsgAsynSendCargo(MsgHead *head, uint32_t transType, struct MsgCargo *cargo);
/* PMsgSynSend of a request with cargo, which it takes in every case. */
uint32_t PMsgSynSendCargo(MsgHead *head, void **respOut, uint32_t timeout, uint32_t transType, struct MsgCargo *cargo);
/* MsgAdpTransact of a message with cargo: on 0 the message's queue owns buf
 * and cargo (buf is the cargo's shared buffer, or a message buffer for a
 * cargo without one); otherwise the caller still owns both. A response
 * (type 3) cannot carry cargo: 0x80020001. */
uint32_t MsgAdpTransactCargo(int32_t transType, const void *head, uint32_t headLen, void *buf, uint32_t bufLen,
                             uint32_t pid, uint32_t uid, struct MsgCargo *cargo);

/* As PMsgAsynSend, for a sender that chose to wait for room at the receiver
 * at most waitMs: the transport waits for room (woken when there is some)
 * instead of refusing at once with 0x80020007. */
uint32_t PMsgAsynSendTimed(MsgHead *head, uint32_t transType, uint32_t crossCpu, uint32_t waitMs);

/* How long the send now running on the calling thread may wait for room at
 * the receiver, in milliseconds: the time-out of the synchronous request that
 * PMsgSynSend, or of the message that PMsgAsynSendTimed, is handing to the
 * transport; 0 for every other send. Read by transports. */
uint32_t MsgAdpSendWaitMs(void);

/* True while the send now running on the calling thread is one whose sender
 * chose to wait (PMsgAsynSendTimed, MsgAdpSendWaitMs being its time-out,
 * which may be 0): a transport that delivers within the process waits for
 * room in the receiver's queue only then. */
bool MsgAdpSendWaitChosen(void);

/* Lifecycle operations: each calls its slot with its arguments and returns
 * the slot's result, or 0 (NULL for PMsgGetServerHandle) when the slot is
 * empty. PMsgJoinServer blocks while the server runs. */
OS_MSG_API uint32_t PMsgStartServer(const char *procName);
OS_MSG_API uint32_t PMsgJoinServer(void);
OS_MSG_API uint32_t PMsgStopServer(void);
OS_MSG_API uint32_t PMsgInitClient(void);
OS_MSG_API uint32_t PMsgUninitClient(void);
OS_MSG_API uint32_t PMsgSetClientHandle(const char *name, void *handle);
OS_MSG_API void *PMsgGetServerHandle(void);

/* Checked forms of the handle operations. MsgAdpSetClientHandle: 0x80020001
 * for a NULL ("input name null.") or empty ("input name empty.") name,
 * 0x80020004 ("msg not init") while the library is not initialised, else
 * PMsgSetClientHandle's result. MsgAdpGetServerHandle: NULL ("msg not init")
 * while the library is not initialised, else PMsgGetServerHandle's result. */
OS_MSG_API uint32_t MsgAdpSetClientHandle(const char *name, void *handle);
OS_MSG_API void *MsgAdpGetServerHandle(void);

/* 1 when head is given, its sendCpuId differs from recvCpuId and the own
 * process name differs from the board-support process name; otherwise 0. */
OS_MSG_API uint32_t MsgAdpCheckMscSend(const MsgHead *head);

/* ---------------------------------------------------------------------------
 * Receive side
 * ------------------------------------------------------------------------- */

/* A pid or uid argument of MsgAdpTransact that keeps the header's value. */
#define MSG_ADP_ABSENT_ID 0xFFFFFFFFU

/*
 * The receive entry of every transport. head/headLen: the received header
 * bytes (untrusted, any length, need not be aligned); only the first 164 are
 * read, and the header's data word is never taken from them. buf/bufLen: the
 * payload buffer, obtained with MsgGetBuffByHead (a message buffer of bufLen
 * bytes). pid/uid replace the header's sendPid/sendUid unless
 * MSG_ADP_ABSENT_ID (0xFFFFFFFF).
 *
 * Dispatches by transType: 1 and 2 into the queue of recvTaskName, 3 into the
 * response slot of sendTaskName, 4 into the queue of recvTaskName with the
 * payload as received.
 *
 * 0: the message is delivered and buf belongs to its queue or slot from now
 * on. For types 1 to 3 a message with bufLen 0 or no buf carries no payload,
 * and a buf given with bufLen 0 is then not taken; type 4 carries buf and
 * bufLen exactly as given. Otherwise the caller still owns buf and releases
 * it with
 * MsgReleaseBuffByHead: 0x80020001 (head NULL, headLen below 164, transType
 * outside 1..4), 0x8002000e (header copy failed), the code of the queue push
 * (0x80020005 no such task, 0x80020007 queue full, codes of the response
 * slot). Any thread; takes no lock of its own.
 */
OS_MSG_API uint32_t MsgAdpTransact(int32_t transType, const void *head, uint32_t headLen, void *buf, uint32_t bufLen,
                                   uint32_t pid, uint32_t uid);

/* Most messages MsgAdpTransactBatch takes at once. */
#define MSG_ADP_BATCH_MAX 32U

/*
 * Delivers count (at most MSG_ADP_BATCH_MAX) asynchronous messages (type 1)
 * that one transport read received together, in order, each exactly as
 * MsgAdpTransact delivers it (same header handling, logs and results):
 * heads[i] is the received header (its data word is not read) and
 * bufs[i]/lens[i] its payload buffer (NULL/0 for none); pid/uid as for
 * MsgAdpTransact. Consecutive messages for the same task enter its queue
 * under one lock, waking its loop only when it sleeps. heads are overwritten with
 * the delivered headers.
 *
 * 0 with *done = count when every message was delivered (every buffer
 * belongs to its queue). Otherwise the code of the first message refused
 * (logged as MsgAdpTransact logs it) with *done its index: the buffers of
 * the messages before it belong to their queues, the caller keeps its
 * buffer and those after it, and nothing after it was delivered.
 */
uint32_t MsgAdpTransactBatch(MsgHead *heads, void *const *bufs, const uint32_t *lens, uint32_t count, uint32_t pid,
                             uint32_t uid, uint32_t *done);

/* Turns a received asynchronous message or request (its header as
 * received, buf/len its payload buffer) into the header its queue takes,
 * exactly as MsgAdpTransact with pid and uid would before its push: data
 * and dataLen then name the payload, and the queue is that of its
 * recvTaskName. False, and head unchanged, for a message that goes to the
 * board-support task instead. For a transport that holds messages back and
 * hands them to SimpleMsgPushBatch later. */
bool MsgAdpPrepareQueued(MsgHead *head, void *buf, uint32_t len, uint32_t pid, uint32_t uid);

/* Dispatches a received header copy by transType to the handlers below; the
 * handler's result, 0x80020001 for a type outside 1..4 (nothing delivered).
 * head is the receive entry's private copy and may be changed. Ownership of
 * buf as for MsgAdpTransact. */
OS_MSG_API uint32_t MsgAdpProc(int32_t transType, MsgHead *head, void *buf, uint32_t bufLen);

/* The delivery handlers; each returns the result of its queue push and takes
 * buf only on success. A message that came from another CPU into a process
 * that is the board-support process is redirected, unchanged, into the
 * board-support task's queue.
 * MsgAdpDealRcvASynMsg: converts mscBlock for a cross-CPU message, maps both
 * CPU ids to virtual ids, pushes into recvTaskName's queue (no payload when
 * bufLen is 0 or buf is NULL).
 * MsgAdpDealRcvSynResp: converts mscBlock for a cross-CPU message, stores the
 * response in the slot of sendTaskName (no payload when bufLen is 0 or buf is
 * NULL).
 * MsgAdpDealRcvSubBroadcast: pushes into recvTaskName's queue with buf and
 * bufLen as given. */
OS_MSG_API uint32_t MsgAdpDealRcvASynMsg(MsgHead *head, void *buf, uint32_t bufLen);
OS_MSG_API uint32_t MsgAdpDealRcvSynResp(MsgHead *head, void *buf, uint32_t bufLen);
OS_MSG_API uint32_t MsgAdpDealRcvSubBroadcast(MsgHead *head, void *buf, uint32_t bufLen);

/* How long the broadcast task waits for room in one subscriber's queue
 * before that subscriber loses the event, in milliseconds. */
#define MSG_BRO_DELIVER_WAIT_MS 2000U

/* The broadcast function of the subscription layer: sends one event, already
 * addressed to one subscriber, as an asynchronous message through slot 0.
 * When the broadcast task is handling a request whose event lies in a
 * shared buffer (its cargo is marked MSG_CARGO_BROADCAST), the event goes
 * out as that buffer, with a reference of its own, through the cargo send.
 * When the subscriber's queue is full it waits for room, up to
 * MSG_BRO_DELIVER_WAIT_MS, so a slow subscriber slows the events down
 * (and, through the broadcast task's queue, their publishers) instead of
 * losing them; after that the event is dropped for this subscriber (ERROR
 * "event 0x%x for [%.16s] dropped: queue full."). An event whose data is
 * missing goes out without a payload. 0 without sending when sendCpuId
 * differs from recvCpuId; else the send's result. Runs under the
 * subscription table's lock and takes the task table's lock inside; the
 * caller's header is not changed. */
OS_MSG_API uint32_t MsgBroadcastCallback(MsgHead *head);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_ADAPTER_H */

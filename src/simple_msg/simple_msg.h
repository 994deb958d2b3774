/*
 * In-process task messaging: the process-wide task table, one bounded ring of
 * message nodes per task with a semaphore and a loop thread, the message
 * buffers that carry payloads inside the process, synchronous request and
 * response through one response slot per task, the direct call of a task that
 * sends to itself, and the listings and dump of pending messages.
 *
 * Thread safety. Any thread may call any operation unless its comment says
 * otherwise; callbacks run with no library lock held. The locks, and the order
 * in which one thread may hold them:
 *
 *   simpleQueueLock  recursive, one per process; guards the table and every
 *                    look-up-then-use of a record. Taken before any lock of a
 *                    record and before timeOutListLock.
 *   timeOutListLock  recursive, one per process; guards the slow-handling
 *                    records. Taken after simpleQueueLock.
 *   (no lock)        a record's ring: producers and the loop hand nodes over
 *                    through its slot numbers (simple_msg_ring.h). A push to
 *                    a receiver its thread found before runs pinned, without
 *                    simpleQueueLock; any other push runs under it. Removal
 *                    and the listings hold pinned pushes off (with
 *                    simpleQueueLock held) before they release a record or
 *                    read its nodes.
 *   respLock         plain, one per record; guards the response slot. A
 *                    synchronous requester holds its own respLock while it
 *                    takes simpleQueueLock to push its request, so a thread
 *                    that holds simpleQueueLock only ever tries a respLock
 *                    (responders, freeing, removal), never blocks on it.
 *
 * Results are the codes of vyre_os_msg.h. Every refusal is logged once, where
 * it is detected, as a platform log record of module "OS_MSG".
 */
#ifndef VYRE_SIMPLE_MSG_H
#define VYRE_SIMPLE_MSG_H

#include <stdint.h>

#include "containers/zem_hash.h"
#include "shared_buf/msg_cargo.h"
#include "shared_buf/sbuf_hold.h"
#include "simple_msg/simple_msg_ring.h"
#include "simple_msg/simple_msg_stats.h"
#include "vyre_os_lock.h"
#include "vyre_os_msg.h"
#include "vyre_os_sem.h"
#include "vyre_os_thread.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Ring capacity of a task registered with queue length 0. */
#define SIMPLE_MSG_DEFAULT_QUEUE_LEN 1024U
/* A callback that takes at least this many milliseconds is recorded. */
#define SIMPLE_MSG_SLOW_HANDLING_MS 3000U
/* The slow-handling list keeps at most this many records, newest first. */
#define SIMPLE_MSG_SLOW_RECORDS_MAX 101U

/* enRespStatus values. */
#define SIMPLE_MSG_RESP_IDLE 0U
#define SIMPLE_MSG_RESP_WAITING 1U
#define SIMPLE_MSG_RESP_STORED 2U
/* The request was refused by its receiver: respRefusal holds the code. */
#define SIMPLE_MSG_RESP_REFUSED 3U

/* State a loop thread keeps on its own stack; a removal that runs inside the
 * task's own callback marks it so that the loop ends without touching the
 * released record. */
typedef struct SimpleTaskLoopCtx {
    uint32_t removed;
} SimpleTaskLoopCtx;

/*
 * One task. Owned by the table (obtained zero-filled from the tracked
 * allocator, released by removal). The table's key is its own copy of the
 * name. Which lock guards which field:
 */
typedef struct SimpleMsgTask {
    /* 1 registered and usable; 0 being removed. Written under simpleQueueLock,
     * read by the loop thread without a lock: accessed atomically. */
    uint32_t state;
    char acTaskName[OS_MSG_NAME_LEN]; /* fixed at registration */
    /* Non-zero while the task has a byte bound (byteLimit): a push reads it
     * beside state, in what was padding, so an unbounded task pays one load
     * of a line it reads anyway. Accessed atomically. */
    uint32_t byteLimited;
    /* Written under simpleQueueLock, read by the loop thread without a lock:
     * accessed atomically. */
    OsMsgTaskFunc func;
    /* The callback with the application's pointer (SimpleMsgRegTaskEx), set
     * instead of func. Written under simpleQueueLock, user before funcEx;
     * read by the serving thread without a lock: accessed atomically. */
    OsMsgTaskFuncEx funcEx;
    void *user;
    /* The thread in the task loop, 0 when none. Set by the loop thread (and by
     * SimpleTaskRoutineByName under simpleQueueLock), cleared by the loop when
     * it leaves; accessed atomically. SimpleTaskHandleSome holds it the same
     * way for the length of one call. */
    OsThread threadId;
    /* Semaphore of the loop's sleep: posted by the producer that finds the
     * loop announced asleep, and by removal. */
    OsSem msgSem;
    /* The pending messages; its capacity is the task's queue length (0 once
     * removed). Pushes and the loop use it without a lock; removal releases
     * its storage once no loop runs on it any more. */
    SimpleMsgRing ring;
    SimpleMsgTaskCounters counters; /* relaxed atomics, see simple_msg_stats.h */
    uint32_t enRespStatus;          /* respLock (simpleQueueLock for the direct call) */
    MsgHead respHead;               /* respLock: the stored response */
    OsMutex respLock;
    OsCond respCond;      /* monotonic clock; signalled when a response is stored */
    uint32_t autoUnreg;   /* non-zero: removed when its response is freed */
    uint32_t token;       /* respLock: msgId of the request waited on */
    uint32_t respRefusal; /* respLock: the code of a refused request (SIMPLE_MSG_RESP_REFUSED) */

    /* respLock: set by removal once the slot is reset; a requester that finds
     * it set leaves with 0x80020005 and never waits again. */
    uint32_t respClosed;
    /* Threads that use the record's slot without simpleQueueLock (between
     * SimpleMsgWaitSynRespStart and the end of the wait, or inside
     * SimpleMsgGetRespBuffer). Raised under simpleQueueLock while state is 1,
     * lowered with respLock held; accessed atomically. Removal destroys the
     * slot only once it is 0. */
    uint32_t respUsers;
    OsThread delOwner; /* simpleQueueLock: thread running the removal, 0 none */
    /* Who waits for room in the ring (bits of simple_msg_layer.h): a push
     * that found it full while a room hook is set (SimpleMsgSetRoomHook),
     * whose bit the loop clears when it calls the hook, once the ring has
     * drained to a quarter; threads in SimpleMsgWaitRoom, whose bit the loop
     * clears when it wakes them, at the next message it takes. Accessed
     * atomically. */
    uint32_t roomWanted;
    SimpleTaskLoopCtx *loopCtx; /* read and written by the loop thread only */
    /* The byte bound (0: none) and what counts against it: payload bytes of
     * the messages queued since it was set (each node remembers what it was
     * charged, so a bound set or changed meanwhile stays exact) and the
     * shared buffers the task holds (bufAccount). Atomics; the limit is
     * written under simpleQueueLock. */
    uint64_t byteLimit;
    uint64_t queuedBytes;
    uint64_t refusedBytes; /* pushes the bound refused */
    /* The shared buffers the task holds (sbuf_hold.h); forgotten by removal. */
    SbufAccount bufAccount;
    /* The descriptor of a task served from an application's poll loop
     * (SimpleTaskOpenFd), -1 without one: producers that take the consumer's
     * sleep signal it instead of posting msgSem. Set once, under
     * simpleQueueLock while no thread serves the task; closed by removal
     * with pushes held off. Accessed atomically. */
    int32_t wakeFd;
    /* Non-zero once the descriptor is the carrier's (SimpleTaskServeOnReceive):
     * the task is served by the receive thread, and this is the carrier's
     * number for that service. Written under simpleQueueLock with wakeFd,
     * read by pushes without it: accessed atomically. */
    uint32_t onReceive;
    /* 1 once a thread has served the task (its loop, or a handling call);
     * accessed atomically. */
    uint32_t everServed;
    /* 1 once the warning that the queue fills with no thread serving it was
     * given; accessed atomically. */
    uint32_t unservedWarned;
    /* respLock: the task that the request this task waits on went to, for
     * the explanation of a time-out. */
    char waitingFor[OS_MSG_NAME_LEN];
} SimpleMsgTask;

/* A callback call that took SIMPLE_MSG_SLOW_HANDLING_MS or more. */
typedef struct SimpleMsgTimeOutInfo {
    char acTaskName[OS_MSG_NAME_LEN];   /* the handling task (recvTaskName) */
    char sendProcName[OS_MSG_NAME_LEN]; /* the message's sender */
    char sendTaskName[OS_MSG_NAME_LEN];
    uint32_t msgId;
    uint32_t intervalTime; /* milliseconds the callback took */
} SimpleMsgTimeOutInfo;

/* ---------------------------------------------------------------------------
 * Layer and table
 * ------------------------------------------------------------------------- */

/* Marks the layer initialised, then initialises simpleQueueLock and
 * timeOutListLock. Always 0. Called once per life of the layer, before any
 * other operation, while no other thread uses the layer. */
OS_MSG_API uint32_t SimpleMsgInitPthreadMutex(void);
/* Takes both locks, marks the layer uninitialised, releases and destroys
 * them. Call after SimpleMsgDestroyQueue, while no other thread uses the
 * layer. */
OS_MSG_API void SimpleMsgUninitPthreadMutex(void);
/* 1 while the layer is initialised, else 0. */
OS_MSG_API uint32_t SimpleMsgCheckInit(void);

/* Creates the task table with bucketCount buckets and starts an empty
 * slow-handling list (records of an earlier life are forgotten, not released).
 * 0; 0x80020013 when the table exists; 0x8002001e when it cannot be made. */
OS_MSG_API uint32_t SimpleMsgCreateQueue(uint32_t bucketCount);
/* Removes every task (waiting, without limit, for each loop thread to leave)
 * and destroys the table. Logs and returns when there is no table. Must not
 * be called from a task's callback while other tasks' loops wait for it. */
OS_MSG_API void SimpleMsgDestroyQueue(void);
/* Looks a task up by name (at most 15 characters count). Takes no lock: the
 * caller holds simpleQueueLock around the look-up and every use of *task.
 * 0 and the record; 0x80020004 (no table), 0x80020001 (no name), 0x80020005
 * (no such task, not logged). *task is NULL on failure. */
OS_MSG_API uint32_t SimpleMsgGetQueue(const char *taskName, SimpleMsgTask **task);

/* Registers a task with a ring of queueLen messages (0 selects 1024) and the
 * callback (may be NULL). For a name that is registered: installs the
 * callback when the task has none and one is given (0), else 0x80020013 and
 * nothing changes. 0x80020001 (no name), 0x80020004 (no table), 0x8002001e
 * (table insert failed), 0x8002000e (name of 16 or more characters),
 * 0x80020020 (no memory). A failed registration leaves nothing behind. */
OS_MSG_API uint32_t SimpleMsgRegTask(const char *taskName, uint32_t queueLen, OsMsgTaskFunc func, uint32_t autoUnreg);
/* SimpleMsgRegTask with a callback that gets user on every call (never
 * NULL here); a task registered with either kind of callback has one. Same
 * results. Internal: not exported. */
uint32_t SimpleMsgRegTaskEx(const char *taskName, uint32_t queueLen, OsMsgTaskFuncEx funcEx, void *user);
/* SimpleMsgRegTask(taskName, 1, NULL, autoUnreg) for a synchronous sender's
 * own task, with the same results and log lines; a thread that registered
 * or found the name before, while no entry of the table changed since,
 * skips simpleQueueLock and gets 0x80020013 at once, unless the line
 * "reg[%s] already exist." would be logged. taskName is a 16-byte name
 * field (such as a header's sendTaskName). */
uint32_t SimpleMsgRegRequester(const char *taskName, uint32_t autoUnreg);
/* Removes a task: a waiting requester is woken with a failure, its loop
 * thread is made to leave (up to three tries of at most one second each),
 * then its pending payloads and its ring are released. 0; 0x80020001 (no
 * name); 0x80020005 (not registered); 0x8002001c (the loop still runs, or
 * another thread is removing the task: the record stays, with state 0,
 * refusing every push, and keeps its pending messages until a later removal
 * succeeds). May be called from the task's own callback. */
OS_MSG_API uint32_t SimpleMsgUnregTask(const char *taskName);

/* Registration steps, called by SimpleMsgRegTask with simpleQueueLock held.
 * SimpleMsgAddTask: inserts a zero-filled record under name; 0, 0x80020004,
 * 0x80020020, 0x8002001e. SimpleMsgSetTask: fills the record and obtains its
 * ring; 0, 0x8002000e, 0x80020020 (the caller then drops the entry). */
OS_MSG_API uint32_t SimpleMsgAddTask(const char *taskName, SimpleMsgTask **task);
OS_MSG_API uint32_t SimpleMsgSetTask(SimpleMsgTask *task, const char *taskName, uint32_t queueLen, OsMsgTaskFunc func);
/* Removes one record; the caller holds simpleQueueLock exactly once, and it
 * is released and taken again inside while the loop thread or a requester
 * has to make progress. On success the record is released and erased, and
 * *next (when next is not NULL) is the table position that followed it.
 * Results as SimpleMsgUnregTask. */
OS_MSG_API uint32_t SimpleMsgDelTask(SimpleMsgTask *task, ListNode **next);

/* Writes the name of the calling thread's task into out (outSize bytes, 16
 * needed): the registered task (state 1) whose loop runs on threadId or whose
 * name is the caller's default name "T<kernel thread id>" (result 1), else
 * that default name (result 0). Also 1, with out untouched, when the default
 * name cannot be formatted. */
OS_MSG_API uint32_t SimpleMsgGetTaskInfoByTid(OsThread threadId, char *out, uint32_t outSize);

/* ---------------------------------------------------------------------------
 * Buffers, push and task loop
 * ------------------------------------------------------------------------- */

/* A buffer of at least size bytes for a payload copy: from the message memory
 * pool when it is in use and size fits one chunk (NULL when the pool has no
 * free chunk), else from the tracked allocator. */
OS_MSG_API void *SimpleMsgAllocBuffer(uint32_t size);
/* Zeroes and gives back a buffer of SimpleMsgAllocBuffer; size must be the
 * size it was obtained with (it decides where the buffer goes). NULL is
 * ignored. */
OS_MSG_API void SimpleMsgReleaseBuffer(void *buffer, uint32_t size);

/* Copies head into the next ring slot of task taskName, with data/dataLen
 * replaced by payload/len, and wakes the task's loop when it sleeps. On success the node
 * owns payload (a buffer of SimpleMsgAllocBuffer of len bytes, or NULL); on
 * failure the caller still does. 0; 0x80020005 (no such task or no table);
 * 0x80020007 (ring full, or the task is being removed). Allocates nothing. */
OS_MSG_API uint32_t SimpleMsgPushBuffer(const char *taskName, const MsgHead *head, void *payload, uint32_t len);
/* SimpleMsgPushBuffer of a message with cargo (NULL for none): on success
 * the node owns payload and cargo, on failure the caller still does. A task
 * with a byte bound is charged MsgCargoBytes(cargo, len), and refuses with
 * 0x80020007 a message that would take it past the bound (logged "task[%s]
 * byte bound reached, sendTask=%s."), unless it has nothing queued or held. Internal:
 * not exported. */
uint32_t SimpleMsgPushCargo(const char *taskName, const MsgHead *head, void *payload, uint32_t len, MsgCargo *cargo);
/* SimpleMsgAsynSend of a message with cargo, which it takes in every case
 * (released on failure): the payload is the cargo's shared buffer, passed as
 * it is (MsgCargoIsPayload), or else a copy of the dataLen bytes at data.
 * Internal. */
uint32_t SimpleMsgAsynSendCargo(const MsgHead *head, MsgCargo *cargo);
/* SimpleMsgSynSend of a request with cargo, taken in every case as by
 * SimpleMsgAsynSendCargo. Internal. */
uint32_t SimpleMsgSynSendCargo(const MsgHead *head, MsgCargo *cargo, MsgHead **out, uint32_t timeout);
/* SimpleMsgDirectCall with cargo, taken in every case: the callback can see
 * it as the message's (msg_delivery.h), and it is released when the callback
 * returns. Internal. */
uint32_t SimpleMsgDirectCallCargo(MsgHead *head, MsgCargo *cargo, MsgHead **out);
/* Sets the byte bound of task taskName (0 removes it). 0; the look-up's code.
 * Internal: OsMsgSetTaskByteLimit. */
uint32_t SimpleMsgSetByteLimit(const char *taskName, uint64_t bytes);
/* The byte figures of task taskName. 0; the look-up's code (0x80020005 also
 * for a task being removed). Internal: OsMsgGetTaskBufStats. */
uint32_t SimpleMsgGetBufStats(const char *taskName, OsMsgTaskBufStats *stats);
/* Runs fn(account, arg) with simpleQueueLock held, account being that of the
 * calling thread's task (the task whose loop runs on it, or the one named
 * after it), NULL for a thread that is no task. fn's result. Internal. */
uint32_t SimpleMsgWithThreadAccount(uint32_t (*fn)(SbufAccount *account, const void *arg), const void *arg);

/* Pushes heads[0..count) in order into task taskName's ring as
 * SimpleMsgPushBuffer would, each node's payload being that head's
 * data/dataLen, under one hold of simpleQueueLock (waking the loop, as a
 * single push does, only when it sleeps): a transport hands over a received
 * datagram's messages at once. Stops at the first message the ring does not take. Returns how
 * many were pushed (their payloads belong to the queue); the messages not
 * pushed are neither logged nor counted as refused: the caller pushes them
 * with SimpleMsgPushBuffer, which reports a refusal. 0 as well when there is
 * no such task. Allocates nothing. */
uint32_t SimpleMsgPushBatch(const char *taskName, const MsgHead *heads, uint32_t count);
/* Sets (hook) or clears (NULL) the function a task loop calls, on its own
 * thread with no lock held, when its ring has drained to a quarter after a push
 * found it full: a transport that holds back a connection's messages for a
 * full queue goes on as soon as there is room instead of retrying on a
 * timer. A loop may call the previous hook once more after it is replaced,
 * so the hook must stay safe to call after its owner closed. Any thread. */
void SimpleMsgSetRoomHook(void (*hook)(void));
/* Sends head to the task named by its recvTaskName: the dataLen bytes at data
 * are copied first (a message without data or with dataLen 0 carries none).
 * The caller keeps head and its payload. 0; 0x80020001 (head NULL);
 * 0x80020020 (no buffer for the copy); codes of SimpleMsgPushBuffer (the copy
 * is released then). */
OS_MSG_API uint32_t SimpleMsgAsynSend(const MsgHead *head);

/* Marks the calling thread as one whose pushes into a full queue are flow
 * control, not failures: a transport's receive thread, which holds the
 * message back until the task has room. Its refused pushes are logged at
 * DEBUG instead of ERROR (the transport says once when a task stays full).
 * Internal: not exported. */
void SimpleMsgMarkFullIsFlow(void);
/* Whether the calling thread is so marked. */
bool SimpleMsgFullIsFlow(void);

/* What SimpleMsgQueueRoom and SimpleMsgWaitRoom see in a task's queue. */
#define SIMPLE_MSG_ROOM_NONE 0U /* the ring is full */
#define SIMPLE_MSG_ROOM_FREE 1U /* the ring has room for a message */
#define SIMPLE_MSG_ROOM_GONE 2U /* no such task (or no table), or it is being removed */

/* Whether the queue of task taskName has room now. Logs nothing. Internal:
 * not exported. */
uint32_t SimpleMsgQueueRoom(const char *taskName);
/* As SimpleMsgQueueRoom, but when the queue is full it also asks the
 * task's loop for the room hook (SimpleMsgSetRoomHook) and looks again
 * after: SIMPLE_MSG_ROOM_NONE means the hook will come. For a transport that
 * offered a queue messages without a refused push asking for it. Internal:
 * not exported. */
uint32_t SimpleMsgAskRoom(const char *taskName);
/* Waits until the queue of task taskName has room or the task is gone, at
 * most waitMs milliseconds: what it saw last (SIMPLE_MSG_ROOM_NONE when the
 * time ran out). Looks again after a yield at first, then sleeps until the
 * task's loop takes a message (or the task is removed): the loop wakes it,
 * and pays nothing for it while no thread waits. On the receive thread,
 * in the callback of a task it serves, it only looks: the loop that would
 * make the room may be that very thread's. Logs nothing. Internal: not
 * exported. */
uint32_t SimpleMsgWaitRoom(const char *taskName, uint32_t waitMs);

/* A send that a full queue refuses with 0x80020007. */
typedef uint32_t (*SimpleMsgSendFunc)(MsgHead *head, uint32_t arg);
/* Sends a copy of head with send(copy, arg); while that is refused with
 * 0x80020007, waits for room in the queue of task head->recvTaskName and
 * sends a fresh copy again, for at most waitMs milliseconds in all. Each
 * attempt either queues the message or leaves nothing queued, so a caller
 * that gets 0 knows the message is queued once. The last send's result:
 * 0x80020007 when the time ran out or the task went away while full. The
 * caller keeps head. Internal: not exported. */
uint32_t SimpleMsgSendWaitingRoom(SimpleMsgSendFunc send, uint32_t arg, const MsgHead *head, uint32_t waitMs);

/* SimpleMsgSendWaitingRoom with a send that takes a context pointer, ctx,
 * besides arg. Internal. */
typedef uint32_t (*SimpleMsgSendCtxFunc)(MsgHead *head, uint32_t arg, void *ctx);
uint32_t SimpleMsgSendWaitingRoomCtx(SimpleMsgSendCtxFunc send, uint32_t arg, void *ctx, const MsgHead *head,
                                     uint32_t waitMs);

/* Runs the task loop on the calling thread until the task is removed: for
 * every queued message, oldest first, calls func with a copy of the node
 * (header and payload valid only during the call), releases the payload,
 * records slow calls and counts it; sleeps on msgSem only once the ring is
 * empty. A wake-up that finds nothing (removal's) logs "list empty.".
 * 0 when the task was removed; 0x80020001 (task NULL); 0x8002001d (the
 * semaphore wait failed). Exactly one thread runs the loop of a task. */
OS_MSG_API uint32_t SimpleTaskLoop(SimpleMsgTask *task);
/* Looks the task named by taskName (a C string) up and runs its loop on the
 * calling thread: the loop's result, or 0x80020005 when the task is not
 * registered or is being removed (also 0x80020004 / 0x80020001 of the
 * look-up), or 0x8002001c when another thread runs the task's loop already
 * or the task is served through its descriptor. */
OS_MSG_API uint32_t SimpleTaskRoutineByName(void *taskName);
/* SimpleTaskRoutineByName for the registration whose callback pointer is
 * user (SimpleMsgRegTaskEx): 0x80020005 also when the task now under that
 * name was registered otherwise, so a thread started for one registration
 * never serves a later one of the same name. Internal: not exported. */
uint32_t SimpleTaskRoutineOf(const char *taskName, const void *user);
/* SimpleTaskRoutineByName in two steps, for a library thread whose starter
 * waits until the loop is claimed: SimpleTaskClaimLoop looks the task up and
 * claims its loop for the calling thread (same results, *task the record),
 * SimpleTaskLoop then runs it on the same thread. Internal: not exported. */
uint32_t SimpleTaskClaimLoop(const char *taskName, SimpleMsgTask **task);

/* Gives task taskName a descriptor that is readable while messages wait in
 * its queue (an eventfd), or the one it has: *fd. From then on the task is
 * served by SimpleTaskHandleSome calls, not by a loop. 0; 0x80020005 (not
 * registered, or being removed); 0x8002001c (a thread runs its loop);
 * 0x8002000d (no descriptor could be made); look-up codes. Internal: not
 * exported. */
uint32_t SimpleTaskOpenFd(const char *taskName, int *fd);
/* Handles up to maxCount (above 0) queued messages of task taskName on the
 * calling thread, as its loop would, and returns without waiting: *handled
 * is how many. A task with a descriptor keeps it readable while messages
 * still wait. 0 (also when a callback removed the task); 0x80020005 (not
 * registered, or being removed); 0x8002001c (another thread serves the task
 * now, a thread runs its loop, or the caller is inside the task's own
 * callback); look-up codes. Internal: not exported. */
uint32_t SimpleTaskHandleSome(const char *taskName, uint32_t maxCount, uint32_t *handled);

/* Makes fd (an eventfd the carrier polls, now the task's to close at
 * removal) the descriptor of task taskName and marks the task served by the
 * carrier's receive thread, under the carrier's number serial (not 0). 0;
 * 0x80020003 (served that way already: fd is left to the caller); 0x80020005
 * (not registered, or being removed); 0x8002001c (a thread runs its loop, or
 * the application serves it through its descriptor); look-up codes.
 * Internal: not exported. */
uint32_t SimpleTaskServeOnReceive(const char *taskName, int fd, uint32_t serial);
/* Whether task taskName is served by the carrier's receive thread (false
 * when no such task). Internal: not exported. */
bool SimpleTaskServedOnReceive(const char *taskName);
/* SimpleTaskHandleSome for the task SimpleTaskServeOnReceive marked with
 * serial, run on the receive thread; 0x80020005, unlogged, once the name is
 * no such task any more (removed, or registered and served again). Internal:
 * not exported. */
uint32_t SimpleTaskHandleOnReceive(const char *taskName, uint32_t serial, uint32_t maxCount, uint32_t *handled);
/* The tasks served on the receive thread that pushes of the calling thread
 * (the receive thread, SimpleMsgMarkFullIsFlow) found asleep since the last
 * call: such a push leaves the task's descriptor alone and the receive loop
 * handles the task itself once its wait's events are done, which spares it
 * a round through the descriptor (a full list falls back to the signal).
 * Copies the names into names and forgets them; the count. Internal: not
 * exported. */
#define SIMPLE_MSG_OWED_MAX 8U
uint32_t SimpleMsgTakeOwed(char (*names)[OS_MSG_NAME_LEN]);
/* SimpleTaskHandleOnReceive for a task SimpleMsgTakeOwed named, whatever its
 * serial: its descriptor is not read (nothing signalled it for this push; a signal from
 * elsewhere only brings one handling call more). Internal: not exported. */
uint32_t SimpleTaskHandleOwed(const char *taskName, uint32_t maxCount, uint32_t *handled);

/* Records a callback call that took from t0 to t1 (milliseconds of
 * OsGetSysRunTime, unsigned difference) when it took 3000 ms or more: the
 * newest record goes first, the oldest beyond 101 is dropped. 0 (also when
 * nothing was recorded); 0x80020020 (no memory); 0x8002000e (a name field of
 * msg does not fit). */
OS_MSG_API uint32_t SetSimpleMsgTimeOut(const MsgHead *msg, uint32_t t0, uint32_t t1);
/* Free hook of the slow-handling list: releases one SimpleMsgTimeOutInfo. */
OS_MSG_API void SimpleMsgFreeNode(ZemWord record);

/* ---------------------------------------------------------------------------
 * Synchronous request and response
 *
 * At most one synchronous request per task name is outstanding at a time:
 * the slot belongs to the requester's record.
 * ------------------------------------------------------------------------- */

/* Arms the requester's slot: returns its record with respLock held (released
 * by SimpleMsgWaitSynRespEnd or SimpleMsgWaitSynRespEndNoCond, which must
 * follow on the same thread), or NULL when the task is not registered or is
 * being removed. */
OS_MSG_API SimpleMsgTask *SimpleMsgWaitSynRespStart(const char *taskName);
/* Sets the slot's token to head->msgId; the caller holds the record's
 * respLock. */
OS_MSG_API void SimpleMsgSetToken(SimpleMsgTask *task, const MsgHead *head);
/* Waits, with the record's respLock held since SimpleMsgWaitSynRespStart, for
 * the response to the request named by the token, at most timeout ms (0
 * selects 30000). 0 and *out = the stored response (owned by the slot until
 * SimpleMsgFreeRespBuffer); 0x80020005 (task NULL, or the task was removed
 * during the wait); 0x80020014 (time-out); 0x80020009 (other wait error);
 * the code SimpleMsgRefuseResp gave (the receiver refused the request).
 * Releases respLock in every case but task NULL. */
OS_MSG_API uint32_t SimpleMsgWaitSynRespEnd(SimpleMsgTask *task, MsgHead **out, uint32_t timeout);
/* Ends an armed request without waiting: releases respLock. 0; 0x80020005
 * for NULL. */
OS_MSG_API uint32_t SimpleMsgWaitSynRespEndNoCond(SimpleMsgTask *task);
/* Stores a response in the slot of the requester named by head->sendTaskName
 * (taskName is not used) and wakes it. On success the slot owns payload (a
 * buffer of SimpleMsgAllocBuffer of len bytes, or NULL); on failure the caller
 * still does. 0; the look-up's code; 0x80020017 (head->msgId is not the
 * request waited on); 0x80020018 (the slot does not wait, or its lock stayed
 * busy for 200 tries 10 ms apart). */
OS_MSG_API uint32_t SimpleMsgPushRespBuffer(const char *taskName, const MsgHead *head, void *payload, uint32_t len);
/* Ends the wait of the requester named by the 16-byte field taskName for
 * its request msgId with code instead of an answer (a receiver in another
 * process refused the request): its SimpleMsgWaitSynRespEnd returns code at
 * once. 0; the look-up's code; 0x80020017 (msgId is not the request waited
 * on, logged at DEBUG); 0x80020018 (the slot does not wait, or its lock
 * stayed busy for 200 tries 10 ms apart). Internal: not exported. */
uint32_t SimpleMsgRefuseResp(const char *taskName, uint32_t msgId, uint32_t code);
/* The stored response of task taskName, or NULL when none is stored. The
 * header stays in the slot until SimpleMsgFreeRespBuffer. */
OS_MSG_API MsgHead *SimpleMsgGetRespBuffer(const char *taskName);
/* Answers the request head (as received by the callback) with a copy of the
 * len bytes at data (none when data is NULL or len 0). The caller keeps data.
 * 0; 0x80020020; codes of SimpleMsgPushRespBuffer (the copy is released). */
OS_MSG_API uint32_t SimpleMsgRespSend(const MsgHead *head, const void *data, uint32_t len);
/* Releases the stored response of task taskName (logs, and still returns 0,
 * when none is stored); removes the task when it was registered with
 * autoUnreg. Waits for the slot's respLock without holding simpleQueueLock.
 * 0; 0x80020005 (not registered, or being removed). */
OS_MSG_API uint32_t SimpleMsgFreeRespBuffer(const char *taskName);
/* Sends head to another task of the process (recvTaskName) and waits for its
 * answer in the slot of head->sendTaskName, which must be registered. The
 * payload is copied; the caller keeps head and data. 0 and *out = the
 * response (free it with SimpleMsgFreeRespBuffer(sendTaskName)); 0x80020020;
 * 0x80020005 (requester not registered); codes of SimpleMsgPushBuffer and
 * SimpleMsgWaitSynRespEnd. */
OS_MSG_API uint32_t SimpleMsgSynSend(const MsgHead *head, MsgHead **out, uint32_t timeout);

/* Calls the callback of task head->recvTaskName inline on the calling thread
 * with the caller's own head and payload. 0 and *out = the task's slot, which
 * holds the answer given by SimpleMsgDirectResp, or the request header
 * without payload when the callback did not answer; 0x80020005 (not
 * registered, also when the callback removed its task); 0x80020008 (no
 * callback). A response of an earlier call that was never freed is released
 * when the slot is armed again. Runs no lock while the callback runs. */
OS_MSG_API uint32_t SimpleMsgDirectCall(MsgHead *head, MsgHead **out);
/* Answers a direct call from inside its callback with a copy of the len bytes
 * at data (none when data is NULL or len 0). 0; 0x80020005; 0x80020018 (no
 * direct call waits, or it was answered already); 0x80020020 (the slot keeps
 * waiting). */
OS_MSG_API uint32_t SimpleMsgDirectResp(const MsgHead *head, const void *data, uint32_t len);
/* Releases the answer of a direct call (head is the response, as handed out
 * by SimpleMsgDirectCall) and clears the slot's payload reference; removes the
 * task when it was registered with autoUnreg. 0 (also when nothing is
 * stored); 0x80020005. */
OS_MSG_API uint32_t SimpleMsgDirectFreeResp(const MsgHead *head);

/* ---------------------------------------------------------------------------
 * Inspection
 * ------------------------------------------------------------------------- */

/* Lists the pending messages of one task, oldest first, one line each, then
 * the closing line "Total:task[...] has N msg in list.\r\n", into buffer of
 * *length bytes. *length becomes the bytes of the message lines (the closing
 * line follows them, uncounted). The caller holds simpleQueueLock. */
OS_MSG_API void SimpleMsgGetInfo(SimpleMsgTask *task, char *buffer, uint32_t *length);
/* Lists task taskName, or, when no such task is registered, every
 * registered task one after the other, each with its closing line. *length:
 * in the space, out the bytes written. 0; 1 when a listing did not fit. */
OS_MSG_API uint32_t SimpleMsgGetAllMsgInfo(const char *taskName, char *buffer, uint32_t *length);
/* Writes the slow-handling records (newest first) and every task's pending
 * count to fd, framed by an opening and a closing line. */
OS_MSG_API void SimpleMsgDump(int fd);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SIMPLE_MSG_H */

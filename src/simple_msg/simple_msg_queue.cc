/*
 * Task queues: the push of a message into a task's ring, the asynchronous
 * in-process send, and the task loop that hands each message to the task's
 * callback on the task's own thread.
 *
 * Any number of threads push; exactly one thread runs the loop of a task and
 * is the ring's only consumer. The ring takes no lock (simple_msg_ring.h). A
 * push to a receiver the thread found before takes no lock either: it pins
 * itself (simple_msg_push_pin.cc), which keeps the record from being
 * released until the push is done. Any other push holds simpleQueueLock from
 * the look-up to the wake-up. A push wakes the consumer (posts msgSem, or
 * signals the task's descriptor) only when it announced that it sleeps. The
 * loop takes no lock: it handles every message queued,
 * then announces its sleep and waits; it runs the callback with no lock
 * held, and learns of removal through the record's state (or, when its own
 * callback removed the task, through its stack-held context). Neither path
 * allocates; the counters of simple_msg_stats.h are kept on both.
 *
 * A task with a descriptor has no loop: an application's thread calls
 * SimpleTaskHandleSome when the descriptor is readable, which takes the
 * loop's place for the length of the call (claiming threadId as the loop
 * does, so removal waits for it) and takes the same steps per message.
 */
#define MSG_MODULE "simple_msg"

#include <cstring>

#include "base/msg_fork_state.h"
#include "base/msg_monotonic.h"
#include "base/msg_names.h"
#include "base/msg_serve_mark.h"
#include "log/msg_log.h"
#include "shared_buf/msg_delivery.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_clock.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_securec.h"

namespace {

/* Set on a transport's receive thread (SimpleMsgMarkFullIsFlow). Initial-exec:
 * read on every push (see t_lookups in simple_msg_registry.cc). */
__attribute__((tls_model("initial-exec"))) thread_local bool g_simpleFullIsFlow = false;

/* Tasks served on the receive thread that a push of this thread found
 * asleep and did not wake (SimpleMsgTakeOwed); the receive thread's only. */
struct SimpleOwed {
    char names[SIMPLE_MSG_OWED_MAX][OS_MSG_NAME_LEN];
    uint32_t count;
};
__attribute__((tls_model("initial-exec"))) thread_local SimpleOwed t_simpleOwed = {};

/* A push of the receive thread that took the sleep of a task the receive
 * thread serves: the task is owed a handling by this thread instead of a
 * signal of its descriptor. false (the caller wakes it) for any other push,
 * or when the list is full. */
bool SimpleTaskOweHandling(const SimpleMsgTask *task) {
    if (!g_simpleFullIsFlow || __atomic_load_n(&task->onReceive, __ATOMIC_RELAXED) == 0U) {
        return false;
    }
    SimpleOwed &owed = t_simpleOwed;
    for (uint32_t i = 0U; i < owed.count; ++i) {
        if (std::memcmp(owed.names[i], task->acTaskName, OS_MSG_NAME_LEN) == 0) {
            return true;
        }
    }
    if (owed.count == SIMPLE_MSG_OWED_MAX) {
        return false;
    }
    std::memcpy(owed.names[owed.count++], task->acTaskName, OS_MSG_NAME_LEN);
    return true;
}

/* The room hook (SimpleMsgSetRoomHook); NULL while no transport asks. */
void (*g_simpleRoomHook)(void) = nullptr;

inline uint32_t SimpleTaskMs(uint64_t ns) {
    return static_cast<uint32_t>(ns / 1000000U);
}

/* Calls the callee on msg and times the call alone: *ns for the statistics
 * and, for a call that may be slow, *startMs and *endMs exactly on the
 * monotonic clock for the slow-handling record (both 0 for a call well below
 * it). Uses the cheap counter once it is ready (simple_msg_clock.h). */
void SimpleTaskTimedCall(const SimpleTaskCallee &callee, MsgHead *msg, uint64_t *ns, uint32_t *startMs,
                         uint32_t *endMs) {
    // A call the counter puts below this cannot have taken the slow time.
    constexpr uint64_t kMaybeSlowNs = SIMPLE_MSG_SLOW_HANDLING_MS * 1000000ULL / 3U;
    if (!SimpleMsgClockReady()) {
        const uint64_t t0 = MsgMonotonicNs();
        (void)SimpleTaskCall(callee, msg);
        const uint64_t t1 = MsgMonotonicNs();
        *ns = t1 - t0;
        *startMs = SimpleTaskMs(t0);
        *endMs = SimpleTaskMs(t1);
        return;
    }
    const uint64_t c0 = SimpleMsgClockTicks();
    (void)SimpleTaskCall(callee, msg);
    const uint64_t c1 = SimpleMsgClockTicks();
    *ns = SimpleMsgClockSpanNs(c0, c1);
    *startMs = 0U;
    *endMs = 0U;
    if (*ns >= kMaybeSlowNs) {
        SimpleMsgClockExactMs(c0, c1, startMs, endMs);
    }
}

/* Moves the oldest node into msg, with its cargo, and reads the callback;
 * false when the ring is empty. What the node was charged leaves the byte
 * bound's count here. The loop's steps log under the loop's own name. */
__attribute__((always_inline)) inline bool SimpleTaskTakeNode(SimpleMsgTask *task, const char *name, MsgHead *msg,
                                                              SimpleTaskCallee *callee, MsgCargo **cargo) {
    uint64_t position = 0;
    uint32_t charged = 0U;
    if (!SimpleMsgRingPopCargo(&task->ring, msg, &position, cargo, &charged)) {
        return false;
    }
    if (charged != 0U) {
        __atomic_fetch_sub(&task->queuedBytes, charged, __ATOMIC_RELAXED);
    }
    *callee = SimpleTaskGetCallee(task);
    if (MsgPlatformLogEnabled(OS_LOG_DEBUG)) { // both steps' records, asked once per message
        OS_MSG_LOG_AS("SimpleTaskLoop", OS_LOG_DEBUG, "thread[%s] begin read index=%d,num=%d.", name,
                      (int)(position % task->ring.capacity), (int)SimpleMsgRingPending(&task->ring) + 1);
        OS_MSG_LOG_AS("SimpleTaskLoop", OS_LOG_DEBUG, "thread[%s] got msg[0x%x] dataLen=%d.", name, msg->msgId,
                      (int)msg->dataLen);
    }
    return true;
}

/* The loop's side of the room hook and of waiting senders, after each
 * message taken: the flag word is read first, so a loop that nobody waits
 * on pays one load of a line it reads anyway. Waiting senders are woken at
 * once (one slot is all they need); the hook is called once the ring has
 * drained to a quarter rather than at the first free slot, so a transport
 * that holds messages back moves them in batches, not a message at a time,
 * while the quarter left keeps the loop busy until the transport's thread
 * has woken. Each call costs that thread a wake-up: into a queue of four,
 * calls at half moved two messages per wake-up and three at a quarter, and
 * a stream of frames across processes ran about 30% faster. */
inline void SimpleTaskOfferRoomFor(SimpleMsgTask *task, uint32_t wanted) {
    if (wanted == 0U) {
        return;
    }
    if ((wanted & SIMPLE_TASK_ROOM_WAITERS) != 0U &&
        (__atomic_fetch_and(&task->roomWanted, ~SIMPLE_TASK_ROOM_WAITERS, __ATOMIC_ACQ_REL) &
         SIMPLE_TASK_ROOM_WAITERS) != 0U) {
        SimpleMsgRoomNotify();
    }
    if ((wanted & SIMPLE_TASK_ROOM_HOOK) == 0U || SimpleMsgRingPending(&task->ring) * 4U > task->ring.capacity ||
        (__atomic_fetch_and(&task->roomWanted, ~SIMPLE_TASK_ROOM_HOOK, __ATOMIC_ACQ_REL) & SIMPLE_TASK_ROOM_HOOK) ==
            0U) {
        return;
    }
    void (*hook)(void) = __atomic_load_n(&g_simpleRoomHook, __ATOMIC_ACQUIRE);
    if (hook != nullptr) {
        hook();
    }
}

inline void SimpleTaskOfferRoom(SimpleMsgTask *task) {
    SimpleTaskOfferRoomFor(task, __atomic_load_n(&task->roomWanted, __ATOMIC_RELAXED));
}

/* As SimpleTaskOfferRoom, when a take found the ring empty and the loop is
 * about to sleep or to leave. A sender raises its flag with a read-modify-
 * write and then tries the ring again; the plain load after a take is not
 * ordered against that, so a flag raised during the last take could be
 * missed and its sender never woken. Read here with a read-modify-write of
 * its own, the flag word orders the two: either this sees the flag, or the
 * sender's write comes after this one and its retry sees the slot the take
 * freed. */
inline void SimpleTaskOfferRoomBeforeIdle(SimpleMsgTask *task) {
    SimpleTaskOfferRoomFor(task, __atomic_fetch_or(&task->roomWanted, 0U, __ATOMIC_SEQ_CST));
}

/* Calls the callback with no lock held and times the call alone, records
 * a slow call, counts the message and releases the payload and cargo the
 * node owned (a cargo is the callback's message's while it runs, for the
 * calls about it). Touches no record but the counters, which the caller
 * guarantees alive until the callback starts; after it, only ctx says
 * whether the record still exists. */
// Inlined into both consumers, the loop and a handling call: the loop's
// message costs no extra call for sharing it.
__attribute__((always_inline)) inline void SimpleTaskHandle(SimpleMsgTask *task, const SimpleTaskLoopCtx *ctx,
                                                            MsgHead *msg, const SimpleTaskCallee &callee,
                                                            MsgCargo *cargo) {
    void *payload = msg->data;
    uint32_t len = msg->dataLen;
    SimpleMsgCountBytes(&task->counters, len);
    if (!SimpleTaskCalleeSet(callee)) {
        SimpleMsgCountHandled(&task->counters, 0, 0U);
        SimpleMsgReleasePayload(payload, len, cargo);
        return;
    }
    uint64_t ns = 0U;
    uint32_t ms0 = 0U;
    uint32_t ms1 = 0U;
    if (cargo == nullptr) {
        SimpleTaskTimedCall(callee, msg, &ns, &ms0, &ms1);
    } else {
        MsgDelivery delivery;
        MsgDeliveryEnter(&delivery, msg, cargo);
        SimpleTaskTimedCall(callee, msg, &ns, &ms0, &ms1);
        MsgDeliveryLeave(&delivery);
    }
    // Below the threshold the record would be a no-op; skip the call.
    if (ms1 - ms0 >= SIMPLE_MSG_SLOW_HANDLING_MS && SetSimpleMsgTimeOut(msg, ms0, ms1) != OS_MSG_OK) {
        OS_MSG_LOG_AS("SimpleTaskLoop", OS_LOG_ERROR, "SetSimpleMsgTimeOut failed");
    }
    if (ctx->removed == 0U) {
        SimpleMsgCountHandled(&task->counters, 1, ns);
    }
    if (cargo == nullptr) {
        SimpleMsgReleaseBuffer(len != 0U ? payload : nullptr, len);
    } else {
        SimpleMsgReleasePayload(payload, len, cargo);
    }
}

/* Claims task taskName for one handling call of the calling thread, as its
 * loop is claimed, but leaves the look-up by thread alone: the thread names
 * itself with SimpleMsgServeBegin for the length of the call, which costs the
 * other threads' remembered look-ups nothing. serial says who asks: 0 an
 * application's handling call, which a task served on the receive thread
 * refuses; else the receive thread, for such a task only: the one it
 * serves under serial, or any (SIMPLE_TASK_SERVED_ANY). 0 and *claimed;
 * else the refusal, logged (not the receive thread's NOT_FOUND). */
constexpr uint32_t SIMPLE_TASK_SERVED_ANY = 0xFFFFFFFFU;
uint32_t SimpleTaskClaimHandling(const char *taskName, uint32_t serial, SimpleMsgTask **claimed) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleMsgGetQueue(taskName, &task);
    if (ret == OS_MSG_OK && SimpleTaskState(task) != 1U) {
        ret = OS_MSG_ERR_NOT_FOUND;
    }
    const uint32_t served = ret == OS_MSG_OK ? __atomic_load_n(&task->onReceive, __ATOMIC_RELAXED) : 0U;
    if (serial != 0U && (ret != OS_MSG_OK || served == 0U || (serial != SIMPLE_TASK_SERVED_ANY && served != serial))) {
        // The receive thread learns that the task it served went: not a fault.
        (void)OsMutexUnLock(&simpleQueueLock);
        return OS_MSG_ERR_NOT_FOUND;
    }
    // A task served on the receive thread has that thread alone.
    if (ret == OS_MSG_OK && (SimpleTaskThread(task) != 0 || (serial == 0U && served != 0U))) {
        ret = OS_MSG_ERR_TASK_BUSY;
    }
    if (ret != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG_AS("SimpleTaskHandleSome", OS_LOG_ERROR, "task[%.16s] %s.", SimpleMsgLogName(taskName),
                      ret == OS_MSG_ERR_TASK_BUSY
                          ? "is served by another thread (the receive thread, say), or the call comes from its callback"
                          : "not registered");
        return ret;
    }
    __atomic_store_n(&task->threadId, OsPthreadSelf(), __ATOMIC_RELEASE);
    __atomic_store_n(&task->everServed, 1U, __ATOMIC_RELAXED);
    (void)OsMutexUnLock(&simpleQueueLock);
    *claimed = task;
    return OS_MSG_OK;
}

/* What a push did, for its log lines, which are written once the record is
 * no longer in use. */
struct SimpleTaskPushed {
    bool accepted;
    bool overBytes;    // refused by the byte bound
    bool overFds;      // refused: too many descriptors wait in the process (msg_cargo.h)
    bool unserved;     // refused, and no thread has served the task yet
    bool warnUnserved; // accepted; no thread has served the task and its queue filled to half
    uint64_t position;
    uint32_t capacity;
    uint32_t pending;
};

/* A push into the ring; when it is full and a room hook is set, the loop is
 * asked for the hook and the push is tried once more, since the loop may
 * have taken a message between the first try and the request (the hook
 * would then never come for this push). */
bool SimpleTaskRingPush(SimpleMsgTask *task, const MsgHead *head, void *payload, uint32_t len, MsgCargo *cargo,
                        uint32_t charged, uint64_t *position) {
    if (SimpleMsgRingPushCargo(&task->ring, head, payload, len, cargo, charged, position, nullptr)) {
        return true;
    }
    if (__atomic_load_n(&g_simpleRoomHook, __ATOMIC_ACQUIRE) == nullptr) {
        return false;
    }
    __atomic_fetch_or(&task->roomWanted, SIMPLE_TASK_ROOM_HOOK, __ATOMIC_SEQ_CST);
    return SimpleMsgRingPushCargo(&task->ring, head, payload, len, cargo, charged, position, nullptr);
}

/* Counts bytes against a bounded task's bound: false (nothing counted) when
 * they would take it past the bound while it has something queued or
 * held. */
bool SimpleTaskChargeBytes(SimpleMsgTask *task, uint32_t bytes) {
    const uint64_t limit = __atomic_load_n(&task->byteLimit, __ATOMIC_RELAXED);
    const uint64_t held = SbufAccountBytes(&task->bufAccount);
    const uint64_t queued = __atomic_fetch_add(&task->queuedBytes, bytes, __ATOMIC_RELAXED);
    if (limit == 0U || queued + held == 0U || queued + held + bytes <= limit) {
        return true;
    }
    __atomic_fetch_sub(&task->queuedBytes, bytes, __ATOMIC_RELAXED);
    __atomic_fetch_add(&task->refusedBytes, 1U, __ATOMIC_RELAXED);
    return false;
}

/* Pushes into a record that the caller keeps alive (simpleQueueLock or a
 * pin): refused when the task is being removed, its ring is full or its
 * byte bound reached, or (with descriptors) descriptors crowd the process; counts
 * an accepted message and wakes a sleeping loop. A refusal is the caller's
 * to count. */
bool SimpleTaskPushNode(SimpleMsgTask *task, const MsgHead *head, void *payload, uint32_t len, MsgCargo *cargo,
                        SimpleTaskPushed *out) {
    out->capacity = task->ring.capacity;
    out->overBytes = false;
    out->unserved = false;
    out->warnUnserved = false;
    out->overFds =
        cargo != nullptr && cargo->fdCount != 0U && (cargo->flags & MSG_CARGO_HELD_BACK) == 0U && MsgCargoFdsCrowded();
    if (out->overFds) {
        out->accepted = false;
        return false;
    }
    uint32_t charged = 0U;
    if (__atomic_load_n(&task->byteLimited, __ATOMIC_RELAXED) != 0U) {
        charged = cargo != nullptr ? MsgCargoBytes(cargo, len) : len;
        out->overBytes = !SimpleTaskChargeBytes(task, charged);
        if (out->overBytes) {
            out->accepted = false;
            return false;
        }
    }
    out->accepted =
        SimpleTaskState(task) == 1U && SimpleTaskRingPush(task, head, payload, len, cargo, charged, &out->position);
    if (!out->accepted) {
        if (charged != 0U) {
            __atomic_fetch_sub(&task->queuedBytes, charged, __ATOMIC_RELAXED);
        }
        out->unserved = __atomic_load_n(&task->everServed, __ATOMIC_RELAXED) == 0U;
        return false;
    }
    // The pending count matters only when it may raise the high-water mark,
    // and so does the question whether anyone serves the queue.
    const uint32_t high = SimpleMsgHighWater(&task->counters);
    out->pending = SimpleMsgRingPendingBeyond(&task->ring, out->position, high);
    SimpleMsgCountAccepted(&task->counters, out->pending);
    if (out->pending > high && out->pending * 2U >= out->capacity &&
        __atomic_load_n(&task->everServed, __ATOMIC_RELAXED) == 0U &&
        __atomic_load_n(&task->unservedWarned, __ATOMIC_RELAXED) == 0U) {
        out->warnUnserved = __atomic_exchange_n(&task->unservedWarned, 1U, __ATOMIC_RELAXED) == 0U;
    }
    if (SimpleMsgRingTakeWake(&task->ring) && !SimpleTaskOweHandling(task)) {
        SimpleTaskWake(task);
    }
    return true;
}

/* SimpleTaskPushNode, counting a refusal. */
void SimpleTaskPush(SimpleMsgTask *task, const MsgHead *head, void *payload, uint32_t len, MsgCargo *cargo,
                    SimpleTaskPushed *out) {
    if (!SimpleTaskPushNode(task, head, payload, len, cargo, out)) {
        SimpleMsgCountRefused(&task->counters, SimpleTaskState(task) == 1U ? out->capacity : 0U);
    }
}

uint32_t SimpleTaskPushResult(const char *taskName, const MsgHead *head, uint32_t len, const SimpleTaskPushed &pushed) {
    if (pushed.overBytes || !pushed.accepted) {
        // A transport's receive thread holds the message back: no failure.
        const uint32_t level = g_simpleFullIsFlow ? OS_LOG_DEBUG : OS_LOG_ERROR;
        if (pushed.overFds) {
            OS_MSG_LOG_AS("SimpleMsgPushBuffer", level,
                          "task[%.16s] refused a message with descriptors: %u wait for this process's tasks, more "
                          "than a quarter of its descriptor limit; " MSG_CARGO_FDS_HELP ".",
                          head->recvTaskName, MsgCargoFdsHeld());
            return OS_MSG_ERR_FULL;
        }
        if (pushed.overBytes) {
            OS_MSG_LOG_AS("SimpleMsgPushBuffer", level, "task[%.16s] byte bound reached, sendTask=%.16s.",
                          head->recvTaskName, head->sendTaskName);
            return OS_MSG_ERR_FULL;
        }
        OS_MSG_LOG_AS("SimpleMsgPushBuffer", level,
                      "simple msg full. recvPro=%.8s,recvTask=%.16s, sendPro=%.16s,sendTask=%.16s%s",
                      head->recvProcName, head->recvTaskName, head->sendProcName, head->sendTaskName,
                      pushed.unserved ? " (no thread serves this task yet)" : "");
        return OS_MSG_ERR_FULL;
    }
    if (pushed.warnUnserved) {
        OS_MSG_LOG_AS("SimpleMsgPushBuffer", OS_LOG_WARN,
                      "task[%.16s] has %u of %u messages queued and no thread has served it yet: run "
                      "OsMsgTaskRoutineByName or OsMsgTaskHandle for it.",
                      taskName, pushed.pending, pushed.capacity);
    }
    // One question per push for both records: the second is written on every
    // push, whether or not the consumer needed waking.
    if (MsgPlatformLogEnabled(OS_LOG_DEBUG)) {
        OS_MSG_LOG_AS("SimpleMsgPushBuffer", OS_LOG_DEBUG, "[%.8s]push idx=%d. msgid=0x%x, dataLen=%u.", taskName,
                      (int)(pushed.position % pushed.capacity), head->msgId, len);
        OS_MSG_LOG_AS("SimpleMsgPushBuffer", OS_LOG_DEBUG, "SimpleMsgPushBuffer condsignal.");
    }
    return OS_MSG_OK;
}

/* The push of SimpleMsgPushBuffer and SimpleMsgPushCargo. */
uint32_t SimpleTaskPushCargo(const char *taskName, const MsgHead *head, void *payload, uint32_t len, MsgCargo *cargo) {
    if (head == nullptr) {
        OS_MSG_LOG_AS("SimpleMsgPushBuffer", OS_LOG_ERROR, "invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    SimpleTaskPushed pushed;
    if (taskName == head->recvTaskName && SimpleMsgPinPush()) {
        SimpleMsgTask *task = SimpleMsgRememberedQueue(taskName);
        if (task != nullptr) {
            SimpleTaskPush(task, head, payload, len, cargo, &pushed);
            SimpleMsgUnpinPush();
            return SimpleTaskPushResult(taskName, head, len, pushed);
        }
        SimpleMsgUnpinPush();
    }
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    if (SimpleMsgGetQueue(taskName, &task) != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG_AS("SimpleMsgPushBuffer", OS_LOG_ERROR, "SimpleMsgGetQueue NULL[%.8s].", SimpleMsgLogName(taskName));
        return OS_MSG_ERR_NOT_FOUND;
    }
    SimpleTaskPush(task, head, payload, len, cargo, &pushed);
    (void)OsMutexUnLock(&simpleQueueLock);
    return SimpleTaskPushResult(taskName, head, len, pushed);
}

} // namespace

extern "C" {

uint32_t SimpleMsgPushBuffer(const char *taskName, const MsgHead *head, void *payload, uint32_t len) {
    return SimpleTaskPushCargo(taskName, head, payload, len, nullptr);
}

uint32_t SimpleMsgPushCargo(const char *taskName, const MsgHead *head, void *payload, uint32_t len, MsgCargo *cargo) {
    return SimpleTaskPushCargo(taskName, head, payload, len, cargo);
}

uint32_t SimpleMsgAsynSend(const MsgHead *head) {
    if (head == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (head->dataLen == 0U || head->data == nullptr) {
        return SimpleMsgPushBuffer(head->recvTaskName, head, nullptr, 0U);
    }
    void *copy = SimpleMsgCopyBuffer(head->data, head->dataLen);
    if (copy == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "alloc failed.");
        return OS_MSG_ERR_NO_MEMORY;
    }
    uint32_t ret = SimpleMsgPushBuffer(head->recvTaskName, head, copy, head->dataLen);
    if (ret != OS_MSG_OK) {
        SimpleMsgReleaseBuffer(copy, head->dataLen);
    }
    return ret;
}

uint32_t SimpleMsgAsynSendCargo(const MsgHead *head, MsgCargo *cargo) {
    if (head == nullptr || cargo == nullptr) {
        MsgCargoRelease(cargo);
        OS_MSG_LOG(OS_LOG_ERROR, "invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    void *payload = MsgCargoIsPayload(cargo) ? head->data : nullptr;
    uint32_t len = head->data != nullptr ? head->dataLen : 0U;
    if (!MsgCargoIsPayload(cargo) && len != 0U) {
        payload = SimpleMsgCopyBuffer(head->data, len);
        if (payload == nullptr) {
            MsgCargoRelease(cargo);
            OS_MSG_LOG(OS_LOG_ERROR, "alloc failed.");
            return OS_MSG_ERR_NO_MEMORY;
        }
    }
    uint32_t ret = SimpleMsgPushCargo(head->recvTaskName, head, payload, len, cargo);
    if (ret != OS_MSG_OK) {
        SimpleMsgReleasePayload(payload, len, cargo);
    }
    return ret;
}

uint32_t SimpleTaskLoop(SimpleMsgTask *task) {
    if (task == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "null simpleQueue!");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    char name[OS_MSG_NAME_LEN];
    (void)memcpy_s(name, sizeof(name), task->acTaskName, sizeof(task->acTaskName));
    SimpleTaskLoopCtx ctx = {0U};
    task->loopCtx = &ctx;
    SimpleTaskSetThread(task, OsPthreadSelf());
    while (SimpleTaskState(task) != 0U) {
        MsgHead msg;
        SimpleTaskCallee callee;
        MsgCargo *cargo = nullptr;
        if (!SimpleTaskTakeNode(task, name, &msg, &callee, &cargo)) {
            SimpleTaskOfferRoomBeforeIdle(task);
            int32_t waitRet = SimpleMsgRingAwait(&task->ring, &task->msgSem);
            if (waitRet != 0) {
                OS_MSG_LOG(OS_LOG_ERROR, "pthread wait error[%d].", (int)waitRet);
                task->loopCtx = nullptr;
                SimpleTaskSetThread(task, 0);
                return OS_MSG_ERR_TASK_WAIT;
            }
            if (SimpleTaskState(task) == 0U || !SimpleTaskTakeNode(task, name, &msg, &callee, &cargo)) {
                OS_MSG_LOG_AS("SimpleTaskLoop", OS_LOG_WARN, "list empty.");
                continue;
            }
        }
        SimpleTaskOfferRoom(task);
        SimpleTaskHandle(task, &ctx, &msg, callee, cargo);
        if (ctx.removed != 0U) {
            // The callback removed its own task; the record is gone.
            OS_MSG_LOG(OS_LOG_DEBUG, "thread[%s] quit.", name);
            return OS_MSG_OK;
        }
        if (MsgForkedChild() != 0U) {
            // The callback forked and returned in the child: the queue and
            // the record are the parent's, and serving them here would run
            // its messages twice.
            OS_MSG_LOG(OS_LOG_ERROR, "thread[%s] quit: forked child.", name);
            return OS_MSG_ERR_FAIL;
        }
    }
    task->loopCtx = nullptr;
    // From here on removal may release the record.
    SimpleTaskSetThread(task, 0);
    OS_MSG_LOG(OS_LOG_DEBUG, "thread[%s] quit.", name);
    return OS_MSG_OK;
}

namespace {
/* Claims the loop of task name for the calling thread; with ofUser, only
 * when the task now under that name was registered with the callback
 * pointer user (a registration the caller knows), else OS_MSG_ERR_NOT_FOUND. */
uint32_t SimpleTaskClaimLoopAs(const char *name, bool ofUser, const void *user, SimpleMsgTask **claimed) {
    *claimed = nullptr;
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleMsgGetQueue(name, &task);
    if (ret == OS_MSG_OK && SimpleTaskState(task) != 1U) {
        ret = OS_MSG_ERR_NOT_FOUND;
    }
    // Both written under simpleQueueLock, which is held.
    if (ret == OS_MSG_OK && ofUser && (task->funcEx == nullptr || task->user != user)) {
        // A thread that came late for a registration that has gone: the
        // name is another registration's now, served by its own thread.
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG_AS("SimpleTaskRoutineByName", OS_LOG_WARN, "task[%s] was registered again: not this loop's.",
                      MsgNameCopy(SimpleMsgLogName(name)).text);
        return OS_MSG_ERR_NOT_FOUND;
    }
    if (ret != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG_AS("SimpleTaskRoutineByName", OS_LOG_FATAL, "task[%s] not get queue.",
                      MsgNameCopy(SimpleMsgLogName(name)).text);
        return ret;
    }
    if (SimpleTaskThread(task) != 0 || SimpleTaskWakeFd(task) >= 0) {
        // One loop per task: a second one would outlive the record, since
        // removal waits for one loop thread only; and a task served through
        // its descriptor never wakes a loop.
        const bool looping = SimpleTaskThread(task) != 0;
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG_AS("SimpleTaskRoutineByName", OS_LOG_ERROR, "task[%s] %s.", task->acTaskName,
                      looping ? "loop already running" : "is served through its descriptor");
        return OS_MSG_ERR_TASK_BUSY;
    }
    // Claimed under the lock, so a removal that follows waits for this loop.
    SimpleTaskSetThread(task, OsPthreadSelf());
    __atomic_store_n(&task->everServed, 1U, __ATOMIC_RELAXED);
    (void)OsMutexUnLock(&simpleQueueLock);
    *claimed = task;
    return OS_MSG_OK;
}
} // namespace

uint32_t SimpleTaskClaimLoop(const char *name, SimpleMsgTask **claimed) {
    return SimpleTaskClaimLoopAs(name, false, nullptr, claimed);
}

uint32_t SimpleTaskRoutineByName(void *taskName) {
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleTaskClaimLoop(static_cast<const char *>(taskName), &task);
    return ret == OS_MSG_OK ? SimpleTaskLoop(task) : ret;
}

uint32_t SimpleTaskRoutineOf(const char *taskName, const void *user) {
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleTaskClaimLoopAs(taskName, true, user, &task);
    return ret == OS_MSG_OK ? SimpleTaskLoop(task) : ret;
}

namespace {
/* SimpleTaskHandleSome, SimpleTaskHandleOnReceive and SimpleTaskHandleOwed
 * (serial as SimpleTaskClaimHandling's). */
uint32_t SimpleTaskHandleClaimed(const char *taskName, uint32_t serial, uint32_t maxCount, uint32_t *handled) {
    *handled = 0U;
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleTaskClaimHandling(taskName, serial, &task);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    char name[OS_MSG_NAME_LEN];
    (void)memcpy(name, task->acTaskName, sizeof(name));
    SimpleTaskLoopCtx ctx = {0U};
    task->loopCtx = &ctx;
    const char *previous = SimpleMsgServeBegin(name);
    // The mark stays up for a handling call nested in a served callback.
    const bool wasServing = MsgServeMarkSet(serial != 0U || MsgServingOnReceive());
    const int32_t fd = SimpleTaskWakeFd(task);
    // Drained before the ring is read, so that a later push signals again;
    // not for an owed handling, which no signal asked for.
    if (fd >= 0 && serial != SIMPLE_TASK_SERVED_ANY) {
        SimpleTaskFdDrain(fd);
    }
    while (*handled < maxCount && SimpleTaskState(task) != 0U) {
        MsgHead msg;
        SimpleTaskCallee callee;
        MsgCargo *cargo = nullptr;
        if (!SimpleTaskTakeNode(task, name, &msg, &callee, &cargo)) {
            SimpleTaskOfferRoomBeforeIdle(task);
            break;
        }
        SimpleTaskOfferRoom(task);
        SimpleTaskHandle(task, &ctx, &msg, callee, cargo);
        *handled += 1U;
        if (ctx.removed != 0U) {
            (void)MsgServeMarkSet(wasServing);
            SimpleMsgServeEnd(previous); // the callback removed its own task; the record is gone
            return OS_MSG_OK;
        }
    }
    if (fd >= 0 && SimpleTaskState(task) != 0U) {
        SimpleTaskFdArm(task, fd);
    }
    task->loopCtx = nullptr;
    // From here on removal may release the record.
    __atomic_store_n(&task->threadId, OsThread{0}, __ATOMIC_RELEASE);
    (void)MsgServeMarkSet(wasServing);
    SimpleMsgServeEnd(previous);
    return OS_MSG_OK;
}
} // namespace

uint32_t SimpleTaskHandleSome(const char *taskName, uint32_t maxCount, uint32_t *handled) {
    return SimpleTaskHandleClaimed(taskName, 0U, maxCount, handled);
}

uint32_t SimpleTaskHandleOnReceive(const char *taskName, uint32_t serial, uint32_t maxCount, uint32_t *handled) {
    return SimpleTaskHandleClaimed(taskName, serial, maxCount, handled);
}

uint32_t SimpleTaskHandleOwed(const char *taskName, uint32_t maxCount, uint32_t *handled) {
    return SimpleTaskHandleClaimed(taskName, SIMPLE_TASK_SERVED_ANY, maxCount, handled);
}

uint32_t SimpleMsgTakeOwed(char (*names)[OS_MSG_NAME_LEN]) {
    SimpleOwed &owed = t_simpleOwed;
    const uint32_t n = owed.count;
    std::memcpy(names, owed.names, n * OS_MSG_NAME_LEN);
    owed.count = 0U;
    return n;
}

uint32_t SimpleMsgPushBatch(const char *taskName, const MsgHead *heads, uint32_t count) {
    if (heads == nullptr || count == 0U) {
        return 0U;
    }
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    if (SimpleMsgGetQueue(taskName, &task) != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        return 0U;
    }
    // The first message refused ends the batch uncounted: the caller sends
    // it alone, which counts and reports the refusal.
    uint32_t pushed = 0U;
    for (SimpleTaskPushed one; pushed < count; ++pushed) {
        const MsgHead *head = &heads[pushed];
        if (!SimpleTaskPushNode(task, head, head->data, head->dataLen, nullptr, &one)) {
            break;
        }
        (void)SimpleTaskPushResult(taskName, head, head->dataLen, one);
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    return pushed;
}

void SimpleMsgMarkFullIsFlow(void) {
    g_simpleFullIsFlow = true;
}

bool SimpleMsgFullIsFlow(void) {
    return g_simpleFullIsFlow;
}

void SimpleMsgSetRoomHook(void (*hook)(void)) {
    __atomic_store_n(&g_simpleRoomHook, hook, __ATOMIC_RELEASE);
}

} // extern "C"

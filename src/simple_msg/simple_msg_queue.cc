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
 * the look-up to the wake-up. A push posts msgSem only when the loop
 * announced that it sleeps. The loop takes no lock: it handles every message queued,
 * then announces its sleep and waits; it runs the callback with no lock
 * held, and learns of removal through the record's state (or, when its own
 * callback removed the task, through its stack-held context). Neither path
 * allocates; the counters of simple_msg_stats.h are kept on both.
 */
#define MSG_MODULE "simple_msg"

#include "base/msg_monotonic.h"
#include "base/msg_names.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_clock.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_securec.h"

namespace {

/* The room hook (SimpleMsgSetRoomHook); NULL while no transport asks. */
void (*g_simpleRoomHook)(void) = nullptr;

inline uint32_t SimpleTaskMs(uint64_t ns) {
    return static_cast<uint32_t>(ns / 1000000U);
}

/* Calls func on msg and times the call alone: *ns for the statistics and,
 * for a call that may be slow, *startMs and *endMs exactly on the monotonic
 * clock for the slow-handling record (both 0 for a call well below it).
 * Uses the cheap counter once it is ready (simple_msg_clock.h). */
void SimpleTaskTimedCall(OsMsgTaskFunc func, MsgHead *msg, uint64_t *ns, uint32_t *startMs, uint32_t *endMs) {
    // A call the counter puts below this cannot have taken the slow time.
    constexpr uint64_t kMaybeSlowNs = SIMPLE_MSG_SLOW_HANDLING_MS * 1000000ULL / 3U;
    if (!SimpleMsgClockReady()) {
        const uint64_t t0 = MsgMonotonicNs();
        (void)func(msg);
        const uint64_t t1 = MsgMonotonicNs();
        *ns = t1 - t0;
        *startMs = SimpleTaskMs(t0);
        *endMs = SimpleTaskMs(t1);
        return;
    }
    const uint64_t c0 = SimpleMsgClockTicks();
    (void)func(msg);
    const uint64_t c1 = SimpleMsgClockTicks();
    *ns = SimpleMsgClockSpanNs(c0, c1);
    *startMs = 0U;
    *endMs = 0U;
    if (*ns >= kMaybeSlowNs) {
        SimpleMsgClockExactMs(c0, c1, startMs, endMs);
    }
}

/* Moves the oldest node into msg and reads func; false when the ring is
 * empty. The loop's steps log under the loop's own name. */
bool SimpleTaskTakeNode(SimpleMsgTask *task, const char *name, MsgHead *msg, OsMsgTaskFunc *func) {
    uint64_t position = 0;
    if (!SimpleMsgRingPop(&task->ring, msg, &position)) {
        return false;
    }
    *func = SimpleTaskFunc(task);
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
 * once (one slot is all they need); the hook is called at half rather than
 * at the first free slot, so a transport that holds messages back moves
 * them in batches, not a message at a time. */
inline void SimpleTaskOfferRoom(SimpleMsgTask *task) {
    uint32_t wanted = __atomic_load_n(&task->roomWanted, __ATOMIC_RELAXED);
    if (wanted == 0U) {
        return;
    }
    if ((wanted & SIMPLE_TASK_ROOM_WAITERS) != 0U &&
        (__atomic_fetch_and(&task->roomWanted, ~SIMPLE_TASK_ROOM_WAITERS, __ATOMIC_ACQ_REL) &
         SIMPLE_TASK_ROOM_WAITERS) != 0U) {
        SimpleMsgRoomNotify();
    }
    if ((wanted & SIMPLE_TASK_ROOM_HOOK) == 0U || SimpleMsgRingPending(&task->ring) * 2U > task->ring.capacity ||
        (__atomic_fetch_and(&task->roomWanted, ~SIMPLE_TASK_ROOM_HOOK, __ATOMIC_ACQ_REL) & SIMPLE_TASK_ROOM_HOOK) ==
            0U) {
        return;
    }
    void (*hook)(void) = __atomic_load_n(&g_simpleRoomHook, __ATOMIC_ACQUIRE);
    if (hook != nullptr) {
        hook();
    }
}

/* Calls the callback with no lock held and times the call alone, records
 * a slow call, counts the message and releases the payload the node owned.
 * Touches no record but the counters, which the caller guarantees alive
 * until the callback starts; after it, only ctx says whether the record
 * still exists. */
void SimpleTaskHandle(SimpleMsgTask *task, const SimpleTaskLoopCtx *ctx, MsgHead *msg, OsMsgTaskFunc func) {
    void *payload = msg->data;
    uint32_t len = msg->dataLen;
    if (func == nullptr) {
        SimpleMsgCountHandled(&task->counters, 0, 0U);
        SimpleMsgReleaseBuffer(len != 0U ? payload : nullptr, len);
        return;
    }
    uint64_t ns = 0U;
    uint32_t ms0 = 0U;
    uint32_t ms1 = 0U;
    SimpleTaskTimedCall(func, msg, &ns, &ms0, &ms1);
    // Below the threshold the record would be a no-op; skip the call.
    if (ms1 - ms0 >= SIMPLE_MSG_SLOW_HANDLING_MS && SetSimpleMsgTimeOut(msg, ms0, ms1) != OS_MSG_OK) {
        OS_MSG_LOG_AS("SimpleTaskLoop", OS_LOG_ERROR, "SetSimpleMsgTimeOut failed");
    }
    if (ctx->removed == 0U) {
        SimpleMsgCountHandled(&task->counters, 1, ns);
    }
    SimpleMsgReleaseBuffer(len != 0U ? payload : nullptr, len);
}

/* What a push did, for its log lines, which are written once the record is
 * no longer in use. */
struct SimpleTaskPushed {
    bool accepted;
    bool woke;
    uint64_t position;
    uint32_t capacity;
};

/* A push into the ring; when it is full and a room hook is set, the loop is
 * asked for the hook and the push is tried once more, since the loop may
 * have taken a message between the first try and the request (the hook
 * would then never come for this push). */
bool SimpleTaskRingPush(SimpleMsgTask *task, const MsgHead *head, void *payload, uint32_t len, uint64_t *position) {
    if (SimpleMsgRingPush(&task->ring, head, payload, len, position, nullptr)) {
        return true;
    }
    if (__atomic_load_n(&g_simpleRoomHook, __ATOMIC_ACQUIRE) == nullptr) {
        return false;
    }
    __atomic_fetch_or(&task->roomWanted, SIMPLE_TASK_ROOM_HOOK, __ATOMIC_SEQ_CST);
    return SimpleMsgRingPush(&task->ring, head, payload, len, position, nullptr);
}

/* Pushes into a record that the caller keeps alive (simpleQueueLock or a
 * pin): refused when the task is being removed or its ring is full; counts
 * an accepted message and wakes a sleeping loop. A refusal is the caller's
 * to count. */
bool SimpleTaskPushNode(SimpleMsgTask *task, const MsgHead *head, void *payload, uint32_t len, SimpleTaskPushed *out) {
    out->capacity = task->ring.capacity;
    out->woke = false;
    out->accepted = SimpleTaskState(task) == 1U && SimpleTaskRingPush(task, head, payload, len, &out->position);
    if (!out->accepted) {
        return false;
    }
    // The pending count matters only when it may raise the high-water mark.
    SimpleMsgCountAccepted(&task->counters,
                           SimpleMsgRingPendingBeyond(&task->ring, out->position, SimpleMsgHighWater(&task->counters)));
    if (SimpleMsgRingTakeWake(&task->ring)) {
        out->woke = true;
        (void)OsSemPost(&task->msgSem);
    }
    return true;
}

/* SimpleTaskPushNode, counting a refusal. */
void SimpleTaskPush(SimpleMsgTask *task, const MsgHead *head, void *payload, uint32_t len, SimpleTaskPushed *out) {
    if (!SimpleTaskPushNode(task, head, payload, len, out)) {
        SimpleMsgCountRefused(&task->counters, SimpleTaskState(task) == 1U ? out->capacity : 0U);
    }
}

uint32_t SimpleTaskPushResult(const char *taskName, const MsgHead *head, uint32_t len, const SimpleTaskPushed &pushed) {
    if (!pushed.accepted) {
        OS_MSG_LOG_AS("SimpleMsgPushBuffer", OS_LOG_ERROR,
                      "simple msg full. recvPro=%.8s,recvTask=%.16s, sendPro=%.16s,sendTask=%.16s", head->recvProcName,
                      head->recvTaskName, head->sendProcName, head->sendTaskName);
        return OS_MSG_ERR_FULL;
    }
    OS_MSG_LOG_AS("SimpleMsgPushBuffer", OS_LOG_DEBUG, "[%.8s]push idx=%d. msgid=0x%x, dataLen=%u.", taskName,
                  (int)(pushed.position % pushed.capacity), head->msgId, len);
    if (pushed.woke) {
        OS_MSG_LOG_AS("SimpleMsgPushBuffer", OS_LOG_DEBUG, "SimpleMsgPushBuffer condsignal.");
    }
    return OS_MSG_OK;
}

} // namespace

extern "C" {

uint32_t SimpleMsgPushBuffer(const char *taskName, const MsgHead *head, void *payload, uint32_t len) {
    if (head == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    SimpleTaskPushed pushed;
    if (taskName == head->recvTaskName && SimpleMsgPinPush()) {
        SimpleMsgTask *task = SimpleMsgRememberedQueue(taskName);
        if (task != nullptr) {
            SimpleTaskPush(task, head, payload, len, &pushed);
            SimpleMsgUnpinPush();
            return SimpleTaskPushResult(taskName, head, len, pushed);
        }
        SimpleMsgUnpinPush();
    }
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    if (SimpleMsgGetQueue(taskName, &task) != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "SimpleMsgGetQueue NULL[%.8s].", SimpleMsgLogName(taskName));
        return OS_MSG_ERR_NOT_FOUND;
    }
    SimpleTaskPush(task, head, payload, len, &pushed);
    (void)OsMutexUnLock(&simpleQueueLock);
    return SimpleTaskPushResult(taskName, head, len, pushed);
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
        OsMsgTaskFunc func = nullptr;
        if (!SimpleTaskTakeNode(task, name, &msg, &func)) {
            // The last take's look at the flag word may have missed a flag
            // raised just then (its store and that load are not ordered);
            // looked at again behind a full fence, none is lost before the
            // loop sleeps.
            __atomic_thread_fence(__ATOMIC_SEQ_CST);
            SimpleTaskOfferRoom(task);
            int32_t waitRet = SimpleMsgRingAwait(&task->ring, &task->msgSem);
            if (waitRet != 0) {
                OS_MSG_LOG(OS_LOG_ERROR, "pthread wait error[%d].", (int)waitRet);
                task->loopCtx = nullptr;
                SimpleTaskSetThread(task, 0);
                return OS_MSG_ERR_TASK_WAIT;
            }
            if (SimpleTaskState(task) == 0U || !SimpleTaskTakeNode(task, name, &msg, &func)) {
                OS_MSG_LOG_AS("SimpleTaskLoop", OS_LOG_WARN, "list empty.");
                continue;
            }
        }
        SimpleTaskOfferRoom(task);
        SimpleTaskHandle(task, &ctx, &msg, func);
        if (ctx.removed != 0U) {
            // The callback removed its own task; the record is gone.
            OS_MSG_LOG(OS_LOG_DEBUG, "thread[%s] quit.", name);
            return OS_MSG_OK;
        }
    }
    task->loopCtx = nullptr;
    // From here on removal may release the record.
    SimpleTaskSetThread(task, 0);
    OS_MSG_LOG(OS_LOG_DEBUG, "thread[%s] quit.", name);
    return OS_MSG_OK;
}

uint32_t SimpleTaskRoutineByName(void *taskName) {
    const char *name = static_cast<const char *>(taskName);
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleMsgGetQueue(name, &task);
    if (ret == OS_MSG_OK && SimpleTaskState(task) != 1U) {
        ret = OS_MSG_ERR_NOT_FOUND;
    }
    if (ret != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_FATAL, "task[%s] not get queue.", MsgNameCopy(SimpleMsgLogName(name)).text);
        return ret;
    }
    if (SimpleTaskThread(task) != 0) {
        // One loop per task: a second one would outlive the record, since
        // removal waits for one loop thread only.
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "task[%s] loop already running.", task->acTaskName);
        return OS_MSG_ERR_TASK_BUSY;
    }
    // Claimed under the lock, so a removal that follows waits for this loop.
    SimpleTaskSetThread(task, OsPthreadSelf());
    (void)OsMutexUnLock(&simpleQueueLock);
    return SimpleTaskLoop(task);
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
        if (!SimpleTaskPushNode(task, head, head->data, head->dataLen, &one)) {
            break;
        }
        (void)SimpleTaskPushResult(taskName, head, head->dataLen, one);
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    return pushed;
}

void SimpleMsgSetRoomHook(void (*hook)(void)) {
    __atomic_store_n(&g_simpleRoomHook, hook, __ATOMIC_RELEASE);
}

} // extern "C"

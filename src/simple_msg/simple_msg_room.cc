/*
 * Waiting for room in a task's queue: for senders that must not drop a
 * message the library has already accepted from its caller (event requests
 * to the broadcast task, events fanned out to subscribers). A full ring
 * refuses a push at once; these operations look at the ring again, without
 * logging, until it has room, the task is gone or the time is up.
 *
 * Thread safety: any thread; each look takes simpleQueueLock briefly and
 * reads the ring's pending count (which any thread may read), and nothing is
 * held between looks. The
 * caller may hold locks that come before simpleQueueLock (the subscription
 * table's mutex).
 */
#define MSG_MODULE "simple_msg"

#include <thread>

#include "base/msg_names.h"
#include "base/msg_tunables.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_os_time.h"

extern "C" {

uint32_t SimpleMsgQueueRoom(const char *taskName) {
    uint32_t room = SIMPLE_MSG_ROOM_GONE;
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    if (simpleQueue != nullptr && taskName != nullptr && SimpleMsgGetQueue(taskName, &task) == OS_MSG_OK &&
        SimpleTaskState(task) == 1U) {
        if (task->ring.capacity != 0U) {
            room =
                SimpleMsgRingPending(&task->ring) < task->ring.capacity ? SIMPLE_MSG_ROOM_FREE : SIMPLE_MSG_ROOM_NONE;
        }
        // A task at its byte bound has no room either, whatever its ring.
        if (room == SIMPLE_MSG_ROOM_FREE && __atomic_load_n(&task->byteLimited, __ATOMIC_RELAXED) != 0U &&
            __atomic_load_n(&task->queuedBytes, __ATOMIC_RELAXED) + SbufAccountBytes(&task->bufAccount) >=
                __atomic_load_n(&task->byteLimit, __ATOMIC_RELAXED)) {
            room = SIMPLE_MSG_ROOM_NONE;
        }
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    return room;
}

uint32_t SimpleMsgWaitRoom(const char *taskName, uint32_t waitMs) {
    const uint32_t start = OsGetSysRunTime();
    for (uint32_t look = 0U;; ++look) {
        uint32_t room = SimpleMsgQueueRoom(taskName);
        if (room != SIMPLE_MSG_ROOM_NONE) {
            return room;
        }
        if (OsGetSysRunTime() - start >= waitMs) {
            return SIMPLE_MSG_ROOM_NONE;
        }
        if (look < MSG_TUNE_ROOM_YIELD_LOOKS) {
            std::this_thread::yield();
        } else {
            OsSleepMs(1U);
        }
    }
}

uint32_t SimpleMsgSendWaitingRoomCtx(SimpleMsgSendCtxFunc send, uint32_t arg, void *ctx, const MsgHead *head,
                                     uint32_t waitMs) {
    const uint32_t start = OsGetSysRunTime();
    const MsgNameCopy receiver(head->recvTaskName);
    MsgHead attempt = *head;
    uint32_t ret = send(&attempt, arg, ctx);
    while (ret == OS_MSG_ERR_FULL) {
        const uint32_t waited = OsGetSysRunTime() - start;
        if (waited >= waitMs || SimpleMsgWaitRoom(receiver.text, waitMs - waited) != SIMPLE_MSG_ROOM_FREE) {
            break;
        }
        attempt = *head; // the route may have rewritten the receiver fields
        ret = send(&attempt, arg, ctx);
    }
    return ret;
}

namespace {

uint32_t SimpleMsgSendPlain(MsgHead *head, uint32_t arg, void *ctx) {
    return reinterpret_cast<SimpleMsgSendFunc>(ctx)(head, arg);
}

} // namespace

uint32_t SimpleMsgSendWaitingRoom(SimpleMsgSendFunc send, uint32_t arg, const MsgHead *head, uint32_t waitMs) {
    return SimpleMsgSendWaitingRoomCtx(SimpleMsgSendPlain, arg, reinterpret_cast<void *>(send), head, waitMs);
}

} // extern "C"

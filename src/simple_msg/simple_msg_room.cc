/*
 * Waiting for room in a task's queue: for senders that must not drop a
 * message the library has already accepted from its caller (event requests
 * to the broadcast task, events fanned out to subscribers) and for senders
 * that chose to wait (OsMsgAsynSendTimed). A full ring refuses a push at
 * once; these operations look at the ring again, without logging, until it
 * has room, the task is gone or the time is up.
 *
 * A waiter first looks a few times with a yield in between (a busy loop
 * frees a slot within a few yields), then raises the waiters' bit of the
 * task's roomWanted word and sleeps on g_simpleRoomCond; the task's loop,
 * finding the bit at its next take, clears it and wakes every waiter
 * (SimpleMsgRoomNotify), and so does the removal of a task. Waiters of all
 * tasks share the one condition: a wake-up for another task only makes a
 * waiter look once more. The waiter reads the wake-up count before it raises
 * the bit and looks at the ring after: a take between the two either leaves
 * room it sees or bumps the count it waits on.
 *
 * Thread safety: any thread; each look takes simpleQueueLock briefly and
 * reads the ring's pending count (which any thread may read), and nothing is
 * held between looks. g_simpleRoomLock guards the wake-up count; it is a
 * leaf lock. The caller may hold locks that come before simpleQueueLock
 * (the subscription table's mutex).
 */
#define MSG_MODULE "simple_msg"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/msg_forever.h"
#include "base/msg_monotonic.h"
#include "base/msg_names.h"
#include "base/msg_serve_mark.h"
#include "base/msg_tunables.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"

namespace {

/* Never destroyed: a waiter may still sleep here while a process that left
 * without tearing down runs its static destructors. */
MsgForever<std::mutex> g_simpleRoomLock;
MsgForever<std::condition_variable> g_simpleRoomCond;
uint64_t g_simpleRoomWakes = 0U; /* g_simpleRoomLock */

/* The room of taskName's queue; when it is full and arm (a bit of the room
 * word) is given, raises it first and looks again after. */
uint32_t SimpleMsgLookRoom(const char *taskName, uint32_t arm) {
    uint32_t room = SIMPLE_MSG_ROOM_GONE;
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    if (simpleQueue != nullptr && taskName != nullptr && SimpleMsgGetQueue(taskName, &task) == OS_MSG_OK &&
        SimpleTaskState(task) == 1U && task->ring.capacity != 0U) {
        room = SimpleMsgRingPending(&task->ring) < task->ring.capacity ? SIMPLE_MSG_ROOM_FREE : SIMPLE_MSG_ROOM_NONE;
        if (room == SIMPLE_MSG_ROOM_NONE && arm != 0U) {
            __atomic_fetch_or(&task->roomWanted, arm, __ATOMIC_SEQ_CST);
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

uint64_t SimpleMsgRoomWakes() {
    std::lock_guard<std::mutex> guard(*g_simpleRoomLock);
    return g_simpleRoomWakes;
}

} // namespace

void SimpleMsgRoomNotify(void) {
    {
        std::lock_guard<std::mutex> guard(*g_simpleRoomLock);
        g_simpleRoomWakes += 1U;
    }
    g_simpleRoomCond->notify_all();
}

extern "C" {

uint32_t SimpleMsgQueueRoom(const char *taskName) {
    return SimpleMsgLookRoom(taskName, 0U);
}

uint32_t SimpleMsgAskRoom(const char *taskName) {
    return SimpleMsgLookRoom(taskName, SIMPLE_TASK_ROOM_HOOK);
}

uint32_t SimpleMsgWaitRoom(const char *taskName, uint32_t waitMs) {
    if (MsgServingOnReceive()) {
        waitMs = 0U;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (uint32_t look = 0U; look < MSG_TUNE_ROOM_YIELD_LOOKS; ++look) {
        uint32_t room = SimpleMsgLookRoom(taskName, 0U);
        if (room != SIMPLE_MSG_ROOM_NONE || std::chrono::steady_clock::now() >= end) {
            return room;
        }
        std::this_thread::yield();
    }
    for (;;) {
        const uint64_t wakes = SimpleMsgRoomWakes();
        uint32_t room = SimpleMsgLookRoom(taskName, SIMPLE_TASK_ROOM_WAITERS);
        if (room != SIMPLE_MSG_ROOM_NONE) {
            return room;
        }
        std::unique_lock<std::mutex> lock(*g_simpleRoomLock);
        if (!g_simpleRoomCond->wait_until(lock, end, [wakes] { return g_simpleRoomWakes != wakes; })) {
            return SIMPLE_MSG_ROOM_NONE;
        }
    }
}

uint32_t SimpleMsgSendWaitingRoomCtx(SimpleMsgSendCtxFunc send, uint32_t arg, void *ctx, const MsgHead *head,
                                     uint32_t waitMs) {
    const uint64_t endNs = MsgMonotonicNs() + (uint64_t)waitMs * 1000000ULL;
    const MsgNameCopy receiver(head->recvTaskName);
    MsgHead attempt = *head;
    uint32_t ret = send(&attempt, arg, ctx);
    while (ret == OS_MSG_ERR_FULL) {
        const uint32_t left = MsgMsLeft(endNs);
        if (left == 0U || SimpleMsgWaitRoom(receiver.text, left) != SIMPLE_MSG_ROOM_FREE) {
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

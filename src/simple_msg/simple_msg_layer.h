/*
 * State shared by the sources of the in-process layer, and the accessors for
 * the record fields that threads read without holding the lock that guards
 * their writes. Nothing here is exported from the shared library; the unit
 * tests reach it through the static testing library.
 *
 * simpleQueue is guarded by simpleQueueLock, timeOutList by timeOutListLock
 * (lock roles and order: simple_msg.h).
 */
#ifndef VYRE_SIMPLE_MSG_LAYER_H
#define VYRE_SIMPLE_MSG_LAYER_H

#include <string.h>

#include "containers/zem_hash.h"
#include "containers/zem_list.h"
#include "simple_msg/simple_msg.h"
#include "vyre_securec.h"

extern ZemHashTable *simpleQueue;
extern OsMutex simpleQueueLock;
extern OsMutex timeOutListLock;
extern ZemList timeOutList;

/* Tries of the lock of another task's response slot, and the pause after
 * each failed try, for code that holds simpleQueueLock. */
#define SIMPLE_MSG_RESP_LOCK_TRIES 200U
#define SIMPLE_MSG_RESP_LOCK_PAUSE_MS 10U

/* Bookkeeping of the look-up by thread (simple_msg_registry.cc), run after a
 * record's state or loop thread changed: the change invalidates every
 * thread's remembered sender name, and a loop thread keeps the set of records
 * whose loop runs on it. SimpleMsgForgetLoopTask drops a record about to be
 * released from the calling thread's set. */
void SimpleMsgNoteStateChange(void);
/* Run under simpleQueueLock after simpleQueue was made, destroyed, or had an
 * entry inserted or erased: forgets every thread's remembered look-up by
 * name (simple_msg_registry.cc). */
void SimpleMsgNoteTableChange(void);
void SimpleMsgNoteLoopThread(SimpleMsgTask *task, OsThread thread);
void SimpleMsgForgetLoopTask(const SimpleMsgTask *task);

/* The byte and shared buffer figures of task (simple_msg_byte_bound.cc), with
 * simpleQueueLock held, which keeps it: atomics, each word exact. */
void SimpleMsgFillBufStats(const SimpleMsgTask *task, OsMsgTaskBufStats *stats);

/* The record the calling thread last found under the name in field (a
 * 16-byte name field, compared as its 16 bytes), while no entry of the table
 * changed since; NULL otherwise. Takes no lock: the caller has pinned its
 * push (simple_msg_registry.cc). */
SimpleMsgTask *SimpleMsgRememberedQueue(const char *field);

/* Push pins (simple_msg_push_pin.cc). SimpleMsgPinPush: true when the
 * calling thread may use a remembered record without simpleQueueLock until
 * SimpleMsgUnpinPush; false when pushes are held off (take the lock). A
 * pinned push waits for nothing and calls nothing that may hold pushes off.
 * SimpleMsgHoldPushes, with simpleQueueLock held: returns once no pinned push
 * runs, and keeps new ones off until SimpleMsgReleasePushes; required around
 * releasing a record, its ring or its semaphore, and around reading ring
 * nodes in place. A holder advances the table's entry epoch before it lets
 * go when it released a record. */
/* Bits of a record's roomWanted word: a push that found the ring full asks
 * for the room hook (called when the ring has drained to a quarter), a thread
 * waiting for room (SimpleMsgWaitRoom) for a wake-up as soon as the loop
 * takes a message. */
#define SIMPLE_TASK_ROOM_HOOK 1U
#define SIMPLE_TASK_ROOM_WAITERS 2U

/* Wakes every thread in SimpleMsgWaitRoom to look at its queue again: a
 * loop took a message from a ring they wait on, or a record is being
 * removed (simple_msg_room.cc). */
void SimpleMsgRoomNotify(void);

bool SimpleMsgPinPush(void);
void SimpleMsgUnpinPush(void);
void SimpleMsgHoldPushes(void);
void SimpleMsgReleasePushes(void);

inline uint32_t SimpleTaskState(const SimpleMsgTask *task) {
    return __atomic_load_n(&task->state, __ATOMIC_ACQUIRE);
}

inline void SimpleTaskSetState(SimpleMsgTask *task, uint32_t state) {
    __atomic_store_n(&task->state, state, __ATOMIC_RELEASE);
    SimpleMsgNoteStateChange();
}

inline OsThread SimpleTaskThread(const SimpleMsgTask *task) {
    return __atomic_load_n(&task->threadId, __ATOMIC_ACQUIRE);
}

/* Only the thread itself claims a record's loop (thread is the caller's own
 * id) or gives it up (thread 0): the look-up by thread relies on it. */
inline void SimpleTaskSetThread(SimpleMsgTask *task, OsThread thread) {
    __atomic_store_n(&task->threadId, thread, __ATOMIC_RELEASE);
    SimpleMsgNoteLoopThread(task, thread);
}

inline OsMsgTaskFunc SimpleTaskFunc(const SimpleMsgTask *task) {
    return __atomic_load_n(&task->func, __ATOMIC_ACQUIRE);
}

inline void SimpleTaskSetFunc(SimpleMsgTask *task, OsMsgTaskFunc func) {
    __atomic_store_n(&task->func, func, __ATOMIC_RELEASE);
}

/* What a serving thread calls for a message: one of the two callbacks, or
 * neither (the message is dropped). */
struct SimpleTaskCallee {
    OsMsgTaskFunc func;
    OsMsgTaskFuncEx funcEx;
    void *user;
};

inline SimpleTaskCallee SimpleTaskGetCallee(const SimpleMsgTask *task) {
    SimpleTaskCallee callee;
    callee.funcEx = __atomic_load_n(&task->funcEx, __ATOMIC_ACQUIRE);
    callee.user = __atomic_load_n(&task->user, __ATOMIC_RELAXED); // stored before funcEx
    callee.func = SimpleTaskFunc(task);
    return callee;
}

/* Installs the callback with its pointer (NULL, NULL removes it). */
inline void SimpleTaskSetFuncEx(SimpleMsgTask *task, OsMsgTaskFuncEx funcEx, void *user) {
    __atomic_store_n(&task->user, user, __ATOMIC_RELAXED);
    __atomic_store_n(&task->funcEx, funcEx, __ATOMIC_RELEASE);
}

inline bool SimpleTaskCalleeSet(const SimpleTaskCallee &callee) {
    return callee.func != nullptr || callee.funcEx != nullptr;
}

inline bool SimpleTaskHasCallback(const SimpleMsgTask *task) {
    return SimpleTaskCalleeSet(SimpleTaskGetCallee(task));
}

/* Calls the callee, which has a callback. */
inline uint32_t SimpleTaskCall(const SimpleTaskCallee &callee, MsgHead *msg) {
    return callee.funcEx != nullptr ? callee.funcEx(msg, callee.user) : callee.func(msg);
}

/* The task's descriptor (simple_msg_task_fd.cc): signal, drain, arm, close.
 * SimpleTaskFdArm is the consumer's step before it lets go: it announces the
 * sleep, so that the next push signals the descriptor, or signals it itself
 * when messages still wait. SimpleTaskFdClose runs in removal, with pushes
 * held off. */
void SimpleTaskFdSignal(int32_t fd);
void SimpleTaskFdDrain(int32_t fd);
void SimpleTaskFdArm(SimpleMsgTask *task, int32_t fd);
void SimpleTaskFdClose(SimpleMsgTask *task);

inline int32_t SimpleTaskWakeFd(const SimpleMsgTask *task) {
    return __atomic_load_n(&task->wakeFd, __ATOMIC_ACQUIRE);
}

/* Wakes the task's consumer after taking its announced sleep: the
 * descriptor of a task served from a poll loop, else the loop's semaphore. */
inline void SimpleTaskWake(SimpleMsgTask *task) {
    int32_t fd = SimpleTaskWakeFd(task);
    if (fd >= 0) {
        SimpleTaskFdSignal(fd);
    } else {
        (void)OsSemPost(&task->msgSem);
    }
}

/* The task name a thread sends under while it handles messages of a task
 * outside that task's loop (SimpleTaskHandleSome): name (a record's name,
 * valid until SimpleMsgServeEnd) until SimpleMsgServeEnd(the result), which
 * restores the name it replaced (serving calls may nest).
 * simple_msg_thread_task.cc. */
const char *SimpleMsgServeBegin(const char *name);
void SimpleMsgServeEnd(const char *previous);

/* A thread starts using the record's response slot outside simpleQueueLock;
 * the caller holds simpleQueueLock and has seen state 1. */
inline void SimpleTaskEnterSlot(SimpleMsgTask *task) {
    __atomic_add_fetch(&task->respUsers, 1U, __ATOMIC_ACQ_REL);
}

/* The thread is done with the slot and no longer touches the record: a
 * requester calls it with respLock held, which it releases right after; a
 * responder after it has signalled respCond with no lock held. */
inline void SimpleTaskLeaveSlot(SimpleMsgTask *task) {
    __atomic_sub_fetch(&task->respUsers, 1U, __ATOMIC_ACQ_REL);
}

inline uint32_t SimpleTaskSlotUsers(const SimpleMsgTask *task) {
    return __atomic_load_n(&task->respUsers, __ATOMIC_ACQUIRE);
}

/* A name for log lines: never NULL. */
inline const char *SimpleMsgLogName(const char *name) {
    return name != nullptr ? name : "";
}

/* A buffer of SimpleMsgAllocBuffer holding a copy of the len bytes at data
 * (data not NULL, len above 0), or NULL when no buffer is free. The copy
 * itself cannot fail: the buffer is new and holds len bytes, so it needs no
 * bounds-checked copy on this path of every message. */
inline void *SimpleMsgCopyBuffer(const void *data, uint32_t len) {
    void *copy = SimpleMsgAllocBuffer(len);
    if (copy != nullptr) {
        (void)memcpy(copy, data, len);
    }
    return copy;
}

/* Releases what a node or a delivered message owned: the payload copy
 * (unless the payload is the cargo's shared buffer) and the cargo. */
inline void SimpleMsgReleasePayload(void *payload, uint32_t len, MsgCargo *cargo) {
    if (!MsgCargoIsPayload(cargo)) {
        SimpleMsgReleaseBuffer(len != 0U ? payload : nullptr, len);
    }
    MsgCargoRelease(cargo);
}

/* Takes the payload reference out of a slot and clears the slot's header, so
 * that no released payload stays reachable through it. The caller holds the
 * lock that guards the slot and releases the returned buffer. */
inline void *SimpleMsgTakeRespPayload(SimpleMsgTask *task, uint32_t *len) {
    void *payload = task->respHead.data;
    *len = task->respHead.dataLen;
    (void)memset_s(&task->respHead, sizeof(MsgHead), 0, sizeof(MsgHead));
    return payload;
}

#endif /* VYRE_SIMPLE_MSG_LAYER_H */

/*
 * Removal of a task record: closing its ring to pushes, closing its response
 * slot, the hand-shake that makes its loop thread leave, and, once nothing
 * uses the record any more, the release of its pending payloads, its ring
 * and the record itself.
 *
 * The caller holds simpleQueueLock once. Removal releases it, and takes it
 * again, wherever another thread must make progress first: between tries of
 * the slot's respLock (a requester holding respLock needs simpleQueueLock to
 * push its request), while the loop thread finishes the callback in hand
 * (which may call into the layer), and while requesters leave the slot. The
 * record meanwhile stays in the table with state 0, which refuses new pushes,
 * new requesters and new loop threads; delOwner keeps a second remover out.
 */
#define MSG_MODULE "simple_msg"

#include "base/msg_alloc.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_os_time.h"
#include "vyre_securec.h"

namespace {

constexpr uint32_t kQuitAttempts = 3U;
constexpr uint32_t kQuitWaitMs = 1000U;
constexpr uint32_t kSlotUsersWaitMs = 2000U;
constexpr uint32_t kSlotUsersYields = 8U;

/* Marks the record unusable (pushes are refused from here on, but for a
 * pinned push that tested the state just before: its node is released with
 * the ring) and wakes the loop, which then finds state 0 and leaves; a task
 * served from a poll loop has its descriptor signalled, so that the loop's
 * next handling call learns that the task is gone. */
void SimpleMsgCloseRing(SimpleMsgTask *task) {
    SimpleTaskSetState(task, 0U);
    SimpleTaskSetFunc(task, nullptr);
    SimpleTaskSetFuncEx(task, nullptr, nullptr);
    (void)OsSemPost(&task->msgSem);
    int32_t fd = SimpleTaskWakeFd(task);
    if (fd >= 0) {
        SimpleTaskFdSignal(fd);
    }
    SimpleMsgRoomNotify(); // a sender waiting for room learns the task is gone
}

/* Releases the pending payloads and the ring's storage. The caller holds
 * simpleQueueLock and has made sure that no loop runs on the ring: it has
 * left (its release of threadId orders its last pop before this), or it is
 * the calling thread itself, inside its callback. */
void SimpleMsgReleaseRing(SimpleMsgTask *task) {
    MsgHead node;
    uint64_t position = 0;
    MsgCargo *cargo = nullptr;
    uint32_t charged = 0U;
    while (SimpleMsgRingPopCargo(&task->ring, &node, &position, &cargo, &charged)) {
        SimpleMsgReleasePayload(node.data, node.dataLen, cargo);
    }
    size_t bytes = SimpleMsgRingBytes(task->ring.capacity);
    void *storage = SimpleMsgRingTakeStorage(&task->ring);
    if (storage != nullptr) {
        (void)memset_s(storage, bytes, 0, bytes);
        MSG_FREE(storage);
    }
}

/* Wakes a waiting requester, closes the slot to further waits and releases a
 * stored response. false when respLock stayed busy for every try. */
bool SimpleMsgCloseRespSlot(SimpleMsgTask *task) {
    uint32_t tries = 1U;
    while (OsMutexTryLock(&task->respLock) != 0) {
        if (tries++ >= SIMPLE_MSG_RESP_LOCK_TRIES) {
            return false;
        }
        (void)OsMutexUnLock(&simpleQueueLock);
        OsSleepMs(SIMPLE_MSG_RESP_LOCK_PAUSE_MS);
        (void)OsMutexLock(&simpleQueueLock);
    }
    if (task->enRespStatus == SIMPLE_MSG_RESP_WAITING) {
        (void)OsPthreadCondSignal(&task->respCond);
        OsSleep(1U);
    }
    task->respClosed = 1U;
    task->enRespStatus = SIMPLE_MSG_RESP_IDLE;
    uint32_t len = 0U;
    void *payload = SimpleMsgTakeRespPayload(task, &len);
    (void)OsMutexUnLock(&task->respLock);
    SimpleMsgReleaseBuffer(payload, len);
    return true;
}

void SimpleMsgAwaitLoopLeave(const SimpleMsgTask *task) {
    uint32_t start = OsGetSysRunTime();
    while (SimpleTaskThread(task) != 0 && OsGetSysRunTime() - start < kQuitWaitMs) {
        OsSleepMs(1U);
    }
}

/* Waits until no requester uses the closed slot any more. New users cannot
 * come: they need state 1. false when one is still inside after the wait. */
bool SimpleMsgAwaitSlotUsers(SimpleMsgTask *task) {
    // A user lowers the count with respLock held, or (a responder that has
    // signalled) after releasing it, so once the count is 0 and the lock is
    // ours, the last user has let go of the lock for good.
    if (SimpleTaskSlotUsers(task) == 0U && OsMutexTryLock(&task->respLock) == 0) {
        (void)OsMutexUnLock(&task->respLock);
        return true;
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    // A responder leaves right after its signal: give it the processor a few
    // times before sleeping.
    for (uint32_t i = 0U; i < kSlotUsersYields && SimpleTaskSlotUsers(task) != 0U; ++i) {
        OsSleepMs(0U);
    }
    uint32_t start = OsGetSysRunTime();
    while (SimpleTaskSlotUsers(task) != 0U && OsGetSysRunTime() - start < kSlotUsersWaitMs) {
        OsSleepMs(1U);
    }
    bool left = SimpleTaskSlotUsers(task) == 0U;
    if (left) {
        (void)OsMutexLock(&task->respLock);
        (void)OsMutexUnLock(&task->respLock);
    }
    (void)OsMutexLock(&simpleQueueLock);
    return left;
}

/* Pushes are held off: no producer signals the descriptor any more. */
void SimpleMsgDestroyTaskLocks(SimpleMsgTask *task) {
    SimpleTaskFdClose(task);
    (void)OsSemDestroy(&task->msgSem);
    (void)OsMutexDestroy(&task->respLock);
    (void)OsPthreadCondDestroy(&task->respCond);
}

} // namespace

extern "C" uint32_t SimpleMsgDelTask(SimpleMsgTask *task, ListNode **next) {
    OsThread self = OsPthreadSelf();
    if (task->delOwner != 0 && task->delOwner != self) {
        OS_MSG_LOG(OS_LOG_ERROR, "[%s]cannot quit.", task->acTaskName);
        return OS_MSG_ERR_TASK_BUSY;
    }
    task->delOwner = self;
    SimpleMsgCloseRing(task);
    bool quit = SimpleMsgCloseRespSlot(task);
    const bool fromOwnLoop = SimpleTaskThread(task) == self;
    if (quit && !fromOwnLoop) {
        (void)OsMutexUnLock(&simpleQueueLock);
        for (uint32_t attempt = 0; attempt < kQuitAttempts && SimpleTaskThread(task) != 0; ++attempt) {
            OS_MSG_LOG(OS_LOG_ERROR, "[%s]try quit.", task->acTaskName);
            (void)OsSemPost(&task->msgSem);
            SimpleMsgAwaitLoopLeave(task);
        }
        (void)OsMutexLock(&simpleQueueLock);
        quit = SimpleTaskThread(task) == 0;
    }
    if (!quit || !SimpleMsgAwaitSlotUsers(task)) {
        OS_MSG_LOG(OS_LOG_ERROR, "[%s]cannot quit.", task->acTaskName);
        task->delOwner = 0;
        return OS_MSG_ERR_TASK_BUSY;
    }
    if (fromOwnLoop && task->loopCtx != nullptr) {
        // Removed from inside its own callback: the loop learns it from its
        // own stack, since the record is gone when the callback returns. Set
        // only now that the removal cannot fail any more: after a failed
        // one the loop leaves through the record (state 0), clearing
        // threadId, so that a later removal finds no loop to wait for.
        task->loopCtx->removed = 1U;
    }
    // Pushes that found the record without the lock finish before anything
    // of it is released; later ones find the table changed.
    SimpleMsgHoldPushes();
    SimpleMsgReleaseRing(task);
    SimpleMsgDestroyTaskLocks(task);
    // The buffers it holds stay valid until released; they are charged to
    // no task from here on.
    SbufForgetAccount(&task->bufAccount);
    OS_MSG_LOG(OS_LOG_DEBUG, "unreg[%s] finish.", task->acTaskName);
    if (simpleQueue != nullptr) {
        ListNode *following = ZEM_StrHashErase(simpleQueue, task->acTaskName);
        if (next != nullptr) {
            *next = following;
        }
    }
    SimpleMsgNoteTableChange();
    SimpleMsgForgetLoopTask(task); // removed from inside its own loop
    MSG_FREE(task);
    SimpleMsgReleasePushes();
    return OS_MSG_OK;
}

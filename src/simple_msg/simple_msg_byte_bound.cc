/*
 * What a task is charged in bytes: the bound on the bytes waiting for it (its
 * queued payloads and the shared buffers it holds), the figures behind it,
 * and the account that a hold made on a task's thread is charged to.
 *
 * The bound is checked by the push (simple_msg_queue.cc) only for a task
 * whose byteLimited flag is set. Setting and reading take simpleQueueLock for
 * the look-up; the figures are atomics read without it.
 */
#define MSG_MODULE "simple_msg"

#include "log/msg_log.h"
#include "shared_buf/sbuf_share.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"

namespace {

/* The registered, usable task named name, with simpleQueueLock held by the
 * caller; NULL with *ret the look-up's code. */
SimpleMsgTask *SimpleMsgFindUsable(const char *name, uint32_t *ret) {
    SimpleMsgTask *task = nullptr;
    *ret = SimpleMsgGetQueue(name, &task);
    if (*ret == OS_MSG_OK && SimpleTaskState(task) != 1U) {
        *ret = OS_MSG_ERR_NOT_FOUND;
    }
    return *ret == OS_MSG_OK ? task : nullptr;
}

} // namespace

void SimpleMsgFillBufStats(const SimpleMsgTask *task, OsMsgTaskBufStats *stats) {
    stats->byteLimit = __atomic_load_n(&task->byteLimit, __ATOMIC_RELAXED);
    stats->bytesQueued = __atomic_load_n(&task->queuedBytes, __ATOMIC_RELAXED);
    stats->refusedBytes = __atomic_load_n(&task->refusedBytes, __ATOMIC_RELAXED);
    stats->bytesHeld = SbufAccountBytes(&task->bufAccount);
    stats->buffersHeld = SbufAccountBuffers(&task->bufAccount);
    stats->buffersAtPeers = SbufAccountLent(&task->bufAccount);
}

extern "C" {

uint32_t SimpleMsgSetByteLimit(const char *taskName, uint64_t bytes) {
    uint32_t ret = OS_MSG_OK;
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = SimpleMsgFindUsable(taskName, &ret);
    if (task != nullptr) {
        __atomic_store_n(&task->byteLimit, bytes, __ATOMIC_RELAXED);
        __atomic_store_n(&task->byteLimited, bytes != 0U ? 1U : 0U, __ATOMIC_RELAXED);
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    if (ret != OS_MSG_OK) {
        OS_MSG_LOG(OS_LOG_ERROR, "task[%.16s] not found.", SimpleMsgLogName(taskName));
    }
    return ret;
}

uint32_t SimpleMsgGetBufStats(const char *taskName, OsMsgTaskBufStats *stats) {
    uint32_t ret = OS_MSG_OK;
    SbufShareCollect(); // references given back on release lanes are back
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = SimpleMsgFindUsable(taskName, &ret);
    if (task != nullptr) {
        SimpleMsgFillBufStats(task, stats);
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    return ret;
}

uint32_t SimpleMsgWithThreadAccount(uint32_t (*fn)(SbufAccount *account, const void *arg), const void *arg) {
    char name[OS_MSG_NAME_LEN] = {0};
    const bool isTask = SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), name, sizeof(name)) == 1U && name[0] != '\0';
    (void)OsMutexLock(&simpleQueueLock);
    uint32_t found = OS_MSG_OK;
    SimpleMsgTask *task = isTask && simpleQueue != nullptr ? SimpleMsgFindUsable(name, &found) : nullptr;
    uint32_t ret = fn(task != nullptr ? &task->bufAccount : nullptr, arg);
    (void)OsMutexUnLock(&simpleQueueLock);
    return ret;
}

} // extern "C"

/*
 * The descriptor of a task that an application serves from its own poll
 * loop: an eventfd that is readable while messages may wait in the task's
 * queue. The carrier's receive loop is such a poll loop for the tasks it
 * serves (SimpleTaskServeOnReceive), whose descriptor the carrier makes.
 *
 * It replaces the loop's semaphore in the ring's sleep hand-shake
 * (simple_msg_ring.h): a consumer that lets go of the task announces its
 * sleep, and the producer that takes the announcement signals the descriptor
 * instead of posting the semaphore. Between announcements producers write
 * nothing, so a busy task costs its producers no system call; a task that
 * never asks for a descriptor has none and pays nothing.
 *
 * Thread safety: the descriptor is made under simpleQueueLock while no
 * thread serves the task, and published atomically; producers signal it from
 * any thread; only the thread serving the task drains and arms it; removal
 * closes it with pushes held off, once no thread serves the task.
 */
#define MSG_MODULE "simple_msg"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"

void SimpleTaskFdSignal(int32_t fd) {
    eventfd_t one = 1U;
    // Fails only when the counter would overflow, and then it is readable.
    (void)!write(fd, &one, sizeof(one));
}

void SimpleTaskFdDrain(int32_t fd) {
    eventfd_t count = 0U;
    (void)!read(fd, &count, sizeof(count)); // EAGAIN when nothing was signalled
}

void SimpleTaskFdArm(SimpleMsgTask *task, int32_t fd) {
    if (!SimpleMsgRingPrepareSleep(&task->ring)) {
        // Messages wait: keep the descriptor readable. A producer that took
        // the announcement meanwhile signals it as well, which is harmless.
        (void)SimpleMsgRingCancelSleep(&task->ring);
        SimpleTaskFdSignal(fd);
    }
}

void SimpleTaskFdClose(SimpleMsgTask *task) {
    int32_t fd = __atomic_exchange_n(&task->wakeFd, -1, __ATOMIC_ACQ_REL);
    if (fd >= 0) {
        (void)close(fd);
    }
}

extern "C" bool SimpleTaskServedOnReceive(const char *taskName) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    const bool served =
        SimpleMsgGetQueue(taskName, &task) == OS_MSG_OK && __atomic_load_n(&task->onReceive, __ATOMIC_RELAXED) != 0U;
    (void)OsMutexUnLock(&simpleQueueLock);
    return served;
}

extern "C" uint32_t SimpleTaskServeOnReceive(const char *taskName, int fd, uint32_t serial) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleMsgGetQueue(taskName, &task);
    if (ret == OS_MSG_OK && SimpleTaskState(task) != 1U) {
        ret = OS_MSG_ERR_NOT_FOUND;
    }
    const char *why = "not registered";
    if (ret == OS_MSG_OK && __atomic_load_n(&task->onReceive, __ATOMIC_RELAXED) != 0U) {
        ret = OS_MSG_ERR_REPEATED;
    } else if (ret == OS_MSG_OK && (SimpleTaskThread(task) != 0 || SimpleTaskWakeFd(task) >= 0)) {
        ret = OS_MSG_ERR_TASK_BUSY;
        why = SimpleTaskThread(task) != 0 ? "is served by its loop" : "is served through its descriptor";
    }
    if (ret != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        if (ret != OS_MSG_ERR_REPEATED) {
            OS_MSG_LOG(OS_LOG_ERROR, "task[%.16s] %s: it cannot be served on the receive thread.",
                       SimpleMsgLogName(taskName), why);
        }
        return ret;
    }
    __atomic_store_n(&task->wakeFd, fd, __ATOMIC_RELEASE);
    __atomic_store_n(&task->onReceive, serial, __ATOMIC_RELAXED);
    __atomic_store_n(&task->everServed, 1U, __ATOMIC_RELAXED);
    // As in SimpleTaskOpenFd: no thread serves the task, this one may take
    // the consumer's step.
    SimpleTaskFdArm(task, fd);
    (void)OsMutexUnLock(&simpleQueueLock);
    return OS_MSG_OK;
}

extern "C" uint32_t SimpleTaskOpenFd(const char *taskName, int *fd) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleMsgGetQueue(taskName, &task);
    if (ret == OS_MSG_OK && SimpleTaskState(task) != 1U) {
        ret = OS_MSG_ERR_NOT_FOUND;
    }
    if (ret != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "task[%.16s] not registered.", SimpleMsgLogName(taskName));
        return ret;
    }
    if (__atomic_load_n(&task->onReceive, __ATOMIC_RELAXED) != 0U) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "task[%s] is served on the receive thread: no descriptor.", task->acTaskName);
        return OS_MSG_ERR_TASK_BUSY;
    }
    int32_t existing = SimpleTaskWakeFd(task);
    if (existing >= 0) {
        (void)OsMutexUnLock(&simpleQueueLock);
        *fd = existing;
        return OS_MSG_OK;
    }
    if (SimpleTaskThread(task) != 0) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "task[%s] is served by its loop: no descriptor.", task->acTaskName);
        return OS_MSG_ERR_TASK_BUSY;
    }
    int32_t made = eventfd(0U, EFD_CLOEXEC | EFD_NONBLOCK);
    if (made < 0) {
        int err = errno;
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "task[%.16s] descriptor error[%d].", SimpleMsgLogName(taskName), err);
        return OS_MSG_ERR_SYSTEM;
    }
    __atomic_store_n(&task->wakeFd, made, __ATOMIC_RELEASE);
    // No thread serves the task (its loop would hold threadId, and so would
    // a handling call, which claims it under this lock): this thread may
    // take the consumer's step.
    SimpleTaskFdArm(task, made);
    (void)OsMutexUnLock(&simpleQueueLock);
    *fd = made;
    return OS_MSG_OK;
}

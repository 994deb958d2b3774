/*
 * Inspection of the in-process queues: a text listing of the messages pending
 * in one task's ring or in the rings of all tasks, written into a caller's
 * buffer, and a dump of the slow-handling records and of every task's
 * pending count, written to a file descriptor. Nothing here changes the
 * layer.
 *
 * A listing runs under simpleQueueLock (its caller's, or its own for all
 * tasks), which a push holds too unless it is pinned, and holds pinned pushes
 * off while it reads a ring: no producer writes a ring while it is read, so
 * the nodes from the loop's position on are a consistent picture
 * (the loop may meanwhile take some of them, which only reads them). The
 * listing of all tasks and the dump hold simpleQueueLock for the whole walk,
 * so no task is registered or removed meanwhile; the dump also holds
 * timeOutListLock (after simpleQueueLock) while it walks the records.
 */
#include <string.h>
#include <unistd.h>

#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_securec.h"

namespace {

constexpr char kDumpBegin[] = " ----------- ---   SimpleMsgDump  Begin ---------------- \n";
constexpr char kDumpEnd[] = "\n ----------- SimpleMsgDump  End------------- \n";
constexpr size_t kSlowLineSize = 256U;
constexpr size_t kTaskLineSize = 128U;

void SimpleMsgDumpWrite(int fd, const char *text, size_t len) {
    if (write(fd, text, len) < 0) {
        OS_MSG_LOG_AS("SimpleMsgDump", OS_LOG_ERROR, "wtite file error.");
    }
}

/* Formats the pending messages of the ring from position; returns the number
 * of lines written and advances *position and *space past them. The caller
 * holds simpleQueueLock. */
int SimpleMsgListRing(const SimpleMsgTask *task, char **position, uint32_t *space) {
    int lines = 0;
    const uint64_t oldest = SimpleMsgRingHead(&task->ring);
    const uint32_t pending = SimpleMsgRingPending(&task->ring);
    for (uint32_t i = 0; i < pending; ++i) {
        const MsgHead *node = SimpleMsgRingPeek(&task->ring, oldest + i);
        int n = sprintf_s(*position, *space, "id:%02u sCpuId:%02d sPName:%.16s rCpuId:%02d rPName:%.16s dataLen:%u\r\n",
                          node->msgId, (int)node->sendCpuId, node->sendProcName, (int)node->recvCpuId,
                          node->recvProcName, node->dataLen);
        if (n < 0) {
            OS_MSG_LOG_AS("SimpleMsgGetInfo", OS_LOG_ERROR, "[%s]get msg info error.", task->acTaskName);
            if (sprintf_s(*position, *space, "[%s]get msg info error.", task->acTaskName) < 0) {
                OS_MSG_LOG_AS("SimpleMsgGetInfo", OS_LOG_ERROR, "[%s]get msg info error.", task->acTaskName);
            }
            break;
        }
        *position += n;
        *space -= static_cast<uint32_t>(n);
        ++lines;
    }
    return lines;
}

void SimpleMsgDumpSlowRecords(int fd) {
    for (ZemListNode *pos = ZEM_ListIterBegin(&timeOutList); pos != ZEM_ListIterEnd(&timeOutList);
         pos = ZEM_ListIterNext(&timeOutList, pos)) {
        const SimpleMsgTimeOutInfo *info = reinterpret_cast<const SimpleMsgTimeOutInfo *>(ZEM_ListIterData(pos));
        char line[kSlowLineSize] = {0};
        (void)sprintf_s(line, sizeof(line),
                        " acTaskName:%s, sendProcName:%s sendTaskName:%s msgId:%u, intervalTime:%u \n",
                        info->acTaskName, info->sendProcName, info->sendTaskName, info->msgId, info->intervalTime);
        SimpleMsgDumpWrite(fd, line, strlen(line));
    }
}

void SimpleMsgDumpTasks(int fd) {
    if (simpleQueue == nullptr) {
        return;
    }
    for (ListNode *pos = ZEM_HashIterBegin(simpleQueue); pos != ZEM_HashIterEnd(simpleQueue);
         pos = ZEM_HashIterNext(simpleQueue, pos)) {
        SimpleMsgTask *task = reinterpret_cast<SimpleMsgTask *>(ZEM_HashIterValue(pos));
        uint32_t pending = SimpleMsgRingPending(&task->ring);
        char line[kTaskLineSize] = {0};
        if (sprintf_s(line, sizeof(line), "TaskName: %s  MsgNum: %u\n", task->acTaskName, pending) < 0) {
            OS_MSG_LOG_AS("SimpleMsgDump", OS_LOG_ERROR, "wtite file error.");
        }
        SimpleMsgDumpWrite(fd, line, strlen(line));
    }
}

} // namespace

extern "C" {

void SimpleMsgGetInfo(SimpleMsgTask *task, char *buffer, uint32_t *length) {
    if (task == nullptr || buffer == nullptr || length == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "invalid param.");
        return;
    }
    char *position = buffer;
    uint32_t space = *length;
    // The nodes are read in place: no push may write one meanwhile.
    SimpleMsgHoldPushes();
    int lines = SimpleMsgListRing(task, &position, &space);
    SimpleMsgReleasePushes();
    if (sprintf_s(position, space, "Total:task[%s] has %d msg in list.\r\n", task->acTaskName, lines) < 0) {
        OS_MSG_LOG(OS_LOG_ERROR, "[%s]get end info error.", task->acTaskName);
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "[%s]get msg info ok.", task->acTaskName);
    *length = static_cast<uint32_t>(position - buffer);
}

uint32_t SimpleMsgGetAllMsgInfo(const char *taskName, char *buffer, uint32_t *length) {
    if (buffer == nullptr || length == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "invalid param.");
        return 1U;
    }
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    if (SimpleMsgGetQueue(taskName, &task) == OS_MSG_OK) {
        SimpleMsgGetInfo(task, buffer, length);
        (void)OsMutexUnLock(&simpleQueueLock);
        return 0U;
    }
    uint32_t space = *length;
    uint32_t total = 0U;
    for (ListNode *pos = simpleQueue != nullptr ? ZEM_HashIterBegin(simpleQueue) : nullptr;
         simpleQueue != nullptr && pos != ZEM_HashIterEnd(simpleQueue); pos = ZEM_HashIterNext(simpleQueue, pos)) {
        task = reinterpret_cast<SimpleMsgTask *>(ZEM_HashIterValue(pos));
        if (SimpleTaskState(task) != 1U) {
            continue;
        }
        uint32_t reported = space;
        SimpleMsgGetInfo(task, buffer + total, &reported);
        if (reported > space) {
            (void)OsMutexUnLock(&simpleQueueLock);
            *length = total;
            return 1U;
        }
        // Keep this task's closing line: the next listing starts after it.
        reported += static_cast<uint32_t>(strnlen(buffer + total + reported, space - reported));
        total += reported;
        space -= reported;
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    *length = total;
    return 0U;
}

void SimpleMsgDump(int fd) {
    SimpleMsgDumpWrite(fd, kDumpBegin, sizeof(kDumpBegin) - 1U);
    (void)OsMutexLock(&simpleQueueLock);
    (void)OsMutexLock(&timeOutListLock);
    SimpleMsgDumpSlowRecords(fd);
    SimpleMsgDumpTasks(fd);
    (void)OsMutexUnLock(&timeOutListLock);
    (void)OsMutexUnLock(&simpleQueueLock);
    SimpleMsgDumpWrite(fd, kDumpEnd, sizeof(kDumpEnd) - 1U);
}

} // extern "C"

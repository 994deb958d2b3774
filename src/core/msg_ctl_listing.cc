/*
 * The control task's listings: every task's counters (MSG_ID_CTL_TASKS) and
 * the subscription table (MSG_ID_CTL_SUBS). Each reads the library's own
 * table through its layer's collector, under that layer's lock, into memory
 * of its own, and answers with no lock held. Runs on the control thread
 * only.
 */
#define MSG_MODULE "msg_ctl"

#include <string.h>

#include "base/msg_alloc.h"
#include "base/msg_names.h"
#include "broadcast/msg_broadcast.h"
#include "core/msg_ctl.h"
#include "core/msg_ctl_proto.h"
#include "shared_buf/sbuf_share.h"
#include "simple_msg/simple_msg.h"

namespace {

void MsgCtlFillTask(const SimpleMsgStatsRow &row, MsgCtlTask *task) {
    (void)memset(task, 0, sizeof(*task));
    (void)memcpy(task->name, row.name, sizeof(task->name));
    task->queueLen = row.stats.queueLen;
    task->pending = row.stats.pending;
    task->highWater = row.stats.highWater;
    task->served = row.served == SIMPLE_MSG_SERVED_RECV   ? MSG_CTL_SERVED_RECV
                   : row.served == SIMPLE_MSG_SERVED_FD   ? MSG_CTL_SERVED_FD
                   : row.served == SIMPLE_MSG_SERVED_LOOP ? MSG_CTL_SERVED_LOOP
                                                          : MSG_CTL_SERVED_NONE;
    task->accepted = row.stats.accepted;
    task->refusedFull = row.stats.refusedFull;
    task->handled = row.stats.handled;
    task->handledBytes = row.handledBytes;
    task->callbackMaxNs = row.stats.callbackMaxNs;
    task->callbackP99Ns = row.stats.callbackP99Ns;
    task->refusedAccess = row.stats.refusedAccess;
    task->byteLimit = row.buf.byteLimit;
    task->bytesQueued = row.buf.bytesQueued;
    task->bytesHeld = row.buf.bytesHeld;
    task->refusedBytes = row.buf.refusedBytes;
    task->buffersHeld = row.buf.buffersHeld;
    task->buffersAtPeers = row.buf.buffersAtPeers;
}

/* The rows of every task, at most MSG_CTL_ROWS_MAX: tracked memory the
 * caller frees, *count filled and *total counted; NULL when memory is short. */
SimpleMsgStatsRow *MsgCtlCollectRows(uint32_t *count, uint32_t *total) {
    *count = 0U;
    (void)SimpleMsgCollectStats(nullptr, 0U, total);
    // Room for a few tasks registered between the two looks.
    uint32_t room = *total + 8U < MSG_CTL_ROWS_MAX ? *total + 8U : MSG_CTL_ROWS_MAX;
    auto *rows = static_cast<SimpleMsgStatsRow *>(MSG_MALLOC(sizeof(SimpleMsgStatsRow) * room));
    if (rows == nullptr) {
        return nullptr;
    }
    (void)SimpleMsgCollectStats(rows, room, total);
    *count = *total < room ? *total : room;
    return rows;
}

struct MsgCtlSubRows {
    MsgCtlSub *rows;
    uint32_t room;
    uint32_t count;
    uint32_t total;
};

/* A subscriber record: sendCpuId / sendProcName / sendTaskName name the
 * subscriber, recv* the publisher (msg_broadcast.h). */
void MsgCtlAddSub(const MsgHead *record, void *arg) {
    auto *out = static_cast<MsgCtlSubRows *>(arg);
    out->total += 1U;
    if (out->count >= out->room) {
        return;
    }
    MsgCtlSub *sub = &out->rows[out->count++];
    (void)memset(sub, 0, sizeof(*sub));
    sub->msgId = record->msgId;
    sub->pubCpuId = record->recvCpuId;
    (void)memcpy(sub->pubProcName, record->recvProcName, OS_MSG_NAME_LEN);
    (void)memcpy(sub->pubTaskName, record->recvTaskName, OS_MSG_NAME_LEN);
    sub->subCpuId = record->sendCpuId;
    (void)memcpy(sub->subProcName, record->sendProcName, OS_MSG_NAME_LEN);
    (void)memcpy(sub->subTaskName, record->sendTaskName, OS_MSG_NAME_LEN);
}

/* Counts the records, to size the answer. */
void MsgCtlCountSub(const MsgHead *, void *arg) {
    *static_cast<uint32_t *>(arg) += 1U;
}

} // namespace

void MsgCtlAnswerTasks(MsgHead *request, const uint8_t *records, uint32_t count, uint32_t recordSize) {
    MsgCtlTaskQuery query;
    (void)memset(&query, 0, sizeof(query));
    (void)recordSize; // at least sizeof(query), checked with the request's head
    if (count != 0U) {
        (void)memcpy(&query, records, sizeof(query));
    }
    uint32_t rowCount = 0U;
    uint32_t total = 0U;
    SbufShareCollect(); // references given back on release lanes are back before they are counted
    SimpleMsgStatsRow *rows = MsgCtlCollectRows(&rowCount, &total);
    if (rows == nullptr) {
        MsgCtlReply(request, OS_MSG_ERR_NO_MEMORY, nullptr, 0U, 0U, 0U);
        return;
    }
    auto *tasks = static_cast<MsgCtlTask *>(MSG_MALLOC(sizeof(MsgCtlTask) * (rowCount != 0U ? rowCount : 1U)));
    if (tasks == nullptr) {
        MSG_FREE(rows);
        MsgCtlReply(request, OS_MSG_ERR_NO_MEMORY, nullptr, 0U, 0U, 0U);
        return;
    }
    uint32_t kept = 0U;
    for (uint32_t i = 0U; i < rowCount; ++i) {
        if (query.taskName[0] == '\0' || MsgNameEqual(query.taskName, rows[i].name)) {
            MsgCtlFillTask(rows[i], &tasks[kept++]);
        }
    }
    MSG_FREE(rows);
    if (query.taskName[0] != '\0' && kept == 0U) {
        MsgCtlReply(request, OS_MSG_ERR_NOT_FOUND, nullptr, 0U, sizeof(MsgCtlTask), 0U);
    } else {
        MsgCtlReply(request, OS_MSG_OK, tasks, kept, sizeof(MsgCtlTask), query.taskName[0] != '\0' ? kept : total);
    }
    MSG_FREE(tasks);
}

void MsgCtlAnswerSubs(MsgHead *request) {
    uint32_t total = 0U;
    if (MsgVisitSubscriptions(MsgCtlCountSub, &total) != OS_MSG_OK) {
        MsgCtlReply(request, OS_MSG_ERR_NOT_INIT, nullptr, 0U, 0U, 0U);
        return;
    }
    MsgCtlSubRows out = {nullptr, total + 8U < MSG_CTL_ROWS_MAX ? total + 8U : MSG_CTL_ROWS_MAX, 0U, 0U};
    out.rows = static_cast<MsgCtlSub *>(MSG_MALLOC(sizeof(MsgCtlSub) * out.room));
    if (out.rows == nullptr) {
        MsgCtlReply(request, OS_MSG_ERR_NO_MEMORY, nullptr, 0U, 0U, 0U);
        return;
    }
    (void)MsgVisitSubscriptions(MsgCtlAddSub, &out);
    MsgCtlReply(request, OS_MSG_OK, out.rows, out.count, sizeof(MsgCtlSub), out.total);
    MSG_FREE(out.rows);
}

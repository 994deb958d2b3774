/*
 * The control task: its thread, its callback's dispatch of the control
 * requests, the process description (MSG_ID_CTL_INFO) and the answer every
 * request gets. Locks and threads: see msg_ctl.h.
 */
#define MSG_MODULE "msg_ctl"

#include "core/msg_ctl.h"

#include <string.h>
#include <time.h>

#include "base/msg_alloc.h"
#include "base/msg_proc_name.h"
#include "base/msg_result_code.h"
#include "base/msg_thread_name.h"
#include "broadcast/msg_broadcast.h"
#include "core/msg_ctl_proto.h"
#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "shared_buf/sbuf_pool.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_carrier.h"
#include "vyre_os_sem.h"
#include "vyre_os_thread.h"

namespace {

/* Requests wait here while the thread answers one; the tool asks one at a
 * time, and a full queue refuses the extra requests of many at once. */
constexpr uint32_t kCtlQueueLen = 64U;

/* Set-up's hand-shake with the thread it starts: posted once the thread has
 * claimed the task's loop (or failed to). Used only inside MsgCtlStart. */
OsSem g_ctlClaimed;

/* When the process finished joining; written by set-up, read by the control
 * thread (which set-up starts after writing it). */
uint64_t g_ctlStartRealNs = 0U;

void *MsgCtlThread(void *arg) {
    (void)arg;
    MsgNameThisThread(MSG_THREAD_CONTROL);
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleTaskClaimLoop(MSG_TASK_NAME_PMSG_CTL, &task);
    (void)OsSemPost(&g_ctlClaimed);
    if (ret == OS_MSG_OK) {
        (void)SimpleTaskLoop(task);
    }
    return nullptr;
}

void MsgCtlAnswerInfo(MsgHead *request) {
    MsgCtlInfo info;
    (void)memset(&info, 0, sizeof(info));
    (void)memcpy(info.procName, MsgGetProcName(), sizeof(info.procName));
    info.pid = OsGetPId();
    info.uid = OsGetUId();
    info.startRealNs = g_ctlStartRealNs;
    info.nowRealNs = MsgCtlRealNs();
    info.libVersion = OsMsgGetVersion();
    info.monitorCount = MsgCtlMonitorCount();
    info.cpuId = MsgGetLocalCpuID();
    const IpcCarrierOps *carrier = IpcCarrierCurrent();
    if (carrier->runDir != nullptr) {
        info.carrier = MSG_CTL_CARRIER_UNIX;
        if (carrier->runDir(info.runDir, sizeof(info.runDir)) != OS_MSG_OK) {
            info.runDir[0] = '\0';
        }
    }
    uint32_t total = 0U;
    (void)SimpleMsgCollectStats(nullptr, 0U, &total);
    info.taskCount = total;
    OsMsgBufPoolStats pool;
    SbufGetStats(&pool); // what peers gave back on their release lanes is back first
    info.poolMappedBytes = pool.mappedBytes;
    info.poolLimitBytes = pool.limitBytes;
    info.poolBytesInUse = pool.bytesInUse;
    info.poolRefusedFull = pool.refusedFull;
    info.poolSegments = pool.segments;
    info.poolBuffersInUse = pool.buffersInUse;
    MsgCtlReply(request, OS_MSG_OK, &info, 1U, sizeof(info), 1U);
}

/* The size a request's records must have at least, by request. */
uint32_t MsgCtlRequestRecordSize(uint32_t msgId) {
    switch (msgId) {
    case MSG_ID_CTL_TASKS:
        return sizeof(MsgCtlTaskQuery);
    case MSG_ID_CTL_MONITOR:
        return sizeof(MsgCtlMonitorReq);
    default:
        return 0U;
    }
}

} // namespace

uint64_t MsgCtlRealNs(void) {
    struct timespec now;
    (void)clock_gettime(CLOCK_REALTIME, &now);
    return (uint64_t)now.tv_sec * 1000000000ULL + (uint64_t)now.tv_nsec;
}

void MsgCtlReply(MsgHead *request, uint32_t result, const void *records, uint32_t count, uint32_t recordSize,
                 uint32_t total) {
    if (records == nullptr) {
        count = 0U;
    }
    const size_t size = sizeof(MsgCtlHead) + (size_t)count * recordSize;
    uint8_t *answer = static_cast<uint8_t *>(MSG_MALLOC(size));
    MsgCtlHead head = MsgCtlMakeHead(result, count, recordSize, total);
    if (answer == nullptr) {
        head = MsgCtlMakeHead(OS_MSG_ERR_NO_MEMORY, 0U, recordSize, total);
        (void)OsMsgSynSendResp(request, &head, sizeof(head));
        return;
    }
    (void)memcpy(answer, &head, sizeof(head));
    if (count != 0U) {
        (void)memcpy(answer + sizeof(head), records, (size_t)count * recordSize);
    }
    uint32_t ret = OsMsgSynSendResp(request, answer, (uint32_t)size);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_WARN, "answer to %.16s/%.16s not delivered: " MSG_CODE_FMT, request->sendProcName,
                request->sendTaskName, MSG_CODE_ARGS(ret));
    }
    MSG_FREE(answer);
}

uint32_t MsgCtlTaskCallback(MsgHead *msg) {
    if (msg->msgKind != MSG_KIND_SYN) {
        return OS_MSG_OK; // reports and stray messages want no answer
    }
    MsgCtlHead req;
    const uint32_t recordSize = MsgCtlRequestRecordSize(msg->msgId);
    if (!MsgCtlParse(msg->data, msg->dataLen, recordSize, &req)) {
        MSG_LOG(OS_MSG_LOG_WARN, "malformed control request 0x%x from %.16s/%.16s.", msg->msgId, msg->sendProcName,
                msg->sendTaskName);
        MsgCtlReply(msg, OS_MSG_ERR_INVALID_PARAM, nullptr, 0U, 0U, 0U);
        return OS_MSG_OK;
    }
    const uint8_t *records = static_cast<const uint8_t *>(msg->data) + req.headSize;
    switch (msg->msgId) {
    case MSG_ID_CTL_INFO:
        MsgCtlAnswerInfo(msg);
        break;
    case MSG_ID_CTL_TASKS:
        MsgCtlAnswerTasks(msg, records, req.count, req.recordSize);
        break;
    case MSG_ID_CTL_SUBS:
        MsgCtlAnswerSubs(msg);
        break;
    case MSG_ID_CTL_MONITOR:
        MsgCtlAnswerMonitor(msg, records, req.count, req.recordSize);
        break;
    default:
        MsgCtlReply(msg, OS_MSG_ERR_NOT_IMPLEMENTED, nullptr, 0U, 0U, 0U);
        break;
    }
    return OS_MSG_OK;
}

uint32_t MsgCtlStart(void) {
    g_ctlStartRealNs = MsgCtlRealNs();
    uint32_t ret = SimpleMsgRegTask(MSG_TASK_NAME_PMSG_CTL, kCtlQueueLen, MsgCtlTaskCallback, 0U);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    MsgSetBroadcastTap(MsgCtlMonitorTap);
    (void)OsSemInit(&g_ctlClaimed, 0U);
    OsThread thread;
    if (OsPthreadCreate(&thread, nullptr, MsgCtlThread, nullptr) != 0) {
        (void)OsSemDestroy(&g_ctlClaimed);
        MSG_LOG(OS_MSG_LOG_ERROR, "control thread create error.");
        return OS_MSG_ERR_THREAD_CREATE;
    }
    (void)OsPthreadDetach(thread);
    (void)OsSemWait(&g_ctlClaimed);
    (void)OsSemDestroy(&g_ctlClaimed);
    return OS_MSG_OK;
}

void MsgCtlStop(void) {
    MsgCtlMonitorsClear();
}

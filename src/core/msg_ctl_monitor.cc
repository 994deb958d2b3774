/*
 * Event monitors: tasks (usually of another process) that registered with
 * this process's control task to be told of each event this process fans
 * out (msg_ctl_proto.h). The broadcast task's thread reports each event,
 * after handing it to the subscribers, through the broadcast tap.
 *
 * Bounded by construction: a fixed table of MSG_CTL_MONITORS_MAX places, one
 * report of at most MSG_CTL_CAPTURE_MAX payload bytes per event and monitor,
 * built on the stack and sent asynchronously (the monitor's full queue
 * refuses it, and it is counted as missed: nothing waits or piles up here).
 * A monitor whose process or task is gone is dropped at its next report; one
 * that stops renewing is dropped when its lease runs out.
 *
 * Thread safety: g_monitorLock guards the table. It is a leaf lock: nothing
 * is sent, logged or called back while it is held. The tap copies the places
 * it reports to, sends with no lock held, and then records the outcomes in
 * the places that still hold the same registration (by their generation).
 * g_monitorCount mirrors the number of places in use, so a process without
 * monitors pays one load per event.
 */
#define MSG_MODULE "msg_ctl"

#include <string.h>

#include "base/msg_monotonic.h"
#include "base/msg_names.h"
#include "base/msg_proc_name.h"
#include "core/msg_ctl.h"
#include "core/msg_ctl_proto.h"
#include "log/msg_log.h"
#include "vyre_os_lock.h"

namespace {

constexpr uint64_t kNsPerMs = 1000000ULL;

struct MsgCtlMonitor {
    uint32_t generation; // 0: the place is free; otherwise changes with every new registration
    uint32_t cpuId;
    char procName[OS_MSG_NAME_LEN];
    char taskName[OS_MSG_NAME_LEN];
    uint64_t expiresNs; // monotonic
    uint32_t captureBytes;
    uint32_t idCount;
    uint32_t ids[MSG_CTL_MONITOR_IDS];
    uint32_t missed; // reports refused since the last one delivered
};

OsMutex g_monitorLock = PTHREAD_MUTEX_INITIALIZER;
MsgCtlMonitor g_monitors[MSG_CTL_MONITORS_MAX];
uint32_t g_monitorGeneration = 0U;
uint32_t g_monitorCount = 0U; // written under g_monitorLock, read without it: atomic

void MsgCtlCountMonitors(void) {
    uint32_t used = 0U;
    for (const MsgCtlMonitor &m : g_monitors) {
        used += m.generation != 0U ? 1U : 0U;
    }
    __atomic_store_n(&g_monitorCount, used, __ATOMIC_RELAXED);
}

/* Frees the places whose lease ran out; the caller holds g_monitorLock. */
void MsgCtlPurgeExpired(uint64_t nowNs) {
    for (MsgCtlMonitor &m : g_monitors) {
        if (m.generation != 0U && m.expiresNs <= nowNs) {
            m.generation = 0U;
        }
    }
}

/* The place of the monitor (cpu, proc, task), or NULL; the caller holds
 * g_monitorLock. */
MsgCtlMonitor *MsgCtlFindMonitor(uint32_t cpuId, const char *proc, const char *task) {
    for (MsgCtlMonitor &m : g_monitors) {
        if (m.generation != 0U && m.cpuId == cpuId && MsgNameEqual(m.procName, proc) &&
            MsgNameEqual(m.taskName, task)) {
            return &m;
        }
    }
    return nullptr;
}

bool MsgCtlWantsEvent(const MsgCtlMonitor &m, uint32_t msgId) {
    if (m.idCount == 0U) {
        return true;
    }
    for (uint32_t i = 0U; i < m.idCount; ++i) {
        if (m.ids[i] == msgId) {
            return true;
        }
    }
    return false;
}

/* Registers, renews or removes; the caller holds g_monitorLock. */
uint32_t MsgCtlApplyMonitor(const MsgHead *request, const MsgCtlMonitorReq &req) {
    MsgCtlPurgeExpired(MsgMonotonicNs());
    MsgCtlMonitor *place = MsgCtlFindMonitor(request->sendCpuId, request->sendProcName, req.taskName);
    if (req.op == MSG_CTL_MONITOR_REMOVE) {
        if (place != nullptr) {
            place->generation = 0U;
        }
        return OS_MSG_OK;
    }
    if (place == nullptr) {
        for (MsgCtlMonitor &m : g_monitors) {
            if (m.generation == 0U) {
                place = &m;
                break;
            }
        }
        if (place == nullptr) {
            return OS_MSG_ERR_FULL;
        }
        (void)memset(place, 0, sizeof(*place));
        g_monitorGeneration = g_monitorGeneration + 1U != 0U ? g_monitorGeneration + 1U : 1U;
        place->generation = g_monitorGeneration;
        place->cpuId = request->sendCpuId;
        (void)memcpy(place->procName, request->sendProcName, OS_MSG_NAME_LEN);
        (void)memcpy(place->taskName, req.taskName, OS_MSG_NAME_LEN);
    }
    uint32_t lease = req.leaseMs == 0U ? MSG_CTL_LEASE_DEFAULT_MS : req.leaseMs;
    place->expiresNs = MsgMonotonicNs() + (lease < MSG_CTL_LEASE_MAX_MS ? lease : MSG_CTL_LEASE_MAX_MS) * kNsPerMs;
    place->captureBytes = req.captureBytes < MSG_CTL_CAPTURE_MAX ? req.captureBytes : MSG_CTL_CAPTURE_MAX;
    place->idCount = req.idCount;
    (void)memcpy(place->ids, req.ids, sizeof(place->ids));
    return OS_MSG_OK;
}

/* One report to one monitor; its send's result. */
uint32_t MsgCtlReport(const MsgCtlMonitor &m, const MsgHead *event, uint64_t realNs) {
    uint8_t payload[sizeof(MsgCtlHead) + sizeof(MsgCtlEvent) + MSG_CTL_CAPTURE_MAX];
    MsgCtlEvent record;
    (void)memset(&record, 0, sizeof(record));
    record.realNs = realNs;
    record.msgId = event->msgId;
    record.dataLen = event->data != nullptr ? event->dataLen : 0U;
    record.sendPid = event->sendPid;
    record.sendUid = event->sendUid;
    // An event request names no sending process; the events this process
    // fans out are its own tasks'.
    const char *proc = MsgNameEmpty(event->sendProcName) ? MsgGetProcName() : event->sendProcName;
    (void)memcpy(record.sendProcName, proc, OS_MSG_NAME_LEN);
    (void)memcpy(record.sendTaskName, event->sendTaskName, OS_MSG_NAME_LEN);
    record.captured = record.dataLen < m.captureBytes ? record.dataLen : m.captureBytes;
    record.missed = m.missed;
    const MsgCtlHead head = MsgCtlMakeHead(OS_MSG_OK, 1U, sizeof(record), 1U);
    (void)memcpy(payload, &head, sizeof(head));
    (void)memcpy(payload + sizeof(head), &record, sizeof(record));
    if (record.captured != 0U) {
        (void)memcpy(payload + sizeof(head) + sizeof(record), event->data, record.captured);
    }
    MsgHead msg;
    (void)memset(&msg, 0, sizeof(msg));
    (void)memcpy(msg.sendProcName, MsgGetProcName(), OS_MSG_NAME_LEN);
    (void)memcpy(msg.sendTaskName, MSG_TASK_NAME_PMSG_CTL, sizeof(MSG_TASK_NAME_PMSG_CTL));
    msg.recvCpuId = m.cpuId;
    (void)memcpy(msg.recvProcName, m.procName, OS_MSG_NAME_LEN);
    (void)memcpy(msg.recvTaskName, m.taskName, OS_MSG_NAME_LEN);
    msg.msgId = MSG_ID_CTL_EVENT;
    msg.data = payload;
    msg.dataLen = (uint32_t)(sizeof(head) + sizeof(record) + record.captured);
    return OsMsgAsynSend(&msg);
}

/* Records a report's outcome in the place, if it still holds the same
 * registration; the caller holds g_monitorLock. */
void MsgCtlNoteReport(uint32_t index, uint32_t generation, uint32_t ret) {
    MsgCtlMonitor &m = g_monitors[index];
    if (m.generation != generation) {
        return;
    }
    if (ret == OS_MSG_OK) {
        m.missed = 0U;
    } else if (ret == OS_MSG_ERR_SERVER_NOT_RUNNING || ret == OS_MSG_ERR_NOT_FOUND) {
        m.generation = 0U; // its process or task is gone
    } else {
        m.missed += 1U;
    }
}

} // namespace

uint32_t MsgCtlMonitorCount(void) {
    return __atomic_load_n(&g_monitorCount, __ATOMIC_RELAXED);
}

void MsgCtlAnswerMonitor(MsgHead *request, const uint8_t *records, uint32_t count, uint32_t recordSize) {
    (void)recordSize; // at least sizeof(req), checked with the request's head
    MsgCtlMonitorReq req;
    if (count != 1U) {
        MsgCtlReply(request, OS_MSG_ERR_INVALID_PARAM, nullptr, 0U, 0U, 0U);
        return;
    }
    (void)memcpy(&req, records, sizeof(req));
    if (MsgNameEmpty(req.taskName) || strnlen(req.taskName, OS_MSG_NAME_LEN) == OS_MSG_NAME_LEN ||
        req.op > MSG_CTL_MONITOR_ADD || req.idCount > MSG_CTL_MONITOR_IDS) {
        MsgCtlReply(request, OS_MSG_ERR_INVALID_PARAM, nullptr, 0U, 0U, 0U);
        return;
    }
    (void)OsMutexLock(&g_monitorLock);
    uint32_t ret = MsgCtlApplyMonitor(request, req);
    MsgCtlCountMonitors();
    (void)OsMutexUnLock(&g_monitorLock);
    MsgCtlReply(request, ret, nullptr, 0U, 0U, 0U);
}

void MsgCtlMonitorTap(const MsgHead *event) {
    if (MsgCtlMonitorCount() == 0U) {
        return;
    }
    const uint64_t realNs = MsgCtlRealNs();
    MsgCtlMonitor chosen[MSG_CTL_MONITORS_MAX];
    uint32_t index[MSG_CTL_MONITORS_MAX];
    uint32_t n = 0U;
    (void)OsMutexLock(&g_monitorLock);
    MsgCtlPurgeExpired(MsgMonotonicNs());
    for (uint32_t i = 0U; i < MSG_CTL_MONITORS_MAX; ++i) {
        if (g_monitors[i].generation != 0U && MsgCtlWantsEvent(g_monitors[i], event->msgId)) {
            chosen[n] = g_monitors[i];
            index[n++] = i;
        }
    }
    MsgCtlCountMonitors();
    (void)OsMutexUnLock(&g_monitorLock);
    uint32_t results[MSG_CTL_MONITORS_MAX];
    for (uint32_t i = 0U; i < n; ++i) {
        results[i] = MsgCtlReport(chosen[i], event, realNs);
    }
    (void)OsMutexLock(&g_monitorLock);
    for (uint32_t i = 0U; i < n; ++i) {
        MsgCtlNoteReport(index[i], chosen[i].generation, results[i]);
    }
    MsgCtlCountMonitors();
    (void)OsMutexUnLock(&g_monitorLock);
}

void MsgCtlMonitorsClear(void) {
    (void)OsMutexLock(&g_monitorLock);
    for (MsgCtlMonitor &m : g_monitors) {
        m.generation = 0U;
    }
    MsgCtlCountMonitors();
    (void)OsMutexUnLock(&g_monitorLock);
}

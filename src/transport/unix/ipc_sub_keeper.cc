/*
 * Routing subscription requests to the publishers' processes, keeping what
 * went to other processes and sending it again when they join (see
 * ipc_sub_keeper.h for the rules and the lock).
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_sub_keeper.h"

#include <cstddef>
#include <cstring>
#include <mutex>

#include "base/msg_alloc.h"
#include "base/msg_forever.h"
#include "base/msg_names.h"
#include "base/msg_proc_name.h"
#include "base/msg_result_code.h"
#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/unix/ipc_unix_carrier.h"

namespace {

/* Subscription request payload: op byte, 32-bit count, then entries. */
constexpr uint32_t kSubHeadLen = 5U;
constexpr uint32_t kEntrySize = (uint32_t)sizeof(MsgSubEntry);
/* The kept array's first size; it doubles up to OS_MSG_SUB_KEPT_MAX. */
constexpr uint32_t kKeptFirst = 64U;

/* Guards the kept entries; held across the sends to other processes (see
 * the header). Never destroyed: a sender may hold it while a process that
 * left without tearing down runs its static destructors. */
MsgForever<std::mutex> g_ipcSubLock;
MsgSubEntry *g_kept = nullptr; /* g_ipcSubLock */
uint32_t g_keptCount = 0U;     /* g_ipcSubLock */
uint32_t g_keptRoom = 0U;      /* g_ipcSubLock */

/* Whether publisher process proc is served by the own broadcast task. */
bool IpcSubLocal(const char *proc) {
    return MsgNameEqual(proc, MSG_PROC_NAME_PMSG) || MsgNameEqual(proc, MsgGetProcName());
}

/* The same subscription: event, publisher and subscriber. */
bool IpcSubSame(const MsgSubEntry &a, const MsgSubEntry &b) {
    return a.msgId == b.msgId && a.cpuId == b.cpuId && MsgFieldEqual(a.procName, b.procName) &&
           MsgFieldEqual(a.taskName, b.taskName) && MsgFieldEqual(a.subTaskName, b.subTaskName);
}

int IpcSubFind(const MsgSubEntry &entry) {
    for (uint32_t i = 0U; i < g_keptCount; ++i) {
        if (IpcSubSame(g_kept[i], entry)) {
            return (int)i;
        }
    }
    return -1;
}

/* The request's entries with their subscribing task in subTaskName: an
 * empty one takes the task named before it in the request, else the
 * request's sender, as the publisher's table reads them. NULL without
 * memory. */
MsgSubEntry *IpcSubResolve(const MsgHead *head, uint32_t count) {
    auto *entries = static_cast<MsgSubEntry *>(MSG_MALLOC((size_t)count * kEntrySize));
    if (entries == nullptr) {
        return nullptr;
    }
    const char *subscriber = head->sendTaskName;
    for (uint32_t i = 0U; i < count; ++i) {
        std::memcpy(&entries[i], static_cast<const uint8_t *>(head->data) + kSubHeadLen + (size_t)i * kEntrySize,
                    kEntrySize);
        if (MsgNameEmpty(entries[i].subTaskName)) {
            std::memcpy(entries[i].subTaskName, subscriber, OS_MSG_NAME_LEN);
        }
        subscriber = entries[i].subTaskName;
    }
    return entries;
}

/* Sends the entries of entries[0, count) whose publisher is proc as one
 * request based on head: to the own broadcast task when local is set, else
 * to process proc. */
uint32_t IpcSubSendPart(const MsgHead *head, const MsgSubEntry *entries, uint32_t count, const char *proc, bool local) {
    auto *payload = static_cast<uint8_t *>(MSG_MALLOC(kSubHeadLen + (size_t)count * kEntrySize));
    if (payload == nullptr) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    uint32_t taken = 0U;
    for (uint32_t i = 0U; i < count; ++i) {
        if (MsgFieldEqual(entries[i].procName, proc)) {
            std::memcpy(payload + kSubHeadLen + (size_t)taken * kEntrySize, &entries[i], kEntrySize);
            taken += 1U;
        }
    }
    payload[0] = static_cast<const uint8_t *>(head->data)[0];
    std::memcpy(payload + 1, &taken, sizeof(taken));
    MsgHead part;
    std::memcpy(&part, head, sizeof(part));
    part.data = payload;
    part.dataLen = kSubHeadLen + taken * kEntrySize;
    uint32_t ret = local ? IPCMsgSendData(MSG_PROC_NAME_PMSG, MSG_TRANS_SUB_BRO, &part)
                         : IpcUnixSendTo(proc, MSG_TRANS_SUB_BRO, &part, false);
    MSG_FREE(payload);
    // A publisher that does not run gets its entries when it joins.
    return ret == OS_MSG_ERR_SERVER_NOT_RUNNING ? OS_MSG_OK : ret;
}

/* Whether entry i is the first of its publisher process among the
 * request's entries. */
bool IpcSubFirstOfProc(const MsgSubEntry *entries, uint32_t i) {
    for (uint32_t j = 0U; j < i; ++j) {
        if (MsgFieldEqual(entries[j].procName, entries[i].procName)) {
            return false;
        }
    }
    return true;
}

/* Makes room for count more kept entries (g_ipcSubLock held): false when
 * they would pass the bound or memory is short (logged). */
bool IpcSubReserve(uint32_t count) {
    if (count > OS_MSG_SUB_KEPT_MAX - g_keptCount) {
        MSG_LOG(OS_MSG_LOG_ERROR, "subscription refused: %u kept for other processes, at most %u.", g_keptCount,
                OS_MSG_SUB_KEPT_MAX);
        return false;
    }
    uint32_t room = g_keptRoom == 0U ? kKeptFirst : g_keptRoom;
    while (room < g_keptCount + count) {
        room *= 2U;
    }
    room = room < OS_MSG_SUB_KEPT_MAX ? room : OS_MSG_SUB_KEPT_MAX;
    if (room == g_keptRoom) {
        return true;
    }
    auto *bigger = static_cast<MsgSubEntry *>(MSG_MALLOC((size_t)room * kEntrySize));
    if (bigger == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "malloc error.");
        return false;
    }
    if (g_keptCount != 0U) {
        std::memcpy(bigger, g_kept, (size_t)g_keptCount * kEntrySize);
    }
    if (g_kept != nullptr) {
        MSG_FREE(g_kept);
    }
    g_kept = bigger;
    g_keptRoom = room;
    return true;
}

/* Keeps (subscribe) or forgets the remote entries of the request
 * (g_ipcSubLock held). 0, or 0x8002000c with nothing changed. */
uint32_t IpcSubKeep(const MsgSubEntry *entries, uint32_t count, bool subscribe) {
    if (subscribe) {
        uint32_t fresh = 0U;
        for (uint32_t i = 0U; i < count; ++i) {
            fresh += !IpcSubLocal(entries[i].procName) && IpcSubFind(entries[i]) < 0 ? 1U : 0U;
        }
        if (fresh != 0U && !IpcSubReserve(fresh)) {
            return OS_MSG_ERR_NO_IDLE_BLOCK;
        }
    }
    for (uint32_t i = 0U; i < count; ++i) {
        if (IpcSubLocal(entries[i].procName)) {
            continue;
        }
        int at = IpcSubFind(entries[i]);
        if (subscribe && at < 0) {
            g_kept[g_keptCount++] = entries[i];
        } else if (!subscribe && at >= 0) {
            g_kept[at] = g_kept[--g_keptCount];
        }
    }
    return OS_MSG_OK;
}

/* Keeps and sends the entries for other processes, one request per
 * publisher process (g_ipcSubLock taken here). */
uint32_t IpcSubSendRemote(const MsgHead *head, const MsgSubEntry *entries, uint32_t count) {
    std::lock_guard<std::mutex> guard(*g_ipcSubLock);
    uint32_t ret = IpcSubKeep(entries, count, static_cast<const uint8_t *>(head->data)[0] != 0U);
    for (uint32_t i = 0U; i < count && ret == OS_MSG_OK; ++i) {
        if (!IpcSubLocal(entries[i].procName) && IpcSubFirstOfProc(entries, i)) {
            ret = IpcSubSendPart(head, entries, count, entries[i].procName, false);
        }
    }
    return ret;
}

} // namespace

uint32_t IpcSubKeeperSend(MsgHead *head) {
    uint32_t count = 0U;
    if (head->data == nullptr || head->dataLen < kSubHeadLen) {
        return IPCMsgSendData(MSG_PROC_NAME_PMSG, MSG_TRANS_SUB_BRO, head);
    }
    std::memcpy(&count, static_cast<const uint8_t *>(head->data) + 1, sizeof(count));
    uint32_t fit = (head->dataLen - kSubHeadLen) / kEntrySize;
    count = count < fit ? count : fit;
    if (count == 0U) {
        return IPCMsgSendData(MSG_PROC_NAME_PMSG, MSG_TRANS_SUB_BRO, head);
    }
    MsgSubEntry *entries = IpcSubResolve(head, count);
    if (entries == nullptr) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    uint32_t ret = IpcSubSendRemote(head, entries, count);
    for (uint32_t i = 0U; i < count && ret == OS_MSG_OK; ++i) {
        if (IpcSubLocal(entries[i].procName) && IpcSubFirstOfProc(entries, i)) {
            ret = IpcSubSendPart(head, entries, count, entries[i].procName, true);
        }
    }
    MSG_FREE(entries);
    return ret;
}

void IpcSubKeeperResend(const char *procName) {
    std::lock_guard<std::mutex> guard(*g_ipcSubLock);
    uint32_t n = 0U;
    for (uint32_t i = 0U; i < g_keptCount; ++i) {
        n += MsgNameEqual(g_kept[i].procName, procName) ? 1U : 0U;
    }
    auto *payload = n != 0U ? static_cast<uint8_t *>(MSG_MALLOC(kSubHeadLen + (size_t)n * kEntrySize)) : nullptr;
    if (payload == nullptr) {
        return;
    }
    uint32_t taken = 0U;
    for (uint32_t i = 0U; i < g_keptCount;) {
        const MsgSubEntry &entry = g_kept[i];
        if (!MsgNameEqual(entry.procName, procName)) {
            ++i;
        } else if (SimpleMsgQueueRoom(MsgNameCopy(entry.subTaskName).text) == SIMPLE_MSG_ROOM_GONE) {
            g_kept[i] = g_kept[--g_keptCount]; // its subscriber is gone
        } else {
            std::memcpy(payload + kSubHeadLen + (size_t)taken++ * kEntrySize, &entry, kEntrySize);
            ++i;
        }
    }
    if (taken != 0U) {
        payload[0] = 1U;
        std::memcpy(payload + 1, &taken, sizeof(taken));
        MsgHead head;
        std::memset(&head, 0, sizeof(head));
        head.msgId = MSG_ID_SUBSCRIBE;
        head.sendCpuId = MsgGetLocalCpuID();
        head.recvCpuId = head.sendCpuId;
        (void)strncpy(head.sendProcName, MsgGetProcName(), OS_MSG_NAME_LEN - 1U);
        std::memcpy(head.sendTaskName, payload + kSubHeadLen + offsetof(MsgSubEntry, subTaskName), OS_MSG_NAME_LEN);
        std::memcpy(head.recvProcName, MSG_PROC_NAME_PMSG, sizeof(MSG_PROC_NAME_PMSG));
        std::memcpy(head.recvTaskName, MSG_TASK_NAME_PMSG_BRO, sizeof(MSG_TASK_NAME_PMSG_BRO));
        head.data = payload;
        head.dataLen = kSubHeadLen + taken * kEntrySize;
        uint32_t ret = IpcUnixSendTo(procName, MSG_TRANS_SUB_BRO, &head, false);
        if (ret != OS_MSG_OK && ret != OS_MSG_ERR_SERVER_NOT_RUNNING) {
            MSG_LOG(OS_MSG_LOG_ERROR, "%u subscriptions not sent again to [%.16s]: " MSG_CODE_FMT, taken, procName,
                    MSG_CODE_ARGS(ret));
        }
    }
    MSG_FREE(payload);
}

void IpcSubKeeperClear(void) {
    std::lock_guard<std::mutex> guard(*g_ipcSubLock);
    if (g_kept != nullptr) {
        MSG_FREE(g_kept);
    }
    g_kept = nullptr;
    g_keptCount = 0U;
    g_keptRoom = 0U;
}

uint32_t IpcSubKeeperCount(void) {
    std::lock_guard<std::mutex> guard(*g_ipcSubLock);
    return g_keptCount;
}

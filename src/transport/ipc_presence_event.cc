/*
 * The events "process joined" and "process left", published in this process
 * through the ordinary event path (see IPCMsgPublishPresence in ipc_msg.h).
 * Thread safety: no state; the request is built on the caller's stack.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <cstdio>
#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_proc_name.h"
#include "base/msg_result_code.h"
#include "broadcast/msg_broadcast.h"
#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "vyre_os_thread.h"

namespace {

/* One attempt: a copy into the own broadcast task's queue. */
uint32_t IpcPresencePush(MsgHead *head, uint32_t) {
    return IPCMsgSendData(MSG_PROC_NAME_PMSG, MSG_TRANS_SUB_BRO, head);
}

} // namespace

uint32_t IPCMsgPublishPresence(uint32_t msgId, const char *procName, uint32_t pid) {
    OsMsgProcEvent event;
    std::memset(&event, 0, sizeof(event));
    (void)snprintf(event.procName, sizeof(event.procName), "%.15s", procName);
    event.pid = pid;
    MsgBroEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    std::memcpy(entry.taskName, MSG_TASK_NAME_PMSG_BRO, sizeof(MSG_TASK_NAME_PMSG_BRO));
    entry.msgId = msgId;
    entry.dataLen = (int32_t)sizeof(event);
    entry.data = &event;
    // The publisher is the library's broadcast task of the reserved process
    // "pmsg": its subscribers name it so, and receivers tell these events by
    // it.
    MsgHead head;
    std::memset(&head, 0, sizeof(head));
    head.msgId = MSG_ID_BROADCAST;
    head.sendCpuId = MsgGetLocalCpuID();
    head.recvCpuId = head.sendCpuId;
    head.sendPid = OsGetPId();
    head.sendUid = OsGetUId();
    std::memcpy(head.sendProcName, MSG_PROC_NAME_PMSG, sizeof(MSG_PROC_NAME_PMSG));
    std::memcpy(head.sendTaskName, MSG_TASK_NAME_PMSG_BRO, sizeof(MSG_TASK_NAME_PMSG_BRO));
    std::memcpy(head.recvTaskName, MSG_TASK_NAME_PMSG_BRO, sizeof(MSG_TASK_NAME_PMSG_BRO));
    uint32_t ret = MsgSetBroadcastData(&head, &entry, 1U, nullptr);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    ret = SimpleMsgSendWaitingRoom(IpcPresencePush, 0U, &head, IPC_PRESENCE_PUBLISH_WAIT_MS);
    MSG_FREE(head.data);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "event 0x%x about process [%.16s] not published: " MSG_CODE_FMT, msgId, procName,
                MSG_CODE_ARGS(ret));
    }
    return ret;
}

/*
 * The gate on accepted links (see ipc_link_gate.h). Receive thread only.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_link_gate.h"

#include <cstdio>
#include <cstring>

#include "base/msg_names.h"
#include "base/msg_proc_name.h"
#include "log/msg_log.h"
#include "msc/msg_msc.h"
#include "simple_msg/simple_msg_stats.h"
#include "transport/ipc_access.h"
#include "transport/msg_adapter.h"

namespace {

/* The own process name, zero-padded, and CPU. */
char g_ipcGateName[OS_MSG_NAME_LEN];
uint32_t g_ipcGateCpu = 0U;

/* The sender of link as the gate judges it: the ids of its last datagram,
 * with the groups the link connected with while those are its ids. */
IpcAccessWho IpcGateWho(const IpcLink *link) {
    const IpcLinkGate &gate = link->recv.gate;
    bool same = gate.uid == link->uid && gate.gid == link->gid;
    return {gate.uid, gate.gid, same ? link->groups : nullptr, same ? link->groupCount : 0U};
}

bool IpcGateAddressed(int32_t transType, const MsgHead *head) {
    if (head->recvCpuId == g_ipcGateCpu && MsgFieldEqual(head->recvProcName, g_ipcGateName)) {
        return true;
    }
    if (transType == (int32_t)MSG_TRANS_SUB_BRO) {
        // Subscriptions go to the broadcast task of the publisher's process.
        return head->recvCpuId == g_ipcGateCpu && MsgNameEqual(head->recvProcName, MSG_PROC_NAME_PMSG) &&
               MsgNameEqual(head->recvTaskName, MSG_TASK_NAME_PMSG_BRO);
    }
    // The board-support process takes messages from other CPUs for the
    // processes it relays them to.
    return head->sendCpuId != head->recvCpuId && MsgNameEqual(MsgGetProcName(), MsgGetBspProcName());
}

/* Logs the refusal of a message for task, once per link and task (the
 * tasks past IPC_LINK_GATE_LOGGED share one line). */
void IpcGateLogRefusal(IpcLink *link, const MsgHead *head, uint32_t pid) {
    IpcLinkGate &gate = link->recv.gate;
    for (uint32_t i = 0U; i < gate.logged && i < IPC_LINK_GATE_LOGGED; ++i) {
        if (MsgFieldEqual(gate.refused[i], head->recvTaskName)) {
            return;
        }
    }
    if (gate.logged > IPC_LINK_GATE_LOGGED) {
        return;
    }
    if (gate.logged == IPC_LINK_GATE_LOGGED) {
        MSG_LOG(OS_MSG_LOG_ERROR,
                "messages from pid %u refused by the access policy for further tasks: counted, not "
                "logged.",
                pid);
    } else {
        std::memcpy(gate.refused[gate.logged], head->recvTaskName, OS_MSG_NAME_LEN);
        MSG_LOG(OS_MSG_LOG_ERROR,
                "message 0x%x for task [%.16s] from pid %u (uid %u, gid %u) refused by the access policy; further "
                "ones from it are counted in the task's refusedAccess.",
                head->msgId, head->recvTaskName, pid, gate.uid, gate.gid);
    }
    gate.logged += 1U;
}

} // namespace

void IpcGateOpen(const char *procName, uint32_t cpuId) {
    std::memset(g_ipcGateName, 0, sizeof(g_ipcGateName));
    (void)snprintf(g_ipcGateName, sizeof(g_ipcGateName), "%.15s", procName);
    g_ipcGateCpu = cpuId;
}

const char *IpcGateName(void) {
    return g_ipcGateName;
}

uint32_t IpcGateCpu(void) {
    return g_ipcGateCpu;
}

bool IpcGateJudge(IpcLink *link, uint32_t pid, uint32_t uid, uint32_t gid) {
    IpcLinkGate &gate = link->recv.gate;
    gate.pid = pid;
    const uint32_t gen = IpcAccessGeneration();
    if (gate.gen != gen || gate.uid != uid || gate.gid != gid) {
        gate.gen = gen;
        gate.uid = uid;
        gate.gid = gid;
        const IpcAccessWho who = IpcGateWho(link);
        gate.verdict = IpcAccessJudge(&who);
        gate.logged = 0U; // other rules or another sender: its refusals are news
    }
    return gate.verdict == IPC_ACCESS_ALL;
}

bool IpcGateAdmit(IpcLink *link, int32_t transType, const MsgHead *head) {
    IpcLinkGate &gate = link->recv.gate;
    const uint32_t pid = gate.pid;
    if (!IpcGateAddressed(transType, head)) {
        if (!gate.misaddressed) {
            gate.misaddressed = true;
            MSG_LOG(OS_MSG_LOG_ERROR,
                    "message 0x%x for [%.16s] on cpu %u from pid %u dropped: this process is [%s] on cpu %u (further "
                    "ones on this connection are dropped silently).",
                    head->msgId, head->recvProcName, head->recvCpuId, pid, g_ipcGateName, g_ipcGateCpu);
        }
        if (transType == (int32_t)MSG_TRANS_SYN) {
            IpcLinkSendRefusal(link, head, OS_MSG_ERR_NOT_FOUND);
        }
        return false;
    }
    if (gate.verdict == IPC_ACCESS_ALL) {
        return true;
    }
    const IpcAccessWho who = IpcGateWho(link);
    if (gate.verdict == IPC_ACCESS_SOME && IpcAccessAllows(&who, head->recvTaskName, head->msgId)) {
        return true;
    }
    IpcGateLogRefusal(link, head, pid);
    const MsgNameCopy task(head->recvTaskName);
    SimpleMsgCountAccessRefused(task.text);
    if (transType == (int32_t)MSG_TRANS_SYN) {
        IpcLinkSendRefusal(link, head, OS_MSG_ERR_ACCESS);
    }
    return false;
}

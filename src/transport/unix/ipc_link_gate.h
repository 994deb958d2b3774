/*
 * The receiving side's gate on the links other processes opened to this one:
 * a message that came on one is delivered only when it is addressed to this
 * process (its name and CPU; a subscription request for the broadcast task
 * "pmsgBro" of "pmsg" too, and, in the board-support process, a message from
 * another CPU it relays) and the access policy (ipc_access.h) accepts its
 * sender for its task and id. Answers, which come back on the links this
 * process opened, do not pass it.
 *
 * A link keeps the verdict on its sender (IpcLinkGate) for as long as the
 * policy and the sender's ids do not change, so a datagram costs the gate a
 * few comparisons and a whole asynchronous record one more, the address (the
 * sink's runs check it, see ipc_frame.h). Only a sender the policy accepts
 * for some tasks or ids but not all is looked up per message.
 *
 * What the gate turns away is dropped: a message addressed elsewhere with
 * one log line per link, a refused one with one log line per link and task
 * and counted in the task's statistics; a synchronous request either way is
 * answered at once with a refusal record (IPC_CONTROL_REFUSED), which ends
 * the call with OS_MSG_ERR_NOT_FOUND or OS_MSG_ERR_ACCESS.
 *
 * Thread safety: the receive thread alone calls these functions (the gate
 * state is its own, in each link); IpcGateOpen runs while no receive thread
 * does (the carrier's open). The policy is read under its lock, and a count
 * takes simpleQueueLock.
 */
#ifndef VYRE_IPC_LINK_GATE_H
#define VYRE_IPC_LINK_GATE_H

#include <stdint.h>

#include "transport/unix/ipc_link.h"
#include "vyre_os_msg.h"

/* Sets the process name (at most 15 characters) and CPU the gate lets
 * messages in for. */
void IpcGateOpen(const char *procName, uint32_t cpuId);

/* The own name as a zero-padded 16-byte field, and the CPU, as the sinks'
 * runs compare them. */
const char *IpcGateName(void);
uint32_t IpcGateCpu(void);

/* Brings the verdict on accepted link's sender up to date for a datagram
 * with the kernel's ids pid, uid and gid. True when everything it sends is
 * accepted. */
bool IpcGateJudge(IpcLink *link, uint32_t pid, uint32_t uid, uint32_t gid);

/* Whether the message head of transport type transType, which came on
 * accepted link in the datagram last judged, is to be delivered; when it is
 * not, it has been dealt with as the file comment says (the caller releases
 * its payload). */
bool IpcGateAdmit(IpcLink *link, int32_t transType, const MsgHead *head);

#endif /* VYRE_IPC_LINK_GATE_H */

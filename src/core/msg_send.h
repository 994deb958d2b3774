/*
 * Send routing and sender stamping.
 *
 * Every message that leaves a task passes through here: its sender fields are
 * stamped with this process's CPU id, user id and process id and the sending
 * thread's task name, so receivers can trust them, and the message is
 * classified by where its receiver lives (the inner route type) and handed to
 * the in-process task layer or to the transport adapter.
 *
 * Thread safety: the layer keeps no state. Every operation runs on the
 * caller's thread, touches only the caller's header and takes only the locks
 * of the in-process layer and the transport adapter below it. Any thread may
 * call any operation concurrently with others, provided no header is shared
 * between threads while it is being sent. None of these operations allocates
 * beyond the payload copies the layers below make.
 *
 * Results are the codes of vyre_os_msg.h; failures of the layers below are
 * passed up unchanged.
 */
#ifndef VYRE_MSG_SEND_H
#define VYRE_MSG_SEND_H

#include <stdint.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Inner route types: where the receiver of a message lives. */
#define MSG_INNER_OTHER_CPU 0U  /* on another CPU */
#define MSG_INNER_OTHER_PROC 1U /* another process on this CPU */
#define MSG_INNER_OTHER_TASK 2U /* another task of this process */
#define MSG_INNER_SAME_TASK 3U  /* the sending task itself */
#define MSG_INNER_NA 4U         /* relayed between CPUs by the board-support process for another process */

/*
 * Stamps the sender fields of head in place. recvCpuId is first replaced by
 * its real CPU id (on failure: INFO line, unchanged). Messages of the reserved
 * sender processes ("sysctrl", "pmsg" and the board-support process, judged
 * by the own process name) keep what the caller wrote and only get what is
 * missing (MsgFillSendMsg). Any other process gets sendCpuId, sendUid and
 * sendPid overwritten; sendProcName keeps what the caller wrote; an empty
 * sendTaskName becomes the calling thread's task name, or "T<kernel thread
 * id>" for a thread that is no registered task.
 * Returns 1 for a reserved sender, when sendTaskName was already set, or when
 * the calling thread is a registered task; 0 when the thread's generated name
 * was filled in because no task of that name exists.
 */
OS_MSG_API uint32_t MsgForceSetSendName(MsgHead *head);

/*
 * Fills only what is missing in the sender fields of head: sendCpuId 0 becomes
 * the local CPU id, an empty sendProcName the own process name, an empty
 * sendTaskName the calling thread's task name. sendUid and sendPid stay.
 */
OS_MSG_API void MsgFillSendMsg(MsgHead *head);

/*
 * The inner route type (MSG_INNER_*) of head. isResponse is 1 when head is a
 * request as its responder received it, which is to be answered (the
 * requester stands in the sender fields), else 0.
 */
OS_MSG_API uint32_t MsgGetInnerType(const MsgHead *head, uint32_t isResponse);

/*
 * Sends head asynchronously: to the receiver's queue in this process (inner
 * types 2 and 3), else through the transport adapter with transport message
 * type transType (MSG_TRANS_*). msgKind becomes 0 unless the route is
 * MSG_INNER_NA. The payload is copied before the call returns; the caller
 * keeps head and its payload. The transport may rewrite head's receiver
 * fields. Results of SimpleMsgAsynSend or PMsgAsynSend.
 */
OS_MSG_API uint32_t MsgAsynSend(MsgHead *head, uint32_t transType);

/*
 * As MsgAsynSend, but a full receiver's queue is waited for, at most waitMs
 * (0: not at all): in this process the sender sleeps until the receiving
 * task's loop takes a message, through the transport until the carrier
 * reports room. 0x80020007 when the queue stayed full; other results as
 * MsgAsynSend. Not exported: OsMsgAsynSendTimed is the public call.
 */
uint32_t MsgAsynSendTimed(MsgHead *head, uint32_t transType, uint32_t waitMs);

/*
 * Sends head as a synchronous request and waits for the answer, at most
 * timeout ms (0 selects 30000). found is MsgForceSetSendName's result for
 * head: 0 means the sending thread is no task, and a temporary task named
 * sendTaskName (queue length 1, no callback, removed with its response) is
 * registered to receive the answer. A request to the sending task itself
 * calls its callback on this thread (no time-out).
 * 0 and *respOut = the response header (its sender and receiver fields are
 * the request's), which stays with the requesting task until MsgFreeResp;
 * *respOut is written only on success, so the caller sets it to NULL before
 * the call (respOut may be NULL: the response is then only kept). Failures:
 * the registration's code (anything but 0x80020013, logged "can not send syn
 * msg."), 0x80020014 for an in-process time-out, 0x80020015 for a time-out
 * through the transport, and the codes of the layers below. After a failure
 * that left *respOut NULL, a temporary task is removed again.
 */
OS_MSG_API uint32_t MsgSynSend(MsgHead *head, MsgHead **respOut, uint32_t timeout, uint32_t transType, uint32_t found);

/*
 * Answers the request head, as the responder's callback received it, with a
 * copy of the len bytes at data (none for NULL data or len 0); the caller
 * keeps data. msgKind of head becomes 2 unless the route is MSG_INNER_NA.
 * Results of SimpleMsgDirectResp, SimpleMsgRespSend or PMsgSendResp.
 */
OS_MSG_API uint32_t MsgSynSendResp(MsgHead *head, const void *data, uint32_t len);

/*
 * Releases a response that MsgSynSend returned (head is that response; its
 * payload is released and must not be used afterwards). A temporary task of
 * the requester is removed with it. Results of SimpleMsgDirectFreeResp or
 * SimpleMsgFreeRespBuffer.
 */
OS_MSG_API uint32_t MsgFreeResp(const MsgHead *head);

/* MsgAsynSend of a message with cargo (a shared buffer, descriptors), which
 * it takes in every case: the layer below keeps it once the message is
 * queued and releases it otherwise. Internal: not exported. */
uint32_t MsgAsynSendCargo(MsgHead *head, uint32_t transType, struct MsgCargo *cargo);

/* MsgSynSend of a request with cargo, taken in every case as by
 * MsgAsynSendCargo. Internal. */
uint32_t MsgSynSendCargo(MsgHead *head, MsgHead **respOut, uint32_t timeout, uint32_t transType, uint32_t found,
                         struct MsgCargo *cargo);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_SEND_H */

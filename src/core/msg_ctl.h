/*
 * The control task "pmsgCtl": every process's answering point for the
 * control protocol (msg_ctl_proto.h), served by a library thread of its own
 * so that it answers also while the application's tasks and the broadcast
 * task are busy or stuck. It reads only the library's own tables (the task
 * counters, the subscription table) and is never on the path of an
 * application's message.
 *
 * Thread safety. MsgCtlStart and MsgCtlStop run in set-up and teardown,
 * under the initialisation lock. The task's callback runs on the control
 * thread; the monitor table (msg_ctl_monitor.cc) has a leaf lock of its own,
 * taken by the control thread (registrations) and the broadcast task's
 * thread (reports), never while sending.
 */
#ifndef VYRE_MSG_CTL_H
#define VYRE_MSG_CTL_H

#include <stdint.h>

#include "vyre_os_msg.h"

/* Registers the control task, starts its thread (named, detached) and
 * returns once the thread has claimed the task's loop, so that a teardown
 * right after finds the loop to end; installs the monitors' broadcast tap.
 * 0; the registration's code; 0x8002001f (no thread: the task stays for the
 * teardown to remove). */
uint32_t MsgCtlStart(void);

/* Forgets the monitors; run by teardown once the task table is gone (the
 * control thread then leaves on its own). */
void MsgCtlStop(void);

/* The control task's callback: answers each synchronous request of the
 * control protocol; ignores other messages. */
uint32_t MsgCtlTaskCallback(MsgHead *msg);

/* Request handlers (msg_ctl_listing.cc, msg_ctl_monitor.cc), each answering
 * request with OsMsgSynSendResp. payload/len: the request's records after
 * its head (already checked to lie inside the request). */
void MsgCtlAnswerTasks(MsgHead *request, const uint8_t *records, uint32_t count, uint32_t recordSize);
void MsgCtlAnswerSubs(MsgHead *request);
void MsgCtlAnswerMonitor(MsgHead *request, const uint8_t *records, uint32_t count, uint32_t recordSize);

/* Answers request with a payload of count records of recordSize bytes
 * (result OS_MSG_OK) or, when records is NULL, with the head alone carrying
 * result. The records are copied. */
void MsgCtlReply(MsgHead *request, uint32_t result, const void *records, uint32_t count, uint32_t recordSize,
                 uint32_t total);

/* Monitors (msg_ctl_monitor.cc): how many are registered, and the tap that
 * reports each fanned-out event to them. */
uint32_t MsgCtlMonitorCount(void);
void MsgCtlMonitorTap(const MsgHead *event);
void MsgCtlMonitorsClear(void);

/* Nanoseconds since 1970 on the wall clock. */
uint64_t MsgCtlRealNs(void);

#endif /* VYRE_MSG_CTL_H */

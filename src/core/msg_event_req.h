/*
 * Event requests: subscribe, unsubscribe and broadcast.
 *
 * The sending process keeps nothing of these: each request is packed into a
 * message with a reserved id (MSG_ID_SUBSCRIBE, MSG_ID_BROADCAST) addressed to
 * task "pmsgBro" of process "pmsg" and sent asynchronously with transport
 * message type MSG_TRANS_SUB_BRO; the broadcast task applies it to the
 * subscription table or fans the events out.
 *
 * Subscription payload (MsgSubReq): byte 0 op (1 subscribe, 0 unsubscribe),
 * bytes 1-4 the entry count (unaligned, host order), then the counted 56-byte
 * MsgSubEntry records from byte 5. Entries of the local CPU travel together
 * in one message; every entry of another CPU travels alone, in a 61-byte
 * message addressed to that CPU.
 *
 * Delivery: a request that returns 0 is queued for the broadcast task and
 * takes effect, in the order the requests were queued. When the broadcast
 * task's queue is full, the sending call waits for room, up to
 * MSG_EVENT_REQ_WAIT_MS, and then fails with 0x80020007; no request is
 * dropped after its call returned 0. (A request for a broadcast task that
 * does not exist is accepted and dropped, as every message for a missing
 * task on the transport route.)
 *
 * Thread safety: no state; every operation runs on the caller's thread and
 * builds its request on the stack. Any thread may call them concurrently.
 * Every payload built here is released before the call returns, because the
 * layers below copy it before they queue it.
 */
#ifndef VYRE_MSG_EVENT_REQ_H
#define VYRE_MSG_EVENT_REQ_H

#include <stdint.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How long a request waits for room in the broadcast task's queue, in
 * milliseconds. Shorter than the broadcast task's own wait for room in a
 * subscriber's queue (MSG_BRO_DELIVER_WAIT_MS), so that a subscriber whose
 * callback sends a request while the broadcast task waits for it gives up
 * first and lets the broadcast task go on. */
#define MSG_EVENT_REQ_WAIT_MS 1000U

/* Bytes before the first entry of a subscription payload. */
#define MSG_SUB_REQ_HEAD_LEN 5U
/* A subscription payload carrying one entry for another CPU. */
#define MSG_SUB_CPU_REQ_LEN 61U

/*
 * Sends a subscription (op 1) or unsubscription (op 0) of count entries
 * (count >= 1). Each entry's cpuId is replaced in place by its real CPU id.
 * Entries of other CPUs are sent one by one as they come; the local entries
 * then go out together in one message. The caller keeps entries.
 * 0; 0x8002000b (logged "msg oversize") when count * 56 + 5 plus the 168-byte
 * header exceed 0x400000, tested before anything is built or allocated;
 * 0x80020020 when memory is short; 0xFFFFFFFF when no entry belongs to the
 * local CPU (the entries of other CPUs were sent); the failure of sending an
 * entry of another CPU (the entries before it stay sent, the local part is
 * not sent); the result of the send, 0x80020007 when the broadcast task's
 * queue stayed full for MSG_EVENT_REQ_WAIT_MS.
 */
OS_MSG_API uint32_t MsgSendSubMsg(MsgSubEntry *entries, uint32_t count, uint32_t op);

/*
 * Fills the subscription payload of head (head->data, head->dataLen bytes,
 * count * 56 + 5 for a whole request) from count entries: every entry whose
 * real CPU id (written back into its cpuId) differs from head->sendCpuId is
 * sent alone with MsgSubscribeCpuData; the others are copied in order from
 * byte 5, and the payload behind the last copied entry is zero-filled. Byte 0
 * becomes op and bytes 1-4 the number of copied entries; head->dataLen stays,
 * the receiver reads only the counted entries.
 * 0 when the payload holds at least one entry; 0xFFFFFFFF (payload untouched)
 * when every entry went to another CPU; the first failure of
 * MsgSubscribeCpuData, which ends the request; 0x80020001 for a NULL head or
 * entries; 0x8002000e when the payload cannot hold its 5-byte head. An
 * entry that does not fit the payload is logged ("memcpy error.") and left
 * out.
 */
OS_MSG_API uint32_t MsgSetSubscribeData(MsgHead *head, MsgSubEntry *entries, uint32_t count, uint32_t op);

/*
 * Sends one entry for another CPU alone: a 61-byte payload (op, count 1, the
 * entry) to "pmsgBro" on CPU entry->cpuId, with the default channel type in
 * mscBlock. The caller keeps entry. 0; 0x80020020 when memory is short;
 * 0x8002000e when a copy fails; 0x80020001 for a NULL entry; the result of
 * the send.
 */
OS_MSG_API uint32_t MsgSubscribeCpuData(const MsgSubEntry *entry, uint32_t op);

/*
 * Publishes count events (MsgBroEntry) to their subscribers; an event with an
 * empty taskName is published under the sending task's name. The caller
 * keeps events and their data.
 * 0; the packing's failures (0x80020001, 0x8002000b, 0x80020020); the result
 * of the send, 0x80020007 when the broadcast task's queue stayed full for
 * MSG_EVENT_REQ_WAIT_MS.
 */
OS_MSG_API uint32_t MsgSendBroadcastMsg(const MsgBroEntry *events, uint32_t count);

/* MsgSendBroadcastMsg of one event whose data is cargo's shared buffer: the
 * request carries the event without data, and the cargo (marked
 * MSG_CARGO_BROADCAST), so that the broadcast task hands every subscriber a
 * reference to the buffer. Takes the cargo in every case. Results of
 * MsgSendBroadcastMsg. Internal: not exported. */
uint32_t MsgSendBroadcastBufMsg(const MsgBroEntry *event, struct MsgCargo *cargo);

/* How MsgSetSubscribeData obtains an entry's real CPU id; MsgCpuGetRealCpuID
 * unless a test places entries on other CPUs. Set it only while no
 * subscription request is being built. */
typedef uint32_t (*MsgRealCpuIdFunc)(uint32_t cpuId, uint32_t *realCpuId);
extern MsgRealCpuIdFunc g_pfnMsgSubRealCpuId;

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_EVENT_REQ_H */

/*
 * The sending side of shared buffers and descriptors on the socket carrier:
 * the cargo send the carrier registers (MsgAdpSetCargoSend) while it is
 * open, and the datagram of one message with cargo on a link.
 *
 * A message with cargo takes the road of any message to another process
 * (the peer's link, its flow control, one reconnection when the link turns
 * out broken). A shared buffer is lent, not copied: the link's share
 * enters a reference under a new id, and the record names the block;
 * before the first message that names a segment on a link, the same
 * datagram tells the peer of the segment with a read-only descriptor of it.
 * A message with descriptors (SCM_RIGHTS), with such an announcement, or
 * that is a call goes alone in its datagram, after what is batched for the
 * peer; an asynchronous one that only lends a buffer the peer's segment
 * holds joins the peer's batch as a small message does (ipc_send_batch.h).
 * A payload with descriptors larger than IPC_CARGO_INLINE_MAX is copied
 * into a shared buffer first, so that it still goes in one datagram.
 *
 * Thread safety: any sending thread; the peer's lock is held as for any
 * message (ipc_unix_send.cc).
 */
#ifndef VYRE_IPC_CARGO_SEND_H
#define VYRE_IPC_CARGO_SEND_H

#include <stdint.h>

#include "shared_buf/msg_cargo.h"
#include "transport/unix/ipc_link.h"
#include "transport/unix/ipc_peer_cache.h"
#include "transport/unix/ipc_send_room.h"

/* One message's cargo on its way. */
typedef struct IpcCargoOut {
    MsgCargo *cargo;  /* the message's, released by the cargo send when it is done */
    uint32_t refusal; /* why a lend failed (0x80020020, 0x8002000d), else 0 */
    IpcLink *lentOn;  /* the link the buffer was lent on (a reference held), NULL before */
    uint32_t refId;   /* and the reference's id there */
} IpcCargoOut;

/* The cargo send of the carrier (MsgAdpSetCargoSend's contract): to a task
 * of this process (and a broadcast request to its broadcast task) through
 * the loopback's cargo send, to another process over its link. Takes the
 * cargo in every case. 0; the codes of an asynchronous send (0x80020007,
 * 0x80020002, ...); 0x80020011 for an answer (answers carry no cargo
 * between processes); 0x8002000b for a copied payload above
 * OS_MSG_MAX_DATA_LEN; 0x80020007 also when a large payload with
 * descriptors finds the pool of shared buffers full. */
uint32_t IpcUnixSendCargo(const char *destProcName, uint32_t transType, MsgHead *head, MsgCargo *cargo);

/* Sends the message wire (its payload copy at data, when it has one) with
 * out's cargo on link, peer's link, after what is batched for peer, or
 * puts it into the batch; peer's lock held (released while waiting for
 * room within budget). IPC_SEND_OK with out->lentOn set when its buffer
 * was lent (sent or batched); otherwise the lend is undone. */
IpcSendResult IpcCargoSendOnLink(IpcPeer *peer, IpcLink *link, uint32_t transType, const MsgHead *wire,
                                 const void *data, IpcCargoOut *out, IpcSendBudget &budget);

/* Sends head with out's cargo to process destProcName, another process
 * (ipc_unix_send.cc). */
uint32_t IpcUnixSendCargoTo(const char *destProcName, uint32_t transType, MsgHead *head, IpcCargoOut *out);

#endif /* VYRE_IPC_CARGO_SEND_H */

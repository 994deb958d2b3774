/*
 * The receiving side of shared buffers and descriptors on the socket
 * carrier: the sink's cargo step, which takes the records of
 * ipc_cargo_frame.h apart, and the delivery and release of a message with
 * cargo.
 *
 * Every field of a record comes from another process and is checked before
 * it is used: a segment is mapped only when it is a sealed memory file of
 * the size announced (sbuf_mapping.h), a message names a block and data
 * inside a segment mapped for its connection and no more descriptors than
 * its datagram brought. A message that fails is dropped alone: its
 * descriptors are closed and its reference is given back at once, so a
 * broken message never pins its owner's memory. A record whose framing is
 * broken ends the handling of its datagram, as for the other records.
 *
 * The callback of a message with a shared buffer finds data pointing into
 * the read-only mapping of the owner's segment; the buffer stays valid until
 * the callback returns, or until its holds are released.
 *
 * Thread safety: the cargo step runs on the receive thread, with the sink
 * of a link it owns; delivery and release may run on any thread.
 */
#ifndef VYRE_IPC_CARGO_RECV_H
#define VYRE_IPC_CARGO_RECV_H

#include <stdint.h>

#include "shared_buf/msg_cargo.h"
#include "transport/unix/ipc_frame.h"

/* The cargo step of a link's sink (sink->owner is the IpcLink): see
 * IpcFrameSink. */
uint32_t IpcCargoRecv(IpcFrameSink *sink, const uint8_t *data, uint32_t remain, const char **why);

/* IpcFrameDeliver of a message with cargo: the receive entry's code; the
 * message (buf, and the cargo, taken in every case) is released when it is
 * refused, except for a full queue (0x80020007) when keep is set (the
 * caller keeps both then). */
uint32_t IpcCargoDeliver(int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen, uint32_t pid, uint32_t uid,
                         bool keep, MsgCargo *cargo);

/* Releases a message with cargo that is not delivered: its payload copy
 * (unless its payload is the cargo's shared buffer) and its cargo. */
void IpcCargoDrop(const MsgHead *head, void *buf, uint32_t bufLen, MsgCargo *cargo);

/* Releases what a sink's message step was given and does not deliver: buf,
 * and the offered cargo when there is one (which is taken). */
void IpcCargoDropOffered(IpcFrameSink *sink, const MsgHead *head, void *buf, uint32_t bufLen);

#endif /* VYRE_IPC_CARGO_RECV_H */

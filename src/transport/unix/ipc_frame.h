/*
 * Datagram framing of the socket carrier: how messages and slices of
 * messages are laid out in one datagram, and the receive handling that turns
 * a received datagram into deliveries through the adapter's receive entry.
 *
 * A datagram holds one or more records back to back. A record is
 *
 *   offset  width  field
 *        0      1  magic       IPC_FRAME_MAGIC
 *        1      1  transType   transport message type, 1 to 4
 *        2      1  flags       IPC_FRAME_SLICED or 0
 *        3      1  reserved    0
 *        4      4  bodyLen     payload bytes in this record
 *        8    168  the message header (its data word is never used)
 *      176  bodyLen  payload bytes: the whole payload, or one slice of it
 *        +     24  a slice tail (MsgSliceTail), sliced records only
 *
 * An unsliced record carries the whole payload (bodyLen equals the header's
 * dataLen). A payload larger than IPC_FRAME_SLICE_MAX travels as sliced
 * records, one per datagram, in order, each with the message's header; the
 * process-wide slice collector puts them together. Several unsliced records
 * for the same peer share a datagram when they are sent together. All
 * records of a datagram come from the one sending process whose kernel
 * verified credentials arrive with it.
 *
 * Thread safety: the functions keep no state of their own; the receive
 * handling runs on the receive thread and uses the collector's lock and the
 * queue locks of the in-process layer through the receive entry.
 */
#ifndef VYRE_IPC_FRAME_H
#define VYRE_IPC_FRAME_H

#include <stdint.h>

#include "vyre_os_msg.h"

namespace rebuildmsg {
class MsgRebuildRecvData;
}

#define IPC_FRAME_MAGIC 0x76U
#define IPC_FRAME_SLICED 0x01U
#define IPC_FRAME_PREFIX_LEN 8U
#define IPC_FRAME_HEAD_LEN 168U
#define IPC_FRAME_TAIL_LEN 24U
/* Bytes of a record besides its payload (prefix and header). */
#define IPC_FRAME_RECORD_OVERHEAD (IPC_FRAME_PREFIX_LEN + IPC_FRAME_HEAD_LEN)
/* Largest payload in one record; larger payloads are sliced. */
#define IPC_FRAME_SLICE_MAX (1024U * 1024U)
/* Largest datagram a sender produces and a receiver accepts. */
#define IPC_FRAME_DATAGRAM_MAX (IPC_FRAME_RECORD_OVERHEAD + IPC_FRAME_SLICE_MAX + IPC_FRAME_TAIL_LEN)

typedef struct IpcFramePrefix {
    uint8_t magic;
    uint8_t transType;
    uint8_t flags;
    uint8_t reserved;
    uint32_t bodyLen;
} IpcFramePrefix;

static_assert(sizeof(IpcFramePrefix) == IPC_FRAME_PREFIX_LEN, "the record prefix is 8 bytes");

/* Fills a record prefix. */
void IpcFrameSetPrefix(IpcFramePrefix *prefix, uint32_t transType, uint32_t flags, uint32_t bodyLen);

/*
 * Where the handling of a datagram stopped because a receiving task's queue
 * was full. The receive loop keeps the rest of the datagram and retries
 * later instead of dropping, so a receiver that cannot keep up fills its
 * socket and its senders learn it (0x80020007) rather than losing messages.
 */
typedef struct IpcFrameStall {
    uint32_t pos;      /* offset of the first record not handled */
    bool hasMsg;       /* a completed sliced message still to hand over: */
    int32_t transType; /*   its transport type, */
    MsgHead head;      /*   header, */
    void *buf;         /*   payload buffer (owned by the stall) */
    uint32_t bufLen;   /*   and length */
} IpcFrameStall;

/*
 * Delivers every record of one received datagram (len bytes at data,
 * untrusted) through MsgAdpTransact, with pid and uid (the kernel's
 * credentials of the sender) in place of the header's sendPid and sendUid.
 * Sliced records go through collector, keyed by the sender's pid and the
 * record's key, so senders cannot complete or spoil each other's messages.
 *
 * A record that is short, has a bad prefix, lengths that disagree with its
 * header or a bad slice tail stops the handling of the datagram with one
 * ERROR line ("bad datagram from pid %u: %s."); records before it stay
 * delivered. Nothing is read outside the datagram. A message refused by the
 * receive entry for another reason than a full queue (no such task, a late
 * response) is dropped there with its log line.
 *
 * A message refused because its queue is full stops the handling when stall
 * is given: true is returned and *stall says where to resume (the caller
 * keeps the bytes from stall->pos on, and a completed sliced message in
 * stall). Without stall such a message is dropped too. False when the whole
 * datagram was handled.
 */
bool IpcFrameRecvDatagram(rebuildmsg::MsgRebuildRecvData *collector, const uint8_t *data, uint32_t len, uint32_t pid,
                          uint32_t uid, IpcFrameStall *stall);

/* Checks the first IPC_FRAME_RECORD_OVERHEAD bytes (at start) of a datagram
 * of len bytes: true when it is one unsliced record whose payload may be
 * received straight into a payload buffer; *prefix and *head (data cleared)
 * are then filled. */
bool IpcFrameWholeInPlace(const uint8_t *start, uint32_t len, IpcFramePrefix *prefix, MsgHead *head);

/* Delivers a whole message whose payload was received into buf (from
 * MsgGetBuffByHead, bufLen bytes; NULL and 0 for none), as
 * IpcFrameRecvDatagram delivers a record. True when its queue is full and
 * stall was given: the message is then kept in stall (pos 0). */
bool IpcFrameRecvInPlace(const IpcFramePrefix *prefix, MsgHead *head, void *buf, uint32_t bufLen, uint32_t pid,
                         uint32_t uid, IpcFrameStall *stall);

/* Hands over the completed message kept in stall. True when it is gone
 * (delivered, or dropped for another reason than a full queue); false while
 * its queue is still full. */
bool IpcFrameRetryStalled(IpcFrameStall *stall, uint32_t pid, uint32_t uid);

/* Releases the message kept in stall, if any (the connection went away). */
void IpcFrameDropStalled(IpcFrameStall *stall);

/* Drops, releasing their payload buffers, the messages under reassembly that
 * came from process pid (its connection closed mid-message); with nothing
 * left under reassembly the collector's node array is given back too. */
void IpcFrameDropPartials(rebuildmsg::MsgRebuildRecvData *collector, uint32_t pid);

/* Drops every message under reassembly and gives the collector's node array
 * back (the carrier closes: no sender can finish them). */
void IpcFrameDropAllPartials(rebuildmsg::MsgRebuildRecvData *collector);

#endif /* VYRE_IPC_FRAME_H */

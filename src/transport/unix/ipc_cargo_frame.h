/*
 * The records of shared buffers and descriptors on a connection of the
 * socket carrier (beside those of ipc_frame.h). All integers are in the
 * byte order of the host, as in the other records: the carrier joins
 * processes of one machine.
 *
 * A share record:
 *
 *   offset  width  field
 *        0      1  magic       IPC_FRAME_MAGIC
 *        1      1  IPC_FRAME_SHARE
 *        2      1  kind        IPC_SHARE_* below
 *        3      1  reserved    0
 *        4      4  bodyLen
 *        8      …  the body
 *
 *   IPC_SHARE_SEGMENT (owner to receiver): segId u32, blockBytes u32,
 *     bytes u64 (bodyLen 16). The datagram brings the segment's memory file,
 *     opened read-only, as the next descriptor. Sent before the first
 *     message that names the segment, in the same datagram.
 *   IPC_SHARE_GONE (owner to receiver): count u32, then count segIds u32:
 *     the owner unmapped these segments; the receiver unmaps them once it
 *     uses none of their blocks.
 *   IPC_SHARE_RELEASE (receiver to owner): count u32, then count refIds
 *     u32: the receiver gives these references back (and the owner looks
 *     at its release lane too).
 *   IPC_SHARE_LANE (owner to receiver): bytes u32, slots u32 (bodyLen 8).
 *     The datagram brings the release lane's memory file (sbuf_lane.h),
 *     readable and writable, as the next descriptor: the receiver gives
 *     references back there from now on. Sent with the first message that
 *     lends a buffer, in the same datagram, before any SEGMENT record.
 *   IPC_SHARE_DRAIN (receiver to owner; bodyLen 0): ids wait on the
 *     owner's release lane while it waits for buffers.
 *   IPC_SHARE_POSTED (owner to receiver; bodyLen 0): the bell of the lane's
 *     post ring (transport/unix/ipc_post.h): messages wait there.
 *   IPC_SHARE_BELL (receiver to owner; bodyLen 0): the datagram brings the
 *     receiver's wake-up counter as its descriptor: the owner rings it
 *     instead of sending POSTED records.
 *
 * Share kinds are numbered after the control kinds (ipc_frame.h), so a
 * number names one kind of record whichever type carries it.
 *
 * A message record with cargo is a message record (ipc_frame.h) whose flags
 * are IPC_FRAME_CARGO, with a cargo description between the header and the
 * body:
 *
 *        0      8  the prefix (transType 1 to 4, flags IPC_FRAME_CARGO)
 *        8    168  the message header; dataLen is the payload's length
 *      176     24  IpcCargoDesc
 *      200  bodyLen  a copied payload (segId 0), or nothing (bodyLen 0)
 *
 * With segId 0 the payload is copied (bodyLen equals dataLen, at most
 * IPC_CARGO_INLINE_MAX) and refId, blockIndex, size and dataOffset are 0;
 * otherwise it lies in the owner's buffer: block blockIndex of segment
 * segId, a block holding size bytes, dataLen bytes from dataOffset, lent
 * under refId. fdCount descriptors follow in the datagram's descriptors
 * (after a segment's own). A message with cargo is never sliced. One with
 * descriptors or an announcement of its segment travels alone in its
 * datagram (after the announcement); one that only names a block of a
 * segment the receiver knows (bodyLen 0, fdCount 0) may share a datagram
 * with other records, handled in order.
 *
 * Thread safety: layouts and pure functions only.
 */
#ifndef VYRE_IPC_CARGO_FRAME_H
#define VYRE_IPC_CARGO_FRAME_H

#include <stdint.h>

#include "transport/unix/ipc_frame.h"

#define IPC_SHARE_SEGMENT 5U
#define IPC_SHARE_GONE 6U
#define IPC_SHARE_RELEASE 7U
#define IPC_SHARE_LANE 8U
#define IPC_SHARE_DRAIN 9U
#define IPC_SHARE_POSTED 10U
#define IPC_SHARE_BELL 11U

#define IPC_SHARE_SEGMENT_LEN 16U
#define IPC_SHARE_LANE_LEN 8U
/* Ids one GONE or RELEASE record carries at most. */
#define IPC_SHARE_IDS_MAX 256U

typedef struct IpcShareSegment {
    uint32_t segId;
    uint32_t blockBytes;
    uint64_t bytes;
} IpcShareSegment;

typedef struct IpcCargoDesc {
    uint32_t refId;
    uint32_t segId;
    uint32_t blockIndex;
    uint32_t size;
    uint32_t dataOffset;
    uint32_t fdCount;
} IpcCargoDesc;

#define IPC_CARGO_DESC_LEN 24U
/* Bytes of a message record with cargo besides its body. */
#define IPC_CARGO_RECORD_OVERHEAD (IPC_FRAME_RECORD_OVERHEAD + IPC_CARGO_DESC_LEN)
/* Largest payload copied into a message record with cargo; a larger one
 * with descriptors travels in a shared buffer. */
#define IPC_CARGO_INLINE_MAX (60U * 1024U)

static_assert(sizeof(IpcShareSegment) == IPC_SHARE_SEGMENT_LEN, "the segment body is 16 bytes");
static_assert(sizeof(IpcCargoDesc) == IPC_CARGO_DESC_LEN, "the cargo description is 24 bytes");

/* A whole SEGMENT record in out (IPC_FRAME_PREFIX_LEN + 16 bytes). */
void IpcCargoSetSegment(uint8_t *out, uint32_t segId, uint32_t blockBytes, uint64_t bytes);

/* A whole LANE record in out (IPC_FRAME_PREFIX_LEN + 8 bytes). */
void IpcCargoSetLane(uint8_t *out, uint32_t bytes, uint32_t slots);

/* The prefix and count word of a GONE or RELEASE record of count ids, in
 * out (IPC_FRAME_PREFIX_LEN + 4 bytes); the ids follow. */
void IpcCargoSetIdsHead(uint8_t *out, uint32_t kind, uint32_t count);

#endif /* VYRE_IPC_CARGO_FRAME_H */

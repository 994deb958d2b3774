/*
 * Encoding of the records of shared buffers and descriptors (layouts in
 * ipc_cargo_frame.h). No state.
 */
#include "transport/unix/ipc_cargo_frame.h"

#include <cstring>

void IpcCargoSetSegment(uint8_t *out, uint32_t segId, uint32_t blockBytes, uint64_t bytes) {
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, IPC_FRAME_SHARE, IPC_SHARE_SEGMENT, IPC_SHARE_SEGMENT_LEN);
    IpcShareSegment body = {segId, blockBytes, bytes};
    std::memcpy(out, &prefix, sizeof(prefix));
    std::memcpy(out + IPC_FRAME_PREFIX_LEN, &body, sizeof(body));
}

void IpcCargoSetLane(uint8_t *out, uint32_t bytes, uint32_t slots) {
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, IPC_FRAME_SHARE, IPC_SHARE_LANE, IPC_SHARE_LANE_LEN);
    const uint32_t body[2] = {bytes, slots};
    std::memcpy(out, &prefix, sizeof(prefix));
    std::memcpy(out + IPC_FRAME_PREFIX_LEN, body, sizeof(body));
}

void IpcCargoSetIdsHead(uint8_t *out, uint32_t kind, uint32_t count) {
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, IPC_FRAME_SHARE, kind, (uint32_t)sizeof(uint32_t) * (count + 1U));
    std::memcpy(out, &prefix, sizeof(prefix));
    std::memcpy(out + IPC_FRAME_PREFIX_LEN, &count, sizeof(count));
}

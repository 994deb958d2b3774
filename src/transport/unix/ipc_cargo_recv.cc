/*
 * The cargo step of the receive handling (see ipc_cargo_recv.h). Receive
 * thread, except for the delivery and release helpers.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_cargo_recv.h"

#include <cstring>

#include "base/msg_foreign_fd.h"
#include "log/msg_log.h"
#include "shared_buf/sbuf_mapping.h"
#include "transport/msg_adapter.h"
#include "transport/msg_adp_buff.h"
#include "transport/unix/ipc_cargo_frame.h"
#include "transport/unix/ipc_link_share.h"
#include "transport/unix/ipc_post.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

/* Moves n of the datagram's descriptors, in order, to out; false (none
 * moved) when fewer are left. */
bool IpcCargoClaimFds(IpcFrameSink *sink, uint32_t n, int *out) {
    IpcFrameFds *fds = sink->fds;
    if (n == 0U) {
        return true;
    }
    if (fds == nullptr || fds->count - fds->next < n) {
        return false;
    }
    for (uint32_t i = 0U; i < n; ++i) {
        out[i] = fds->fds[fds->next];
        fds->fds[fds->next] = -1;
        fds->next += 1U;
    }
    return true;
}

/* The checks of a record of len bytes that brings one descriptor, claimed
 * into *fd; false with *why (bad when the length is not len, bare when the
 * descriptor is missing). */
bool ClaimRecordFd(IpcFrameSink *sink, uint32_t bodyLen, uint32_t len, const char *bad, const char *bare,
                   const char **why, int *fd) {
    if (bodyLen != len) {
        *why = bad;
        return false;
    }
    if (!IpcCargoClaimFds(sink, 1U, fd)) {
        *why = bare;
        return false;
    }
    return true;
}

/* SEGMENT: the peer's segment, mapped for the link. */
uint32_t IpcCargoSegment(IpcFrameSink *sink, IpcLink *link, const uint8_t *body, uint32_t bodyLen, const char **why) {
    int fd = -1;
    if (!ClaimRecordFd(sink, bodyLen, IPC_SHARE_SEGMENT_LEN, "bad segment record", "segment without its descriptor",
                       why, &fd)) {
        return 0U;
    }
    IpcShareSegment seg;
    std::memcpy(&seg, body, sizeof(seg));
    SbufShare *share = IpcLinkShareOf(link, nullptr);
    uint32_t code = OS_MSG_ERR_NO_MEMORY;
    const char *refused = "no memory for the connection's buffers";
    if (share != nullptr) {
        refused = SbufMapSegment(share, seg.segId, seg.blockBytes, seg.bytes, fd, &code);
    } else {
        MsgForeignFdClose(fd);
    }
    if (refused != nullptr) {
        // Its messages are refused in turn, each giving its reference back.
        MSG_LOG(OS_MSG_LOG_ERROR, "segment %u from pid %u refused (0x%x): %s.", seg.segId, sink->pid, code, refused);
    }
    return IPC_FRAME_PREFIX_LEN + bodyLen;
}

/* LANE: the owner's release lane, where this process gives its references
 * back from now on. */
uint32_t IpcCargoLane(IpcFrameSink *sink, IpcLink *link, const uint8_t *body, uint32_t bodyLen, const char **why) {
    int fd = -1;
    if (!ClaimRecordFd(sink, bodyLen, IPC_SHARE_LANE_LEN, "bad lane record", "lane without its descriptor", why, &fd)) {
        return 0U;
    }
    uint32_t words[2];
    std::memcpy(words, body, sizeof(words));
    SbufShare *share = IpcLinkShareOf(link, nullptr);
    const char *refused = share == nullptr ? "no memory for the connection's buffers" : nullptr;
    if (share != nullptr) {
        SbufLane *lane = SbufShareMapLane(share, fd, words[0], words[1], &refused);
        if (lane != nullptr) {
            IpcPostOpen(link, lane);
        }
    } else {
        MsgForeignFdClose(fd);
    }
    if (refused != nullptr) {
        // References go back by message instead.
        MSG_LOG(OS_MSG_LOG_ERROR, "release lane from pid %u refused: %s.", sink->pid, refused);
    }
    return IPC_FRAME_PREFIX_LEN + bodyLen;
}

/* BELL: the receiver's wake-up counter for this process's posts. */
uint32_t IpcCargoBell(IpcFrameSink *sink, IpcLink *link, uint32_t bodyLen, const char **why) {
    int fd = -1;
    if (!ClaimRecordFd(sink, bodyLen, 0U, "bad bell record", "bell without its descriptor", why, &fd)) {
        return 0U;
    }
    int none = -1;
    if (link->kind != IPC_LINK_DIALLED || !IpcSysIsEvent(fd) ||
        !link->bellFd.compare_exchange_strong(none, fd, std::memory_order_acq_rel)) {
        MsgForeignFdClose(fd); // posts ring by datagram instead
    }
    return IPC_FRAME_PREFIX_LEN;
}

/* DRAIN: the owner waits for buffers given back on its lane. */
uint32_t IpcCargoDrain(IpcLink *link, uint32_t bodyLen, const char **why) {
    if (bodyLen != 0U) {
        *why = "bad drain record";
        return 0U;
    }
    SbufShare *share = IpcLinkShareIf(link);
    if (share != nullptr) {
        (void)SbufShareReturn(share, nullptr, 0U);
    }
    return IPC_FRAME_PREFIX_LEN;
}

/* GONE and RELEASE: ids of segments the owner gave up, or of references the
 * receiver gives back. */
uint32_t IpcCargoIds(IpcFrameSink *sink, IpcLink *link, uint32_t kind, const uint8_t *body, uint32_t bodyLen,
                     const char **why) {
    uint32_t count = 0U;
    if (bodyLen >= sizeof(count)) {
        std::memcpy(&count, body, sizeof(count));
    }
    if (count == 0U || count > IPC_SHARE_IDS_MAX || bodyLen != sizeof(uint32_t) * (count + 1U)) {
        *why = "bad id record";
        return 0U;
    }
    uint32_t ids[IPC_SHARE_IDS_MAX];
    std::memcpy(ids, body + sizeof(count), sizeof(uint32_t) * count);
    SbufShare *share = IpcLinkShareIf(link);
    if (kind == IPC_SHARE_GONE) {
        if (share != nullptr) {
            SbufShareGone(share, ids, count);
        }
    } else {
        uint32_t unknown = share != nullptr ? SbufShareReturn(share, ids, count) : count;
        if (unknown != 0U && !link->recv.badReturnLogged) {
            link->recv.badReturnLogged = true;
            MSG_LOG(OS_MSG_LOG_ERROR, "pid %u gave back %u references it was not lent, ignored.", sink->pid, unknown);
        }
    }
    return IPC_FRAME_PREFIX_LEN + bodyLen;
}

uint32_t IpcCargoShareRecord(IpcFrameSink *sink, IpcLink *link, const uint8_t *data, uint32_t remain,
                             const char **why) {
    IpcFramePrefix prefix;
    std::memcpy(&prefix, data, sizeof(prefix));
    if (prefix.reserved != 0U || prefix.bodyLen > remain - IPC_FRAME_PREFIX_LEN) {
        *why = "bad share record";
        return 0U;
    }
    const uint8_t *body = data + IPC_FRAME_PREFIX_LEN;
    switch (prefix.flags) {
    case IPC_SHARE_SEGMENT:
        return IpcCargoSegment(sink, link, body, prefix.bodyLen, why);
    case IPC_SHARE_GONE:
    case IPC_SHARE_RELEASE:
        return IpcCargoIds(sink, link, prefix.flags, body, prefix.bodyLen, why);
    case IPC_SHARE_LANE:
        return IpcCargoLane(sink, link, body, prefix.bodyLen, why);
    case IPC_SHARE_DRAIN:
        return IpcCargoDrain(link, prefix.bodyLen, why);
    case IPC_SHARE_BELL:
        return IpcCargoBell(sink, link, prefix.bodyLen, why);
    case IPC_SHARE_POSTED:
        // The receive loop reads the ring after the datagram.
        if (prefix.bodyLen != 0U) {
            *why = "bad bell record";
            return 0U;
        }
        return IPC_FRAME_PREFIX_LEN;
    default:
        *why = "bad share record";
        return 0U;
    }
}

/* NULL when the description of a well-framed message with cargo is
 * consistent. */
const char *IpcCargoCheckDesc(const IpcCargoDesc &desc, const MsgHead &head, uint32_t bodyLen) {
    if (desc.fdCount > OS_MSG_MAX_FDS) {
        return "too many descriptors";
    }
    if (desc.segId == 0U) {
        if (bodyLen != head.dataLen || bodyLen > IPC_CARGO_INLINE_MAX) {
            return "copied payload length differs from the header";
        }
        if (desc.refId != 0U || desc.blockIndex != 0U || desc.size != 0U || desc.dataOffset != 0U) {
            return "buffer fields without a buffer";
        }
        return desc.fdCount == 0U ? "message record with no cargo" : nullptr;
    }
    return bodyLen != 0U ? "payload both copied and shared" : nullptr;
}

/* Gives the reference of a message dropped before it took it back to its
 * owner. */
void IpcCargoGiveBack(IpcLink *link, const IpcCargoDesc &desc) {
    SbufShare *share = desc.segId != 0U ? IpcLinkShareIf(link) : nullptr;
    if (share != nullptr) {
        SbufShareGiveBack(share, desc.refId);
    }
}

/* The cargo of a consistent message: its descriptors and its buffer, with
 * *buf and *bufLen its payload. NULL with *why when it cannot be had (its
 * reference is given back). */
MsgCargo *IpcCargoBuild(IpcFrameSink *sink, IpcLink *link, const IpcCargoDesc &desc, MsgHead &head, const uint8_t *body,
                        void **buf, uint32_t *bufLen, const char **why) {
    MsgCargo *cargo = MsgCargoNew(nullptr, nullptr, 0U);
    if (cargo == nullptr) {
        IpcCargoGiveBack(link, desc);
        *why = "no memory for the cargo";
        return nullptr;
    }
    if (!IpcCargoClaimFds(sink, desc.fdCount, cargo->fds)) {
        IpcCargoGiveBack(link, desc);
        MsgCargoRelease(cargo);
        *why = "fewer descriptors than announced";
        return nullptr;
    }
    MsgCargoAdoptFds(cargo, desc.fdCount);
    if (desc.segId != 0U) {
        SbufShare *share = IpcLinkShareIf(link);
        uint8_t *data = nullptr;
        SbufBlock *block = share != nullptr ? SbufShareRefer(share, desc.segId, desc.blockIndex, desc.size,
                                                             desc.dataOffset, head.dataLen, desc.refId, &data, why)
                                            : nullptr;
        if (block == nullptr) {
            *why = share != nullptr ? *why : "unknown segment";
            MsgCargoRelease(cargo);
            return nullptr;
        }
        cargo->buf = block;
        cargo->data = data;
        cargo->dataLen = head.dataLen;
        *buf = data;
        *bufLen = head.dataLen;
    } else if (head.dataLen != 0U) {
        if (MsgGetBuffByHead(&head, IPC_FRAME_HEAD_LEN, buf, bufLen) != OS_MSG_OK || *buf == nullptr) {
            MsgCargoRelease(cargo);
            *why = "no memory for the payload";
            return nullptr;
        }
        std::memcpy(*buf, body, *bufLen);
    }
    return cargo;
}

uint32_t IpcCargoMessage(IpcFrameSink *sink, IpcLink *link, const uint8_t *data, uint32_t remain, const char **why) {
    IpcFramePrefix prefix;
    std::memcpy(&prefix, data, sizeof(prefix));
    if (remain < IPC_CARGO_RECORD_OVERHEAD) {
        *why = "short record";
        return 0U;
    }
    if (prefix.flags != IPC_FRAME_CARGO || prefix.reserved != 0U) {
        *why = "bad record prefix";
        return 0U;
    }
    if (prefix.bodyLen > remain - IPC_CARGO_RECORD_OVERHEAD) {
        *why = "payload past the end of the datagram";
        return 0U;
    }
    MsgHead head;
    IpcCargoDesc desc;
    std::memcpy(&head, data + IPC_FRAME_PREFIX_LEN, IPC_FRAME_HEAD_LEN);
    std::memcpy(&desc, data + IPC_FRAME_RECORD_OVERHEAD, sizeof(desc));
    head.data = nullptr;
    const uint32_t length = IPC_CARGO_RECORD_OVERHEAD + prefix.bodyLen;
    // From here on the record is framed well: what is wrong in it drops it
    // alone.
    const char *fault = IpcCargoCheckDesc(desc, head, prefix.bodyLen);
    void *buf = nullptr;
    uint32_t bufLen = 0U;
    MsgCargo *cargo = nullptr;
    if (fault != nullptr) {
        IpcCargoGiveBack(link, desc);
    } else {
        cargo = IpcCargoBuild(sink, link, desc, head, data + IPC_CARGO_RECORD_OVERHEAD, &buf, &bufLen, &fault);
    }
    if (cargo == nullptr) {
        IpcFrameLogBad(sink, "datagram", fault);
        return length;
    }
    sink->offered = cargo;
    (void)sink->message(sink, (int32_t)prefix.transType, &head, buf, bufLen, OS_MSG_OK, false);
    if (sink->offered != nullptr) {
        IpcCargoDropOffered(sink, &head, buf, bufLen);
    }
    return length;
}

} // namespace

uint32_t IpcCargoRecv(IpcFrameSink *sink, const uint8_t *data, uint32_t remain, const char **why) {
    auto *link = static_cast<IpcLink *>(sink->owner);
    return data[1] == IPC_FRAME_SHARE ? IpcCargoShareRecord(sink, link, data, remain, why)
                                      : IpcCargoMessage(sink, link, data, remain, why);
}

uint32_t IpcCargoDeliver(int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen, uint32_t pid, uint32_t uid,
                         bool keep, MsgCargo *cargo) {
    uint32_t ret = MsgAdpTransactCargo(transType, head, IPC_FRAME_HEAD_LEN, buf, bufLen, pid, uid, cargo);
    if (ret != OS_MSG_OK && !(keep && ret == OS_MSG_ERR_FULL)) {
        IpcCargoDrop(head, buf, bufLen, cargo);
    }
    return ret;
}

void IpcCargoDrop(const MsgHead *head, void *buf, uint32_t bufLen, MsgCargo *cargo) {
    if (!MsgCargoIsPayload(cargo)) {
        MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
    }
    MsgCargoRelease(cargo);
}

void IpcCargoDropOffered(IpcFrameSink *sink, const MsgHead *head, void *buf, uint32_t bufLen) {
    MsgCargo *cargo = sink->offered;
    sink->offered = nullptr;
    if (cargo != nullptr) {
        IpcCargoDrop(head, buf, bufLen, cargo);
    } else {
        MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
    }
}

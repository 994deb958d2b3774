/*
 * The cargo send of the socket carrier (see ipc_cargo_send.h).
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_cargo_send.h"

#include <cstring>

#include "base/msg_proc_name.h"
#include "log/msg_log.h"
#include "shared_buf/sbuf_share.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/unix/ipc_cargo_frame.h"
#include "transport/unix/ipc_link_share.h"
#include "transport/unix/ipc_post.h"
#include "transport/unix/ipc_send_batch.h"

namespace {

/* A copied payload too large to go with its descriptors in one datagram
 * goes in a shared buffer instead: the cargo gets one, holding a copy. */
uint32_t IpcCargoIntoBuffer(MsgCargo *cargo, const void *data, uint32_t len) {
    void *buf = nullptr;
    uint32_t ret = SbufAlloc(len, &buf);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    std::memcpy(buf, data, len);
    SbufBlock *block = nullptr;
    (void)SbufRefForSend(buf, len, &block); // its own buffer: cannot fail
    SbufDisown(block);
    cargo->buf = block;
    cargo->data = static_cast<uint8_t *>(buf);
    cargo->dataLen = len;
    return OS_MSG_OK;
}

/* Charges the lent reference to the sending thread's task. */
uint32_t IpcCargoCharge(SbufAccount *account, const void *arg) {
    const auto *out = static_cast<const IpcCargoOut *>(arg);
    SbufShare *share = IpcLinkShareIf(out->lentOn);
    if (account != nullptr && share != nullptr) {
        SbufShareChargeLent(share, out->refId, account);
    }
    return OS_MSG_OK;
}

bool IpcCargoStaysHere(const char *destProcName, uint32_t transType) {
    return destProcName[0] == '\0' || strncmp(destProcName, MsgGetProcName(), OS_MSG_NAME_LEN) == 0 ||
           (transType == MSG_TRANS_SUB_BRO && strncmp(destProcName, MSG_PROC_NAME_PMSG, OS_MSG_NAME_LEN) == 0);
}

/* The message alone in its datagram: the announcements of the release lane
 * and of its segment when lend has them, the record, its descriptors. */
IpcSendResult IpcCargoSendAlone(IpcPeer *peer, IpcLink *link, uint32_t transType, const MsgHead *wire, const void *data,
                                const MsgCargo *cargo, const SbufLend &lend, IpcSendBudget &budget) {
    uint8_t lane[IPC_FRAME_PREFIX_LEN + IPC_SHARE_LANE_LEN];
    uint8_t segment[IPC_FRAME_PREFIX_LEN + IPC_SHARE_SEGMENT_LEN];
    int fds[OS_MSG_MAX_FDS + 2U];
    uint32_t fdCount = 0U;
    struct iovec iov[6];
    size_t n = 0U;
    if (lend.laneFd >= 0) {
        IpcCargoSetLane(lane, lend.laneBytes, lend.laneSlots);
        iov[n++] = {lane, sizeof(lane)};
        fds[fdCount++] = lend.laneFd;
    }
    if (lend.segFd >= 0) {
        IpcCargoSetSegment(segment, lend.segId, lend.blockBytes, lend.segBytes);
        iov[n++] = {segment, sizeof(segment)};
        fds[fdCount++] = lend.segFd;
    }
    const uint32_t bodyLen = cargo->buf != nullptr ? 0U : wire->dataLen;
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, transType, IPC_FRAME_CARGO, bodyLen);
    IpcCargoDesc desc = {lend.refId, lend.segId, lend.blockIndex, lend.size, lend.dataOffset, cargo->fdCount};
    iov[n++] = {&prefix, sizeof(prefix)};
    iov[n++] = {const_cast<MsgHead *>(wire), IPC_FRAME_HEAD_LEN};
    iov[n++] = {&desc, sizeof(desc)};
    if (bodyLen != 0U) {
        iov[n++] = {const_cast<void *>(data), bodyLen};
    }
    for (uint32_t i = 0U; i < cargo->fdCount; ++i) {
        fds[fdCount++] = cargo->fds[i];
    }
    return IpcSendDatagram(peer, link, iov, n, budget, fds, fdCount);
}

/* Puts the message lending the buffer of desc into peer's batch, sending a
 * full batch first (waiting within budget); *batched says whether it went
 * in (when not, the message goes alone). */
IpcSendResult IpcCargoJoinBatch(IpcPeer *peer, IpcLink *link, uint32_t transType, const MsgHead *wire,
                                const IpcCargoDesc &desc, IpcSendBudget &budget, bool *batched) {
    IpcBatchResult taken = IpcBatchAppendCargo(peer, link, transType, wire, &desc);
    if (taken == IPC_BATCH_FULL) {
        IpcSendResult res = IpcBatchFlush(peer, link, budget);
        if (res != IPC_SEND_OK) {
            return res;
        }
        taken = IpcBatchAppendCargo(peer, link, transType, wire, &desc);
    }
    *batched = taken == IPC_BATCH_TAKEN;
    return IPC_SEND_OK;
}

} // namespace

uint32_t IpcUnixSendCargo(const char *destProcName, uint32_t transType, MsgHead *head, MsgCargo *cargo) {
    if (head == nullptr || cargo == nullptr || destProcName == nullptr) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "input head null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (IpcCargoStaysHere(destProcName, transType)) {
        return IPCMsgSendCargo(destProcName, transType, head, cargo);
    }
    if (transType == MSG_TRANS_SYN_RESP || (cargo->flags & MSG_CARGO_BROADCAST) != 0U) {
        MsgCargoRelease(cargo);
        MSG_LOG(OS_MSG_LOG_ERROR, "answers carry no shared buffer or descriptors to process [%.16s].", destProcName);
        return OS_MSG_ERR_NOT_IMPLEMENTED;
    }
    uint32_t ret = OS_MSG_OK;
    if (!MsgCargoIsPayload(cargo) && head->data != nullptr && head->dataLen > IPC_CARGO_INLINE_MAX) {
        ret = head->dataLen > OS_MSG_MAX_DATA_LEN ? OS_MSG_ERR_OVERSIZE
                                                  : IpcCargoIntoBuffer(cargo, head->data, head->dataLen);
    }
    if (ret == OS_MSG_OK) {
        IpcCargoOut out = {cargo, OS_MSG_OK, nullptr, 0U};
        ret = IpcUnixSendCargoTo(destProcName, transType, head, &out);
        if (out.lentOn != nullptr) {
            // A requester holds its response slot's lock until it waits, and
            // the receive thread that brings the answer holds the task
            // table's while it tries that lock: a call's buffer, lent for the
            // call only, is not charged, so that the task table is never
            // waited for here.
            if (transType != MSG_TRANS_SYN) {
                (void)SimpleMsgWithThreadAccount(IpcCargoCharge, &out);
            }
            IpcLinkRelease(out.lentOn);
        }
    } else {
        MSG_LOG(OS_MSG_LOG_ERROR, "payload of %u bytes with descriptors not sent (0x%x).", head->dataLen, ret);
    }
    // The datagram's descriptors and the lent reference are the peer's now;
    // the message's own go.
    MsgCargoRelease(cargo);
    return ret;
}

IpcSendResult IpcCargoSendOnLink(IpcPeer *peer, IpcLink *link, uint32_t transType, const MsgHead *wire,
                                 const void *data, IpcCargoOut *out, IpcSendBudget &budget) {
    MsgCargo *cargo = out->cargo;
    SbufShare *share = nullptr;
    SbufLend lend = {0U, 0U, 0U, 0U, 0U, 0U, 0U, -1, -1, 0U, 0U};
    if (cargo->buf != nullptr) {
        share = IpcLinkShareOf(link, peer != nullptr ? peer->name : nullptr);
        uint32_t ret = share != nullptr ? SbufShareLend(share, cargo->buf, cargo->data, &lend) : OS_MSG_ERR_NO_MEMORY;
        if (ret != OS_MSG_OK) {
            out->refusal = ret == OS_MSG_ERR_SERVER_NOT_RUNNING ? OS_MSG_OK : ret;
            return ret == OS_MSG_ERR_SERVER_NOT_RUNNING ? IPC_SEND_BROKEN : IPC_SEND_ERROR;
        }
    }
    // A lent buffer whose datagram needs no descriptor (the peer knows its
    // segment and the release lane, the message brings none) is a small
    // record like any other: posted when it can be, which costs no system
    // call while the receiver keeps up, a request too; else an
    // asynchronous one joins the batch (a request is not held back there).
    const bool postable = share != nullptr && lend.segFd < 0 && lend.laneFd < 0 && cargo->fdCount == 0U &&
                          transType != MSG_TRANS_SYN_RESP;
    bool batched = false;
    IpcSendResult res = IPC_SEND_OK;
    if (postable) {
        const IpcCargoDesc desc = {lend.refId, lend.segId, lend.blockIndex, lend.size, lend.dataOffset, 0U};
        batched = IpcPostCargo(peer, link, share, transType, wire, &desc);
        if (!batched && transType != MSG_TRANS_SYN) {
            res = IpcCargoJoinBatch(peer, link, transType, wire, desc, budget, &batched);
        }
    }
    if (res == IPC_SEND_OK && !batched) {
        res = IpcBatchFlush(peer, link, budget);
        if (res == IPC_SEND_OK) {
            res = IpcCargoSendAlone(peer, link, transType, wire, data, cargo, lend, budget);
        }
    }
    if (res == IPC_SEND_OK && share != nullptr) {
        SbufShareLent(share, &lend, cargo->buf);
        IpcLinkHold(link);
        out->lentOn = link;
        out->refId = lend.refId;
    } else if (share != nullptr) {
        SbufShareLendUndone(share, &lend);
    }
    return res;
}

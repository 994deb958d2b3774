/*
 * The socket carrier's send operation: routes a message to its destination
 * process (subscription requests to the publisher's process, broadcast
 * requests and messages for the own process into the own process), frames
 * it into one datagram or, when the payload is larger than a datagram takes,
 * into slices, and sends over the peer's kept connection.
 *
 * An asynchronous send never blocks for long: a peer whose socket stays full
 * for MSG_TUNE_SEND_ROOM_WAIT_MS refuses the message with 0x80020007, as a full
 * in-process queue does. A synchronous request waits for room at most its
 * time-out (MsgAdpSendWaitMs). Once the
 * first slice of a large message is out, the rest waits for room, but at
 * most MSG_TUNE_SEND_SLICE_STALL_MS per slice (or the request's time-out when
 * longer); a peer that stays stuck longer loses the connection, which drops
 * the incomplete message on its side.
 *
 * Thread safety: no state besides the message key counter (atomic); the
 * peer's lock is held for the send of one message.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_proc_name.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_peer_cache.h"
#include "transport/unix/ipc_send_batch.h"
#include "transport/unix/ipc_unix_carrier.h"
#include "vyre_os_time.h"

namespace {

/* Subscription request payload: op byte, 32-bit count, then entries. */
constexpr uint32_t kIpcSubHeadLen = 5U;

/* Keys of sliced messages; the receiver adds the sender's pid. */
std::atomic<uint32_t> g_ipcSliceKey{0U};

/* How long the current send may wait for room: the time-out of a request
 * that has one (however short), else MSG_TUNE_SEND_ROOM_WAIT_MS. */
uint32_t IpcSendWaitMs() {
    uint32_t budget = MsgAdpSendWaitMs();
    return budget != 0U ? budget : MSG_TUNE_SEND_ROOM_WAIT_MS;
}

/* The whole message in one datagram. */
IpcSendResult IpcSendWhole(IpcPeer *peer, uint32_t transType, const MsgHead *wire, const void *data) {
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, transType, 0U, wire->dataLen);
    struct iovec iov[3] = {{&prefix, sizeof(prefix)},
                           {const_cast<MsgHead *>(wire), IPC_FRAME_HEAD_LEN},
                           {const_cast<void *>(data), wire->dataLen}};
    return IpcPeerSendDatagram(peer, iov, wire->dataLen != 0U ? 3U : 2U, IpcSendWaitMs());
}

/* The message in slices of at most peer->maxBody bytes, in order. */
IpcSendResult IpcSendSliced(IpcPeer *peer, uint32_t transType, const MsgHead *wire, const uint8_t *data) {
    MsgSliceTail tail;
    std::memset(&tail, 0, sizeof(tail));
    tail.isSplit = 1U;
    tail.flag = g_ipcSliceKey.fetch_add(1U, std::memory_order_relaxed);
    IpcFramePrefix prefix;
    for (uint32_t offset = 0U; offset < wire->dataLen; offset += tail.curLen) {
        uint32_t left = wire->dataLen - offset;
        tail.offset = offset;
        tail.curLen = left < peer->maxBody ? left : peer->maxBody;
        IpcFrameSetPrefix(&prefix, transType, IPC_FRAME_SLICED, tail.curLen);
        struct iovec iov[4] = {{&prefix, sizeof(prefix)},
                               {const_cast<MsgHead *>(wire), IPC_FRAME_HEAD_LEN},
                               {const_cast<uint8_t *>(data) + offset, tail.curLen},
                               {&tail, sizeof(tail)}};
        uint32_t waitMs = IpcSendWaitMs();
        if (offset != 0U && waitMs < MSG_TUNE_SEND_SLICE_STALL_MS) {
            waitMs = MSG_TUNE_SEND_SLICE_STALL_MS;
        }
        IpcSendResult res = IpcPeerSendDatagram(peer, iov, 4U, waitMs);
        if (res != IPC_SEND_OK) {
            if (offset != 0U) {
                // The peer holds part of the message: closing the connection
                // makes it drop that part.
                IpcPeerDisconnect(peer);
            }
            return res;
        }
    }
    return IPC_SEND_OK;
}

IpcSendResult IpcSendOnce(IpcPeer *peer, uint32_t transType, const MsgHead *wire, const void *data) {
    if (wire->dataLen <= peer->maxBody) {
        return IpcSendWhole(peer, transType, wire, data);
    }
    return IpcSendSliced(peer, transType, wire, static_cast<const uint8_t *>(data));
}

/* The refusal of a message for a full peer (its lock held): logged when the
 * peer turns full, not for every refusal while it stays full, since a sender
 * that retries would flood the log. */
uint32_t IpcSendFull(IpcPeer *peer) {
    if (!peer->full) {
        MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] receive queue full.", peer->name);
        peer->full = true;
    }
    return OS_MSG_ERR_FULL;
}

/* An asynchronous message into peer's batch when it takes it: OS_MSG_OK;
 * 0x80020007 when the batch stays full after a flush; IPC_BATCH_ALONE's
 * caller-sends marker (kIpcSendAlone) otherwise. */
constexpr uint32_t kIpcSendAlone = 1U;

uint32_t IpcSendBatched(IpcPeer *peer, uint32_t transType, const MsgHead *wire, const void *data) {
    IpcBatchResult res = IpcBatchAppend(peer, transType, wire, data);
    if (res == IPC_BATCH_FULL) {
        std::lock_guard<std::mutex> guard(peer->lock);
        if (IpcBatchFlushLocked(peer, IpcSendWaitMs()) == IPC_SEND_OK) {
            res = IpcBatchAppend(peer, transType, wire, data);
        }
        if (res == IPC_BATCH_FULL) {
            return IpcSendFull(peer);
        }
    }
    return res == IPC_BATCH_TAKEN ? OS_MSG_OK : kIpcSendAlone;
}

/* Sends to peer (its lock held), reconnecting once when the connection
 * turns out broken (the peer restarted). */
uint32_t IpcSendToPeer(IpcPeer *peer, uint32_t transType, const MsgHead *wire, const void *data) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint32_t ret = IpcPeerConnect(peer);
        if (ret != OS_MSG_OK) {
            return ret;
        }
        // What is batched for the peer goes first, so a thread's messages
        // keep their order.
        IpcSendResult res = IpcBatchFlushLocked(peer, IpcSendWaitMs());
        if (res == IPC_SEND_OK) {
            res = IpcSendOnce(peer, transType, wire, data);
        }
        switch (res) {
        case IPC_SEND_OK:
            peer->full = false;
            return OS_MSG_OK;
        case IPC_SEND_FULL:
            // Logged when the peer turns full, not for every refusal while
            // it stays full: a sender that retries would flood the log.
            return IpcSendFull(peer);
        case IPC_SEND_BROKEN:
            IpcPeerDisconnect(peer);
            break;
        default:
            return OS_MSG_ERR_SYSTEM;
        }
    }
    MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] not running.", peer->name);
    return OS_MSG_ERR_SERVER_NOT_RUNNING;
}

uint32_t IpcSendToProcess(const char *destProcName, uint32_t transType, MsgHead *head) {
    if (destProcName[0] == '\0' || strncmp(destProcName, MsgGetProcName(), OS_MSG_NAME_LEN) == 0) {
        return IPCMsgSendData(destProcName, transType, head);
    }
    uint32_t err = OS_MSG_OK;
    IpcPeer *peer = IpcPeerFind(destProcName, &err);
    if (peer == nullptr) {
        return err;
    }
    MsgHead wire;
    std::memcpy(&wire, head, sizeof(wire));
    wire.data = nullptr;
    if (transType != MSG_TRANS_SYN_RESP && wire.sendProcName[0] == '\0') {
        // The receiver answers and sends events to the process named here
        // (a subscription request is built without it).
        (void)snprintf(wire.sendProcName, sizeof(wire.sendProcName), "%.15s", MsgGetProcName());
    }
    if (transType == MSG_TRANS_ASYN || transType == MSG_TRANS_SUB_BRO) {
        uint32_t ret = IpcSendBatched(peer, transType, &wire, head->data);
        if (ret != kIpcSendAlone) {
            return ret;
        }
    }
    std::lock_guard<std::mutex> guard(peer->lock);
    return IpcSendToPeer(peer, transType, &wire, head->data);
}

/* A copy of entry i of a subscription request payload (entries start at an
 * odd offset, so they are copied out rather than read in place). */
MsgSubEntry IpcSubEntry(const MsgHead *head, uint32_t i) {
    MsgSubEntry entry;
    std::memcpy(&entry, static_cast<const uint8_t *>(head->data) + kIpcSubHeadLen + (size_t)i * sizeof(MsgSubEntry),
                sizeof(entry));
    return entry;
}

/* Sends the entries of a subscription request that name publisher proc, as
 * a request of their own, to proc's broadcast task. */
uint32_t IpcSendSubscribeTo(MsgHead *head, uint32_t count, const char *proc) {
    uint32_t size = kIpcSubHeadLen + count * (uint32_t)sizeof(MsgSubEntry);
    auto *payload = static_cast<uint8_t *>(MSG_MALLOC(size));
    if (payload == nullptr) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    uint32_t taken = 0U;
    for (uint32_t i = 0U; i < count; ++i) {
        MsgSubEntry entry = IpcSubEntry(head, i);
        if (strncmp(entry.procName, proc, OS_MSG_NAME_LEN) == 0) {
            std::memcpy(payload + kIpcSubHeadLen + (size_t)taken * sizeof(MsgSubEntry), &entry, sizeof(entry));
            taken += 1U;
        }
    }
    payload[0] = static_cast<const uint8_t *>(head->data)[0];
    std::memcpy(payload + 1, &taken, sizeof(taken));
    MsgHead part;
    std::memcpy(&part, head, sizeof(part));
    part.data = payload;
    part.dataLen = kIpcSubHeadLen + taken * (uint32_t)sizeof(MsgSubEntry);
    uint32_t ret = IpcSendToProcess(proc, MSG_TRANS_SUB_BRO, &part);
    MSG_FREE(payload);
    return ret;
}

/* A subscription request goes to the broadcast task of each publisher's
 * process, which keeps the subscriptions to its events; a request whose
 * entries all name one publisher travels whole. */
uint32_t IpcSendSubscribe(MsgHead *head) {
    uint32_t count = 0U;
    if (head->data == nullptr || head->dataLen < kIpcSubHeadLen) {
        return IPCMsgSendData(head->recvProcName, MSG_TRANS_SUB_BRO, head);
    }
    std::memcpy(&count, static_cast<const uint8_t *>(head->data) + 1, sizeof(count));
    uint32_t fit = (head->dataLen - kIpcSubHeadLen) / (uint32_t)sizeof(MsgSubEntry);
    count = count < fit ? count : fit;
    uint32_t result = OS_MSG_OK;
    for (uint32_t i = 0U; i < count; ++i) {
        MsgSubEntry entry = IpcSubEntry(head, i);
        bool seen = false;
        for (uint32_t j = 0U; j < i && !seen; ++j) {
            seen = strncmp(IpcSubEntry(head, j).procName, entry.procName, OS_MSG_NAME_LEN) == 0;
        }
        if (seen) {
            continue;
        }
        uint32_t ret = IpcSendSubscribeTo(head, count, entry.procName);
        result = (result == OS_MSG_OK) ? ret : result;
    }
    return result;
}

} // namespace

uint32_t IpcUnixSendData(const char *destProcName, uint32_t transType, MsgHead *head) {
    if (head == nullptr || destProcName == nullptr || (head->dataLen != 0U && head->data == nullptr)) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input head null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (head->dataLen > OS_MSG_MAX_DATA_LEN) {
        MSG_LOG(OS_MSG_LOG_ERROR, "msg oversize");
        return OS_MSG_ERR_OVERSIZE;
    }
    if (transType == MSG_TRANS_SUB_BRO && strncmp(destProcName, MSG_PROC_NAME_PMSG, OS_MSG_NAME_LEN) == 0) {
        // Broadcast requests are fanned out by the own broadcast task, which
        // sends each event on to its subscribers' processes.
        return head->msgId == MSG_ID_SUBSCRIBE ? IpcSendSubscribe(head) : IPCMsgSendData(destProcName, transType, head);
    }
    return IpcSendToProcess(destProcName, transType, head);
}

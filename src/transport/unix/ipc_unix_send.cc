/*
 * The socket carrier's send operation: routes a message to its destination
 * process (subscription requests through the subscription keeper, see
 * ipc_sub_keeper.h; broadcast requests and messages for the own process into
 * the own process, answers back on the link their request came on), frames it into one datagram or,
 * when the payload is larger than a datagram takes, into slices, and sends
 * it on the peer's dialled link.
 *
 * Waits for room. No send waits while holding a lock another sender needs:
 * a full socket is waited for with the peer's lock released (holding only a
 * reference to the link), and a task the peer reported full is waited for
 * on the peer cache's condition; what a send may wait is its budget
 * (ipc_send_room.h). A message with cargo (a shared buffer, descriptors)
 * takes the same road (ipc_cargo_send.h).
 * A message in slices whose later slice cannot go within its bound is given
 * up: a control record tells the receiver to drop what it holds of it, or,
 * when even that finds no room, the link is shut down, which drops it too.
 *
 * Thread safety: no state besides the message key counter (atomic); the
 * peer's lock is held only across sends that do not wait.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/msg_monotonic.h"
#include "base/msg_proc_name.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_cargo_send.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_link.h"
#include "transport/unix/ipc_peer_cache.h"
#include "transport/unix/ipc_send_batch.h"
#include "transport/unix/ipc_send_room.h"
#include "transport/unix/ipc_sub_keeper.h"
#include "transport/unix/ipc_unix_carrier.h"
#include "vyre_os_thread.h"

namespace {

/* IpcSendLone's result when the slot was given to another name meanwhile. */
constexpr uint32_t kIpcSendLookAgain = 1U;

/* Keys of sliced messages; the receiver adds the link they come on. */
std::atomic<uint32_t> g_ipcSliceKey{0U};

/* The whole message in one datagram. */
IpcSendResult IpcSendWhole(IpcPeer *peer, IpcLink *link, uint32_t transType, const MsgHead *wire, const void *data,
                           IpcSendBudget &budget) {
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, transType, 0U, wire->dataLen);
    struct iovec iov[3] = {{&prefix, sizeof(prefix)},
                           {const_cast<MsgHead *>(wire), IPC_FRAME_HEAD_LEN},
                           {const_cast<void *>(data), wire->dataLen}};
    return IpcSendDatagram(peer, link, iov, wire->dataLen != 0U ? 3U : 2U, budget);
}

/* Gives up the message with key whose first slices went: the receiver is
 * told to drop them, or the link is shut down when even that finds no room
 * within MSG_TUNE_SEND_ABORT_WAIT_MS (with peer given, its lock is held,
 * released while waiting, and the slot forgets the link). */
void IpcSendAbort(IpcPeer *peer, IpcLink *link, uint32_t key) {
    uint8_t record[IPC_FRAME_CONTROL_RECORD];
    IpcFrameSetControl(record, IPC_CONTROL_ABORT, nullptr, key);
    struct iovec iov = {record, sizeof(record)};
    IpcSendBudget budget = IpcSendBudgetOf(MSG_TRANS_ASYN);
    IpcSendBudgetStall(budget, MSG_TUNE_SEND_ABORT_WAIT_MS);
    if (IpcSendDatagram(peer, link, &iov, 1U, budget) == IPC_SEND_OK) {
        return;
    }
    if (peer != nullptr && peer->link == link) {
        IpcPeerDisconnect(peer);
    } else {
        IpcLinkShutdown(link);
    }
}

/* The message in slices of at most link->maxBody bytes, in order. */
IpcSendResult IpcSendSliced(IpcPeer *peer, IpcLink *link, uint32_t transType, const MsgHead *wire, const uint8_t *data,
                            IpcSendBudget &budget) {
    MsgSliceTail tail;
    std::memset(&tail, 0, sizeof(tail));
    tail.isSplit = 1U;
    const uint32_t key = g_ipcSliceKey.fetch_add(1U, std::memory_order_relaxed);
    tail.flag = key;
    IpcFramePrefix prefix;
    for (uint32_t offset = 0U; offset < wire->dataLen; offset += tail.curLen) {
        uint32_t left = wire->dataLen - offset;
        tail.offset = offset;
        tail.curLen = left < link->maxBody ? left : link->maxBody;
        IpcFrameSetPrefix(&prefix, transType, IPC_FRAME_SLICED, tail.curLen);
        struct iovec iov[4] = {{&prefix, sizeof(prefix)},
                               {const_cast<MsgHead *>(wire), IPC_FRAME_HEAD_LEN},
                               {const_cast<uint8_t *>(data) + offset, tail.curLen},
                               {&tail, sizeof(tail)}};
        IpcSendResult res = IpcSendDatagram(peer, link, iov, 4U, budget);
        if (res != IPC_SEND_OK) {
            if (offset != 0U) {
                IpcSendAbort(peer, link, key);
            }
            return res;
        }
    }
    return IPC_SEND_OK;
}

IpcSendResult IpcSendOnce(IpcPeer *peer, IpcLink *link, uint32_t transType, const MsgHead *wire, const void *data,
                          IpcSendBudget &budget) {
    if (wire->dataLen <= link->maxBody) {
        return IpcSendWhole(peer, link, transType, wire, data, budget);
    }
    return IpcSendSliced(peer, link, transType, wire, static_cast<const uint8_t *>(data), budget);
}

/* The refusal of a message for a peer whose socket stays full (its lock
 * held): logged when the peer turns full, not for every refusal while it
 * stays full, since a sender that retries would flood the log. */
uint32_t IpcSendFull(IpcPeer *peer) {
    if (!peer->sockFull) {
        MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] receive queue full.", peer->name);
        peer->sockFull = true;
    }
    return OS_MSG_ERR_FULL;
}

/* What is batched for peer, then the message (none when wire is NULL;
 * with cargo when it has some, which may join the batch instead), on its
 * link (its lock held). What is batched goes first, so a thread's messages
 * keep their order. */
IpcSendResult IpcSendOnLink(IpcPeer *peer, uint32_t transType, const MsgHead *wire, const void *data,
                            IpcSendBudget &budget, IpcCargoOut *cargo) {
    IpcLink *link = peer->link;
    if (cargo != nullptr) {
        return IpcCargoSendOnLink(peer, link, transType, wire, data, cargo, budget);
    }
    IpcSendResult res = IpcBatchFlush(peer, link, budget);
    if (res != IPC_SEND_OK || wire == nullptr) {
        return res;
    }
    return IpcSendOnce(peer, link, transType, wire, data, budget);
}

/* Sends to peer (its lock held), reconnecting once when the connection
 * turns out broken (the peer restarted). */
uint32_t IpcSendToPeer(IpcPeer *peer, uint32_t transType, const MsgHead *wire, const void *data, IpcSendBudget &budget,
                       IpcCargoOut *cargo) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint32_t ret = IpcPeerConnect(peer, budget.logAbsent);
        if (ret != OS_MSG_OK) {
            return ret;
        }
        IpcLink *link = peer->link;
        IpcLinkHold(link); // stays open while the lock is released for a wait
        IpcSendResult res = IpcSendOnLink(peer, transType, wire, data, budget, cargo);
        if (res == IPC_SEND_BROKEN && peer->link == link) {
            IpcPeerDisconnect(peer);
        }
        IpcLinkRelease(link);
        switch (res) {
        case IPC_SEND_OK:
            peer->sockFull = false;
            return OS_MSG_OK;
        case IPC_SEND_FULL:
            return IpcSendFull(peer);
        case IPC_SEND_BROKEN:
            break;
        default:
            return cargo != nullptr && cargo->refusal != OS_MSG_OK ? cargo->refusal : OS_MSG_ERR_SYSTEM;
        }
    }
    if (budget.logAbsent) {
        MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] not running (it closed every connection; its socket is %s).",
                peer->name, peer->path);
    }
    return OS_MSG_ERR_SERVER_NOT_RUNNING;
}

/* A message that goes alone on peer's link (found under gen), after what is
 * batched for it (only that when wire is NULL); kIpcSendLookAgain when the
 * slot was given to another name meanwhile. */
uint32_t IpcSendLone(IpcPeer *peer, uint32_t gen, uint32_t transType, const MsgHead *wire, const void *data,
                     IpcSendBudget &budget, IpcCargoOut *cargo = nullptr) {
    if (!IpcPeerBegin(peer, gen)) {
        return kIpcSendLookAgain;
    }
    uint32_t ret = IpcSendToPeer(peer, transType, wire, data, budget, cargo);
    IpcPeerEnd(peer, ret == OS_MSG_ERR_SERVER_NOT_RUNNING || ret == OS_MSG_ERR_ACCESS);
    return ret;
}

/* Waits for room in task (the wire header's recvTaskName) of peer when the
 * peer reported it full: 0, or 0x80020007 when the wait ran out (logged
 * once per episode). */
uint32_t IpcSendTaskRoom(IpcPeer *peer, const MsgHead *wire, IpcSendBudget &budget) {
    bool logIt = false;
    if (IpcPeerWaitTaskRoom(peer, wire->recvTaskName, IpcSendWaitLeft(budget), &logIt)) {
        return OS_MSG_OK;
    }
    if (logIt) {
        MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] task [%.16s] full.", wire->recvProcName, wire->recvTaskName);
    }
    return OS_MSG_ERR_FULL;
}

/* An answer goes back on the link its request came on: the most recent one
 * from the requester's process, whose kernel-verified pid the request
 * carried in sendPid. A request that came through the own process (no link)
 * is answered there. */
uint32_t IpcSendAnswer(const char *destProcName, MsgHead *head) {
    IpcLink *link = IpcLinkFindAnswerLink(head->sendPid);
    if (link == nullptr) {
        if (head->sendPid == OsGetPId()) {
            return IPCMsgSendData(destProcName, MSG_TRANS_SYN_RESP, head);
        }
        MSG_LOG(OS_MSG_LOG_ERROR, "answer 0x%x to pid %u dropped: the requester is gone.", head->msgId, head->sendPid);
        return OS_MSG_ERR_NOT_FOUND;
    }
    MsgHead wire;
    std::memcpy(&wire, head, sizeof(wire));
    wire.data = nullptr;
    IpcSendBudget budget = IpcSendBudgetOf(MSG_TRANS_SYN_RESP);
    IpcSendResult res = IpcSendOnce(nullptr, link, MSG_TRANS_SYN_RESP, &wire, head->data, budget);
    IpcLinkRelease(link);
    if (res == IPC_SEND_OK) {
        return OS_MSG_OK;
    }
    MSG_LOG(OS_MSG_LOG_ERROR, "answer 0x%x to pid %u dropped: %s.", head->msgId, head->sendPid,
            res == IPC_SEND_FULL ? "the requester takes nothing" : "the requester is gone");
    return res == IPC_SEND_FULL ? OS_MSG_ERR_FULL : OS_MSG_ERR_NOT_FOUND;
}

/* Sends head (with cargo, when given) to another process, or, without
 * cargo, into the own one; a receiver that does not run is logged when
 * logAbsent is set. */
uint32_t IpcSendToProcess(const char *destProcName, uint32_t transType, MsgHead *head, bool logAbsent,
                          IpcCargoOut *cargo) {
    if (transType == MSG_TRANS_SYN_RESP) {
        return IpcSendAnswer(destProcName, head);
    }
    if (destProcName[0] == '\0' || strncmp(destProcName, MsgGetProcName(), OS_MSG_NAME_LEN) == 0) {
        return IPCMsgSendData(destProcName, transType, head);
    }
    MsgHead wire;
    std::memcpy(&wire, head, sizeof(wire));
    wire.data = nullptr;
    if (wire.sendProcName[0] == '\0') {
        // Events for subscriptions go to the process named here (a
        // subscription request is built without it).
        (void)snprintf(wire.sendProcName, sizeof(wire.sendProcName), "%.15s", MsgGetProcName());
    }
    IpcSendBudget budget = IpcSendBudgetOf(transType, logAbsent);
    for (;;) {
        uint32_t err = OS_MSG_OK;
        uint32_t gen = 0U;
        IpcPeer *peer = IpcPeerFind(destProcName, &err, &gen);
        if (peer == nullptr) {
            return err;
        }
        if (IpcPeerTaskMayBeFull(peer) && IpcSendTaskRoom(peer, &wire, budget) != OS_MSG_OK) {
            return OS_MSG_ERR_FULL;
        }
        if (cargo == nullptr && (transType == MSG_TRANS_ASYN || transType == MSG_TRANS_SUB_BRO)) {
            IpcBatchResult batched = IpcBatchAppend(peer, gen, transType, &wire, head->data);
            if (batched == IPC_BATCH_FULL) {
                // The full batch goes first, waiting for room as the message
                // would; the message then starts the next batch.
                uint32_t ret = IpcSendLone(peer, gen, transType, nullptr, nullptr, budget);
                if (ret != OS_MSG_OK) {
                    if (ret == kIpcSendLookAgain) {
                        continue;
                    }
                    return ret;
                }
                batched = IpcBatchAppend(peer, gen, transType, &wire, head->data);
            }
            if (batched == IPC_BATCH_TAKEN) {
                return OS_MSG_OK;
            }
        }
        uint32_t ret = IpcSendLone(peer, gen, transType, &wire, head->data, budget, cargo);
        if (ret != kIpcSendLookAgain) {
            return ret;
        }
    }
}

} // namespace

uint32_t IpcUnixSendTo(const char *destProcName, uint32_t transType, MsgHead *head, bool logAbsent) {
    return IpcSendToProcess(destProcName, transType, head, logAbsent, nullptr);
}

uint32_t IpcUnixSendCargoTo(const char *destProcName, uint32_t transType, MsgHead *head, IpcCargoOut *cargo) {
    return IpcSendToProcess(destProcName, transType, head, true, cargo);
}

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
        return head->msgId == MSG_ID_SUBSCRIBE ? IpcSubKeeperSend(head) : IPCMsgSendData(destProcName, transType, head);
    }
    return IpcUnixSendTo(destProcName, transType, head, true);
}

/*
 * The budget of a send's waits for room and the send of one datagram within
 * it (see ipc_send_room.h). No state.
 */
#include "transport/unix/ipc_send_room.h"

#include "base/msg_monotonic.h"
#include "base/msg_serve_mark.h"
#include "base/msg_tunables.h"
#include "transport/msg_adapter.h"

IpcSendBudget IpcSendBudgetOf(uint32_t transType, bool logAbsent) {
    return {transType, logAbsent, false, false, 0U, 0U, 0U};
}

void IpcSendBudgetStall(IpcSendBudget &budget, uint32_t ms) {
    budget.known = true;
    budget.hard = false;
    budget.stallNs = (uint64_t)ms * 1000000ULL;
}

namespace {

void IpcSendBudgetKnow(IpcSendBudget &budget, uint64_t now) {
    budget.known = true;
    if (budget.transType == MSG_TRANS_SYN_RESP) {
        budget.stallNs = MSG_TUNE_SEND_ANSWER_WAIT_MS * 1000000ULL;
        return;
    }
    // A callback on the receive thread waits for no room (a bound of 0): the
    // peer's report of it would come in on this very thread.
    const bool serving = MsgServingOnReceive();
    const uint32_t ms = serving ? 0U : MsgAdpSendWaitMs();
    if (ms == 0U && !serving && !MsgAdpSendWaitChosen()) {
        budget.stallNs = MSG_TUNE_SEND_ROOM_WAIT_MS * 1000000ULL;
        return;
    }
    budget.hard = true;
    budget.endNs = now + (uint64_t)ms * 1000000ULL;
}

/* A datagram went out: the receiver makes room. */
void IpcSendProgress(IpcSendBudget &budget) {
    budget.waitedNs = 0U;
}

} // namespace

uint32_t IpcSendWaitLeft(IpcSendBudget &budget) {
    uint64_t now = MsgMonotonicNs();
    if (!budget.known) {
        IpcSendBudgetKnow(budget, now);
    }
    if (!budget.hard && budget.waitedNs == 0U) {
        budget.waitedNs = now;
    }
    return MsgMsLeft(budget.hard ? budget.endNs : budget.waitedNs + budget.stallNs);
}

IpcSendResult IpcSendDatagram(IpcPeer *peer, IpcLink *link, struct iovec *iov, size_t iovLen, IpcSendBudget &budget,
                              const int *fds, uint32_t fdCount) {
    for (;;) {
        IpcSendResult res = IpcLinkSendNow(link, iov, iovLen, fds, fdCount);
        if (res == IPC_SEND_OK) {
            IpcSendProgress(budget);
        }
        uint32_t waitMs = res == IPC_SEND_FULL ? IpcSendWaitLeft(budget) : 0U;
        if (waitMs == 0U) {
            return res;
        }
        if (peer != nullptr) {
            peer->lock.unlock();
        }
        bool room = IpcLinkWaitRoom(link, waitMs);
        if (peer != nullptr) {
            peer->lock.lock();
            if (peer->link != link) {
                return IPC_SEND_BROKEN;
            }
        }
        if (!room) {
            return IPC_SEND_FULL;
        }
    }
}

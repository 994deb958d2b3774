/*
 * Datagram batching and the batch sender thread (see ipc_send_batch.h for
 * the policy and the locks). g_ipcBatchLock guards the list of peers with a
 * batch to send, the stop flag and whether the sender sleeps; it is a leaf
 * lock taken after a peer's pendLock. The peers whose sockets were full
 * (g_ipcBatchWaiting) belong to the batch sender thread alone.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_send_batch.h"

#include <pthread.h>

#include <atomic>
#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_cpu_relax.h"
#include "base/msg_forever.h"
#include "base/msg_monotonic.h"
#include "base/msg_thread_name.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "shared_buf/sbuf_share.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_link_share.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

/* Never destroyed: the batch sender may still wait on it while a process
 * that left without tearing down runs its static destructors. */
MsgForever<std::mutex> g_ipcBatchLock;
IpcPeer *g_ipcBatchReady[IPC_PEER_NUM]; /* peers with a batch, oldest first */
uint32_t g_ipcBatchHead = 0U;
/* Written under g_ipcBatchLock; also read without it by the batch sender's
 * looks before it sleeps. */
std::atomic<uint32_t> g_ipcBatchCount{0U};
bool g_ipcBatchStopping = false;
bool g_ipcBatchSleeping = false;
int g_ipcBatchWakeFd = -1;      /* posted (under the lock) to wake the sleeping sender */
bool g_ipcBatchRunning = false; /* touched by start and stop only */
pthread_t g_ipcBatchThread;

/* A peer whose socket had no room for its batch, with a reference to the
 * link it waits on. */
struct IpcBatchWaiting {
    IpcPeer *peer;
    IpcLink *link;
};
IpcBatchWaiting g_ipcBatchWaiting[IPC_PEER_NUM];
uint32_t g_ipcBatchWaitingCount = 0U;

/* Puts peer on the sender's list (each peer is on it at most once). */
void IpcBatchEnqueue(IpcPeer *peer) {
    std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
    uint32_t count = g_ipcBatchCount.load(std::memory_order_relaxed);
    g_ipcBatchReady[(g_ipcBatchHead + count) % IPC_PEER_NUM] = peer;
    g_ipcBatchCount.store(count + 1U, std::memory_order_release);
    if (g_ipcBatchSleeping) {
        g_ipcBatchSleeping = false;
        IpcSysEventPost(g_ipcBatchWakeFd);
    }
}

/* The next peer with a batch, NULL when none. */
IpcPeer *IpcBatchTakeReady() {
    if (g_ipcBatchCount.load(std::memory_order_acquire) == 0U) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
    uint32_t count = g_ipcBatchCount.load(std::memory_order_relaxed);
    IpcPeer *peer = g_ipcBatchReady[g_ipcBatchHead];
    g_ipcBatchHead = (g_ipcBatchHead + 1U) % IPC_PEER_NUM;
    g_ipcBatchCount.store(count - 1U, std::memory_order_relaxed);
    return peer;
}

/* Gives the buffers lent in batch[0..*len) back to lentOn's share. With
 * keep set, the other records stay, in order, at the start of batch (*len
 * becomes their bytes); otherwise *len becomes 0. The messages whose
 * buffers went back. */
uint32_t IpcBatchUnlend(uint8_t *batch, uint32_t *len, IpcLink *lentOn, bool keep) {
    SbufShare *share = IpcLinkShareIf(lentOn); // made by the lends, kept while the link lives
    uint32_t kept = 0U;
    uint32_t dropped = 0U;
    for (uint32_t pos = 0U; pos < *len;) {
        IpcFramePrefix prefix;
        std::memcpy(&prefix, batch + pos, sizeof(prefix));
        const bool lent = (prefix.flags & IPC_FRAME_CARGO) != 0U;
        const uint32_t recordLen = (lent ? IPC_CARGO_RECORD_OVERHEAD : IPC_FRAME_RECORD_OVERHEAD) + prefix.bodyLen;
        if (lent) {
            IpcCargoDesc desc;
            std::memcpy(&desc, batch + pos + IPC_FRAME_RECORD_OVERHEAD, sizeof(desc));
            if (share != nullptr) {
                SbufShareUnlend(share, desc.refId);
            }
            ++dropped;
        } else if (keep) {
            std::memmove(batch + kept, batch + pos, recordLen);
            kept += recordLen;
        }
        pos += recordLen;
    }
    *len = kept;
    return dropped;
}

/* Forgets peer->spare (peer's lock held): sent when sent is set, else
 * dropped, its lent buffers given back. */
void IpcBatchSpareDone(IpcPeer *peer, bool sent) {
    if (peer->spareLent != nullptr) {
        if (!sent) {
            (void)IpcBatchUnlend(peer->spare, &peer->spareLen, peer->spareLent, false);
        }
        IpcLinkRelease(peer->spareLent);
        peer->spareLent = nullptr;
    }
    peer->spareLen = 0U;
}

/* peer->spare is about to go on a link other than the one its buffers were
 * lent on (peer's lock held): their messages are dropped, their buffers
 * given back; the other messages stay. */
void IpcBatchDropLentElsewhere(IpcPeer *peer) {
    uint32_t dropped = IpcBatchUnlend(peer->spare, &peer->spareLen, peer->spareLent, true);
    IpcLinkRelease(peer->spareLent);
    peer->spareLent = nullptr;
    MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] restarted, %u messages with shared buffers dropped.", peer->name,
            dropped);
}

/* Sends peer->spare without waiting (peer's lock held), reconnecting once
 * when the peer has restarted. */
IpcSendResult IpcBatchSendSpare(IpcPeer *peer) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (IpcPeerConnect(peer) != OS_MSG_OK) {
            return IPC_SEND_BROKEN;
        }
        if (peer->spareLent != nullptr && peer->spareLent != peer->link) {
            IpcBatchDropLentElsewhere(peer);
            if (peer->spareLen == 0U) {
                return IPC_SEND_OK;
            }
        }
        struct iovec iov = {peer->spare, peer->spareLen};
        IpcSendResult res = IpcLinkSendNow(peer->link, &iov, 1U);
        if (res != IPC_SEND_BROKEN) {
            if (res == IPC_SEND_OK) {
                IpcBatchSpareDone(peer, true);
            }
            return res;
        }
        IpcPeerDisconnect(peer);
    }
    return IPC_SEND_BROKEN;
}

/* Takes the batch being filled as the one to send (peer's lock held): the
 * two buffers swap, so a peer never has more than two. False when there is
 * none; then the peer leaves the sender's hands when release is set. */
bool IpcBatchTake(IpcPeer *peer, bool release) {
    std::lock_guard<std::mutex> guard(peer->pendLock);
    if (peer->pendLen == 0U) {
        if (peer->queued && release) {
            // Appends skip the clock while the peer is on the list; its last
            // batch counts as its last asynchronous send.
            peer->lastAsyncNs = MsgMonotonicNs();
            peer->queued = false;
        }
        return false;
    }
    uint8_t *filled = peer->pend;
    peer->pend = peer->spare;
    peer->spare = filled;
    peer->spareLen = peer->pendLen;
    peer->pendLen = 0U;
    peer->spareLent = peer->pendLent; // spare was empty, so it held no link
    peer->pendLent = nullptr;
    return true;
}

/* Serves one peer for the batch sender: sends until nothing is batched, or
 * sets it aside, with its link, when its socket is full. */
void IpcBatchServe(IpcPeer *peer) {
    std::lock_guard<std::mutex> guard(peer->lock);
    peer->lastUseNs.store(MsgMonotonicNs(), std::memory_order_relaxed);
    for (;;) {
        if (peer->spareLen == 0U && !IpcBatchTake(peer, true)) {
            return;
        }
        IpcSendResult res = IpcBatchSendSpare(peer);
        if (res == IPC_SEND_FULL) {
            IpcLinkHold(peer->link);
            g_ipcBatchWaiting[g_ipcBatchWaitingCount++] = {peer, peer->link};
            return;
        }
        if (res != IPC_SEND_OK) {
            MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] gone, %u bytes of messages dropped.", peer->name,
                    peer->spareLen);
            IpcBatchSpareDone(peer, false);
        }
    }
}

/* Waits at most ms for room at the peers set aside (and, while sleeping,
 * for the wake-up counter), then serves those that have room. True when it
 * served any. */
bool IpcBatchServeWaiting(int ms, bool sleeping) {
    if (g_ipcBatchWaitingCount == 0U && !sleeping) {
        return false;
    }
    IpcSysPollItem items[IPC_PEER_NUM + 1U];
    items[0] = {g_ipcBatchWakeFd, IPC_SYS_READABLE, 0U};
    for (uint32_t i = 0U; i < g_ipcBatchWaitingCount; ++i) {
        items[i + 1U] = {g_ipcBatchWaiting[i].link->fd, IPC_SYS_WRITABLE, 0U};
    }
    if (IpcSysPoll(sleeping ? items : items + 1, g_ipcBatchWaitingCount + (sleeping ? 1U : 0U), ms) <= 0) {
        return false;
    }
    if (items[0].ready != 0U && sleeping) {
        IpcSysEventDrain(g_ipcBatchWakeFd);
    }
    IpcBatchWaiting ready[IPC_PEER_NUM];
    uint32_t readyCount = 0U;
    uint32_t kept = 0U;
    for (uint32_t i = 0U; i < g_ipcBatchWaitingCount; ++i) {
        (items[i + 1U].ready != 0U ? ready[readyCount++] : g_ipcBatchWaiting[kept++]) = g_ipcBatchWaiting[i];
    }
    g_ipcBatchWaitingCount = kept;
    for (uint32_t i = 0U; i < readyCount; ++i) {
        IpcLinkRelease(ready[i].link);
        IpcBatchServe(ready[i].peer);
    }
    return readyCount != 0U;
}

/* Sleeps until a batch is ready or a peer set aside has room, after a few
 * looks for a new batch. False once stopping with no batch ready. */
bool IpcBatchSleep() {
    for (int i = 0; i < MSG_TUNE_BATCH_IDLE_YIELDS && g_ipcBatchCount.load(std::memory_order_acquire) == 0U; ++i) {
        if (MsgYieldFoundWork()) {
            break;
        }
    }
    {
        std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
        if (g_ipcBatchCount.load(std::memory_order_relaxed) != 0U) {
            return true;
        }
        if (g_ipcBatchStopping) {
            return false;
        }
        g_ipcBatchSleeping = true;
    }
    (void)IpcBatchServeWaiting(-1, true);
    std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
    g_ipcBatchSleeping = false;
    return true;
}

void *IpcBatchThread(void *) {
    MsgNameThisThread(MSG_THREAD_BATCH);
    for (;;) {
        if (IpcPeer *peer = IpcBatchTakeReady()) {
            IpcBatchServe(peer);
        } else if (!IpcBatchServeWaiting(0, false) && !IpcBatchSleep()) {
            return nullptr;
        }
    }
}

/* One record for a batch: its prefix and header, then extra (a cargo
 * description) and prefix.bodyLen bytes of body. */
struct IpcBatchRecord {
    IpcFramePrefix prefix;
    const MsgHead *wire;
    const void *extra;
    uint32_t extraLen;
    const void *body;
    IpcLink *lentOn; /* the link the record's buffer was lent on, NULL for none */
};

/* IpcBatchAppend's rule for any record. */
IpcBatchResult IpcBatchPut(IpcPeer *peer, uint32_t gen, const IpcBatchRecord &rec) {
    const uint32_t recordLen = IPC_FRAME_RECORD_OVERHEAD + rec.extraLen + rec.prefix.bodyLen;
    if (recordLen > IPC_BATCH_RECORD_MAX || !peer->linked.load(std::memory_order_acquire)) {
        return IPC_BATCH_ALONE; // the first message to a peer goes alone: it learns whether the peer runs
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(peer->pendLock);
        if (peer->gen.load(std::memory_order_relaxed) != gen) {
            return IPC_BATCH_ALONE; // the slot moved on: the lone path looks again
        }
        if (rec.lentOn != nullptr && peer->pendLent != nullptr && peer->pendLent != rec.lentOn) {
            return IPC_BATCH_ALONE; // the lone path sends (or drops) the older link's first
        }
        if (!peer->queued) {
            // Only a message that finds no batch waiting reads the clock: a
            // streaming sender pays for it once per batch, not per message.
            uint64_t now = MsgMonotonicNs();
            bool streaming = now - peer->lastAsyncNs < MSG_TUNE_BATCH_BURST_NS;
            peer->lastAsyncNs = now;
            if (!streaming) {
                return IPC_BATCH_ALONE;
            }
        }
        if (peer->pend == nullptr) {
            peer->pend = static_cast<uint8_t *>(MSG_MALLOC(IPC_BATCH_BYTES));
            if (peer->pend == nullptr) {
                return IPC_BATCH_ALONE; // tried again with the next message
            }
        }
        if (peer->pendLen + recordLen > IPC_BATCH_BYTES) {
            return IPC_BATCH_FULL;
        }
        uint8_t *at = peer->pend + peer->pendLen;
        std::memcpy(at, &rec.prefix, sizeof(rec.prefix));
        std::memcpy(at + IPC_FRAME_PREFIX_LEN, rec.wire, IPC_FRAME_HEAD_LEN);
        at += IPC_FRAME_RECORD_OVERHEAD;
        if (rec.extraLen != 0U) {
            std::memcpy(at, rec.extra, rec.extraLen);
        }
        if (rec.prefix.bodyLen != 0U) {
            std::memcpy(at + rec.extraLen, rec.body, rec.prefix.bodyLen);
        }
        peer->pendLen += recordLen;
        if (rec.lentOn != nullptr && peer->pendLent == nullptr) {
            IpcLinkHold(rec.lentOn);
            peer->pendLent = rec.lentOn;
        }
        wake = !peer->queued;
        peer->queued = true;
    }
    if (wake) {
        IpcBatchEnqueue(peer);
    }
    return IPC_BATCH_TAKEN;
}

/* Sends what is batched for peer on its link without waiting, with peer's
 * lock held: the batch taken earlier and then the batch being filled.
 * IPC_SEND_OK when both went (or there were none); IPC_SEND_FULL when the
 * socket had no room (what is left stays batched, in order). */
IpcSendResult IpcBatchFlushLocked(IpcPeer *peer) {
    for (int round = 0; round < 2; ++round) {
        if (peer->spareLen == 0U && !IpcBatchTake(peer, false)) {
            return IPC_SEND_OK;
        }
        IpcSendResult res = IpcBatchSendSpare(peer);
        if (res != IPC_SEND_OK) {
            return res;
        }
    }
    return IPC_SEND_OK;
}

} // namespace

uint32_t IpcBatchStart(void) {
    int wakeFd = IpcSysEventCreate();
    if (wakeFd < 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "batch sender set-up error[%d].", -wakeFd);
        return OS_MSG_ERR_SYSTEM;
    }
    {
        std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
        g_ipcBatchStopping = false;
        g_ipcBatchSleeping = false;
        g_ipcBatchHead = 0U;
        g_ipcBatchCount.store(0U, std::memory_order_relaxed);
        g_ipcBatchWakeFd = wakeFd;
    }
    g_ipcBatchWaitingCount = 0U;
    if (pthread_create(&g_ipcBatchThread, nullptr, IpcBatchThread, nullptr) != 0) {
        MSG_LOG(OS_MSG_LOG_FATAL, "create thread error.");
        std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
        IpcSysClose(&g_ipcBatchWakeFd);
        return OS_MSG_ERR_THREAD_CREATE;
    }
    g_ipcBatchRunning = true;
    return OS_MSG_OK;
}

void IpcBatchStop(void) {
    if (!g_ipcBatchRunning) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
        g_ipcBatchStopping = true;
        IpcSysEventPost(g_ipcBatchWakeFd);
    }
    (void)pthread_join(g_ipcBatchThread, nullptr);
    g_ipcBatchRunning = false;
    for (uint32_t i = 0U; i < g_ipcBatchWaitingCount; ++i) {
        IpcLinkRelease(g_ipcBatchWaiting[i].link);
    }
    g_ipcBatchWaitingCount = 0U;
    std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
    IpcSysClose(&g_ipcBatchWakeFd);
}

IpcBatchResult IpcBatchAppend(IpcPeer *peer, uint32_t gen, uint32_t transType, const MsgHead *wire, const void *data) {
    IpcBatchRecord rec = {{}, wire, nullptr, 0U, data, nullptr};
    IpcFrameSetPrefix(&rec.prefix, transType, 0U, wire->dataLen);
    return IpcBatchPut(peer, gen, rec);
}

IpcBatchResult IpcBatchAppendCargo(IpcPeer *peer, IpcLink *link, uint32_t transType, const MsgHead *wire,
                                   const IpcCargoDesc *desc) {
    if (peer->link != link) {
        return IPC_BATCH_ALONE; // the batch went out on a new link meanwhile: the lent one is tried alone
    }
    IpcBatchRecord rec = {{}, wire, desc, IPC_CARGO_DESC_LEN, nullptr, link};
    IpcFrameSetPrefix(&rec.prefix, transType, IPC_FRAME_CARGO, 0U);
    return IpcBatchPut(peer, peer->gen.load(std::memory_order_relaxed), rec);
}

IpcSendResult IpcBatchFlush(IpcPeer *peer, IpcLink *link, IpcSendBudget &budget) {
    for (;;) {
        IpcSendResult res = IpcBatchFlushLocked(peer);
        if (res == IPC_SEND_OK) {
            return res;
        }
        uint32_t waitMs = res == IPC_SEND_FULL ? IpcSendWaitLeft(budget) : 0U;
        if (waitMs == 0U) {
            return res;
        }
        peer->lock.unlock();
        bool room = IpcLinkWaitRoom(link, waitMs);
        peer->lock.lock();
        if (peer->link != link) {
            return IPC_SEND_BROKEN;
        }
        if (!room) {
            return IPC_SEND_FULL;
        }
    }
}

bool IpcBatchIdle(IpcPeer *peer) {
    if (peer->spareLen != 0U) {
        return false;
    }
    std::lock_guard<std::mutex> guard(peer->pendLock);
    return peer->pendLen == 0U;
}

void IpcBatchDropLocked(IpcPeer *peer) {
    IpcBatchSpareDone(peer, false);
    if (peer->pendLent != nullptr) {
        (void)IpcBatchUnlend(peer->pend, &peer->pendLen, peer->pendLent, false);
        IpcLinkRelease(peer->pendLent);
        peer->pendLent = nullptr;
    }
    peer->pendLen = 0U;
}

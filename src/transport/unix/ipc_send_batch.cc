/*
 * Datagram batching and the batch sender thread (see ipc_send_batch.h for
 * the policy and the locks). g_ipcBatchLock guards the list of peers with a
 * batch to send, the stop flag and whether the sender sleeps; it is a leaf
 * lock taken after a peer's pendLock.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_send_batch.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_cpu_relax.h"
#include "base/msg_forever.h"
#include "base/msg_monotonic.h"
#include "base/msg_thread_name.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

/* Never destroyed: the batch sender may still wait on them while a process
 * that left without tearing down runs its static destructors. */
MsgForever<std::mutex> g_ipcBatchLock;
MsgForever<std::condition_variable> g_ipcBatchCond;
IpcPeer *g_ipcBatchReady[IPC_PEER_NUM]; /* peers with a batch, oldest first */
uint32_t g_ipcBatchHead = 0U;
/* Written under g_ipcBatchLock; also read without it by the batch sender's
 * looks before it sleeps. */
std::atomic<uint32_t> g_ipcBatchCount{0U};
bool g_ipcBatchStopping = false;
bool g_ipcBatchSleeping = false;
bool g_ipcBatchRunning = false; /* touched by start and stop only */
pthread_t g_ipcBatchThread;

/* Puts peer on the sender's list (each peer is on it at most once). */
void IpcBatchEnqueue(IpcPeer *peer) {
    std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
    uint32_t count = g_ipcBatchCount.load(std::memory_order_relaxed);
    g_ipcBatchReady[(g_ipcBatchHead + count) % IPC_PEER_NUM] = peer;
    g_ipcBatchCount.store(count + 1U, std::memory_order_release);
    if (g_ipcBatchSleeping) {
        g_ipcBatchCond->notify_one();
    }
}

/* The next peer to serve, NULL once stopping with nothing left. */
IpcPeer *IpcBatchNext() {
    for (int i = 0; i < MSG_TUNE_BATCH_IDLE_YIELDS && g_ipcBatchCount.load(std::memory_order_acquire) == 0U; ++i) {
        if (MsgYieldFoundWork()) {
            break;
        }
    }
    std::unique_lock<std::mutex> lock(*g_ipcBatchLock);
    while (g_ipcBatchCount.load(std::memory_order_relaxed) == 0U && !g_ipcBatchStopping) {
        g_ipcBatchSleeping = true;
        g_ipcBatchCond->wait(lock);
        g_ipcBatchSleeping = false;
    }
    uint32_t count = g_ipcBatchCount.load(std::memory_order_relaxed);
    if (count == 0U) {
        return nullptr;
    }
    IpcPeer *peer = g_ipcBatchReady[g_ipcBatchHead];
    g_ipcBatchHead = (g_ipcBatchHead + 1U) % IPC_PEER_NUM;
    g_ipcBatchCount.store(count - 1U, std::memory_order_relaxed);
    return peer;
}

bool IpcBatchStopping() {
    std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
    return g_ipcBatchStopping;
}

/* Sends peer->spare (peer's lock held), reconnecting once when the peer has
 * restarted. */
IpcSendResult IpcBatchSendSpare(IpcPeer *peer, uint32_t waitMs) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (IpcPeerConnect(peer) != OS_MSG_OK) {
            return IPC_SEND_BROKEN;
        }
        struct iovec iov = {peer->spare, peer->spareLen};
        IpcSendResult res = IpcPeerSendDatagram(peer, &iov, 1U, waitMs);
        if (res != IPC_SEND_BROKEN) {
            if (res == IPC_SEND_OK) {
                peer->spareLen = 0U;
            }
            return res;
        }
        IpcPeerDisconnect(peer);
    }
    return IPC_SEND_BROKEN;
}

/* Takes the batch being filled as the one to send (peer's lock held). False
 * when there is none; then the peer leaves the sender's hands when
 * release is set. */
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
    return true;
}

/* Serves one peer for the batch sender: sends until nothing is batched, or
 * puts it back on the list when it is full. */
void IpcBatchServe(IpcPeer *peer) {
    std::unique_lock<std::mutex> lock(peer->lock);
    for (;;) {
        if (peer->spareLen == 0U && !IpcBatchTake(peer, true)) {
            return;
        }
        IpcSendResult res = IpcBatchSendSpare(peer, 0U);
        if (res == IPC_SEND_FULL && !IpcBatchStopping()) {
            int fd = peer->fd;
            lock.unlock();
            (void)IpcSysWaitWritable(fd, MSG_TUNE_BATCH_ROOM_WAIT_MS);
            IpcBatchEnqueue(peer);
            return;
        }
        if (res != IPC_SEND_OK) {
            MSG_LOG(OS_MSG_LOG_ERROR, "process [%.16s] gone, %u bytes of messages dropped.", peer->name,
                    peer->spareLen);
            peer->spareLen = 0U;
        }
    }
}

void *IpcBatchThread(void *) {
    MsgNameThisThread(MSG_THREAD_BATCH);
    while (IpcPeer *peer = IpcBatchNext()) {
        IpcBatchServe(peer);
    }
    return nullptr;
}

} // namespace

uint32_t IpcBatchStart(void) {
    {
        std::lock_guard<std::mutex> guard(*g_ipcBatchLock);
        g_ipcBatchStopping = false;
        g_ipcBatchHead = 0U;
        g_ipcBatchCount.store(0U, std::memory_order_relaxed);
    }
    if (pthread_create(&g_ipcBatchThread, nullptr, IpcBatchThread, nullptr) != 0) {
        MSG_LOG(OS_MSG_LOG_FATAL, "create thread error.");
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
        g_ipcBatchCond->notify_one();
    }
    (void)pthread_join(g_ipcBatchThread, nullptr);
    g_ipcBatchRunning = false;
}

IpcBatchResult IpcBatchAppend(IpcPeer *peer, uint32_t transType, const MsgHead *wire, const void *data) {
    uint32_t recordLen = IPC_FRAME_RECORD_OVERHEAD + wire->dataLen;
    if (recordLen > IPC_BATCH_RECORD_MAX || !peer->linked.load(std::memory_order_acquire)) {
        return IPC_BATCH_ALONE; // the first message to a peer goes alone: it learns whether the peer runs
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(peer->pendLock);
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
            peer->spare = static_cast<uint8_t *>(MSG_MALLOC(IPC_BATCH_BYTES));
            if (peer->pend == nullptr || peer->spare == nullptr) {
                return IPC_BATCH_ALONE; // the buffers are tried again next time
            }
        }
        if (peer->pendLen + recordLen > IPC_BATCH_BYTES) {
            return IPC_BATCH_FULL;
        }
        IpcFramePrefix prefix;
        IpcFrameSetPrefix(&prefix, transType, 0U, wire->dataLen);
        uint8_t *at = peer->pend + peer->pendLen;
        std::memcpy(at, &prefix, sizeof(prefix));
        std::memcpy(at + IPC_FRAME_PREFIX_LEN, wire, IPC_FRAME_HEAD_LEN);
        if (wire->dataLen != 0U) {
            std::memcpy(at + IPC_FRAME_RECORD_OVERHEAD, data, wire->dataLen);
        }
        peer->pendLen += recordLen;
        wake = !peer->queued;
        peer->queued = true;
    }
    if (wake) {
        IpcBatchEnqueue(peer);
    }
    return IPC_BATCH_TAKEN;
}

IpcSendResult IpcBatchFlushLocked(IpcPeer *peer, uint32_t waitMs) {
    for (int round = 0; round < 2; ++round) {
        if (peer->spareLen == 0U && !IpcBatchTake(peer, false)) {
            return IPC_SEND_OK;
        }
        IpcSendResult res = IpcBatchSendSpare(peer, waitMs);
        if (res != IPC_SEND_OK) {
            return res;
        }
    }
    return IPC_SEND_OK;
}

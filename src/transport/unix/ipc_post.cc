/*
 * Posts on the socket carrier (see ipc_post.h). g_ipcPostLinks, the links
 * whose rings are read, belongs to the receive thread alone.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_post.h"

#include <cstring>

#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_link_park.h"
#include "transport/unix/ipc_send_batch.h"
#include "transport/unix/ipc_task_serve.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

static_assert(IPC_CARGO_RECORD_OVERHEAD <= SBUF_POST_RECORD_MAX, "a message lending a buffer fits a post");

/* Posts taken at most once a sender's connection ended: more than its
 * ring holds. */
constexpr uint32_t kIpcPostLastMost = 1024U;

IpcLink *g_ipcPostLinks = nullptr;
/* The bell: written by the open and the close, read by the receive thread
 * between them (and by a forked child's hook). */
int g_ipcPostBellFd = -1;
uint32_t g_ipcPostHanded = 0U; /* posts handed over since IpcPostTakeHanded */

/* Sends a share record of kind with no body on link, with fd when it is
 * not NULL. Neither kind needs to arrive: a POSTED record that finds the
 * socket full is not needed (the receiver has datagrams to read, and reads
 * the ring after them), nor a BELL (the peer then rings by record); a
 * broken connection's close gives the references back. */
void IpcPostSendBare(IpcLink *link, uint32_t kind, const int *fd) {
    IpcFramePrefix record;
    IpcFrameSetPrefix(&record, IPC_FRAME_SHARE, kind, 0U);
    struct iovec iov = {&record, sizeof(record)};
    (void)IpcLinkSendNow(link, &iov, 1U, fd, fd != nullptr ? 1U : 0U);
}

/* Only a message lending a buffer comes by post; anything else is dropped
 * as a bad record would be. */
bool IpcPostIsLend(const uint8_t *rec, uint32_t len) {
    IpcFramePrefix prefix;
    std::memcpy(&prefix, rec, sizeof(prefix));
    return len == IPC_CARGO_RECORD_OVERHEAD && prefix.magic == IPC_FRAME_MAGIC && prefix.flags == IPC_FRAME_CARGO &&
           prefix.reserved == 0U && prefix.bodyLen == 0U &&
           (prefix.transType == MSG_TRANS_ASYN || prefix.transType == MSG_TRANS_SUB_BRO ||
            prefix.transType == MSG_TRANS_SYN);
}

/* One post of link to its queue, as a datagram of its own. */
void IpcPostHand(IpcLink *link, const uint8_t *rec, uint32_t len) {
    IpcFrameSink sink;
    IpcParkSinkInit(&sink, link, link->pid, link->uid, link->gid);
    if (!IpcPostIsLend(rec, len)) {
        IpcFrameLogBad(&sink, "post", "not a message lending a buffer");
        return;
    }
    const uint32_t handled = IpcFrameRecvDatagram(rebuildEntry, rec, len, &sink);
    if (handled < len) {
        IpcParkKeepRest(link, rec + handled, len - handled, link->pid, link->uid, link->gid);
    }
    (void)IpcParkAfterDatagram(link);
}

} // namespace

bool IpcPostCargo(IpcPeer *peer, IpcLink *link, SbufShare *share, uint32_t transType, const MsgHead *wire,
                  const IpcCargoDesc *desc) {
    if (peer == nullptr || !IpcBatchIdle(peer)) {
        return false;
    }
    alignas(8) uint8_t rec[SBUF_POST_RECORD_MAX];
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, transType, IPC_FRAME_CARGO, 0U);
    std::memcpy(rec, &prefix, sizeof(prefix));
    std::memcpy(rec + IPC_FRAME_PREFIX_LEN, wire, IPC_FRAME_HEAD_LEN);
    std::memcpy(rec + IPC_FRAME_RECORD_OVERHEAD, desc, IPC_CARGO_DESC_LEN);
    bool ring = false;
    if (!SbufSharePost(share, rec, IPC_CARGO_RECORD_OVERHEAD, link->sent.load(std::memory_order_acquire), &ring)) {
        return false;
    }
    if (ring) {
        const int bell = link->bellFd.load(std::memory_order_acquire);
        if (bell < 0 || !IpcSysEventRing(bell)) { // not passed yet: its datagram wakes the receiver
            IpcPostSendBare(link, IPC_SHARE_POSTED, nullptr);
        }
    }
    return true;
}

int IpcPostOpenBell(int poller) {
    int fd = IpcSysEventCreate();
    if (fd < 0) {
        return fd;
    }
    // Readable for good and never read, watched edge-triggered: each ring
    // (a write of 0, IpcSysEventRing, which cannot fill it) is one event and
    // costs the receiver nothing but its wake-up.
    IpcSysEventPost(fd);
    int err = IpcSysPollerAdd(poller, fd, IPC_SYS_READABLE | IPC_SYS_EDGE, &g_ipcPostBellFd);
    if (err < 0) {
        IpcSysClose(&fd);
        return err;
    }
    g_ipcPostBellFd = fd;
    return 0;
}

bool IpcPostIsBell(const void *tag) {
    return tag == &g_ipcPostBellFd;
}

void IpcPostCloseBell(int poller) {
    if (poller >= 0 && g_ipcPostBellFd >= 0) {
        IpcSysPollerRemove(poller, g_ipcPostBellFd);
    }
    IpcSysClose(&g_ipcPostBellFd);
}

void IpcPostOpen(IpcLink *link, SbufLane *lane) {
    if (link->kind != IPC_LINK_ACCEPTED || link->recv.post != nullptr) {
        return;
    }
    SbufLaneOpenPost(lane);
    link->recv.post = lane;
    link->recv.postNext = g_ipcPostLinks;
    g_ipcPostLinks = link;
    if (g_ipcPostBellFd >= 0) {
        IpcPostSendBare(link, IPC_SHARE_BELL, &g_ipcPostBellFd);
    }
}

void IpcPostForget(IpcLink *link) {
    if (link->recv.post == nullptr) {
        return;
    }
    for (IpcLink **at = &g_ipcPostLinks; *at != nullptr; at = &(*at)->recv.postNext) {
        if (*at == link) {
            *at = link->recv.postNext;
            break;
        }
    }
    link->recv.post = nullptr;
    link->recv.postNext = nullptr;
}

uint32_t IpcPostDrain(IpcLink *link, bool all) {
    SbufLane *lane = link->recv.post;
    if (lane == nullptr) {
        return 0U;
    }
    const bool wasBroken = SbufLanePostBroken(lane);
    alignas(8) uint8_t rec[SBUF_POST_RECORD_MAX];
    uint32_t handed = 0U;
    // All: bounded still, as a sender that goes on writing its ring after it
    // closed its connection must not keep this thread.
    const uint32_t most = all ? kIpcPostLastMost : (uint32_t)MSG_TUNE_RECV_BURST;
    while (handed < most && (all || (!link->recv.paused && !link->recv.heldBack))) {
        uint32_t tag = 0U;
        const uint32_t len = SbufLanePeekPost(lane, rec, &tag);
        // A post whose tag is ahead of the datagrams read follows one still
        // in the socket.
        if (len == 0U || (!all && (int32_t)(tag - link->recv.datagrams) > 0)) {
            break;
        }
        SbufLaneTakePost(lane);
        IpcPostHand(link, rec, len);
        // A task this thread serves takes the post now, so a stream into it
        // never meets its own full queue (which would park the rest).
        IpcServeOwed();
        ++handed;
    }
    g_ipcPostHanded += handed;
    if (!wasBroken && SbufLanePostBroken(lane)) {
        MSG_LOG(OS_MSG_LOG_ERROR, "bad post ring from pid %u: its counts cannot be true, read no more.", link->pid);
    }
    return handed;
}

void IpcPostPoll(void) {
    for (IpcLink *link = g_ipcPostLinks; link != nullptr; link = link->recv.postNext) {
        (void)IpcPostDrain(link, false);
    }
}

uint32_t IpcPostArm(void) {
    uint32_t handed = 0U;
    for (IpcLink *link = g_ipcPostLinks; link != nullptr; link = link->recv.postNext) {
        if (!link->recv.paused && !link->recv.heldBack && SbufLaneArmPost(link->recv.post)) {
            handed += IpcPostDrain(link, false);
        }
    }
    return handed;
}

uint32_t IpcPostTakeHanded(void) {
    const uint32_t handed = g_ipcPostHanded;
    g_ipcPostHanded = 0U;
    return handed;
}

/*
 * The socket carrier's receive handling from arbitrary datagrams: the bytes
 * a peer process could send on a link, through the framing's receive
 * handling and the link's sink into the task queues, the parks of full
 * queues, the slice collector and the peer cache's notices.
 *
 * Input: byte 0 chooses whether the parked messages are retried after the
 * queues were emptied (bit 0, as the receive loop does when a task reports
 * room; else the link's pause runs out, as its timer ends it), the sender's
 * pid (bit 1), whether the datagram is taken as a large one received
 * straight into its payload buffer (bit 2: its first bytes are checked for
 * that, and when they pass the rest lands in a buffer of the header's
 * length), whether it comes on a dialled link (bit 3: answers, notices and
 * refusals) rather than an accepted one (messages), and the sender's user
 * (bits 4 and 5: one the access policy accepts, one it refuses, one it
 * accepts for task "t1" and ids 1 to 5 only); the rest is one datagram. The
 * datagram lies in a heap block of exactly its length, so any read past it
 * is caught.
 *
 * The process "proc" has tasks "t0" and "t1" with queues of two and no
 * loops, emptied after every run, a collector of its own, a peer slot whose
 * link is the dialled one, and the access rules for those users. The links
 * are the two ends of socket pairs whose other ends take the notices; what
 * a run parks, leaves under reassembly or sends is dropped at its end, so
 * every run leaves the process as it found it.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adp_buff.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_link.h"
#include "transport/unix/ipc_link_gate.h"
#include "transport/unix/ipc_link_park.h"
#include "transport/unix/ipc_peer_cache.h"

namespace {

/* A link around one end of a socket pair; the other end is *other. */
IpcLink *PairedLink(IpcLinkKind kind, int *other) {
    int fds[2];
    Require(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0);
    *other = fds[1];
    IpcLink *link = IpcLinkCreate(fds[0], kind, 77U, 1000U);
    Require(link != nullptr);
    return link;
}

IpcLink *g_accepted = nullptr;
IpcLink *g_dialled = nullptr;
int g_acceptedOther = -1;
int g_dialledOther = -1;
IpcPeer *g_peer = nullptr;

/* Reads what the receive side sent back (notices) off the other end. */
void DrainOther(int fd) {
    uint8_t buf[256];
    while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

/* As the receive loop does for a large datagram: the first bytes decide,
 * the payload goes straight into its buffer. */
void RecvInPlace(const std::vector<uint8_t> &datagram, IpcFrameSink *sink) {
    IpcFramePrefix prefix;
    MsgHead head;
    std::vector<uint8_t> start(datagram.begin(),
                               datagram.begin() + std::min<size_t>(datagram.size(), IPC_FRAME_RECORD_OVERHEAD));
    if (!IpcFrameWholeInPlace(start.data(), (uint32_t)datagram.size(), &prefix, &head)) {
        return;
    }
    Require(prefix.bodyLen == head.dataLen && datagram.size() == IPC_FRAME_RECORD_OVERHEAD + head.dataLen);
    void *buf = nullptr;
    uint32_t bufLen = 0U;
    Require(MsgGetBuffByHead(&head, IPC_FRAME_HEAD_LEN, &buf, &bufLen) == OS_MSG_OK);
    Require(bufLen == head.dataLen);
    if (buf != nullptr) {
        memcpy(buf, datagram.data() + IPC_FRAME_RECORD_OVERHEAD, bufLen);
    }
    IpcFrameRecvInPlace(&prefix, &head, buf, bufLen, sink);
}

/* The senders' users, by bits 4 and 5 of the control byte. */
constexpr uint32_t kAllowed = 1000U;
constexpr uint32_t kRefused = 2000U;
constexpr uint32_t kPartly = 3000U;

uint32_t SenderUid(uint8_t control) {
    switch ((control >> 4U) & 3U) {
    case 1U:
        return kRefused;
    case 2U:
        return kPartly;
    default:
        return kAllowed;
    }
}

void AllowSenders() {
    OsMsgAccessRule rules[2] = {};
    rules[0].kind = OS_MSG_ACCESS_UID;
    rules[0].id = kAllowed;
    rules[0].lastMsgId = 0xFFFFFFFFU;
    rules[1].kind = OS_MSG_ACCESS_UID;
    rules[1].id = kPartly;
    memcpy(rules[1].taskName, "t1", 3);
    rules[1].firstMsgId = 1U;
    rules[1].lastMsgId = 5U;
    Require(OsMsgSetAccessPolicy(rules, 2U) == OS_MSG_OK);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    SetUpTwoTaskProcess();
    IpcGateOpen("proc", 0U);
    AllowSenders();
    rebuildEntry = new rebuildmsg::MsgRebuildRecvData();
    const IpcRunDirMode runMode = {false, 0U};
    IpcPeerCacheOpen("/nonexistent", &runMode);
    uint32_t err = 0U;
    uint32_t gen = 0U;
    g_peer = IpcPeerFind("peer", &err, &gen);
    Require(g_peer != nullptr);
    g_accepted = PairedLink(IPC_LINK_ACCEPTED, &g_acceptedOther);
    g_dialled = PairedLink(IPC_LINK_DIALLED, &g_dialledOther);
    g_dialled->peer = g_peer;
    g_dialled->peerGen = gen;
    std::lock_guard<std::mutex> guard(g_peer->lock);
    IpcLinkHold(g_dialled);
    g_peer->link = g_dialled; // the slot's link, so that its notices count
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > IPC_FRAME_DATAGRAM_MAX + 1U) {
        return 0;
    }
    bool retry = (data[0] & 1U) != 0U;
    uint32_t pid = (data[0] & 2U) != 0U ? 4242U : 77U;
    uint32_t uid = SenderUid(data[0]);
    IpcLink *link = (data[0] & 8U) != 0U ? g_dialled : g_accepted;
    std::vector<uint8_t> datagram(data + 1, data + size);
    IpcFrameSink sink;
    IpcParkSinkInit(&sink, link, pid, uid, uid);
    if ((data[0] & 4U) != 0U) {
        RecvInPlace(datagram, &sink);
    } else {
        uint32_t handled = IpcFrameRecvDatagram(rebuildEntry, datagram.empty() ? nullptr : datagram.data(),
                                                (uint32_t)datagram.size(), &sink);
        Require(handled <= datagram.size());
        if (handled < datagram.size()) {
            // As the receive loop does: the rest waits while the link pauses.
            IpcParkKeepRest(link, datagram.data() + handled, (uint32_t)(datagram.size() - handled), pid, uid, uid);
        }
    }
    (void)IpcParkAfterDatagram(link);
    Require(link->recv.parkedMsgs <= datagram.size() / IPC_FRAME_RECORD_OVERHEAD);
    Require(g_peer->fullCount.load() <= IPC_PEER_FULL_MAX);
    if (retry) {
        // The task reports room: parks move, the kept rest is handed over.
        ResetTwoTasks();
        IpcParkRetry();
    } else {
        (void)IpcParkResumeDue(UINT64_MAX); // the pause runs out
    }
    IpcParkDropLink(link);
    Require(link->recv.parks == nullptr && link->recv.parkedMsgs == 0U && link->recv.parkedBytes == 0U &&
            link->recv.rest == nullptr && !IpcParkPending());
    DrainOther(g_acceptedOther);
    DrainOther(g_dialledOther);
    IpcFrameDropAllPartials(rebuildEntry);
    {
        std::lock_guard<std::mutex> guard(rebuildEntry->rebuildLock);
        Require(rebuildEntry->nodeTotal == 0 && rebuildEntry->memoryTotal == 0);
    }
    ResetTwoTasks();
    return 0;
}

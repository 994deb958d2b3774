/*
 * The socket carrier's receive loop: waits on the listening socket, every
 * link (accepted and dialled, see ipc_link.h) and the wake-up descriptor,
 * and hands each datagram with its sender's kernel credentials to the
 * framing's receive handling, through the sink of its link
 * (ipc_link_park.h): an accepted link's messages go to their queues or are
 * parked per task, a dialled link's answers to their requesters and its
 * notices to the peer cache.
 *
 * Tasks served on this thread (ipc_task_serve.h) are handled here too, when
 * their descriptors are readable.
 *
 * Besides the events the loop keeps a few timers: parked messages are
 * retried as soon as a task loop reports room (the room hook, through the
 * wake-up descriptor) and, for tasks that went away, every
 * MSG_TUNE_RECV_PARK_RETRY_MS; a listening socket that ran out of
 * descriptors rests for MSG_TUNE_RECV_ACCEPT_PAUSE_MS (or until a link
 * closes) instead of waking the loop at once again; idle peers are given
 * back now and then (IpcPeerSweepIdle).
 *
 * Thread safety: runs on the receive thread alone, which owns the links'
 * receive state and the receive buffer; the stop and the room hook reach it
 * through their flags and the wake-up descriptor.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <errno.h>

#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_cpu_relax.h"
#include "base/msg_foreign_fd.h"
#include "base/msg_monotonic.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "shared_buf/sbuf_share.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/msg_adp_buff.h"
#include "transport/unix/ipc_fd_closer.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_link.h"
#include "transport/unix/ipc_link_park.h"
#include "transport/unix/ipc_link_share.h"
#include "transport/unix/ipc_peer_cache.h"
#include "transport/unix/ipc_post.h"
#include "transport/unix/ipc_task_serve.h"
#include "transport/unix/ipc_unix_carrier.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

/* A datagram shorter than this holds one small message: its sender is not
 * streaming (a streaming sender's messages share datagrams), so another one
 * is unlikely to wait behind it, and the loop goes back to waiting at once
 * instead of spending a system call to find the link empty. */
constexpr size_t kIpcRecvLoneMax = 2U * IPC_FRAME_RECORD_OVERHEAD;
/* The timers are looked at after this many busy waits as well, so a loop
 * that never runs out of events still retries and resumes. */
constexpr uint32_t kIpcRecvTimerEvery = 64U;

constexpr uint64_t kIpcMsNs = 1000000ULL;

struct IpcRecvState {
    IpcUnixCarrier *carrier;
    uint64_t parkRetryNs;    /* next retry of parked messages when no hook comes */
    bool acceptPaused;       /* the listening socket is not watched */
    bool acceptLogged;       /* this episode of accept failures was logged */
    uint64_t acceptResumeNs; /* when it is watched again */
    uint32_t busyWaits;      /* waits with events since the timers were looked at */
};

/* Milliseconds from now to at, at least 0. */
int IpcRecvMsUntil(uint64_t at, uint64_t now) {
    return at > now ? (int)((at - now + kIpcMsNs - 1U) / kIpcMsNs) : 0;
}

void IpcRecvWatchListener(IpcRecvState &state, bool watch) {
    IpcUnixCarrier *carrier = state.carrier;
    (void)IpcSysPollerChange(carrier->epollFd, carrier->listenFd, watch ? IPC_SYS_READABLE : 0U, &carrier->listenFd);
    state.acceptPaused = !watch;
}

/* accept failed for another reason than an empty backlog (out of
 * descriptors, mostly): the listening socket rests, logged once for the
 * whole episode, so the loop does not wake at once again for the
 * connections still waiting. */
void IpcRecvAcceptFailed(IpcRecvState &state, int err) {
    if (!state.acceptLogged) {
        MSG_LOG(OS_MSG_LOG_ERROR, "accept error[%d], accepting again in %d ms.", err, MSG_TUNE_RECV_ACCEPT_PAUSE_MS);
        state.acceptLogged = true;
    }
    IpcRecvWatchListener(state, false);
    state.acceptResumeNs = MsgMonotonicNs() + (uint64_t)MSG_TUNE_RECV_ACCEPT_PAUSE_MS * kIpcMsNs;
}

void IpcRecvAccept(IpcRecvState &state) {
    for (;;) {
        IpcSysCred cred = {0U, 0U, 0U};
        int fd = IpcSysAccept(state.carrier->listenFd, &cred);
        if (fd < 0) {
            if (fd != -EAGAIN) {
                IpcRecvAcceptFailed(state, -fd);
            }
            return;
        }
        state.acceptLogged = false;
        IpcLink *link = IpcLinkCreate(fd, IPC_LINK_ACCEPTED, cred.pid, cred.uid);
        if (link == nullptr) {
            IpcSysClose(&fd);
            continue;
        }
        if (!IpcLinkSetGroups(link, cred.gid) || !IpcLinkRegister(link)) {
            IpcLinkRelease(link);
            continue;
        }
        IpcLinkRelease(link); // the registry's reference keeps it
    }
}

/* What goes with a link that closes: its parked messages, its messages
 * under reassembly, what its peer held of this process's shared buffers
 * (and this process's mappings of the peer's, once unused) and, for a
 * dialled one, its slot's hold on it. The link stays registered. */
void IpcRecvDropLink(IpcLink *link) {
    IpcPostForget(link);
    IpcParkDropLink(link);
    IpcLinkShareClose(link);
    IpcFrameDropPartials(rebuildEntry, link->id);
    if (link->kind == IPC_LINK_DIALLED) {
        IpcPeerLinkGone(link);
    }
}

/* Closes link: dropped and unregistered; its descriptor closes with the
 * last reference. A listening socket that rests for lack of descriptors is
 * watched again. */
void IpcRecvClose(IpcRecvState &state, IpcLink *link) {
    IpcRecvDropLink(link);
    IpcLinkUnregister(link);
    if (state.acceptPaused) {
        IpcRecvWatchListener(state, true);
    }
}

/* The peer of link closed and everything it sent was read: the link closes,
 * or, while it still holds messages back for full queues, it closes once
 * they went (IpcRecvCloseFinished). */
void IpcRecvEnd(IpcRecvState &state, IpcLink *link) {
    (void)IpcPostDrain(link, true);
    if (IpcParkHolds(link)) {
        IpcParkEnded(link);
    } else {
        IpcRecvClose(state, link);
    }
}

/* Closes the links that ended and no longer hold anything back, and those
 * whose peer is gone and whose tasks stopped taking their messages. Never
 * while a wait's events are handled, since they may name these links. */
void IpcRecvCloseFinished(IpcRecvState &state) {
    while (IpcLink *done = IpcParkToClose(MsgMonotonicNs())) {
        IpcRecvClose(state, done);
    }
}

/* Receives one datagram from link into iov with its sender's credentials
 * (the link's own when it carries none) and its descriptors (anc). The byte
 * count, 0 when the connection is gone, -1 when there is nothing to read
 * now. A datagram that brought more descriptors than fit (anc->fdsCut; those
 * that came are closed) cannot be taken as it was sent: the caller drops it,
 * and reads the next one with its own look at it, since the next may not
 * fit the buffers iov offered for this one. */
ssize_t IpcRecvMsg(IpcLink *link, struct iovec *iov, size_t iovLen, IpcFrameSink *sink, IpcSysAncillary *anc,
                   bool *truncated) {
    anc->cred = {link->pid, link->uid, link->gid};
    ssize_t n = IpcSysRecv(link->fd, iov, iovLen, anc, truncated);
    if (n < 0) {
        return n == -EAGAIN ? -1 : 0;
    }
    if (n > 0) {
        link->recv.datagrams += 1U; // the posts made after it may go once it is handled
    }
    IpcParkSinkInit(sink, link, anc->cred.pid, anc->cred.uid, anc->cred.gid);
    if (anc->fdsCut) {
        IpcFrameLogBad(sink, "datagram", "more descriptors than taken");
    }
    return n;
}

/* A large whole message straight into its payload buffer, saving the copy
 * out of the receive buffer: the datagram's size and header are peeked
 * first. kIpcRecvNotInPlace when the next datagram is not such a message
 * (nothing is consumed), else as IpcRecvOne. */
constexpr int kIpcRecvNotInPlace = 2;

int IpcRecvInPlace(IpcLink *link) {
    uint8_t start[IPC_FRAME_RECORD_OVERHEAD];
    ssize_t len = IpcSysPeek(link->fd, start, sizeof(start));
    if (len <= 0) {
        return len == -EAGAIN ? -1 : 0;
    }
    IpcFramePrefix prefix;
    MsgHead head;
    void *buf = nullptr;
    uint32_t bufLen = 0U;
    if ((size_t)len < MSG_TUNE_RECV_IN_PLACE_MIN || !IpcFrameWholeInPlace(start, (uint32_t)len, &prefix, &head) ||
        MsgGetBuffByHead(&head, IPC_FRAME_HEAD_LEN, &buf, &bufLen) != OS_MSG_OK || buf == nullptr) {
        link->recv.inPlace = false;
        return kIpcRecvNotInPlace;
    }
    struct iovec iov[2] = {{start, sizeof(start)}, {buf, bufLen}};
    IpcFrameSink sink;
    IpcSysAncillary anc;
    bool truncated = false;
    ssize_t n = IpcRecvMsg(link, iov, 2U, &sink, &anc, &truncated);
    IpcSysCloseAll(anc.fds, n > 0 ? anc.fdCount : 0U); // a plain message takes no descriptor
    if (n != len || truncated || anc.fdsCut) {
        MsgReleaseBuffByHead(&head, IPC_FRAME_HEAD_LEN, buf, bufLen);
        return n <= 0 ? (int)n : 1;
    }
    IpcFrameRecvInPlace(&prefix, &head, buf, bufLen, &sink);
    return 1;
}

/* IpcRecvOne's result for a datagram that held one small message. */
constexpr int kIpcRecvLone = 3;
/* ... and when that message is a synchronous request or answer. */
constexpr int kIpcRecvLoneCall = 4;

/* Reads one datagram from link. >0: handled, kIpcRecvLone or
 * kIpcRecvLoneCall when it held one small message; 0: the connection is
 * gone; <0: nothing to read now. */
int IpcRecvOne(IpcRecvState &state, IpcLink *link) {
    if (link->recv.inPlace) {
        int got = IpcRecvInPlace(link);
        if (got != kIpcRecvNotInPlace) {
            return got;
        }
    }
    uint8_t *buf = state.carrier->recvBuf;
    struct iovec iov = {buf, IPC_FRAME_DATAGRAM_MAX};
    IpcFrameSink sink;
    IpcSysAncillary anc;
    bool truncated = false;
    ssize_t n = IpcRecvMsg(link, &iov, 1U, &sink, &anc, &truncated);
    if (n <= 0 || anc.fdsCut) {
        return n <= 0 ? (int)n : 1;
    }
    // A sender of large messages usually sends more: peek at the next one.
    link->recv.inPlace = (size_t)n >= MSG_TUNE_RECV_IN_PLACE_MIN;
    if (truncated) {
        IpcSysCloseAll(anc.fds, anc.fdCount);
        IpcFrameLogBad(&sink, "datagram", "larger than any record");
        return 1;
    }
    IpcFrameFds fds = {anc.fds, anc.fdCount, 0U};
    sink.fds = anc.fdCount != 0U ? &fds : nullptr;
    uint32_t handled = IpcFrameRecvDatagram(rebuildEntry, buf, (uint32_t)n, &sink);
    // Descriptors no record took (a rest kept for later takes none) are
    // closed here, whatever became of the datagram.
    IpcSysCloseAll(anc.fds, anc.fdCount);
    if (handled < (uint32_t)n) {
        IpcParkKeepRest(link, buf + handled, (uint32_t)n - handled, sink.pid, sink.uid, link->recv.gate.gid);
        return 1;
    }
    if ((size_t)n >= kIpcRecvLoneMax) {
        return 1;
    }
    uint8_t transType = buf[1]; // n > 1 here: the datagram's first record prefix
    return (transType == MSG_TRANS_SYN || transType == MSG_TRANS_SYN_RESP) ? kIpcRecvLoneCall : kIpcRecvLone;
}

/* Reads link until it is empty, is held back, has had its burst or
 * delivered a lone small message; the wait is level-triggered, so a link
 * left with datagrams is reported again at once. A held-back link is only
 * watched for its peer closing, which closes it. True when it stopped at a
 * lone synchronous request or answer. */
bool IpcRecvDrain(IpcRecvState &state, IpcLink *link, uint32_t events) {
    IpcLinkAcquire(link);
    if (link->recv.heldBack || link->recv.paused) {
        // Watched only for hang-up, reported once: the peer closed, and
        // what it sent is still read as its tasks make room.
        if ((events & IPC_SYS_ERROR) != 0U) {
            IpcRecvClose(state, link);
        } else if ((events & (IPC_SYS_PEER_CLOSED | IPC_SYS_HANGUP)) != 0U) {
            IpcParkPeerGone(link);
        }
        return false;
    }
    for (int i = 0; i < MSG_TUNE_RECV_BURST; ++i) {
        // The posts made before the next datagram go first, all of them: a
        // drain that had its burst may have left some, and the datagram
        // waits for the next report of the link (the wait is
        // level-triggered) while the loop's poll takes more.
        if (IpcPostDrain(link, false) == (uint32_t)MSG_TUNE_RECV_BURST || link->recv.paused || link->recv.heldBack) {
            return false;
        }
        int got = IpcRecvOne(state, link);
        if (got == 0) {
            IpcRecvEnd(state, link);
            return false;
        }
        if (got < 0 || got == kIpcRecvLone || got == kIpcRecvLoneCall || IpcParkAfterDatagram(link)) {
            return got == kIpcRecvLoneCall; // posts made after the last one read: the loop's poll takes them
        }
    }
    if ((events & IPC_SYS_ERROR) != 0U && (events & IPC_SYS_READABLE) == 0U) {
        IpcRecvClose(state, link);
    } else if ((events & IPC_SYS_HANGUP) != 0U && (events & IPC_SYS_READABLE) == 0U) {
        IpcRecvEnd(state, link);
    }
    return false;
}

/* Parked messages go to their queues; the retry without a hook is due again
 * a while later when some remain. */
void IpcRecvRetryParks(IpcRecvState &state) {
    IpcParkRetry();
    state.parkRetryNs = MsgMonotonicNs() + (uint64_t)MSG_TUNE_RECV_PARK_RETRY_MS * kIpcMsNs;
}

/* The wake-up descriptor fired: a stop (the loop ends), or room in a queue
 * that parked messages wait for. The counter is watched for its posts
 * (IpcUnixOpenReceiver) and never read: each post after this look is
 * reported again. */
void IpcRecvWoken(IpcRecvState &state) {
    if (state.carrier->roomOffered.exchange(false, std::memory_order_acq_rel) && IpcParkPending()) {
        IpcRecvRetryParks(state);
    }
}

/* Handles the n events of one wait. True when a lone synchronous request or
 * answer came: its sender is in conversation and likely to send again
 * soon. Only the link of the event at hand is ever closed, so the events
 * after it never name a link that is gone. */
bool IpcRecvHandle(IpcRecvState &state, const IpcSysEvent *events, int n) {
    IpcUnixCarrier *carrier = state.carrier;
    bool lone = false;
    for (int i = 0; i < n && !carrier->stopping.load(std::memory_order_acquire); ++i) {
        void *tag = events[i].tag;
        if (tag == &carrier->wakeFd) {
            IpcRecvWoken(state);
        } else if (tag == &carrier->listenFd) {
            IpcRecvAccept(state);
        } else if (IpcServeOwns(tag)) {
            IpcServeHandle(tag);
        } else if (IpcPostIsBell(tag)) {
            // Rung by a sender that posted: the rings are read after the events.
        } else {
            lone = IpcRecvDrain(state, static_cast<IpcLink *>(tag), events[i].events) || lone;
        }
    }
    return lone;
}

/* The timers that are due: parked messages without a hook, the listening
 * socket's rest, the sweep of idle peers. */
void IpcRecvTimers(IpcRecvState &state) {
    state.busyWaits = 0U;
    const uint64_t now = MsgMonotonicNs();
    IpcRecvCloseFinished(state);
    (void)IpcParkResumeDue(now);
    if (IpcParkPending() && now >= state.parkRetryNs) {
        IpcRecvRetryParks(state);
    } else if (!IpcParkPending() && IpcParkSpares() && now >= state.parkRetryNs) {
        (void)IpcParkTrim(); // nothing held back for a retry period
    }
    if (state.acceptPaused && now >= state.acceptResumeNs) {
        IpcRecvWatchListener(state, true);
    }
    if (IpcPeerSweepDueMs(now) == 0) {
        IpcPeerSweepIdle();
    }
    if (SbufShareStalled()) {
        SbufShareRetry(); // notices for a peer that read nothing for a while
    }
}

/* How long the loop may wait for events: until the next timer, or without
 * limit when none runs. */
int IpcRecvWaitMs(const IpcRecvState &state) {
    const uint64_t now = MsgMonotonicNs();
    int wait = IpcPeerSweepDueMs(now);
    auto earlier = [&wait](int ms) { wait = (wait < 0 || ms < wait) ? ms : wait; };
    if (IpcParkPending() || IpcParkSpares()) {
        earlier(IpcRecvMsUntil(state.parkRetryNs, now));
    }
    uint64_t pauseEnd = IpcParkResumeDue(now);
    if (pauseEnd != 0U) {
        earlier(IpcRecvMsUntil(pauseEnd, now));
    }
    if (state.acceptPaused) {
        earlier(IpcRecvMsUntil(state.acceptResumeNs, now));
    }
    if (SbufShareStalled()) {
        earlier(MSG_TUNE_RECV_PARK_RETRY_MS);
    }
    return wait;
}

} // namespace

void IpcUnixRecvLoop(void *arg) {
    auto *carrier = static_cast<IpcUnixCarrier *>(arg);
    IpcRecvState state = {carrier, 0U, false, false, 0U, 0U};
    IpcSysEvent events[MSG_TUNE_RECV_EVENTS];
    // A message that meets a full queue here waits on its link or in a park:
    // flow control, told once per episode (ipc_link_park.h), not an error.
    SimpleMsgMarkFullIsFlow();
    // Descriptors from other processes are closed by the closer thread: a
    // close that waits must not hold up every message of the process.
    MsgForeignFdCloseBy(IpcFdCloserPut);
    // After a lone synchronous request or answer the loop looks again
    // without sleeping, for at most MSG_TUNE_RECV_LOOK_NS, giving the
    // processor away between its looks, until MSG_TUNE_RECV_LOOK_SHARED
    // yields in a row found it wanted. Asynchronous traffic is not
    // followed by looks: a stream comes in batches, and a lone message has
    // no answer to wait for.
    // Posts (ipc_post.h) are followed by looks too while they come close
    // together (MSG_TUNE_RECV_POST_LOOK_NS): a stream of frames then needs
    // no wake-up per frame.
    // The clock is read once per wake-up that found work: a frame's wake-up
    // runs on cold caches, and each reading is a call into the clock's page.
    uint64_t lookUntilNs = 0U;
    bool looking = false;
    uint32_t wantedYields = 0U;
    uint64_t lastPostNs = 0U;
    while (!carrier->stopping.load(std::memory_order_acquire)) {
        // Whatever this thread pushed into a served task since (parked
        // messages the timers moved, say) is handled before it sleeps.
        IpcServeOwed();
        int waitMs = looking ? 0 : IpcRecvWaitMs(state);
        if (waitMs != 0 && IpcPostArm() != 0U) {
            waitMs = 0; // posted before the bells were armed: handed over, no sleep
        }
        int n = IpcSysPollerWait(carrier->epollFd, events, MSG_TUNE_RECV_EVENTS, waitMs);
        if (n < 0) {
            MSG_LOG(OS_MSG_LOG_FATAL, "epoll wait error[%d].", -n);
            break;
        }
        uint64_t nowNs = 0U; // read when needed, at most once below
        if (n > 0) {
            looking = IpcRecvHandle(state, events, n);
            // Served tasks the events' messages went to are handled before
            // the loop looks further or yields: their callbacks are the
            // next thing those messages wait for.
            IpcServeOwed();
            if (IpcParkPending()) {
                // After the whole batch: its later events may name any link.
                IpcRecvCloseFinished(state);
            }
            nowNs = MsgMonotonicNs();
            lookUntilNs = nowNs + (uint64_t)MSG_TUNE_RECV_LOOK_NS;
            // The look starts with a yield: the thread the datagram woke
            // runs first, and the next datagram is looked for after it.
            wantedYields = looking && MsgYieldFoundWork() ? 1U : 0U;
        } else if (looking) {
            wantedYields = MsgYieldFoundWork() ? wantedYields + 1U : 0U;
            looking = MsgMonotonicNs() < lookUntilNs && wantedYields < MSG_TUNE_RECV_LOOK_SHARED;
        }
        IpcPostPoll();
        if (const uint32_t posts = IpcPostTakeHanded()) {
            if (nowNs == 0U) {
                nowNs = MsgMonotonicNs();
            }
            if (posts > 1U || nowNs - lastPostNs < (uint64_t)MSG_TUNE_RECV_POST_LOOK_NS) {
                looking = true;
                lookUntilNs = nowNs + (uint64_t)MSG_TUNE_RECV_POST_LOOK_NS;
                wantedYields = 0U;
            }
            lastPostNs = nowNs;
        }
        if ((n == 0 && !looking) || ++state.busyWaits >= kIpcRecvTimerEvery) {
            IpcRecvTimers(state);
        }
    }
}

void IpcUnixRecvDropLink(IpcLink *link) {
    IpcRecvDropLink(link);
}

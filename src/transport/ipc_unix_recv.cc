/*
 * The socket carrier's receive loop: waits on the listening socket, every
 * accepted connection and the wake-up descriptor, and hands each datagram
 * with its sender's kernel credentials to the framing's receive handling.
 *
 * A connection whose datagram meets a full task queue stalls: the rest of
 * that datagram is kept, the connection is not read meanwhile (so its
 * sender's socket fills and the sender is told the queue is full), and the
 * loop retries it as soon as the queue's loop reports room (the room hook,
 * through the wake-up descriptor), or else after a short, growing pause;
 * other connections go on meanwhile.
 *
 * Thread safety: runs on the receive thread alone, which owns the accepted
 * connections (a list of its own) and the receive buffer; the stop and the
 * room hook reach it through their flags and the wake-up descriptor.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_cpu_relax.h"
#include "log/msg_log.h"
#include "transport/ipc_frame.h"
#include "transport/ipc_msg.h"
#include "transport/ipc_unix_carrier.h"
#include "transport/msg_adapter.h"
#include "transport/msg_adp_buff.h"
#include "vyre_os_time.h"

namespace {

/* Events taken per wait, and datagrams read from one connection before the
 * others get their turn. */
constexpr int kIpcRecvEvents = 16;
constexpr int kIpcRecvBurst = 32;
/* Pause before retrying a stalled connection: doubles from the first to the
 * last value while its queue stays full. */
constexpr int kIpcRecvStallFirstMs = 1;
constexpr int kIpcRecvStallLastMs = 32;
/* Datagrams from this size on are received straight into their payload
 * buffer when they hold one whole message. */
constexpr size_t kIpcRecvInPlaceMin = 64U * 1024U;
/* A datagram shorter than this holds one small message: its sender is not
 * streaming (a streaming sender's messages share datagrams), so another one
 * is unlikely to wait behind it, and the loop goes back to waiting at once
 * instead of spending a system call to find the connection empty. */
constexpr size_t kIpcRecvLoneMax = 2U * IPC_FRAME_RECORD_OVERHEAD;

/* How long the loop keeps looking for the next datagram after one that
 * held a lone synchronous request or answer, before it sleeps
 * (nanoseconds): peers in conversation send again within tens of
 * microseconds, and a loop found awake spares the datagram the wake-up of a
 * sleeping thread on a processor that may have gone idle. Asynchronous
 * traffic is not followed by looks: a stream comes in batches, and a lone
 * message has no answer to wait for. The looks end early when a yield
 * between them let another thread run (msg_cpu_relax.h). They last as long
 * as a requester's look for its answer, for the same reason (see
 * simple_msg_sync.cc): an idle processor can take 100 us to wake. */
constexpr int64_t kIpcRecvLookNs = 100000;

/* One accepted connection. pid/uid: the peer's credentials when it
 * connected, used when a datagram arrives without its own. */
struct IpcRecvConn {
    int fd;
    uint32_t pid;
    uint32_t uid;
    uint32_t lastPid; /* sender of the last datagram, whose slices may be pending */
    IpcRecvConn *next;
    /* While stalled: the rest of the datagram that met a full queue. */
    bool stalled;
    IpcFrameStall stall;
    uint8_t *rest;
    uint32_t restLen;
    uint32_t stallUid;
    bool inPlace; /* the last datagram was large: peek at the next */
};

struct IpcRecvState {
    IpcUnixCarrier *carrier;
    IpcRecvConn *conns;
    uint32_t stalledConns;
    int stallWaitMs;  /* the next pause while any connection is stalled */
    uint32_t retryAt; /* run time (ms) of the next retry */
};

bool IpcRecvWatch(IpcRecvState &state, IpcRecvConn *conn) {
    struct epoll_event ev;
    std::memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.ptr = conn;
    return epoll_ctl(state.carrier->epollFd, EPOLL_CTL_ADD, conn->fd, &ev) == 0;
}

/* Keeps the part of data that stall says is not handled yet, and stops
 * reading conn. False (the rest is dropped) without memory for it. */
void IpcRecvStall(IpcRecvState &state, IpcRecvConn *conn, const uint8_t *data, uint32_t len, uint32_t uid) {
    uint32_t restLen = len - conn->stall.pos;
    uint8_t *rest = nullptr;
    if (restLen != 0U) {
        rest = static_cast<uint8_t *>(MSG_MALLOC(restLen)); // restLen != 0: data is given
        if (rest == nullptr) {
            MSG_LOG(OS_MSG_LOG_ERROR, "no memory to keep %u bytes from pid %u.", restLen, conn->lastPid);
            restLen = 0U;
        } else {
            std::memmove(rest, data + conn->stall.pos, restLen);
        }
    }
    if (conn->rest != nullptr) {
        MSG_FREE(conn->rest);
    }
    conn->rest = rest;
    conn->restLen = restLen;
    conn->stallUid = uid;
    if (!conn->stalled) {
        conn->stalled = true;
        if (state.stalledConns == 0U) {
            state.stallWaitMs = kIpcRecvStallFirstMs;
            state.retryAt = OsGetSysRunTime() + (uint32_t)kIpcRecvStallFirstMs;
        }
        state.stalledConns += 1U;
        (void)epoll_ctl(state.carrier->epollFd, EPOLL_CTL_DEL, conn->fd, nullptr);
    }
}

/* Tries a stalled connection again. True when anything moved (a message
 * was handed over), stalled or not afterwards. */
bool IpcRecvResume(IpcRecvState &state, IpcRecvConn *conn) {
    bool hadMsg = conn->stall.hasMsg;
    if (!IpcFrameRetryStalled(&conn->stall, conn->lastPid, conn->stallUid)) {
        return false;
    }
    if (conn->restLen != 0U) {
        uint8_t *rest = conn->rest;
        uint32_t restLen = conn->restLen;
        conn->rest = nullptr;
        conn->restLen = 0U;
        bool again = IpcFrameRecvDatagram(rebuildEntry, rest, restLen, conn->lastPid, conn->stallUid, &conn->stall);
        bool moved = hadMsg || !again || conn->stall.pos != 0U || conn->stall.hasMsg;
        if (again) {
            IpcRecvStall(state, conn, rest, restLen, conn->stallUid);
        }
        MSG_FREE(rest);
        if (again) {
            return moved;
        }
    }
    conn->stalled = false;
    state.stalledConns -= 1U;
    if (!IpcRecvWatch(state, conn)) {
        MSG_LOG(OS_MSG_LOG_ERROR, "connection set-up error[%d].", errno);
    }
    return true;
}

/* Retries every stalled connection once its pause is over; the pause grows
 * while nothing moves and starts again at the first value when something
 * does. */
void IpcRecvResumeAll(IpcRecvState &state) {
    uint32_t now = OsGetSysRunTime();
    if ((int32_t)(now - state.retryAt) < 0) {
        return;
    }
    bool moved = false;
    for (IpcRecvConn *conn = state.conns; conn != nullptr; conn = conn->next) {
        if (conn->stalled) {
            moved = IpcRecvResume(state, conn) || moved;
        }
    }
    state.stallWaitMs =
        moved ? kIpcRecvStallFirstMs
              : (state.stallWaitMs * 2 > kIpcRecvStallLastMs ? kIpcRecvStallLastMs : state.stallWaitMs * 2);
    state.retryAt = OsGetSysRunTime() + (uint32_t)state.stallWaitMs;
}

/* How long the loop may wait for events: until the next retry when a
 * connection is stalled, else without limit. */
int IpcRecvWaitMs(const IpcRecvState &state) {
    if (state.stalledConns == 0U) {
        return -1;
    }
    int32_t left = (int32_t)(state.retryAt - OsGetSysRunTime());
    return left > 0 ? (int)left : 0;
}

void IpcRecvAccept(IpcRecvState &state) {
    for (;;) {
        int fd = accept4(state.carrier->listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                MSG_LOG(OS_MSG_LOG_ERROR, "accept error[%d].", errno);
            }
            return;
        }
        auto *conn = static_cast<IpcRecvConn *>(MSG_CALLOC(1U, sizeof(IpcRecvConn)));
        struct ucred cred;
        socklen_t len = sizeof(cred);
        int on = 1;
        if (conn != nullptr) {
            conn->fd = fd;
        }
        if (conn == nullptr || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0 || !IpcRecvWatch(state, conn)) {
            MSG_LOG(OS_MSG_LOG_ERROR, "connection set-up error[%d].", errno);
            MSG_FREE(conn);
            (void)close(fd);
            continue;
        }
        conn->pid = (uint32_t)cred.pid;
        conn->uid = (uint32_t)cred.uid;
        conn->lastPid = conn->pid;
        conn->next = state.conns;
        state.conns = conn;
    }
}

/* Closes conn and drops what its sender left under reassembly. */
void IpcRecvClose(IpcRecvState &state, IpcRecvConn *conn) {
    for (IpcRecvConn **link = &state.conns; *link != nullptr; link = &(*link)->next) {
        if (*link == conn) {
            *link = conn->next;
            break;
        }
    }
    (void)close(conn->fd);
    if (conn->stalled) {
        state.stalledConns -= 1U;
        IpcFrameDropStalled(&conn->stall);
        if (conn->rest != nullptr) {
            MSG_FREE(conn->rest);
        }
    }
    IpcFrameDropPartials(rebuildEntry, conn->lastPid);
    if (conn->lastPid != conn->pid) {
        IpcFrameDropPartials(rebuildEntry, conn->pid);
    }
    MSG_FREE(conn);
}

/* Receives one datagram from conn into iov with its sender's credentials
 * (conn's own when it carries none). The byte count, 0 when the connection
 * is gone, -1 when there is nothing to read now; *flags gets msg_flags. */
ssize_t IpcRecvMsg(IpcRecvConn *conn, struct iovec *iov, size_t iovLen, uint32_t *pid, uint32_t *uid, int *flags) {
    union {
        struct cmsghdr align;
        uint8_t bytes[CMSG_SPACE(sizeof(struct ucred))];
    } control;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msg_iov = iov;
    msg.msg_iovlen = iovLen;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof(control.bytes);
    ssize_t n = recvmsg(conn->fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
        return (errno == EAGAIN || errno == EINTR) ? -1 : 0;
    }
    *pid = conn->pid;
    *uid = conn->uid;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            struct ucred cred;
            std::memcpy(&cred, CMSG_DATA(c), sizeof(cred));
            *pid = (uint32_t)cred.pid;
            *uid = (uint32_t)cred.uid;
        }
    }
    *flags = msg.msg_flags;
    return n;
}

/* A large whole message straight into its payload buffer, saving the copy
 * out of the receive buffer: the datagram's size and header are peeked
 * first. kIpcRecvNotInPlace when the next datagram is not such a message
 * (nothing is consumed), else as IpcRecvOne. */
constexpr int kIpcRecvNotInPlace = 2;

int IpcRecvInPlace(IpcRecvState &state, IpcRecvConn *conn) {
    uint8_t start[IPC_FRAME_RECORD_OVERHEAD];
    ssize_t len = recv(conn->fd, start, sizeof(start), MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (len <= 0) {
        return (len < 0 && (errno == EAGAIN || errno == EINTR)) ? -1 : 0;
    }
    IpcFramePrefix prefix;
    MsgHead head;
    void *buf = nullptr;
    uint32_t bufLen = 0U;
    if ((size_t)len < kIpcRecvInPlaceMin || !IpcFrameWholeInPlace(start, (uint32_t)len, &prefix, &head) ||
        MsgGetBuffByHead(&head, IPC_FRAME_HEAD_LEN, &buf, &bufLen) != OS_MSG_OK || buf == nullptr) {
        conn->inPlace = false;
        return kIpcRecvNotInPlace;
    }
    struct iovec iov[2] = {{start, sizeof(start)}, {buf, bufLen}};
    uint32_t pid = 0U;
    uint32_t uid = 0U;
    int flags = 0;
    ssize_t n = IpcRecvMsg(conn, iov, 2U, &pid, &uid, &flags);
    if (n != len || (flags & MSG_TRUNC) != 0) {
        MsgReleaseBuffByHead(&head, IPC_FRAME_HEAD_LEN, buf, bufLen);
        return n <= 0 ? (int)n : 1;
    }
    conn->lastPid = pid;
    if (IpcFrameRecvInPlace(&prefix, &head, buf, bufLen, pid, uid, &conn->stall)) {
        IpcRecvStall(state, conn, nullptr, 0U, uid);
    }
    return 1;
}

/* IpcRecvOne's result for a datagram that held one small message. */
constexpr int kIpcRecvLone = 3;
/* ... and when that message is a synchronous request or answer. */
constexpr int kIpcRecvLoneCall = 4;

/* Reads one datagram from conn. >0: handled (conn may have stalled),
 * kIpcRecvLone or kIpcRecvLoneCall when it held one small message; 0: the
 * connection is gone;
 * <0: nothing to read now. */
int IpcRecvOne(IpcRecvState &state, IpcRecvConn *conn) {
    if (conn->inPlace) {
        int got = IpcRecvInPlace(state, conn);
        if (got != kIpcRecvNotInPlace) {
            return got;
        }
    }
    uint8_t *buf = state.carrier->recvBuf;
    struct iovec iov = {buf, IPC_FRAME_DATAGRAM_MAX};
    uint32_t pid = 0U;
    uint32_t uid = 0U;
    int flags = 0;
    ssize_t n = IpcRecvMsg(conn, &iov, 1U, &pid, &uid, &flags);
    if (n <= 0) {
        return (int)n;
    }
    conn->lastPid = pid;
    // A sender of large messages usually sends more: peek at the next one.
    conn->inPlace = (size_t)n >= kIpcRecvInPlaceMin;
    if ((flags & MSG_TRUNC) != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "bad datagram from pid %u: %s.", pid, "larger than any record");
        return 1;
    }
    if (IpcFrameRecvDatagram(rebuildEntry, buf, (uint32_t)n, pid, uid, &conn->stall)) {
        IpcRecvStall(state, conn, buf, (uint32_t)n, uid);
    }
    if ((size_t)n >= kIpcRecvLoneMax) {
        return 1;
    }
    uint8_t transType = buf[1]; // n > 1 here: the datagram's first record prefix
    return (transType == MSG_TRANS_SYN || transType == MSG_TRANS_SYN_RESP) ? kIpcRecvLoneCall : kIpcRecvLone;
}

/* Reads conn until it is empty, stalls, has had its burst or delivered a
 * lone small message; the wait is level-triggered, so a connection left
 * with datagrams is reported again at once. True when it stopped at a lone
 * synchronous request or answer. */
bool IpcRecvDrain(IpcRecvState &state, IpcRecvConn *conn, uint32_t events) {
    for (int i = 0; i < kIpcRecvBurst; ++i) {
        int got = IpcRecvOne(state, conn);
        if (got == 0) {
            IpcRecvClose(state, conn);
            return false;
        }
        if (got < 0 || got == kIpcRecvLone || got == kIpcRecvLoneCall || conn->stalled) {
            return got == kIpcRecvLoneCall;
        }
    }
    if ((events & (EPOLLHUP | EPOLLERR)) != 0U && (events & EPOLLIN) == 0U) {
        IpcRecvClose(state, conn);
    }
    return false;
}

/* The wake-up descriptor fired: a stop (the loop ends), or room in a queue
 * that a stalled connection waits for, which is then retried at once. */
void IpcRecvWoken(IpcRecvState &state) {
    uint64_t count = 0U;
    (void)!read(state.carrier->wakeFd.load(), &count, sizeof(count));
    if (state.carrier->roomOffered.exchange(false, std::memory_order_acq_rel) && state.stalledConns != 0U) {
        state.retryAt = OsGetSysRunTime();
    }
}

/* Handles the n events of one wait. True when a lone synchronous request or
 * answer came: its sender is in conversation and likely to send again
 * soon. */
bool IpcRecvHandle(IpcRecvState &state, const struct epoll_event *events, int n) {
    IpcUnixCarrier *carrier = state.carrier;
    bool lone = false;
    for (int i = 0; i < n && !carrier->stopping.load(std::memory_order_acquire); ++i) {
        void *tag = events[i].data.ptr;
        if (tag == &carrier->wakeFd) {
            IpcRecvWoken(state);
            continue;
        }
        if (tag == &carrier->listenFd) {
            IpcRecvAccept(state);
            continue;
        }
        lone = IpcRecvDrain(state, static_cast<IpcRecvConn *>(tag), events[i].events) || lone;
    }
    if (state.stalledConns != 0U) {
        IpcRecvResumeAll(state);
    }
    return lone;
}

} // namespace

void IpcUnixRecvLoop(IpcUnixCarrier *carrier) {
    IpcRecvState state = {carrier, nullptr, 0U, kIpcRecvStallFirstMs, 0U};
    struct epoll_event events[kIpcRecvEvents];
    // After a lone synchronous request or answer the loop looks again
    // without sleeping, for at most kIpcRecvLookNs, giving the processor
    // away between its looks.
    auto lookUntil = std::chrono::steady_clock::now();
    bool looking = false;
    while (!carrier->stopping.load(std::memory_order_acquire)) {
        int n = epoll_wait(carrier->epollFd, events, kIpcRecvEvents, looking ? 0 : IpcRecvWaitMs(state));
        if (n < 0 && errno != EINTR) {
            MSG_LOG(OS_MSG_LOG_FATAL, "epoll wait error[%d].", errno);
            break;
        }
        if (n > 0) {
            looking = IpcRecvHandle(state, events, n);
            lookUntil = std::chrono::steady_clock::now() + std::chrono::nanoseconds(kIpcRecvLookNs);
        } else if (looking) {
            looking = std::chrono::steady_clock::now() < lookUntil && !MsgYieldFoundWork();
        }
        if (n <= 0 && state.stalledConns != 0U) {
            IpcRecvResumeAll(state);
        }
    }
    while (state.conns != nullptr) {
        IpcRecvClose(state, state.conns);
    }
}

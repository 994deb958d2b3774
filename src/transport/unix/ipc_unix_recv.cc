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

#include <chrono>
#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_cpu_relax.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/msg_adp_buff.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_unix_carrier.h"
#include "transport/unix/ipc_unix_sys.h"
#include "vyre_os_time.h"

namespace {

/* A datagram shorter than this holds one small message: its sender is not
 * streaming (a streaming sender's messages share datagrams), so another one
 * is unlikely to wait behind it, and the loop goes back to waiting at once
 * instead of spending a system call to find the connection empty. */
constexpr size_t kIpcRecvLoneMax = 2U * IPC_FRAME_RECORD_OVERHEAD;

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
    return IpcSysPollerAdd(state.carrier->epollFd, conn->fd, IPC_SYS_READABLE, conn) == 0;
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
            state.stallWaitMs = MSG_TUNE_RECV_STALL_FIRST_MS;
            state.retryAt = OsGetSysRunTime() + (uint32_t)MSG_TUNE_RECV_STALL_FIRST_MS;
        }
        state.stalledConns += 1U;
        IpcSysPollerRemove(state.carrier->epollFd, conn->fd);
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
    state.stallWaitMs = moved ? MSG_TUNE_RECV_STALL_FIRST_MS
                              : (state.stallWaitMs * 2 > MSG_TUNE_RECV_STALL_LAST_MS ? MSG_TUNE_RECV_STALL_LAST_MS
                                                                                     : state.stallWaitMs * 2);
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
        IpcSysCred cred = {0U, 0U, 0U};
        int fd = IpcSysAccept(state.carrier->listenFd, &cred);
        if (fd < 0) {
            if (fd != -EAGAIN) {
                MSG_LOG(OS_MSG_LOG_ERROR, "accept error[%d].", -fd);
            }
            return;
        }
        auto *conn = static_cast<IpcRecvConn *>(MSG_CALLOC(1U, sizeof(IpcRecvConn)));
        if (conn != nullptr) {
            conn->fd = fd;
        }
        if (conn == nullptr || !IpcRecvWatch(state, conn)) {
            MSG_LOG(OS_MSG_LOG_ERROR, "connection set-up error[%d].", errno);
            MSG_FREE(conn);
            IpcSysClose(&fd);
            continue;
        }
        conn->pid = cred.pid;
        conn->uid = cred.uid;
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
    if (!conn->stalled) {
        IpcSysPollerRemove(state.carrier->epollFd, conn->fd);
    }
    IpcSysClose(&conn->fd);
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
ssize_t IpcRecvMsg(IpcRecvConn *conn, struct iovec *iov, size_t iovLen, uint32_t *pid, uint32_t *uid, bool *truncated) {
    IpcSysCred cred = {conn->pid, conn->uid, 0U};
    ssize_t n = IpcSysRecv(conn->fd, iov, iovLen, &cred, truncated);
    if (n < 0) {
        return n == -EAGAIN ? -1 : 0;
    }
    *pid = cred.pid;
    *uid = cred.uid;
    return n;
}

/* A large whole message straight into its payload buffer, saving the copy
 * out of the receive buffer: the datagram's size and header are peeked
 * first. kIpcRecvNotInPlace when the next datagram is not such a message
 * (nothing is consumed), else as IpcRecvOne. */
constexpr int kIpcRecvNotInPlace = 2;

int IpcRecvInPlace(IpcRecvState &state, IpcRecvConn *conn) {
    uint8_t start[IPC_FRAME_RECORD_OVERHEAD];
    ssize_t len = IpcSysPeek(conn->fd, start, sizeof(start));
    if (len <= 0) {
        return len == -EAGAIN ? -1 : 0;
    }
    IpcFramePrefix prefix;
    MsgHead head;
    void *buf = nullptr;
    uint32_t bufLen = 0U;
    if ((size_t)len < MSG_TUNE_RECV_IN_PLACE_MIN || !IpcFrameWholeInPlace(start, (uint32_t)len, &prefix, &head) ||
        MsgGetBuffByHead(&head, IPC_FRAME_HEAD_LEN, &buf, &bufLen) != OS_MSG_OK || buf == nullptr) {
        conn->inPlace = false;
        return kIpcRecvNotInPlace;
    }
    struct iovec iov[2] = {{start, sizeof(start)}, {buf, bufLen}};
    uint32_t pid = 0U;
    uint32_t uid = 0U;
    bool truncated = false;
    ssize_t n = IpcRecvMsg(conn, iov, 2U, &pid, &uid, &truncated);
    if (n != len || truncated) {
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
    bool truncated = false;
    ssize_t n = IpcRecvMsg(conn, &iov, 1U, &pid, &uid, &truncated);
    if (n <= 0) {
        return (int)n;
    }
    conn->lastPid = pid;
    // A sender of large messages usually sends more: peek at the next one.
    conn->inPlace = (size_t)n >= MSG_TUNE_RECV_IN_PLACE_MIN;
    if (truncated) {
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
    for (int i = 0; i < MSG_TUNE_RECV_BURST; ++i) {
        int got = IpcRecvOne(state, conn);
        if (got == 0) {
            IpcRecvClose(state, conn);
            return false;
        }
        if (got < 0 || got == kIpcRecvLone || got == kIpcRecvLoneCall || conn->stalled) {
            return got == kIpcRecvLoneCall;
        }
    }
    if ((events & (IPC_SYS_HANGUP | IPC_SYS_ERROR)) != 0U && (events & IPC_SYS_READABLE) == 0U) {
        IpcRecvClose(state, conn);
    }
    return false;
}

/* The wake-up descriptor fired: a stop (the loop ends), or room in a queue
 * that a stalled connection waits for, which is then retried at once. */
void IpcRecvWoken(IpcRecvState &state) {
    IpcSysEventDrain(state.carrier->wakeFd.load());
    if (state.carrier->roomOffered.exchange(false, std::memory_order_acq_rel) && state.stalledConns != 0U) {
        state.retryAt = OsGetSysRunTime();
    }
}

/* Handles the n events of one wait. True when a lone synchronous request or
 * answer came: its sender is in conversation and likely to send again
 * soon. */
bool IpcRecvHandle(IpcRecvState &state, const IpcSysEvent *events, int n) {
    IpcUnixCarrier *carrier = state.carrier;
    bool lone = false;
    for (int i = 0; i < n && !carrier->stopping.load(std::memory_order_acquire); ++i) {
        void *tag = events[i].tag;
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

void IpcUnixRecvLoop(void *arg) {
    auto *carrier = static_cast<IpcUnixCarrier *>(arg);
    IpcRecvState state = {carrier, nullptr, 0U, MSG_TUNE_RECV_STALL_FIRST_MS, 0U};
    IpcSysEvent events[MSG_TUNE_RECV_EVENTS];
    // After a lone synchronous request or answer the loop looks again
    // without sleeping, for at most MSG_TUNE_RECV_LOOK_NS, giving the
    // processor away between its looks. Asynchronous traffic is not
    // followed by looks: a stream comes in batches, and a lone message has
    // no answer to wait for.
    auto lookUntil = std::chrono::steady_clock::now();
    bool looking = false;
    while (!carrier->stopping.load(std::memory_order_acquire)) {
        int n = IpcSysPollerWait(carrier->epollFd, events, MSG_TUNE_RECV_EVENTS, looking ? 0 : IpcRecvWaitMs(state));
        if (n < 0) {
            MSG_LOG(OS_MSG_LOG_FATAL, "epoll wait error[%d].", -n);
            break;
        }
        if (n > 0) {
            looking = IpcRecvHandle(state, events, n);
            lookUntil = std::chrono::steady_clock::now() + std::chrono::nanoseconds(MSG_TUNE_RECV_LOOK_NS);
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

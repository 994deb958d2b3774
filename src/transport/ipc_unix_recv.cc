/*
 * The socket carrier's receive loop: waits on the listening socket, every
 * accepted connection and the wake-up descriptor, and hands each datagram
 * with its sender's kernel credentials to the framing's receive handling.
 *
 * A connection whose datagram meets a full task queue stalls: the rest of
 * that datagram is kept, the connection is not read meanwhile (so its
 * sender's socket fills and the sender is told the queue is full), and the
 * loop retries it after a short, growing pause, other connections going on.
 *
 * Thread safety: runs on the receive thread alone, which owns the accepted
 * connections (a list of its own) and the receive buffer; the stop reaches
 * it through the stop flag and the wake-up descriptor.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "base/msg_alloc.h"
#include "log/msg_log.h"
#include "transport/ipc_frame.h"
#include "transport/ipc_msg.h"
#include "transport/ipc_unix_carrier.h"

namespace {

/* Events taken per wait, and datagrams read from one connection before the
 * others get their turn. */
constexpr int kIpcRecvEvents = 16;
constexpr int kIpcRecvBurst = 32;
/* Pause before retrying a stalled connection: doubles from the first to the
 * last value while its queue stays full. */
constexpr int kIpcRecvStallFirstMs = 1;
constexpr int kIpcRecvStallLastMs = 32;

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
};

struct IpcRecvState {
    IpcUnixCarrier *carrier;
    IpcRecvConn *conns;
    uint32_t stalledConns;
    int stallWaitMs; /* the next pause while any connection is stalled */
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
        rest = static_cast<uint8_t *>(MSG_MALLOC(restLen));
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
        state.stalledConns += 1U;
        (void)epoll_ctl(state.carrier->epollFd, EPOLL_CTL_DEL, conn->fd, nullptr);
    }
}

/* Tries a stalled connection again. True when it is no longer stalled. */
bool IpcRecvResume(IpcRecvState &state, IpcRecvConn *conn) {
    if (!IpcFrameRetryStalled(&conn->stall, conn->lastPid, conn->stallUid)) {
        return false;
    }
    if (conn->restLen != 0U) {
        uint8_t *rest = conn->rest;
        uint32_t restLen = conn->restLen;
        conn->rest = nullptr;
        conn->restLen = 0U;
        bool again = IpcFrameRecvDatagram(rebuildEntry, rest, restLen, conn->lastPid, conn->stallUid, &conn->stall);
        if (again) {
            IpcRecvStall(state, conn, rest, restLen, conn->stallUid);
        }
        MSG_FREE(rest);
        if (again) {
            return false;
        }
    }
    conn->stalled = false;
    state.stalledConns -= 1U;
    if (!IpcRecvWatch(state, conn)) {
        MSG_LOG(OS_MSG_LOG_ERROR, "connection set-up error[%d].", errno);
    }
    return true;
}

/* Retries every stalled connection; the pause grows while none moves. */
void IpcRecvResumeAll(IpcRecvState &state) {
    bool moved = false;
    for (IpcRecvConn *conn = state.conns; conn != nullptr; conn = conn->next) {
        if (conn->stalled) {
            moved = IpcRecvResume(state, conn) || moved;
        }
    }
    state.stallWaitMs =
        moved ? kIpcRecvStallFirstMs
              : (state.stallWaitMs * 2 > kIpcRecvStallLastMs ? kIpcRecvStallLastMs : state.stallWaitMs * 2);
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

/* Reads one datagram from conn. >0: handled (conn may have stalled); 0: the
 * connection is gone; <0: nothing to read now. */
int IpcRecvOne(IpcRecvState &state, IpcRecvConn *conn) {
    uint8_t *buf = state.carrier->recvBuf;
    struct iovec iov = {buf, IPC_FRAME_DATAGRAM_MAX};
    union {
        struct cmsghdr align;
        uint8_t bytes[CMSG_SPACE(sizeof(struct ucred))];
    } control;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof(control.bytes);
    ssize_t n = recvmsg(conn->fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0) {
        return (errno == EAGAIN || errno == EINTR) ? -1 : 0;
    }
    if (n == 0) {
        return 0;
    }
    uint32_t pid = conn->pid;
    uint32_t uid = conn->uid;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
            c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            struct ucred cred;
            std::memcpy(&cred, CMSG_DATA(c), sizeof(cred));
            pid = (uint32_t)cred.pid;
            uid = (uint32_t)cred.uid;
        }
    }
    conn->lastPid = pid;
    if ((msg.msg_flags & MSG_TRUNC) != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "bad datagram from pid %u: %s.", pid, "larger than any record");
        return 1;
    }
    if (IpcFrameRecvDatagram(rebuildEntry, buf, (uint32_t)n, pid, uid, &conn->stall)) {
        IpcRecvStall(state, conn, buf, (uint32_t)n, uid);
    }
    return 1;
}

void IpcRecvDrain(IpcRecvState &state, IpcRecvConn *conn, uint32_t events) {
    for (int i = 0; i < kIpcRecvBurst; ++i) {
        int got = IpcRecvOne(state, conn);
        if (got == 0) {
            IpcRecvClose(state, conn);
            return;
        }
        if (got < 0 || conn->stalled) {
            return;
        }
    }
    if ((events & (EPOLLHUP | EPOLLERR)) != 0U && (events & EPOLLIN) == 0U) {
        IpcRecvClose(state, conn);
    }
}

} // namespace

void IpcUnixRecvLoop(IpcUnixCarrier *carrier) {
    IpcRecvState state = {carrier, nullptr, 0U, kIpcRecvStallFirstMs};
    struct epoll_event events[kIpcRecvEvents];
    while (!carrier->stopping.load(std::memory_order_acquire)) {
        int n = epoll_wait(carrier->epollFd, events, kIpcRecvEvents, state.stalledConns != 0U ? state.stallWaitMs : -1);
        if (n < 0 && errno != EINTR) {
            MSG_LOG(OS_MSG_LOG_FATAL, "epoll wait error[%d].", errno);
            break;
        }
        for (int i = 0; i < n && !carrier->stopping.load(std::memory_order_acquire); ++i) {
            void *tag = events[i].data.ptr;
            if (tag == &carrier->wakeFd) {
                continue;
            }
            if (tag == &carrier->listenFd) {
                IpcRecvAccept(state);
                continue;
            }
            IpcRecvDrain(state, static_cast<IpcRecvConn *>(tag), events[i].events);
        }
        if (state.stalledConns != 0U) {
            IpcRecvResumeAll(state);
        }
    }
    while (state.conns != nullptr) {
        IpcRecvClose(state, state.conns);
    }
}

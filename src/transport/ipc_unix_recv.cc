/*
 * The socket carrier's receive loop: waits on the listening socket, every
 * accepted connection and the wake-up descriptor, and hands each datagram
 * with its sender's kernel credentials to the framing's receive handling.
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

/* One accepted connection. pid/uid: the peer's credentials when it
 * connected, used when a datagram arrives without its own. */
struct IpcRecvConn {
    int fd;
    uint32_t pid;
    uint32_t uid;
    uint32_t lastPid; /* sender of the last datagram, whose slices may be pending */
    IpcRecvConn *next;
};

struct IpcRecvState {
    IpcUnixCarrier *carrier;
    IpcRecvConn *conns;
};

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
        struct epoll_event ev;
        std::memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN;
        ev.data.ptr = conn;
        int on = 1;
        if (conn == nullptr || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
            setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0 ||
            epoll_ctl(state.carrier->epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            MSG_LOG(OS_MSG_LOG_ERROR, "connection set-up error[%d].", errno);
            MSG_FREE(conn);
            (void)close(fd);
            continue;
        }
        conn->fd = fd;
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
    IpcFrameDropPartials(rebuildEntry, conn->lastPid);
    if (conn->lastPid != conn->pid) {
        IpcFrameDropPartials(rebuildEntry, conn->pid);
    }
    MSG_FREE(conn);
}

/* Reads one datagram from conn. >0: handled; 0: the connection is gone;
 * <0: nothing to read now. */
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
    (void)IpcFrameRecvDatagram(rebuildEntry, buf, (uint32_t)n, pid, uid);
    return 1;
}

void IpcRecvDrain(IpcRecvState &state, IpcRecvConn *conn, uint32_t events) {
    for (int i = 0; i < kIpcRecvBurst; ++i) {
        int got = IpcRecvOne(state, conn);
        if (got == 0) {
            IpcRecvClose(state, conn);
            return;
        }
        if (got < 0) {
            break;
        }
    }
    if ((events & (EPOLLHUP | EPOLLERR)) != 0U && (events & EPOLLIN) == 0U) {
        IpcRecvClose(state, conn);
    }
}

} // namespace

void IpcUnixRecvLoop(IpcUnixCarrier *carrier) {
    IpcRecvState state = {carrier, nullptr};
    struct epoll_event events[kIpcRecvEvents];
    while (!carrier->stopping.load(std::memory_order_acquire)) {
        int n = epoll_wait(carrier->epollFd, events, kIpcRecvEvents, -1);
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
    }
    while (state.conns != nullptr) {
        IpcRecvClose(state, state.conns);
    }
}

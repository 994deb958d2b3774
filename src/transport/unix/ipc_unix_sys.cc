/*
 * The carrier's operating-system calls (see ipc_unix_sys.h). Thread safety:
 * no state.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_unix_sys.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_foreign_fd.h"

static_assert(IPC_SYS_READABLE == EPOLLIN && IPC_SYS_WRITABLE == EPOLLOUT && IPC_SYS_ERROR == EPOLLERR &&
                  IPC_SYS_HANGUP == EPOLLHUP && IPC_SYS_PEER_CLOSED == EPOLLRDHUP && IPC_SYS_ONCE == EPOLLONESHOT &&
                  IPC_SYS_EDGE == EPOLLET,
              "the readiness conditions are the poller's own bits");

namespace {

constexpr int kSocketFlags = SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK;

/* The socket address of path; false when it does not fit. */
bool IpcSysAddress(const char *path, struct sockaddr_un *addr) {
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    size_t len = strnlen(path, sizeof(addr->sun_path));
    if (len == sizeof(addr->sun_path)) {
        return false;
    }
    std::memcpy(addr->sun_path, path, len);
    return true;
}

int IpcSysPassCred(int fd) {
    int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) == 0 ? 0 : -errno;
}

} // namespace

int IpcSysListen(const char *path, int backlog) {
    struct sockaddr_un addr;
    const char *slash = strrchr(path, '/');
    if (!IpcSysAddress(path, &addr) || slash == nullptr) {
        return -ENAMETOOLONG;
    }
    // The temporary name lies in the same folder, so the rename is atomic;
    // a pid's own name, so a live process never meets another's.
    char temp[sizeof(addr.sun_path)];
    int len = snprintf(temp, sizeof(temp), "%.*s/.%d.listen", (int)(slash - path), path, (int)getpid());
    if (len <= 0 || (size_t)len >= sizeof(temp) || !IpcSysAddress(temp, &addr)) {
        return -ENAMETOOLONG;
    }
    int fd = socket(AF_UNIX, kSocketFlags, 0);
    if (fd < 0) {
        return -errno;
    }
    (void)unlink(temp); // left by a process of this pid that was killed here
    int err = IpcSysPassCred(fd);
    if (err == 0 &&
        (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, backlog) != 0)) {
        err = -errno;
    }
    if (err == 0 && rename(temp, path) != 0) {
        err = -errno;
        (void)unlink(temp);
    }
    if (err != 0) {
        (void)close(fd);
        return err;
    }
    return fd;
}

int IpcSysConnect(const char *path) {
    struct sockaddr_un addr;
    if (!IpcSysAddress(path, &addr)) {
        return -ENAMETOOLONG;
    }
    int fd = socket(AF_UNIX, kSocketFlags, 0);
    if (fd < 0) {
        return -errno;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        int err = -errno;
        (void)close(fd);
        return err;
    }
    return fd;
}

int IpcSysAccept(int listenFd, IpcSysCred *cred) {
    for (;;) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return -errno;
        }
        struct ucred peer;
        socklen_t len = sizeof(peer);
        int err = 0;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) {
            err = -errno;
        } else {
            err = IpcSysPassCred(fd);
        }
        if (err != 0) {
            (void)close(fd);
            return err;
        }
        cred->pid = (uint32_t)peer.pid;
        cred->uid = (uint32_t)peer.uid;
        cred->gid = (uint32_t)peer.gid;
        return fd;
    }
}

int IpcSysPeerGroups(int fd, uint32_t *groups, uint32_t max, uint32_t *count) {
    static_assert(sizeof(gid_t) == sizeof(uint32_t), "group ids are 32 bits");
    socklen_t len = (socklen_t)(max * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, max != 0U ? groups : nullptr, &len) != 0 && errno != ERANGE) {
        return errno;
    }
    // Too small a buffer: the kernel writes nothing but the length it needs.
    *count = (uint32_t)(len / sizeof(gid_t));
    return 0;
}

int IpcSysSetSendBuffer(int fd, int want) {
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof(want));
    int size = 0;
    socklen_t len = sizeof(size);
    return getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &len) == 0 ? size : 0;
}

int IpcSysSend(int fd, const struct iovec *iov, size_t iovLen) {
    return IpcSysSendFds(fd, iov, iovLen, nullptr, 0U);
}

int IpcSysSendFds(int fd, const struct iovec *iov, size_t iovLen, const int *fds, uint32_t fdCount) {
    union {
        struct cmsghdr align;
        uint8_t bytes[CMSG_SPACE(sizeof(int) * IPC_SYS_FDS_MAX)];
    } control;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msg_iov = const_cast<struct iovec *>(iov);
    msg.msg_iovlen = iovLen;
    if (fdCount != 0U) {
        if (fdCount > IPC_SYS_FDS_MAX) {
            return -EINVAL;
        }
        std::memset(&control, 0, sizeof(control));
        msg.msg_control = control.bytes;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fdCount);
        struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fdCount);
        std::memcpy(CMSG_DATA(c), fds, sizeof(int) * fdCount);
    }
    for (;;) {
        if (sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno == EWOULDBLOCK ? -EAGAIN : -errno;
        }
    }
}

namespace {

/* Takes the credentials and descriptors out of a received message's control
 * data. Descriptors beyond IPC_SYS_FDS_MAX, or any at all when the kernel
 * had to cut the control data, are closed: none is ever left open. */
void IpcSysTakeAncillary(struct msghdr *msg, IpcSysAncillary *anc) {
    anc->fdCount = 0U;
    anc->fdsCut = false;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET) {
            continue;
        }
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            struct ucred sender;
            std::memcpy(&sender, CMSG_DATA(c), sizeof(sender));
            anc->cred.pid = (uint32_t)sender.pid;
            anc->cred.uid = (uint32_t)sender.uid;
            anc->cred.gid = (uint32_t)sender.gid;
        } else if (c->cmsg_type == SCM_RIGHTS && c->cmsg_len >= CMSG_LEN(0)) {
            size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0U; i < n; ++i) {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(fd));
                if (anc->fdCount < IPC_SYS_FDS_MAX) {
                    anc->fds[anc->fdCount++] = fd;
                } else {
                    anc->fdsCut = true;
                    (void)close(fd);
                }
            }
        }
    }
    if ((msg->msg_flags & MSG_CTRUNC) != 0) {
        anc->fdsCut = true;
    }
    if (anc->fdsCut) {
        IpcSysCloseAll(anc->fds, anc->fdCount);
        anc->fdCount = 0U;
    }
}

} // namespace

ssize_t IpcSysRecv(int fd, struct iovec *iov, size_t iovLen, IpcSysAncillary *anc, bool *truncated) {
    union {
        struct cmsghdr align;
        uint8_t bytes[CMSG_SPACE(sizeof(struct ucred)) + CMSG_SPACE(sizeof(int) * IPC_SYS_FDS_MAX)];
    } control;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msg_iov = iov;
    msg.msg_iovlen = iovLen;
    msg.msg_control = control.bytes;
    msg.msg_controllen = sizeof(control.bytes);
    ssize_t n;
    int resets = 0;
    do {
        n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && (errno == EINTR || (errno == ECONNRESET && resets++ == 0)));
    if (n < 0) {
        anc->fdCount = 0U;
        anc->fdsCut = false;
        return errno == EWOULDBLOCK ? -EAGAIN : -errno;
    }
    IpcSysTakeAncillary(&msg, anc);
    *truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    return n;
}

void IpcSysCloseAll(const int *fds, uint32_t n) {
    for (uint32_t i = 0U; i < n; ++i) {
        MsgForeignFdClose(fds[i]);
    }
}

ssize_t IpcSysPeek(int fd, void *buf, size_t len) {
    ssize_t n;
    int resets = 0;
    do {
        n = recv(fd, buf, len, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    } while (n < 0 && (errno == EINTR || (errno == ECONNRESET && resets++ == 0)));
    if (n < 0) {
        return errno == EWOULDBLOCK ? -EAGAIN : -errno;
    }
    return n;
}

int IpcSysProbe(const char *path, uint32_t *pid) {
    int fd = IpcSysConnect(path);
    if (fd < 0) {
        return fd;
    }
    struct ucred peer;
    socklen_t len = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0) {
        *pid = (uint32_t)peer.pid;
    }
    (void)close(fd);
    return 0;
}

bool IpcSysWaitWritable(int fd, int ms) {
    struct pollfd pfd = {fd, POLLOUT, 0};
    return poll(&pfd, 1, ms) > 0;
}

void IpcSysClose(int *fd) {
    if (*fd >= 0) {
        (void)close(*fd);
        *fd = -1;
    }
}

void IpcSysShutdown(int fd) {
    (void)shutdown(fd, SHUT_RDWR);
}

int IpcSysPollerCreate(void) {
    int fd = epoll_create1(EPOLL_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}

namespace {

int IpcSysPollerControl(int poller, int op, int fd, uint32_t events, void *tag) {
    struct epoll_event ev;
    std::memset(&ev, 0, sizeof(ev));
    ev.events = events;
    ev.data.ptr = tag;
    return epoll_ctl(poller, op, fd, &ev) == 0 ? 0 : -errno;
}

} // namespace

int IpcSysPollerAdd(int poller, int fd, uint32_t events, void *tag) {
    return IpcSysPollerControl(poller, EPOLL_CTL_ADD, fd, events, tag);
}

int IpcSysPollerChange(int poller, int fd, uint32_t events, void *tag) {
    return IpcSysPollerControl(poller, EPOLL_CTL_MOD, fd, events, tag);
}

void IpcSysPollerRemove(int poller, int fd) {
    (void)epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
}

int IpcSysPollerWait(int poller, IpcSysEvent *events, int maxEvents, int ms) {
    constexpr int kMax = 64;
    struct epoll_event raw[kMax];
    int n = epoll_wait(poller, raw, maxEvents < kMax ? maxEvents : kMax, ms);
    if (n < 0) {
        return errno == EINTR ? 0 : -errno;
    }
    for (int i = 0; i < n; ++i) {
        events[i].tag = raw[i].data.ptr;
        events[i].events = raw[i].events;
    }
    return n;
}

int IpcSysEventCreate(void) {
    int fd = eventfd(0U, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd >= 0 ? fd : -errno;
}

void IpcSysEventPost(int fd) {
    uint64_t one = 1U;
    (void)!write(fd, &one, sizeof(one));
}

bool IpcSysEventRing(int fd) {
    uint64_t zero = 0U;
    return write(fd, &zero, sizeof(zero)) == (ssize_t)sizeof(zero);
}

bool IpcSysIsEvent(int fd) {
    char path[64];
    char target[64];
    (void)snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(path, target, sizeof(target) - 1U);
    if (n <= 0) {
        return false;
    }
    target[n] = '\0';
    return strcmp(target, "anon_inode:[eventfd]") == 0;
}

void IpcSysEventDrain(int fd) {
    uint64_t count = 0U;
    (void)!read(fd, &count, sizeof(count));
}

int IpcSysPoll(IpcSysPollItem *items, size_t n, int ms) {
    constexpr size_t kMax = 256U;
    struct pollfd fds[kMax];
    n = n < kMax ? n : kMax;
    for (size_t i = 0U; i < n; ++i) {
        fds[i].fd = items[i].fd;
        fds[i].events = (short)(((items[i].want & IPC_SYS_READABLE) != 0U ? POLLIN : 0) |
                                ((items[i].want & IPC_SYS_WRITABLE) != 0U ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    int ready = poll(fds, (nfds_t)n, ms);
    if (ready < 0) {
        return errno == EINTR ? 0 : -errno;
    }
    for (size_t i = 0U; i < n; ++i) {
        short r = fds[i].revents;
        items[i].ready = ((r & POLLIN) != 0 ? IPC_SYS_READABLE : 0U) | ((r & POLLOUT) != 0 ? IPC_SYS_WRITABLE : 0U) |
                         ((r & (POLLERR | POLLNVAL)) != 0 ? IPC_SYS_ERROR : 0U) |
                         ((r & POLLHUP) != 0 ? IPC_SYS_HANGUP : 0U);
    }
    return ready;
}

namespace {

void IpcSysFillInfo(const struct stat &st, IpcSysFileInfo *info) {
    info->type = S_ISREG(st.st_mode)    ? IPC_SYS_FILE_REGULAR
                 : S_ISDIR(st.st_mode)  ? IPC_SYS_FILE_DIR
                 : S_ISLNK(st.st_mode)  ? IPC_SYS_FILE_LINK
                 : S_ISSOCK(st.st_mode) ? IPC_SYS_FILE_SOCKET
                                        : IPC_SYS_FILE_OTHER;
    info->mode = (uint32_t)(st.st_mode & 07777);
    info->uid = (uint32_t)st.st_uid;
    info->gid = (uint32_t)st.st_gid;
}

} // namespace

int IpcSysFileInfoOfPath(const char *path, IpcSysFileInfo *info) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        return errno;
    }
    IpcSysFillInfo(st, info);
    return 0;
}

int IpcSysFileInfoOfFd(int fd, IpcSysFileInfo *info) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return errno;
    }
    IpcSysFillInfo(st, info);
    return 0;
}

int IpcSysMakeDir(const char *dir, uint32_t mode) {
    return mkdir(dir, (mode_t)mode) == 0 ? 0 : errno;
}

int IpcSysOpenDir(const char *dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}

int IpcSysSetFdMode(int fd, uint32_t mode, uint32_t gid) {
    if (gid != IPC_SYS_KEEP_ID && fchown(fd, (uid_t)-1, (gid_t)gid) != 0) {
        return errno;
    }
    // After the group: a change of group may clear the setgid bit.
    return fchmod(fd, (mode_t)mode) == 0 ? 0 : errno;
}

bool IpcSysInGroup(uint32_t gid) {
    if ((uint32_t)getegid() == gid) {
        return true;
    }
    int n = getgroups(0, nullptr);
    if (n <= 0) {
        return false;
    }
    auto *groups = static_cast<gid_t *>(MSG_CALLOC((size_t)n, sizeof(gid_t)));
    if (groups == nullptr) {
        return false;
    }
    n = getgroups(n, groups);
    bool found = false;
    for (int i = 0; i < n && !found; ++i) {
        found = (uint32_t)groups[i] == gid;
    }
    MSG_FREE(groups);
    return found;
}

ssize_t IpcSysReadFile(const char *path, void *buf, size_t size, IpcSysFileInfo *info) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    ssize_t total = 0;
    int err = IpcSysFileInfoOfFd(fd, info);
    while (err == 0) {
        char spare;
        // One byte past size shows a file too large for the buffer.
        ssize_t n = (size_t)total < size ? read(fd, static_cast<char *>(buf) + total, size - (size_t)total)
                                         : read(fd, &spare, 1U);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            err = n < 0 ? errno : 0;
            break;
        }
        if ((size_t)total == size) {
            err = EFBIG;
            break;
        }
        total += n;
    }
    (void)close(fd);
    return err != 0 ? -err : total;
}

int IpcSysOpenFile(const char *path, bool create, size_t size) {
    int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT | O_EXCL : 0);
    int fd = open(path, flags, 0600);
    if (fd < 0) {
        return -errno;
    }
    if (create && ftruncate(fd, (off_t)size) != 0) {
        int err = -errno;
        (void)close(fd);
        (void)unlink(path);
        return err;
    }
    return fd;
}

off_t IpcSysFileSize(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : -errno;
}

int IpcSysLinkFile(const char *from, const char *to) {
    return link(from, to) == 0 ? 0 : errno;
}

void IpcSysUnlink(const char *path) {
    (void)unlink(path);
}

int IpcSysFileKeyOf(const char *path, IpcSysFileKey *key) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        return errno;
    }
    key->dev = (uint64_t)st.st_dev;
    key->ino = (uint64_t)st.st_ino;
    return 0;
}

bool IpcSysUnlinkSame(const char *path, const IpcSysFileKey *key) {
    IpcSysFileKey now;
    if (IpcSysFileKeyOf(path, &now) != 0 || now.dev != key->dev || now.ino != key->ino) {
        return false;
    }
    return unlink(path) == 0;
}

int IpcSysSetSocketMode(const char *path, const IpcSysFileKey *key, uint32_t mode, uint32_t gid) {
    IpcSysFileKey now;
    int err = IpcSysFileKeyOf(path, &now);
    if (err != 0) {
        return err;
    }
    if (now.dev != key->dev || now.ino != key->ino) {
        return EEXIST;
    }
    if (gid != IPC_SYS_KEEP_ID && lchown(path, (uid_t)-1, (gid_t)gid) != 0) {
        return errno;
    }
    return chmod(path, (mode_t)mode) == 0 ? 0 : errno;
}

void *IpcSysMapShared(int fd, size_t size, int *err) {
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        *err = errno;
        return nullptr;
    }
    return map;
}

void IpcSysUnmap(void *addr, size_t size) {
    (void)munmap(addr, size);
}

bool IpcSysMayUseDir(const char *dir) {
    constexpr int kUse = W_OK | X_OK;
    struct stat st;
    if (stat(dir, &st) == 0) {
        return S_ISDIR(st.st_mode) && faccessat(AT_FDCWD, dir, kUse, AT_EACCESS) == 0;
    }
    if (errno != ENOENT) {
        return false;
    }
    char parent[PATH_MAX];
    const char *slash = strrchr(dir, '/');
    if (slash == nullptr || (size_t)(slash - dir) >= sizeof(parent)) {
        return false;
    }
    (void)snprintf(parent, sizeof(parent), "%.*s", slash == dir ? 1 : (int)(slash - dir), dir);
    return faccessat(AT_FDCWD, parent, kUse, AT_EACCESS) == 0;
}

int IpcSysListDir(const char *dir, void (*visit)(const char *name, void *arg), void *arg) {
    DIR *d = opendir(dir);
    if (d == nullptr) {
        return errno;
    }
    while (const struct dirent *entry = readdir(d)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            visit(entry->d_name, arg);
        }
    }
    (void)closedir(d);
    return 0;
}

uint32_t IpcSysUid(void) {
    return (uint32_t)getuid();
}

uint32_t IpcSysPid(void) {
    return (uint32_t)getpid();
}

bool IpcSysCpusApart(uint32_t pid) {
    cpu_set_t own;
    cpu_set_t other;
    if (pid == 0U || sched_getaffinity(0, sizeof(own), &own) != 0 ||
        sched_getaffinity((pid_t)pid, sizeof(other), &other) != 0) {
        return false;
    }
    cpu_set_t both;
    CPU_AND(&both, &own, &other);
    return CPU_COUNT(&both) == 0;
}

int IpcSysDirWatch(const char *dir) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    constexpr uint32_t kMask = IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (inotify_add_watch(fd, dir, kMask) < 0) {
        int err = -errno;
        (void)close(fd);
        return err;
    }
    return fd;
}

int IpcSysDirChanges(int fd, void (*visit)(uint32_t kind, const char *name, void *arg), void *arg) {
    alignas(struct inotify_event) char buf[4096];
    int changes = 0;
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0) {
            return errno == EAGAIN ? changes : (errno == EINTR ? changes : -errno);
        }
        for (ssize_t at = 0; at + (ssize_t)sizeof(struct inotify_event) <= n;) {
            struct inotify_event event;
            std::memcpy(&event, buf + at, sizeof(event));
            const char *name = event.len != 0U ? buf + at + sizeof(event) : "";
            uint32_t kind = (event.mask & IN_Q_OVERFLOW) != 0U                     ? IPC_SYS_DIR_LOST
                            : (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) != 0U ? IPC_SYS_DIR_GONE
                            : (event.mask & IN_MOVED_TO) != 0U                     ? IPC_SYS_DIR_APPEARED
                            : (event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0U     ? IPC_SYS_DIR_VANISHED
                                                                                   : 0U;
            if (kind != 0U) {
                visit(kind, kind == IPC_SYS_DIR_APPEARED || kind == IPC_SYS_DIR_VANISHED ? name : "", arg);
                ++changes;
            }
            at += (ssize_t)(sizeof(event) + event.len);
        }
    }
}

int IpcSysProcessWatch(uint32_t pid) {
#ifdef SYS_pidfd_open
    long fd = syscall(SYS_pidfd_open, (pid_t)pid, 0U);
    return fd >= 0 ? (int)fd : -errno;
#else
    (void)pid;
    return -ENOSYS;
#endif
}

int IpcSysOnExitAndFork(void (*atExit)(void), void (*inChild)(void)) {
    int err = pthread_atfork(nullptr, nullptr, inChild);
    if (err == 0 && atexit(atExit) != 0) {
        err = ENOMEM;
    }
    return err;
}

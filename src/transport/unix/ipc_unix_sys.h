/*
 * The operating-system calls of the Unix-socket carrier, in one place:
 * sockets (SOCK_SEQPACKET, credentials), the readiness poller (epoll), the
 * wake-up counter (eventfd), shared mappings, the few file calls of the run
 * directory and the watches of the run directory (inotify) and of peer
 * processes (pidfd). The rest of the carrier reaches the kernel only through
 * these functions.
 *
 * Every descriptor made here is close-on-exec and, for sockets, non-blocking,
 * so a process that forks and executes another program hands none of the
 * carrier's descriptors on. Results follow one rule: a descriptor or a count
 * when the call worked, otherwise the negated error number (never -1 with
 * errno to look up), so that callers keep no errno across other calls.
 *
 * Thread safety: the functions keep no state; each is safe from any thread
 * for the descriptors its caller owns.
 */
#ifndef VYRE_IPC_UNIX_SYS_H
#define VYRE_IPC_UNIX_SYS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <sys/uio.h>

/* What the kernel says about the process at the other end of a socket, or
 * about the sender of one datagram. */
typedef struct IpcSysCred {
    uint32_t pid;
    uint32_t uid;
    uint32_t gid;
} IpcSysCred;

/* ---------------------------------------------------------------------------
 * Sockets
 * ------------------------------------------------------------------------- */

/* A socket listening with backlog at path, asking for the sender's
 * credentials with every datagram. It is bound and listening under a
 * temporary name in path's folder (".<pid>.listen") first and then renamed
 * to path, replacing what stood there: the name appears only once the socket
 * answers, and the folder's watchers see it appear (moved in). The
 * descriptor, or -errno (nothing left open, no name left behind). */
int IpcSysListen(const char *path, int backlog);

/* A connection to the socket at path: the descriptor, or -errno (-ENOENT or
 * -ECONNREFUSED when nothing listens there, -EAGAIN when its backlog is
 * full). */
int IpcSysConnect(const char *path);

/* The next connection waiting on listenFd, with its peer's credentials in
 * *cred: the descriptor, or -errno (-EAGAIN when none waits, -EMFILE or
 * -ENFILE when the process or the system is out of descriptors). */
int IpcSysAccept(int listenFd, IpcSysCred *cred);

/* The supplementary groups of the process at the other end of the connected
 * socket fd, as the kernel recorded them when it connected: 0 and *count,
 * the number of groups it has, written to groups when they fit (count at
 * most max; nothing is written otherwise); or an error number. */
int IpcSysPeerGroups(int fd, uint32_t *groups, uint32_t max, uint32_t *count);

/* Asks for a send buffer of want bytes on fd; the size the kernel granted
 * (it caps the request at its configured maximum), 0 when unknown. */
int IpcSysSetSendBuffer(int fd, int want);

/* Sends one datagram made of iovLen pieces without waiting: 0, or -errno
 * (-EAGAIN when the socket has no room now; -EPIPE, -ECONNRESET, -ENOTCONN
 * or -ECONNREFUSED when the peer has gone). Never raises SIGPIPE. */
int IpcSysSend(int fd, const struct iovec *iov, size_t iovLen);

/* IpcSysSend of a datagram that carries fdCount descriptors
 * (SCM_RIGHTS, at most IPC_SYS_FDS_MAX): the receiver gets copies of them
 * with the datagram, or nothing is sent. The caller keeps its own. */
int IpcSysSendFds(int fd, const struct iovec *iov, size_t iovLen, const int *fds, uint32_t fdCount);

/* Most descriptors a datagram may bring (IpcSysRecv). */
#define IPC_SYS_FDS_MAX 32U

/* What came beside a datagram's bytes. */
typedef struct IpcSysAncillary {
    IpcSysCred cred;          /* the sender's credentials; as the caller set it when none came */
    int fds[IPC_SYS_FDS_MAX]; /* descriptors that came with it (close-on-exec), the caller's to close */
    uint32_t fdCount;
    bool fdsCut; /* more came than fit: those that fit were closed, fdCount is 0 */
} IpcSysAncillary;

/* Receives one datagram into iovLen pieces without waiting. Its length (the
 * whole datagram's; *truncated is set when it did not fit), 0 when the peer
 * closed the connection, -EAGAIN when nothing waits, other -errno values for
 * failures. *anc gets the sender's credentials when the datagram carries
 * them (its cred is left as it is otherwise) and the descriptors that came
 * with it. A peer that closed with data of its own unread makes the kernel
 * report a reset once, ahead of what the peer had sent: that report is
 * passed over, so the datagrams still come. */
ssize_t IpcSysRecv(int fd, struct iovec *iov, size_t iovLen, IpcSysAncillary *anc, bool *truncated);

/* Closes the n descriptors at fds (negative ones are skipped), which came
 * from another process: through the calling thread's closer when it has
 * one (msg_foreign_fd.h). */
void IpcSysCloseAll(const int *fds, uint32_t n);

/* Copies the first len bytes of the next datagram on fd without taking it:
 * the datagram's whole length, 0 when the peer closed, -EAGAIN when nothing
 * waits, or another -errno; a reset is passed over as by IpcSysRecv. */
ssize_t IpcSysPeek(int fd, void *buf, size_t len);

/* Asks whether a process listens on the socket at path, by connecting and
 * closing at once. 0 when one does (*pid gets its process id as the kernel
 * recorded it when the socket started listening); -EAGAIN when one does but
 * its backlog is full (*pid left as it is); -ENOENT or -ECONNREFUSED when
 * nothing listens there (no file, or a file nobody listens on); another
 * -errno when it cannot be told (-EACCES, -EPROTOTYPE for a socket of
 * another type). */
int IpcSysProbe(const char *path, uint32_t *pid);

/* Waits at most ms for room to send on fd: true when there is room (or the
 * socket failed, which the next send reports), false when the time ran out. */
bool IpcSysWaitWritable(int fd, int ms);

/* Closes *fd unless it is negative, and sets it to -1. */
void IpcSysClose(int *fd);

/* Ends both directions of the connection on fd without closing the
 * descriptor: the peer reads what was sent and then the end, and every
 * thread waiting on fd (this process's poller included) sees it hang up. */
void IpcSysShutdown(int fd);

/* ---------------------------------------------------------------------------
 * Readiness poller and wake-up counter
 * ------------------------------------------------------------------------- */

/* Readiness conditions; a poller event carries any combination. */
#define IPC_SYS_READABLE 0x1U
#define IPC_SYS_WRITABLE 0x4U
#define IPC_SYS_ERROR 0x8U
#define IPC_SYS_HANGUP 0x10U
#define IPC_SYS_PEER_CLOSED 0x2000U
/* Added to what a descriptor is watched for: reported once, then not again
 * until the watch is changed (a hang-up otherwise stays reported). */
#define IPC_SYS_ONCE 0x40000000U
/* Added to what a descriptor is watched for: reported when it becomes ready
 * again (for a wake-up counter: at every post), never for staying ready, so
 * a counter watched so need not be read to stop the reports. */
#define IPC_SYS_EDGE 0x80000000U

/* One readiness event: the tag the descriptor was added with. */
typedef struct IpcSysEvent {
    void *tag;
    uint32_t events;
} IpcSysEvent;

/* A new poller: its descriptor, or -errno. */
int IpcSysPollerCreate(void);

/* Watches fd on poller for events (IPC_SYS_READABLE, ...), reporting tag.
 * 0 or -errno. */
int IpcSysPollerAdd(int poller, int fd, uint32_t events, void *tag);

/* Changes what fd is watched for. 0 or -errno. */
int IpcSysPollerChange(int poller, int fd, uint32_t events, void *tag);

/* Stops watching fd. Call it before closing fd: a copy of the descriptor in
 * a forked child would otherwise keep the registration alive. */
void IpcSysPollerRemove(int poller, int fd);

/* Waits at most ms (-1: without limit) for events: their number (0 when the
 * time ran out or a signal came), or -errno. */
int IpcSysPollerWait(int poller, IpcSysEvent *events, int maxEvents, int ms);

/* A wake-up counter (readable while non-zero): its descriptor, or -errno. */
int IpcSysEventCreate(void);

/* Adds one to the counter; never blocks. */
void IpcSysEventPost(int fd);

/* Reads the counter back to zero. */
void IpcSysEventDrain(int fd);

/* Wakes the watchers of the counter fd, another process's: writes 0, which
 * wakes them as any write does but adds nothing, so it never waits, however
 * full the counter or whatever its owner made of its flags (a counter is
 * shared with the process that passed it, which may clear O_NONBLOCK at
 * any time). Its owner keeps it readable (IpcSysEventPost once) for the
 * wake to report it. False when fd is no longer a counter. */
bool IpcSysEventRing(int fd);

/* True when fd is a wake-up counter (an eventfd), as one passed by another
 * process must be before it is written. */
bool IpcSysIsEvent(int fd);

/* One descriptor of IpcSysPoll: what to wait for (IPC_SYS_READABLE,
 * IPC_SYS_WRITABLE) and, afterwards, what it is ready for (any of the
 * conditions, IPC_SYS_ERROR and IPC_SYS_HANGUP included). */
typedef struct IpcSysPollItem {
    int fd;
    uint32_t want;
    uint32_t ready;
} IpcSysPollItem;

/* Waits at most ms (-1: without limit) until one of the n descriptors is
 * ready: the number that are (0 when the time ran out or a signal came), or
 * -errno. For a thread that waits on a few descriptors of its own without a
 * poller. */
int IpcSysPoll(IpcSysPollItem *items, size_t n, int ms);

/* ---------------------------------------------------------------------------
 * Files of the run directory and shared mappings
 * ------------------------------------------------------------------------- */

/* What the kernel says of a file: its type (IPC_SYS_FILE_*), its permission
 * bits with the setuid, setgid and sticky bits (07777), its owner and group. */
#define IPC_SYS_FILE_OTHER 0U
#define IPC_SYS_FILE_REGULAR 1U
#define IPC_SYS_FILE_DIR 2U
#define IPC_SYS_FILE_LINK 3U
#define IPC_SYS_FILE_SOCKET 4U

typedef struct IpcSysFileInfo {
    uint32_t type;
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
} IpcSysFileInfo;

/* What the kernel says of the name path itself (a link is not followed): 0,
 * or an error number. */
int IpcSysFileInfoOfPath(const char *path, IpcSysFileInfo *info);

/* What the kernel says of the file open as fd: 0, or an error number. */
int IpcSysFileInfoOfFd(int fd, IpcSysFileInfo *info);

/* Creates directory dir with mode (less the process's umask): 0, EEXIST when
 * something stands there already, or another error number. */
int IpcSysMakeDir(const char *dir, uint32_t mode);

/* Opens directory dir without following a link: the descriptor, or -errno
 * (-ELOOP when dir is a symbolic link, -ENOTDIR when it is no directory). */
int IpcSysOpenDir(const char *dir);

/* Sets the permission bits of the file open as fd to mode and, unless gid
 * is IPC_SYS_KEEP_ID, its group to gid: 0, or an error number. */
#define IPC_SYS_KEEP_ID 0xFFFFFFFFU
int IpcSysSetFdMode(int fd, uint32_t mode, uint32_t gid);

/* True when the calling process is in group gid (its effective group or one
 * of its supplementary groups). */
bool IpcSysInGroup(uint32_t gid);

/* Reads the file at path (a link is followed) into buf, at most size bytes,
 * with what the kernel says of it in *info: the byte count, or -errno
 * (-EFBIG when the file holds more than size bytes). */
ssize_t IpcSysReadFile(const char *path, void *buf, size_t size, IpcSysFileInfo *info);

/* Opens path for reading and writing without following a link; with
 * create, makes a new file of size bytes (mode 0600) that must not exist.
 * The descriptor, or -errno. */
int IpcSysOpenFile(const char *path, bool create, size_t size);

/* Size of the file open as fd, or -errno. */
off_t IpcSysFileSize(int fd);

/* Links the file at from to the new name to: 0, or an error number (EEXIST
 * when to exists). */
int IpcSysLinkFile(const char *from, const char *to);

/* Removes the name path (a socket or a file); errors are ignored. */
void IpcSysUnlink(const char *path);

/* Which file a name stands for: equal keys, the same file. */
typedef struct IpcSysFileKey {
    uint64_t dev;
    uint64_t ino;
} IpcSysFileKey;

/* The key of the file named path, without following a link: 0, or an error
 * number. */
int IpcSysFileKeyOf(const char *path, IpcSysFileKey *key);

/* Removes the name path when it still stands for the file key names; true
 * when it did. A name some other process made since is left alone. */
bool IpcSysUnlinkSame(const char *path, const IpcSysFileKey *key);

/* Sets the permission bits of the socket file named path to mode and,
 * unless gid is IPC_SYS_KEEP_ID, its group to gid, while the name still
 * stands for the file key names (else EEXIST, nothing changed): 0, or an
 * error number. A socket's descriptor cannot reach its file, so the name is
 * used; only the owners of the run directory can change what it names. */
int IpcSysSetSocketMode(const char *path, const IpcSysFileKey *key, uint32_t mode, uint32_t gid);

/* Maps size bytes of the file open as fd, shared and writable: the address,
 * or NULL (*err gets the error number). */
void *IpcSysMapShared(int fd, size_t size, int *err);

/* Unmaps what IpcSysMapShared returned. */
void IpcSysUnmap(void *addr, size_t size);

/* Whether the calling process may use dir as a run directory: dir is a
 * directory it may write in and search, or dir does not exist and its
 * parent is one (so it may create dir), by its effective ids. */
bool IpcSysMayUseDir(const char *dir);

/* Calls visit(name, arg) for each name in dir but "." and "..". 0, or an
 * error number (dir cannot be read). */
int IpcSysListDir(const char *dir, void (*visit)(const char *name, void *arg), void *arg);

/* The process's real user id. */
uint32_t IpcSysUid(void);

/* The calling process's id, asked of the kernel (a forked child gets its
 * own). */
uint32_t IpcSysPid(void);

/* True when process pid (its main thread) may run on none of the
 * processors the calling thread may run on; false when they share one, or
 * either cannot be asked. */
bool IpcSysCpusApart(uint32_t pid);

/* ---------------------------------------------------------------------------
 * Watching a folder and the ends of processes (inotify, pidfd)
 * ------------------------------------------------------------------------- */

/* What a folder watch reports (IpcSysDirChanges). */
#define IPC_SYS_DIR_APPEARED 1U /* a name was moved into the folder */
#define IPC_SYS_DIR_VANISHED 2U /* a name was removed or moved away */
#define IPC_SYS_DIR_LOST 3U     /* changes were lost: look at the whole folder */
#define IPC_SYS_DIR_GONE 4U     /* the folder itself was removed or moved */

/* A watch of the names in folder dir: readable while changes wait. The
 * descriptor (non-blocking, close-on-exec), or -errno. */
int IpcSysDirWatch(const char *dir);

/* Reads the changes waiting on watch fd and calls visit(kind, name, arg) for
 * each, in order (name "" for IPC_SYS_DIR_LOST and IPC_SYS_DIR_GONE). The
 * number of changes, 0 when none wait, or -errno. */
int IpcSysDirChanges(int fd, void (*visit)(uint32_t kind, const char *name, void *arg), void *arg);

/* A descriptor that turns readable when process pid ends (a pidfd,
 * close-on-exec), or -errno: -ESRCH when no such process runs, -ENOSYS when
 * the kernel has none. */
int IpcSysProcessWatch(uint32_t pid);

/* ---------------------------------------------------------------------------
 * Process hooks
 * ------------------------------------------------------------------------- */

/* Has atExit run when the process leaves through exit() or a return from
 * main, and inChild in the child of every fork() (on the forking thread, the
 * only one the child has; it may make only async-signal-safe calls). Call
 * once per process. 0, or an error number. */
int IpcSysOnExitAndFork(void (*atExit)(void), void (*inChild)(void));

#endif /* VYRE_IPC_UNIX_SYS_H */

/*
 * The links of the socket carrier and their registry (see ipc_link.h).
 * g_ipcLinkLock guards the registry: the poller it adds to, the list of
 * registered links and the answer links by pid bucket. A leaf lock: nothing
 * is logged, waited for or called back while it is held.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_link.h"

#include <errno.h>

#include <cstring>
#include <mutex>
#include <new>

#include "base/msg_alloc.h"
#include "base/msg_forever.h"
#include "log/msg_log.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_link_share.h"
#include "transport/unix/ipc_post.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

/* Send buffer asked for on every link: room for several of the largest
 * datagrams, so large payloads go in few system calls. The kernel caps it at
 * its configured maximum. */
constexpr int kIpcLinkSendBuffer = 4 * (int)IPC_FRAME_DATAGRAM_MAX;
/* The kernel's own overhead on a datagram's size limit. */
constexpr uint32_t kIpcLinkKernelSlack = 64U;
/* Answer links are found by pid through this many buckets. */
constexpr uint32_t kIpcLinkPidBuckets = 64U;

struct IpcLinkRegistry {
    int poller = -1;
    IpcLink *links = nullptr; /* every registered link, newest first */
    uint32_t count = 0U;
    IpcLink *byPid[kIpcLinkPidBuckets] = {}; /* accepted links, newest first */
};

MsgForever<std::mutex> g_ipcLinkLock;
IpcLinkRegistry g_ipcLinks;
std::atomic<uint32_t> g_ipcLinkIds{0U};
uint64_t g_ipcLinkRequests = 0U; /* the receive thread's count of requests */

/* The payload a datagram on fd may carry, from its effective send buffer. */
uint32_t IpcLinkMaxBody(int fd) {
    uint32_t room = (uint32_t)IpcSysSetSendBuffer(fd, kIpcLinkSendBuffer);
    uint32_t overhead = IPC_FRAME_RECORD_OVERHEAD + IPC_FRAME_TAIL_LEN + kIpcLinkKernelSlack;
    if (room <= overhead + 4096U) {
        return 4096U;
    }
    room -= overhead;
    return room < IPC_FRAME_SLICE_MAX ? room : IPC_FRAME_SLICE_MAX;
}

IpcLink **IpcLinkBucket(uint32_t pid) {
    return &g_ipcLinks.byPid[pid % kIpcLinkPidBuckets];
}

/* Puts link in the lists (g_ipcLinkLock held). */
void IpcLinkList(IpcLink *link) {
    link->registered = true;
    link->regPrev = nullptr;
    link->regNext = g_ipcLinks.links;
    if (link->regNext != nullptr) {
        link->regNext->regPrev = link;
    }
    g_ipcLinks.links = link;
    if (link->kind == IPC_LINK_ACCEPTED) {
        IpcLink **bucket = IpcLinkBucket(link->pid);
        link->pidNext = *bucket;
        *bucket = link;
    }
    g_ipcLinks.count += 1U;
}

/* Takes link out of the lists (g_ipcLinkLock held, link registered). */
void IpcLinkUnlist(IpcLink *link) {
    if (link->regPrev != nullptr) {
        link->regPrev->regNext = link->regNext;
    } else {
        g_ipcLinks.links = link->regNext;
    }
    if (link->regNext != nullptr) {
        link->regNext->regPrev = link->regPrev;
    }
    if (link->kind == IPC_LINK_ACCEPTED) {
        for (IpcLink **at = IpcLinkBucket(link->pid); *at != nullptr; at = &(*at)->pidNext) {
            if (*at == link) {
                *at = link->pidNext;
                break;
            }
        }
    }
    link->registered = false;
    g_ipcLinks.count -= 1U;
}

} // namespace

void IpcLinkRegistryOpen(int poller) {
    std::lock_guard<std::mutex> guard(*g_ipcLinkLock);
    g_ipcLinks.poller = poller;
}

void IpcLinkRegistryClose(void (*drop)(IpcLink *link)) {
    for (;;) {
        IpcLink *link = nullptr;
        {
            std::lock_guard<std::mutex> guard(*g_ipcLinkLock);
            link = g_ipcLinks.links;
            if (link == nullptr) {
                g_ipcLinks.poller = -1;
                return;
            }
            IpcLinkHold(link);
        }
        drop(link);
        IpcLinkUnregister(link);
        IpcLinkRelease(link);
    }
}

IpcLink *IpcLinkCreate(int fd, IpcLinkKind kind, uint32_t pid, uint32_t uid) {
    auto *link = static_cast<IpcLink *>(MSG_CALLOC(1U, sizeof(IpcLink)));
    if (link == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "no memory for a connection.");
        return nullptr;
    }
    new (&link->refs) std::atomic<uint32_t>(1U);
    new (&link->published) std::atomic<bool>(false);
    new (&link->requestSeq) std::atomic<uint64_t>(0U);
    new (&link->share) std::atomic<SbufShare *>(nullptr);
    new (&link->sent) std::atomic<uint32_t>(0U);
    new (&link->bellFd) std::atomic<int>(-1);
    link->fd = fd;
    uint32_t id = 0U;
    while (id == 0U) {
        id = g_ipcLinkIds.fetch_add(1U, std::memory_order_relaxed) + 1U;
    }
    link->id = id;
    link->kind = kind;
    link->pid = pid;
    link->uid = uid;
    link->maxBody = IpcLinkMaxBody(fd);
    return link;
}

void IpcLinkHold(IpcLink *link) {
    link->refs.fetch_add(1U, std::memory_order_relaxed);
}

bool IpcLinkTryHold(IpcLink *link) {
    uint32_t refs = link->refs.load(std::memory_order_relaxed);
    while (refs != 0U) {
        if (link->refs.compare_exchange_weak(refs, refs + 1U, std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

bool IpcLinkSetGroups(IpcLink *link, uint32_t gid) {
    link->gid = gid;
    // Asked with room for a usual number of groups first: a query of the
    // size alone (no buffer) is not passed on by every emulator.
    constexpr uint32_t kProbe = 32U;
    uint32_t probe[kProbe];
    uint32_t count = 0U;
    if (IpcSysPeerGroups(link->fd, probe, kProbe, &count) != 0 || count == 0U) {
        return true; // none known: the sender is judged by its user and group
    }
    auto *groups = static_cast<uint32_t *>(MSG_MALLOC(count * sizeof(uint32_t)));
    if (groups == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "no memory for the groups of pid %u.", link->pid);
        return false;
    }
    uint32_t got = count;
    if (count <= kProbe) {
        (void)memcpy(groups, probe, count * sizeof(uint32_t));
    } else if (IpcSysPeerGroups(link->fd, groups, count, &got) != 0 || got > count) {
        MSG_FREE(groups); // the groups are fixed at connect: this cannot change, but none is known then
        return true;
    }
    link->groups = groups;
    link->groupCount = got;
    return true;
}

void IpcLinkRelease(IpcLink *link) {
    if (link->refs.fetch_sub(1U, std::memory_order_acq_rel) == 1U) {
        // A link closed by its receive thread closed its share already; one
        // that never was registered, or got its share after, closes it here
        // (and its post ring, read by a test's hand, is forgotten first).
        IpcPostForget(link);
        IpcLinkShareFree(link);
        // Registered links hold a reference: this one left the poller.
        IpcSysClose(&link->fd);
        int bellFd = link->bellFd.load(std::memory_order_relaxed);
        IpcSysClose(&bellFd);
        if (link->groups != nullptr) {
            MSG_FREE(link->groups);
        }
        MSG_FREE(link);
    }
}

bool IpcLinkRegister(IpcLink *link) {
    int err = 0;
    {
        std::lock_guard<std::mutex> guard(*g_ipcLinkLock);
        if (g_ipcLinks.poller < 0) {
            return false;
        }
        link->published.store(true, std::memory_order_release);
        err = IpcSysPollerAdd(g_ipcLinks.poller, link->fd, IPC_SYS_READABLE | IPC_SYS_PEER_CLOSED, link);
        if (err == 0) {
            // The receive thread may see the link at once; it unregisters it
            // only under this lock, once it is listed.
            IpcLinkHold(link);
            IpcLinkList(link);
        }
    }
    if (err != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "connection set-up error[%d].", -err);
        return false;
    }
    return true;
}

void IpcLinkUnregister(IpcLink *link) {
    {
        std::lock_guard<std::mutex> guard(*g_ipcLinkLock);
        if (!link->registered) {
            return;
        }
        IpcSysPollerRemove(g_ipcLinks.poller, link->fd);
        IpcLinkUnlist(link);
    }
    IpcLinkRelease(link);
}

void IpcLinkWatch(IpcLink *link, bool reading) {
    std::lock_guard<std::mutex> guard(*g_ipcLinkLock);
    if (link->registered) {
        // A link that is not read is told of its peer closing once: the
        // hang-up would otherwise be reported on every wait until it is read.
        (void)IpcSysPollerChange(g_ipcLinks.poller, link->fd,
                                 reading ? IPC_SYS_READABLE | IPC_SYS_PEER_CLOSED : IPC_SYS_PEER_CLOSED | IPC_SYS_ONCE,
                                 link);
    }
}

void IpcLinkNoteRequest(IpcLink *link) {
    g_ipcLinkRequests += 1U;
    link->requestSeq.store(g_ipcLinkRequests, std::memory_order_relaxed);
}

IpcLink *IpcLinkFindAnswerLink(uint32_t pid) {
    std::lock_guard<std::mutex> guard(*g_ipcLinkLock);
    IpcLink *best = nullptr;
    for (IpcLink *link = *IpcLinkBucket(pid); link != nullptr; link = link->pidNext) {
        if (link->pid == pid && (best == nullptr || link->requestSeq.load(std::memory_order_relaxed) >
                                                        best->requestSeq.load(std::memory_order_relaxed))) {
            best = link;
        }
    }
    if (best != nullptr) {
        IpcLinkHold(best);
    }
    return best;
}

uint32_t IpcLinkCount(void) {
    std::lock_guard<std::mutex> guard(*g_ipcLinkLock);
    return g_ipcLinks.count;
}

IpcSendResult IpcLinkSendNow(IpcLink *link, struct iovec *iov, size_t iovLen, const int *fds, uint32_t fdCount) {
    int err = IpcSysSendFds(link->fd, iov, iovLen, fds, fdCount);
    switch (-err) {
    case 0:
        // Counted once it is in the socket: a post tagged with the count
        // follows it for the receiver (ipc_post.h). Only dialled links
        // carry posts.
        if (link->kind == IPC_LINK_DIALLED) {
            link->sent.fetch_add(1U, std::memory_order_release);
        }
        return IPC_SEND_OK;
    case EAGAIN:
        return IPC_SEND_FULL;
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ECONNREFUSED:
        return IPC_SEND_BROKEN;
    default:
        MSG_LOG(OS_MSG_LOG_ERROR, "sendmsg error[%d].", -err);
        return IPC_SEND_ERROR;
    }
}

void IpcLinkSendRefusal(IpcLink *link, const MsgHead *head, uint32_t code) {
    uint8_t record[IPC_FRAME_CONTROL_RECORD];
    IpcFrameSetRefusal(record, head, code);
    struct iovec iov = {record, sizeof(record)};
    if (IpcLinkSendNow(link, &iov, 1U) == IPC_SEND_FULL) {
        MSG_LOG(OS_MSG_LOG_ERROR, "refusal of request 0x%x to pid %u not sent: its socket is full.", head->msgId,
                link->pid);
    }
}

bool IpcLinkWaitRoom(IpcLink *link, uint32_t ms) {
    return IpcSysWaitWritable(link->fd, (int)ms);
}

void IpcLinkShutdown(IpcLink *link) {
    IpcSysShutdown(link->fd);
}

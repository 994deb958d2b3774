/*
 * Parking per task on the receiving side, the notices it sends and the
 * sink through which the receive thread hands over each datagram's records
 * (see ipc_link_park.h). Receive thread only; g_ipcParkedLinks is its list
 * of links that hold messages back or owe a notice.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_link_park.h"

#include <cstring>

#include "base/msg_alloc.h"
#include "base/msg_names.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/msg_adp_buff.h"
#include "transport/unix/ipc_peer_cache.h"

namespace {

IpcLink *g_ipcParkedLinks = nullptr;

/* Bytes a parked message counts against its link's bound. */
uint64_t IpcParkCost(const IpcParkedMsg *msg) {
    return (uint64_t)msg->bufLen + sizeof(IpcParkedMsg);
}

void IpcParkList(IpcLink *link) {
    if (!link->recv.listed) {
        link->recv.listed = true;
        link->recv.next = g_ipcParkedLinks;
        g_ipcParkedLinks = link;
    }
}

void IpcParkUnlist(IpcLink *link) {
    if (!link->recv.listed) {
        return;
    }
    for (IpcLink **at = &g_ipcParkedLinks; *at != nullptr; at = &(*at)->recv.next) {
        if (*at == link) {
            *at = link->recv.next;
            break;
        }
    }
    link->recv.listed = false;
    link->recv.next = nullptr;
}

IpcPark *IpcParkFind(IpcLink *link, const char *task) {
    for (IpcPark *park = link->recv.parks; park != nullptr; park = park->next) {
        if (MsgFieldEqual(park->task, task)) {
            return park;
        }
    }
    return nullptr;
}

/* Sends link the notice kind about task now; false when its socket has no
 * room (the notice is owed). A link that has gone needs none. */
bool IpcParkNotify(IpcLink *link, uint32_t kind, const char *task) {
    uint8_t record[IPC_FRAME_CONTROL_RECORD];
    IpcFrameSetControl(record, kind, task, 0U);
    struct iovec iov = {record, sizeof(record)};
    return IpcLinkSendNow(link, &iov, 1U) != IPC_SEND_FULL;
}

/* Removes park from link (it is empty and owes nothing). */
void IpcParkFree(IpcLink *link, IpcPark *park) {
    for (IpcPark **at = &link->recv.parks; *at != nullptr; at = &(*at)->next) {
        if (*at == park) {
            *at = park->next;
            break;
        }
    }
    MSG_FREE(park);
}

/* A park whose last message left: tells the sender the task has room, or
 * owes it that; frees the park once nothing is owed. */
void IpcParkEmptied(IpcLink *link, IpcPark *park) {
    if (park->fullSent && !IpcParkNotify(link, IPC_CONTROL_TASK_ROOM, park->task)) {
        link->recv.owesNotice = true;
        return;
    }
    IpcParkFree(link, park);
}

IpcParkedMsg *IpcParkTake(IpcLink *link, IpcPark *park) {
    IpcParkedMsg *msg = park->first;
    park->first = msg->next;
    if (park->first == nullptr) {
        park->last = nullptr;
    }
    park->count -= 1U;
    park->bytes -= IpcParkCost(msg);
    link->recv.parkedMsgs -= 1U;
    link->recv.parkedBytes -= IpcParkCost(msg);
    return msg;
}

/* Holds the message back on link behind the others for its task, telling
 * the sender the task is full when the park reaches its notice size. Takes
 * buf. */
void IpcParkAdd(IpcLink *link, IpcPark *park, int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen,
                uint32_t pid, uint32_t uid) {
    auto *msg = static_cast<IpcParkedMsg *>(MSG_MALLOC(sizeof(IpcParkedMsg)));
    if (park == nullptr && msg != nullptr) {
        park = static_cast<IpcPark *>(MSG_CALLOC(1U, sizeof(IpcPark)));
        if (park != nullptr) {
            std::memcpy(park->task, head->recvTaskName, sizeof(park->task));
            park->next = link->recv.parks;
            link->recv.parks = park;
        }
    }
    if (msg == nullptr || park == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "no memory to hold a message for task [%.16s] back, dropped.", head->recvTaskName);
        MSG_FREE(msg);
        MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
        return;
    }
    msg->next = nullptr;
    msg->transType = transType;
    msg->pid = pid;
    msg->uid = uid;
    std::memcpy(&msg->head, head, sizeof(msg->head));
    msg->buf = buf;
    msg->bufLen = buf != nullptr ? bufLen : 0U;
    (park->last != nullptr ? park->last->next : park->first) = msg;
    park->last = msg;
    park->count += 1U;
    park->bytes += IpcParkCost(msg);
    link->recv.parkedMsgs += 1U;
    link->recv.parkedBytes += IpcParkCost(msg);
    IpcParkList(link);
    if (!park->fullSent && (park->count >= IPC_PARK_NOTICE_MSGS || park->bytes >= IPC_PARK_NOTICE_BYTES)) {
        park->fullSent = true;
        if (!IpcParkNotify(link, IPC_CONTROL_TASK_FULL, park->task)) {
            // The sender learns it from the next refusal or, if it ignores
            // the bound, from its link not being read.
            park->fullSent = false;
        }
    }
    if (!link->recv.heldBack &&
        (link->recv.parkedMsgs >= IPC_LINK_PARK_MSGS || link->recv.parkedBytes >= IPC_LINK_PARK_BYTES)) {
        link->recv.heldBack = true;
        IpcLinkWatch(link, false);
    }
}

/* A message that came on an accepted link. */
void IpcParkOnMessage(IpcFrameSink *sink, int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen,
                      uint32_t refusal) {
    auto *link = static_cast<IpcLink *>(sink->owner);
    if (transType == (int32_t)MSG_TRANS_SYN_RESP) {
        MSG_LOG(OS_MSG_LOG_ERROR, "bad datagram from pid %u: %s.", sink->pid, "answer on a connection for requests");
        MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
        return;
    }
    if (transType == (int32_t)MSG_TRANS_SYN) {
        IpcLinkNoteRequest(link); // its answer goes back on this link
    }
    IpcPark *park = IpcParkFind(link, head->recvTaskName);
    if (park == nullptr || park->count == 0U) {
        uint32_t ret = refusal;
        if (ret == OS_MSG_OK) {
            ret = IpcFrameDeliver(transType, head, buf, bufLen, sink->pid, sink->uid, true);
        } else if (ret != OS_MSG_ERR_FULL) {
            MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
        }
        if (ret != OS_MSG_ERR_FULL) {
            return; // delivered, or dropped with its log line
        }
    }
    IpcParkAdd(link, park, transType, head, buf, bufLen, sink->pid, sink->uid);
    sink->direct = link->recv.parks == nullptr;
}

/* An answer that came on a dialled link. */
void IpcParkOnAnswer(IpcFrameSink *sink, int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen,
                     uint32_t refusal) {
    if (transType != (int32_t)MSG_TRANS_SYN_RESP || refusal != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "bad datagram from pid %u: %s.", sink->pid, "message on a connection for answers");
        MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
        return;
    }
    (void)IpcFrameDeliver(transType, head, buf, bufLen, sink->pid, sink->uid, false);
}

void IpcParkOnControl(IpcFrameSink *sink, const IpcFrameControl *control, uint32_t kind) {
    auto *link = static_cast<IpcLink *>(sink->owner);
    if (kind == IPC_CONTROL_ABORT) {
        IpcFrameDropPartial(rebuildEntry, link->id, control->arg);
    } else if (link->kind == IPC_LINK_DIALLED) {
        IpcPeerNotice(link, kind, control->task);
    } else {
        MSG_LOG(OS_MSG_LOG_ERROR, "bad datagram from pid %u: %s.", sink->pid, "notice on a connection for requests");
    }
}

/* Drops every message of park, for a task that is gone. */
void IpcParkDropAll(IpcLink *link, IpcPark *park) {
    MSG_LOG(OS_MSG_LOG_ERROR, "%u messages held for task [%.16s] dropped: no such task.", park->count, park->task);
    while (park->count != 0U) {
        IpcParkedMsg *msg = IpcParkTake(link, park);
        MsgReleaseBuffByHead(&msg->head, IPC_FRAME_HEAD_LEN, msg->buf, msg->bufLen);
        MSG_FREE(msg);
    }
}

/* Tasks found full during one retry, so that their other parks are skipped;
 * past kIpcParkFullSeen names a full task is just asked again. */
constexpr uint32_t kIpcParkFullSeen = 32U;

struct IpcParkPass {
    char full[kIpcParkFullSeen][OS_MSG_NAME_LEN];
    uint32_t fullCount;
    bool moved;
};

bool IpcParkSeenFull(const IpcParkPass &pass, const char *task) {
    for (uint32_t i = 0U; i < pass.fullCount; ++i) {
        if (MsgFieldEqual(pass.full[i], task)) {
            return true;
        }
    }
    return false;
}

void IpcParkMarkFull(IpcParkPass &pass, const char *task) {
    if (pass.fullCount < kIpcParkFullSeen) {
        std::memcpy(pass.full[pass.fullCount], task, OS_MSG_NAME_LEN);
        pass.fullCount += 1U;
    }
}

/* The queue of park's task did not take its first message: the task is
 * gone (its park is dropped) or full (skipped for the rest of the pass). */
void IpcParkRefused(IpcLink *link, IpcPark *park, IpcParkPass &pass) {
    const MsgNameCopy task(park->task);
    if (SimpleMsgQueueRoom(task.text) == SIMPLE_MSG_ROOM_GONE) {
        IpcParkDropAll(link, park);
        pass.moved = true;
    } else {
        IpcParkMarkFull(pass, park->task);
    }
}

/* Moves the first message of park, a request or a subscription message,
 * into its queue, if the queue takes it. */
void IpcParkMoveOne(IpcLink *link, IpcPark *park, IpcParkPass &pass) {
    const MsgNameCopy task(park->task);
    if (SimpleMsgQueueRoom(task.text) != SIMPLE_MSG_ROOM_FREE) {
        IpcParkRefused(link, park, pass); // asked first: a refused push would log
        return;
    }
    IpcParkedMsg *msg = park->first;
    uint32_t ret = IpcFrameDeliver(msg->transType, &msg->head, msg->buf, msg->bufLen, msg->pid, msg->uid, true);
    if (ret == OS_MSG_ERR_FULL) {
        IpcParkMarkFull(pass, park->task);
        return;
    }
    MSG_FREE(IpcParkTake(link, park)); // its buffer went to the queue, or was released with the refusal
    pass.moved = true;
}

/* Moves the asynchronous messages at the front of park (as many as one
 * hand-over takes, of one sender) into their queue, while it takes them. */
void IpcParkMoveRun(IpcLink *link, IpcPark *park, IpcParkPass &pass) {
    MsgHead heads[MSG_ADP_BATCH_MAX];
    void *bufs[MSG_ADP_BATCH_MAX];
    uint32_t lens[MSG_ADP_BATCH_MAX];
    const IpcParkedMsg *first = park->first;
    uint32_t n = 0U;
    for (const IpcParkedMsg *msg = first; msg != nullptr && n < MSG_ADP_BATCH_MAX; msg = msg->next, ++n) {
        if (msg->transType != (int32_t)MSG_TRANS_ASYN || msg->pid != first->pid || msg->uid != first->uid) {
            break;
        }
        heads[n] = msg->head; // delivery rewrites the copy; the parked header stays as received
        bufs[n] = msg->buf;
        lens[n] = msg->bufLen;
    }
    uint32_t taken = MsgAdpTransactBatchQuiet(heads, bufs, lens, n, first->pid, first->uid);
    for (uint32_t i = 0U; i < taken; ++i) {
        MSG_FREE(IpcParkTake(link, park)); // its buffer belongs to the queue
    }
    if (taken == 0U) {
        IpcParkRefused(link, park, pass);
    } else if (taken < n) {
        IpcParkMarkFull(pass, park->task);
    }
    pass.moved = pass.moved || taken != 0U;
}

/* Moves what park's queue takes of its front, unless the task was found
 * full in this pass. */
void IpcParkMove(IpcLink *link, IpcPark *park, IpcParkPass &pass) {
    if (IpcParkSeenFull(pass, park->task)) {
        return;
    }
    if (park->first->transType == (int32_t)MSG_TRANS_ASYN) {
        IpcParkMoveRun(link, park, pass);
    } else {
        IpcParkMoveOne(link, park, pass);
    }
}

/* One round over link's parks: at most one hand-over each. */
void IpcParkRound(IpcLink *link, IpcParkPass &pass) {
    IpcPark *next = nullptr;
    for (IpcPark *park = link->recv.parks; park != nullptr; park = next) {
        next = park->next;
        if (park->count != 0U) {
            IpcParkMove(link, park, pass);
        }
        if (park->count == 0U) {
            IpcParkEmptied(link, park);
        }
    }
}

/* After the rounds: owed notices, a held-back link read again, a link
 * that holds nothing more off the list. */
void IpcParkSettle(IpcLink *link) {
    link->recv.owesNotice = false;
    IpcPark *next = nullptr;
    for (IpcPark *park = link->recv.parks; park != nullptr; park = next) {
        next = park->next;
        if (park->count == 0U) {
            IpcParkEmptied(link, park);
        }
    }
    if (link->recv.heldBack && link->recv.parkedMsgs <= IPC_LINK_PARK_MSGS / 2U &&
        link->recv.parkedBytes <= IPC_LINK_PARK_BYTES / 2U) {
        link->recv.heldBack = false;
        IpcLinkWatch(link, true);
    }
    if (link->recv.parks == nullptr) {
        IpcParkUnlist(link);
    }
}

/* The link served first goes last: a queue that takes one message per retry
 * takes it from each link in turn. */
void IpcParkRotate() {
    IpcLink *first = g_ipcParkedLinks;
    if (first == nullptr || first->recv.next == nullptr) {
        return;
    }
    g_ipcParkedLinks = first->recv.next;
    IpcLink *last = g_ipcParkedLinks;
    while (last->recv.next != nullptr) {
        last = last->recv.next;
    }
    last->recv.next = first;
    first->recv.next = nullptr;
}

} // namespace

void IpcParkSinkInit(IpcFrameSink *sink, IpcLink *link, uint32_t pid, uint32_t uid) {
    bool accepted = link->kind == IPC_LINK_ACCEPTED;
    sink->message = accepted ? IpcParkOnMessage : IpcParkOnAnswer;
    sink->control = IpcParkOnControl;
    sink->pid = pid;
    sink->uid = uid;
    sink->link = link->id;
    sink->direct = accepted && link->recv.parks == nullptr;
    sink->owner = link;
}

void IpcParkRetry(void) {
    IpcParkPass pass;
    pass.fullCount = 0U;
    do {
        pass.moved = false;
        for (IpcLink *link = g_ipcParkedLinks; link != nullptr; link = link->recv.next) {
            IpcParkRound(link, pass);
        }
    } while (pass.moved);
    IpcLink *next = nullptr;
    for (IpcLink *link = g_ipcParkedLinks; link != nullptr; link = next) {
        next = link->recv.next;
        IpcParkSettle(link);
    }
    IpcParkRotate();
}

bool IpcParkPending(void) {
    return g_ipcParkedLinks != nullptr;
}

void IpcParkDropLink(IpcLink *link) {
    while (IpcPark *park = link->recv.parks) {
        while (park->count != 0U) {
            IpcParkedMsg *msg = IpcParkTake(link, park);
            MsgReleaseBuffByHead(&msg->head, IPC_FRAME_HEAD_LEN, msg->buf, msg->bufLen);
            MSG_FREE(msg);
        }
        link->recv.parks = park->next;
        MSG_FREE(park);
    }
    link->recv.heldBack = false;
    link->recv.owesNotice = false;
    IpcParkUnlist(link);
}

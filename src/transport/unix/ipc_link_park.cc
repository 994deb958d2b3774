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
#include "base/msg_cpu_relax.h"
#include "base/msg_monotonic.h"
#include "base/msg_names.h"
#include "base/msg_result_code.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/msg_adp_buff.h"
#include "transport/unix/ipc_cargo_recv.h"
#include "transport/unix/ipc_link_gate.h"
#include "transport/unix/ipc_peer_cache.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

IpcLink *g_ipcParkedLinks = nullptr;

/* Chunks given back, kept for the next parks: a stream into a full queue
 * parks and moves thousands of messages a second, and a chunk from the
 * allocator each time cost more than the parking. Trimmed once nothing has
 * been held back for a retry period (IpcParkTrim). */
constexpr uint32_t kIpcParkSpareChunks = 128U;
IpcParkChunk *g_ipcParkSpare = nullptr;
uint32_t g_ipcParkSpareCount = 0U;

IpcParkChunk *IpcParkChunkGet() {
    IpcParkChunk *chunk = g_ipcParkSpare;
    if (chunk != nullptr) {
        g_ipcParkSpare = chunk->next;
        g_ipcParkSpareCount -= 1U;
        return chunk;
    }
    return static_cast<IpcParkChunk *>(MSG_MALLOC(sizeof(IpcParkChunk)));
}

/* One of link's messages left it (to its queue, or refused): once its peer
 * is gone, its tasks are still taking its messages (IpcParkToClose). */
void IpcParkNoteTaken(IpcLink *link) {
    if (link->recv.peerGone) {
        link->recv.goneNs = MsgMonotonicNs();
    }
}

void IpcParkChunkPut(IpcParkChunk *chunk) {
    if (g_ipcParkSpareCount >= kIpcParkSpareChunks) {
        MSG_FREE(chunk);
        return;
    }
    chunk->next = g_ipcParkSpare;
    g_ipcParkSpare = chunk;
    g_ipcParkSpareCount += 1U;
}

/* Has the poller watch link for data (reading) or only for hang-up, when
 * that changes. */
void IpcParkWatch(IpcLink *link, bool reading) {
    if (link->recv.unwatched == reading) {
        link->recv.unwatched = !reading;
        IpcLinkWatch(link, reading);
    }
}

/* Bytes a held message counts against its link's bound: its payload copy,
 * not a shared buffer it lies in. Reads no cargo: it is asked again after
 * the message moved into its queue, whose task may have released it. */
uint64_t IpcParkCost(const IpcParkedMeta &meta) {
    return (meta.payloadInCargo ? 0U : (uint64_t)meta.bufLen) + sizeof(MsgHead) + sizeof(IpcParkedMeta);
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

/* After messages of park left: the sender hears "room" once the park has
 * drained to half its notice size (or is owed it), so that it sends again
 * while the park still feeds the queue; an empty park that owes nothing
 * goes. */
void IpcParkDrained(IpcLink *link, IpcPark *park) {
    if (park->fullSent && park->count <= IPC_PARK_NOTICE_MSGS / 2U && park->bytes <= IPC_PARK_NOTICE_BYTES / 2U) {
        if (IpcParkNotify(link, IPC_CONTROL_TASK_ROOM, park->task)) {
            park->fullSent = false;
        } else {
            link->recv.owesNotice = true;
        }
    }
    if (park->count == 0U && !park->fullSent) {
        IpcParkFree(link, park);
    }
}

/* Lets the n oldest messages of park go (delivered, or released by the
 * caller), giving back a chunk once all of it is gone. */
void IpcParkTake(IpcLink *link, IpcPark *park, uint32_t n) {
    IpcParkChunk *chunk = park->first;
    for (uint32_t i = 0U; i < n; ++i) {
        uint64_t cost = IpcParkCost(chunk->meta[chunk->first + i]);
        park->bytes -= cost;
        link->recv.parkedBytes -= cost;
    }
    chunk->first += n;
    park->count -= n;
    link->recv.parkedMsgs -= n;
    IpcParkNoteTaken(link);
    if (chunk->first == chunk->end) {
        park->first = chunk->next;
        if (park->first == nullptr) {
            park->last = nullptr;
        }
        IpcParkChunkPut(chunk);
    }
}

/* Releases the payload (and cargo) of park's oldest message and lets it
 * go. */
void IpcParkDropOne(IpcLink *link, IpcPark *park) {
    IpcParkChunk *chunk = park->first;
    const IpcParkedMeta &meta = chunk->meta[chunk->first];
    if (meta.cargo != nullptr) {
        IpcCargoDrop(&chunk->heads[chunk->first], meta.buf, meta.bufLen, meta.cargo);
    } else {
        MsgReleaseBuffByHead(&chunk->heads[chunk->first], IPC_FRAME_HEAD_LEN, meta.buf, meta.bufLen);
    }
    IpcParkTake(link, park, 1U);
}

/* A new park of link for head's task, or NULL without memory. */
IpcPark *IpcParkOpen(IpcLink *link, const MsgHead *head) {
    auto *park = static_cast<IpcPark *>(MSG_CALLOC(1U, sizeof(IpcPark)));
    if (park != nullptr) {
        std::memcpy(park->task, head->recvTaskName, sizeof(park->task));
        park->next = link->recv.parks;
        link->recv.parks = park;
    }
    return park;
}

/* The chunk where park's next message goes, NULL without memory. */
IpcParkChunk *IpcParkTail(IpcPark *park) {
    if (park->last != nullptr && park->last->end < IPC_PARK_CHUNK) {
        return park->last;
    }
    IpcParkChunk *chunk = IpcParkChunkGet();
    if (chunk != nullptr) {
        chunk->next = nullptr;
        chunk->first = 0U;
        chunk->end = 0U;
        (park->last != nullptr ? park->last->next : park->first) = chunk;
        park->last = chunk;
    }
    return chunk;
}

/* The one line of a task that stays full (its sender was just told, and
 * its sends are refused from now on), at most once per
 * MSG_TUNE_RECV_FULL_LOG_MS per link: the refusals before it are flow
 * control and logged at DEBUG only. */
void IpcParkLogFull(IpcLink *link, const IpcPark *park) {
    const uint64_t now = MsgMonotonicNs();
    if (link->recv.fullLoggedNs != 0U && now - link->recv.fullLoggedNs < MSG_TUNE_RECV_FULL_LOG_MS * 1000000ULL) {
        return;
    }
    link->recv.fullLoggedNs = now;
    MSG_LOG(OS_MSG_LOG_ERROR,
            "task[%.16s] is full: %u messages from pid %u wait for it and their sender is told to hold back; a "
            "longer queue (a byte bound rather than a short length) or a faster task keeps up.",
            park->task, park->count, link->pid);
}

/* After a message was added: the sender is told the task is full when the
 * park reaches its notice size, and the link is no longer read past its
 * bound. */
void IpcParkAdded(IpcLink *link, IpcPark *park) {
    IpcParkList(link);
    if (!park->fullSent && (park->count >= IPC_PARK_NOTICE_MSGS || park->bytes >= IPC_PARK_NOTICE_BYTES)) {
        park->fullSent = true;
        if (!IpcParkNotify(link, IPC_CONTROL_TASK_FULL, park->task)) {
            // The sender learns it from the next refusal or, if it ignores
            // the bound, from its link not being read.
            park->fullSent = false;
        } else {
            IpcParkLogFull(link, park);
        }
    }
    if (!link->recv.heldBack && (link->recv.parkedMsgs >= IPC_LINK_PARK_MSGS ||
                                 link->recv.parkedBytes >= IPC_LINK_PARK_BYTES || link->recv.fdsCrowded)) {
        link->recv.heldBack = true;
        IpcParkWatch(link, false);
    }
}

/* Holds the message back on link behind the others for its task. An
 * asynchronous message or request without cargo is made ready for its
 * queue now, so that it moves in with the others later. Takes buf and the
 * sink's offered cargo. */
void IpcParkAdd(IpcLink *link, IpcPark *park, IpcFrameSink *sink, int32_t transType, const MsgHead *head, void *buf,
                uint32_t bufLen) {
    park = park != nullptr ? park : IpcParkOpen(link, head);
    IpcParkChunk *chunk = park != nullptr ? IpcParkTail(park) : nullptr;
    if (chunk == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "no memory to hold a message for task [%.16s] back, dropped.", head->recvTaskName);
        IpcCargoDropOffered(sink, head, buf, bufLen);
        return;
    }
    const uint32_t at = chunk->end++;
    MsgHead *slot = &chunk->heads[at];
    std::memcpy(slot, head, sizeof(*slot));
    IpcParkedMeta &meta = chunk->meta[at];
    meta = {transType, sink->pid, sink->uid, buf != nullptr ? bufLen : 0U, buf, sink->offered, false, false};
    meta.payloadInCargo = MsgCargoIsPayload(meta.cargo);
    sink->offered = nullptr;
    if (meta.cargo == nullptr && (transType == (int32_t)MSG_TRANS_ASYN || transType == (int32_t)MSG_TRANS_SYN)) {
        meta.ready = MsgAdpPrepareQueued(slot, buf, meta.bufLen, sink->pid, sink->uid);
    }
    uint64_t cost = IpcParkCost(meta);
    park->count += 1U;
    park->bytes += cost;
    link->recv.parkedMsgs += 1U;
    link->recv.parkedBytes += cost;
    if (meta.cargo != nullptr && meta.cargo->fdCount != 0U) {
        meta.cargo->flags |= MSG_CARGO_HELD_BACK; // its descriptors are in: its queue takes it when it has room
    }
    if (meta.cargo != nullptr && meta.cargo->fdCount != 0U && !link->recv.fdsCrowded && MsgCargoFdsCrowded()) {
        // Each datagram read could bring more: none is, until the tasks
        // have taken or closed enough of those that wait.
        link->recv.fdsCrowded = true;
        MSG_LOG(OS_MSG_LOG_ERROR,
                "messages from pid %u not read while %u descriptors wait for this process's tasks, more than a "
                "quarter of its descriptor limit; " MSG_CARGO_FDS_HELP ".",
                link->pid, MsgCargoFdsHeld());
    }
    IpcParkAdded(link, park);
}

/* A message the receive entry refused with code (not for a full queue): a
 * request is refused back to its requester at once, on the link it came
 * on, so that its call ends with code instead of its time-out; an
 * asynchronous message for a task this process does not have is dropped
 * with a line (its sender cannot know without a round trip). */
void IpcParkRefuseMessage(IpcLink *link, int32_t transType, const MsgHead *head, uint32_t pid, uint32_t code) {
    if (transType == (int32_t)MSG_TRANS_SYN) {
        MSG_LOG(OS_MSG_LOG_ERROR, "request 0x%x from [%.16s/%.16s] pid %u refused: " MSG_CODE_FMT, head->msgId,
                head->sendProcName, head->sendTaskName, pid, MSG_CODE_ARGS(code));
        IpcLinkSendRefusal(link, head, code);
    } else if (code == OS_MSG_ERR_NOT_FOUND) {
        MSG_LOG(OS_MSG_LOG_ERROR, "message 0x%x from [%.16s/%.16s] pid %u dropped: no task [%.16s] here.", head->msgId,
                head->sendProcName, head->sendTaskName, pid, head->recvTaskName);
    }
}

/* Whether link's peer runs on none of this thread's processors (the yields
 * before a pause, MSG_TUNE_RECV_ROOM_YIELDS), asked of the kernel again
 * once the last answer is MSG_TUNE_RECV_APART_CHECK_MS old. */
bool IpcParkPeerApart(IpcLink *link) {
    const uint64_t now = MsgMonotonicNs();
    if (link->recv.apartNs == 0U || now - link->recv.apartNs >= MSG_TUNE_RECV_APART_CHECK_MS * 1000000ULL) {
        link->recv.peerApart = IpcSysCpusApart(link->pid);
        link->recv.apartNs = now;
    }
    return link->recv.peerApart;
}

/* A message that came on an accepted link: to its queue, or, when the
 * queue is full or the task's messages are held back already, parked. The
 * first message a full queue refuses instead stops the datagram when the
 * link may pause (the rest waits with the link, as it came). */
bool IpcParkOnMessage(IpcFrameSink *sink, int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen,
                      uint32_t refusal, bool canStop) {
    auto *link = static_cast<IpcLink *>(sink->owner);
    if (transType == (int32_t)MSG_TRANS_SYN_RESP) {
        IpcFrameLogBad(sink, "datagram", "answer on a connection for requests");
        IpcCargoDropOffered(sink, head, buf, bufLen);
        return true;
    }
    if (!IpcGateAdmit(link, transType, head)) {
        IpcCargoDropOffered(sink, head, buf, bufLen); // with its descriptors and shared buffer, when it has them
        return true;
    }
    if (transType == (int32_t)MSG_TRANS_SYN) {
        IpcLinkNoteRequest(link); // its answer goes back on this link, whenever it is delivered
    }
    IpcPark *park = IpcParkFind(link, head->recvTaskName);
    if (park == nullptr || park->count == 0U) {
        uint32_t ret = refusal;
        if (ret == OS_MSG_OK && sink->offered != nullptr) {
            ret = IpcCargoDeliver(transType, head, buf, bufLen, sink->pid, sink->uid, true, sink->offered);
            // From a peer on other processors, the thread a yield runs is
            // one of this process's, usually the task's loop working its
            // queue down: the buffer is offered again once the queue shows
            // room (looked at quietly, so no refusal is logged twice).
            for (uint32_t look = 0U; ret == OS_MSG_ERR_FULL && look < MSG_TUNE_RECV_ROOM_YIELDS &&
                                     IpcParkPeerApart(link) && MsgYieldFoundWork();
                 ++look) {
                if (SimpleMsgQueueRoom(head->recvTaskName) == SIMPLE_MSG_ROOM_FREE) {
                    ret = IpcCargoDeliver(transType, head, buf, bufLen, sink->pid, sink->uid, true, sink->offered);
                }
            }
            sink->offered = ret == OS_MSG_ERR_FULL ? sink->offered : nullptr;
        } else if (ret == OS_MSG_OK) {
            ret = IpcFrameDeliver(transType, head, buf, bufLen, sink->pid, sink->uid, true);
        } else if (ret != OS_MSG_ERR_FULL) {
            MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
        }
        if (ret != OS_MSG_OK && ret != OS_MSG_ERR_FULL) {
            IpcParkRefuseMessage(link, transType, head, sink->pid, ret);
        }
        if (ret != OS_MSG_ERR_FULL) {
            IpcParkNoteTaken(link);
            return true; // delivered, or refused
        }
        if (canStop && !link->recv.slow) {
            link->recv.pauseWanted = true;
            sink->direct = false;
            return false;
        }
    }
    link->recv.pauseWanted = true; // a slow task: parked, a datagram per pause
    IpcParkAdd(link, park, sink, transType, head, buf, bufLen);
    sink->direct = link->recv.parks == nullptr;
    return true;
}

/* An answer that came on a dialled link. */
bool IpcParkOnAnswer(IpcFrameSink *sink, int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen,
                     uint32_t refusal, bool) {
    if (transType != (int32_t)MSG_TRANS_SYN_RESP || refusal != OS_MSG_OK || sink->offered != nullptr) {
        IpcFrameLogBad(sink, "datagram", "message on a connection for answers");
        IpcCargoDropOffered(sink, head, buf, bufLen);
        return true;
    }
    (void)IpcFrameDeliver(transType, head, buf, bufLen, sink->pid, sink->uid, false);
    return true;
}

void IpcParkOnControl(IpcFrameSink *sink, const IpcFrameControl *control, uint32_t kind) {
    auto *link = static_cast<IpcLink *>(sink->owner);
    if (kind == IPC_CONTROL_ABORT) {
        IpcFrameDropPartial(rebuildEntry, link->id, control->arg);
    } else if (kind == IPC_CONTROL_REFUSED && link->kind == IPC_LINK_DIALLED) {
        // One of this process's calls ends with the code (one of the
        // library's error codes: the framing lets no other through).
        (void)SimpleMsgRefuseResp(control->requester, control->msgId, control->arg);
    } else if (link->kind == IPC_LINK_DIALLED) {
        IpcPeerNotice(link, kind, control->task);
    } else {
        IpcFrameLogBad(sink, "datagram", "notice on a connection for requests");
    }
}

/* Drops every message of park, for a task that is gone; the requests
 * among them are refused back to their requesters. */
void IpcParkDropAll(IpcLink *link, IpcPark *park) {
    MSG_LOG(OS_MSG_LOG_ERROR, "%u messages held for task [%.16s] dropped: no such task.", park->count, park->task);
    while (park->count != 0U) {
        const IpcParkChunk *chunk = park->first;
        const IpcParkedMeta &meta = chunk->meta[chunk->first];
        if (meta.transType == (int32_t)MSG_TRANS_SYN) {
            IpcParkRefuseMessage(link, meta.transType, &chunk->heads[chunk->first], meta.pid, OS_MSG_ERR_NOT_FOUND);
        }
        IpcParkDropOne(link, park);
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
 * gone (its park is dropped) or full (skipped for the rest of the pass;
 * its loop is asked for the room hook, since no refused push asked). */
void IpcParkRefused(IpcLink *link, IpcPark *park, IpcParkPass &pass) {
    const MsgNameCopy task(park->task);
    if (SimpleMsgAskRoom(task.text) == SIMPLE_MSG_ROOM_GONE) { // else the room hook comes
        IpcParkDropAll(link, park);
        pass.moved = true;
    } else {
        IpcParkMarkFull(pass, park->task);
    }
}

/* Moves the oldest message of park, one that is not ready for its queue,
 * into it through the receive entry, if the queue takes it. */
void IpcParkMoveOne(IpcLink *link, IpcPark *park, IpcParkPass &pass) {
    const MsgNameCopy task(park->task);
    if (SimpleMsgQueueRoom(task.text) != SIMPLE_MSG_ROOM_FREE) {
        IpcParkRefused(link, park, pass); // asked first: a refused push would log
        return;
    }
    IpcParkChunk *chunk = park->first;
    MsgHead *head = &chunk->heads[chunk->first];
    const IpcParkedMeta &meta = chunk->meta[chunk->first];
    uint32_t ret =
        meta.cargo != nullptr
            ? IpcCargoDeliver(meta.transType, head, meta.buf, meta.bufLen, meta.pid, meta.uid, true, meta.cargo)
            : IpcFrameDeliver(meta.transType, head, meta.buf, meta.bufLen, meta.pid, meta.uid, true);
    if (ret == OS_MSG_ERR_FULL) {
        IpcParkMarkFull(pass, park->task);
        return;
    }
    IpcParkTake(link, park, 1U); // its buffer went to the queue, or was released with the refusal
    pass.moved = true;
}

/* Moves the ready messages at the front of park's oldest chunk into their
 * queue together, as many as it takes (a queue that takes no more stops
 * them without a refusal logged or counted). */
void IpcParkMoveReady(IpcLink *link, IpcPark *park, IpcParkPass &pass) {
    IpcParkChunk *chunk = park->first;
    uint32_t n = 0U;
    while (chunk->first + n < chunk->end && chunk->meta[chunk->first + n].ready) {
        ++n;
    }
    const MsgNameCopy task(park->task);
    uint32_t taken = SimpleMsgPushBatch(task.text, &chunk->heads[chunk->first], n);
    if (taken != 0U) {
        IpcParkTake(link, park, taken); // their buffers belong to the queue
        pass.moved = true;
    }
    if (taken == 0U) {
        IpcParkRefused(link, park, pass);
    } else if (taken < n) {
        IpcParkMarkFull(pass, park->task);
    }
}

/* Moves what park's queue takes of its front, unless the task was found
 * full in this pass. */
void IpcParkMove(IpcLink *link, IpcPark *park, IpcParkPass &pass) {
    if (IpcParkSeenFull(pass, park->task)) {
        return;
    }
    if (park->first->meta[park->first->first].ready) {
        IpcParkMoveReady(link, park, pass);
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
        IpcParkDrained(link, park);
    }
}

/* Hands the rest of a datagram that link kept while paused over again;
 * what a full queue refuses again is kept again, and the link pauses. */
void IpcParkHandRest(IpcLink *link) {
    uint8_t *rest = link->recv.rest;
    uint32_t len = link->recv.restLen;
    link->recv.rest = nullptr;
    link->recv.restLen = 0U;
    IpcFrameSink sink;
    IpcParkSinkInit(&sink, link, link->recv.restPid, link->recv.restUid, link->recv.restGid);
    uint32_t handled = IpcFrameRecvDatagram(rebuildEntry, rest, len, &sink);
    if (handled < len) {
        std::memmove(rest, rest + handled, len - handled);
        link->recv.rest = rest;
        link->recv.restLen = len - handled;
    } else {
        MSG_FREE(rest);
    }
    (void)IpcParkAfterDatagram(link);
}

/* Ends link's pause: the rest it kept goes first, then it is read again,
 * unless that rest paused it again or it is held back. */
void IpcParkResume(IpcLink *link) {
    if (!link->recv.paused) {
        return;
    }
    link->recv.paused = false;
    if (link->recv.rest != nullptr) {
        IpcParkHandRest(link);
    }
    if (!link->recv.paused && !link->recv.heldBack) {
        IpcParkWatch(link, true);
    }
}

/* After the rounds: owed notices, a paused link read again (room was
 * offered), a held-back link read again once it drained to half, a link
 * that holds nothing more off the list. */
void IpcParkSettle(IpcLink *link) {
    link->recv.slow = false; // its queue drains: the next pause ends soon too
    IpcParkResume(link);
    link->recv.owesNotice = false;
    IpcPark *next = nullptr;
    for (IpcPark *park = link->recv.parks; park != nullptr; park = next) {
        next = park->next;
        IpcParkDrained(link, park);
    }
    if (link->recv.heldBack && link->recv.parkedMsgs <= IPC_LINK_PARK_MSGS / 2U &&
        link->recv.parkedBytes <= IPC_LINK_PARK_BYTES / 2U && (!link->recv.fdsCrowded || MsgCargoFdsEased())) {
        link->recv.heldBack = false;
        link->recv.fdsCrowded = false;
        if (!link->recv.paused) {
            IpcParkWatch(link, true);
        }
    }
    // A link held back for descriptors may have no parks left: it stays
    // listed, so that the retries look at the descriptors again.
    if (link->recv.parks == nullptr && link->recv.rest == nullptr && !link->recv.paused && !link->recv.heldBack &&
        !link->recv.ended) {
        IpcParkUnlist(link); // an ended link stays listed until it is closed
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

void IpcParkSinkInit(IpcFrameSink *sink, IpcLink *link, uint32_t pid, uint32_t uid, uint32_t gid) {
    bool accepted = link->kind == IPC_LINK_ACCEPTED;
    sink->message = accepted ? IpcParkOnMessage : IpcParkOnAnswer;
    sink->control = IpcParkOnControl;
    sink->cargo = IpcCargoRecv;
    sink->fds = nullptr;
    sink->offered = nullptr;
    sink->pid = pid;
    sink->uid = uid;
    sink->link = link->id;
    // Straight to the queues only what the gate lets in without a look.
    sink->direct = accepted && IpcGateJudge(link, pid, uid, gid) && link->recv.parks == nullptr;
    sink->addressee = IpcGateName();
    sink->cpuId = IpcGateCpu();
    sink->owner = link;
    sink->badLines = &link->recv.badLines;
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

bool IpcParkTrim(void) {
    if (g_ipcParkedLinks != nullptr) {
        return false;
    }
    while (IpcParkChunk *chunk = g_ipcParkSpare) {
        g_ipcParkSpare = chunk->next;
        MSG_FREE(chunk);
    }
    g_ipcParkSpareCount = 0U;
    return true;
}

bool IpcParkSpares(void) {
    return g_ipcParkSpare != nullptr;
}

void IpcParkDropLink(IpcLink *link) {
    while (IpcPark *park = link->recv.parks) {
        while (park->count != 0U) {
            IpcParkDropOne(link, park);
        }
        link->recv.parks = park->next;
        MSG_FREE(park);
    }
    if (link->recv.rest != nullptr) {
        MSG_FREE(link->recv.rest);
        link->recv.rest = nullptr;
        link->recv.restLen = 0U;
    }
    link->recv.heldBack = false;
    link->recv.fdsCrowded = false;
    link->recv.paused = false;
    link->recv.pauseWanted = false;
    link->recv.owesNotice = false;
    IpcParkUnlist(link);
}

bool IpcParkAfterDatagram(IpcLink *link) {
    if (link->recv.pauseWanted) {
        link->recv.pauseWanted = false;
        if (!link->recv.heldBack && !link->recv.paused) {
            IpcParkList(link);
            link->recv.paused = true;
            link->recv.pauseEndNs = MsgMonotonicNs() + (uint64_t)MSG_TUNE_RECV_PAUSE_MS * 1000000ULL;
            IpcParkWatch(link, false);
        }
    }
    return link->recv.paused || link->recv.heldBack;
}

void IpcParkKeepRest(IpcLink *link, const uint8_t *data, uint32_t len, uint32_t pid, uint32_t uid, uint32_t gid) {
    auto *rest = static_cast<uint8_t *>(MSG_MALLOC(len));
    if (rest == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "no memory to keep %u bytes from pid %u, dropped.", len, pid);
        return;
    }
    std::memcpy(rest, data, len);
    link->recv.rest = rest;
    link->recv.restLen = len;
    link->recv.restPid = pid;
    link->recv.restUid = uid;
    link->recv.restGid = gid;
    IpcParkList(link);
}

void IpcParkPeerGone(IpcLink *link) {
    if (!link->recv.peerGone) {
        link->recv.peerGone = true;
        link->recv.goneNs = MsgMonotonicNs();
    }
}

bool IpcParkHolds(const IpcLink *link) {
    return link->recv.parks != nullptr || link->recv.rest != nullptr;
}

void IpcParkEnded(IpcLink *link) {
    IpcParkPeerGone(link);
    link->recv.ended = true;
    IpcParkWatch(link, false); // its end stays readable: reported once
    IpcParkList(link);
}

IpcLink *IpcParkToClose(uint64_t now) {
    const uint64_t holdNs = (uint64_t)MSG_TUNE_RECV_GONE_HOLD_MS * 1000000ULL;
    for (IpcLink *link = g_ipcParkedLinks; link != nullptr; link = link->recv.next) {
        if (link->recv.ended && !IpcParkHolds(link)) {
            return link; // everything it sent was delivered
        }
        if (link->recv.peerGone && now - link->recv.goneNs >= holdNs) {
            MSG_LOG(OS_MSG_LOG_ERROR,
                    "%u messages from pid %u dropped, and what it sent after them: it closed its connection and "
                    "their tasks took none for %u ms.",
                    link->recv.parkedMsgs, link->pid, MSG_TUNE_RECV_GONE_HOLD_MS);
            return link;
        }
    }
    return nullptr;
}

uint64_t IpcParkResumeDue(uint64_t now) {
    uint64_t next = 0U;
    for (IpcLink *link = g_ipcParkedLinks; link != nullptr; link = link->recv.next) {
        if (link->recv.paused && now >= link->recv.pauseEndNs) {
            link->recv.slow = true; // its messages are parked from now on
            IpcParkResume(link);
        } else if (link->recv.paused && (next == 0U || link->recv.pauseEndNs < next)) {
            next = link->recv.pauseEndNs;
        }
    }
    return next;
}

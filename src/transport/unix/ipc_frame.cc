/*
 * Datagram framing and the receive handling of the socket carrier (record
 * layouts in ipc_frame.h). Every length read from a datagram is checked
 * against what is left of it before any byte behind it is read.
 *
 * Thread safety: no state of its own. The receive handling runs on the
 * receive thread; the collector's lock (a leaf lock) is taken inside the
 * collector and by IpcFrameDropPartials, never together with another lock.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_frame.h"

#include <cstring>
#include <mutex>

#include "base/msg_names.h"
#include "base/msg_result_code.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "transport/msg_adapter.h"
#include "transport/msg_adp_buff.h"
#include "transport/msg_rebuild.h"

namespace {

/* One record taken apart; body points into the datagram. */
struct IpcFrameRecord {
    IpcFramePrefix prefix;
    MsgHead head;
    const uint8_t *body;
    MsgSliceTail tail;
    IpcFrameControl control;
    uint32_t length; /* bytes of the record in the datagram */
};

/* Checks the slice tail of a sliced record: NULL when it is consistent. */
const char *IpcFrameCheckTail(const IpcFrameRecord &rec) {
    if (rec.tail.isSplit == 0U) {
        return "slice tail not marked";
    }
    if (rec.tail.curLen != rec.prefix.bodyLen) {
        return "slice length differs from the record";
    }
    if (rec.head.dataLen == 0U || rec.head.dataLen > OS_MSG_MAX_DATA_LEN) {
        return "sliced payload length out of range";
    }
    return nullptr;
}

/* Takes the control record at data (remain bytes left, prefix already
 * read) apart; NULL when it is well formed. */
const char *IpcFrameParseControl(const uint8_t *data, uint32_t remain, IpcFrameRecord *rec) {
    const IpcFramePrefix &p = rec->prefix;
    if (p.flags == 0U || p.flags > IPC_CONTROL_KIND_MAX || p.reserved != 0U || p.bodyLen != IPC_FRAME_CONTROL_LEN) {
        return "bad control record";
    }
    if (remain < IPC_FRAME_CONTROL_RECORD) {
        return "short record";
    }
    std::memcpy(&rec->control, data + IPC_FRAME_PREFIX_LEN, sizeof(rec->control));
    rec->length = IPC_FRAME_CONTROL_RECORD;
    // A refusal ends a call with its code: it must be one a call can end with.
    if (p.flags == IPC_CONTROL_REFUSED && (rec->control.arg == OS_MSG_OK || !MsgCodeKnown(rec->control.arg))) {
        return "refusal without an error code";
    }
    return nullptr;
}

/* Whether head is addressed to the sink's process: its name field and CPU
 * (one comparison of the two 16-byte fields when the sender zero-padded its
 * name, as the library does). */
inline bool IpcFrameAddressed(const IpcFrameSink *sink, const MsgHead *head) {
    return sink->addressee == nullptr ||
           (head->recvCpuId == sink->cpuId && MsgFieldEqual(head->recvProcName, sink->addressee));
}

/* Takes the record at data (remain bytes left in the datagram) apart. NULL
 * when it is well formed, else the reason it is not. */
const char *IpcFrameParse(const uint8_t *data, uint32_t remain, IpcFrameRecord *rec) {
    if (remain < IPC_FRAME_PREFIX_LEN) {
        return "short record";
    }
    std::memcpy(&rec->prefix, data, sizeof(rec->prefix));
    const IpcFramePrefix &p = rec->prefix;
    if (p.magic == IPC_FRAME_MAGIC && p.transType == IPC_FRAME_CONTROL) {
        return IpcFrameParseControl(data, remain, rec);
    }
    if (remain < IPC_FRAME_RECORD_OVERHEAD) {
        return "short record";
    }
    if (p.magic != IPC_FRAME_MAGIC || p.transType < MSG_TRANS_ASYN || p.transType > MSG_TRANS_SUB_BRO ||
        (p.flags & ~IPC_FRAME_SLICED) != 0U || p.reserved != 0U) {
        return "bad record prefix";
    }
    std::memcpy(&rec->head, data + IPC_FRAME_PREFIX_LEN, IPC_FRAME_HEAD_LEN);
    rec->head.data = nullptr;
    bool sliced = (p.flags & IPC_FRAME_SLICED) != 0U;
    uint32_t room = remain - IPC_FRAME_RECORD_OVERHEAD;
    uint32_t tailLen = sliced ? IPC_FRAME_TAIL_LEN : 0U;
    if (p.bodyLen > IPC_FRAME_SLICE_MAX || room < tailLen || p.bodyLen > room - tailLen) {
        return "payload past the end of the datagram";
    }
    rec->body = data + IPC_FRAME_RECORD_OVERHEAD;
    rec->length = IPC_FRAME_RECORD_OVERHEAD + p.bodyLen + tailLen;
    if (!sliced) {
        return (p.bodyLen == rec->head.dataLen) ? nullptr : "payload length differs from the header";
    }
    std::memcpy(&rec->tail, rec->body + p.bodyLen, IPC_FRAME_TAIL_LEN);
    return IpcFrameCheckTail(*rec);
}

/* A sink's refusal to take a message now: its buffer goes back, the
 * record is handed over again later. */
bool IpcFrameOffer(IpcFrameSink *sink, int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen,
                   uint32_t refusal) {
    if (sink->message(sink, transType, head, buf, bufLen, refusal, true)) {
        return true;
    }
    MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
    return false;
}

/* A whole record's payload into a buffer of its own, offered to the sink:
 * false when the sink stopped before it. */
bool IpcFrameRecvWhole(IpcFrameRecord &rec, IpcFrameSink *sink) {
    void *buf = nullptr;
    uint32_t bufLen = 0U;
    if (rec.prefix.bodyLen != 0U) {
        uint32_t ret = MsgGetBuffByHead(&rec.head, IPC_FRAME_HEAD_LEN, &buf, &bufLen);
        if (ret != OS_MSG_OK || buf == nullptr) {
            // MsgGetBuffByHead logged it; the message is lost.
            return true;
        }
        std::memcpy(buf, rec.body, bufLen);
    }
    return IpcFrameOffer(sink, (int32_t)rec.prefix.transType, &rec.head, buf, bufLen, OS_MSG_OK);
}

/* Key of a message under reassembly: the connection it came on and the low
 * half of its sender's key. */
uint64_t IpcFrameKey(uint32_t link, uint64_t key) {
    return ((uint64_t)link << 32U) | (key & 0xFFFFFFFFULL);
}

/* One slice into the collector; the completed message goes to the sink. */
void IpcFrameRecvSlice(rebuildmsg::MsgRebuildRecvData *collector, IpcFrameRecord &rec, IpcFrameSink *sink) {
    rec.tail.flag = IpcFrameKey(sink->link, rec.tail.flag);
    unsigned char *buf = nullptr;
    unsigned int bufLen = 0U;
    unsigned char done = 0U;
    unsigned int offset = 0U;
    unsigned int curLen = 0U;
    uint32_t ret =
        collector->RebuildMsg(reinterpret_cast<unsigned char *>(&rec.head), IPC_FRAME_HEAD_LEN,
                              reinterpret_cast<unsigned char *>(&rec.tail), &buf, &bufLen, &done, &offset, &curLen);
    if (ret != OS_MSG_OK) {
        return; // the collector logged and dropped it
    }
    std::memcpy(buf + offset, rec.body, curLen);
    if (done != 0U) {
        // Its slices are taken: the sink takes the whole message.
        (void)sink->message(sink, (int32_t)rec.prefix.transType, &rec.head, buf, bufLen, OS_MSG_OK, false);
    }
}

/* A run of whole asynchronous records, handed to the receive entry at once. */
struct IpcFrameRun {
    IpcFrameRecord recs[MSG_ADP_BATCH_MAX];
    uint32_t starts[MSG_ADP_BATCH_MAX]; /* offset of each record in the datagram */
    MsgHead heads[MSG_ADP_BATCH_MAX];
    void *bufs[MSG_ADP_BATCH_MAX];
    uint32_t lens[MSG_ADP_BATCH_MAX];
};

/* Takes apart the whole asynchronous records from pos on (at most
 * MSG_ADP_BATCH_MAX), stopping at the first record of another kind, a bad
 * one (left to the caller, which reports it) or one addressed elsewhere
 * (left to the sink's message, which judges it). When two or more are taken,
 * copies each payload into its buffer, stopping at the first record without
 * one. The number of records ready, 0 when fewer than two were found
 * (nothing is allocated then). */
uint32_t IpcFrameCollectRun(const uint8_t *data, uint32_t len, uint32_t pos, const IpcFrameSink *sink,
                            IpcFrameRun *run) {
    uint32_t n = 0U;
    for (; n < MSG_ADP_BATCH_MAX && pos < len; ++n) {
        IpcFrameRecord &rec = run->recs[n];
        if (IpcFrameParse(data + pos, len - pos, &rec) != nullptr || rec.prefix.transType != MSG_TRANS_ASYN ||
            rec.prefix.flags != 0U || !IpcFrameAddressed(sink, &rec.head)) {
            break;
        }
        run->starts[n] = pos;
        pos += rec.length;
    }
    if (n < 2U) {
        return 0U;
    }
    for (uint32_t i = 0U; i < n; ++i) {
        IpcFrameRecord &rec = run->recs[i];
        run->bufs[i] = nullptr;
        run->lens[i] = 0U;
        if (rec.prefix.bodyLen != 0U) {
            if (MsgGetBuffByHead(&rec.head, IPC_FRAME_HEAD_LEN, &run->bufs[i], &run->lens[i]) != OS_MSG_OK ||
                run->bufs[i] == nullptr) {
                return i;
            }
            std::memcpy(run->bufs[i], rec.body, run->lens[i]);
        }
        std::memcpy(&run->heads[i], &rec.head, sizeof(MsgHead));
    }
    return n;
}

/* Hands the run of whole asynchronous records that starts at *pos to the
 * queues when it holds two or more (up to the first one without a buffer)
 * and the sink takes runs; false (nothing done) otherwise. *pos moves past
 * the run, or to the record before which the sink stopped (*stopped is then
 * set). The records a queue refuses, and those after them, are offered to
 * the sink one by one with their headers as received. */
bool IpcFrameRecvRun(const uint8_t *data, uint32_t len, uint32_t *pos, IpcFrameSink *sink, bool *stopped) {
    if (!sink->direct) {
        return false;
    }
    IpcFrameRun run;
    uint32_t n = IpcFrameCollectRun(data, len, *pos, sink, &run);
    if (n == 0U) {
        return false; // the record without a buffer goes alone, which reports it
    }
    uint32_t done = 0U;
    uint32_t refusal = MsgAdpTransactBatch(run.heads, run.bufs, run.lens, n, sink->pid, sink->uid, &done);
    for (uint32_t i = done; i < n; ++i) {
        if (!IpcFrameOffer(sink, MSG_TRANS_ASYN, &run.recs[i].head, run.bufs[i], run.lens[i],
                           i == done ? refusal : 0U)) {
            for (uint32_t j = i + 1U; j < n; ++j) {
                MsgReleaseBuffByHead(&run.recs[j].head, IPC_FRAME_HEAD_LEN, run.bufs[j], run.lens[j]);
            }
            *pos = run.starts[i];
            *stopped = true;
            return true;
        }
    }
    *pos = run.starts[n - 1U] + run.recs[n - 1U].length;
    return true;
}

/* The delivering sink's steps (IpcFrameSinkDeliver). */
bool IpcFrameDeliverMessage(IpcFrameSink *sink, int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen,
                            uint32_t refusal, bool) {
    if (refusal != OS_MSG_OK) {
        MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
        return true;
    }
    (void)IpcFrameDeliver(transType, head, buf, bufLen, sink->pid, sink->uid, false);
    return true;
}

void IpcFrameIgnoreControl(IpcFrameSink *, const IpcFrameControl *, uint32_t) {}

} // namespace

void IpcFrameSetPrefix(IpcFramePrefix *prefix, uint32_t transType, uint32_t flags, uint32_t bodyLen) {
    prefix->magic = IPC_FRAME_MAGIC;
    prefix->transType = (uint8_t)transType;
    prefix->flags = (uint8_t)flags;
    prefix->reserved = 0U;
    prefix->bodyLen = bodyLen;
}

void IpcFrameSetControl(uint8_t *out, uint32_t kind, const char *task, uint32_t arg) {
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, IPC_FRAME_CONTROL, kind, IPC_FRAME_CONTROL_LEN);
    IpcFrameControl body;
    std::memset(&body, 0, sizeof(body));
    if (task != nullptr) {
        std::memcpy(body.task, task, sizeof(body.task));
    }
    body.arg = arg;
    std::memcpy(out, &prefix, sizeof(prefix));
    std::memcpy(out + IPC_FRAME_PREFIX_LEN, &body, sizeof(body));
}

bool IpcFrameIsCargo(const uint8_t *data, uint32_t remain) {
    if (remain < IPC_FRAME_PREFIX_LEN || data[0] != IPC_FRAME_MAGIC) {
        return false;
    }
    const uint8_t transType = data[1];
    return transType == IPC_FRAME_SHARE ||
           (transType >= MSG_TRANS_ASYN && transType <= MSG_TRANS_SUB_BRO && (data[2] & IPC_FRAME_CARGO) != 0U);
}

void IpcFrameSetRefusal(uint8_t *out, const MsgHead *head, uint32_t code) {
    IpcFrameSetControl(out, IPC_CONTROL_REFUSED, head->recvTaskName, code);
    IpcFrameControl body;
    std::memcpy(&body, out + IPC_FRAME_PREFIX_LEN, sizeof(body));
    std::memcpy(body.requester, head->sendTaskName, sizeof(body.requester));
    body.msgId = head->msgId;
    std::memcpy(out + IPC_FRAME_PREFIX_LEN, &body, sizeof(body));
}

void IpcFrameSinkDeliver(IpcFrameSink *sink, uint32_t pid, uint32_t uid, uint32_t link) {
    sink->message = IpcFrameDeliverMessage;
    sink->control = IpcFrameIgnoreControl;
    sink->cargo = nullptr;
    sink->pid = pid;
    sink->uid = uid;
    sink->link = link;
    sink->direct = true;
    sink->addressee = nullptr;
    sink->cpuId = 0U;
    sink->owner = nullptr;
    sink->fds = nullptr;
    sink->offered = nullptr;
    sink->badLines = nullptr;
}

void IpcFrameLogBad(IpcFrameSink *sink, const char *what, const char *why) {
    uint32_t lines = sink->badLines != nullptr ? *sink->badLines : 0U;
    if (lines < MSG_TUNE_RECV_BAD_LINES) {
        MSG_LOG(OS_MSG_LOG_ERROR, "bad %s from pid %u: %s.", what, sink->pid, why);
    } else if (lines == MSG_TUNE_RECV_BAD_LINES) {
        MSG_LOG(OS_MSG_LOG_ERROR, "bad %s from pid %u: %s; its connection's further bad records go without a line.",
                what, sink->pid, why);
    }
    if (sink->badLines != nullptr && lines <= MSG_TUNE_RECV_BAD_LINES) {
        *sink->badLines = lines + 1U;
    }
}

uint32_t IpcFrameDeliver(int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen, uint32_t pid, uint32_t uid,
                         bool keep) {
    uint32_t ret = MsgAdpTransact(transType, head, IPC_FRAME_HEAD_LEN, buf, bufLen, pid, uid);
    if (ret != OS_MSG_OK && buf != nullptr && !(keep && ret == OS_MSG_ERR_FULL)) {
        MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
    }
    return ret;
}

uint32_t IpcFrameRecvDatagram(rebuildmsg::MsgRebuildRecvData *collector, const uint8_t *data, uint32_t len,
                              IpcFrameSink *sink) {
    if (data == nullptr || len == 0U) {
        IpcFrameLogBad(sink, "datagram", "empty");
        return len;
    }
    uint32_t pos = 0U;
    while (pos < len) {
        if (IpcFrameIsCargo(data + pos, len - pos)) {
            const char *why = "shared buffer or descriptors where none are taken";
            uint32_t taken = sink->cargo != nullptr ? sink->cargo(sink, data + pos, len - pos, &why) : 0U;
            if (taken == 0U) {
                IpcFrameLogBad(sink, "datagram", why);
                return len;
            }
            pos += taken;
            continue;
        }
        bool stopped = false;
        if (IpcFrameRecvRun(data, len, &pos, sink, &stopped)) {
            if (stopped) {
                return pos;
            }
            continue;
        }
        IpcFrameRecord rec;
        const char *reason = IpcFrameParse(data + pos, len - pos, &rec);
        bool control = reason == nullptr && rec.prefix.transType == IPC_FRAME_CONTROL;
        bool sliced = reason == nullptr && !control && (rec.prefix.flags & IPC_FRAME_SLICED) != 0U;
        if (sliced && collector == nullptr) {
            reason = "sliced record without a collector";
        }
        if (reason != nullptr) {
            IpcFrameLogBad(sink, "datagram", reason);
            return len;
        }
        if (control) {
            sink->control(sink, &rec.control, rec.prefix.flags);
        } else if (sliced) {
            IpcFrameRecvSlice(collector, rec, sink);
        } else if (!IpcFrameRecvWhole(rec, sink)) {
            return pos;
        }
        pos += rec.length;
    }
    return len;
}

bool IpcFrameWholeInPlace(const uint8_t *start, uint32_t len, IpcFramePrefix *prefix, MsgHead *head) {
    if (len < IPC_FRAME_RECORD_OVERHEAD) {
        return false;
    }
    std::memcpy(prefix, start, sizeof(*prefix));
    std::memcpy(head, start + IPC_FRAME_PREFIX_LEN, IPC_FRAME_HEAD_LEN);
    head->data = nullptr;
    return prefix->magic == IPC_FRAME_MAGIC && prefix->transType >= MSG_TRANS_ASYN &&
           prefix->transType <= MSG_TRANS_SUB_BRO && prefix->flags == 0U && prefix->reserved == 0U &&
           prefix->bodyLen == len - IPC_FRAME_RECORD_OVERHEAD && prefix->bodyLen <= IPC_FRAME_SLICE_MAX &&
           head->dataLen == prefix->bodyLen;
}

void IpcFrameRecvInPlace(const IpcFramePrefix *prefix, const MsgHead *head, void *buf, uint32_t bufLen,
                         IpcFrameSink *sink) {
    // Received straight into its buffer: there are no bytes to keep, so the
    // sink takes it.
    (void)sink->message(sink, (int32_t)prefix->transType, head, buf, bufLen, OS_MSG_OK, false);
}

namespace {

/* Drops the nodes of connection link (all when every is set; only the one
 * with key when one is set). Caller holds the collector's lock. */
void IpcFrameDropNodes(rebuildmsg::MsgRebuildRecvData *collector, uint32_t link, bool every, const uint64_t *key) {
    bool found = true;
    while (found) {
        found = false;
        for (rebuildmsg::RebuildList *node : collector->rebuildNodes) {
            bool match = every || (key != nullptr ? node != nullptr && node->flag == *key
                                                  : node != nullptr && (uint32_t)(node->flag >> 32U) == link);
            if (node != nullptr && match) {
                unsigned long flag = node->flag;
                SimpleMsgReleaseBuffer(node->buf, node->dataLen);
                collector->DelRebuildNode(flag);
                found = true;
                break;
            }
        }
    }
}

} // namespace

void IpcFrameDropPartials(rebuildmsg::MsgRebuildRecvData *collector, uint32_t link) {
    if (collector != nullptr) {
        std::lock_guard<std::mutex> guard(collector->rebuildLock);
        IpcFrameDropNodes(collector, link, false, nullptr);
        if (collector->rebuildNodes.empty()) {
            collector->rebuildNodes.shrink_to_fit(); // nothing under reassembly keeps no array
        }
    }
}

void IpcFrameDropPartial(rebuildmsg::MsgRebuildRecvData *collector, uint32_t link, uint32_t key) {
    if (collector != nullptr) {
        const uint64_t flag = IpcFrameKey(link, key);
        std::lock_guard<std::mutex> guard(collector->rebuildLock);
        IpcFrameDropNodes(collector, link, false, &flag);
        if (collector->rebuildNodes.empty()) {
            collector->rebuildNodes.shrink_to_fit();
        }
    }
}

void IpcFrameDropAllPartials(rebuildmsg::MsgRebuildRecvData *collector) {
    if (collector != nullptr) {
        std::lock_guard<std::mutex> guard(collector->rebuildLock);
        IpcFrameDropNodes(collector, 0U, true, nullptr);
        collector->rebuildNodes.shrink_to_fit();
    }
}

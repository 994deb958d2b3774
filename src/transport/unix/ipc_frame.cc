/*
 * Datagram framing and the receive handling of the socket carrier (record
 * layout in ipc_frame.h). Every length read from a datagram is checked
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

/* Takes the record at data (remain bytes left in the datagram) apart. NULL
 * when it is well formed, else the reason it is not. */
const char *IpcFrameParse(const uint8_t *data, uint32_t remain, IpcFrameRecord *rec) {
    if (remain < IPC_FRAME_RECORD_OVERHEAD) {
        return "short record";
    }
    std::memcpy(&rec->prefix, data, sizeof(rec->prefix));
    const IpcFramePrefix &p = rec->prefix;
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

/* Hands a complete message to the receive entry. Its code; buf is released
 * when the message is refused, except for a full queue when keep is set
 * (the caller keeps trying). */
uint32_t IpcFrameDeliver(int32_t transType, MsgHead *head, void *buf, uint32_t bufLen, uint32_t pid, uint32_t uid,
                         bool keep) {
    uint32_t ret = MsgAdpTransact(transType, head, IPC_FRAME_HEAD_LEN, buf, bufLen, pid, uid);
    if (ret != OS_MSG_OK && buf != nullptr && !(keep && ret == OS_MSG_ERR_FULL)) {
        MsgReleaseBuffByHead(head, IPC_FRAME_HEAD_LEN, buf, bufLen);
    }
    return ret;
}

uint32_t IpcFrameRecvWhole(IpcFrameRecord &rec, uint32_t pid, uint32_t uid) {
    void *buf = nullptr;
    uint32_t bufLen = 0U;
    if (rec.prefix.bodyLen != 0U) {
        uint32_t ret = MsgGetBuffByHead(&rec.head, IPC_FRAME_HEAD_LEN, &buf, &bufLen);
        if (ret != OS_MSG_OK || buf == nullptr) {
            return ret != OS_MSG_OK ? ret : OS_MSG_ERR_NO_MEMORY;
        }
        std::memcpy(buf, rec.body, bufLen);
    }
    return IpcFrameDeliver((int32_t)rec.prefix.transType, &rec.head, buf, bufLen, pid, uid, false);
}

/* One slice into the collector, keyed by the sender's pid and the low half
 * of its key; the completed message is delivered, or kept in stall when its
 * queue is full. */
uint32_t IpcFrameRecvSlice(rebuildmsg::MsgRebuildRecvData *collector, IpcFrameRecord &rec, uint32_t pid, uint32_t uid,
                           IpcFrameStall *stall) {
    rec.tail.flag = ((uint64_t)pid << 32U) | (rec.tail.flag & 0xFFFFFFFFULL);
    unsigned char *buf = nullptr;
    unsigned int bufLen = 0U;
    unsigned char done = 0U;
    unsigned int offset = 0U;
    unsigned int curLen = 0U;
    uint32_t ret =
        collector->RebuildMsg(reinterpret_cast<unsigned char *>(&rec.head), IPC_FRAME_HEAD_LEN,
                              reinterpret_cast<unsigned char *>(&rec.tail), &buf, &bufLen, &done, &offset, &curLen);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    std::memcpy(buf + offset, rec.body, curLen);
    if (done == 0U) {
        return OS_MSG_OK;
    }
    ret = IpcFrameDeliver((int32_t)rec.prefix.transType, &rec.head, buf, bufLen, pid, uid, stall != nullptr);
    if (ret == OS_MSG_ERR_FULL && stall != nullptr) {
        stall->hasMsg = true;
        stall->transType = (int32_t)rec.prefix.transType;
        std::memcpy(&stall->head, &rec.head, sizeof(stall->head));
        stall->buf = buf;
        stall->bufLen = bufLen;
    }
    return ret;
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
 * MSG_ADP_BATCH_MAX), stopping at the first record of another kind or a bad
 * one (left to the caller, which reports it). When two or more are taken,
 * copies each payload into its buffer, stopping at the first record without
 * one. The number of records ready, 0 when fewer than two were found
 * (nothing is allocated then). */
uint32_t IpcFrameCollectRun(const uint8_t *data, uint32_t len, uint32_t pos, IpcFrameRun *run) {
    uint32_t n = 0U;
    for (; n < MSG_ADP_BATCH_MAX && pos < len; ++n) {
        IpcFrameRecord &rec = run->recs[n];
        if (IpcFrameParse(data + pos, len - pos, &rec) != nullptr || rec.prefix.flags != 0U ||
            rec.prefix.transType != MSG_TRANS_ASYN) {
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

/* Delivers the run of whole asynchronous records that starts at *pos when
 * it holds two or more (up to the first one without a buffer); false
 * (nothing done) otherwise. *pos moves past what was handled: every record,
 * or up to a refused one, which is dropped like a single record, or kept
 * for a retry when its queue is full and stall is given (then *stalled is
 * set and stall->pos says where). */
bool IpcFrameRecvRun(const uint8_t *data, uint32_t len, uint32_t *pos, uint32_t pid, uint32_t uid, IpcFrameStall *stall,
                     bool *stalled) {
    IpcFrameRun run;
    uint32_t n = IpcFrameCollectRun(data, len, *pos, &run);
    if (n == 0U) {
        return false; // the record without a buffer goes alone, which reports it
    }
    uint32_t done = 0U;
    uint32_t ret = MsgAdpTransactBatch(run.heads, run.bufs, run.lens, n, pid, uid, &done);
    if (ret == OS_MSG_OK) {
        *pos = run.starts[n - 1U] + run.recs[n - 1U].length;
        return true;
    }
    for (uint32_t i = done; i < n; ++i) {
        if (run.bufs[i] != nullptr) {
            MsgReleaseBuffByHead(&run.recs[i].head, IPC_FRAME_HEAD_LEN, run.bufs[i], run.lens[i]);
        }
    }
    if (ret == OS_MSG_ERR_FULL && stall != nullptr) {
        stall->pos = run.starts[done];
        *stalled = true;
    } else {
        *pos = run.starts[done] + run.recs[done].length;
    }
    return true;
}

} // namespace

void IpcFrameSetPrefix(IpcFramePrefix *prefix, uint32_t transType, uint32_t flags, uint32_t bodyLen) {
    prefix->magic = IPC_FRAME_MAGIC;
    prefix->transType = (uint8_t)transType;
    prefix->flags = (uint8_t)flags;
    prefix->reserved = 0U;
    prefix->bodyLen = bodyLen;
}

bool IpcFrameRecvDatagram(rebuildmsg::MsgRebuildRecvData *collector, const uint8_t *data, uint32_t len, uint32_t pid,
                          uint32_t uid, IpcFrameStall *stall) {
    if (stall != nullptr) {
        stall->hasMsg = false;
    }
    if (data == nullptr || len == 0U) {
        MSG_LOG(OS_MSG_LOG_ERROR, "bad datagram from pid %u: %s.", pid, "empty");
        return false;
    }
    uint32_t pos = 0U;
    while (pos < len) {
        bool stalled = false;
        if (IpcFrameRecvRun(data, len, &pos, pid, uid, stall, &stalled)) {
            if (stalled) {
                return true;
            }
            continue;
        }
        IpcFrameRecord rec;
        const char *reason = IpcFrameParse(data + pos, len - pos, &rec);
        bool sliced = reason == nullptr && (rec.prefix.flags & IPC_FRAME_SLICED) != 0U;
        if (sliced && collector == nullptr) {
            reason = "sliced record without a collector";
        }
        if (reason != nullptr) {
            MSG_LOG(OS_MSG_LOG_ERROR, "bad datagram from pid %u: %s.", pid, reason);
            return false;
        }
        uint32_t ret = sliced ? IpcFrameRecvSlice(collector, rec, pid, uid, stall) : IpcFrameRecvWhole(rec, pid, uid);
        if (ret == OS_MSG_ERR_FULL && stall != nullptr) {
            // A whole record is read again from the kept bytes; a completed
            // sliced one waits in the stall.
            stall->pos = stall->hasMsg ? pos + rec.length : pos;
            return true;
        }
        pos += rec.length;
    }
    return false;
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

bool IpcFrameRecvInPlace(const IpcFramePrefix *prefix, MsgHead *head, void *buf, uint32_t bufLen, uint32_t pid,
                         uint32_t uid, IpcFrameStall *stall) {
    uint32_t ret = IpcFrameDeliver((int32_t)prefix->transType, head, buf, bufLen, pid, uid, stall != nullptr);
    if (ret != OS_MSG_ERR_FULL || stall == nullptr) {
        return false;
    }
    stall->pos = 0U;
    stall->hasMsg = true;
    stall->transType = (int32_t)prefix->transType;
    std::memcpy(&stall->head, head, sizeof(stall->head));
    stall->buf = buf;
    stall->bufLen = bufLen;
    return true;
}

bool IpcFrameRetryStalled(IpcFrameStall *stall, uint32_t pid, uint32_t uid) {
    if (!stall->hasMsg) {
        return true;
    }
    uint32_t ret = IpcFrameDeliver(stall->transType, &stall->head, stall->buf, stall->bufLen, pid, uid, true);
    if (ret == OS_MSG_ERR_FULL) {
        return false;
    }
    stall->hasMsg = false;
    return true;
}

void IpcFrameDropStalled(IpcFrameStall *stall) {
    if (stall->hasMsg) {
        MsgReleaseBuffByHead(&stall->head, IPC_FRAME_HEAD_LEN, stall->buf, stall->bufLen);
        stall->hasMsg = false;
    }
}

namespace {

/* Drops the nodes whose sender matches (all when every is set). Caller
 * holds the collector's lock. */
void IpcFrameDropNodes(rebuildmsg::MsgRebuildRecvData *collector, uint32_t pid, bool every) {
    bool found = true;
    while (found) {
        found = false;
        for (rebuildmsg::RebuildList *node : collector->rebuildNodes) {
            if (node != nullptr && (every || (uint32_t)(node->flag >> 32U) == pid)) {
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

void IpcFrameDropPartials(rebuildmsg::MsgRebuildRecvData *collector, uint32_t pid) {
    if (collector != nullptr) {
        std::lock_guard<std::mutex> guard(collector->rebuildLock);
        IpcFrameDropNodes(collector, pid, false);
        if (collector->rebuildNodes.empty()) {
            collector->rebuildNodes.shrink_to_fit(); // nothing under reassembly keeps no array
        }
    }
}

void IpcFrameDropAllPartials(rebuildmsg::MsgRebuildRecvData *collector) {
    if (collector != nullptr) {
        std::lock_guard<std::mutex> guard(collector->rebuildLock);
        IpcFrameDropNodes(collector, 0U, true);
        collector->rebuildNodes.shrink_to_fit();
    }
}

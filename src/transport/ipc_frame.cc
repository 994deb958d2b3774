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

#include "transport/ipc_frame.h"

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

/* Hands a complete message to the receive entry; releases buf when it is
 * refused. True when it was delivered. */
bool IpcFrameDeliver(IpcFrameRecord &rec, void *buf, uint32_t bufLen, uint32_t pid, uint32_t uid) {
    uint32_t ret = MsgAdpTransact((int32_t)rec.prefix.transType, &rec.head, IPC_FRAME_HEAD_LEN, buf, bufLen, pid, uid);
    if (ret != OS_MSG_OK) {
        if (buf != nullptr) {
            MsgReleaseBuffByHead(&rec.head, IPC_FRAME_HEAD_LEN, buf, bufLen);
        }
        return false;
    }
    return true;
}

bool IpcFrameRecvWhole(IpcFrameRecord &rec, uint32_t pid, uint32_t uid) {
    void *buf = nullptr;
    uint32_t bufLen = 0U;
    if (rec.prefix.bodyLen != 0U) {
        if (MsgGetBuffByHead(&rec.head, IPC_FRAME_HEAD_LEN, &buf, &bufLen) != OS_MSG_OK || buf == nullptr) {
            return false;
        }
        std::memcpy(buf, rec.body, bufLen);
    }
    return IpcFrameDeliver(rec, buf, bufLen, pid, uid);
}

/* One slice into the collector, keyed by the sender's pid and the low half
 * of its key; the completed message is delivered. */
bool IpcFrameRecvSlice(rebuildmsg::MsgRebuildRecvData *collector, IpcFrameRecord &rec, uint32_t pid, uint32_t uid) {
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
        return false;
    }
    std::memcpy(buf + offset, rec.body, curLen);
    return done != 0U && IpcFrameDeliver(rec, buf, bufLen, pid, uid);
}

} // namespace

void IpcFrameSetPrefix(IpcFramePrefix *prefix, uint32_t transType, uint32_t flags, uint32_t bodyLen) {
    prefix->magic = IPC_FRAME_MAGIC;
    prefix->transType = (uint8_t)transType;
    prefix->flags = (uint8_t)flags;
    prefix->reserved = 0U;
    prefix->bodyLen = bodyLen;
}

uint32_t IpcFrameRecvDatagram(rebuildmsg::MsgRebuildRecvData *collector, const uint8_t *data, uint32_t len,
                              uint32_t pid, uint32_t uid) {
    uint32_t delivered = 0U;
    uint32_t pos = 0U;
    if (data == nullptr || len == 0U) {
        MSG_LOG(OS_MSG_LOG_ERROR, "bad datagram from pid %u: %s.", pid, "empty");
        return 0U;
    }
    while (pos < len) {
        IpcFrameRecord rec;
        const char *reason = IpcFrameParse(data + pos, len - pos, &rec);
        if (reason == nullptr && (rec.prefix.flags & IPC_FRAME_SLICED) != 0U && collector == nullptr) {
            reason = "sliced record without a collector";
        }
        if (reason != nullptr) {
            MSG_LOG(OS_MSG_LOG_ERROR, "bad datagram from pid %u: %s.", pid, reason);
            break;
        }
        bool sliced = (rec.prefix.flags & IPC_FRAME_SLICED) != 0U;
        bool ok = sliced ? IpcFrameRecvSlice(collector, rec, pid, uid) : IpcFrameRecvWhole(rec, pid, uid);
        delivered += ok ? 1U : 0U;
        pos += rec.length;
    }
    return delivered;
}

void IpcFrameDropPartials(rebuildmsg::MsgRebuildRecvData *collector, uint32_t pid) {
    if (collector == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(collector->rebuildLock);
    bool found = true;
    while (found) {
        found = false;
        for (rebuildmsg::RebuildList *node : collector->rebuildNodes) {
            if (node != nullptr && (uint32_t)(node->flag >> 32U) == pid) {
                unsigned long flag = node->flag;
                SimpleMsgReleaseBuffer(node->buf, node->dataLen);
                collector->DelRebuildNode(flag);
                found = true;
                break;
            }
        }
    }
}

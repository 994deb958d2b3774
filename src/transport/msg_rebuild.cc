/*
 * The slice collector. Locking and ownership are described in msg_rebuild.h;
 * the entry points below take rebuildLock once and call only the lock-held
 * members and the helpers of this file while holding it.
 *
 * Nodes and the node sequence come from the tracked allocator (nodes by
 * placement new, the sequence through TrackedAllocator), so that a failed
 * allocation is a result code here and never an exception at the interface.
 */
#define MSG_MODULE "msg_rebuild"

#include "transport/msg_rebuild.h"

#include <exception>
#include <new>
#include <string.h>

#include "base/msg_alloc.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "transport/msg_adp_buff.h"
#include "vyre_securec.h"

namespace rebuildmsg {
namespace {

constexpr int64_t kMemoryHigh = 104857600;    // 100 MiB: above this one message is evicted
constexpr int64_t kMemoryExtreme = 209715200; // 200 MiB: from here down to kMemoryHigh at once

/* The fields of one received tail. */
struct SliceInfo {
    uint64_t flag = 0;
    uint32_t offset = 0;
    uint32_t curLen = 0;
};

/* Outcome of finding or starting the message of a slice. */
enum class SliceMessage { kReady, kNoBuffer, kNoMemory, kEvicted };

/* The balancing lines are written for the first ten runs of each counter and
 * for every thousandth run after that. */
bool IsLoggableCount(uint32_t count) {
    return count <= 10U || count % 1000U == 0U;
}

RebuildList *NewNode() {
    void *block = MSG_MALLOC(sizeof(RebuildList));
    return block == nullptr ? nullptr : new (block) RebuildList();
}

void DestroyNode(RebuildList *node) {
    node->~RebuildList();
    MSG_FREE(node);
}

/* Takes an evicted or dropped node out of the totals and releases its payload
 * buffer; the node itself is destroyed by the caller. */
void ReleaseNodeMemory(MsgRebuildRecvData &self, RebuildList *node) {
    self.memoryTotal -= static_cast<int64_t>(node->dataLen);
    self.nodeTotal -= 1;
    SimpleMsgReleaseBuffer(node->buf, node->dataLen);
}

/* Drops the message of a node (order, bounds or copy error). The buffer is
 * released by the size the node holds rather than through the slice's
 * header, which is not validated for later slices. */
void DropMessage(MsgRebuildRecvData &self, RebuildList *node) {
    unsigned char *buf = node->buf;
    unsigned int dataLen = node->dataLen;
    self.DelRebuildNode(node->flag);
    SimpleMsgReleaseBuffer(buf, dataLen);
}

/* Accepts a slice of the node's message (SetRebuildNode); a slice out of
 * order or past the end drops the message. On success *payload and
 * *payloadLen are the message's buffer and length, and when the slice
 * completes the payload *done is 1 and the node is gone: the buffer is the
 * caller's. Logs under caller, the entry point. */
uint32_t AcceptSlice(MsgRebuildRecvData &self, RebuildList *node, uint32_t offset, uint32_t curLen, const char *caller,
                     unsigned char **payload, unsigned int *payloadLen, unsigned char *done) {
    uint32_t ret = self.SetRebuildNode(node, offset, curLen);
    if (ret != OS_MSG_OK) {
        OS_MSG_LOG_AS(caller, OS_LOG_ERROR, "get buff error.");
        DropMessage(self, node);
        return ret;
    }
    *payload = node->buf;
    *payloadLen = node->dataLen;
    if (node->totalLen == node->dataLen) {
        *done = 1;
        OS_MSG_LOG_AS(caller, OS_LOG_INFO, "recv all msg slice.");
        self.DelRebuildNode(node->flag);
    }
    return OS_MSG_OK;
}

/* Appends a new node to the sequence; false (nothing kept) when memory is
 * short. */
bool AppendNode(MsgRebuildRecvData &self, RebuildList **nodeOut) {
    RebuildList *node = NewNode();
    if (node == nullptr) {
        return false;
    }
    try {
        self.rebuildNodes.push_back(node);
    } catch (const std::exception &) {
        DestroyNode(node);
        return false;
    }
    *nodeOut = node;
    return true;
}

/* The new-node step for the first slice of a message: payload buffer from
 * the header, node, totals, balancing. Nothing of the message remains unless
 * the result is kReady. *bufCode and *bufLen report the buffer call. */
SliceMessage StartMessage(MsgRebuildRecvData &self, unsigned char *head, unsigned int headLen, uint64_t flag,
                          RebuildList **nodeOut, uint32_t *bufCode, uint32_t *bufLen) {
    const MsgHead *msgHead = reinterpret_cast<const MsgHead *>(head);
    void *buf = nullptr;
    *bufCode = MsgGetBuffByHead(msgHead, headLen, &buf, bufLen);
    if (*bufCode != OS_MSG_OK || *bufLen == 0) {
        return SliceMessage::kNoBuffer;
    }
    RebuildList *node = nullptr;
    if (!AppendNode(self, &node)) {
        MsgReleaseBuffByHead(msgHead, headLen, buf, *bufLen);
        return SliceMessage::kNoMemory;
    }
    self.SetRebuildNodeFirst(node, flag, static_cast<unsigned char *>(buf), *bufLen);
    self.memoryTotal += static_cast<int64_t>(*bufLen);
    self.nodeTotal += 1;
    self.blanceRebuildNode();
    // Keys are unique in the sequence, so the lookup finds this node unless
    // balancing evicted it (possible only when the totals were raised by hand).
    if (self.GetRebuildNode(flag) != node) {
        return SliceMessage::kEvicted;
    }
    *nodeOut = node;
    return SliceMessage::kReady;
}

/* The node of the message a slice of flag belongs to: the one under
 * reassembly, or a new one started from head (StartMessage, whose buffer
 * call's result lands in *bufCode). Logs under caller, the entry point. */
SliceMessage FindOrStartMessage(MsgRebuildRecvData &self, unsigned char *head, unsigned int headLen, uint64_t flag,
                                const char *caller, RebuildList **nodeOut, uint32_t *bufCode) {
    RebuildList *node = self.GetRebuildNode(flag);
    if (node != nullptr) {
        OS_MSG_LOG_AS(caller, OS_LOG_DEBUG, "next slice offset=%u, curlen=%u.", node->offset, node->curLen);
        *nodeOut = node;
        return SliceMessage::kReady;
    }
    uint32_t newLen = 0;
    SliceMessage started = StartMessage(self, head, headLen, flag, nodeOut, bufCode, &newLen);
    if (started == SliceMessage::kNoBuffer) {
        OS_MSG_LOG_AS(caller, OS_LOG_ERROR, "get buff or bufLen[%u] error.", newLen);
    } else if (started == SliceMessage::kEvicted) {
        OS_MSG_LOG_AS(caller, OS_LOG_ERROR, "new message evicted, flag = %lu.", (unsigned long)flag);
    }
    return started;
}

uint32_t ReadTail(const unsigned char *tail, SliceInfo *info) {
    return MsgGetRebuildInfo(reinterpret_cast<const MsgSliceTail *>(tail), &info->flag, &info->offset, &info->curLen);
}

/* Copies a slice into the payload at offset, which the order check has
 * placed within [0, dataLen]. The destination bound is the smaller of the
 * caller's destMax and the room left in the payload. */
errno_t CopySlice(unsigned char *payload, uint32_t dataLen, uint32_t offset, int destMax, const unsigned char *src,
                  int srcLen) {
    if (destMax < 0 || srcLen < 0) {
        return 1;
    }
    if (srcLen == 0) {
        return 0;
    }
    size_t room = static_cast<size_t>(dataLen - offset);
    size_t bound = static_cast<size_t>(destMax) < room ? static_cast<size_t>(destMax) : room;
    return memcpy_s(payload + offset, bound, src, static_cast<size_t>(srcLen));
}

} // namespace

RebuildList::RebuildList() : flag(0), buf(nullptr), dataLen(0), offset(0), curLen(0), totalLen(0) {}

RebuildList::~RebuildList() = default;

MsgRebuildRecvData::MsgRebuildRecvData() : memoryTotal(0), nodeTotal(0), memMaxCnt(0), memExtremeCnt(0) {}

MsgRebuildRecvData::~MsgRebuildRecvData() {
    std::lock_guard<std::mutex> guard(rebuildLock);
    for (RebuildList *node : rebuildNodes) {
        if (node != nullptr) {
            memoryTotal -= static_cast<int64_t>(node->dataLen);
            nodeTotal -= 1;
            DestroyNode(node);
        }
    }
    rebuildNodes.clear();
}

unsigned int MsgRebuildRecvData::RebuildMsg(unsigned char *head, unsigned int headLen, unsigned char *tail,
                                            unsigned char **buf, unsigned int *bufLen, unsigned char *done,
                                            unsigned int *offsetOut, unsigned int *curLenOut) {
    if (buf == nullptr || bufLen == nullptr || done == nullptr || offsetOut == nullptr || curLenOut == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "RebuildMsg input invalid.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    *done = 0;
    SliceInfo slice;
    uint32_t ret = ReadTail(tail, &slice);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    std::lock_guard<std::mutex> guard(rebuildLock);
    *buf = nullptr;
    *bufLen = 0;
    RebuildList *node = nullptr;
    uint32_t bufCode = OS_MSG_OK;
    SliceMessage found = FindOrStartMessage(*this, head, headLen, slice.flag, __func__, &node, &bufCode);
    if (found == SliceMessage::kNoBuffer) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (found != SliceMessage::kReady) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    ret = AcceptSlice(*this, node, slice.offset, slice.curLen, __func__, buf, bufLen, done);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    *offsetOut = slice.offset;
    *curLenOut = slice.curLen;
    return OS_MSG_OK;
}

unsigned int MsgRebuildRecvData::RebuildMsgEx(unsigned char *head, unsigned int headLen, unsigned char *tail,
                                              unsigned char **buf, unsigned int *bufLen, unsigned int *offsetOut,
                                              unsigned int *curLenOut) {
    if (buf == nullptr || bufLen == nullptr || offsetOut == nullptr || curLenOut == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "RebuildMsgEx input invalid.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    SliceInfo slice;
    uint32_t ret = ReadTail(tail, &slice);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "get flag = %lu.", (unsigned long)slice.flag);
    std::lock_guard<std::mutex> guard(rebuildLock);
    *buf = nullptr;
    *bufLen = 0;
    RebuildList *node = nullptr;
    uint32_t bufCode = OS_MSG_OK;
    SliceMessage found = FindOrStartMessage(*this, head, headLen, slice.flag, __func__, &node, &bufCode);
    if (found == SliceMessage::kNoBuffer) {
        return bufCode != OS_MSG_OK ? bufCode : OS_MSG_ERR_INVALID_PARAM;
    }
    if (found != SliceMessage::kReady) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    if (static_cast<uint64_t>(slice.offset) + slice.curLen > node->dataLen) {
        OS_MSG_LOG(OS_LOG_ERROR, "invalid arguments, flag = %lu, curLen = %d, offset = %d, bodyLen = %d.",
                   (unsigned long)slice.flag, (int)slice.curLen, (int)slice.offset, (int)node->dataLen);
        DropMessage(*this, node);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    *buf = node->buf;
    *bufLen = node->dataLen;
    *offsetOut = slice.offset;
    *curLenOut = slice.curLen;
    return OS_MSG_OK;
}

unsigned int MsgRebuildRecvData::FillMsgBody(unsigned long flag, int offset, int destMax, unsigned char *src,
                                             int srcLen, int curLen, unsigned char *done) {
    if (done == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "FillMsgBody input invalid.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> guard(rebuildLock);
    *done = 0;
    RebuildList *node = GetRebuildNode(flag);
    if (node == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "getRebuildNode fail, flag = %lu.", flag);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    // A negative offset or length converts to 2^31 or more, which the order
    // and bounds checks refuse: payloads are far smaller.
    unsigned char *payload = nullptr;
    unsigned int dataLen = 0;
    uint32_t ret = AcceptSlice(*this, node, static_cast<unsigned int>(offset), static_cast<unsigned int>(curLen),
                               __func__, &payload, &dataLen, done);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    if (CopySlice(payload, dataLen, static_cast<uint32_t>(offset), destMax, src, srcLen) != 0) {
        OS_MSG_LOG(OS_LOG_ERROR, "fill body fail!.");
        SimpleMsgReleaseBuffer(payload, dataLen);
        DelRebuildNode(flag);
        return OS_MSG_ERR_FAIL;
    }
    return OS_MSG_OK;
}

RebuildList *MsgRebuildRecvData::GetRebuildNode(unsigned long flag) {
    for (RebuildList *node : rebuildNodes) {
        if (node != nullptr && node->flag == flag) {
            return node;
        }
    }
    return nullptr;
}

unsigned int MsgRebuildRecvData::SetRebuildNode(RebuildList *node, unsigned int offset, unsigned int curLen) {
    if (node == nullptr) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (offset != node->totalLen || static_cast<uint64_t>(node->totalLen) + curLen > node->dataLen) {
        OS_MSG_LOG(OS_LOG_ERROR, "data length err, totalLen[%u] curLen[%u] offset[%u] dataLen[%u].", node->totalLen,
                   curLen, offset, node->dataLen);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    node->offset = node->totalLen;
    node->curLen = curLen;
    node->totalLen += curLen;
    return OS_MSG_OK;
}

void MsgRebuildRecvData::SetRebuildNodeFirst(RebuildList *node, unsigned long flag, unsigned char *buf,
                                             unsigned int dataLen) {
    node->flag = flag;
    node->buf = buf;
    node->dataLen = dataLen;
    OS_MSG_LOG(OS_LOG_DEBUG, "first slice offset=%u, curlen=%u, totalLen=%u, dataLen=%u.", node->offset, node->curLen,
               node->totalLen, dataLen);
}

void MsgRebuildRecvData::DelRebuildNode(unsigned long flag) {
    for (auto it = rebuildNodes.begin(); it != rebuildNodes.end(); ++it) {
        RebuildList *node = *it;
        if (node != nullptr && node->flag == flag) {
            memoryTotal -= static_cast<int64_t>(node->dataLen);
            nodeTotal -= 1;
            DestroyNode(node);
            rebuildNodes.erase(it);
            return;
        }
    }
}

void MsgRebuildRecvData::DelRebuildNodeEx(unsigned long flag) {
    std::lock_guard<std::mutex> guard(rebuildLock);
    DelRebuildNode(flag);
}

void MsgRebuildRecvData::blanceRebuildNode() {
    if (memoryTotal <= kMemoryHigh) {
        return;
    }
    memMaxCnt += 1;
    if (memoryTotal < kMemoryExtreme) {
        if (rebuildNodes.empty()) {
            return;
        }
        RebuildList *oldest = rebuildNodes.front();
        rebuildNodes.erase(rebuildNodes.begin());
        if (oldest == nullptr) {
            return;
        }
        if (IsLoggableCount(memMaxCnt)) {
            OS_MSG_LOG(OS_LOG_ERROR,
                       "out of memory: memMaxCnt = %u, memoryTotal = %lld, nodeTotal = %d, flag = %lu, dataLen = %u.",
                       memMaxCnt, (long long)memoryTotal, nodeTotal, oldest->flag, oldest->dataLen);
        }
        ReleaseNodeMemory(*this, oldest);
        DestroyNode(oldest);
        return;
    }
    memExtremeCnt += 1;
    if (IsLoggableCount(memExtremeCnt)) {
        OS_MSG_LOG(OS_LOG_ERROR, "out of memory: memExtremeCnt = %u, memoryTotal = %lld, nodeTotal = %d.",
                   memExtremeCnt, (long long)memoryTotal, nodeTotal);
    }
    size_t evicted = 0;
    while (evicted < rebuildNodes.size()) {
        RebuildList *node = rebuildNodes[evicted];
        evicted += 1;
        if (node != nullptr) {
            ReleaseNodeMemory(*this, node);
            DestroyNode(node);
        }
        if (memoryTotal <= kMemoryHigh) {
            OS_MSG_LOG(OS_LOG_ERROR, "out of extreme memory: memoryTotal = %lld, nodeTotal = %d, i = %d.",
                       (long long)memoryTotal, nodeTotal, (int)(evicted - 1));
            break;
        }
    }
    rebuildNodes.erase(rebuildNodes.begin(), rebuildNodes.begin() + static_cast<std::ptrdiff_t>(evicted));
}

} // namespace rebuildmsg

extern "C" uint32_t MsgAdpCheckIsSlice(const unsigned char *tail, uint32_t tailLen) {
    if (tailLen != sizeof(MsgSliceTail)) {
        MSG_LOG(OS_MSG_LOG_ERROR, "tailLen[%u] error.", tailLen);
        return 0;
    }
    if (tail == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input tail null.");
        return 0;
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "isSplit = %u.", (unsigned int)tail[0]);
    return tail[0];
}

extern "C" uint32_t MsgGetRebuildInfo(const MsgSliceTail *tail, uint64_t *flag, uint32_t *offset, uint32_t *curLen) {
    if (tail == nullptr || flag == nullptr || offset == nullptr || curLen == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "MsgGetRebuildInfo input invalid.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(tail);
    memcpy(flag, bytes + offsetof(MsgSliceTail, flag), sizeof(*flag));
    memcpy(offset, bytes + offsetof(MsgSliceTail, offset), sizeof(*offset));
    memcpy(curLen, bytes + offsetof(MsgSliceTail, curLen), sizeof(*curLen));
    return OS_MSG_OK;
}

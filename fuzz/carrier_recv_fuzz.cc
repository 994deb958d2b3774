/*
 * The socket carrier's receive handling from arbitrary datagrams: the bytes
 * a peer process could send, through the framing's receive handling into
 * the task queues and the slice collector.
 *
 * Input: byte 0 chooses whether a full queue stalls the datagram (bit 0, as
 * the receive loop does) or drops the message, the sender's pid (bit 1: one
 * of two, so that keys of two senders meet in the collector) and whether the
 * datagram is taken as a large one received straight into its payload
 * buffer (bit 2: its first bytes are checked for that, and when they pass
 * the rest lands in a buffer of the header's length); the rest is one
 * datagram. The datagram lies in a heap block of exactly its length,
 * so any read past it is caught.
 *
 * The process has tasks "t0" and "t1" with queues of two and no loops,
 * emptied after every run, and a collector of its own; what a run leaves
 * under reassembly is dropped at its end, so every run leaves the process
 * as it found it.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "transport/msg_adp_buff.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_frame.h"

namespace {

rebuildmsg::MsgRebuildRecvData *g_collector = nullptr;

/* As the receive loop does for a large datagram: the first bytes decide,
 * the payload goes straight into its buffer. */
void RecvInPlace(const std::vector<uint8_t> &datagram, uint32_t pid, IpcFrameStall *stall) {
    IpcFramePrefix prefix;
    MsgHead head;
    std::vector<uint8_t> start(datagram.begin(),
                               datagram.begin() + std::min<size_t>(datagram.size(), IPC_FRAME_RECORD_OVERHEAD));
    if (!IpcFrameWholeInPlace(start.data(), (uint32_t)datagram.size(), &prefix, &head)) {
        return;
    }
    Require(prefix.bodyLen == head.dataLen && datagram.size() == IPC_FRAME_RECORD_OVERHEAD + head.dataLen);
    void *buf = nullptr;
    uint32_t bufLen = 0U;
    Require(MsgGetBuffByHead(&head, IPC_FRAME_HEAD_LEN, &buf, &bufLen) == OS_MSG_OK);
    Require(bufLen == head.dataLen);
    if (buf != nullptr) {
        memcpy(buf, datagram.data() + IPC_FRAME_RECORD_OVERHEAD, bufLen);
    }
    bool stalled = IpcFrameRecvInPlace(&prefix, &head, buf, bufLen, pid, 1000U, stall);
    Require(!stalled || (stall != nullptr && stall->hasMsg));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    SetUpTwoTaskProcess();
    g_collector = new rebuildmsg::MsgRebuildRecvData();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > IPC_FRAME_DATAGRAM_MAX + 1U) {
        return 0;
    }
    bool keep = (data[0] & 1U) != 0U;
    uint32_t pid = (data[0] & 2U) != 0U ? 4242U : 77U;
    std::vector<uint8_t> datagram(data + 1, data + size);
    IpcFrameStall stall;
    memset(&stall, 0, sizeof(stall));
    if ((data[0] & 4U) != 0U) {
        RecvInPlace(datagram, pid, keep ? &stall : nullptr);
        IpcFrameDropStalled(&stall);
        ResetTwoTasks();
        return 0;
    }
    bool stalled = IpcFrameRecvDatagram(g_collector, datagram.empty() ? nullptr : datagram.data(),
                                        (uint32_t)datagram.size(), pid, 1000U, keep ? &stall : nullptr);
    Require(!stalled || (keep && stall.pos <= datagram.size()));
    if (stalled) {
        // A retry while the queue is still full keeps the message.
        bool held = stall.hasMsg;
        Require(IpcFrameRetryStalled(&stall, pid, 1000U) == !held && stall.hasMsg == held);
        IpcFrameDropStalled(&stall);
        Require(!stall.hasMsg);
    }
    IpcFrameDropAllPartials(g_collector);
    {
        std::lock_guard<std::mutex> guard(g_collector->rebuildLock);
        Require(g_collector->nodeTotal == 0 && g_collector->memoryTotal == 0);
    }
    ResetTwoTasks();
    return 0;
}

/*
 * The socket carrier's receive handling from arbitrary datagrams: the bytes
 * a peer process could send, through the framing's receive handling into
 * the task queues and the slice collector.
 *
 * Input: byte 0 chooses whether a full queue stalls the datagram (bit 0, as
 * the receive loop does) or drops the message, and the sender's pid (bit 1:
 * one of two, so that keys of two senders meet in the collector); the rest
 * is one datagram. The datagram lies in a heap block of exactly its length,
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

#include <vector>

#include "base/msg_proc_name.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_frame.h"
#include "transport/msg_rebuild.h"
#include "vyre_os_log.h"

namespace {

rebuildmsg::MsgRebuildRecvData *g_collector = nullptr;

void Require(bool condition) {
    if (!condition) {
        abort();
    }
}

void ResetQueues() {
    for (const char *task : {"t0", "t1"}) {
        Require(SimpleMsgUnregTask(task) == OS_MSG_OK);
        Require(SimpleMsgRegTask(task, 2, NULL, 0) == OS_MSG_OK);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    OsLogSetLevel(5);
    MsgSetLogFunc(NULL);
    Require(MsgSetProcName("proc", 5) == OS_MSG_OK);
    Require(SimpleMsgInitPthreadMutex() == OS_MSG_OK);
    Require(SimpleMsgCreateQueue(128) == OS_MSG_OK);
    Require(SimpleMsgRegTask("t0", 2, NULL, 0) == OS_MSG_OK);
    Require(SimpleMsgRegTask("t1", 2, NULL, 0) == OS_MSG_OK);
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
    ResetQueues();
    return 0;
}

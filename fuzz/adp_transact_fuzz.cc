/*
 * Received messages from arbitrary bytes, through the adapter's receive entry
 * exactly as a transport hands them over.
 *
 * Input: byte 0 selects the transport type (value % 6, so 0 to 5 with the two
 * invalid ones), whether the own process name is empty (bit 3, which makes
 * the board-support redirect reachable) and whether pid (bit 4) and uid
 * (bit 5) are given; byte 1 % 201 is the header length; then the header bytes
 * (fewer when the input ends) and the payload bytes.
 *
 * The header lies in a heap block of exactly its length, so any read past it
 * is caught. A header of 164 bytes or more gets its payload buffer through
 * MsgGetBuffByHead, filled from the payload bytes; the buffer is released
 * with MsgReleaseBuffByHead whenever MsgAdpTransact refuses the message.
 *
 * The process has tasks "t0" and "t1" without loops (re-registered after each
 * delivery, which releases what they queued) and "pmsgBro" with a loop thread
 * that runs the broadcast task's callback over a subscription table with a
 * recording broadcast function. After each delivery a sentinel message is
 * queued behind it, and the run ends once the loop has reached it, so every
 * run leaves the process as it found it.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "broadcast/msg_broadcast.h"
#include "fuzz_support.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "transport/msg_adp_buff.h"

namespace {

constexpr uint32_t kMaxHeadLen = 200U;
constexpr uint32_t kTableResetRuns = 4096U;
const char kSentinelTask[OS_MSG_NAME_LEN] = "\x01sentinel";

std::mutex g_sentinelMutex;
std::condition_variable g_sentinelCond;
uint32_t g_sentinelSeen = 0; // guarded by g_sentinelMutex
uint32_t g_sentinelSent = 0;
uint32_t g_runs = 0;
volatile uint8_t g_sink;

// Reads every byte an event points at, so a pointer outside its request is
// caught.
uint32_t RecordEvent(MsgHead *head) {
    // An event without data carries 0 or the negative length it was published with.
    Require(head->data != NULL || (int32_t)head->dataLen <= 0);
    const uint8_t *bytes = static_cast<const uint8_t *>(head->data);
    uint8_t sum = 0;
    for (uint32_t i = 0; bytes != NULL && i < head->dataLen; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    g_sink = sum;
    return 0;
}

uint32_t BroadcastTask(MsgHead *msg) {
    if (msg->msgId == g_sentinelSent && memcmp(msg->sendTaskName, kSentinelTask, sizeof(kSentinelTask)) == 0) {
        std::lock_guard<std::mutex> lock(g_sentinelMutex);
        g_sentinelSeen = msg->msgId;
        g_sentinelCond.notify_all();
        return 0;
    }
    // The payload the loop hands over must be readable to its length.
    (void)RecordEvent(msg);
    return IPCMsgBroTaskCallback(msg);
}

void WaitForBroadcastTask() {
    MsgHead sentinel;
    memset(&sentinel, 0, sizeof(sentinel));
    memcpy(sentinel.sendTaskName, kSentinelTask, sizeof(kSentinelTask));
    sentinel.msgId = ++g_sentinelSent;
    Require(SimpleMsgPushBuffer(MSG_TASK_NAME_PMSG_BRO, &sentinel, NULL, 0) == OS_MSG_OK);
    std::unique_lock<std::mutex> lock(g_sentinelMutex);
    g_sentinelCond.wait(lock, [] { return g_sentinelSeen == g_sentinelSent; });
}

void ResetQueues() {
    ResetTwoTasks();
    WaitForBroadcastTask();
    if (++g_runs % kTableResetRuns == 0U) {
        MsgDestroySubscribeTable();
        Require(MsgCreateSubscribeTable(16) == OS_MSG_OK);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    SetUpTwoTaskProcess();
    Require(MsgCreateSubscribeTable(16) == OS_MSG_OK);
    PMsgRegAdpFunc();
    Require(MsgSetBroadcastFunc(RecordEvent) == OS_MSG_OK);
    Require(SimpleMsgRegTask("req", 1, NULL, 0) == OS_MSG_OK);
    Require(SimpleMsgRegTask(MSG_TASK_NAME_PMSG_BRO, 8, BroadcastTask, 0) == OS_MSG_OK);
    std::thread([] { (void)SimpleTaskRoutineByName(const_cast<char *>(MSG_TASK_NAME_PMSG_BRO)); }).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) {
        return 0;
    }
    int32_t transType = data[0] % 6;
    Require(MsgSetProcName((data[0] & 0x08) != 0 ? "" : "proc", 5) == OS_MSG_OK);
    uint32_t pid = (data[0] & 0x10) != 0 ? 4242U : 0xFFFFFFFFU;
    uint32_t uid = (data[0] & 0x20) != 0 ? 0U : 0xFFFFFFFFU;
    size_t headLen = data[1] % (kMaxHeadLen + 1U);
    if (headLen > size - 2) {
        headLen = size - 2;
    }
    std::vector<uint8_t> head(data + 2, data + 2 + headLen);
    const uint8_t *payload = data + 2 + headLen;
    size_t payloadLen = size - 2 - headLen;

    void *buf = NULL;
    uint32_t bufLen = 0;
    if (headLen >= MSG_ADP_MIN_HEAD_LEN) {
        const MsgHead *received = reinterpret_cast<const MsgHead *>(head.data());
        if (MsgGetBuffByHead(received, (uint32_t)headLen, &buf, &bufLen) != OS_MSG_OK) {
            return 0;
        }
        Require((buf == NULL) == (bufLen == 0U));
        if (buf != NULL) {
            memcpy(buf, payload, payloadLen < bufLen ? payloadLen : bufLen);
        }
    }
    uint32_t ret = MsgAdpTransact(transType, head.data(), (uint32_t)headLen, buf, bufLen, pid, uid);
    if (ret != OS_MSG_OK) {
        if (buf != NULL) {
            MsgReleaseBuffByHead(reinterpret_cast<const MsgHead *>(head.data()), (uint32_t)headLen, buf, bufLen);
        }
        return 0;
    }
    ResetQueues();
    return 0;
}

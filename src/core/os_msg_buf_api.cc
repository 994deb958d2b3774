/*
 * The public calls of shared buffers, descriptors with a message and byte
 * bounds (contracts in vyre_os_msg.h). Each checks its arguments in a fixed
 * order, passes the API gate where it reaches the task table or a send, and
 * calls the shared-buffer pool, the routing layer or the in-process layer.
 *
 * A send with a shared buffer gives the message a reference of its own; the
 * owner's reference is dropped only once the send was accepted, so a refused
 * send leaves the buffer exactly as the caller had it. Keeps no state; any
 * thread may call any of these.
 */
#define MSG_MODULE "msg_proc"

#include "base/msg_names.h"
#include "core/msg_api_gate.h"
#include "core/msg_event_req.h"
#include "core/msg_send.h"
#include "log/msg_log.h"
#include "shared_buf/msg_cargo.h"
#include "shared_buf/msg_delivery.h"
#include "shared_buf/sbuf_hold.h"
#include "shared_buf/sbuf_pool.h"
#include "simple_msg/simple_msg.h"
#include "vyre_securec.h"

namespace {

constexpr uint32_t kTransAsyn = 1U;
constexpr uint32_t kTransSyn = 2U;
constexpr uint32_t kMaxPoolMb = 1048576U;
constexpr uint64_t kMiB = 1024U * 1024U;

/* A cargo with a new reference to the owned buffer that the len bytes at
 * data lie in; NULL with *ret the refusal. */
MsgCargo *MsgBufCargo(const void *data, uint32_t len, uint32_t *ret) {
    SbufBlock *block = nullptr;
    *ret = SbufRefForSend(data, len, &block);
    if (*ret != OS_MSG_OK) {
        return nullptr;
    }
    MsgCargo *cargo = MsgCargoNew(block, data, len);
    if (cargo == nullptr) {
        SbufDropRef(block);
        *ret = OS_MSG_ERR_NO_MEMORY;
    }
    return cargo;
}

uint32_t MsgHoldIn(SbufAccount *account, const void *data) {
    return SbufHoldRef(data, account);
}

uint32_t MsgReleaseIn(SbufAccount *account, const void *data) {
    return SbufReleaseRef(data, account);
}

bool MsgTaskNameGiven(const char *name) {
    return name != nullptr && !MsgNameEmpty(name);
}

} // namespace

extern "C" {

uint32_t OsMsgBufAlloc(uint32_t size, void **data) {
    return SbufAlloc(size, data);
}

uint32_t OsMsgBufAllocTimed(uint32_t size, void **data, uint32_t timeoutMs) {
    return SbufAllocWaiting(size, data, timeoutMs);
}

uint32_t OsMsgBufFree(void *data) {
    return SbufFree(data);
}

uint32_t OsMsgAsynSendBuf(MsgHead *head) {
    if (head == nullptr || MsgNameEmpty(head->recvTaskName) || head->data == nullptr || head->dataLen == 0U) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    uint32_t ret = OS_MSG_OK;
    MsgCargo *cargo = MsgBufCargo(head->data, head->dataLen, &ret);
    if (cargo == nullptr) {
        return ret;
    }
    SbufBlock *block = cargo->buf;
    (void)MsgForceSetSendName(head);
    ret = MsgAsynSendCargo(head, kTransAsyn, cargo);
    if (ret == OS_MSG_OK) {
        SbufDisown(block);
    }
    return ret;
}

uint32_t OsMsgSynSendBuf(MsgHead *head, MsgHead **respOut, uint32_t timeout) {
    if (head == nullptr || respOut == nullptr || head->data == nullptr || head->dataLen == 0U) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    if (MsgNameEmpty(head->recvTaskName)) {
        return MSG_REFUSE("recv task id and task name invlaid.", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    uint32_t ret = OS_MSG_OK;
    MsgCargo *cargo = MsgBufCargo(head->data, head->dataLen, &ret);
    if (cargo == nullptr) {
        return ret;
    }
    // The request always travels under the calling thread's own task name.
    (void)memset_s(head->sendTaskName, sizeof(head->sendTaskName), 0, sizeof(head->sendTaskName));
    uint32_t found = MsgForceSetSendName(head);
    return MsgSynSendCargo(head, respOut, timeout, kTransSyn, found, cargo);
}

uint32_t OsMsgBroadcastEventBuf(const MsgBroEntry *event) {
    if (event == nullptr || event->dataLen <= 0 || event->data == nullptr) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    uint32_t ret = OS_MSG_OK;
    MsgCargo *cargo = MsgBufCargo(event->data, static_cast<uint32_t>(event->dataLen), &ret);
    if (cargo == nullptr) {
        return ret;
    }
    // The owner's reference keeps the block while the request's cargo comes
    // and goes.
    SbufBlock *block = cargo->buf;
    ret = MsgSendBroadcastBufMsg(event, cargo);
    if (ret == OS_MSG_OK) {
        SbufDisown(block);
    }
    return ret;
}

uint32_t OsMsgBufHold(const void *data) {
    if (data == nullptr) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    // Outside the gate there is no task table: the hold is charged to no task.
    MsgApiPass pass;
    return pass.Entered() ? SimpleMsgWithThreadAccount(MsgHoldIn, data) : SbufHoldRef(data, nullptr);
}

uint32_t OsMsgBufRelease(const void *data) {
    if (data == nullptr) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    return pass.Entered() ? SimpleMsgWithThreadAccount(MsgReleaseIn, data) : SbufReleaseRef(data, nullptr);
}

uint32_t OsMsgBufSetPoolLimit(uint32_t megabytes) {
    if (megabytes == 0U || megabytes > kMaxPoolMb) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    SbufSetLimit(megabytes * kMiB);
    return OS_MSG_OK;
}

uint32_t OsMsgBufGetPoolStats(OsMsgBufPoolStats *stats) {
    if (stats == nullptr) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    SbufGetStats(stats);
    return OS_MSG_OK;
}

uint32_t OsMsgAsynSendFds(MsgHead *head, const int *fds, uint32_t fdCount) {
    if (head == nullptr || MsgNameEmpty(head->recvTaskName) || (fds == nullptr && fdCount != 0U) ||
        fdCount > OS_MSG_MAX_FDS) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    if (head->dataLen > OS_MSG_MAX_DATA_LEN) {
        return MSG_REFUSE("invalid data size", OS_MSG_ERR_OVERSIZE);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    MsgCargo *cargo = MsgCargoNew(nullptr, nullptr, 0U);
    if (cargo == nullptr) {
        return OS_MSG_ERR_NO_MEMORY;
    }
    uint32_t ret = MsgCargoAddFds(cargo, fds, fdCount);
    if (ret != OS_MSG_OK) {
        MsgCargoRelease(cargo);
        return ret;
    }
    (void)MsgForceSetSendName(head);
    return MsgAsynSendCargo(head, kTransAsyn, cargo);
}

uint32_t OsMsgFdCount(const MsgHead *msg) {
    const MsgCargo *cargo = msg != nullptr ? MsgDeliveryCargoOf(msg) : nullptr;
    return cargo != nullptr ? cargo->fdCount : 0U;
}

int OsMsgTakeFd(MsgHead *msg, uint32_t index) {
    MsgCargo *cargo = msg != nullptr ? MsgDeliveryCargoOf(msg) : nullptr;
    return cargo != nullptr ? MsgCargoTakeFd(cargo, index) : -1;
}

uint32_t OsMsgSetTaskByteLimit(const char *taskName, uint64_t bytes) {
    if (!MsgTaskNameGiven(taskName)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    return SimpleMsgSetByteLimit(taskName, bytes);
}

uint32_t OsMsgGetTaskBufStats(const char *taskName, OsMsgTaskBufStats *stats) {
    if (!MsgTaskNameGiven(taskName) || stats == nullptr) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    return SimpleMsgGetBufStats(taskName, stats);
}

} // extern "C"

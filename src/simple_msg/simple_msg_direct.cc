/*
 * The direct call: a task that sends a synchronous request to itself has its
 * callback called inline on the calling thread, which answers into the task's
 * response slot without a ring, a semaphore or a wait.
 *
 * The slot is touched under simpleQueueLock (no respLock: only the one thread
 * inside SimpleMsgDirectCall uses it); the callback runs with no lock held,
 * so the record is looked up again after it returns, in case the callback
 * removed its task.
 */

#include "base/msg_names.h"
#include "log/msg_log.h"
#include "shared_buf/msg_delivery.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_securec.h"

namespace {

/* Looks the task up, holding simpleQueueLock on success; logs a failure
 * under the caller's name. */
SimpleMsgTask *SimpleMsgLockTask(const char *taskName, const char *caller) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    if (SimpleMsgGetQueue(taskName, &task) != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG_AS(caller, OS_LOG_ERROR, "SimpleMsgGetQueue NULL[%s].", taskName);
        return nullptr;
    }
    return task;
}

/* Prepares the slot for a direct call: a response of an earlier call that was
 * never freed is released, and the slot holds the request header without
 * payload until the callback answers. */
void SimpleMsgArmDirectSlot(SimpleMsgTask *task, const MsgHead *head) {
    if (task->enRespStatus == SIMPLE_MSG_RESP_STORED) {
        uint32_t len = 0U;
        void *payload = SimpleMsgTakeRespPayload(task, &len);
        SimpleMsgReleaseBuffer(payload, len);
    }
    if (memcpy_s(&task->respHead, sizeof(MsgHead), head, sizeof(MsgHead)) != 0) {
        (void)memset_s(&task->respHead, sizeof(MsgHead), 0, sizeof(MsgHead));
    }
    task->respHead.data = nullptr;
    task->respHead.dataLen = 0U;
    task->enRespStatus = SIMPLE_MSG_RESP_WAITING;
}

} // namespace

extern "C" {

uint32_t SimpleMsgDirectCall(MsgHead *head, MsgHead **out) {
    return SimpleMsgDirectCallCargo(head, nullptr, out);
}

uint32_t SimpleMsgDirectCallCargo(MsgHead *head, MsgCargo *cargo, MsgHead **out) {
    static const char *const kName = "SimpleMsgDirectCall";
    if (head == nullptr) {
        MsgCargoRelease(cargo);
        OS_MSG_LOG_AS(kName, OS_LOG_ERROR, "invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    // The callback may change the caller's header; keep the name it had.
    const MsgNameCopy name(head->recvTaskName);
    SimpleMsgTask *task = SimpleMsgLockTask(name.text, kName);
    if (task == nullptr) {
        MsgCargoRelease(cargo);
        return OS_MSG_ERR_NOT_FOUND;
    }
    const SimpleTaskCallee callee = SimpleTaskGetCallee(task);
    if (!SimpleTaskCalleeSet(callee)) {
        (void)OsMutexUnLock(&simpleQueueLock);
        MsgCargoRelease(cargo);
        return OS_MSG_ERR_NO_CALLBACK;
    }
    SimpleMsgArmDirectSlot(task, head);
    (void)OsMutexUnLock(&simpleQueueLock);

    if (cargo == nullptr) {
        (void)SimpleTaskCall(callee, head);
    } else {
        MsgDelivery delivery;
        MsgDeliveryEnter(&delivery, head, cargo);
        (void)SimpleTaskCall(callee, head);
        MsgDeliveryLeave(&delivery);
        MsgCargoRelease(cargo);
    }

    task = SimpleMsgLockTask(name.text, kName);
    if (task == nullptr) {
        return OS_MSG_ERR_NOT_FOUND;
    }
    if (task->enRespStatus == SIMPLE_MSG_RESP_WAITING) {
        // Not answered: nothing to free, and a late answer finds no waiter.
        task->enRespStatus = SIMPLE_MSG_RESP_IDLE;
    }
    if (out != nullptr) {
        *out = &task->respHead;
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    return OS_MSG_OK;
}

uint32_t SimpleMsgDirectResp(const MsgHead *head, const void *data, uint32_t len) {
    if (head == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    const MsgNameCopy name(head->sendTaskName);
    SimpleMsgTask *task = SimpleMsgLockTask(name.text, __func__);
    if (task == nullptr) {
        return OS_MSG_ERR_NOT_FOUND;
    }
    if (task->enRespStatus != SIMPLE_MSG_RESP_WAITING) {
        uint32_t status = task->enRespStatus;
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "resp buffer stat wrong[%u], msgid = [%d].", status, (int)head->msgId);
        return OS_MSG_ERR_RESP_STATE;
    }
    MsgHead resp;
    if (memcpy_s(&resp, sizeof(resp), head, sizeof(MsgHead)) != 0) {
        OS_MSG_LOG(OS_LOG_ERROR, "memcpy error.");
    }
    resp.data = nullptr;
    resp.dataLen = 0U;
    if (data != nullptr && len != 0U) {
        resp.data = SimpleMsgCopyBuffer(data, len);
        if (resp.data == nullptr) {
            (void)OsMutexUnLock(&simpleQueueLock);
            OS_MSG_LOG(OS_LOG_ERROR, "SimpleMsgAllocBuffer failed.");
            return OS_MSG_ERR_NO_MEMORY;
        }
        resp.dataLen = len;
    }
    task->respHead = resp;
    task->enRespStatus = SIMPLE_MSG_RESP_STORED;
    (void)OsMutexUnLock(&simpleQueueLock);
    return OS_MSG_OK;
}

uint32_t SimpleMsgDirectFreeResp(const MsgHead *head) {
    if (head == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    // head is usually the slot itself, which is cleared below.
    const MsgNameCopy name(head->recvTaskName);
    SimpleMsgTask *task = SimpleMsgLockTask(name.text, __func__);
    if (task == nullptr) {
        return OS_MSG_ERR_NOT_FOUND;
    }
    if (task->enRespStatus == SIMPLE_MSG_RESP_STORED) {
        // The header stays (a second free still finds the task); the payload
        // reference goes with the payload.
        void *payload = task->respHead.data;
        uint32_t len = task->respHead.dataLen;
        task->respHead.data = nullptr;
        task->respHead.dataLen = 0U;
        if (len != 0U) {
            SimpleMsgReleaseBuffer(payload, len);
        }
        task->enRespStatus = SIMPLE_MSG_RESP_IDLE;
    } else {
        OS_MSG_LOG(OS_LOG_ERROR, "resp buffer null.");
    }
    if (task->autoUnreg != 0U) {
        (void)SimpleMsgDelTask(task, nullptr);
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    return OS_MSG_OK;
}

} // extern "C"

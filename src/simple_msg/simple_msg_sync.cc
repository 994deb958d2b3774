/*
 * Synchronous request and response between two tasks of the process through
 * the requester's response slot: arming, the timed wait, storing an answer,
 * reading and freeing it, and the in-process synchronous send.
 *
 * The requester holds its own respLock from SimpleMsgWaitSynRespStart until
 * the condition wait releases it, and takes simpleQueueLock inside it to push
 * its request; a responder holds simpleQueueLock and only tries the
 * requester's respLock, 200 times 10 ms apart, never blocking on it. The
 * token is set before the request is visible, so no answer is stored before
 * the requester waits, and an answer to an older request is refused. A
 * requester counts itself as a user of the slot (respUsers) from arming until
 * it releases respLock for the last time, and a responder that stored an
 * answer counts itself while it signals respCond with no lock held, so that
 * removal of the task waits for both to leave before destroying the slot.
 */
#define MSG_MODULE "simple_msg"

#include <errno.h>

#include <chrono>

#include "base/msg_cpu_relax.h"
#include "base/msg_result_code.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_os_time.h"
#include "vyre_securec.h"

namespace {

constexpr uint32_t kUsPerMs = 1000U;

/* Tries the requester's respLock as a responder: 0 when it is held, else the
 * last try's result; *count is the number of tries made. */
int32_t SimpleMsgTryRespLock(SimpleMsgTask *task, uint32_t *count) {
    // A requester holds its lock only from pushing its request until its
    // wait starts. An answer that comes that quickly first spins (the
    // requester runs on another processor), then pauses briefly (it was
    // preempted by this thread), before the long pauses.
    for (uint32_t spin = 0; spin < MSG_TUNE_RESP_LOCK_SPIN_TRIES; ++spin) {
        if (OsMutexTryLock(&task->respLock) == 0) {
            *count = 1U;
            return 0;
        }
    }
    for (uint32_t quick = 0; quick < MSG_TUNE_RESP_LOCK_QUICK_TRIES; ++quick) {
        if (OsMutexTryLock(&task->respLock) == 0) {
            *count = 1U;
            return 0;
        }
        OsSleepMs(0U);
    }
    int32_t ret = -1;
    for (*count = 1U;; ++*count) {
        ret = OsMutexTryLock(&task->respLock);
        if (ret == 0 || *count >= SIMPLE_MSG_RESP_LOCK_TRIES) {
            return ret;
        }
        OsSleepMs(SIMPLE_MSG_RESP_LOCK_PAUSE_MS);
    }
}

/* Stores the answer, or with a non-zero refusal that code, in a waiting
 * slot; the caller holds both locks. */
uint32_t SimpleMsgStoreResp(SimpleMsgTask *task, const MsgHead *head, void *payload, uint32_t len, uint32_t refusal) {
    if (task->token != head->msgId) {
        OS_MSG_LOG(OS_LOG_DEBUG, "sync request msg has been released, msgid = %d.", (int)head->msgId);
        return OS_MSG_ERR_REQ_RELEASED;
    }
    if (task->enRespStatus != SIMPLE_MSG_RESP_WAITING) {
        OS_MSG_LOG(OS_LOG_ERROR,
                   "resp buffer wrong stat[%u]. (task[%.16s] no longer waits for msgid 0x%x: its call ended, most "
                   "likely by its time-out, before this answer)",
                   task->enRespStatus, task->acTaskName, head->msgId);
        return OS_MSG_ERR_RESP_STATE;
    }
    if (refusal != OS_MSG_OK) {
        task->respRefusal = refusal;
        task->enRespStatus = SIMPLE_MSG_RESP_REFUSED;
        return OS_MSG_OK;
    }
    if (memcpy_s(&task->respHead, sizeof(MsgHead), head, sizeof(MsgHead)) != 0) {
        OS_MSG_LOG(OS_LOG_ERROR, "memcpy error.");
    }
    task->enRespStatus = SIMPLE_MSG_RESP_STORED;
    task->respHead.dataLen = len;
    task->respHead.data = payload;
    OS_MSG_LOG(OS_LOG_DEBUG, "resp buffer post signal.");
    return OS_MSG_OK;
}

/* Stores head's answer (payload, len) or refusal in the slot of the
 * requester head->sendTaskName and wakes it: SimpleMsgPushRespBuffer's
 * contract. */
uint32_t SimpleMsgAnswerSlot(const MsgHead *head, void *payload, uint32_t len, uint32_t refusal) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    uint32_t ret = SimpleMsgGetQueue(head->sendTaskName, &task);
    if (ret != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "SimpleMsgGetQueue NULL[%.8s].", head->sendTaskName);
        return ret;
    }
    uint32_t count = 0U;
    int32_t lockRet = SimpleMsgTryRespLock(task, &count);
    if (lockRet != 0) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "[%.8s]push resp msgid=0x%x, count = %d, lockRet = %d.", head->sendTaskName,
                   head->msgId, (int)count, (int)lockRet);
        return OS_MSG_ERR_RESP_STATE;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "[%.8s]push resp msgid=0x%x, count = %d, lockRet = %d.", head->sendTaskName, head->msgId,
               (int)count, 0);
    ret = SimpleMsgStoreResp(task, head, payload, len, refusal);
    (void)OsMutexUnLock(&task->respLock);
    if (ret != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        return ret;
    }
    // Signalled with no lock held, so that the woken requester blocks on
    // neither respLock nor simpleQueueLock (which it takes again at once to
    // free the answer and to send its next request). As a user of the slot
    // the responder keeps the record alive: removal waits for the slot's
    // users before it destroys respCond and releases the record.
    SimpleTaskEnterSlot(task);
    (void)OsMutexUnLock(&simpleQueueLock);
    (void)OsPthreadCondSignal(&task->respCond);
    SimpleTaskLeaveSlot(task);
    return OS_MSG_OK;
}

/* Looks for the answer with respLock released, for at most MSG_TUNE_CALL_LOOK_NS: the
 * responder stores it meanwhile as it would during the condition wait. The
 * slot is only read with the lock taken (a try, so the responder, which
 * also only tries, is never held up for long), and the lock is held again
 * on return. The first looks are a few pauses apart; later ones give the
 * processor away in between, so that on a machine with few processors the
 * threads that produce the answer run; once a yield finds another thread
 * with work, the requester sleeps instead (msg_cpu_relax.h). */
void SimpleMsgSpinForResp(SimpleMsgTask *task) {
    (void)OsMutexUnLock(&task->respLock);
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t look = 0U;; ++look) {
        if (look < MSG_TUNE_CALL_BUSY_LOOKS) {
            for (uint32_t i = 0U; i < MSG_TUNE_CALL_LOOK_PAUSES; ++i) {
                MsgCpuRelax();
            }
        } else if (MsgYieldFoundWork()) {
            break;
        }
        if (OsMutexTryLock(&task->respLock) == 0) {
            if (task->enRespStatus != SIMPLE_MSG_RESP_WAITING || task->respClosed != 0U) {
                return;
            }
            (void)OsMutexUnLock(&task->respLock);
        }
        if (std::chrono::steady_clock::now() - start >= std::chrono::nanoseconds(MSG_TUNE_CALL_LOOK_NS)) {
            break;
        }
    }
    (void)OsMutexLock(&task->respLock);
}

/* Looks task taskName up and enters its response slot: the record, with its
 * respLock held and the caller counted among the slot's users, or NULL
 * (nothing held) when the task is not registered or is being removed. The
 * caller logs the refusal. */
SimpleMsgTask *SimpleMsgEnterRespSlot(const char *taskName) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    if (SimpleMsgGetQueue(taskName, &task) != OS_MSG_OK || SimpleTaskState(task) != 1U) {
        (void)OsMutexUnLock(&simpleQueueLock);
        return nullptr;
    }
    SimpleTaskEnterSlot(task);
    (void)OsMutexUnLock(&simpleQueueLock);
    (void)OsMutexLock(&task->respLock);
    return task;
}

/* Waits on respCond until an answer is stored, the slot is closed, the time
 * runs out or the wait fails. Returns the last wait result. */
int32_t SimpleMsgAwaitResp(SimpleMsgTask *task, uint32_t now, uint32_t timeout, int *err) {
    uint32_t remaining = timeout != 0U ? timeout : OS_MSG_DEFAULT_TIMEOUT_MS;
    int32_t ret = 0;
    while (task->respClosed == 0U) {
        uint32_t before = now;
        ret = OsPthreadCondTimedWaitClock(&task->respCond, &task->respLock, (uint64_t)remaining * kUsPerMs);
        *err = errno;
        now = OsGetSysRunTime();
        uint32_t elapsed = now - before;
        remaining = elapsed < remaining ? remaining - elapsed : 0U;
        OS_MSG_LOG(OS_LOG_DEBUG,
                   "pthread cond wait was interrupt. lRet=%d, errno=%d, waittime = %d, enRespStatus = %d.", (int)ret,
                   *err, (int)remaining, (int)task->enRespStatus);
        if (remaining == 0U || task->enRespStatus != SIMPLE_MSG_RESP_WAITING || (ret != 0 && ret != OS_ETIMEDOUT)) {
            break;
        }
    }
    return ret;
}

/* After a call from head->sendTaskName to head->recvTaskName timed out: says
 * why, when the called task shows it. A called task that waits itself for an
 * answer from the caller cannot answer (the two callbacks wait for each
 * other until both time out); one that no thread serves never answers.
 * Looks at the called task's slot only with a try of its lock. */
void SimpleMsgExplainTimeout(const MsgHead *head) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *callee = nullptr;
    bool cycle = false;
    bool unserved = false;
    if (SimpleMsgGetQueue(head->recvTaskName, &callee) == OS_MSG_OK) {
        unserved = SimpleTaskThread(callee) == 0 && SimpleTaskWakeFd(callee) < 0;
        if (OsMutexTryLock(&callee->respLock) == 0) {
            cycle = callee->enRespStatus == SIMPLE_MSG_RESP_WAITING &&
                    strncmp(callee->waitingFor, head->sendTaskName, OS_MSG_NAME_LEN) == 0;
            (void)OsMutexUnLock(&callee->respLock);
        }
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    if (cycle) {
        OS_MSG_LOG_AS("SimpleMsgSynSend", OS_LOG_ERROR,
                      "task[%.16s] and task[%.16s] call each other synchronously: each waits for the other's answer, "
                      "so neither can answer; answer on another thread, or send one of the two asynchronously.",
                      head->sendTaskName, head->recvTaskName);
    } else if (unserved) {
        OS_MSG_LOG_AS("SimpleMsgSynSend", OS_LOG_ERROR,
                      "task[%.16s] timed out calling task[%.16s], which no thread serves.", head->sendTaskName,
                      head->recvTaskName);
    }
}

} // namespace

extern "C" {

SimpleMsgTask *SimpleMsgWaitSynRespStart(const char *taskName) {
    SimpleMsgTask *task = SimpleMsgEnterRespSlot(taskName);
    if (task == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "SimpleMsgGetQueue NULL[%.16s].", SimpleMsgLogName(taskName));
        return nullptr;
    }
    if (task->respClosed != 0U) {
        // Removal closed the slot between the look-up and the lock.
        SimpleTaskLeaveSlot(task);
        (void)OsMutexUnLock(&task->respLock);
        OS_MSG_LOG(OS_LOG_ERROR, "SimpleMsgGetQueue NULL[%.16s].", SimpleMsgLogName(taskName));
        return nullptr;
    }
    return task;
}

void SimpleMsgSetToken(SimpleMsgTask *task, const MsgHead *head) {
    if (task != nullptr && head != nullptr) {
        task->token = head->msgId;
    }
}

uint32_t SimpleMsgWaitSynRespEnd(SimpleMsgTask *task, MsgHead **out, uint32_t timeout) {
    uint32_t now = OsGetSysRunTime();
    if (task == nullptr) {
        return OS_MSG_ERR_NOT_FOUND;
    }
    task->enRespStatus = SIMPLE_MSG_RESP_WAITING;
    SimpleMsgSpinForResp(task);
    int err = 0;
    int32_t waitRet = 0;
    if (task->enRespStatus == SIMPLE_MSG_RESP_WAITING) {
        waitRet = SimpleMsgAwaitResp(task, now, timeout, &err);
    }
    uint32_t ret = OS_MSG_OK;
    if (task->enRespStatus == SIMPLE_MSG_RESP_STORED) {
        if (out != nullptr) {
            *out = &task->respHead;
        }
    } else if (task->enRespStatus == SIMPLE_MSG_RESP_REFUSED) {
        task->enRespStatus = SIMPLE_MSG_RESP_IDLE;
        ret = task->respRefusal;
    } else if (task->respClosed != 0U) {
        OS_MSG_LOG(OS_LOG_ERROR, "task[%s] removed while waiting.", task->acTaskName);
        ret = OS_MSG_ERR_NOT_FOUND;
    } else {
        // A wake-up without an answer once the time is used up is a time-out.
        waitRet = waitRet == 0 ? OS_ETIMEDOUT : waitRet;
        OS_MSG_LOG(OS_LOG_ERROR, "pthread cond wait error. lRet=%d, errno=%d.", (int)waitRet, err);
        task->enRespStatus = SIMPLE_MSG_RESP_IDLE;
        ret = waitRet == OS_ETIMEDOUT ? OS_MSG_ERR_TIMEOUT : OS_MSG_ERR_WAIT;
    }
    task->waitingFor[0] = '\0';
    SimpleTaskLeaveSlot(task);
    (void)OsMutexUnLock(&task->respLock);
    return ret;
}

uint32_t SimpleMsgWaitSynRespEndNoCond(SimpleMsgTask *task) {
    if (task == nullptr) {
        return OS_MSG_ERR_NOT_FOUND;
    }
    task->waitingFor[0] = '\0';
    SimpleTaskLeaveSlot(task);
    (void)OsMutexUnLock(&task->respLock);
    return OS_MSG_OK;
}

uint32_t SimpleMsgPushRespBuffer(const char *taskName, const MsgHead *head, void *payload, uint32_t len) {
    (void)taskName;
    if (head == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    return SimpleMsgAnswerSlot(head, payload, len, OS_MSG_OK);
}

uint32_t SimpleMsgRefuseResp(const char *taskName, uint32_t msgId, uint32_t code) {
    MsgHead head;
    (void)memset(&head, 0, sizeof(head));
    (void)memcpy(head.sendTaskName, taskName, sizeof(head.sendTaskName));
    head.sendTaskName[OS_MSG_NAME_LEN - 1U] = '\0';
    head.msgId = msgId;
    return SimpleMsgAnswerSlot(&head, nullptr, 0U, code);
}

MsgHead *SimpleMsgGetRespBuffer(const char *taskName) {
    SimpleMsgTask *task = SimpleMsgEnterRespSlot(taskName);
    if (task == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "SimpleMsgGetQueue NULL[%.8s].", SimpleMsgLogName(taskName));
        return nullptr;
    }
    uint32_t status = task->enRespStatus;
    MsgHead *resp = status == SIMPLE_MSG_RESP_STORED ? &task->respHead : nullptr;
    SimpleTaskLeaveSlot(task);
    (void)OsMutexUnLock(&task->respLock);
    if (resp == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "GetRespBuffer - enRespStatus is fail [%d].", (int)status);
    }
    return resp;
}

uint32_t SimpleMsgRespSend(const MsgHead *head, const void *data, uint32_t len) {
    if (data == nullptr || len == 0U) {
        return SimpleMsgPushRespBuffer(nullptr, head, nullptr, 0U);
    }
    void *copy = SimpleMsgCopyBuffer(data, len);
    if (copy == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "simple msg alloc buffer error.");
        return OS_MSG_ERR_NO_MEMORY;
    }
    uint32_t ret = SimpleMsgPushRespBuffer(nullptr, head, copy, len);
    if (ret != OS_MSG_OK) {
        SimpleMsgReleaseBuffer(copy, len);
    }
    return ret;
}

uint32_t SimpleMsgFreeRespBuffer(const char *taskName) {
    // As a user of the slot, the record cannot be released under this call;
    // once the slot is left, the record is only reached through the table.
    SimpleMsgTask *task = SimpleMsgEnterRespSlot(taskName);
    if (task == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "SimpleMsgGetQueue NULL[%.16s].", SimpleMsgLogName(taskName));
        return OS_MSG_ERR_NOT_FOUND;
    }
    const bool stored = task->enRespStatus == SIMPLE_MSG_RESP_STORED;
    uint32_t len = 0U;
    void *payload = nullptr;
    if (stored) {
        task->enRespStatus = SIMPLE_MSG_RESP_IDLE;
        payload = SimpleMsgTakeRespPayload(task, &len);
    }
    const bool autoUnreg = task->autoUnreg != 0U;
    SimpleTaskLeaveSlot(task);
    (void)OsMutexUnLock(&task->respLock);
    SimpleMsgReleaseBuffer(payload, len);
    if (!stored) {
        OS_MSG_LOG(OS_LOG_ERROR, "no resp buffer.");
    }
    if (autoUnreg) {
        (void)OsMutexLock(&simpleQueueLock);
        if (SimpleMsgGetQueue(taskName, &task) == OS_MSG_OK && task->autoUnreg != 0U) {
            (void)SimpleMsgDelTask(task, nullptr);
        }
        (void)OsMutexUnLock(&simpleQueueLock);
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "resp buffer free ok.");
    return OS_MSG_OK;
}

uint32_t SimpleMsgSynSend(const MsgHead *head, MsgHead **out, uint32_t timeout) {
    return SimpleMsgSynSendCargo(head, nullptr, out, timeout);
}

uint32_t SimpleMsgSynSendCargo(const MsgHead *head, MsgCargo *cargo, MsgHead **out, uint32_t timeout) {
    if (head == nullptr) {
        MsgCargoRelease(cargo);
        OS_MSG_LOG_AS("SimpleMsgSynSend", OS_LOG_ERROR, "invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    void *payload = nullptr;
    uint32_t len = 0U;
    if (head->data != nullptr && head->dataLen != 0U) {
        len = head->dataLen;
        payload = MsgCargoIsPayload(cargo) ? head->data : SimpleMsgCopyBuffer(head->data, len);
        if (payload == nullptr) {
            MsgCargoRelease(cargo);
            OS_MSG_LOG_AS("SimpleMsgSynSend", OS_LOG_ERROR, "malloc failed.");
            return OS_MSG_ERR_NO_MEMORY;
        }
    }
    SimpleMsgTask *requester = SimpleMsgWaitSynRespStart(head->sendTaskName);
    if (requester == nullptr) {
        OS_MSG_LOG_AS("SimpleMsgSynSend", OS_LOG_ERROR, "wait syn thread msg error.");
        SimpleMsgReleasePayload(payload, len, cargo);
        return OS_MSG_ERR_NOT_FOUND;
    }
    SimpleMsgSetToken(requester, head);
    (void)memcpy(requester->waitingFor, head->recvTaskName, sizeof(requester->waitingFor));
    uint32_t ret = SimpleMsgPushCargo(head->recvTaskName, head, payload, len, cargo);
    if (ret != OS_MSG_OK) {
        SimpleMsgReleasePayload(payload, len, cargo);
        (void)SimpleMsgWaitSynRespEndNoCond(requester);
        return ret;
    }
    ret = SimpleMsgWaitSynRespEnd(requester, out, timeout);
    if (ret != OS_MSG_OK) {
        OS_MSG_LOG_AS("SimpleMsgSynSend", OS_LOG_ERROR, "wait syn thread msg error ret=%d. " MSG_CODE_FMT, (int)ret,
                      MSG_CODE_ARGS(ret));
        if (ret == OS_MSG_ERR_TIMEOUT) {
            SimpleMsgExplainTimeout(head);
        }
        return ret;
    }
    OS_MSG_LOG_AS("SimpleMsgSynSend", OS_LOG_DEBUG, "wait syn thread msg finish.");
    return OS_MSG_OK;
}

} // extern "C"

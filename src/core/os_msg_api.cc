/*
 * The public process, message and event operations. Each tests its arguments
 * in a fixed order and refuses the first broken rule with a fixed code and
 * log line, passes the API gate (the library's "initialised" test, which also
 * keeps teardown from destroying what the call uses), applies the access
 * rules, and calls one operation of the core. Keeps no state; any thread may
 * call any of them (contracts in vyre_os_msg.h).
 */
#include <string.h>

#include "base/msg_fork_state.h"
#include "base/msg_names.h"
#include "base/msg_proc_name.h"
#include "base/msg_serve_mark.h"
#include "core/msg_api_gate.h"
#include "core/msg_event_req.h"
#include "core/msg_join_options.h"
#include "core/msg_lifecycle.h"
#include "core/msg_send.h"
#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "msc/msg_msc.h"
#include "shared_buf/sbuf_pool.h"
#include "simple_msg/msg_mem_pool.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_carrier.h"
#include "vyre_os_msg.h"
#include "vyre_os_thread.h"
#include "vyre_securec.h"

namespace {

/* Synchronous requests travel as transport message type 2. */
constexpr uint32_t kTransSyn = 2U;
constexpr uint32_t kTransAsyn = 1U;

bool MsgProcNameValid(const char *name) {
    return name != nullptr && !MsgNameEmpty(name) && strnlen(name, OS_MSG_NAME_LEN) < OS_MSG_NAME_LEN;
}

/* dataLen plus the header above the message limit (computed without
 * wrapping). */
bool MsgOversize(uint32_t dataLen) {
    return dataLen > OS_MSG_MAX_MSG_SIZE - (uint32_t)sizeof(MsgHead);
}

/* Refuses an oversize payload with the refusal's text and the sizes. */
#define MSG_REFUSE_OVERSIZE(text, dataLen) MsgRefuseOversize(__func__, (uint32_t)__LINE__, (text), (dataLen))

uint32_t MsgRefuseOversize(const char *function, uint32_t line, const char *text, uint32_t dataLen) {
    if (OS_MSG_LOG_ERROR >= __atomic_load_n(&g_enLogLevel, __ATOMIC_RELAXED)) {
        MsgOutput(OS_MSG_LOG_ERROR, function, line, "%s (dataLen %u: a payload may have at most %u bytes)", text,
                  dataLen, OS_MSG_MAX_DATA_LEN);
    }
    return OS_MSG_ERR_OVERSIZE;
}

/* Only the task that made a request, on the CPU where it made it, may free
 * its response. */
bool MsgRespFreeAllowed(const MsgHead *head) {
    uint32_t localCpu = MsgGetLocalCpuID();
    uint32_t requesterCpu = 0U;
    if (MsgCpuGetRealCpuID(head->sendCpuId, &requesterCpu) != OS_MSG_OK) {
        requesterCpu = head->sendCpuId;
    }
    char callerName[OS_MSG_NAME_LEN] = {0};
    (void)SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), callerName, sizeof(callerName));
    bool nameDiffers = callerName[0] != '\0' && !MsgNameEqual(callerName, head->sendTaskName);
    if (nameDiffers || requesterCpu != localCpu) {
        MSG_LOG(OS_MSG_LOG_ERROR, "Spoofing caller.[%.16s]-[%.16s] [%x]-[%x]", head->sendTaskName, callerName,
                requesterCpu, localCpu);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

uint32_t OsMsgInit(const char *procName) {
    if (MsgForkedChild() != 0U) {
        return MSG_API_REFUSE(nullptr);
    }
    if (!MsgProcNameValid(procName)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    return MsgInit(procName);
}

uint32_t OsMsgInitWithOptions(const char *procName, const OsMsgOptions *options) {
    if (MsgForkedChild() != 0U) {
        return MSG_API_REFUSE(nullptr);
    }
    if (!MsgProcNameValid(procName)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgJoinSettings settings = {};
    if (options != nullptr && MsgReadJoinOptions(options, &settings) != OS_MSG_OK) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    return MsgInitWith(procName, &settings);
}

uint32_t OsMsgWaitProcess(const char *procName, uint32_t timeoutMs) {
    if (!MsgProcNameValid(procName)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    const IpcCarrierOps *carrier = IpcCarrierCurrent();
    return carrier->waitProcess != nullptr ? carrier->waitProcess(procName, timeoutMs) : OS_MSG_OK;
}

uint32_t OsMsgUninit(void) {
    if (MsgServingOnReceive()) {
        return MSG_REFUSE_ON_RECEIVE();
    }
    if (MsgForkedChild() != 0U) {
        // The tables are the parent's and their threads are not here: a
        // teardown would wait for them for good.
        return MSG_API_REFUSE(nullptr);
    }
    (void)MsgUninit();
    // The tasks are gone with their queued messages: the segments whose
    // buffers all came back are unmapped.
    SbufTrim();
    return MsgMemPoolDestroy();
}

uint32_t OsMsgMain(void) {
    if (SimpleMsgCheckInit() == 0U || MsgForkedChild() != 0U) {
        return MSG_API_REFUSE("msg not init");
    }
    return MsgWaitServer();
}

uint32_t OsMsgDestroy(const char *procName) {
    if (!MsgProcNameValid(procName)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    if (!MsgNameEqual(procName, MsgGetProcName())) {
        return MSG_REFUSE("no permission to execute msg destory!", OS_MSG_ERR_FAIL);
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "destroy myself");
    return MsgDestroyServer();
}

uint32_t OsMsgGetProcName(char *buffer, uint32_t size) {
    if (buffer == nullptr) {
        return MSG_REFUSE("input buff null.", OS_MSG_ERR_INVALID_PARAM);
    }
    // Outside the gate the name is unset or being cleared.
    MsgApiPass pass;
    if (!pass.Entered() || MsgNameEmpty(MsgGetProcName())) {
        return MSG_API_REFUSE("proc name not set yet.");
    }
    if (memcpy_s(buffer, size, MsgGetProcName(), OS_MSG_NAME_LEN) != 0) {
        return MSG_REFUSE("memcpy error.", OS_MSG_ERR_FAIL);
    }
    return OS_MSG_OK;
}

uint32_t OsMsgAsynSend(MsgHead *head) {
    if (head == nullptr || MsgNameEmpty(head->recvTaskName)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    if (MsgOversize(head->dataLen)) {
        return MSG_REFUSE_OVERSIZE("invalid data size", head->dataLen);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    (void)MsgForceSetSendName(head);
    return MsgAsynSend(head, kTransAsyn);
}

uint32_t OsMsgAsynSendTimed(MsgHead *head, uint32_t timeoutMs) {
    if (head == nullptr || MsgNameEmpty(head->recvTaskName)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    if (MsgOversize(head->dataLen)) {
        return MSG_REFUSE("invalid data size", OS_MSG_ERR_OVERSIZE);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    (void)MsgForceSetSendName(head);
    return MsgAsynSendTimed(head, kTransAsyn, timeoutMs);
}

uint32_t OsMsgSynSend(MsgHead *head, MsgHead **respOut, uint32_t timeout) {
    if (head == nullptr || respOut == nullptr) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    if (MsgOversize(head->dataLen)) {
        return MSG_REFUSE_OVERSIZE("invalid data size", head->dataLen);
    }
    if (MsgNameEmpty(head->recvTaskName)) {
        return MSG_REFUSE("recv task id and task name invlaid.", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    // The request always travels under the calling thread's own task name.
    (void)memset_s(head->sendTaskName, sizeof(head->sendTaskName), 0, sizeof(head->sendTaskName));
    MSG_LOG(OS_MSG_LOG_DEBUG, "before name [%.16s][%.16s]", head->sendProcName, head->sendTaskName);
    uint32_t found = MsgForceSetSendName(head);
    MSG_LOG(OS_MSG_LOG_DEBUG, "after name [%.16s][%.16s], found = %u.", head->sendProcName, head->sendTaskName, found);
    return MsgSynSend(head, respOut, timeout, kTransSyn, found);
}

uint32_t OsMsgSynSendResp(MsgHead *head, const void *data, uint32_t len) {
    if (head == nullptr) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    if (data != nullptr && MsgOversize(len)) {
        return MSG_REFUSE_OVERSIZE("msg oversize", len);
    }
    if (MsgNameEmpty(head->sendTaskName)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    if (MsgNameEqual(MsgGetBspProcName(), MsgGetProcName())) {
        MSG_LOG(OS_MSG_LOG_ERROR, "bsp skip check.");
    } else {
        (void)MsgCpuGetRealCpuID(head->recvCpuId, &head->recvCpuId);
        (void)MsgCpuGetRealCpuID(head->sendCpuId, &head->sendCpuId);
    }
    return MsgSynSendResp(head, data, len);
}

uint32_t OsMsgSynRespFree(MsgHead *head) {
    if (head == nullptr) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    // Entered before the header is read: a response lives in its requester's
    // task record, which a teardown releases while the gate is blocked.
    MsgApiPass pass(MSG_API_RESP_CALL);
    if (!pass.Entered()) {
        if (MsgApiBlocked() == 0U && MsgForkedChild() == 0U && MsgNameEmpty(head->sendTaskName)) {
            return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
        }
        return MSG_API_REFUSE("msg not init");
    }
    if (MsgNameEmpty(head->sendTaskName)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    if (!MsgRespFreeAllowed(head)) {
        return OS_MSG_ERR_FAIL;
    }
    return MsgFreeResp(head);
}

uint32_t OsMsgSubscribeEvent(MsgSubEntry *entries, uint32_t count) {
    if (entries == nullptr || count == 0U) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    return MsgSendSubMsg(entries, count, 1U);
}

uint32_t OsMsgUnsubscribeEvent(MsgSubEntry *entries, uint32_t count) {
    if (entries == nullptr || count == 0U) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    return MsgSendSubMsg(entries, count, 0U);
}

uint32_t OsMsgBroadcastEvent(const MsgBroEntry *events, uint32_t count) {
    if (events == nullptr || count == 0U) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    return MsgSendBroadcastMsg(events, count);
}

} // extern "C"

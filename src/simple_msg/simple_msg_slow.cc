/*
 * Slow-handling records: every callback call that took 3000 ms or more
 * leaves a record in timeOutList, newest first, at most 101 of them, for the
 * dump. The loop threads write them; timeOutListLock guards the list.
 */
#define MSG_MODULE "simple_msg"

#include "base/msg_alloc.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_securec.h"

namespace {

bool SimpleMsgFillTimeOutInfo(SimpleMsgTimeOutInfo *info, const MsgHead *msg) {
    return strcpy_s(info->acTaskName, sizeof(info->acTaskName), msg->recvTaskName) == 0 &&
           strcpy_s(info->sendProcName, sizeof(info->sendProcName), msg->sendProcName) == 0 &&
           strcpy_s(info->sendTaskName, sizeof(info->sendTaskName), msg->sendTaskName) == 0;
}

} // namespace

extern "C" {

uint32_t SetSimpleMsgTimeOut(const MsgHead *msg, uint32_t t0, uint32_t t1) {
    uint32_t interval = t1 - t0;
    if (interval < SIMPLE_MSG_SLOW_HANDLING_MS) {
        return OS_MSG_OK;
    }
    SimpleMsgTimeOutInfo *info = static_cast<SimpleMsgTimeOutInfo *>(MSG_CALLOC(1, sizeof(SimpleMsgTimeOutInfo)));
    if (info == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "malloc failed.");
        return OS_MSG_ERR_NO_MEMORY;
    }
    info->intervalTime = interval;
    if (!SimpleMsgFillTimeOutInfo(info, msg)) {
        OS_MSG_LOG(OS_LOG_ERROR, "strcpy_s failed.");
        MSG_FREE(info);
        return OS_MSG_ERR_FAIL;
    }
    info->msgId = msg->msgId;

    (void)OsMutexLock(&timeOutListLock);
    uint32_t pushed = ZEM_ListPushFront(&timeOutList, reinterpret_cast<ZemWord>(info));
    if (pushed == 0U && ZEM_ListSize(&timeOutList) > SIMPLE_MSG_SLOW_RECORDS_MAX) {
        ZEM_ListPopBack(&timeOutList);
    }
    (void)OsMutexUnLock(&timeOutListLock);
    if (pushed != 0U) {
        MSG_FREE(info);
        OS_MSG_LOG(OS_LOG_ERROR, "malloc failed.");
        return OS_MSG_ERR_NO_MEMORY;
    }
    return OS_MSG_OK;
}

void SimpleMsgFreeNode(ZemWord record) {
    MSG_FREE(reinterpret_cast<void *>(record));
}

} // extern "C"

/*
 * The channel layer's conversions, names and hooks. See msg_msc.h for the
 * numbering and the thread-safety of the hook pointers.
 */
#include "msc/msg_msc.h"

#include "log/msg_log.h"

namespace {

const char g_bspTaskName[OS_MSG_NAME_LEN] = {0};
const char g_bspProcName[OS_MSG_NAME_LEN] = {0};

uint8_t ChanTypeOf(uint32_t block) {
    return (uint8_t)((block & MSG_MSC_CHAN_TYPE_MASK) >> MSG_MSC_CHAN_TYPE_SHIFT);
}

uint8_t MemTypeOf(uint32_t block) {
    return (uint8_t)(block & MSG_MSC_MEM_TYPE_MASK);
}

uint32_t WithTypes(uint32_t block, uint8_t chanType, uint8_t memType) {
    return (block & ~(MSG_MSC_CHAN_TYPE_MASK | MSG_MSC_MEM_TYPE_MASK)) |
           (((uint32_t)chanType << MSG_MSC_CHAN_TYPE_SHIFT) & MSG_MSC_CHAN_TYPE_MASK) |
           ((uint32_t)memType & MSG_MSC_MEM_TYPE_MASK);
}

} // namespace

extern "C" {

MsgMscGetSyncStatusFunc g_pfnMscGetSyncStatus = nullptr;
MsgMscSetSyncStatusCbFunc g_pfnMscSetSyncStatusCb = nullptr;

uint32_t MsgMscInit(const char *procName) {
    (void)procName;
    return OS_MSG_OK;
}

uint32_t MsgMscUninit(const char *procName) {
    (void)procName;
    return OS_MSG_OK;
}

uint32_t MsgMscInitHidl(void) {
    return OS_MSG_OK;
}

uint32_t MsgAdpMscSendMsg(void *arg) {
    (void)arg;
    return OS_MSG_OK;
}

uint32_t MsgAdpMscRegHidlCallback(const char *procName) {
    MSG_LOG(OS_MSG_LOG_ERROR, "register procname[%s].", procName != nullptr ? procName : "");
    return OS_MSG_OK;
}

uint32_t MsgMscGetDefaultChanType(void) {
    return MSG_MSC_DEFAULT_CHAN_TYPE;
}

uint32_t MsgChanTypeOs2Msc(uint8_t chanType, uint8_t *out) {
    if (out == nullptr || chanType > MSG_MSC_MAX_CHAN_TYPE) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid chanType [%u].", (unsigned)chanType);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    *out = chanType;
    return OS_MSG_OK;
}

uint32_t MsgChanTypeMsc2Os(uint8_t chanType, uint8_t *out) {
    if (out == nullptr || chanType > MSG_MSC_MAX_CHAN_TYPE) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid chanType [%u].", (unsigned)chanType);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    *out = chanType;
    return OS_MSG_OK;
}

uint32_t MsgMemTypeOs2Msc(uint8_t memType, uint8_t *out) {
    if (out == nullptr) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    switch (memType) {
    case MSG_OS_MEM_TYPE_VIR2PHY:
        *out = MSG_MSC_MEM_TYPE_VIR2PHY;
        break;
    case MSG_OS_MEM_TYPE_SHARED:
        *out = MSG_MSC_MEM_TYPE_SHARED;
        break;
    default:
        *out = 0;
        break;
    }
    return OS_MSG_OK;
}

uint32_t MsgMemTypeMsc2Os(uint8_t memType, uint8_t *out) {
    if (out == nullptr) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    switch (memType) {
    case MSG_MSC_MEM_TYPE_SHARED:
        *out = MSG_OS_MEM_TYPE_SHARED;
        break;
    case MSG_MSC_MEM_TYPE_VIR2PHY:
        *out = MSG_OS_MEM_TYPE_VIR2PHY;
        break;
    default:
        *out = 0;
        break;
    }
    return OS_MSG_OK;
}

uint32_t MsgSetSendMscBlock(MsgHead *head) {
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    uint8_t chanType = 0;
    uint32_t ret = MsgChanTypeOs2Msc(ChanTypeOf(head->mscBlock), &chanType);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    uint8_t memType = 0;
    (void)MsgMemTypeOs2Msc(MemTypeOf(head->mscBlock), &memType);
    head->mscBlock = WithTypes(head->mscBlock, chanType, memType);

    bool channelPayload = memType == MSG_MSC_MEM_TYPE_SHARED || memType == MSG_MSC_MEM_TYPE_VIR2PHY;
    if (channelPayload && head->data != nullptr && head->dataLen != 0) {
        MSG_LOG(OS_MSG_LOG_WARN, "msc data cannot use data.");
        head->data = nullptr;
        head->dataLen = 0;
    }
    if (memType == MSG_MSC_MEM_TYPE_VIR2PHY) {
        MSG_LOG(OS_MSG_LOG_ERROR, "msc vir2phy no implemention.");
        return OS_MSG_ERR_NOT_IMPLEMENTED;
    }
    return OS_MSG_OK;
}

uint32_t MsgSetRecvMscBlock(uint32_t *block) {
    if (block == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (MemTypeOf(*block) == MSG_MSC_MEM_TYPE_VIR2PHY) {
        MSG_LOG(OS_MSG_LOG_ERROR, "msc vir2phy no implemention.");
        return OS_MSG_ERR_NOT_IMPLEMENTED;
    }
    uint8_t chanType = 0;
    uint32_t ret = MsgChanTypeMsc2Os(ChanTypeOf(*block), &chanType);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    uint8_t memType = 0;
    (void)MsgMemTypeMsc2Os(MemTypeOf(*block), &memType);
    *block = WithTypes(*block, chanType, memType);
    return OS_MSG_OK;
}

const char *MsgGetBspTaskName(void) {
    return g_bspTaskName;
}

const char *MsgGetBspProcName(void) {
    return g_bspProcName;
}

uint32_t MsgMscSetSyncStatusCallBack(void *callback) {
    MsgMscSetSyncStatusCbFunc hook = __atomic_load_n(&g_pfnMscSetSyncStatusCb, __ATOMIC_ACQUIRE);
    if (hook == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "SetMscSyncStatusCb has no implemention.");
        return OS_MSG_OK;
    }
    uint32_t ret = hook(callback);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "register msc sync status callback fail.");
        return ret;
    }
    return OS_MSG_OK;
}

uint32_t MsgMscGetSyncStatus(void *arg) {
    MsgMscGetSyncStatusFunc hook = __atomic_load_n(&g_pfnMscGetSyncStatus, __ATOMIC_ACQUIRE);
    if (hook == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "MsgMscGetSyncStatus has no implemention.");
        return OS_MSG_OK;
    }
    return hook(arg);
}

} // extern "C"

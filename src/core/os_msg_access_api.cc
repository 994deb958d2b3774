/*
 * The public calls of the access policy and of the shared run directory
 * ("Access between processes" in the public header): each checks its
 * arguments and hands them to the policy (transport/ipc_access.h), which
 * keeps them across OsMsgInit and OsMsgUninit. Callable at any time, also
 * before OsMsgInit, from any thread.
 */
#define MSG_MODULE "msg_proc"

#include "log/msg_log.h"
#include "transport/ipc_access.h"
#include "vyre_os_msg.h"

extern "C" {

uint32_t OsMsgAllow(const OsMsgAccessRule *rule) {
    uint32_t ret = IpcAccessAdd(rule);
    if (ret == OS_MSG_ERR_INVALID_PARAM) {
        return MSG_REFUSE("invalid access rule", ret);
    }
    if (ret == OS_MSG_ERR_FULL) {
        return MSG_REFUSE("access rules full", ret);
    }
    return ret;
}

uint32_t OsMsgSetAccessPolicy(const OsMsgAccessRule *rules, uint32_t count) {
    uint32_t ret = IpcAccessReplace(rules, count);
    if (ret == OS_MSG_ERR_INVALID_PARAM) {
        return MSG_REFUSE("invalid access rule", ret);
    }
    if (ret == OS_MSG_ERR_FULL) {
        return MSG_REFUSE("access rules full", ret);
    }
    return ret;
}

uint32_t OsMsgSetSharedRunDir(uint32_t ownerUid, uint32_t groupGid) {
    IpcAccessSetSharedRunDir(ownerUid, groupGid);
    return OS_MSG_OK;
}

} // extern "C"

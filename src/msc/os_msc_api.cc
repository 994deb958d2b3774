/*
 * Public multi-CPU channel operations: they pass their argument unchanged to
 * the channel layer. Callable from any thread.
 */
#include "msc/msg_msc.h"
#include "vyre_os_msg.h"

extern "C" {

uint32_t OsMscGetSyncStatus(void *arg) {
    return MsgMscGetSyncStatus(arg);
}

uint32_t OsMscSetSyncStatusCallback(void *cb) {
    return MsgMscSetSyncStatusCallBack(cb);
}

} // extern "C"

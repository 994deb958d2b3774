/*
 * Public log controls: they forward to the library's log line. Callable from
 * any thread at any time.
 */
#include "log/msg_log.h"
#include "vyre_os_msg.h"

extern "C" {

void OsMsgRegLogFunc(OsMsgLogFunc func) {
    MsgSetLogFunc(func);
}

void OsMsgSetLogLevel(uint32_t level) {
    MsgSetLogLevel(level);
}

} // extern "C"

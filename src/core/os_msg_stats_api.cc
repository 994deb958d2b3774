/*
 * The public task statistics: one task's counters, and one line per task on
 * standard output, written like the library's other listings (to a
 * descriptor) once the program's own buffered output there is flushed. Each checks its arguments, passes the API gate
 * (which keeps teardown from destroying the task table under the call) and reads the in-process layer's counters, which
 * takes simpleQueueLock only to find the records. Keeps no state; callable from any thread.
 */
#include <stdio.h>
#include <unistd.h>

#include "base/msg_names.h"
#include "core/msg_api_gate.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "vyre_os_msg.h"

extern "C" {

uint32_t OsMsgGetTaskStats(const char *taskName, OsMsgTaskStats *stats) {
    if (taskName == nullptr || MsgNameEmpty(taskName) || stats == nullptr) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    uint32_t ret = SimpleMsgGetTaskStats(taskName, stats);
    if (ret == OS_MSG_ERR_NOT_FOUND) {
        return MSG_REFUSE("task not registered", ret);
    }
    return ret;
}

uint32_t OsMsgDumpStats(void) {
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    (void)fflush(stdout);
    SimpleMsgDumpStats(STDOUT_FILENO);
    return OS_MSG_OK;
}

} // extern "C"

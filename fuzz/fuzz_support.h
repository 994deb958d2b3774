/*
 * What the fuzz targets share: a check that aborts, so that libFuzzer
 * reports the input that broke it; silenced logs (refusals are the normal
 * outcome of arbitrary input); and, for the targets that deliver into task
 * queues, a process named "proc" with the in-process layer and tasks "t0"
 * and "t1" whose queues hold two messages and have no loops. Each target
 * runs its inputs on one thread.
 */
#ifndef VYRE_FUZZ_SUPPORT_H
#define VYRE_FUZZ_SUPPORT_H

#include <stdlib.h>

#include <initializer_list>

#include "base/msg_proc_name.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "vyre_os_log.h"

inline void Require(bool condition) {
    if (!condition) {
        abort();
    }
}

inline void SilenceLogs() {
    OsLogSetLevel(5);
    MsgSetLogFunc(nullptr);
}

// Logs silenced, the process named "proc", the in-process layer up and
// tasks "t0" and "t1" registered.
inline void SetUpTwoTaskProcess() {
    SilenceLogs();
    Require(MsgSetProcName("proc", 5) == OS_MSG_OK);
    Require(SimpleMsgInitPthreadMutex() == OS_MSG_OK);
    Require(SimpleMsgCreateQueue(128) == OS_MSG_OK);
    for (const char *task : {"t0", "t1"}) {
        Require(SimpleMsgRegTask(task, 2, nullptr, 0) == OS_MSG_OK);
    }
}

// Empties the queues of "t0" and "t1" (re-registering releases what they held).
inline void ResetTwoTasks() {
    for (const char *task : {"t0", "t1"}) {
        Require(SimpleMsgUnregTask(task) == OS_MSG_OK);
        Require(SimpleMsgRegTask(task, 2, nullptr, 0) == OS_MSG_OK);
    }
}

#endif // VYRE_FUZZ_SUPPORT_H

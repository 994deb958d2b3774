/*
 * The public task operations: register a task (with a plain callback or one
 * that gets the application's pointer), run its loop on the calling thread
 * or serve it from the application's poll loop through its descriptor,
 * unregister it. Each checks its arguments in a fixed order, refuses
 * with a fixed code and log line, passes the API gate (the "initialised" test,
 * which also keeps teardown from destroying the task table under the call; a
 * task loop stays inside until its task is removed) and then calls one
 * operation of the in-process layer, which does the locking. Keeps no state;
 * callable from any thread.
 */
#include "base/msg_names.h"
#include "base/msg_proc_name.h"
#include "base/msg_serve_mark.h"
#include "core/msg_api_gate.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_carrier.h"
#include "vyre_os_msg.h"

extern "C" {

uint32_t OsMsgRegTask(const char *name, uint32_t queueLen, OsMsgTaskFunc cb) {
    if (name == nullptr || MsgNameEmpty(name)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    return SimpleMsgRegTask(name, queueLen, cb, 0U);
}

uint32_t OsMsgRegTaskEx(const char *name, uint32_t queueLen, OsMsgTaskFuncEx cb, void *user) {
    if (name == nullptr || MsgNameEmpty(name)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    return SimpleMsgRegTaskEx(name, queueLen, cb, user);
}

uint32_t OsMsgTaskRoutineByName(const char *name) {
    if (MsgServingOnReceive()) {
        return MSG_REFUSE_ON_RECEIVE();
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    return SimpleTaskRoutineByName(const_cast<char *>(name));
}

uint32_t OsMsgTaskRoutineEx(const char *name, void *user) {
    if (name == nullptr || MsgNameEmpty(name)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    if (MsgServingOnReceive()) {
        return MSG_REFUSE_ON_RECEIVE();
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    return SimpleTaskRoutineOf(name, user);
}

uint32_t OsMsgTaskFd(const char *name, int *fd) {
    if (name == nullptr || MsgNameEmpty(name) || fd == nullptr) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    return SimpleTaskOpenFd(name, fd);
}

uint32_t OsMsgTaskServeOnReceive(const char *name) {
    if (name == nullptr || MsgNameEmpty(name)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    const IpcCarrierOps *carrier = IpcCarrierCurrent();
    if (carrier->serveTask == nullptr) {
        return MSG_REFUSE("this carrier has no receive thread; the socket carrier has one.",
                          OS_MSG_ERR_NOT_IMPLEMENTED);
    }
    return carrier->serveTask(name);
}

uint32_t OsMsgTaskHandle(const char *name, uint32_t maxCount, uint32_t *handled) {
    uint32_t count = 0U;
    if (handled != nullptr) {
        *handled = 0U;
    }
    if (name == nullptr || MsgNameEmpty(name) || maxCount == 0U) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_REFUSE("msg not init", OS_MSG_ERR_NOT_INIT);
    }
    uint32_t ret = SimpleTaskHandleSome(name, maxCount, &count);
    if (handled != nullptr) {
        *handled = count;
    }
    return ret;
}

uint32_t OsMsgUnregTask(const char *procName, uint32_t reserved, const char *taskName) {
    (void)reserved;
    if (taskName == nullptr || MsgNameEmpty(taskName)) {
        return MSG_REFUSE("invalid param", OS_MSG_ERR_INVALID_PARAM);
    }
    MsgApiPass pass;
    if (!pass.Entered()) {
        return MSG_API_REFUSE("msg not init");
    }
    if (procName != nullptr && !MsgNameEqual(procName, MsgGetProcName())) {
        return MSG_REFUSE("no permission to execute unregtask!", OS_MSG_ERR_FAIL);
    }
    return SimpleMsgUnregTask(taskName);
}

} // extern "C"

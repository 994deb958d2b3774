/*
 * The table of result codes: value, name and meaning, in increasing order of
 * value. A meaning says what happened in the caller's terms and, where there
 * is one, what to look at next.
 */
#include "base/msg_result_code.h"

#include "vyre_os_msg.h"

namespace {

struct MsgCodeEntry {
    uint32_t code;
    const char *name;
    const char *text; // "NAME: meaning"
};

// The name is the macro's spelling, so the table cannot call a code by a
// name the header does not give it.
#define MSG_CODE_ENTRY(code, meaning)                                                                                  \
    { code, #code, #code ": " meaning }

const MsgCodeEntry kCodes[] = {
    MSG_CODE_ENTRY(OS_MSG_OK, "success: the call did what it was asked"),
    MSG_CODE_ENTRY(OS_MSG_ERR_INVALID_PARAM, "an argument is NULL, empty, too long (names: 1 to 15 characters) or "
                                             "out of range, or received data is malformed"),
    MSG_CODE_ENTRY(OS_MSG_ERR_SERVER_NOT_RUNNING, "the message server is not running: the receiving process is not "
                                                  "running, or this process has stopped (OsMsgDestroy)"),
    MSG_CODE_ENTRY(OS_MSG_ERR_REPEATED, "set up twice: a table, pool or service exists already, or a live process "
                                        "of the run directory has this process name"),
    MSG_CODE_ENTRY(OS_MSG_ERR_NOT_INIT, "the library is not initialised: call OsMsgInit first (or it is being "
                                        "torn down)"),
    MSG_CODE_ENTRY(OS_MSG_ERR_NOT_FOUND, "no such task, queue or entry: check the name and that the receiving "
                                         "process has registered the task"),
    MSG_CODE_ENTRY(OS_MSG_ERR_FULL, "a queue or table is full: the receiving task handles messages more slowly than "
                                    "they come, or no thread serves it (vyre-msg tasks shows which)"),
    MSG_CODE_ENTRY(OS_MSG_ERR_NO_CALLBACK, "the task called directly has no callback"),
    MSG_CODE_ENTRY(OS_MSG_ERR_WAIT, "waiting for the answer failed for a reason other than a time-out"),
    MSG_CODE_ENTRY(OS_MSG_ERR_OVERSIZE, "too large: header and payload above OS_MSG_MAX_MSG_SIZE (4 MiB), or a "
                                        "request with too many entries for one message"),
    MSG_CODE_ENTRY(OS_MSG_ERR_NO_IDLE_BLOCK, "no free entry: too many processes share the run directory or are "
                                             "sent to, or too many subscriptions to other processes are kept"),
    MSG_CODE_ENTRY(OS_MSG_ERR_SYSTEM, "an operating-system resource (socket, file, run directory) or the CPU "
                                      "configuration file is missing or unusable"),
    MSG_CODE_ENTRY(OS_MSG_ERR_FAIL, "not permitted (another process's task or name, another thread's response), "
                                    "or a bounded copy failed"),
    MSG_CODE_ENTRY(OS_MSG_ERR_NOT_IMPLEMENTED, "the channel conversion is not implemented on this platform"),
    MSG_CODE_ENTRY(OS_MSG_ERR_TASK_EXIST, "the task name is registered already, with a callback"),
    MSG_CODE_ENTRY(OS_MSG_ERR_TIMEOUT, "no answer in time: the called task is busy or blocked, no thread serves "
                                       "it, or it is waiting for an answer from the caller"),
    MSG_CODE_ENTRY(OS_MSG_ERR_SYN_TIMEOUT, "no answer through the transport in time: the called process is busy "
                                           "or blocked, or has no such task"),
    MSG_CODE_ENTRY(OS_MSG_ERR_REQ_RELEASED, "the answer is for a request nobody waits for any more (the caller "
                                            "timed out or made a newer call)"),
    MSG_CODE_ENTRY(OS_MSG_ERR_RESP_STATE, "the caller no longer waits for this answer (its call timed out), or the "
                                          "response was freed already"),
    MSG_CODE_ENTRY(OS_MSG_ERR_TASK_BUSY, "the task is served already (another thread runs its loop, or it is served "
                                         "through its descriptor), or its callback did not return in time for the "
                                         "removal"),
    MSG_CODE_ENTRY(OS_MSG_ERR_TASK_WAIT, "the task loop's wait for messages failed"),
    MSG_CODE_ENTRY(OS_MSG_ERR_HASH, "a table could not be created or grown (memory is short)"),
    MSG_CODE_ENTRY(OS_MSG_ERR_THREAD_CREATE, "a thread could not be created (process or system thread limit)"),
    MSG_CODE_ENTRY(OS_MSG_ERR_NO_MEMORY, "memory is short, or the message memory pool has no free chunk"),
    MSG_CODE_ENTRY(OS_MSG_ERR_ACCESS, "refused by access control: the receiving process's access policy does not "
                                      "accept this sender for the task and message id (see its log and "
                                      "VYRE_OS_MSG_POLICY), or the run directory, a file in it or the policy file "
                                      "is one another user could change (the log line says which and why)"),
};

#undef MSG_CODE_ENTRY

constexpr const char *kUnknown = "unknown result code";

const MsgCodeEntry *MsgCodeFind(uint32_t code) {
    for (const MsgCodeEntry &entry : kCodes) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

extern "C" {

const char *MsgCodeName(uint32_t code) {
    const MsgCodeEntry *entry = MsgCodeFind(code);
    return entry != nullptr ? entry->name : kUnknown;
}

const char *MsgCodeText(uint32_t code) {
    const MsgCodeEntry *entry = MsgCodeFind(code);
    return entry != nullptr ? entry->text : kUnknown;
}

bool MsgCodeKnown(uint32_t code) {
    return MsgCodeFind(code) != nullptr;
}

} // extern "C"

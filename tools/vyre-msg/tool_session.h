/*
 * vyre-msg's membership of the messaging system and its requests to the
 * control tasks of other processes.
 *
 * The tool joins the run directory as a process of its own, under
 * "vmsg-<pid>" (at most 15 characters, unique while it runs), always with the
 * Unix-socket carrier, and leaves when the session ends, taking its socket
 * with it. The library's records are off unless VYRE_OS_MSG_LOG_LEVEL asks
 * for them (then they go to standard error); the line the library prints on
 * standard output when it starts is kept out of the tool's output.
 *
 * One thread uses a session at a time.
 */
#ifndef VYRE_TOOL_SESSION_H
#define VYRE_TOOL_SESSION_H

#include <stdint.h>

#include <string>
#include <vector>

#include "core/msg_ctl_proto.h"

namespace vyremsg {

/* Exit codes. */
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1; // a request was refused, failed or not answered
constexpr int kExitUsage = 2;  // the command line is wrong
constexpr int kExitJoin = 3;   // the tool could not join the messaging system

/* Default waits for an answer. */
constexpr uint32_t kRequestTimeoutMs = 2000U;
constexpr uint32_t kCallTimeoutMs = 5000U;

class Session {
public:
    Session() = default;
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    /* Joins; OS_MSG_OK or OsMsgInit's code. */
    uint32_t Join();
    const std::string &Name() const { return name_; }

    /* Sends one control request (the head and count records of recordSize
     * bytes) to process proc and waits for the answer, at most timeoutMs:
     * its payload in *answer. The call's code, else the answer's result
     * (OS_MSG_ERR_INVALID_PARAM for an answer the tool does not
     * understand). */
    uint32_t Request(const std::string &proc, uint32_t msgId, const void *record, uint32_t recordSize,
                     uint32_t timeoutMs, std::vector<uint8_t> *answer);

    uint32_t Info(const std::string &proc, uint32_t timeoutMs, MsgCtlInfo *info);
    /* Every task, or the one named task (task not empty). */
    uint32_t Tasks(const std::string &proc, const std::string &task, uint32_t timeoutMs, std::vector<MsgCtlTask> *tasks,
                   uint32_t *total);
    uint32_t Subs(const std::string &proc, uint32_t timeoutMs, std::vector<MsgCtlSub> *subs, uint32_t *total);
    uint32_t Monitor(const std::string &proc, const MsgCtlMonitorReq &req, uint32_t timeoutMs);

    /* The processes of the run directory: the names of its sockets, sorted,
     * the tool's own left out. OS_MSG_OK, or why the directory could not be
     * read (*dir says which it is). */
    uint32_t Processes(std::vector<std::string> *names, std::string *dir);

private:
    std::string name_;
    bool joined_ = false;
};

/* The answer's records of one kind, read with their known size; records of
 * an earlier version, at least minSize bytes, leave the fields they lack 0. */
template <typename Record>
bool ReadRecords(const std::vector<uint8_t> &answer, std::vector<Record> *records, uint32_t *total,
                 uint32_t minSize = sizeof(Record)) {
    MsgCtlHead head;
    if (!MsgCtlParse(answer.data(), static_cast<uint32_t>(answer.size()), minSize, &head)) {
        return false;
    }
    records->assign(head.count, Record{});
    const uint32_t size = head.recordSize < sizeof(Record) ? head.recordSize : sizeof(Record);
    for (uint32_t i = 0U; i < head.count; ++i) {
        MsgCtlReadRecord(answer.data(), &head, i, &(*records)[i], size);
    }
    if (total != nullptr) {
        *total = head.total;
    }
    return true;
}

/* "OS_MSG_ERR_FULL: ..." for a failed command's message. */
std::string Why(uint32_t code);

} // namespace vyremsg

#endif // VYRE_TOOL_SESSION_H

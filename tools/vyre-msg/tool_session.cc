/*
 * Joining, leaving and the control requests of vyre-msg.
 */
#include "tool_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "vyre_os_msg.h"

namespace vyremsg {

namespace {

constexpr char kSockSuffix[] = ".sock";

/* OsMsgInitWithOptions with standard output sent to /dev/null meanwhile, so
 * that the line the library prints when its server starts stays out of the
 * tool's output (which scripts read). */
uint32_t QuietInit(const char *name, const OsMsgOptions *options) {
    (void)fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && devNull >= 0) {
        (void)dup2(devNull, STDOUT_FILENO);
    }
    uint32_t ret = OsMsgInitWithOptions(name, options);
    (void)fflush(stdout);
    if (saved >= 0 && devNull >= 0) {
        (void)dup2(saved, STDOUT_FILENO);
    }
    if (saved >= 0) {
        (void)close(saved);
    }
    if (devNull >= 0) {
        (void)close(devNull);
    }
    return ret;
}

void FillName(char *field, const std::string &name) {
    (void)memset(field, 0, OS_MSG_NAME_LEN);
    (void)memcpy(field, name.data(), std::min<size_t>(name.size(), OS_MSG_NAME_LEN - 1U));
}

} // namespace

std::string Why(uint32_t code) {
    return OsMsgStrError(code);
}

Session::~Session() {
    if (joined_) {
        (void)OsMsgDestroy(name_.c_str());
        (void)OsMsgUninit();
    }
}

uint32_t Session::Join() {
    // The tool sees other processes only through the Unix-socket carrier,
    // whatever the build's default; the run directory is the processes'
    // own (VYRE_OS_MSG_RUNDIR, else the default).
    OsMsgOptions options = OS_MSG_OPTIONS_INIT;
    options.carrier = OS_MSG_CARRIER_UNIX;
    const char *level = getenv("VYRE_OS_MSG_LOG_LEVEL");
    if (level == nullptr || level[0] == '\0') {
        options.flags |= OS_MSG_OPT_LOG_SINK; // the library's records stay off
        options.logSink = nullptr;
    }
    name_ = "vmsg-" + std::to_string(getpid());
    uint32_t ret = QuietInit(name_.c_str(), &options);
    joined_ = ret == OS_MSG_OK;
    return ret;
}

uint32_t Session::Request(const std::string &proc, uint32_t msgId, const void *record, uint32_t recordSize,
                          uint32_t timeoutMs, std::vector<uint8_t> *answer) {
    std::vector<uint8_t> payload(sizeof(MsgCtlHead) + (record != nullptr ? recordSize : 0U));
    const MsgCtlHead head = MsgCtlMakeHead(OS_MSG_OK, record != nullptr ? 1U : 0U, recordSize, 0U);
    (void)memcpy(payload.data(), &head, sizeof(head));
    if (record != nullptr) {
        (void)memcpy(payload.data() + sizeof(head), record, recordSize);
    }
    MsgHead msg;
    (void)memset(&msg, 0, sizeof(msg));
    FillName(msg.sendProcName, name_);
    FillName(msg.recvProcName, proc);
    FillName(msg.recvTaskName, MSG_TASK_NAME_PMSG_CTL);
    msg.msgId = msgId;
    msg.data = payload.data();
    msg.dataLen = static_cast<uint32_t>(payload.size());
    MsgHead *resp = nullptr;
    uint32_t ret = OsMsgSynSend(&msg, &resp, timeoutMs);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    const uint8_t *data = static_cast<const uint8_t *>(resp->data);
    answer->assign(data, data + (data != nullptr ? resp->dataLen : 0U));
    (void)OsMsgSynRespFree(resp);
    MsgCtlHead answerHead;
    if (!MsgCtlParse(answer->data(), static_cast<uint32_t>(answer->size()), 0U, &answerHead)) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    return answerHead.result;
}

uint32_t Session::Info(const std::string &proc, uint32_t timeoutMs, MsgCtlInfo *info) {
    std::vector<uint8_t> answer;
    uint32_t ret = Request(proc, MSG_ID_CTL_INFO, nullptr, 0U, timeoutMs, &answer);
    std::vector<MsgCtlInfo> infos;
    if (ret == OS_MSG_OK && (!ReadRecords(answer, &infos, nullptr, MSG_CTL_INFO_V2_SIZE) || infos.size() != 1U)) {
        ret = OS_MSG_ERR_INVALID_PARAM;
    }
    if (ret == OS_MSG_OK) {
        *info = infos[0];
    }
    return ret;
}

uint32_t Session::Tasks(const std::string &proc, const std::string &task, uint32_t timeoutMs,
                        std::vector<MsgCtlTask> *tasks, uint32_t *total) {
    MsgCtlTaskQuery query;
    FillName(query.taskName, task);
    std::vector<uint8_t> answer;
    uint32_t ret = Request(proc, MSG_ID_CTL_TASKS, task.empty() ? nullptr : &query, sizeof(query), timeoutMs, &answer);
    if (ret == OS_MSG_OK && !ReadRecords(answer, tasks, total, MSG_CTL_TASK_V2_SIZE)) {
        ret = OS_MSG_ERR_INVALID_PARAM;
    }
    return ret;
}

uint32_t Session::Subs(const std::string &proc, uint32_t timeoutMs, std::vector<MsgCtlSub> *subs, uint32_t *total) {
    std::vector<uint8_t> answer;
    uint32_t ret = Request(proc, MSG_ID_CTL_SUBS, nullptr, 0U, timeoutMs, &answer);
    if (ret == OS_MSG_OK && !ReadRecords(answer, subs, total)) {
        ret = OS_MSG_ERR_INVALID_PARAM;
    }
    return ret;
}

uint32_t Session::Monitor(const std::string &proc, const MsgCtlMonitorReq &req, uint32_t timeoutMs) {
    std::vector<uint8_t> answer;
    return Request(proc, MSG_ID_CTL_MONITOR, &req, sizeof(req), timeoutMs, &answer);
}

uint32_t Session::Processes(std::vector<std::string> *names, std::string *dir) {
    MsgCtlInfo own;
    uint32_t ret = Info(name_, kRequestTimeoutMs, &own);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    *dir = std::string(own.runDir, strnlen(own.runDir, sizeof(own.runDir)));
    DIR *d = dir->empty() ? nullptr : opendir(dir->c_str());
    if (d == nullptr) {
        return OS_MSG_ERR_SYSTEM;
    }
    names->clear();
    const size_t suffix = sizeof(kSockSuffix) - 1U;
    while (const struct dirent *entry = readdir(d)) {
        std::string file = entry->d_name;
        if (file.size() > suffix && file.compare(file.size() - suffix, suffix, kSockSuffix) == 0) {
            std::string name = file.substr(0, file.size() - suffix);
            if (name != name_) {
                names->push_back(name);
            }
        }
    }
    (void)closedir(d);
    std::sort(names->begin(), names->end());
    return OS_MSG_OK;
}

} // namespace vyremsg

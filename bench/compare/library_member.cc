// The library's membership and message helpers shared by the comparison
// contenders (see library_member.h).
#include "library_member.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "compare_drive.h"
#include "vyre_os_log.h"

namespace compare {

namespace {

uint32_t IgnoreMessage(MsgHead *) {
    return 0;
}

} // namespace

Membership::Membership(const char *name, const char *runDir) {
    OsLogSetLevel(OS_LOG_FATAL);
    OsMsgOptions options = OS_MSG_OPTIONS_INIT;
    options.flags = OS_MSG_OPT_LOG_LEVEL;
    options.logLevel = OS_MSG_LOG_FATAL;
    // A contender of one process stays out of every run directory.
    options.carrier = runDir != nullptr ? OS_MSG_CARRIER_UNIX : OS_MSG_CARRIER_LOOPBACK;
    options.runDir = runDir;
    joined_ = OsMsgInitWithOptions(name, &options) == OS_MSG_OK;
}

Membership::~Membership() {
    if (joined_) {
        (void)OsMsgUninit();
    }
    for (std::thread &loop : loops_) {
        loop.join();
    }
}

bool Membership::AddTask(const char *name, uint32_t depth, OsMsgTaskFunc callback, bool onReceive) {
    if (!joined_ || OsMsgRegTask(name, depth, callback) != OS_MSG_OK) {
        return false;
    }
    if (onReceive) {
        return OsMsgTaskServeOnReceive(name) == OS_MSG_OK;
    }
    std::string task(name);
    loops_.emplace_back([task] { (void)OsMsgTaskRoutineByName(task.c_str()); });
    return true;
}

std::string Membership::AddCaller() {
    std::string self = "T" + std::to_string(static_cast<long>(syscall(SYS_gettid)));
    if (!joined_ || OsMsgRegTask(self.c_str(), 1, IgnoreMessage) != OS_MSG_OK) {
        return std::string();
    }
    return self;
}

bool Membership::Reach(const char *peer) const {
    return joined_ && OsMsgWaitProcess(peer, 5000U) == OS_MSG_OK;
}

void CopyName(char (&field)[OS_MSG_NAME_LEN], const char *name) {
    std::memset(field, 0, sizeof(field));
    std::strncpy(field, name, sizeof(field) - 1);
}

uint32_t EchoMessage(MsgHead *msg) {
    (void)OsMsgSynSendResp(msg, msg->data, msg->dataLen);
    return 0;
}

uint32_t SendRetrying(const MsgHead &model, uint32_t (*send)(MsgHead *)) {
    MsgHead head = model;
    uint32_t ret;
    while ((ret = send(&head)) == OS_MSG_ERR_FULL) {
        head = model;
        sched_yield();
    }
    return ret;
}

bool SynTrip(const MsgHead &model, uint32_t size) {
    MsgHead head = model;
    MsgHead *answer = nullptr;
    if (OsMsgSynSend(&head, &answer, 1000) != OS_MSG_OK || answer == nullptr) {
        return false;
    }
    bool same = answer->dataLen == size && SameBytes(answer->data, model.data, size);
    return OsMsgSynRespFree(answer) == OS_MSG_OK && same;
}

} // namespace compare

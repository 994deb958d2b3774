#include "support/msg_test_task.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

void TestCounter::Add(uint32_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ += n;
    cond_.notify_all();
}

uint32_t TestCounter::Value() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
}

bool TestCounter::WaitFor(uint32_t target, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return value_ >= target; });
}

TestTask::TestTask(const char *name, OsMsgTaskFunc cb, uint32_t queueLen)
    : name_(name), regResult_(OsMsgRegTask(name, queueLen, cb)) {
    if (regResult_ == OS_MSG_OK) {
        thread_ = std::thread([this] { loopResult_ = OsMsgTaskRoutineByName(name_.c_str()); });
    }
}

TestTask::~TestTask() {
    if (thread_.joinable()) {
        (void)OsMsgUnregTask(nullptr, 0U, name_.c_str());
        thread_.join();
    }
}

uint32_t TestTask::JoinLoop() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return loopResult_;
}

std::string OwnProcName() {
    char name[OS_MSG_NAME_LEN] = {0};
    if (OsMsgGetProcName(name, sizeof(name)) != OS_MSG_OK) {
        return "";
    }
    return std::string(name, strnlen(name, sizeof(name)));
}

std::string ThreadTaskName() {
    return "T" + std::to_string(static_cast<long>(syscall(SYS_gettid)));
}

MsgHead MakeHead(const char *procName, const char *recvTask, uint32_t msgId, void *data, uint32_t len) {
    MsgHead head;
    memset(&head, 0, sizeof(head));
    strncpy(head.sendProcName, procName, sizeof(head.sendProcName) - 1U);
    strncpy(head.recvProcName, procName, sizeof(head.recvProcName) - 1U);
    strncpy(head.recvTaskName, recvTask, sizeof(head.recvTaskName) - 1U);
    head.msgId = msgId;
    head.data = data;
    head.dataLen = len;
    return head;
}

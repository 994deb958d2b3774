/*
 * End-to-end test helpers: a count to wait on (thread-safe), a task whose
 * loop runs on a thread of its own, message headers.
 */
#ifndef VYRE_TEST_MSG_TEST_TASK_H
#define VYRE_TEST_MSG_TEST_TASK_H

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "support/threads.h"
#include "vyre_os_msg.h"

class TestCounter {
public:
    void Add(uint64_t n = 1U) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_ += n;
        cond_.notify_all();
    }
    uint64_t Value() {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    // True when the count reached target within the limit (by default one
    // that only a hang reaches, even on a loaded machine under a sanitizer).
    bool WaitFor(uint64_t target, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, limit, [&] { return value_ >= target; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    uint64_t value_ = 0U;
};

// Registers a task (OsMsgRegTask) and runs its loop (OsMsgTaskRoutineByName)
// on a thread of its own; the destructor unregisters the task and joins the
// loop. A refused registration fails the test unless mayFail is set
// (Registered() tells), and starts no loop. Not copyable.
class TestTask {
public:
    TestTask(const char *name, OsMsgTaskFunc cb, uint32_t queueLen = 0U, bool mayFail = false)
        : name_(name), registered_(OsMsgRegTask(name, queueLen, cb)) {
        EXPECT_TRUE(mayFail || registered_ == OS_MSG_OK) << name << ": 0x" << std::hex << registered_;
        if (registered_ == OS_MSG_OK) {
            thread_ = std::thread([this] { loopResult_ = OsMsgTaskRoutineByName(name_.c_str()); });
        }
    }
    ~TestTask() {
        if (thread_.joinable()) {
            (void)OsMsgUnregTask(nullptr, 0U, name_.c_str());
        }
        JoinLoop();
    }
    uint32_t Registered() const { return registered_; }
    // What OsMsgTaskRoutineByName returned, once it has (OS_MSG_OK when no loop ran).
    uint32_t JoinLoop() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return loopResult_;
    }

private:
    std::string name_;
    uint32_t registered_;
    uint32_t loopResult_ = OS_MSG_OK;
    std::thread thread_;
};

// A header from and to process proc, for task recvTask, announcing dataLen
// bytes of payload.
inline MsgHead MakeHead(const char *proc, const char *recvTask, uint32_t msgId, uint32_t dataLen = 0U) {
    MsgHead head{};
    strncpy(head.sendProcName, proc, sizeof(head.sendProcName) - 1U);
    strncpy(head.recvProcName, proc, sizeof(head.recvProcName) - 1U);
    strncpy(head.recvTaskName, recvTask, sizeof(head.recvTaskName) - 1U);
    head.msgId = msgId;
    head.dataLen = dataLen;
    return head;
}

// Waits until a loop thread serves task recvTask of process proc: a message
// sent to it has been handled. A probe that would serve the task itself
// (OsMsgTaskHandle, OsMsgTaskFd) claims it for its descriptor when it comes
// before the loop has started, and the loop then never runs.
inline bool WaitLoopServes(const char *proc, const char *recvTask, uint32_t msgId) {
    MsgHead probe = MakeHead(proc, recvTask, msgId);
    if (OsMsgAsynSend(&probe) != OS_MSG_OK) {
        return false;
    }
    return WaitUntil([recvTask] {
        OsMsgTaskStats stats{};
        return OsMsgGetTaskStats(recvTask, &stats) == OS_MSG_OK && stats.handled >= 1U;
    });
}

#endif // VYRE_TEST_MSG_TEST_TASK_H

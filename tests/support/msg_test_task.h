/*
 * Helpers for end-to-end tests through the public API: a task whose loop runs
 * on a thread of its own, a one-shot event to wait on, message headers
 * addressed within the own process, and the names the library gives threads.
 * Thread-safe where stated.
 */
#ifndef VYRE_TEST_MSG_TEST_TASK_H
#define VYRE_TEST_MSG_TEST_TASK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "vyre_os_msg.h"

// A count that threads raise and others wait for. Thread-safe.
class TestCounter {
public:
    void Add(uint32_t n = 1U);
    uint32_t Value() const;
    // True when the count reached target within timeoutMs.
    bool WaitFor(uint32_t target, uint32_t timeoutMs = 2000U) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cond_;
    uint32_t value_ = 0U;
};

// Registers a task with cb (OsMsgRegTask) and runs its loop
// (OsMsgTaskRoutineByName) on a thread of its own. The destructor
// unregisters the task when the library is still up and joins the thread.
class TestTask {
public:
    TestTask(const char *name, OsMsgTaskFunc cb, uint32_t queueLen = 0U);
    ~TestTask();
    TestTask(const TestTask &) = delete;
    TestTask &operator=(const TestTask &) = delete;

    uint32_t RegResult() const { return regResult_; }
    // Waits for the loop thread and returns what OsMsgTaskRoutineByName gave.
    uint32_t JoinLoop();

private:
    std::string name_;
    uint32_t regResult_;
    uint32_t loopResult_ = 0xFFFFFFFFU;
    std::thread thread_;
};

// The own process name as OsMsgGetProcName reports it ("" when none).
std::string OwnProcName();
// "T" and the calling thread's kernel id: the name of a thread that is no task.
std::string ThreadTaskName();
// A header for task recvTask of the own process (name given explicitly, since
// the test may send before or after initialisation), with len bytes at data.
MsgHead MakeHead(const char *procName, const char *recvTask, uint32_t msgId, void *data = nullptr, uint32_t len = 0U);

#endif // VYRE_TEST_MSG_TEST_TASK_H

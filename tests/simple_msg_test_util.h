/*
 * Helpers for the tests of the in-process layer: a fixture that sets the
 * layer up with a 128-bucket table and tears it down (removing every task,
 * joining the loop threads it started, dropping slow-handling records) before
 * the memory balance is checked; a gate and an inbox for hand-shakes with
 * task callbacks; and a header builder.
 *
 * Task callbacks are plain functions, so each test file keeps the state they
 * touch in globals; every test case runs in a process of its own.
 */
#ifndef VYRE_SIMPLE_MSG_TEST_UTIL_H
#define VYRE_SIMPLE_MSG_TEST_UTIL_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "support/mem_check.h"
#include "vyre_os_log.h"

namespace simple_msg_test {

// Long enough never to fire in a healthy run; a hand-shake that times out is
// a failure, not a wait.
constexpr std::chrono::seconds kHandShakeLimit{20};

// A one-shot latch.
class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cond_.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, kHandShakeLimit, [this] { return open_; });
    }
    bool IsOpen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool open_ = false;
};

// What a callback saw of one message.
struct Received {
    uint32_t msgId;
    std::string sendTask;
    std::string recvTask;
    uint32_t dataLen;
    bool hasData;
    std::string payload;
};

class Inbox {
public:
    void Add(const MsgHead *msg) {
        Received r{msg->msgId,
                   std::string(msg->sendTaskName, strnlen(msg->sendTaskName, OS_MSG_NAME_LEN)),
                   std::string(msg->recvTaskName, strnlen(msg->recvTaskName, OS_MSG_NAME_LEN)),
                   msg->dataLen,
                   msg->data != nullptr,
                   msg->data != nullptr ? std::string(static_cast<const char *>(msg->data), msg->dataLen) : ""};
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(r);
        cond_.notify_all();
    }
    // True once at least n messages arrived.
    bool WaitFor(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, kHandShakeLimit, [this, n] { return items_.size() >= n; });
    }
    std::vector<Received> Items() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    std::vector<uint32_t> Ids() {
        std::vector<uint32_t> ids;
        for (const Received &r : Items()) {
            ids.push_back(r.msgId);
        }
        return ids;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<Received> items_;
};

inline void CopyName(char (&field)[OS_MSG_NAME_LEN], const std::string &name) {
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, name.data(), std::min(name.size(), sizeof(field)));
}

// A header from sendTask to recvTask of this process carrying payload (none
// when empty). The header points into payload, which must outlive it.
inline MsgHead MakeHead(const std::string &recvTask, uint32_t msgId, const std::string &sendTask,
                        const std::string &payload) {
    MsgHead head{};
    head.msgId = msgId;
    head.sendCpuId = 2;
    CopyName(head.sendProcName, "camera");
    CopyName(head.sendTaskName, sendTask);
    CopyName(head.recvProcName, "media");
    CopyName(head.recvTaskName, recvTask);
    head.dataLen = static_cast<uint32_t>(payload.size());
    head.data = payload.empty() ? nullptr : const_cast<char *>(payload.data());
    return head;
}

MsgHead MakeHead(const std::string &recvTask, uint32_t msgId, const std::string &sendTask,
                 std::string &&payload) = delete;

inline MsgHead MakeHead(const std::string &recvTask, uint32_t msgId, const std::string &sendTask = "sender") {
    static const std::string none;
    return MakeHead(recvTask, msgId, sendTask, none);
}

inline SimpleMsgTask *FindTask(const std::string &name) {
    SimpleMsgTask *task = nullptr;
    (void)OsMutexLock(&simpleQueueLock);
    (void)SimpleMsgGetQueue(name.c_str(), &task);
    (void)OsMutexUnLock(&simpleQueueLock);
    return task;
}

inline uint64_t TaskCount() {
    (void)OsMutexLock(&simpleQueueLock);
    uint64_t n = simpleQueue != nullptr ? ZEM_HashSize(simpleQueue) : 0;
    (void)OsMutexUnLock(&simpleQueueLock);
    return n;
}

// Yields until pred holds; false when it does not within the hand-shake
// limit. For state that no callback can signal.
template <typename Pred> bool WaitUntil(Pred pred) {
    auto deadline = std::chrono::steady_clock::now() + kHandShakeLimit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// True once a thread has entered the loop of the task.
inline bool WaitForLoop(const std::string &name) {
    return WaitUntil([&] {
        (void)OsMutexLock(&simpleQueueLock);
        SimpleMsgTask *task = nullptr;
        bool running = SimpleMsgGetQueue(name.c_str(), &task) == OS_MSG_OK && SimpleTaskThread(task) != 0;
        (void)OsMutexUnLock(&simpleQueueLock);
        return running;
    });
}

// A thread running a task loop through SimpleTaskRoutineByName.
class LoopThread {
public:
    explicit LoopThread(const std::string &name) : name_(name) {
        thread_ = std::thread([this] { result_ = SimpleTaskRoutineByName(const_cast<char *>(name_.c_str())); });
    }
    ~LoopThread() { Join(); }
    uint32_t Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return result_;
    }

private:
    std::string name_;
    uint32_t result_ = 0xFFFFFFFFU;
    std::thread thread_;
};

class SimpleMsgTest : public MemBalanceTest {
protected:
    void SetUp() override {
        MemBalanceTest::SetUp();
        ASSERT_EQ(SimpleMsgInitPthreadMutex(), OS_MSG_OK);
        ASSERT_EQ(SimpleMsgCreateQueue(128), OS_MSG_OK);
    }
    void TearDown() override {
        if (simpleQueue != nullptr) {
            SimpleMsgDestroyQueue();
        }
        for (auto &loop : loops_) {
            EXPECT_EQ(loop->Join(), OS_MSG_OK);
        }
        loops_.clear();
        (void)OsMutexLock(&timeOutListLock);
        ZEM_ListDeinit(&timeOutList);
        (void)OsMutexUnLock(&timeOutListLock);
        SimpleMsgUninitPthreadMutex();
        MemBalanceTest::TearDown();
    }
    // Starts the loop of a registered task; TearDown joins it after the
    // table is destroyed.
    LoopThread *StartLoop(const std::string &name) {
        loops_.push_back(std::make_unique<LoopThread>(name));
        return loops_.back().get();
    }

private:
    std::vector<std::unique_ptr<LoopThread>> loops_;
};

} // namespace simple_msg_test

#endif // VYRE_SIMPLE_MSG_TEST_UTIL_H

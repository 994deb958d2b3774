/*
 * Helpers for the tests of the in-process layer: a fixture that sets it up
 * (128 buckets), starts task loops and tears it all down before the memory
 * balance is checked; a gate, an inbox and callbacks that record into it or
 * hold their loop; header builders and a send. Callbacks are plain functions
 * and reach the test through globals: every case runs in its own process.
 */
#ifndef VYRE_SIMPLE_MSG_TEST_UTIL_H
#define VYRE_SIMPLE_MSG_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_clock.h"
#include "simple_msg/simple_msg_layer.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "support/names.h"
#include "support/threads.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"

namespace simple_msg_test {

// Never reached in a healthy run: a hand-shake that times out is a failure.
constexpr std::chrono::seconds kLimit{20};

class Gate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cond_.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, kLimit, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool open_ = false;
};

struct Received {
    uint32_t msgId;
    std::string payload; // the dataLen bytes at data
    bool hasData;
    MsgHead head; // as the callback got it, data pointer included
};

// The dataLen bytes a message carries; empty without data.
inline std::string PayloadOf(const MsgHead *msg) {
    return msg->data != nullptr ? std::string(static_cast<const char *>(msg->data), msg->dataLen) : std::string();
}

class Inbox {
public:
    void Add(const MsgHead *msg) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back({msg->msgId, PayloadOf(msg), msg->data != nullptr, *msg});
        cond_.notify_all();
    }
    // Waits until pred holds for the items in arrival order; false when it
    // did not within the limit.
    template <typename Pred> bool WaitUntil(Pred pred, std::chrono::milliseconds limit = kLimit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, limit, [&] { return pred(items_); });
    }
    bool WaitFor(size_t n) {
        return WaitUntil([n](const std::vector<Received> &items) { return items.size() >= n; });
    }
    // Waits until n items with msgId arrived.
    bool WaitCount(uint32_t msgId, size_t n, std::chrono::milliseconds limit = kLimit) {
        return WaitUntil([&](const std::vector<Received> &items) { return CountOf(items, msgId) >= n; }, limit);
    }
    size_t Count(uint32_t msgId) { return CountOf(Items(), msgId); }
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
    static size_t CountOf(const std::vector<Received> &items, uint32_t msgId) {
        return static_cast<size_t>(
            std::count_if(items.begin(), items.end(), [msgId](const Received &r) { return r.msgId == msgId; }));
    }
    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<Received> items_;
};

// The running test's inbox (SimpleMsgTest sets it), and a task callback that
// records every message there.
inline Inbox *g_inbox = nullptr;
inline uint32_t Record(MsgHead *msg) {
    g_inbox->Add(msg);
    return 0;
}

// Gates of HoldFirst, a callback that holds its loop in message 1 until the
// test releases it (at the latest in tear-down).
inline Gate g_firstEntered;
inline Gate g_release;
inline uint32_t HoldFirst(MsgHead *msg) {
    Record(msg);
    if (msg->msgId == 1U) {
        g_firstEntered.Open();
        EXPECT_TRUE(g_release.Wait());
    }
    return 0;
}

using ::CopyName;
using ::Name;

// A header from sendTask to recvTask pointing into payload (none when empty),
// which must outlive it.
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
MsgHead MakeHead(const std::string &, uint32_t, const std::string &, std::string &&) = delete;
inline MsgHead MakeHead(const std::string &recvTask, uint32_t msgId, const std::string &sendTask = "sender") {
    static const std::string none;
    return MakeHead(recvTask, msgId, sendTask, none);
}

// Sends msgId with a copy of payload from task "sender" to task.
inline uint32_t SendTo(const std::string &task, uint32_t msgId, const std::string &payload = std::string()) {
    MsgHead head = MakeHead(task, msgId, "sender", payload);
    return SimpleMsgAsynSend(&head);
}

inline SimpleMsgTask *FindTask(const std::string &name) {
    SimpleMsgTask *task = nullptr;
    (void)OsMutexLock(&simpleQueueLock);
    (void)SimpleMsgGetQueue(name.c_str(), &task);
    (void)OsMutexUnLock(&simpleQueueLock);
    return task;
}

using ::WaitUntil;

// The task's counters; a task that is not found fails the test.
inline OsMsgTaskStats StatsOf(const char *task) {
    OsMsgTaskStats stats;
    std::memset(&stats, 0xA5, sizeof(stats));
    EXPECT_EQ(SimpleMsgGetTaskStats(task, &stats), OS_MSG_OK) << task;
    return stats;
}

// True once the processor's counter times callbacks (it is calibrated in the
// first seconds of a process); false where there is no usable counter.
inline bool WaitClockReady() {
    return WaitUntil([] { return SimpleMsgClockReady(); }, std::chrono::seconds(2));
}

// True once a thread runs the loop of the task.
inline bool WaitForLoop(const std::string &name) {
    return WaitUntil([&] {
        SimpleMsgTask *task = FindTask(name);
        return task != nullptr && SimpleTaskThread(task) != 0;
    });
}

// A thread in a task loop; Join may be called more than once.
class LoopThread {
public:
    explicit LoopThread(const std::string &name) : name_(name) {
        thread_ = std::thread([this] { result_ = SimpleTaskRoutineByName(const_cast<char *>(name_.c_str())); });
    }
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
        g_inbox = &inbox_;
        ASSERT_EQ(SimpleMsgInitPthreadMutex(), OS_MSG_OK);
        ASSERT_EQ(SimpleMsgCreateQueue(128), OS_MSG_OK);
    }
    void TearDown() override {
        g_release.Open();
        if (simpleQueue != nullptr) {
            SimpleMsgDestroyQueue();
        }
        for (auto &loop : loops_) {
            EXPECT_EQ(loop->Join(), OS_MSG_OK);
        }
        (void)OsMutexLock(&timeOutListLock);
        ZEM_ListDeinit(&timeOutList); // the layer keeps its records for good
        (void)OsMutexUnLock(&timeOutListLock);
        SimpleMsgUninitPthreadMutex();
        MemBalanceTest::TearDown();
    }
    // Returns once the loop has claimed its registered task, so that no
    // tear-down overtakes a loop thread that has yet to look its task up.
    // Joined in TearDown, once the table is gone.
    LoopThread *StartLoop(const std::string &name) {
        loops_.push_back(std::make_unique<LoopThread>(name));
        EXPECT_TRUE(WaitForLoop(name)) << name;
        return loops_.back().get();
    }
    // Registers task name and starts its loop, as StartLoop does.
    LoopThread *StartTask(const std::string &name, uint32_t queueLen, OsMsgTaskFunc callback) {
        EXPECT_EQ(SimpleMsgRegTask(name.c_str(), queueLen, callback, 0), OS_MSG_OK) << name;
        return StartLoop(name);
    }

    Inbox inbox_;

private:
    std::vector<std::unique_ptr<LoopThread>> loops_;
};

} // namespace simple_msg_test

#endif // VYRE_SIMPLE_MSG_TEST_UTIL_H

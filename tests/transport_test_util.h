/*
 * Helpers for the transport tests: a fixture that sets the layers up as
 * process start-up does (process name "proc", in-process layer, subscription
 * table, loopback transport registered; no server) and tears them down in
 * reverse before the memory balance is checked, a mailbox that keeps whole
 * copies of what a task callback receives, and a header builder.
 */
#ifndef VYRE_TRANSPORT_TEST_UTIL_H
#define VYRE_TRANSPORT_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/msg_proc_name.h"
#include "broadcast/msg_broadcast.h"
#include "simple_msg_test_util.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"

namespace transport_test {

using simple_msg_test::CopyName;

struct Seen {
    MsgHead head;        // as the callback got it, data pointer included
    std::string payload; // the dataLen bytes at data
};

class Mailbox {
public:
    void Add(const MsgHead *msg) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back({*msg, msg->data != nullptr ? std::string(static_cast<char *>(msg->data), msg->dataLen) : ""});
        cond_.notify_all();
    }
    std::vector<Seen> WaitFor(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        EXPECT_TRUE(cond_.wait_for(lock, simple_msg_test::kLimit, [&] { return items_.size() >= n; }));
        return items_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<Seen> items_;
};

// From task sendTask of "proc" to recvTask of recvProc, CPU 0 to CPU 0,
// pointing at payload (which must outlive the header).
inline MsgHead Head(const std::string &recvProc, const std::string &recvTask, uint32_t msgId,
                    const std::string &sendTask, const std::string &payload = std::string()) {
    MsgHead head{};
    head.msgId = msgId;
    CopyName(head.sendProcName, "proc");
    CopyName(head.sendTaskName, sendTask);
    CopyName(head.recvProcName, recvProc);
    CopyName(head.recvTaskName, recvTask);
    head.dataLen = static_cast<uint32_t>(payload.size());
    head.data = payload.empty() ? nullptr : const_cast<char *>(payload.data());
    return head;
}
MsgHead Head(const std::string &, const std::string &, uint32_t, const std::string &, std::string &&) = delete;

inline std::string Name(const char (&field)[OS_MSG_NAME_LEN]) {
    return std::string(field, strnlen(field, OS_MSG_NAME_LEN));
}

// Messages waiting in a task's queue.
inline uint32_t Pending(const std::string &task) {
    SimpleMsgTask *record = simple_msg_test::FindTask(task);
    return SimpleMsgRingPending(&record->ring);
}

// True once a thread runs the loop of the task.
inline bool WaitForLoop(const std::string &task) {
    return simple_msg_test::WaitUntil([&] {
        (void)OsMutexLock(&simpleQueueLock);
        SimpleMsgTask *record = nullptr;
        bool running = SimpleMsgGetQueue(task.c_str(), &record) == OS_MSG_OK && SimpleTaskThread(record) != 0;
        (void)OsMutexUnLock(&simpleQueueLock);
        return running;
    });
}

class TransportTest : public simple_msg_test::SimpleMsgTest {
protected:
    void SetUp() override {
        ASSERT_EQ(MsgSetProcName("proc", 5), OS_MSG_OK);
        simple_msg_test::SimpleMsgTest::SetUp();
        ASSERT_EQ(MsgCreateSubscribeTable(128), OS_MSG_OK);
        PMsgRegAdpFunc();
    }
    void TearDown() override {
        MsgDestroySubscribeTable();
        simple_msg_test::SimpleMsgTest::TearDown();
        (void)MsgSetProcName("", 0);
    }
};

} // namespace transport_test

#endif // VYRE_TRANSPORT_TEST_UTIL_H

// Removal of a task while other threads use it: its loop waiting or inside
// the callback, removal from the callback itself, and a requester that holds
// and then waits on the task's response slot.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_time.h"

using namespace simple_msg_test;

namespace {

Inbox *g_inbox = nullptr;
Gate *g_entered = nullptr;
Gate *g_release = nullptr;
std::atomic<pid_t> g_loopTid{0};
std::atomic<uint32_t> g_unregResult{0xFFFFFFFFU};

uint32_t Record(MsgHead *msg) {
    g_loopTid = static_cast<pid_t>(syscall(SYS_gettid));
    g_inbox->Add(msg);
    return 0;
}

uint32_t Block(MsgHead *msg) {
    g_inbox->Add(msg);
    g_entered->Open();
    EXPECT_TRUE(g_release->Wait());
    return 0;
}

uint32_t BlockThenRemoveOwnTask(MsgHead *msg) {
    Block(msg);
    g_unregResult = SimpleMsgUnregTask(msg->recvTaskName);
    return 0;
}

// True once the kernel reports the thread asleep (the loop in its wait).
bool Sleeping(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S';
}

class TaskRemoval : public SimpleMsgTest {
protected:
    void SetUp() override {
        SimpleMsgTest::SetUp();
        g_inbox = &inbox_;
        g_entered = &entered_;
        g_release = &release_;
    }
    void TearDown() override {
        release_.Open();
        SimpleMsgTest::TearDown();
    }
    uint32_t Send(const std::string &task, uint32_t id, const std::string &payload) {
        MsgHead head = MakeHead(task, id, "sender", payload);
        return SimpleMsgAsynSend(&head);
    }
    Inbox inbox_;
    Gate entered_;
    Gate release_;
};

TEST_F(TaskRemoval, RemovalWhileTheLoopWaitsWakesAndEndsIt) {
    ASSERT_EQ(SimpleMsgRegTask("idle", 4, Record, 0), OS_MSG_OK);
    LoopThread *loop = StartLoop("idle");
    ASSERT_EQ(Send("idle", 1, "x"), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(1));
    ASSERT_TRUE(WaitUntil([] { return Sleeping(g_loopTid.load()); }));

    LogCapture log;
    EXPECT_EQ(SimpleMsgUnregTask("idle"), OS_MSG_OK);
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    EXPECT_EQ(FindTask("idle"), nullptr);
    std::vector<LogRecord> records = log.Records();
    auto find = [&](const std::string &text) {
        return std::find_if(records.begin(), records.end(),
                            [&](const LogRecord &r) { return r.text.find(text) != std::string::npos; });
    };
    auto empty = find("[SimpleTaskLoop]");
    ASSERT_NE(empty, records.end()) << log.Dump();
    EXPECT_NE(empty->text.find("list empty."), std::string::npos);
    EXPECT_EQ(empty->level, OS_LOG_WARN);
    auto quit = find("thread[idle] quit.");
    ASSERT_NE(quit, records.end());
    EXPECT_EQ(quit->level, OS_LOG_DEBUG);
    EXPECT_LT(empty, quit);
}

TEST_F(TaskRemoval, CallbackMayRemoveItsOwnTask) {
    ASSERT_EQ(SimpleMsgRegTask("own", 4, BlockThenRemoveOwnTask, 0), OS_MSG_OK);
    LoopThread *loop = StartLoop("own");
    ASSERT_EQ(Send("own", 1, "x"), OS_MSG_OK);
    ASSERT_TRUE(entered_.Wait());
    // Still pending at removal: their payloads go with the ring.
    ASSERT_EQ(Send("own", 2, std::string(100, 'y')), OS_MSG_OK);
    ASSERT_EQ(Send("own", 3, std::string(3000, 'z')), OS_MSG_OK);
    LogCapture log;
    release_.Open();
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    EXPECT_EQ(g_unregResult.load(), OS_MSG_OK);
    EXPECT_EQ(inbox_.Ids(), std::vector<uint32_t>{1});
    EXPECT_EQ(FindTask("own"), nullptr);
    EXPECT_EQ(log.Count("try quit."), 0U);
    EXPECT_EQ(log.Count("thread[own] quit.", OS_LOG_DEBUG), 1U);
}

TEST_F(TaskRemoval, GivesUpAfterThreeTriesKeepingAnUnusableRecordThenSucceedsLater) {
    ASSERT_EQ(SimpleMsgRegTask("stuck", 4, Block, 0), OS_MSG_OK);
    LoopThread *loop = StartLoop("stuck");
    ASSERT_EQ(Send("stuck", 1, "x"), OS_MSG_OK);
    ASSERT_TRUE(entered_.Wait());

    LogCapture log;
    const uint32_t t0 = OsGetSysRunTime();
    EXPECT_EQ(SimpleMsgUnregTask("stuck"), OS_MSG_ERR_TASK_BUSY);
    const uint32_t elapsed = OsGetSysRunTime() - t0;
    EXPECT_GE(elapsed, 2900U);
    EXPECT_LT(elapsed, 8000U);
    EXPECT_EQ(log.Count("[stuck]try quit.", OS_LOG_ERROR), 3U);
    EXPECT_EQ(log.Count("[stuck]cannot quit.", OS_LOG_ERROR), 1U);
    SimpleMsgTask *task = FindTask("stuck");
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(SimpleTaskState(task), 0U);
    EXPECT_EQ(task->msgList, nullptr);
    EXPECT_EQ(Send("stuck", 2, "x"), OS_MSG_ERR_FULL);
    EXPECT_EQ(SimpleMsgRegTask("stuck", 4, Block, 0), OS_MSG_ERR_TASK_EXIST);
    EXPECT_EQ(SimpleMsgWaitSynRespStart("stuck"), nullptr);

    release_.Open();
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    EXPECT_EQ(SimpleMsgUnregTask("stuck"), OS_MSG_OK);
    EXPECT_EQ(FindTask("stuck"), nullptr);
}

TEST_F(TaskRemoval, RequesterHoldingItsSlotDoesNotDeadlockRemovalAndItsWaitFails) {
    ASSERT_EQ(SimpleMsgRegTask("req", 1, nullptr, 0), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask("srv", 4, nullptr, 0), OS_MSG_OK);
    MsgHead request = MakeHead("srv", 9, "req");
    SimpleMsgTask *req = SimpleMsgWaitSynRespStart("req");
    ASSERT_NE(req, nullptr);
    SimpleMsgSetToken(req, &request);

    std::atomic<uint32_t> unregResult{0xFFFFFFFFU};
    std::thread remover([&] { unregResult = SimpleMsgUnregTask("req"); });
    // Removal has cleared the ring and now wants the slot lock we hold.
    ASSERT_TRUE(WaitUntil([&] { return SimpleTaskState(req) == 0U; }));
    LogCapture log;
    // Pushing needs the table lock, which removal gives up between its tries.
    ASSERT_EQ(SimpleMsgPushBuffer("srv", &request, nullptr, 0), OS_MSG_OK);
    MsgHead *out = nullptr;
    const uint32_t t0 = OsGetSysRunTime();
    EXPECT_EQ(SimpleMsgWaitSynRespEnd(req, &out, 5000), OS_MSG_ERR_NOT_FOUND);
    EXPECT_LT(OsGetSysRunTime() - t0, 4000U);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(log.Count("task[req] removed while waiting.", OS_LOG_ERROR), 1U);
    remover.join();
    EXPECT_EQ(unregResult.load(), OS_MSG_OK);
    EXPECT_EQ(FindTask("req"), nullptr);
}

} // namespace

// Removal of tasks while other threads use them: the loop waiting or inside
// its callback, removal from the callback itself, a requester that holds or
// waits on the task's response slot, and several removers at once.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_log.h"
#include "vyre_os_time.h"

using namespace simple_msg_test;

namespace {

Inbox *g_inbox = nullptr;
Gate *g_entered = nullptr;
Gate *g_release = nullptr;
std::atomic<pid_t> g_loopTid{0};
std::atomic<bool> g_callbackFinished{false};
std::atomic<uint32_t> g_unregFromCallback{0xFFFFFFFFU};

uint32_t RecordingCallback(MsgHead *msg) {
    g_loopTid = static_cast<pid_t>(syscall(SYS_gettid));
    g_inbox->Add(msg);
    return 0;
}

uint32_t BlockingCallback(MsgHead *msg) {
    g_inbox->Add(msg);
    g_entered->Open();
    EXPECT_TRUE(g_release->Wait());
    g_callbackFinished = true;
    return 0;
}

uint32_t SelfRemovingCallback(MsgHead *msg) {
    g_inbox->Add(msg);
    g_entered->Open();
    EXPECT_TRUE(g_release->Wait());
    g_unregFromCallback = SimpleMsgUnregTask(msg->recvTaskName);
    return 0;
}

// Polls the kernel's view of a thread until it sleeps (the loop blocked in
// its semaphore wait).
bool WaitUntilSleeping(pid_t tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    auto deadline = std::chrono::steady_clock::now() + kHandShakeLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat(path);
        std::string line;
        std::getline(stat, line);
        size_t end = line.rfind(')');
        if (end != std::string::npos && end + 2 < line.size() && line[end + 2] == 'S') {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

// A platform log sink that opens a gate when a given text is logged, for the
// tests that must act while a removal is in its hand-shake.
class LogTrigger {
public:
    LogTrigger(const std::string &needle, Gate *gate) : needle_(needle), gate_(gate) {
        active_ = this;
        OsLogSetSink(&LogTrigger::Sink);
        OsLogSetLevel(OS_LOG_DEBUG);
    }
    ~LogTrigger() {
        OsLogSetSink(nullptr);
        OsLogSetLevel(OS_LOG_ERROR);
        active_ = nullptr;
    }
    size_t Count(const std::string &text) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const std::string &line : lines_) {
            n += line.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }

private:
    static void Sink(uint32_t, const char *, const char *text) {
        LogTrigger *self = active_.load();
        if (self == nullptr) {
            return;
        }
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.emplace_back(text);
        if (self->lines_.back().find(self->needle_) != std::string::npos) {
            self->gate_->Open();
        }
    }

    static std::atomic<LogTrigger *> active_;
    std::string needle_;
    Gate *gate_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};
std::atomic<LogTrigger *> LogTrigger::active_{nullptr};

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
    uint32_t Send(const std::string &task, uint32_t id, const std::string &payload = "data") {
        MsgHead head = MakeHead(task, id, "sender", payload);
        return SimpleMsgAsynSend(&head);
    }

    Inbox inbox_;
    Gate entered_;
    Gate release_;
};

TEST_F(TaskRemoval, RemovalWhileTheLoopWaitsWakesAndEndsIt) {
    ASSERT_EQ(SimpleMsgRegTask("idle", 4, RecordingCallback, 0), OS_MSG_OK);
    LoopThread *loop = StartLoop("idle");
    ASSERT_EQ(Send("idle", 1), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(1));
    ASSERT_TRUE(WaitUntilSleeping(g_loopTid.load()));

    LogCapture log;
    EXPECT_EQ(SimpleMsgUnregTask("idle"), OS_MSG_OK);
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    EXPECT_EQ(FindTask("idle"), nullptr);
    std::vector<LogRecord> records = log.Records();
    auto at = [&](const std::string &text) {
        return std::find_if(records.begin(), records.end(),
                            [&](const LogRecord &r) { return r.text.find(text) != std::string::npos; });
    };
    ASSERT_NE(at("list empty."), records.end()) << log.Dump();
    EXPECT_EQ(at("list empty.")->level, OS_LOG_WARN);
    ASSERT_NE(at("thread[idle] quit."), records.end()) << log.Dump();
    EXPECT_LT(at("list empty."), at("thread[idle] quit."));
}

TEST_F(TaskRemoval, CallbackMayRemoveItsOwnTask) {
    ASSERT_EQ(SimpleMsgRegTask("own", 4, SelfRemovingCallback, 0), OS_MSG_OK);
    LoopThread *loop = StartLoop("own");
    ASSERT_EQ(Send("own", 1), OS_MSG_OK);
    ASSERT_TRUE(entered_.Wait());
    // Still pending when the callback removes the task: their payloads go
    // with the ring.
    ASSERT_EQ(Send("own", 2, std::string(100, 'x')), OS_MSG_OK);
    ASSERT_EQ(Send("own", 3, std::string(3000, 'y')), OS_MSG_OK);

    LogCapture log;
    release_.Open();
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    EXPECT_EQ(g_unregFromCallback.load(), OS_MSG_OK);
    EXPECT_EQ(inbox_.Ids(), std::vector<uint32_t>{1});
    EXPECT_EQ(FindTask("own"), nullptr);
    EXPECT_EQ(log.Count("try quit."), 0U);
    EXPECT_EQ(log.Count("thread[own] quit.", OS_LOG_DEBUG), 1U);
}

TEST_F(TaskRemoval, RemovalWaitsForTheCallbackInHand) {
    ASSERT_EQ(SimpleMsgRegTask("hand", 4, BlockingCallback, 0), OS_MSG_OK);
    LoopThread *loop = StartLoop("hand");
    ASSERT_EQ(Send("hand", 1), OS_MSG_OK);
    ASSERT_TRUE(entered_.Wait());

    // The callback may return once removal has started its hand-shake.
    LogTrigger trigger("[hand]try quit.", &release_);
    EXPECT_EQ(SimpleMsgUnregTask("hand"), OS_MSG_OK);
    EXPECT_TRUE(g_callbackFinished.load());
    EXPECT_EQ(trigger.Count("[hand]try quit."), 1U);
    EXPECT_EQ(trigger.Count("cannot quit."), 0U);
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    EXPECT_EQ(FindTask("hand"), nullptr);
}

TEST_F(TaskRemoval, GivesUpAfterThreeTriesKeepingAnUnusableRecordThenSucceedsLater) {
    ASSERT_EQ(SimpleMsgRegTask("stuck", 4, BlockingCallback, 0), OS_MSG_OK);
    LoopThread *loop = StartLoop("stuck");
    ASSERT_EQ(Send("stuck", 1), OS_MSG_OK);
    ASSERT_TRUE(entered_.Wait());

    LogCapture log;
    uint32_t t0 = OsGetSysRunTime();
    EXPECT_EQ(SimpleMsgUnregTask("stuck"), OS_MSG_ERR_TASK_BUSY);
    uint32_t elapsed = OsGetSysRunTime() - t0;
    EXPECT_GE(elapsed, 2900U);
    EXPECT_LT(elapsed, 8000U);
    EXPECT_EQ(log.Count("[stuck]try quit.", OS_LOG_ERROR), 3U);
    EXPECT_EQ(log.Count("[stuck]cannot quit.", OS_LOG_ERROR), 1U);

    SimpleMsgTask *task = FindTask("stuck");
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(SimpleTaskState(task), 0U);
    EXPECT_EQ(task->maxMsgNum, 0U);
    EXPECT_EQ(task->msgList, nullptr);
    EXPECT_EQ(Send("stuck", 2), OS_MSG_ERR_FULL);
    EXPECT_EQ(SimpleMsgRegTask("stuck", 4, BlockingCallback, 0), OS_MSG_ERR_TASK_EXIST);
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

    std::atomic<uint32_t> unregRet{0xFFFFFFFFU};
    std::thread remover([&] { unregRet = SimpleMsgUnregTask("req"); });
    // Removal has cleared the ring and now needs the slot lock we hold.
    while (SimpleTaskState(req) != 0U) {
        std::this_thread::yield();
    }
    LogCapture log;
    // Pushing takes the table lock, which removal gives up between its tries.
    ASSERT_EQ(SimpleMsgPushBuffer("srv", &request, nullptr, 0), OS_MSG_OK);
    MsgHead *out = nullptr;
    uint32_t t0 = OsGetSysRunTime();
    EXPECT_EQ(SimpleMsgWaitSynRespEnd(req, &out, 5000), OS_MSG_ERR_NOT_FOUND);
    EXPECT_LT(OsGetSysRunTime() - t0, 4000U);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(log.Count("task[req] removed while waiting.", OS_LOG_ERROR), 1U) << log.Dump();
    remover.join();
    EXPECT_EQ(unregRet.load(), OS_MSG_OK);
    EXPECT_EQ(FindTask("req"), nullptr);
}

TEST_F(TaskRemoval, SecondRemoverAndTableDestructionWaitForTheFirst) {
    ASSERT_EQ(SimpleMsgRegTask("busy", 4, BlockingCallback, 0), OS_MSG_OK);
    LoopThread *loop = StartLoop("busy");
    ASSERT_EQ(Send("busy", 1), OS_MSG_OK);
    ASSERT_TRUE(entered_.Wait());

    Gate handShaking;
    LogTrigger trigger("[busy]try quit.", &handShaking);
    std::atomic<uint32_t> firstRet{0xFFFFFFFFU};
    std::thread first([&] { firstRet = SimpleMsgUnregTask("busy"); });
    ASSERT_TRUE(handShaking.Wait());
    EXPECT_EQ(SimpleMsgUnregTask("busy"), OS_MSG_ERR_TASK_BUSY);
    std::thread destroyer([] { SimpleMsgDestroyQueue(); });
    release_.Open();
    first.join();
    destroyer.join();
    EXPECT_EQ(firstRet.load(), OS_MSG_OK);
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    EXPECT_EQ(simpleQueue, nullptr);
}

} // namespace

// Tasks served from an application's own poll loop through their descriptor
// or by one loop thread, never both nor two loops, and callbacks that get the
// application's pointer; the loopback, which has no receive thread, serves
// no task on one.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <future>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/msg_test_task.h"
#include "support/process_counts.h"
#include "vyre_os_msg.h"

namespace {

constexpr char kProc[] = "fdproc";

// What one task's callback saw; the callback finds it through its pointer.
struct Seen {
    std::mutex lock;
    std::vector<uint32_t> ids;
    std::vector<std::string> senders;
    void *user = nullptr;
    bool Any() {
        std::lock_guard<std::mutex> guard(lock);
        return !ids.empty();
    }
};

uint32_t Collect(MsgHead *msg, void *user) {
    auto *seen = static_cast<Seen *>(user);
    std::lock_guard<std::mutex> guard(seen->lock);
    seen->ids.push_back(msg->msgId);
    seen->senders.emplace_back(msg->sendTaskName, strnlen(msg->sendTaskName, OS_MSG_NAME_LEN));
    seen->user = user;
    return 0U;
}

bool Readable(int fd, int waitMs) {
    struct pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, waitMs) > 0 && (pfd.revents & POLLIN) != 0;
}

uint32_t Send(const char *task, uint32_t msgId) {
    MsgHead head = MakeHead(kProc, task, msgId);
    return OsMsgAsynSend(&head);
}

// The task's descriptor (-1, and a failure, when it has none).
int FdOf(const char *task) {
    int fd = -1;
    EXPECT_EQ(OsMsgTaskFd(task, &fd), OS_MSG_OK) << task;
    return fd;
}

uint32_t Handle(const char *task, uint32_t max) {
    uint32_t handled = 0xFFFFFFFFU;
    EXPECT_EQ(OsMsgTaskHandle(task, max, &handled), OS_MSG_OK) << task;
    return handled;
}

// Joins and leaves around each test; everything it made is gone afterwards.
class TaskFd : public ::testing::Test {
protected:
    void SetUp() override {
        counts_.Take();
        ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    }
    void TearDown() override {
        EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
        counts_.Check(); // every task's descriptor is closed
    }
    ProcessCounts counts_;
};

TEST_F(TaskFd, TheLoopbackHasNoReceiveThreadToServeATask) {
    Seen a;
    ASSERT_EQ(OsMsgRegTaskEx("a", 8U, Collect, &a), OS_MSG_OK);
    EXPECT_EQ(OsMsgTaskServeOnReceive("a"), OS_MSG_ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(OsMsgTaskServeOnReceive(nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(OsMsgTaskServeOnReceive(""), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(FdOf("a") >= 0, true) << "the task can still be served otherwise";
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, "a"), OS_MSG_OK);
}

TEST_F(TaskFd, IsReadableWhileMessagesWaitLetsOneThreadServeTwoTasksAndOneServerPerTask) {
    Seen a, b;
    ASSERT_EQ(OsMsgRegTaskEx("a", 8U, Collect, &a), OS_MSG_OK);
    ASSERT_EQ(OsMsgRegTaskEx("b", 8U, Collect, &b), OS_MSG_OK);
    const int fa = FdOf("a"), fb = FdOf("b");
    EXPECT_EQ(FdOf("a"), fa);
    EXPECT_FALSE(Readable(fa, 0));

    for (uint32_t id = 1; id <= 3; ++id) {
        ASSERT_EQ(Send("a", id), OS_MSG_OK);
    }
    ASSERT_EQ(Send("b", 9), OS_MSG_OK);
    EXPECT_TRUE(Readable(fa, 0));
    EXPECT_TRUE(Readable(fb, 0));
    EXPECT_EQ(Handle("a", 2), 2U);
    EXPECT_TRUE(Readable(fa, 0)) << "one message still waits";
    EXPECT_EQ(Handle("a", 10), 1U);
    EXPECT_FALSE(Readable(fa, 0)) << "nothing waits";
    EXPECT_EQ(Handle("a", 10), 0U);
    EXPECT_EQ(Handle("b", 10), 1U);
    EXPECT_EQ(a.ids, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(b.ids, (std::vector<uint32_t>{9}));
    EXPECT_EQ(a.user, &a);
    EXPECT_EQ(b.user, &b);

    EXPECT_EQ(OsMsgTaskRoutineByName("a"), OS_MSG_ERR_TASK_BUSY) << "its descriptor serves it";
    EXPECT_EQ(OsMsgRegTaskEx("a", 8U, Collect, &b), OS_MSG_ERR_TASK_EXIST);
    uint32_t handled = 7U;
    EXPECT_EQ(OsMsgTaskHandle("nope", 1U, &handled), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(handled, 0U);
    EXPECT_EQ(OsMsgTaskHandle("a", 0U, &handled), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(OsMsgTaskFd("a", nullptr), OS_MSG_ERR_INVALID_PARAM);

    TestTask looped("looped", [](MsgHead *) { return 0U; });
    ASSERT_TRUE(WaitLoopServes(kProc, "looped", 1U));
    EXPECT_EQ(OsMsgTaskHandle("looped", 1U, nullptr), OS_MSG_ERR_TASK_BUSY) << "a thread runs its loop";
    int fd = -1;
    EXPECT_EQ(OsMsgTaskFd("looped", &fd), OS_MSG_ERR_TASK_BUSY) << "a thread runs its loop";
    // So is a second loop turned away; one let in would stay until the task
    // goes, so the wait for it is bounded here.
    std::packaged_task<uint32_t()> second([] { return OsMsgTaskRoutineByName("looped"); });
    std::future<uint32_t> result = second.get_future();
    std::thread(std::move(second)).detach();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "a second loop was let in";
    EXPECT_EQ(result.get(), OS_MSG_ERR_TASK_BUSY);
    ASSERT_EQ(Send("looped", 2U), OS_MSG_OK);
    EXPECT_TRUE(WaitUntil([] {
        OsMsgTaskStats stats{};
        return OsMsgGetTaskStats("looped", &stats) == OS_MSG_OK && stats.handled == 2U;
    })) << "the first loop still serves the task";
}

// A lost wake-up leaves a message waiting behind a descriptor that is not
// readable: the poll below would then wait out its limit.
TEST_F(TaskFd, EveryMessageOfAProducerArrivesInOrderThroughThePollLoop) {
    constexpr uint32_t kMessages = 5000U;
    Seen a;
    ASSERT_EQ(OsMsgRegTaskEx("a", 16U, Collect, &a), OS_MSG_OK);
    const int fa = FdOf("a");
    std::thread producer([] {
        for (uint32_t id = 1; id <= kMessages; ++id) {
            uint32_t ret = OS_MSG_ERR_FULL;
            ASSERT_TRUE(WaitUntil([&] { return (ret = Send("a", id)) != OS_MSG_ERR_FULL; })) << "full at " << id;
            EXPECT_EQ(ret, OS_MSG_OK);
        }
    });
    uint32_t total = 0U;
    while (total < kMessages && Readable(fa, 20000)) {
        total += Handle("a", 5U);
    }
    producer.join();
    EXPECT_EQ(total, kMessages);
    std::vector<uint32_t> inOrder(kMessages);
    std::iota(inOrder.begin(), inOrder.end(), 1U);
    EXPECT_EQ(a.ids, inOrder);
}

TEST_F(TaskFd, UnregisteringWakesThePollLoopWhichThenLearnsTheTaskIsGone) {
    Seen a;
    ASSERT_EQ(OsMsgRegTaskEx("a", 8U, Collect, &a), OS_MSG_OK);
    const int fa = FdOf("a");
    std::atomic<uint32_t> result{0xFFFFFFFFU};
    std::thread loop([&] {
        struct pollfd pfd = {fa, POLLIN, 0};
        EXPECT_EQ(poll(&pfd, 1, 20000), 1) << "woken: readable, or closed under the poll";
        uint32_t handled = 0U;
        result = OsMsgTaskHandle("a", 8U, &handled);
    });
    ASSERT_EQ(OsMsgUnregTask(nullptr, 0U, "a"), OS_MSG_OK);
    loop.join();
    EXPECT_EQ(result.load(), OS_MSG_ERR_NOT_FOUND);

    // A callback that unregisters its own task ends the handling call.
    auto unregisterOwn = [](MsgHead *msg, void *) {
        EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, msg->recvTaskName), OS_MSG_OK);
        return 0U;
    };
    ASSERT_EQ(OsMsgRegTaskEx("self", 8U, unregisterOwn, nullptr), OS_MSG_OK);
    ASSERT_GE(FdOf("self"), 0);
    ASSERT_EQ(Send("self", 1), OS_MSG_OK);
    ASSERT_EQ(Send("self", 2), OS_MSG_OK);
    EXPECT_EQ(Handle("self", 8U), 1U) << "the second message went with the task";
    uint32_t handled = 0U;
    EXPECT_EQ(OsMsgTaskHandle("self", 8U, &handled), OS_MSG_ERR_NOT_FOUND);
}

// A callback run by a handling call sends as the task it serves, may call
// that task synchronously (its callback then runs inline), and gets the
// application's pointer on every path; so does a task with a loop thread.
Seen g_loopSeen;
uint32_t Serve(MsgHead *msg, void *user) {
    EXPECT_EQ(user, &g_loopSeen);
    if (msg->msgId == 5U) { // a message from the test: forward it, then call the own task
        EXPECT_EQ(Send("looped", 50), OS_MSG_OK);
        MsgHead call = MakeHead(kProc, "srv", 6);
        MsgHead *resp = nullptr;
        EXPECT_EQ(OsMsgSynSend(&call, &resp, 1000U), OS_MSG_OK);
        if (resp != nullptr) {
            EXPECT_EQ(std::string(static_cast<const char *>(resp->data), resp->dataLen), "inline");
            EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
        }
    } else if (msg->msgId == 6U) {
        EXPECT_EQ(OsMsgSynSendResp(msg, "inline", 6U), OS_MSG_OK);
    }
    return 0U;
}

TEST_F(TaskFd, HandledCallbacksSendAsTheirTaskAndEveryPathGetsTheApplicationsPointer) {
    ASSERT_EQ(OsMsgRegTaskEx("looped", 8U, Collect, &g_loopSeen), OS_MSG_OK);
    std::thread loop([] { EXPECT_EQ(OsMsgTaskRoutineByName("looped"), OS_MSG_OK); });
    ASSERT_EQ(OsMsgRegTaskEx("srv", 8U, Serve, &g_loopSeen), OS_MSG_OK);
    const int fd = FdOf("srv");
    ASSERT_EQ(Send("srv", 5), OS_MSG_OK);
    ASSERT_TRUE(Readable(fd, 20000));
    EXPECT_EQ(Handle("srv", 1U), 1U);
    ASSERT_TRUE(WaitUntil([] { return g_loopSeen.Any(); }));
    {
        std::lock_guard<std::mutex> guard(g_loopSeen.lock);
        EXPECT_EQ(g_loopSeen.ids, std::vector<uint32_t>{50});
        EXPECT_EQ(g_loopSeen.senders, std::vector<std::string>{"srv"}) << "sent as the task it served";
        EXPECT_EQ(g_loopSeen.user, &g_loopSeen);
    }
    ASSERT_EQ(OsMsgUnregTask(nullptr, 0U, "looped"), OS_MSG_OK);
    loop.join();
}

// A thread that reaches the loop late, after its task went and the name was
// registered again, is turned away instead of serving (and being stuck in)
// the new task; the thread of the new registration serves it.
TEST_F(TaskFd, ALoopStartedForOneRegistrationNeverServesALaterOneOfTheSameName) {
    Seen first, second;
    ASSERT_EQ(OsMsgRegTaskEx("again", 8U, Collect, &first), OS_MSG_OK);
    ASSERT_EQ(OsMsgUnregTask(nullptr, 0U, "again"), OS_MSG_OK);
    ASSERT_EQ(OsMsgRegTaskEx("again", 8U, Collect, &second), OS_MSG_OK);
    {
        LogCapture log;
        EXPECT_EQ(OsMsgTaskRoutineEx("again", &first), OS_MSG_ERR_NOT_FOUND);
        EXPECT_EQ(log.Count("task[again] was registered again: not this loop's."), 1U) << log.Dump();
        EXPECT_EQ(log.Count("not get queue"), 0U) << "a late loop is no missing task";
    }
    ASSERT_EQ(OsMsgRegTask("plain", 8U, [](MsgHead *) { return 0U; }), OS_MSG_OK);
    EXPECT_EQ(OsMsgTaskRoutineEx("plain", nullptr), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(OsMsgTaskRoutineEx("", &first), OS_MSG_ERR_INVALID_PARAM);

    std::thread loop([&] { EXPECT_EQ(OsMsgTaskRoutineEx("again", &second), OS_MSG_OK); });
    ASSERT_EQ(Send("again", 7U), OS_MSG_OK);
    ASSERT_TRUE(WaitUntil([&] { return second.Any(); }));
    ASSERT_EQ(OsMsgUnregTask(nullptr, 0U, "again"), OS_MSG_OK);
    loop.join();
    EXPECT_TRUE(first.ids.empty());
}

} // namespace

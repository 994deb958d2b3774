/*
 * The Unix-socket carrier between real processes: this test process joins
 * the messaging system under the carrier and talks to carrier_peer
 * processes it starts. Every wait is bounded; each test checks that the
 * carrier leaves no descriptor, thread or tracked block behind.
 */
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "carrier/carrier_proto.h"
#include "carrier/carrier_test_util.h"
#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "support/threads.h"
#include "transport/ipc_msg.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_run_dir.h"
#include "transport/unix/ipc_unix_carrier.h"
#include "vyre_os_log.h"

namespace {

using namespace carrier_proto;
using carrier_test::Peer;
using simple_msg_test::g_inbox;
using simple_msg_test::Inbox;
using simple_msg_test::Received;
using simple_msg_test::Record; // the task callback: what a task gets goes to the test's inbox

constexpr char kSelf[] = "ctest";

void *TaskLoop(void *name) {
    (void)OsMsgTaskRoutineByName(static_cast<const char *>(name));
    return nullptr;
}

Answer AnswerOf(const Received &item) {
    Answer answer{};
    std::memcpy(&answer, item.payload.data(), std::min(item.payload.size(), sizeof(answer)));
    return answer;
}

/* A run directory of its own, the carrier selected, and this process's
 * descriptors, threads and tracked blocks counted before anything starts. */
class Carrier : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vyre_carrier_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        runDir_ = dir;
        setenv("VYRE_OS_MSG_CARRIER", "unix", 1);
        setenv("VYRE_OS_MSG_RUNDIR", runDir_.c_str(), 1);
        g_inbox = &inbox_;
        // A sanitizer starts a thread of its own with the first thread the
        // process creates: let that happen before counting.
        std::thread([] {}).join();
        fds_ = carrier_test::OpenFds();
        threads_ = ThreadCount();
        blocks_ = UsedBlocks();
        firstServer_ = rebuildEntry == nullptr; // the first start-up of the process creates them
    }

    void TearDown() override {
        Leave();
        peers_.clear();
        // The server context and the slice collector stay for the life of
        // the process, as with the loopback; nothing else does.
        EXPECT_EQ(carrier_test::OpenFds(), fds_);
        // At most as many as before (library threads leave a moment after
        // teardown): under an emulator a thread that was just joined may
        // still be listed when the baseline is taken.
        EXPECT_TRUE(WaitUntil([this] { return ThreadCount() <= threads_; })) << ThreadList();
        EXPECT_EQ(UsedBlocks(), blocks_ + (firstServer_ && joined_ ? 2U : 0U));
        std::string dirFile = runDir_ + "/queue_dir";
        (void)unlink(dirFile.c_str());
        if (rmdir(runDir_.c_str()) != 0) {
            ADD_FAILURE() << "something besides the directory segment was left in " << runDir_;
            carrier_test::RemoveDir(runDir_);
        }
        g_inbox = nullptr;
    }

    /* Joins as name with task "main" feeding the inbox. */
    uint32_t Join(const char *name = kSelf) {
        uint32_t ret = OsMsgInit(name);
        if (ret != OS_MSG_OK) {
            return ret;
        }
        joined_ = true;
        running_ = true;
        name_ = name;
        EXPECT_EQ(OsMsgRegTask("main", 1024U, Record), OS_MSG_OK);
        EXPECT_EQ(pthread_create(&loop_, nullptr, TaskLoop, const_cast<char *>("main")), 0);
        return ret;
    }

    void Leave() {
        if (!running_) {
            return;
        }
        running_ = false;
        EXPECT_EQ(OsMsgDestroy(name_.c_str()), OS_MSG_OK);
        EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
        (void)pthread_join(loop_, nullptr);
    }

    Peer &Start(std::vector<std::string> args) {
        peers_.push_back(std::make_unique<Peer>(std::move(args)));
        Peer &peer = *peers_.back();
        EXPECT_GT(peer.Pid(), 0);
        return peer;
    }

    /* A started echo peer that is ready. */
    Peer &StartEcho(const std::string &name) {
        Peer &peer = Start({"echo", name});
        EXPECT_EQ(peer.Expect("ready"), "ready");
        return peer;
    }

    /* Pings task "echo" of proc; true when exactly one answer came back. */
    bool PingAnswered(const char *proc) {
        return SendTo(proc, "echo", kPing, nullptr, 0U) == OS_MSG_OK && inbox_.WaitFor(1U) &&
               inbox_.Items().size() == 1U;
    }

    /* A header from task "main" of this process. */
    MsgHead From(const char *proc, const char *task, uint32_t msgId, const void *data, uint32_t len) {
        MsgHead head;
        FillHead(&head, name_.c_str(), proc, task, msgId, data, len);
        (void)snprintf(head.sendTaskName, sizeof(head.sendTaskName), "main");
        return head;
    }

    /* Sends an asynchronous message from task "main". */
    uint32_t SendTo(const char *proc, const char *task, uint32_t msgId, const void *data, uint32_t len) {
        MsgHead head = From(proc, task, msgId, data, len);
        return OsMsgAsynSend(&head);
    }

    /* A synchronous call to task "echo" of proc; the answer copied. */
    uint32_t Call(const char *proc, uint32_t msgId, const void *data, uint32_t len, uint32_t timeoutMs,
                  Answer *answer) {
        MsgHead head = From(proc, "echo", msgId, data, len);
        MsgHead *resp = nullptr;
        uint32_t ret = OsMsgSynSend(&head, &resp, timeoutMs);
        if (ret == OS_MSG_OK) {
            EXPECT_EQ(resp->dataLen, sizeof(Answer));
            std::memcpy(answer, resp->data, sizeof(Answer));
            EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
        }
        return ret;
    }

    std::string runDir_;
    Inbox inbox_;
    std::vector<std::unique_ptr<Peer>> peers_;
    std::string name_;

private:
    size_t fds_ = 0U;
    size_t threads_ = 0U;
    uint64_t blocks_ = 0U;
    bool joined_ = false;
    bool firstServer_ = false;
    bool running_ = false;
    pthread_t loop_{};
};

// The last message is written past the library's stamping with false sender
// fields: the receiver sees the kernel's pid and uid whatever the sender wrote.
TEST_F(Carrier, AsyncMessagesArriveInOrderWithEveryByteAndKernelCredentials) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    Peer &echo = StartEcho("echo1");
    constexpr uint32_t kCount = 200U;
    for (uint32_t i = 0U; i < kCount; ++i) {
        std::vector<uint8_t> payload(i * 37U);
        FillPattern(payload.data(), (uint32_t)payload.size(), kPing);
        ASSERT_EQ(SendTo("echo1", "echo", kPing, payload.data(), (uint32_t)payload.size()), OS_MSG_OK) << i;
    }
    MsgHead forged = From("echo1", "echo", kPing, nullptr, 0U);
    forged.sendPid = 1U;
    forged.sendUid = 4242U;
    ASSERT_EQ(IpcUnixSendData("echo1", 1U, &forged), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(kCount + 1U));
    std::vector<Received> got = inbox_.Items();
    ASSERT_EQ(got.size(), kCount + 1U);
    for (uint32_t i = 0U; i <= kCount; ++i) {
        Answer answer = AnswerOf(got[i]);
        EXPECT_EQ(answer.len, i < kCount ? i * 37U : 0U) << "out of order at " << i;
        EXPECT_EQ(answer.intact, 1U) << i;
        EXPECT_EQ(answer.pid, (uint32_t)getpid()) << i;
        EXPECT_EQ(answer.uid, (uint32_t)getuid()) << i;
        // The answer's own sender fields come from the kernel too.
        EXPECT_EQ(got[i].head.sendPid, (uint32_t)echo.Pid());
        EXPECT_STREQ(got[i].head.sendProcName, "echo1");
    }
}

TEST_F(Carrier, LargestPayloadCrossesInSlicesWithEveryByteBothWays) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    StartEcho("echo3");
    std::vector<uint8_t> payload(OS_MSG_MAX_DATA_LEN);
    FillPattern(payload.data(), OS_MSG_MAX_DATA_LEN, kPing);
    ASSERT_EQ(SendTo("echo3", "echo", kPing, payload.data(), OS_MSG_MAX_DATA_LEN), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(1U));
    std::vector<Received> got = inbox_.Items();
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(AnswerOf(got[0]).len, OS_MSG_MAX_DATA_LEN);
    EXPECT_EQ(AnswerOf(got[0]).intact, 1U);
    FillPattern(payload.data(), OS_MSG_MAX_DATA_LEN, kCall);
    Answer answer{};
    ASSERT_EQ(Call("echo3", kCall, payload.data(), OS_MSG_MAX_DATA_LEN, 10000U, &answer), OS_MSG_OK);
    EXPECT_EQ(answer.len, OS_MSG_MAX_DATA_LEN);
    EXPECT_EQ(answer.intact, 1U);
    rebuildmsg::MsgRebuildRecvData *collector = rebuildEntry;
    std::lock_guard<std::mutex> guard(collector->rebuildLock);
    EXPECT_EQ(collector->nodeTotal, 0); // nothing left under reassembly
}

TEST_F(Carrier, SyncCallIsAnsweredTimesOutAndRefusesTheLateAnswer) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    Peer &echo = StartEcho("echo4");
    Answer answer{};
    uint8_t small[5];
    FillPattern(small, sizeof(small), kCall);
    ASSERT_EQ(Call("echo4", kCall, small, sizeof(small), 5000U, &answer), OS_MSG_OK);
    EXPECT_EQ(answer.len, sizeof(small));
    EXPECT_EQ(answer.pid, (uint32_t)getpid());

    // The peer's delay is far beyond the time-out, so that even a loaded
    // machine tells the time-out from a wait for the answer.
    uint32_t delayMs = 2000U;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call("echo4", kSlowCall, &delayMs, sizeof(delayMs), 100U, &answer), OS_MSG_ERR_SYN_TIMEOUT);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::milliseconds(delayMs)); // not the peer's delay
    EXPECT_EQ(echo.Expect("late"), "late 0");              // it left; the requester drops it
    uint8_t other[9];
    FillPattern(other, sizeof(other), kCall);
    ASSERT_EQ(Call("echo4", kCall, other, sizeof(other), 5000U, &answer), OS_MSG_OK);
    EXPECT_EQ(answer.len, sizeof(other)); // its own answer, not the late one
}

TEST_F(Carrier, AbsentDestinationFailsAtOnceWithOneLineNamingIt) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    LogCapture log(OS_LOG_ERROR, OS_MSG_LOG_ERROR);
    EXPECT_EQ(SendTo("nobody", "echo", kPing, nullptr, 0U), OS_MSG_ERR_SERVER_NOT_RUNNING);
    EXPECT_EQ(log.Count("[nobody]"), 1U) << log.Dump();
    Answer answer{};
    EXPECT_EQ(Call("nobody", kCall, nullptr, 0U, 5000U, &answer), OS_MSG_ERR_SERVER_NOT_RUNNING);
}

TEST_F(Carrier, NameOfALiveProcessIsRefusedAndADeadOnesIsTakenOver) {
    Peer &holder = StartEcho("dup");
    {
        LogCapture log(OS_LOG_ERROR, OS_MSG_LOG_ERROR);
        EXPECT_EQ(OsMsgInit("dup"), OS_MSG_ERR_REPEATED);
        EXPECT_EQ(log.Count("process name [dup] in use by pid " + std::to_string(holder.Pid())), 1U) << log.Dump();
    }
    holder.Kill(); // its socket file and directory entry stay behind
    struct stat st;
    ASSERT_EQ(stat((runDir_ + "/dup.sock").c_str(), &st), 0);
    ASSERT_EQ(Join("dup"), OS_MSG_OK);
    Peer &echo = StartEcho("echo5");
    ASSERT_EQ(SendTo("echo5", "echo", kPing, nullptr, 0U), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(1U));
    std::vector<Received> got = inbox_.Items();
    ASSERT_EQ(got.size(), 1U); // the answer reached the new owner of the name
    (void)echo;
}

TEST_F(Carrier, DirectoryLockHeldByAKilledProcessIsRecovered) {
    if (sizeof(CARRIER_PEER_LAUNCHER) > 1U) {
        // qemu-user does not keep the kernel's robust-futex list, so under it
        // nothing marks the dead holder's lock; on the target's kernel that
        // is what this test checks.
        GTEST_SKIP() << "robust locks are not emulated by " << CARRIER_PEER_LAUNCHER;
    }
    Peer &holder = Start({"hold-lock"});
    ASSERT_EQ(holder.Expect("ready"), "ready");
    holder.Kill();
    LogCapture log(OS_LOG_ERROR, OS_MSG_LOG_WARN);
    ASSERT_EQ(Join(), OS_MSG_OK);
    EXPECT_EQ(log.Count("directory lock owner died"), 1U) << log.Dump();
    StartEcho("echo6");
    EXPECT_TRUE(PingAnswered("echo6"));
}

TEST_F(Carrier, FullReceiverRefusesAsyncAndBoundsTheSyncWait) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    Peer &echo = StartEcho("echo7");
    ASSERT_TRUE(PingAnswered("echo7")); // connected
    ASSERT_EQ(kill(echo.Pid(), SIGSTOP), 0);
    // Every thread of the peer has stopped: nothing reads its socket any more
    // (a thread that had not stopped yet would make room after the refusal).
    int status = 0;
    ASSERT_EQ(waitpid(echo.Pid(), &status, WUNTRACED), echo.Pid());
    ASSERT_TRUE(WIFSTOPPED(status));
    std::vector<uint8_t> payload(4096U);
    uint32_t ret = OS_MSG_OK;
    uint32_t sent = 0U;
    {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        for (; sent < 100000U && ret == OS_MSG_OK; ++sent) {
            ret = SendTo("echo7", "echo", 0U, payload.data(), (uint32_t)payload.size());
        }
        EXPECT_EQ(ret, OS_MSG_ERR_FULL) << "after " << sent << " messages";
        Answer answer{};
        auto start = std::chrono::steady_clock::now();
        uint32_t callRet = Call("echo7", kCall, nullptr, 0U, 200U, &answer);
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(callRet, OS_MSG_ERR_FULL); // waited for room as long as its time-out allows
        EXPECT_GE(waited, std::chrono::milliseconds(200));
        EXPECT_LT(waited, std::chrono::milliseconds(5000)); // bounded, however loaded the machine
    }
    ASSERT_EQ(kill(echo.Pid(), SIGCONT), 0);
    // Once the peer reads again, messages flow: retry while its socket drains.
    bool accepted = false;
    for (int i = 0; i < carrier_test::kWaitMs / 5 && !accepted; ++i) {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        accepted = SendTo("echo7", "echo", kPing, nullptr, 0U) == OS_MSG_OK;
        if (!accepted) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // paces the retries while it drains
        }
    }
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(inbox_.WaitCount(kPong, 2U));
}

TEST_F(Carrier, PeerKilledMidMessageLeavesNothingAndItsSuccessorIsHeard) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    uint64_t before = UsedBlocks();
    Peer &partial = Start({"partial", "part", kSelf});
    ASSERT_EQ(partial.Expect("ready"), "ready");
    rebuildmsg::MsgRebuildRecvData *collector = rebuildEntry;
    auto nodes = [collector] {
        std::lock_guard<std::mutex> guard(collector->rebuildLock);
        return collector->nodeTotal;
    };
    EXPECT_TRUE(WaitUntil([&] { return nodes() != 0; }));
    EXPECT_EQ(nodes(), 1); // the first slice is held
    partial.Kill();
    // The receive thread drops what the connection left once it sees it go.
    EXPECT_TRUE(WaitUntil([&] { return nodes() == 0 && UsedBlocks() == before; }));
    EXPECT_EQ(nodes(), 0);
    EXPECT_EQ(UsedBlocks(), before); // the connection and the held slice's buffer are gone
    StartEcho("part");
    EXPECT_TRUE(PingAnswered("part"));
}

TEST_F(Carrier, SenderReconnectsOnceWhenThePeerRestarted) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    Peer &echo = StartEcho("echo8");
    ASSERT_TRUE(PingAnswered("echo8"));
    echo.Send("reinit");
    ASSERT_EQ(echo.Expect("ready"), "ready");
    ASSERT_EQ(SendTo("echo8", "echo", kPing, nullptr, 0U), OS_MSG_OK);
    EXPECT_TRUE(inbox_.WaitFor(2U));
    EXPECT_EQ(inbox_.Items().size(), 2U);
}

TEST_F(Carrier, TeardownLeavesNoSocketAndASecondStartWorks) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    StartEcho("echo9");
    ASSERT_TRUE(PingAnswered("echo9"));
    struct stat st;
    ASSERT_EQ(stat((runDir_ + "/ctest.sock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    Leave();
    EXPECT_NE(stat((runDir_ + "/ctest.sock").c_str(), &st), 0);
    EXPECT_EQ(IPCMsgGetShmHead(), nullptr); // detached
    ASSERT_EQ(Join(), OS_MSG_OK);
    ASSERT_EQ(SendTo("echo9", "echo", kPing, nullptr, 0U), OS_MSG_OK);
    EXPECT_TRUE(inbox_.WaitFor(2U));
    EXPECT_EQ(inbox_.Items().size(), 2U);
}

TEST_F(Carrier, JoiningUnderEveryAllocationFailureLeavesNothingBehind) {
    // A first start-up makes what the process keeps for good.
    ASSERT_EQ(Join(), OS_MSG_OK);
    Leave();
    const uint64_t blocks = UsedBlocks();
    const size_t fds = carrier_test::OpenFds();
    const std::string sock = runDir_ + "/" + kSelf + ".sock";
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    int allocations = SweepAllocFailures([] { return OsMsgInit(kSelf); },
                                         [&](int n, bool, uint32_t result) {
                                             struct stat st;
                                             if (result == OS_MSG_OK) {
                                                 // Done, or a failure a retry got over (the
                                                 // broadcast task's registration retries).
                                                 EXPECT_EQ(stat(sock.c_str(), &st), 0) << n;
                                                 EXPECT_EQ(OsMsgDestroy(kSelf), OS_MSG_OK);
                                                 EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
                                             }
                                             EXPECT_EQ(UsedBlocks(), blocks) << n;
                                             EXPECT_EQ(carrier_test::OpenFds(), fds) << n;
                                             EXPECT_NE(stat(sock.c_str(), &st), 0) << n;
                                         });
    EXPECT_GT(allocations, 0);
    // A broadcast thread whose registration failed retries until the next
    // start-up takes it; one more life cycle lets it go before the counts.
    ASSERT_EQ(Join(), OS_MSG_OK);
    Leave();
}

TEST_F(Carrier, BroadcastReachesEachSubscriberInOtherProcessesOnce) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    ASSERT_EQ(OsMsgRegTask("pub", 16U, Record), OS_MSG_OK);
    Peer &subA = Start({"sub", "suba", kSelf});
    Peer &subB = Start({"sub", "subb", kSelf});
    ASSERT_EQ(subA.Expect("ready"), "ready");
    ASSERT_EQ(subB.Expect("ready"), "ready");
    // The probe shows when each subscription is in place here.
    for (Peer *sub : {&subA, &subB}) {
        std::string line;
        for (int i = 0; i < carrier_test::kWaitMs / 50 && line.empty(); ++i) {
            ASSERT_EQ(BroadcastFromPub(kProbe), OS_MSG_OK);
            line = sub->Expect("event " + std::to_string(kProbe), 50);
        }
        ASSERT_EQ(line, "event 101 4");
    }
    ASSERT_EQ(BroadcastFromPub(kEvent), OS_MSG_OK);
    ASSERT_EQ(BroadcastFromPub(kProbe), OS_MSG_OK);
    for (Peer *sub : {&subA, &subB}) {
        EXPECT_EQ(sub->Expect("event " + std::to_string(kEvent)), "event 100 4");
        // Events reach a subscriber in order: a duplicate would come before
        // the probe sent after the event.
        EXPECT_EQ(sub->Line(), "event 101 4");
    }
}

TEST_F(Carrier, SubscriptionTravelsToThePublishersProcess) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    Peer &pub = Start({"pub", "publ"});
    ASSERT_EQ(pub.Expect("ready"), "ready");
    ASSERT_EQ(SubscribeToPub("publ", "main"), OS_MSG_OK);
    bool subscribed = false;
    for (int i = 0; i < carrier_test::kWaitMs / 50 && !subscribed; ++i) {
        pub.Send("fire " + std::to_string(kProbe));
        ASSERT_EQ(pub.Expect("fired"), "fired 0");
        subscribed = inbox_.WaitCount(kProbe, 1U, std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(subscribed);
    pub.Send("fire " + std::to_string(kEvent));
    pub.Send("fire " + std::to_string(kProbe));
    // Probes fired before the event may still be on their way; they come
    // before it, and only the probe fired after it comes after it.
    ASSERT_TRUE(inbox_.WaitUntil([](const std::vector<Received> &items) {
        auto event = std::find_if(items.begin(), items.end(), [](const Received &i) { return i.msgId == kEvent; });
        return std::any_of(event, items.end(), [](const Received &i) { return i.msgId == kProbe; });
    }));
    EXPECT_EQ(inbox_.Count(kEvent), 1U); // once, and before the later probe
    EXPECT_EQ(inbox_.Items().back().head.sendPid, (uint32_t)pub.Pid());
}

} // namespace

namespace {

TEST(CarrierSettings, UnknownCarrierIsRefusedAndNoSettingKeepsTheLoopback) {
    char dir[] = "/tmp/vyre_carrier_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("VYRE_OS_MSG_RUNDIR", dir, 1);
    setenv("VYRE_OS_MSG_CARRIER", "tcp", 1);
    {
        LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
        EXPECT_EQ(OsMsgInit(kSelf), OS_MSG_ERR_INVALID_PARAM);
        EXPECT_EQ(log.Count("unknown carrier [tcp]."), 1U) << log.Dump();
    }
    unsetenv("VYRE_OS_MSG_CARRIER");
    ASSERT_EQ(OsMsgInit(kSelf), OS_MSG_OK);
    // The loopback brings a message for another process back here.
    Inbox inbox;
    g_inbox = &inbox;
    ASSERT_EQ(OsMsgRegTask("main", 16U, Record), OS_MSG_OK);
    pthread_t loop;
    ASSERT_EQ(pthread_create(&loop, nullptr, TaskLoop, const_cast<char *>("main")), 0);
    MsgHead head;
    FillHead(&head, kSelf, "elsewhere", "main", kPing, nullptr, 0U);
    EXPECT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
    EXPECT_TRUE(inbox.WaitFor(1U));
    EXPECT_EQ(rmdir(dir), 0); // no socket, no directory segment
    EXPECT_EQ(OsMsgDestroy(kSelf), OS_MSG_OK);
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    (void)pthread_join(loop, nullptr);
    g_inbox = nullptr;
}

TEST(CarrierSettings, RunDirectoryFollowsTheSettingsAndIsCreatedPrivate) {
    char path[IPC_RUN_DIR_PATH_SIZE];
    unsetenv("VYRE_OS_MSG_RUNDIR");
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    ASSERT_EQ(IpcRunDirPath(path, sizeof(path)), OS_MSG_OK);
    EXPECT_STREQ(path, "/run/user/4242/vyre_os_msg");
    unsetenv("XDG_RUNTIME_DIR");
    ASSERT_EQ(IpcRunDirPath(path, sizeof(path)), OS_MSG_OK);
    EXPECT_EQ(std::string(path), "/tmp/vyre_os_msg-" + std::to_string(getuid()));
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    setenv("VYRE_OS_MSG_RUNDIR", ("/tmp/" + std::string(IPC_RUN_DIR_MAX, 'd')).c_str(), 1);
    EXPECT_EQ(IpcRunDirPath(path, sizeof(path)), OS_MSG_ERR_INVALID_PARAM); // a socket path would not fit
    setenv("VYRE_OS_MSG_RUNDIR", "relative/dir", 1);
    EXPECT_EQ(IpcRunDirPath(path, sizeof(path)), OS_MSG_ERR_INVALID_PARAM);

    char parent[] = "/tmp/vyre_carrier_XXXXXX";
    ASSERT_NE(mkdtemp(parent), nullptr);
    std::string dir = std::string(parent) + "/run";
    mode_t old = umask(0);
    EXPECT_EQ(IpcRunDirMake(dir.c_str()), OS_MSG_OK);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777U, 0700U);
    EXPECT_EQ(IpcRunDirMake(dir.c_str()), OS_MSG_OK); // it exists: kept
    std::string file = dir + "/plain";
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    (void)fclose(f);
    EXPECT_EQ(IpcRunDirMake(file.c_str()), OS_MSG_ERR_SYSTEM); // not a directory
    EXPECT_EQ(unlink(file.c_str()) | rmdir(dir.c_str()) | rmdir(parent), 0);
}

} // namespace

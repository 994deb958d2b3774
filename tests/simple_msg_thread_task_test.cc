// Which task a thread sends as: the answer follows registration, removal and
// re-registration of the thread's task (also while other threads change the
// registry) and the start and end of loops, and a forked child stamps its own
// process id and thread name.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>

#include "base/msg_proc_name.h"
#include "core/msg_send.h"
#include "simple_msg_test_util.h"

using namespace simple_msg_test;

namespace {

struct Answer {
    std::string name;
    uint32_t found;
};

Answer AskForSelf() {
    char name[OS_MSG_NAME_LEN + 1] = {0};
    uint32_t found = SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), name, OS_MSG_NAME_LEN);
    return {name, found};
}

// What the loop callbacks saw, by task name; guarded by g_seenLock.
std::mutex g_seenLock;
std::map<std::string, Answer> g_seen;

uint32_t RecordOwnAnswer(MsgHead *msg) {
    Answer answer = AskForSelf();
    {
        std::lock_guard<std::mutex> lock(g_seenLock);
        g_seen[Name(msg->recvTaskName)] = answer;
    }
    return Record(msg);
}

Answer SeenBy(const std::string &task) {
    std::lock_guard<std::mutex> lock(g_seenLock);
    return g_seen.count(task) != 0 ? g_seen[task] : Answer{"(nothing)", 99U};
}

using SenderLookup = SimpleMsgTest;

TEST_F(SenderLookup, KnowsALoopThreadByItsTaskOnlyWhileTheLoopRuns) {
    for (uint32_t life = 1; life <= 2; ++life) {
        SCOPED_TRACE("life " + std::to_string(life));
        ASSERT_EQ(SimpleMsgRegTask("rx", 4, RecordOwnAnswer, 0), OS_MSG_OK);
        Answer afterLoop{"(loop still runs)", 99U};
        std::string loopDefault;
        std::thread loop([&] {
            loopDefault = ThreadTaskName();
            EXPECT_EQ(AskForSelf().found, 0U) << "not yet in a loop";
            EXPECT_EQ(SimpleTaskRoutineByName(const_cast<char *>("rx")), OS_MSG_OK);
            afterLoop = AskForSelf();
        });
        ASSERT_TRUE(WaitForLoop("rx"));
        ASSERT_EQ(SendTo("rx", life), OS_MSG_OK);
        ASSERT_TRUE(inbox_.WaitFor(life));
        Answer inLoop = SeenBy("rx");
        EXPECT_TRUE(inLoop.name == "rx" && inLoop.found == 1U) << inLoop.name;
        Answer outside = AskForSelf();
        EXPECT_TRUE(outside.name == ThreadTaskName() && outside.found == 0U) << "another thread's loop is not ours";

        ASSERT_EQ(SimpleMsgUnregTask("rx"), OS_MSG_OK);
        loop.join();
        EXPECT_TRUE(afterLoop.name == loopDefault && afterLoop.found == 0U) << afterLoop.name;
    }
}

// Each thread registers and removes its own default name over and over while
// the others do the same: every change moves the generation all threads
// check, and each thread's answers, asked twice (the second may be the
// remembered one), must still be about itself.
TEST_F(SenderLookup, AnswersFollowTheThreadsOwnTaskWhileOtherThreadsChangeTheRegistry) {
    constexpr int kThreads = 3, kRounds = 400;
    std::atomic<int> wrong{0};
    RunOnThreads(kThreads, [&](int) {
        const std::string own = ThreadTaskName();
        auto expect = [&](uint32_t found) {
            for (int ask = 0; ask < 2; ++ask) {
                Answer a = AskForSelf();
                wrong += a.name == own && a.found == found ? 0 : 1;
            }
        };
        for (int round = 0; round < kRounds; ++round) {
            expect(0U);
            if (SimpleMsgRegTask(own.c_str(), 1, nullptr, 0) != OS_MSG_OK) {
                ++wrong;
                return;
            }
            expect(1U);
            wrong += SimpleMsgUnregTask(own.c_str()) == OS_MSG_OK ? 0 : 1;
        }
    });
    EXPECT_EQ(wrong.load(), 0);
}

// Runs in a forked child: stamps a header and reports, as the exit status,
// the first field that is not the child's own.
int StampInChild() {
    MsgHead head{};
    (void)MsgForceSetSendName(&head);
    const uint32_t pid = static_cast<uint32_t>(getpid());
    return head.sendPid != pid                               ? 1
           : head.sendUid != static_cast<uint32_t>(getuid()) ? 2
           : Name(head.sendTaskName) != ThreadTaskName()     ? 3
           : OsGetPId() != pid                               ? 4
                                                             : 0;
}

using SenderStamp = SimpleMsgTest;

TEST_F(SenderStamp, AForkedChildStampsItsOwnProcessIdAndThreadName) {
    ASSERT_EQ(MsgSetProcName("proc", 5U), OS_MSG_OK);
    MsgHead head{}; // the parent stamps first: the child must not reuse what it found
    EXPECT_EQ(MsgForceSetSendName(&head), 0U);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(StampInChild());
    }
    // Reaped on every path: a child that hangs is killed once the wait gives up.
    int status = 0;
    const bool exited = WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; });
    if (!exited) {
        (void)kill(child, SIGKILL);
        (void)waitpid(child, nullptr, 0);
    }
    ASSERT_TRUE(exited) << "the child hung";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1 pid, 2 uid, 3 task name, 4 platform pid: the parent's value";
    ASSERT_EQ(MsgSetProcName("", 0U), OS_MSG_OK);
}

} // namespace

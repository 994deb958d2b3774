// The task registry: registration, removal while the task is in use (by its
// loop, its own callback or a requester of its slot) and removal that cannot
// finish at once, the public task operations, and the task a thread sends as.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>
#include <tuple>

#include "base/msg_proc_name.h"
#include "core/msg_send.h"
#include "simple_msg_test_util.h"
#include "vyre_os_time.h"

using namespace simple_msg_test;

namespace {

// Once it removed its own task, the loop thread is known by its default name.
uint32_t HoldThenRemoveOwnTask(MsgHead *msg) {
    HoldFirst(msg);
    EXPECT_EQ(SimpleMsgUnregTask(msg->recvTaskName), OS_MSG_OK);
    char name[OS_MSG_NAME_LEN + 1] = {0};
    EXPECT_EQ(SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), name, OS_MSG_NAME_LEN), 0U);
    EXPECT_EQ(std::string(name), ThreadTaskName());
    return 0;
}

pid_t g_loopTid = 0;

uint32_t NoteTid(MsgHead *msg) {
    g_loopTid = static_cast<pid_t>(syscall(SYS_gettid));
    return Record(msg);
}

using TaskRegistry = SimpleMsgTest;
using TaskRemoval = TaskRegistry;

TEST_F(TaskRegistry, NamesQueueLengthsAndRepeatedNames) {
    LogCapture log;
    ASSERT_EQ(SimpleMsgRegTask("abcdefghijklmno", 0, nullptr, 1), OS_MSG_OK);
    SimpleMsgTask *task = FindTask("abcdefghijklmno");
    EXPECT_EQ(SimpleMsgRegTask("abcdefghijklmnop", 4, Record, 0), OS_MSG_ERR_FAIL);
    EXPECT_EQ(log.Count("memcpy_s error.", OS_LOG_FATAL), 1U);
    EXPECT_EQ(ZEM_HashSize(simpleQueue), 1U); // its entry went again

    // A registered name takes a callback only when it has none; nothing else changes.
    EXPECT_EQ(SimpleMsgRegTask("abcdefghijklmno", 9, nullptr, 0), OS_MSG_ERR_TASK_EXIST);
    EXPECT_EQ(SimpleMsgRegTask("abcdefghijklmno", 9, Record, 0), OS_MSG_OK);
    EXPECT_EQ(SimpleMsgRegTask("abcdefghijklmno", 9, HoldFirst, 0), OS_MSG_ERR_TASK_EXIST);
    EXPECT_EQ(log.Count("reg[abcdefghijklmno] already exist.", OS_LOG_INFO), 3U);
    EXPECT_EQ(log.Count("update func.", OS_LOG_INFO), 1U);
    EXPECT_EQ(std::tuple(task->func, task->ring.capacity, task->autoUnreg), std::tuple(&Record, 1024U, 1U))
        << "the callback taken, the first registration's queue length (0: the default) and removal";
}

// Each thread remembers its last look-up by name; every change of the table,
// from any thread, must make the next look-up see the table as it is now.
TEST_F(TaskRegistry, LookUpByNameFollowsRemovalReRegistrationAndANewTable) {
    ASSERT_EQ(SimpleMsgRegTask("peer", 1, Record, 0), OS_MSG_OK);
    ASSERT_NE(FindTask("peer"), nullptr);
    EXPECT_EQ(SendTo("peer", 1, "kept"), OS_MSG_OK);
    EXPECT_EQ(FindTask("peer2"), nullptr); // another name is not the remembered one
    ASSERT_EQ(SimpleMsgRegTask("other", 5, Record, 0), OS_MSG_OK);
    auto capacityOf = [](const char *name) {
        SimpleMsgTask *found = FindTask(name);
        return found != nullptr ? found->ring.capacity : 0U;
    };
    for (int round = 0; round < 3; ++round) { // alternating names each keep their own record
        EXPECT_EQ(capacityOf("peer"), 1U);
        EXPECT_EQ(capacityOf("other"), 5U);
    }

    ASSERT_EQ(SimpleMsgUnregTask("peer"), OS_MSG_OK);
    EXPECT_EQ(FindTask("peer"), nullptr);
    EXPECT_EQ(SendTo("peer", 2), OS_MSG_ERR_NOT_FOUND);

    // Re-registered by another thread: the record (told apart by its ring) is the new one.
    ASSERT_EQ(SimpleMsgRegTask("peer", 2, Record, 0), OS_MSG_OK);
    ASSERT_NE(FindTask("peer"), nullptr);
    std::thread([] {
        EXPECT_EQ(SimpleMsgUnregTask("peer"), OS_MSG_OK);
        EXPECT_EQ(SimpleMsgRegTask("peer", 3, Record, 0), OS_MSG_OK);
    }).join();
    SimpleMsgTask *task = FindTask("peer");
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->ring.capacity, 3U);
    EXPECT_EQ(SendTo("peer", 3), OS_MSG_OK);
    EXPECT_EQ(SimpleMsgRingPending(&task->ring), 1U);

    // A 16-byte field without a terminator is not the 15-character name it starts with.
    ASSERT_EQ(SimpleMsgRegTask("abcdefghijklmno", 1, Record, 0), OS_MSG_OK);
    ASSERT_NE(FindTask("abcdefghijklmno"), nullptr);
    char field[OS_MSG_NAME_LEN];
    std::memcpy(field, "abcdefghijklmnoX", sizeof(field));
    SimpleMsgTask *found = nullptr;
    (void)OsMutexLock(&simpleQueueLock);
    EXPECT_EQ(SimpleMsgGetQueue(field, &found), OS_MSG_ERR_NOT_FOUND);
    (void)OsMutexUnLock(&simpleQueueLock);
    EXPECT_EQ(found, nullptr);

    // A table made anew knows none of the old names.
    ASSERT_NE(FindTask("peer"), nullptr);
    SimpleMsgDestroyQueue();
    ASSERT_EQ(SimpleMsgCreateQueue(128), OS_MSG_OK);
    EXPECT_EQ(FindTask("peer"), nullptr);
    EXPECT_EQ(SendTo("peer", 4), OS_MSG_ERR_NOT_FOUND);
}

TEST_F(TaskRegistry, FailedRegistrationLeavesNothingBehind) {
    const uint64_t start = OSMemGetUsedBlocks();
    LogCapture quiet; // each failure is reported
    // Record first; table entry and key copy; ring last.
    int allocations = SweepAllocFailures(
        [] { return SimpleMsgRegTask("sweep", 8, Record, 0); },
        [&](int n, bool failed, uint32_t result) {
            EXPECT_TRUE(!failed || result == OS_MSG_ERR_NO_MEMORY || (n > 1 && result == OS_MSG_ERR_HASH));
            EXPECT_EQ(ZEM_HashSize(simpleQueue), failed ? 0U : 1U);
            EXPECT_EQ(SimpleMsgUnregTask("sweep"), failed ? OS_MSG_ERR_NOT_FOUND : OS_MSG_OK);
            EXPECT_EQ(OSMemGetUsedBlocks(), start);
        });
    EXPECT_GE(allocations, 3);
}

TEST_F(TaskRemoval, LoopEndsWhenRemovedWhileWaiting) {
    LoopThread *loop = StartTask("idle", 4, NoteTid);
    ASSERT_EQ(SendTo("idle", 1), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(1)); // the inbox's lock orders the callback's write before our read
    ASSERT_TRUE(WaitUntil([] {      // until the kernel reports the loop thread asleep
        std::ifstream stat("/proc/self/task/" + std::to_string(g_loopTid) + "/stat");
        std::string line;
        return std::getline(stat, line) && line.find(") S ") != std::string::npos;
    }));
    EXPECT_EQ(SimpleMsgUnregTask("idle"), OS_MSG_OK);
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    EXPECT_EQ(FindTask("idle"), nullptr);
}

TEST_F(TaskRemoval, CallbackMayRemoveItsOwnTask) {
    LoopThread *loop = StartTask("own", 4, HoldThenRemoveOwnTask);
    ASSERT_EQ(SendTo("own", 1), OS_MSG_OK);
    ASSERT_TRUE(g_firstEntered.Wait());
    ASSERT_EQ(SendTo("own", 2, std::string(100, 'y')), OS_MSG_OK); // its payload goes with the ring
    LogCapture log;
    g_release.Open();
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    EXPECT_EQ(inbox_.Ids(), std::vector<uint32_t>{1});
    EXPECT_EQ(FindTask("own"), nullptr);
    EXPECT_EQ(log.Count("try quit."), 0U);
    EXPECT_EQ(log.Count("thread[own] quit.", OS_LOG_DEBUG), 1U);
}

TEST_F(TaskRemoval, GivesUpAfterThreeTriesKeepingAnUnusableRecordThatALaterRemovalTakes) {
    LoopThread *loop = StartTask("stuck", 4, HoldFirst);
    ASSERT_EQ(SendTo("stuck", 1), OS_MSG_OK);
    ASSERT_TRUE(g_firstEntered.Wait());
    LogCapture log;
    const uint32_t t0 = OsGetSysRunTime();
    EXPECT_EQ(SimpleMsgUnregTask("stuck"), OS_MSG_ERR_TASK_BUSY);
    EXPECT_GE(OsGetSysRunTime() - t0, 2900U); // three tries of one second each
    EXPECT_EQ(log.Count("[stuck]try quit.", OS_LOG_ERROR), 3U);
    EXPECT_EQ(log.Count("[stuck]cannot quit.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(SendTo("stuck", 2), OS_MSG_ERR_FULL); // still there, but takes nothing
    EXPECT_EQ(SimpleMsgRegTask("stuck", 4, nullptr, 0), OS_MSG_ERR_TASK_EXIST);
    EXPECT_EQ(SimpleMsgWaitSynRespStart("stuck"), nullptr);
    g_release.Open();
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    EXPECT_EQ(SimpleMsgUnregTask("stuck"), OS_MSG_OK);
}

TEST_F(TaskRemoval, RequesterHoldingItsSlotDoesNotDeadlockRemovalAndItsWaitFails) {
    ASSERT_EQ(SimpleMsgRegTask("req", 1, nullptr, 0), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask("srv", 4, nullptr, 0), OS_MSG_OK);
    MsgHead request = MakeHead("srv", 9, "req");
    SimpleMsgTask *req = SimpleMsgWaitSynRespStart("req");
    ASSERT_NE(req, nullptr);
    SimpleMsgSetToken(req, &request);
    uint32_t unregResult = 0xFFFFFFFFU;
    std::thread remover([&] { unregResult = SimpleMsgUnregTask("req"); });
    // Removal wants the slot lock we hold and gives up the table lock between tries: the request goes.
    EXPECT_TRUE(WaitUntil([&] { return SimpleTaskState(req) == 0U; }));
    LogCapture log;
    EXPECT_EQ(SimpleMsgPushBuffer("srv", &request, nullptr, 0), OS_MSG_OK);
    MsgHead *out = nullptr;
    EXPECT_EQ(SimpleMsgWaitSynRespEnd(req, &out, 5000), OS_MSG_ERR_NOT_FOUND); // woken, not timed out
    EXPECT_EQ(log.Count("task[req] removed while waiting.", OS_LOG_ERROR), 1U);
    remover.join();
    EXPECT_EQ(unregResult, OS_MSG_OK);
}

uint32_t g_selfRemoval = 0xFFFFFFFFU;
Gate g_selfRemovalDone;

// Removes its own task from inside the callback.
uint32_t RemoveOwnTask(MsgHead *msg) {
    g_selfRemoval = SimpleMsgUnregTask(msg->recvTaskName);
    g_selfRemovalDone.Open();
    return 0;
}

class FailedRemoval : public SimpleMsgTest {
protected:
    // Registers name with a callback that removes its own task while the
    // test thread is inside the task's response slot (as a requester between
    // arming its request and the end of its wait, slow to leave), and returns
    // once that removal has been tried, the loop has ended and the slot is
    // free again.
    void FailSelfRemoval(const char *name) {
        LoopThread *loop = StartTask(name, 4, RemoveOwnTask);
        SimpleMsgTask *task = FindTask(name);
        ASSERT_NE(task, nullptr);
        (void)OsMutexLock(&simpleQueueLock); // entered as a requester does, under the table lock
        SimpleTaskEnterSlot(task);
        (void)OsMutexUnLock(&simpleQueueLock);
        ASSERT_EQ(SendTo(name, 1), OS_MSG_OK);
        ASSERT_TRUE(g_selfRemovalDone.Wait());
        EXPECT_EQ(loop->Join(), OS_MSG_OK);
        (void)OsMutexLock(&task->respLock);
        SimpleTaskLeaveSlot(task);
        (void)OsMutexUnLock(&task->respLock);
    }
};

TEST_F(FailedRemoval, OfItselfLeavesATaskThatALaterRemovalTakes) {
    LogCapture log;
    ASSERT_NO_FATAL_FAILURE(FailSelfRemoval("selfrm")); // the loop leaves the task it can no longer serve
    EXPECT_EQ(g_selfRemoval, OS_MSG_ERR_TASK_BUSY) << "the slot's user did not leave in time";
    EXPECT_EQ(log.Count("[selfrm]cannot quit.", OS_LOG_ERROR), 1U) << log.Dump();
    SimpleMsgTask *task = FindTask("selfrm");
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(SimpleTaskThread(task), 0U) << "no loop left behind in the record";
    EXPECT_EQ(SimpleMsgUnregTask("selfrm"), OS_MSG_OK);
    EXPECT_EQ(log.Count("[selfrm]try quit."), 0U) << "no loop thread to wait for\n" << log.Dump();
    EXPECT_EQ(FindTask("selfrm"), nullptr);
}

TEST_F(FailedRemoval, ReRegisteringWithACallbackRevivesTheTaskWithoutAllocating) {
    ASSERT_NO_FATAL_FAILURE(FailSelfRemoval("again"));
    ASSERT_EQ(g_selfRemoval, OS_MSG_ERR_TASK_BUSY);
    EXPECT_EQ(SendTo("again", 2), OS_MSG_ERR_FULL) << "a record in removal takes nothing";

    LogCapture log;
    EXPECT_EQ(SimpleMsgRegTask("again", 2, nullptr, 0), OS_MSG_ERR_TASK_EXIST);
    const uint64_t before = OSMemGetUsedBlocks();
    OSMemSetFailCountdown(1); // the revived task keeps its record and ring
    EXPECT_EQ(SimpleMsgRegTask("again", 2, Record, 0), OS_MSG_OK);
    EXPECT_EQ(OSMemGetFailCountdown(), 1) << "reviving allocated";
    OSMemSetFailCountdown(-1);
    EXPECT_EQ(OSMemGetUsedBlocks(), before);
    EXPECT_EQ(log.Count("reg[again] already exist.", OS_LOG_INFO), 2U) << log.Dump();
    EXPECT_EQ(log.Count("update func.", OS_LOG_INFO), 1U) << log.Dump();
    StartLoop("again");
    EXPECT_EQ(SendTo("again", 3, "payload"), OS_MSG_OK);
    EXPECT_EQ(SendTo("again", 4), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(2));
    EXPECT_EQ(inbox_.Ids(), (std::vector<uint32_t>{3, 4}));
    EXPECT_EQ(inbox_.Items().at(0).payload, "payload");
    // A synchronous request of the revived task arms its slot again.
    SimpleMsgTask *slot = SimpleMsgWaitSynRespStart("again");
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(SimpleMsgWaitSynRespEndNoCond(slot), OS_MSG_OK);
}

TEST_F(FailedRemoval, FreeingAResponseWaitsOutAnotherRequestHoldingTheSlot) {
    ASSERT_EQ(SimpleMsgRegTask("req", 1, nullptr, 0), OS_MSG_OK);
    Gate armed, done;
    std::thread other([&] {
        SimpleMsgTask *task = SimpleMsgWaitSynRespStart("req");
        armed.Open();
        // Longer than a responder's 200 tries 10 ms apart: the behaviour
        // under test is what happens after that time.
        OsSleepMs(2500U);
        (void)SimpleMsgWaitSynRespEndNoCond(task);
        done.Open();
    });
    ASSERT_TRUE(armed.Wait());
    LogCapture log;
    EXPECT_EQ(SimpleMsgFreeRespBuffer("req"), OS_MSG_OK);
    EXPECT_TRUE(done.Wait());
    EXPECT_EQ(log.Count("no resp buffer.", OS_LOG_ERROR), 1U) << log.Dump();
    other.join();
    EXPECT_EQ(SimpleMsgFreeRespBuffer("gone"), OS_MSG_ERR_NOT_FOUND);
}

TEST_F(TaskRegistry, PublicUnregisteringChecksTheOwnProcessName) {
    // The own name: at most 15 characters; a failed copy leaves none, a refused length the old one.
    ASSERT_EQ(MsgSetProcName("abcdefghijklmno", 16), OS_MSG_OK);
    EXPECT_EQ(MsgSetProcName("abcdefghijklmnop", 16), OS_MSG_ERR_FAIL);
    EXPECT_STREQ(MsgGetProcName(), "");
    ASSERT_EQ(MsgSetProcName("abcdefghijklmno", 16), OS_MSG_OK);
    EXPECT_EQ(MsgSetProcName("other", 17), OS_MSG_ERR_INVALID_PARAM);
    ASSERT_EQ(OsMsgRegTask("worker", 0, Record), OS_MSG_OK);
    EXPECT_EQ(OsMsgUnregTask("foreign", 0, "worker"), OS_MSG_ERR_FAIL);
    EXPECT_EQ(OsMsgUnregTask("abcdefghijklmno", 7, "worker"), OS_MSG_OK);
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0, "worker"), OS_MSG_ERR_NOT_FOUND);
}

struct Answer {
    std::string name;
    uint32_t found;
};

Answer AskForSelf() {
    char name[OS_MSG_NAME_LEN + 1] = {0};
    uint32_t found = SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), name, OS_MSG_NAME_LEN);
    return {name, found};
}

// What the loop's callback saw, written before it records: the inbox's lock
// orders it before the test's read.
Answer g_inLoop{"(nothing)", 99U};

uint32_t RecordOwnAnswer(MsgHead *msg) {
    g_inLoop = AskForSelf();
    return Record(msg);
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
        const Answer inLoop = g_inLoop;
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

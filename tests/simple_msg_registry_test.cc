// The task registry: registration rules, what a failed registration leaves
// behind, look-up by thread, and destruction of the whole table.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_mem.h"

using namespace simple_msg_test;

namespace {

uint32_t CallbackA(MsgHead *) {
    return 0;
}

uint32_t CallbackB(MsgHead *) {
    return 0;
}

Inbox *g_inbox = nullptr;
std::atomic<uint32_t> g_lookupResult{0xFFFFFFFFU};
char g_lookupName[OS_MSG_NAME_LEN];

uint32_t NameLookupCallback(MsgHead *msg) {
    g_lookupResult = SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), g_lookupName, sizeof(g_lookupName));
    g_inbox->Add(msg);
    return 0;
}

std::string DefaultName() {
    return "T" + std::to_string(syscall(SYS_gettid));
}

using TaskRegistry = SimpleMsgTest;

TEST_F(TaskRegistry, NamesUpTo15CharactersRegisterAndLongerOnesLeaveNothing) {
    LogCapture log;
    ASSERT_EQ(SimpleMsgRegTask("abcdefghijklmno", 4, CallbackA, 0), OS_MSG_OK);
    SimpleMsgTask *task = FindTask("abcdefghijklmno");
    ASSERT_NE(task, nullptr);
    EXPECT_STREQ(task->acTaskName, "abcdefghijklmno");
    EXPECT_EQ(SimpleTaskState(task), 1U);
    EXPECT_EQ(task->func, &CallbackA);

    uint64_t blocks = OSMemGetUsedBlocks();
    EXPECT_EQ(SimpleMsgRegTask("abcdefghijklmnop", 4, CallbackA, 0), OS_MSG_ERR_FAIL);
    EXPECT_EQ(log.Count("memcpy_s error.", OS_LOG_FATAL), 1U);
    EXPECT_EQ(TaskCount(), 1U);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    // A 16-character name is not mistaken for its 15-character prefix.
    MsgHead head = MakeHead("abcdefghijklmnop", 1); // fills the field, no terminator
    EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_ERR_NOT_FOUND);
}

TEST_F(TaskRegistry, QueueLengthZeroSelects1024AndOneHoldsOneMessage) {
    ASSERT_EQ(SimpleMsgRegTask("wide", 0, nullptr, 0), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask("narrow", 1, nullptr, 0), OS_MSG_OK);
    EXPECT_EQ(FindTask("wide")->maxMsgNum, 1024U);
    MsgHead head = MakeHead("narrow", 1);
    EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_ERR_FULL);
}

TEST_F(TaskRegistry, ExistingNameTakesACallbackOnlyWhenItHasNone) {
    LogCapture log;
    ASSERT_EQ(SimpleMsgRegTask("twice", 5, nullptr, 1), OS_MSG_OK);
    EXPECT_EQ(SimpleMsgRegTask("twice", 9, nullptr, 0), OS_MSG_ERR_TASK_EXIST);
    EXPECT_EQ(log.Count("reg[twice] already exist.", OS_LOG_INFO), 1U);
    EXPECT_EQ(log.Count("update func."), 0U);

    EXPECT_EQ(SimpleMsgRegTask("twice", 9, CallbackA, 0), OS_MSG_OK);
    EXPECT_EQ(log.Count("update func.", OS_LOG_INFO), 1U);
    SimpleMsgTask *task = FindTask("twice");
    EXPECT_EQ(task->func, &CallbackA);
    EXPECT_EQ(task->maxMsgNum, 5U);
    EXPECT_EQ(task->autoUnreg, 1U);

    EXPECT_EQ(SimpleMsgRegTask("twice", 9, CallbackB, 0), OS_MSG_ERR_TASK_EXIST);
    EXPECT_EQ(task->func, &CallbackA);
}

TEST_F(TaskRegistry, RefusalsAreLoggedOnce) {
    LogCapture log;
    EXPECT_EQ(SimpleMsgRegTask(nullptr, 1, nullptr, 0), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(SimpleMsgRegTask("", 1, nullptr, 0), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("reg invalid param.", OS_LOG_ERROR), 2U);
    EXPECT_EQ(SimpleMsgUnregTask(""), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("unreg invalid param.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(SimpleMsgUnregTask("nope"), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(log.Count("unreg[nope] not exist.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(SimpleMsgCreateQueue(16), OS_MSG_ERR_TASK_EXIST);
    EXPECT_EQ(log.Count("already create simpleQueue.", OS_LOG_ERROR), 1U);

    SimpleMsgDestroyQueue();
    EXPECT_EQ(SimpleMsgRegTask("late", 1, nullptr, 0), OS_MSG_ERR_NOT_INIT);
    EXPECT_GE(log.Count("msg queue not init.", OS_LOG_ERROR), 1U);
    SimpleMsgTask *task = nullptr;
    EXPECT_EQ(SimpleMsgGetQueue("late", &task), OS_MSG_ERR_NOT_INIT);
}

TEST_F(TaskRegistry, FailedRegistrationLeavesNothingBehind) {
    const uint64_t start = OSMemGetUsedBlocks();
    int allocations =
        SweepAllocFailures([] { return SimpleMsgRegTask("sweep", 8, CallbackA, 0); },
                           [&](int n, bool failed, uint32_t result) {
                               if (!failed) {
                                   EXPECT_EQ(result, OS_MSG_OK);
                                   EXPECT_EQ(SimpleMsgUnregTask("sweep"), OS_MSG_OK);
                                   return;
                               }
                               // The record comes first, the ring last; the table entry
                               // and its key copy in between.
                               if (n == 1) {
                                   EXPECT_EQ(result, OS_MSG_ERR_NO_MEMORY);
                               } else {
                                   EXPECT_TRUE(result == OS_MSG_ERR_HASH || result == OS_MSG_ERR_NO_MEMORY)
                                       << std::hex << result;
                               }
                               EXPECT_EQ(TaskCount(), 0U);
                               EXPECT_EQ(OSMemGetUsedBlocks(), start);
                           });
    EXPECT_GE(allocations, 3);
    // The last allocation is the ring.
    OSMemSetFailCountdown(allocations);
    LogCapture log;
    EXPECT_EQ(SimpleMsgRegTask("sweep", 8, CallbackA, 0), OS_MSG_ERR_NO_MEMORY);
    EXPECT_EQ(log.Count("apply memory fail!", OS_LOG_ERROR), 1U);
    EXPECT_EQ(SimpleMsgRegTask("sweep", 8, CallbackA, 0), OS_MSG_OK);
}

TEST_F(TaskRegistry, ThreadLookupKnowsLoopThreadsByTaskNameAndOthersByKernelId) {
    Inbox inbox;
    g_inbox = &inbox;
    char name[OS_MSG_NAME_LEN] = {0};
    EXPECT_EQ(SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), name, sizeof(name)), 0U);
    EXPECT_EQ(std::string(name), DefaultName());

    ASSERT_EQ(SimpleMsgRegTask("looper", 2, NameLookupCallback, 0), OS_MSG_OK);
    StartLoop("looper");
    MsgHead head = MakeHead("looper", 1);
    ASSERT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    ASSERT_TRUE(inbox.WaitFor(1));
    EXPECT_EQ(g_lookupResult.load(), 1U);
    EXPECT_STREQ(g_lookupName, "looper");

    // A task registered under the caller's own default name is found.
    ASSERT_EQ(SimpleMsgRegTask(DefaultName().c_str(), 1, nullptr, 0), OS_MSG_OK);
    std::memset(name, 0, sizeof(name));
    EXPECT_EQ(SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), name, sizeof(name)), 1U);
    EXPECT_EQ(std::string(name), DefaultName());

    LogCapture log;
    char small[8];
    EXPECT_EQ(SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), small, sizeof(small)), 1U);
    EXPECT_EQ(log.Count("memcpy error.", OS_LOG_ERROR), 1U);
}

TEST_F(TaskRegistry, DestroyingTheTableRemovesEveryTaskAndEndsTheirLoops) {
    std::vector<LoopThread *> loops;
    for (const char *name : {"one", "two", "three"}) {
        ASSERT_EQ(SimpleMsgRegTask(name, 4, CallbackA, 0), OS_MSG_OK);
        loops.push_back(StartLoop(name));
        ASSERT_TRUE(WaitForLoop(name));
    }
    ASSERT_EQ(SimpleMsgRegTask("queued", 4, nullptr, 0), OS_MSG_OK);
    std::string payload(256, 'q');
    MsgHead head = MakeHead("queued", 1, "sender", payload);
    ASSERT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);

    SimpleMsgDestroyQueue();
    EXPECT_EQ(simpleQueue, nullptr);
    for (LoopThread *loop : loops) {
        EXPECT_EQ(loop->Join(), OS_MSG_OK);
    }
}

} // namespace

// The task registry: registration rules, what a failed registration leaves
// behind, and the look-up of a thread's task name.
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

uint32_t LookUpOwnName(MsgHead *msg) {
    g_lookupResult = SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), g_lookupName, sizeof(g_lookupName));
    g_inbox->Add(msg);
    return 0;
}

using TaskRegistry = SimpleMsgTest;

TEST_F(TaskRegistry, NameLengthQueueLengthAndRepeatedNames) {
    LogCapture log;
    ASSERT_EQ(SimpleMsgRegTask("abcdefghijklmno", 0, nullptr, 1), OS_MSG_OK);
    SimpleMsgTask *task = FindTask("abcdefghijklmno");
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->maxMsgNum, 1024U);

    const uint64_t blocks = OSMemGetUsedBlocks();
    EXPECT_EQ(SimpleMsgRegTask("abcdefghijklmnop", 4, CallbackA, 0), OS_MSG_ERR_FAIL);
    EXPECT_EQ(log.Count("memcpy_s error.", OS_LOG_FATAL), 1U);
    EXPECT_EQ(ZEM_HashSize(simpleQueue), 1U);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    MsgHead unterminated = MakeHead("abcdefghijklmnop", 1); // fills all 16 bytes
    EXPECT_EQ(SimpleMsgAsynSend(&unterminated), OS_MSG_ERR_NOT_FOUND);

    // A registered name takes a callback only when it has none.
    EXPECT_EQ(SimpleMsgRegTask("abcdefghijklmno", 9, nullptr, 0), OS_MSG_ERR_TASK_EXIST);
    EXPECT_EQ(log.Count("update func."), 0U);
    EXPECT_EQ(SimpleMsgRegTask("abcdefghijklmno", 9, CallbackA, 0), OS_MSG_OK);
    EXPECT_EQ(log.Count("reg[abcdefghijklmno] already exist.", OS_LOG_INFO), 2U);
    EXPECT_EQ(log.Count("update func.", OS_LOG_INFO), 1U);
    EXPECT_EQ(SimpleMsgRegTask("abcdefghijklmno", 9, CallbackB, 0), OS_MSG_ERR_TASK_EXIST);
    EXPECT_EQ(task->func, &CallbackA);
    EXPECT_EQ(task->maxMsgNum, 1024U);
    EXPECT_EQ(task->autoUnreg, 1U);

    ASSERT_EQ(SimpleMsgRegTask("one", 1, nullptr, 0), OS_MSG_OK);
    MsgHead head = MakeHead("one", 1);
    EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_ERR_FULL);
    EXPECT_EQ(SimpleMsgUnregTask("none"), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(log.Count("unreg[none] not exist.", OS_LOG_ERROR), 1U);
}

TEST_F(TaskRegistry, FailedRegistrationLeavesNothingBehind) {
    const uint64_t start = OSMemGetUsedBlocks();
    int allocations =
        SweepAllocFailures([] { return SimpleMsgRegTask("sweep", 8, CallbackA, 0); },
                           [&](int n, bool failed, uint32_t result) {
                               if (!failed) {
                                   EXPECT_EQ(SimpleMsgUnregTask("sweep"), OS_MSG_OK);
                                   return;
                               }
                               // Record first; table entry and key copy; ring last.
                               if (n == 1) {
                                   EXPECT_EQ(result, OS_MSG_ERR_NO_MEMORY);
                               } else {
                                   EXPECT_TRUE(result == OS_MSG_ERR_HASH || result == OS_MSG_ERR_NO_MEMORY);
                               }
                               EXPECT_EQ(ZEM_HashSize(simpleQueue), 0U);
                               EXPECT_EQ(OSMemGetUsedBlocks(), start);
                           });
    ASSERT_GE(allocations, 3);
    OSMemSetFailCountdown(allocations);
    LogCapture log;
    EXPECT_EQ(SimpleMsgRegTask("sweep", 8, CallbackA, 0), OS_MSG_ERR_NO_MEMORY);
    EXPECT_EQ(log.Count("apply memory fail!", OS_LOG_ERROR), 1U);
    EXPECT_EQ(SimpleMsgRegTask("sweep", 8, CallbackA, 0), OS_MSG_OK);
}

TEST_F(TaskRegistry, ThreadIsKnownByItsLoopsTaskOrAsTAndItsKernelId) {
    const std::string own = "T" + std::to_string(syscall(SYS_gettid));
    char name[OS_MSG_NAME_LEN] = {0};
    EXPECT_EQ(SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), name, sizeof(name)), 0U);
    EXPECT_EQ(std::string(name), own);

    Inbox inbox;
    g_inbox = &inbox;
    ASSERT_EQ(SimpleMsgRegTask("looper", 2, LookUpOwnName, 0), OS_MSG_OK);
    StartLoop("looper");
    MsgHead head = MakeHead("looper", 1);
    ASSERT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    ASSERT_TRUE(inbox.WaitFor(1));
    EXPECT_EQ(g_lookupResult.load(), 1U);
    EXPECT_STREQ(g_lookupName, "looper");

    ASSERT_EQ(SimpleMsgRegTask(own.c_str(), 1, nullptr, 0), OS_MSG_OK);
    std::memset(name, 0, sizeof(name));
    EXPECT_EQ(SimpleMsgGetTaskInfoByTid(OsPthreadSelf(), name, sizeof(name)), 1U);
    EXPECT_EQ(std::string(name), own);
}

} // namespace

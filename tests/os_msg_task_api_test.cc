// The public task operations: argument and initialisation checks in their
// fixed order, the access rule of unregistration, and a task's loop run
// through the public functions.
#include <gtest/gtest.h>

#include "core/msg_proc_name.h"
#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_msg.h"

using namespace simple_msg_test;

namespace {

Inbox *g_inbox = nullptr;

uint32_t Record(MsgHead *msg) {
    g_inbox->Add(msg);
    return 0;
}

TEST(PublicTasksBeforeInit, RefuseWithTheFirstBrokenRule) {
    LogCapture log;
    EXPECT_EQ(OsMsgRegTask("", 1, Record), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(OsMsgRegTask(nullptr, 1, Record), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("invalid param", OS_MSG_LOG_ERROR), 2U);
    EXPECT_EQ(OsMsgRegTask("t", 1, Record), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgTaskRoutineByName("t"), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0, ""), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(OsMsgUnregTask("foreign", 0, "t"), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(log.Count("msg not init", OS_MSG_LOG_ERROR), 3U);
    for (const LogRecord &record : log.Records()) {
        EXPECT_FALSE(record.platform) << record.text;
    }
}

class PublicTasks : public SimpleMsgTest {
protected:
    void SetUp() override {
        SimpleMsgTest::SetUp();
        g_inbox = &inbox_;
        ASSERT_EQ(MsgSetProcName("media", 6), OS_MSG_OK);
    }
    void TearDown() override {
        SimpleMsgTest::TearDown();
        (void)MsgSetProcName("", 0);
    }
    Inbox inbox_;
};

TEST_F(PublicTasks, RegisteredTaskRunsItsLoopUntilUnregistered) {
    ASSERT_EQ(OsMsgRegTask("worker", 0, nullptr), OS_MSG_OK);
    EXPECT_EQ(OsMsgRegTask("worker", 0, nullptr), OS_MSG_ERR_TASK_EXIST);
    EXPECT_EQ(OsMsgRegTask("worker", 0, Record), OS_MSG_OK);
    EXPECT_EQ(FindTask("worker")->maxMsgNum, 1024U);
    EXPECT_EQ(FindTask("worker")->autoUnreg, 0U);

    uint32_t loopResult = 0xFFFFFFFFU;
    std::thread loop([&] { loopResult = OsMsgTaskRoutineByName("worker"); });
    MsgHead head = MakeHead("worker", 1);
    ASSERT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(1));
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0, "worker"), OS_MSG_OK);
    loop.join();
    EXPECT_EQ(loopResult, OS_MSG_OK);
}

TEST_F(PublicTasks, UnregistrationOnlyForTheOwnProcess) {
    ASSERT_EQ(OsMsgRegTask("a", 1, Record), OS_MSG_OK);
    ASSERT_EQ(OsMsgRegTask("b", 1, Record), OS_MSG_OK);
    LogCapture log;
    EXPECT_EQ(OsMsgUnregTask("foreign", 0, "a"), OS_MSG_ERR_FAIL);
    EXPECT_EQ(log.Count("no permission to execute unregtask!", OS_MSG_LOG_ERROR), 1U);
    EXPECT_NE(FindTask("a"), nullptr);
    EXPECT_EQ(OsMsgUnregTask("media", 0, "a"), OS_MSG_OK);
    EXPECT_EQ(OsMsgUnregTask(nullptr, 7, "b"), OS_MSG_OK);
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0, "b"), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(TaskCount(), 0U);
}

TEST_F(PublicTasks, LoopOfAnUnknownTaskReturnsAtOnce) {
    EXPECT_EQ(OsMsgTaskRoutineByName("ghost"), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(OsMsgTaskRoutineByName(nullptr), OS_MSG_ERR_INVALID_PARAM);
}

} // namespace

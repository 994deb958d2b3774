// The process name store and the public task operations: checks in their
// fixed order, the own-process rule of unregistration, and a task loop run
// through the public functions.
#include <gtest/gtest.h>

#include "core/msg_proc_name.h"
#include "simple_msg_test_util.h"
#include "support/log_capture.h"

using namespace simple_msg_test;

namespace {

TEST(ProcessName, KeepsUpTo15CharactersAndEmptiesOnAFailedCopy) {
    ASSERT_EQ(MsgSetProcName("abcdefghijklmno", 16), OS_MSG_OK);
    EXPECT_STREQ(MsgGetProcName(), "abcdefghijklmno");
    EXPECT_EQ(MsgSetProcName("other", 17), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_STREQ(MsgGetProcName(), "abcdefghijklmno");
    EXPECT_EQ(MsgSetProcName("abcdefghijklmnop", 16), OS_MSG_ERR_FAIL);
    EXPECT_STREQ(MsgGetProcName(), "");
    ASSERT_EQ(MsgSetProcName("media", 6), OS_MSG_OK);
    EXPECT_EQ(MsgSetProcName("", 0), OS_MSG_OK);
    EXPECT_STREQ(MsgGetProcName(), "");
}

uint32_t Ignore(MsgHead *) {
    return 0;
}

TEST(PublicTasks, RefuseBeforeInitialisationInTheirFixedOrder) {
    LogCapture log;
    EXPECT_EQ(OsMsgRegTask("", 1, Ignore), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(OsMsgRegTask("t", 1, Ignore), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgTaskRoutineByName("t"), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0, nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(OsMsgUnregTask("foreign", 0, "t"), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(log.Count("invalid param", OS_MSG_LOG_ERROR), 2U);
    EXPECT_EQ(log.Count("msg not init", OS_MSG_LOG_ERROR), 3U);
}

Inbox *g_inbox = nullptr;

uint32_t Record(MsgHead *msg) {
    g_inbox->Add(msg);
    return 0;
}

using PublicTaskLoop = SimpleMsgTest;

TEST_F(PublicTaskLoop, RunsUntilItsOwnProcessUnregistersIt) {
    Inbox inbox;
    g_inbox = &inbox;
    ASSERT_EQ(MsgSetProcName("media", 6), OS_MSG_OK);
    ASSERT_EQ(OsMsgRegTask("worker", 0, nullptr), OS_MSG_OK);
    EXPECT_EQ(OsMsgRegTask("worker", 0, Record), OS_MSG_OK);
    uint32_t loopResult = 0xFFFFFFFFU;
    std::thread loop([&] { loopResult = OsMsgTaskRoutineByName("worker"); });
    MsgHead head = MakeHead("worker", 1);
    ASSERT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    EXPECT_TRUE(inbox.WaitFor(1));

    LogCapture log;
    EXPECT_EQ(OsMsgUnregTask("foreign", 0, "worker"), OS_MSG_ERR_FAIL);
    EXPECT_EQ(log.Count("no permission to execute unregtask!", OS_MSG_LOG_ERROR), 1U);
    EXPECT_EQ(OsMsgUnregTask("media", 7, "worker"), OS_MSG_OK);
    loop.join();
    EXPECT_EQ(loopResult, OS_MSG_OK);
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0, "worker"), OS_MSG_ERR_NOT_FOUND);
    (void)MsgSetProcName("", 0);
}

} // namespace

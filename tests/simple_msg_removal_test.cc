// Removal that cannot finish at once: a task that removes itself while
// another thread still uses its response slot, re-registering a task whose
// removal failed, and freeing a response while another request under the
// same name keeps the slot locked.
#include <gtest/gtest.h>

#include "simple_msg_test_util.h"
#include "vyre_os_time.h"

using namespace simple_msg_test;

namespace {

uint32_t g_selfRemoval = 0xFFFFFFFFU;
Gate g_selfRemovalDone;

// Removes its own task from inside the callback.
uint32_t RemoveOwnTask(MsgHead *msg) {
    g_selfRemoval = SimpleMsgUnregTask(msg->recvTaskName);
    g_selfRemovalDone.Open();
    return 0;
}

// A thread that is inside the task's response slot (between arming its
// request and the end of its wait) and is slow to leave it.
void EnterSlotOf(const char *name) {
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    ASSERT_EQ(SimpleMsgGetQueue(name, &task), OS_MSG_OK);
    SimpleTaskEnterSlot(task);
    (void)OsMutexUnLock(&simpleQueueLock);
}

void LeaveSlotOf(const char *name) {
    SimpleMsgTask *task = FindTask(name);
    ASSERT_NE(task, nullptr);
    (void)OsMutexLock(&task->respLock);
    SimpleTaskLeaveSlot(task);
    (void)OsMutexUnLock(&task->respLock);
}

class FailedRemoval : public SimpleMsgTest {
protected:
    // Registers name with a callback that removes its own task while another
    // thread holds the task's response slot, and returns once that removal
    // has been tried, the loop has ended and the slot is free again.
    void FailSelfRemoval(const char *name) {
        ASSERT_EQ(SimpleMsgRegTask(name, 4, RemoveOwnTask, 0), OS_MSG_OK);
        LoopThread *loop = StartLoop(name);
        EnterSlotOf(name);
        ASSERT_EQ(SendTo(name, 1), OS_MSG_OK);
        ASSERT_TRUE(g_selfRemovalDone.Wait());
        EXPECT_EQ(loop->Join(), OS_MSG_OK);
        LeaveSlotOf(name);
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
    const uint32_t t0 = OsGetSysRunTime();
    EXPECT_EQ(SimpleMsgUnregTask("selfrm"), OS_MSG_OK);
    EXPECT_LT(OsGetSysRunTime() - t0, 1000U) << "no loop thread to wait for";
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

} // namespace

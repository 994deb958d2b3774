// Inspection of the queues: the listing of pending messages, the dump to a
// file descriptor, and the slow-handling records it prints.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_mem.h"
#include "vyre_os_time.h"

using namespace simple_msg_test;

namespace {

std::string Line(uint32_t id, uint32_t dataLen) {
    char text[128];
    std::snprintf(text, sizeof(text), "id:%02u sCpuId:02 sPName:camera rCpuId:00 rPName:media dataLen:%u\r\n", id,
                  dataLen);
    return text;
}

std::string Closing(const std::string &task, int count) {
    return "Total:task[" + task + "] has " + std::to_string(count) + " msg in list.\r\n";
}

std::vector<const SimpleMsgTimeOutInfo *> SlowRecords() {
    std::vector<const SimpleMsgTimeOutInfo *> records;
    for (ZemListNode *pos = ZEM_ListIterBegin(&timeOutList); pos != ZEM_ListIterEnd(&timeOutList);
         pos = ZEM_ListIterNext(&timeOutList, pos)) {
        records.push_back(reinterpret_cast<const SimpleMsgTimeOutInfo *>(ZEM_ListIterData(pos)));
    }
    return records;
}

class QueueInspection : public SimpleMsgTest {
protected:
    void Queue(const std::string &task, uint32_t id, uint32_t payloadLen) {
        const std::string payload(payloadLen, 'p');
        MsgHead head = MakeHead(task, id, "sender", payload);
        ASSERT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    }
    std::string List(const std::string &task, uint32_t space, uint32_t *reported) {
        std::vector<char> buffer(space + 1U, '\0');
        *reported = space;
        SimpleMsgGetInfo(FindTask(task), buffer.data(), reported);
        return buffer.data();
    }
};

TEST_F(QueueInspection, ListsOldestFirstAcrossTheWrapAndEveryTask) {
    ASSERT_EQ(SimpleMsgRegTask("a", 4, nullptr, 0), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask("b", 4, nullptr, 0), OS_MSG_OK);
    SimpleMsgTask *a = FindTask("a");
    a->readIndex = a->writeIndex = 3; // empty, with the next slot the last one
    Queue("a", 1, 4);
    Queue("a", 2, 0);
    Queue("a", 3, 10);
    ASSERT_EQ(a->writeIndex, 2U);
    uint32_t reported = 0;
    const std::string linesA = Line(1, 4) + Line(2, 0) + Line(3, 10);
    EXPECT_EQ(List("a", 512, &reported), linesA + Closing("a", 3));
    EXPECT_EQ(reported, linesA.size());
    EXPECT_EQ(List("b", 512, &reported), Closing("b", 0));
    EXPECT_EQ(reported, 0U);

    char buffer[1024] = {0};
    uint32_t length = sizeof(buffer);
    EXPECT_EQ(SimpleMsgGetAllMsgInfo("nosuch", buffer, &length), 0U);
    const std::string all(buffer), blockA = linesA + Closing("a", 3), blockB = Closing("b", 0);
    EXPECT_TRUE(all == blockA + blockB || all == blockB + blockA) << all;
    EXPECT_EQ(length, all.size());
}

TEST_F(QueueInspection, TooSmallBufferKeepsTheLinesThatFit) {
    ASSERT_EQ(SimpleMsgRegTask("lst", 4, nullptr, 0), OS_MSG_OK);
    Queue("lst", 1, 4);
    Queue("lst", 2, 5);
    LogCapture log;
    uint32_t reported = 0;
    EXPECT_EQ(List("lst", static_cast<uint32_t>((Line(1, 4) + Closing("lst", 1)).size() + 1U), &reported),
              Line(1, 4) + Closing("lst", 1));
    EXPECT_EQ(reported, Line(1, 4).size());
    EXPECT_EQ(log.Count("[lst]get msg info error.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(List("lst", static_cast<uint32_t>(Line(1, 4).size() + 5U), &reported), Line(1, 4));
    EXPECT_EQ(log.Count("[lst]get end info error.", OS_LOG_ERROR), 1U);
}

TEST_F(QueueInspection, DumpFramesSlowRecordsNewestFirstAndPendingCounts) {
    ASSERT_EQ(SimpleMsgRegTask("a", 4, nullptr, 0), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask("b", 4, nullptr, 0), OS_MSG_OK);
    Queue("a", 1, 0);
    MsgHead older = MakeHead("a", 7, "s1");
    MsgHead newer = MakeHead("b", 8, "s2");
    ASSERT_EQ(SetSimpleMsgTimeOut(&older, 0, 3000), OS_MSG_OK);
    ASSERT_EQ(SetSimpleMsgTimeOut(&newer, 100, 5100), OS_MSG_OK);

    const std::string begin = " ----------- ---   SimpleMsgDump  Begin ---------------- \n";
    const std::string end = "\n ----------- SimpleMsgDump  End------------- \n";
    ASSERT_EQ(begin.size(), 58U);
    ASSERT_EQ(end.size(), 47U);
    std::string expected = begin + " acTaskName:b, sendProcName:camera sendTaskName:s2 msgId:8, intervalTime:5000 \n" +
                           " acTaskName:a, sendProcName:camera sendTaskName:s1 msgId:7, intervalTime:3000 \n";
    for (ListNode *pos = ZEM_HashIterBegin(simpleQueue); pos != ZEM_HashIterEnd(simpleQueue);
         pos = ZEM_HashIterNext(simpleQueue, pos)) {
        const char *name = reinterpret_cast<const SimpleMsgTask *>(ZEM_HashIterValue(pos))->acTaskName;
        expected += std::string("TaskName: ") + name + "  MsgNum: " + (name[0] == 'a' ? "1" : "0") + "\n";
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    SimpleMsgDump(fds[1]);
    close(fds[1]);
    std::string text(4096, '\0');
    text.resize(static_cast<size_t>(std::max<ssize_t>(0, read(fds[0], &text[0], text.size()))));
    close(fds[0]);
    EXPECT_EQ(text, expected + end);
}

using SlowHandling = SimpleMsgTest;

TEST_F(SlowHandling, KeepsTheNewest101RecordsOf3000msOrMore) {
    MsgHead msg = MakeHead("slow", 0, "st");
    ASSERT_EQ(SetSimpleMsgTimeOut(&msg, 1000, 3999), OS_MSG_OK);
    EXPECT_TRUE(SlowRecords().empty());
    ASSERT_EQ(SetSimpleMsgTimeOut(&msg, 0xFFFFF000U, 0xFFFFF000U + 3000U), OS_MSG_OK); // counter wraps
    ASSERT_EQ(SlowRecords().size(), 1U);
    EXPECT_EQ(SlowRecords()[0]->intervalTime, 3000U);
    EXPECT_STREQ(SlowRecords()[0]->sendTaskName, "st");
    for (uint32_t id = 1; id <= 101; ++id) {
        msg.msgId = id;
        ASSERT_EQ(SetSimpleMsgTimeOut(&msg, 10, 3010 + id), OS_MSG_OK);
    }
    std::vector<const SimpleMsgTimeOutInfo *> records = SlowRecords();
    ASSERT_EQ(records.size(), 101U);
    EXPECT_EQ(records.front()->msgId, 101U);
    EXPECT_EQ(records.front()->intervalTime, 3101U);
    EXPECT_EQ(records.back()->msgId, 1U);
}

TEST_F(SlowHandling, FailedRecordLeavesTheListUnchanged) {
    const uint64_t start = OSMemGetUsedBlocks();
    MsgHead msg = MakeHead("slow", 1);
    LogCapture log;
    int allocations = SweepAllocFailures([&] { return SetSimpleMsgTimeOut(&msg, 0, 3000); },
                                         [&](int, bool failed, uint32_t result) {
                                             EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK);
                                             EXPECT_EQ(SlowRecords().size(), failed ? 0U : 1U);
                                             EXPECT_EQ(OSMemGetUsedBlocks() - start, failed ? 0U : 2U);
                                         });
    EXPECT_EQ(allocations, 2); // the record and its list node
    EXPECT_EQ(log.Count("malloc failed.", OS_LOG_ERROR), 2U);
}

Inbox *g_inbox = nullptr;

uint32_t SlowFirst(MsgHead *msg) {
    if (msg->msgId == 1U) {
        OsSleepMs(3000);
    }
    g_inbox->Add(msg);
    return 0;
}

TEST_F(SlowHandling, CallbackOfThreeSecondsLeavesARecord) {
    Inbox inbox;
    g_inbox = &inbox;
    ASSERT_EQ(SimpleMsgRegTask("slow", 4, SlowFirst, 0), OS_MSG_OK);
    StartLoop("slow");
    MsgHead first = MakeHead("slow", 1, "s1");
    MsgHead second = MakeHead("slow", 2, "s2");
    ASSERT_EQ(SimpleMsgAsynSend(&first), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgAsynSend(&second), OS_MSG_OK);
    ASSERT_TRUE(inbox.WaitFor(2)); // the first call is recorded before the second runs
    (void)OsMutexLock(&timeOutListLock);
    std::vector<const SimpleMsgTimeOutInfo *> records = SlowRecords();
    (void)OsMutexUnLock(&timeOutListLock);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_STREQ(records[0]->acTaskName, "slow");
    EXPECT_EQ(records[0]->msgId, 1U);
    EXPECT_GE(records[0]->intervalTime, 3000U);
    EXPECT_LT(records[0]->intervalTime, 4000U);
}

} // namespace

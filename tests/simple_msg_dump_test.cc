// Inspection of the queues: the listing of pending messages into a buffer,
// the dump to a file descriptor, and the slow-handling records it prints.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_mem.h"
#include "vyre_os_time.h"

using namespace simple_msg_test;

namespace {

constexpr char kBegin[] = " ----------- ---   SimpleMsgDump  Begin ---------------- \n";
constexpr char kEnd[] = "\n ----------- SimpleMsgDump  End------------- \n";

std::string Line(uint32_t id, uint32_t dataLen) {
    char text[160];
    std::snprintf(text, sizeof(text), "id:%02u sCpuId:02 sPName:camera rCpuId:00 rPName:media dataLen:%u\r\n", id,
                  dataLen);
    return text;
}

std::string Closing(const std::string &task, int count) {
    return "Total:task[" + task + "] has " + std::to_string(count) + " msg in list.\r\n";
}

class QueueInspection : public SimpleMsgTest {
protected:
    void Queue(const std::string &task, uint32_t id, uint32_t payloadLen) {
        std::string payload(payloadLen, 'p');
        MsgHead head = MakeHead(task, id, "sender", payload);
        ASSERT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    }
    std::string List(const std::string &task, uint32_t space, uint32_t *reported) {
        std::vector<char> buffer(space + 1U, '\0');
        *reported = space;
        (void)OsMutexLock(&simpleQueueLock);
        SimpleMsgGetInfo(FindTask(task), buffer.data(), reported);
        (void)OsMutexUnLock(&simpleQueueLock);
        return buffer.data();
    }
    std::string ReadDump() {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        SimpleMsgDump(fds[1]);
        close(fds[1]);
        std::string text;
        char chunk[512];
        ssize_t n;
        while ((n = read(fds[0], chunk, sizeof(chunk))) > 0) {
            text.append(chunk, static_cast<size_t>(n));
        }
        close(fds[0]);
        return text;
    }
};

TEST_F(QueueInspection, ListsPendingMessagesOldestFirstAcrossTheWrap) {
    ASSERT_EQ(SimpleMsgRegTask("lst", 4, nullptr, 0), OS_MSG_OK);
    SimpleMsgTask *task = FindTask("lst");
    // An empty ring whose next slot is the last one.
    (void)OsMutexLock(&task->queueLock);
    task->readIndex = 3;
    task->writeIndex = 3;
    (void)OsMutexUnLock(&task->queueLock);
    Queue("lst", 1, 4);
    Queue("lst", 2, 0);
    Queue("lst", 3, 10);
    ASSERT_EQ(task->writeIndex, 2U);

    uint32_t reported = 0;
    std::string lines = Line(1, 4) + Line(2, 0) + Line(3, 10);
    EXPECT_EQ(List("lst", 512, &reported), lines + Closing("lst", 3));
    EXPECT_EQ(reported, lines.size());
}

TEST_F(QueueInspection, EmptyTaskListsOnlyTheClosingLine) {
    ASSERT_EQ(SimpleMsgRegTask("none", 4, nullptr, 0), OS_MSG_OK);
    uint32_t reported = 0;
    EXPECT_EQ(List("none", 128, &reported), Closing("none", 0));
    EXPECT_EQ(reported, 0U);
}

TEST_F(QueueInspection, BufferTooSmallKeepsTheLinesThatFit) {
    ASSERT_EQ(SimpleMsgRegTask("lst", 4, nullptr, 0), OS_MSG_OK);
    Queue("lst", 1, 4);
    Queue("lst", 2, 5);
    LogCapture log;
    uint32_t reported = 0;
    uint32_t space = static_cast<uint32_t>(Line(1, 4).size() + Closing("lst", 1).size() + 1U);
    EXPECT_EQ(List("lst", space, &reported), Line(1, 4) + Closing("lst", 1));
    EXPECT_EQ(reported, Line(1, 4).size());
    EXPECT_EQ(log.Count("[lst]get msg info error.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(log.Count("get end info error."), 0U);

    space = static_cast<uint32_t>(Line(1, 4).size() + 5U);
    EXPECT_EQ(List("lst", space, &reported), Line(1, 4));
    EXPECT_EQ(log.Count("[lst]get end info error.", OS_LOG_ERROR), 1U);
}

TEST_F(QueueInspection, ListingOfAllTasksKeepsEachTasksLines) {
    ASSERT_EQ(SimpleMsgRegTask("a", 4, nullptr, 0), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask("b", 4, nullptr, 0), OS_MSG_OK);
    Queue("a", 1, 1);
    Queue("b", 2, 2);
    Queue("b", 3, 3);
    const std::string blockA = Line(1, 1) + Closing("a", 1);
    const std::string blockB = Line(2, 2) + Line(3, 3) + Closing("b", 2);

    char buffer[1024] = {0};
    uint32_t length = sizeof(buffer);
    EXPECT_EQ(SimpleMsgGetAllMsgInfo("nosuch", buffer, &length), 0U);
    std::string all(buffer);
    EXPECT_TRUE(all == blockA + blockB || all == blockB + blockA) << all;
    EXPECT_EQ(length, all.size());

    std::memset(buffer, 0, sizeof(buffer));
    length = sizeof(buffer);
    EXPECT_EQ(SimpleMsgGetAllMsgInfo("b", buffer, &length), 0U);
    EXPECT_EQ(std::string(buffer), blockB);
    EXPECT_EQ(length, (Line(2, 2) + Line(3, 3)).size());
}

TEST_F(QueueInspection, DumpFramesSlowRecordsNewestFirstAndTaskCounts) {
    ASSERT_EQ(SimpleMsgRegTask("a", 4, nullptr, 0), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask("b", 4, nullptr, 0), OS_MSG_OK);
    Queue("a", 1, 0);
    MsgHead older = MakeHead("a", 7, "s1");
    MsgHead newer = MakeHead("b", 8, "s2");
    ASSERT_EQ(SetSimpleMsgTimeOut(&older, 0, 3000), OS_MSG_OK);
    ASSERT_EQ(SetSimpleMsgTimeOut(&newer, 100, 5100), OS_MSG_OK);

    std::string expected = kBegin;
    expected += " acTaskName:b, sendProcName:camera sendTaskName:s2 msgId:8, intervalTime:5000 \n";
    expected += " acTaskName:a, sendProcName:camera sendTaskName:s1 msgId:7, intervalTime:3000 \n";
    for (ListNode *pos = ZEM_HashIterBegin(simpleQueue); pos != ZEM_HashIterEnd(simpleQueue);
         pos = ZEM_HashIterNext(simpleQueue, pos)) {
        const SimpleMsgTask *task = reinterpret_cast<const SimpleMsgTask *>(ZEM_HashIterValue(pos));
        expected += std::string("TaskName: ") + task->acTaskName +
                    "  MsgNum: " + (task->acTaskName[0] == 'a' ? "1" : "0") + "\n";
    }
    expected += kEnd;
    EXPECT_EQ(sizeof(kBegin) - 1U, 58U);
    EXPECT_EQ(sizeof(kEnd) - 1U, 47U);
    EXPECT_EQ(ReadDump(), expected);
}

TEST_F(QueueInspection, DumpToABadDescriptorLogsEveryFailedWrite) {
    ASSERT_EQ(SimpleMsgRegTask("a", 4, nullptr, 0), OS_MSG_OK);
    LogCapture log;
    SimpleMsgDump(-1);
    EXPECT_EQ(log.Count("wtite file error.", OS_LOG_ERROR), 3U);
}

// --- slow-handling records ----------------------------------------------

class SlowHandling : public SimpleMsgTest {
protected:
    std::vector<const SimpleMsgTimeOutInfo *> Records() {
        std::vector<const SimpleMsgTimeOutInfo *> records;
        (void)OsMutexLock(&timeOutListLock);
        for (ZemListNode *pos = ZEM_ListIterBegin(&timeOutList); pos != ZEM_ListIterEnd(&timeOutList);
             pos = ZEM_ListIterNext(&timeOutList, pos)) {
            records.push_back(reinterpret_cast<const SimpleMsgTimeOutInfo *>(ZEM_ListIterData(pos)));
        }
        (void)OsMutexUnLock(&timeOutListLock);
        return records;
    }
};

TEST_F(SlowHandling, KeepsTheNewest101Records) {
    for (uint32_t id = 0; id <= 101; ++id) {
        MsgHead msg = MakeHead("slow", id);
        ASSERT_EQ(SetSimpleMsgTimeOut(&msg, 10, 3010 + id), OS_MSG_OK);
    }
    std::vector<const SimpleMsgTimeOutInfo *> records = Records();
    ASSERT_EQ(records.size(), 101U);
    EXPECT_EQ(records.front()->msgId, 101U);
    EXPECT_EQ(records.front()->intervalTime, 3101U);
    EXPECT_EQ(records.back()->msgId, 1U);
}

TEST_F(SlowHandling, RecordsFrom3000msAlsoAcrossTheCounterWrap) {
    MsgHead msg = MakeHead("slow", 5, "st");
    ASSERT_EQ(SetSimpleMsgTimeOut(&msg, 1000, 3999), OS_MSG_OK);
    EXPECT_TRUE(Records().empty());
    ASSERT_EQ(SetSimpleMsgTimeOut(&msg, 1000, 4000), OS_MSG_OK);
    ASSERT_EQ(SetSimpleMsgTimeOut(&msg, 0xFFFFF000U, 0xFFFFF000U + 3500U), OS_MSG_OK);
    std::vector<const SimpleMsgTimeOutInfo *> records = Records();
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0]->intervalTime, 3500U);
    EXPECT_EQ(records[1]->intervalTime, 3000U);
    EXPECT_STREQ(records[1]->acTaskName, "slow");
    EXPECT_STREQ(records[1]->sendProcName, "camera");
    EXPECT_STREQ(records[1]->sendTaskName, "st");
    EXPECT_EQ(records[1]->msgId, 5U);
}

TEST_F(SlowHandling, FailedRecordLeavesTheListUnchanged) {
    const uint64_t start = OSMemGetUsedBlocks();
    MsgHead msg = MakeHead("slow", 1);
    LogCapture log;
    int allocations = SweepAllocFailures([&] { return SetSimpleMsgTimeOut(&msg, 0, 3000); },
                                         [&](int, bool failed, uint32_t result) {
                                             if (failed) {
                                                 EXPECT_EQ(result, OS_MSG_ERR_NO_MEMORY);
                                                 EXPECT_TRUE(Records().empty());
                                                 EXPECT_EQ(OSMemGetUsedBlocks(), start);
                                             } else {
                                                 EXPECT_EQ(result, OS_MSG_OK);
                                                 EXPECT_EQ(Records().size(), 1U);
                                             }
                                         });
    EXPECT_EQ(allocations, 2);
    EXPECT_EQ(log.Count("malloc failed.", OS_LOG_ERROR), 2U);

    MsgHead unterminated = MakeHead("slow", 2, "0123456789abcdef");
    EXPECT_EQ(SetSimpleMsgTimeOut(&unterminated, 0, 3000), OS_MSG_ERR_FAIL);
    EXPECT_EQ(log.Count("strcpy_s failed.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(Records().size(), 1U);
}

Inbox *g_inbox = nullptr;

uint32_t SlowFirstCallback(MsgHead *msg) {
    if (msg->msgId == 1U) {
        OsSleepMs(3000);
    }
    g_inbox->Add(msg);
    return 0;
}

TEST_F(SlowHandling, CallbackOf3SecondsLeavesARecord) {
    Inbox inbox;
    g_inbox = &inbox;
    ASSERT_EQ(SimpleMsgRegTask("slow", 4, SlowFirstCallback, 0), OS_MSG_OK);
    StartLoop("slow");
    MsgHead first = MakeHead("slow", 1, "s1");
    MsgHead second = MakeHead("slow", 2, "s2");
    ASSERT_EQ(SimpleMsgAsynSend(&first), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgAsynSend(&second), OS_MSG_OK);
    // The record of the first call is made before the second is handled.
    ASSERT_TRUE(inbox.WaitFor(2));
    std::vector<const SimpleMsgTimeOutInfo *> records = Records();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_STREQ(records[0]->acTaskName, "slow");
    EXPECT_STREQ(records[0]->sendTaskName, "s1");
    EXPECT_EQ(records[0]->msgId, 1U);
    EXPECT_GE(records[0]->intervalTime, 3000U);
    EXPECT_LT(records[0]->intervalTime, 4000U);
}

} // namespace

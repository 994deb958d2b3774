// Inspection of the queues: the listing of pending messages, the dump, and
// the slow-handling records it prints.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <sstream>

#include "simple_msg_test_util.h"
#include "support/written_text.h"
#include "vyre_os_time.h"

using namespace simple_msg_test;

namespace {

std::string Line(uint32_t id, uint32_t dataLen) {
    return "id:0" + std::to_string(id) +
           " sCpuId:02 sPName:camera rCpuId:00 rPName:media dataLen:" + std::to_string(dataLen) + "\r\n";
}

std::string Closing(const std::string &task, int count) {
    return "Total:task[" + task + "] has " + std::to_string(count) + " msg in list.\r\n";
}

// The listing of task (of every task when none has that name).
std::string List(const char *task, uint32_t space, uint32_t *length) {
    std::vector<char> buffer(space + 1U, '\0');
    *length = space;
    (void)SimpleMsgGetAllMsgInfo(task, buffer.data(), length);
    return buffer.data();
}

std::string DumpText() {
    return WrittenText(SimpleMsgDump);
}

std::vector<SimpleMsgTimeOutInfo> SlowRecords() {
    std::vector<SimpleMsgTimeOutInfo> records;
    (void)OsMutexLock(&timeOutListLock);
    for (ZemListNode *pos = ZEM_ListIterBegin(&timeOutList); pos != ZEM_ListIterEnd(&timeOutList);
         pos = ZEM_ListIterNext(&timeOutList, pos)) {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the list holds the records' addresses.
        records.push_back(*reinterpret_cast<const SimpleMsgTimeOutInfo *>(ZEM_ListIterData(pos)));
    }
    (void)OsMutexUnLock(&timeOutListLock);
    return records;
}

using QueueInspection = SimpleMsgTest;

TEST_F(QueueInspection, ListingAndDumpTextsAcrossTheWrap) {
    ASSERT_EQ(SimpleMsgRegTask("a", 4, nullptr, 0), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask("b", 4, nullptr, 0), OS_MSG_OK);
    SimpleMsgTask *a = FindTask("a");
    // Empty, with the next slot the last one: the test takes the loop's place.
    for (uint32_t id = 0; id < 3; ++id) {
        ASSERT_EQ(SendTo("a", 100 + id), OS_MSG_OK);
        MsgHead taken;
        uint64_t position = 0;
        ASSERT_TRUE(SimpleMsgRingPop(&a->ring, &taken, &position));
    }
    const uint32_t lengths[] = {4, 0, 10};
    for (uint32_t id = 1; id <= 3; ++id) {
        ASSERT_EQ(SendTo("a", id, std::string(lengths[id - 1], 'p')), OS_MSG_OK);
    }
    uint32_t reported = 0;
    const std::string linesA = Line(1, 4) + Line(2, 0) + Line(3, 10);
    EXPECT_EQ(List("a", 512, &reported), linesA + Closing("a", 3));
    EXPECT_EQ(reported, linesA.size());
    const std::string all = List("nosuch", 1024, &reported), blockA = linesA + Closing("a", 3),
                      blockB = Closing("b", 0);
    EXPECT_TRUE(all == blockA + blockB || all == blockB + blockA) << all;
    EXPECT_EQ(reported, all.size());

    // Too small: the lines that fit stay, and what does not fit is logged.
    LogCapture log;
    const uint32_t first = static_cast<uint32_t>(Line(1, 4).size());
    EXPECT_EQ(List("a", first + Closing("a", 1).size() + 1U, &reported), Line(1, 4) + Closing("a", 1));
    EXPECT_EQ(reported, first);
    EXPECT_EQ(log.Count("[a]get msg info error.", OS_LOG_ERROR), 1U);

    // The dump: slow-handling records newest first, then every task's pending count.
    MsgHead older = MakeHead("a", 7, "s1");
    MsgHead newer = MakeHead("b", 8, "s2");
    ASSERT_EQ(SetSimpleMsgTimeOut(&older, 0, 3000), OS_MSG_OK);
    ASSERT_EQ(SetSimpleMsgTimeOut(&newer, 100, 5100), OS_MSG_OK);
    const std::string begin = " ----------- ---   SimpleMsgDump  Begin ---------------- \n"
                              " acTaskName:b, sendProcName:camera sendTaskName:s2 msgId:8, intervalTime:5000 \n"
                              " acTaskName:a, sendProcName:camera sendTaskName:s1 msgId:7, intervalTime:3000 \n";
    const std::string taskA = "TaskName: a  MsgNum: 3\n", taskB = "TaskName: b  MsgNum: 0\n";
    const std::string end = "\n ----------- SimpleMsgDump  End------------- \n";
    const std::string text = DumpText();
    EXPECT_TRUE(text == begin + taskA + taskB + end || text == begin + taskB + taskA + end) << text;
}

TEST_F(QueueInspection, DumpListsWholeRecordsWhileTasksComeAndGo) {
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (int i = 0; i < 300; ++i) {
            EXPECT_EQ(SimpleMsgRegTask("c", 2, nullptr, 0), OS_MSG_OK);
            EXPECT_EQ(SendTo("c", 1), OS_MSG_OK);
            EXPECT_EQ(SimpleMsgUnregTask("c"), OS_MSG_OK);
        }
        done = true;
    });
    std::string dumps;
    do {
        dumps += DumpText();
    } while (!done);
    churn.join();
    std::istringstream lines(dumps);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.find("TaskName") != 0 || line == "TaskName: c  MsgNum: 0" || line == "TaskName: c  MsgNum: 1")
            << line;
    }
}

TEST_F(QueueInspection, SlowRecordsKeepTheNewest101Of3000msOrMore) {
    MsgHead msg = MakeHead("a", 0);
    ASSERT_EQ(SetSimpleMsgTimeOut(&msg, 1000, 3999), OS_MSG_OK);
    EXPECT_TRUE(SlowRecords().empty());
    ASSERT_EQ(SetSimpleMsgTimeOut(&msg, 0xFFFFF000U, 0xFFFFF000U + 3000U), OS_MSG_OK); // the counter wraps
    ASSERT_EQ(SlowRecords().size(), 1U);
    for (uint32_t id = 1; id <= 101; ++id) {
        msg.msgId = id;
        ASSERT_EQ(SetSimpleMsgTimeOut(&msg, 10, 3010 + id), OS_MSG_OK);
    }
    ASSERT_EQ(SlowRecords().size(), 101U);
    EXPECT_EQ(SlowRecords().back().msgId, 1U);

    const uint64_t blocks = OSMemGetUsedBlocks();
    LogCapture quiet;
    EXPECT_EQ(SweepAllocFailures([&] { return SetSimpleMsgTimeOut(&msg, 0, 3000); },
                                 [&](int, bool failed, uint32_t result) {
                                     EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK);
                                     EXPECT_EQ(SlowRecords().front().intervalTime, failed ? 3101U : 3000U);
                                     EXPECT_EQ(OSMemGetUsedBlocks(), blocks); // a new record pushes the oldest out
                                 }),
              2); // the record and its list node
}

uint32_t SlowFirst(MsgHead *msg) {
    if (msg->msgId == 1U) {
        OsSleepMs(3000);
    }
    return Record(msg);
}

// Timed by the processor's counter where it has one (the clock is made
// ready first), so the record's exact milliseconds come from the long-call
// path; elsewhere by the monotonic clock.
TEST_F(QueueInspection, CallbackOfThreeSecondsLeavesARecord) {
    (void)WaitClockReady();
    ASSERT_EQ(SimpleMsgRegTask("slow", 4, SlowFirst, 0), OS_MSG_OK);
    StartLoop("slow");
    ASSERT_EQ(SendTo("slow", 1), OS_MSG_OK);
    ASSERT_EQ(SendTo("slow", 2), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(2)); // the first call is recorded before the second runs
    std::vector<SimpleMsgTimeOutInfo> records = SlowRecords();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_STREQ(records[0].acTaskName, "slow");
    EXPECT_EQ(records[0].msgId, 1U);
    EXPECT_GE(records[0].intervalTime, 3000U);
    EXPECT_LT(records[0].intervalTime, 10000U);
}

} // namespace

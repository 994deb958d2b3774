// Inspection of the queues (listing, dump, slow-handling records) and the
// per-task counters (callback-time histogram and clock, exact counts under
// several producers, dump, public read; a slow handler's counters are checked
// with the queue's order in simple_msg_queue_test.cc). VYRE_STRESS
// (support/stress_scale.h) multiplies the number of messages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

#include "base/msg_monotonic.h"
#include "simple_msg/simple_msg_clock.h"
#include "simple_msg_test_util.h"
#include "support/msg_test_task.h"
#include "support/stress_scale.h"
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
    const std::string text = WrittenText(SimpleMsgDump);
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
        dumps += WrittenText(SimpleMsgDump);
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
    StartTask("slow", 4, SlowFirst);
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

// Once the cheap counter is in use, a span converts to within a percent of
// the monotonic clock, and the exact conversion puts both ends in the
// monotonic milliseconds they were taken in (what the slow-handling record
// holds).
TEST(CallbackTimeClock, CounterSpansAgreeWithTheMonotonicClock) {
    if (!WaitClockReady()) {
        GTEST_SKIP() << "no usable processor counter here; the loop reads the monotonic clock";
    }
    const uint64_t before = MsgMonotonicNs();
    const uint64_t c0 = SimpleMsgClockTicks();
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    const uint64_t c1 = SimpleMsgClockTicks();
    const uint64_t after = MsgMonotonicNs();
    const double span = static_cast<double>(SimpleMsgClockSpanNs(c0, c1));
    EXPECT_GE(span, 40e6 * 0.99);
    EXPECT_LE(span, static_cast<double>(after - before) * 1.01);
    uint32_t startMs = 0U;
    uint32_t endMs = 0U;
    SimpleMsgClockExactMs(c0, c1, &startMs, &endMs);
    EXPECT_GE(startMs, static_cast<uint32_t>(before / 1000000U));
    EXPECT_LE(endMs, static_cast<uint32_t>(after / 1000000U));
    EXPECT_GE(endMs - startMs, 40U);
    EXPECT_EQ(SimpleMsgClockSpanNs(c1, c0), 0U); // an end before its start
}

TEST(CallbackTimeHistogram, EveryTimeFallsInABucketAtMostAQuarterWide) {
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    std::vector<uint64_t> times(5000U);
    std::iota(times.begin(), times.end(), uint64_t{0});
    for (uint32_t shift = 4; shift < 64; ++shift) {
        times.insert(times.end(), {(1ULL << shift) - 1U, 1ULL << shift, (1ULL << shift) + 1U});
    }
    for (int i = 0; i < 20000; ++i) {
        times.push_back(random() >> (random() % 64U));
    }
    for (uint64_t v : times) {
        uint32_t bucket = SimpleMsgStatsBucket(v);
        ASSERT_LT(bucket, SIMPLE_MSG_STATS_BUCKETS) << v;
        ASSERT_GE(SimpleMsgStatsBucketTop(bucket), v) << v;
        if (bucket > 0U) {
            ASSERT_LT(SimpleMsgStatsBucketTop(bucket - 1U), v) << v; // the buckets do not overlap
        }
        if (bucket + 1U < SIMPLE_MSG_STATS_BUCKETS) {
            ASSERT_LE(SimpleMsgStatsBucketTop(bucket) - v, v / 4U) << v;
        }
    }
}

TEST(CallbackTimeHistogram, NinetyNinthPercentileFollowsTheSlowestPercent) {
    SimpleMsgTaskCounters counters{};
    OsMsgTaskStats stats{};
    SimpleMsgReadCounters(&counters, &stats);
    EXPECT_EQ(stats.callbackP99Ns, 0U);
    SimpleMsgCountHandled(&counters, 0, 0U); // a message without callback: counted, not timed
    for (int i = 0; i < 99; ++i) {
        SimpleMsgCountHandled(&counters, 1, 1000U);
    }
    SimpleMsgCountHandled(&counters, 1, 5000000U);
    SimpleMsgReadCounters(&counters, &stats);
    EXPECT_EQ(stats.handled, 101U);
    EXPECT_EQ(stats.callbackMaxNs, 5000000U);
    EXPECT_GE(stats.callbackP99Ns, 1000U); // one slow call in a hundred is above the percentile
    EXPECT_LE(stats.callbackP99Ns, 1250U);
    SimpleMsgCountHandled(&counters, 1, 4000000U); // two in 101: the percentile reaches them
    SimpleMsgReadCounters(&counters, &stats);
    EXPECT_GE(stats.callbackP99Ns, 4000000U);
    EXPECT_LE(stats.callbackP99Ns, stats.callbackMaxNs);
}

using TaskCounters = SimpleMsgTest;

TEST_F(TaskCounters, StayExactUnderSeveralProducers) {
    constexpr uint32_t kProducers = 4, kQueue = 16;
    const uint32_t kEach = 3000U * StressScale();
    StartTask("sink", kQueue, Record);
    std::vector<uint64_t> refused(kProducers, 0);
    RunOnThreads(kProducers, [&](uint32_t p) {
        for (uint32_t seq = 0; seq < kEach; ++seq) {
            uint32_t ret = SendTo("sink", p, std::to_string(seq));
            if (ret == OS_MSG_ERR_FULL) {
                ++refused[p];
            } else {
                ASSERT_EQ(ret, OS_MSG_OK);
            }
        }
    });
    const uint64_t refusedTotal = std::accumulate(refused.begin(), refused.end(), uint64_t{0});
    const uint64_t accepted = uint64_t{kProducers} * kEach - refusedTotal;
    ASSERT_TRUE(inbox_.WaitFor(accepted));
    ASSERT_TRUE(WaitUntil([] { return StatsOf("sink").handled == StatsOf("sink").accepted; }));
    const OsMsgTaskStats stats = StatsOf("sink");
    EXPECT_EQ(std::tuple(stats.accepted, stats.refusedFull, stats.queueLen, stats.pending, stats.refusedAccess),
              std::tuple(accepted, refusedTotal, kQueue, 0U, 0U))
        << "accepted, refused as full, queue length, pending, refused access";
    EXPECT_EQ(inbox_.Items().size(), accepted); // nothing more arrived than was counted
    EXPECT_GE(stats.highWater, 1U);
    EXPECT_LE(stats.highWater, kQueue);
    EXPECT_TRUE(refusedTotal == 0U || stats.highWater == kQueue) << "a refusal means the queue was full once";
    EXPECT_LE(stats.callbackP99Ns, stats.callbackMaxNs);
}

TEST_F(TaskCounters, DumpWritesOneLinePerTaskAndTheQueueDumpKeepsItsFormat) {
    ASSERT_EQ(SimpleMsgRegTask("x", 2, nullptr, 0), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask("y", 5, nullptr, 0), OS_MSG_OK);
    ASSERT_EQ(SendTo("x", 1, "ab"), OS_MSG_OK);
    ASSERT_EQ(SendTo("x", 2), OS_MSG_OK);
    ASSERT_EQ(SendTo("x", 3), OS_MSG_ERR_FULL);
    const std::string x = "TaskStats: x queueLen:2 pending:2 highWater:2 accepted:2 refusedFull:1 handled:0 "
                          "cbMaxNs:0 cbP99Ns:0 refusedAccess:0\n",
                      y = "TaskStats: y queueLen:5 pending:0 highWater:0 accepted:0 refusedFull:0 handled:0 "
                          "cbMaxNs:0 cbP99Ns:0 refusedAccess:0\n";
    const std::string stats = WrittenText(SimpleMsgDumpStats);
    EXPECT_TRUE(stats == x + y || stats == y + x) << stats;
    EXPECT_EQ(WrittenText(SimpleMsgDump).find("TaskStats"), std::string::npos) << "the queue dump keeps its format";
    // A removed task is neither listed nor found.
    ASSERT_EQ(SimpleMsgUnregTask("x"), OS_MSG_OK);
    OsMsgTaskStats gone;
    EXPECT_EQ(SimpleMsgGetTaskStats("x", &gone), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(WrittenText(SimpleMsgDumpStats), y);
}

TEST(PublicTaskStats, RefuseInOrderThenReadAndDumpEveryTask) {
    OsMsgTaskStats stats;
    const uint32_t bad = OS_MSG_ERR_INVALID_PARAM, notInit = OS_MSG_ERR_NOT_INIT;
    EXPECT_EQ(
        (std::vector<uint32_t>{OsMsgGetTaskStats(nullptr, &stats), OsMsgGetTaskStats("", &stats),
                               OsMsgGetTaskStats("t", nullptr), OsMsgGetTaskStats("t", &stats), OsMsgDumpStats()}),
        (std::vector<uint32_t>{bad, bad, bad, notInit, notInit}));

    static TestCounter received;
    ASSERT_EQ(OsMsgInit("statsproc"), OS_MSG_OK);
    {
        TestTask worker("worker", [](MsgHead *) -> uint32_t {
            received.Add();
            return 0U;
        });
        for (uint32_t id = 1; id <= 3; ++id) {
            MsgHead head = MakeHead("statsproc", "worker", id);
            ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
        }
        ASSERT_TRUE(received.WaitFor(3));
        ASSERT_TRUE(simple_msg_test::WaitUntil(
            [&] { return OsMsgGetTaskStats("worker", &stats) == OS_MSG_OK && stats.handled == 3U; }));
        EXPECT_EQ(std::tuple(stats.accepted, stats.queueLen), std::tuple(3U, 1024U)) << "accepted, queue length";
        EXPECT_EQ(OsMsgGetTaskStats("nosuch", &stats), OS_MSG_ERR_NOT_FOUND);
        const std::string text = WrittenText([](int fd) {
            (void)fflush(stdout);
            int saved = dup(STDOUT_FILENO);
            dup2(fd, STDOUT_FILENO);
            (void)printf("printed before\n"); // still in stdio's buffer: a pipe's stream is fully buffered
            EXPECT_EQ(OsMsgDumpStats(), OS_MSG_OK);
            dup2(saved, STDOUT_FILENO);
            close(saved);
        });
        EXPECT_EQ(text.rfind("printed before\nTaskStats: ", 0), 0U) << "the program's own lines come first: " << text;
        EXPECT_NE(text.find("TaskStats: worker queueLen:1024 pending:0 highWater:"), std::string::npos) << text;
        EXPECT_NE(text.find(" accepted:3 refusedFull:0 handled:3 cbMaxNs:"), std::string::npos) << text;
        EXPECT_NE(text.find("TaskStats: pmsgBro "), std::string::npos) << text; // the library's own task too
    }
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

} // namespace

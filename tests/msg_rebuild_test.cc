// Slice reassembly: order and bounds of slices, both protocols reproducing
// the payload, memory balancing with its log rule, allocation failures, and
// concurrent receive threads.
#include "transport/msg_rebuild.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "simple_msg/simple_msg.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "transport/msg_adp_buff.h"
#include "vyre_os_log.h"

using rebuildmsg::MsgRebuildRecvData;
using rebuildmsg::RebuildList;

namespace {

constexpr int64_t kHigh = 104857600;    // 100 MiB
constexpr int64_t kExtreme = 209715200; // 200 MiB
constexpr uint32_t kMaxData = OS_MSG_MAX_DATA_LEN;
using Bytes = std::vector<unsigned char>;

MsgHead MakeHead(uint32_t dataLen) {
    MsgHead head;
    memset(&head, 0, sizeof(head));
    strcpy(head.recvTaskName, "encoder");
    head.dataLen = dataLen;
    return head;
}

MsgSliceTail MakeTail(uint64_t flag, uint32_t offset, uint32_t curLen) {
    MsgSliceTail tail;
    memset(&tail, 0, sizeof(tail));
    tail.isSplit = 1;
    tail.flag = flag;
    tail.offset = offset;
    tail.curLen = curLen;
    return tail;
}

Bytes Pattern(size_t len, unsigned seed) {
    Bytes bytes(len);
    for (size_t i = 0; i < len; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 31U + seed);
    }
    return bytes;
}

// What one call of either protocol handed back.
struct Step {
    uint32_t ret = 0xFFFFFFFFU;
    unsigned char *buf = nullptr;
    unsigned int bufLen = 0;
    unsigned char done = 0xEE;
    unsigned int offset = 0xEEEEEEEEU;
    unsigned int curLen = 0xEEEEEEEEU;
    Bytes Payload() const { return Bytes(buf, buf + bufLen); }
};

// One-step protocol as a transport runs it: on success the slice's bytes,
// taken from the whole payload at the tail's offset, are copied where the
// collector says.
Step OneStep(MsgRebuildRecvData &rb, MsgHead head, MsgSliceTail tail, const Bytes &payload,
             unsigned int headLen = sizeof(MsgHead)) {
    Step s;
    s.ret = rb.RebuildMsg(reinterpret_cast<unsigned char *>(&head), headLen, reinterpret_cast<unsigned char *>(&tail),
                          &s.buf, &s.bufLen, &s.done, &s.offset, &s.curLen);
    if (s.ret == OS_MSG_OK && s.curLen > 0) {
        EXPECT_LE(uint64_t{s.offset} + s.curLen, s.bufLen);
        EXPECT_LE(uint64_t{tail.offset} + s.curLen, payload.size());
        memcpy(s.buf + s.offset, payload.data() + tail.offset, s.curLen);
    }
    return s;
}

Step FirstStep(MsgRebuildRecvData &rb, MsgHead head, MsgSliceTail tail) {
    Step s;
    s.ret = rb.RebuildMsgEx(reinterpret_cast<unsigned char *>(&head), sizeof(head),
                            reinterpret_cast<unsigned char *>(&tail), &s.buf, &s.bufLen, &s.offset, &s.curLen);
    return s;
}

// Two-step protocol with the arguments a well-behaved transport passes.
Step TwoStep(MsgRebuildRecvData &rb, MsgHead head, MsgSliceTail tail, const Bytes &payload) {
    Step s = FirstStep(rb, head, tail);
    if (s.ret == OS_MSG_OK) {
        s.ret = rb.FillMsgBody(tail.flag, static_cast<int>(s.offset), static_cast<int>(s.bufLen - s.offset),
                               const_cast<unsigned char *>(payload.data()) + tail.offset, static_cast<int>(s.curLen),
                               static_cast<int>(s.curLen), &s.done);
    }
    return s;
}

// Releases a completed payload as the transport does after delivering it.
void ReleaseCompleted(const Step &s) {
    MsgHead head = MakeHead(s.bufLen);
    MsgReleaseBuffByHead(&head, sizeof(head), s.buf, s.bufLen);
}

class SliceRebuild : public MemBalanceTest {
protected:
    void SetUp() override {
        MemBalanceTest::SetUp();
        rb_ = std::make_unique<MsgRebuildRecvData>();
    }
    void TearDown() override {
        DropAll();
        rb_.reset();
        MemBalanceTest::TearDown();
    }

    // Drops every message under reassembly as the collector's owner would.
    void DropAll() {
        while (!rb_->rebuildNodes.empty()) {
            RebuildList *node = rb_->rebuildNodes.front();
            SimpleMsgReleaseBuffer(node->buf, node->dataLen);
            rb_->DelRebuildNodeEx(node->flag);
        }
    }

    // Starts message flag with a first slice of 16 bytes.
    void Start(uint64_t flag, uint32_t dataLen) {
        Step s = OneStep(*rb_, MakeHead(dataLen), MakeTail(flag, 0, 16), Pattern(16, 1));
        ASSERT_EQ(s.ret, OS_MSG_OK);
        ASSERT_EQ(s.done, 0);
    }

    bool Has(uint64_t flag) { return rb_->GetRebuildNode(flag) != nullptr; }

    std::unique_ptr<MsgRebuildRecvData> rb_;
};

TEST(SliceTail, FieldsAndSliceMarkAreReadFromUnalignedBytes) {
    LogCapture logs;
    MsgSliceTail tail = MakeTail(0x1122334455667788ULL, 4096, 512);
    tail.isSplit = 7;
    unsigned char raw[sizeof(tail) + 1];
    memcpy(raw + 1, &tail, sizeof(tail));
    uint64_t flag = 0;
    uint32_t offset = 0;
    uint32_t curLen = 0;
    ASSERT_EQ(MsgGetRebuildInfo(reinterpret_cast<const MsgSliceTail *>(raw + 1), &flag, &offset, &curLen), OS_MSG_OK);
    EXPECT_EQ(flag, 0x1122334455667788ULL);
    EXPECT_EQ(offset, 4096U);
    EXPECT_EQ(curLen, 512U);
    EXPECT_EQ(MsgGetRebuildInfo(nullptr, &flag, &offset, &curLen), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgGetRebuildInfo(&tail, &flag, nullptr, &curLen), OS_MSG_ERR_INVALID_PARAM);

    EXPECT_EQ(MsgAdpCheckIsSlice(raw + 1, 24), 7U);
    EXPECT_EQ(MsgAdpCheckIsSlice(raw + 1, 23), 0U);
    EXPECT_EQ(logs.Count("tailLen[23] error.", OS_MSG_LOG_ERROR), 1U) << logs.Dump();
    EXPECT_EQ(MsgAdpCheckIsSlice(nullptr, 24), 0U);
}

TEST_F(SliceRebuild, SingleSliceMessageCompletesAtOnce) {
    Bytes payload = Pattern(100, 3);
    Step s = OneStep(*rb_, MakeHead(100), MakeTail(9, 0, 100), payload);
    ASSERT_EQ(s.ret, OS_MSG_OK);
    EXPECT_EQ(s.done, 1);
    EXPECT_EQ(s.Payload(), payload);
    EXPECT_TRUE(rb_->rebuildNodes.empty());
    EXPECT_EQ(rb_->nodeTotal, 0);
    EXPECT_EQ(rb_->memoryTotal, 0);
    ReleaseCompleted(s);
}

TEST_F(SliceRebuild, InterleavedMessagesReassembleThroughBothProtocols) {
    const uint32_t lenA = 3000;
    const uint32_t lenB = 4500;
    Bytes a = Pattern(lenA, 17);
    Bytes b = Pattern(lenB, 99);
    Step sa;
    Step sb;
    for (uint32_t i = 0; i < 3; ++i) {
        // Later slices carry a header whose dataLen disagrees: only the first
        // slice's header is read.
        sa = OneStep(*rb_, MakeHead(i == 0 ? lenA : 1), MakeTail(1, i * 1000, 1000), a);
        sb = TwoStep(*rb_, MakeHead(i == 0 ? lenB : 1), MakeTail(2, i * 1500, 1500), b);
        ASSERT_EQ(sa.ret, OS_MSG_OK);
        ASSERT_EQ(sb.ret, OS_MSG_OK);
        EXPECT_EQ(sa.bufLen, lenA);
        EXPECT_EQ(sb.bufLen, lenB);
        EXPECT_EQ(sa.done, i == 2 ? 1 : 0);
        EXPECT_EQ(sb.done, i == 2 ? 1 : 0);
        EXPECT_EQ(rb_->memoryTotal, i < 2 ? lenA + lenB : 0);
        if (i == 0) {
            // An empty slice at the current end is accepted and changes nothing.
            ASSERT_EQ(OneStep(*rb_, MakeHead(1), MakeTail(1, 1000, 0), a).done, 0);
        }
    }
    EXPECT_EQ(sa.Payload(), a);
    EXPECT_EQ(sb.Payload(), b);
    EXPECT_EQ(rb_->nodeTotal, 0);
    ReleaseCompleted(sa);
    ReleaseCompleted(sb);
}

TEST_F(SliceRebuild, MisplacedSliceDropsTheMessage) {
    struct Case {
        const char *what;
        uint32_t firstLen; // 0: the misplaced slice is the message's first
        uint32_t offset;
        uint32_t curLen;
    } cases[] = {{"first slice away from 0", 0, 10, 20},
                 {"repeated slice", 50, 0, 50},
                 {"slice ending one byte past the payload", 60, 60, 41},
                 {"slice gap", 50, 51, 10},
                 {"length wrapping 2^32 back into the payload", 60, 60, 0xFFFFFFF0U}};
    uint64_t flag = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes payload = Pattern(100, 0);
        ++flag;
        if (c.firstLen > 0) {
            ASSERT_EQ(OneStep(*rb_, MakeHead(100), MakeTail(flag, 0, c.firstLen), payload).ret, OS_MSG_OK);
        }
        Step s = OneStep(*rb_, MakeHead(100), MakeTail(flag, c.offset, c.curLen), payload);
        EXPECT_EQ(s.ret, OS_MSG_ERR_INVALID_PARAM);
        EXPECT_EQ(s.buf, nullptr);
        EXPECT_EQ(s.offset, 0xEEEEEEEEU) << "no place is handed out for a refused slice";
        EXPECT_FALSE(Has(flag));
        EXPECT_EQ(rb_->memoryTotal, 0);
        // The dropped message's next slice is taken for a new message out of order.
        EXPECT_EQ(OneStep(*rb_, MakeHead(100), MakeTail(flag, 60, 10), payload).ret, OS_MSG_ERR_INVALID_PARAM);
    }
    // The fixture's balance check shows each dropped buffer was released.
}

TEST_F(SliceRebuild, RefusalIsLoggedWithTheSlicePlace) {
    LogCapture logs;
    EXPECT_EQ(OneStep(*rb_, MakeHead(100), MakeTail(3, 10, 20), Pattern(100, 0)).ret, OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(logs.Count("data length err, totalLen[0] curLen[20] offset[10] dataLen[100].", OS_LOG_ERROR), 1U)
        << logs.Dump();
    EXPECT_EQ(logs.Count("get buff error.", OS_LOG_ERROR), 1U) << logs.Dump();
}

TEST_F(SliceRebuild, RefusesNewMessagesWithoutPayloadAndNullArguments) {
    LogCapture logs;
    Bytes payload = Pattern(16, 0);
    EXPECT_EQ(OneStep(*rb_, MakeHead(0), MakeTail(1, 0, 0), payload).ret, OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(OneStep(*rb_, MakeHead(kMaxData + 1), MakeTail(1, 0, 16), payload).ret, OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(OneStep(*rb_, MakeHead(16), MakeTail(1, 0, 16), payload, 163).ret, OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(FirstStep(*rb_, MakeHead(0), MakeTail(1, 0, 0)).ret, OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(logs.Count("get buff or bufLen[0] error.", OS_LOG_ERROR), 4U) << logs.Dump();

    MsgHead head = MakeHead(16);
    MsgSliceTail tail = MakeTail(1, 0, 16);
    auto *h = reinterpret_cast<unsigned char *>(&head);
    auto *t = reinterpret_cast<unsigned char *>(&tail);
    unsigned char *buf = nullptr;
    unsigned int len = 0;
    unsigned char done = 0;
    unsigned int off = 0;
    EXPECT_EQ(rb_->RebuildMsg(h, sizeof(head), nullptr, &buf, &len, &done, &off, &len), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(rb_->RebuildMsg(h, sizeof(head), t, &buf, &len, nullptr, &off, &len), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(rb_->RebuildMsg(nullptr, sizeof(head), t, &buf, &len, &done, &off, &len), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(rb_->RebuildMsgEx(h, sizeof(head), t, nullptr, &len, &off, &len), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(rb_->FillMsgBody(1, 0, 16, buf, 16, 16, nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_TRUE(rb_->rebuildNodes.empty());
}

TEST_F(SliceRebuild, TwoStepBoundAcceptsEndAtDataLenOnly) {
    LogCapture logs;
    Step atEnd = FirstStep(*rb_, MakeHead(100), MakeTail(1, 90, 10));
    ASSERT_EQ(atEnd.ret, OS_MSG_OK);
    EXPECT_EQ(atEnd.offset, 90U);
    EXPECT_EQ(atEnd.curLen, 10U);
    EXPECT_TRUE(Has(1)) << "the first step creates the node; the order is checked when filling";

    EXPECT_EQ(FirstStep(*rb_, MakeHead(100), MakeTail(2, 90, 11)).ret, OS_MSG_ERR_INVALID_PARAM);
    EXPECT_FALSE(Has(2));
    EXPECT_EQ(logs.Count("invalid arguments, flag = 2, curLen = 11, offset = 90, bodyLen = 100.", OS_LOG_ERROR), 1U)
        << logs.Dump();
    // Sums that wrap 2^32 drop the message, also one already under reassembly.
    EXPECT_EQ(FirstStep(*rb_, MakeHead(100), MakeTail(1, 0xFFFFFFF0U, 0x20)).ret, OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(FirstStep(*rb_, MakeHead(100), MakeTail(3, 0x20, 0xFFFFFFF0U)).ret, OS_MSG_ERR_INVALID_PARAM);
    EXPECT_TRUE(rb_->rebuildNodes.empty());
    EXPECT_EQ(rb_->memoryTotal, 0);
}

TEST_F(SliceRebuild, FillRefusesMissingMessageAndHostileArguments) {
    LogCapture logs;
    Bytes src = Pattern(200, 0);
    unsigned char done = 9;
    EXPECT_EQ(rb_->FillMsgBody(77, 0, 8, src.data(), 8, 8, &done), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(done, 0);
    EXPECT_EQ(logs.Count("getRebuildNode fail, flag = 77.", OS_LOG_ERROR), 1U) << logs.Dump();

    // Each case fills the first 16-byte slice of a 64-byte message.
    struct Case {
        int offset, destMax, srcLen, curLen;
        uint32_t result;
    } cases[] = {{-1, 64, 16, 16, OS_MSG_ERR_INVALID_PARAM},
                 {16, 64, 16, 16, OS_MSG_ERR_INVALID_PARAM},
                 {INT32_MIN, 64, 16, 16, OS_MSG_ERR_INVALID_PARAM},
                 {0, 64, 16, -1, OS_MSG_ERR_INVALID_PARAM},
                 {0, 64, 16, 65, OS_MSG_ERR_INVALID_PARAM},
                 {0, 16, 17, 16, OS_MSG_ERR_FAIL},
                 {0, 1000, 100, 16, OS_MSG_ERR_FAIL},
                 {0, -1, 16, 16, OS_MSG_ERR_FAIL},
                 {0, 64, -1, 16, OS_MSG_ERR_FAIL}};
    uint64_t flag = 100;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " " << c.destMax << " " << c.srcLen << " " << c.curLen);
        ASSERT_EQ(FirstStep(*rb_, MakeHead(64), MakeTail(++flag, 0, 16)).ret, OS_MSG_OK);
        EXPECT_EQ(rb_->FillMsgBody(flag, c.offset, c.destMax, src.data(), c.srcLen, c.curLen, &done), c.result);
        EXPECT_FALSE(Has(flag)) << "the message is dropped and its buffer released";
    }
    EXPECT_EQ(logs.Count("fill body fail!.", OS_LOG_ERROR), 4U) << logs.Dump();
}

TEST_F(SliceRebuild, FailedCopyOfTheLastSliceReleasesTheCompletedPayload) {
    ASSERT_EQ(FirstStep(*rb_, MakeHead(32), MakeTail(1, 0, 32)).ret, OS_MSG_OK);
    Bytes src = Pattern(64, 0);
    unsigned char done = 0;
    EXPECT_EQ(rb_->FillMsgBody(1, 0, 32, src.data(), 33, 32, &done), OS_MSG_ERR_FAIL);
    EXPECT_EQ(done, 1) << "completion is reported, but the result decides";
    EXPECT_TRUE(rb_->rebuildNodes.empty());
    // The fixture's balance check shows the payload buffer was released.
}

TEST_F(SliceRebuild, MaxSizeMessagesEvictTheOldestAbove100MiB) {
    LogCapture logs(OS_LOG_INFO);
    for (uint64_t flag = 1; flag <= 25; ++flag) {
        Start(flag, kMaxData);
    }
    EXPECT_EQ(rb_->memMaxCnt, 0U) << "25 messages stay below 100 MiB";
    Start(26, kMaxData);
    EXPECT_EQ(rb_->memMaxCnt, 1U);
    EXPECT_EQ(rb_->memExtremeCnt, 0U);
    EXPECT_FALSE(Has(1));
    EXPECT_TRUE(Has(2));
    EXPECT_TRUE(Has(26));
    EXPECT_EQ(rb_->nodeTotal, 25);
    EXPECT_EQ(rb_->memoryTotal, 25 * int64_t{kMaxData});
    std::string line = "out of memory: memMaxCnt = 1, memoryTotal = " + std::to_string(26 * int64_t{kMaxData}) +
                       ", nodeTotal = 26, flag = 1, dataLen = 4194136.";
    EXPECT_EQ(logs.Count(line, OS_LOG_ERROR), 1U) << logs.Dump();
    // The evicted message is gone: its next slice is refused.
    EXPECT_EQ(OneStep(*rb_, MakeHead(kMaxData), MakeTail(1, 16, 16), Pattern(32, 0)).ret, OS_MSG_ERR_INVALID_PARAM);
    EXPECT_FALSE(Has(1));
}

TEST_F(SliceRebuild, TotalOf200MiBOrMoreIsCutBackTo100MiB) {
    LogCapture logs(OS_LOG_INFO);
    // Hold balancing off while 27 real messages are built, then count them so
    // that the 28th passes 200 MiB and exactly 26 evictions reach 100 MiB.
    rb_->memoryTotal = -27 * int64_t{kMaxData};
    for (uint64_t flag = 1; flag <= 27; ++flag) {
        Start(flag, kMaxData);
    }
    ASSERT_EQ(rb_->memMaxCnt, 0U);
    rb_->memoryTotal = kHigh + 25 * int64_t{kMaxData};
    const int64_t reached = rb_->memoryTotal + kMaxData;
    ASSERT_GE(reached, kExtreme);
    Start(28, kMaxData);

    EXPECT_EQ(rb_->memMaxCnt, 1U);
    EXPECT_EQ(rb_->memExtremeCnt, 1U);
    // Eviction stops as soon as 100 MiB is reached: the two newest remain.
    for (uint64_t flag = 1; flag <= 26; ++flag) {
        EXPECT_FALSE(Has(flag)) << flag;
    }
    EXPECT_TRUE(Has(27));
    EXPECT_TRUE(Has(28));
    EXPECT_EQ(rb_->memoryTotal, kHigh);
    EXPECT_EQ(rb_->nodeTotal, 2);
    std::string first =
        "out of memory: memExtremeCnt = 1, memoryTotal = " + std::to_string(reached) + ", nodeTotal = 28.";
    EXPECT_EQ(logs.Count(first, OS_LOG_ERROR), 1U) << logs.Dump();
    EXPECT_EQ(logs.Count("out of extreme memory: memoryTotal = 104857600, nodeTotal = 2, i = 25.", OS_LOG_ERROR), 1U)
        << logs.Dump();
}

TEST_F(SliceRebuild, BalancingThresholds) {
    Start(1, 64);
    rb_->memoryTotal = kHigh - 64; // exactly 100 MiB with the next message: nothing happens
    Start(2, 64);
    EXPECT_EQ(rb_->memMaxCnt, 0U);
    EXPECT_TRUE(Has(1));

    rb_->memoryTotal = kExtreme - 1 - 64; // 200 MiB - 1 with the next: one eviction
    Start(3, 64);
    EXPECT_EQ(rb_->memMaxCnt, 1U);
    EXPECT_EQ(rb_->memExtremeCnt, 0U);
    EXPECT_FALSE(Has(1));
    EXPECT_TRUE(Has(2));
    EXPECT_EQ(rb_->nodeTotal, 2);

    rb_->memoryTotal = kExtreme - 64; // exactly 200 MiB with the next: cut back
    OneStep(*rb_, MakeHead(64), MakeTail(4, 0, 16), Pattern(16, 0));
    EXPECT_EQ(rb_->memMaxCnt, 2U);
    EXPECT_EQ(rb_->memExtremeCnt, 1U);
}

TEST_F(SliceRebuild, MessageEvictedByItsOwnBalancingIsReported) {
    LogCapture logs;
    rb_->memoryTotal = kExtreme; // counted memory that no message holds
    Step s = OneStep(*rb_, MakeHead(64), MakeTail(5, 0, 16), Pattern(16, 0));
    EXPECT_EQ(s.ret, OS_MSG_ERR_NO_MEMORY);
    EXPECT_EQ(s.buf, nullptr);
    EXPECT_TRUE(rb_->rebuildNodes.empty());
    EXPECT_EQ(logs.Count("new message evicted, flag = 5.", OS_LOG_ERROR), 1U) << logs.Dump();
    EXPECT_EQ(FirstStep(*rb_, MakeHead(64), MakeTail(6, 0, 16)).ret, OS_MSG_ERR_NO_MEMORY);
}

TEST_F(SliceRebuild, BalancingLogsOnlyFirstTenAndEveryThousandthRun) {
    LogCapture logs;
    Start(1, 64);
    rb_->memoryTotal += kHigh; // from now on each new message evicts the oldest
    struct Case {
        uint32_t preset;
        bool logged;
    } cases[] = {{0, true},    {9, true},   {10, false},   {99, false},
                 {998, false}, {999, true}, {1000, false}, {1999, true}};
    uint64_t flag = 1;
    for (const Case &c : cases) {
        rb_->memMaxCnt = c.preset;
        Start(++flag, 64);
        ASSERT_FALSE(Has(flag - 1));
        std::string line = "memMaxCnt = " + std::to_string(c.preset + 1) + ",";
        EXPECT_EQ(logs.Count(line, OS_LOG_ERROR), c.logged ? 1U : 0U) << line;
    }
    // The extreme counter follows the same rule on its own. Counted memory
    // that no message holds makes every new message go at once.
    DropAll();
    for (const Case &c : cases) {
        rb_->memExtremeCnt = c.preset;
        rb_->memoryTotal = kExtreme;
        EXPECT_EQ(OneStep(*rb_, MakeHead(64), MakeTail(++flag, 0, 16), Pattern(16, 0)).ret, OS_MSG_ERR_NO_MEMORY);
        std::string line = "memExtremeCnt = " + std::to_string(c.preset + 1) + ",";
        EXPECT_EQ(logs.Count(line, OS_LOG_ERROR), c.logged ? 1U : 0U) << line;
    }
}

TEST_F(SliceRebuild, AllocationFailuresLeaveNoMessageBehind) {
    // The payload buffer, the node and the sequence's growth can each fail.
    // The one-step protocol reports a missing buffer as a refused message,
    // the two-step protocol passes the buffer's code on.
    const std::vector<uint32_t> expected[2] = {
        {OS_MSG_ERR_INVALID_PARAM, OS_MSG_ERR_NO_MEMORY, OS_MSG_ERR_NO_MEMORY, OS_MSG_OK},
        {OS_MSG_ERR_NO_MEMORY, OS_MSG_ERR_NO_MEMORY, OS_MSG_ERR_NO_MEMORY, OS_MSG_OK}};
    for (int twoStep = 0; twoStep < 2; ++twoStep) {
        SCOPED_TRACE(twoStep != 0 ? "two-step" : "one-step");
        Start(1, 64);
        Start(2, 64); // the sequence holds two: the next message grows it
        const uint64_t before = UsedBlocks();
        std::vector<uint32_t> results;
        SweepAllocFailures(
            [&] {
                MsgSliceTail tail = MakeTail(3, 0, 16);
                return twoStep != 0 ? FirstStep(*rb_, MakeHead(64), tail).ret
                                    : OneStep(*rb_, MakeHead(64), tail, Pattern(16, 0)).ret;
            },
            [&](int, bool failed, uint32_t result) {
                results.push_back(result);
                EXPECT_EQ(Has(3), !failed);
                EXPECT_EQ(rb_->nodeTotal, failed ? 2 : 3);
                // Buffer and node; the grown sequence replaces the old one.
                EXPECT_EQ(UsedBlocks(), before + (failed ? 0 : 2));
            });
        EXPECT_EQ(results, expected[twoStep]);
        DropAll();
        rb_ = std::make_unique<MsgRebuildRecvData>();
    }
}

TEST_F(SliceRebuild, ConcurrentReceiveThreadsReassembleTheirOwnMessages) {
    constexpr int kThreads = 4;
    constexpr int kMessages = 20;
    constexpr uint32_t kLen = 8192;
    std::vector<std::thread> threads;
    std::vector<int> completed(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int m = 0; m < kMessages; ++m) {
                uint64_t flag = static_cast<uint64_t>(t) * 1000 + m;
                Bytes payload = Pattern(kLen, static_cast<unsigned>(flag));
                Step s;
                for (uint32_t off = 0; off < kLen && (off == 0 || s.ret == OS_MSG_OK); off += 1024) {
                    MsgSliceTail tail = MakeTail(flag, off, 1024);
                    s = m % 2 == 0 ? OneStep(*rb_, MakeHead(kLen), tail, payload)
                                   : TwoStep(*rb_, MakeHead(kLen), tail, payload);
                }
                if (s.ret != OS_MSG_OK || s.done != 1) {
                    return;
                }
                completed[t] += s.Payload() == payload ? 1 : 0;
                ReleaseCompleted(s);
            }
        });
    }
    for (std::thread &th : threads) {
        th.join();
    }
    EXPECT_EQ(completed, std::vector<int>(kThreads, kMessages));
    EXPECT_TRUE(rb_->rebuildNodes.empty());
    EXPECT_EQ(rb_->memoryTotal, 0);
    EXPECT_EQ(rb_->nodeTotal, 0);
}

} // namespace

// Slice reassembly and the payload buffers it takes by header: order, bounds and wrap rules of slices in both
// protocols, memory balancing with its log rule, allocation failures, and concurrent receive threads.
#include "transport/msg_rebuild.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "simple_msg/simple_msg.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "support/threads.h"
#include "transport/msg_adp_buff.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"

using rebuildmsg::MsgRebuildRecvData;

namespace {

constexpr int64_t kHigh = 104857600, kExtreme = 209715200; // 100 MiB, 200 MiB
constexpr uint32_t kMax = OS_MSG_MAX_DATA_LEN, kBad = OS_MSG_ERR_INVALID_PARAM, kFail = OS_MSG_ERR_FAIL;
using Bytes = std::vector<unsigned char>;

// What one slice through a protocol handed back; 0xEE marks what was not stored.
struct Step {
    uint32_t ret = 0xFFFFFFFFU;
    unsigned char *buf = nullptr;
    unsigned int bufLen = 0, offset = 0xEEEEEEEEU, curLen = 0xEEEEEEEEU;
    unsigned char done = 0xEE;
};

enum Protocol { kOneStep, kFirstStep, kTwoStep };

// Feeds a slice of message flag as a transport does: one step copies the slice's bytes of payload
// where the collector says; two steps pass them to FillMsgBody with the place the first step gave.
Step Feed(MsgRebuildRecvData &rb, Protocol protocol, uint32_t dataLen, uint64_t flag, uint32_t offset, uint32_t curLen,
          const Bytes &payload = Bytes(16)) {
    MsgHead head{0, 0, 0, 0, "", "", 0, 0, "", "", 0, 0, {}, dataLen, nullptr};
    MsgSliceTail tail{1, {}, offset, curLen, 0, flag};
    unsigned char *h = reinterpret_cast<unsigned char *>(&head), *t = reinterpret_cast<unsigned char *>(&tail);
    Step s;
    s.ret = protocol == kOneStep ? rb.RebuildMsg(h, sizeof(head), t, &s.buf, &s.bufLen, &s.done, &s.offset, &s.curLen)
                                 : rb.RebuildMsgEx(h, sizeof(head), t, &s.buf, &s.bufLen, &s.offset, &s.curLen);
    if (s.ret != OS_MSG_OK || s.curLen == 0 || protocol == kFirstStep) {
        return s;
    }
    EXPECT_LE(uint64_t{s.offset} + s.curLen, s.bufLen);
    unsigned char *src = const_cast<unsigned char *>(payload.data()) + offset;
    if (protocol == kOneStep) {
        std::memcpy(s.buf + s.offset, src, s.curLen);
    } else {
        int len = static_cast<int>(s.curLen);
        s.ret = rb.FillMsgBody(flag, static_cast<int>(s.offset), static_cast<int>(s.bufLen - s.offset), src, len, len,
                               &s.done);
    }
    return s;
}

using BuffByHead = MemBalanceTest;

TEST_F(BuffByHead, ReadsOnlyTheSignificant164HeadBytesAndRefusesWhatItCannotServe) {
    LogCapture logs;
    // Exactly the significant header bytes on the heap, with names that fill their fields.
    MsgHead full{0, 0, 0, 0, "PPPPPPPPPPPPPPP", "capture", 77, 0, "media", "TTTTTTTTTTTTTTT", 0, 0, {}, 16, nullptr};
    full.sendProcName[15] = full.recvTaskName[15] = 'X';
    std::unique_ptr<unsigned char[]> wire(new unsigned char[MSG_ADP_MIN_HEAD_LEN]);
    std::memcpy(wire.get(), &full, MSG_ADP_MIN_HEAD_LEN);
    auto *head = reinterpret_cast<MsgHead *>(wire.get());
    void *buf = &full;
    uint32_t len = 5;
    EXPECT_EQ(MsgGetBuffByHead(head, 163, &buf, &len), kBad);
    EXPECT_TRUE(buf == &full && len == 5) << "nothing is stored for a refused header";
    EXPECT_EQ(MsgGetBuffByHead(nullptr, 164, &buf, &len), kBad);
    EXPECT_EQ(MsgGetBuffByHead(head, 164, nullptr, &len), kBad);
    EXPECT_EQ(MsgGetBuffByHead(head, 164, &buf, nullptr), kBad);
    OSMemSetFailCountdown(1);
    EXPECT_EQ(MsgGetBuffByHead(head, 164, &buf, &len), OS_MSG_ERR_NO_MEMORY);
    EXPECT_TRUE(buf == nullptr && len == 0);
    ASSERT_EQ(MsgGetBuffByHead(head, 164, &buf, &len), OS_MSG_OK);
    const uint64_t held = UsedBlocks();
    MsgReleaseBuffByHead(head, 163, buf, len); // refused: the buffer stays
    EXPECT_EQ(UsedBlocks(), held);
    MsgReleaseBuffByHead(head, 164, buf, len); // the fixture checks that it went
    EXPECT_EQ(logs.Count("dataLen:16, sendProc[PPPPPPPPPPPPPPPX][capture], recv[media][TTTTTTTTTTTTTTTX]."), 2U);
    EXPECT_EQ(logs.Count("headLen[163] error.", OS_LOG_ERROR) + logs.Count("malloc 16 error.", OS_LOG_ERROR), 3U);
}

class SliceRebuild : public MemBalanceTest {
protected:
    void TearDown() override {
        DropAll();
        MemBalanceTest::TearDown();
    }
    // Releases what is under reassembly, as the collector's owner does, and starts a new collector.
    void DropAll() {
        for (rebuildmsg::RebuildList *node : rb_->rebuildNodes) {
            SimpleMsgReleaseBuffer(node->buf, node->dataLen);
        }
        rb_ = std::make_unique<MsgRebuildRecvData>();
    }
    void Start(uint64_t flag, uint32_t dataLen) { ASSERT_EQ(Feed(*rb_, kOneStep, dataLen, flag, 0, 16).ret, 0U); }
    bool Has(uint64_t flag) { return rb_->GetRebuildNode(flag) != nullptr; }

    std::unique_ptr<MsgRebuildRecvData> rb_ = std::make_unique<MsgRebuildRecvData>();
};

TEST_F(SliceRebuild, MisplacedSliceOrMessageWithoutPayloadIsDropped) {
    LogCapture logs;
    struct Case {
        Protocol protocol;
        uint32_t dataLen, firstLen, offset, curLen; // firstLen bytes went in before
        const char *logged;
    } cases[] = {
        {kOneStep, 100, 0, 10, 20, "]:data length err, totalLen[0] curLen[20] offset[10] dataLen[100]."}, // not at 0
        {kOneStep, 100, 50, 0, 50, "]:data length err, totalLen[50] curLen[50] offset[0] dataLen[100]."}, // repeated
        {kOneStep, 100, 60, 60, 41, "]:get buff error."},                         // one byte past the end
        {kOneStep, 100, 50, 51, 10, "]:get buff error."},                         // a gap
        {kOneStep, 100, 60, 60, 0xFFFFFFF0U, "]:get buff error."},                // wrapping 2^32 back into the payload
        {kFirstStep, 100, 0, 90, 11, "curLen = 11, offset = 90, bodyLen = 100."}, // the first step checks bounds
        {kFirstStep, 100, 10, 0xFFFFFFF0U, 0x20, "bodyLen = 100."},
        {kFirstStep, 100, 0, 0x20, 0xFFFFFFF0U, "bodyLen = 100."},
        {kOneStep, 0, 0, 0, 0, "get buff or bufLen[0] error."}, // no payload announced, or too much
        {kFirstStep, 0, 0, 0, 0, "get buff or bufLen[0] error."},
        {kOneStep, kMax + 1, 0, 0, 16, "get buff or bufLen[0] error."},
        {kOneStep, 0xFFFFFFFFU, 0, 0, 16, "get buff or bufLen[0] error."},
    };
    const Bytes payload(100);
    for (uint64_t flag = 0; flag < sizeof(cases) / sizeof(cases[0]); ++flag) {
        const Case &c = cases[flag];
        SCOPED_TRACE(c.logged);
        logs.Clear();
        Protocol first = c.protocol == kOneStep ? kOneStep : kTwoStep;
        ASSERT_EQ(c.firstLen == 0 ? 0U : Feed(*rb_, first, c.dataLen, flag, 0, c.firstLen, payload).ret, OS_MSG_OK);
        Step s = Feed(*rb_, c.protocol, c.dataLen, flag, c.offset, c.curLen, payload);
        EXPECT_EQ(s.ret, kBad);
        EXPECT_TRUE(s.buf == nullptr && s.offset == 0xEEEEEEEEU) << "no place is handed out for a refused slice";
        EXPECT_EQ(logs.Count(c.logged, OS_LOG_ERROR), 1U) << logs.Dump();
        EXPECT_FALSE(Has(flag)); // the fixture's balance check shows that its buffer went
    }
    unsigned char raw[26] = {0, 7};
    EXPECT_EQ(MsgAdpCheckIsSlice(raw + 1, 24), 7U); // from unaligned bytes
    EXPECT_EQ(MsgAdpCheckIsSlice(raw + 1, 23) + MsgAdpCheckIsSlice(raw + 1, 25) + MsgAdpCheckIsSlice(nullptr, 24), 0U);
}

TEST_F(SliceRebuild, FillRefusesAMissingMessageAndHostileArguments) {
    LogCapture logs;
    Bytes src(200);
    unsigned char done = 9;
    EXPECT_EQ(rb_->FillMsgBody(77, 0, 8, src.data(), 8, 8, &done) + done, kBad); // no such message
    EXPECT_EQ(logs.Count("getRebuildNode fail, flag = 77.", OS_LOG_ERROR), 1U) << logs.Dump();
    // Each case fills the first slice of a 64-byte message; the last completes it, but the result decides.
    struct Case {
        int offset, destMax, srcLen, curLen;
        uint32_t result;
        unsigned char done;
    } cases[] = {{-1, 64, 16, 16, kBad, 0},    {16, 64, 16, 16, kBad, 0}, {INT32_MIN, 64, 16, 16, kBad, 0},
                 {0, 64, 16, -1, kBad, 0},     {0, 64, 16, 65, kBad, 0},  {0, 16, 17, 16, kFail, 0},
                 {0, 1000, 100, 16, kFail, 0}, {0, -1, 16, 16, kFail, 0}, {0, 64, -1, 16, kFail, 0},
                 {0, 64, 65, 64, kFail, 1}};
    uint64_t flag = 100;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " " << c.destMax << " " << c.srcLen << " " << c.curLen);
        ASSERT_EQ(Feed(*rb_, kFirstStep, 64, ++flag, 0, 16).ret, OS_MSG_OK);
        EXPECT_EQ(rb_->FillMsgBody(flag, c.offset, c.destMax, src.data(), c.srcLen, c.curLen, &done), c.result);
        EXPECT_EQ(done, c.done);
        EXPECT_FALSE(Has(flag)) << "the message is dropped; the fixture checks that its buffer went";
    }
    EXPECT_EQ(logs.Count("fill body fail!.", OS_LOG_ERROR), 5U) << logs.Dump();
}

TEST_F(SliceRebuild, MaxSizeMessagesEvictTheOldestAbove100MiBAndAreCutBackFrom200MiB) {
    LogCapture logs(OS_LOG_INFO);
    for (uint64_t flag = 1; flag <= 26; ++flag) {
        Start(flag, kMax);
        EXPECT_EQ(rb_->memMaxCnt, flag < 26 ? 0U : 1U) << "25 messages stay within 100 MiB";
    }
    std::string line = "memoryTotal = " + std::to_string(26 * int64_t{kMax}) + ", nodeTotal = 26, flag = 1, dataLen";
    EXPECT_EQ(logs.Count("]:out of memory: memMaxCnt = 1, " + line + " = 4194136.", OS_LOG_ERROR), 1U);

    // Hold balancing off while two more arrive, then count so that the next
    // passes 200 MiB and exactly 26 evictions reach 100 MiB.
    rb_->memoryTotal -= 2 * int64_t{kMax};
    Start(27, kMax);
    Start(28, kMax);
    rb_->memoryTotal = kHigh + 25 * int64_t{kMax};
    line = "memoryTotal = " + std::to_string(rb_->memoryTotal + kMax) + ", nodeTotal = 28.";
    Start(29, kMax);
    EXPECT_EQ(rb_->memMaxCnt, 2U);
    EXPECT_EQ(rb_->memExtremeCnt, 1U);
    for (uint64_t flag = 2; flag <= 29; ++flag) {
        EXPECT_EQ(Has(flag), flag >= 28) << flag; // eviction stops as soon as 100 MiB is reached
    }
    EXPECT_EQ(rb_->memoryTotal, kHigh);
    EXPECT_EQ(logs.Count("]:out of memory: memExtremeCnt = 1, " + line, OS_LOG_ERROR), 1U);
    EXPECT_EQ(logs.Count("out of extreme memory: memoryTotal = 104857600, nodeTotal = 2, i = 25.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(Feed(*rb_, kOneStep, kMax, 1, 16, 16).ret, kBad); // the first evicted message is gone
}

TEST_F(SliceRebuild, BalancingThresholdsAndLogRule) {
    LogCapture logs;
    struct Case {
        int64_t totalWithNew; // counted memory once the new message is in; any above the nodes' is no message's
        uint32_t runs;        // balancing runs counted before
        bool oldGoes, newGoes;
        const char *logged; // the balancing line, for the first ten runs and every thousandth
    } cases[] = {
        {kHigh, 0, false, false, nullptr},        {kHigh + 1, 9, true, false, "memMaxCnt = 10,"},
        {kExtreme - 1, 10, true, false, nullptr}, {kExtreme - 1, 999, true, false, "memMaxCnt = 1000,"},
        {kExtreme, 998, true, true, nullptr},     {kExtreme, 999, true, true, "memExtremeCnt = 1000,"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.totalWithNew);
        DropAll();
        Start(1, 64);
        rb_->memoryTotal = c.totalWithNew - 64;
        rb_->memMaxCnt = rb_->memExtremeCnt = c.runs;
        logs.Clear();
        EXPECT_EQ(Feed(*rb_, kOneStep, 64, 2, 0, 16).ret, c.newGoes ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK);
        EXPECT_EQ(Has(1) + 2 * Has(2), !c.oldGoes + 2 * !c.newGoes);
        EXPECT_EQ(rb_->memMaxCnt + rb_->memExtremeCnt, 2 * c.runs + c.oldGoes + c.newGoes);
        EXPECT_EQ(logs.Count(c.logged != nullptr ? c.logged : "]:out of memory: mem"), c.logged != nullptr ? 1U : 0U);
        EXPECT_EQ(logs.Count("new message evicted, flag = 2."), c.newGoes ? 1U : 0U);
    }
}

TEST_F(SliceRebuild, AllocationFailuresLeaveNoMessageBehind) {
    // Buffer, node and the sequence's growth can fail; one step reports a missing buffer as a refused message.
    for (Protocol protocol : {kOneStep, kFirstStep}) {
        SCOPED_TRACE(protocol);
        Start(1, 64);
        Start(2, 64); // the sequence holds two: the next message grows it
        const uint64_t before = UsedBlocks();
        EXPECT_EQ(SweepAllocFailures(
                      [&] { return Feed(*rb_, protocol, 64, 3, 0, 16).ret; },
                      [&](int n, bool failed, uint32_t result) {
                          EXPECT_EQ(result, !failed ? OS_MSG_OK : n == 1 && protocol == kOneStep ? kBad : 0x80020020U);
                          EXPECT_EQ(Has(3), !failed);
                          EXPECT_EQ(rb_->nodeTotal, failed ? 2 : 3);
                          // Buffer and node; the grown sequence replaces the old one.
                          EXPECT_EQ(UsedBlocks(), before + (failed ? 0 : 2));
                      }),
                  3);
        DropAll(); // the new collector's sequence is empty again
    }
}

TEST_F(SliceRebuild, ConcurrentReceiveThreadsReassembleInterleavedMessagesInBothProtocols) {
    constexpr int kThreads = 4, kMessages = 20;
    constexpr uint32_t kLen = 8192;
    std::vector<int> completed(kThreads, 0);
    RunOnThreads(kThreads, [&](int t) {
        for (int m = 0; m < kMessages; ++m) { // odd messages in two steps, every fourth in one slice
            const Protocol protocol = m % 2 == 0 ? kOneStep : kTwoStep;
            const uint32_t slice = m % 4 == 3 ? kLen : 1024, flag = t * 1000 + m;
            Bytes payload(kLen);
            std::iota(payload.begin(), payload.end(), static_cast<unsigned char>(flag));
            Step s = Feed(*rb_, protocol, kLen, flag, 0, 0, payload); // an empty slice changes nothing
            for (uint32_t off = 0; off < kLen && s.ret == OS_MSG_OK; off += slice) {
                s = Feed(*rb_, protocol, 1, flag, off, slice, payload); // only the first header is read
            }
            completed[t] += s.ret == 0 && s.done == 1 && s.bufLen == kLen && Bytes(s.buf, s.buf + kLen) == payload;
            MsgHead head{};
            MsgReleaseBuffByHead(&head, sizeof(head), s.done == 1 ? s.buf : nullptr, kLen);
        }
    });
    EXPECT_EQ(completed, std::vector<int>(kThreads, kMessages));
    EXPECT_EQ(rb_->memoryTotal + rb_->nodeTotal, 0);
}

} // namespace

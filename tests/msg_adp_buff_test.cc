// Payload buffers by header: the size limit, refusals of malformed headers
// and arguments, and allocation failure.
#include "transport/msg_adp_buff.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/log_capture.h"
#include "support/mem_check.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"

namespace {

MsgHead MakeHead(uint32_t dataLen) {
    MsgHead head;
    memset(&head, 0, sizeof(head));
    strcpy(head.sendProcName, "camera");
    strcpy(head.sendTaskName, "capture");
    strcpy(head.recvProcName, "media");
    strcpy(head.recvTaskName, "encoder");
    head.msgId = 77;
    head.dataLen = dataLen;
    return head;
}

using BuffByHead = MemBalanceTest;

TEST_F(BuffByHead, AllocatesUpToTheLargestPayload) {
    MsgHead head = MakeHead(OS_MSG_MAX_DATA_LEN);
    void *buf = nullptr;
    uint32_t len = 0;
    const uint64_t before = UsedBlocks();
    ASSERT_EQ(MsgGetBuffByHead(&head, sizeof(head), &buf, &len), OS_MSG_OK);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(len, OS_MSG_MAX_DATA_LEN);
    EXPECT_EQ(UsedBlocks(), before + 1);
    static_cast<unsigned char *>(buf)[len - 1] = 0x5A; // the whole length is usable
    MsgReleaseBuffByHead(&head, sizeof(head), buf, len);
    EXPECT_EQ(UsedBlocks(), before);
}

TEST_F(BuffByHead, NoBufferForEmptyOrOversizePayload) {
    const uint32_t lengths[] = {0U, OS_MSG_MAX_DATA_LEN + 1, 0xFFFFFFFFU};
    for (uint32_t dataLen : lengths) {
        MsgHead head = MakeHead(dataLen);
        void *buf = &head;
        uint32_t len = 5;
        const uint64_t before = UsedBlocks();
        EXPECT_EQ(MsgGetBuffByHead(&head, sizeof(head), &buf, &len), OS_MSG_OK) << dataLen;
        EXPECT_EQ(buf, nullptr) << dataLen;
        EXPECT_EQ(len, 0U) << dataLen;
        EXPECT_EQ(UsedBlocks(), before) << dataLen;
    }
}

TEST_F(BuffByHead, ReadsOnlyTheSignificantHeadBytes) {
    // A header of exactly 164 bytes on the heap, with names that fill their
    // fields without a terminator: nothing past the 164 bytes is read and
    // each name is logged within its field.
    LogCapture logs;
    MsgHead full = MakeHead(32);
    memset(full.sendProcName, 'P', sizeof(full.sendProcName));
    memset(full.recvTaskName, 'T', sizeof(full.recvTaskName));
    std::unique_ptr<unsigned char[]> wire(new unsigned char[MSG_ADP_MIN_HEAD_LEN]);
    memcpy(wire.get(), &full, MSG_ADP_MIN_HEAD_LEN);
    MsgHead *head = reinterpret_cast<MsgHead *>(wire.get());
    void *buf = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(MsgGetBuffByHead(head, MSG_ADP_MIN_HEAD_LEN, &buf, &len), OS_MSG_OK);
    EXPECT_EQ(len, 32U);
    EXPECT_EQ(logs.Count("msgId:77, dataLen:32, sendProc[PPPPPPPPPPPPPPPP][capture], "
                         "recv[media][TTTTTTTTTTTTTTTT].",
                         OS_LOG_DEBUG),
              1U)
        << logs.Dump();
    MsgReleaseBuffByHead(head, MSG_ADP_MIN_HEAD_LEN, buf, len);
}

TEST_F(BuffByHead, RefusesShortHeadAndNullArguments) {
    LogCapture logs;
    MsgHead head = MakeHead(16);
    void *buf = &head;
    uint32_t len = 5;
    EXPECT_EQ(MsgGetBuffByHead(&head, MSG_ADP_MIN_HEAD_LEN - 1, &buf, &len), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(buf, &head) << "nothing is stored for a refused header";
    EXPECT_EQ(len, 5U);
    EXPECT_EQ(logs.Count("headLen[163] error.", OS_LOG_ERROR), 1U) << logs.Dump();

    EXPECT_EQ(MsgGetBuffByHead(nullptr, sizeof(head), &buf, &len), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgGetBuffByHead(&head, sizeof(head), nullptr, &len), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgGetBuffByHead(&head, sizeof(head), &buf, nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(logs.Count("MsgGetBuffByHead input invalid.", OS_LOG_ERROR), 3U) << logs.Dump();
}

TEST_F(BuffByHead, ReportsAllocationFailure) {
    LogCapture logs;
    MsgHead head = MakeHead(16);
    void *buf = &head;
    uint32_t len = 5;
    const uint64_t before = UsedBlocks();
    OSMemSetFailCountdown(1);
    EXPECT_EQ(MsgGetBuffByHead(&head, sizeof(head), &buf, &len), OS_MSG_ERR_NO_MEMORY);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(len, 0U);
    EXPECT_EQ(UsedBlocks(), before);
    EXPECT_EQ(logs.Count("malloc 16 error.", OS_LOG_ERROR), 1U) << logs.Dump();
}

TEST_F(BuffByHead, ReleaseWithShortHeadKeepsTheBuffer) {
    LogCapture logs;
    MsgHead head = MakeHead(16);
    void *buf = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(MsgGetBuffByHead(&head, sizeof(head), &buf, &len), OS_MSG_OK);
    const uint64_t held = UsedBlocks();
    MsgReleaseBuffByHead(&head, MSG_ADP_MIN_HEAD_LEN - 1, buf, len);
    EXPECT_EQ(UsedBlocks(), held);
    EXPECT_EQ(logs.Count("headLen[163] error.", OS_LOG_ERROR), 1U) << logs.Dump();
    MsgReleaseBuffByHead(&head, MSG_ADP_MIN_HEAD_LEN, buf, len);
    EXPECT_EQ(UsedBlocks(), held - 1);
    MsgReleaseBuffByHead(&head, MSG_ADP_MIN_HEAD_LEN, nullptr, 16); // nothing to release
}

} // namespace

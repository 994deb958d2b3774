// Channel layer: type conversions in the mscBlock word, payload rules of
// channel memory and the synchronisation-status hooks.
#include <gtest/gtest.h>

#include <tuple>

#include "msc/msg_msc.h"
#include "support/log_capture.h"

namespace {

uint32_t Block(uint32_t high, uint32_t chanType, uint32_t memType) {
    return (high & ~0x7FU) | (chanType << 4) | memType;
}

// Send converts a local block to channel numbering (memory types 7 -> 1,
// 1 -> 2, others 0), receive turns it back (1 -> 7, 2 refused, others 0);
// bits 7-31 stay, and a refusal leaves the word as it was.
TEST(MscBlock, ConvertsTypesKeepingBits7To31AndPayloadRules) {
    LogCapture capture;
    char payload[8];
    constexpr uint32_t kOk = OS_MSG_OK, kNotImpl = OS_MSG_ERR_NOT_IMPLEMENTED, kInval = OS_MSG_ERR_INVALID_PARAM;
    using Case = std::tuple<uint32_t, void *, uint32_t, uint32_t, uint32_t, bool, uint32_t, uint32_t>;
    const Case cases[] = {
        {Block(0xABCDE780u, 1, 7), payload, 8, kOk, Block(0xABCDE780u, 1, 1), true, kOk, Block(0xABCDE780u, 1, 7)},
        {Block(0xFFFFFF80u, 2, 1), payload, 8, kNotImpl, Block(0xFFFFFF80u, 2, 2), true, kNotImpl,
         Block(0xFFFFFF80u, 2, 2)},
        {Block(0x12345680u, 0, 4), payload, 8, kOk, Block(0x12345680u, 0, 0), false, kOk, Block(0x12345680u, 0, 0)},
        {Block(0x80u, 2, 2), payload, 8, kOk, Block(0x80u, 2, 0), false, kOk, Block(0x80u, 2, 0)},
        {Block(0x80u, 0, 15), payload, 8, kOk, Block(0x80u, 0, 0), false, kOk, Block(0x80u, 0, 0)},
        {Block(0, 2, 7), nullptr, 5, kOk, Block(0, 2, 1), false, kOk, Block(0, 2, 7)}, // cleared with data and length
        {Block(0, 2, 7), payload, 0, kOk, Block(0, 2, 1), false, kOk, Block(0, 2, 7)},
        {Block(0x80u, 3, 7), payload, 8, kInval, Block(0x80u, 3, 7), false, kInval, Block(0x80u, 3, 7)},
    };
    for (const auto &[local, data, dataLen, sent, channel, payloadCleared, received, back] : cases) {
        SCOPED_TRACE(local);
        MsgHead head = {};
        head.mscBlock = local;
        head.data = data;
        head.dataLen = dataLen;
        EXPECT_EQ(MsgSetSendMscBlock(&head), sent);
        EXPECT_EQ(head.mscBlock, channel);
        EXPECT_TRUE(payloadCleared ? head.data == nullptr && head.dataLen == 0
                                   : head.data == data && head.dataLen == dataLen);
        EXPECT_EQ(MsgSetRecvMscBlock(&head.mscBlock), received);
        EXPECT_EQ(head.mscBlock, back);
    }
    uint32_t block = Block(0x80u, 2, 7); // no channel memory type 7
    EXPECT_EQ(MsgSetRecvMscBlock(&block), kOk);
    EXPECT_EQ(block, Block(0x80u, 2, 0));
    EXPECT_EQ(MsgSetSendMscBlock(nullptr) & MsgSetRecvMscBlock(nullptr) & MsgMemTypeOs2Msc(1, nullptr) &
                  MsgMemTypeMsc2Os(1, nullptr) & MsgChanTypeMsc2Os(1, nullptr),
              kInval);
    EXPECT_EQ(capture.Count("msc data cannot use data.", OS_MSG_LOG_WARN), 2u) << capture.Dump();
    EXPECT_EQ(capture.Count("msc vir2phy no implemention.", OS_MSG_LOG_ERROR), 2u);
    EXPECT_EQ(capture.Count("invalid chanType [3].", OS_MSG_LOG_ERROR), 2u);
}

void *g_hookArg = nullptr;
uint32_t g_hookAnswer = 0;

TEST(MscSyncStatus, LogsWithoutHooksAndPassesArgumentAndResultThrough) {
    LogCapture capture;
    int value = 0;
    EXPECT_EQ(OsMscGetSyncStatus(&value) | OsMscSetSyncStatusCallback(&value), OS_MSG_OK) << "no hooks installed";
    EXPECT_EQ(capture.Count("]MsgMscGetSyncStatus has no implemention.", OS_MSG_LOG_ERROR), 1u);
    EXPECT_EQ(capture.Count("]SetMscSyncStatusCb has no implemention.", OS_MSG_LOG_ERROR), 1u);
    g_pfnMscGetSyncStatus = g_pfnMscSetSyncStatusCb = [](void *arg) { return g_hookArg = arg, g_hookAnswer; };
    for (uint32_t answer : {0x55u, OS_MSG_OK, OS_MSG_ERR_FAIL}) {
        g_hookAnswer = answer;
        EXPECT_TRUE(OsMscGetSyncStatus(&value) == answer && g_hookArg == &value) << answer;
        EXPECT_TRUE(OsMscSetSyncStatusCallback(&answer) == answer && g_hookArg == &answer) << answer;
    }
    EXPECT_EQ(capture.Count("register msc sync status callback fail.", OS_MSG_LOG_ERROR), 2u);
    g_pfnMscGetSyncStatus = g_pfnMscSetSyncStatusCb = nullptr;
}

} // namespace

/*
 * Channel layer: type conversions in the mscBlock word, payload rules of
 * channel memory, fixed entry points and the synchronisation-status hooks.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "msc/msg_msc.h"
#include "support/log_capture.h"
#include "vyre_os_msg.h"

namespace {

uint32_t Block(uint32_t high, uint32_t chanType, uint32_t memType) {
    return (high & ~0x7FU) | (chanType << 4) | memType;
}

TEST(MscChanType, ZeroToTwoMapToThemselvesAndThreeIsRefused) {
    LogCapture capture;
    for (uint8_t type = 0; type <= 2; ++type) {
        uint8_t out = 0xEE;
        EXPECT_EQ(MsgChanTypeOs2Msc(type, &out), OS_MSG_OK);
        EXPECT_EQ(out, type);
        out = 0xEE;
        EXPECT_EQ(MsgChanTypeMsc2Os(type, &out), OS_MSG_OK);
        EXPECT_EQ(out, type);
    }
    uint8_t out = 0xEE;
    EXPECT_EQ(MsgChanTypeOs2Msc(3, &out), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgChanTypeMsc2Os(3, &out), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgChanTypeMsc2Os(255, &out), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(out, 0xEE);
    EXPECT_EQ(capture.Count("invalid chanType [3].", OS_MSG_LOG_ERROR), 2u) << capture.Dump();
    EXPECT_EQ(capture.Count("invalid chanType [255].", OS_MSG_LOG_ERROR), 1u);
    EXPECT_EQ(MsgChanTypeOs2Msc(1, nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(capture.Count("invalid chanType [1].", OS_MSG_LOG_ERROR), 1u);
}

TEST(MscMemType, ConvertsBothWays) {
    struct Case {
        uint8_t in, toMsc, toOs;
    };
    // toMsc: local -> channel; toOs: the same value read as a channel type.
    const Case cases[] = {{0, 0, 0}, {1, 2, 7}, {2, 0, 1}, {3, 0, 0}, {7, 1, 0}, {15, 0, 0}, {255, 0, 0}};
    for (const Case &c : cases) {
        uint8_t out = 0xEE;
        EXPECT_EQ(MsgMemTypeOs2Msc(c.in, &out), OS_MSG_OK);
        EXPECT_EQ(out, c.toMsc) << "local " << (int)c.in;
        out = 0xEE;
        EXPECT_EQ(MsgMemTypeMsc2Os(c.in, &out), OS_MSG_OK);
        EXPECT_EQ(out, c.toOs) << "channel " << (int)c.in;
    }
    LogCapture capture;
    EXPECT_EQ(MsgMemTypeOs2Msc(1, nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgMemTypeMsc2Os(1, nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_TRUE(capture.Records().empty()) << capture.Dump();
}

class MscSendBlock : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&head_, 0, sizeof(head_));
        head_.data = payload_;
        head_.dataLen = sizeof(payload_);
    }
    char payload_[8] = {0};
    MsgHead head_;
    LogCapture capture_;
};

TEST_F(MscSendBlock, SharedMemoryLosesInlinePayloadAndSucceeds) {
    head_.mscBlock = Block(0xABCDE780u, 1, 7);
    EXPECT_EQ(MsgSetSendMscBlock(&head_), OS_MSG_OK);
    EXPECT_EQ(head_.mscBlock, Block(0xABCDE780u, 1, 1));
    EXPECT_EQ(head_.data, nullptr);
    EXPECT_EQ(head_.dataLen, 0u);
    EXPECT_EQ(capture_.Count("msc data cannot use data.", OS_MSG_LOG_WARN), 1u) << capture_.Dump();
}

TEST_F(MscSendBlock, TranslatedMemoryIsNotImplemented) {
    head_.mscBlock = Block(0xFFFFFF80u, 2, 1);
    EXPECT_EQ(MsgSetSendMscBlock(&head_), OS_MSG_ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(head_.mscBlock, Block(0xFFFFFF80u, 2, 2)) << "keeps the converted block";
    EXPECT_EQ(head_.data, nullptr);
    EXPECT_EQ(head_.dataLen, 0u);
    EXPECT_EQ(capture_.Count("msc data cannot use data.", OS_MSG_LOG_WARN), 1u);
    EXPECT_EQ(capture_.Count("msc vir2phy no implemention.", OS_MSG_LOG_ERROR), 1u);
}

TEST_F(MscSendBlock, OrdinaryMemoryKeepsPayloadAndPartialPayloadIsLeftAlone) {
    head_.mscBlock = Block(0x12345680u, 0, 4);
    EXPECT_EQ(MsgSetSendMscBlock(&head_), OS_MSG_OK);
    EXPECT_EQ(head_.mscBlock, Block(0x12345680u, 0, 0));
    EXPECT_EQ(head_.data, payload_);
    EXPECT_EQ(head_.dataLen, sizeof(payload_));

    head_.data = nullptr;
    head_.dataLen = 5;
    head_.mscBlock = Block(0, 2, 7);
    EXPECT_EQ(MsgSetSendMscBlock(&head_), OS_MSG_OK);
    EXPECT_EQ(head_.dataLen, 5u) << "cleared only when both data and dataLen are set";
    head_.data = payload_;
    head_.dataLen = 0;
    head_.mscBlock = Block(0, 2, 7);
    EXPECT_EQ(MsgSetSendMscBlock(&head_), OS_MSG_OK);
    EXPECT_EQ(head_.data, payload_);
    EXPECT_FALSE(capture_.Contains("msc data cannot use data."));
}

TEST_F(MscSendBlock, InvalidChannelTypeLeavesHeaderUnchanged) {
    head_.mscBlock = Block(0x80u, 3, 7);
    MsgHead before = head_;
    EXPECT_EQ(MsgSetSendMscBlock(&head_), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(memcmp(&before, &head_, sizeof(head_)), 0);
    EXPECT_EQ(capture_.Count("invalid chanType [3].", OS_MSG_LOG_ERROR), 1u);
    EXPECT_EQ(MsgSetSendMscBlock(nullptr), OS_MSG_ERR_INVALID_PARAM);
}

TEST(MscRecvBlock, ConvertsToLocalNumberingOrRefusesUnchanged) {
    LogCapture capture;
    uint32_t block = Block(0xDEADBE80u, 1, 1);
    EXPECT_EQ(MsgSetRecvMscBlock(&block), OS_MSG_OK);
    EXPECT_EQ(block, Block(0xDEADBE80u, 1, 7));

    block = Block(0xDEADBE80u, 0, 2);
    EXPECT_EQ(MsgSetRecvMscBlock(&block), OS_MSG_ERR_NOT_IMPLEMENTED);
    EXPECT_EQ(block, Block(0xDEADBE80u, 0, 2));
    EXPECT_EQ(capture.Count("msc vir2phy no implemention.", OS_MSG_LOG_ERROR), 1u);

    block = Block(0x80u, 5, 1);
    EXPECT_EQ(MsgSetRecvMscBlock(&block), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(block, Block(0x80u, 5, 1));

    block = Block(0x80u, 2, 9);
    EXPECT_EQ(MsgSetRecvMscBlock(&block), OS_MSG_OK);
    EXPECT_EQ(block, Block(0x80u, 2, 0));
    EXPECT_EQ(MsgSetRecvMscBlock(nullptr), OS_MSG_ERR_INVALID_PARAM);
}

TEST(MscRecvBlock, SendThenReceiveRestoresSharedMemoryBlocks) {
    LogCapture capture; // keeps the WARN lines off standard output
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    for (int i = 0; i < 200; ++i) {
        uint32_t high = random() & ~0x7FU;
        uint32_t chanType = random() % 3;
        uint32_t memType = (random() % 2 == 0) ? 7 : 0;
        MsgHead head = {};
        head.mscBlock = Block(high, chanType, memType);
        ASSERT_EQ(MsgSetSendMscBlock(&head), OS_MSG_OK) << "seed " << seed;
        ASSERT_EQ(MsgSetRecvMscBlock(&head.mscBlock), OS_MSG_OK) << "seed " << seed;
        EXPECT_EQ(head.mscBlock, Block(high, chanType, memType)) << "seed " << seed;
    }
}

TEST(MscEntryPoints, FixedAnswersOnThisPlatform) {
    LogCapture capture;
    EXPECT_EQ(MsgMscInit("proc"), OS_MSG_OK);
    EXPECT_EQ(MsgMscUninit("proc"), OS_MSG_OK);
    EXPECT_EQ(MsgMscInitHidl(), OS_MSG_OK);
    EXPECT_EQ(MsgAdpMscSendMsg(nullptr), OS_MSG_OK);
    EXPECT_EQ(MsgMscGetDefaultChanType(), 2u);
    EXPECT_EQ(MsgAdpMscRegHidlCallback("media"), OS_MSG_OK);
    EXPECT_EQ(capture.Count("]register procname[media].", OS_MSG_LOG_ERROR), 1u) << capture.Dump();
    EXPECT_EQ(MsgAdpMscRegHidlCallback(nullptr), OS_MSG_OK);

    const char empty[OS_MSG_NAME_LEN] = {0};
    EXPECT_EQ(memcmp(MsgGetBspTaskName(), empty, sizeof(empty)), 0);
    EXPECT_EQ(memcmp(MsgGetBspProcName(), empty, sizeof(empty)), 0);
}

class MscSyncStatus : public ::testing::Test {
protected:
    void TearDown() override {
        g_pfnMscGetSyncStatus = nullptr;
        g_pfnMscSetSyncStatusCb = nullptr;
    }
    static void *lastArg_;
    static uint32_t answer_;
    static int calls_;
    static uint32_t Hook(void *arg) {
        ++calls_;
        lastArg_ = arg;
        return answer_;
    }
    LogCapture capture_;
};
void *MscSyncStatus::lastArg_ = nullptr;
uint32_t MscSyncStatus::answer_ = 0;
int MscSyncStatus::calls_ = 0;

TEST_F(MscSyncStatus, WithoutHooksLogErrorAndReturnZero) {
    int value = 0;
    EXPECT_EQ(OsMscGetSyncStatus(&value), OS_MSG_OK);
    EXPECT_EQ(OsMscSetSyncStatusCallback(&value), OS_MSG_OK);
    EXPECT_EQ(capture_.Count("]MsgMscGetSyncStatus has no implemention.", OS_MSG_LOG_ERROR), 1u) << capture_.Dump();
    EXPECT_EQ(capture_.Count("]SetMscSyncStatusCb has no implemention.", OS_MSG_LOG_ERROR), 1u);
}

TEST_F(MscSyncStatus, InstalledHooksGetTheArgumentAndGiveTheResult) {
    int value = 0;
    answer_ = 0x55;
    g_pfnMscGetSyncStatus = &Hook;
    EXPECT_EQ(OsMscGetSyncStatus(&value), 0x55u);
    EXPECT_EQ(lastArg_, &value);
    EXPECT_EQ(calls_, 1);

    g_pfnMscSetSyncStatusCb = &Hook;
    answer_ = OS_MSG_OK;
    EXPECT_EQ(OsMscSetSyncStatusCallback(&answer_), OS_MSG_OK);
    EXPECT_EQ(lastArg_, &answer_);
    answer_ = OS_MSG_ERR_FAIL;
    EXPECT_EQ(OsMscSetSyncStatusCallback(nullptr), OS_MSG_ERR_FAIL);
    EXPECT_EQ(calls_, 3);
    EXPECT_EQ(capture_.Count("register msc sync status callback fail.", OS_MSG_LOG_ERROR), 1u) << capture_.Dump();
    EXPECT_FALSE(capture_.Contains("no implemention."));
}

} // namespace

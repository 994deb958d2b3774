// Channel layer: type conversions in the mscBlock word, payload rules of
// channel memory and the synchronisation-status hooks; the CPU configuration
// file's rules and CPU id mapping.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <tuple>

#include "msc/msg_cpu_cfg.h"
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
    LogCapture quiet;
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

// Each file gives its result and cpunum (99 before: unchanged); log, when
// given as "function:text", is a line of that function at level.
TEST(CpuCfgFile, LineRulesAndCpuNumLimits) {
    constexpr uint32_t kFail = OS_MSG_ERR_SYSTEM, kOk = OS_MSG_OK, kDebug = 0, kInfo = 1, kError = 3;
    // A "cpunum" line of total characters, its line feed included, with value 7.
    auto Line = [](size_t total) { return "cpunum:" + std::string(total - 9, ' ') + "7\n"; };
    using Case = std::tuple<std::string, uint32_t, uint32_t, const char *, uint32_t>;
    const Case cases[] = {
        {"# two CPUs\n", kOk, 99, "MsgCpuIsNoChar:start with annotation.", kDebug},
        {"\n \t\r\ncpunum: 2\n", kOk, 2, "MsgCpuIsNoChar:all invalid char.", kDebug},
        {"cpunum:3\r\n", kOk, 3, "MsgCpuParseCpuNum:cpunum : 3.", kInfo},
        {"::cpunum:4\n", kOk, 4, "MsgCpuIsNoChar:got valid char.", kDebug},
        {Line(510), kOk, 7, nullptr, 0},
        {Line(511).substr(0, 510), kOk, 7, nullptr, 0}, // 510 characters without a line feed
        {Line(511), kFail, 99, "MsgCpuParseFile:line too long.", kError},
        {Line(512).substr(0, 511), kFail, 99, nullptr, 0},
        {"#" + std::string(509, 'c') + "\n", kFail, 99, "MsgCpuParseCpuCfgFile:parse cpu file failed.", kError},
        {"cpunum:5\n" + std::string(3000, 'x') + "\ncpunum:6\n", kFail, 5, nullptr, 0},
        {"cpunum:256\n", kOk, 256, nullptr, 0},
        {"cpunum:257\n", kFail, 99, "MsgCpuParseCpuNum:cpunum error : 257.", kError},
        {"cpunum:99999999999999999999999999\n", kFail, 99, "MsgCpuParseCpuNum:cpunum error : 2147483647.", kError},
        {"cpunum:4294967298\n", kFail, 99, nullptr, 0}, // must not wrap to 2
        {"cpunum: abc\n", kOk, 0, nullptr, 0},
        {"cpunum:12ab34\n", kOk, 12, nullptr, 0},
        {std::string("cpunum:6\0 9\n", 12), kOk, 6, nullptr, 0},
        {"cpunum :2\n", kFail, 99, "MsgCpuParseFile:parse line error.", kError}, // the key ends in a space
        {" cpunum:2\n", kFail, 99, nullptr, 0},
        {"cpunum\n", kFail, 99, nullptr, 0},
        {std::string("cpu\0num:2\n", 10), kFail, 99, nullptr, 0}, // a NUL is content
        {std::string("\0\n", 2), kFail, 99, nullptr, 0},
        {":::\n", kFail, 99, "MsgCpuParseLine:find key error.", kError},
        {"cpunum:4\nthreads:8\ncpunum:9\n", kFail, 4, nullptr, 0}, // stops at the failing line
    };
    std::string path = testing::TempDir() + "cpu_cfg_XXXXXX";
    int fd = mkstemp(&path[0]);
    for (const auto &[content, result, count, log, level] : cases) {
        SCOPED_TRACE(content.substr(0, 40));
        ASSERT_TRUE(ftruncate(fd, 0) == 0 && pwrite(fd, content.data(), content.size(), 0) >= 0);
        LogCapture capture;
        cpunum = 99;
        EXPECT_EQ(MsgCpuParseCpuCfgFile(path.c_str()), result);
        EXPECT_EQ(cpunum, count);
        std::string expected = log != nullptr ? log : ":", function = expected.substr(0, expected.find(':'));
        std::string text = expected.substr(function.size() + 1);
        EXPECT_TRUE(log == nullptr || capture.Count("[" + function + ":", level) * capture.Count("]" + text, level) > 0)
            << capture.Dump();
    }
    close(fd);
    unlink(path.c_str());
    cpunum = 0;
}

TEST(CpuCfg, MissingFileKeepsTheCountAndNoVirtualIdIsFound) {
    LogCapture capture;
    EXPECT_EQ(MsgCpuParseCpuCfgFile(nullptr) & MsgCpuParseFile(nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(capture.Count("[MsgCpuParseCpuCfgFile:") * capture.Count("]not found cpu cfg file.", 3), 1u);
    cpunum = MSG_CPU_MAX_NUM; // every row is there, none is valid on this platform
    EXPECT_EQ(MsgCpuCfgInit(), OS_MSG_OK) << "no file is supplied on this platform";
    EXPECT_EQ(cpunum, MSG_CPU_MAX_NUM);
    EXPECT_EQ(capture.Count("]open cpu cfg file failed.", OS_MSG_LOG_ERROR), 1u) << capture.Dump();
    EXPECT_EQ(capture.Count("]cpu cfg init failed. " + std::to_string(OS_MSG_ERR_SYSTEM), OS_MSG_LOG_ERROR), 1u);
    capture.Clear();
    uint32_t out = 77;
    EXPECT_EQ(MsgCpuGetVirtualCpuID(0, &out) & MsgCpuGetVirtualCpuID(0, nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(out, 77u);
    EXPECT_EQ(MsgGetLocalCpuID() + MsgCpuGetRealCpuID(0xFFFFFFFFu, &out), 0u);
    EXPECT_EQ(out, 0u) << "every real id is 0";
    EXPECT_EQ(MsgCpuGetRealCpuID(1, nullptr), OS_MSG_ERR_INVALID_PARAM);
    ASSERT_EQ(capture.Records().size(), 1u) << "the virtual lookups fail silently";
    EXPECT_EQ(capture.Count("invalid param", OS_MSG_LOG_ERROR), 1u);
    cpunum = 0;
}

} // namespace

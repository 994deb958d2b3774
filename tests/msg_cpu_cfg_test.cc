/*
 * CPU configuration file rules and CPU id mapping.
 */
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "msc/msg_cpu_cfg.h"
#include "support/log_capture.h"

namespace {

// A configuration file with the given bytes, removed at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string &content) {
        const char *dir = getenv("TMPDIR");
        path_ = std::string(dir != nullptr ? dir : "/tmp") + "/cpu_cfg_XXXXXX";
        int fd = mkstemp(&path_[0]);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
        close(fd);
    }
    ~TempFile() { unlink(path_.c_str()); }
    const char *Path() const { return path_.c_str(); }

private:
    std::string path_;
};

// True when a library line of the given level names function and carries text.
bool Logged(const LogCapture &capture, const std::string &function, const std::string &text, uint32_t level) {
    for (const LogRecord &r : capture.Records()) {
        if (!r.platform && r.level == level && r.text.find("[" + function + ":") != std::string::npos &&
            r.text.find("]" + text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class CpuCfgFile : public ::testing::Test {
protected:
    void SetUp() override { cpunum = 0; }
    void TearDown() override { cpunum = 0; }

    uint32_t Parse(const std::string &content) {
        TempFile file(content);
        return MsgCpuParseCpuCfgFile(file.Path());
    }
    LogCapture capture_;
};

TEST_F(CpuCfgFile, SkipsCommentsAndBlankLinesAndReadsCpuNum) {
    EXPECT_EQ(Parse("# two CPUs\n\n \t\r\ncpunum: 2\n"), OS_MSG_OK) << capture_.Dump();
    EXPECT_EQ(cpunum, 2u);
    EXPECT_TRUE(Logged(capture_, "MsgCpuIsNoChar", "start with annotation.", OS_MSG_LOG_DEBUG));
    EXPECT_TRUE(Logged(capture_, "MsgCpuIsNoChar", "all invalid char.", OS_MSG_LOG_DEBUG));
    EXPECT_TRUE(Logged(capture_, "MsgCpuIsNoChar", "got valid char.", OS_MSG_LOG_DEBUG));
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseCpuNum", "cpunum :  2.", OS_MSG_LOG_INFO)) << capture_.Dump();

    EXPECT_EQ(Parse("cpunum:3\r\n"), OS_MSG_OK);
    EXPECT_EQ(cpunum, 3u);
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseCpuNum", "cpunum : 3.", OS_MSG_LOG_INFO)) << capture_.Dump();
    EXPECT_EQ(Parse("cpunum:9"), OS_MSG_OK) << "last line without a line end";
    EXPECT_EQ(cpunum, 9u);
    EXPECT_EQ(Parse(""), OS_MSG_OK);
    EXPECT_EQ(cpunum, 9u);
    EXPECT_EQ(Parse("::cpunum:4\n"), OS_MSG_OK) << "colons before the key are skipped";
    EXPECT_EQ(cpunum, 4u);
}

TEST_F(CpuCfgFile, LinesUpTo510CharactersWithLineEndPass) {
    // "cpunum:" + padding + "7" + "\n": leading spaces of the value are skipped.
    auto line = [](size_t total) { return "cpunum:" + std::string(total - 9, ' ') + "7\n"; };
    EXPECT_EQ(Parse(line(510)), OS_MSG_OK) << capture_.Dump();
    EXPECT_EQ(cpunum, 7u);
    EXPECT_EQ(Parse("#" + std::string(508, 'c') + "\n"), OS_MSG_OK);
    EXPECT_EQ(Parse("cpunum:" + std::string(502, ' ') + "8"), OS_MSG_OK) << "510 characters, no line end";
    EXPECT_EQ(cpunum, 8u);

    cpunum = 0;
    capture_.Clear();
    EXPECT_EQ(Parse(line(511)), OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(cpunum, 0u);
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseFile", "line too long.", OS_MSG_LOG_ERROR)) << capture_.Dump();
    EXPECT_FALSE(capture_.Contains("parse line error."));
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseCpuCfgFile", "parse cpu file failed.", OS_MSG_LOG_ERROR));

    EXPECT_EQ(Parse("#" + std::string(509, 'c') + "\n"), OS_MSG_ERR_SYSTEM) << "a long comment fails too";
    EXPECT_EQ(Parse("cpunum:" + std::string(503, ' ') + "8"), OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(Parse("cpunum:5\n" + std::string(3000, 'x') + "\ncpunum:6\n"), OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(cpunum, 5u);
}

TEST_F(CpuCfgFile, CpuNumAcceptsUpTo256) {
    EXPECT_EQ(Parse("cpunum:256\n"), OS_MSG_OK);
    EXPECT_EQ(cpunum, 256u);

    EXPECT_EQ(Parse("cpunum:257\n"), OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(cpunum, 256u);
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseCpuNum", "cpunum error : 257.", OS_MSG_LOG_ERROR)) << capture_.Dump();
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseFile", "parse line error.", OS_MSG_LOG_ERROR));

    EXPECT_EQ(Parse("cpunum:99999999999999999999999999\n"), OS_MSG_ERR_SYSTEM);
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseCpuNum", "cpunum error : 2147483647.", OS_MSG_LOG_ERROR));
    EXPECT_EQ(Parse("cpunum:4294967298\n"), OS_MSG_ERR_SYSTEM) << "must not wrap to 2";
    EXPECT_EQ(cpunum, 256u);
}

TEST_F(CpuCfgFile, ValueWithoutDigitsSetsZero) {
    cpunum = 5;
    EXPECT_EQ(Parse("cpunum: abc\n"), OS_MSG_OK);
    EXPECT_EQ(cpunum, 0u);
    cpunum = 5;
    EXPECT_EQ(Parse("cpunum:\n"), OS_MSG_OK);
    EXPECT_EQ(cpunum, 0u);
    cpunum = 5;
    EXPECT_EQ(Parse("cpunum:-3\n"), OS_MSG_OK) << "a sign is not a digit";
    EXPECT_EQ(cpunum, 0u);
    EXPECT_EQ(Parse("cpunum:12ab34\n"), OS_MSG_OK);
    EXPECT_EQ(cpunum, 12u);
}

TEST_F(CpuCfgFile, KeyIsTakenExactly) {
    EXPECT_EQ(Parse("cpunum :2\n"), OS_MSG_ERR_SYSTEM) << "the key ends in a space";
    EXPECT_EQ(cpunum, 0u);
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseFile", "parse line error.", OS_MSG_LOG_ERROR));
    EXPECT_EQ(Parse(" cpunum:2\n"), OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(Parse("CPUNUM:2\n"), OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(Parse("cpunum\n"), OS_MSG_ERR_SYSTEM) << "a key without a colon has no value";
    EXPECT_EQ(Parse(std::string("cpu\0num:2\n", 10)), OS_MSG_ERR_SYSTEM) << "a NUL is content";
    EXPECT_EQ(Parse(std::string("\0\n", 2)), OS_MSG_ERR_SYSTEM) << "a line of a NUL is not blank";
    EXPECT_EQ(cpunum, 0u);

    capture_.Clear();
    EXPECT_EQ(Parse(":::\n"), OS_MSG_ERR_SYSTEM);
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseLine", "find key error.", OS_MSG_LOG_ERROR)) << capture_.Dump();

    EXPECT_EQ(Parse(std::string("cpunum:6\0 9\n", 12)), OS_MSG_OK);
    EXPECT_EQ(cpunum, 6u);
}

TEST_F(CpuCfgFile, StopsAtTheFirstFailingLineKeepingEarlierValues) {
    EXPECT_EQ(Parse("cpunum:4\nthreads:8\ncpunum:9\n"), OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(cpunum, 4u);
    EXPECT_EQ(capture_.Count("cpunum : "), 1u) << "the line after the failure is not read";
}

TEST_F(CpuCfgFile, MissingFileAndMissingPath) {
    EXPECT_EQ(MsgCpuParseCpuCfgFile("/nonexistent/cpu.cfg"), OS_MSG_ERR_SYSTEM);
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseCpuCfgFile", "open cpu cfg file failed.", OS_MSG_LOG_ERROR));
    EXPECT_EQ(MsgCpuParseCpuCfgFile(nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseCpuCfgFile", "not found cpu cfg file.", OS_MSG_LOG_ERROR));
    EXPECT_EQ(MsgCpuParseFile(nullptr), OS_MSG_ERR_INVALID_PARAM);
}

TEST_F(CpuCfgFile, InitAlwaysSucceedsAndKeepsTheCount) {
    cpunum = 5;
    EXPECT_EQ(MsgCpuCfgInit(), OS_MSG_OK);
    EXPECT_EQ(cpunum, 5u);
    EXPECT_TRUE(Logged(capture_, "MsgCpuParseCpuCfgFile", "open cpu cfg file failed.", OS_MSG_LOG_ERROR));
    EXPECT_TRUE(Logged(capture_, "MsgCpuCfgInit", "cpu cfg init failed. " + std::to_string(OS_MSG_ERR_SYSTEM),
                       OS_MSG_LOG_ERROR))
        << capture_.Dump();
    EXPECT_TRUE(Logged(capture_, "MsgCpuCfgInit", "get cpunum:5, cpu1=0, cpu2=0\r\n", OS_MSG_LOG_DEBUG));
}

TEST(CpuIds, EveryIdMapsToCpuZero) {
    EXPECT_EQ(MsgGetLocalCpuID(), 0u);
    for (uint32_t id : {0u, 1u, 7u, 256u, 0xFFFFFFFFu}) {
        uint32_t out = 0xA5A5A5A5u;
        EXPECT_EQ(MsgCpuGetRealCpuID(id, &out), OS_MSG_OK);
        EXPECT_EQ(out, 0u);
    }
    uint32_t inPlace = 3;
    EXPECT_EQ(MsgCpuGetRealCpuID(inPlace, &inPlace), OS_MSG_OK);
    EXPECT_EQ(inPlace, 0u);
    LogCapture capture;
    EXPECT_EQ(MsgCpuGetRealCpuID(1, nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(capture.Count("invalid param", OS_MSG_LOG_ERROR), 1u);
}

TEST(CpuIds, VirtualIdLookupFailsWithoutValidRows) {
    LogCapture capture;
    uint32_t out = 77;
    cpunum = 0;
    EXPECT_EQ(MsgCpuGetVirtualCpuID(0, &out), OS_MSG_ERR_INVALID_PARAM);
    cpunum = MSG_CPU_MAX_NUM;
    EXPECT_EQ(MsgCpuGetVirtualCpuID(0, &out), OS_MSG_ERR_INVALID_PARAM) << "zero rows are not valid";
    EXPECT_EQ(MsgCpuGetVirtualCpuID(1, &out), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgCpuGetVirtualCpuID(0, nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(out, 77u);
    EXPECT_TRUE(capture.Records().empty()) << capture.Dump();
    cpunum = 0;
}

} // namespace

// The library's log line: layout, length limit, level filter, sinks, whole lines from many threads.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "log/msg_log.h"
#include "support/log_capture.h"
#include "support/threads.h"

namespace {

const std::regex kLineShape(R"(^\[(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})\.\d{3}\+08:00\])"
                            R"(\[(DEBUG|INFO |WARN |ERROR|FATAL)\]\[P:(\d+)/T:(\d+)\]\[([^:\]]+):(\d+)\](.*)\r$)");

TEST(MsgLogLine, HasTimeLevelIdsFunctionLineAndMessageWithinTheLengthLimit) {
    LogCapture capture;
    for (uint32_t level = 0; level <= 4; ++level) {
        MsgOutput(level, "SomeOperation", 1234 + level, "value %d of %s", 7, "x");
    }
    const uint32_t macroLine = __LINE__ + 1;
    MSG_LOG(OS_MSG_LOG_FATAL, "macro %u", 5u);
    const std::string ids = "][P:" + std::to_string(getpid()) + "/T:" + std::to_string(syscall(SYS_gettid)) + "][";
    const std::string names[] = {"DEBUG", "INFO ", "WARN ", "ERROR", "FATAL"};
    std::vector<LogRecord> lines = capture.Records();
    ASSERT_EQ(lines.size(), 6u);
    for (uint32_t i = 0; i < 6; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i].text, m, kLineShape)) << lines[i].text;
        struct tm stamp = {};
        strptime(m[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &stamp);
        stamp.tm_isdst = -1;
        EXPECT_NEAR(mktime(&stamp), time(nullptr), 60) << "local time, not another zone's";
        EXPECT_EQ(lines[i].level, std::min(i, 4u));
        std::string expected = i < 5 ? names[i] + ids + "SomeOperation:" + std::to_string(1234 + i) + "]value 7 of x"
                                     : "FATAL" + ids + "TestBody:" + std::to_string(macroLine) + "]macro 5";
        EXPECT_EQ(lines[i].text.substr(m.position(2)), expected + "\r") << "the macro names the calling function";
    }

    // Up to 767 characters a line ends in "\r" while room remains; longer ones and overlong prefixes are dropped.
    capture.Clear();
    MsgOutput(OS_MSG_LOG_ERROR, "Len", 100, "%s", ""); // the same prefix as every line below
    const std::string prefix = capture.Records().at(0).text.substr(0, capture.Records()[0].text.size() - 1);
    for (size_t total : {766, 767, 768, 5000}) {
        MsgOutput(OS_MSG_LOG_ERROR, "Len", 100, "%s", std::string(total - prefix.size(), 'm').c_str());
    }
    testing::internal::CaptureStdout();
    MsgOutput(OS_MSG_LOG_ERROR, std::string(800, 'n').c_str(), 1, "x");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "secure func error.");
    lines = capture.Records();
    ASSERT_EQ(lines.size(), 3u);
    // The time stamp has a fixed width but may tick between lines: compare what follows it.
    auto afterTime = [](const std::string &line) { return line.substr(line.find(']')); };
    EXPECT_EQ(lines[1].text.size(), 767u);
    EXPECT_EQ(afterTime(lines[1].text), afterTime(prefix) + std::string(766 - prefix.size(), 'm') + "\r");
    EXPECT_EQ(lines[2].text.size(), 767u);
    EXPECT_EQ(afterTime(lines[2].text), afterTime(prefix) + std::string(767 - prefix.size(), 'm'));
    char small[10];
    MsgGetCurTime(small, sizeof(small));
    EXPECT_EQ(capture.Count("[MsgGetCurTime][") + capture.Count("]:secure func error.", OS_LOG_ERROR), 2u);
}

std::string g_passed; // the levels of the lines a sink received, in order

TEST(MsgLogFilter, PassesFromTheThresholdUpToFatalAndIgnoresBadThresholds) {
    OsMsgRegLogFunc([](uint32_t level, const char *) { g_passed += std::to_string(level); }); // replaces the default
    int evaluated = 0;
    MSG_LOG(OS_MSG_LOG_WARN, "%d", ++evaluated);
    OsLogSetLevel(OS_LOG_WARN);
    OS_MSG_LOG(OS_LOG_INFO, "%d", ++evaluated); // a platform record below the platform's level
    EXPECT_EQ(evaluated, 0) << "a filtered line evaluates no argument";
    const std::pair<uint32_t, std::string> thresholdAndPassingLevels[] = {
        {5, "34"}, {0xFFFFFFFFu, "34"}, {0, "01234"}, {4, "4"}, {1, "1234"}};
    for (const auto &c : thresholdAndPassingLevels) {
        (c.first % 2 == 0 ? MsgSetLogLevel : OsMsgSetLogLevel)(c.first);
        g_passed.clear();
        for (uint32_t level : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 0xFFFFFFFFu}) {
            MsgOutput(level, "f", 1, "level %u", level);
        }
        EXPECT_EQ(g_passed, c.second) << "set to " << c.first << "; 5 and above leave the default, 3";
    }
    MsgSetLogFunc(&MsgDefaultLogFunc);
}

TEST(MsgLogSink, DefaultWritesTaggedLinesToStandardErrorWithinItsBuffer) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    MsgDefaultLogFunc(4, "some text");
    MsgDefaultLogFunc(3, std::string(999, 'y').c_str()); // 24 + 999 characters leave no room for the NUL in 1023
    MsgOutput(OS_MSG_LOG_ERROR, "Op", 9, "hello");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("[vyre_os_msg]: level[4]:some text\n[vyre_os_msg]: level[3]:[", 0), 0u) << err;
    EXPECT_EQ(err.substr(err.size() - 12), "[Op:9]hello\n") << "one line each, ended by one line feed";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[vyre_os_msg]: sprintf_s fail!\n") << "the failure note alone";
}

TEST(MsgLogConcurrency, LinesFromManyThreadsArriveWhole) {
    LogCapture capture;
    RunOnThreads(4, [&](uint32_t t) {
        for (int i = 0; i < 200; ++i) {
            MsgOutput(OS_MSG_LOG_ERROR, "Worker", t, "%s", std::string(100 + t * 50, 'a' + t).c_str());
        }
    });
    EXPECT_EQ(capture.Count("[Worker:"), 800u);
    for (const LogRecord &line : capture.Records()) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line.text, m, kLineShape)) << line.text;
        EXPECT_NE(m[4].str(), m[3].str()) << "a worker's thread id is not the process id";
        uint32_t t = std::stoul(m[6].str());
        EXPECT_EQ(m[7].str(), std::string(100 + t * 50, static_cast<char>('a' + t)));
    }
}

} // namespace

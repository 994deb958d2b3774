// The library's log line: layout, length limit, level filter, sinks, whole
// lines from many threads. One control for every record: the application's
// sink and level govern the platform records too (a platform sink keeps its
// own), a silenced program writes nothing but the start-up line, and every
// result code has a name and a meaning.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "log/msg_log.h"
#include "support/log_capture.h"
#include "support/msg_test_task.h"
#include "support/threads.h"
#include "vyre_os_log.h"
#include "vyre_os_msg.h"

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

std::mutex g_linesLock;
std::vector<LogRecord> g_lines;    // what the application's sink got
std::vector<LogRecord> g_platform; // what a platform sink got

void AppSink(uint32_t level, const char *line) {
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines.push_back({level, line, false});
}

void PlatformSink(uint32_t level, const char *, const char *text) {
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_platform.push_back({level, text, true});
}

void ClearLines() {
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines.clear();
    g_platform.clear();
}

size_t CountIn(const std::vector<LogRecord> &lines, const std::string &needle) {
    std::lock_guard<std::mutex> lock(g_linesLock);
    return std::count_if(lines.begin(), lines.end(),
                         [&](const LogRecord &l) { return l.text.find(needle) != l.text.npos; });
}

// Fills task "idle" (queue 4, no thread serves it), unregisters a task that
// does not exist and calls "idle", which never answers.
void MakeTrouble() {
    ASSERT_EQ(OsMsgRegTask("idle", 4U, [](MsgHead *) { return 0U; }), OS_MSG_OK);
    for (uint32_t id = 1; id <= 5; ++id) {
        MsgHead head = MakeHead("logs", "idle", id);
        EXPECT_EQ(OsMsgAsynSend(&head), id <= 4U ? OS_MSG_OK : OS_MSG_ERR_FULL);
    }
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, "nope"), OS_MSG_ERR_NOT_FOUND);
    ASSERT_EQ(OsMsgRegTask("deaf", 4U, [](MsgHead *) { return 0U; }), OS_MSG_OK);
    MsgHead head = MakeHead("logs", "deaf", 7);
    MsgHead *resp = nullptr;
    EXPECT_EQ(OsMsgSynSend(&head, &resp, 50U), OS_MSG_ERR_TIMEOUT);
}

TEST(LogControl, OwnSinkAtWarnGetsThePlatformRecordsAsLibraryLinesAndStandardErrorStaysEmpty) {
    testing::internal::CaptureStderr();
    OsMsgRegLogFunc(AppSink);
    OsMsgSetLogLevel(OS_MSG_LOG_WARN);
    ASSERT_EQ(OsMsgInit("logs"), OS_MSG_OK);
    MakeTrouble();
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // The records the platform log wrote to standard error before.
    EXPECT_EQ(CountIn(g_lines, "]simple msg full. recvPro=logs,recvTask=idle, sendPro=logs,sendTask=T"), 1U);
    EXPECT_EQ(CountIn(g_lines, "(no thread serves this task yet)"), 1U);
    EXPECT_EQ(CountIn(g_lines, "task[idle] has 2 of 4 messages queued and no thread has served it yet"), 1U)
        << "once, when the queue first fills to half";
    EXPECT_EQ(CountIn(g_lines, "]unreg[nope] not exist."), 1U);
    EXPECT_EQ(CountIn(g_lines, "timed out calling task[deaf], which no thread serves."), 1U);
    EXPECT_EQ(CountIn(g_lines, "]wait syn thread msg error ret=-2147352556. 0x80020014(OS_MSG_ERR_TIMEOUT)"), 1U);
    const std::regex shape(R"(^\[[^\]]+\]\[(WARN |ERROR|FATAL)\]\[P:\d+/T:\d+\]\[\w+:\d+\][^\r\n]*\r$)");
    std::lock_guard<std::mutex> lock(g_linesLock);
    for (const LogRecord &l : g_lines) {
        EXPECT_GE(l.level, OS_MSG_LOG_WARN) << l.text;
        EXPECT_TRUE(std::regex_match(l.text, shape)) << "one shape of line, the library's own line end: " << l.text;
    }
}

TEST(LogControl, NullSinkAndFatalLeaveNothingButTheStartUpLine) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    OsMsgRegLogFunc(nullptr);
    OsMsgSetLogLevel(OS_MSG_LOG_FATAL);
    ASSERT_EQ(OsMsgInit("logs"), OS_MSG_OK);
    MakeTrouble();
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    (void)fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "create pmsgBro\n");
}

TEST(LogControl, APlatformSinkKeepsThePlatformRecordsWhicheverWasSetFirst) {
    OsMsgSetLogLevel(OS_MSG_LOG_ERROR);
    OsLogSetLevel(OS_LOG_ERROR);
    ASSERT_EQ(OsMsgInit("logs"), OS_MSG_OK);
    for (bool platformFirst : {true, false}) {
        SCOPED_TRACE(platformFirst);
        OsLogSetSink(nullptr);
        OsMsgRegLogFunc(nullptr);
        (platformFirst ? OsLogSetSink(PlatformSink) : OsMsgRegLogFunc(AppSink));
        (platformFirst ? OsMsgRegLogFunc(AppSink) : OsLogSetSink(PlatformSink));
        ClearLines();
        EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, "nope"), OS_MSG_ERR_NOT_FOUND); // a platform record
        EXPECT_EQ(OsMsgUnregTask("other", 0U, "t"), OS_MSG_ERR_FAIL);         // a library line
        EXPECT_EQ(CountIn(g_platform, "unreg[nope] not exist."), 1U);
        EXPECT_EQ(CountIn(g_lines, "unreg[nope] not exist."), 0U);
        EXPECT_EQ(CountIn(g_lines, "no permission to execute unregtask!"), 1U);
    }
    OsLogSetSink(nullptr); // the application's sink takes them again
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, "nope"), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(CountIn(g_lines, "unreg[nope] not exist."), 1U);
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

TEST(ResultCodes, EveryCodeThePublicHeaderDefinesHasItsNameAndAMeaning) {
    std::ifstream header(VYRE_PUBLIC_HEADER);
    ASSERT_TRUE(header.good()) << VYRE_PUBLIC_HEADER;
    const std::regex define(R"(^#define (OS_MSG_(?:OK|ERR_[A-Z_]+)) (0x[0-9A-Fa-f]+)U\s*$)");
    std::set<std::string> texts;
    size_t codes = 0U;
    for (std::string line; std::getline(header, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, define)) {
            continue;
        }
        ++codes;
        const std::string text = OsMsgStrError(static_cast<uint32_t>(std::stoul(m[2].str(), nullptr, 16)));
        EXPECT_EQ(text.rfind(m[1].str() + ": ", 0), 0U) << text;
        EXPECT_GT(text.size(), m[1].str().size() + 10U) << "a meaning, not just the name: " << text;
        EXPECT_TRUE(texts.insert(text).second) << text;
    }
    EXPECT_EQ(codes, 25U) << "the walk found the header's codes";
    EXPECT_STREQ(OsMsgStrError(0x80020006U), "unknown result code");
    EXPECT_STREQ(OsMsgStrError(0xFFFFFFFFU), "unknown result code");
}

} // namespace

/*
 * The library's log line: layout, level filter, sink switching, the 767
 * character limit and whole lines under concurrent logging.
 */
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/msg_log.h"
#include "support/log_capture.h"
#include "vyre_os_msg.h"

namespace {

// The library's lines among the captured records, in order.
std::vector<LogRecord> Lines(const LogCapture &capture) {
    std::vector<LogRecord> lines;
    for (const LogRecord &r : capture.Records()) {
        if (!r.platform) {
            lines.push_back(r);
        }
    }
    return lines;
}

// time stamp, level name, pid, tid, function, line, message, "\r"
const std::regex kLineShape(R"(^\[(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.\d{3}\+08:00\])"
                            R"(\[(DEBUG|INFO |WARN |ERROR|FATAL)\]\[P:(\d+)/T:(\d+)\]\[([^:\]]+):(\d+)\](.*)\r$)");

long ThreadId() {
    return syscall(SYS_gettid);
}

// Runs fn with standard output redirected to a temporary file; returns what it printed.
template <typename Fn> std::string CaptureStdout(Fn fn) {
    fflush(stdout);
    FILE *tmp = tmpfile();
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    rewind(tmp);
    int c;
    while ((c = fgetc(tmp)) != EOF) {
        out.push_back((char)c);
    }
    fclose(tmp);
    return out;
}

TEST(MsgLogLine, HasTimeLevelIdsFunctionLineMessageAndCarriageReturn) {
    LogCapture capture;
    time_t before = time(nullptr);
    for (uint32_t level = 0; level <= 4; ++level) {
        MsgOutput(level, "SomeOperation", 1234 + level, "value %d of %s", 7, "x");
    }
    time_t after = time(nullptr);
    const uint32_t macroLine = __LINE__ + 1;
    MSG_LOG(OS_MSG_LOG_FATAL, "macro %u", 5u);

    const char *names[] = {"DEBUG", "INFO ", "WARN ", "ERROR", "FATAL"};
    std::vector<LogRecord> lines = Lines(capture);
    ASSERT_EQ(lines.size(), 6u);
    for (uint32_t level = 0; level <= 4; ++level) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[level].text, m, kLineShape)) << lines[level].text;
        EXPECT_EQ(lines[level].level, level);
        EXPECT_EQ(m[7].str(), names[level]);
        EXPECT_EQ(std::stol(m[8].str()), (long)getpid());
        EXPECT_EQ(std::stol(m[9].str()), ThreadId());
        EXPECT_EQ(m[10].str(), "SomeOperation");
        EXPECT_EQ(std::stoul(m[11].str()), 1234u + level);
        EXPECT_EQ(m[12].str(), "value 7 of x");

        struct tm stamp = {};
        stamp.tm_year = std::stoi(m[1].str()) - 1900;
        stamp.tm_mon = std::stoi(m[2].str()) - 1;
        stamp.tm_mday = std::stoi(m[3].str());
        stamp.tm_hour = std::stoi(m[4].str());
        stamp.tm_min = std::stoi(m[5].str());
        stamp.tm_sec = std::stoi(m[6].str());
        stamp.tm_isdst = -1;
        time_t logged = mktime(&stamp);
        EXPECT_GE(logged, before);
        EXPECT_LE(logged, after);
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[5].text, m, kLineShape)) << lines[5].text;
    EXPECT_EQ(m[10].str(), "TestBody") << "the macro names the calling function";
    EXPECT_EQ(std::stoul(m[11].str()), macroLine);
    EXPECT_EQ(m[12].str(), "macro 5");
}

TEST(MsgLogFilter, DefaultThresholdPassesErrorAndFatalOnly) {
    EXPECT_EQ(g_enLogLevel, OS_MSG_LOG_ERROR);
    LogCapture capture(OS_LOG_ERROR, OS_MSG_LOG_ERROR);
    for (uint32_t level = 0; level <= 6; ++level) {
        MsgOutput(level, "f", 1, "level %u", level);
    }
    MsgOutput(0xFFFFFFFFu, "f", 1, "top");
    std::vector<LogRecord> lines = Lines(capture);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 3u);
    EXPECT_EQ(lines[1].level, 4u);
}

TEST(MsgLogFilter, SetLevelAcceptsZeroToFourAndIgnoresTheRest) {
    LogCapture capture(OS_LOG_ERROR, OS_MSG_LOG_ERROR);
    MsgSetLogLevel(5);
    OsMsgSetLogLevel(0xFFFFFFFFu);
    EXPECT_EQ(g_enLogLevel, OS_MSG_LOG_ERROR);

    OsMsgSetLogLevel(OS_MSG_LOG_DEBUG);
    for (uint32_t level = 0; level <= 5; ++level) {
        MsgOutput(level, "f", 1, "level %u", level);
    }
    EXPECT_EQ(Lines(capture).size(), 5u) << "level 0 passes DEBUG to FATAL, never level 5";

    MsgSetLogLevel(OS_MSG_LOG_FATAL);
    MsgOutput(OS_MSG_LOG_ERROR, "f", 1, "dropped");
    MsgOutput(OS_MSG_LOG_FATAL, "f", 1, "kept");
    EXPECT_EQ(Lines(capture).size(), 6u);
    EXPECT_FALSE(capture.Contains("dropped"));
}

TEST(MsgLogFilter, FilteredMacroDoesNotEvaluateItsArguments) {
    LogCapture capture(OS_LOG_ERROR, OS_MSG_LOG_ERROR);
    int evaluated = 0;
    MSG_LOG(OS_MSG_LOG_WARN, "%d", ++evaluated);
    EXPECT_EQ(evaluated, 0);
    MSG_LOG(OS_MSG_LOG_ERROR, "%d", ++evaluated);
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(Lines(capture).size(), 1u);
}

TEST(MsgLogSink, NullSilencesAndANewSinkReplacesTheDefault) {
    {
        LogCapture capture;
        OsMsgRegLogFunc(nullptr);
        std::string printed = CaptureStdout([] { MsgOutput(OS_MSG_LOG_FATAL, "f", 1, "silenced"); });
        EXPECT_TRUE(printed.empty()) << printed;
        EXPECT_TRUE(Lines(capture).empty());
    }
    // The capture put the default sink back; a registered sink replaces it.
    OsMsgRegLogFunc([](uint32_t, const char *) {});
    std::string printed = CaptureStdout([] { MsgOutput(OS_MSG_LOG_FATAL, "f", 1, "elsewhere"); });
    MsgSetLogFunc(&MsgDefaultLogFunc);
    EXPECT_TRUE(printed.empty()) << printed;
}

TEST(MsgLogSink, DefaultSinkPrintsTaggedLineToStandardOutput) {
    EXPECT_EQ(CaptureStdout([] { MsgDefaultLogFunc(4, "some text"); }), "[vyre_os_msg]: level[4]:some text\n");

    std::string printed = CaptureStdout([] { MsgOutput(OS_MSG_LOG_ERROR, "Op", 9, "hello"); });
    const std::string tag = "[vyre_os_msg]: level[3]:";
    ASSERT_EQ(printed.rfind(tag, 0), 0u) << printed;
    std::string line = printed.substr(tag.size(), printed.size() - tag.size() - 1);
    EXPECT_TRUE(std::regex_match(line, kLineShape)) << line;

    // The sink formats into 1023 of its 1024 bytes; a longer text prints only the failure note.
    std::string longText(1024, 'y');
    EXPECT_EQ(CaptureStdout([&] { MsgDefaultLogFunc(3, longText.c_str()); }), "[vyre_os_msg]: sprintf_s fail!\n");
}

class MsgLogLength : public ::testing::Test {
protected:
    void SetUp() override {
        // An empty message gives the prefix plus "\r"; the prefix is the same
        // for every call below (same thread, function and line number).
        MsgOutput(OS_MSG_LOG_ERROR, "Len", 100, "%s", "");
        std::vector<LogRecord> lines = Lines(capture_);
        ASSERT_EQ(lines.size(), 1u);
        ASSERT_TRUE(std::regex_match(lines[0].text, kLineShape));
        prefixLen_ = lines[0].text.size() - 1;
    }
    // Logs a message that makes the line total characters long before "\r".
    void LogLineOf(size_t total) {
        std::string message(total - prefixLen_, 'm');
        MsgOutput(OS_MSG_LOG_ERROR, "Len", 100, "%s", message.c_str());
    }
    LogCapture capture_;
    size_t prefixLen_ = 0;
};

TEST_F(MsgLogLength, CarriageReturnOnlyWhileRoomRemainsAndLongerLinesAreDropped) {
    LogLineOf(766);
    LogLineOf(767);
    LogLineOf(768);
    LogLineOf(5000);
    std::vector<LogRecord> lines = Lines(capture_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].text.size(), 767u);
    EXPECT_EQ(lines[1].text.back(), '\r');
    EXPECT_EQ(lines[2].text.size(), 767u);
    EXPECT_EQ(lines[2].text.back(), 'm');
}

TEST_F(MsgLogLength, OverlongPrefixPrintsSecureFuncErrorWithoutSinkCall) {
    std::string name(800, 'n');
    EXPECT_EQ(CaptureStdout([&] { MsgOutput(OS_MSG_LOG_ERROR, name.c_str(), 1, "x"); }), "secure func error.");
    EXPECT_EQ(Lines(capture_).size(), 1u);
}

TEST(MsgLogTime, StampShapeAndFormattingFailure) {
    char stamp[64] = {0};
    MsgGetCurTime(stamp, sizeof(stamp));
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\+08:00)"))) << stamp;

    LogCapture capture;
    char small[10];
    memset(small, 'z', sizeof(small));
    MsgGetCurTime(small, sizeof(small));
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(capture.Count("[MsgGetCurTime]["), 1u) << capture.Dump();
    EXPECT_EQ(capture.Count("]:secure func error.\r\n", OS_LOG_ERROR), 1u) << capture.Dump();
}

TEST(MsgLogConcurrency, LinesFromManyThreadsArriveWhole) {
    LogCapture capture;
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 200;
    std::mutex gateMutex;
    std::condition_variable gate;
    bool open = false;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            {
                std::unique_lock<std::mutex> lock(gateMutex);
                gate.wait(lock, [&] { return open; });
            }
            std::string filler(100 + t * 50, (char)('a' + t));
            for (int i = 0; i < kLinesEach; ++i) {
                MsgOutput(OS_MSG_LOG_ERROR, "Worker", (uint32_t)t, "thread %d line %d %s", t, i, filler.c_str());
            }
        });
    }
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        open = true;
    }
    gate.notify_all();
    for (std::thread &th : threads) {
        th.join();
    }

    std::vector<LogRecord> lines = Lines(capture);
    ASSERT_EQ(lines.size(), (size_t)(kThreads * kLinesEach));
    std::set<std::pair<int, int>> seen;
    std::set<std::string> tids;
    const std::regex body(R"(thread (\d) line (\d+) ([a-z]+))");
    for (const LogRecord &line : lines) {
        std::smatch m, b;
        ASSERT_TRUE(std::regex_match(line.text, m, kLineShape)) << line.text;
        std::string message = m[12].str();
        ASSERT_TRUE(std::regex_match(message, b, body)) << message;
        int t = std::stoi(b[1].str());
        EXPECT_EQ(std::stoi(m[11].str()), t);
        EXPECT_EQ(b[3].str(), std::string(100 + t * 50, (char)('a' + t)));
        seen.insert({t, std::stoi(b[2].str())});
        tids.insert(m[9].str());
    }
    EXPECT_EQ(seen.size(), lines.size());
    EXPECT_EQ(tids.size(), (size_t)kThreads);
}

} // namespace

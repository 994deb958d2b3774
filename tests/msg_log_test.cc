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

struct Line {
    uint32_t level;
    std::string text;
};

// Records every line MsgOutput hands over; installed for one test at a time.
class RecordingSink {
public:
    RecordingSink() {
        active_ = this;
        MsgSetLogFunc(&RecordingSink::Sink);
    }
    ~RecordingSink() {
        MsgSetLogFunc(&MsgDefaultLogFunc);
        MsgSetLogLevel(OS_MSG_LOG_ERROR);
        active_ = nullptr;
    }
    std::vector<Line> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    static void Sink(uint32_t level, const char *line) {
        std::lock_guard<std::mutex> lock(active_->mutex_);
        active_->lines_.push_back(Line{level, line});
    }
    static RecordingSink *active_;
    std::mutex mutex_;
    std::vector<Line> lines_;
};
RecordingSink *RecordingSink::active_ = nullptr;

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
    RecordingSink sink;
    MsgSetLogLevel(OS_MSG_LOG_DEBUG);
    time_t before = time(nullptr);
    const char *names[] = {"DEBUG", "INFO ", "WARN ", "ERROR", "FATAL"};
    for (uint32_t level = 0; level <= 4; ++level) {
        MsgOutput(level, "SomeOperation", 1234 + level, "value %d of %s", 7, "x");
    }
    time_t after = time(nullptr);

    std::vector<Line> lines = sink.Lines();
    ASSERT_EQ(lines.size(), 5u);
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
}

TEST(MsgLogLine, MacroNamesTheCallingFunctionAndLine) {
    RecordingSink sink;
    const uint32_t expectedLine = __LINE__ + 1;
    MSG_LOG(OS_MSG_LOG_ERROR, "macro %u", 5u);
    std::vector<Line> lines = sink.Lines();
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0].text, m, kLineShape)) << lines[0].text;
    EXPECT_EQ(m[10].str(), "TestBody");
    EXPECT_EQ(std::stoul(m[11].str()), expectedLine);
    EXPECT_EQ(m[12].str(), "macro 5");
}

TEST(MsgLogFilter, DefaultThresholdPassesErrorAndFatalOnly) {
    EXPECT_EQ(g_enLogLevel, OS_MSG_LOG_ERROR);
    RecordingSink sink;
    for (uint32_t level = 0; level <= 6; ++level) {
        MsgOutput(level, "f", 1, "level %u", level);
    }
    MsgOutput(0xFFFFFFFFu, "f", 1, "top");
    std::vector<Line> lines = sink.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 3u);
    EXPECT_EQ(lines[1].level, 4u);
}

TEST(MsgLogFilter, SetLevelAcceptsZeroToFourAndIgnoresTheRest) {
    RecordingSink sink;
    MsgSetLogLevel(5);
    EXPECT_EQ(g_enLogLevel, OS_MSG_LOG_ERROR);
    OsMsgSetLogLevel(0xFFFFFFFFu);
    EXPECT_EQ(g_enLogLevel, OS_MSG_LOG_ERROR);

    OsMsgSetLogLevel(OS_MSG_LOG_DEBUG);
    EXPECT_EQ(g_enLogLevel, OS_MSG_LOG_DEBUG);
    for (uint32_t level = 0; level <= 5; ++level) {
        MsgOutput(level, "f", 1, "level %u", level);
    }
    EXPECT_EQ(sink.Lines().size(), 5u) << "level 0 passes DEBUG to FATAL, never level 5";

    MsgSetLogLevel(OS_MSG_LOG_FATAL);
    MsgOutput(OS_MSG_LOG_ERROR, "f", 1, "dropped");
    MsgOutput(OS_MSG_LOG_FATAL, "f", 1, "kept");
    std::vector<Line> lines = sink.Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_NE(lines[5].text.find("kept"), std::string::npos);
}

TEST(MsgLogFilter, FilteredMacroDoesNotEvaluateItsArguments) {
    RecordingSink sink;
    int evaluated = 0;
    auto count = [&evaluated] { return ++evaluated; };
    MSG_LOG(OS_MSG_LOG_WARN, "%d", count());
    EXPECT_EQ(evaluated, 0);
    MSG_LOG(OS_MSG_LOG_ERROR, "%d", count());
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(sink.Lines().size(), 1u);
}

TEST(MsgLogSink, NullSilencesAndANewSinkReplacesTheOldOne) {
    LogCapture capture; // also a sink, replaced below
    {
        RecordingSink sink;
        OsMsgRegLogFunc(nullptr);
        std::string printed = CaptureStdout([] { MsgOutput(OS_MSG_LOG_FATAL, "f", 1, "silenced"); });
        EXPECT_TRUE(printed.empty()) << printed;
        EXPECT_TRUE(sink.Lines().empty());
        EXPECT_FALSE(capture.Contains("silenced"));
    }
    // RecordingSink's destructor put the default sink back; a registered one replaces it.
    OsMsgRegLogFunc([](uint32_t, const char *) {});
    std::string printed = CaptureStdout([] { MsgOutput(OS_MSG_LOG_FATAL, "f", 1, "elsewhere"); });
    EXPECT_TRUE(printed.empty()) << printed;
}

TEST(MsgLogSink, DefaultSinkPrintsTaggedLineToStandardOutput) {
    std::string printed = CaptureStdout([] { MsgDefaultLogFunc(4, "some text"); });
    EXPECT_EQ(printed, "[vyre_os_msg]: level[4]:some text\n");

    std::string viaOutput = CaptureStdout([] { MsgOutput(OS_MSG_LOG_ERROR, "Op", 9, "hello"); });
    ASSERT_EQ(viaOutput.rfind("[vyre_os_msg]: level[3]:[", 0), 0u) << viaOutput;
    std::string line = viaOutput.substr(strlen("[vyre_os_msg]: level[3]:"));
    ASSERT_FALSE(line.empty());
    line.pop_back(); // the line feed added by the sink
    EXPECT_TRUE(std::regex_match(line, kLineShape)) << line;

    // The sink formats into 1023 of its 1024 bytes; a longer text only prints the failure note.
    std::string longText(1024, 'y');
    EXPECT_EQ(CaptureStdout([&] { MsgDefaultLogFunc(3, longText.c_str()); }), "[vyre_os_msg]: sprintf_s fail!\n");
}

class MsgLogLength : public ::testing::Test {
protected:
    void SetUp() override {
        // An empty message gives the prefix plus "\r"; the prefix is the same
        // for every call below (same thread, function and line number).
        MsgOutput(OS_MSG_LOG_ERROR, "Len", 100, "%s", "");
        std::vector<Line> lines = sink_.Lines();
        ASSERT_EQ(lines.size(), 1u);
        ASSERT_EQ(lines[0].text.back(), '\r');
        prefixLen_ = lines[0].text.size() - 1;
        ASSERT_TRUE(std::regex_match(lines[0].text, kLineShape));
    }
    // Logs a message that makes the line total characters long before "\r".
    void LogLineOf(size_t total) {
        std::string message(total - prefixLen_, 'm');
        MsgOutput(OS_MSG_LOG_ERROR, "Len", 100, "%s", message.c_str());
    }
    RecordingSink sink_;
    size_t prefixLen_ = 0;
};

TEST_F(MsgLogLength, CarriageReturnOnlyWhileRoomRemains) {
    LogLineOf(766);
    LogLineOf(767);
    std::vector<Line> lines = sink_.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].text.size(), 767u);
    EXPECT_EQ(lines[1].text.back(), '\r');
    EXPECT_EQ(lines[2].text.size(), 767u);
    EXPECT_EQ(lines[2].text.back(), 'm');
}

TEST_F(MsgLogLength, OverlongLineIsDroppedWhole) {
    LogLineOf(768);
    LogLineOf(5000);
    EXPECT_EQ(sink_.Lines().size(), 1u);
}

TEST_F(MsgLogLength, OverlongPrefixPrintsSecureFuncErrorWithoutSinkCall) {
    std::string name(800, 'n');
    std::string printed = CaptureStdout([&] { MsgOutput(OS_MSG_LOG_ERROR, name.c_str(), 1, "x"); });
    EXPECT_EQ(printed, "secure func error.");
    EXPECT_EQ(sink_.Lines().size(), 1u);
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
    RecordingSink sink;
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
            for (int i = 0; i < kLinesEach; ++i) {
                MsgOutput(OS_MSG_LOG_ERROR, "Worker", (uint32_t)t, "thread %d line %d %s", t, i,
                          std::string(100 + t * 50, 'a' + t).c_str());
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

    std::vector<Line> lines = sink.Lines();
    ASSERT_EQ(lines.size(), (size_t)(kThreads * kLinesEach));
    std::set<std::pair<int, int>> seen;
    std::set<std::string> tids;
    const std::regex body(R"(thread (\d) line (\d+) ([a-z]+))");
    for (const Line &line : lines) {
        std::smatch m, b;
        ASSERT_TRUE(std::regex_match(line.text, m, kLineShape)) << line.text;
        std::string message = m[12].str();
        ASSERT_TRUE(std::regex_match(message, b, body)) << message;
        int t = std::stoi(b[1].str());
        EXPECT_EQ(std::stoi(m[11].str()), t);
        EXPECT_EQ(b[3].str(), std::string(100 + t * 50, 'a' + t));
        seen.insert({t, std::stoi(b[2].str())});
        tids.insert(m[9].str());
    }
    EXPECT_EQ(seen.size(), lines.size());
    EXPECT_EQ(tids.size(), (size_t)kThreads);
}

} // namespace

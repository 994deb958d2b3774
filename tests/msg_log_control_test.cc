// One control for every record: the application's sink and level govern the
// platform records too (a platform sink keeps its own), a silenced program
// writes nothing but the start-up line, and every result code has a name and
// a meaning.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/msg_test_task.h"
#include "vyre_os_log.h"
#include "vyre_os_msg.h"

namespace {

struct Line {
    uint32_t level;
    std::string text;
};

std::mutex g_linesLock;
std::vector<Line> g_lines;    // what the application's sink got
std::vector<Line> g_platform; // what a platform sink got

void AppSink(uint32_t level, const char *line) {
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines.push_back({level, line});
}

void PlatformSink(uint32_t level, const char *, const char *text) {
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_platform.push_back({level, text});
}

void ClearLines() {
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines.clear();
    g_platform.clear();
}

size_t CountIn(const std::vector<Line> &lines, const std::string &needle) {
    std::lock_guard<std::mutex> lock(g_linesLock);
    size_t n = 0U;
    for (const Line &l : lines) {
        n += l.text.find(needle) != std::string::npos ? 1U : 0U;
    }
    return n;
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
    for (const Line &l : g_lines) {
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

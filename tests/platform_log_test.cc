// The platform log of the stand-in: level filter before the sink, what the
// sink receives, the line size, and the default sink on standard error.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "vyre_os_log.h"

namespace {

struct Record {
    uint32_t level;
    std::string tag;
    std::string text;
};

std::mutex g_recordsLock;
std::vector<Record> g_records; // guarded by g_recordsLock

void CollectingSink(uint32_t level, const char *tag, const char *text) {
    std::lock_guard<std::mutex> lock(g_recordsLock);
    g_records.push_back(Record{level, tag, text});
}

class PlatformLog : public ::testing::Test {
protected:
    void SetUp() override {
        g_records.clear();
        OsLogSetSink(CollectingSink);
    }
    void TearDown() override {
        OsLogSetSink(nullptr);
        OsLogSetLevel(OS_LOG_ERROR);
    }
};

TEST_F(PlatformLog, SinkReceivesLevelTagAndFormattedText) {
    OsLogSetLevel(OS_LOG_DEBUG);
    OsLogPrintf(OS_LOG_INFO, "OS_MSG", "[%s][%d]:task %s queue %u\r\n", "SimpleMsgPush", 77, "video", 1024U);
    ASSERT_EQ(g_records.size(), 1U);
    EXPECT_EQ(g_records[0].level, OS_LOG_INFO);
    EXPECT_EQ(g_records[0].tag, "OS_MSG");
    EXPECT_EQ(g_records[0].text, "[SimpleMsgPush][77]:task video queue 1024\r\n");
}

TEST_F(PlatformLog, RecordsBelowTheLevelNeverReachTheSink) {
    OsLogPrintf(OS_LOG_WARN, "T", "below the default level");
    EXPECT_TRUE(g_records.empty());
    OsLogSetLevel(OS_LOG_WARN);
    OsLogPrintf(OS_LOG_DEBUG, "T", "debug");
    OsLogPrintf(OS_LOG_INFO, "T", "info");
    EXPECT_TRUE(g_records.empty());
    OsLogPrintf(OS_LOG_WARN, "T", "warn");
    OsLogSetLevel(OS_LOG_FATAL);
    OsLogPrintf(OS_LOG_ERROR, "T", "error after raising the level");
    ASSERT_EQ(g_records.size(), 1U);
    EXPECT_EQ(g_records[0].text, "warn");
}

TEST_F(PlatformLog, LongRecordIsCutToTheLineSize) {
    std::string longText(3000, 'x');
    OsLogPrintf(OS_LOG_ERROR, "T", "%s", longText.c_str());
    ASSERT_EQ(g_records.size(), 1U);
    EXPECT_EQ(g_records[0].text, std::string(1023, 'x'));
}

// Runs fn with standard error redirected into a temporary file and returns
// what was written.
template <typename Fn> std::string CaptureStderr(Fn fn) {
    FILE *file = tmpfile();
    if (file == nullptr) {
        ADD_FAILURE() << "tmpfile failed";
        return "";
    }
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(fileno(file), STDERR_FILENO);
    fn();
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string out;
    rewind(file);
    char chunk[256];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        out.append(chunk, n);
    }
    fclose(file);
    return out;
}

TEST_F(PlatformLog, NullSinkRestoresTheStandardErrorLine) {
    OsLogSetSink(nullptr);
    OsLogSetLevel(OS_LOG_DEBUG);
    std::string out = CaptureStderr([] {
        OsLogPrintf(OS_LOG_WARN, "OS_MSG", "pool %d ready", 3);
        OsLogPrintf(OS_LOG_DEBUG, "TAG2", "second");
    });
    EXPECT_EQ(out, "[OS_MSG][WARN] pool 3 ready\n[TAG2][DEBUG] second\n");
    EXPECT_TRUE(g_records.empty()) << "the replaced sink still called";
}

} // namespace

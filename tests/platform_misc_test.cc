// The Annex K functions, the platform log and the process name of the
// platform stand-in.
#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "vyre_os_log.h"
#include "vyre_os_thread.h"
#include "vyre_securec.h"

namespace {

const char kSrc[] = "0123456789abcdef";
const size_t kHuge = VYRE_RSIZE_MAX + 1;
int g_written = 0;
long g_writtenLong = 0;

// Each violation is refused. The image gives the 16-byte destination per byte
// afterwards ('Z' cleared, 'F' untouched, '?' anything); its last character
// stands for the rest.
TEST(AnnexK, ViolationsAreRefusedAndClearWhatAnnexKClears) {
    struct Case {
        const char *what;
        std::function<bool(char *)> refused;
        const char *image;
    };
    const Case cases[] = {
        {"memcpy_s NULL dest", [](char *) { return memcpy_s(nullptr, 16, kSrc, 4) != 0; }, "F"},
        {"memcpy_s NULL src", [](char *d) { return memcpy_s(d, 16, nullptr, 4) != 0; }, "Z"},
        {"memcpy_s NULL src of 0 bytes", [](char *d) { return memcpy_s(d, 16, nullptr, 0) == EINVAL; }, "Z"},
        {"memcpy_s count > destsz", [](char *d) { return memcpy_s(d, 8, kSrc, 9) != 0; }, "ZZZZZZZZF"},
        {"memcpy_s huge count", [](char *d) { return memcpy_s(d, 16, kSrc, kHuge) != 0; }, "Z"},
        {"memcpy_s huge destsz", [](char *d) { return memcpy_s(d, kHuge, kSrc, 4) != 0; }, "F"},
        {"memcpy_s overlap after", [](char *d) { return memcpy_s(d + 4, 12, d, 8) != 0; }, "FFFFZ"},
        {"memcpy_s overlap before", [](char *d) { return memcpy_s(d, 12, d + 4, 8) != 0; }, "ZZZZZZZZZZZZF"},
        {"memset_s count > destsz", [](char *d) { return memset_s(d, 8, 0, 12) != 0; }, "ZZZZZZZZF"},
        {"memset_s NULL dest", [](char *) { return memset_s(nullptr, 8, 0, 8) != 0; }, "F"},
        {"memset_s huge destsz", [](char *d) { return memset_s(d, kHuge, 0, 4) != 0; }, "F"},
        {"strcpy_s no room for NUL", [](char *d) { return strcpy_s(d, 8, "12345678") != 0; }, "Z???????F"},
        {"strcpy_s NULL src", [](char *d) { return strcpy_s(d, 8, nullptr) != 0; }, "Z???????F"},
        {"strcpy_s destsz 0", [](char *d) { return strcpy_s(d, 0, "x") != 0; }, "F"},
        {"strcpy_s NULL dest", [](char *) { return strcpy_s(nullptr, 8, "x") != 0; }, "F"},
        {"strcpy_s overlap", [](char *d) { return strcpy_s(d + 1, 15, strcpy(d, "ab")) != 0; }, "?Z?F"},
        {"sprintf_s overflow", [](char *d) { return sprintf_s(d, 16, "%016d", 7) < 0; }, "Z?"},
        {"sprintf_s NULL format", [](char *d) { return sprintf_s(d, 16, nullptr) < 0; }, "Z?"},
        {"sprintf_s NULL buf", [](char *) { return sprintf_s(nullptr, 16, "x") < 0; }, "F"},
        {"sprintf_s size 0", [](char *d) { return sprintf_s(d, 0, "x") < 0; }, "F"},
        {"sprintf_s %n", [](char *d) { return sprintf_s(d, 16, "ab%n", &g_written) < 0 && g_written == 0; }, "Z?"},
        {"sprintf_s %ln", [](char *d) { return sprintf_s(d, 16, "%d%ln", 1, &g_writtenLong) < 0; }, "Z?"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char dest[16];
        memset(dest, 'F', sizeof(dest));
        EXPECT_TRUE(c.refused(dest));
        for (size_t i = 0, last = strlen(c.image) - 1; i < sizeof(dest); ++i) {
            char want = c.image[i < last ? i : last];
            EXPECT_TRUE(want == '?' || dest[i] == (want == 'Z' ? '\0' : 'F')) << "byte " << i;
        }
    }
}

TEST(AnnexK, ValidCallsBehaveLikeTheCLibrary) {
    char bytes[32] = "abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(memcpy_s(bytes + 8, 20, bytes, 8), 0) << "adjacent areas do not overlap";
    EXPECT_EQ(memset_s(bytes, 16, '-', 4), 0);
    EXPECT_EQ(std::string(bytes, 16), "----efghabcdefgh");
    EXPECT_EQ(strcpy_s(bytes, 8, "1234567"), 0);
    EXPECT_STREQ(bytes, "1234567");
    char buf[16];
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%s-%d", "task", 42), 7);
    EXPECT_STREQ(buf, "task-42");
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%015d", 7), 15) << "exact fit with the terminator";
    EXPECT_EQ(sprintf_s(buf, sizeof(buf), "%%n"), 2) << "an escaped percent is not a conversion";

    char text[] = ",,alpha,beta;;gamma,";
    rsize_t left = sizeof(text);
    char *next = nullptr;
    std::string tokens;
    for (char *tok = strtok_s(text, &left, ",;", &next); tok != nullptr; tok = strtok_s(nullptr, &left, ",;", &next)) {
        tokens += std::string(tok) + "/" + std::to_string(left) + " ";
    }
    EXPECT_EQ(tokens, "alpha/13 beta/8 gamma/1 ") << "what is left counts down to the terminator";
    char unterminated[] = {'a', 'b', 'c', 'd'};
    left = sizeof(unterminated);
    EXPECT_EQ(strtok_s(unterminated, &left, " ", &next), nullptr) << "a token running past strmax is refused";
    EXPECT_EQ(strtok_s(nullptr, &left, " ", nullptr), nullptr);
}

std::vector<std::string> g_records;

TEST(PlatformLog, FiltersBelowTheLevelCutsToTheLineSizeAndDefaultsToStandardError) {
    OsLogSetSink([](uint32_t level, const char *tag, const char *text) {
        g_records.push_back(std::to_string(level) + " " + tag + " " + text);
    });
    OsLogPrintf(OS_LOG_WARN, "T", "below the default level");
    OsLogSetLevel(OS_LOG_WARN);
    EXPECT_EQ(OsLogEnabled(OS_LOG_DEBUG) + OsLogEnabled(OS_LOG_INFO), 0U) << "whether a record would pass now";
    EXPECT_EQ(OsLogEnabled(OS_LOG_WARN) + OsLogEnabled(OS_LOG_FATAL), 2U);
    OsLogPrintf(OS_LOG_INFO, "T", "info");
    OsLogPrintf(OS_LOG_WARN, "OS_MSG", "[%s][%d]:queue %u\r\n", "SimpleMsgPush", 77, 1024U);
    OsLogPrintf(OS_LOG_ERROR, "T", "%s", std::string(3000, 'x').c_str());
    OsLogSetLevel(OS_LOG_FATAL);
    OsLogPrintf(OS_LOG_ERROR, "T", "error after raising the level");
    EXPECT_EQ(g_records,
              (std::vector<std::string>{"2 OS_MSG [SimpleMsgPush][77]:queue 1024", "3 T " + std::string(1023, 'x')}));

    OsLogSetSink(nullptr);
    OsLogSetLevel(OS_LOG_DEBUG);
    EXPECT_EQ(OsLogEnabled(OS_LOG_DEBUG), 1U);
    testing::internal::CaptureStderr();
    OsLogPrintf(OS_LOG_WARN, "OS_MSG", "pool %d ready", 3);
    OsLogPrintf(OS_LOG_DEBUG, "TAG2", "second\r\n"); // its own line end gives way to the sink's
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[OS_MSG][WARN] pool 3 ready\n[TAG2][DEBUG] second\n");
    EXPECT_EQ(g_records.size(), 2U) << "the replaced sink still called";
}

// A sink set before or after the route keeps precedence over it: the library
// installs the route, so msg_log_control_test.cc checks both orders.
TEST(PlatformLog, RouteTakesWhatNoSinkTakesAtItsOwnLevel) {
    static std::vector<std::string> routed;
    OsLogSetRoute(
        [](uint32_t level, const char *, const char *text) { routed.push_back(std::to_string(level) + text); },
        OS_LOG_WARN);
    EXPECT_EQ(OsLogEnabled(OS_LOG_INFO) * 10U + OsLogEnabled(OS_LOG_WARN), 1U) << "the route's level applies";
    OsLogPrintf(OS_LOG_INFO, "T", "info");
    OsLogPrintf(OS_LOG_WARN, "T", "warn\r\n");
    EXPECT_EQ(routed, std::vector<std::string>{"2warn"});

    OsLogSetLevel(OS_LOG_DEBUG);
    OsLogSetRoute(nullptr, OS_LOG_FATAL);
    testing::internal::CaptureStderr();
    OsLogPrintf(OS_LOG_DEBUG, "T", "default again");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[T][DEBUG] default again\n") << "at the platform's own level";
}

TEST(ProcName, IsTheKernelNameOfTheProcessCutToTheBuffer) {
    char buf[64] = "";
    ASSERT_EQ(prctl(PR_SET_NAME, "a_name_too_long_for_the_kernel", 0, 0, 0), 0);
    std::thread([&] {
        prctl(PR_SET_NAME, "worker_thread", 0, 0, 0);
        EXPECT_EQ(MenGetProcName(buf, sizeof(buf)), 0);
    }).join();
    EXPECT_STREQ(buf, "a_name_too_long") << "15 characters of the process's name, not the thread's";
    ASSERT_EQ(MenGetProcName(buf, 5), 0);
    EXPECT_STREQ(buf, "a_na");
    EXPECT_NE(MenGetProcName(nullptr, 8), 0);
    EXPECT_NE(MenGetProcName(buf, 0), 0);
    EXPECT_STREQ(buf, "a_na") << "a refused call leaves the buffer alone";
}

} // namespace

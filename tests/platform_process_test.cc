// Threads, process identity, time and files of the platform stand-in.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "vyre_os_file.h"
#include "vyre_os_sem.h"
#include "vyre_os_thread.h"
#include "vyre_os_time.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ProcName, IsTheKernelNameOfTheProcess) {
    ASSERT_EQ(prctl(PR_SET_NAME, "vyre_name_probe", 0, 0, 0), 0);
    char buf[64];
    ASSERT_EQ(MenGetProcName(buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "vyre_name_probe");

    ASSERT_EQ(prctl(PR_SET_NAME, "a_name_too_long_for_the_kernel", 0, 0, 0), 0);
    ASSERT_EQ(MenGetProcName(buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "a_name_too_long") << "the kernel keeps 15 characters";
}

TEST(ProcName, IsCutToASmallBuffer) {
    ASSERT_EQ(prctl(PR_SET_NAME, "vyre_name_probe", 0, 0, 0), 0);
    char buf[5] = "xxxx";
    ASSERT_EQ(MenGetProcName(buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "vyre");
    char one[1] = {'x'};
    ASSERT_EQ(MenGetProcName(one, 1), 0);
    EXPECT_EQ(one[0], '\0');
}

TEST(ProcName, RefusesNoBufferAndLeavesItUntouched) {
    char buf[8] = "keep";
    EXPECT_NE(MenGetProcName(nullptr, 8), 0);
    EXPECT_NE(MenGetProcName(buf, 0), 0);
    EXPECT_STREQ(buf, "keep");
}

TEST(ProcName, StaysTheProcessNameOnAThreadThatRenamedItself) {
    ASSERT_EQ(prctl(PR_SET_NAME, "vyre_main_name", 0, 0, 0), 0);
    std::string seen;
    std::thread worker([&] {
        prctl(PR_SET_NAME, "worker_thread", 0, 0, 0);
        char buf[64] = "";
        MenGetProcName(buf, sizeof(buf));
        seen = buf;
    });
    worker.join();
    EXPECT_EQ(seen, "vyre_main_name");
}

struct StartedThread {
    OsSem done;
    OsThread seenSelf = 0;
};

void *RecordSelf(void *arg) {
    auto *started = static_cast<StartedThread *>(arg);
    started->seenSelf = OsPthreadSelf();
    OsSemPost(&started->done);
    return nullptr;
}

TEST(PlatformThread, RunsTheRoutineWithItsArgumentAndReportsItsId) {
    StartedThread started;
    ASSERT_EQ(OsSemInit(&started.done, 0), 0);
    OsThread tid = 0;
    ASSERT_EQ(OsPthreadCreate(&tid, nullptr, RecordSelf, &started), 0);
    ASSERT_EQ(OsSemWait(&started.done), 0);
    EXPECT_NE(tid, 0U);
    EXPECT_TRUE(pthread_equal(tid, started.seenSelf));
    EXPECT_FALSE(pthread_equal(tid, OsPthreadSelf()));
    EXPECT_EQ(pthread_join(tid, nullptr), 0);
    EXPECT_EQ(OsSemDestroy(&started.done), 0);
}

TEST(PlatformThread, RefusesAttributesAndStartsNothing) {
    StartedThread started;
    ASSERT_EQ(OsSemInit(&started.done, 0), 0);
    OsThread tid = 0;
    int attrPlaceholder = 0;
    EXPECT_NE(OsPthreadCreate(&tid, &attrPlaceholder, RecordSelf, &started), 0);
    EXPECT_NE(OsPthreadCreate(&tid, nullptr, nullptr, &started), 0);
    EXPECT_NE(OsPthreadCreate(nullptr, nullptr, RecordSelf, &started), 0);
    int value = -1;
    sem_getvalue(&started.done, &value);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(OsSemDestroy(&started.done), 0);
}

TEST(PlatformTime, SleepMsSleepsAtLeastTheTime) {
    Clock::time_point start = Clock::now();
    OsSleepMs(30);
    long long elapsed = MsSince(start);
    EXPECT_GE(elapsed, 30);
    EXPECT_LT(elapsed, 30 + 500);
}

std::atomic<int> g_sleepSignals{0};

void CountSleepSignal(int) {
    g_sleepSignals.fetch_add(1);
}

TEST(PlatformTime, SleepIsNotCutShortBySignals) {
    struct sigaction action = {};
    action.sa_handler = CountSleepSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous;
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    std::atomic<bool> sleeping{false};
    long long elapsed = 0;
    std::thread sleeper([&] {
        sleeping.store(true);
        Clock::time_point start = Clock::now();
        OsSleepMs(80);
        elapsed = MsSince(start);
    });
    while (!sleeping.load()) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 3; ++i) {
        int before = g_sleepSignals.load();
        pthread_kill(sleeper.native_handle(), SIGUSR2);
        while (g_sleepSignals.load() == before) {
            std::this_thread::yield();
        }
    }
    sleeper.join();
    sigaction(SIGUSR2, &previous, nullptr);
    EXPECT_GE(elapsed, 80);
    EXPECT_LT(elapsed, 80 + 500);
}

TEST(PlatformTime, RunTimeIsMonotonicMilliseconds) {
    struct timespec now;
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &now), 0);
    uint32_t expected = static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000U + now.tv_nsec / 1000000);
    uint32_t first = OsGetSysRunTime();
    EXPECT_LT(first - expected, 100U) << "not the monotonic clock in milliseconds";
    OsSleepMs(20);
    uint32_t second = OsGetSysRunTime();
    EXPECT_GE(second - first, 20U);
    EXPECT_LT(second - first, 20U + 500U);
}

// A temporary text file removed when the test ends.
class TextFile : public ::testing::Test {
protected:
    void Write(const char *content) {
        char name[] = "/tmp/vyre_os_file_XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        path_ = name;
        size_t len = strlen(content);
        ASSERT_EQ(write(fd, content, len), static_cast<ssize_t>(len));
        close(fd);
    }
    void TearDown() override {
        if (!path_.empty()) {
            unlink(path_.c_str());
        }
    }
    std::string path_;
};

TEST_F(TextFile, FgetsReadsLineByLineThenNullAtTheEnd) {
    Write("cpunum=2\nsecond line\nlast without feed");
    OsFile *file = OsFopen(path_.c_str(), "r");
    ASSERT_NE(file, nullptr);
    char buf[512];
    ASSERT_NE(OsFgets(buf, sizeof(buf), file), nullptr);
    EXPECT_STREQ(buf, "cpunum=2\n");
    ASSERT_NE(OsFgets(buf, sizeof(buf), file), nullptr);
    EXPECT_STREQ(buf, "second line\n");
    ASSERT_NE(OsFgets(buf, sizeof(buf), file), nullptr);
    EXPECT_STREQ(buf, "last without feed");
    EXPECT_EQ(OsFgets(buf, sizeof(buf), file), nullptr);
    EXPECT_EQ(OsFclose(file), 0);
}

TEST_F(TextFile, FgetsSplitsALineLongerThanTheBuffer) {
    Write("abcdefgh\n");
    OsFile *file = OsFopen(path_.c_str(), "r");
    ASSERT_NE(file, nullptr);
    char buf[5];
    ASSERT_NE(OsFgets(buf, sizeof(buf), file), nullptr);
    EXPECT_STREQ(buf, "abcd");
    ASSERT_NE(OsFgets(buf, sizeof(buf), file), nullptr);
    EXPECT_STREQ(buf, "efgh");
    ASSERT_NE(OsFgets(buf, sizeof(buf), file), nullptr);
    EXPECT_STREQ(buf, "\n");
    EXPECT_EQ(OsFgets(buf, 1, file), nullptr) << "a size below 2 is refused";
    EXPECT_EQ(OsFgets(nullptr, 5, file), nullptr);
    EXPECT_EQ(OsFclose(file), 0);
}

TEST(PlatformFile, RefusesWhatCannotBeOpened) {
    EXPECT_EQ(OsFopen("/nonexistent/vyre/cpu.cfg", "r"), nullptr);
    EXPECT_EQ(OsFopen(nullptr, "r"), nullptr);
    EXPECT_EQ(OsFopen("/dev/null", nullptr), nullptr);
    char buf[8];
    EXPECT_EQ(OsFgets(buf, sizeof(buf), nullptr), nullptr);
    EXPECT_NE(OsFclose(nullptr), 0);
}

} // namespace

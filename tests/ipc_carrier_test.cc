/*
 * The Unix-socket carrier's start-up under allocation failures, and its
 * settings. Messages between processes are between_processes_test's, flow
 * control the flow test's, names and the directory lock the liveness
 * test's. Every wait is bounded; each test checks that the carrier leaves no
 * descriptor, thread or tracked block behind.
 */
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "carrier/carrier_fixture.h"
#include "transport/unix/ipc_run_dir.h"

namespace {

constexpr char kSelf[] = "ctest";

using Carrier = carrier_test::CarrierFixture;

TEST_F(Carrier, JoiningUnderEveryAllocationFailureLeavesNothingBehind) {
    // A first start-up makes what the process keeps for good; leaving
    // detaches the directory (the fixture's tear-down finds no socket).
    ASSERT_EQ(Join(kSelf), OS_MSG_OK);
    Leave();
    EXPECT_EQ(IPCMsgGetShmHead(), nullptr);
    const uint64_t blocks = UsedBlocks();
    const size_t fds = carrier_test::OpenFds();
    const std::string sock = runDir_ + "/" + kSelf + ".sock";
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    int allocations = SweepAllocFailures([] { return OsMsgInit(kSelf); },
                                         [&](int n, bool, uint32_t result) {
                                             struct stat st;
                                             if (result == OS_MSG_OK) {
                                                 // Done, or a failure a retry got over (the
                                                 // broadcast task's registration retries).
                                                 EXPECT_EQ(stat(sock.c_str(), &st), 0) << n;
                                                 EXPECT_EQ(OsMsgDestroy(kSelf), OS_MSG_OK);
                                                 EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
                                             }
                                             EXPECT_EQ(UsedBlocks(), blocks) << n;
                                             EXPECT_EQ(carrier_test::OpenFds(), fds) << n;
                                             EXPECT_NE(stat(sock.c_str(), &st), 0) << n;
                                         });
    EXPECT_GT(allocations, 0);
    // A broadcast thread whose registration failed retries until the next
    // start-up takes it; one more life cycle lets it go before the counts.
    ASSERT_EQ(Join(kSelf), OS_MSG_OK);
    Leave();
}

TEST(CarrierSettings, UnknownCarrierIsRefused) {
    setenv("VYRE_OS_MSG_CARRIER", "tcp", 1);
    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
    EXPECT_EQ(OsMsgInit(kSelf), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("unknown carrier [tcp]."), 1U) << log.Dump();
}

// The modes of what the library makes are the access test's.
TEST(CarrierSettings, RunDirectoryFollowsTheSettingsAndMustBeADirectory) {
    char path[IPC_RUN_DIR_PATH_SIZE];
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    setenv("VYRE_OS_MSG_RUNDIR", ("/tmp/" + std::string(IPC_RUN_DIR_MAX, 'd')).c_str(), 1);
    EXPECT_EQ(IpcRunDirPath(path, sizeof(path)), OS_MSG_ERR_INVALID_PARAM); // a socket path would not fit
    setenv("VYRE_OS_MSG_RUNDIR", "relative/dir", 1);
    EXPECT_EQ(IpcRunDirPath(path, sizeof(path)), OS_MSG_ERR_INVALID_PARAM);

    char parent[] = "/tmp/vyre_carrier_XXXXXX";
    ASSERT_NE(mkdtemp(parent), nullptr);
    std::string dir = std::string(parent) + "/run";
    IpcRunDirMode mode;
    EXPECT_EQ(IpcRunDirOpen(dir.c_str(), &mode), OS_MSG_OK);
    EXPECT_EQ(IpcRunDirOpen(dir.c_str(), &mode), OS_MSG_OK); // it exists: kept
    EXPECT_FALSE(mode.shared);
    std::string file = dir + "/plain";
    ASSERT_EQ(close(open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)), 0);
    EXPECT_EQ(IpcRunDirOpen(file.c_str(), &mode), OS_MSG_ERR_ACCESS); // not a directory
    EXPECT_EQ(unlink(file.c_str()) | rmdir(dir.c_str()) | rmdir(parent), 0);
}

} // namespace

/*
 * What only the Unix-socket carrier does (a receiver that stopped, a peer
 * killed mid-message, teardown, start-up under allocation failures, its
 * settings); what it shares with the loopback is between_processes_test's,
 * names of live and dead processes and the directory lock are the liveness
 * test's and processes killed and restarted under their names the chaos
 * run's. This test process joins the messaging system under the
 * carrier and talks to carrier_peer processes it starts. Every
 * wait is bounded; each test checks that the carrier leaves no descriptor,
 * thread or tracked block behind.
 */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "carrier/carrier_fixture.h"
#include "carrier/carrier_proto.h"
#include "carrier/carrier_test_util.h"
#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "support/threads.h"
#include "transport/ipc_msg.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_run_dir.h"
#include "vyre_os_log.h"

namespace {

using namespace carrier_proto;
using carrier_test::Peer;
constexpr char kSelf[] = "ctest";

/* The common carrier fixture (a run directory of its own, the carrier
 * selected, descriptors, threads and tracked blocks counted before and
 * after), joined as kSelf by default. */
class Carrier : public carrier_test::CarrierFixture {
protected:
    uint32_t Join(const char *name = kSelf) { return CarrierFixture::Join(name); }
};

// A receiver that reads nothing at all (its process stopped): what the
// sockets hold fills up behind the batch sender and the sending thread alike.
TEST_F(Carrier, FullReceiverRefusesAsyncAndBoundsTheSyncWait) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    Peer &echo = StartEcho("echo7");
    ASSERT_TRUE(PingAnswered("echo7")); // connected
    // Every thread of the peer stops: nothing reads its socket any more (a
    // thread that had not stopped yet would make room after the refusal).
    ASSERT_TRUE(echo.Freeze());
    std::vector<uint8_t> payload(4096U);
    uint32_t ret = OS_MSG_OK;
    uint32_t sent = 0U;
    {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        for (; sent < 100000U && ret == OS_MSG_OK; ++sent) {
            ret = SendTo("echo7", "echo", 0U, payload.data(), (uint32_t)payload.size());
        }
        EXPECT_EQ(ret, OS_MSG_ERR_FULL) << "after " << sent << " messages";
        // It waits for room as long as its time-out allows, bounded however
        // loaded the machine.
        EXPECT_TRUE(carrier_test::TakesBetween(std::chrono::milliseconds(200), std::chrono::milliseconds(5000),
                                               [&] { EXPECT_EQ(Call("echo7", 200U), OS_MSG_ERR_FULL); }));
    }
    ASSERT_TRUE(echo.Thaw());
    // Once the peer reads again, messages flow: retry while its socket drains.
    bool accepted = false;
    for (int i = 0; i < carrier_test::kWaitMs / 5 && !accepted; ++i) {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        accepted = SendTo("echo7", "echo", kPing) == OS_MSG_OK;
        if (!accepted) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // paces the retries while it drains
        }
    }
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(inbox_.WaitCount(kPong, 2U));
}

TEST_F(Carrier, PeerKilledMidMessageLeavesNothingAndItsSuccessorIsHeard) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    uint64_t before = UsedBlocks();
    Peer &partial = StartReady({"partial", "part", kSelf});
    rebuildmsg::MsgRebuildRecvData *collector = rebuildEntry;
    auto nodes = [collector] {
        std::lock_guard<std::mutex> guard(collector->rebuildLock);
        return collector->nodeTotal;
    };
    EXPECT_TRUE(WaitUntil([&] { return nodes() != 0; }));
    EXPECT_EQ(nodes(), 1); // the first slice is held
    partial.Kill();
    // The receive thread drops what the connection left once it sees it go.
    // The connection and the held slice's buffer are gone.
    EXPECT_TRUE(WaitUntil([&] { return nodes() == 0 && UsedBlocks() == before; }))
        << nodes() << " nodes, " << UsedBlocks() - before << " blocks";
    StartEcho("part");
    EXPECT_TRUE(PingAnswered("part"));
}

TEST_F(Carrier, TeardownLeavesNoSocketAndASecondStartWorks) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    StartEcho("echo9");
    ASSERT_TRUE(PingAnswered("echo9"));
    struct stat st;
    ASSERT_EQ(stat((runDir_ + "/ctest.sock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    Leave();
    EXPECT_NE(stat((runDir_ + "/ctest.sock").c_str(), &st), 0);
    EXPECT_EQ(IPCMsgGetShmHead(), nullptr); // detached
    ASSERT_EQ(Join(), OS_MSG_OK);
    ASSERT_EQ(SendTo("echo9", "echo", kPing), OS_MSG_OK);
    EXPECT_TRUE(inbox_.WaitFor(2U));
    EXPECT_EQ(inbox_.Items().size(), 2U);
}

TEST_F(Carrier, JoiningUnderEveryAllocationFailureLeavesNothingBehind) {
    // A first start-up makes what the process keeps for good.
    ASSERT_EQ(Join(), OS_MSG_OK);
    Leave();
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
    ASSERT_EQ(Join(), OS_MSG_OK);
    Leave();
}

} // namespace

namespace {

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
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    (void)fclose(f);
    EXPECT_EQ(IpcRunDirOpen(file.c_str(), &mode), OS_MSG_ERR_ACCESS); // not a directory
    EXPECT_EQ(unlink(file.c_str()) | rmdir(dir.c_str()) | rmdir(parent), 0);
}

} // namespace

/*
 * Flow control of the carrier between real processes, and waiting for
 * room by choice: a full task holds back only its own messages, waits for
 * room are bounded and hold no lock other senders need, a send that chose
 * to wait is woken when room returns (across processes and within one), a
 * message in slices that finds no room is given up whole, and the batch
 * sender loses and leaks nothing when a batch buffer cannot be had. Every
 * wait is bounded; the fixture checks that nothing is left behind.
 */
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/msg_tunables.h"
#include "carrier/carrier_fixture.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_link_park.h"
#include "transport/unix/ipc_peer_cache.h"

namespace {

using namespace carrier_proto;
using carrier_test::CarrierFixture;
using carrier_test::Peer;
using Clock = std::chrono::steady_clock;

constexpr auto kGenerous = std::chrono::milliseconds(3000); // what a loaded machine may add to a bound

class CarrierFlow : public CarrierFixture {
protected:
    /* Fills task "slow" of proc (its loop waits at its gate): sends it
     * messages with ids 1, 2, ... until its loop, its queue and a park of
     * the notice size hold them, waits until the peer's notice that the task is full
     * has arrived, then sends one more, which is refused after the
     * documented wait for room; returns the number accepted. */
    uint32_t FillSlow(const char *proc) {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        const uint32_t fill = 1U + 8U + IPC_PARK_NOTICE_MSGS; // at the gate, queued, parked
        for (uint32_t id = 1U; id <= fill; ++id) {
            EXPECT_EQ(SendTo(proc, "slow", id), OS_MSG_OK) << id;
        }
        uint32_t err = 0U;
        uint32_t gen = 0U;
        IpcPeer *peer = IpcPeerFind(proc, &err, &gen);
        EXPECT_TRUE(peer != nullptr && WaitUntil([peer] { return IpcPeerTaskMayBeFull(peer); }));
        const auto bound = std::chrono::milliseconds(MSG_TUNE_SEND_ROOM_WAIT_MS);
        EXPECT_TRUE(carrier_test::TakesBetween(bound, bound + kGenerous,
                                               [&] { EXPECT_EQ(SendTo(proc, "slow", fill + 1U), OS_MSG_ERR_FULL); }));
        return fill;
    }

    /* At task of proc, whose queue is full: a send that waits shortMs for
     * room is refused after it; one that waits far longer, on a thread of
     * its own, is woken when open() makes room, long before its time-out. */
    void ExpectTimedSendRefusedThenWoken(const char *proc, const char *task, uint32_t shortMs, uint32_t wokenId,
                                         const std::function<void()> &open) {
        using std::chrono::milliseconds;
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        MsgHead refused = From(proc, task, wokenId);
        EXPECT_TRUE(carrier_test::TakesBetween(milliseconds(shortMs), milliseconds(shortMs) + kGenerous, [&] {
            EXPECT_EQ(OsMsgAsynSendTimed(&refused, shortMs), OS_MSG_ERR_FULL);
        }));
        constexpr uint32_t kLongMs = 30000U;
        auto timed = std::async(std::launch::async, [&] {
            MsgHead head = From(proc, task, wokenId);
            uint32_t ret = OS_MSG_ERR_FAIL;
            auto woken = carrier_test::TakesBetween(milliseconds(0), milliseconds(kLongMs / 3U),
                                                    [&] { ret = OsMsgAsynSendTimed(&head, kLongMs); });
            return std::make_pair(ret, woken);
        });
        open();
        auto [ret, woken] = timed.get();
        EXPECT_EQ(ret, OS_MSG_OK);
        EXPECT_TRUE(woken) << "not woken, timed out";
    }

    /* The peer's count report: messages its echo task got, messages its
     * slow task took, whether in order. */
    static std::string Count(Peer &peer) { return peer.Ask("count", "count "); }

    /* The descriptors the peer has open; 0 when it gives no count. */
    static unsigned OpenFds(Peer &peer) {
        unsigned open = 0U;
        return std::sscanf(peer.Ask("fdcount", "fdcount ").c_str(), "fdcount %u", &open) == 1 ? open : 0U;
    }

    /* Sends task "slow" of f1 messages first..last, each with OS_MSG_MAX_FDS
     * copies of one pipe's end (the messages carry duplicates of it). */
    void SendSlowWithFds(uint32_t first, uint32_t last) {
        int pipeFds[2];
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        const std::vector<int> sixteen(OS_MSG_MAX_FDS, pipeFds[0]);
        for (uint32_t id = first; id <= last; ++id) {
            MsgHead head = From("f1", "slow", id);
            EXPECT_EQ(OsMsgAsynSendFds(&head, sixteen.data(), OS_MSG_MAX_FDS), OS_MSG_OK) << id;
        }
        close(pipeFds[0]);
        close(pipeFds[1]);
    }
};

// Task "slow" of a process is full (its loop waits): its sender is told so
// and a further message is refused after the documented 5 ms. A call that
// waits there for room for its whole time-out holds no lock others need:
// meanwhile another thread's message to slow is refused after its own 5 ms,
// and the process's other task answers calls and takes messages at once. A
// send that waits for long is woken, long before its time-out, when slow
// goes on, and slow gets every message it accepted, in order. The receiver
// logs no error for what it held back.
TEST_F(CarrierFlow, OneFullTaskHoldsBackOnlyItsOwnMessagesAndAWaitForItsRoomHoldsNoLock) {
    using std::chrono::milliseconds;
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    Peer &flow = StartReady({"flow", "f1"});
    const uint32_t accepted = FillSlow("f1");
    constexpr uint32_t kCallMs = 3000U;
    std::promise<void> calling;
    auto call = std::async(std::launch::async, [&] {
        MsgHead head = From("f1", "slow", kCall);
        MsgHead *resp = nullptr;
        calling.set_value();
        uint32_t ret = OS_MSG_OK;
        auto waited = carrier_test::TakesBetween(milliseconds(kCallMs), milliseconds(kCallMs) + kGenerous,
                                                 [&] { ret = OsMsgSynSend(&head, &resp, kCallMs); });
        return std::make_pair(ret, waited);
    });
    calling.get_future().wait();
    {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        EXPECT_TRUE(carrier_test::TakesBetween(milliseconds(0), milliseconds(kCallMs / 2U), [&] {
            EXPECT_EQ(SendTo("f1", "slow", 99999U), OS_MSG_ERR_FULL);
        })) << "waited for the call's lock";
    }
    EXPECT_TRUE(carrier_test::TakesBetween(milliseconds(0), milliseconds(kCallMs / 2U), [&] {
        for (int i = 0; i < 20; ++i) {
            Answer answer{};
            ASSERT_EQ(Call("f1", 5000U, &answer), OS_MSG_OK) << i;
            EXPECT_EQ(answer.pid, (uint32_t)getpid());
            ASSERT_EQ(SendTo("f1", "echo", 0U), OS_MSG_OK);
        }
        EXPECT_TRUE(WaitUntil([&] { return Count(flow) == "count 40 0 1"; }));
    })) << "the other task's messages waited for the call";
    auto [ret, waited] = call.get();
    EXPECT_EQ(ret, OS_MSG_ERR_FULL);
    EXPECT_TRUE(waited) << "the call's wait for room";

    ExpectTimedSendRefusedThenWoken("f1", "slow", 200U, accepted + 1U, [&] { flow.Send("open"); });
    std::string expected = "count 40 " + std::to_string(accepted + 1U) + " 1";
    std::string got;
    EXPECT_TRUE(WaitUntil([&] { return (got = Count(flow)) == expected; })) << got;
    // The task has room again: its sender is no longer refused.
    EXPECT_TRUE(WaitUntil([&] { return SendTo("f1", "slow", accepted + 2U) == OS_MSG_OK; }));
    // Holding messages back is flow control: the receiver logged no error
    // for them, and one line when the task stayed full.
    unsigned refusals = 1U, full = 0U;
    const std::string logs = flow.Ask("logs", "logs ");
    ASSERT_EQ(std::sscanf(logs.c_str(), "logs %u %u", &refusals, &full), 2) << logs;
    EXPECT_EQ(refusals, 0U);
    EXPECT_GE(full, 1U);
}

// Messages bringing descriptors to a task that does not keep up cannot
// leave the receiving process without descriptors: past a quarter of its
// limit its carrier stops reading their connection, and once the task goes
// on every message arrives, in order, and its descriptors are closed.
TEST_F(CarrierFlow, DescriptorsForASlowTaskStopAtAQuarterOfTheReceiversLimit) {
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    Peer &flow = StartReady({"flow", "f1", "256"}); // a bound of 64 waiting descriptors
    const std::string before = flow.Ask("fdcount", "fdcount ");
    const unsigned open0 = OpenFds(flow);
    ASSERT_NE(open0, 0U) << before;
    constexpr uint32_t kMessages = 40U; // 640 descriptors: far past the peer's limit
    SendSlowWithFds(1U, kMessages);
    // One message at the gate and three queued hold 64; the next is held
    // back with its connection.
    EXPECT_TRUE(WaitUntil([&] { return OpenFds(flow) >= open0 + 64U; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // time to read further, if it would
    const unsigned open1 = OpenFds(flow);
    EXPECT_GE(open1, open0 + 64U);
    EXPECT_LE(open1, open0 + 64U + 2U * OS_MSG_MAX_FDS);
    flow.Send("open");
    std::string got;
    EXPECT_TRUE(WaitUntil([&] { return (got = Count(flow)) == "count 0 40 1"; })) << got;
    EXPECT_TRUE(WaitUntil([&] { return flow.Ask("fdcount", "fdcount ") == before; }));
}

// Messages with descriptors held back behind a full queue move into it as
// it drains even when their descriptors alone pass the bound: the queue
// does not refuse them for crowding, which would free none and leave them
// held back for ever.
TEST_F(CarrierFlow, DescriptorsHeldBackPastTheBoundStillReachTheirTask) {
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    Peer &flow = StartReady({"flow", "f1", "256"}); // a bound of 64 waiting descriptors
    const std::string before = flow.Ask("fdcount", "fdcount ");
    const unsigned open0 = OpenFds(flow);
    ASSERT_NE(open0, 0U) << before;
    // The gate and the queue of 8 take plain messages; what follows is held back.
    constexpr uint32_t kPlain = 1U + 8U;
    for (uint32_t id = 1U; id <= kPlain; ++id) {
        ASSERT_EQ(SendTo("f1", "slow", id), OS_MSG_OK) << id;
    }
    constexpr uint32_t kWithFds = 6U; // the fifth held back passes the bound; the sixth waits unread
    SendSlowWithFds(kPlain + 1U, kPlain + kWithFds);
    EXPECT_TRUE(WaitUntil([&] { return OpenFds(flow) >= open0 + 5U * OS_MSG_MAX_FDS; }));
    flow.Send("open");
    std::string got;
    const std::string all = "count 0 " + std::to_string(kPlain + kWithFds) + " 1";
    EXPECT_TRUE(WaitUntil([&] { return (got = Count(flow)) == all; })) << got;
    EXPECT_TRUE(WaitUntil([&] { return flow.Ask("fdcount", "fdcount ") == before; }));
}

// Within one process: a timed send to a full queue gives up after its
// time-out, and one with a long time-out is woken as soon as the task's
// loop takes a message; every message arrives once, in order.
TEST_F(CarrierFlow, TimedSendInOneProcessIsWokenWhenTheLoopTakesAMessage) {
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    AddTask("gate", 1U, simple_msg_test::HoldFirst);
    ASSERT_EQ(SendTo(name_.c_str(), "gate", 1U), OS_MSG_OK);
    ASSERT_TRUE(simple_msg_test::g_firstEntered.Wait());     // the loop holds message 1
    ASSERT_EQ(SendTo(name_.c_str(), "gate", 2U), OS_MSG_OK); // the queue of one is full
    ExpectTimedSendRefusedThenWoken(name_.c_str(), "gate", 100U, 3U, [] { simple_msg_test::g_release.Open(); });
    ASSERT_TRUE(inbox_.WaitFor(3U));
    EXPECT_EQ(inbox_.Ids(), (std::vector<uint32_t>{1U, 2U, 3U}));
}

// A receiver that reads nothing at all (its process stopped): what the
// sockets hold fills up. The message in slices that finds no room, part of
// it sent, is given up within the asynchronous bound (not after a long wait
// per slice), and a call waits for room as long as its time-out allows.
// Once the receiver reads again it drops what it got of the message given
// up, and calls are answered.
TEST_F(CarrierFlow, StoppedReceiverRefusesMessagesInSlicesWholeAndBoundsACallsWait) {
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    Peer &echo = StartReady({"echo", "e4"});
    ASSERT_EQ(Call("e4", 10000U), OS_MSG_OK); // connected
    ASSERT_TRUE(echo.Freeze());               // nothing reads its socket any more
    // Three slices each, so that the one that finds the socket full has
    // most likely sent some.
    std::vector<uint8_t> large(3U * 1024U * 1024U - 1U);
    {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        uint32_t ret = OS_MSG_OK;
        Clock::duration waited{};
        for (int i = 0; i < 64 && ret == OS_MSG_OK; ++i) {
            MsgHead head = From("e4", "echo", 0U, large.data(), (uint32_t)large.size());
            auto start = Clock::now();
            ret = OsMsgAsynSend(&head);
            waited = Clock::now() - start;
        }
        EXPECT_EQ(ret, OS_MSG_ERR_FULL);
        EXPECT_LT(waited, std::chrono::milliseconds(MSG_TUNE_SEND_ROOM_WAIT_MS) + kGenerous / 3);
        // Small messages take what room is left, until none is.
        std::vector<uint8_t> small(4096U);
        ret = OS_MSG_OK;
        for (int i = 0; i < 100000 && ret == OS_MSG_OK; ++i) {
            ret = SendTo("e4", "echo", 0U, small.data(), (uint32_t)small.size());
        }
        EXPECT_EQ(ret, OS_MSG_ERR_FULL);
        EXPECT_TRUE(carrier_test::TakesBetween(std::chrono::milliseconds(200),
                                               std::chrono::milliseconds(200) + kGenerous,
                                               [&] { EXPECT_EQ(Call("e4", 200U), OS_MSG_ERR_FULL); }));
    }
    ASSERT_TRUE(echo.Thaw());
    EXPECT_EQ(Call("e4", 10000U), OS_MSG_OK);
    EXPECT_TRUE(WaitUntil([&] { return echo.Ask("partials", "partials ") == "partials 0"; }));
}

// The batch buffer of a stream cannot be had, for each allocation the
// stream makes: the messages go alone, every one arrives, and nothing is
// leaked once the process leaves.
TEST_F(CarrierFlow, BatchBufferThatCannotBeAllocatedLosesAndLeaksNothing) {
    Peer &echo = StartReady({"echo", "e5"});
    uint64_t settled = 0U;
    uint32_t expected = 0U;
    constexpr uint32_t kStream = 400U;
    std::vector<uint8_t> payload(64U);
    for (int64_t failAt = 1; failAt <= 2; ++failAt) { // a stream allocates two batch buffers
        ASSERT_EQ(Join("ctest"), OS_MSG_OK);
        ASSERT_EQ(Call("e5", 10000U), OS_MSG_OK); // connected: the stream allocates only batches
        expected += 1U;
        OSMemSetFailCountdown(failAt);
        for (uint32_t i = 0U; i < kStream; ++i) {
            ASSERT_EQ(SendTo("e5", "echo", 0U, payload.data(), (uint32_t)payload.size()), OS_MSG_OK)
                << "failing allocation " << failAt << ", message " << i;
        }
        EXPECT_EQ(OSMemGetFailCountdown(), -1) << "the stream made fewer allocations";
        OSMemSetFailCountdown(-1);
        expected += kStream;
        std::string want = "count " + std::to_string(expected) + " 0 1";
        EXPECT_TRUE(WaitUntil([&] { return Count(echo) == want; })) << "failing allocation " << failAt;
        Leave();
        if (failAt == 1) {
            settled = UsedBlocks();
        }
        EXPECT_EQ(UsedBlocks(), settled) << "failing allocation " << failAt;
    }
}

} // namespace

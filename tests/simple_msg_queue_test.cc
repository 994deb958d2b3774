// Task queues end to end: order, capacity and counters under a slow handler,
// senders racing removal and listing, and payloads in the memory pool (exact
// counts under several producers are the counters' test).
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <tuple>

#include "simple_msg/msg_mem_pool.h"
#include "simple_msg_test_util.h"

using namespace simple_msg_test;

namespace {

uint32_t SendOnToSelf(MsgHead *msg) {
    if (msg->msgId < 5U) {
        EXPECT_EQ(SendTo(msg->recvTaskName, msg->msgId + 1U, "step" + std::to_string(msg->msgId + 1U)), OS_MSG_OK);
    }
    return Record(msg);
}

using TaskQueue = SimpleMsgTest;

// A slow handler: the queue keeps push order across the wrap, refuses when
// full, and its counters follow (high-water mark, refusals, callback time).
TEST_F(TaskQueue, KeepsPushOrderAcrossTheWrapRefusesWhenFullAndCountsEachStep) {
    constexpr auto kHold = std::chrono::milliseconds(60);
    StartTask("q", 3, HoldFirst);
    auto payload = [](uint32_t id) { return std::string(id % 7U + 1U, static_cast<char>('a' + id)); };
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(SendTo("q", 1, payload(1)), OS_MSG_OK);
    ASSERT_TRUE(g_firstEntered.Wait());
    for (uint32_t id = 2; id <= 4; ++id) { // ring empty, both indices at 1: slots 1, 2 and 0
        ASSERT_EQ(SendTo("q", id, payload(id)), OS_MSG_OK);
    }
    const uint64_t blocks = OSMemGetUsedBlocks();
    EXPECT_EQ(SendTo("q", 5, payload(5)), OS_MSG_ERR_FULL);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks); // the sender's copy went back
    OsMsgTaskStats stats = StatsOf("q");     // message 1 is still in its callback: none handled
    EXPECT_EQ(std::tuple(stats.pending, stats.highWater, stats.handled), std::tuple(3U, 3U, 0U))
        << "pending, high water, handled";
    std::this_thread::sleep_for(kHold); // the handler is slow for at least this long
    OSMemSetFailCountdown(1);           // from here nothing allocates: neither the loop nor a push without data
    g_release.Open();
    ASSERT_TRUE(inbox_.WaitFor(4));
    ASSERT_EQ(SendTo("q", 6), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(5));
    EXPECT_EQ(OSMemGetFailCountdown(), 1);
    std::vector<Received> got = inbox_.Items();
    ASSERT_EQ(inbox_.Ids(), (std::vector<uint32_t>{1, 2, 3, 4, 6}));
    for (uint32_t id = 1; id <= 4; ++id) {
        EXPECT_EQ(got[id - 1].payload, payload(id));
    }
    EXPECT_FALSE(got[4].hasData);
    ASSERT_TRUE(WaitUntil([] { return StatsOf("q").handled == 5U; }));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    stats = StatsOf("q");
    EXPECT_EQ(std::tuple(stats.accepted, stats.refusedFull, stats.highWater), std::tuple(5U, 1U, 3U))
        << "accepted, refused as full, high water";
    EXPECT_GE(stats.callbackMaxNs, static_cast<uint64_t>(std::chrono::nanoseconds(kHold).count()));
    EXPECT_LE(stats.callbackMaxNs, static_cast<uint64_t>(std::chrono::nanoseconds(elapsed).count()));
}

// The room hook's calls, with the ring's pending count at each.
std::atomic<int> g_roomCalls{0};
std::atomic<uint32_t> g_roomPendingAtCall{0};
SimpleMsgTask *g_roomTask = nullptr;
void CountRoom() {
    g_roomPendingAtCall = SimpleMsgRingPending(&g_roomTask->ring);
    g_roomCalls.fetch_add(1);
}

// A transport that holds messages back for a full queue is told once, when
// the queue has drained to a quarter, and only after a push was turned away while
// it was listening.
TEST_F(TaskQueue, ARefusedPushGetsTheRoomHookOnceTheQueueHasDrainedToAQuarter) {
    StartTask("q", 4, HoldFirst);
    g_roomTask = FindTask("q");
    ASSERT_EQ(SendTo("q", 1), OS_MSG_OK);
    ASSERT_TRUE(g_firstEntered.Wait());
    for (uint32_t id = 2; id <= 5; ++id) {
        ASSERT_EQ(SendTo("q", id), OS_MSG_OK);
    }
    EXPECT_EQ(SendTo("q", 6), OS_MSG_ERR_FULL) << "no hook: refused, and nobody is told";
    SimpleMsgSetRoomHook(CountRoom);
    EXPECT_EQ(SendTo("q", 7), OS_MSG_ERR_FULL);
    EXPECT_EQ(SendTo("q", 8), OS_MSG_ERR_FULL) << "a second refusal asks no second call";
    g_release.Open();
    ASSERT_TRUE(inbox_.WaitFor(5));
    EXPECT_EQ(g_roomCalls, 1);
    EXPECT_LE(g_roomPendingAtCall * 4U, 4U) << "called before the queue drained to a quarter";
    for (uint32_t id = 9; id <= 12; ++id) { // pushes that are all taken ask for nothing
        ASSERT_EQ(SendTo("q", id), OS_MSG_OK);
    }
    ASSERT_TRUE(inbox_.WaitFor(9));
    EXPECT_EQ(g_roomCalls, 1);
    SimpleMsgSetRoomHook(nullptr);
}

// Producers 0, 1, 2 send to a task, each under its own msgId, with its
// sequence number leading the payload, until the task is gone. Every push is
// accepted, refused as full or finds the task gone.
class Producers {
public:
    static constexpr uint32_t kCount = 3;
    explicit Producers(const std::string &task) {
        for (uint32_t p = 0; p < kCount; ++p) {
            threads_.emplace_back([this, task, p] {
                for (uint32_t seq = 0; !stop_.load(); ++seq) {
                    uint32_t ret = SendTo(task, p, std::to_string(seq) + std::string(32, 'p'));
                    accepted_ += ret == OS_MSG_OK ? 1U : 0U;
                    unexpected_ += ret != OS_MSG_OK && ret != OS_MSG_ERR_FULL && ret != OS_MSG_ERR_NOT_FOUND ? 1U : 0U;
                    if (ret == OS_MSG_ERR_NOT_FOUND) {
                        ++gone_;
                        return;
                    }
                }
            });
        }
    }
    ~Producers() { Stop(); }
    // Once the task went: each producer learnt so, nothing else was refused,
    // and what arrived came in each producer's order. Returns the accepted count.
    uint64_t ExpectAllSawItGo(const std::vector<Received> &got) {
        EXPECT_TRUE(WaitUntil([this] { return gone_.load() == kCount; }));
        Stop();
        EXPECT_EQ(unexpected_.load(), 0U);
        std::vector<long> last(kCount, -1);
        for (const Received &r : got) {
            EXPECT_LT(r.msgId, kCount);
            long seq = std::stol(r.payload);
            EXPECT_GT(seq, last[r.msgId % kCount]) << "producer " << r.msgId;
            last[r.msgId % kCount] = seq;
        }
        return accepted_.load();
    }

private:
    void Stop() {
        stop_ = true;
        for (auto &t : threads_) {
            if (t.joinable()) {
                t.join();
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> accepted_{0}, unexpected_{0};
    std::atomic<uint32_t> gone_{0};
    std::vector<std::thread> threads_;
};

TEST_F(TaskQueue, RemovalWhileProducersPushDropsTheRestAndReleasesEveryPayloadOnce) {
    // Producer 1's first message holds the loop, so the ring is full when the removal comes.
    LoopThread *loop = StartTask("victim", 8, HoldFirst);
    SimpleMsgTask *victim = FindTask("victim");
    Producers producers("victim");
    ASSERT_TRUE(g_firstEntered.Wait());
    ASSERT_TRUE(WaitUntil([&] { return SimpleMsgRingPending(&victim->ring) == 8U; }));
    uint32_t unregResult = 0xFFFFFFFFU;
    std::thread remover([&] { unregResult = SimpleMsgUnregTask("victim"); });
    EXPECT_TRUE(WaitUntil([&] { return SimpleTaskState(victim) == 0U; }));
    g_release.Open(); // the loop returns from its callback, finds the task closed and leaves
    remover.join();
    EXPECT_EQ(unregResult, OS_MSG_OK);
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    // The eight queued went with the ring; the fixture's balance shows their
    // payloads released.
    const std::vector<Received> got = inbox_.Items();
    EXPECT_EQ(got.size() + 8U, producers.ExpectAllSawItGo(got));
}

// Producers that have sent to the task before push without the table lock;
// a listing that reads the nodes in place and a removal that releases the
// ring and the record race them; the fixture's balance shows every accepted
// payload released once.
TEST_F(TaskQueue, PushesWithoutTheLockRaceListingAndRemoval) {
    LoopThread *loop = StartTask("busy", 16, Record);
    Producers producers("busy");
    ASSERT_TRUE(inbox_.WaitFor(200));
    std::vector<char> listing(64 * 1024);
    for (int i = 0; i < 50; ++i) {
        uint32_t length = static_cast<uint32_t>(listing.size());
        EXPECT_EQ(SimpleMsgGetAllMsgInfo("busy", listing.data(), &length), 0U);
    }
    EXPECT_EQ(SimpleMsgUnregTask("busy"), OS_MSG_OK);
    EXPECT_EQ(loop->Join(), OS_MSG_OK);
    (void)producers.ExpectAllSawItGo(inbox_.Items());
}

// Pushes of the receive thread into tasks it serves, found asleep, leave
// their descriptors alone and owe each task a handling by that thread; once
// the list of owed tasks is full, a further one is woken through its
// descriptor instead, so that none is left unserved. Handling an owed task
// takes its messages; a task that went is no longer handled by its number.
TEST_F(TaskQueue, ReceiveThreadOwesItsServedTasksAHandlingAndWakesThoseItCannotList) {
    constexpr uint32_t kTasks = SIMPLE_MSG_OWED_MAX + 1U;
    std::vector<std::string> names;
    std::vector<int> fds;
    for (uint32_t i = 0U; i < kTasks; ++i) {
        names.push_back("served" + std::to_string(i));
        ASSERT_EQ(SimpleMsgRegTask(names.back().c_str(), 4U, Record, 0U), OS_MSG_OK);
        fds.push_back(eventfd(0U, EFD_CLOEXEC | EFD_NONBLOCK));
        ASSERT_EQ(SimpleTaskServeOnReceive(names.back().c_str(), fds.back(), 100U + i), OS_MSG_OK);
    }
    auto signalled = [](int fd) {
        struct pollfd pfd = {fd, POLLIN, 0};
        return poll(&pfd, 1, 0) == 1;
    };
    std::thread receiver([&] {
        SimpleMsgMarkFullIsFlow(); // as the carrier's receive thread
        for (uint32_t i = 0U; i < kTasks; ++i) {
            EXPECT_EQ(SendTo(names[i], i + 1U), OS_MSG_OK);
        }
        char owed[SIMPLE_MSG_OWED_MAX][OS_MSG_NAME_LEN];
        ASSERT_EQ(SimpleMsgTakeOwed(owed), SIMPLE_MSG_OWED_MAX);
        for (uint32_t i = 0U; i < SIMPLE_MSG_OWED_MAX; ++i) {
            EXPECT_EQ(std::string(owed[i]), names[i]);
            EXPECT_FALSE(signalled(fds[i])) << names[i];
            uint32_t handled = 0U;
            EXPECT_EQ(SimpleTaskHandleOwed(owed[i], 4U, &handled), OS_MSG_OK);
            EXPECT_EQ(handled, 1U) << names[i];
        }
        EXPECT_TRUE(signalled(fds[kTasks - 1U])) << "the one the list had no room for";
        EXPECT_EQ(SimpleMsgTakeOwed(owed), 0U);
    });
    receiver.join();
    EXPECT_EQ(inbox_.Items().size(), SIMPLE_MSG_OWED_MAX);
    uint32_t handled = 0U;
    EXPECT_EQ(SimpleTaskHandleOnReceive(names.back().c_str(), 99U, 4U, &handled), OS_MSG_ERR_NOT_FOUND)
        << "another service's number";
    EXPECT_EQ(SimpleTaskHandleOnReceive(names.back().c_str(), 100U + kTasks - 1U, 4U, &handled), OS_MSG_OK);
    EXPECT_EQ(handled, 1U);
    EXPECT_EQ(SimpleMsgUnregTask(names.back().c_str()), OS_MSG_OK); // closes its descriptor
    EXPECT_EQ(SimpleTaskHandleOnReceive(names.back().c_str(), 100U + kTasks - 1U, 4U, &handled), OS_MSG_ERR_NOT_FOUND);
}

TEST_F(TaskQueue, CallbackMaySendToItsOwnTask) {
    StartTask("self", 2, SendOnToSelf);
    ASSERT_EQ(SendTo("self", 1), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(5));
    EXPECT_EQ(inbox_.Ids(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(inbox_.Items()[4].payload, "step5");
}

TEST_F(TaskQueue, ChunkSizedPayloadsComeOnlyFromThePoolLargerOnesFromTheTrackedAllocator) {
    constexpr uint32_t kChunk = 64;
    constexpr uint32_t kChunks = 160;
    ASSERT_EQ(prctl(PR_SET_NAME, "vyre_video_serv", 0, 0, 0), 0); // a process on the pool's list
    ASSERT_EQ(MsgMemPoolInit(kChunks * kChunk, kChunk), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgRegTask("hoard", kChunks + 8U, nullptr, 0), OS_MSG_OK);
    const uint64_t blocks = OSMemGetUsedBlocks(); // tracked blocks: pool chunks come from malloc
    for (uint32_t i = 0; i < kChunks; ++i) {
        ASSERT_EQ(SendTo("hoard", 1, std::string(kChunk, 'f')), OS_MSG_OK) << i;
    }
    EXPECT_EQ(SendTo("hoard", 1, "f"), OS_MSG_ERR_NO_MEMORY); // a dry pool does not fall back
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    OSMemSetFailCountdown(1); // one byte more: one tracked block per message
    EXPECT_EQ(SendTo("hoard", 2, std::string(kChunk + 1U, 'l')), OS_MSG_ERR_NO_MEMORY);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    EXPECT_EQ(SendTo("hoard", 2, std::string(kChunk + 1U, 'l')), OS_MSG_OK);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks + 1U);
    EXPECT_EQ(SimpleMsgUnregTask("hoard"), OS_MSG_OK); // every buffer goes back where it came from
    EXPECT_EQ(g_pool->freeNum, kChunks);
    (void)MsgMemPoolDestroy();
}

} // namespace

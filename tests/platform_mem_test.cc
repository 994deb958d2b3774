// Tracked memory of the platform stand-in: counters, the dump of outstanding
// blocks, the failure countdown, and the blocks it keeps for reuse, also
// across threads.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/instrumented.h"
#include "support/threads.h"
#include "vyre_os_mem.h"

namespace {

void *Alloc(size_t size, uint32_t line = 1, const char *module = "platform_mem_test") {
    return OSMemTypeMallocMon(size, 0, 0, line, module);
}

void *Calloc(size_t count, size_t size) {
    return OSMemCallocMon(count, size, 0, 0, __LINE__, "platform_mem_test");
}

void Free(void *block) {
    OSMemTypeFreeMon(block, 0, 0, __LINE__, "platform_mem_test");
}

// The tracked blocks and bytes, as a pair that a failure prints whole.
std::pair<uint64_t, uint64_t> Used() {
    return {OSMemGetUsedBlocks(), OSMemGetUsedBytes()};
}

class TrackedMemory : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(Used(), start_); }
    // The counts at the start plus the blocks and bytes the test holds.
    std::pair<uint64_t, uint64_t> StartPlus(uint64_t blocks, uint64_t bytes) const {
        return {start_.first + blocks, start_.second + bytes};
    }
    const std::pair<uint64_t, uint64_t> start_ = Used();
    const uint64_t blocks_ = start_.first;
};

TEST_F(TrackedMemory, CountsBlocksAndBytesAndRefusesOverflowingSizes) {
    std::vector<void *> blocks;
    for (size_t size : {0, 1, 17, 168, 4096}) {
        blocks.push_back(Alloc(size));
        ASSERT_NE(blocks.back(), nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks.back()) % 64, 0U) << "a small block starts a cache line: " << size;
        memset(blocks.back(), 0xA5, size);
    }
    auto *zeroed = static_cast<unsigned char *>(Calloc(64, 4));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(std::count(zeroed, zeroed + 256, 0), 256);
    EXPECT_EQ(Used(), StartPlus(6, 4282 + 256));
    Free(zeroed);
    EXPECT_EQ(Used(), StartPlus(5, 4282));
    std::for_each(blocks.begin(), blocks.end(), Free);
    Free(nullptr);
    EXPECT_EQ(Calloc(SIZE_MAX / 2 + 1, 2), nullptr);
    EXPECT_EQ(Calloc(2, SIZE_MAX / 2 + 1), nullptr);
    EXPECT_EQ(Alloc(SIZE_MAX), nullptr) << "header arithmetic must not wrap";
}

TEST_F(TrackedMemory, CountdownFailsExactlyTheNthAllocationOnceOverAllThreads) {
    OSMemSetFailCountdown(3);
    void *first = Alloc(8);
    void *second = Calloc(1, 8);
    EXPECT_EQ(Alloc(8), nullptr);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks_ + 2) << "a failed allocation is not counted";
    EXPECT_EQ(OSMemGetFailCountdown(), -1);
    EXPECT_TRUE(first != nullptr && second != nullptr);
    Free(first);
    Free(second);
    OSMemSetFailCountdown(1);
    EXPECT_EQ(Alloc(8), nullptr) << "the countdown counts requests a cached block could serve";
    Free(Alloc(8));

    OSMemSetFailCountdown(500);
    std::vector<std::vector<void *>> results(4, std::vector<void *>(250));
    RunOnThreads(4, [&](int t) { std::generate(results[t].begin(), results[t].end(), [] { return Alloc(32); }); });
    long failures = 0;
    for (const std::vector<void *> &mine : results) {
        failures += std::count(mine.begin(), mine.end(), nullptr);
        std::for_each(mine.begin(), mine.end(), Free);
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(OSMemGetFailCountdown(), -1);
}

// The size and line of each block the dump lists under module.
std::multiset<std::pair<size_t, uint32_t>> Dumped(const std::string &module) {
    testing::internal::CaptureStderr();
    OSMemDumpUsed(STDERR_FILENO);
    std::istringstream dump(testing::internal::GetCapturedStderr());
    std::multiset<std::pair<size_t, uint32_t>> blocks;
    for (std::string line; std::getline(dump, line);) {
        char name[64];
        size_t size = 0;
        uint32_t at = 0;
        if (sscanf(line.c_str(), "block %*s size %zu module %63s line %u", &size, name, &at) == 3 && module == name) {
            blocks.emplace(size, at);
        }
    }
    return blocks;
}

struct Held {
    void *block;
    size_t size;
    uint32_t line;
};

// Four threads allocate blocks of seeded random sizes; then each frees the
// blocks of its neighbour while it allocates and frees more of its own. After
// each phase the counters agree with the blocks held, and the dump lists
// exactly those blocks with their sizes and lines, no freed one.
TEST_F(TrackedMemory, CountersAndDumpStayExactWhileThreadsFreeEachOthersBlocks) {
    constexpr int kThreads = 4, kBlocks = 2000;
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::vector<std::vector<Held>> held(kThreads), kept(kThreads);
    auto expectExact = [&] {
        std::multiset<std::pair<size_t, uint32_t>> listed;
        size_t bytes = 0;
        for (const auto &mine : held) {
            for (const Held &h : mine) {
                listed.emplace(h.size, h.line);
                bytes += h.size;
            }
        }
        EXPECT_EQ(Used(), StartPlus(listed.size(), bytes));
        EXPECT_TRUE(Dumped("exact_probe") == listed);
    };
    RunOnThreads(kThreads, [&](int t) {
        std::mt19937 rng(seed + static_cast<unsigned>(t));
        for (int i = 0; i < kBlocks; ++i) {
            size_t size = rng() % 700;
            held[t].push_back({Alloc(size, static_cast<uint32_t>(i), "exact_probe"), size, static_cast<uint32_t>(i)});
        }
    });
    expectExact();

    RunOnThreads(kThreads, [&](int t) {
        std::mt19937 rng(seed * 7U + static_cast<unsigned>(t));
        for (Held h : held[(t + 1) % kThreads]) {
            Free(h.block);
            size_t size = rng() % 300;
            void *mine = Alloc(size, 1, "exact_probe");
            if (rng() % 2 == 0) {
                Free(mine);
            } else {
                kept[t].push_back({mine, size, 1});
            }
        }
    });
    held = kept;
    expectExact();
    for (const auto &mine : held) {
        for (Held h : mine) {
            Free(h.block);
        }
    }
    EXPECT_TRUE(Dumped("exact_probe").empty());
}

TEST_F(TrackedMemory, ALargeBlockComesBackForTheNextLargeRequestUncountedMeanwhile) {
    constexpr size_t kLarge = 1U << 20;
    auto *first = static_cast<unsigned char *>(Alloc(kLarge));
    ASSERT_NE(first, nullptr);
    memset(first, 0xA5, kLarge);
    Free(first);
    EXPECT_EQ(Used(), start_) << "a block kept for reuse is not the caller's";
    EXPECT_TRUE(Dumped("platform_mem_test").empty());

    OSMemSetFailCountdown(1);
    EXPECT_EQ(Alloc(kLarge), nullptr) << "the countdown counts requests a kept block could serve";
    auto *zeroed = static_cast<unsigned char *>(Calloc(kLarge / 4, 4));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(zeroed, first) << "the kept block serves the next request of its size";
    EXPECT_EQ(std::count(zeroed, zeroed + kLarge, 0), static_cast<long>(kLarge)) << "zero-filled when reused";
    EXPECT_EQ(Used(), StartPlus(1, kLarge));
    Free(zeroed);
}

// Built with AddressSanitizer, the allocator caches no blocks.
constexpr bool kBlocksCached = !kAddressSanitizer;

// A thread that exits hands the blocks it cached to the other threads: a new
// thread's allocations of the same size are served by exactly those blocks.
TEST_F(TrackedMemory, BlocksCachedByAnExitingThreadServeTheNextThread) {
    if (!kBlocksCached) {
        GTEST_SKIP() << "built with AddressSanitizer: every block goes back to the C library at once";
    }
    constexpr size_t kSize = 2900, kCount = 12;
    std::vector<void *> released(kCount), reused(kCount);
    auto alloc = [] { return Alloc(kSize); };
    std::thread([&] {
        std::generate(released.begin(), released.end(), alloc);
        std::for_each(released.begin(), released.end(), Free);
    }).join();
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks_);
    std::thread([&] { std::generate(reused.begin(), reused.end(), alloc); }).join();
    EXPECT_EQ(Used(), StartPlus(kCount, kCount * kSize)) << "blocks of an exited thread stay counted";
    std::sort(released.begin(), released.end());
    std::sort(reused.begin(), reused.end());
    EXPECT_EQ(reused, released);
    std::for_each(reused.begin(), reused.end(), Free);
}

// A producer allocates blocks that a consumer frees, while the counters are
// read: a read never counts a block's release without its allocation, so it
// never falls below the blocks held throughout (here: the baseline) nor above
// them plus the blocks in flight.
TEST_F(TrackedMemory, CountersReadDuringCrossThreadReleasesNeverUndercount) {
    constexpr int kBlocks = 200000;
    std::mutex lock;
    std::deque<void *> queue; // guarded by lock
    std::atomic<bool> consumerReady{false}, produced{false};
    // The consumer's record is made before the producer's, so a read visits
    // the producer's counters first (the ordering that could undercount).
    std::thread consumer([&] {
        Free(Alloc(100));
        consumerReady = true;
        for (bool last = false; !last;) {
            last = produced.load(); // once set, one more drain takes the rest
            std::deque<void *> taken;
            {
                std::lock_guard<std::mutex> hold(lock);
                taken.swap(queue);
            }
            std::for_each(taken.begin(), taken.end(), Free);
            std::this_thread::yield();
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return consumerReady.load(); }));
    std::thread producer([&] {
        for (int i = 0; i < kBlocks; ++i) {
            void *block = Alloc(100);
            std::lock_guard<std::mutex> hold(lock);
            queue.push_back(block);
        }
        produced = true;
    });
    uint64_t low = blocks_, high = blocks_;
    while (!produced) {
        const uint64_t seen = OSMemGetUsedBlocks();
        low = std::min(low, seen);
        high = std::max(high, seen);
    }
    producer.join();
    consumer.join();
    EXPECT_GE(low, blocks_) << "a read counted a release without its allocation";
    EXPECT_LE(high, blocks_ + static_cast<uint64_t>(kBlocks));
}

} // namespace

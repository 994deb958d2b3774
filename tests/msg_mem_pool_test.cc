// The message memory pool: size limits, the process list, exhaustion and
// last-in first-out reuse, repeated and failed set-up, and chunks taken and
// given back by several threads at once, none lost and none handed out twice.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <vector>

#include "simple_msg/msg_mem_pool.h"
#include "support/log_capture.h"
#include "support/threads.h"
#include "vyre_os_log.h"

namespace {

// Every test runs as a listed process: the kernel keeps the first 15
// characters of "vyre_video_server".
const bool kListed = prctl(PR_SET_NAME, "vyre_video_serv", 0, 0, 0) == 0;

// Takes every chunk the pool still has.
std::set<void *> TakeAll() {
    std::set<void *> taken;
    for (void *p = MsgMemPoolAlloc(1); p != nullptr; p = MsgMemPoolAlloc(1)) {
        taken.insert(p);
    }
    return taken;
}

TEST(MemPool, AcceptsExactlyTheSizeRanges) {
    ASSERT_TRUE(kListed);
    LogCapture log;
    const uint32_t sizes[][3] = {{10240, 16, 1}, {10240, 3072, 1},     {1048576, 16, 1}, {1048576, 3072, 1},
                                 {10240, 15, 0}, {10240, 3073, 0},     {10239, 16, 0},   {1048577, 16, 0},
                                 {0, 0, 0},      {UINT32_MAX, 3072, 0}}; // pool size, chunk size, accepted
    for (const auto &c : sizes) {
        SCOPED_TRACE(std::to_string(c[0]) + "/" + std::to_string(c[1]));
        EXPECT_EQ(OsMsgMemPoolInit(c[0], c[1]), c[2] != 0 ? OS_MSG_OK : OS_MSG_ERR_INVALID_PARAM);
        EXPECT_EQ(MsgMemPoolInUse(), c[2]);
        EXPECT_EQ(MsgMemPoolChunkSize(), c[2] != 0 ? c[1] : 0);
        EXPECT_TRUE(c[2] == 0 || (g_pool->totalNum == c[0] / c[1] && g_pool->freeNum == c[0] / c[1]));
        EXPECT_EQ(OsMsgMemPoolUnInit(), OS_MSG_OK);
    }
    EXPECT_EQ(log.Count("INVAL Error! maxPoolSize:10240, chunkSize:3073", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(log.Count("INVAL Error!", OS_LOG_ERROR), 6U);
}

TEST(MemPool, ServesChunkSizedBlocksLastFreedFirstUntilItRunsDry) {
    ASSERT_EQ(MsgMemPoolInit(10240, 3072), OS_MSG_OK);
    LogCapture log;
    EXPECT_EQ(MsgMemPoolAlloc(3073), nullptr);
    void *blocks[3];
    for (void *&p : blocks) {
        p = MsgMemPoolAlloc(3072);
        ASSERT_NE(p, nullptr);
        memset(p, 0x5A, 3072); // the whole chunk size is the caller's
    }
    EXPECT_EQ(MsgMemPoolAlloc(1), nullptr) << "no fall-back to another allocator";
    EXPECT_EQ(log.Count("no free list, g_pool->chuckSize:3072, mallocSize:", OS_LOG_ERROR), 2U) << log.Dump();
    EXPECT_TRUE(g_pool->freeNum == 0U && g_pool->usedNum == 3U);
    MsgMemPoolFree(blocks[1]);
    MsgMemPoolFree(blocks[0]);
    EXPECT_TRUE(g_pool->freeNum == 2U && g_pool->usedNum == 1U);
    EXPECT_EQ(MsgMemPoolAlloc(8), blocks[0]);
    EXPECT_EQ(MsgMemPoolAlloc(8), blocks[1]);

    EXPECT_EQ(MsgMemPoolInit(10240, 16), OS_MSG_ERR_REPEATED);
    EXPECT_EQ(log.Count("MsgMemPoolInit again", OS_LOG_ERROR), 1U);
    EXPECT_TRUE(MsgMemPoolChunkSize() == 3072U && g_pool->totalNum == 3U && g_pool->usedNum == 3U) << "unchanged";
    EXPECT_EQ(MsgMemPoolDestroy(), OS_MSG_OK);
    EXPECT_TRUE(g_pool == nullptr && MsgMemPoolInUse() == 0U && MsgMemPoolChunkSize() == 0U);
    EXPECT_EQ(MsgMemPoolAlloc(8), nullptr) << "no pool, no chunk";
    for (void *p : blocks) {
        MsgMemPoolFree(p); // blocks given back after the pool went away are released
    }
}

TEST(MemPool, OnlyListedProcessesMayHaveAPool) {
    for (const char *name : {"vyre_video_server", "vyre_audio_server", "audio_server", "vendor.zorvantv",
                             "vendor.zorvantv.hardware.zvaudioproxy@2.0-service"}) {
        EXPECT_EQ(CheckProcPermission(name), 1U) << name << " occurs within an entry";
    }
    for (const char *name : {"vyre_video_serverx", "vyre_video_serve_", "VYRE_VIDEO_SERVER", "media_server", ""}) {
        EXPECT_EQ(CheckProcPermission(name), 0U) << name;
    }
    EXPECT_EQ(CheckProcPermission(nullptr), 0U);
    LogCapture log;
    ASSERT_EQ(prctl(PR_SET_NAME, "vyre_other_proc", 0, 0, 0), 0);
    EXPECT_EQ(MsgMemPoolInit(10240, 16), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_TRUE(log.Records().empty() && MsgMemPoolInUse() == 0U) << "refused silently\n" << log.Dump();
}

int g_mallocsBeforeFailure = 0;

// The n-th malloc of the set-up fails: the header (n = 1) leaves no pool; a
// chunk leaves the pool in use with the chunks made before it.
TEST(MemPool, FailedMallocLeavesNoPoolOrOneWithTheChunksMade) {
    LogCapture quiet;
    for (int n = 1; n <= 6; ++n) {
        g_mallocsBeforeFailure = n;
        g_pfnMemPoolMalloc = [](size_t size) { return --g_mallocsBeforeFailure == 0 ? nullptr : malloc(size); };
        uint32_t result = MsgMemPoolInit(10240, 2560); // a header and 4 chunks
        g_pfnMemPoolMalloc = malloc;
        EXPECT_EQ(result, n <= 5 ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK) << "malloc " << n << " failed";
        EXPECT_EQ(MsgMemPoolInUse(), n == 1 ? 0U : 1U);
        const std::set<void *> served = TakeAll();
        EXPECT_EQ(served.size(), n == 1 ? 0U : std::min(n - 2, 4) * 1U) << "malloc " << n << " failed";
        std::for_each(served.begin(), served.end(), MsgMemPoolFree);
        EXPECT_EQ(MsgMemPoolDestroy(), OS_MSG_OK);
    }
}

// Each thread stamps every chunk it holds with its own mark and checks the
// mark before it gives the chunk back: a chunk handed to two holders at once
// shows as an overwritten mark. Half the chunks are given back by another
// thread than the one that took them, as a task loop does with a sender's.
TEST(MemPool, ThreadsTakingAndGivingBackAtOnceNeitherLoseNorShareAChunk) {
    ASSERT_EQ(MsgMemPoolInit(10240, 64), OS_MSG_OK); // 160 chunks
    constexpr int kThreads = 4, kRounds = 20000;
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::atomic<int> overwritten{0};
    std::vector<std::vector<uint32_t *>> handedOver(kThreads);
    RunOnThreads(kThreads, [&](int t) {
        std::mt19937 rng(seed + static_cast<unsigned>(t));
        std::vector<uint32_t *> held;
        for (int i = 0; i < kRounds; ++i) {
            if (held.size() < 30 && rng() % 3 != 0) {
                auto *block = static_cast<uint32_t *>(MsgMemPoolAlloc(64));
                if (block != nullptr) {
                    std::fill(block, block + 16, static_cast<uint32_t>(t * kRounds + i));
                    held.push_back(block);
                }
            } else if (!held.empty()) {
                size_t at = rng() % held.size();
                uint32_t *block = held[at];
                held.erase(held.begin() + static_cast<long>(at));
                overwritten += std::count(block, block + 16, block[0]) != 16 ? 1 : 0;
                MsgMemPoolFree(block);
            }
        }
        handedOver[t] = held;
    });
    RunOnThreads(kThreads, [&](int t) { // the neighbour gives the rest back
        std::for_each(handedOver[(t + 1) % kThreads].begin(), handedOver[(t + 1) % kThreads].end(), MsgMemPoolFree);
    });
    EXPECT_EQ(overwritten.load(), 0) << "a chunk was handed out twice";
    EXPECT_TRUE(g_pool->freeNum == 160U && g_pool->usedNum == 0U) << g_pool->freeNum << "/" << g_pool->usedNum;
    const std::set<void *> distinct = TakeAll();
    EXPECT_EQ(distinct.size(), 160U) << "every chunk is on the free list exactly once";
    std::for_each(distinct.begin(), distinct.end(), MsgMemPoolFree);
    EXPECT_EQ(MsgMemPoolDestroy(), OS_MSG_OK);
}

TEST(MemPool, ABlockGivenBackAfterItsPoolWasReplacedDoesNotJoinTheNewPool) {
    ASSERT_EQ(MsgMemPoolInit(10240, 3072), OS_MSG_OK);
    void *old = MsgMemPoolAlloc(8);
    ASSERT_NE(old, nullptr);
    ASSERT_EQ(MsgMemPoolDestroy(), OS_MSG_OK);
    ASSERT_EQ(MsgMemPoolInit(10240, 3072), OS_MSG_OK);
    MsgMemPoolFree(old);
    EXPECT_TRUE(g_pool->freeNum == 3U && g_pool->usedNum == 0U);
    const std::set<void *> distinct = TakeAll();
    EXPECT_EQ(distinct.size(), 3U);
    EXPECT_EQ(distinct.count(old), 0U);
    std::for_each(distinct.begin(), distinct.end(), MsgMemPoolFree);
    EXPECT_EQ(MsgMemPoolDestroy(), OS_MSG_OK);
}

} // namespace

// The message memory pool: size limits, the process list, chunk counts and
// last-in first-out reuse, repeated and failed set-up, and concurrent use.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "simple_msg/msg_mem_pool.h"
#include "support/log_capture.h"
#include "vyre_os_log.h"
#include "vyre_os_msg.h"

namespace {

// The kernel keeps 15 characters: this is the first 15 of a listed name.
constexpr char kListedName[] = "vyre_video_serv";

// Runs each test as a listed process and leaves no pool and the real
// allocator behind.
class MemPool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_GET_NAME, savedName_, 0, 0, 0), 0);
        ASSERT_EQ(prctl(PR_SET_NAME, kListedName, 0, 0, 0), 0);
    }
    void TearDown() override {
        g_pfnMemPoolMalloc = malloc;
        if (g_pool != nullptr) {
            MsgMemPoolDestroy();
        }
        prctl(PR_SET_NAME, savedName_, 0, 0, 0);
    }

    static std::vector<void *> AllocAll(uint32_t size) {
        std::vector<void *> blocks;
        for (void *p = MsgMemPoolAlloc(size); p != nullptr; p = MsgMemPoolAlloc(size)) {
            blocks.push_back(p);
        }
        return blocks;
    }

    char savedName_[17] = {0};
};

TEST_F(MemPool, AcceptsTheLimitsOfBothRanges) {
    const uint32_t accepted[][2] = {{10240, 16}, {10240, 3072}, {1048576, 16}, {1048576, 3072}};
    for (const auto &sizes : accepted) {
        ASSERT_EQ(MsgMemPoolInit(sizes[0], sizes[1]), OS_MSG_OK) << sizes[0] << "/" << sizes[1];
        ASSERT_NE(g_pool, nullptr);
        EXPECT_EQ(g_pool->totalNum, sizes[0] / sizes[1]);
        EXPECT_EQ(g_pool->freeNum, sizes[0] / sizes[1]);
        EXPECT_EQ(g_pool->maxPoolSize, sizes[0]);
        EXPECT_EQ(g_pool->chuckSize, sizes[1]);
        EXPECT_EQ(MsgMemPoolDestroy(), OS_MSG_OK);
    }
}

TEST_F(MemPool, RefusesSizesJustOutsideTheRanges) {
    LogCapture log;
    const uint32_t refused[][2] = {{10240, 15}, {10240, 3073}, {10239, 16}, {1048577, 16}, {0, 0}, {UINT32_MAX, 3072}};
    for (const auto &sizes : refused) {
        EXPECT_EQ(MsgMemPoolInit(sizes[0], sizes[1]), OS_MSG_ERR_INVALID_PARAM) << sizes[0] << "/" << sizes[1];
        EXPECT_EQ(g_pool, nullptr);
        EXPECT_EQ(MsgMemPoolInUse(), 0U);
    }
    EXPECT_EQ(log.Count("INVAL Error! maxPoolSize:10240, chunkSize:3073", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(log.Count("INVAL Error!", OS_LOG_ERROR), 6U) << log.Dump();
}

TEST_F(MemPool, ServesMaxOverChunkChunksThenRunsDry) {
    ASSERT_EQ(MsgMemPoolInit(10240, 3072), OS_MSG_OK);
    EXPECT_EQ(MsgMemPoolInUse(), 1U);
    EXPECT_EQ(MsgMemPoolChunkSize(), 3072U);
    std::set<void *> blocks;
    for (int i = 0; i < 3; ++i) {
        void *p = MsgMemPoolAlloc(3072);
        ASSERT_NE(p, nullptr) << "chunk " << i;
        memset(p, i, 3072); // the whole chunk size is the caller's
        blocks.insert(p);
    }
    EXPECT_EQ(blocks.size(), 3U);
    EXPECT_EQ(g_pool->freeNum, 0U);
    EXPECT_EQ(g_pool->usedNum, 3U);

    LogCapture log;
    EXPECT_EQ(MsgMemPoolAlloc(1), nullptr) << "no fall-back to another allocator";
    EXPECT_EQ(log.Count("memPoolAlloc failed, no free list, g_pool->chuckSize:3072, mallocSize:1", OS_LOG_ERROR), 1U)
        << log.Dump();
    for (void *p : blocks) {
        MsgMemPoolFree(p);
    }
    EXPECT_EQ(g_pool->freeNum, 3U);
    EXPECT_EQ(g_pool->usedNum, 0U);
}

TEST_F(MemPool, ServesExactlyTheChunkSizeAndNoMore) {
    ASSERT_EQ(MsgMemPoolInit(10240, 1024), OS_MSG_OK);
    LogCapture log;
    EXPECT_EQ(MsgMemPoolAlloc(1025), nullptr);
    EXPECT_EQ(log.Count("g_pool->chuckSize:1024, mallocSize:1025", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(g_pool->freeNum, 10U) << "a refused request takes no chunk";
    void *p = MsgMemPoolAlloc(1024);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(g_pool->usedNum, 1U);
    MsgMemPoolFree(p);
    EXPECT_EQ(g_pool->usedNum, 0U);
}

TEST_F(MemPool, HandsOutTheLastFreedChunkFirst) {
    ASSERT_EQ(MsgMemPoolInit(10240, 512), OS_MSG_OK);
    void *a = MsgMemPoolAlloc(100);
    void *b = MsgMemPoolAlloc(100);
    void *c = MsgMemPoolAlloc(100);
    ASSERT_TRUE(a != nullptr && b != nullptr && c != nullptr);
    MsgMemPoolFree(b);
    MsgMemPoolFree(a);
    EXPECT_EQ(g_pool->freeNum, 20U - 1U);
    EXPECT_EQ(g_pool->usedNum, 1U);
    EXPECT_EQ(MsgMemPoolAlloc(100), a);
    EXPECT_EQ(MsgMemPoolAlloc(100), b);
    MsgMemPoolFree(a);
    MsgMemPoolFree(b);
    MsgMemPoolFree(c);
    EXPECT_EQ(g_pool->freeNum, 20U);
}

TEST_F(MemPool, SecondInitIsRefusedAndChangesNothing) {
    ASSERT_EQ(MsgMemPoolInit(20480, 1024), OS_MSG_OK);
    void *held = MsgMemPoolAlloc(8);
    MsgMemPoolInfo *pool = g_pool;
    LogCapture log;
    EXPECT_EQ(MsgMemPoolInit(10240, 16), OS_MSG_ERR_REPEATED);
    EXPECT_EQ(log.Count("MsgMemPoolInit again", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(g_pool, pool);
    EXPECT_EQ(g_pool->chuckSize, 1024U);
    EXPECT_EQ(g_pool->totalNum, 20U);
    EXPECT_EQ(g_pool->usedNum, 1U);
    EXPECT_EQ(MsgMemPoolChunkSize(), 1024U);
    MsgMemPoolFree(held);
}

TEST_F(MemPool, CanBeSetUpAgainAfterDestroy) {
    ASSERT_EQ(MsgMemPoolInit(10240, 3072), OS_MSG_OK);
    EXPECT_EQ(MsgMemPoolDestroy(), OS_MSG_OK);
    EXPECT_EQ(g_pool, nullptr);
    EXPECT_EQ(MsgMemPoolInUse(), 0U);
    EXPECT_EQ(MsgMemPoolChunkSize(), 0U);

    ASSERT_EQ(MsgMemPoolInit(16384, 64), OS_MSG_OK);
    EXPECT_EQ(MsgMemPoolInUse(), 1U);
    EXPECT_EQ(MsgMemPoolChunkSize(), 64U);
    std::vector<void *> blocks = AllocAll(64);
    EXPECT_EQ(blocks.size(), 256U);
    for (void *p : blocks) {
        MsgMemPoolFree(p);
    }
}

TEST_F(MemPool, DestroyWithoutAPoolLogsAndSucceeds) {
    LogCapture log;
    EXPECT_EQ(MsgMemPoolDestroy(), OS_MSG_OK);
    EXPECT_EQ(log.Count("MsgMemPool not init.", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(MsgMemPoolAlloc(8), nullptr) << "no pool, no chunk";
}

TEST_F(MemPool, BlockGivenBackAfterDestroyIsReleased) {
    ASSERT_EQ(MsgMemPoolInit(10240, 256), OS_MSG_OK);
    void *held = MsgMemPoolAlloc(256);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(MsgMemPoolDestroy(), OS_MSG_OK);
    MsgMemPoolFree(held); // the leak checker of the sanitizer build sees a leak otherwise
    EXPECT_EQ(g_pool, nullptr);
}

TEST_F(MemPool, ListedProcessIsLoggedAtInfo) {
    LogCapture log;
    ASSERT_EQ(MsgMemPoolInit(10240, 16), OS_MSG_OK);
    EXPECT_EQ(log.Count("Proc:vyre_video_serv In g_memPoolList", OS_LOG_INFO), 1U) << log.Dump();
}

TEST_F(MemPool, UnlistedProcessIsRefusedSilently) {
    ASSERT_EQ(prctl(PR_SET_NAME, "vyre_other_proc", 0, 0, 0), 0);
    LogCapture log;
    EXPECT_EQ(MsgMemPoolInit(10240, 16), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(g_pool, nullptr);
    EXPECT_EQ(MsgMemPoolInUse(), 0U);
    EXPECT_TRUE(log.Records().empty()) << log.Dump();
}

TEST(MemPoolPermission, ListsNamesThatOccurWithinAnEntry) {
    EXPECT_EQ(CheckProcPermission("vyre_video_server"), 1U);
    EXPECT_EQ(CheckProcPermission("vyre_video_serv"), 1U);
    EXPECT_EQ(CheckProcPermission("vyre_audio_server"), 1U);
    EXPECT_EQ(CheckProcPermission("vendor.zorvantv.hardware.zvaudioproxy@2.0-service"), 1U);
    EXPECT_EQ(CheckProcPermission("vendor.zorvantv"), 1U);
    EXPECT_EQ(CheckProcPermission("audio_server"), 1U) << "inside an entry, not only its start";

    EXPECT_EQ(CheckProcPermission("vyre_video_serverx"), 0U) << "longer than every entry";
    EXPECT_EQ(CheckProcPermission("vyre_video_serve_"), 0U);
    EXPECT_EQ(CheckProcPermission("VYRE_VIDEO_SERVER"), 0U);
    EXPECT_EQ(CheckProcPermission("media_server"), 0U);
}

TEST(MemPoolPermission, EmptyOrMissingNameIsNotListed) {
    EXPECT_EQ(CheckProcPermission(""), 0U) << "an unreadable process name must not match every entry";
    EXPECT_EQ(CheckProcPermission(nullptr), 0U);
}

// A malloc that fails from its n-th call on (n counted from 1).
std::atomic<int> g_mallocCallsBeforeFailure{0};

void *FailingMalloc(size_t size) {
    if (g_mallocCallsBeforeFailure.fetch_sub(1) <= 1) {
        return nullptr;
    }
    return malloc(size);
}

TEST_F(MemPool, HeaderAllocationFailureLeavesNoPool) {
    g_mallocCallsBeforeFailure = 1;
    g_pfnMemPoolMalloc = FailingMalloc;
    LogCapture log;
    EXPECT_EQ(MsgMemPoolInit(10240, 1024), OS_MSG_ERR_NO_MEMORY);
    EXPECT_EQ(log.Count("malloc g_pool failed", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(g_pool, nullptr);
    EXPECT_EQ(MsgMemPoolInUse(), 0U);
    EXPECT_EQ(MsgMemPoolChunkSize(), 0U);

    g_pfnMemPoolMalloc = malloc;
    EXPECT_EQ(MsgMemPoolInit(10240, 1024), OS_MSG_OK) << "the failed set-up left nothing behind";
}

TEST_F(MemPool, ChunkAllocationFailureKeepsThePoolWithTheChunksMade) {
    g_mallocCallsBeforeFailure = 3; // the header and one chunk succeed
    g_pfnMemPoolMalloc = FailingMalloc;
    LogCapture log;
    EXPECT_EQ(MsgMemPoolInit(10240, 2048), OS_MSG_ERR_NO_MEMORY);
    g_pfnMemPoolMalloc = malloc;
    EXPECT_EQ(log.Count("malloc error", OS_LOG_ERROR), 1U) << log.Dump();
    ASSERT_NE(g_pool, nullptr);
    EXPECT_EQ(MsgMemPoolInUse(), 1U);
    EXPECT_EQ(g_pool->totalNum, 5U);
    EXPECT_EQ(g_pool->freeNum, 5U) << "the counters keep the planned number";

    std::vector<void *> blocks = AllocAll(2048);
    EXPECT_EQ(blocks.size(), 1U) << "only the chunk that was made is handed out";
    for (void *p : blocks) {
        MsgMemPoolFree(p);
    }
    EXPECT_EQ(MsgMemPoolInit(10240, 2048), OS_MSG_ERR_REPEATED) << "the partial pool is in use";
    EXPECT_EQ(MsgMemPoolDestroy(), OS_MSG_OK);
    EXPECT_EQ(MsgMemPoolInUse(), 0U);
}

TEST_F(MemPool, ThreadsNeverShareAChunk) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    ASSERT_EQ(MsgMemPoolInit(10240, 64), OS_MSG_OK); // 160 chunks
    std::atomic<int> corrupted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &corrupted] {
            void *held[8];
            for (int round = 0; round < kRounds; ++round) {
                for (void *&p : held) {
                    p = MsgMemPoolAlloc(64);
                    if (p != nullptr) {
                        memset(p, t + 1, 64);
                    }
                }
                for (void *p : held) {
                    const auto *bytes = static_cast<const unsigned char *>(p);
                    if (bytes == nullptr || bytes[0] != t + 1 || bytes[63] != t + 1) {
                        corrupted.fetch_add(1);
                    }
                    MsgMemPoolFree(p);
                }
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(corrupted.load(), 0);
    EXPECT_EQ(g_pool->freeNum, 160U);
    EXPECT_EQ(g_pool->usedNum, 0U);
}

TEST_F(MemPool, PublicFunctionsForwardToThePool) {
    EXPECT_EQ(OsMsgMemPoolInit(10240, 15), OS_MSG_ERR_INVALID_PARAM);
    ASSERT_EQ(OsMsgMemPoolInit(10240, 3072), OS_MSG_OK);
    ASSERT_NE(g_pool, nullptr);
    EXPECT_EQ(g_pool->totalNum, 3U);
    EXPECT_EQ(OsMsgMemPoolInit(10240, 3072), OS_MSG_ERR_REPEATED);
    EXPECT_EQ(OsMsgMemPoolUnInit(), OS_MSG_OK);
    EXPECT_EQ(g_pool, nullptr);
    EXPECT_EQ(OsMsgMemPoolUnInit(), OS_MSG_OK);
}

} // namespace

// Message buffers of a process with a memory pool: which sizes the pool
// serves, and what a send meets when the pool runs dry.
#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <cstring>

#include "simple_msg/msg_mem_pool.h"
#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_mem.h"

using namespace simple_msg_test;

namespace {

// The kernel keeps 15 characters of a listed process name.
constexpr char kListedName[] = "vyre_video_serv";
constexpr uint32_t kChunk = 64;
constexpr uint32_t kChunks = 160; // 10240 / 64

class PooledBuffers : public SimpleMsgTest {
protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_GET_NAME, savedName_, 0, 0, 0), 0);
        ASSERT_EQ(prctl(PR_SET_NAME, kListedName, 0, 0, 0), 0);
        ASSERT_EQ(MsgMemPoolInit(kChunks * kChunk, kChunk), OS_MSG_OK);
        SimpleMsgTest::SetUp();
    }
    void TearDown() override {
        SimpleMsgTest::TearDown();
        EXPECT_EQ(g_pool->freeNum, kChunks);
        (void)MsgMemPoolDestroy();
        prctl(PR_SET_NAME, savedName_, 0, 0, 0);
    }
    char savedName_[32] = {0};
};

TEST_F(PooledBuffers, ChunkSizedBuffersComeFromThePoolLargerOnesFromTheTrackedAllocator) {
    const uint64_t start = OSMemGetUsedBlocks();
    void *fits = SimpleMsgAllocBuffer(kChunk);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(g_pool->usedNum, 1U);
    EXPECT_EQ(OSMemGetUsedBlocks(), start);
    void *larger = SimpleMsgAllocBuffer(kChunk + 1U);
    ASSERT_NE(larger, nullptr);
    EXPECT_EQ(g_pool->usedNum, 1U);
    EXPECT_EQ(OSMemGetUsedBlocks(), start + 1U);
    std::memset(fits, 0xA5, kChunk);
    std::memset(larger, 0x5A, kChunk + 1U);

    SimpleMsgReleaseBuffer(fits, kChunk);
    EXPECT_EQ(g_pool->usedNum, 0U);
    SimpleMsgReleaseBuffer(larger, kChunk + 1U);
    EXPECT_EQ(OSMemGetUsedBlocks(), start);
}

TEST_F(PooledBuffers, DryPoolFailsTheSendWithoutFallingBack) {
    ASSERT_EQ(SimpleMsgRegTask("hoard", kChunks + 8U, nullptr, 0), OS_MSG_OK);
    const uint64_t blocks = OSMemGetUsedBlocks();
    const std::string payload(10, 'p');
    MsgHead head = MakeHead("hoard", 1, "sender", payload);
    for (uint32_t i = 0; i < kChunks; ++i) {
        ASSERT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK) << i;
    }
    LogCapture log;
    EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_ERR_NO_MEMORY);
    EXPECT_EQ(log.Count("alloc failed.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    // Payloads above the chunk size still go through.
    const std::string large(kChunk + 1U, 'l');
    MsgHead big = MakeHead("hoard", 2, "sender", large);
    EXPECT_EQ(SimpleMsgAsynSend(&big), OS_MSG_OK);
    // Removal gives every queued chunk back (checked in TearDown).
    EXPECT_EQ(SimpleMsgUnregTask("hoard"), OS_MSG_OK);
}

} // namespace

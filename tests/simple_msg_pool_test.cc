// Message buffers of a process with a memory pool: which sizes the pool
// serves, what happens when it runs dry, and that chunks come back after the
// loop has handled their messages.
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

Inbox *g_inbox = nullptr;

uint32_t Record(MsgHead *msg) {
    g_inbox->Add(msg);
    return 0;
}

class PooledBuffers : public SimpleMsgTest {
protected:
    void SetUp() override {
        ASSERT_EQ(prctl(PR_GET_NAME, savedName_, 0, 0, 0), 0);
        ASSERT_EQ(prctl(PR_SET_NAME, kListedName, 0, 0, 0), 0);
        ASSERT_EQ(MsgMemPoolInit(kChunks * kChunk, kChunk), OS_MSG_OK);
        SimpleMsgTest::SetUp();
        g_inbox = &inbox_;
    }
    void TearDown() override {
        SimpleMsgTest::TearDown();
        EXPECT_EQ(g_pool->freeNum, kChunks);
        (void)MsgMemPoolDestroy();
        prctl(PR_SET_NAME, savedName_, 0, 0, 0);
    }
    char savedName_[32] = {0};
    Inbox inbox_;
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

TEST_F(PooledBuffers, LoopReturnsEveryChunkAfterItsMessage) {
    constexpr uint32_t kMessages = 4 * kChunks;
    ASSERT_EQ(SimpleMsgRegTask("cycle", kChunks / 2U, Record, 0), OS_MSG_OK);
    StartLoop("cycle");
    for (uint32_t id = 0; id < kMessages; ++id) {
        const std::string payload = std::to_string(id) + std::string(20, '.');
        MsgHead head = MakeHead("cycle", id, "sender", payload);
        uint32_t ret;
        while ((ret = SimpleMsgAsynSend(&head)) == OS_MSG_ERR_FULL) {
            std::this_thread::yield();
        }
        ASSERT_EQ(ret, OS_MSG_OK) << id;
    }
    ASSERT_TRUE(inbox_.WaitFor(kMessages));
    std::vector<Received> got = inbox_.Items();
    for (uint32_t id = 0; id < kMessages; ++id) {
        EXPECT_EQ(got[id].payload, std::to_string(id) + std::string(20, '.'));
    }
    // Once the loop has left, every payload it handled has been given back.
    EXPECT_EQ(SimpleMsgUnregTask("cycle"), OS_MSG_OK);
    EXPECT_EQ(g_pool->freeNum, kChunks);
}

} // namespace

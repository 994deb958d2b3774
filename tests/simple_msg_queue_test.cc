// Task queues end to end: order across the ring's wrap, a full ring, several
// producers into one task, a callback that sends to its own task, and the
// allocations of the message path.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>

#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "vyre_os_mem.h"

using namespace simple_msg_test;

namespace {

Inbox *g_inbox = nullptr;
Gate *g_firstEntered = nullptr;
Gate *g_release = nullptr;

uint32_t Record(MsgHead *msg) {
    g_inbox->Add(msg);
    return 0;
}

// Holds the first message until released.
uint32_t HoldFirst(MsgHead *msg) {
    bool first = g_inbox->Items().empty();
    g_inbox->Add(msg);
    if (first) {
        g_firstEntered->Open();
        EXPECT_TRUE(g_release->Wait());
    }
    return 0;
}

// Sends the next message to its own task, up to id 5.
uint32_t SendOnToSelf(MsgHead *msg) {
    g_inbox->Add(msg);
    if (msg->msgId < 5U) {
        const std::string next = "step" + std::to_string(msg->msgId + 1U);
        MsgHead head = MakeHead(msg->recvTaskName, msg->msgId + 1U, msg->recvTaskName, next);
        EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    }
    return 0;
}

std::string Payload(uint32_t id) {
    return std::string(id % 7U + 1U, static_cast<char>('a' + id));
}

class TaskQueue : public SimpleMsgTest {
protected:
    void SetUp() override {
        SimpleMsgTest::SetUp();
        g_inbox = &inbox_;
        g_firstEntered = &firstEntered_;
        g_release = &release_;
    }
    void TearDown() override {
        release_.Open();
        SimpleMsgTest::TearDown();
    }
    uint32_t Send(uint32_t id) {
        const std::string payload = Payload(id);
        MsgHead head = MakeHead("q", id, "st", payload);
        CopyName(head.sendProcName, "sp");
        CopyName(head.recvProcName, "rp");
        return SimpleMsgAsynSend(&head);
    }
    Inbox inbox_;
    Gate firstEntered_;
    Gate release_;
};

TEST_F(TaskQueue, KeepsPushOrderAcrossTheWrapAndRefusesWhenFull) {
    ASSERT_EQ(SimpleMsgRegTask("q", 3, HoldFirst, 0), OS_MSG_OK);
    StartLoop("q");
    ASSERT_EQ(Send(1), OS_MSG_OK);
    ASSERT_TRUE(firstEntered_.Wait());
    // Ring empty, both indices at 1: these take slots 1, 2 and 0.
    for (uint32_t id = 2; id <= 4; ++id) {
        ASSERT_EQ(Send(id), OS_MSG_OK);
    }
    LogCapture log;
    const uint64_t blocks = OSMemGetUsedBlocks();
    EXPECT_EQ(Send(5), OS_MSG_ERR_FULL);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks); // the sender's copy went back
    EXPECT_EQ(log.Count("simple msg full. recvPro=rp,recvTask=q, sendPro=sp,sendTask=st", OS_LOG_ERROR), 1U);

    release_.Open();
    ASSERT_TRUE(inbox_.WaitFor(4));
    for (uint32_t id = 6; id <= 9; ++id) {
        ASSERT_EQ(Send(id), OS_MSG_OK);
        ASSERT_TRUE(inbox_.WaitFor(id - 1U));
    }
    std::vector<Received> got = inbox_.Items();
    const std::vector<uint32_t> order{1, 2, 3, 4, 6, 7, 8, 9};
    ASSERT_EQ(inbox_.Ids(), order);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].payload, Payload(order[i]));
    }
}

TEST_F(TaskQueue, ManyProducersLoseAndDuplicateNothing) {
    constexpr uint32_t kProducers = 4;
    constexpr uint32_t kEach = 1500;
    const uint32_t seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    // The model: next sequence number expected from each producer.
    static std::atomic<uint32_t> next[kProducers];
    static std::atomic<uint32_t> errors{0};
    static std::atomic<uint32_t> total{0};
    static Gate allArrived;
    // Payload: producer, sequence number, then bytes derived from both.
    auto check = [](MsgHead *msg) -> uint32_t {
        uint32_t word[2] = {kProducers, 0};
        if (msg->data != nullptr && msg->dataLen >= sizeof(word)) {
            std::memcpy(word, msg->data, sizeof(word));
        }
        const unsigned char *bytes = static_cast<const unsigned char *>(msg->data);
        for (uint32_t i = sizeof(word); i < msg->dataLen; ++i) {
            errors += bytes[i] != static_cast<unsigned char>(word[0] * 31U + word[1] + i) ? 1U : 0U;
        }
        if (word[0] < kProducers && msg->msgId == word[0] && next[word[0]] == word[1]) {
            next[word[0]]++;
        } else {
            errors++;
        }
        if (++total == kProducers * kEach) {
            allArrived.Open();
        }
        return 0;
    };
    ASSERT_EQ(SimpleMsgRegTask("sink", 64, +check, 0), OS_MSG_OK);
    StartLoop("sink");
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([p, seed] {
            std::mt19937 rng(seed + p);
            for (uint32_t seq = 0; seq < kEach; ++seq) {
                std::string payload(8U + rng() % 200U, '\0');
                uint32_t word[2] = {p, seq};
                std::memcpy(&payload[0], word, sizeof(word));
                for (uint32_t i = sizeof(word); i < payload.size(); ++i) {
                    payload[i] = static_cast<char>(p * 31U + seq + i);
                }
                MsgHead head = MakeHead("sink", p, "prod", payload);
                uint32_t ret;
                while ((ret = SimpleMsgAsynSend(&head)) == OS_MSG_ERR_FULL) {
                    std::this_thread::yield();
                }
                ASSERT_EQ(ret, OS_MSG_OK);
            }
        });
    }
    for (auto &t : producers) {
        t.join();
    }
    ASSERT_TRUE(allArrived.Wait());
    EXPECT_EQ(errors.load(), 0U);
    for (uint32_t p = 0; p < kProducers; ++p) {
        EXPECT_EQ(next[p].load(), kEach) << "producer " << p;
    }
}

TEST_F(TaskQueue, CallbackMaySendToItsOwnTask) {
    ASSERT_EQ(SimpleMsgRegTask("self", 2, SendOnToSelf, 0), OS_MSG_OK);
    StartLoop("self");
    MsgHead head = MakeHead("self", 1);
    ASSERT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(5));
    EXPECT_EQ(inbox_.Ids(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(inbox_.Items()[4].payload, "step5");
}

TEST_F(TaskQueue, PushAndLoopAllocateNothing) {
    ASSERT_EQ(SimpleMsgRegTask("hot", 4, Record, 0), OS_MSG_OK);
    StartLoop("hot");
    OSMemSetFailCountdown(1); // the next tracked allocation anywhere would fail
    MsgHead head = MakeHead("hot", 7);
    ASSERT_EQ(SimpleMsgPushBuffer("hot", &head, nullptr, 0), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(1));
    EXPECT_EQ(OSMemGetFailCountdown(), 1);
    EXPECT_FALSE(inbox_.Items()[0].hasData);
}

TEST_F(TaskQueue, PayloadCopyFailureQueuesNothing) {
    ASSERT_EQ(SimpleMsgRegTask("idle", 4, nullptr, 0), OS_MSG_OK);
    SimpleMsgTask *task = FindTask("idle");
    const uint64_t start = OSMemGetUsedBlocks();
    const std::string payload(64, 'p');
    MsgHead head = MakeHead("idle", 1, "sender", payload);
    LogCapture log;
    int allocations = SweepAllocFailures([&] { return SimpleMsgAsynSend(&head); },
                                         [&](int, bool failed, uint32_t result) {
                                             EXPECT_EQ(result, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK);
                                             EXPECT_EQ(task->msgNum, failed ? 0U : 1U);
                                             EXPECT_EQ(OSMemGetUsedBlocks(), start + (failed ? 0U : 1U));
                                         });
    EXPECT_EQ(allocations, 1);
    EXPECT_EQ(log.Count("alloc failed.", OS_LOG_ERROR), 1U);
}

} // namespace

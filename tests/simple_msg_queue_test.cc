// Task queues end to end: push order across the ring's wrap, a full ring,
// several producers into one task, a callback that sends to its own task,
// messages without payload, and the allocation rules of the message path.
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
Gate *g_firstEntered = nullptr; // opened when the first message's callback starts
Gate *g_release = nullptr;      // the first callback waits for it

uint32_t RecordingCallback(MsgHead *msg) {
    g_inbox->Add(msg);
    return 0;
}

uint32_t BlockFirstCallback(MsgHead *msg) {
    bool first = g_inbox->Items().empty();
    g_inbox->Add(msg);
    if (first) {
        g_firstEntered->Open();
        EXPECT_TRUE(g_release->Wait());
    }
    return 0;
}

// Each message asks for the next one to be sent to the own task, up to id 5.
uint32_t SelfSendingCallback(MsgHead *msg) {
    g_inbox->Add(msg);
    if (msg->msgId < 5U) {
        std::string next = "step" + std::to_string(msg->msgId + 1U);
        MsgHead head = MakeHead(msg->recvTaskName, msg->msgId + 1U, msg->recvTaskName, next);
        EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
    }
    return 0;
}

std::string Payload(uint32_t id) {
    return std::string(id % 7U + 1U, static_cast<char>('a' + id % 26U));
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
    uint32_t Send(const std::string &task, uint32_t id) {
        std::string payload = Payload(id);
        MsgHead head = MakeHead(task, id, "sender", payload);
        return SimpleMsgAsynSend(&head);
    }

    Inbox inbox_;
    Gate firstEntered_;
    Gate release_;
};

TEST_F(TaskQueue, KeepsPushOrderAcrossTheRingWrap) {
    ASSERT_EQ(SimpleMsgRegTask("wrap", 3, BlockFirstCallback, 0), OS_MSG_OK);
    StartLoop("wrap");
    ASSERT_EQ(Send("wrap", 1), OS_MSG_OK);
    ASSERT_TRUE(firstEntered_.Wait());
    // The ring is empty with both indices at 1: these go to slots 1, 2, 0.
    for (uint32_t id = 2; id <= 4; ++id) {
        ASSERT_EQ(Send("wrap", id), OS_MSG_OK);
    }
    release_.Open();
    ASSERT_TRUE(inbox_.WaitFor(4));
    for (uint32_t id = 5; id <= 11; ++id) {
        ASSERT_EQ(Send("wrap", id), OS_MSG_OK);
        ASSERT_TRUE(inbox_.WaitFor(id));
    }
    std::vector<Received> got = inbox_.Items();
    ASSERT_EQ(got.size(), 11U);
    for (uint32_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].msgId, i + 1U);
        EXPECT_EQ(got[i].payload, Payload(i + 1U));
        EXPECT_EQ(got[i].dataLen, Payload(i + 1U).size());
        EXPECT_EQ(got[i].sendTask, "sender");
    }
}

TEST_F(TaskQueue, FullRingRefusesAndReleasesTheSendersCopy) {
    ASSERT_EQ(SimpleMsgRegTask("full", 2, BlockFirstCallback, 0), OS_MSG_OK);
    StartLoop("full");
    ASSERT_EQ(Send("full", 1), OS_MSG_OK);
    ASSERT_TRUE(firstEntered_.Wait());
    ASSERT_EQ(Send("full", 2), OS_MSG_OK);
    ASSERT_EQ(Send("full", 3), OS_MSG_OK);

    LogCapture log;
    uint64_t blocks = OSMemGetUsedBlocks();
    std::string payload = "refused";
    MsgHead head = MakeHead("full", 4, "st", payload);
    CopyName(head.sendProcName, "sp");
    CopyName(head.recvProcName, "rp");
    EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_ERR_FULL);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    EXPECT_EQ(log.Count("simple msg full. recvPro=rp,recvTask=full, sendPro=sp,sendTask=st", OS_LOG_ERROR), 1U)
        << log.Dump();

    release_.Open();
    ASSERT_TRUE(inbox_.WaitFor(3));
    EXPECT_EQ(inbox_.Ids(), (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(TaskQueue, ManyProducersLoseAndDuplicateNothing) {
    constexpr uint32_t kProducers = 4;
    constexpr uint32_t kPerProducer = 1500;
    const uint32_t seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    // The consumer's model: the sequence number expected next per producer.
    static std::atomic<uint32_t> next[kProducers];
    static std::atomic<uint32_t> errors{0};
    static std::atomic<uint32_t> total{0};
    static Gate allArrived;
    // Payload: producer, sequence number, then bytes derived from both.
    auto check = [](MsgHead *msg) -> uint32_t {
        uint32_t word[2] = {kProducers, 0};
        if (msg->dataLen >= sizeof(word) && msg->data != nullptr) {
            std::memcpy(word, msg->data, sizeof(word));
        }
        const unsigned char *bytes = static_cast<const unsigned char *>(msg->data);
        for (uint32_t i = sizeof(word); i < msg->dataLen; ++i) {
            errors += bytes[i] != static_cast<unsigned char>(word[0] * 31U + word[1] + i) ? 1U : 0U;
        }
        if (word[0] >= kProducers || msg->msgId != word[0] || next[word[0]].load() != word[1]) {
            errors++;
        } else {
            next[word[0]]++;
        }
        if (++total == kProducers * kPerProducer) {
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
            for (uint32_t seq = 0; seq < kPerProducer; ++seq) {
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
        EXPECT_EQ(next[p].load(), kPerProducer) << "producer " << p;
    }
}

TEST_F(TaskQueue, CallbackMaySendToItsOwnTask) {
    ASSERT_EQ(SimpleMsgRegTask("self", 2, SelfSendingCallback, 0), OS_MSG_OK);
    StartLoop("self");
    ASSERT_EQ(Send("self", 1), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(5));
    EXPECT_EQ(inbox_.Ids(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(inbox_.Items()[4].payload, "step5");
}

TEST_F(TaskQueue, MessageWithoutLengthOrDataArrivesWithoutPayload) {
    ASSERT_EQ(SimpleMsgRegTask("bare", 4, RecordingCallback, 0), OS_MSG_OK);
    StartLoop("bare");
    std::string text = "ignored";
    MsgHead noLength = MakeHead("bare", 1, "sender", text);
    noLength.dataLen = 0;
    MsgHead noData = MakeHead("bare", 2);
    noData.dataLen = 12;
    uint64_t blocks = OSMemGetUsedBlocks();
    ASSERT_EQ(SimpleMsgAsynSend(&noLength), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgAsynSend(&noData), OS_MSG_OK);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
    ASSERT_TRUE(inbox_.WaitFor(2));
    for (const Received &r : inbox_.Items()) {
        EXPECT_EQ(r.dataLen, 0U);
        EXPECT_FALSE(r.hasData);
    }
}

TEST_F(TaskQueue, TaskWithoutCallbackDropsMessagesUntilItGetsOne) {
    ASSERT_EQ(SimpleMsgRegTask("mute", 8, nullptr, 0), OS_MSG_OK);
    StartLoop("mute");
    uint64_t blocks = OSMemGetUsedBlocks();
    for (uint32_t id = 1; id <= 3; ++id) {
        ASSERT_EQ(Send("mute", id), OS_MSG_OK);
    }
    // The loop takes them and gives their payloads back.
    ASSERT_TRUE(WaitUntil([&] { return OSMemGetUsedBlocks() == blocks; }));
    ASSERT_EQ(SimpleMsgRegTask("mute", 0, RecordingCallback, 0), OS_MSG_OK);
    EXPECT_EQ(FindTask("mute")->maxMsgNum, 8U);
    ASSERT_EQ(Send("mute", 4), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(1));
    EXPECT_EQ(inbox_.Ids(), std::vector<uint32_t>{4});
}

TEST_F(TaskQueue, PushAndLoopAllocateNothing) {
    ASSERT_EQ(SimpleMsgRegTask("hot", 4, RecordingCallback, 0), OS_MSG_OK);
    StartLoop("hot");
    // The next tracked allocation anywhere in the process would fail.
    OSMemSetFailCountdown(1);
    MsgHead head = MakeHead("hot", 7);
    ASSERT_EQ(SimpleMsgPushBuffer("hot", &head, nullptr, 0), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(1));
    EXPECT_EQ(OSMemGetFailCountdown(), 1);
    OSMemSetFailCountdown(-1);
}

TEST_F(TaskQueue, PayloadCopyFailureLeavesNothingQueued) {
    ASSERT_EQ(SimpleMsgRegTask("idle", 4, nullptr, 0), OS_MSG_OK);
    SimpleMsgTask *task = FindTask("idle");
    ASSERT_NE(task, nullptr);
    const uint64_t start = OSMemGetUsedBlocks();
    std::string payload(64, 'p');
    MsgHead head = MakeHead("idle", 1, "sender", payload);
    LogCapture log;
    int allocations = SweepAllocFailures([&] { return SimpleMsgAsynSend(&head); },
                                         [&](int, bool failed, uint32_t result) {
                                             if (failed) {
                                                 EXPECT_EQ(result, OS_MSG_ERR_NO_MEMORY);
                                                 EXPECT_EQ(task->msgNum, 0U);
                                                 EXPECT_EQ(OSMemGetUsedBlocks(), start);
                                             } else {
                                                 EXPECT_EQ(result, OS_MSG_OK);
                                                 EXPECT_EQ(task->msgNum, 1U);
                                             }
                                         });
    EXPECT_EQ(allocations, 1);
    EXPECT_EQ(log.Count("alloc failed.", OS_LOG_ERROR), 1U);
}

TEST_F(TaskQueue, PushToAMissingTaskOrLoopOfAMissingTaskFails) {
    LogCapture log;
    MsgHead head = MakeHead("ghost", 1);
    EXPECT_EQ(SimpleMsgPushBuffer("ghost", &head, nullptr, 0), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(log.Count("SimpleMsgGetQueue NULL[ghost].", OS_LOG_ERROR), 1U);
    EXPECT_EQ(SimpleTaskRoutineByName(const_cast<char *>("ghost")), OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(log.Count("task[ghost] not get queue.", OS_LOG_FATAL), 1U);
    EXPECT_EQ(SimpleTaskLoop(nullptr), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(log.Count("null simpleQueue!", OS_LOG_ERROR), 1U);
}

} // namespace

// The lock-free message ring on its own, against a plain model, and several
// producers against a consumer that sleeps through the ring's hand-shake: no
// message lost or reordered, no wake-up lost or spare. VYRE_STRESS
// (support/stress_scale.h) sets the stress sizes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "simple_msg/simple_msg_ring.h"
#include "support/msg_test_task.h"
#include "support/stress_scale.h"
#include "support/threads.h"

namespace {

// A ring over storage the test owns.
class TestRing {
public:
    explicit TestRing(uint32_t capacity) : storage_(SimpleMsgRingBytes(capacity)) {
        SimpleMsgRingInit(&ring_, storage_.data(), capacity);
    }
    SimpleMsgRing *get() { return &ring_; }
    // Pushes a node whose msgId and dataLen carry producer and sequence.
    bool Push(uint32_t producer, uint32_t seq, uint32_t *pending = nullptr, uint64_t *at = nullptr) {
        MsgHead head{};
        head.msgId = producer;
        uint64_t position = 0;
        uint32_t ignored = 0;
        bool pushed =
            SimpleMsgRingPush(&ring_, &head, nullptr, seq, &position, pending != nullptr ? pending : &ignored);
        if (at != nullptr) {
            *at = position;
        }
        return pushed;
    }

private:
    SimpleMsgRing ring_{};
    std::vector<char> storage_;
};

TEST(MessageRing, FollowsAPlainQueueModelAcrossManyWraps) {
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    for (uint32_t capacity : {1U, 3U, 8U}) {
        TestRing ring(capacity);
        std::deque<uint32_t> model;
        uint32_t next = 0, popped = 0;
        while (popped < 200U * capacity) { // the indices wrap about 200 times
            if (random() % 2U == 0U) {
                uint32_t pending = 0;
                uint64_t position = 0;
                bool pushed = ring.Push(0, next, &pending, &position);
                ASSERT_EQ(pushed, model.size() < capacity) << "capacity " << capacity;
                if (pushed) {
                    model.push_back(next++);
                    ASSERT_EQ(pending, model.size());
                    // Exact when it may exceed what the caller knows, else within it.
                    uint32_t known = random() % (capacity + 1U);
                    uint32_t beyond = SimpleMsgRingPendingBeyond(ring.get(), position, known);
                    if (model.size() > known) {
                        ASSERT_EQ(beyond, model.size()) << "known " << known;
                    } else {
                        ASSERT_LE(beyond, known);
                    }
                }
            } else {
                MsgHead out{};
                uint64_t position = 0;
                bool got = SimpleMsgRingPop(ring.get(), &out, &position);
                ASSERT_EQ(got, !model.empty());
                if (got) {
                    ASSERT_EQ(out.dataLen, model.front());
                    ASSERT_EQ(position, static_cast<uint64_t>(popped++));
                    model.pop_front();
                }
            }
            ASSERT_EQ(SimpleMsgRingPending(ring.get()), model.size());
        }
    }
}

TEST(MessageRing, ReplacesThePayloadFieldsAndKeepsTheRestOfTheHeader) {
    TestRing ring(2);
    MsgHead head{};
    head.msgId = 0x1234;
    head.sendCpuId = 3;
    std::memcpy(head.recvTaskName, "abcdefghijklmno", 16);
    head.dataLen = 99;
    head.data = &head;
    char payload[4] = {0};
    uint64_t position = 0;
    uint32_t pending = 0;
    ASSERT_TRUE(SimpleMsgRingPush(ring.get(), &head, payload, 4, &position, &pending));
    MsgHead out{};
    ASSERT_TRUE(SimpleMsgRingPop(ring.get(), &out, &position));
    EXPECT_EQ(out.dataLen, 4U);
    EXPECT_EQ(out.data, payload);
    out.dataLen = head.dataLen;
    out.data = head.data;
    EXPECT_EQ(std::memcmp(&out, &head, sizeof(MsgHead)), 0);
}

TEST(MessageRing, SleepAnnouncementIsTakenByOneProducerOnly) {
    TestRing ring(4);
    EXPECT_TRUE(SimpleMsgRingPrepareSleep(ring.get())); // empty: the consumer may sleep
    ASSERT_TRUE(ring.Push(0, 1));
    EXPECT_TRUE(SimpleMsgRingTakeWake(ring.get()));
    ASSERT_TRUE(ring.Push(0, 2));
    EXPECT_FALSE(SimpleMsgRingTakeWake(ring.get())); // taken already: one post per sleep
    // Awake with a node queued: the announcement is withdrawn, untaken.
    EXPECT_FALSE(SimpleMsgRingPrepareSleep(ring.get()));
    EXPECT_TRUE(SimpleMsgRingCancelSleep(ring.get()));
    EXPECT_FALSE(SimpleMsgRingTakeWake(ring.get()));
    // Withdrawn too late: a producer took it first, and its post is due.
    EXPECT_FALSE(SimpleMsgRingPrepareSleep(ring.get()));
    EXPECT_TRUE(SimpleMsgRingTakeWake(ring.get()));
    EXPECT_FALSE(SimpleMsgRingCancelSleep(ring.get()));
}

TEST(MessageRing, SeveralProducersDeliverEveryMessageOnceInOrderWithoutLostWakeUps) {
    const uint32_t kProducers = 4, kCapacity = 7, kEach = 5000U * StressScale();
    TestRing ring(kCapacity);
    TestCounter posts; // the consumer's n-th sleep ends with the n-th post, or fails after a bound
    std::atomic<uint64_t> refusals{0};
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (uint32_t seq = 0; seq < kEach; ++seq) {
                // Bounded: a consumer that stalls fails the test instead of leaving its producers spinning.
                if (!WaitUntil([&] { return ring.Push(p, seq) || (refusals.fetch_add(1), false); })) {
                    return;
                }
                if (SimpleMsgRingTakeWake(ring.get())) {
                    posts.Add();
                }
            }
        });
    }
    // The consumer: drains, announces its sleep, sleeps; the model is each
    // producer's next sequence number.
    std::vector<uint32_t> next(kProducers, 0);
    uint64_t received = 0, waits = 0;
    bool stalled = false;
    while (received < uint64_t{kProducers} * kEach && !stalled) {
        MsgHead out{};
        uint64_t position = 0;
        if (SimpleMsgRingPop(ring.get(), &out, &position)) {
            ASSERT_EQ(position, received);
            ASSERT_LT(out.msgId, kProducers);
            ASSERT_EQ(out.dataLen, next[out.msgId]++) << "producer " << out.msgId;
            ++received;
            continue;
        }
        if (SimpleMsgRingPrepareSleep(ring.get()) || !SimpleMsgRingCancelSleep(ring.get())) {
            stalled = !posts.WaitFor(++waits);
        }
    }
    JoinAll(producers);
    ASSERT_FALSE(stalled) << "the consumer slept through queued messages after " << received;
    EXPECT_EQ(next, std::vector<uint32_t>(kProducers, kEach));
    EXPECT_EQ(SimpleMsgRingPending(ring.get()), 0U);
    EXPECT_EQ(posts.Value(), waits) << "every post ends exactly one sleep: none lost, none spare";
    std::printf("%llu refusals of a full ring, %llu sleeps\n", static_cast<unsigned long long>(refusals.load()),
                static_cast<unsigned long long>(waits));
}

} // namespace

// Load through the public functions: many producers into one task, many
// synchronous callers of one server, and event requests under a flood of
// broadcasts. The sizes are small by default; VYRE_STRESS (what `make stress`
// sets; see support/stress_scale.h) runs them with millions of messages. Every wait is
// bounded; the checks are against a plain model of what must arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "support/msg_test_task.h"
#include "support/stress_scale.h"
#include "vyre_os_log.h"

namespace {

constexpr const char *kProc = "stress";

bool FullSize() {
    return StressScale() > 1U;
}

// Small by default, full under `make stress`.
uint32_t Size(uint32_t small, uint32_t full) {
    return FullSize() ? full : small;
}

// How long a whole run may take before a wait gives up.
std::chrono::seconds Limit() {
    return std::chrono::seconds(FullSize() ? 180 : 20);
}

void DropPlatformRecord(uint32_t, const char *, const char *) {}

// Refusals under load (full queues) are expected: their log lines would
// only slow the run down.
class Stress : public ::testing::Test {
protected:
    void SetUp() override {
        OsMsgRegLogFunc(nullptr);
        OsLogSetSink(DropPlatformRecord);
    }
};

// A count to wait on with the run's limit.
class Progress {
public:
    void Add(uint64_t n = 1U) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_ += n;
        cond_.notify_all();
    }
    bool WaitFor(uint64_t target) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, Limit(), [&] { return value_ >= target; });
    }
    uint64_t Value() {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    uint64_t value_ = 0U;
};

struct Stamp {
    uint32_t producer;
    uint32_t seq;
};

Stamp StampOf(const MsgHead *msg) {
    Stamp s{0xFFFFFFFFU, 0U};
    if (msg->data != nullptr && msg->dataLen == sizeof(Stamp)) {
        std::memcpy(&s, msg->data, sizeof(s));
    }
    return s;
}

// What one task's loop saw, per producer: the next sequence number it
// expects, and every message that came out of turn (lost, repeated or
// reordered). Written by the loop thread only, read after it reported.
struct Ledger {
    std::vector<uint32_t> next;
    uint64_t outOfTurn = 0U;
    Progress seen;

    void Reset(uint32_t producers) {
        next.assign(producers, 0U);
        outOfTurn = 0U;
    }
    void Note(const MsgHead *msg) {
        Stamp s = StampOf(msg);
        if (s.producer >= next.size() || s.seq != next[s.producer]) {
            ++outOfTurn;
        } else {
            ++next[s.producer];
        }
        seen.Add();
    }
};

Ledger g_sink;
uint32_t IntoSink(MsgHead *msg) {
    g_sink.Note(msg);
    return 0U;
}

// Sends seq under the producer's stamp, retrying while the queue is full
// (the only refusal a healthy run may see).
uint32_t SendRetryingWhileFull(MsgHead *head, uint64_t *fullRefusals) {
    for (;;) {
        uint32_t ret = OsMsgAsynSend(head);
        if (ret != OS_MSG_ERR_FULL) {
            return ret;
        }
        ++*fullRefusals;
        std::this_thread::yield();
    }
}

TEST_F(Stress, ManyProducersIntoOneTaskArriveExactlyOnceAndInEachProducersOrder) {
    const uint32_t producers = Size(4U, 8U), perProducer = Size(20000U, 1000000U);
    std::printf("%u producers x %u messages\n", producers, perProducer);
    ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    g_sink.Reset(producers);
    TestTask sink("sink", IntoSink, 256U);
    std::vector<uint32_t> lastResult(producers, OS_MSG_OK);
    std::vector<uint64_t> fullRefusals(producers, 0U);
    std::vector<std::thread> threads;
    for (uint32_t p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            Stamp stamp{p, 0U};
            MsgHead head = MakeHead(kProc, "sink", 0x500U, sizeof(stamp));
            head.data = &stamp;
            for (stamp.seq = 0; stamp.seq < perProducer && lastResult[p] == OS_MSG_OK; ++stamp.seq) {
                lastResult[p] = SendRetryingWhileFull(&head, &fullRefusals[p]);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(lastResult, std::vector<uint32_t>(producers, OS_MSG_OK));
    const uint64_t total = static_cast<uint64_t>(producers) * perProducer;
    EXPECT_TRUE(g_sink.seen.WaitFor(total)) << g_sink.seen.Value() << " of " << total;
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_EQ(sink.JoinLoop(), OS_MSG_OK);
    EXPECT_EQ(g_sink.seen.Value(), total) << "no message arrives twice";
    EXPECT_EQ(g_sink.outOfTurn, 0U);
    EXPECT_EQ(g_sink.next, std::vector<uint32_t>(producers, perProducer));
}

// Answers with the request's stamp and its sequence number squared.
struct Answer {
    Stamp stamp;
    uint64_t square;
};

uint32_t Square(MsgHead *msg) {
    Answer answer{StampOf(msg), 0U};
    answer.square = static_cast<uint64_t>(answer.stamp.seq) * answer.stamp.seq;
    return OsMsgSynSendResp(msg, &answer, sizeof(answer));
}

TEST_F(Stress, ConcurrentSynchronousCallersEachGetTheirOwnAnswer) {
    const uint32_t callers = Size(6U, 16U), calls = Size(2000U, 100000U);
    std::printf("%u callers x %u calls\n", callers, calls);
    ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    TestTask server("server", Square, 64U);
    std::vector<uint64_t> wrong(callers, 0U), answered(callers, 0U);
    std::vector<uint32_t> firstFailure(callers, OS_MSG_OK);
    std::vector<std::thread> threads;
    for (uint32_t c = 0; c < callers; ++c) {
        threads.emplace_back([&, c] {
            // Half the callers are tasks of their own, half plain threads
            // (which the library knows as "T" and their thread id).
            const std::string own = "caller" + std::to_string(c);
            if (c % 2U == 0U) {
                ASSERT_EQ(OsMsgRegTask(own.c_str(), 1U, nullptr), OS_MSG_OK);
            }
            for (uint32_t i = 0; i < calls; ++i) {
                Stamp stamp{c, i};
                MsgHead head = MakeHead(kProc, "server", 0x600U, sizeof(stamp)), *resp = nullptr;
                head.data = &stamp;
                uint32_t ret = OsMsgSynSend(&head, &resp, 10000U);
                if (ret != OS_MSG_OK) {
                    firstFailure[c] = ret;
                    return;
                }
                Answer answer{{0xFFFFFFFFU, 0U}, 0U};
                if (resp->dataLen == sizeof(answer)) {
                    std::memcpy(&answer, resp->data, sizeof(answer));
                }
                bool mine = answer.stamp.producer == c && answer.stamp.seq == i &&
                            answer.square == static_cast<uint64_t>(i) * i;
                wrong[c] += mine ? 0U : 1U;
                answered[c] += 1U;
                if (OsMsgSynRespFree(resp) != OS_MSG_OK) {
                    firstFailure[c] = OS_MSG_ERR_FAIL;
                    return;
                }
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_EQ(firstFailure, std::vector<uint32_t>(callers, OS_MSG_OK));
    EXPECT_EQ(answered, std::vector<uint64_t>(callers, calls));
    EXPECT_EQ(wrong, std::vector<uint64_t>(callers, 0U));
}

// The flood's subscriber counts broadcasts per broadcasting thread (in
// g_sink's ledger, which also checks their order); the late subscriber counts
// each event id it receives.
constexpr uint32_t kFloodEvent = 0x7100U, kLateEventBase = 0x7200U;
std::mutex g_lateMutex;
std::vector<uint32_t> g_lateSeen; // guarded by g_lateMutex
Progress g_lateProgress;

uint32_t LateSubscriber(MsgHead *msg) {
    {
        std::lock_guard<std::mutex> lock(g_lateMutex);
        g_lateSeen.push_back(msg->msgId);
    }
    g_lateProgress.Add();
    return 0U;
}

MsgSubEntry Subscription(uint32_t eventId, const char *subscriber) {
    MsgSubEntry sub{};
    sub.msgId = eventId;
    std::strcpy(sub.procName, kProc);
    std::strcpy(sub.taskName, "pub"); // the publishing task
    std::strcpy(sub.subTaskName, subscriber);
    return sub;
}

// Every event request that returned OS_MSG_OK takes effect, in the order its
// thread made it: each broadcast reaches the subscriber exactly once, and a
// subscription made during the flood applies to the broadcast its thread
// sends next. Requests refused under overload are not counted.
TEST_F(Stress, EventRequestsThatReturnOkTakeEffectUnderABroadcastFlood) {
    const uint32_t broadcasters = Size(4U, 4U), perBroadcaster = Size(3000U, 250000U), late = Size(50U, 2000U);
    std::printf("%u broadcasters x %u events, %u late subscriptions\n", broadcasters, perBroadcaster, late);
    ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    g_sink.Reset(broadcasters);
    TestTask flood("flood", IntoSink, 8192U), lateTask("late", LateSubscriber, 1024U);
    MsgSubEntry sub = Subscription(kFloodEvent, "flood");
    ASSERT_EQ(OsMsgSubscribeEvent(&sub, 1U), OS_MSG_OK);

    std::vector<std::vector<uint32_t>> okSeqs(broadcasters);
    std::vector<std::thread> threads;
    for (uint32_t b = 0; b < broadcasters; ++b) {
        threads.emplace_back([&, b] {
            for (uint32_t i = 0; i < perBroadcaster; ++i) {
                Stamp stamp{b, static_cast<uint32_t>(okSeqs[b].size())};
                MsgBroEntry event{"pub", kFloodEvent, static_cast<int32_t>(sizeof(stamp)), &stamp};
                if (OsMsgBroadcastEvent(&event, 1U) == OS_MSG_OK) {
                    okSeqs[b].push_back(stamp.seq);
                }
            }
        });
    }
    uint32_t lateOk = 0U;
    for (uint32_t i = 0; i < late; ++i) {
        MsgSubEntry lateSub = Subscription(kLateEventBase + i, "late");
        if (OsMsgSubscribeEvent(&lateSub, 1U) != OS_MSG_OK) {
            continue;
        }
        MsgBroEntry event{"pub", kLateEventBase + i, 0, nullptr};
        if (OsMsgBroadcastEvent(&event, 1U) == OS_MSG_OK) {
            ++lateOk;
        }
    }
    for (std::thread &t : threads) {
        t.join();
    }
    uint64_t okTotal = 0U;
    for (const std::vector<uint32_t> &seqs : okSeqs) {
        okTotal += seqs.size();
    }
    std::printf("%llu of %llu broadcasts returned OK, %u of %u late pairs\n", (unsigned long long)okTotal,
                (unsigned long long)broadcasters * perBroadcaster, lateOk, late);
    EXPECT_TRUE(g_sink.seen.WaitFor(okTotal)) << g_sink.seen.Value() << " of " << okTotal << " delivered";
    EXPECT_TRUE(g_lateProgress.WaitFor(lateOk)) << g_lateProgress.Value() << " of " << lateOk << " delivered";
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_EQ(flood.JoinLoop(), OS_MSG_OK);
    EXPECT_EQ(lateTask.JoinLoop(), OS_MSG_OK);
    EXPECT_EQ(g_sink.seen.Value(), okTotal) << "no broadcast arrives twice";
    EXPECT_EQ(g_sink.outOfTurn, 0U) << "each thread's broadcasts arrive in its order";
    std::lock_guard<std::mutex> lock(g_lateMutex);
    EXPECT_EQ(g_lateSeen.size(), lateOk);
}

} // namespace

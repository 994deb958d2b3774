// Load through the public functions: many synchronous callers of one server,
// and event requests under a broadcast flood that slow subscribers cannot keep
// up with, checked against a plain model of what must arrive. Small by
// default; VYRE_STRESS (support/stress_scale.h) runs millions of messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/msg_test_task.h"
#include "support/stress_scale.h"
#include "support/sub_request.h"
#include "vyre_os_log.h"

namespace {

constexpr const char *kProc = "stress";

// Small by default, full under `make stress`.
uint32_t Size(uint32_t small, uint32_t full) {
    return StressScale() > 1U ? full : small;
}

// How long a whole run may take before a wait gives up.
std::chrono::seconds Limit() {
    return std::chrono::seconds(Size(20U, 180U));
}

// Refusals under load (full queues) are expected: their log lines would
// only slow the run down.
class Stress : public ::testing::Test {
protected:
    LogCapture quiet_{OS_LOG_FATAL, OS_MSG_LOG_FATAL};
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
    const uint32_t callers = Size(6U, 16U), calls = Size(1000U, 100000U);
    std::printf("%u callers x %u calls\n", callers, calls);
    ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    TestTask server("server", Square, 64U);
    std::vector<uint64_t> answered(callers, 0U); // with the caller's own answer
    std::vector<uint32_t> firstFailure(callers, OS_MSG_OK);
    RunOnThreads(callers, [&](uint32_t c) {
        // Half the callers are tasks of their own, half plain threads
        // (which the library knows as "T" and their thread id): each of
        // their calls registers a temporary task that leaves with the
        // answer, while the responder may still be signalling.
        const std::string own = "caller" + std::to_string(c);
        if (c % 2U == 0U) {
            ASSERT_EQ(OsMsgRegTask(own.c_str(), 1U, nullptr), OS_MSG_OK);
        }
        for (uint32_t i = 0; i < calls && firstFailure[c] == OS_MSG_OK; ++i) {
            Stamp stamp{c, i};
            MsgHead head = MakeHead(kProc, "server", 0x600U, sizeof(stamp)), *resp = nullptr;
            head.data = &stamp;
            if ((firstFailure[c] = OsMsgSynSend(&head, &resp, 10000U)) != OS_MSG_OK) {
                break;
            }
            Answer answer{{0xFFFFFFFFU, 0U}, 0U};
            if (resp->dataLen == sizeof(answer)) {
                std::memcpy(&answer, resp->data, sizeof(answer));
            }
            answered[c] += answer.stamp.producer == c && answer.stamp.seq == i && answer.square == uint64_t{i} * i;
            firstFailure[c] = OsMsgSynRespFree(resp);
        }
    });
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    EXPECT_EQ(firstFailure, std::vector<uint32_t>(callers, OS_MSG_OK));
    EXPECT_EQ(answered, std::vector<uint64_t>(callers, calls));
}

// Everything the event subscribers received, per subscriber, in arrival
// order; a fence event is counted apart.
constexpr uint32_t kFlood = 0x901U, kToggled = 0x902U, kFence = 0x903U;

class Arrivals {
public:
    void Add(const std::string &sub, uint32_t msgId, const Stamp &stamp) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (msgId == kFence) {
            ++fences_[sub];
        } else {
            events_[sub].push_back({msgId, stamp});
        }
        cond_.notify_all();
    }
    // True when every subscriber in subs has seen a fence within the run's limit.
    bool WaitForFences(const std::vector<std::string> &subs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, Limit(), [&] {
            return std::all_of(subs.begin(), subs.end(), [&](const std::string &sub) { return fences_[sub] > 0U; });
        });
    }
    std::vector<std::pair<uint32_t, Stamp>> Of(const std::string &sub) {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_[sub];
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::map<std::string, std::vector<std::pair<uint32_t, Stamp>>> events_; // guarded by mutex_
    std::map<std::string, uint32_t> fences_;                                // guarded by mutex_
};

Arrivals g_arrivals;

uint32_t Collect(MsgHead *msg) {
    g_arrivals.Add(std::string(msg->recvTaskName, strnlen(msg->recvTaskName, OS_MSG_NAME_LEN)), msg->msgId,
                   StampOf(msg));
    return 0U;
}

uint32_t Publish(const std::string &publisher, uint32_t msgId, Stamp stamp) {
    MsgBroEntry event{};
    strncpy(event.taskName, publisher.c_str(), sizeof(event.taskName) - 1U);
    event.msgId = msgId;
    event.dataLen = sizeof(stamp);
    event.data = &stamp;
    return OsMsgBroadcastEvent(&event, 1U);
}

// Publishers broadcast in a loop faster than slow subscribers (queues of two
// messages) take the events, so the broadcast task's queue fills up, while
// another thread subscribes and unsubscribes. Every request that returned
// OS_MSG_OK takes effect, in the order its thread made it: each accepted
// event reaches each subscriber exactly once and in order, and the toggled
// subscriber gets exactly the events published while it was subscribed.
TEST_F(Stress, EventRequestsThatReturnOkTakeEffectOnceAndInOrderUnderABroadcastFlood) {
    const uint32_t publishers = 3U, eventsEach = Size(300U, 100000U), toggles = Size(100U, 5000U);
    const std::vector<std::string> subscribers = {"subA", "subB", "subC"}, all = {"subA", "subB", "subC", "subT"};
    std::printf("%u publishers x %u events, %u subscription toggles\n", publishers, eventsEach, toggles);
    ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    {
        std::vector<std::unique_ptr<TestTask>> tasks;
        std::vector<MsgSubEntry> subs;
        for (const std::string &sub : all) {
            tasks.push_back(std::make_unique<TestTask>(sub.c_str(), Collect, 2U));
            subs.push_back(SubEntry(kFence, 0U, kProc, "fence", sub.c_str()));
        }
        for (uint32_t p = 0; p < publishers; ++p) {
            for (const std::string &sub : subscribers) {
                subs.push_back(SubEntry(kFlood, 0U, kProc, ("pub" + std::to_string(p)).c_str(), sub.c_str()));
            }
        }
        ASSERT_EQ(OsMsgSubscribeEvent(subs.data(), static_cast<uint32_t>(subs.size())), OS_MSG_OK);

        std::vector<std::vector<uint32_t>> accepted(publishers); // the sequence numbers that returned OS_MSG_OK
        std::vector<std::thread> threads;
        for (uint32_t p = 0; p < publishers; ++p) {
            threads.emplace_back([&, p] {
                for (uint32_t seq = 0; seq < eventsEach; ++seq) {
                    uint32_t ret = Publish("pub" + std::to_string(p), kFlood, {p, seq});
                    EXPECT_TRUE(ret == OS_MSG_OK || ret == OS_MSG_ERR_FULL) << ret;
                    if (ret == OS_MSG_OK) {
                        accepted[p].push_back(seq);
                    }
                }
            });
        }
        MsgSubEntry toggled = SubEntry(kToggled, 0U, kProc, "toggler", "subT");
        std::vector<uint32_t> expectToggled;
        bool subscribed = false;
        for (uint32_t i = 0; i < toggles; ++i) {
            for (bool on : {true, false}) {
                uint32_t ret = on ? OsMsgSubscribeEvent(&toggled, 1U) : OsMsgUnsubscribeEvent(&toggled, 1U);
                subscribed = ret == OS_MSG_OK ? on : subscribed;
                const uint32_t seq = 2U * i + (on ? 0U : 1U);
                if (Publish("toggler", kToggled, {publishers, seq}) == OS_MSG_OK && subscribed) {
                    expectToggled.push_back(seq);
                }
            }
        }
        JoinAll(threads);
        // The fence follows everything accepted before it through the same
        // queues: once each subscriber has it, nothing else can still come.
        uint32_t fence = OS_MSG_ERR_FULL;
        for (int tries = 0; tries < 30 && fence == OS_MSG_ERR_FULL; ++tries) {
            fence = Publish("fence", kFence, {});
        }
        ASSERT_EQ(fence, OS_MSG_OK);
        ASSERT_TRUE(g_arrivals.WaitForFences(all));

        for (const std::string &sub : subscribers) {
            std::vector<std::vector<uint32_t>> got(publishers);
            for (const auto &[msgId, stamp] : g_arrivals.Of(sub)) {
                ASSERT_EQ(msgId, kFlood) << sub;
                ASSERT_LT(stamp.producer, publishers) << sub;
                got[stamp.producer].push_back(stamp.seq);
            }
            EXPECT_EQ(got, accepted) << sub << ": each accepted event once, in order";
        }
        std::vector<uint32_t> gotToggled;
        for (const auto &[msgId, stamp] : g_arrivals.Of("subT")) {
            EXPECT_EQ(msgId, kToggled);
            gotToggled.push_back(stamp.seq);
        }
        EXPECT_EQ(gotToggled, expectToggled);
        EXPECT_FALSE(expectToggled.empty());
    }
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

} // namespace

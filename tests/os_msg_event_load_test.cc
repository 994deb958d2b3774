// Event requests under load: publishers broadcasting in a loop faster than
// slow subscribers take the events, while another thread subscribes and
// unsubscribes. Every request that returned OS_MSG_OK takes effect, in the
// order it was made; nothing is delivered twice or out of order.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/msg_test_task.h"
#include "vyre_os_log.h"

namespace {

constexpr uint32_t kFlood = 0x901U, kToggled = 0x902U, kFence = 0x903U;
constexpr uint32_t kPublishers = 3U;
constexpr uint32_t kEventsEach = 600U;
constexpr uint32_t kToggles = 150U;
const char *const kSubscribers[] = {"subA", "subB", "subC"};
constexpr char kToggledSub[] = "subT";

// What one event carries: its publisher and its number there.
struct Stamp {
    uint32_t publisher;
    uint32_t seq;
};

// Everything the subscribers received, per subscriber, in arrival order.
class Received {
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
    // True when every subscriber in subs has seen a fence within 30 seconds.
    bool WaitForFences(const std::vector<std::string> &subs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, std::chrono::seconds(30), [&] {
            for (const std::string &sub : subs) {
                if (fences_[sub] == 0U) {
                    return false;
                }
            }
            return true;
        });
    }
    std::vector<std::pair<uint32_t, Stamp>> Of(const std::string &sub) {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_[sub];
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::map<std::string, std::vector<std::pair<uint32_t, Stamp>>> events_;
    std::map<std::string, uint32_t> fences_;
};

Received g_received;

uint32_t Collect(MsgHead *msg) {
    Stamp stamp{};
    if (msg->data != nullptr && msg->dataLen == sizeof(stamp)) {
        memcpy(&stamp, msg->data, sizeof(stamp));
    }
    g_received.Add(std::string(msg->recvTaskName, strnlen(msg->recvTaskName, OS_MSG_NAME_LEN)), msg->msgId, stamp);
    return 0U;
}

std::string PublisherName(uint32_t publisher) {
    return "pub" + std::to_string(publisher);
}

uint32_t Publish(const std::string &publisher, uint32_t msgId, Stamp stamp) {
    MsgBroEntry event{};
    strncpy(event.taskName, publisher.c_str(), sizeof(event.taskName) - 1U);
    event.msgId = msgId;
    event.dataLen = sizeof(stamp);
    event.data = &stamp;
    return OsMsgBroadcastEvent(&event, 1U);
}

MsgSubEntry Subscription(uint32_t msgId, const std::string &publisher, const char *subscriber) {
    MsgSubEntry entry{};
    entry.msgId = msgId;
    strcpy(entry.procName, "evload");
    strncpy(entry.taskName, publisher.c_str(), sizeof(entry.taskName) - 1U);
    strcpy(entry.subTaskName, subscriber);
    return entry;
}

TEST(EventLoad, EveryRequestThatReturnedOkTakesEffectOnceAndInOrder) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL); // full queues are refused and logged all the time
    ASSERT_EQ(OsMsgInit("evload"), OS_MSG_OK);
    {
        // Queues of two messages: the subscribers are the bottleneck, so the
        // broadcast task's queue fills up and the publishers must wait.
        std::vector<std::unique_ptr<TestTask>> tasks;
        for (const char *sub : kSubscribers) {
            tasks.push_back(std::make_unique<TestTask>(sub, Collect, 2U));
        }
        tasks.push_back(std::make_unique<TestTask>(kToggledSub, Collect, 2U));
        std::vector<MsgSubEntry> subs;
        for (uint32_t p = 0; p < kPublishers; ++p) {
            for (const char *sub : kSubscribers) {
                subs.push_back(Subscription(kFlood, PublisherName(p), sub));
            }
        }
        for (const char *sub : {kSubscribers[0], kSubscribers[1], kSubscribers[2], kToggledSub}) {
            subs.push_back(Subscription(kFence, "fence", sub));
        }
        ASSERT_EQ(OsMsgSubscribeEvent(subs.data(), static_cast<uint32_t>(subs.size())), OS_MSG_OK);

        // Which publications returned OS_MSG_OK, per publisher.
        std::vector<std::vector<bool>> accepted(kPublishers, std::vector<bool>(kEventsEach));
        std::atomic<uint32_t> refusals{0U};
        std::vector<std::thread> publishers;
        for (uint32_t p = 0; p < kPublishers; ++p) {
            publishers.emplace_back([&, p] {
                for (uint32_t seq = 0; seq < kEventsEach; ++seq) {
                    uint32_t ret = Publish(PublisherName(p), kFlood, {p, seq});
                    accepted[p][seq] = ret == OS_MSG_OK;
                    refusals += ret == OS_MSG_ERR_FULL ? 1U : 0U;
                    EXPECT_TRUE(ret == OS_MSG_OK || ret == OS_MSG_ERR_FULL) << ret;
                }
            });
        }
        // Meanwhile: subscribe, publish, unsubscribe, publish. A model of the
        // subscription follows the requests that returned OK; the toggled
        // subscriber must get exactly the publications made while subscribed.
        MsgSubEntry toggled = Subscription(kToggled, "toggler", kToggledSub);
        std::vector<uint32_t> expectToggled;
        bool subscribed = false;
        for (uint32_t i = 0; i < kToggles; ++i) {
            for (bool on : {true, false}) {
                uint32_t ret = on ? OsMsgSubscribeEvent(&toggled, 1U) : OsMsgUnsubscribeEvent(&toggled, 1U);
                subscribed = ret == OS_MSG_OK ? on : subscribed;
                const uint32_t seq = 2U * i + (on ? 0U : 1U);
                if (Publish("toggler", kToggled, {kPublishers, seq}) == OS_MSG_OK && subscribed) {
                    expectToggled.push_back(seq);
                }
            }
        }
        for (std::thread &t : publishers) {
            t.join();
        }
        // The fence follows everything accepted before it through the same
        // queues: once each subscriber has it, nothing else can still come.
        uint32_t fence = OS_MSG_ERR_FULL;
        for (int tries = 0; tries < 30 && fence == OS_MSG_ERR_FULL; ++tries) {
            fence = Publish("fence", kFence, {});
        }
        ASSERT_EQ(fence, OS_MSG_OK);
        ASSERT_TRUE(g_received.WaitForFences({kSubscribers[0], kSubscribers[1], kSubscribers[2], kToggledSub}));

        for (const char *sub : kSubscribers) {
            SCOPED_TRACE(sub);
            std::vector<std::vector<uint32_t>> got(kPublishers);
            for (const auto &[msgId, stamp] : g_received.Of(sub)) {
                ASSERT_EQ(msgId, kFlood);
                ASSERT_LT(stamp.publisher, kPublishers);
                got[stamp.publisher].push_back(stamp.seq);
            }
            for (uint32_t p = 0; p < kPublishers; ++p) {
                std::vector<uint32_t> expected;
                for (uint32_t seq = 0; seq < kEventsEach; ++seq) {
                    if (accepted[p][seq]) {
                        expected.push_back(seq);
                    }
                }
                EXPECT_EQ(got[p], expected) << "publisher " << p << ": each accepted event once, in order";
            }
        }
        std::vector<uint32_t> gotToggled;
        for (const auto &[msgId, stamp] : g_received.Of(kToggledSub)) {
            EXPECT_EQ(msgId, kToggled);
            gotToggled.push_back(stamp.seq);
        }
        EXPECT_EQ(gotToggled, expectToggled);
        EXPECT_FALSE(expectToggled.empty());
        RecordProperty("refusals", std::to_string(refusals.load()));
    }
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
}

} // namespace

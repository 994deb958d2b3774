/*
 * The C++ interface between processes, under the Unix-socket carrier: this
 * process joins through msg::process and talks to carrier_peer processes.
 * Responses that travelled keep the rules of those made within a process, a
 * task's callable takes what a peer sends and publishes, a task destroyed
 * while a peer's messages wait drops them, and a shared buffer travels by
 * reference and comes back. Every wait is bounded; the fixture
 * counts descriptors, threads and tracked blocks around each case.
 */
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "carrier/carrier_proto.h"
#include "carrier/carrier_test_util.h"
#include "support/cpp_membership.h"
#include "support/msg_test_task.h"

namespace {

using namespace carrier_proto;
using carrier_test::Peer;

constexpr uint32_t kKick = 50U; // to a task of this process: ping the echo peer

class CppBetweenProcesses : public CppMembership {
protected:
    CppBetweenProcesses() : CppMembership("cpptest", true) {}

    void TearDown() override {
        peers_.clear();
        CppMembership::TearDown();
    }

    Peer &StartPeer(const std::string &role, const std::string &name) {
        peers_.push_back(std::make_unique<Peer>(std::vector<std::string>{role, name}));
        EXPECT_EQ(peers_.back()->Expect("ready"), "ready") << name;
        return *peers_.back();
    }

    std::vector<std::unique_ptr<Peer>> peers_;
};

TEST_F(CppBetweenProcesses, ResponsesThatTravelledOutliveTheirCallsAndChangeThreads) {
    Peer &echo = StartPeer("echo", "cppecho");
    const msg::address to("cppecho", "echo");
    std::vector<uint8_t> small(100U);
    FillPattern(small.data(), 100U, kCall);
    msg::result<msg::response> first = Proc().call(to, kCall, small);
    ASSERT_TRUE(first) << first.error().message();
    const uint32_t bigLen = 1024U * 1024U + 3U; // travels in slices
    msg::result<msg::response> big = Proc().call(to, kBigCall, msg::bytes_of(bigLen));
    ASSERT_TRUE(big) << big.error().message();
    std::optional<Answer> answer = first->read<Answer>();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(answer->len, 100U);
    EXPECT_EQ(answer->intact, 1U);
    std::thread([r = std::move(*big), bigLen] {
        ASSERT_EQ(r.data().size(), bigLen);
        EXPECT_TRUE(PatternIntact(reinterpret_cast<const uint8_t *>(r.data().data()), bigLen, kBigCall));
    }).join();

    // A late answer takes no call's place.
    const uint32_t delayMs = 500U;
    msg::result<msg::response> slow = Proc().call(to, kSlowCall, msg::bytes_of(delayMs), std::chrono::milliseconds(50));
    EXPECT_EQ(slow.error(), std::errc::timed_out);
    EXPECT_EQ(echo.Expect("late"), "late 0");
    msg::result<msg::response> after = Proc().call(to, kCall, msg::bytes_view(small.data(), 9U));
    ASSERT_TRUE(after);
    EXPECT_EQ(after->read<Answer>()->len, 9U);

    // A shared buffer lent to a call stays its owner's; sent, it is the
    // library's until the peer has given it back.
    msg::buffer frame = msg::buffer::alloc(4096U).value();
    FillPattern(reinterpret_cast<uint8_t *>(frame.data()), 16U, kCall);
    msg::result<msg::response> lent = Proc().call(to, kCall, frame, 16U);
    ASSERT_TRUE(lent) << lent.error().message();
    EXPECT_EQ(lent->read<Answer>()->intact, 1U);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(Proc().send(to, kPing, std::move(frame)));
    EXPECT_FALSE(frame);
    EXPECT_TRUE(WaitUntil([] { return msg::buffer_pool_stats()->buffersInUse == 0U; }));
}

TEST_F(CppBetweenProcesses, TaskCallableTakesThePeersMessagesAndEventsAndSurvivesWhatItThrows) {
    Peer &echo = StartPeer("echo", "cppecho");
    Peer &pub = StartPeer("pub", "cpppub");
    Inbox inbox;
    msg::task_options options;
    options.on_exception = [](const msg::message &, std::exception_ptr) {};
    msg::task main = Proc()
                         .start_task(
                             "main",
                             [&](msg::message &m) {
                                 if (m.id() == kKick) { // sent from here, the ping's answer comes back here
                                     EXPECT_TRUE(Proc().send(msg::address("cppecho", "echo"), kPing));
                                     return;
                                 }
                                 inbox.Add(m);
                                 if (m.id() == kEvent) {
                                     throw std::runtime_error("no use for it");
                                 }
                             },
                             options)
                         .value();
    ASSERT_TRUE(Proc().send(Proc().local("main"), kKick));
    ASSERT_TRUE(inbox.WaitCount(kPong, 1U));
    Answer pong{};
    std::memcpy(&pong, inbox.Items().front().second.data(), sizeof(pong));
    EXPECT_EQ(pong.pid, static_cast<uint32_t>(getpid()));

    ASSERT_TRUE(Proc().subscribe("main", msg::address("cpppub", "pub"), {kEvent, kProbe}));
    bool inPlace = false; // the probe shows when the subscription is in place there
    for (int i = 0; i < carrier_test::kWaitMs / 50 && !inPlace; ++i) {
        pub.Send("fire " + std::to_string(kProbe));
        ASSERT_EQ(pub.Expect("fired"), "fired 0");
        inPlace = inbox.WaitCount(kProbe, 1U, std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(inPlace);
    const size_t probes = inbox.Count(kProbe);
    pub.Send("fire " + std::to_string(kEvent));
    pub.Send("fire " + std::to_string(kProbe));
    ASSERT_TRUE(inbox.WaitCount(kProbe, probes + 1U));
    EXPECT_EQ(inbox.Count(kEvent), 1U);
    EXPECT_EQ(main.exceptions(), 1U);
    ASSERT_TRUE(Proc().unsubscribe("main", msg::address("cpppub", "pub"), {kEvent, kProbe}));
    (void)echo;
}

// The pongs of a peer queue behind a callback that waits; the task goes
// with them.
TEST_F(CppBetweenProcesses, TaskDestroyedWhileThePeersMessagesWaitDropsThem) {
    (void)StartPeer("echo", "cppecho");
    Gate gate;
    TestCounter pongs;
    auto captured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured;
    constexpr int kPings = 8;
    msg::task pinger = Proc()
                           .start_task("pinger",
                                       [&, captured = std::move(captured)](msg::message &m) {
                                           if (m.id() == kKick) {
                                               for (int i = 0; i < kPings; ++i) {
                                                   EXPECT_TRUE(Proc().send(msg::address("cppecho", "echo"), kPing));
                                               }
                                               return;
                                           }
                                           ++*captured;
                                           pongs.Add();
                                           gate.Wait();
                                       })
                           .value();
    ASSERT_TRUE(Proc().send(Proc().local("pinger"), kKick));
    ASSERT_TRUE(pongs.WaitFor(1U));
    EXPECT_TRUE(WaitUntil([&] { return pinger.stats()->pending == kPings - 1; }));
    std::thread stopper([task = std::move(pinger)]() mutable { EXPECT_TRUE(task.stop()); });
    EXPECT_TRUE(WaitUntil([&] { return Proc().task_stats("pinger").error() == msg::errc::not_found; }));
    gate.Open();
    stopper.join();
    EXPECT_EQ(pongs.Value(), 1U);
    EXPECT_TRUE(watch.expired());
}

} // namespace

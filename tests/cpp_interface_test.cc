/*
 * The C++ interface (vyre_os_msg.hpp) within one process: what its objects
 * own and when they let go — a task destroyed while messages wait or from
 * its own callback, responses that outlive their call or change threads,
 * moves of every owner, callbacks that throw — and the checks it adds over
 * the C interface (names never cut, sizes never truncated, codes in words).
 * The fixture counts descriptors, threads and tracked blocks around each.
 */
#include <fcntl.h>
#include <poll.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/cpp_membership.h"
#include "support/log_capture.h"
#include "support/msg_test_task.h"
#include "vyre_os_log.h"

namespace {

constexpr uint32_t kData = 1U, kThrow = 2U, kEcho = 3U;

class CppInterface : public CppMembership {
protected:
    CppInterface() : CppMembership("cppproc", false) {}
};

/* A task that answers each request with its own payload. */
msg::task StartEcho(msg::process &proc) {
    return std::move(proc.start_task("echo", [](msg::message &m) { EXPECT_TRUE(m.reply(m.data())); }).value());
}

TEST_F(CppInterface, NamesAreRefusedRatherThanCutAndSizesRatherThanTruncated) {
    Inbox inbox;
    msg::task cut = Proc().start_task("xxxxxxxxxxxxxxx", [&](msg::message &m) { inbox.Add(m); }).value();
    EXPECT_TRUE(msg::name::make("xxxxxxxxxxxxxxx"));
    for (std::string_view bad :
         {std::string_view("xxxxxxxxxxxxxxxx"), std::string_view(), std::string_view("xx\0x", 4)}) {
        EXPECT_EQ(msg::name::make(bad).error(), msg::errc::invalid_param) << bad.size();
        EXPECT_EQ(msg::address::make("cppproc", bad).error(), msg::errc::invalid_param);
    }
    // Sixteen characters with no terminator: the name stays empty and is
    // refused, where a copy into a name field would have reached "xxx...x".
    char unterminated[16];
    std::memset(unterminated, 'x', sizeof(unterminated));
    const msg::name none(unterminated);
    EXPECT_EQ(Proc().send(Proc().local(none), kData, "cut").error(), msg::errc::invalid_param);
    EXPECT_EQ(Proc().start_task(none, [](msg::message &) {}).error(), msg::errc::invalid_param);
    // Views count bytes, not elements, and text without its terminator.
    EXPECT_EQ(msg::bytes_view(std::vector<uint16_t>(3U)).size(), 6U);
    EXPECT_EQ(msg::bytes_view("abc").size(), 3U);
    // A view past 4 GiB is refused whole, not sent as its low 32 bits.
    static const char sixteen[16] = {};
    const msg::bytes_view huge(sixteen, (size_t{1} << 32) + sizeof(sixteen));
    EXPECT_EQ(Proc().send(Proc().local("xxxxxxxxxxxxxxx"), kData, huge).error(), std::errc::message_size);
    ASSERT_TRUE(Proc().send(Proc().local("xxxxxxxxxxxxxxx"), kData, "whole"));
    ASSERT_TRUE(inbox.WaitCount(kData, 1U));
    EXPECT_EQ(inbox.Items().size(), 1U);
}

TEST_F(CppInterface, ErrorsCarryTheLibrarysWordsAndPortableConditions) {
    msg::result<void> missing = Proc().send(Proc().local("nobody"), kData);
    EXPECT_EQ(missing.error(), msg::errc::not_found);
    EXPECT_STREQ(missing.error().category().name(), "vyre_os_msg");
    EXPECT_EQ(missing.error().message().rfind("OS_MSG_ERR_NOT_FOUND: ", 0), 0U) << missing.error().message();
    EXPECT_THROW(missing.throw_if_error(), std::system_error);
}

TEST_F(CppInterface, MembershipFollowsTheProcessObjectAndOldTasksSpareNewOnes) {
    EXPECT_EQ(msg::process::join("other").error(), msg::errc::repeated);
    msg::process moved = std::move(*proc_);
    proc_.reset(); // a moved-from process leaves nothing
    char own[OS_MSG_NAME_LEN];
    EXPECT_EQ(OsMsgGetProcName(own, sizeof(own)), OS_MSG_OK);
    msg::task old = moved.start_task("worker", [](msg::message &) {}).value();
    { msg::process gone = std::move(moved); }
    EXPECT_EQ(OsMsgGetProcName(own, sizeof(own)), OS_MSG_ERR_NOT_INIT);
    Join();
    Inbox inbox;
    msg::task fresh = Proc().start_task("worker", [&](msg::message &m) { inbox.Add(m); }).value();
    EXPECT_TRUE(old.stop()); // the earlier membership's task: its teardown unregistered it
    ASSERT_TRUE(Proc().send(Proc().local("worker"), kData));
    EXPECT_TRUE(inbox.WaitCount(kData, 1U));
}

TEST_F(CppInterface, TaskKeepsItsCapturesThroughMovesAndFreesThemAfterItsLoop) {
    Inbox inbox;
    auto captured = std::make_shared<int>(7);
    std::weak_ptr<int> watch = captured;
    msg::task first = Proc()
                          .start_task(
                              "mover",
                              [&inbox, captured = std::move(captured)](msg::message &m) {
                                  EXPECT_EQ(*captured, 7);
                                  inbox.Add(m);
                              },
                              4U)
                          .value();
    ASSERT_TRUE(Proc().send(Proc().local("mover"), kData));
    ASSERT_TRUE(inbox.WaitCount(kData, 1U));
    msg::task second = std::move(first);
    EXPECT_FALSE(first.running());
    EXPECT_TRUE(first.stop());
    ASSERT_TRUE(Proc().send(Proc().local("mover"), kData));
    ASSERT_TRUE(inbox.WaitCount(kData, 2U));
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(second.stats()->queueLen, 4U);
    second = msg::task();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(Proc().send(Proc().local("mover"), kData).error(), msg::errc::not_found);
}

// Destroyed while its callback is busy and messages wait: those messages
// are dropped with their payload copies, shared buffer and descriptors; the
// callable goes once the callback has returned.
TEST_F(CppInterface, TaskDestroyedWhileMessagesWaitDropsThemAndWhatTheyCarry) {
    Gate gate;
    TestCounter entered;
    auto captured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured;
    msg::task busy = Proc()
                         .start_task("busy",
                                     [&, captured = std::move(captured)](msg::message &) {
                                         ++*captured;
                                         entered.Add();
                                         gate.Wait();
                                     })
                         .value();
    const msg::address to = Proc().local("busy");
    ASSERT_TRUE(Proc().send(to, kData));
    ASSERT_TRUE(entered.WaitFor(1U));
    const std::string payload(4096, 'p');
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Proc().send(to, kData, payload));
    }
    msg::buffer frame = msg::buffer::alloc(65536U).value();
    ASSERT_TRUE(Proc().send(to, kData, std::move(frame)));
    EXPECT_FALSE(frame);
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    ASSERT_TRUE(Proc().send_with_fds(to, kData, {}, {pipeFds[0]}));
    (void)close(pipeFds[0]);
    const int writeEnd = pipeFds[1];

    std::thread stopper([task = std::move(busy)]() mutable { EXPECT_TRUE(task.stop()); });
    EXPECT_TRUE(WaitUntil([&] { return Proc().task_stats("busy").error() == msg::errc::not_found; }));
    EXPECT_FALSE(watch.expired()); // its callback still runs
    gate.Open();
    stopper.join();
    EXPECT_EQ(entered.Value(), 1U);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(msg::buffer_pool_stats()->buffersInUse, 0U);
    struct pollfd pfd = {writeEnd, 0, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 1); // the dropped message's copy of the read end is closed
    EXPECT_TRUE(pfd.revents & POLLERR);
    (void)close(writeEnd);
}

TEST_F(CppInterface, TaskDestroyedFromItsOwnCallbackKeepsItsCallableUntilItReturns) {
    std::optional<msg::task> self;
    TestCounter done;
    auto captured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured;
    self = Proc()
               .start_task("selfstop",
                           [&, captured = std::move(captured)](msg::message &) {
                               EXPECT_TRUE(self->stop());
                               self.reset();
                               ++*captured; // still there: the callable goes after this call
                               done.Add();
                           })
               .value();
    ASSERT_TRUE(Proc().send(Proc().local("selfstop"), kData));
    ASSERT_TRUE(done.WaitFor(1U));
    EXPECT_TRUE(WaitUntil([&] { return watch.expired(); }));
    EXPECT_EQ(Proc().send(Proc().local("selfstop"), kData).error(), msg::errc::not_found);
}

TEST_F(CppInterface, PolledTaskIsServedOnTheCallingThreadThroughItsDescriptor) {
    std::thread::id served;
    msg::task polled =
        Proc().start_polled_task("polled", [&](msg::message &) { served = std::this_thread::get_id(); }).value();
    ASSERT_GE(polled.fd(), 0);
    struct pollfd pfd = {polled.fd(), POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0);
    ASSERT_TRUE(Proc().send(Proc().local("polled"), kData));
    ASSERT_TRUE(Proc().send(Proc().local("polled"), kData));
    ASSERT_EQ(poll(&pfd, 1, 20000), 1);
    EXPECT_EQ(polled.handle(1U).value(), 1U);
    EXPECT_EQ(served, std::this_thread::get_id());
    // The second message waits; the task goes with it.
}

// What the callback threw is counted and reported, the loop goes on, and a
// request it left unanswered times out.
TEST_F(CppInterface, CallbackExceptionIsCaughtCountedReportedAndTheLoopGoesOn) {
    std::mutex lock;
    std::vector<std::string> reported;
    msg::task_options options;
    options.on_exception = [&](const msg::message &m, std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::runtime_error &e) {
            std::lock_guard<std::mutex> guard(lock);
            reported.push_back(std::to_string(m.id()) + " " + e.what());
        }
    };
    Inbox inbox;
    auto thrower = [&](msg::message &m) {
        if (m.id() == kThrow) {
            throw std::runtime_error("bad frame");
        }
        inbox.Add(m);
    };
    msg::task handled = Proc().start_task("handled", thrower, options).value();
    ASSERT_TRUE(Proc().send(Proc().local("handled"), kThrow));
    ASSERT_TRUE(Proc().send(Proc().local("handled"), kData));
    ASSERT_TRUE(inbox.WaitCount(kData, 1U));
    EXPECT_EQ(handled.exceptions(), 1U);
    EXPECT_EQ(reported, std::vector<std::string>{"2 bad frame"});
    auto call = Proc().call(Proc().local("handled"), kThrow, {}, std::chrono::milliseconds(100));
    EXPECT_EQ(call.error(), msg::errc::timeout);
    EXPECT_EQ(call.error(), std::errc::timed_out);
    EXPECT_EQ(handled.exceptions(), 2U);

    // Without a handler: one line on standard error (the library's own
    // lines go elsewhere meanwhile).
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    testing::internal::CaptureStderr();
    {
        msg::task noisy = Proc().start_task("noisy", thrower).value();
        ASSERT_TRUE(Proc().send(Proc().local("noisy"), kThrow));
        ASSERT_TRUE(Proc().send(Proc().local("noisy"), kData));
        ASSERT_TRUE(inbox.WaitCount(kData, 2U));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "vyre::msg: task noisy: its callback let an exception out on message 0x2: bad frame\n");
}

// The C interface keeps one response per thread, released by that thread
// before it calls again; the objects keep to that by themselves.
TEST_F(CppInterface, ResponseOutlivesItsCallTheNextCallAndTheProcess) {
    msg::task echo = StartEcho(Proc());
    msg::result<msg::response> first = Proc().call(Proc().local("echo"), kEcho, "first");
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->in_place());
    msg::result<msg::response> second = Proc().call(Proc().local("echo"), kEcho, "the second one");
    ASSERT_TRUE(second);
    EXPECT_EQ(first->text(), "first");
    EXPECT_EQ(second->text(), "the second one");
    EXPECT_EQ(second->id(), kEcho);
    echo = msg::task();
    proc_.reset(); // the teardown releases every slot; this thread's response is copied first
    EXPECT_EQ(second->text(), "the second one");
}

TEST_F(CppInterface, ResponseMovedToAnotherThreadIsReleasedThereAndTheCallerCallsOn) {
    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
    msg::task echo = StartEcho(Proc());
    msg::response moved = std::move(Proc().call(Proc().local("echo"), kEcho, "away").value());
    EXPECT_FALSE(moved.in_place());
    std::thread([r = std::move(moved)]() mutable {
        EXPECT_EQ(r.text(), "away");
        r = msg::response();
    }).join();
    auto again = Proc().call(Proc().local("echo"), kEcho, "again");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->text(), "again");
    EXPECT_EQ(log.Records().size(), 0U) << log.Dump();
}

TEST_F(CppInterface, ResponseStillInPlaceReleasedOnAnotherThreadTerminates) {
#ifdef VYRE_TESTS_UNDER_EMULATOR
    GTEST_SKIP() << "a death test starts the test program again, which an emulator would have to run";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    msg::task echo = StartEcho(Proc());
    EXPECT_DEATH(
        {
            auto answer = Proc().call(Proc().local("echo"), kEcho, "here");
            std::thread([&answer] { *answer = msg::response(); }).join();
        },
        "released on another thread");
}

TEST_F(CppInterface, SharedBufferGoesOnlyWithASuccessfulSendAndHoldsReleaseThemselves) {
    std::mutex lock;
    std::optional<msg::held_buffer> kept;
    TestCounter got;
    msg::task sink = Proc()
                         .start_task("sink",
                                     [&](msg::message &m) {
                                         std::lock_guard<std::mutex> guard(lock);
                                         if (m.id() == kData) {
                                             kept.emplace(std::move(m.hold().value()));
                                         }
                                         got.Add();
                                     })
                         .value();
    msg::buffer frame = msg::buffer::alloc(8192U).value();
    std::memset(frame.data(), 0x5a, frame.size());
    EXPECT_EQ(Proc().send(Proc().local("nobody"), kData, std::move(frame)).error(), msg::errc::not_found);
    ASSERT_TRUE(frame); // refused: still the caller's
    msg::buffer moved = std::move(frame);
    EXPECT_FALSE(frame);
    EXPECT_EQ(msg::buffer_pool_stats()->buffersInUse, 1U);
    ASSERT_TRUE(Proc().send(Proc().local("sink"), kData, std::move(moved), 100U));
    EXPECT_FALSE(moved);
    // The loop lets go of the first message's buffer before it takes the next.
    ASSERT_TRUE(Proc().send(Proc().local("sink"), kEcho));
    ASSERT_TRUE(got.WaitFor(2U));
    std::lock_guard<std::mutex> guard(lock);
    msg::held_buffer held = std::move(*kept);
    kept.reset();
    ASSERT_EQ(held.size(), 100U);
    EXPECT_EQ(std::to_integer<int>(held.data()[99]), 0x5a);
    EXPECT_EQ(msg::buffer_pool_stats()->buffersInUse, 1U); // the hold keeps it past the callback
    held.reset();
    EXPECT_EQ(msg::buffer_pool_stats()->buffersInUse, 0U);
    EXPECT_EQ(msg::buffer::alloc(OS_MSG_BUF_MAX_SIZE + 1U).error(), msg::errc::invalid_param);
}

TEST_F(CppInterface, DescriptorTakenByTheCallbackIsItsToKeepAndTheRestAreClosed) {
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    TestCounter done;
    msg::task sink = Proc()
                         .start_task("fdsink",
                                     [&](msg::message &m) {
                                         EXPECT_EQ(m.fd_count(), 2U);
                                         msg::unique_fd out = m.take_fd(1U);
                                         EXPECT_FALSE(m.take_fd(1U)); // taken already
                                         EXPECT_EQ(write(out.get(), "ok", 2), 2);
                                         done.Add();
                                     })
                         .value();
    ASSERT_TRUE(Proc().send_with_fds(Proc().local("fdsink"), kData, {}, {pipeFds[0], pipeFds[1]}));
    (void)close(pipeFds[1]);
    ASSERT_TRUE(done.WaitFor(1U));
    EXPECT_TRUE(WaitUntil([&] { // every write end closed: the taken one by its owner, the other by the library
        struct pollfd pfd = {pipeFds[0], POLLIN, 0};
        return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLHUP) != 0;
    }));
    char got[3] = {};
    EXPECT_EQ(read(pipeFds[0], got, sizeof(got)), 2);
    EXPECT_STREQ(got, "ok");
    (void)close(pipeFds[0]);
}

} // namespace

/*
 * What the C++ interface (vyre_os_msg.hpp) adds over the C one, within one
 * process: what its objects own and when they let go (tasks destroyed
 * during their callback, responses that outlive their call or change
 * threads, moves of every owner, callbacks that throw) and the checks it
 * adds (names never cut, sizes never truncated, codes in words). Delivery
 * itself is the C interface's and tested there. The fixture counts
 * descriptors, threads and tracked blocks around each case.
 */
#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/cpp_membership.h"
#include "support/log_capture.h"
#include "support/msg_test_task.h"
#include "vyre_os_log.h"

namespace {

/* While set, the array form of new (std::nothrow) finds no memory: the
 * copies the C++ interface makes of responses. */
std::atomic<bool> g_noMemoryForArrays{false};

} // namespace

void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    if (g_noMemoryForArrays.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

constexpr uint32_t kData = 1U, kThrow = 2U, kEcho = 3U;

class CppInterface : public CppMembership {
protected:
    CppInterface() : CppMembership("cppproc") {}
    // A task with its own loop thread, which the test needs started.
    template <size_t N, class F> msg::task Start(const char (&name)[N], F &&fn, msg::task_options options = {}) {
        return Proc().start_task(name, std::forward<F>(fn), options).value();
    }
};

/* Sixteen name bytes with no terminator. */
struct Unterminated {
    char bytes[16];
    Unterminated() { std::memset(bytes, 'x', sizeof(bytes)); }
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
    Unterminated unterminated;
    const msg::name none(unterminated.bytes);
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

// A process object owns its membership: a moved-from one owns nothing, and
// reaches neither the membership it came from nor a later one of its name;
// the last owner's destruction leaves, and the tasks of that membership
// never reach the new one's tasks of the same name.
TEST_F(CppInterface, MembershipFollowsTheProcessObjectAndMovedFromOnesReachNoLaterOne) {
    EXPECT_EQ(msg::process::join("other").error(), msg::errc::repeated);
    msg::process stale = std::move(*proc_);
    proc_.reset(); // a moved-from process leaves nothing
    char own[OS_MSG_NAME_LEN];
    EXPECT_EQ(OsMsgGetProcName(own, sizeof(own)), OS_MSG_OK);
    msg::process holder = std::move(stale);
    EXPECT_EQ(stale.stop().error(), msg::errc::not_init); // not the holder's server
    msg::task old = holder.start_task("worker", [](msg::message &) {}).value();
    { msg::process gone = std::move(holder); }
    EXPECT_EQ(OsMsgGetProcName(own, sizeof(own)), OS_MSG_ERR_NOT_INIT);
    Join(); // the same name again
    Inbox inbox;
    msg::task fresh = Proc().start_task("worker", [&](msg::message &m) { inbox.Add(m); }).value();
    EXPECT_EQ(old.stats().error(), msg::errc::not_found); // unregistered by its membership's teardown
    EXPECT_TRUE(old.stop());
    EXPECT_EQ(stale.send(stale.local("worker"), kEcho).error(), msg::errc::not_init);
    EXPECT_EQ(stale.call(stale.local("worker"), kEcho, {}, std::chrono::milliseconds(1)).error(), msg::errc::not_init);
    EXPECT_EQ(stale.broadcast("worker", kEcho).error(), msg::errc::not_init);
    EXPECT_EQ(stale.subscribe("worker", stale.local("worker"), {kEcho}).error(), msg::errc::not_init);
    EXPECT_EQ(stale.task_stats("worker").error(), msg::errc::not_init);
    EXPECT_EQ(stale.start_task("other", [](msg::message &) {}).error(), msg::errc::not_init);
    EXPECT_EQ(stale.stop().error(), msg::errc::not_init);
    EXPECT_EQ(stale.wait().error(), msg::errc::not_init); // not the new server's wait
    ASSERT_TRUE(Proc().send(Proc().local("worker"), kData));
    EXPECT_TRUE(inbox.WaitCount(kData, 1U));
    EXPECT_EQ(inbox.Count(kEcho), 0U);
}

TEST_F(CppInterface, TaskKeepsItsCapturesThroughMovesAndFreesThemAfterItsLoop) {
    Inbox inbox;
    auto captured = std::make_shared<int>(7);
    std::weak_ptr<int> watch = captured;
    auto mover = [&inbox, captured = std::move(captured)](msg::message &m) {
        EXPECT_EQ(*captured, 7);
        inbox.Add(m);
    };
    msg::task first = Start("mover", std::move(mover), 4U);
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

// Destroyed while its callback runs, from another thread or from the
// callback itself: the callable goes only once the callback has returned,
// and another thread's destruction waits for it. (What waited in the queue
// is dropped with what it carries:
// SharedBuf.DescriptorsAndBuffersOfRefusedAndDroppedMessagesAreFreed.)
TEST_F(CppInterface, TaskDestroyedWhileItsCallbackRunsKeepsItsCallableUntilItReturns) {
    Gate gate;
    TestCounter entered;
    auto captured = std::make_shared<int>(0);
    std::weak_ptr<int> watch = captured;
    msg::task busy = Start("busy", [&, captured = std::move(captured)](msg::message &) {
        ++*captured;
        entered.Add();
        gate.Wait();
    });
    ASSERT_TRUE(Proc().send(Proc().local("busy"), kData));
    ASSERT_TRUE(entered.WaitFor(1U));
    ASSERT_TRUE(Proc().send(Proc().local("busy"), kData, std::string(4096, 'p'))); // dropped
    std::thread stopper([task = std::move(busy)]() mutable { EXPECT_TRUE(task.stop()); });
    EXPECT_TRUE(WaitUntil([&] { return Proc().task_stats("busy").error() == msg::errc::not_found; }));
    EXPECT_FALSE(watch.expired()); // its callback still runs
    gate.Open();
    stopper.join();
    EXPECT_EQ(entered.Value(), 1U);
    EXPECT_TRUE(watch.expired());

    std::optional<msg::task> self;
    captured = std::make_shared<int>(0);
    watch = captured;
    self = Start("selfstop", [&, captured = std::move(captured)](msg::message &) {
        EXPECT_TRUE(self->stop());
        self.reset();
        ++*captured; // still there: the callable goes after this call
        entered.Add();
    });
    ASSERT_TRUE(Proc().send(Proc().local("selfstop"), kData));
    ASSERT_TRUE(entered.WaitFor(2U));
    EXPECT_TRUE(WaitUntil([&] { return watch.expired(); }));
    EXPECT_EQ(Proc().send(Proc().local("selfstop"), kData).error(), msg::errc::not_found);
}

TEST_F(CppInterface, PolledTaskIsServedOnTheCallingThreadThroughItsDescriptor) {
    std::thread::id served;
    msg::task polled =
        Proc().start_polled_task("polled", [&](msg::message &) { served = std::this_thread::get_id(); }).value();
    ASSERT_TRUE(Proc().send(Proc().local("polled"), kData));
    ASSERT_TRUE(Proc().send(Proc().local("polled"), kData));
    struct pollfd pfd = {polled.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 20000), 1);
    EXPECT_EQ(polled.handle(1U).value(), 1U);
    EXPECT_EQ(served, std::this_thread::get_id());
    // The second message waits; the task goes with the membership, and so
    // does its descriptor, whose number the next descriptor opened may take.
    proc_.reset();
    EXPECT_EQ(polled.fd(), -1);
    EXPECT_EQ(polled.handle().error(), msg::errc::not_found);
}

// Under the loopback there is no receive thread to serve a task: the
// refusal comes back and the registration is undone, so the name is free.
TEST_F(CppInterface, TaskOnTheReceiveThreadIsRefusedWithoutOneAndLeavesNoRegistration) {
    auto refused = Proc().start_task_on_receive("onrecv", [](msg::message &) {});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), msg::errc::not_implemented);
    EXPECT_TRUE(Proc().start_polled_task("onrecv", [](msg::message &) {})) << "the name is free again";
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
// before it calls again; the objects keep to that by themselves: a response
// outlives the next call, moves to another thread to be released there,
// and outlives the process.
TEST_F(CppInterface, ResponseOutlivesTheNextCallItsThreadAndTheProcess) {
    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
    msg::task echo = StartEcho(Proc());
    msg::result<msg::response> first = Proc().call(Proc().local("echo"), kEcho, "first");
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->in_place());
    msg::result<msg::response> second = Proc().call(Proc().local("echo"), kEcho, "the second one");
    ASSERT_TRUE(second);
    EXPECT_EQ(first->text(), "first");
    EXPECT_EQ(second->text(), "the second one");
    EXPECT_EQ(second->id(), kEcho);
    msg::response moved = std::move(*second);
    EXPECT_FALSE(moved.in_place());
    std::thread([r = std::move(moved)]() mutable {
        EXPECT_EQ(r.text(), "the second one");
        r = msg::response();
    }).join();
    msg::result<msg::response> third = Proc().call(Proc().local("echo"), kEcho, "third");
    ASSERT_TRUE(third);
    EXPECT_EQ(log.Records().size(), 0U) << log.Dump();
    echo = msg::task();
    proc_.reset(); // the teardown releases every slot; this thread's response is copied first
    EXPECT_EQ(third->text(), "third");
}

// The teardown takes the slots with the task records: a response it cannot
// copy must not go on pointing into one, for this thread's next call (in the
// next membership) and its destructor would read and release it there.
TEST_F(CppInterface, ResponseTheTeardownCannotCopyIsLeftEmptyNotInTheGoneSlot) {
    msg::task echo = StartEcho(Proc());
    msg::result<msg::response> kept = Proc().call(Proc().local("echo"), kEcho, "kept");
    ASSERT_TRUE(kept);
    ASSERT_TRUE(kept->in_place());
    echo = msg::task();
    g_noMemoryForArrays.store(true);
    proc_.reset();
    g_noMemoryForArrays.store(false);
    EXPECT_FALSE(kept->in_place());
    EXPECT_TRUE(kept->empty());
    EXPECT_EQ(kept->head(), nullptr);
    Join();
    echo = StartEcho(Proc());
    msg::result<msg::response> next = Proc().call(Proc().local("echo"), kEcho, "next");
    ASSERT_TRUE(next);
    *kept = msg::response();
    EXPECT_EQ(next->text(), "next");
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
    msg::task sink = Start("sink", [&](msg::message &m) {
        std::lock_guard<std::mutex> guard(lock);
        if (m.id() == kData) {
            kept.emplace(std::move(m.hold().value()));
        }
        got.Add();
    });
    msg::buffer frame = msg::buffer::alloc(8192U).value();
    std::memset(frame.data(), 0x5a, frame.size());
    EXPECT_EQ(Proc().send(Proc().local("nobody"), kData, std::move(frame)).error(), msg::errc::not_found);
    ASSERT_TRUE(frame); // refused: still the caller's
    {
        msg::task echo = StartEcho(Proc());
        msg::result<msg::response> lent = Proc().call(Proc().local("echo"), kEcho, frame, 16U);
        ASSERT_TRUE(lent) << lent.error().message();
        EXPECT_EQ(lent->text(), std::string(16U, '\x5a'));
        ASSERT_TRUE(frame); // lent to a call: still the caller's
    }
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
    msg::task sink = Start("fdsink", [&](msg::message &m) {
        EXPECT_EQ(m.fd_count(), 2U);
        msg::unique_fd out = m.take_fd(1U);
        EXPECT_FALSE(m.take_fd(1U)); // taken already
        EXPECT_EQ(write(out.get(), "ok", 2), 2);
        done.Add();
    });
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

// subscribe and unsubscribe hand the publisher's address and every id on:
// both ids arrive, and the one taken back no longer does (each event once
// per subscriber: Events.DeliveredOncePerMatchingSubscriberWithinTheRequestsBounds).
TEST_F(CppInterface, SubscriptionsReachTheTaskAndAreTakenBack) {
    constexpr uint32_t kEvent = 100U, kProbe = 101U;
    Inbox inbox;
    msg::task watcher = Proc().start_task("watcher", [&](msg::message &m) { inbox.Add(m); }).value();
    auto publishBoth = [&inbox](size_t probes) {
        for (uint32_t id : {kEvent, kProbe}) {
            MsgBroEntry event{"pub", id, 0, nullptr};
            ASSERT_EQ(OsMsgBroadcastEvent(&event, 1U), OS_MSG_OK);
        }
        ASSERT_TRUE(inbox.WaitCount(kProbe, probes)); // the probe, sent last, shows what came
    };
    ASSERT_TRUE(Proc().subscribe("watcher", Proc().local("pub"), {kEvent, kProbe}));
    publishBoth(1U);
    EXPECT_EQ(inbox.Count(kEvent), 1U);
    ASSERT_TRUE(Proc().unsubscribe("watcher", Proc().local("pub"), {kEvent}));
    publishBoth(2U);
    EXPECT_EQ(inbox.Count(kEvent), 1U);
}

std::atomic<int> g_quitLines{0}; // a log sink is a plain function: what it saw goes to a global

// Each setting of join_options reaches the join, a run directory that
// would be cut at a NUL is refused, and the waits of a timed send and of
// wait_for_process reach their calls.
TEST_F(CppInterface, JoinOptionsAndWaitsReachTheirCalls) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL); // restores the sink and level afterwards
    proc_.reset();
    const std::string runDir = getenv("VYRE_OS_MSG_RUNDIR");
    setenv("VYRE_OS_MSG_CARRIER", "neither", 1); // only the option can make the join succeed
    EXPECT_EQ(msg::process::join("cppproc").error(), msg::errc::invalid_param);
    msg::join_options options;
    options.carrier = msg::carrier::loopback;
    options.run_dir = runDir + std::string("\0/elsewhere", 11);
    EXPECT_EQ(msg::process::join("cppproc", options).error(), msg::errc::invalid_param);
    options.run_dir = runDir;
    options.log_level = msg::log_level::debug;
    options.log_sink = [](uint32_t, const char *line) {
        g_quitLines += std::strstr(line, "binder server[cppproc] quit.") != nullptr ? 1 : 0;
    };
    proc_.emplace(std::move(msg::process::join("cppproc", options).value()));
    setenv("VYRE_OS_MSG_CARRIER", "loopback", 1);
    EXPECT_EQ(Proc().wait_for_process(Unterminated().bytes, std::chrono::seconds(1)).error(), msg::errc::invalid_param);
    EXPECT_TRUE(Proc().wait_for_process("anyone", std::chrono::milliseconds(0))); // the loopback: every name is here

    Gate gate;
    TestCounter entered;
    auto wait = [&](msg::message &) {
        entered.Add();
        gate.Wait();
    };
    msg::task slow = Start("slow", wait, 1U);
    const msg::address to = Proc().local("slow");
    ASSERT_TRUE(Proc().send(to, kData));
    ASSERT_TRUE(entered.WaitFor(1U));
    ASSERT_TRUE(Proc().send(to, kData)); // the queue of one is full now
    EXPECT_EQ(Proc().send(to, kData, "now", std::chrono::milliseconds(-5)).error(), msg::errc::full);
    const auto start = std::chrono::steady_clock::now();
    msg::result<void> waited = Proc().send(to, kData, "later", std::chrono::milliseconds(100));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(waited.error(), std::errc::resource_unavailable_try_again);
    EXPECT_GE(took, std::chrono::milliseconds(50));
    EXPECT_LT(took, std::chrono::seconds(10));
    gate.Open();
    slow = msg::task();
    proc_.reset();
    EXPECT_EQ(g_quitLines.load(), 1); // a debug line, to the option's sink
}

// Access rules and the events of processes that come and go are read
// checked: a name that is not whole neither widens a rule to every task nor
// reaches the application cut.
TEST_F(CppInterface, AccessRulesAndProcEventsAreCheckedNeverWidenedOrCut) {
    EXPECT_EQ(msg::access_rule::anyone(msg::name(Unterminated().bytes)).error(), msg::errc::invalid_param);
    EXPECT_EQ(msg::access_rule::group(5U, std::nullopt, 9U, 8U).error(), msg::errc::invalid_param);
    msg::result<msg::access_rule> camera = msg::access_rule::user(1001U, "camera", 0x100U, 0x1ffU);
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->task()->view(), "camera");
    EXPECT_FALSE(msg::access_rule::group(5U)->task());
    std::vector<msg::access_rule> rules(OS_MSG_ACCESS_RULES_MAX + 1U, *camera);
    msg::result<void> full = msg::set_access_policy(rules);
    EXPECT_EQ(full.error(), msg::errc::full);
    EXPECT_THROW(full.throw_if_error(), std::system_error);
    rules.pop_back();
    ASSERT_TRUE(msg::set_access_policy(rules));
    EXPECT_EQ(msg::allow(*camera).error(), msg::errc::full);
    ASSERT_TRUE(msg::set_access_policy({}));
    EXPECT_TRUE(msg::allow(*camera));
    EXPECT_TRUE(msg::set_shared_run_dir(std::nullopt, std::nullopt));
    ASSERT_TRUE(msg::set_access_policy({}));
    // Codes carry the library's words and portable conditions.
    const std::error_code refused = msg::errc::access;
    EXPECT_EQ(refused, std::errc::permission_denied);
    EXPECT_STREQ(refused.category().name(), "vyre_os_msg");
    EXPECT_EQ(refused.message().rfind("OS_MSG_ERR_ACCESS: ", 0), 0U) << refused.message();

    ASSERT_TRUE(Proc().subscribe_presence("watcher"));
    EXPECT_TRUE(Proc().unsubscribe_presence("watcher"));
    OsMsgProcEvent payload{};
    std::memcpy(payload.procName, "camera", 7U);
    payload.pid = 42U;
    MsgHead head = MakeHead(MSG_PROC_NAME_PMSG, "", msg::proc_left, sizeof(payload));
    std::memcpy(head.sendTaskName, MSG_TASK_NAME_PMSG_BRO, sizeof(MSG_TASK_NAME_PMSG_BRO));
    head.data = &payload;
    std::optional<msg::proc_event> left = msg::message(&head).read_proc_event();
    ASSERT_TRUE(left);
    EXPECT_FALSE(left->joined);
    EXPECT_EQ(left->process.view(), "camera");
    EXPECT_EQ(left->pid, 42U);
    std::memset(payload.procName, 'x', sizeof(payload.procName));
    EXPECT_FALSE(msg::message(&head).read_proc_event()); // a name with no end is no name
    std::memcpy(payload.procName, "camera", 7U);
    std::memcpy(head.sendProcName, "cppproc", 8U);
    EXPECT_FALSE(msg::message(&head).read_proc_event()); // the same id from an application
}

} // namespace

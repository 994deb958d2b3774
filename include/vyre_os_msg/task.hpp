/*
 * vyre_os_msg/task.hpp - part of the C++ interface (include
 * vyre_os_msg.hpp): a task object, owner of its registration, of its loop
 * thread (or its descriptor for the application's poll loop) and of the
 * callable it runs; callbacks that throw are caught at the boundary. The
 * object is used by one thread at a time; its counters are atomic.
 */
#ifndef VYRE_OS_MSG_TASK_HPP
#define VYRE_OS_MSG_TASK_HPP

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

#include "vyre_os_msg.h"
#include "vyre_os_msg/message.hpp"
#include "vyre_os_msg/payload.hpp"
#include "vyre_os_msg/result.hpp"

namespace vyre::msg {

/* ---------------------------------------------------------------------------
 * Tasks
 * ------------------------------------------------------------------------- */

struct task_options {
    task_options() = default;
    /* A queue length alone (proc.start_task("t", fn, 16)) reads as options. */
    task_options(uint32_t queue_length, uint64_t byte_bound = 0U) noexcept
        : queue_len(queue_length), byte_limit(byte_bound) {}

    /* Queue length in messages; 0 selects the library's 1024. */
    uint32_t queue_len = 0U;
    /* Bound on the bytes waiting for the task (OsMsgSetTaskByteLimit); 0: none. */
    uint64_t byte_limit = 0U;
    /* Called on the task's thread with an exception its callback let out and
     * the message it was handling; must not throw. Empty: one line on
     * standard error. */
    std::function<void(const message &, std::exception_ptr)> on_exception;
};

namespace detail {
/* One process object at a time holds the membership; each join and each
 * leave counts one more, so the count is odd while a process object joins
 * or holds it, and a task left over from an earlier membership (whose
 * teardown unregistered it and closed its descriptor) never reaches a task
 * of the same name made since, nor shows the closed descriptor. */
inline std::atomic<uint64_t> membership{0U};

/* What a task gives the library as its user pointer: the callable and the
 * task's counters. Lives on the heap, so the task object may move; freed by
 * the task once the library no longer calls it (or, when the task is
 * destroyed from its own callback, after that callback). */
struct task_state {
    virtual ~task_state() = default;
    virtual void invoke(message &m) = 0;

    name task_name = name("-");
    std::function<void(const message &, std::exception_ptr)> on_exception;
    std::atomic<uint64_t> exceptions{0U};
    pthread_t thread{};
    bool threaded = false;
    /* The membership the task was registered under (see detail::membership). */
    uint64_t membership = 0U;
    /* The thread inside the callback now (a polled task), or none. */
    std::atomic<std::thread::id> serving{};
    /* The task object was destroyed from inside the callback: whoever runs
     * the callback frees the state after it. Written and read on that
     * thread only. */
    bool orphaned = false;
};

template <class F> struct task_state_for final : task_state {
    explicit task_state_for(F &&f) : fn(std::move(f)) {}
    explicit task_state_for(const F &f) : fn(f) {}
    void invoke(message &m) override { fn(m); }
    F fn;
};

#if VYRE_OS_MSG_CPP_EXCEPTIONS
inline void report_exception(task_state &state, const message &m, std::exception_ptr error) noexcept {
    state.exceptions.fetch_add(1U, std::memory_order_relaxed);
    if (state.on_exception) {
        state.on_exception(m, error);
        return;
    }
    const char *what = "an exception that is no std::exception";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        what = e.what();
    } catch (...) {
    }
    std::fprintf(stderr, "vyre::msg: task %s: its callback let an exception out on message 0x%x: %s\n",
                 state.task_name.c_str(), static_cast<unsigned>(m.id()), what);
}
#endif

/* The callback the library calls (OsMsgTaskFuncEx): the task's callable,
 * with nothing thrown let into the library. */
inline uint32_t on_message(MsgHead *head, void *user) noexcept {
    auto *state = static_cast<task_state *>(user);
    message m(head);
    state->serving.store(std::this_thread::get_id(), std::memory_order_relaxed);
#if VYRE_OS_MSG_CPP_EXCEPTIONS
    try {
        state->invoke(m);
    } catch (...) {
        report_exception(*state, m, std::current_exception());
    }
#else
    state->invoke(m);
#endif
    state->serving.store(std::thread::id(), std::memory_order_relaxed);
    if (state->orphaned && !state->threaded) {
        delete state;
    }
    return 0U;
}

inline void *task_loop(void *user) noexcept {
    auto *state = static_cast<task_state *>(user);
    (void)pthread_setname_np(pthread_self(), state->task_name.c_str());
    // Only the registration this state was made for: a thread that starts
    // after its membership ended must not serve a same-named task of the next.
    (void)OsMsgTaskRoutineEx(state->task_name.c_str(), state);
    if (state->orphaned) {
        delete state;
    }
    return nullptr;
}
} // namespace detail

/* A task of this process with the callable it runs for each message. Made
 * by process::start_task (its own loop thread), process::start_polled_task
 * (served by the application: poll fd(), call handle()) or
 * process::start_task_on_receive (served by the carrier's receive thread). Destroying it
 * unregisters the task, dropping the messages still queued (their payloads,
 * shared buffers and descriptors released), waits for a callback in progress
 * and joins the loop thread; the callable is destroyed after that. It may be
 * destroyed from its own callback: the callable then goes when the callback
 * returns. */
class task {
public:
    task() noexcept = default;
    task(task &&other) noexcept : state_(std::move(other.state_)), fd_(std::exchange(other.fd_, -1)) {}
    task &operator=(task &&other) noexcept {
        if (this != &other) {
            (void)stop();
            state_ = std::move(other.state_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~task() { (void)stop(); }

    /* Empty for a moved-from or stopped task. */
    const name *task_name() const noexcept { return state_ ? &state_->task_name : nullptr; }
    bool running() const noexcept { return state_ != nullptr; }

    /* A polled task's descriptor: readable while messages wait (poll it,
     * never read or close it; take it out of the poll set before the task
     * goes). -1 for a task with a loop thread, and once the membership it
     * was started in has ended (the teardown closed the descriptor). */
    int fd() const noexcept { return current() ? fd_ : -1; }
    /* Handles up to max_count waiting messages on the calling thread (a
     * polled task); the number handled. */
    result<uint32_t> handle(uint32_t max_count = 64U) noexcept {
        if (!current()) {
            return errc::not_found;
        }
        uint32_t handled = 0U;
        if (uint32_t code = OsMsgTaskHandle(state_->task_name.c_str(), max_count, &handled)) {
            return detail::code_error(code);
        }
        return handled;
    }

    /* Exceptions its callback let out so far. */
    uint64_t exceptions() const noexcept { return state_ ? state_->exceptions.load(std::memory_order_relaxed) : 0U; }
    result<OsMsgTaskStats> stats() const noexcept {
        OsMsgTaskStats stats{};
        if (!current()) {
            return errc::not_found;
        }
        if (uint32_t code = OsMsgGetTaskStats(state_->task_name.c_str(), &stats)) {
            return detail::code_error(code);
        }
        return stats;
    }
    result<OsMsgTaskBufStats> buffer_stats() const noexcept {
        OsMsgTaskBufStats stats{};
        if (!current()) {
            return errc::not_found;
        }
        if (uint32_t code = OsMsgGetTaskBufStats(state_->task_name.c_str(), &stats)) {
            return detail::code_error(code);
        }
        return stats;
    }
    result<void> set_byte_limit(uint64_t bytes) noexcept {
        return current() ? detail::code_error(OsMsgSetTaskByteLimit(state_->task_name.c_str(), bytes))
                         : result<void>(errc::not_found);
    }

    /* Unregisters the task and joins its loop now, as the destructor does.
     * Waits as long as a callback in progress runs. */
    result<void> stop() noexcept {
        if (!state_) {
            return {};
        }
        detail::task_state *state = state_.get();
        const bool own_callback = state->threaded
                                      ? pthread_equal(pthread_self(), state->thread) != 0
                                      : state->serving.load(std::memory_order_relaxed) == std::this_thread::get_id();
        uint32_t code = OS_MSG_OK;
        if (current()) {
            // Busy: the callback is still running (the library waited about
            // three seconds for it), or another thread unregisters the task.
            while ((code = OsMsgUnregTask(nullptr, 0U, state->task_name.c_str())) == OS_MSG_ERR_TASK_BUSY &&
                   !own_callback) {
                std::this_thread::yield();
            }
        }
        fd_ = -1;
        if (own_callback) {
            // The callable is running: whoever runs it frees it afterwards.
            state->orphaned = true;
            if (state->threaded) {
                (void)pthread_detach(state->thread);
            }
            (void)state_.release();
        } else {
            if (state->threaded) {
                (void)pthread_join(state->thread, nullptr);
            }
            state_.reset();
        }
        // Unregistered already: by the process's teardown, or by the callback.
        return code == OS_MSG_ERR_NOT_INIT || code == OS_MSG_ERR_NOT_FOUND ? result<void>() : detail::code_error(code);
    }

private:
    friend class process;
    task(std::unique_ptr<detail::task_state> state, int fd) noexcept : state_(std::move(state)), fd_(fd) {}
    /* The task is registered under the present membership. One from an
     * earlier membership was unregistered by its teardown: its name may now
     * be another task's, which the calls by name must not reach. */
    bool current() const noexcept {
        return state_ && state_->membership == detail::membership.load(std::memory_order_relaxed);
    }

    std::unique_ptr<detail::task_state> state_;
    int fd_ = -1;
};

} // namespace vyre::msg

#endif /* VYRE_OS_MSG_TASK_HPP */

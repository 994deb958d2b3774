/*
 * vyre_os_msg/process.hpp - part of the C++ interface (include
 * vyre_os_msg.hpp): the process object, owner of the membership, through
 * which tasks start and messages, calls and events go out. Its operations
 * may be called from any thread at once; the object itself moves on one.
 */
#ifndef VYRE_OS_MSG_PROCESS_HPP
#define VYRE_OS_MSG_PROCESS_HPP

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "vyre_os_msg.h"
#include "vyre_os_msg/buffer.hpp"
#include "vyre_os_msg/payload.hpp"
#include "vyre_os_msg/response.hpp"
#include "vyre_os_msg/result.hpp"
#include "vyre_os_msg/task.hpp"

namespace vyre::msg {

/* ---------------------------------------------------------------------------
 * The process
 * ------------------------------------------------------------------------- */

/* The process's membership of the messaging system, from join() to the
 * destructor, which stops the process's server (OsMsgDestroy) and leaves
 * (OsMsgUninit): every task is unregistered then and their loops end. Do not
 * destroy it on a task's loop thread. A response still in place on the
 * destroying thread is copied first; those of other threads must be gone. */
class process {
public:
    /* Joins under name (OsMsgInit). errc::repeated when another process
     * object holds the membership, or with the "unix" carrier a live process
     * holds the name; the other codes of OsMsgInit. A process that joined
     * through the C interface makes no process object (OsMsgInit would
     * accept the second join, and the object's teardown end the first). */
    static result<process> join(const name &own) noexcept {
        if (!own.valid()) {
            return errc::invalid_param;
        }
        if (detail::joined.exchange(true)) {
            return errc::repeated;
        }
        uint32_t code = OsMsgInit(own.c_str());
        if (code != OS_MSG_OK) {
            detail::joined.store(false);
            return detail::code_error(code);
        }
        detail::membership.fetch_add(1U);
        return process(own);
    }
    // NOTE(next): join(const name &, const options &) over OsMsgInitWithOptions
    // (carrier, run directory, log level and sink) goes here.

    process(process &&other) noexcept : own_(other.own_), member_(std::exchange(other.member_, false)) {}
    process &operator=(process &&other) noexcept {
        if (this != &other) {
            leave();
            own_ = other.own_;
            member_ = std::exchange(other.member_, false);
        }
        return *this;
    }
    ~process() { leave(); }

    const name &own_name() const noexcept { return own_; }
    /* The address of task in this process. */
    address local(const name &task_name) const noexcept { return address(own_, task_name); }

    /* Tasks: see class task. errc::task_exist (the name is registered),
     * errc::invalid_param, errc::no_memory, errc::thread_create. The callable
     * is called as fn(message &) on the task's thread. */
    template <class F> result<task> start_task(const name &task_name, F &&fn, task_options options = {}) const {
        return make_task(task_name, std::forward<F>(fn), std::move(options), true);
    }
    template <class F> result<task> start_polled_task(const name &task_name, F &&fn, task_options options = {}) const {
        return make_task(task_name, std::forward<F>(fn), std::move(options), false);
    }

    /* Sends a copy of data to task to (OsMsgAsynSend). errc::oversize above
     * OS_MSG_MAX_DATA_LEN; errc::not_found, errc::full, and the other codes
     * of OsMsgAsynSend. */
    result<void> send(const address &to, uint32_t id, bytes_view data = {}) const noexcept {
        MsgHead head;
        if (uint32_t code = fill(head, to, id, data)) {
            return detail::code_error(code);
        }
        return detail::code_error(OsMsgAsynSend(&head));
    }
    // NOTE(next): send(to, id, data, timeout) over OsMsgAsynSendTimed, which
    // waits for room up to a time-out, goes here.

    /* Sends len bytes (default: all) of a shared buffer without copying them
     * (OsMsgAsynSendBuf): on success the buffer is the library's and buf is
     * empty; on failure buf keeps it. */
    result<void> send(const address &to, uint32_t id, buffer &&buf) const noexcept {
        return send(to, id, std::move(buf), buf.size());
    }
    result<void> send(const address &to, uint32_t id, buffer &&buf, size_t len) const noexcept {
        MsgHead head;
        if (uint32_t code = fill_buffer(head, to, id, buf, len)) {
            return detail::code_error(code);
        }
        uint32_t code = OsMsgAsynSendBuf(&head);
        if (code == OS_MSG_OK) {
            buf.data_ = nullptr;
            buf.size_ = 0U;
        }
        return detail::code_error(code);
    }

    /* Sends a copy of data with descriptors (a contiguous range of int, at
     * most OS_MSG_MAX_FDS), duplicated by the call: the caller keeps its own. */
    template <class Fds>
    result<void> send_with_fds(const address &to, uint32_t id, bytes_view data, const Fds &fds) const noexcept {
        static_assert(std::is_same_v<std::remove_cv_t<detail::element_of<Fds>>, int>, "descriptors are ints");
        if (std::size(fds) > OS_MSG_MAX_FDS) {
            return errc::invalid_param;
        }
        MsgHead head;
        if (uint32_t code = fill(head, to, id, data)) {
            return detail::code_error(code);
        }
        return detail::code_error(OsMsgAsynSendFds(&head, std::data(fds), static_cast<uint32_t>(std::size(fds))));
    }
    result<void> send_with_fds(const address &to, uint32_t id, bytes_view data,
                               std::initializer_list<int> fds) const noexcept {
        return send_with_fds<std::initializer_list<int>>(to, id, data, fds);
    }

    /* Calls task to with a copy of data and waits at most timeout (at least
     * 1 ms) for its answer (OsMsgSynSend). errc::timeout or errc::syn_timeout
     * when none came in time, and the other codes of OsMsgSynSend. */
    result<response> call(const address &to, uint32_t id, bytes_view data = {},
                          std::chrono::milliseconds timeout = default_timeout) const noexcept {
        MsgHead head;
        if (uint32_t code = fill(head, to, id, data)) {
            return detail::code_error(code);
        }
        return finish_call(head, timeout, false);
    }
    /* The same with len bytes of a shared buffer, lent (OsMsgSynSendBuf):
     * buf stays the caller's in every case. */
    result<response> call(const address &to, uint32_t id, const buffer &buf, size_t len,
                          std::chrono::milliseconds timeout = default_timeout) const noexcept {
        MsgHead head;
        if (uint32_t code = fill_buffer(head, to, id, buf, len)) {
            return detail::code_error(code);
        }
        return finish_call(head, timeout, true);
    }

    /* Subscribes task subscriber of this process to events of publisher (its
     * CPU, process and task). Applied in order, after the call returns. */
    result<void> subscribe(const name &subscriber, const address &publisher,
                           std::initializer_list<uint32_t> events) const noexcept {
        return subscription(subscriber, publisher, events, true);
    }
    result<void> unsubscribe(const name &subscriber, const address &publisher,
                             std::initializer_list<uint32_t> events) const noexcept {
        return subscription(subscriber, publisher, events, false);
    }
    // NOTE(next): the "process joined" and "process left" events, with their
    // reserved ids, are subscribed to here once the C interface has them.

    /* Publishes event id under task publisher of this process with a copy of
     * data; every subscriber's callback gets it. */
    result<void> broadcast(const name &publisher, uint32_t event, bytes_view data = {}) const noexcept {
        if (!publisher.valid()) {
            return errc::invalid_param;
        }
        if (data.size() > OS_MSG_MAX_DATA_LEN) {
            return errc::oversize;
        }
        MsgBroEntry entry = bro_entry(publisher, event, data.data(), data.size());
        return detail::code_error(OsMsgBroadcastEvent(&entry, 1U));
    }
    /* The same with len bytes (default: all) of a shared buffer, one buffer
     * for every subscriber: on success buf is empty, on failure it keeps it. */
    result<void> broadcast(const name &publisher, uint32_t event, buffer &&buf) const noexcept {
        return broadcast(publisher, event, std::move(buf), buf.size());
    }
    result<void> broadcast(const name &publisher, uint32_t event, buffer &&buf, size_t len) const noexcept {
        if (!publisher.valid() || len == 0U || len > buf.size()) {
            return len > buf.size() ? errc::oversize : errc::invalid_param;
        }
        MsgBroEntry entry = bro_entry(publisher, event, buf.data(), len);
        uint32_t code = OsMsgBroadcastEventBuf(&entry);
        if (code == OS_MSG_OK) {
            buf.data_ = nullptr;
            buf.size_ = 0U;
        }
        return detail::code_error(code);
    }

    /* Blocks until the process's server quits: stop() here or elsewhere, or
     * the teardown (OsMsgMain). errc::server_not_running when it has quit. */
    result<void> wait() const noexcept { return detail::code_error(OsMsgMain()); }
    /* Stops the process's server (OsMsgDestroy), waking wait(). */
    result<void> stop() const noexcept { return detail::code_error(OsMsgDestroy(own_.c_str())); }
    // NOTE(next): wait_for_process(name, timeout) over OsMsgWaitProcess, and
    // the access policy call, go here.

    result<OsMsgTaskStats> task_stats(const name &task_name) const noexcept {
        OsMsgTaskStats stats{};
        if (uint32_t code = OsMsgGetTaskStats(task_name.c_str(), &stats)) {
            return detail::code_error(code);
        }
        return stats;
    }

    static constexpr std::chrono::milliseconds default_timeout{OS_MSG_DEFAULT_TIMEOUT_MS};

private:
    explicit process(const name &own) noexcept : own_(own), member_(true) {}

    void leave() noexcept {
        if (!member_) {
            return;
        }
        member_ = false;
        if (response *live = detail::in_place_response) {
            (void)live->detach(); // its slot goes with the teardown
        }
        (void)OsMsgDestroy(own_.c_str());
        (void)OsMsgUninit();
        detail::joined.store(false);
    }

    /* A header from this process to task to with data. */
    uint32_t fill(MsgHead &head, const address &to, uint32_t id, bytes_view data) const noexcept {
        if (!to.valid()) {
            return OS_MSG_ERR_INVALID_PARAM;
        }
        if (data.size() > OS_MSG_MAX_DATA_LEN) {
            return OS_MSG_ERR_OVERSIZE;
        }
        std::memset(&head, 0, sizeof(head));
        own_.copy_to(head.sendProcName);
        to.process().copy_to(head.recvProcName);
        to.task().copy_to(head.recvTaskName);
        head.recvCpuId = to.cpu();
        head.msgId = id;
        head.data = const_cast<std::byte *>(data.data());
        head.dataLen = static_cast<uint32_t>(data.size());
        return OS_MSG_OK;
    }

    uint32_t fill_buffer(MsgHead &head, const address &to, uint32_t id, const buffer &buf, size_t len) const noexcept {
        if (!buf || len == 0U) {
            return OS_MSG_ERR_INVALID_PARAM;
        }
        if (len > buf.size()) {
            return OS_MSG_ERR_OVERSIZE;
        }
        if (uint32_t code = fill(head, to, id, bytes_view())) {
            return code;
        }
        head.data = buf.data();
        head.dataLen = static_cast<uint32_t>(len);
        return OS_MSG_OK;
    }

    static MsgBroEntry bro_entry(const name &publisher, uint32_t event, const void *data, size_t len) noexcept {
        MsgBroEntry entry;
        std::memset(&entry, 0, sizeof(entry));
        publisher.copy_to(entry.taskName);
        entry.msgId = event;
        entry.dataLen = static_cast<int32_t>(len);
        entry.data = const_cast<void *>(data);
        return entry;
    }

    result<response> finish_call(MsgHead &head, std::chrono::milliseconds timeout, bool lent) const noexcept {
        // The C interface keeps one response per thread: one still in place
        // is copied out before the slot takes the next.
        if (response *live = detail::in_place_response) {
            if (!live->detach()) {
                return errc::no_memory;
            }
        }
        const auto ms = timeout.count() < 1 ? 1 : timeout.count() > UINT32_MAX ? UINT32_MAX : timeout.count();
        MsgHead *slot = nullptr;
        uint32_t code = lent ? OsMsgSynSendBuf(&head, &slot, static_cast<uint32_t>(ms))
                             : OsMsgSynSend(&head, &slot, static_cast<uint32_t>(ms));
        if (code != OS_MSG_OK) {
            return detail::code_error(code);
        }
        return result<response>(std::in_place, detail::response_slot_tag{}, slot);
    }

    result<void> subscription(const name &subscriber, const address &publisher, std::initializer_list<uint32_t> events,
                              bool add) const noexcept {
        if (!subscriber.valid() || !publisher.valid() || events.size() == 0U) {
            return errc::invalid_param;
        }
        std::unique_ptr<MsgSubEntry[]> entries(new (std::nothrow) MsgSubEntry[events.size()]);
        if (!entries) {
            return errc::no_memory;
        }
        size_t i = 0U;
        for (uint32_t event : events) {
            MsgSubEntry &entry = entries[i++];
            std::memset(&entry, 0, sizeof(entry));
            entry.msgId = event;
            entry.cpuId = publisher.cpu();
            publisher.process().copy_to(entry.procName);
            publisher.task().copy_to(entry.taskName);
            subscriber.copy_to(entry.subTaskName);
        }
        const auto count = static_cast<uint32_t>(events.size());
        return detail::code_error(add ? OsMsgSubscribeEvent(entries.get(), count)
                                      : OsMsgUnsubscribeEvent(entries.get(), count));
    }

    template <class F>
    result<task> make_task(const name &task_name, F &&fn, task_options options, bool threaded) const {
        using callable = std::decay_t<F>;
        static_assert(std::is_invocable_v<callable &, message &>, "a task's callable is called as fn(msg::message &)");
        if (!task_name.valid()) {
            return errc::invalid_param;
        }
        std::unique_ptr<detail::task_state> state(new (std::nothrow)
                                                      detail::task_state_for<callable>(std::forward<F>(fn)));
        if (!state) {
            return errc::no_memory;
        }
        state->task_name = task_name;
        state->on_exception = std::move(options.on_exception);
        state->threaded = threaded;
        state->membership = detail::membership.load(std::memory_order_relaxed);
        if (uint32_t code = OsMsgRegTaskEx(task_name.c_str(), options.queue_len, detail::on_message, state.get())) {
            return detail::code_error(code);
        }
        int fd = -1;
        uint32_t code =
            options.byte_limit != 0U ? OsMsgSetTaskByteLimit(task_name.c_str(), options.byte_limit) : OS_MSG_OK;
        if (code == OS_MSG_OK && !threaded) {
            code = OsMsgTaskFd(task_name.c_str(), &fd);
        }
        if (code == OS_MSG_OK && threaded &&
            pthread_create(&state->thread, nullptr, detail::task_loop, state.get()) != 0) {
            code = OS_MSG_ERR_THREAD_CREATE;
        }
        if (code != OS_MSG_OK) {
            (void)OsMsgUnregTask(nullptr, 0U, task_name.c_str());
            return detail::code_error(code);
        }
        return task(std::move(state), fd);
    }

    name own_;
    bool member_ = false;
};

} // namespace vyre::msg

#endif /* VYRE_OS_MSG_PROCESS_HPP */

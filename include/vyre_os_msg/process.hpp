/*
 * vyre_os_msg/process.hpp - part of the C++ interface (include
 * vyre_os_msg.hpp): the process object, owner of the membership, through
 * which tasks start and messages, calls and events go out. Its operations
 * may be called from any thread at once; the object itself moves on one.
 */
#ifndef VYRE_OS_MSG_PROCESS_HPP
#define VYRE_OS_MSG_PROCESS_HPP

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "vyre_os_msg.h"
#include "vyre_os_msg/buffer.hpp"
#include "vyre_os_msg/message.hpp"
#include "vyre_os_msg/payload.hpp"
#include "vyre_os_msg/response.hpp"
#include "vyre_os_msg/result.hpp"
#include "vyre_os_msg/task.hpp"

namespace vyre::msg {

/* ---------------------------------------------------------------------------
 * The process
 * ------------------------------------------------------------------------- */

/* How messages for another process travel (OsMsgOptions.carrier). */
enum class carrier : uint32_t {
    /* VYRE_OS_MSG_CARRIER, else the build's default ("unix"). */
    environment = OS_MSG_CARRIER_DEFAULT,
    /* Over Unix sockets in the run directory. */
    unix_sockets = OS_MSG_CARRIER_UNIX,
    /* Delivered back into this process. */
    loopback = OS_MSG_CARRIER_LOOPBACK,
};

/* The lowest level of the library's records that is logged. */
enum class log_level : uint32_t {
    debug = OS_MSG_LOG_DEBUG,
    info = OS_MSG_LOG_INFO,
    warn = OS_MSG_LOG_WARN,
    error = OS_MSG_LOG_ERROR,
    fatal = OS_MSG_LOG_FATAL,
};

/* The settings of process::join(own, options). Each one left as it is
 * comes from the environment and the defaults, as with join(own); one that
 * is set wins over its environment variable. */
struct join_options {
    vyre::msg::carrier carrier = vyre::msg::carrier::environment;
    /* The run directory, absolute, at most 80 characters; empty:
     * VYRE_OS_MSG_RUNDIR, else the default. */
    std::string run_dir;
    /* Empty: the level as it is (VYRE_OS_MSG_LOG_LEVEL, OsMsgSetLogLevel). */
    std::optional<vyre::msg::log_level> log_level;
    /* The sink of every log record, a plain function called on the logging
     * thread, concurrently (OsMsgLogFunc: it captures nothing); nullptr
     * switches the records off. Empty: the sink as it is. */
    std::optional<OsMsgLogFunc> log_sink;
};

/* The process's membership of the messaging system, from join() to the
 * destructor, which stops the process's server (OsMsgDestroy) and leaves
 * (OsMsgUninit): every task is unregistered then and their loops end. Do not
 * destroy it on a task's loop thread. A response still in place on the
 * destroying thread is copied first (left empty when no memory is left for
 * the copy); those of other threads must be gone. A moved-from process
 * object holds no membership, neither this one nor a later one of its name:
 * its operations answer errc::not_init. */
class process {
public:
    /* Joins under name (OsMsgInit). errc::repeated when another process
     * object holds the membership, or with the "unix" carrier a live process
     * holds the name; the other codes of OsMsgInit. A process that joined
     * through the C interface makes no process object (OsMsgInit would
     * accept the second join, and the object's teardown end the first). */
    static result<process> join(const name &own) noexcept { return join_with(own, nullptr); }
    /* Joins as join(own) does, with the settings of options
     * (OsMsgInitWithOptions): the log level and sink are set first, so they
     * govern the join's own records, and stay set after it; the carrier and
     * the run directory hold for this membership. errc::invalid_param also
     * for a run directory that is not absolute, is longer than 80
     * characters or holds a NUL. */
    static result<process> join(const name &own, const join_options &options) noexcept {
        if (options.run_dir.find('\0') != std::string::npos) {
            return errc::invalid_param;
        }
        OsMsgOptions c_options = OS_MSG_OPTIONS_INIT;
        c_options.carrier = static_cast<uint32_t>(options.carrier);
        c_options.runDir = options.run_dir.empty() ? nullptr : options.run_dir.c_str();
        if (options.log_level) {
            c_options.flags |= OS_MSG_OPT_LOG_LEVEL;
            c_options.logLevel = static_cast<uint32_t>(*options.log_level);
        }
        if (options.log_sink) {
            c_options.flags |= OS_MSG_OPT_LOG_SINK;
            c_options.logSink = *options.log_sink;
        }
        return join_with(own, &c_options);
    }

    process(process &&other) noexcept : own_(other.own_), member_(other.member_.exchange(false)) {}
    process &operator=(process &&other) noexcept {
        if (this != &other) {
            leave();
            own_ = other.own_;
            member_.store(other.member_.exchange(false));
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
        return make_task(task_name, std::forward<F>(fn), std::move(options), served_by::own_thread);
    }
    template <class F> result<task> start_polled_task(const name &task_name, F &&fn, task_options options = {}) const {
        return make_task(task_name, std::forward<F>(fn), std::move(options), served_by::poll_loop);
    }
    /* A task the carrier's receive thread serves (OsMsgTaskServeOnReceive):
     * fn runs on the thread that received the message, which suits a stream
     * from another process; it must be short and must not wait. Also
     * errc::not_implemented (the loopback has no receive thread). */
    template <class F>
    result<task> start_task_on_receive(const name &task_name, F &&fn, task_options options = {}) const {
        return make_task(task_name, std::forward<F>(fn), std::move(options), served_by::receive_thread);
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
    /* The same, but while the receiver's queue is full the call waits for
     * room at most wait_for_room (OsMsgAsynSendTimed; zero or less: not at
     * all), woken when room returns. errc::full when the queue stayed full
     * that long; the other codes as above. */
    result<void> send(const address &to, uint32_t id, bytes_view data,
                      std::chrono::milliseconds wait_for_room) const noexcept {
        MsgHead head;
        if (uint32_t code = fill(head, to, id, data)) {
            return detail::code_error(code);
        }
        return detail::code_error(OsMsgAsynSendTimed(&head, detail::to_ms(wait_for_room, 0U)));
    }

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
    /* Subscribes task subscriber of this process to the proc_joined and
     * proc_left events (published by the library's broadcast task in this
     * process; message::read_proc_event reads them). Each other process
     * that joins or leaves the run directory afterwards is told once, in
     * order; none come with the loopback carrier. */
    result<void> subscribe_presence(const name &subscriber) const noexcept {
        return subscription(subscriber, presence_publisher(), {proc_joined, proc_left}, true);
    }
    result<void> unsubscribe_presence(const name &subscriber) const noexcept {
        return subscription(subscriber, presence_publisher(), {proc_joined, proc_left}, false);
    }

    /* Publishes event id under task publisher of this process with a copy of
     * data; every subscriber's callback gets it. */
    result<void> broadcast(const name &publisher, uint32_t event, bytes_view data = {}) const noexcept {
        if (!publisher.valid()) {
            return errc::invalid_param;
        }
        if (data.size() > OS_MSG_MAX_DATA_LEN) {
            return errc::oversize;
        }
        if (!member()) {
            return errc::not_init;
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
        if (!member()) {
            return errc::not_init;
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
    result<void> wait() const noexcept { return member() ? detail::code_error(OsMsgMain()) : errc::not_init; }
    /* Stops the process's server (OsMsgDestroy), waking wait(). */
    result<void> stop() const noexcept {
        return member() ? detail::code_error(OsMsgDestroy(own_.c_str())) : errc::not_init;
    }
    /* Waits at most timeout until process other has joined, with the
     * subscriptions this process keeps for it sent to it (OsMsgWaitProcess;
     * zero or less only looks). Success at once for a running process, this
     * one included, and for every name with the loopback carrier.
     * errc::timeout when none joined in time; errc::not_init when the
     * membership ends meanwhile; errc::system when the run directory cannot
     * be watched. */
    result<void> wait_for_process(const name &other, std::chrono::milliseconds timeout) const noexcept {
        if (!other.valid()) {
            return errc::invalid_param;
        }
        if (!member()) {
            return errc::not_init;
        }
        return detail::code_error(OsMsgWaitProcess(other.c_str(), detail::to_ms(timeout, 0U)));
    }

    result<OsMsgTaskStats> task_stats(const name &task_name) const noexcept {
        OsMsgTaskStats stats{};
        if (!member()) {
            return errc::not_init;
        }
        if (uint32_t code = OsMsgGetTaskStats(task_name.c_str(), &stats)) {
            return detail::code_error(code);
        }
        return stats;
    }

    static constexpr std::chrono::milliseconds default_timeout{OS_MSG_DEFAULT_TIMEOUT_MS};

private:
    explicit process(const name &own) noexcept : own_(own), member_(true) {}

    static result<process> join_with(const name &own, const OsMsgOptions *options) noexcept {
        if (!own.valid()) {
            return errc::invalid_param;
        }
        uint64_t even = detail::membership.load();
        if ((even & 1U) != 0U || !detail::membership.compare_exchange_strong(even, even + 1U)) {
            return errc::repeated;
        }
        uint32_t code = options != nullptr ? OsMsgInitWithOptions(own.c_str(), options) : OsMsgInit(own.c_str());
        if (code != OS_MSG_OK) {
            detail::membership.fetch_add(1U); // no task was made under it
            return detail::code_error(code);
        }
        return process(own);
    }

    /* The library's broadcast task of this process, on this CPU. */
    static address presence_publisher() noexcept {
        return address(name(MSG_PROC_NAME_PMSG), name(MSG_TASK_NAME_PMSG_BRO));
    }

    /* This object holds the membership (it was not moved from). */
    bool member() const noexcept { return member_.load(std::memory_order_relaxed); }

    void leave() noexcept {
        if (!member_.exchange(false)) {
            return;
        }
        if (response *live = detail::in_place_response) {
            live->detach_for_teardown(); // its slot goes with the teardown
        }
        (void)OsMsgDestroy(own_.c_str());
        (void)OsMsgUninit();
        detail::membership.fetch_add(1U);
    }

    /* A header from this process to task to with data. */
    uint32_t fill(MsgHead &head, const address &to, uint32_t id, bytes_view data) const noexcept {
        if (!to.valid()) {
            return OS_MSG_ERR_INVALID_PARAM;
        }
        if (data.size() > OS_MSG_MAX_DATA_LEN) {
            return OS_MSG_ERR_OVERSIZE;
        }
        if (!member()) {
            return OS_MSG_ERR_NOT_INIT;
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
        const uint32_t ms = detail::to_ms(timeout, 1U);
        MsgHead *slot = nullptr;
        uint32_t code = lent ? OsMsgSynSendBuf(&head, &slot, ms) : OsMsgSynSend(&head, &slot, ms);
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
        if (!member()) {
            return errc::not_init;
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

    enum class served_by { own_thread, poll_loop, receive_thread };

    template <class F>
    result<task> make_task(const name &task_name, F &&fn, task_options options, served_by server) const {
        using callable = std::decay_t<F>;
        static_assert(std::is_invocable_v<callable &, message &>, "a task's callable is called as fn(msg::message &)");
        if (!task_name.valid()) {
            return errc::invalid_param;
        }
        if (!member()) {
            return errc::not_init;
        }
        std::unique_ptr<detail::task_state> state(new (std::nothrow)
                                                      detail::task_state_for<callable>(std::forward<F>(fn)));
        if (!state) {
            return errc::no_memory;
        }
        state->task_name = task_name;
        state->on_exception = std::move(options.on_exception);
        const bool threaded = server == served_by::own_thread;
        state->threaded = threaded;
        state->membership = detail::membership.load(std::memory_order_relaxed);
        if (uint32_t code = OsMsgRegTaskEx(task_name.c_str(), options.queue_len, detail::on_message, state.get())) {
            return detail::code_error(code);
        }
        int fd = -1;
        uint32_t code =
            options.byte_limit != 0U ? OsMsgSetTaskByteLimit(task_name.c_str(), options.byte_limit) : OS_MSG_OK;
        if (code == OS_MSG_OK && server == served_by::poll_loop) {
            code = OsMsgTaskFd(task_name.c_str(), &fd);
        }
        if (code == OS_MSG_OK && server == served_by::receive_thread) {
            code = OsMsgTaskServeOnReceive(task_name.c_str());
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
    /* Atomic: a thread inside wait() may still read it while another leaves. */
    std::atomic<bool> member_{false};
};

} // namespace vyre::msg

#endif /* VYRE_OS_MSG_PROCESS_HPP */

/*
 * vyre_os_msg.hpp - the C++ interface of libvyre_os_msg, header-only, over
 * the C interface of vyre_os_msg.h (C++17 or later; no library of its own).
 *
 *   namespace msg = vyre::msg;
 *   auto proc = msg::process::join("camera");           // the membership
 *   auto enc = proc->start_task("encoder", [&](msg::message &m) {
 *       if (auto frame = m.read<Frame>()) { ... }        // typed payloads
 *   });
 *   proc->send(proc->local("encoder"), kFrame, msg::bytes_of(frame));
 *   if (auto status = proc->call(proc->local("encoder"), kStatus)) { ... }
 *
 * Objects and lifetimes. A process object is the process's membership: it
 * joins in process::join and leaves in its destructor (OsMsgDestroy, then
 * OsMsgUninit). A task object owns its task: its loop thread (start_task) or
 * its descriptor for the application's poll loop (start_polled_task), and the
 * callable it was given, captures included (passed to the library as
 * OsMsgRegTaskEx's user pointer: no global state); its destructor unregisters
 * the task, which drops the messages still queued, and joins the loop. A task
 * may outlive its process object (the process's teardown ends its loop). All
 * of them are move-only; a moved-from object owns nothing.
 *
 * Errors. Every operation that can fail returns result<T> (a value or a
 * std::error_code of msg::category(), whose texts are OsMsgStrError's) and
 * throws nothing. result::value() on an error prints the error and calls
 * std::terminate, as a program error; result::throw_if_error() is the opt-in
 * that throws std::system_error instead (only where exceptions are enabled).
 * The library's codes also compare equal to the portable std::errc
 * conditions that match them (timed_out, invalid_argument, message_size,
 * not_enough_memory, resource_unavailable_try_again, not_supported).
 *
 * Callbacks that throw. An exception that leaves a task's callback is caught
 * at the boundary (it never unwinds into the library), counted
 * (task::exceptions()) and reported: to task_options::on_exception when the
 * task has one, else as one line on standard error. The message counts as
 * handled; a request the callback did not answer before it threw stays
 * unanswered, and its caller gets OS_MSG_ERR_TIMEOUT when its time-out ends.
 *
 * Responses belong to the thread that called. A call's response lies in the
 * calling thread's response slot until it is released (no copy), and the C
 * contract has only that thread release it, before it calls again. A
 * response object keeps to this by itself: the calling thread's next call
 * first copies a response still in place into memory of its own, and so does
 * moving the response, so that a moved response may be kept, moved on and
 * destroyed on any thread. Destroying or moving a response that is still in
 * place on another thread than the one that called (shared by reference) is
 * a program error that calls std::terminate, as destroying a joinable
 * std::thread does.
 *
 * Threads. process, task, buffer and response objects are not locked: each
 * is used by one thread at a time. The operations of a process may be called
 * from any thread, also from task callbacks, concurrently.
 */
#ifndef VYRE_OS_MSG_HPP
#define VYRE_OS_MSG_HPP

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "vyre_os_msg.h"

#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
#define VYRE_OS_MSG_CPP_EXCEPTIONS 1
#else
#define VYRE_OS_MSG_CPP_EXCEPTIONS 0
#endif

namespace vyre::msg {

/* ---------------------------------------------------------------------------
 * Errors
 * ------------------------------------------------------------------------- */

/* The library's result codes (the OS_MSG_ERR_* values). */
enum class errc : uint32_t {
    invalid_param = OS_MSG_ERR_INVALID_PARAM,
    server_not_running = OS_MSG_ERR_SERVER_NOT_RUNNING,
    repeated = OS_MSG_ERR_REPEATED,
    not_init = OS_MSG_ERR_NOT_INIT,
    not_found = OS_MSG_ERR_NOT_FOUND,
    full = OS_MSG_ERR_FULL,
    no_callback = OS_MSG_ERR_NO_CALLBACK,
    wait = OS_MSG_ERR_WAIT,
    oversize = OS_MSG_ERR_OVERSIZE,
    no_idle_block = OS_MSG_ERR_NO_IDLE_BLOCK,
    system = OS_MSG_ERR_SYSTEM,
    fail = OS_MSG_ERR_FAIL,
    not_implemented = OS_MSG_ERR_NOT_IMPLEMENTED,
    task_exist = OS_MSG_ERR_TASK_EXIST,
    timeout = OS_MSG_ERR_TIMEOUT,
    syn_timeout = OS_MSG_ERR_SYN_TIMEOUT,
    req_released = OS_MSG_ERR_REQ_RELEASED,
    resp_state = OS_MSG_ERR_RESP_STATE,
    task_busy = OS_MSG_ERR_TASK_BUSY,
    task_wait = OS_MSG_ERR_TASK_WAIT,
    hash = OS_MSG_ERR_HASH,
    thread_create = OS_MSG_ERR_THREAD_CREATE,
    no_memory = OS_MSG_ERR_NO_MEMORY,
    // NOTE(next): the code of a call the access policy refuses joins here,
    // with its portable condition in error_category::default_error_condition.
};

/* The category of the library's codes: its name is "vyre_os_msg", its
 * messages OsMsgStrError's ("OS_MSG_ERR_FULL: a queue or table is full: ..."). */
class error_category final : public std::error_category {
public:
    const char *name() const noexcept override { return "vyre_os_msg"; }
    std::string message(int code) const override { return OsMsgStrError(static_cast<uint32_t>(code)); }
    std::error_condition default_error_condition(int code) const noexcept override {
        switch (static_cast<errc>(static_cast<uint32_t>(code))) {
        case errc::timeout:
        case errc::syn_timeout:
            return std::errc::timed_out;
        case errc::invalid_param:
            return std::errc::invalid_argument;
        case errc::oversize:
            return std::errc::message_size;
        case errc::no_memory:
            return std::errc::not_enough_memory;
        case errc::full:
            return std::errc::resource_unavailable_try_again;
        case errc::not_implemented:
            return std::errc::not_supported;
        default:
            return std::error_condition(code, *this);
        }
    }
};

/* The one instance. It is never destroyed, so a task thread still running
 * at exit may go on making error codes. */
inline const std::error_category &category() noexcept {
    alignas(error_category) static unsigned char storage[sizeof(error_category)];
    static const error_category *const instance = ::new (static_cast<void *>(storage)) error_category();
    return *instance;
}

inline std::error_code make_error_code(errc code) noexcept {
    return std::error_code(static_cast<int>(static_cast<uint32_t>(code)), category());
}

namespace detail {
/* A result code of the C interface as an error code (OS_MSG_OK: none). */
inline std::error_code code_error(uint32_t code) noexcept {
    return code == OS_MSG_OK ? std::error_code() : std::error_code(static_cast<int>(code), category());
}

[[noreturn]] inline void fail(const char *what, const std::error_code &error) noexcept {
    std::fprintf(stderr, "vyre::msg: %s: %s\n", what, error ? error.message().c_str() : "no error");
    std::terminate();
}
} // namespace detail

} // namespace vyre::msg

namespace std {
template <> struct is_error_code_enum<vyre::msg::errc> : true_type {};
} // namespace std

namespace vyre::msg {

/* A value of type T, or the error that prevented it. */
template <class T> class [[nodiscard]] result {
    static_assert(!std::is_reference_v<T> && !std::is_same_v<std::decay_t<T>, std::error_code>,
                  "result holds a value, not a reference or an error code");

public:
    using value_type = T;

    result(const T &value) : value_(value) {}
    result(T &&value) : value_(std::move(value)) {}
    template <class... Args>
    explicit result(std::in_place_t, Args &&...args) : value_(std::in_place, std::forward<Args>(args)...) {}
    /* error must be an error (not the empty code). */
    result(std::error_code error) noexcept : error_(error) {
        if (!error_) {
            detail::fail("result made from an empty error code", error_);
        }
    }
    result(errc error) noexcept : result(make_error_code(error)) {}

    bool has_value() const noexcept { return value_.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }
    /* The error; the empty code when there is a value. */
    std::error_code error() const noexcept { return error_; }

    /* The value; on an error, prints it and calls std::terminate. */
    T &value() &noexcept { return check(), *value_; }
    const T &value() const &noexcept { return check(), *value_; }
    T &&value() &&noexcept { return check(), std::move(*value_); }
    T &operator*() &noexcept { return value(); }
    const T &operator*() const &noexcept { return value(); }
    T &&operator*() &&noexcept { return std::move(*this).value(); }
    T *operator->() noexcept { return &value(); }
    const T *operator->() const noexcept { return &value(); }
    template <class U> T value_or(U &&other) const & { return has_value() ? *value_ : T(std::forward<U>(other)); }
    template <class U> T value_or(U &&other) && { return has_value() ? std::move(*value_) : T(std::forward<U>(other)); }

#if VYRE_OS_MSG_CPP_EXCEPTIONS
    /* The value; on an error, throws std::system_error with it (the opt-in
     * to exceptions). */
    T &throw_if_error() & {
        if (!has_value()) {
            throw std::system_error(error_);
        }
        return *value_;
    }
    T &&throw_if_error() && {
        return std::move(throw_if_error());
    }
#endif

private:
    void check() const noexcept {
        if (!has_value()) {
            detail::fail("result::value() on an error", error_);
        }
    }

    std::optional<T> value_;
    std::error_code error_;
};

/* Success, or the error. */
template <> class [[nodiscard]] result<void> {
public:
    result() noexcept = default;
    /* The empty code is success. */
    result(std::error_code error) noexcept : error_(error) {}
    result(errc error) noexcept : error_(make_error_code(error)) {}

    bool has_value() const noexcept { return !error_; }
    explicit operator bool() const noexcept { return has_value(); }
    std::error_code error() const noexcept { return error_; }
    /* Prints the error and calls std::terminate when there is one. */
    void value() const noexcept {
        if (error_) {
            detail::fail("result::value() on an error", error_);
        }
    }
#if VYRE_OS_MSG_CPP_EXCEPTIONS
    /* Throws std::system_error when there is an error. */
    void throw_if_error() const {
        if (error_) {
            throw std::system_error(error_);
        }
    }
#endif

private:
    std::error_code error_;
};

/* ---------------------------------------------------------------------------
 * Payloads
 * ------------------------------------------------------------------------- */

class buffer;
class bytes_view;

namespace detail {
template <class R> using element_of = std::remove_pointer_t<decltype(std::data(std::declval<const R &>()))>;

template <class R, class = void> struct is_byte_range : std::false_type {};
template <class R>
struct is_byte_range<
    R, std::void_t<decltype(std::data(std::declval<const R &>())), decltype(std::size(std::declval<const R &>()))>>
    : std::bool_constant<std::is_pointer_v<decltype(std::data(std::declval<const R &>()))> &&
                         std::is_trivially_copyable_v<element_of<R>> && !std::is_array_v<R> &&
                         !std::is_same_v<R, buffer> && !std::is_same_v<R, bytes_view>> {};

constexpr size_t text_length(const char *text, size_t most) noexcept {
    size_t n = 0U;
    while (n < most && text[n] != '\0') {
        ++n;
    }
    return n;
}
} // namespace detail

/* A read-only view of bytes to send: a pointer and a size. Made from any
 * contiguous range of trivially copyable elements (std::string,
 * std::string_view, std::vector, std::array, std::span, ...), from a
 * pointer and a size, or from a character array (up to its terminator). The
 * bytes are copied when they are sent; the view must stay valid until then. */
class bytes_view {
public:
    constexpr bytes_view() noexcept = default;
    constexpr bytes_view(const void *data, size_t size) noexcept : data_(data), size_(size) {}
    template <size_t N>
    constexpr bytes_view(const char (&text)[N]) noexcept : data_(text), size_(detail::text_length(text, N)) {}
    template <class T, size_t N, std::enable_if_t<std::is_trivially_copyable_v<T>, int> = 0>
    constexpr bytes_view(const T (&items)[N]) noexcept : data_(items), size_(sizeof(items)) {}
    template <class R, std::enable_if_t<detail::is_byte_range<R>::value, int> = 0>
    constexpr bytes_view(const R &range) noexcept
        : data_(std::data(range)), size_(std::size(range) * sizeof(detail::element_of<R>)) {}

    const std::byte *data() const noexcept { return static_cast<const std::byte *>(data_); }
    constexpr size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0U; }
    const std::byte *begin() const noexcept { return data(); }
    const std::byte *end() const noexcept { return data() + size_; }

private:
    const void *data_ = nullptr;
    size_t size_ = 0U;
};

/* The bytes of one trivially copyable object, to send as it lies in memory. */
template <class T> bytes_view bytes_of(const T &value) noexcept {
    static_assert(std::is_trivially_copyable_v<T>, "only a trivially copyable object travels as its bytes");
    static_assert(!std::is_pointer_v<T>, "a pointer's bytes mean nothing to another task: send what it points at");
    return bytes_view(&value, sizeof(T));
}

namespace detail {
/* data as one T when it has exactly sizeof(T) bytes. */
template <class T> std::optional<T> read_as(const void *data, uint32_t len) noexcept {
    static_assert(std::is_trivially_copyable_v<T> && std::is_default_constructible_v<T>,
                  "only a trivially copyable, default-constructible type is read from bytes");
    if (len != sizeof(T) || data == nullptr) {
        return std::nullopt;
    }
    T value;
    std::memcpy(static_cast<void *>(&value), data, sizeof(T));
    return value;
}
} // namespace detail

/* ---------------------------------------------------------------------------
 * Names and addresses
 * ------------------------------------------------------------------------- */

/* A process or task name: 1 to 15 characters, never cut. A string literal
 * is checked when the program compiles; any other text through make(). */
class name {
public:
    template <size_t N> constexpr name(const char (&text)[N]) noexcept : text_{} {
        static_assert(N >= 2U, "a name has at least one character");
        static_assert(N <= OS_MSG_NAME_LEN, "a name has at most 15 characters");
        // A character array that is no literal may hold less, or no
        // terminator: only a whole name is taken (else the name stays
        // empty, which every operation refuses with errc::invalid_param).
        if (detail::text_length(text, N) == N - 1U) {
            for (size_t i = 0U; i + 1U < N; ++i) {
                text_[i] = text[i];
            }
        }
    }

    /* errc::invalid_param for an empty text, one of 16 characters or more, or
     * one with a NUL inside. */
    static result<name> make(std::string_view text) noexcept {
        if (text.empty() || text.size() >= OS_MSG_NAME_LEN || text.find('\0') != std::string_view::npos) {
            return errc::invalid_param;
        }
        name made;
        std::memcpy(made.text_, text.data(), text.size());
        return made;
    }

    const char *c_str() const noexcept { return text_; }
    std::string_view view() const noexcept { return std::string_view(text_); }
    bool valid() const noexcept { return text_[0] != '\0'; }
    friend bool operator==(const name &a, const name &b) noexcept { return a.view() == b.view(); }
    friend bool operator!=(const name &a, const name &b) noexcept { return !(a == b); }

private:
    friend class address;
    friend class message;
    friend class process;
    constexpr name() noexcept : text_{} {}
    /* A 16-byte name field of a received header: taken when terminated
     * within the field, else the name stays empty. */
    static name from_field(const char (&field)[OS_MSG_NAME_LEN]) noexcept {
        name made;
        size_t len = detail::text_length(field, OS_MSG_NAME_LEN);
        if (len < OS_MSG_NAME_LEN) {
            std::memcpy(made.text_, field, len);
        }
        return made;
    }
    void copy_to(char (&field)[OS_MSG_NAME_LEN]) const noexcept { std::memcpy(field, text_, OS_MSG_NAME_LEN); }

    char text_[OS_MSG_NAME_LEN];
};

/* Where a task lives: CPU, process and task. */
class address {
public:
    address(const name &process, const name &task, uint32_t cpu = 0U) noexcept
        : process_(process), task_(task), cpu_(cpu) {}
    /* errc::invalid_param when either name is not a valid name. */
    static result<address> make(std::string_view process, std::string_view task, uint32_t cpu = 0U) noexcept {
        result<name> p = name::make(process);
        result<name> t = name::make(task);
        if (!p || !t) {
            return errc::invalid_param;
        }
        return address(*p, *t, cpu);
    }

    const name &process() const noexcept { return process_; }
    const name &task() const noexcept { return task_; }
    uint32_t cpu() const noexcept { return cpu_; }
    bool valid() const noexcept { return process_.valid() && task_.valid(); }

private:
    name process_;
    name task_;
    uint32_t cpu_;
};

/* ---------------------------------------------------------------------------
 * Descriptors and shared buffers
 * ------------------------------------------------------------------------- */

/* A file descriptor this object closes. */
class unique_fd {
public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    /* The descriptor, which the caller then closes. */
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0 && fd_ != fd) {
            (void)::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

/* A shared buffer of the process's pool (OsMsgBufAlloc), owned by this
 * object until a send takes it; freed by the destructor otherwise. Sending
 * it (process::send with the buffer moved in) passes it on without a copy:
 * on success the object is empty, on failure it still owns the buffer. */
class buffer {
public:
    buffer() noexcept = default;
    buffer(buffer &&other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0U)) {}
    buffer &operator=(buffer &&other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0U);
        }
        return *this;
    }
    ~buffer() { reset(); }

    /* A buffer of size bytes (1 to OS_MSG_BUF_MAX_SIZE); its contents are
     * whatever it held before. errc::invalid_param (size 0 or too large),
     * errc::full (the pool is at its limit), errc::system, errc::no_memory. */
    static result<buffer> alloc(size_t size) noexcept {
        if (size == 0U || size > OS_MSG_BUF_MAX_SIZE) {
            return errc::invalid_param;
        }
        void *data = nullptr;
        if (uint32_t code = OsMsgBufAlloc(static_cast<uint32_t>(size), &data)) {
            return detail::code_error(code);
        }
        return buffer(data, size);
    }

    std::byte *data() const noexcept { return static_cast<std::byte *>(data_); }
    size_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }
    /* Gives the buffer back to the pool now. */
    void reset() noexcept {
        if (data_ != nullptr) {
            (void)OsMsgBufFree(data_);
            data_ = nullptr;
            size_ = 0U;
        }
    }

private:
    friend class process;
    buffer(void *data, size_t size) noexcept : data_(data), size_(size) {}

    void *data_ = nullptr;
    size_t size_ = 0U;
};

/* A hold on a shared buffer a task received (OsMsgBufHold), valid past the
 * callback until the object goes (OsMsgBufRelease, on any thread). */
class held_buffer {
public:
    held_buffer() noexcept = default;
    held_buffer(held_buffer &&other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0U)) {}
    held_buffer &operator=(held_buffer &&other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0U);
        }
        return *this;
    }
    ~held_buffer() { reset(); }

    /* The bytes of the message that carried the buffer. */
    const std::byte *data() const noexcept { return static_cast<const std::byte *>(data_); }
    size_t size() const noexcept { return size_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }
    void reset() noexcept {
        if (data_ != nullptr) {
            (void)OsMsgBufRelease(data_);
            data_ = nullptr;
            size_ = 0U;
        }
    }

private:
    friend class message;
    held_buffer(const void *data, size_t size) noexcept : data_(data), size_(size) {}

    const void *data_ = nullptr;
    size_t size_ = 0U;
};

/* Figures of the shared-buffer pool, and its limit in MiB. */
inline result<OsMsgBufPoolStats> buffer_pool_stats() noexcept {
    OsMsgBufPoolStats stats{};
    if (uint32_t code = OsMsgBufGetPoolStats(&stats)) {
        return detail::code_error(code);
    }
    return stats;
}
inline result<void> set_buffer_pool_limit(uint32_t megabytes) noexcept {
    return detail::code_error(OsMsgBufSetPoolLimit(megabytes));
}

/* ---------------------------------------------------------------------------
 * Received messages
 * ------------------------------------------------------------------------- */

/* The message a task's callback receives: a view of the library's header
 * and payload, valid during the callback only. */
class message {
public:
    explicit message(MsgHead *head) noexcept : head_(head) {}

    uint32_t id() const noexcept { return head_->msgId; }
    bytes_view data() const noexcept { return bytes_view(head_->data, head_->data != nullptr ? head_->dataLen : 0U); }
    std::string_view text() const noexcept {
        return std::string_view(static_cast<const char *>(head_->data), head_->data != nullptr ? head_->dataLen : 0U);
    }
    /* The payload as one T, when it has exactly sizeof(T) bytes. */
    template <class T> std::optional<T> read() const noexcept {
        return detail::read_as<T>(head_->data, head_->dataLen);
    }
    /* The sending task (its names as the header carries them; a name that
     * does not end within its field stays empty). */
    address sender() const noexcept {
        return address(name::from_field(head_->sendProcName), name::from_field(head_->sendTaskName), head_->sendCpuId);
    }
    /* A request (OsMsgSynSend) whose caller waits for reply(). */
    bool is_request() const noexcept { return head_->msgKind == MSG_KIND_SYN; }

    /* Answers the request with a copy of data (OsMsgSynSendResp). */
    result<void> reply(bytes_view data = {}) noexcept {
        if (data.size() > OS_MSG_MAX_DATA_LEN) {
            return errc::oversize;
        }
        return detail::code_error(OsMsgSynSendResp(head_, data.data(), static_cast<uint32_t>(data.size())));
    }

    /* The descriptors that came with the message, and one of them taken
     * (an empty unique_fd when there is none at index or it was taken);
     * those not taken are closed when the callback returns. */
    uint32_t fd_count() const noexcept { return OsMsgFdCount(head_); }
    unique_fd take_fd(uint32_t index) noexcept { return unique_fd(OsMsgTakeFd(head_, index)); }

    /* Keeps the shared buffer the payload lies in past the callback.
     * errc::invalid_param when the payload is no shared buffer. */
    result<held_buffer> hold() const noexcept {
        if (uint32_t code = OsMsgBufHold(head_->data)) {
            return detail::code_error(code);
        }
        return held_buffer(head_->data, head_->dataLen);
    }

    MsgHead &head() noexcept { return *head_; }
    const MsgHead &head() const noexcept { return *head_; }

private:
    MsgHead *head_;
};

/* ---------------------------------------------------------------------------
 * Responses
 * ------------------------------------------------------------------------- */

class response;

namespace detail {
/* The response of this thread's last call while it is still in the
 * thread's response slot (the C interface allows one). */
inline thread_local response *in_place_response = nullptr;
struct response_slot_tag {};
} // namespace detail

/* The answer to a call (process::call), released by itself. See "Responses
 * belong to the thread that called" at the top of this file. */
class response {
public:
    response() noexcept = default;
    /* Takes other's answer: a copy when other is still in place (which
     * releases the slot); when no memory is left for it, the answer stays
     * in place in this object. */
    response(response &&other) noexcept { take(other); }
    response &operator=(response &&other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    ~response() { reset(); }

    /* Only for the library's calls (process::call). */
    response(detail::response_slot_tag, MsgHead *slot) noexcept
        : state_(state::in_place), slot_(slot), owner_(std::this_thread::get_id()) {
        detail::in_place_response = this;
    }

    bool empty() const noexcept { return state_ == state::empty; }
    /* Still in the calling thread's response slot (no copy made). */
    bool in_place() const noexcept { return state_ == state::in_place; }
    uint32_t id() const noexcept { return head() != nullptr ? head()->msgId : 0U; }
    bytes_view data() const noexcept {
        const MsgHead *h = head();
        return h != nullptr && h->data != nullptr ? bytes_view(h->data, h->dataLen) : bytes_view();
    }
    std::string_view text() const noexcept {
        bytes_view d = data();
        return std::string_view(reinterpret_cast<const char *>(d.data()), d.size());
    }
    template <class T> std::optional<T> read() const noexcept {
        bytes_view d = data();
        return detail::read_as<T>(d.data(), static_cast<uint32_t>(d.size()));
    }
    /* The response's header (the request's, answered), or nullptr. */
    const MsgHead *head() const noexcept {
        return state_ == state::in_place ? slot_ : state_ == state::owned ? &copy_ : nullptr;
    }

private:
    friend class process;
    enum class state : uint8_t { empty, in_place, owned };

    void check_owner(const char *what) const noexcept {
        if (owner_ != std::this_thread::get_id()) {
            std::fprintf(stderr, "vyre::msg::response: %s on another thread than the one that called\n", what);
            std::terminate();
        }
    }

    /* Copies an answer still in place into memory of its own and releases
     * the slot, on the thread that called. false when no memory is left. */
    bool detach() noexcept {
        if (state_ != state::in_place) {
            return true;
        }
        check_owner("a response still in place moved");
        copy_ = *slot_;
        copy_.data = nullptr;
        if (slot_->data != nullptr && slot_->dataLen != 0U) {
            bytes_.reset(new (std::nothrow) unsigned char[slot_->dataLen]);
            if (!bytes_) {
                copy_.dataLen = 0U;
                return false;
            }
            std::memcpy(bytes_.get(), slot_->data, slot_->dataLen);
            copy_.data = bytes_.get();
        }
        release_slot();
        state_ = state::owned;
        return true;
    }

    void take(response &other) noexcept {
        if (other.state_ == state::in_place && !other.detach()) {
            // No memory for a copy: the answer stays in place, here.
            state_ = state::in_place;
            slot_ = std::exchange(other.slot_, nullptr);
            owner_ = other.owner_;
            detail::in_place_response = this;
        } else if (other.state_ == state::owned) {
            state_ = state::owned;
            copy_ = other.copy_;
            bytes_ = std::move(other.bytes_);
        }
        other.state_ = state::empty;
    }

    void release_slot() noexcept {
        (void)OsMsgSynRespFree(slot_);
        slot_ = nullptr;
        if (detail::in_place_response == this) {
            detail::in_place_response = nullptr;
        }
    }

    void reset() noexcept {
        if (state_ == state::in_place) {
            check_owner("a response still in place released");
            release_slot();
        }
        bytes_.reset();
        state_ = state::empty;
    }

    state state_ = state::empty;
    MsgHead *slot_ = nullptr;
    std::thread::id owner_;
    MsgHead copy_{};
    std::unique_ptr<unsigned char[]> bytes_;
};

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
/* One process object at a time holds the membership; each join counts one
 * more, so that a task left over from an earlier membership (whose teardown
 * unregistered it) never unregisters a task of the same name made since. */
inline std::atomic<bool> joined{false};
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
    (void)OsMsgTaskRoutineByName(state->task_name.c_str());
    if (state->orphaned) {
        delete state;
    }
    return nullptr;
}
} // namespace detail

/* A task of this process with the callable it runs for each message. Made
 * by process::start_task (its own loop thread) or process::start_polled_task
 * (served by the application: poll fd(), call handle()). Destroying it
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
     * goes). -1 for a task with a loop thread. */
    int fd() const noexcept { return fd_; }
    /* Handles up to max_count waiting messages on the calling thread (a
     * polled task); the number handled. */
    result<uint32_t> handle(uint32_t max_count = 64U) noexcept {
        if (!state_) {
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
        if (!state_) {
            return errc::not_found;
        }
        if (uint32_t code = OsMsgGetTaskStats(state_->task_name.c_str(), &stats)) {
            return detail::code_error(code);
        }
        return stats;
    }
    result<OsMsgTaskBufStats> buffer_stats() const noexcept {
        OsMsgTaskBufStats stats{};
        if (!state_) {
            return errc::not_found;
        }
        if (uint32_t code = OsMsgGetTaskBufStats(state_->task_name.c_str(), &stats)) {
            return detail::code_error(code);
        }
        return stats;
    }
    result<void> set_byte_limit(uint64_t bytes) noexcept {
        return state_ ? detail::code_error(OsMsgSetTaskByteLimit(state_->task_name.c_str(), bytes))
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
        if (state->membership == detail::membership.load(std::memory_order_relaxed)) {
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

    std::unique_ptr<detail::task_state> state_;
    int fd_ = -1;
};

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

#endif /* VYRE_OS_MSG_HPP */

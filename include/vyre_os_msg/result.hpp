/*
 * vyre_os_msg/result.hpp - part of the C++ interface (include
 * vyre_os_msg.hpp): the library's result codes as std::error_code, and
 * result<T>, a value or the error that prevented it. No lock; any thread.
 */
#ifndef VYRE_OS_MSG_RESULT_HPP
#define VYRE_OS_MSG_RESULT_HPP

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <system_error>
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
    access = OS_MSG_ERR_ACCESS,
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
        case errc::access:
            return std::errc::permission_denied;
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

/* A wait in whole milliseconds for the C interface: at least least, at
 * most UINT32_MAX. */
constexpr uint32_t to_ms(std::chrono::milliseconds wait, uint32_t least) noexcept {
    return wait.count() < static_cast<std::chrono::milliseconds::rep>(least) ? least
           : wait.count() > static_cast<std::chrono::milliseconds::rep>(UINT32_MAX)
               ? UINT32_MAX
               : static_cast<uint32_t>(wait.count());
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

} // namespace vyre::msg

#endif /* VYRE_OS_MSG_RESULT_HPP */

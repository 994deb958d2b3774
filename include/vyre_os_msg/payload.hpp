/*
 * vyre_os_msg/payload.hpp - part of the C++ interface (include
 * vyre_os_msg.hpp): bytes_view and bytes_of() for what is sent, and the
 * checked names and addresses that say where it goes. Values; no lock.
 */
#ifndef VYRE_OS_MSG_PAYLOAD_HPP
#define VYRE_OS_MSG_PAYLOAD_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>
#include <type_traits>

#include "vyre_os_msg.h"
#include "vyre_os_msg/result.hpp"

namespace vyre::msg {

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
    friend class access_rule;
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

} // namespace vyre::msg

#endif /* VYRE_OS_MSG_PAYLOAD_HPP */

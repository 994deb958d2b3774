/*
 * vyre_os_msg/buffer.hpp - part of the C++ interface (include
 * vyre_os_msg.hpp): owners of what travels besides copied bytes: a
 * descriptor (unique_fd), a shared buffer to send (buffer) and a hold on
 * one received (held_buffer). Each object is used by one thread at a time;
 * a hold may be released on any thread.
 */
#ifndef VYRE_OS_MSG_BUFFER_HPP
#define VYRE_OS_MSG_BUFFER_HPP

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "vyre_os_msg.h"
#include "vyre_os_msg/result.hpp"

namespace vyre::msg {

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

    /* As alloc, but while the pool is at its limit waits up to wait for a
     * buffer to come back (OsMsgBufAllocTimed), woken when one does:
     * errc::full once wait has run out. */
    static result<buffer> alloc(size_t size, std::chrono::milliseconds wait) noexcept {
        if (size == 0U || size > OS_MSG_BUF_MAX_SIZE) {
            return errc::invalid_param;
        }
        void *data = nullptr;
        if (uint32_t code = OsMsgBufAllocTimed(static_cast<uint32_t>(size), &data, detail::to_ms(wait, 0U))) {
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

} // namespace vyre::msg

#endif /* VYRE_OS_MSG_BUFFER_HPP */

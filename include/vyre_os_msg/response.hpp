/*
 * vyre_os_msg/response.hpp - part of the C++ interface (include
 * vyre_os_msg.hpp): the answer to a call, which releases itself on the
 * thread that called, or is copied out when it moves (see "Responses belong
 * to the thread that called" in vyre_os_msg.hpp).
 */
#ifndef VYRE_OS_MSG_RESPONSE_HPP
#define VYRE_OS_MSG_RESPONSE_HPP

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "vyre_os_msg.h"
#include "vyre_os_msg/payload.hpp"

namespace vyre::msg {

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

    /* The membership ends, and the slot with its teardown: copies the
     * answer out, or, with no memory left for the copy, releases the slot
     * and leaves this object empty rather than pointing into a slot that is
     * gone (which the thread's next call, or the destructor, would read and
     * release in the next membership). */
    void detach_for_teardown() noexcept {
        if (!detach()) {
            release_slot();
            state_ = state::empty;
        }
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

} // namespace vyre::msg

#endif /* VYRE_OS_MSG_RESPONSE_HPP */

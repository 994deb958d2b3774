/*
 * vyre_os_msg/message.hpp - part of the C++ interface (include
 * vyre_os_msg.hpp): the message a task's callable receives, valid during
 * its call only, on the task's thread.
 */
#ifndef VYRE_OS_MSG_MESSAGE_HPP
#define VYRE_OS_MSG_MESSAGE_HPP

#include <cstdint>
#include <optional>
#include <string_view>

#include "vyre_os_msg.h"
#include "vyre_os_msg/buffer.hpp"
#include "vyre_os_msg/payload.hpp"

namespace vyre::msg {

/* ---------------------------------------------------------------------------
 * Received messages
 * ------------------------------------------------------------------------- */

/* The ids of the events the library publishes in every process when
 * another process joins the run directory or leaves it (with the "unix"
 * carrier; the loopback has none): process::subscribe_presence subscribes a
 * task to both, message::read_proc_event reads them. */
inline constexpr uint32_t proc_joined = MSG_ID_PROC_JOINED;
inline constexpr uint32_t proc_left = MSG_ID_PROC_LEFT;

/* A process that joined or left, as its event tells it. */
struct proc_event {
    /* True for proc_joined, false for proc_left. */
    bool joined;
    /* The process's name. */
    name process;
    /* Its process id; 0 when the kernel did not tell it. */
    uint32_t pid;
};

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
    /* The event when this is a proc_joined or proc_left event from the
     * library's broadcast task with a whole payload; empty for any other
     * message (also one an application sent with the same id). */
    std::optional<proc_event> read_proc_event() const noexcept {
        const uint32_t id = head_->msgId;
        if ((id != proc_joined && id != proc_left) || sender().process() != name(MSG_PROC_NAME_PMSG) ||
            sender().task() != name(MSG_TASK_NAME_PMSG_BRO)) {
            return std::nullopt;
        }
        std::optional<OsMsgProcEvent> event = read<OsMsgProcEvent>();
        if (!event) {
            return std::nullopt;
        }
        name process = name::from_field(event->procName);
        if (!process.valid()) {
            return std::nullopt;
        }
        return proc_event{id == proc_joined, process, event->pid};
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

} // namespace vyre::msg

#endif /* VYRE_OS_MSG_MESSAGE_HPP */

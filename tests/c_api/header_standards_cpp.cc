/* Compiled by check_header_standards.cmake as C++17 and C++20 (and C++17
 * without exceptions) with every warning an error: the C++ header must
 * compile alone under each, and so must its templates, which only warn once
 * they are instantiated, as they are below. With
 * OS_MSG_EXPECT_CPP_NAME_FAILURE defined, a name of 16 characters follows,
 * and compiling must fail: a literal name is checked when it compiles. */
#include "vyre_os_msg.hpp"

#include <array>
#include <string>
#include <vector>

namespace msg = vyre::msg;

namespace {

struct Frame {
    uint32_t seq;
    uint8_t pixels[16];
};

#ifdef OS_MSG_EXPECT_CPP_NAME_FAILURE
const msg::name g_tooLong("sixteen_chars_xx");
#endif

[[maybe_unused]] bool UseEverything(const msg::process &proc, msg::buffer frame) {
    const msg::address encoder = proc.local("encoder");
    std::vector<uint16_t> samples(4);
    std::array<unsigned char, 3> bytes{};
    const char raw[] = "raw";
    Frame f{};
    bool ok = proc.send(encoder, 1U, "text").has_value() && proc.send(encoder, 2U, std::string("s")).has_value() &&
              proc.send(encoder, 3U, samples).has_value() && proc.send(encoder, 4U, bytes).has_value() &&
              proc.send(encoder, 5U, raw).has_value() && proc.send(encoder, 6U, msg::bytes_of(f)).has_value() &&
              proc.send(encoder, 7U, std::move(frame)).has_value() &&
              proc.send_with_fds(encoder, 8U, {}, {0, 1}).has_value() &&
              proc.subscribe("writer", encoder, {9U, 10U}).has_value();
    int fds[2] = {0, 1};
    ok = proc.send_with_fds(encoder, 11U, "x", fds).has_value() && ok;
    msg::result<msg::response> answer = proc.call(encoder, 12U, {}, std::chrono::milliseconds(100));
    if (answer) {
        std::optional<Frame> read = answer->read<Frame>();
        ok = read.has_value() && answer->text().size() == sizeof(Frame) && ok;
    }
    msg::result<msg::address> other = msg::address::make("media", "writer");
    msg::result<msg::task> task = proc.start_task(
        "encoder",
        [&proc, f](msg::message &m) {
            if (m.is_request()) {
                (void)m.reply(msg::bytes_of(f));
            } else if (auto held = m.hold()) {
                (void)proc.broadcast("encoder", 13U, *held);
            }
            if (std::optional<msg::proc_event> event = m.read_proc_event()) {
                (void)event->process.view();
            }
            msg::unique_fd fd = m.take_fd(0U);
            (void)m.sender().task().view();
        },
        msg::task_options(8U));
    msg::result<msg::task> polled = proc.start_polled_task("poll", [](const msg::message &) {});
    if (polled) {
        msg::result<uint32_t> handled = polled->handle();
        ok = handled.value_or(0U) > 0U && polled->fd() >= 0 && ok;
    }
    ok = proc.send(encoder, 14U, "wait", std::chrono::seconds(1)).has_value() &&
         proc.wait_for_process("media", std::chrono::milliseconds(500)).has_value() &&
         proc.subscribe_presence("writer").has_value() && ok;
    msg::result<msg::access_rule> rule = msg::access_rule::user(1001U, "encoder", 1U, 2U);
    std::array<msg::access_rule, 1> rules = {*rule};
    ok = msg::set_access_policy(rules).has_value() && msg::set_access_policy({*rule}).has_value() &&
         msg::allow(*rule).has_value() && msg::set_shared_run_dir(1001U, std::nullopt).has_value() && ok;
    std::error_code error = other.error();
    return ok && task.has_value() && error != std::errc::timed_out && other.has_value();
}

[[maybe_unused]] msg::result<msg::process> JoinWithOptions() {
    msg::join_options options;
    options.carrier = msg::carrier::unix_sockets;
    options.run_dir = "/tmp/app";
    options.log_level = msg::log_level::warn;
    options.log_sink = nullptr;
    return msg::process::join("camera", options);
}

} // namespace

#ifdef OS_MSG_EXPECT_LAYOUT_FAILURE
// The C header's layout check, seen from C++ too.
OS_MSG_STATIC_ASSERT(sizeof(MsgHead) == 167, "this check must fail");
#endif

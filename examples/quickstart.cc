// quickstart.cc: quickstart.c on the C++ interface.
#include <vyre_os_msg.hpp>

#include <cstdint>
#include <cstdio>

namespace msg = vyre::msg;

enum : uint32_t { MSG_HELLO = 1, MSG_ADD = 2 };
struct Terms {
    uint32_t a, b;
};

int main() {
    auto proc = msg::process::join("quickstart"); // leaves when proc goes
    if (!proc) {
        std::fprintf(stderr, "quickstart: %s\n", proc.error().message().c_str());
        return 1;
    }
    unsigned greetings = 0; // the task's state: captured, no global
    // Runs on the task's own thread, once per message, in arrival order; the
    // task stops and joins its thread when worker goes (before proc).
    auto worker = proc->start_task("worker", [&greetings](msg::message &m) {
        if (m.id() == MSG_HELLO) {
            std::printf("worker: %.*s\n", static_cast<int>(m.text().size()), m.text().data());
            ++greetings;
        } else if (auto terms = m.read<Terms>(); terms && m.id() == MSG_ADD) {
            (void)m.reply(msg::bytes_of(terms->a + terms->b)); // the answer is copied
        }
    });
    const msg::address to = proc->local("worker");
    // Asynchronous: copied, returns at once. Synchronous: waits 1 s at most.
    bool sent = worker && proc->send(to, MSG_HELLO, "hello");
    auto answer = proc->call(to, MSG_ADD, msg::bytes_of(Terms{20, 22}), std::chrono::seconds(1));
    uint32_t sum = answer ? answer->read<uint32_t>().value_or(0) : 0; // the response frees itself
    std::printf("main: 20 + 22 = %u\n", static_cast<unsigned>(sum));
    return sent && sum == 42 && greetings == 1 ? 0 : 1;
}

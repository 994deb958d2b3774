/* The smallest complete C++ program on the installed library, built by the
 * install check from outside the source tree beside consumer.c: it joins,
 * starts a task whose callable captures where to put what it receives,
 * sends it a message, waits for it (at most 10 s) and leaves (the task and
 * the process object tear down in their destructors). Exits 0 when every
 * step succeeded and the message arrived intact. */
#include <vyre_os_msg.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

namespace msg = vyre::msg;

int main() {
    std::mutex lock;
    std::condition_variable arrived;
    std::string text;
    bool ok = false;
    {
        msg::result<msg::process> proc = msg::process::join("consumer_cpp");
        if (!proc) {
            std::fprintf(stderr, "consumer_cpp: %s\n", proc.error().message().c_str());
            return 1;
        }
        msg::result<msg::task> echo = proc->start_task("echo", [&](msg::message &m) {
            std::lock_guard<std::mutex> guard(lock);
            text = m.text();
            arrived.notify_one();
        });
        if (echo && proc->send(proc->local("echo"), 1U, "hello")) {
            std::unique_lock<std::mutex> guard(lock);
            ok = arrived.wait_for(guard, std::chrono::seconds(10), [&] { return text == "hello"; });
        }
    }
    std::printf("consumer_cpp: %s\n", ok ? "message delivered, torn down" : "FAILED");
    return ok ? 0 : 1;
}

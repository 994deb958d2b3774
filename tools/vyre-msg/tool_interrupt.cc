/*
 * Interrupts of the commands that run until stopped: the signals arrive on a
 * descriptor, so that a command waits for them together with its other
 * descriptors, and leaves the messaging system cleanly (its socket with it).
 */
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "tool_commands.h"

namespace vyremsg {

namespace {

sigset_t InterruptSet() {
    sigset_t set;
    (void)sigemptyset(&set);
    (void)sigaddset(&set, SIGINT);
    (void)sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void BlockInterrupts() {
    sigset_t set = InterruptSet();
    (void)pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Interrupt::Interrupt() {
    sigset_t set = InterruptSet();
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

Interrupt::~Interrupt() {
    if (fd_ >= 0) {
        (void)close(fd_);
    }
}

bool Interrupt::Sleep(uint32_t ms) {
    struct pollfd pfd = {fd_, POLLIN, 0};
    return poll(&pfd, 1, static_cast<int>(ms)) <= 0 || (pfd.revents & POLLIN) == 0;
}

int Fail(const std::string &what, uint32_t code) {
    (void)fprintf(stderr, "vyre-msg: %s: %s\n", what.c_str(), Why(code).c_str());
    return kExitFailed;
}

} // namespace vyremsg

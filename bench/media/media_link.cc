// The line protocol between media_compare and its role processes (see
// media_link.h).
#include "media_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "compare_harness.h"
#include "compare_placement.h"

namespace media {

namespace {

constexpr int kReportFd = 3;

bool WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

int MillisUntil(uint64_t deadlineNs) {
    const uint64_t now = compare::NowNs();
    return now >= deadlineNs ? 0 : static_cast<int>((deadlineNs - now) / 1000000ULL) + 1;
}

// Reads what fd has into pending once it is readable, at most until
// deadlineNs; false on the deadline or at the end of the stream.
bool ReadSome(int fd, uint64_t deadlineNs, std::string &pending) {
    for (;;) {
        const int wait = MillisUntil(deadlineNs);
        if (wait == 0) {
            return false;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, wait);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready <= 0) {
            continue;
        }
        char buf[512];
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        pending.append(buf, static_cast<size_t>(n));
        return true;
    }
}

// Takes the first whole line out of pending into line.
bool TakeLine(std::string &pending, std::string &line) {
    const size_t end = pending.find('\n');
    if (end == std::string::npos) {
        return false;
    }
    line = pending.substr(0, end);
    pending.erase(0, end + 1);
    return true;
}

[[noreturn]] void ExecRole(const std::vector<std::string> &args, int in, int out, bool producerSide) {
    if (dup2(in, STDIN_FILENO) < 0 || dup2(out, kReportFd) < 0) {
        _exit(127);
    }
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet >= 0) {
        (void)dup2(quiet, STDOUT_FILENO);
    }
    if (producerSide) {
        compare::PlaceProducerSide();
    } else {
        compare::PlaceConsumerSide();
    }
    std::vector<char *> argv;
    static char self[] = "media_compare";
    argv.push_back(self);
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv("/proc/self/exe", argv.data());
    _exit(127);
}

} // namespace

RoleProcess::~RoleProcess() {
    if (pid_ > 0) {
        (void)kill(pid_, SIGKILL);
        (void)Finish(compare::NowNs());
    }
    if (out_ >= 0) {
        (void)close(out_);
    }
}

bool RoleProcess::Start(const std::vector<std::string> &args, bool producerSide) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) {
        return false;
    }
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        (void)close(toChild[0]);
        (void)close(toChild[1]);
        return false;
    }
    (void)std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        ExecRole(args, toChild[0], fromChild[1], producerSide);
    }
    (void)close(toChild[0]);
    (void)close(fromChild[1]);
    if (pid < 0) {
        (void)close(toChild[1]);
        (void)close(fromChild[0]);
        return false;
    }
    pid_ = pid;
    in_ = toChild[1];
    out_ = fromChild[0];
    return true;
}

bool RoleProcess::WaitLine(const char *word, uint64_t deadlineNs, std::string &rest) {
    const size_t len = std::strlen(word);
    for (;;) {
        std::string line;
        while (TakeLine(pending_, line)) {
            if (line.compare(0, len, word) == 0 && (line.size() == len || line[len] == ' ')) {
                rest = line.size() > len ? line.substr(len + 1) : std::string();
                return true;
            }
        }
        if (out_ < 0 || !ReadSome(out_, deadlineNs, pending_)) {
            return false;
        }
    }
}

bool RoleProcess::Send(const char *line) {
    return in_ >= 0 && WriteAll(in_, std::string(line) + "\n");
}

bool RoleProcess::Finish(uint64_t deadlineNs) {
    if (in_ >= 0) {
        (void)close(in_);
        in_ = -1;
    }
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            break;
        }
        if (compare::NowNs() >= deadlineNs) {
            (void)kill(pid_, SIGKILL);
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            status = -1;
            break;
        }
        (void)poll(nullptr, 0, 5); // a process exits on its own time; nothing to wait on but its status
    }
    pid_ = -1;
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool SayReady() {
    return WriteAll(kReportFd, "ready\n");
}

bool AwaitGo(int timeoutMs) {
    std::string pending;
    std::string line;
    const uint64_t deadline = compare::NowNs() + static_cast<uint64_t>(timeoutMs) * 1000000ULL;
    while (!TakeLine(pending, line)) {
        if (!ReadSome(STDIN_FILENO, deadline, pending)) {
            return false;
        }
    }
    return line == "go";
}

bool SayResult(const std::vector<double> &values) {
    std::string line = "result";
    for (double v : values) {
        char buf[40];
        std::snprintf(buf, sizeof(buf), " %.17g", v);
        line += buf;
    }
    return WriteAll(kReportFd, line + "\n");
}

void AwaitQuit(int timeoutMs) {
    std::string ignored;
    const uint64_t deadline = compare::NowNs() + static_cast<uint64_t>(timeoutMs) * 1000000ULL;
    while (ReadSome(STDIN_FILENO, deadline, ignored)) {
    }
}

} // namespace media

/*
 * Helpers of the multi-process carrier tests: a peer process driven through
 * pipes with bounded waits, the count of the process's descriptors, the
 * removal of a run directory and a child that runs as another user.
 */
#ifndef VYRE_CARRIER_TEST_UTIL_H
#define VYRE_CARRIER_TEST_UTIL_H

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "carrier/carrier_proto.h"
#include "support/descriptors.h"

extern char **environ;

namespace carrier_test {

constexpr int kWaitMs = 20000;
// Peers run under an emulator (a cross build's tests): what the emulator
// itself does to a peer's descriptors and locks is not the library's.
constexpr bool kPeerEmulated = sizeof(CARRIER_PEER_LAUNCHER) > 1U;

/* Removes dir and the files in it, so that no run leaves its files behind. */
inline void RemoveDir(const std::string &dir) {
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *entry = readdir(d)) {
            if (entry->d_name[0] != '.') {
                (void)unlink((dir + "/" + entry->d_name).c_str());
            }
        }
        (void)closedir(d);
    }
    (void)rmdir(dir.c_str());
}

using ::OpenFds;

/* A result code as peers report it. */
inline std::string Code(uint32_t code) {
    return std::to_string(code);
}

/* Runs act in a forked child that is user uid (group gid, no supplementary
 * group): true when it returned true. The child makes only system calls. */
template <class Act> bool AsUser(uid_t uid, gid_t gid, Act &&act) {
    pid_t child = fork();
    if (child == 0) {
        bool ok =
            setgroups(0U, nullptr) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0 && act();
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/* Runs act: success when it took at least lo and less than hi, else a
 * failure that says how long it took. */
template <class Act>
::testing::AssertionResult TakesBetween(std::chrono::milliseconds lo, std::chrono::milliseconds hi, Act &&act) {
    const auto start = std::chrono::steady_clock::now();
    act();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    if (took >= lo && took < hi) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "took " << took.count() << " ms, not in [" << lo.count() << ", "
                                         << hi.count() << ") ms";
}

/* Repeats fire until place reports a line starting with prefix, each time
 * waiting a moment for it (bounded): that line, or "". Shows when a
 * subscription has reached the publisher. */
template <class Place, class Fire> std::string FireUntilSeen(Place &place, const std::string &prefix, Fire &&fire) {
    std::string line;
    for (int i = 0; i < kWaitMs / 50 && line.empty(); ++i) {
        fire();
        line = place.Expect(prefix, 50);
    }
    return line;
}

/* A carrier_peer process (or another program of the build): commands go to
 * its standard input, its reports come back one line at a time. */
class Peer {
public:
    explicit Peer(std::vector<std::string> args) : Peer(CARRIER_PEER_PATH, std::move(args), false) {}

    /* Starts program with args; withStderr: its standard error comes back
     * with its standard output (else it goes where the test's goes); env:
     * its whole environment (NULL: the test's). */
    Peer(const std::string &program, std::vector<std::string> args, bool withStderr,
         const std::vector<std::string> *env = nullptr) {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (withStderr) {
            posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        }
        // The emulator's words (none in a native build), the program, its arguments.
        std::istringstream launcher(CARRIER_PEER_LAUNCHER);
        std::vector<std::string> words{std::istream_iterator<std::string>(launcher), {}};
        words.emplace_back(program);
        words.insert(words.end(), args.begin(), args.end());
        auto pointers = [](const std::vector<std::string> &strings) {
            std::vector<char *> out;
            for (const std::string &text : strings) {
                out.push_back(const_cast<char *>(text.c_str()));
            }
            out.push_back(nullptr);
            return out;
        };
        std::vector<char *> argv = pointers(words);
        // Pointers into *env itself: the strings live until the spawn is done.
        std::vector<char *> envp = env != nullptr ? pointers(*env) : std::vector<char *>{nullptr};
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), env != nullptr ? envp.data() : environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        (void)close(in[0]);
        (void)close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Peer() {
        Stop();
        if (out_ >= 0) {
            (void)close(out_);
        }
    }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    pid_t Pid() const { return pid_; }

    void Send(const std::string &line) { (void)!write(in_, (line + "\n").c_str(), line.size() + 1U); }

    /* The next report, or "" when none comes within the limit. */
    std::string Line(int waitMs = kWaitMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        size_t nl = std::string::npos;
        while ((nl = buffer_.find('\n')) == std::string::npos) {
            if (!ReadMore(end)) {
                return "";
            }
        }
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1U);
        return line;
    }

    /* What it writes from here until it closes its output, or until the limit. */
    std::string Rest(int waitMs = kWaitMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (ReadMore(end)) {
        }
        return std::exchange(buffer_, std::string());
    }

    /* Sends command and waits for the report starting with prefix. */
    std::string Ask(const std::string &command, const std::string &prefix) {
        Send(command);
        return Expect(prefix);
    }

    /* Skips reports until one starting with prefix; "" when none comes. */
    std::string Expect(const std::string &prefix, int waitMs = kWaitMs) {
        for (;;) {
            std::string line = Line(waitMs);
            if (line.empty() || line.compare(0, prefix.size(), prefix) == 0) {
                return line;
            }
        }
    }

    /* Closes its standard input (it tears down and leaves) and reaps it;
     * kills it when it does not leave in time. */
    void Stop() {
        if (in_ >= 0) {
            (void)close(in_);
            in_ = -1;
        }
        Reap(false);
    }

    void Kill() { Reap(true); }

    /* Stops it (SIGSTOP) and waits until every thread of it has stopped, so
     * that nothing reads its sockets any more; true when it has. */
    bool Freeze() {
        int status = 0;
        return ::kill(pid_, SIGSTOP) == 0 && waitpid(pid_, &status, WUNTRACED) == pid_ && WIFSTOPPED(status);
    }
    bool Thaw() { return ::kill(pid_, SIGCONT) == 0; }

    /* Waits at most waitMs for it to end by itself: its wait status, or -1
     * when it did not end in time (it is left running). */
    int WaitExit(int waitMs) {
        for (int i = 0; i < waitMs && pid_ > 0; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return status;
            }
            struct pollfd none = {-1, 0, 0};
            (void)poll(&none, 0, 1); // no descriptor tells of a child's exit here
        }
        return -1;
    }

    /* Waits (bounded) for it to end by itself: its exit code, or -1 when it
     * had to be killed or ended by a signal. */
    int Wait() {
        Reap(false);
        return exitCode_;
    }

private:
    /* Appends what its output brings before end: false when nothing came. */
    bool ReadMore(std::chrono::steady_clock::time_point end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        struct pollfd pfd = {out_, POLLIN, 0};
        char chunk[4096];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&pfd, 1, (int)left.count()) <= 0 || (n = read(out_, chunk, sizeof(chunk))) <= 0) {
            return false;
        }
        buffer_.append(chunk, (size_t)n);
        return true;
    }

    void Reap(bool kill) {
        if (pid_ <= 0) {
            return;
        }
        if (kill) {
            (void)::kill(pid_, SIGKILL);
        }
        if (WaitExit(kWaitMs) == -1 && pid_ > 0) {
            (void)::kill(pid_, SIGKILL);
            (void)waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
    int exitCode_ = -1;
};

} // namespace carrier_test

#endif /* VYRE_CARRIER_TEST_UTIL_H */

// Forked server, hand-shake pipes and a scratch directory per measurement
// (see ipc_drive.h). The server process exits with _exit once its side is
// done; the measuring process waits for it, killing it after a time-out.
#include "ipc_drive.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "compare_harness.h"
#include "compare_placement.h"

namespace compare {

namespace {

constexpr int kTimeoutMs = 60000;

// A directory under /tmp, removed with what is left in it.
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/vyre_compare.XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            path_ = pattern;
        }
    }
    ~ScratchDir() {
        if (path_.empty()) {
            return;
        }
        if (DIR *dir = opendir(path_.c_str())) {
            while (dirent *entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    (void)unlink((path_ + "/" + name).c_str());
                }
            }
            (void)closedir(dir);
        }
        (void)rmdir(path_.c_str());
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// One direction of a hand-shake.
class Channel {
public:
    Channel() {
        if (pipe(fds_) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~Channel() {
        CloseRead();
        CloseWrite();
    }
    bool ok() const { return fds_[0] >= 0; }
    void CloseRead() { CloseFd(fds_[0]); }
    void CloseWrite() { CloseFd(fds_[1]); }
    bool Send(const void *data, size_t len) { return write(fds_[1], data, len) == static_cast<ssize_t>(len); }
    // False after timeoutMs or when the other side closed first.
    bool Receive(void *data, size_t len, int timeoutMs) {
        pollfd pfd{fds_[0], POLLIN, 0};
        int ready;
        while ((ready = poll(&pfd, 1, timeoutMs)) < 0 && errno == EINTR) {
        }
        return ready == 1 && read(fds_[0], data, len) == static_cast<ssize_t>(len);
    }

private:
    static void CloseFd(int &fd) {
        if (fd >= 0) {
            (void)close(fd);
            fd = -1;
        }
    }
    int fds_[2];
};

struct ServerResult {
    uint64_t endNs;
    uint64_t ok;
    uint64_t cpuNs;     // the server process's processor time from ready to finish
    uint64_t latencyNs; // a latency case's median
};

// Forks the server, which runs serve(ready, finish) and exits; returns its
// pid, or -1.
template <typename Serve> pid_t ForkServer(Channel &ready, Channel &result, Channel &done, Serve serve) {
    (void)fflush(nullptr);
    pid_t pid = fork();
    if (pid != 0) {
        ready.CloseWrite();
        result.CloseWrite();
        done.CloseRead();
        return pid;
    }
    // The server goes with the measuring process, also when that one is
    // stopped for hanging.
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    ready.CloseRead();
    result.CloseRead();
    done.CloseWrite();
    Hook readyHook = [&] {
        char byte = 'r';
        return ready.Send(&byte, 1);
    };
    bool ok = serve(readyHook, result, done);
    _exit(ok ? 0 : 1);
}

bool AwaitServer(pid_t server) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, server, 0));
    pollfd pfd{pidfd, POLLIN, 0};
    int ready = 0;
    while (pidfd >= 0 && (ready = poll(&pfd, 1, kTimeoutMs)) < 0 && errno == EINTR) {
    }
    if (pidfd >= 0) {
        (void)close(pidfd);
    }
    int status = 0;
    if (ready == 1 && waitpid(server, &status, 0) == server) {
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    (void)kill(server, SIGKILL);
    (void)waitpid(server, nullptr, 0);
    std::fprintf(stderr, "server did not finish; stopped\n");
    return false;
}

// A server that failed has closed its pipes; writing to them must fail, not
// end the measuring process.
void IgnoreBrokenPipes() {
    (void)signal(SIGPIPE, SIG_IGN);
}

bool AwaitByte(Channel &channel) {
    char byte = 0;
    return channel.Receive(&byte, 1, kTimeoutMs);
}

} // namespace

double RunOneWayAcross(const IpcContender &contender, const OneWayCase &c) {
    OneWayFigures figures{};
    return RunOneWayAcrossFigures(contender, c, figures) ? figures.rate : -1.0;
}

bool RunOneWayAcrossFigures(const IpcContender &contender, const OneWayCase &c, OneWayFigures &out) {
    IgnoreBrokenPipes();
    ScratchDir dir;
    Channel ready, result, done;
    if (dir.path().empty() || !ready.ok() || !result.ok() || !done.ok()) {
        return false;
    }
    pid_t server = ForkServer(ready, result, done, [&](const Hook &readyHook, Channel &resultOut, Channel &in) {
        Tally tally(c);
        uint64_t cpu0 = 0;
        Hook readyTimed = [&] {
            cpu0 = ProcessCpuNs();
            return readyHook();
        };
        Hook finish = [&] {
            ServerResult r{0, 0, 0, 0};
            r.ok = tally.Wait(kTimeoutMs / 1000) ? 1 : 0;
            r.cpuNs = ProcessCpuNs() - cpu0;
            r.endNs = tally.endNs();
            r.latencyNs = tally.LatencyP50Ns();
            return resultOut.Send(&r, sizeof(r)) && AwaitByte(in) && r.ok == 1;
        };
        return contender.serveOneWay(c, dir.path(), readyTimed, finish, tally);
    });
    if (server < 0) {
        return false;
    }
    PlaceProducerSide();
    ServerResult r{0, 0, 0, 0};
    uint64_t start = 0;
    uint64_t cpu0 = 0;
    uint64_t cpu1 = 0;
    bool ok = AwaitByte(ready);
    if (ok) {
        Hook begin = [&] {
            cpu0 = ProcessCpuNs();
            start = NowNs();
            return true;
        };
        Hook finish = [&] {
            bool got = result.Receive(&r, sizeof(r), kTimeoutMs) && r.ok == 1;
            cpu1 = ProcessCpuNs();
            return got;
        };
        ok = contender.sendOneWay(c, dir.path(), begin, finish);
    }
    char byte = 'd';
    (void)done.Send(&byte, 1);
    done.CloseWrite();
    ok = AwaitServer(server) && ok && r.ok == 1 && start != 0 && r.endNs > start;
    if (ok) {
        const double frames = static_cast<double>(c.perProducer);
        out.rate = frames / (static_cast<double>(r.endNs - start) / 1e9);
        out.latencyP50Us = static_cast<double>(r.latencyNs) / 1e3;
        out.cpuUsPerFrame = static_cast<double>(cpu1 - cpu0 + r.cpuNs) / 1e3 / frames;
    }
    return ok;
}

bool RunRoundTripsAcross(const IpcContender &contender, uint32_t size, uint32_t count, std::vector<double> &samplesUs) {
    constexpr uint32_t kWarmup = 1000;
    IgnoreBrokenPipes();
    ScratchDir dir;
    Channel ready, result, done;
    if (dir.path().empty() || !ready.ok() || !result.ok() || !done.ok()) {
        return false;
    }
    pid_t server = ForkServer(ready, result, done, [&](const Hook &readyHook, Channel &, Channel &in) {
        Hook finish = [&] { return AwaitByte(in); };
        return contender.serveEcho(size, kWarmup + count, dir.path(), readyHook, finish);
    });
    if (server < 0) {
        return false;
    }
    PlaceProducerSide();
    bool ok = AwaitByte(ready);
    if (ok) {
        Hook finish = [] { return true; };
        ok = contender.callEcho(size, kWarmup, count, dir.path(), finish, samplesUs);
    }
    char byte = 'd';
    (void)done.Send(&byte, 1);
    done.CloseWrite();
    return AwaitServer(server) && ok;
}

} // namespace compare

/*
 * two_process_demo: two processes, "camera" and "encoder", talk through the
 * library's Unix-socket carrier (`make demo` runs it after media_demo).
 *
 * main makes a run directory of its own, which both children join with
 * OsMsgInitWithOptions (the carrier between processes is the default), and
 * forks the two processes (two_process_camera.cc, two_process_encoder.cc).
 * Both write their timeline and their checks as records into one pipe; main
 * merges the timeline by time stamp, prints it, and exits with 1 when a
 * check failed, a process failed or did not finish within 30 s, or a process
 * left its socket behind. Steps are sequenced by messages and by the
 * encoder's wait for the camera process to join (OsMsgWaitProcess); the one
 * pause is the encoder's, between hello calls the camera refuses because it
 * has joined but not registered its task yet.
 *
 * Thread safety: main is single-threaded; each child has its own threads
 * (see the two process files).
 */
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <string>
#include <vector>

#include "two_process_demo.h"
#include "vyre_os_log.h"

namespace duo {

namespace {

uint64_t NowNs() {
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

} // namespace

void Journal::Write(const std::string &record) {
    // One write of at most PIPE_BUF bytes reaches the reader whole, never
    // interleaved with another process's record.
    (void)write(fd_, record.data(), std::min(record.size(), static_cast<size_t>(PIPE_BUF)));
}

void Journal::Line(const char *task, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = demo::Format(fmt, args);
    va_end(args);
    Write("L " + std::to_string(NowNs()) + " " + proc_ + " " + task + " " + text + "\n");
}

bool Journal::Expect(bool ok, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = demo::Format(fmt, args);
    va_end(args);
    if (!ok) {
        failed_.fetch_add(1);
    }
    Write(std::string("C ") + (ok ? "1 " : "0 ") + proc_ + " " + text + "\n");
    return ok;
}

bool Member::Join(const char *proc, const char *runDir, const char *task, OsMsgTaskFunc callback) {
    proc_ = proc;
    OsMsgOptions options = OS_MSG_OPTIONS_INIT;
    options.runDir = runDir;
    uint32_t result = OsMsgInitWithOptions(proc, &options);
    journal_.Line("main", "OsMsgInitWithOptions(\"%s\", run directory) = %s", proc, CodeName(result).c_str());
    if (!journal_.Expect(result == OS_MSG_OK, "%s: OsMsgInitWithOptions: %s", proc, CodeName(result).c_str())) {
        return false;
    }
    result = OsMsgRegTask(task, 16, callback);
    journal_.Expect(result == OS_MSG_OK, "%s: OsMsgRegTask: %s", proc, CodeName(result).c_str());
    loop_ = std::thread([this, task] { loopResult_ = OsMsgTaskRoutineByName(task); });
    return true;
}

void Member::Serve() {
    uint32_t mainResult = OsMsgMain();
    uint32_t uninit = OsMsgUninit();
    loop_.join();
    journal_.Line("main", "OsMsgMain returned %s; OsMsgUninit() = %s; task loop ended with %s",
                  CodeName(mainResult).c_str(), CodeName(uninit).c_str(), CodeName(loopResult_).c_str());
    journal_.Expect(uninit == OS_MSG_OK && loopResult_ == OS_MSG_OK, "%s: teardown", proc_);
}

namespace {

struct Child {
    const char *name;
    pid_t pid;
    int status;
};

/* Forks a process that runs body and exits with its result; it dies with
 * main, so a stuck demo leaves nothing behind. */
template <typename Body> pid_t Spawn(Body body) {
    (void)std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        _exit(body());
    }
    return pid;
}

/* Reads the records until every writer closed the pipe or 30 s passed. */
bool ReadRecords(int fd, std::string &all) {
    const uint64_t deadline = NowNs() + 30ULL * 1000000000ULL;
    char buf[4096];
    for (;;) {
        uint64_t now = NowNs();
        if (now >= deadline) {
            return false;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>((deadline - now) / 1000000ULL) + 1) <= 0) {
            continue;
        }
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n == 0) {
            return true;
        }
        if (n > 0) {
            all.append(buf, static_cast<size_t>(n));
        }
    }
}

struct Entry {
    uint64_t ns;
    std::string proc;
    std::string task;
    std::string text;
};

/* Splits the records into the timeline (sorted by time) and the checks. */
void Parse(const std::string &all, std::vector<Entry> &timeline, uint32_t &checks, std::vector<std::string> &failures) {
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        std::string line = all.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? all.size() : end + 1;
        char proc[32] = {0};
        char task[32] = {0};
        unsigned long long ns = 0;
        int ok = 0;
        int consumed = 0;
        if (std::sscanf(line.c_str(), "L %llu %31s %31s %n", &ns, proc, task, &consumed) == 3) {
            timeline.push_back(Entry{ns, proc, task, line.substr(static_cast<size_t>(consumed))});
        } else if (std::sscanf(line.c_str(), "C %d %31s %n", &ok, proc, &consumed) == 2) {
            ++checks;
            if (ok == 0) {
                failures.push_back(line.substr(static_cast<size_t>(consumed)));
            }
        }
    }
    std::stable_sort(timeline.begin(), timeline.end(), [](const Entry &a, const Entry &b) { return a.ns < b.ns; });
}

/* What is left in dir, with "(socket)" after each socket; removes it all. */
std::vector<std::string> ClearRunDir(const std::string &dir, uint32_t &sockets) {
    std::vector<std::string> left;
    sockets = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *entry = readdir(d)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            std::string path = dir + "/" + name;
            struct stat st {};
            bool socket = lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
            sockets += socket ? 1U : 0U;
            left.push_back(socket ? name + " (socket)" : name);
            (void)unlink(path.c_str());
        }
        (void)closedir(d);
    }
    (void)rmdir(dir.c_str());
    return left;
}

} // namespace

} // namespace duo

int main() {
    using namespace duo;
    std::printf("two_process_demo: processes \"camera\" and \"encoder\" through the Unix-socket carrier\n");
    char dirTemplate[] = "/tmp/two_process_demo.XXXXXX";
    int records[2];
    if (mkdtemp(dirTemplate) == nullptr || pipe(records) != 0) {
        std::perror("two_process_demo: set-up");
        return 1;
    }
    const std::string runDir = dirTemplate;
    // The library's own log records (refusals it reports, teardown notes)
    // stay out of the demo's output; the checks say what went wrong.
    OsMsgSetLogLevel(OS_MSG_LOG_FATAL);
    OsLogSetLevel(OS_LOG_FATAL);
    std::printf("run directory %s (of this run only: the default is one for every process)\n", runDir.c_str());
    const uint64_t start = NowNs();

    // The encoder starts first and waits for the camera to join.
    Child children[] = {{kCameraProc, -1, -1}, {kEncoderProc, -1, -1}};
    children[1].pid = Spawn([&] {
        (void)close(records[0]);
        Journal journal(records[1], kEncoderProc);
        return RunEncoder(journal, runDir.c_str());
    });
    children[0].pid = Spawn([&] {
        (void)close(records[0]);
        Journal journal(records[1], kCameraProc);
        return RunCamera(journal, runDir.c_str());
    });
    (void)close(records[1]);

    std::string all;
    bool finished = ReadRecords(records[0], all);
    (void)close(records[0]);
    for (Child &child : children) {
        if (!finished && child.pid > 0) {
            (void)kill(child.pid, SIGKILL);
        }
        if (child.pid > 0) {
            (void)waitpid(child.pid, &child.status, 0);
        }
    }

    std::vector<Entry> timeline;
    uint32_t checks = 0;
    std::vector<std::string> failures;
    Parse(all, timeline, checks, failures);
    std::printf("\nTimeline of both processes (ms since main forked them)\n");
    for (const Entry &e : timeline) {
        double ms = static_cast<double>(e.ns - std::min(e.ns, start)) / 1e6;
        std::printf("%8.1f ms  %-8s %-8s %s\n", ms, e.proc.c_str(), e.task.c_str(), e.text.c_str());
    }
    std::printf("\nProcesses\n");
    for (const Child &child : children) {
        bool ok = child.pid > 0 && WIFEXITED(child.status) && WEXITSTATUS(child.status) == 0;
        ++checks;
        if (!ok) {
            failures.push_back(std::string(child.name) + " did not exit with 0");
        }
        std::printf("  %-8s pid %d: %s\n", child.name, static_cast<int>(child.pid),
                    !finished ? "stopped after 30 s"
                    : ok      ? "exit 0"
                              : "failed");
    }
    // Each process removes its socket when it leaves; the shared queue
    // directory stays for the next process that joins.
    uint32_t sockets = 0;
    std::vector<std::string> left = ClearRunDir(runDir, sockets);
    std::string names;
    for (const std::string &name : left) {
        names += " " + name;
    }
    std::printf("  run directory after both left:%s\n", left.empty() ? " empty" : names.c_str());
    ++checks;
    if (sockets != 0) {
        failures.push_back("a socket is left in the run directory:" + names);
    }
    for (const std::string &failure : failures) {
        std::printf("FAILED: %s\n", failure.c_str());
    }
    std::printf("\n%s: %zu of %u checks passed\n", failures.empty() ? "OK" : "FAILED", checks - failures.size(),
                checks);
    return failures.empty() ? 0 : 1;
}

// Clock, order statistics, forked measurements and the comparison table.
// Used by the parent process alone (see compare_harness.h).
#include "compare_harness.h"

#include "compare_placement.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <utility>

namespace compare {

uint64_t NowNs() {
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t ProcessCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

void ReportRound(int round, int rounds) {
    std::fflush(stdout);
    std::fprintf(stderr, "round %d of %d\n", round, rounds);
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2.0;
}

double Quantile(std::vector<double> samples, double q) {
    if (samples.empty()) {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    double rank = std::ceil(q * static_cast<double>(samples.size()));
    size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    return samples[std::min(index, samples.size() - 1)];
}

void TuneHeap() {
    (void)mallopt(M_MMAP_THRESHOLD, 64 << 20);
    (void)mallopt(M_TRIM_THRESHOLD, 512 << 20);
}

namespace {

bool WriteAll(int fd, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Reads everything the child writes until it closes the pipe or the deadline
// passes; false on the deadline.
bool ReadUntilClosed(int fd, uint64_t deadlineNs, std::string &bytes) {
    char buf[4096];
    for (;;) {
        uint64_t now = NowNs();
        if (now >= deadlineNs) {
            return false;
        }
        pollfd pfd{fd, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>((deadlineNs - now) / 1000000ULL) + 1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue;
        }
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return true;
        }
        bytes.append(buf, static_cast<size_t>(n));
    }
}

} // namespace

bool RunIsolated(const Measure &measure, Heap heap, int timeoutSec, std::vector<double> &out) {
    int fds[2];
    if (pipe(fds) != 0) {
        return false;
    }
    (void)fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        (void)close(fds[0]);
        (void)close(fds[1]);
        return false;
    }
    if (child == 0) {
        (void)close(fds[0]);
        // The library prints a line of its own at start-up; the table alone
        // goes to the parent's standard output.
        int quiet = open("/dev/null", O_WRONLY);
        if (quiet >= 0) {
            (void)dup2(quiet, STDOUT_FILENO);
            (void)close(quiet);
        }
        if (heap == Heap::kTuned) {
            TuneHeap();
        }
        PlaceConsumerSide();
        std::vector<double> values;
        bool ok = measure(values);
        ok = ok && WriteAll(fds[1], values.data(), values.size() * sizeof(double));
        (void)fflush(nullptr);
        _exit(ok ? 0 : 1);
    }
    (void)close(fds[1]);
    std::string bytes;
    bool finished = ReadUntilClosed(fds[0], NowNs() + static_cast<uint64_t>(timeoutSec) * 1000000000ULL, bytes);
    (void)close(fds[0]);
    if (!finished) {
        (void)kill(child, SIGKILL);
        std::fprintf(stderr, "measurement did not finish within %d s; stopped\n", timeoutSec);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || bytes.size() % sizeof(double) != 0) {
        return false;
    }
    out.resize(bytes.size() / sizeof(double));
    std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char *>(out.data()));
    return true;
}

Figure::Figure(std::string title, Unit unit, Reference first, Reference second)
    : title_(std::move(title)), unit_(unit), first_(std::move(first)), second_(std::move(second)) {}

void Figure::Restart(std::string title) {
    title_ = std::move(title);
    rows_.clear();
}

void Figure::Add(const std::string &contender, double value) {
    for (Row &row : rows_) {
        if (row.contender == contender) {
            row.rounds.push_back(value);
            return;
        }
    }
    rows_.push_back(Row{title_, contender, {value}});
}

void Figure::CompareWith(const Figure *base, std::string label) {
    base_ = base;
    baseLabel_ = std::move(label);
}

const Row *Figure::Find(const std::string &contender) const {
    for (const Row &row : rows_) {
        if (row.contender == contender) {
            return &row;
        }
    }
    return nullptr;
}

double Figure::MedianOf(const std::string &contender) const {
    const Row *row = Find(contender);
    std::vector<double> ok;
    if (row != nullptr) {
        std::copy_if(row->rounds.begin(), row->rounds.end(), std::back_inserter(ok), [](double v) { return v > 0; });
    }
    return ok.empty() ? -1.0 : Median(ok);
}

namespace {

double MedianRatio(const Row *row, const Row *ref) {
    if (row == nullptr || ref == nullptr) {
        return -1.0;
    }
    std::vector<double> ratios;
    for (size_t i = 0; i < row->rounds.size() && i < ref->rounds.size(); ++i) {
        if (row->rounds[i] > 0 && ref->rounds[i] > 0) {
            ratios.push_back(row->rounds[i] / ref->rounds[i]);
        }
    }
    return ratios.empty() ? -1.0 : Median(ratios);
}

std::string FormatRatio(double ratio) {
    if (ratio < 0) {
        return "-";
    }
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.2fx", ratio);
    return buf;
}

} // namespace

double Figure::RatioTo(const std::string &contender, const std::string &reference) const {
    return MedianRatio(Find(contender), Find(reference));
}

double Figure::RatioTo(const std::string &contender, const Figure &other) const {
    return MedianRatio(Find(contender), other.Find(contender));
}

std::string FormatValue(double value, Unit unit) {
    char buf[32];
    if (value < 0) {
        return "failed";
    }
    if (unit == Unit::kMicros) {
        std::snprintf(buf, sizeof(buf), "%.1f us", value);
    } else if (value >= 1e6) {
        std::snprintf(buf, sizeof(buf), "%.2f M/s", value / 1e6);
    } else if (value >= 1e3) {
        std::snprintf(buf, sizeof(buf), "%.1f k/s", value / 1e3);
    } else {
        std::snprintf(buf, sizeof(buf), "%.0f /s", value);
    }
    return buf;
}

void Figure::Print() const {
    std::printf("\n%s\n", title_.c_str());
    std::printf("  %-34s %12s %10s %10s", "contender", "median", first_.heading.c_str(), second_.heading.c_str());
    if (base_ != nullptr) {
        std::printf(" %12s", baseLabel_.c_str());
    }
    std::printf("\n");
    for (const Row &row : rows_) {
        std::printf("  %-34s %12s %10s %10s", row.contender.c_str(),
                    FormatValue(MedianOf(row.contender), unit_).c_str(),
                    FormatRatio(RatioTo(row.contender, first_.contender)).c_str(),
                    FormatRatio(RatioTo(row.contender, second_.contender)).c_str());
        if (base_ != nullptr) {
            std::printf(" %12s", FormatRatio(RatioTo(row.contender, *base_)).c_str());
        }
        std::printf("\n");
    }
}

} // namespace compare

// The measuring harness of the peer comparisons: a clock, order statistics,
// isolated measurements and the table that prints every figure with its
// ratios to two reference contenders measured in the same round.
//
// Every measurement runs in a child process forked for it, so that no
// contender inherits heap state (glibc's dynamic mmap threshold, a trimmed or
// grown arena), threads or sockets from the one before; the parent stays
// single-threaded and only collects numbers. Nothing here is thread-safe;
// the table is filled and printed by the parent alone.
#ifndef VYRE_BENCH_COMPARE_HARNESS_H
#define VYRE_BENCH_COMPARE_HARNESS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace compare {

// CLOCK_MONOTONIC in nanoseconds; comparable between processes of one host.
uint64_t NowNs();

// The processor time the calling process (all its threads) has used, in
// nanoseconds (CLOCK_PROCESS_CPUTIME_ID).
uint64_t ProcessCpuNs();

// Tells on standard error which round of rounds starts, after what the
// tables wrote so far on standard output: the two then keep their order in
// one file.
void ReportRound(int round, int rounds);

// Median of values (the mean of the two middle ones for an even count);
// 0 for none.
double Median(std::vector<double> values);

// The q-quantile (0 <= q <= 1) of samples by the nearest-rank rule: the
// smallest sample with at least q of all samples at or below it; 0 for none.
double Quantile(std::vector<double> samples, double q);

// Heap settings a measurement runs under.
enum class Heap { kDefault, kTuned };

// Applies the tuned settings to this process: allocations are served from the
// heap up to 64 MiB and the heap is trimmed only past 512 MiB of free top.
void TuneHeap();

// A measurement: fills its numbers and returns true, or returns false when
// the contender failed (lost or corrupted a message, could not set up).
using Measure = std::function<bool(std::vector<double> &out)>;

// Runs measure in a forked child under the given heap settings and returns
// its numbers through a pipe. False when the child failed, crashed or did not
// finish within timeoutSec (it is then killed).
bool RunIsolated(const Measure &measure, Heap heap, int timeoutSec, std::vector<double> &out);

// One row of a comparison table: a figure (e.g. "1 -> 1, 64 B") measured for
// one contender, a value per round (negative: failed in that round).
struct Row {
    std::string figure;
    std::string contender;
    std::vector<double> rounds;
};

// What a figure's values are and how to print them.
enum class Unit { kRate, kMicros };

// A contender whose same-round values serve as the reference of a ratio
// column, and that column's heading (e.g. "xZeroMQ").
struct Reference {
    std::string contender;
    std::string heading;
};

// The rows of one figure, one per contender, and its two ratio columns.
class Figure {
public:
    Figure(std::string title, Unit unit, Reference first, Reference second);
    void Add(const std::string &contender, double value);
    // Forgets every value and takes a new title (the next placement).
    void Restart(std::string title);
    const std::string &title() const { return title_; }
    // Also prints each contender's ratio to this same contender's value in
    // another figure (e.g. 8 producers against one), round by round.
    void CompareWith(const Figure *base, std::string label);
    // Prints the figure: per contender the median value, and the medians of
    // the per-round ratios to each reference ("-" when a round failed).
    void Print() const;
    // Median of the contender's rounds; negative when none succeeded.
    double MedianOf(const std::string &contender) const;
    // Median of per-round ratios value/reference of contender; negative when
    // no round had both.
    double RatioTo(const std::string &contender, const std::string &reference) const;
    double RatioTo(const std::string &contender, const Figure &other) const;

private:
    const Row *Find(const std::string &contender) const;

    std::string title_;
    Unit unit_;
    Reference first_;
    Reference second_;
    const Figure *base_ = nullptr;
    std::string baseLabel_;
    std::vector<Row> rows_;
};

// Formats a rate as "1.79 M/s", "360 k/s", "950 /s"; a time as "40.1 us".
std::string FormatValue(double value, Unit unit);

} // namespace compare

#endif

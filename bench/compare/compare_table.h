// One comparison table run from start to end: every round measures every
// one-way figure for every selected contender, then the 64-byte round trips,
// each measurement in a fresh child process (RunIsolated); the figures are
// printed at the end with a closing line on how to read them. Both
// comparison programs fill in their figures and contenders and hand them
// here, so they measure, print and judge success alike.
//
// Runs in the single-threaded parent process only.
#ifndef VYRE_BENCH_COMPARE_TABLE_H
#define VYRE_BENCH_COMPARE_TABLE_H

#include <cstdint>
#include <functional>
#include <vector>

#include "compare_drive.h"
#include "compare_harness.h"
#include "compare_options.h"

namespace compare {

// A contender of the one-way figures: runs a whole case and returns messages
// per second (negative on failure).
struct OneWayContender {
    const char *name;
    std::function<double(const OneWayCase &)> run;
};

// A contender of the round trips: times count trips of size bytes into
// samplesUs; false on failure.
struct RoundTripContender {
    const char *name;
    std::function<bool(uint32_t size, uint32_t count, std::vector<double> &samplesUs)> run;
};

// A one-way figure with the case and heap settings it is measured under.
struct OneWayFigure {
    Figure figure;
    OneWayCase oneWay;
    Heap heap;
};

// The two figures of the round trips: count trips of 64 bytes each
// measurement, their median and 99th percentile.
struct RoundTripFigures {
    Figure p50;
    Figure p99;
    uint32_t count;
};

// Runs options.rounds rounds, each measurement killed after timeoutSec, and
// prints every figure. True when every selected contender succeeded in at
// least one round of every figure.
bool RunTable(const Options &options, int timeoutSec, std::vector<OneWayFigure> &figures,
              const std::vector<OneWayContender> &oneWay, RoundTripFigures &trips,
              const std::vector<RoundTripContender> &roundTrip);

} // namespace compare

#endif

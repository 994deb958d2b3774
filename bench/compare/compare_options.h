// Command-line options shared by the comparison programs: the number of
// rounds and a scale applied to every message count (a small scale makes a
// quick smoke run). Parsed once by main before any measurement.
#ifndef VYRE_BENCH_COMPARE_OPTIONS_H
#define VYRE_BENCH_COMPARE_OPTIONS_H

#include <cstdint>
#include <vector>

#include "compare_placement.h"

namespace compare {

struct Options {
    int rounds;
    double scale;
    const char *only; // run only contenders whose name contains this (or one of its comma-separated parts); or nullptr
    const char *figures;               // likewise for the figures' titles (e.g. "64 B" to profile one case); or nullptr
    std::vector<Placement> placements; // each table is measured once per placement, in this order
};

// Reads "--rounds N", "--scale X" (X > 0), "--only TEXT", "--figure TEXT" and
// "--placement apart,one-core,free" (default: apart, then one core); false,
// with a usage line on standard error, for anything else.
bool ParseOptions(int argc, char **argv, int defaultRounds, Options &out);

// count scaled, at least minimum.
uint64_t Scaled(const Options &options, uint64_t count, uint64_t minimum);

// Whether the contender named name is to run.
bool Selected(const Options &options, const char *name);

// Whether the figure titled title is to be measured.
bool FigureSelected(const Options &options, const char *title);

} // namespace compare

#endif

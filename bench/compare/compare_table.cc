// Rounds of isolated measurements filling the comparison figures, then the
// printed table (see compare_table.h), once per placement of the threads
// (compare_placement.h).
#include "compare_table.h"

#include <cstdio>
#include <string>

namespace compare {

namespace {

double MeasureOneWay(const OneWayContender &contender, const OneWayFigure &f, int timeoutSec) {
    std::vector<double> out;
    bool ok = RunIsolated(
        [&](std::vector<double> &values) {
            double rate = contender.run(f.oneWay);
            values.push_back(rate);
            return rate > 0;
        },
        f.heap, timeoutSec, out);
    return ok && out.size() == 1 ? out[0] : -1.0;
}

void MeasureRoundTrip(const RoundTripContender &contender, RoundTripFigures &trips, int timeoutSec) {
    std::vector<double> out;
    bool ok = RunIsolated(
        [&](std::vector<double> &values) {
            std::vector<double> samples;
            if (!contender.run(64, trips.count, samples)) {
                return false;
            }
            values.push_back(Quantile(samples, 0.50));
            values.push_back(Quantile(samples, 0.99));
            return true;
        },
        Heap::kDefault, timeoutSec, out);
    trips.p50.Add(contender.name, ok && out.size() == 2 ? out[0] : -1.0);
    trips.p99.Add(contender.name, ok && out.size() == 2 ? out[1] : -1.0);
}

} // namespace

namespace {

// Measures options.rounds rounds of every selected figure under the current
// placement and prints them; false when a selected contender failed every
// round of a figure.
bool RunRounds(const Options &options, int timeoutSec, std::vector<OneWayFigure> &figures,
               const std::vector<OneWayContender> &oneWay, RoundTripFigures &trips,
               const std::vector<RoundTripContender> &roundTrip) {
    const bool tripsSelected =
        FigureSelected(options, trips.p50.title().c_str()) || FigureSelected(options, trips.p99.title().c_str());
    for (int round = 1; round <= options.rounds; ++round) {
        ReportRound(round, options.rounds);
        for (OneWayFigure &f : figures) {
            for (const OneWayContender &contender : oneWay) {
                if (FigureSelected(options, f.figure.title().c_str()) && Selected(options, contender.name)) {
                    f.figure.Add(contender.name, MeasureOneWay(contender, f, timeoutSec));
                }
            }
        }
        for (const RoundTripContender &contender : roundTrip) {
            if (tripsSelected && Selected(options, contender.name)) {
                MeasureRoundTrip(contender, trips, timeoutSec);
            }
        }
    }
    bool allOk = true;
    for (const OneWayFigure &f : figures) {
        if (!FigureSelected(options, f.figure.title().c_str())) {
            continue;
        }
        f.figure.Print();
        for (const OneWayContender &contender : oneWay) {
            allOk = allOk && (!Selected(options, contender.name) || f.figure.MedianOf(contender.name) > 0);
        }
    }
    if (tripsSelected) {
        trips.p50.Print();
        trips.p99.Print();
        for (const RoundTripContender &contender : roundTrip) {
            allOk = allOk && (!Selected(options, contender.name) || trips.p50.MedianOf(contender.name) > 0);
        }
    }
    return allOk;
}

} // namespace

bool RunTable(const Options &options, int timeoutSec, std::vector<OneWayFigure> &figures,
              const std::vector<OneWayContender> &oneWay, RoundTripFigures &trips,
              const std::vector<RoundTripContender> &roundTrip) {
    std::vector<std::string> titles;
    for (const OneWayFigure &f : figures) {
        titles.push_back(f.figure.title());
    }
    const std::string p50Title = trips.p50.title();
    const std::string p99Title = trips.p99.title();
    bool allOk = true;
    for (Placement placement : options.placements) {
        UsePlacement(placement);
        const std::string label = std::string(" [") + PlacementLabel(placement) + "]";
        std::printf("\n=== %s ===\n", PlacementLabel(placement));
        for (size_t i = 0; i < figures.size(); ++i) {
            figures[i].figure.Restart(titles[i] + label);
        }
        trips.p50.Restart(p50Title + label);
        trips.p99.Restart(p99Title + label);
        allOk = RunRounds(options, timeoutSec, figures, oneWay, trips, roundTrip) && allOk;
    }
    std::printf("\nMedians of %d round(s) per placement; a ratio is the median of the per-round ratios (throughput: "
                "higher is better; latency: lower is better).\n",
                options.rounds);
    return allOk;
}

} // namespace compare

// The frames comparison: frames of 64 KiB, 1 MiB, 4 MiB and 16 MiB passed by
// reference, one way (frames per second, at most four in flight) and round
// trip (a frame there, its 8-byte stamp back; median), all in one run:
// the floor between two processes (memory files passed once with
// SCM_RIGHTS), iceoryx with its daemon (when installed), and the library
// within one process through shared buffers and, for comparison, by copy
// (which stops at 4 MiB). Every measurement runs in a fresh process (and
// forks its server); the ratios are to the floor and to iceoryx, round by
// round. The library between processes joins the table once its carrier
// passes shared buffers.
#include <cstdio>
#include <string>
#include <vector>

#include "compare_harness.h"
#include "compare_options.h"
#include "frames_contenders.h"
#include "ipc_drive.h"
#include "vyre_os_msg.h"

namespace {

using compare::Figure;
using compare::OneWayCase;
using compare::Unit;

constexpr int kTimeoutSec = 150;
constexpr uint32_t kDepth = 4;

struct Contender {
    const char *name;
    double (*oneWay)(const OneWayCase &c);
    bool (*roundTrip)(uint32_t size, uint32_t count, std::vector<double> &samplesUs);
    bool copies; // payloads above OS_MSG_MAX_DATA_LEN are not measured
};

double FloorOneWay(const OneWayCase &c) {
    return compare::RunOneWayAcross(compare::kFramesFloor, c);
}
bool FloorTrips(uint32_t size, uint32_t count, std::vector<double> &samples) {
    return compare::RunRoundTripsAcross(compare::kFramesFloor, size, count, samples);
}
double IceoryxOneWay(const OneWayCase &c) {
    return compare::RunOneWayAcross(compare::kFramesIceoryx, c);
}
bool IceoryxTrips(uint32_t size, uint32_t count, std::vector<double> &samples) {
    return compare::RunRoundTripsAcross(compare::kFramesIceoryx, size, count, samples);
}

struct SizeFigures {
    uint32_t size;
    uint64_t frames;
    Figure oneWay;
    Figure trip;
};

double Measure(const std::function<bool(std::vector<double> &)> &measure) {
    std::vector<double> out;
    return compare::RunIsolated(measure, compare::Heap::kDefault, kTimeoutSec, out) && out.size() == 1 ? out[0] : -1.0;
}

} // namespace

int main(int argc, char **argv) {
    compare::Options options{};
    if (!compare::ParseOptions(argc, argv, 3, options)) {
        return 2;
    }
    const char *kFloor = compare::kFramesFloor.name;
    const char *kIceoryx = compare::kFramesIceoryx.name;
    std::vector<Contender> contenders = {{kFloor, FloorOneWay, FloorTrips, false}};
    if (compare::kFramesIceoryxBuilt) {
        contenders.push_back({kIceoryx, IceoryxOneWay, IceoryxTrips, false});
    } else {
        std::printf("iceoryx is not installed (make deps-bench-peers): its rows are left out\n");
    }
    contenders.push_back(
        {"library in-process, shared buffers", compare::LibrarySharedOneWay, compare::LibrarySharedRoundTrip, false});
    contenders.push_back(
        {"library in-process, copies", compare::LibraryCopiedOneWay, compare::LibraryCopiedRoundTrip, true});

    const compare::Reference floorRef{kFloor, "xfloor"};
    const compare::Reference iceoryxRef{kIceoryx, "xiceoryx"};
    const uint32_t kKiB = 1024U, kMiB = 1024U * 1024U;
    std::vector<SizeFigures> sizes;
    for (auto [size, label, frames] : {std::tuple<uint32_t, const char *, uint64_t>{64U * kKiB, "64 KiB", 20000},
                                       {kMiB, "1 MiB", 10000},
                                       {4U * kMiB, "4 MiB", 5000},
                                       {16U * kMiB, "16 MiB", 5000}}) {
        sizes.push_back(
            {size, compare::Scaled(options, frames, 50),
             Figure(std::string("Frames of ") + label + ", one way, frames/s", Unit::kRate, floorRef, iceoryxRef),
             Figure(std::string("Frames of ") + label + ", round trip (8-byte answer), p50", Unit::kMicros, floorRef,
                    iceoryxRef)});
    }
    const uint32_t trips = static_cast<uint32_t>(compare::Scaled(options, 5000, 50));
    std::printf("Frames comparison: %d round(s), every measurement in a fresh process\n", options.rounds);
    bool allOk = true;
    for (compare::Placement placement : options.placements) {
        compare::UsePlacement(placement);
        const std::string tag = std::string(" [") + compare::PlacementLabel(placement) + "]";
        std::printf("\n=== %s ===\n", compare::PlacementLabel(placement));
        for (SizeFigures &s : sizes) {
            s.oneWay.Restart(s.oneWay.title().substr(0, s.oneWay.title().find(" [")) + tag);
            s.trip.Restart(s.trip.title().substr(0, s.trip.title().find(" [")) + tag);
        }
        for (int round = 1; round <= options.rounds; ++round) {
            std::fprintf(stderr, "round %d of %d\n", round, options.rounds);
            for (SizeFigures &s : sizes) {
                for (const Contender &c : contenders) {
                    if (!compare::Selected(options, c.name) || (c.copies && s.size > OS_MSG_MAX_DATA_LEN)) {
                        continue;
                    }
                    const OneWayCase oneWay{s.size, s.frames, 1, kDepth};
                    if (compare::FigureSelected(options, s.oneWay.title().c_str())) {
                        s.oneWay.Add(c.name, Measure([&](std::vector<double> &v) {
                                         v.push_back(c.oneWay(oneWay));
                                         return v.back() > 0;
                                     }));
                    }
                    if (compare::FigureSelected(options, s.trip.title().c_str())) {
                        s.trip.Add(c.name, Measure([&](std::vector<double> &v) {
                                       std::vector<double> samples;
                                       v.push_back(c.roundTrip(s.size, trips, samples) ? compare::Quantile(samples, 0.5)
                                                                                       : -1.0);
                                       return v.back() > 0;
                                   }));
                    }
                }
            }
        }
        for (SizeFigures &s : sizes) {
            for (Figure *f : {&s.oneWay, &s.trip}) {
                if (!compare::FigureSelected(options, f->title().c_str())) {
                    continue;
                }
                f->Print();
                for (const Contender &c : contenders) {
                    bool measured = compare::Selected(options, c.name) && !(c.copies && s.size > OS_MSG_MAX_DATA_LEN);
                    allOk = allOk && (!measured || f->MedianOf(c.name) > 0);
                }
            }
        }
    }
    std::printf("\nMedians of %d round(s) per placement; a ratio is the median of the per-round ratios (rates: "
                "higher is better; times: lower is better). The copies stop at %u bytes.\n",
                options.rounds, OS_MSG_MAX_DATA_LEN);
    return allOk ? 0 : 1;
}

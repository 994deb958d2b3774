// The frames comparison: frames of 64 KiB, 1 MiB, 4 MiB and 16 MiB passed by
// reference, all in one run: between two processes the floor (memory files
// passed once with SCM_RIGHTS), iceoryx with its daemon (when installed), the
// library's carrier through shared buffers and, for comparison, by copy
// (which stops at 4,194,136 bytes: its 4 MiB figures are of frames of that
// size); within one process the library through shared buffers and by copy.
//
// Figures per size: one way (frames per second, at most four in flight);
// round trip (a frame there, its 8-byte stamp back; median); one-way latency
// (frames 2 ms apart, each stamped with the time it was sent; median from
// sending to handling); and, between processes, processor time per frame of
// both processes together during the one-way run (CLOCK_PROCESS_CPUTIME_ID,
// every thread; iceoryx's daemon, a third process, is not counted). Every
// measurement runs in a fresh process (and forks its server), with threads
// placed alike (compare_placement.h); the ratios are to the floor and to
// iceoryx, round by round, and a closing section gives the library's
// targets as ratios of the same run.
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
constexpr uint32_t kLatencyGapUs = 2000;
constexpr const char *kShared = "library carrier, shared buffers";
constexpr const char *kCopies = "library Unix carrier, copies";

struct Contender {
    const char *name;
    const compare::IpcContender *across; // between processes, or nullptr
    double (*oneWay)(const OneWayCase &c);
    bool (*roundTrip)(uint32_t size, uint32_t count, std::vector<double> &samplesUs);
    bool copies; // frames above OS_MSG_MAX_DATA_LEN are sent at that size, up to 4 MiB, and not at all above
};

struct SizeFigures {
    uint32_t size;
    const char *label;
    uint64_t frames;
    Figure oneWay;
    Figure trip;
    Figure latency;
    Figure cpu;
};

// The size contender c sends for frames of size bytes; 0 when it sends none.
uint32_t SizeFor(const Contender &c, uint32_t size) {
    if (!c.copies || size <= OS_MSG_MAX_DATA_LEN) {
        return size;
    }
    return size <= 4U * 1024U * 1024U ? OS_MSG_MAX_DATA_LEN : 0U;
}

bool Measure(const compare::Measure &measure, std::vector<double> &out) {
    return compare::RunIsolated(measure, compare::Heap::kDefault, kTimeoutSec, out);
}

// One way across: rate and processor time per frame, or latency.
void MeasureAcross(const Contender &c, const OneWayCase &oneWay, SizeFigures &s, const compare::Options &options) {
    if (compare::FigureSelected(options, s.oneWay.title().c_str())) {
        std::vector<double> out;
        bool ok = Measure(
            [&](std::vector<double> &v) {
                compare::OneWayFigures f{};
                if (!compare::RunOneWayAcrossFigures(*c.across, oneWay, f)) {
                    return false;
                }
                v = {f.rate, f.cpuUsPerFrame};
                return true;
            },
            out);
        s.oneWay.Add(c.name, ok && out.size() == 2 ? out[0] : -1.0);
        s.cpu.Add(c.name, ok && out.size() == 2 ? out[1] : -1.0);
    }
    if (compare::FigureSelected(options, s.latency.title().c_str())) {
        OneWayCase paced = oneWay;
        paced.perProducer = compare::Scaled(options, 500, 20);
        paced.gapUs = kLatencyGapUs;
        std::vector<double> out;
        bool ok = Measure(
            [&](std::vector<double> &v) {
                compare::OneWayFigures f{};
                if (!compare::RunOneWayAcrossFigures(*c.across, paced, f)) {
                    return false;
                }
                v = {f.latencyP50Us};
                return true;
            },
            out);
        s.latency.Add(c.name, ok && out.size() == 1 ? out[0] : -1.0);
    }
}

void MeasureWithin(const Contender &c, const OneWayCase &oneWay, SizeFigures &s, const compare::Options &options) {
    if (compare::FigureSelected(options, s.oneWay.title().c_str())) {
        std::vector<double> out;
        bool ok = Measure(
            [&](std::vector<double> &v) {
                v.push_back(c.oneWay(oneWay));
                return v.back() > 0;
            },
            out);
        s.oneWay.Add(c.name, ok && out.size() == 1 ? out[0] : -1.0);
    }
}

void MeasureTrips(const Contender &c, uint32_t size, uint32_t trips, SizeFigures &s, const compare::Options &options) {
    if (!compare::FigureSelected(options, s.trip.title().c_str())) {
        return;
    }
    std::vector<double> out;
    bool ok = Measure(
        [&](std::vector<double> &v) {
            std::vector<double> samples;
            bool done = c.across != nullptr ? compare::RunRoundTripsAcross(*c.across, size, trips, samples)
                                            : c.roundTrip(size, trips, samples);
            v.push_back(done ? compare::Quantile(samples, 0.5) : -1.0);
            return v.back() > 0;
        },
        out);
    s.trip.Add(c.name, ok && out.size() == 1 ? out[0] : -1.0);
}

std::string Ratio(double ratio) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), ratio < 0 ? "-" : "%.2fx", ratio);
    return buf;
}

// The library's targets, as ratios of this run (medians of the per-round
// ratios).
void PrintTargets(const std::vector<SizeFigures> &sizes, bool iceoryx) {
    const SizeFigures &k64 = sizes[0];
    const SizeFigures &m4 = sizes[2];
    const SizeFigures &m16 = sizes[3];
    std::printf("\nTargets of the library between processes through shared buffers (\"%s\"):\n", kShared);
    std::printf("  4 MiB frames, rate / copying carrier's at its largest frame (4,194,136 B): %s (target >= 20x)\n",
                Ratio(m4.oneWay.RatioTo(kShared, kCopies)).c_str());
    std::printf("  one-way latency, 16 MiB frames / 64 KiB frames: %s (target <= 2x)\n",
                Ratio(m16.latency.RatioTo(kShared, k64.latency)).c_str());
    std::printf("  processor time per 4 MiB frame / copying carrier's: %s (target <= 0.05x)\n",
                Ratio(m4.cpu.RatioTo(kShared, kCopies)).c_str());
    if (!iceoryx) {
        return;
    }
    const char *kIceoryx = compare::kFramesIceoryx.name;
    for (const SizeFigures &s : sizes) {
        std::printf("  %s: rate / iceoryx's %s, round trip / iceoryx's %s, latency / iceoryx's %s (target: rate >= "
                    "0.8x)\n",
                    s.label, Ratio(s.oneWay.RatioTo(kShared, kIceoryx)).c_str(),
                    Ratio(s.trip.RatioTo(kShared, kIceoryx)).c_str(),
                    Ratio(s.latency.RatioTo(kShared, kIceoryx)).c_str());
    }
}

} // namespace

int main(int argc, char **argv) {
    compare::Options options{};
    if (!compare::ParseOptions(argc, argv, 3, options)) {
        return 2;
    }
    const char *kFloor = compare::kFramesFloor.name;
    const char *kIceoryx = compare::kFramesIceoryx.name;
    std::vector<Contender> contenders = {{kFloor, &compare::kFramesFloor, nullptr, nullptr, false}};
    if (compare::kFramesIceoryxBuilt) {
        contenders.push_back({kIceoryx, &compare::kFramesIceoryx, nullptr, nullptr, false});
    } else {
        std::printf("iceoryx is not installed (make deps-bench-peers): its rows are left out\n");
    }
    contenders.push_back({kShared, &compare::kFramesLibraryShared, nullptr, nullptr, false});
    contenders.push_back({kCopies, &compare::kLibraryCarrier, nullptr, nullptr, true});
    contenders.push_back({"library in-process, shared buffers", nullptr, compare::LibrarySharedOneWay,
                          compare::LibrarySharedRoundTrip, false});
    contenders.push_back(
        {"library in-process, copies", nullptr, compare::LibraryCopiedOneWay, compare::LibraryCopiedRoundTrip, true});

    const compare::Reference floorRef{kFloor, "xfloor"};
    const compare::Reference iceoryxRef{kIceoryx, "xiceoryx"};
    const uint32_t kKiB = 1024U, kMiB = 1024U * 1024U;
    std::vector<SizeFigures> sizes;
    for (auto [size, label, frames] : {std::tuple<uint32_t, const char *, uint64_t>{64U * kKiB, "64 KiB", 20000},
                                       {kMiB, "1 MiB", 10000},
                                       {4U * kMiB, "4 MiB", 5000},
                                       {16U * kMiB, "16 MiB", 5000}}) {
        const std::string of = std::string("Frames of ") + label + (size == 4U * kMiB ? " (copies: 4,194,136 B)" : "");
        sizes.push_back(
            {size, label, compare::Scaled(options, frames, 50),
             Figure(of + ", one way, frames/s", Unit::kRate, floorRef, iceoryxRef),
             Figure(of + ", round trip (8-byte answer), p50", Unit::kMicros, floorRef, iceoryxRef),
             Figure(of + ", one-way latency (2 ms apart), p50", Unit::kMicros, floorRef, iceoryxRef),
             Figure(of + ", processor time per frame, both processes", Unit::kMicros, floorRef, iceoryxRef)});
    }
    const uint32_t trips = static_cast<uint32_t>(compare::Scaled(options, 5000, 50));
    std::printf("Frames comparison: %d round(s), every measurement in a fresh process\n", options.rounds);
    bool allOk = true;
    for (compare::Placement placement : options.placements) {
        compare::UsePlacement(placement);
        const std::string tag = std::string(" [") + compare::PlacementLabel(placement) + "]";
        std::printf("\n=== %s ===\n", compare::PlacementLabel(placement));
        for (SizeFigures &s : sizes) {
            for (Figure *f : {&s.oneWay, &s.trip, &s.latency, &s.cpu}) {
                f->Restart(f->title().substr(0, f->title().find(" [")) + tag);
            }
        }
        for (int round = 1; round <= options.rounds; ++round) {
            compare::ReportRound(round, options.rounds);
            for (SizeFigures &s : sizes) {
                for (const Contender &c : contenders) {
                    const uint32_t size = SizeFor(c, s.size);
                    if (!compare::Selected(options, c.name) || size == 0U) {
                        continue;
                    }
                    OneWayCase oneWay{size, s.frames, 1, kDepth};
                    if (c.across != nullptr) {
                        MeasureAcross(c, oneWay, s, options);
                    } else {
                        MeasureWithin(c, oneWay, s, options);
                    }
                    MeasureTrips(c, size, trips, s, options);
                }
            }
        }
        for (SizeFigures &s : sizes) {
            for (Figure *f : {&s.oneWay, &s.trip, &s.latency, &s.cpu}) {
                if (!compare::FigureSelected(options, f->title().c_str())) {
                    continue;
                }
                f->Print();
                for (const Contender &c : contenders) {
                    bool measured = compare::Selected(options, c.name) && SizeFor(c, s.size) != 0U &&
                                    (c.across != nullptr || (f != &s.latency && f != &s.cpu));
                    allOk = allOk && (!measured || f->MedianOf(c.name) > 0);
                }
            }
        }
        PrintTargets(sizes, compare::kFramesIceoryxBuilt);
    }
    std::printf("\nMedians of %d round(s) per placement; a ratio is the median of the per-round ratios (rates: "
                "higher is better; times: lower is better).\n",
                options.rounds);
    return allOk ? 0 : 1;
}

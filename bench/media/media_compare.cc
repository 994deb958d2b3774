// The media comparison: 1080p I420 frames rendered by videotestsrc in one
// process and taken by a GStreamer sink element in another, carried two ways
// in the same run: by GStreamer's own shared-memory elements (shmsink and
// shmsrc, media_shm.cc) and by the library's shared buffers over its
// Unix-socket carrier (media_library.cc). Both are zero-copy: the source
// renders into the memory that the other process reads in place.
//
// Two passes per way, each with two fresh processes (this program started
// again in a role, media_roles.h), placed alike (compare_placement.h: the
// source process on one processor and the sink process on the other, or both
// on one):
//   transport  the source renders as fast as it can: frames per second at
//              the sink, and processor time per frame;
//   live       a live source at 60 frames per second: latency from the stamp
//              the source's pad writes into the frame to the sink element
//              seeing it (p50, p99), and processor time per frame;
//   encode     (--encode) a live source at 30 frames per second and x264enc
//              (ultrafast, zero latency) in the sink process: latency from
//              the stamp to the encoded frame reaching the fakesink (p50).
// Processor time is that of both processes over the measured window, shown
// three ways: every thread; the source's streaming thread left out (it
// renders each frame, work that is not the transport's, and runs the
// shipping element's hand-off: shmsink's, or appsink's callback that sends);
// and that thread alone. The pattern is a solid colour unless --pattern says
// otherwise: videotestsrc renders it by copying a frame it rendered once.
//
// The table gives each figure for both ways, the ratio library / shm (the
// median of the per-round ratios) and the library's targets: latency p50 at
// most 1x, processor time per frame with the source's thread left out at
// most 0.5x.
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compare_harness.h"
#include "compare_options.h"
#include "media_link.h"
#include "media_roles.h"

namespace {

using compare::Figure;
using compare::Unit;
using media::RoleArgs;

struct Way {
    const char *name;
    const char *sourceRole;
    const char *sinkRole;
    bool sinkFirst; // the sink process is set up first (it is looked up by the source)
};

constexpr Way kShm = {"shmsink/shmsrc", "shm-source", "shm-sink", false};
constexpr Way kLibrary = {"library", "library-source", "library-sink", true};
constexpr Way kFloor = {"floor", "floor-source", "floor-sink", true};

constexpr uint64_t kSetupNs = 60ULL * 1000000000ULL;
constexpr uint64_t kRunSlackNs = 60ULL * 1000000000ULL;
constexpr uint64_t kExitNs = 20ULL * 1000000000ULL;

// A pass's figures for one way; times in microseconds per frame.
struct PassFigures {
    double fps;
    double p50;
    double p99;
    double cpuAll;
    double cpuOthers; // the source's streaming thread left out
    double cpuSource; // that thread alone
};

bool ParseValues(const std::string &text, size_t count, std::vector<double> &out) {
    out.clear();
    const char *at = text.c_str();
    for (;;) {
        char *end = nullptr;
        const double v = std::strtod(at, &end);
        if (end == at) {
            break;
        }
        out.push_back(v);
        at = end;
    }
    return out.size() == count;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

// Runs the source and the sink role of way for one pass; false when either
// failed or did not answer in time.
bool RunPass(const Way &way, const RoleArgs &base, PassFigures &out) {
    char dir[] = "/tmp/media_compare.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return false;
    }
    RoleArgs sourceArgs = base;
    sourceArgs.role = way.sourceRole;
    sourceArgs.dir = dir;
    RoleArgs sinkArgs = sourceArgs;
    sinkArgs.role = way.sinkRole;
    media::RoleProcess source;
    media::RoleProcess sink;
    media::RoleProcess &first = way.sinkFirst ? sink : source;
    media::RoleProcess &second = way.sinkFirst ? source : sink;
    const RoleArgs &firstArgs = way.sinkFirst ? sinkArgs : sourceArgs;
    const RoleArgs &secondArgs = way.sinkFirst ? sourceArgs : sinkArgs;
    std::string rest;
    const uint64_t setup = compare::NowNs() + kSetupNs;
    bool ok = first.Start(media::RoleCommandLine(firstArgs), &first == &source) &&
              first.WaitLine("ready", setup, rest) &&
              second.Start(media::RoleCommandLine(secondArgs), &second == &source) &&
              second.WaitLine("ready", setup, rest) && sink.Send("go") && source.Send("go");
    const uint64_t run = compare::NowNs() + kRunSlackNs +
                         (base.fps != 0 ? static_cast<uint64_t>(base.frames) * 1000000000ULL / base.fps : 0ULL);
    std::vector<double> fromSource;
    std::vector<double> fromSink;
    ok = ok && source.WaitLine("result", run, rest) && ParseValues(rest, 2, fromSource) &&
         sink.WaitLine("result", run, rest) && ParseValues(rest, 4, fromSink);
    // A failed pass ends both processes at once: one may wait for frames
    // that will never come.
    const uint64_t exit = compare::NowNs() + (ok ? kExitNs : 0U);
    const bool sinkDone = sink.Finish(exit);
    const bool sourceDone = source.Finish(exit);
    ok = ok && sinkDone && sourceDone;
    (void)nftw(dir, RemoveEntry, 8, FTW_DEPTH | FTW_PHYS);
    if (!ok) {
        std::fprintf(stderr, "media_compare: %s: the pass failed\n", way.name);
        return false;
    }
    const double frames = static_cast<double>(base.frames - 1U - base.warmup);
    out.fps = fromSink[0];
    out.p50 = fromSink[1];
    out.p99 = fromSink[2];
    out.cpuAll = (fromSource[0] + fromSink[3]) / frames / 1000.0;
    out.cpuOthers = (fromSource[0] - fromSource[1] + fromSink[3]) / frames / 1000.0;
    out.cpuSource = fromSource[1] / frames / 1000.0;
    return true;
}

enum : int { kTransport, kLive, kEncode, kPasses };

// One line of the table: a figure of one pass.
struct Line {
    Figure figure;
    int pass; // the index of its pass: kTransport, kLive or kEncode
    double PassFigures::*field;
    double target; // the most library / shm may be; 0 for none
};

Figure Of(const char *title, Unit unit) {
    const compare::Reference shm{kShm.name, "xshm"};
    return Figure(title, unit, shm, shm);
}

std::string Ratio(double ratio) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), ratio < 0 ? "-" : "%.2fx", ratio);
    return buf;
}

// A way's median of figure, "-" when the way was not measured (--only).
std::string ValueOf(const Figure &figure, const Way &way, Unit unit, const compare::Options &options) {
    return compare::Selected(options, way.name) ? compare::FormatValue(figure.MedianOf(way.name), unit) : "-";
}

void PrintTable(const std::vector<Line> &lines, const compare::Options &options, bool &met) {
    std::printf("  %-64s %14s %10s %10s %10s %11s  %s\n", "figure", kShm.name, kLibrary.name, kFloor.name, "lib / shm",
                "floor / shm", "target");
    for (const Line &line : lines) {
        const Unit unit = line.field == &PassFigures::fps ? Unit::kRate : Unit::kMicros;
        const double ratio = line.figure.RatioTo(kLibrary.name, kShm.name);
        std::string target;
        if (line.target > 0) {
            const bool ok = ratio > 0 && ratio <= line.target;
            met = met && ok;
            target = "<= " + Ratio(line.target) + (ok ? " met" : " MISSED");
        }
        std::printf(
            "  %-64s %14s %10s %10s %10s %11s  %s\n", line.figure.title().c_str(),
            ValueOf(line.figure, kShm, unit, options).c_str(), ValueOf(line.figure, kLibrary, unit, options).c_str(),
            line.pass == kEncode ? "-" : ValueOf(line.figure, kFloor, unit, options).c_str(), Ratio(ratio).c_str(),
            Ratio(line.pass == kEncode ? -1.0 : line.figure.RatioTo(kFloor.name, kShm.name)).c_str(), target.c_str());
    }
}

std::vector<Line> TableLines(uint32_t liveFps, bool encode) {
    const std::string at = " at " + std::to_string(liveFps) + " fps";
    std::vector<Line> lines = {
        {Of("transport: frames/s, as fast as the source renders", Unit::kRate), kTransport, &PassFigures::fps, 0},
        {Of("transport: CPU per frame, source streaming thread left out", Unit::kMicros), kTransport,
         &PassFigures::cpuOthers, 0.5},
        {Of("transport: CPU per frame, every thread", Unit::kMicros), kTransport, &PassFigures::cpuAll, 0},
        {Of("transport: CPU per frame, source streaming thread alone", Unit::kMicros), kTransport,
         &PassFigures::cpuSource, 0},
        {Of(("live" + at + ": latency p50, source stamp to sink element").c_str(), Unit::kMicros), kLive,
         &PassFigures::p50, 1.0},
        {Of(("live" + at + ": latency p99").c_str(), Unit::kMicros), kLive, &PassFigures::p99, 0},
        {Of(("live" + at + ": CPU per frame, source streaming thread left out").c_str(), Unit::kMicros), kLive,
         &PassFigures::cpuOthers, 0.5},
        {Of(("live" + at + ": CPU per frame, every thread").c_str(), Unit::kMicros), kLive, &PassFigures::cpuAll, 0},
    };
    if (encode) {
        lines.push_back({Of("x264enc at 30 fps: latency p50, stamp to encoded frame at sink", Unit::kMicros), kEncode,
                         &PassFigures::p50, 0});
    }
    return lines;
}

struct MediaOptions {
    compare::Options common;
    std::string pattern = "solid-color";
    uint32_t liveFps = 60;
    std::string feed = "pad";
    bool threads = false;
    bool encode = false;
};

// Takes --pattern and --fps out of argv, then reads the common options.
bool ParseMediaOptions(int argc, char **argv, MediaOptions &out) {
    std::vector<char *> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pattern") == 0 && i + 1 < argc) {
            out.pattern = argv[++i];
        } else if (std::strcmp(argv[i], "--threads") == 0) {
            out.threads = true;
        } else if (std::strcmp(argv[i], "--encode") == 0) {
            out.encode = true;
        } else if (std::strcmp(argv[i], "--feed") == 0 && i + 1 < argc) {
            out.feed = argv[++i];
            if (out.feed != "pad" && out.feed != "appsrc" && out.feed != "thread") {
                std::fprintf(stderr, "%s: --feed takes pad, thread or appsrc\n", argv[0]);
                return false;
            }
        } else if (std::strcmp(argv[i], "--fps") == 0 && i + 1 < argc) {
            out.liveFps = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
            if (out.liveFps == 0 || out.liveFps > 1000) {
                std::fprintf(stderr, "%s: --fps takes 1 to 1000\n", argv[0]);
                return false;
            }
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (!compare::ParseOptions(static_cast<int>(rest.size()), rest.data(), 1, out.common)) {
        std::fprintf(stderr, "       and [--pattern NAME (videotestsrc's, default solid-color)] [--fps N (the live "
                             "pass's rate, default 60)] [--feed pad|thread|appsrc (how the library's sink "
                             "task hands frames to GStreamer: into fakesink's pad on the receive thread "
                             "(default), on a thread of its own, or into appsrc)] [--threads (each thread's "
                             "processor time per frame, on standard error)] [--encode (adds the "
                             "x264enc pass)]\n");
        return false;
    }
    return true;
}

RoleArgs PassArgs(const MediaOptions &options, int pass) {
    RoleArgs args;
    args.pattern = options.pattern;
    args.feed = options.feed;
    args.threads = options.threads;
    args.encode = pass == kEncode;
    args.fps = pass == kLive ? options.liveFps : pass == kEncode ? 30U : 0U;
    const uint64_t seconds = 5;
    args.frames =
        static_cast<uint32_t>(compare::Scaled(options.common, args.fps != 0 ? seconds * args.fps : 600U, 12U));
    args.warmup = args.frames / 5U < 30U ? args.frames / 5U : 30U;
    return args;
}

int RunComparison(const MediaOptions &options) {
    const RoleArgs transport = PassArgs(options, kTransport);
    const RoleArgs live = PassArgs(options, kLive);
    std::printf("Media comparison: 1080p I420 frames (%u B) from videotestsrc (pattern %s) in one process to a "
                "fakesink in another; %d round(s); transport: %u frames, live: %u frames at %u fps; the first %u "
                "of each left out; the library's sink task feeds the %s\n",
                1920U * 1080U * 3U / 2U, options.pattern.c_str(), options.common.rounds, transport.frames, live.frames,
                options.liveFps, transport.warmup,
                options.feed == "pad"      ? "fakesink's pad from the carrier's receive thread"
                : options.feed == "thread" ? "fakesink's pad from its own thread"
                                           : "frames to appsrc");
    bool allOk = true;
    bool met = true;
    for (compare::Placement placement : options.common.placements) {
        compare::UsePlacement(placement);
        std::printf("\n=== %s ===\n", compare::PlacementLabel(placement));
        std::vector<Line> lines = TableLines(options.liveFps, options.encode);
        for (int round = 1; round <= options.common.rounds; ++round) {
            compare::ReportRound(round, options.common.rounds);
            for (const Way *way : {&kShm, &kLibrary, &kFloor}) {
                if (!compare::Selected(options.common, way->name)) {
                    continue;
                }
                PassFigures figures[kPasses]{};
                bool ok[kPasses]{};
                for (int pass = 0; pass < kPasses; ++pass) {
                    if (pass != kEncode || (options.encode && way != &kFloor)) {
                        ok[pass] = RunPass(*way, PassArgs(options, pass), figures[pass]);
                        allOk = allOk && ok[pass];
                    }
                }
                for (Line &line : lines) {
                    line.figure.Add(way->name, ok[line.pass] ? figures[line.pass].*line.field : -1.0);
                }
            }
        }
        PrintTable(lines, options.common, met);
    }
    std::printf("\nMedians of %d round(s) per placement; a ratio is the median of the per-round ratios. CPU: "
                "processor time of both processes over the measured frames, per frame. Floor: a futex wake-up of a "
                "sink thread and the same hand-off to the sink element per frame, no transport.\n",
                options.common.rounds);
    std::printf("Targets: %s\n", met ? "all met" : "not all met");
    return allOk ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--role") == 0) {
        RoleArgs args;
        if (!media::ParseRoleArgs(argc, argv, args)) {
            std::fprintf(stderr, "%s: bad role arguments\n", argv[0]);
            return 2;
        }
        return media::RunRole(args);
    }
    MediaOptions options;
    if (!ParseMediaOptions(argc, argv, options)) {
        return 2;
    }
    return RunComparison(options);
}

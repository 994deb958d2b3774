// The in-process comparison table: one producer into one consumer at 64 B,
// 4 KiB and 1 MiB (default and tuned heap), eight producers into one
// consumer, and 64-byte round trips, for ZeroMQ inproc, nng inproc, the
// lock-free ring + futex floor and the library's two paths, all in one run.
// Each round measures every figure for every contender, each measurement in
// a fresh child process; the table shows per figure and contender the median
// over the rounds and the medians of the per-round ratios to ZeroMQ and to
// the floor.
#include <cstdio>
#include <string>
#include <vector>

#include "compare_harness.h"
#include "compare_options.h"
#include "inproc_contenders.h"

namespace {

using compare::Figure;
using compare::Heap;
using compare::OneWayCase;
using compare::Unit;

constexpr const char *kZmq = "ZeroMQ inproc";
constexpr const char *kFloor = "floor: ring + futex";
constexpr int kTimeoutSec = 120;

struct OneWayContender {
    const char *name;
    double (*run)(const OneWayCase &);
};

const OneWayContender kOneWay[] = {
    {kZmq, compare::ZmqOneWay},
    {"nng inproc", compare::NngOneWay},
    {kFloor, compare::FloorOneWay},
    {"library in-process layer", compare::LayerOneWay},
    {"library OsMsgAsynSend", compare::PublicOneWay},
};

struct RoundTripContender {
    const char *name;
    bool (*run)(uint32_t size, uint32_t count, std::vector<double> &samplesUs);
};

const RoundTripContender kRoundTrip[] = {
    {"ZeroMQ inproc REQ/REP", compare::ZmqRoundTrip},
    {"nng inproc req0/rep0", compare::NngRoundTrip},
    {"floor: futex ping-pong", compare::FloorRoundTrip},
    {"library OsMsgSynSend", compare::PublicRoundTrip},
};

struct OneWayFigure {
    Figure figure;
    OneWayCase oneWay;
    Heap heap;
};

double MeasureOneWay(const OneWayContender &contender, const OneWayCase &c, Heap heap) {
    std::vector<double> out;
    bool ok = compare::RunIsolated(
        [&](std::vector<double> &values) {
            double rate = contender.run(c);
            values.push_back(rate);
            return rate > 0;
        },
        heap, kTimeoutSec, out);
    return ok && out.size() == 1 ? out[0] : -1.0;
}

void MeasureRoundTrip(const RoundTripContender &contender, uint32_t count, Figure &p50, Figure &p99) {
    std::vector<double> out;
    bool ok = compare::RunIsolated(
        [&](std::vector<double> &values) {
            std::vector<double> samples;
            if (!contender.run(64, count, samples)) {
                return false;
            }
            values.push_back(compare::Quantile(samples, 0.50));
            values.push_back(compare::Quantile(samples, 0.99));
            return true;
        },
        Heap::kDefault, kTimeoutSec, out);
    p50.Add(contender.name, ok && out.size() == 2 ? out[0] : -1.0);
    p99.Add(contender.name, ok && out.size() == 2 ? out[1] : -1.0);
}

} // namespace

int main(int argc, char **argv) {
    compare::Options options{};
    if (!compare::ParseOptions(argc, argv, 3, options)) {
        return 2;
    }
    const compare::Reference zmq{kZmq, "xZeroMQ"};
    const compare::Reference floor{kFloor, "xfloor"};
    const uint32_t kMiB = 1U << 20;
    std::vector<OneWayFigure> figures = {
        {Figure("1 producer -> 1 consumer, 64 B, messages/s", Unit::kRate, zmq, floor),
         {64, compare::Scaled(options, 200000, 1000), 1, 1000},
         Heap::kDefault},
        {Figure("1 producer -> 1 consumer, 4 KiB, messages/s", Unit::kRate, zmq, floor),
         {4096, compare::Scaled(options, 100000, 1000), 1, 1000},
         Heap::kDefault},
        {Figure("1 producer -> 1 consumer, 1 MiB, default heap, messages/s", Unit::kRate, zmq, floor),
         {kMiB, compare::Scaled(options, 1500, 20), 1, 64},
         Heap::kDefault},
        {Figure("1 producer -> 1 consumer, 1 MiB, tuned heap (mmap threshold 64 MiB, trim threshold 512 MiB), "
                "messages/s",
                Unit::kRate, zmq, floor),
         {kMiB, compare::Scaled(options, 1500, 20), 1, 64},
         Heap::kTuned},
        {Figure("8 producers -> 1 consumer, 64 B (ZeroMQ PUSH/PULL, nng push0/pull0, multi-producer ring), "
                "messages/s",
                Unit::kRate, zmq, floor),
         {64, compare::Scaled(options, 25000, 200), 8, 1000},
         Heap::kDefault},
    };
    figures[4].figure.CompareWith(&figures[0].figure, "x1 producer");
    const compare::Reference zmqReq{"ZeroMQ inproc REQ/REP", "xZeroMQ"};
    const compare::Reference pingPong{"floor: futex ping-pong", "xfloor"};
    Figure p50("Round trip, 64 B, p50", Unit::kMicros, zmqReq, pingPong);
    Figure p99("Round trip, 64 B, p99", Unit::kMicros, zmqReq, pingPong);
    const uint32_t trips = static_cast<uint32_t>(compare::Scaled(options, 20000, 200));

    std::printf("In-process comparison: %d round(s), every measurement in a fresh process\n", options.rounds);
    for (int round = 1; round <= options.rounds; ++round) {
        std::fprintf(stderr, "round %d of %d\n", round, options.rounds);
        for (OneWayFigure &f : figures) {
            for (const OneWayContender &contender : kOneWay) {
                if (compare::Selected(options, contender.name)) {
                    f.figure.Add(contender.name, MeasureOneWay(contender, f.oneWay, f.heap));
                }
            }
        }
        for (const RoundTripContender &contender : kRoundTrip) {
            if (compare::Selected(options, contender.name)) {
                MeasureRoundTrip(contender, trips, p50, p99);
            }
        }
    }
    bool allOk = true;
    for (const OneWayFigure &f : figures) {
        f.figure.Print();
        for (const OneWayContender &contender : kOneWay) {
            allOk = allOk && (!compare::Selected(options, contender.name) || f.figure.MedianOf(contender.name) > 0);
        }
    }
    p50.Print();
    p99.Print();
    for (const RoundTripContender &contender : kRoundTrip) {
        allOk = allOk && (!compare::Selected(options, contender.name) || p50.MedianOf(contender.name) > 0);
    }
    std::printf("\nMedians of %d round(s); a ratio is the median of the per-round ratios (throughput: higher is "
                "better; latency: lower is better).\n",
                options.rounds);
    return allOk ? 0 : 1;
}

// The in-process comparison table: one producer into one consumer at 64 B,
// 4 KiB and 1 MiB (default and tuned heap), eight producers into one
// consumer, and 64-byte round trips, for ZeroMQ inproc, nng inproc, the
// lock-free ring + futex floor and the library's two paths, all in one run.
// Each round measures every figure for every contender, each measurement in
// a fresh child process; the table shows per figure and contender the median
// over the rounds and the medians of the per-round ratios to ZeroMQ and to
// the floor.
#include <cstdio>
#include <vector>

#include "compare_table.h"
#include "inproc_contenders.h"

namespace {

using compare::Figure;
using compare::Heap;
using compare::Unit;

constexpr const char *kZmq = "ZeroMQ inproc";
constexpr const char *kFloor = "floor: ring + futex";
constexpr int kTimeoutSec = 120;

const std::vector<compare::OneWayContender> kOneWay = {
    {kZmq, compare::ZmqOneWay},
    {"nng inproc", compare::NngOneWay},
    {kFloor, compare::FloorOneWay},
    {"library in-process layer", compare::LayerOneWay},
    {"library OsMsgAsynSend", compare::PublicOneWay},
};

const std::vector<compare::RoundTripContender> kRoundTrip = {
    {"ZeroMQ inproc REQ/REP", compare::ZmqRoundTrip},
    {"nng inproc req0/rep0", compare::NngRoundTrip},
    {"floor: futex ping-pong", compare::FloorRoundTrip},
    {"library OsMsgSynSend", compare::PublicRoundTrip},
};

} // namespace

int main(int argc, char **argv) {
    compare::Options options{};
    if (!compare::ParseOptions(argc, argv, 3, options)) {
        return 2;
    }
    const compare::Reference zmq{kZmq, "xZeroMQ"};
    const compare::Reference floor{kFloor, "xfloor"};
    const uint32_t kMiB = 1U << 20;
    std::vector<compare::OneWayFigure> figures = {
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
    compare::RoundTripFigures trips{Figure("Round trip, 64 B, p50", Unit::kMicros, zmqReq, pingPong),
                                    Figure("Round trip, 64 B, p99", Unit::kMicros, zmqReq, pingPong),
                                    static_cast<uint32_t>(compare::Scaled(options, 20000, 200))};

    std::printf("In-process comparison: %d round(s), every measurement in a fresh process\n", options.rounds);
    return compare::RunTable(options, kTimeoutSec, figures, kOneWay, trips, kRoundTrip) ? 0 : 1;
}

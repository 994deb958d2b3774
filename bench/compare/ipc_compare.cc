// The cross-process comparison table: a client process sends to a forked
// server process one way at 64 B, 4 KiB and 1 MiB, and makes 64-byte round
// trips, for ZeroMQ ipc://, nng ipc://, a raw SOCK_SEQPACKET pair and the
// library's Unix-socket carrier, all in one run. Each round measures every
// figure for every contender, each measurement in a fresh pair of processes
// with its own socket directory; the table shows per figure and contender the
// median over the rounds and the medians of the per-round ratios to ZeroMQ
// and to the raw socket.
#include <cstdio>
#include <vector>

#include "compare_harness.h"
#include "compare_options.h"
#include "ipc_contenders.h"
#include "ipc_drive.h"

namespace {

using compare::Figure;
using compare::Heap;
using compare::IpcContender;
using compare::OneWayCase;
using compare::Unit;

constexpr int kTimeoutSec = 150;

const IpcContender *const kContenders[] = {
    &compare::kZmqIpc,
    &compare::kNngIpc,
    &compare::kRawSeqpacket,
    &compare::kLibraryCarrier,
};

struct OneWayFigure {
    Figure figure;
    OneWayCase oneWay;
};

double MeasureOneWay(const IpcContender &contender, const OneWayCase &c) {
    std::vector<double> out;
    bool ok = compare::RunIsolated(
        [&](std::vector<double> &values) {
            double rate = compare::RunOneWayAcross(contender, c);
            values.push_back(rate);
            return rate > 0;
        },
        Heap::kDefault, kTimeoutSec, out);
    return ok && out.size() == 1 ? out[0] : -1.0;
}

void MeasureRoundTrip(const IpcContender &contender, uint32_t count, Figure &p50, Figure &p99) {
    std::vector<double> out;
    bool ok = compare::RunIsolated(
        [&](std::vector<double> &values) {
            std::vector<double> samples;
            if (!compare::RunRoundTripsAcross(contender, 64, count, samples)) {
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
    if (!compare::ParseOptions(argc, argv, 5, options)) {
        return 2;
    }
    const compare::Reference zmq{compare::kZmqIpc.name, "xZeroMQ"};
    const compare::Reference raw{compare::kRawSeqpacket.name, "xraw"};
    std::vector<OneWayFigure> figures = {
        {Figure("Across processes, one way, 64 B (ZeroMQ PAIR, nng pair1), messages/s", Unit::kRate, zmq, raw),
         {64, compare::Scaled(options, 200000, 1000), 1, 1000}},
        {Figure("Across processes, one way, 4 KiB, messages/s", Unit::kRate, zmq, raw),
         {4096, compare::Scaled(options, 50000, 1000), 1, 1000}},
        {Figure("Across processes, one way, 1 MiB (raw socket in 64 KiB slices), messages/s", Unit::kRate, zmq, raw),
         {1U << 20, compare::Scaled(options, 1000, 20), 1, 64}},
    };
    Figure p50("Across processes, round trip, 64 B (ZeroMQ REQ/REP, nng req0/rep0), p50", Unit::kMicros, zmq, raw);
    Figure p99("Across processes, round trip, 64 B, p99", Unit::kMicros, zmq, raw);
    const uint32_t trips = static_cast<uint32_t>(compare::Scaled(options, 20000, 200));

    std::printf("\nCross-process comparison: %d round(s), a client process and a forked server per measurement\n",
                options.rounds);
    for (int round = 1; round <= options.rounds; ++round) {
        std::fprintf(stderr, "round %d of %d\n", round, options.rounds);
        for (OneWayFigure &f : figures) {
            for (const IpcContender *contender : kContenders) {
                if (compare::Selected(options, contender->name)) {
                    f.figure.Add(contender->name, MeasureOneWay(*contender, f.oneWay));
                }
            }
        }
        for (const IpcContender *contender : kContenders) {
            if (compare::Selected(options, contender->name)) {
                MeasureRoundTrip(*contender, trips, p50, p99);
            }
        }
    }
    bool allOk = true;
    for (const OneWayFigure &f : figures) {
        f.figure.Print();
        for (const IpcContender *contender : kContenders) {
            allOk = allOk && (!compare::Selected(options, contender->name) || f.figure.MedianOf(contender->name) > 0);
        }
    }
    p50.Print();
    p99.Print();
    for (const IpcContender *contender : kContenders) {
        allOk = allOk && (!compare::Selected(options, contender->name) || p50.MedianOf(contender->name) > 0);
    }
    std::printf("\nMedians of %d round(s); a ratio is the median of the per-round ratios (throughput: higher is "
                "better; latency: lower is better).\n",
                options.rounds);
    return allOk ? 0 : 1;
}

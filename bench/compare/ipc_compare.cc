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

#include "compare_table.h"
#include "ipc_contenders.h"
#include "ipc_drive.h"

namespace {

using compare::Figure;
using compare::Heap;
using compare::IpcContender;
using compare::Unit;

constexpr int kTimeoutSec = 150;

const IpcContender *const kContenders[] = {
    &compare::kZmqIpc,
    &compare::kNngIpc,
    &compare::kRawSeqpacket,
    &compare::kLibraryCarrier,
};

} // namespace

int main(int argc, char **argv) {
    compare::Options options{};
    if (!compare::ParseOptions(argc, argv, 5, options)) {
        return 2;
    }
    const compare::Reference zmq{compare::kZmqIpc.name, "xZeroMQ"};
    const compare::Reference raw{compare::kRawSeqpacket.name, "xraw"};
    std::vector<compare::OneWayFigure> figures = {
        {Figure("Across processes, one way, 64 B (ZeroMQ PAIR, nng pair1), messages/s", Unit::kRate, zmq, raw),
         {64, compare::Scaled(options, 200000, 1000), 1, 1000},
         Heap::kDefault},
        {Figure("Across processes, one way, 4 KiB, messages/s", Unit::kRate, zmq, raw),
         {4096, compare::Scaled(options, 50000, 1000), 1, 1000},
         Heap::kDefault},
        {Figure("Across processes, one way, 1 MiB (raw socket in 64 KiB slices), messages/s", Unit::kRate, zmq, raw),
         {1U << 20, compare::Scaled(options, 1000, 20), 1, 64},
         Heap::kDefault},
    };
    compare::RoundTripFigures trips{
        Figure("Across processes, round trip, 64 B (ZeroMQ REQ/REP, nng req0/rep0), p50", Unit::kMicros, zmq, raw),
        Figure("Across processes, round trip, 64 B, p99", Unit::kMicros, zmq, raw),
        static_cast<uint32_t>(compare::Scaled(options, 20000, 200))};
    std::vector<compare::OneWayContender> oneWay;
    std::vector<compare::RoundTripContender> roundTrip;
    for (const IpcContender *contender : kContenders) {
        oneWay.push_back({contender->name, [contender](const compare::OneWayCase &c) {
                              return compare::RunOneWayAcross(*contender, c);
                          }});
        roundTrip.push_back({contender->name, [contender](uint32_t size, uint32_t count, std::vector<double> &samples) {
                                 return compare::RunRoundTripsAcross(*contender, size, count, samples);
                             }});
    }

    std::printf("\nCross-process comparison: %d round(s), a client process and a forked server per measurement\n",
                options.rounds);
    return compare::RunTable(options, kTimeoutSec, figures, oneWay, trips, roundTrip) ? 0 : 1;
}

// Driving one cross-process measurement inside its child process: a fresh
// directory for the sockets, the server forked from the measuring process,
// and pipes for the hand-shakes: the server's "ready", its result (when the
// last message was handled, and whether all arrived intact), and the
// client's "done" that lets the server tear down.
#ifndef VYRE_BENCH_IPC_DRIVE_H
#define VYRE_BENCH_IPC_DRIVE_H

#include <cstdint>
#include <vector>

#include "ipc_contenders.h"

namespace compare {

// Messages per second from the client's first send (its begin hook) until
// the server handled the last message; negative on failure.
double RunOneWayAcross(const IpcContender &contender, const OneWayCase &c);

// What one one-way run across measured.
struct OneWayFigures {
    double rate;          // messages per second, as RunOneWayAcross
    double latencyP50Us;  // a latency case's median time from sending to handling (0 otherwise)
    double cpuUsPerFrame; // processor time of both processes (all their threads) from the client's begin
                          // and the server's ready to their finish hooks, per message
};

// RunOneWayAcross with all its figures; false on failure.
bool RunOneWayAcrossFigures(const IpcContender &contender, const OneWayCase &c, OneWayFigures &out);

// Times count round trips of size bytes after a warm-up; false on failure.
bool RunRoundTripsAcross(const IpcContender &contender, uint32_t size, uint32_t count, std::vector<double> &samplesUs);

} // namespace compare

#endif

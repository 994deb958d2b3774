// The contenders of the cross-process comparison. Each has a server side,
// run in a forked server process, and a client side, run in the measuring
// process; both reach each other through names under a fresh directory.
//
// Every side gets hooks its driver provides (see ipc_drive.h): a server
// calls ready() once it accepts connections, a one-way client calls begin()
// when it is connected and about to send its first message (the clock
// starts there), and each side calls finish() after its last message and
// before it tears anything down, so that no message still queued in a
// socket is dropped by an early close.
#ifndef VYRE_BENCH_IPC_CONTENDERS_H
#define VYRE_BENCH_IPC_CONTENDERS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "compare_drive.h"

namespace compare {

using Hook = std::function<bool()>;

struct IpcContender {
    const char *name;
    // Receives c.perProducer messages from one client into tally.
    bool (*serveOneWay)(const OneWayCase &c, const std::string &dir, const Hook &ready, const Hook &finish,
                        Tally &tally);
    // Sends c.perProducer stamped messages of c.size bytes.
    bool (*sendOneWay)(const OneWayCase &c, const std::string &dir, const Hook &begin, const Hook &finish);
    // Answers trips requests of size bytes with their own bytes.
    bool (*serveEcho)(uint32_t size, uint32_t trips, const std::string &dir, const Hook &ready, const Hook &finish);
    // Makes warmup untimed and count timed round trips into samplesUs.
    bool (*callEcho)(uint32_t size, uint32_t warmup, uint32_t count, const std::string &dir, const Hook &finish,
                     std::vector<double> &samplesUs);
};

// ZeroMQ ipc://: PAIR one way, REQ/REP round trips.
extern const IpcContender kZmqIpc;
// nng ipc://: pair1 one way, req0/rep0 round trips.
extern const IpcContender kNngIpc;
// A connected SOCK_SEQPACKET pair without any library: one datagram per
// message up to 64 KiB, larger ones in 64 KiB slices reassembled by the
// receiver into one buffer.
extern const IpcContender kRawSeqpacket;
// The library's Unix-socket carrier between process "xcli" and "xsrv".
extern const IpcContender kLibraryCarrier;

} // namespace compare

#endif

// The contenders of the in-process comparison. Each one-way function runs a
// whole OneWayCase with its own threads and returns messages per second
// (negative on failure); each round-trip function times count round trips of
// size bytes (request and echoed answer, both copied) after a warm-up and
// fills samplesUs. Every contender copies the payload once per hop
// (allocation and copy by the sender, release by the receiver), as a
// messaging library that owns its messages has to.
//
// They run inside a measurement's own child process; the library contenders
// join the process under "xbench" and leave it before they return.
#ifndef VYRE_BENCH_INPROC_CONTENDERS_H
#define VYRE_BENCH_INPROC_CONTENDERS_H

#include <cstdint>
#include <vector>

#include "compare_drive.h"

namespace compare {

// Lock-free ring (single- or multi-producer) with a futex-sleeping consumer.
double FloorOneWay(const OneWayCase &c);
// Two threads handing one message back and forth through futex words.
bool FloorRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs);

// The library's in-process layer (queue push and task loop, no routing).
double LayerOneWay(const OneWayCase &c);
// The public OsMsgAsynSend path into one task.
double PublicOneWay(const OneWayCase &c);
// The public OsMsgSynSend to a task that answers with OsMsgSynSendResp.
bool PublicRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs);

// ZeroMQ inproc: PAIR for one producer, PUSH sockets into one PULL for more.
double ZmqOneWay(const OneWayCase &c);
// ZeroMQ inproc REQ/REP.
bool ZmqRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs);

// nng inproc: pair1 for one producer, push0 sockets into one pull0 for more.
double NngOneWay(const OneWayCase &c);
// nng inproc req0/rep0.
bool NngRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs);

} // namespace compare

#endif

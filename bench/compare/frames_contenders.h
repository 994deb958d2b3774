// The contenders of the frames comparison: large payloads passed by
// reference. The cross-process ones are IpcContenders (ipc_contenders.h),
// driven by ipc_drive.h in a client and a forked server; the library's run
// in one process. Every frame's first 8 bytes carry its stamp (producer and
// sequence number), written by the sender into the frame it hands over, and
// the receiver checks them: no contender touches the rest of a frame, so the
// figures compare what passing a frame costs, not copying it.
//
// A round trip is a frame there and an 8-byte answer (the frame's stamp)
// back.
#ifndef VYRE_BENCH_FRAMES_CONTENDERS_H
#define VYRE_BENCH_FRAMES_CONTENDERS_H

#include <cstdint>
#include <vector>

#include "compare_drive.h"
#include "ipc_contenders.h"

namespace compare {

// The floor between processes: frames in memory files made and passed once
// with SCM_RIGHTS over a SOCK_SEQPACKET pair, mapped once by the receiver;
// per frame one datagram naming it and one back giving it back.
extern const IpcContender kFramesFloor;

// iceoryx: its daemon started and stopped by the server for each
// measurement, a publisher loaning chunks and a subscriber taking them.
// Built only when its development packages are installed.
extern const IpcContender kFramesIceoryx;
extern const bool kFramesIceoryxBuilt;

// The library between two processes through shared buffers: a buffer of
// the client's pool per frame, read in place by the server.
extern const IpcContender kFramesLibraryShared;

// Frames of size bytes that the library's client pool holds (at least 24;
// its limit comes in whole MiB), and the MiB of that limit. iceoryx's pool
// holds as many, so that both have as many frames on their way.
uint32_t FramesInFlight(uint32_t size);
uint32_t FramesPoolMegabytes(uint32_t size);

// The library within one process, through shared buffers
// (OsMsgAsynSendBuf; OsMsgSynSendBuf for round trips) ...
double LibrarySharedOneWay(const OneWayCase &c);
bool LibrarySharedRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs);
// ... and with copies (OsMsgAsynSend, OsMsgSynSend), which stop at
// OS_MSG_MAX_DATA_LEN: larger frames fail.
double LibraryCopiedOneWay(const OneWayCase &c);
bool LibraryCopiedRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs);

} // namespace compare

#endif

// Messages over a connected SOCK_SEQPACKET socket without any library, as
// the floor of the cross-process comparison sends them: a message of up to
// 64 KiB is one datagram, a larger one travels in 64 KiB slices, each with
// an 8-byte slice header (message length, offset). The receiver hands out
// whole messages in one malloc'd buffer each, as a library must: the first
// datagram lands in a stack buffer (the length is not known before it) and
// is copied, every further slice lands in place.
//
// One thread per direction of a socket; blocking sockets, so the kernel's
// buffer limits provide the back-pressure.
#ifndef VYRE_BENCH_SEQPACKET_SLICES_H
#define VYRE_BENCH_SEQPACKET_SLICES_H

#include <cstdint>

namespace compare {

constexpr uint32_t kSlice = 64U * 1024U;

// Sends len bytes at data as one message; false when a send failed.
bool SendSliced(int fd, const char *data, uint32_t len);

// Receives one whole message into a new buffer that the caller frees, and
// its length; nullptr when the stream broke or a slice does not continue
// the message (wrong offset, another length, more bytes than announced).
char *ReceiveSliced(int fd, uint32_t &len);

} // namespace compare

#endif

/*
 * MsgMonotonicNs: nanoseconds of the monotonic clock (the clock
 * OsGetSysRunTime reads in milliseconds), for the library's own short
 * timings: callback times, how long a yield took, when a peer last sent.
 * Thread safety: none needed.
 */
#ifndef VYRE_MSG_MONOTONIC_H
#define VYRE_MSG_MONOTONIC_H

#include <stdint.h>
#include <time.h>

static inline uint64_t MsgMonotonicNs(void) {
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000000000ULL + (uint64_t)now.tv_nsec;
}

#endif /* VYRE_MSG_MONOTONIC_H */

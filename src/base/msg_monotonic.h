/*
 * MsgMonotonicNs: nanoseconds of the monotonic clock (the clock
 * OsGetSysRunTime reads in milliseconds), for the library's own short
 * timings: callback times, how long a yield took, when a peer last sent,
 * and the deadlines of waits for room.
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

/* Milliseconds left until endNs on the same clock, rounded up, 0 once it
 * has passed: a wait measured this way never ends before its deadline, as
 * a difference of two whole-millisecond readings can by almost 1 ms. */
static inline uint32_t MsgMsLeft(uint64_t endNs) {
    uint64_t now = MsgMonotonicNs();
    return now >= endNs ? 0U : (uint32_t)((endNs - now + 999999ULL) / 1000000ULL);
}

#endif /* VYRE_MSG_MONOTONIC_H */

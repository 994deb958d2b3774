/*
 * The clock of the callback times: nanoseconds on the monotonic clock's
 * scale, read once per handled message, so its cost counts.
 *
 * On x86-64 a reading is the processor's time-stamp counter (which current
 * processors run at a constant rate, synchronised over the cores, and which
 * the kernel's own clocks build on) scaled to nanoseconds and anchored to a
 * reading of the monotonic clock: it costs a third of a monotonic clock read
 * in a virtual machine. The counter's rate is learned from the monotonic
 * clock itself: readings come from that clock until SIMPLE_MSG_CLOCK_LEARN_NS
 * have passed since the first one, then from the counter, unless the counter
 * did not advance at a plausible rate meanwhile. Elsewhere every reading
 * comes from the monotonic clock.
 *
 * Thread safety: any thread; the rate is published once, atomically.
 */
#ifndef VYRE_SIMPLE_MSG_CLOCK_H
#define VYRE_SIMPLE_MSG_CLOCK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How long the x86-64 counter's rate is measured before it is used. */
#define SIMPLE_MSG_CLOCK_LEARN_NS 2000000U

/* Nanoseconds on the monotonic clock's scale, to within the counter's
 * measured rate (a few parts in a hundred thousand). Around the switch to
 * the counter a reading may lie a fraction of a microsecond before an
 * earlier one: callers clamp differences at 0. */
uint64_t SimpleMsgClockNs(void);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SIMPLE_MSG_CLOCK_H */

/*
 * The clock of the callback times. A callback is timed with one reading
 * before it and one after it, on every handled message, so the readings'
 * cost counts on the message path.
 *
 * On x86-64 a reading is the processor's time-stamp counter (constant rate
 * and synchronised over the cores on current processors; the kernel's own
 * clocks build on it), which costs about a third of a monotonic clock read
 * in a virtual machine. Its rate is learned from the monotonic clock, from
 * pairs of readings taken close together, over at least
 * SIMPLE_MSG_CLOCK_LEARN_NS; until then SimpleMsgClockReady() is false and
 * callers use the monotonic clock (MsgMonotonicNs, base/msg_monotonic.h).
 * Elsewhere it is never ready.
 *
 * Spans convert to nanoseconds with the learned rate (to a few parts in ten
 * thousand), which is enough for statistics. A span that must be exact in
 * milliseconds on the monotonic clock (the slow-handling record) is
 * converted with SimpleMsgClockExactMs, which measures the rate again over
 * the whole time since the first pair: for spans of a second or more that
 * is exact to microseconds.
 *
 * Thread safety: any thread; the rate and its anchor pair are published
 * once (release), and read after the rate (acquire).
 */
#ifndef VYRE_SIMPLE_MSG_CLOCK_H
#define VYRE_SIMPLE_MSG_CLOCK_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How long the counter's rate is measured before it is used. */
#define SIMPLE_MSG_CLOCK_LEARN_NS 2000000U

/* true once counter readings can be converted; also moves the learning on
 * (a few clock reads while it is not ready). */
bool SimpleMsgClockReady(void);

/* A counter reading; only meaningful once SimpleMsgClockReady(). */
uint64_t SimpleMsgClockTicks(void);

/* Nanoseconds between two counter readings, with the learned rate; 0 when
 * end is not after start (a thread moved between unsynchronised cores). */
uint64_t SimpleMsgClockSpanNs(uint64_t start, uint64_t end);

/* Milliseconds of the monotonic clock at two counter readings taken since
 * the clock became ready, computed back from a fresh monotonic reading
 * with the rate measured over the time since the anchor pair. */
void SimpleMsgClockExactMs(uint64_t start, uint64_t end, uint32_t *startMs, uint32_t *endMs);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SIMPLE_MSG_CLOCK_H */

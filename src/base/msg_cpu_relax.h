/*
 * The steps of the library's speculative waits: the bounded polls and looks
 * with which a thread waits a little for work before it sleeps.
 *
 * MsgCpuRelax: one step of a busy wait. Tells the processor that the thread
 * spins (a pause on x86, a yield hint on AArch64), which frees the core's
 * shared resources for its sibling and eases the exit from the loop.
 *
 * MsgYieldFoundWork: one step that gives the processor away, and says
 * whether another thread ran meanwhile. A yield that finds nobody else to
 * run returns within about a microsecond; one that took longer than
 * MSG_TUNE_YIELD_SHARED_NS let a thread with work run, so the processor is
 * shared. The wait then stops and sleeps: its turns would only delay the
 * threads that have work, and the thread it waits for may be one of them
 * (four threads take part in a round trip between two processes, and a
 * small machine has fewer processors).
 *
 * Thread safety: none needed.
 */
#ifndef VYRE_MSG_CPU_RELAX_H
#define VYRE_MSG_CPU_RELAX_H

#include <sched.h>
#include <stdint.h>

#include "base/msg_monotonic.h"
#include "base/msg_tunables.h"

static inline void MsgCpuRelax(void) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}

/* Yields once; nonzero when another thread ran meanwhile. */
static inline int MsgYieldFoundWork(void) {
    uint64_t start = MsgMonotonicNs();
    (void)sched_yield();
    return MsgMonotonicNs() - start > MSG_TUNE_YIELD_SHARED_NS;
}

#endif /* VYRE_MSG_CPU_RELAX_H */

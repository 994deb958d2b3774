/*
 * MsgCpuRelax: one step of a busy wait. Tells the processor that the thread
 * spins (a pause on x86, a yield hint on AArch64), which frees the core's
 * shared resources for its sibling and eases the exit from the loop. Used
 * by the bounded polls before a thread sleeps. Thread safety: none needed.
 */
#ifndef VYRE_MSG_CPU_RELAX_H
#define VYRE_MSG_CPU_RELAX_H

static inline void MsgCpuRelax(void) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}

#endif /* VYRE_MSG_CPU_RELAX_H */

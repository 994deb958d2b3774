/*
 * Holds: a receiver keeps a shared buffer past its callback. Each hold is one
 * more reference to the buffer, charged to an account: the task whose thread
 * made it (its statistics, and its byte bound, count the buffer until it is
 * released), or no task for a thread that is none. A release gives back one
 * hold of the buffer: the releasing thread's task's when it has one, else one
 * charged to no task, else the oldest. So the buffer's count is always exact,
 * and a task's count is exact as long as each task releases its own holds (a
 * helper thread that releases for several tasks holding the same buffer
 * discharges them oldest first).
 *
 * Thread safety: every function takes the pool lock (sbuf_pool.h) and may be
 * called from any thread; the caller may hold simpleQueueLock, which keeps
 * the account alive. An account's words are read without the pool lock by
 * statistics and by the byte bound (relaxed atomics, each word exact).
 */
#ifndef VYRE_SBUF_HOLD_H
#define VYRE_SBUF_HOLD_H

#include <stdint.h>

/* What a task holds, and what it sent that other processes still hold:
 * written under the pool lock, read atomically. */
typedef struct SbufAccount {
    uint64_t bytes;   /* sizes of the buffers held */
    uint32_t buffers; /* holds */
    uint32_t lent;    /* references its sends lent to other processes and not yet given back (sbuf_share.h) */
} SbufAccount;

#ifdef __cplusplus
extern "C" {
#endif

/* Adds a hold of the buffer that data lies in, charged to account (NULL: no
 * task). 0; 0x80020001 (data is in no buffer in use); 0x80020020 (no memory
 * for the record of the task's first hold of this buffer). */
uint32_t SbufHoldRef(const void *data, SbufAccount *account);

/* Gives back one hold of the buffer that data lies in (see above for which);
 * preferred is the releasing thread's task's account, or NULL. 0; 0x80020001
 * (data is in no buffer in use, or the buffer has no hold). */
uint32_t SbufReleaseRef(const void *data, SbufAccount *preferred);

/* The account's task is going: its holds stay (the buffers stay valid until
 * released), and so do the references its sends lent to other processes,
 * but both are charged to no task from now on. */
void SbufForgetAccount(SbufAccount *account);

/* The account's figures now. */
uint32_t SbufAccountBuffers(const SbufAccount *account);
uint64_t SbufAccountBytes(const SbufAccount *account);
uint32_t SbufAccountLent(const SbufAccount *account);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SBUF_HOLD_H */

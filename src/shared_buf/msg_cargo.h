/*
 * What rides with a message beside its header and payload: a reference to a
 * shared buffer that the payload lies in, descriptors, or both. Ordinary
 * messages have none, and pay nothing for it: a queue node has one word for
 * the cargo (in what was the padding of its slot), NULL for them.
 *
 * A cargo belongs to exactly one holder at a time: the sending call while it
 * routes the message, the queue node once pushed, the receiving task's loop
 * while the callback runs (msg_delivery.h), and is released once, which
 * closes the descriptors nobody took and drops the buffer reference.
 *
 * Thread safety: a cargo is used by its one holder; MsgCargoRelease and
 * MsgCargoShare may run on any thread (the buffer's reference count is
 * guarded by the pool lock); the count of descriptors cargos hold is an
 * atomic.
 *
 * Descriptors that wait in cargos (queued for a task, held back by the
 * carrier, in a callback that has not taken them) share the process's
 * descriptor table with everything else it opens: past a quarter of its
 * limit (MsgCargoFdsCrowded), tasks refuse further messages with descriptors
 * (not those the carrier already holds back) and the carrier stops reading
 * the connections that bring them, until the tasks have worked the count
 * down to half (MsgCargoFdsEased). A slow task then holds back its senders
 * rather than leave its process without descriptors.
 */
#ifndef VYRE_MSG_CARGO_H
#define VYRE_MSG_CARGO_H

#include <stdint.h>

#include "shared_buf/sbuf_pool.h"
#include "vyre_os_msg.h"

/* A broadcast request whose one event's data is the cargo's buffer: the
 * broadcast task hands each subscriber a reference of its own. The request's
 * own payload (the packed request) is an ordinary copy beside it. */
#define MSG_CARGO_BROADCAST 0x1U
/* Held back by the carrier, its descriptors already in the process: a queue
 * takes it however many descriptors wait, since refusing it frees none, and
 * held-back messages whose descriptors alone pass the bound would otherwise
 * never move. */
#define MSG_CARGO_HELD_BACK 0x2U

typedef struct MsgCargo {
    SbufBlock *buf;   /* the message's reference, or NULL (a copied payload) */
    uint8_t *data;    /* the payload inside buf */
    uint32_t dataLen; /* its length */
    uint32_t flags;   /* MSG_CARGO_* */
    uint32_t fdCount; /* descriptors in fds; taken ones are -1 */
    int fds[OS_MSG_MAX_FDS];
} MsgCargo;

#ifdef __cplusplus
extern "C" {
#endif

/* A new cargo with buf's reference (which it takes over; NULL for none) for
 * the len bytes at data, and no descriptors. NULL when no memory (the
 * reference then stays the caller's). */
MsgCargo *MsgCargoNew(SbufBlock *buf, const void *data, uint32_t len);

/* Adds close-on-exec duplicates of fds[0..count) (count at most
 * OS_MSG_MAX_FDS in all); the caller keeps its own. 0; 0x80020001 (a
 * descriptor is not open, or too many); 0x8002000d (no descriptor number
 * left). On failure none is added. */
uint32_t MsgCargoAddFds(MsgCargo *cargo, const int *fds, uint32_t count);

/* Sets the cargo's count to count descriptors, which the caller has put in
 * fds, and counts those that are open as held. */
void MsgCargoAdoptFds(MsgCargo *cargo, uint32_t count);

/* Descriptors that cargos hold now. */
uint32_t MsgCargoFdsHeld(void);
/* The most descriptors cargos may hold before tasks refuse more: a
 * MSG_TUNE_WAITING_FDS_SHARE-th of the soft descriptor limit, at least
 * MSG_TUNE_WAITING_FDS_MIN (no bound without a limit). */
uint32_t MsgCargoFdsBound(void);
/* What the lines that tell of crowding descriptors say helps. */
#define MSG_CARGO_FDS_HELP "tasks that take or close them sooner, or a higher RLIMIT_NOFILE, help"
/* True when cargos hold more descriptors than MsgCargoFdsBound. */
bool MsgCargoFdsCrowded(void);
/* True when they hold at most half of it again. */
bool MsgCargoFdsEased(void);

/* A cargo for one more receiver of the same buffer and data (no
 * descriptors): a new reference. NULL when no memory. */
MsgCargo *MsgCargoShare(const MsgCargo *cargo);

/* True when the message's payload is the cargo's shared buffer itself (not
 * copied, not released as a copy); false for a copied payload beside the
 * cargo. */
static inline bool MsgCargoIsPayload(const MsgCargo *cargo) {
    return cargo != NULL && cargo->buf != NULL && (cargo->flags & MSG_CARGO_BROADCAST) == 0U;
}

/* What a task's byte bound is charged for the message: the buffer's size, or
 * copyLen for a copied payload. */
uint32_t MsgCargoBytes(const MsgCargo *cargo, uint32_t copyLen);

/* Descriptor index of the cargo, passing it to the caller: the descriptor,
 * or -1 when there is none at index or it was taken. */
int MsgCargoTakeFd(MsgCargo *cargo, uint32_t index);
/* Descriptors still to be taken. */
uint32_t MsgCargoFdsLeft(const MsgCargo *cargo);

/* Releases a cargo (NULL is ignored): closes its descriptors, drops its
 * buffer reference, frees the record. */
void MsgCargoRelease(MsgCargo *cargo);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_CARGO_H */

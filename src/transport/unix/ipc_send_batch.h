/*
 * Datagram batching of the socket carrier: small asynchronous messages sent
 * to one peer in quick succession share datagrams, so a sender that streams
 * pays one system call per batch rather than per message.
 *
 * A message goes alone when its sender is not streaming: when nothing is
 * batched for the peer and its last asynchronous send (or the moment the
 * batch sender found nothing more for it) is longer ago than
 * MSG_TUNE_BATCH_BURST_NS (base/msg_tunables.h), the sending thread sends it at once (the lowest
 * latency). Otherwise it is copied into the peer's batch and the batch
 * sender, one thread per process, sends the batch as one datagram as soon
 * as it can; meanwhile further messages join the next batch. Synchronous
 * requests, responses and payloads above IPC_BATCH_RECORD_MAX always go
 * alone, after whatever is batched for the same peer, so one thread's
 * messages keep their order. All records of a batch come from this process,
 * so the kernel credentials of the datagram hold for each of them.
 *
 * A message lending a shared buffer joins a batch under the same rule when
 * its datagram needs no descriptor (ipc_cargo_send.h). Its record names the
 * buffer by a reference id of the share of the link it was lent on, an id
 * that means nothing on another link of the peer; so a batch remembers that
 * link (holding a reference to it) and holds buffers lent on that one link
 * only. When the batch goes out on another link (the peer restarted) or
 * not at all (the peer is gone, the carrier closes), its lent buffers go
 * back to their share and their messages are dropped, the others going as
 * before. Each reference thus comes back exactly once: from the peer once
 * the batch reached it, or from here.
 *
 * The batch sender never waits for one peer while others' batches wait: a
 * batch whose peer's socket is full stays with the peer, and the sender
 * serves the others and comes back to it when its socket has room (it
 * sleeps on its wake-up counter and the sockets of such peers together). A
 * message that finds the batch full sends it itself first, waiting for room
 * at most its own bound, and then starts the next batch.
 *
 * Each peer has at most two batch buffers: the one being filled (pend,
 * under pendLock) and the one being sent (spare, under the peer's lock);
 * the swap takes both locks. A buffer that cannot be allocated sends the
 * message alone; nothing is lost or leaked.
 *
 * Thread safety. Appends take the peer's pendLock only (an append with a
 * lent buffer also holds the peer's lock, as its lend needs the link); the
 * batch sender takes the peer's lock and, inside it, pendLock for the swap
 * of the batch; its own list of peers is guarded by a leaf lock taken after
 * pendLock. Lent buffers are given back under the peer's lock (the pool
 * lock is taken after it, as a lend does). No callback runs and nothing is
 * logged under these locks except the notices of dropped messages.
 */
#ifndef VYRE_IPC_SEND_BATCH_H
#define VYRE_IPC_SEND_BATCH_H

#include <stdint.h>

#include "transport/unix/ipc_cargo_frame.h"
#include "transport/unix/ipc_peer_cache.h"
#include "transport/unix/ipc_send_room.h"
#include "vyre_os_msg.h"

/* Bytes of one batch: the largest batched datagram. */
#define IPC_BATCH_BYTES (64U * 1024U)
/* Largest record (header and payload) that joins a batch. */
#define IPC_BATCH_RECORD_MAX (8U * 1024U)

/* Starts the batch sender. 0; 0x8002001f when its thread cannot start. */
uint32_t IpcBatchStart(void);

/* Sends what it can of every batch still waiting (without waiting for
 * room), then ends the batch sender. */
void IpcBatchStop(void);

/* Result of IpcBatchAppend. */
enum IpcBatchResult {
    IPC_BATCH_TAKEN, /* copied into the peer's batch */
    IPC_BATCH_ALONE, /* not batched: the caller sends it alone */
    IPC_BATCH_FULL,  /* the batch is full: the caller flushes, then tries again */
};

/* Copies one asynchronous message (its header already stamped for the wire)
 * into peer's batch when its sender is streaming or a batch is waiting and
 * the slot still has generation gen (IPC_BATCH_ALONE otherwise: the caller
 * looks again under the slot's lock). */
IpcBatchResult IpcBatchAppend(IpcPeer *peer, uint32_t gen, uint32_t transType, const MsgHead *wire, const void *data);

/* Copies one asynchronous message lending a shared buffer, whose datagram
 * needs no descriptor, into peer's batch under the rule of IpcBatchAppend;
 * peer's lock is held, link is its link and desc names the buffer lent on
 * it. IPC_BATCH_ALONE also when the batch holds buffers lent on an earlier
 * link of the peer. Once taken, the reference is the batch's: it reaches
 * the peer with the batch, or goes back to link's share when the batch is
 * dropped. */
IpcBatchResult IpcBatchAppendCargo(IpcPeer *peer, IpcLink *link, uint32_t transType, const MsgHead *wire,
                                   const IpcCargoDesc *desc);

/* Sends what is batched for peer (the batch taken earlier, then the one
 * being filled) on link, its link, with peer's lock held, released while
 * waiting for room within budget. IPC_SEND_OK when all went (or there was
 * nothing); IPC_SEND_FULL when the budget ran out (what is left stays
 * batched, in order); IPC_SEND_BROKEN when the link broke or the slot
 * dropped it meanwhile. */
IpcSendResult IpcBatchFlush(IpcPeer *peer, IpcLink *link, IpcSendBudget &budget);

/* True when nothing is batched for peer (its lock held). */
bool IpcBatchIdle(IpcPeer *peer);

/* Drops both of peer's batches (its lock and pendLock held), giving the
 * buffers lent in them back. */
void IpcBatchDropLocked(IpcPeer *peer);

#endif /* VYRE_IPC_SEND_BATCH_H */

/*
 * The subscriptions a process keeps for publishers in other processes.
 *
 * A subscription lives in the publisher's process, whose broadcast task
 * fans its events out; a publisher that restarts starts with an empty
 * table. So the subscribing process keeps every entry it sent to another
 * process and sends the publisher's entries again each time that process
 * joins the run directory (the presence watch reports it, see
 * ipc_presence.h): a publisher's restart loses no subscriber, and a
 * subscription to a publisher that does not run yet is accepted and takes
 * effect when it joins. An unsubscription removes the
 * matching entries from what is kept as well as from the publisher's table.
 * Entries whose subscribing task is gone are forgotten when they would be
 * sent again.
 *
 * Subscriptions to the own process, and to the reserved process "pmsg" (the
 * events the library publishes in every process, such as "process joined"),
 * go to the own broadcast task and are not kept.
 *
 * Bounds: at most OS_MSG_SUB_KEPT_MAX entries are kept (a request that would
 * pass it is refused whole with 0x8002000c, nothing sent); the array grows
 * on demand and is given back when the carrier closes.
 *
 * Thread safety: g_ipcSubLock (in the .cc) guards the kept entries and is
 * held across the sends of subscription requests to other processes, the
 * application's and the presence thread's, so that each publisher gets them
 * in the order they were made (a new unsubscription never overtaken by an
 * older entry sent again). It is taken before the peer cache's locks and
 * never inside them; its sends wait for room as asynchronous sends do
 * (MSG_TUNE_SEND_ROOM_WAIT_MS while the receiver makes none).
 */
#ifndef VYRE_IPC_SUB_KEEPER_H
#define VYRE_IPC_SUB_KEEPER_H

#include <stdint.h>

#include "vyre_os_msg.h"

/* Routes the subscription request head (MSG_ID_SUBSCRIBE for the own
 * broadcast task, as the event requests build it): the entries for this
 * process and for "pmsg" go to the own broadcast task, those of each other
 * publisher process go to it as a request of their own and are kept (op 1)
 * or removed from what is kept (op 0). Each entry travels with its
 * subscribing task named in subTaskName. 0 (also when a publisher does not
 * run: its entries go when it joins); 0x8002000c when the kept entries would
 * pass OS_MSG_SUB_KEPT_MAX or memory for them is short (nothing sent);
 * 0x80020007 when a publisher's socket stayed full; 0x80020020; the own
 * delivery's codes. The caller keeps head. */
uint32_t IpcSubKeeperSend(MsgHead *head);

/* Sends process procName the entries kept for it, as one subscription
 * request (a process that just joined). Presence thread. */
void IpcSubKeeperResend(const char *procName);

/* Forgets every kept entry and gives the array back (the carrier closes). */
void IpcSubKeeperClear(void);

/* Entries kept now. */
uint32_t IpcSubKeeperCount(void);

#endif /* VYRE_IPC_SUB_KEEPER_H */

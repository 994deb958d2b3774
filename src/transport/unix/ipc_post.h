/*
 * Posts: messages that lend a shared buffer, carried on the post ring of
 * the connection's release lane (shared_buf/sbuf_lane.h) instead of in a
 * datagram. A stream of frames to a receiver that keeps up thus costs no
 * system call on either side: the sender writes a record into shared
 * memory, and the receive thread, which looks at the rings between its
 * waits and for a while after each post while posts keep coming, takes it
 * from there.
 *
 * What is posted. An asynchronous message, event or request that lends a
 * buffer of a segment the receiver was told of, with no descriptor, to a
 * peer whose batch is empty, once the receiver has opened the ring;
 * anything else (answers among it), and whatever finds the ring full, goes
 * by datagram as before. A posted request is answered on its connection as
 * one that came by datagram.
 *
 * Order. One thread's messages to one process keep their order across the
 * two roads: each post is tagged with the number of datagrams sent on the
 * connection before it (counted once each is in the socket), and the
 * receive thread takes a post only once it has read that many datagrams
 * from the connection; before it reads each datagram it takes the posts
 * that came before it. A post is only made while nothing is batched for
 * the peer, so no datagram that the batch sender sends later can hold a
 * message sent before the post.
 *
 * Waking. Before the receive thread sleeps it arms each ring's bell; a
 * sender whose post finds the bell armed wakes it. The receiver passes each
 * sender whose ring it opens its bell: a wake-up counter (one per process,
 * watched by the receive loop and never read, so a ring costs the receiver
 * no system call of its own), which the sender checks is one before it
 * keeps it. The sender rings it by writing 0, which wakes the watcher but
 * can never wait: the counter is shared with its owner, who could fill it
 * and make it blocking, and a ring made under the peer's lock must not
 * hang there. The owner keeps it readable for the wakes to be reported; an
 * owner that reads its own bell only loses its own wakes. Before the bell
 * came, the sender sends a bell record (a share record of kind
 * IPC_SHARE_POSTED) on the connection instead, whose datagram wakes the
 * thread; a record that finds the socket full is not needed: the receiver
 * has datagrams to read, and reads the ring after them.
 *
 * Faults. A post is a record like a datagram's and gets the same checks
 * (only a message record lending a buffer is taken from a ring); its
 * credentials are the connection's, as the kernel gave them when it was
 * accepted. A ring whose counts cannot be true is read no more. A
 * receiver that dies leaves its posts unread, and its references come back
 * when its connection closes, as for a datagram it never read; when the
 * sender's connection ends, what it posted is read before it closes.
 *
 * Thread safety: IpcPostCargo runs on a sending thread with the peer's lock
 * held (which serialises the posts on a link); the rest on the receive
 * thread alone, which owns the list of links with rings.
 */
#ifndef VYRE_IPC_POST_H
#define VYRE_IPC_POST_H

#include <stdint.h>

#include "shared_buf/sbuf_share.h"
#include "transport/unix/ipc_cargo_frame.h"
#include "transport/unix/ipc_link.h"
#include "transport/unix/ipc_peer_cache.h"

/* Posts the message wire (its header stamped for the wire) lending the
 * buffer of desc on link, peer's link, whose share is share (peer's lock
 * held), and wakes the receiver when it sleeps. False when it is not to be
 * posted (see above): the caller sends it by datagram. */
bool IpcPostCargo(IpcPeer *peer, IpcLink *link, SbufShare *share, uint32_t transType, const MsgHead *wire,
                  const IpcCargoDesc *desc);

/* Opens the bell peers ring, watched by poller: the carrier's open, before
 * the receive thread starts. 0 or -errno. */
int IpcPostOpenBell(int poller);

/* True when tag is the bell's: nothing to do for it, as the receive loop
 * reads the rings after every wait. */
bool IpcPostIsBell(const void *tag);

/* Closes the bell: the carrier's close, once the receive thread ended (with
 * the poller), or a forked child (poller -1: the descriptor only). */
void IpcPostCloseBell(int poller);

/* The receiver mapped the peer's lane on accepted link: its post ring is
 * opened and read from now on, and the peer is passed the bell. */
void IpcPostOpen(IpcLink *link, SbufLane *lane);

/* The link closes (before its share does): its ring is read no more. */
void IpcPostForget(IpcLink *link);

/* Hands link's posts to its queues: those whose datagrams were read, at
 * most a burst of them, while the link is read; with all set, every post
 * left (the peer closed, everything it sent by datagram was read). The
 * number handed over. */
uint32_t IpcPostDrain(IpcLink *link, bool all);

/* IpcPostDrain for every link with a ring (IpcPostTakeHanded counts what
 * it handed over). */
void IpcPostPoll(void);

/* Before the receive thread sleeps: arms every ring's bell, then hands over
 * what was posted meanwhile; the number handed over (the thread then does
 * not sleep). */
uint32_t IpcPostArm(void);

/* Posts handed over since the last call. */
uint32_t IpcPostTakeHanded(void);

#endif /* VYRE_IPC_POST_H */

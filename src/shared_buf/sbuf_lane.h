/*
 * A release lane: a ring of reference ids in shared memory, one per
 * connection that carries shared buffers, on which the receiver of the
 * buffers gives their references back to their owner without a message
 * and without waking it. The owner makes the lane (a sealed memory file of
 * its own, sbuf_sys.h), maps it and passes it with its first lent buffer;
 * the receiver maps it too and pushes the ids of the references it is done
 * with; the owner takes them when it needs its buffers: when a size has no
 * free block left, before it reports figures, and when the receiver asks it
 * to (below).
 *
 * Waking the owner. While an allocation of the owner waits for buffers to
 * come back, the owner writes into the lane's wait word how many ids it
 * waits for. A receiver that pushes an id and then finds at least that
 * many waiting on the lane sends the owner a message (the carrier's drain
 * notice), which wakes it, once until the owner looks at the lane again
 * (the lane's asked word). An owner streaming frames to a slower receiver
 * thus asks for several at a time, and is woken once per batch rather than
 * once per frame. Pushes, the wait word and the asked word are
 * sequentially consistent on both sides, so either the receiver sees the
 * wait word (and a cleared asked word) or the owner, looking at the lane
 * after writing the word (and clearing the asked one), sees the id.
 *
 * Neither side trusts the other's words: the receiver keeps its own count
 * of ids pushed and the owner its own of ids taken; a count read from the
 * lane that cannot be true makes the lane full (receiver: it gives ids back
 * by message instead) or broken (owner: it stops reading it, and the
 * references stay lent until the connection closes, as with a peer that
 * never gives anything back). Ids read from the lane are checked against
 * the owner's table of lent references like ids that came by message.
 *
 * The post ring. The same memory carries small records the other way, from
 * the owner to the receiver: a carrier posts there the messages that lend
 * a buffer the receiver already knows, so that a stream of frames needs no
 * system call while the receiver keeps up. Each record has a tag the
 * carrier gives it (its order against the connection's datagrams). The
 * receiver opens the ring once it has mapped the lane; the owner posts
 * only into an open ring. Before the receiver sleeps it arms the ring's
 * bell; the owner that posts next clears it and wakes the receiver (the
 * carrier writes the receiver's wake-up counter, or sends a datagram).
 * Posted counts and the bell are sequentially
 * consistent on both sides, so either the receiver sees the record after
 * arming, or the owner sees the bell. The receiver checks what it reads as
 * it checks the ids: a count or length that cannot be true breaks the ring
 * (it is read no more), and a record is copied out before it is looked at.
 *
 * Thread safety: a lane has one pushing process and one taking process;
 * within each, the caller serialises the calls on a lane (the pool lock).
 * The post ring has one posting and one reading thread at a time: the owner
 * posts under the pool lock (SbufSharePost), the receiver reads it on its
 * receive thread alone.
 * The memory is shared with another process, so every word of it is read
 * and written with atomic operations.
 */
#ifndef VYRE_SBUF_LANE_H
#define VYRE_SBUF_LANE_H

#include <stdint.h>

typedef struct SbufLane SbufLane;

/* The first word of a lane, written by its owner ("vrl1"), and where the
 * number of slots follows it. */
#define SBUF_LANE_MAGIC 0x76726c31U
#define SBUF_LANE_SLOTS_AT 4U

/* Largest record the post ring carries; the buffers given to
 * SbufLanePost and SbufLanePeekPost hold this many bytes, 8-byte aligned. */
#define SBUF_POST_RECORD_MAX 248U

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes and slots of the lanes this process makes. */
uint32_t SbufLaneBytes(void);
uint32_t SbufLaneSlots(void);

/* The owner's new lane, with *fd its memory file (readable and writable,
 * sealed; the caller closes it once the peer has it). NULL (errno set) when
 * it cannot be made. */
SbufLane *SbufLaneCreate(int *fd);

/* The receiver's mapping of a lane the peer passed as fd (closed here in
 * any case), announced as bytes bytes of slots slots. NULL with *why when
 * it is not a sound lane. */
SbufLane *SbufLaneMap(int fd, uint32_t bytes, uint32_t slots, const char **why);

/* Unmaps and frees lane (NULL: nothing). */
void SbufLaneFree(SbufLane *lane);

/* Receiver: pushes id; false when the lane is full. */
bool SbufLanePush(SbufLane *lane, uint32_t id);

/* Receiver, after pushes: true when the owner waits for as many ids as now
 * wait on the lane and must be told to look at it, which it has not been
 * since it last looked; the caller then tells it. */
bool SbufLaneAskDrain(SbufLane *lane);

/* Owner: moves up to max ids pushed since the last take to ids; the number
 * moved. *broken is set when the lane's count cannot be true (the lane is
 * then never read again). */
uint32_t SbufLaneTake(SbufLane *lane, uint32_t *ids, uint32_t max, bool *broken);

/* Owner: waits for wants ids pushed since its last take before it is told
 * to look (0: it does not wait). */
void SbufLaneSetWaiting(SbufLane *lane, uint32_t wants);

/* Receiver: opens the post ring (the owner posts from now on) and arms its
 * bell. */
void SbufLaneOpenPost(SbufLane *lane);

/* Owner: posts the len bytes at rec (at most SBUF_POST_RECORD_MAX) with
 * tag; false when the ring is not open or full. *ring is set when the
 * receiver armed the bell: the caller wakes it. */
bool SbufLanePost(SbufLane *lane, const void *rec, uint32_t len, uint32_t tag, bool *ring);

/* Receiver: copies the oldest record not taken to out, with its tag; its
 * length, 0 when none waits or the ring is broken. */
uint32_t SbufLanePeekPost(SbufLane *lane, uint8_t *out, uint32_t *tag);

/* Receiver: the record SbufLanePeekPost gave is taken. */
void SbufLaneTakePost(SbufLane *lane);

/* Receiver, before it sleeps: arms the bell; true when a record waits
 * already (it need not sleep). */
bool SbufLaneArmPost(SbufLane *lane);

/* Receiver: true once the ring's counts or a length could not be true. */
bool SbufLanePostBroken(const SbufLane *lane);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SBUF_LANE_H */

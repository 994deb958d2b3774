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
 * Thread safety: a lane has one pushing process and one taking process;
 * within each, the caller serialises the calls on a lane (the pool lock).
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

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SBUF_LANE_H */

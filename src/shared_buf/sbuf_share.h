/*
 * What this process shares with another over one connection: a share. A
 * carrier makes one per connection that carries shared buffers and closes
 * it when the connection closes, for whatever reason. A share has two
 * sides, one per direction of the buffers:
 *
 *   lent    the references this process lent the peer, one per message
 *           that carried one of its buffers, each under a reference id of
 *           the share (the lent table), and which of its segments the peer
 *           was told of. A reference goes back to the pool when the peer
 *           gives its id back, or when the connection closes (a peer that
 *           died holds nothing);
 *   mapped  the peer's segments this process mapped (sbuf_mapping.h) and
 *           the reference ids it owes the peer: those of blocks whose last
 *           local reference went.
 *
 * Giving references back. The owner of the buffers makes a release lane
 * per share (sbuf_lane.h) and passes it with its first lent buffer; once the
 * receiver has it, the receiver pushes the ids of the references it is done
 * with there, without a message and without waking the owner. The owner
 * takes them when it needs them (SbufShareCollect*: every allocation,
 * figures, a trim) and when the receiver sends a drain notice,
 * which it does only while the owner waits for buffers and enough ids wait
 * on the lane (its lanes' wait words, SbufShareWaitingLocked). Ids that
 * find no lane, or a full one, go back by message as before.
 *
 * Notices. What a share owes its peer (reference ids given back, segments
 * given up, a drain) is queued under the pool lock by whichever thread
 * dropped the last reference, and sent by that thread once it has released
 * the lock (SbufUnlockAndNotify): the share's hooks keep the connection
 * alive while a thread sends on it, and send. Notices that find no room wait
 * for SbufShareRetry, which the carrier's receive loop runs now and then
 * while SbufShareStalled says some wait.
 *
 * Per-peer figures: the lent tables count references and bytes per peer,
 * and charge each reference to the task whose send lent it (its account's
 * lent count, OsMsgTaskBufStats), so a peer that keeps buffers and starves
 * the pool is named when an allocation is refused.
 *
 * Thread safety: every share's state is guarded by the pool lock
 * (sbuf_pool.h); *Locked functions need it held, the others take it. A
 * share lives until its connection is freed (SbufShareFree) and no notice
 * is being sent on it.
 */
#ifndef VYRE_SBUF_SHARE_H
#define VYRE_SBUF_SHARE_H

#include <stdint.h>

#include "shared_buf/sbuf_hold.h"
#include "shared_buf/sbuf_lane.h"
#include "shared_buf/sbuf_pool.h"

struct SbufMapping;
typedef struct SbufShare SbufShare;

/* How this process's allocations wait for buffers, as its lanes show it. */
typedef enum SbufWaitMode {
    SBUF_WAIT_NONE,  /* nobody waits */
    SBUF_WAIT_BATCH, /* woken once a quarter of what a peer holds is back */
    SBUF_WAIT_ONE,   /* woken by the first buffer back */
} SbufWaitMode;

/* What a carrier provides for the notices of its connections (ctx). */
typedef struct SbufShareHooks {
    /* Keeps ctx from being freed while a notice is sent on it: false when
     * it is being freed already. Called with the pool lock held: it must
     * not lock, log or wait. */
    bool (*hold)(void *ctx);
    /* Drops what hold took. No lock held. */
    void (*release)(void *ctx);
    /* Tells the peer of ctx that the reference ids in released are given
     * back, that the segments of this process in gone are given up (it
     * unmaps them) and, with drain, that ids wait on its release lane. True
     * when sent, or when ctx cannot carry anything any more; false when
     * there is no room now (the notices are kept for SbufShareRetry). No
     * lock held. */
    bool (*send)(void *ctx, const uint32_t *released, uint32_t releasedCount, const uint32_t *gone, uint32_t goneCount,
                 bool drain);
} SbufShareHooks;

/* What a carrier puts on the wire for one lent reference. */
typedef struct SbufLend {
    uint32_t refId;      /* the reference's id in the share, never 0 */
    uint32_t segId;      /* the segment the block lies in */
    uint32_t blockIndex; /* the block's place in the segment */
    uint32_t size;       /* the bytes asked for at allocation */
    uint32_t dataOffset; /* where the data starts in the block */
    uint32_t blockBytes; /* the segment's block size */
    uint64_t segBytes;   /* and its size */
    int segFd;           /* a read-only descriptor of the segment (the pool's: not to be closed) when the peer
                          * must be told of the segment first; -1 when it knows it */
    int laneFd;          /* the release lane's memory file when the peer must be told of it first (the
                          * carrier's copy: SbufShareLent or SbufShareLendUndone closes it); -1 otherwise */
    uint32_t laneBytes;  /* the lane's size and slots, with laneFd */
    uint32_t laneSlots;
} SbufLend;

/* Who holds most of this process's buffers (SbufShareTopHolderLocked). */
typedef struct SbufHolder {
    char label[24];
    uint32_t refs;
    uint64_t bytes;
} SbufHolder;

#ifdef __cplusplus
extern "C" {
#endif

/* A new share for connection ctx with hooks (kept; constant). NULL without
 * memory. */
SbufShare *SbufShareNew(const SbufShareHooks *hooks, void *ctx);

/* Names the peer in figures and log lines (cut to 23 characters). */
void SbufShareSetLabel(SbufShare *share, const char *label);

/* The connection closed: every reference the peer was lent goes back,
 * mappings of the peer's segments go once none of their blocks is in use
 * (held ones stay valid until released), notices are dropped, and nothing
 * is lent any more. A second call does nothing. */
void SbufShareClose(SbufShare *share);

/* The connection is freed: closes the share if needed and drops the
 * connection's reference; the share is freed once no notice is being sent
 * on it. share must not be used afterwards. */
void SbufShareFree(SbufShare *share);

/* ---- lent: this process's buffers -------------------------------------- */

/* Lends the peer one more reference to block (an own block the caller holds
 * a reference to), for data lying in it; *out says what the carrier sends.
 * 0; 0x80020002 when the share is closed; 0x80020020 without memory;
 * 0x8002000d when the segment's read-only descriptor cannot be opened. */
uint32_t SbufShareLend(SbufShare *share, SbufBlock *block, const void *data, SbufLend *out);

/* The message with lend went out: when it told the peer of the segment or
 * the lane, the peer knows them from now on. block is the lent one (the
 * caller still holds a reference). */
void SbufShareLent(SbufShare *share, SbufLend *lend, SbufBlock *block);

/* The message with reference refId did not go out: the reference goes
 * back. */
void SbufShareUnlend(SbufShare *share, uint32_t refId);

/* The message with lend did not go out: its reference goes back, and the
 * carrier's copy of the lane's descriptor is closed. */
void SbufShareLendUndone(SbufShare *share, SbufLend *lend);

/* Charges reference refId, if the peer still holds it, to account (the task
 * that sent it). The caller holds what keeps account alive
 * (simpleQueueLock). */
void SbufShareChargeLent(SbufShare *share, uint32_t refId, SbufAccount *account);

/* The peer gives the references ids[0..count) back, and those it pushed on
 * the share's release lane. The number of ids that named no reference it
 * holds (ignored: a peer drops only what it was lent). */
uint32_t SbufShareReturn(SbufShare *share, const uint32_t *ids, uint32_t count);

/* Takes the references every peer pushed on its release lane, so that
 * figures and the pool count them as back. */
void SbufShareCollect(void);

/* ---- mapped: the peer's buffers ---------------------------------------- */

/* A local reference for a message naming block blockIndex of the peer's
 * segment segId, holding size bytes, with dataLen bytes of data at
 * dataOffset, under the peer's reference refId: the block, with *data. NULL
 * with *why when the description does not fit a mapped segment; refId is
 * then given back to the peer at once. */
SbufBlock *SbufShareRefer(SbufShare *share, uint32_t segId, uint32_t blockIndex, uint32_t size, uint32_t dataOffset,
                          uint32_t dataLen, uint32_t refId, uint8_t **data, const char **why);

/* Gives the peer's reference refId back at once: the message that named it
 * was dropped before it took it. */
void SbufShareGiveBack(SbufShare *share, uint32_t refId);

/* The peer gave its segments segIds[0..count) up. */
void SbufShareGone(SbufShare *share, const uint32_t *segIds, uint32_t count);

/* The peer's release lane, passed as fd (closed here in any case) of bytes
 * bytes and slots slots: the references given back from now on go there. A
 * second lane is ignored. *why is set when the lane is not sound (the
 * references then keep going back by message), left alone otherwise. The
 * lane when it was taken, for its post ring (sbuf_lane.h): it stays mapped
 * until the share closes; NULL otherwise. */
SbufLane *SbufShareMapLane(SbufShare *share, int fd, uint32_t bytes, uint32_t slots, const char **why);

/* Posts the record rec (len bytes, tag) on the post ring of the lane this
 * process made for the peer (SbufLanePost). False when the share is closed,
 * has no lane, or the ring is not open or full. The caller serialises its
 * posts on one share. */
bool SbufSharePost(SbufShare *share, const void *rec, uint32_t len, uint32_t tag, bool *ring);

/* ---- notices ------------------------------------------------------------ */

/* Sends what the shares owe their peers (SbufUnlockAndNotify calls it). */
void SbufShareNotify(void);
/* True while notices wait for room. */
bool SbufShareStalled(void);
/* Tries the notices that waited for room again. */
void SbufShareRetry(void);

/* ---- for the pool and the mappings (pool lock held) --------------------- */

bool SbufShareClosedLocked(const SbufShare *share);
struct SbufMapping *SbufMapOfLocked(SbufShare *share, uint32_t segId);
/* Adds mapping (of this share) to its mappings; false without memory. */
bool SbufShareAddMappingLocked(SbufShare *share, struct SbufMapping *mapping);
void SbufShareRemoveMappingLocked(SbufShare *share, struct SbufMapping *mapping);
/* Queues reference ids to give back to the peer. */
void SbufShareQueueReleasesLocked(SbufShare *share, const uint32_t *ids, uint32_t count);
/* Queues the news that own segment segId is gone. */
void SbufShareSegmentGoneLocked(SbufShare *share, uint32_t segId);
/* True when some share has notices ready to send. */
bool SbufShareNoticesDueLocked(void);
/* Fills *top with the peer holding most references; false when none holds
 * any. */
bool SbufShareTopHolderLocked(SbufHolder *top);
/* The references charged to account are charged to no task from now on. */
void SbufShareForgetAccountLocked(SbufAccount *account);
/* SbufShareCollect with the pool lock held; true when a reference came
 * back. */
bool SbufShareCollectLocked(void);
/* Allocations start waiting for buffers (mode SBUF_WAIT_BATCH, or
 * SBUF_WAIT_ONE once a batch was waited for long enough) or stop
 * (SBUF_WAIT_NONE): every lane's wait word follows, so that peers send a
 * drain notice once they have pushed that many ids. */
void SbufShareWaitingLocked(SbufWaitMode mode);
/* The mode last set. */
SbufWaitMode SbufShareWaitModeLocked(void);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_SBUF_SHARE_H */

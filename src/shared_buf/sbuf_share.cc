/*
 * Shares (see sbuf_share.h): the lent tables, the mapped segments per
 * connection, and the notices owed to peers with the lists of shares that
 * have some. Everything here is guarded by the pool lock; the notices are
 * sent without it.
 */
#define MSG_MODULE "shared_buf"

#include "shared_buf/sbuf_share.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/msg_alloc.h"
#include "shared_buf/sbuf_lane.h"
#include "shared_buf/sbuf_lent.h"
#include "shared_buf/sbuf_mapping.h"
#include "shared_buf/sbuf_sys.h"

namespace {

/* Notices one send carries at most, of each kind. */
constexpr uint32_t kNoticeBatch = 256U;
/* The most ids an owner waits for before it is woken (LaneWants). */
constexpr uint32_t kWaitBatchMax = 64U;

/* Where a share's notices stand. */
enum NoticeState : uint8_t { kNoNotice, kNoticeReady, kNoticeStalled };

/* A growable list of ids. */
struct IdList {
    uint32_t *ids;
    uint32_t count;
    uint32_t cap;
};

} // namespace

struct SbufShare {
    const SbufShareHooks *hooks;
    void *ctx;
    char label[24];
    uint32_t refs; /* the connection's, and one per notice being sent */
    bool closed;
    NoticeState noticeState;
    SbufShare *noticeNext; /* on the ready or the stalled list */
    SbufShare *regPrev;    /* the open shares */
    SbufShare *regNext;
    uint32_t lastRefId;
    SbufLentTable lent;
    SbufMapping **maps; /* the peer's segments mapped, sorted by segId */
    uint32_t mapCount;
    uint32_t mapCap;
    IdList released;      /* reference ids owed back */
    IdList gone;          /* own segments given up */
    bool drainDue;        /* the peer waits and must look at its lane */
    SbufLane *ownLane;    /* the lane the peer gives this process's references back on; NULL until made */
    int ownLaneFd;        /* its memory file until the peer was told of it; -1 after */
    bool laneFailed;      /* no lane could be made: references come back by message */
    SbufLane *peerLane;   /* the peer's lane, mapped; NULL when it has none */
    uint32_t laneUnknown; /* ids taken off ownLane that named no lent reference, not yet reported */
};

namespace {

SbufShare *g_shares = nullptr;            /* open shares */
SbufShare *g_noticeReady = nullptr;       /* shares with notices to send */
SbufShare *g_noticeStalled = nullptr;     /* shares whose notices found no room */
SbufWaitMode g_laneWait = SBUF_WAIT_NONE; /* how allocations wait for buffers: the lanes' wait words */
/* Whether g_noticeStalled lists any: written with the list under the pool
 * lock, read without it by the receive loop before each sleep, which would
 * otherwise take the lock once per message that woke it. */
std::atomic<bool> g_noticeAnyStalled{false};

void ListNotice(SbufShare *share, NoticeState state) {
    SbufShare **list = state == kNoticeReady ? &g_noticeReady : &g_noticeStalled;
    share->noticeState = state;
    share->noticeNext = *list;
    *list = share;
    g_noticeAnyStalled.store(g_noticeStalled != nullptr, std::memory_order_relaxed);
}

void UnlistNotice(SbufShare *share) {
    if (share->noticeState == kNoNotice) {
        return;
    }
    SbufShare **at = share->noticeState == kNoticeReady ? &g_noticeReady : &g_noticeStalled;
    while (*at != share) {
        at = &(*at)->noticeNext;
    }
    *at = share->noticeNext;
    share->noticeNext = nullptr;
    share->noticeState = kNoNotice;
    g_noticeAnyStalled.store(g_noticeStalled != nullptr, std::memory_order_relaxed);
}

bool Append(IdList &list, const uint32_t *ids, uint32_t count) {
    if (list.count + count > list.cap) {
        uint32_t cap = list.cap == 0U ? 16U : list.cap;
        while (cap < list.count + count) {
            cap *= 2U;
        }
        auto *grown = static_cast<uint32_t *>(MSG_MALLOC(sizeof(uint32_t) * cap));
        if (grown == nullptr) {
            return false;
        }
        if (list.count != 0U) {
            std::memcpy(grown, list.ids, sizeof(uint32_t) * list.count);
        }
        MSG_FREE(list.ids);
        list.ids = grown;
        list.cap = cap;
    }
    std::memcpy(list.ids + list.count, ids, sizeof(uint32_t) * count);
    list.count += count;
    return true;
}

/* Moves at most kNoticeBatch ids from the front of list to out. */
uint32_t TakeFront(IdList &list, uint32_t *out) {
    uint32_t n = list.count < kNoticeBatch ? list.count : kNoticeBatch;
    if (n != 0U) {
        std::memcpy(out, list.ids, sizeof(uint32_t) * n);
        std::memmove(list.ids, list.ids + n, sizeof(uint32_t) * (list.count - n));
        list.count -= n;
    }
    return n;
}

void FreeList(IdList &list) {
    MSG_FREE(list.ids);
    list = IdList{nullptr, 0U, 0U};
}

/* A notice was queued on share: it goes on the ready list unless it waits
 * there, or for room, already. */
void NoticeQueued(SbufShare *share) {
    if (share->noticeState == kNoNotice) {
        ListNotice(share, kNoticeReady);
    }
}

void DropShareRef(SbufShare *share) {
    if (--share->refs == 0U) {
        MSG_FREE(share);
    }
}

void ChargeLent(SbufAccount *account, int sign) {
    const uint32_t lent = __atomic_load_n(&account->lent, __ATOMIC_RELAXED);
    __atomic_store_n(&account->lent, sign > 0 ? lent + 1U : lent - 1U, __ATOMIC_RELAXED);
}

/* A lent reference goes back. */
void DropLent(SbufLentEntry *entry) {
    if (entry->account != nullptr) {
        ChargeLent(entry->account, -1);
    }
    SbufDropRefLocked(entry->block);
}

void ForgetShareIn(SbufSegment *segment, void *arg) {
    for (uint32_t i = 0U; i < segment->shareCount; ++i) {
        if (segment->shares[i] == arg) {
            segment->shares[i] = segment->shares[--segment->shareCount];
            return;
        }
    }
}

bool Announced(const SbufSegment *segment, const SbufShare *share) {
    for (uint32_t i = 0U; i < segment->shareCount; ++i) {
        if (segment->shares[i] == share) {
            return true;
        }
    }
    return false;
}

bool AddAnnounced(SbufSegment *segment, SbufShare *share) {
    if (segment->shareCount == segment->shareCap) {
        uint32_t cap = segment->shareCap == 0U ? 4U : segment->shareCap * 2U;
        auto *shares = static_cast<SbufShare **>(MSG_MALLOC(sizeof(SbufShare *) * cap));
        if (shares == nullptr) {
            return false;
        }
        if (segment->shareCount != 0U) {
            std::memcpy(shares, segment->shares, sizeof(SbufShare *) * segment->shareCount);
        }
        MSG_FREE(segment->shares);
        segment->shares = shares;
        segment->shareCap = cap;
    }
    segment->shares[segment->shareCount++] = share;
    return true;
}

/* Index of the first of share's mappings whose segId is not below segId. */
uint32_t MapLowerBound(const SbufShare *share, uint32_t segId) {
    uint32_t lo = 0U;
    uint32_t hi = share->mapCount;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2U;
        if (share->maps[mid]->segId < segId) {
            lo = mid + 1U;
        } else {
            hi = mid;
        }
    }
    return lo;
}

void UnlistShare(SbufShare *share) {
    (share->regPrev != nullptr ? share->regPrev->regNext : g_shares) = share->regNext;
    if (share->regNext != nullptr) {
        share->regNext->regPrev = share->regPrev;
    }
}

struct ForgetArg {
    SbufAccount *account;
};

void ForgetAccountIn(SbufLentEntry *entry, void *arg) {
    if (entry->account == static_cast<ForgetArg *>(arg)->account) {
        entry->account = nullptr;
    }
}

/* Takes the next share with notices ready, with its notices, holding its
 * connection and a reference to it; false when none is left. */
bool TakeNotices(SbufShare **out, uint32_t *released, uint32_t *nReleased, uint32_t *gone, uint32_t *nGone,
                 bool *drain) {
    for (;;) {
        SbufShare *share = g_noticeReady;
        if (share == nullptr) {
            return false;
        }
        UnlistNotice(share);
        if (!share->hooks->hold(share->ctx)) {
            // Its connection is being freed: nobody reads these any more.
            share->released.count = 0U;
            share->gone.count = 0U;
            share->drainDue = false;
            continue;
        }
        *nReleased = TakeFront(share->released, released);
        *nGone = TakeFront(share->gone, gone);
        *drain = share->drainDue;
        share->drainDue = false;
        if (share->released.count != 0U || share->gone.count != 0U) {
            ListNotice(share, kNoticeReady);
        }
        share->refs += 1U;
        *out = share;
        return true;
    }
}

/* Notices that found no room go back, ahead of none in particular: the
 * peer takes them in any order. */
void KeepNotices(SbufShare *share, const uint32_t *released, uint32_t nReleased, const uint32_t *gone, uint32_t nGone,
                 bool drain) {
    if (share->closed) {
        return;
    }
    share->drainDue = share->drainDue || drain;
    // They were just taken out of these lists, so their room is still there.
    (void)Append(share->released, released, nReleased);
    (void)Append(share->gone, gone, nGone);
    UnlistNotice(share);
    ListNotice(share, kNoticeStalled);
}

/* Takes the references the peer pushed on share's lane; true when one came
 * back. Ids it was not lent are counted, for SbufShareReturn to report. A
 * lane whose counts cannot be true is read no more: what the peer pushes
 * there stays lent until the connection closes, as with a peer that gives
 * nothing back. */
bool CollectLane(SbufShare *share) {
    if (share->ownLane == nullptr || share->closed) {
        return false;
    }
    uint32_t ids[kNoticeBatch];
    bool broken = false;
    bool back = false;
    uint32_t n;
    while ((n = SbufLaneTake(share->ownLane, ids, kNoticeBatch, &broken)) != 0U) {
        for (uint32_t i = 0U; i < n; ++i) {
            SbufLentEntry entry;
            if (SbufLentTake(&share->lent, ids[i], &entry)) {
                DropLent(&entry);
                back = true;
            } else {
                share->laneUnknown += 1U;
            }
        }
    }
    return back;
}

/* How many ids the owner waits for on share's lane: none, one, or, for a
 * batch, a quarter of what the peer holds, so that an owner that streams
 * to a slower peer is woken once for several frames and the peer still
 * has three quarters to work on. */
uint32_t LaneWants(const SbufShare *share) {
    if (g_laneWait != SBUF_WAIT_BATCH) {
        return g_laneWait == SBUF_WAIT_ONE ? 1U : 0U;
    }
    return std::clamp(share->lent.count / 4U, 1U, kWaitBatchMax);
}

/* The owner's side of a lend: the lane is made with the first one, and the
 * peer is told of it until a message that did so went out. */
void LendLane(SbufShare *share, SbufLend *out) {
    if (share->ownLane == nullptr && !share->laneFailed) {
        share->ownLane = SbufLaneCreate(&share->ownLaneFd);
        share->laneFailed = share->ownLane == nullptr;
        if (share->ownLane != nullptr && g_laneWait != SBUF_WAIT_NONE) {
            SbufLaneSetWaiting(share->ownLane, LaneWants(share));
        }
    }
    // The carrier gets a copy: two threads may send the lane at once, and
    // the first to succeed closes the share's.
    out->laneFd = share->ownLaneFd >= 0 ? SbufSysDupFd(share->ownLaneFd) : -1;
    out->laneBytes = SbufLaneBytes();
    out->laneSlots = SbufLaneSlots();
}

void FreeLanes(SbufShare *share) {
    SbufLaneFree(share->ownLane);
    share->ownLane = nullptr;
    SbufSysCloseFd(share->ownLaneFd);
    share->ownLaneFd = -1;
    SbufLaneFree(share->peerLane);
    share->peerLane = nullptr;
}

} // namespace

extern "C" {

SbufShare *SbufShareNew(const SbufShareHooks *hooks, void *ctx) {
    auto *share = static_cast<SbufShare *>(MSG_CALLOC(1U, sizeof(SbufShare)));
    if (share == nullptr) {
        return nullptr;
    }
    share->hooks = hooks;
    share->ctx = ctx;
    share->refs = 1U;
    share->ownLaneFd = -1;
    SbufLock();
    share->regNext = g_shares;
    if (g_shares != nullptr) {
        g_shares->regPrev = share;
    }
    g_shares = share;
    SbufUnlock();
    return share;
}

void SbufShareSetLabel(SbufShare *share, const char *label) {
    SbufLock();
    (void)snprintf(share->label, sizeof(share->label), "%s", label);
    SbufUnlock();
}

void SbufShareClose(SbufShare *share) {
    SbufLock();
    if (share->closed) {
        SbufUnlock();
        return;
    }
    share->closed = true;
    UnlistNotice(share);
    UnlistShare(share);
    SbufLentClear(&share->lent, DropLent);
    for (uint32_t i = 0U; i < share->mapCount; ++i) {
        SbufMapDetachLocked(share->maps[i]);
    }
    MSG_FREE(share->maps);
    share->maps = nullptr;
    share->mapCount = 0U;
    SbufForEachSegmentLocked(ForgetShareIn, share);
    FreeList(share->released);
    FreeList(share->gone);
    FreeLanes(share);
    SbufUnlock();
}

void SbufShareFree(SbufShare *share) {
    SbufShareClose(share);
    SbufLock();
    DropShareRef(share);
    SbufUnlock();
}

uint32_t SbufShareLend(SbufShare *share, SbufBlock *block, const void *data, SbufLend *out) {
    out->laneFd = -1;
    SbufLock();
    SbufSegment *segment = block->segment;
    uint32_t ret = OS_MSG_OK;
    if (share->closed) {
        ret = OS_MSG_ERR_SERVER_NOT_RUNNING;
    } else if (!Announced(segment, share) && segment->readOnlyFd < 0 &&
               (segment->readOnlyFd = SbufSysReopenReadOnly(segment->fd)) < 0) {
        ret = OS_MSG_ERR_SYSTEM;
    } else {
        uint32_t refId = ++share->lastRefId != 0U ? share->lastRefId : ++share->lastRefId;
        if (!SbufLentAdd(&share->lent, refId, block)) {
            ret = OS_MSG_ERR_NO_MEMORY;
        } else {
            ++block->refs;
            out->refId = refId;
            out->segId = segment->id;
            out->blockIndex = static_cast<uint32_t>((block->data - segment->base) / segment->blockBytes);
            out->size = block->size;
            out->dataOffset = static_cast<uint32_t>(static_cast<const uint8_t *>(data) - block->data);
            out->blockBytes = segment->blockBytes;
            out->segBytes = segment->bytes;
            out->segFd = Announced(segment, share) ? -1 : segment->readOnlyFd;
            LendLane(share, out);
        }
    }
    SbufUnlock();
    return ret;
}

void SbufShareLent(SbufShare *share, SbufLend *lend, SbufBlock *block) {
    if (lend->segFd < 0 && lend->laneFd < 0) {
        return;
    }
    SbufLock();
    // Without memory the segment is announced again with the next message;
    // the peer ignores what it knows.
    if (lend->segFd >= 0 && !share->closed && !Announced(block->segment, share)) {
        (void)AddAnnounced(block->segment, share);
    }
    if (lend->laneFd >= 0) {
        SbufSysCloseFd(share->ownLaneFd);
        share->ownLaneFd = -1;
    }
    SbufUnlock();
    SbufSysCloseFd(lend->laneFd);
    lend->laneFd = -1;
}

void SbufShareUnlend(SbufShare *share, uint32_t refId) {
    SbufLock();
    SbufLentEntry entry;
    if (!share->closed && SbufLentTake(&share->lent, refId, &entry)) {
        DropLent(&entry);
    }
    SbufUnlock();
}

void SbufShareLendUndone(SbufShare *share, SbufLend *lend) {
    SbufShareUnlend(share, lend->refId);
    SbufSysCloseFd(lend->laneFd);
    lend->laneFd = -1;
}

void SbufShareChargeLent(SbufShare *share, uint32_t refId, SbufAccount *account) {
    SbufLock();
    SbufLentEntry *entry = share->closed ? nullptr : SbufLentFind(&share->lent, refId);
    if (entry != nullptr && entry->account == nullptr && account != nullptr) {
        entry->account = account;
        ChargeLent(account, 1);
    }
    SbufUnlock();
}

uint32_t SbufShareReturn(SbufShare *share, const uint32_t *ids, uint32_t count) {
    uint32_t unknown = 0U;
    SbufLock();
    for (uint32_t i = 0U; i < count; ++i) {
        SbufLentEntry entry;
        if (!share->closed && SbufLentTake(&share->lent, ids[i], &entry)) {
            DropLent(&entry);
        } else {
            ++unknown;
        }
    }
    (void)CollectLane(share);
    unknown += share->laneUnknown;
    share->laneUnknown = 0U;
    SbufUnlock();
    return unknown;
}

void SbufShareCollect(void) {
    SbufLock();
    (void)SbufShareCollectLocked();
    SbufUnlock();
}

SbufBlock *SbufShareRefer(SbufShare *share, uint32_t segId, uint32_t blockIndex, uint32_t size, uint32_t dataOffset,
                          uint32_t dataLen, uint32_t refId, uint8_t **data, const char **why) {
    SbufLock();
    SbufMapping *mapping = share->closed ? nullptr : SbufMapOfLocked(share, segId);
    SbufBlock *block = nullptr;
    if (mapping == nullptr) {
        *why = "unknown segment";
    } else {
        block = SbufMapReferLocked(mapping, blockIndex, size, dataOffset, dataLen, refId, data, why);
    }
    if (block == nullptr) {
        // A broken message never pins the peer's memory.
        SbufShareQueueReleasesLocked(share, &refId, 1U);
    }
    SbufUnlockAndNotify();
    return block;
}

void SbufShareGiveBack(SbufShare *share, uint32_t refId) {
    SbufLock();
    SbufShareQueueReleasesLocked(share, &refId, 1U);
    SbufUnlockAndNotify();
}

SbufLane *SbufShareMapLane(SbufShare *share, int fd, uint32_t bytes, uint32_t slots, const char **why) {
    SbufLane *lane = SbufLaneMap(fd, bytes, slots, why);
    SbufLane *taken = nullptr;
    SbufLock();
    if (lane != nullptr && !share->closed && share->peerLane == nullptr) {
        share->peerLane = lane;
        taken = lane;
        lane = nullptr;
    }
    SbufUnlock();
    SbufLaneFree(lane); // a second announcement of the lane, or a closed share
    return taken;
}

bool SbufSharePost(SbufShare *share, const void *rec, uint32_t len, uint32_t tag, bool *ring) {
    *ring = false;
    SbufLock();
    const bool posted =
        !share->closed && share->ownLane != nullptr && SbufLanePost(share->ownLane, rec, len, tag, ring);
    SbufUnlock();
    return posted;
}

void SbufShareGone(SbufShare *share, const uint32_t *segIds, uint32_t count) {
    SbufLock();
    for (uint32_t i = 0U; i < count && !share->closed; ++i) {
        SbufMapping *mapping = SbufMapOfLocked(share, segIds[i]);
        if (mapping != nullptr) {
            SbufMapGoneLocked(mapping);
        }
    }
    SbufUnlock();
}

void SbufShareNotify(void) {
    uint32_t released[kNoticeBatch];
    uint32_t gone[kNoticeBatch];
    for (;;) {
        SbufShare *share = nullptr;
        uint32_t nReleased = 0U;
        uint32_t nGone = 0U;
        SbufLock();
        bool drain = false;
        bool taken = TakeNotices(&share, released, &nReleased, gone, &nGone, &drain);
        SbufUnlock();
        if (!taken) {
            return;
        }
        bool sent = share->hooks->send(share->ctx, released, nReleased, gone, nGone, drain);
        share->hooks->release(share->ctx);
        SbufLock();
        if (!sent) {
            KeepNotices(share, released, nReleased, gone, nGone, drain);
        }
        DropShareRef(share);
        SbufUnlock();
    }
}

bool SbufShareStalled(void) {
    // A notice that stalls just after this reading waits for the next
    // retry, as it would after a reading under the lock.
    return g_noticeAnyStalled.load(std::memory_order_relaxed);
}

void SbufShareRetry(void) {
    SbufLock();
    while (SbufShare *share = g_noticeStalled) {
        UnlistNotice(share);
        ListNotice(share, kNoticeReady);
    }
    SbufUnlock();
    SbufShareNotify();
}

bool SbufShareClosedLocked(const SbufShare *share) {
    return share->closed;
}

SbufMapping *SbufMapOfLocked(SbufShare *share, uint32_t segId) {
    uint32_t at = MapLowerBound(share, segId);
    return at < share->mapCount && share->maps[at]->segId == segId ? share->maps[at] : nullptr;
}

bool SbufShareAddMappingLocked(SbufShare *share, SbufMapping *mapping) {
    if (share->mapCount == share->mapCap) {
        uint32_t cap = share->mapCap == 0U ? 8U : share->mapCap * 2U;
        auto *maps = static_cast<SbufMapping **>(MSG_MALLOC(sizeof(SbufMapping *) * cap));
        if (maps == nullptr) {
            return false;
        }
        if (share->mapCount != 0U) {
            std::memcpy(maps, share->maps, sizeof(SbufMapping *) * share->mapCount);
        }
        MSG_FREE(share->maps);
        share->maps = maps;
        share->mapCap = cap;
    }
    uint32_t at = MapLowerBound(share, mapping->segId);
    std::memmove(&share->maps[at + 1U], &share->maps[at], sizeof(SbufMapping *) * (share->mapCount - at));
    share->maps[at] = mapping;
    ++share->mapCount;
    mapping->share = share;
    return true;
}

void SbufShareRemoveMappingLocked(SbufShare *share, SbufMapping *mapping) {
    uint32_t at = MapLowerBound(share, mapping->segId);
    if (at < share->mapCount && share->maps[at] == mapping) {
        std::memmove(&share->maps[at], &share->maps[at + 1U], sizeof(SbufMapping *) * (share->mapCount - at - 1U));
        --share->mapCount;
    }
    mapping->share = nullptr;
}

void SbufShareQueueReleasesLocked(SbufShare *share, const uint32_t *ids, uint32_t count) {
    if (share->closed || count == 0U) {
        return;
    }
    uint32_t pushed = 0U;
    if (share->peerLane != nullptr) {
        while (pushed < count && SbufLanePush(share->peerLane, ids[pushed])) {
            ++pushed;
        }
        // After the push: either the owner sees these ids when it looks at
        // the lane after raising its flag, or this sees the flag.
        if (pushed != 0U && SbufLaneAskDrain(share->peerLane)) {
            share->drainDue = true;
            NoticeQueued(share);
        }
    }
    // Without memory the ids stay with the peer until the connection closes,
    // which gives them all back.
    if (pushed < count && Append(share->released, ids + pushed, count - pushed)) {
        NoticeQueued(share);
    }
}

void SbufShareSegmentGoneLocked(SbufShare *share, uint32_t segId) {
    if (!share->closed && Append(share->gone, &segId, 1U)) {
        NoticeQueued(share);
    }
}

bool SbufShareNoticesDueLocked(void) {
    return g_noticeReady != nullptr;
}

bool SbufShareTopHolderLocked(SbufHolder *top) {
    const SbufShare *best = nullptr;
    for (const SbufShare *share = g_shares; share != nullptr; share = share->regNext) {
        if (share->lent.count != 0U && (best == nullptr || share->lent.bytes > best->lent.bytes)) {
            best = share;
        }
    }
    if (best == nullptr) {
        return false;
    }
    std::memcpy(top->label, best->label, sizeof(top->label));
    top->refs = best->lent.count;
    top->bytes = best->lent.bytes;
    return true;
}

void SbufShareForgetAccountLocked(SbufAccount *account) {
    ForgetArg arg{account};
    for (SbufShare *share = g_shares; share != nullptr; share = share->regNext) {
        SbufLentForEach(&share->lent, ForgetAccountIn, &arg);
    }
}

bool SbufShareCollectLocked(void) {
    bool back = false;
    for (SbufShare *share = g_shares; share != nullptr; share = share->regNext) {
        back = CollectLane(share) || back;
    }
    return back;
}

SbufWaitMode SbufShareWaitModeLocked(void) {
    return g_laneWait;
}

void SbufShareWaitingLocked(SbufWaitMode mode) {
    g_laneWait = mode;
    for (SbufShare *share = g_shares; share != nullptr; share = share->regNext) {
        if (share->ownLane != nullptr) {
            SbufLaneSetWaiting(share->ownLane, LaneWants(share));
        }
    }
}

} // extern "C"

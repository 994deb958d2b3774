/*
 * Links' shares and the notices they send (see ipc_link_share.h).
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/unix/ipc_link_share.h"

#include <cstdio>
#include <cstring>

#include "transport/unix/ipc_cargo_frame.h"

namespace {

bool IpcShareHold(void *ctx) {
    return IpcLinkTryHold(static_cast<IpcLink *>(ctx));
}

void IpcShareRelease(void *ctx) {
    IpcLinkRelease(static_cast<IpcLink *>(ctx));
}

/* One datagram with a RELEASE and a GONE record, each when it has ids, and
 * a DRAIN record when drain asks for one that no RELEASE record stands for
 * (the owner looks at its lane on either). */
bool IpcShareSend(void *ctx, const uint32_t *released, uint32_t releasedCount, const uint32_t *gone, uint32_t goneCount,
                  bool drain) {
    uint8_t heads[2][IPC_FRAME_PREFIX_LEN + sizeof(uint32_t)];
    IpcFramePrefix drainRecord;
    struct iovec iov[5];
    size_t n = 0U;
    if (releasedCount != 0U) {
        IpcCargoSetIdsHead(heads[0], IPC_SHARE_RELEASE, releasedCount);
        iov[n++] = {heads[0], sizeof(heads[0])};
        iov[n++] = {const_cast<uint32_t *>(released), sizeof(uint32_t) * releasedCount};
    }
    if (goneCount != 0U) {
        IpcCargoSetIdsHead(heads[1], IPC_SHARE_GONE, goneCount);
        iov[n++] = {heads[1], sizeof(heads[1])};
        iov[n++] = {const_cast<uint32_t *>(gone), sizeof(uint32_t) * goneCount};
    }
    if (drain && releasedCount == 0U) {
        IpcFrameSetPrefix(&drainRecord, IPC_FRAME_SHARE, IPC_SHARE_DRAIN, 0U);
        iov[n++] = {&drainRecord, sizeof(drainRecord)};
    }
    // A link that broke gives everything back on its own when it closes.
    return n == 0U || IpcLinkSendNow(static_cast<IpcLink *>(ctx), iov, n) != IPC_SEND_FULL;
}

const SbufShareHooks kIpcShareHooks = {IpcShareHold, IpcShareRelease, IpcShareSend};

} // namespace

SbufShare *IpcLinkShareOf(IpcLink *link, const char *label) {
    SbufShare *share = link->share.load(std::memory_order_acquire);
    if (share != nullptr) {
        return share;
    }
    SbufShare *made = SbufShareNew(&kIpcShareHooks, link);
    if (made == nullptr) {
        return nullptr;
    }
    char pidLabel[24];
    if (label == nullptr) {
        (void)snprintf(pidLabel, sizeof(pidLabel), "pid %u", link->pid);
    }
    SbufShareSetLabel(made, label != nullptr ? label : pidLabel);
    if (!link->share.compare_exchange_strong(share, made, std::memory_order_acq_rel)) {
        SbufShareFree(made); // another thread made one first
        return share;
    }
    return made;
}

void IpcLinkShareClose(IpcLink *link) {
    SbufShare *share = link->share.load(std::memory_order_acquire);
    if (share != nullptr) {
        SbufShareClose(share);
    }
}

void IpcLinkShareFree(IpcLink *link) {
    SbufShare *share = link->share.exchange(nullptr, std::memory_order_acq_rel);
    if (share != nullptr) {
        SbufShareFree(share);
    }
}

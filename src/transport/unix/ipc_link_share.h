/*
 * The share of a link (shared_buf/sbuf_share.h): what the two processes of
 * one connection share in shared buffers, made when the link first carries
 * one (either way) and closed with the link, and the hooks through which
 * the share sends its notices (references given back, segments given up)
 * on the link.
 *
 * Thread safety: the share pointer is set once (compare and swap), by a
 * sender or the receive thread, whichever comes first, and stays until the
 * link is freed, so any thread holding a reference to the link may use it.
 * The close runs when the receive thread closes the link or its last
 * reference goes, whichever comes first; a second close does nothing.
 * Notices are sent by the thread that made them, holding a reference to
 * the link.
 */
#ifndef VYRE_IPC_LINK_SHARE_H
#define VYRE_IPC_LINK_SHARE_H

#include "shared_buf/sbuf_share.h"
#include "transport/unix/ipc_link.h"

/* link's share, made on first use and named label (the peer's process
 * name; NULL names it by the peer's pid). NULL without memory. Any thread
 * holding a reference to link. */
SbufShare *IpcLinkShareOf(IpcLink *link, const char *label);

/* link's share, or NULL when it has none yet. */
static inline SbufShare *IpcLinkShareIf(IpcLink *link) {
    return link->share.load(std::memory_order_acquire);
}

/* The link closes: its share, if any, gives back what the peer held and
 * forgets the peer's segments, and lends nothing more (see
 * SbufShareClose). The share stays readable until the link is freed. */
void IpcLinkShareClose(IpcLink *link);

/* The link is freed (its last reference went): its share goes too. */
void IpcLinkShareFree(IpcLink *link);

#endif /* VYRE_IPC_LINK_SHARE_H */

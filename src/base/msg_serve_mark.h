/*
 * Whether the calling thread is a carrier's receive thread running the
 * callback of a task it serves (OsMsgTaskServeOnReceive). Such a callback
 * must not wait for what only that thread brings in: an answer from another
 * process, a peer's report of room, a shared buffer given back. The calls
 * that would wait so refuse, or do not wait, while the mark is set.
 *
 * Thread safety: a per-thread flag, set and cleared by the handling on the
 * receive thread itself.
 */
#ifndef VYRE_MSG_SERVE_MARK_H
#define VYRE_MSG_SERVE_MARK_H

/* Sets the calling thread's mark; returns the mark it replaced (handling
 * calls may nest). */
bool MsgServeMarkSet(bool serving);

/* The calling thread's mark. */
bool MsgServingOnReceive(void);

#endif /* VYRE_MSG_SERVE_MARK_H */

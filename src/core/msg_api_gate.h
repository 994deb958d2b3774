/*
 * The gate of the public API: which calls may use the library's tables right
 * now, and how teardown waits for the calls that are still using them.
 *
 * Every public operation that reaches the task table, the subscription
 * table, the transport or the process name passes the gate first
 * (MsgApiEnter) and leaves it when it returns (MsgApiLeave). The gate opens
 * when a process has finished setting up and closes when teardown begins;
 * teardown then ends the long waits (it removes every task, which ends the
 * task loops and wakes synchronous requesters) and drains the gate
 * (MsgApiDrain) before it destroys the locks and clears the process name.
 * So no public call ever sees a table, a lock or the name half torn down:
 * it either completes or is refused with 0x80020004.
 *
 * Thread safety: enter and leave are lock-free (one atomic counter, one
 * atomic flag) and may be called from any thread. Open, close and drain are
 * called only by process set-up and teardown, under the initialisation lock.
 * The drain waits on a private mutex and condition that only a leaving call
 * takes, after the counter dropped, so no other library lock is involved.
 */
#ifndef VYRE_MSG_API_GATE_H
#define VYRE_MSG_API_GATE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Lets public calls in; set-up calls it once everything exists. */
void MsgApiOpen(void);
/* Refuses public calls from now on; calls already inside go on. */
void MsgApiClose(void);
/* Waits until every call that entered has left, except those of the calling
 * thread itself (teardown from inside a task callback does not wait for its
 * own caller). Call after MsgApiClose, after ending everything a call could
 * wait for. */
void MsgApiDrain(void);

/* 1 when the call may go on (it must then call MsgApiLeave exactly once),
 * 0 when the gate is closed (the library is not, or no longer, set up). */
uint32_t MsgApiEnter(void);
void MsgApiLeave(void);

#ifdef __cplusplus
}

/* One public call's pass through the gate, left when it goes out of scope. */
class MsgApiPass {
public:
    MsgApiPass() : entered_(MsgApiEnter() != 0U) {}
    ~MsgApiPass() {
        if (entered_) {
            MsgApiLeave();
        }
    }
    MsgApiPass(const MsgApiPass &) = delete;
    MsgApiPass &operator=(const MsgApiPass &) = delete;

    bool Entered() const { return entered_; }

private:
    bool entered_;
};
#endif

#endif /* VYRE_MSG_API_GATE_H */

/*
 * The gate of the public API: which calls may use the library's tables right
 * now, and how teardown waits for the calls that are still using them.
 *
 * Every public operation that reaches the task table, the subscription
 * table, the transport or the process name passes the gate first
 * (MsgApiEnter) and leaves it when it returns (MsgApiLeave). A call gets in
 * while the library is initialised (the in-process layer's flag) and the
 * gate is not blocked. Set-up blocks it while it initialises the in-process
 * layer (whose flag goes up before its locks exist), teardown from its
 * first step to its last: meanwhile calls are refused with 0x80020004.
 * Calls come in two kinds, drained at different points of the teardown:
 *
 *   MSG_API_RESP_CALL  reads a response header, which lives in the
 *                      requester's task record. Drained before the tasks are
 *                      removed, so no record is freed under such a call.
 *   MSG_API_CALL       everything else; may wait long (task loops,
 *                      synchronous requests). Removing the tasks ends those
 *                      waits; the kind is drained after that, before the
 *                      locks are destroyed and the process name is cleared.
 *
 * So no public call ever sees a table, a lock, a record or the name half torn
 * down: it either completes or is refused.
 *
 * In the child of a fork() (base/msg_fork_state.h) the gate stays shut: a
 * call that does not get in is refused there with 0x8002000e and the line
 * "process forked from pid %u: no call before exec.", instead of
 * 0x80020004 and its own line (MSG_API_REFUSE).
 *
 * Thread safety: enter and leave are lock-free (one atomic counter per kind,
 * one atomic flag) and may be called from any thread. Block, drain and
 * unblock come from set-up and teardown only, under the initialisation lock.
 * A drain waits on a private mutex and condition that a leaving call takes
 * only while the gate is blocked; nothing else is locked under it.
 */
#ifndef VYRE_MSG_API_GATE_H
#define VYRE_MSG_API_GATE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MSG_API_CALL 0U
#define MSG_API_RESP_CALL 1U

/* Refuses calls from now on; those inside go on. */
void MsgApiBlock(void);
/* Waits until every call of the kind that entered has left, except those of
 * the calling thread itself (a teardown started from inside a task callback
 * does not wait for its own caller). Call while the gate is blocked. */
void MsgApiDrain(uint32_t kind);
/* Lets calls in again; from now on the initialised flag alone decides. */
void MsgApiUnblock(void);
/* 1 while the gate is blocked, else 0. */
uint32_t MsgApiBlocked(void);

/* 1 when the call may go on (it must then call MsgApiLeave with the same
 * kind exactly once), 0 when the library is not initialised or the gate is
 * blocked. */
uint32_t MsgApiEnter(uint32_t kind);
void MsgApiLeave(uint32_t kind);

/* The refusal of a call that did not get in, logged once at the caller's
 * function and line: 0x80020004 with text, or in a forked child 0x8002000e
 * with the fork's line (text is then not used and may be NULL). */
uint32_t MsgApiRefuse(const char *function, uint32_t line, const char *text);
#define MSG_API_REFUSE(text) MsgApiRefuse(__func__, (uint32_t)__LINE__, (text))

/* What a callback running on the carrier's receive thread (a task served
 * there) may not do, since it would hold that thread for good: run a task's
 * loop, leave the platform. */
#define MSG_REFUSE_ON_RECEIVE()                                                                                        \
    MSG_REFUSE("not from a callback on the receive thread: it would stop receiving; call it from another thread.",     \
               OS_MSG_ERR_FAIL)

#ifdef __cplusplus
}

/* One public call's pass through the gate, left when it goes out of scope. */
class MsgApiPass {
public:
    explicit MsgApiPass(uint32_t kind = MSG_API_CALL) : kind_(kind), entered_(MsgApiEnter(kind) != 0U) {}
    ~MsgApiPass() {
        if (entered_) {
            MsgApiLeave(kind_);
        }
    }
    MsgApiPass(const MsgApiPass &) = delete;
    MsgApiPass &operator=(const MsgApiPass &) = delete;

    bool Entered() const { return entered_; }

private:
    uint32_t kind_;
    bool entered_;
};
#endif

#endif /* VYRE_MSG_API_GATE_H */

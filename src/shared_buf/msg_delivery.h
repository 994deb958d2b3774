/*
 * The message a task's callback is handling right now, for the calls a
 * callback makes about it: taking its descriptors (OsMsgTakeFd), and the
 * broadcast task's fan-out of a shared buffer. Kept per thread, as a stack:
 * a callback that runs another callback inline (a task calling itself) sees
 * its own message again when that one returns.
 *
 * Only messages with a cargo are entered; an ordinary message costs the loop
 * nothing here.
 *
 * Thread safety: every function touches the calling thread's state only.
 */
#ifndef VYRE_MSG_DELIVERY_H
#define VYRE_MSG_DELIVERY_H

#include "shared_buf/msg_cargo.h"
#include "vyre_os_msg.h"

/* One delivery on the calling thread's stack, itself on the stack of the
 * code that delivers. */
typedef struct MsgDelivery {
    const MsgHead *msg;
    MsgCargo *cargo;
    struct MsgDelivery *outer;
} MsgDelivery;

/* The callback for msg (with cargo) is about to run on this thread. */
void MsgDeliveryEnter(MsgDelivery *delivery, const MsgHead *msg, MsgCargo *cargo);
/* It returned: delivery, the innermost, is left. */
void MsgDeliveryLeave(MsgDelivery *delivery);
/* The cargo of msg when a callback on this thread is handling it, else
 * NULL. */
MsgCargo *MsgDeliveryCargoOf(const MsgHead *msg);
/* The cargo of the innermost delivery on this thread, or NULL. */
MsgCargo *MsgDeliveryCurrentCargo(void);

#endif /* VYRE_MSG_DELIVERY_H */

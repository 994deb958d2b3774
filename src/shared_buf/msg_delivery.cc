/*
 * The calling thread's deliveries (see msg_delivery.h).
 */
#include "shared_buf/msg_delivery.h"

namespace {

// Initial-exec: read on every delivery (see t_lookups in simple_msg_registry.cc).
__attribute__((tls_model("initial-exec"))) thread_local MsgDelivery *t_delivery = nullptr;

} // namespace

void MsgDeliveryEnter(MsgDelivery *delivery, const MsgHead *msg, MsgCargo *cargo) {
    delivery->msg = msg;
    delivery->cargo = cargo;
    delivery->outer = t_delivery;
    t_delivery = delivery;
}

void MsgDeliveryLeave(MsgDelivery *delivery) {
    t_delivery = delivery->outer;
}

MsgCargo *MsgDeliveryCargoOf(const MsgHead *msg) {
    for (MsgDelivery *d = t_delivery; d != nullptr; d = d->outer) {
        if (d->msg == msg) {
            return d->cargo;
        }
    }
    return nullptr;
}

MsgCargo *MsgDeliveryCurrentCargo(void) {
    return t_delivery != nullptr ? t_delivery->cargo : nullptr;
}

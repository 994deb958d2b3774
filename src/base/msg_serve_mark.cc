/*
 * The receive thread's serving mark (see msg_serve_mark.h).
 */
#include "base/msg_serve_mark.h"

namespace {
// Initial-exec: read on every send of a task served on the receive thread.
__attribute__((tls_model("initial-exec"))) thread_local bool t_msgServingOnReceive = false;
} // namespace

bool MsgServeMarkSet(bool serving) {
    const bool previous = t_msgServingOnReceive;
    t_msgServingOnReceive = serving;
    return previous;
}

bool MsgServingOnReceive(void) {
    return t_msgServingOnReceive;
}

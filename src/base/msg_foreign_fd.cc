/*
 * The calling thread's closer for descriptors of other processes (see
 * msg_foreign_fd.h).
 */
#include "base/msg_foreign_fd.h"

#include <unistd.h>

namespace {

// Initial-exec: read for every message that brings descriptors (see t_lookups in simple_msg_registry.cc).
__attribute__((tls_model("initial-exec"))) thread_local MsgForeignFdCloser t_msgForeignFdCloser = nullptr;

} // namespace

void MsgForeignFdCloseBy(MsgForeignFdCloser closer) {
    t_msgForeignFdCloser = closer;
}

void MsgForeignFdClose(int fd) {
    if (fd < 0) {
        return;
    }
    if (t_msgForeignFdCloser != nullptr) {
        t_msgForeignFdCloser(fd);
    } else {
        (void)close(fd); // an interrupted close is not retried: Linux releases the number in any case
    }
}

/*
 * Names of the library's own threads, as the system's tools show them (ps
 * and top per thread, debuggers): every library thread names itself when it
 * starts, so that none carries only the process's name.
 *
 * OsPthreadSetName is optional in a platform library: it is bound weakly,
 * and without it the threads keep their inherited names.
 */
#ifndef VYRE_MSG_THREAD_NAME_H
#define VYRE_MSG_THREAD_NAME_H

#include "vyre_os_thread.h"

/* At most 15 characters each (the kernel's limit). */
#define MSG_THREAD_SERVER "vyre-server"
#define MSG_THREAD_RECV "vyre-recv"
#define MSG_THREAD_BATCH "vyre-batch"
#define MSG_THREAD_BROADCAST "vyre-pmsgBro"
#define MSG_THREAD_CONTROL "vyre-pmsgCtl"
#define MSG_THREAD_PRESENCE "vyre-presence"
#define MSG_THREAD_CLOSER "vyre-closer"

#pragma weak OsPthreadSetName

/* Names the calling thread; does nothing on a platform without names. */
static inline void MsgNameThisThread(const char *name) {
    if (OsPthreadSetName != NULL) {
        (void)OsPthreadSetName(name);
    }
}

#endif /* VYRE_MSG_THREAD_NAME_H */

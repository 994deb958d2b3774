/*
 * The forked-child flag (see msg_fork_state.h): one word set by the child
 * hook of pthread_atfork, which is installed once.
 */
#include "base/msg_fork_state.h"

#include <pthread.h>
#include <unistd.h>

namespace {

pthread_once_t g_forkWatchOnce = PTHREAD_ONCE_INIT;
/* Read with relaxed loads: the child hook writes them before any code of the
 * child reads them, on the child's only thread. */
uint32_t g_forkedChild = 0U;
uint32_t g_forkServedPid = 0U;

void MsgForkInChild(void) {
    __atomic_store_n(&g_forkedChild, 1U, __ATOMIC_RELAXED);
}

void MsgForkInstall(void) {
    __atomic_store_n(&g_forkServedPid, (uint32_t)getpid(), __ATOMIC_RELAXED);
    (void)pthread_atfork(nullptr, nullptr, MsgForkInChild);
}

} // namespace

extern "C" {

void MsgForkWatch(void) {
    (void)pthread_once(&g_forkWatchOnce, MsgForkInstall);
}

uint32_t MsgForkedChild(void) {
    return __atomic_load_n(&g_forkedChild, __ATOMIC_RELAXED);
}

uint32_t MsgForkServedPid(void) {
    return __atomic_load_n(&g_forkServedPid, __ATOMIC_RELAXED);
}

} // extern "C"

/*
 * The public API's gate: a count of calls inside and an open flag, both
 * sequentially consistent, so that a call that enters after the gate closed
 * always sees it closed, and a drain that reads the count after closing sees
 * every call that got in. Thread safety: see msg_api_gate.h.
 */
#include "core/msg_api_gate.h"

#include <atomic>

#include "vyre_os_lock.h"

namespace {

std::atomic<uint32_t> g_apiCallsInside{0U};
std::atomic<bool> g_apiOpen{false};

/* Calls of this thread that are inside: a teardown started from within one
 * (a task callback) must not wait for it. */
thread_local uint32_t t_apiDepth = 0U;

/* Only a draining teardown waits on g_apiDrainCond; a leaving call signals it
 * while the gate is closed. Innermost lock: nothing is taken under it. */
OsMutex g_apiDrainMutex = PTHREAD_MUTEX_INITIALIZER;
OsCond g_apiDrainCond = PTHREAD_COND_INITIALIZER;

} // namespace

extern "C" {

void MsgApiOpen(void) {
    g_apiOpen.store(true);
}

void MsgApiClose(void) {
    g_apiOpen.store(false);
}

void MsgApiDrain(void) {
    (void)OsMutexLock(&g_apiDrainMutex);
    while (g_apiCallsInside.load() > t_apiDepth) {
        (void)OsPthreadCondWait(&g_apiDrainCond, &g_apiDrainMutex);
    }
    (void)OsMutexUnLock(&g_apiDrainMutex);
}

uint32_t MsgApiEnter(void) {
    ++t_apiDepth;
    g_apiCallsInside.fetch_add(1U);
    if (!g_apiOpen.load()) {
        MsgApiLeave();
        return 0U;
    }
    return 1U;
}

void MsgApiLeave(void) {
    --t_apiDepth;
    g_apiCallsInside.fetch_sub(1U);
    if (!g_apiOpen.load()) {
        // The signal is taken under the drain's mutex, so a drain that has
        // just seen this call inside is already waiting and gets it.
        (void)OsMutexLock(&g_apiDrainMutex);
        (void)OsPthreadCondSignal(&g_apiDrainCond);
        (void)OsMutexUnLock(&g_apiDrainMutex);
    }
}

} // extern "C"

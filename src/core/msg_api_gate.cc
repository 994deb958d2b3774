/*
 * The public API's gate: a count of calls inside per kind and a block flag,
 * all sequentially consistent. A call raises its count, then reads the
 * initialised flag, then the block flag; set-up and teardown change the
 * initialised flag only while the gate is blocked. So a call that sees the
 * library initialised also sees any block set before that, and a drain that
 * reads a count after blocking sees every call that got in. Thread safety:
 * see msg_api_gate.h.
 */
#include "core/msg_api_gate.h"

#include <atomic>

#include "base/msg_fork_state.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "vyre_os_lock.h"

namespace {

constexpr uint32_t kApiKinds = 2U;

std::atomic<bool> g_apiBlocked{false};
std::atomic<uint32_t> g_apiCallsInside[kApiKinds] = {{0U}, {0U}};

/* Calls of this thread that are inside, per kind: a teardown started from
 * within one (a task callback) must not wait for it. Initial-exec: touched
 * twice per call. */
__attribute__((tls_model("initial-exec"))) thread_local uint32_t t_apiDepth[kApiKinds] = {0U, 0U};

/* Only a draining teardown waits on g_apiDrainCond; a leaving call signals it
 * while the gate is blocked. Innermost lock: nothing is taken under it. */
OsMutex g_apiDrainMutex = PTHREAD_MUTEX_INITIALIZER;
OsCond g_apiDrainCond = PTHREAD_COND_INITIALIZER;

} // namespace

extern "C" {

void MsgApiBlock(void) {
    g_apiBlocked.store(true);
}

void MsgApiUnblock(void) {
    g_apiBlocked.store(false);
}

uint32_t MsgApiBlocked(void) {
    return g_apiBlocked.load() ? 1U : 0U;
}

void MsgApiDrain(uint32_t kind) {
    (void)OsMutexLock(&g_apiDrainMutex);
    while (g_apiCallsInside[kind].load() > t_apiDepth[kind]) {
        (void)OsPthreadCondWait(&g_apiDrainCond, &g_apiDrainMutex);
    }
    (void)OsMutexUnLock(&g_apiDrainMutex);
}

uint32_t MsgApiEnter(uint32_t kind) {
    ++t_apiDepth[kind];
    g_apiCallsInside[kind].fetch_add(1U);
    if (SimpleMsgCheckInit() == 0U || g_apiBlocked.load() || MsgForkedChild() != 0U) {
        MsgApiLeave(kind);
        return 0U;
    }
    return 1U;
}

void MsgApiLeave(uint32_t kind) {
    --t_apiDepth[kind];
    g_apiCallsInside[kind].fetch_sub(1U);
    if (g_apiBlocked.load()) {
        // Signalled under the drain's mutex: a drain that has just seen this
        // call inside is already waiting and gets it.
        (void)OsMutexLock(&g_apiDrainMutex);
        (void)OsPthreadCondSignal(&g_apiDrainCond);
        (void)OsMutexUnLock(&g_apiDrainMutex);
    }
}

uint32_t MsgApiRefuse(const char *function, uint32_t line, const char *text) {
    if (MsgForkedChild() == 0U) {
        return MsgRefuse(function, line, text, OS_MSG_ERR_NOT_INIT);
    }
    if (OS_MSG_LOG_ERROR >= __atomic_load_n(&g_enLogLevel, __ATOMIC_RELAXED)) {
        MsgOutput(OS_MSG_LOG_ERROR, function, line, "process forked from pid %u: no call before exec.",
                  MsgForkServedPid());
    }
    return OS_MSG_ERR_FAIL;
}

} // extern "C"

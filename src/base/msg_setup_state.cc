/*
 * The set-up outcome that library threads wait for. One mutex and condition
 * guard the number of the current set-up, its phase and the count of its
 * threads that have not learnt the outcome yet. Thread safety: see
 * msg_setup_state.h.
 */
#include "base/msg_setup_state.h"

#include <condition_variable>
#include <mutex>

namespace {

enum class SetupPhase { kIdle, kRunning, kSucceeded, kFailed };

/* Never destroyed: a detached library thread may still be leaving them when
 * the process exits. g_setupCond: the phase or the undecided count changed. */
std::mutex &g_setupMutex = *new std::mutex;
std::condition_variable &g_setupCond = *new std::condition_variable;
uint32_t g_setupNumber = MSG_SETUP_NONE; // the current or last set-up
SetupPhase g_setupPhase = SetupPhase::kIdle;
uint32_t g_setupUndecided = 0U; // counted threads of g_setupNumber still waiting for the outcome

} // namespace

extern "C" {

uint32_t MsgSetupBegin(void) {
    std::lock_guard<std::mutex> lock(g_setupMutex);
    if (++g_setupNumber == MSG_SETUP_NONE) {
        ++g_setupNumber;
    }
    g_setupPhase = SetupPhase::kRunning;
    g_setupUndecided = 0U;
    g_setupCond.notify_all(); // threads of an earlier set-up still asking learn that it is over
    return g_setupNumber;
}

void MsgSetupEnd(bool succeeded) {
    std::unique_lock<std::mutex> lock(g_setupMutex);
    g_setupPhase = succeeded ? SetupPhase::kSucceeded : SetupPhase::kFailed;
    g_setupCond.notify_all();
    if (!succeeded) {
        g_setupCond.wait(lock, [] { return g_setupUndecided == 0U; });
    }
}

void MsgSetupLifeEnd(void) {
    std::lock_guard<std::mutex> lock(g_setupMutex);
    g_setupPhase = SetupPhase::kIdle;
    g_setupCond.notify_all();
}

uint32_t MsgSetupThreadStarting(void) {
    std::lock_guard<std::mutex> lock(g_setupMutex);
    if (g_setupPhase != SetupPhase::kRunning) {
        return MSG_SETUP_NONE;
    }
    ++g_setupUndecided;
    return g_setupNumber;
}

void MsgSetupThreadNotStarted(uint32_t setup) {
    std::lock_guard<std::mutex> lock(g_setupMutex);
    if (setup != MSG_SETUP_NONE && setup == g_setupNumber && g_setupUndecided > 0U) {
        --g_setupUndecided;
        g_setupCond.notify_all();
    }
}

bool MsgSetupAwait(uint32_t setup) {
    std::unique_lock<std::mutex> lock(g_setupMutex);
    if (setup == MSG_SETUP_NONE || setup != g_setupNumber) {
        return false;
    }
    g_setupCond.wait(lock, [setup] { return setup != g_setupNumber || g_setupPhase != SetupPhase::kRunning; });
    const bool serve = setup == g_setupNumber && g_setupPhase == SetupPhase::kSucceeded;
    if (setup == g_setupNumber && g_setupUndecided > 0U) {
        --g_setupUndecided;
        g_setupCond.notify_all();
    }
    return serve;
}

} // extern "C"

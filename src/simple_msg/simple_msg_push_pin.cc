/*
 * Push pins: how a push uses a task record without simpleQueueLock.
 *
 * A push that found its receiver in the thread's remembered look-ups pins
 * itself for the few steps of the push (a count on one of kPinSlots
 * counters, chosen per thread); code that releases a record, its ring or
 * its semaphore, or reads nodes in place, first holds the pushes off:
 * raises `g_holders` and waits until every pin count is 0. A push that pins
 * while pushes are held off takes its pin back and goes the locked way.
 * Both sides' store-then-load pairs are sequentially consistent, so either
 * the holder sees the pin and waits for it, or the push sees the holder and
 * backs off; a holder that has let go again has advanced the table's entry
 * epoch first, so a push that pins afterwards no longer trusts a look-up of
 * the released record.
 *
 * Thread safety: pins from any thread; holding off only with
 * simpleQueueLock held (so holders never wait for each other), and never
 * from inside a pin. A pinned push takes no lock and waits for nothing, so a
 * holder waits only for pushes already in flight.
 */
#include <atomic>
#include <thread>

#include "simple_msg/simple_msg_layer.h"

namespace {

constexpr uint32_t kPinSlots = 16U;

struct alignas(SIMPLE_MSG_CACHE_LINE) PinSlot {
    std::atomic<uint32_t> pins{0};
};

PinSlot g_pinSlots[kPinSlots];
std::atomic<uint32_t> g_holders{0};
std::atomic<uint32_t> g_nextSlot{0};

__attribute__((tls_model("initial-exec"))) thread_local PinSlot *t_pinSlot = nullptr;

PinSlot &OwnSlot() {
    PinSlot *slot = t_pinSlot;
    if (slot == nullptr) {
        slot = &g_pinSlots[g_nextSlot.fetch_add(1U, std::memory_order_relaxed) % kPinSlots];
        t_pinSlot = slot;
    }
    return *slot;
}

} // namespace

bool SimpleMsgPinPush(void) {
    PinSlot &slot = OwnSlot();
    slot.pins.fetch_add(1U, std::memory_order_seq_cst);
    if (g_holders.load(std::memory_order_seq_cst) == 0U) {
        return true;
    }
    slot.pins.fetch_sub(1U, std::memory_order_release);
    return false;
}

void SimpleMsgUnpinPush(void) {
    t_pinSlot->pins.fetch_sub(1U, std::memory_order_release);
}

void SimpleMsgHoldPushes(void) {
    g_holders.fetch_add(1U, std::memory_order_seq_cst);
    for (PinSlot &slot : g_pinSlots) {
        while (slot.pins.load(std::memory_order_seq_cst) != 0U) {
            std::this_thread::yield();
        }
    }
}

void SimpleMsgReleasePushes(void) {
    g_holders.fetch_sub(1U, std::memory_order_release);
}

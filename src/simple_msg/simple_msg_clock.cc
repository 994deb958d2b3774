/*
 * The clock of the callback times (see simple_msg_clock.h). The learned
 * conversion is published once: the anchor pair and the rate are written
 * before the release store of g_rate, and readers load g_rate with acquire
 * before they read the anchors.
 */
#include "simple_msg/simple_msg_clock.h"

#include <atomic>
#include <chrono>

namespace {

uint64_t MonotonicNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

#if defined(__x86_64__)

inline uint64_t Ticks() {
    return __builtin_ia32_rdtsc();
}

// Nanoseconds per tick, as a fixed-point number with kRateShift fraction
// bits; 0 until learned. The plausible rates are those of counters between
// 50 MHz and 20 GHz.
constexpr uint32_t kRateShift = 32U;
constexpr uint64_t kMinRate = (1ULL << kRateShift) / 20U;
constexpr uint64_t kMaxRate = (1ULL << kRateShift) * 20U;

std::atomic<uint64_t> g_rate{0};
uint64_t g_anchorTicks = 0; // written once, before g_rate
uint64_t g_anchorNs = 0;

// The first pair of readings, taken by the first caller: ticks first, then
// nanoseconds with release, so a reader that sees the nanoseconds sees both.
std::atomic<bool> g_learning{false};
std::atomic<uint64_t> g_firstTicks{0};
std::atomic<uint64_t> g_firstNs{0};
// Taken by the caller that publishes the rate (or gives up on the counter).
std::atomic<bool> g_learned{false};

// A monotonic clock reading that also moves the learning on.
uint64_t Learn() {
    if (g_learned.load(std::memory_order_relaxed)) {
        return MonotonicNs(); // the counter was found unfit
    }
    const uint64_t ticks = Ticks();
    const uint64_t ns = MonotonicNs();
    if (!g_learning.load(std::memory_order_relaxed) && !g_learning.exchange(true, std::memory_order_relaxed)) {
        g_firstTicks.store(ticks, std::memory_order_relaxed);
        g_firstNs.store(ns, std::memory_order_release);
        return ns;
    }
    const uint64_t firstNs = g_firstNs.load(std::memory_order_acquire);
    if (firstNs == 0U || ns - firstNs < SIMPLE_MSG_CLOCK_LEARN_NS ||
        g_learned.exchange(true, std::memory_order_relaxed)) {
        return ns;
    }
    const uint64_t firstTicks = g_firstTicks.load(std::memory_order_relaxed);
    if (ticks > firstTicks) {
        const unsigned __int128 scaled = static_cast<unsigned __int128>(ns - firstNs) << kRateShift;
        const uint64_t rate = static_cast<uint64_t>(scaled / (ticks - firstTicks));
        if (rate >= kMinRate && rate <= kMaxRate) {
            g_anchorTicks = ticks;
            g_anchorNs = ns;
            g_rate.store(rate, std::memory_order_release);
        }
    }
    return ns;
}

#endif

} // namespace

extern "C" uint64_t SimpleMsgClockNs(void) {
#if defined(__x86_64__)
    const uint64_t rate = g_rate.load(std::memory_order_acquire);
    if (rate == 0U) {
        return Learn();
    }
    const uint64_t ticks = Ticks();
    const uint64_t elapsed = ticks > g_anchorTicks ? ticks - g_anchorTicks : 0U;
    return g_anchorNs + static_cast<uint64_t>((static_cast<unsigned __int128>(elapsed) * rate) >> kRateShift);
#else
    return MonotonicNs();
#endif
}

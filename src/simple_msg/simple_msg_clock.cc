/*
 * The clock of the callback times (see simple_msg_clock.h). Learning: the
 * first caller takes the anchor pair (a counter reading and the monotonic
 * reading around it) and publishes it with a release store of g_anchorState;
 * a caller at least SIMPLE_MSG_CLOCK_LEARN_NS later takes a second pair,
 * computes the rate and publishes it with a release store of g_rate. A
 * counter that does not advance at a plausible rate is never used.
 */
#include "simple_msg/simple_msg_clock.h"

#include <atomic>

#include "base/msg_monotonic.h"

namespace {

// Nanoseconds per tick as a fixed-point number with kRateShift fraction bits.
constexpr uint32_t kRateShift = 32U;
// Plausible counters run between 50 MHz and 20 GHz.
constexpr uint64_t kMinRate = (1ULL << kRateShift) / 20U;
constexpr uint64_t kMaxRate = (1ULL << kRateShift) * 20U;
// A pair counts when its two monotonic readings lie this close together.
constexpr uint64_t kTightPairNs = 2000U;
constexpr int kPairTries = 4;

enum : uint32_t { kNoAnchor = 0U, kWritingAnchor = 1U, kAnchorSet = 2U };

std::atomic<uint64_t> g_rate{0};
std::atomic<uint32_t> g_anchorState{kNoAnchor};
std::atomic<bool> g_unfit{false};
uint64_t g_anchorTicks = 0; // written once, before g_anchorState becomes kAnchorSet
uint64_t g_anchorNs = 0;

inline uint64_t Ticks() {
#if defined(__x86_64__)
    return __builtin_ia32_rdtsc();
#else
    return MsgMonotonicNs();
#endif
}

struct Pair {
    uint64_t ticks;
    uint64_t ns;
};

// A counter reading with the monotonic time it was taken at, to within
// kTightPairNs; false when the thread was interrupted in every try.
bool TakePair(Pair *out) {
    for (int i = 0; i < kPairTries; ++i) {
        const uint64_t before = MsgMonotonicNs();
        const uint64_t ticks = Ticks();
        const uint64_t after = MsgMonotonicNs();
        if (after - before <= kTightPairNs) {
            out->ticks = ticks;
            out->ns = before + (after - before) / 2U;
            return true;
        }
    }
    return false;
}

// Nanoseconds per tick between the anchor and pair, fixed point; 0 when
// the counter did not advance.
uint64_t RateSinceAnchor(const Pair &pair) {
    if (pair.ticks <= g_anchorTicks || pair.ns <= g_anchorNs) {
        return 0U;
    }
    const unsigned __int128 scaled = static_cast<unsigned __int128>(pair.ns - g_anchorNs) << kRateShift;
    return static_cast<uint64_t>(scaled / (pair.ticks - g_anchorTicks));
}

inline uint64_t TicksToNs(uint64_t ticks, uint64_t rate) {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(ticks) * rate) >> kRateShift);
}

bool Learn() {
#if defined(__x86_64__)
    if (g_unfit.load(std::memory_order_relaxed)) {
        return false;
    }
    Pair pair;
    uint32_t state = g_anchorState.load(std::memory_order_acquire);
    if (state == kNoAnchor) {
        if (TakePair(&pair) &&
            g_anchorState.compare_exchange_strong(state, kWritingAnchor, std::memory_order_relaxed)) {
            g_anchorTicks = pair.ticks;
            g_anchorNs = pair.ns;
            g_anchorState.store(kAnchorSet, std::memory_order_release);
        }
        return false;
    }
    if (state != kAnchorSet || MsgMonotonicNs() - g_anchorNs < SIMPLE_MSG_CLOCK_LEARN_NS || !TakePair(&pair)) {
        return false;
    }
    const uint64_t rate = RateSinceAnchor(pair);
    if (rate < kMinRate || rate > kMaxRate) {
        g_unfit.store(true, std::memory_order_relaxed);
        return false;
    }
    uint64_t none = 0U;
    (void)g_rate.compare_exchange_strong(none, rate, std::memory_order_release, std::memory_order_relaxed);
    return true;
#else
    return false;
#endif
}

} // namespace

extern "C" {

bool SimpleMsgClockReady(void) {
    return g_rate.load(std::memory_order_acquire) != 0U || Learn();
}

uint64_t SimpleMsgClockTicks(void) {
    return Ticks();
}

uint64_t SimpleMsgClockSpanNs(uint64_t start, uint64_t end) {
    return end > start ? TicksToNs(end - start, g_rate.load(std::memory_order_relaxed)) : 0U;
}

void SimpleMsgClockExactMs(uint64_t start, uint64_t end, uint32_t *startMs, uint32_t *endMs) {
    uint64_t rate = g_rate.load(std::memory_order_acquire); // orders the anchor's reads
    Pair now;
    if (!TakePair(&now)) {
        now.ticks = Ticks();
        now.ns = MsgMonotonicNs();
    }
    const uint64_t longRate = RateSinceAnchor(now);
    rate = longRate != 0U ? longRate : rate;
    auto back = [&](uint64_t ticks) {
        const uint64_t ns = TicksToNs(now.ticks > ticks ? now.ticks - ticks : 0U, rate);
        return static_cast<uint32_t>((now.ns > ns ? now.ns - ns : 0U) / 1000000U);
    };
    *startMs = back(start);
    *endMs = back(end);
}

} // extern "C"

/*
 * The size of the stress tests, from one variable: VYRE_STRESS unset gives
 * the small sizes that keep `make test` quick; VYRE_STRESS=full (what
 * `make stress` sets) gives full size, millions of messages; a positive
 * integer multiplies the small sizes by that much.
 */
#ifndef VYRE_TEST_STRESS_SCALE_H
#define VYRE_TEST_STRESS_SCALE_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

// How many times the small sizes full size is, for tests that scale.
constexpr uint32_t kStressFullScale = 64U;

// Read before the test starts its threads.
inline uint32_t StressScale() {
    const char *text = std::getenv("VYRE_STRESS"); // NOLINT(concurrency-mt-unsafe): no thread sets it
    if (text == nullptr) {
        return 1U;
    }
    if (std::strcmp(text, "full") == 0) {
        return kStressFullScale;
    }
    long scale = std::strtol(text, nullptr, 10);
    return scale > 0 ? static_cast<uint32_t>(scale) : 1U;
}

#endif // VYRE_TEST_STRESS_SCALE_H

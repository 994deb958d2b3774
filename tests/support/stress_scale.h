/*
 * The size of the stress tests: VYRE_STRESS_SCALE, a positive integer
 * (default 1), multiplies the work they do, so that `make test` stays quick
 * and a longer run is one variable away.
 */
#ifndef VYRE_TEST_STRESS_SCALE_H
#define VYRE_TEST_STRESS_SCALE_H

#include <cstdint>
#include <cstdlib>

// Read before the test starts its threads.
inline uint32_t StressScale() {
    const char *text = std::getenv("VYRE_STRESS_SCALE"); // NOLINT(concurrency-mt-unsafe): no thread sets it
    long scale = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
    return scale > 0 ? static_cast<uint32_t>(scale) : 1U;
}

#endif // VYRE_TEST_STRESS_SCALE_H

/*
 * Sleeping and the system run time over the monotonic clock.
 *
 * Stateless; every function may be called from any thread. Sleeps resume
 * after a signal with the time that is left, so they never end early.
 */
#include "vyre_os_time.h"

#include <errno.h>
#include <time.h>

namespace {

void SleepFor(time_t seconds, long nanoseconds) {
    struct timespec left = {seconds, nanoseconds};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace

extern "C" {

void OsSleep(uint32_t seconds) {
    SleepFor(static_cast<time_t>(seconds), 0);
}

void OsSleepMs(uint32_t milliseconds) {
    SleepFor(static_cast<time_t>(milliseconds / 1000U), static_cast<long>(milliseconds % 1000U) * 1000000L);
}

uint32_t OsGetSysRunTime(void) {
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000ULL + static_cast<uint64_t>(now.tv_nsec) / 1000000ULL;
    return static_cast<uint32_t>(ms);
}

} // extern "C"

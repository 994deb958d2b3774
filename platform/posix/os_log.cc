/*
 * The platform log: level filter, formatting and a replaceable sink, with a
 * route through which a library that loads this one takes the records no
 * sink was set for.
 *
 * Sink, route, their levels and the level in force are atomics read on every
 * call; a record uses the values it read when it started. The setters take a
 * private mutex (a leaf lock: nothing is called under it) so that the level
 * in force always matches the sink or route that was set last, whichever
 * thread set what. A record below the level in force costs one relaxed load
 * and a comparison: nothing is formatted, no clock is read and no system
 * call is made. A passing record is formatted on the caller's stack (no
 * allocation, no shared buffer) and handed to its sink on the caller's
 * thread, without the line end its format may have had.
 */
#include "vyre_os_log.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

namespace {

// The platform's line size: longer records are cut to it.
constexpr size_t kLineSize = 1024;
// A level no record reaches.
constexpr uint32_t kNoRecord = 5;

// nullptr selects the default sink (or the route).
std::atomic<OsLogSink> g_logSink{nullptr};
std::atomic<uint32_t> g_logLevel{OS_LOG_ERROR};
std::atomic<OsLogSink> g_routeSink{nullptr};
std::atomic<uint32_t> g_routeLevel{kNoRecord};
// The level that applies to the sink a record goes to now.
std::atomic<uint32_t> g_levelInForce{OS_LOG_ERROR};
// Serialises the setters; trivially destructible.
pthread_mutex_t g_setLock = PTHREAD_MUTEX_INITIALIZER;

const char *LevelName(uint32_t level) {
    static const char *const kNames[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    return level < sizeof(kNames) / sizeof(kNames[0]) ? kNames[level] : "UNKNOWN";
}

// Writes "[tag][LEVEL] text\n" to standard error with one write, so that
// concurrent records do not interleave within a line.
void DefaultSink(uint32_t level, const char *tag, const char *text) {
    char line[kLineSize + 64];
    int len = snprintf(line, sizeof(line), "[%s][%s] %s\n", tag, LevelName(level), text);
    if (len <= 0) {
        return;
    }
    size_t n = static_cast<size_t>(len);
    if (n >= sizeof(line)) {
        n = sizeof(line) - 1;
        line[n - 1] = '\n';
    }
    (void)!write(STDERR_FILENO, line, n);
}

// Recomputes the level in force; the caller holds g_setLock.
void UpdateLevelInForce() {
    uint32_t level = g_logLevel.load(std::memory_order_relaxed);
    if (g_logSink.load(std::memory_order_relaxed) == nullptr &&
        g_routeSink.load(std::memory_order_relaxed) != nullptr) {
        level = g_routeLevel.load(std::memory_order_relaxed);
    }
    g_levelInForce.store(level, std::memory_order_relaxed);
}

} // namespace

extern "C" {

void OsLogPrintf(uint32_t level, const char *tag, const char *format, ...) {
    if (level < g_levelInForce.load(std::memory_order_relaxed) || format == nullptr) {
        return;
    }
    char text[kLineSize];
    va_list args;
    va_start(args, format);
    int len = vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (len < 0) {
        return;
    }
    size_t end = strlen(text);
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) {
        text[--end] = '\0';
    }
    OsLogSink sink = g_logSink.load(std::memory_order_acquire);
    if (sink == nullptr) {
        sink = g_routeSink.load(std::memory_order_acquire);
    }
    (sink != nullptr ? sink : DefaultSink)(level, tag != nullptr ? tag : "", text);
}

uint32_t OsLogEnabled(uint32_t level) {
    return level >= g_levelInForce.load(std::memory_order_relaxed) ? 1U : 0U;
}

void OsLogSetSink(OsLogSink sink) {
    (void)pthread_mutex_lock(&g_setLock);
    g_logSink.store(sink, std::memory_order_release);
    UpdateLevelInForce();
    (void)pthread_mutex_unlock(&g_setLock);
}

void OsLogSetLevel(uint32_t level) {
    (void)pthread_mutex_lock(&g_setLock);
    g_logLevel.store(level, std::memory_order_relaxed);
    UpdateLevelInForce();
    (void)pthread_mutex_unlock(&g_setLock);
}

void OsLogSetRoute(OsLogSink route, uint32_t level) {
    (void)pthread_mutex_lock(&g_setLock);
    g_routeSink.store(route, std::memory_order_release);
    g_routeLevel.store(level, std::memory_order_relaxed);
    UpdateLevelInForce();
    (void)pthread_mutex_unlock(&g_setLock);
}

} // extern "C"

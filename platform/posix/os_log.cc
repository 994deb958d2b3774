/*
 * The platform log: level filter, formatting and a replaceable sink.
 *
 * Level and sink are atomics read on every call and changed at any time
 * without a lock; a record uses the values it read when it started. A record
 * below the level costs one relaxed load and a comparison: nothing is
 * formatted, no clock is read and no system call is made. A passing record is
 * formatted on the caller's stack (no allocation, no shared buffer) and handed
 * to the sink on the caller's thread.
 */
#include "vyre_os_log.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

namespace {

// The platform's line size: longer records are cut to it.
constexpr size_t kLineSize = 1024;

std::atomic<uint32_t> g_logLevel{OS_LOG_ERROR};
// nullptr selects the default sink.
std::atomic<OsLogSink> g_logSink{nullptr};

const char *LevelName(uint32_t level) {
    static const char *const kNames[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    return level < sizeof(kNames) / sizeof(kNames[0]) ? kNames[level] : "UNKNOWN";
}

// Writes "[tag][LEVEL] text\n" to standard error with one write, so that
// concurrent records do not interleave within a line.
void DefaultSink(uint32_t level, const char *tag, const char *text) {
    // A record that brings its own line end gets no second one.
    size_t textLen = strlen(text);
    const char *end = textLen > 0 && text[textLen - 1] == '\n' ? "" : "\n";
    char line[kLineSize + 64];
    int len = snprintf(line, sizeof(line), "[%s][%s] %s%s", tag, LevelName(level), text, end);
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

} // namespace

extern "C" {

void OsLogPrintf(uint32_t level, const char *tag, const char *format, ...) {
    if (level < g_logLevel.load(std::memory_order_relaxed) || format == nullptr) {
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
    OsLogSink sink = g_logSink.load(std::memory_order_acquire);
    (sink != nullptr ? sink : DefaultSink)(level, tag != nullptr ? tag : "", text);
}

uint32_t OsLogEnabled(uint32_t level) {
    return level >= g_logLevel.load(std::memory_order_relaxed) ? 1U : 0U;
}

void OsLogSetSink(OsLogSink sink) {
    g_logSink.store(sink, std::memory_order_release);
}

void OsLogSetLevel(uint32_t level) {
    g_logLevel.store(level, std::memory_order_relaxed);
}

} // extern "C"

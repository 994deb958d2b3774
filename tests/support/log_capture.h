/*
 * Captures the log records of both conventions for assertions: the platform
 * log (OsLogPrintf records, tag and text) and the library's own lines
 * (MsgOutput). While an instance lives it is the sink of both and all levels
 * pass (the previous levels come back when it is destroyed). Thread-safe:
 * records may arrive from any thread. At most one instance at a time.
 */
#ifndef VYRE_TEST_LOG_CAPTURE_H
#define VYRE_TEST_LOG_CAPTURE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct LogRecord {
    uint32_t level;
    std::string text; // platform records: the formatted text; library lines: the whole line
    bool platform;    // true for OsLogPrintf records, false for MsgOutput lines
};

class LogCapture {
public:
    // platformLevel / msgLevel: the thresholds to apply while capturing.
    explicit LogCapture(uint32_t platformLevel = 0, uint32_t msgLevel = 0);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogRecord> Records() const;
    // Number of records (of either convention) whose text contains needle,
    // optionally only those of one level.
    size_t Count(const std::string &needle) const;
    size_t Count(const std::string &needle, uint32_t level) const;
    void Clear();
    // All texts joined by newlines, for failure messages.
    std::string Dump() const;

private:
    static void PlatformSink(uint32_t level, const char *tag, const char *text);
    static void MsgSink(uint32_t level, const char *line);
    void Add(uint32_t level, const char *text, bool platform);
    size_t CountAt(const std::string &needle, const uint32_t *level) const; // any level when null

    mutable std::mutex mutex_;
    std::vector<LogRecord> records_; // guarded by mutex_
    uint32_t savedMsgLevel_;
};

#endif // VYRE_TEST_LOG_CAPTURE_H

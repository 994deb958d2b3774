#include "support/log_capture.h"

#include <mutex>

#include "log/msg_log.h"
#include "vyre_os_log.h"

namespace {
// The capture that records go to. A sink holds g_activeLock while it adds to
// it, so a capture going out of scope waits for a record that another thread
// (a task loop still running) is adding to it.
std::mutex g_activeLock;
LogCapture *g_active = nullptr; // guarded by g_activeLock
} // namespace

LogCapture::LogCapture(uint32_t platformLevel, uint32_t msgLevel) : savedMsgLevel_(g_enLogLevel) {
    {
        std::lock_guard<std::mutex> lock(g_activeLock);
        g_active = this;
    }
    OsLogSetSink(&LogCapture::PlatformSink);
    OsLogSetLevel(platformLevel);
    MsgSetLogFunc(&LogCapture::MsgSink);
    MsgSetLogLevel(msgLevel);
}

LogCapture::~LogCapture() {
    OsLogSetSink(nullptr);
    OsLogSetLevel(OS_LOG_ERROR);
    MsgSetLogFunc(&MsgDefaultLogFunc);
    MsgSetLogLevel(savedMsgLevel_);
    std::lock_guard<std::mutex> lock(g_activeLock);
    g_active = nullptr;
}

void LogCapture::PlatformSink(uint32_t level, const char * /*tag*/, const char *text) {
    std::lock_guard<std::mutex> lock(g_activeLock);
    if (g_active != nullptr) {
        g_active->Add(level, text, true);
    }
}

void LogCapture::MsgSink(uint32_t level, const char *line) {
    std::lock_guard<std::mutex> lock(g_activeLock);
    if (g_active != nullptr) {
        g_active->Add(level, line, false);
    }
}

void LogCapture::Add(uint32_t level, const char *text, bool platform) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(LogRecord{level, text != nullptr ? text : "", platform});
}

std::vector<LogRecord> LogCapture::Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

size_t LogCapture::Count(const std::string &needle) const {
    return CountAt(needle, nullptr);
}

size_t LogCapture::Count(const std::string &needle, uint32_t level) const {
    return CountAt(needle, &level);
}

size_t LogCapture::CountAt(const std::string &needle, const uint32_t *level) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const LogRecord &r : records_) {
        n += ((level == nullptr || r.level == *level) && r.text.find(needle) != std::string::npos) ? 1 : 0;
    }
    return n;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

std::string LogCapture::Dump() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const LogRecord &r : records_) {
        out += (r.platform ? "[platform " : "[msg ") + std::to_string(r.level) + "] " + r.text + "\n";
    }
    return out;
}

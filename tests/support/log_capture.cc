#include "support/log_capture.h"

#include <atomic>

#include "log/msg_log.h"
#include "vyre_os_log.h"

namespace {
std::atomic<LogCapture *> g_active{nullptr};
} // namespace

LogCapture::LogCapture(uint32_t platformLevel, uint32_t msgLevel) : savedMsgLevel_(g_enLogLevel) {
    g_active.store(this);
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
    g_active.store(nullptr);
}

void LogCapture::PlatformSink(uint32_t level, const char * /*tag*/, const char *text) {
    LogCapture *self = g_active.load();
    if (self != nullptr) {
        self->Add(level, text, true);
    }
}

void LogCapture::MsgSink(uint32_t level, const char *line) {
    LogCapture *self = g_active.load();
    if (self != nullptr) {
        self->Add(level, line, false);
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
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const LogRecord &r : records_) {
        n += r.text.find(needle) != std::string::npos ? 1 : 0;
    }
    return n;
}

size_t LogCapture::Count(const std::string &needle, uint32_t level) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const LogRecord &r : records_) {
        n += (r.level == level && r.text.find(needle) != std::string::npos) ? 1 : 0;
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

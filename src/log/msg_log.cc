/*
 * The library's own log line: level filter, prefix, message and sink.
 *
 * Thread safety: any thread may log at any time. A line is built in stack
 * buffers only and no lock is taken. The threshold and the sink are plain
 * process-wide words read and written with relaxed atomic operations, so a
 * change applies to lines that start after it; the sink itself must be safe
 * for concurrent calls. Each change is passed on to the platform log's route
 * (msg_log_route.cc), so that the same two settings govern the platform
 * records of the library as well.
 */
#include "log/msg_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "vyre_os_thread.h"
#include "vyre_securec.h"

namespace {

constexpr uint32_t kLogLevelCount = 5; // DEBUG .. FATAL
constexpr size_t kTimeBufferSize = 64;
constexpr size_t kLineBufferSize = 768;
constexpr size_t kDefaultSinkBufferSize = 1024;

// Five characters each, so that the columns of consecutive lines line up.
const char *const kLevelNames[kLogLevelCount] = {"DEBUG", "INFO ", "WARN ", "ERROR", "FATAL"};

// Where finished lines go; null switches MsgOutput off entirely.
OsMsgLogFunc g_pfnMsgLogFunc = MsgDefaultLogFunc;

} // namespace

extern "C" {

uint32_t g_enLogLevel = OS_MSG_LOG_ERROR;

void MsgOutput(uint32_t level, const char *functionName, uint32_t line, const char *format, ...) {
    OsMsgLogFunc sink = __atomic_load_n(&g_pfnMsgLogFunc, __ATOMIC_RELAXED);
    if (sink == nullptr) {
        return;
    }
    if (__atomic_load_n(&g_enLogLevel, __ATOMIC_RELAXED) > level || level >= kLogLevelCount) {
        return;
    }

    char timeBuffer[kTimeBufferSize] = {0};
    MsgGetCurTime(timeBuffer, (uint32_t)sizeof(timeBuffer));

    char lineBuffer[kLineBufferSize];
    int prefixLen = sprintf_s(lineBuffer, sizeof(lineBuffer), "[%s][%s][P:%d/T:%d][%s:%u]", timeBuffer,
                              kLevelNames[level], (int)OsGetPId(), (int)syscall(SYS_gettid), functionName, line);
    if (prefixLen < 0) {
        (void)fputs("secure func error.", stdout);
        return;
    }

    va_list args;
    va_start(args, format);
    int messageLen = vsprintf_s(lineBuffer + prefixLen, sizeof(lineBuffer) - (size_t)prefixLen, format, args);
    va_end(args);
    if (messageLen < 0) {
        return; // too long or malformed: the line is dropped whole, never cut
    }

    size_t used = (size_t)prefixLen + (size_t)messageLen;
    if (sizeof(lineBuffer) - used > 1) {
        (void)sprintf_s(lineBuffer + used, sizeof(lineBuffer) - used, "\r");
    }
    sink(level, lineBuffer);
}

void MsgSetLogLevel(uint32_t level) {
    if (level < kLogLevelCount) {
        __atomic_store_n(&g_enLogLevel, level, __ATOMIC_RELAXED);
        MsgLogRouteUpdate();
    }
}

void MsgSetLogFunc(OsMsgLogFunc func) {
    __atomic_store_n(&g_pfnMsgLogFunc, func, __ATOMIC_RELAXED);
    MsgLogRouteUpdate();
}

uint32_t MsgLogPassLevel(void) {
    if (__atomic_load_n(&g_pfnMsgLogFunc, __ATOMIC_RELAXED) == nullptr) {
        return kLogLevelCount;
    }
    return __atomic_load_n(&g_enLogLevel, __ATOMIC_RELAXED);
}

void MsgGetCurTime(char *buffer, uint32_t size) {
    struct timeval now;
    struct tm local;
    (void)gettimeofday(&now, nullptr);
    if (localtime_r(&now.tv_sec, &local) == nullptr) {
        return;
    }
    // The zone suffix is fixed: every process of the platform stamps the same one.
    int written =
        sprintf_s(buffer, size, "%d-%02d-%02d %02d:%02d:%02d.%03d+08:00", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, (int)(now.tv_usec / 1000));
    if (written < 0) {
        OS_MSG_LOG(OS_LOG_ERROR, "secure func error.");
    }
}

void MsgDefaultLogFunc(uint32_t level, const char *text) {
    char buffer[kDefaultSinkBufferSize] = {0};
    int len = sprintf_s(buffer, sizeof(buffer) - 1, "[vyre_os_msg]: level[%d]:%s", (int)level, text);
    if (len < 0) {
        (void)puts("[vyre_os_msg]: sprintf_s fail!");
        return;
    }
    // One write per line, so that lines of concurrent threads stay whole;
    // the buffer keeps its last byte free for the line feed, which takes the
    // place of the line's own carriage return on a terminal or in a file.
    if (len > 0 && buffer[len - 1] == '\r') {
        --len;
    }
    buffer[len] = '\n';
    (void)!write(STDERR_FILENO, buffer, (size_t)len + 1U);
}

} // extern "C"

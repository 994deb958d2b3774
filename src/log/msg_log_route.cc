/*
 * One control for every log record of the library: the platform records of
 * the in-process layer, the tables and the registry go through the same
 * threshold and sink as the library's own lines.
 *
 * When the platform log offers a route (OsLogSetRoute, bound weakly: a
 * platform library may lack it), the library installs itself there when it
 * is loaded. The platform then hands over every record that no sink of its
 * own OsLogSetSink takes, and only those at or above the level the library
 * passes with the route, so a filtered record still costs the caller one
 * load and a comparison. Each record becomes a library line: its
 * "[function][line]:" head becomes the line's function and source line, so
 * a sink sees one shape of line whichever convention logged it.
 *
 * VYRE_OS_MSG_LOG_LEVEL, read when the library is loaded, sets the starting
 * threshold from outside the program: 0 to 4, or DEBUG, INFO, WARN, ERROR,
 * FATAL in any case. OsMsgSetLogLevel changes it later as usual.
 *
 * Thread safety: route updates are serialised by g_routeLock (a leaf lock,
 * trivially destructible), so the route always carries the threshold and
 * sink that were set last; records are handed over with no lock held.
 */
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "log/msg_log.h"
#include "vyre_os_lock.h"

#pragma weak OsLogSetRoute

namespace {

constexpr char kLevelEnv[] = "VYRE_OS_MSG_LOG_LEVEL";
constexpr size_t kFunctionSize = 64U;

OsMutex g_routeLock = PTHREAD_MUTEX_INITIALIZER;

/* Splits "[function][line]:message" into its parts; false for a text of
 * another shape. */
bool MsgSplitRecordHead(const char *text, char *function, uint32_t *line, const char **message) {
    if (text[0] != '[') {
        return false;
    }
    const char *close = strstr(text, "][");
    size_t len = close != nullptr ? static_cast<size_t>(close - text - 1) : 0U;
    if (len == 0U || len >= kFunctionSize) {
        return false;
    }
    char *end = nullptr;
    unsigned long number = strtoul(close + 2, &end, 10);
    if (end == close + 2 || end[0] != ']' || end[1] != ':') {
        return false;
    }
    memcpy(function, text + 1, len);
    function[len] = '\0';
    *line = static_cast<uint32_t>(number);
    *message = end + 2;
    return true;
}

/* The route: a platform record becomes a library line. */
void MsgLogPlatformRecord(uint32_t level, const char *tag, const char *text) {
    char function[kFunctionSize];
    uint32_t line = 0U;
    const char *message = text;
    if (!MsgSplitRecordHead(text, function, &line, &message)) {
        (void)strncpy(function, tag, sizeof(function) - 1U);
        function[sizeof(function) - 1U] = '\0';
    }
    // The record's own line end goes: the library line gets the one every
    // library line ends with.
    size_t len = strlen(message);
    while (len != 0U && (message[len - 1U] == '\n' || message[len - 1U] == '\r')) {
        --len;
    }
    MsgOutput(level, function, line, "%.*s", (int)len, message);
}

/* The level named by text, or a value above 4 when it names none. */
uint32_t MsgLogLevelNamed(const char *text) {
    static const char *const kNames[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    if (text[0] >= '0' && text[0] <= '4' && text[1] == '\0') {
        return static_cast<uint32_t>(text[0] - '0');
    }
    for (uint32_t level = 0U; level < sizeof(kNames) / sizeof(kNames[0]); ++level) {
        if (strcasecmp(text, kNames[level]) == 0) {
            return level;
        }
    }
    return OS_MSG_LOG_FATAL + 1U;
}

__attribute__((constructor)) void MsgLogStartUp(void) {
    const char *text = getenv(kLevelEnv);
    if (text != nullptr && text[0] != '\0') {
        uint32_t level = MsgLogLevelNamed(text);
        if (level <= OS_MSG_LOG_FATAL) {
            __atomic_store_n(&g_enLogLevel, level, __ATOMIC_RELAXED);
        } else {
            MSG_LOG(OS_MSG_LOG_ERROR, "%s [%.16s] names no level: use 0-4 or DEBUG, INFO, WARN, ERROR, FATAL.",
                    kLevelEnv, text);
        }
    }
    MsgLogRouteUpdate();
}

} // namespace

void MsgLogRouteUpdate(void) {
    if (OsLogSetRoute == nullptr) {
        return;
    }
    (void)OsMutexLock(&g_routeLock);
    OsLogSetRoute(MsgLogPlatformRecord, MsgLogPassLevel());
    (void)OsMutexUnLock(&g_routeLock);
}

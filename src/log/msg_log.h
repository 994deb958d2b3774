/*
 * The library's two log conventions.
 *
 * MSG_LOG: the library's own line, built by MsgOutput: time stamp, level
 * name, process and thread ids, function and source line, then the message;
 * filtered by g_enLogLevel and handed to the installed sink. Used by the
 * messaging core, the transport adapter and IPC transport, and the multi-CPU
 * layer.
 *
 * OS_MSG_LOG: a record of the platform log with the module tag "OS_MSG" and a
 * "[function][line]:" head and "\r\n" tail; the platform log filters it. Used
 * by the in-process layer, the subscription and broadcast tables, the service
 * registry, slice reassembly and the buffer-by-header operations. Where the
 * platform log offers a route (OsLogSetRoute, as its stand-in does), the
 * library routes these records through its own threshold and sink too, so
 * that OsMsgSetLogLevel and OsMsgRegLogFunc govern every record; a sink set
 * with the platform's own OsLogSetSink keeps them (msg_log_route.cc).
 *
 * Both take no lock and format nothing for a record that is filtered out.
 * g_enLogLevel and the sink are single words read and written with relaxed
 * atomic operations (no ordering with anything else): a change applies to
 * lines that start after it.
 */
#ifndef VYRE_MSG_LOG_H
#define VYRE_MSG_LOG_H

#include <stddef.h>
#include <stdint.h>

#include "vyre_os_log.h"
#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Lowest level MsgOutput passes on; initially 3 (ERROR). */
extern OS_MSG_API uint32_t g_enLogLevel;

/* Formats one line, appends "\r" while room remains, and hands it to the sink
 * when a sink is installed and g_enLogLevel <= level <= 4. A line longer than
 * 767 characters is dropped whole. Never fails the caller. */
OS_MSG_API void MsgOutput(uint32_t level, const char *functionName, uint32_t line, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5), cold))
#endif
    ;
/* A level below 5 becomes g_enLogLevel; other values are ignored. */
OS_MSG_API void MsgSetLogLevel(uint32_t level);
/* Installs the sink; NULL silences every MsgOutput line. */
OS_MSG_API void MsgSetLogFunc(OsMsgLogFunc func);
/* Writes "YYYY-MM-DD hh:mm:ss.mmm+08:00" (local time) into buffer of size
 * bytes; leaves the buffer unchanged when the clock cannot be converted. */
OS_MSG_API void MsgGetCurTime(char *buffer, uint32_t size);
/* The default sink: writes "[vyre_os_msg]: level[<level>]:<text>" and a line
 * feed to standard error with one write, so concurrent lines stay whole and
 * the program's standard output carries only what the program writes. */
OS_MSG_API void MsgDefaultLogFunc(uint32_t level, const char *text);
/* The lowest level the installed sink receives now: g_enLogLevel, or 5 (no
 * record) while no sink is installed. */
uint32_t MsgLogPassLevel(void);
/* Passes the current threshold and sink on to the platform log's route
 * (msg_log_route.cc); run after each change of either. */
void MsgLogRouteUpdate(void);

#ifdef __cplusplus
}
#endif

/* The library's own line; arguments are not evaluated when the level is
 * filtered out. */
#define MSG_LOG(level, ...)                                                                                            \
    do {                                                                                                               \
        if ((uint32_t)(level) >= __atomic_load_n(&g_enLogLevel, __ATOMIC_RELAXED)) {                                   \
            MsgOutput((uint32_t)(level), __func__, (uint32_t)__LINE__, __VA_ARGS__);                                   \
        }                                                                                                              \
    } while (0)

/* Yields code after an ERROR line of the calling function with text (any
 * characters, not a format), for refusals written as
 * `return MSG_REFUSE("text", code);`. */
#define MSG_REFUSE(text, code) MsgRefuse(__func__, (uint32_t)__LINE__, (text), (code))

static inline uint32_t MsgRefuse(const char *function, uint32_t line, const char *text, uint32_t code) {
    if (OS_MSG_LOG_ERROR >= __atomic_load_n(&g_enLogLevel, __ATOMIC_RELAXED)) {
        MsgOutput(OS_MSG_LOG_ERROR, function, line, "%s", text);
    }
    return code;
}

/* OsLogEnabled is optional in a platform library: it is bound weakly, so a
 * platform without it links all the same, and then every record goes to
 * OsLogPrintf, which keeps or drops it. */
#pragma weak OsLogEnabled
static inline bool MsgPlatformLogEnabled(uint32_t level) {
    return OsLogEnabled == NULL || OsLogEnabled(level) != 0U;
}

/* A platform log record of module "OS_MSG" in the "[%s][%d]:...\r\n" form.
 * fmt must be a string literal. Arguments are not evaluated when the
 * platform level drops the record (the message path logs its DEBUG steps
 * with computed values). */
#define OS_MSG_LOG(level, fmt, ...) OS_MSG_LOG_AS(__func__, level, fmt, ##__VA_ARGS__)

/* OS_MSG_LOG under the name of another function: for a step that logs as the
 * operation it belongs to. */
#define OS_MSG_LOG_AS(function, level, fmt, ...)                                                                       \
    do {                                                                                                               \
        if (MsgPlatformLogEnabled((uint32_t)(level))) {                                                                \
            OsLogPrintf((uint32_t)(level), "OS_MSG", "[%s][%d]:" fmt "\r\n", (function), (int)__LINE__,                \
                        ##__VA_ARGS__);                                                                                \
        }                                                                                                              \
    } while (0)

#endif /* VYRE_MSG_LOG_H */

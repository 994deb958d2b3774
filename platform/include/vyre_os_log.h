/*
 * The platform log: one record per call, tagged with a level (0 DEBUG,
 * 1 INFO, 2 WARN, 3 ERROR, 4 FATAL) and a module tag.
 *
 * Records below the platform level are dropped before anything is formatted,
 * so a filtered call costs a load and a comparison. The sink is called on the
 * logging thread and must be safe for concurrent calls. Level and sink may be
 * changed at any time; a change applies to records that start after it.
 *
 * Where a record goes: to the sink of OsLogSetSink when one is set (with the
 * level of OsLogSetLevel); else to the route of OsLogSetRoute when one is set
 * (with the route's own level), through which a library that loads this one
 * hands the records to its own log control; else to the default sink.
 */
#ifndef VYRE_OS_LOG_H
#define VYRE_OS_LOG_H

#include <stdarg.h>

#include "vyre_os_types.h"

OS_PLATFORM_BEGIN_DECLS

#define OS_LOG_DEBUG 0U
#define OS_LOG_INFO 1U
#define OS_LOG_WARN 2U
#define OS_LOG_ERROR 3U
#define OS_LOG_FATAL 4U

/* Receives each record that passed the level: level, module tag and the
 * formatted text, without the line-ending characters ("\r", "\n") the
 * format may have ended with. */
typedef void (*OsLogSink)(uint32_t level, const char *tag, const char *text);

/* Formats and emits one record. Never fails the caller: a record that cannot
 * be formatted is cut to the platform's line size (1024 bytes) or dropped. */
OS_PLATFORM_API void OsLogPrintf(uint32_t level, const char *tag, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
/* 1 when a record of level would pass the platform level now, else 0: lets
 * a caller skip computing the arguments of a record that would be dropped. */
OS_PLATFORM_API uint32_t OsLogEnabled(uint32_t level);
/* Replaces the sink; NULL restores the default, which writes
 * "[tag][LEVEL] text" lines to standard error. */
OS_PLATFORM_API void OsLogSetSink(OsLogSink sink);
/* Records below level are dropped; the default is 3 (ERROR). */
OS_PLATFORM_API void OsLogSetLevel(uint32_t level);
/* Routes the records that no sink of OsLogSetSink takes to route, which
 * receives those at or above level (5 or more: none); NULL ends the route
 * (the default sink and the level of OsLogSetLevel apply again). A sink of
 * OsLogSetSink keeps precedence over a route, whichever was set first.
 * Optional in a platform library: callers bind it weakly. */
OS_PLATFORM_API void OsLogSetRoute(OsLogSink route, uint32_t level);

OS_PLATFORM_END_DECLS

#endif /* VYRE_OS_LOG_H */

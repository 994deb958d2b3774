/*
 * The options of OsMsgInitWithOptions, read into the settings of one join.
 *
 * The record grows at its end only (see OsMsgOptions in vyre_os_msg.h): a
 * caller's size below the first version's is refused, the fields a smaller
 * size leaves out count as zero, and bytes beyond the record this library
 * knows must all be zero, since a field there asks for something this
 * library cannot do.
 *
 * Thread safety: no state; the caller's record is only read.
 */
#ifndef VYRE_MSG_JOIN_OPTIONS_H
#define VYRE_MSG_JOIN_OPTIONS_H

#include <stdint.h>

#include "vyre_os_msg.h"

/* What one join was asked for; the zero value is OsMsgInit's. */
typedef struct MsgJoinSettings {
    uint32_t carrier;   /* OS_MSG_CARRIER_* */
    const char *runDir; /* the caller's string, or NULL */
    bool hasLogLevel;
    uint32_t logLevel;
    bool hasLogSink;
    OsMsgLogFunc logSink;
} MsgJoinSettings;

/* Reads options (not NULL) into *out. 0; 0x80020001 (logged, *out zeroed)
 * for a size below OS_MSG_OPTIONS_SIZE_V1, a non-zero byte past the record
 * this library knows, an unknown flag or carrier, a log level above
 * OS_MSG_LOG_FATAL, or a run directory that is empty, not absolute or longer
 * than 80 characters. */
uint32_t MsgReadJoinOptions(const OsMsgOptions *options, MsgJoinSettings *out);

/* Applies what a join does first, before anything it logs: the log level
 * and sink settings asks for. */
void MsgApplyJoinLogging(const MsgJoinSettings *settings);

#endif /* VYRE_MSG_JOIN_OPTIONS_H */

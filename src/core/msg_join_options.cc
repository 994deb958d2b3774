/*
 * Reading the options of OsMsgInitWithOptions (see msg_join_options.h).
 */
#define MSG_MODULE "msg_proc"

#include "core/msg_join_options.h"

#include <string.h>

#include "log/msg_log.h"

namespace {

constexpr uint32_t kKnownFlags = OS_MSG_OPT_LOG_LEVEL | OS_MSG_OPT_LOG_SINK;
/* Longest run directory: a socket path in it must fit a socket address. */
constexpr size_t kRunDirMax = 80U;

uint32_t MsgRefuseOptions(MsgJoinSettings *out) {
    memset(out, 0, sizeof(*out));
    return OS_MSG_ERR_INVALID_PARAM;
}

/* The first byte at or past known within size bytes of raw that is not
 * zero, or size when all are. */
uint32_t MsgFirstUnknownByte(const uint8_t *raw, uint32_t known, uint32_t size) {
    for (uint32_t i = known; i < size; ++i) {
        if (raw[i] != 0U) {
            return i;
        }
    }
    return size;
}

} // namespace

uint32_t MsgReadJoinOptions(const OsMsgOptions *options, MsgJoinSettings *out) {
    memset(out, 0, sizeof(*out));
    if (options->size < OS_MSG_OPTIONS_SIZE_V1) {
        MSG_LOG(OS_MSG_LOG_ERROR, "options size %u below %u.", options->size, OS_MSG_OPTIONS_SIZE_V1);
        return MsgRefuseOptions(out);
    }
    const uint32_t known = (uint32_t)sizeof(OsMsgOptions);
    const uint32_t unknown = MsgFirstUnknownByte(reinterpret_cast<const uint8_t *>(options), known, options->size);
    if (unknown != options->size) {
        MSG_LOG(OS_MSG_LOG_ERROR, "options byte %u set: a field this library (%u bytes of options) does not know.",
                unknown, known);
        return MsgRefuseOptions(out);
    }
    OsMsgOptions copy;
    memset(&copy, 0, sizeof(copy));
    memcpy(&copy, options, options->size < known ? options->size : known);
    if ((copy.flags & ~kKnownFlags) != 0U || copy.carrier > OS_MSG_CARRIER_LOOPBACK ||
        ((copy.flags & OS_MSG_OPT_LOG_LEVEL) != 0U && copy.logLevel > OS_MSG_LOG_FATAL)) {
        MSG_LOG(OS_MSG_LOG_ERROR, "options flags 0x%x, carrier %u, log level %u: not known.", copy.flags, copy.carrier,
                copy.logLevel);
        return MsgRefuseOptions(out);
    }
    if (copy.runDir != nullptr && (copy.runDir[0] != '/' || strnlen(copy.runDir, kRunDirMax + 1U) > kRunDirMax)) {
        MSG_LOG(OS_MSG_LOG_ERROR, "run directory [%.*s] unusable.", (int)kRunDirMax, copy.runDir);
        return MsgRefuseOptions(out);
    }
    out->carrier = copy.carrier;
    out->runDir = copy.runDir;
    out->hasLogLevel = (copy.flags & OS_MSG_OPT_LOG_LEVEL) != 0U;
    out->logLevel = copy.logLevel;
    out->hasLogSink = (copy.flags & OS_MSG_OPT_LOG_SINK) != 0U;
    out->logSink = copy.logSink;
    return OS_MSG_OK;
}

void MsgApplyJoinLogging(const MsgJoinSettings *settings) {
    if (settings->hasLogSink) {
        MsgSetLogFunc(settings->logSink);
    }
    if (settings->hasLogLevel) {
        MsgSetLogLevel(settings->logLevel);
    }
}

/*
 * Result codes in words: each code's name and a one-line meaning that says
 * what to look at, for log lines and for OsMsgStrError.
 *
 * A log line shows a code as its hex value and its name:
 *
 *     MSG_LOG(OS_MSG_LOG_ERROR, "send failed " MSG_CODE_FMT ".", MSG_CODE_ARGS(ret));
 *
 * gives "send failed 0x80020007(OS_MSG_ERR_FULL).". MSG_CODE_ARGS evaluates
 * its argument twice.
 *
 * Stateless, constant tables; any thread.
 */
#ifndef VYRE_MSG_RESULT_CODE_H
#define VYRE_MSG_RESULT_CODE_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MSG_CODE_FMT "0x%08x(%s)"
#define MSG_CODE_ARGS(code) (unsigned)(code), MsgCodeName((uint32_t)(code))

/* The code's name as the public header spells it ("OS_MSG_ERR_FULL"), or
 * "unknown result code". Never NULL. */
const char *MsgCodeName(uint32_t code);

/* "NAME: meaning", or "unknown result code" for a value the public header
 * does not define. Never NULL. */
const char *MsgCodeText(uint32_t code);

/* True when the public header defines code (OS_MSG_OK included). */
bool MsgCodeKnown(uint32_t code);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_RESULT_CODE_H */

/*
 * The own process name: the one name of at most 15 characters under which
 * this process joined the messaging system, empty while it has not.
 *
 * Written only by process start-up and teardown (teardown under the
 * initialisation lock); read without a lock by everything else.
 */
#ifndef VYRE_MSG_PROC_NAME_H
#define VYRE_MSG_PROC_NAME_H

#include <stdint.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Stores name (length: its length with the terminator, at most 16).
 * 0; 0x80020001 (name NULL or length above 16; the stored name stays);
 * 0x8002000e (the name has 16 or more characters; the stored name is then
 * empty). MsgSetProcName("", 0) clears the name. Logs nothing: the caller
 * reports a failure. */
OS_MSG_API uint32_t MsgSetProcName(const char *name, uint32_t length);
/* The stored name: never NULL, the empty string when none is set. Compare it
 * over 16 bytes and copy it with bounded 16-byte copies. */
OS_MSG_API const char *MsgGetProcName(void);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_PROC_NAME_H */

/*
 * Process and task names: NUL-terminated strings of at most 15 characters in
 * 16-byte fields, compared as strings over at most 16 bytes.
 */
#ifndef VYRE_MSG_NAMES_H
#define VYRE_MSG_NAMES_H

#include <string.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* True when the two names agree up to the first NUL within 16 bytes. */
static inline int MsgNameEqual(const char *a, const char *b) {
    return strncmp(a, b, OS_MSG_NAME_LEN) == 0;
}

/* True when the name field is empty. */
static inline int MsgNameEmpty(const char *name) {
    return name[0] == '\0';
}

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_NAMES_H */

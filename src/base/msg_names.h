/*
 * Process and task names: NUL-terminated strings of at most 15 characters in
 * 16-byte fields, compared as strings over at most 16 bytes. A field that
 * came from a caller or from the wire may fill all 16 bytes without a
 * terminator; MsgNameCopy turns it into a C string.
 *
 * Stateless helpers; any thread.
 */
#ifndef VYRE_MSG_NAMES_H
#define VYRE_MSG_NAMES_H

#include <stdint.h>
#include <string.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* True when the two names agree up to the first NUL within 16 bytes. Most
 * names that differ do so in their first character, which is compared
 * inline; the send path compares several names per message. */
static inline int MsgNameEqual(const char *a, const char *b) {
    return a[0] == b[0] && strncmp(a, b, OS_MSG_NAME_LEN) == 0;
}

/* MsgNameEqual for two 16-byte name fields (both readable in full): fields
 * equal in all 16 bytes hold the same name, which decides the common case
 * of two zero-padded fields without a string comparison. */
static inline int MsgFieldEqual(const char *a, const char *b) {
    uint64_t a0, a1, b0, b1;
    memcpy(&a0, a, sizeof(a0));
    memcpy(&a1, a + sizeof(a0), sizeof(a1));
    memcpy(&b0, b, sizeof(b0));
    memcpy(&b1, b + sizeof(b0), sizeof(b1));
    return ((a0 ^ b0) | (a1 ^ b1)) == 0U || MsgNameEqual(a, b);
}

/* True when the name field is empty. */
static inline int MsgNameEmpty(const char *name) {
    return name[0] == '\0';
}

#ifdef __cplusplus
}

/* A terminated copy of a name field (at most 16 bytes of it are read), on
 * the stack: for look-ups and log lines, and for keeping a name that lives in
 * memory the next call may clear. */
struct MsgNameCopy {
    char text[OS_MSG_NAME_LEN + 1];
    explicit MsgNameCopy(const char *field) {
        size_t len = strnlen(field, OS_MSG_NAME_LEN);
        memcpy(text, field, len);
        text[len] = '\0';
    }
};
#endif

#endif /* VYRE_MSG_NAMES_H */

/*
 * The 16-byte name fields of message headers and event entries, written
 * from a string (zero-filled; a name of 16 characters fills the field with
 * no terminator, longer ones are cut) and read back up to the terminator or
 * the end of the field.
 */
#ifndef VYRE_TEST_NAMES_H
#define VYRE_TEST_NAMES_H

#include <algorithm>
#include <cstring>
#include <string>

#include "vyre_os_msg.h"

inline void CopyName(char (&field)[OS_MSG_NAME_LEN], const std::string &name) {
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, name.data(), std::min(name.size(), sizeof(field)));
}

// Reads no more than the field's 16 bytes of name, terminated or not.
inline void CopyName(char (&field)[OS_MSG_NAME_LEN], const char *name) {
    CopyName(field, std::string(name, strnlen(name, OS_MSG_NAME_LEN)));
}

inline std::string Name(const char (&field)[OS_MSG_NAME_LEN]) {
    return std::string(field, strnlen(field, OS_MSG_NAME_LEN));
}

#endif // VYRE_TEST_NAMES_H

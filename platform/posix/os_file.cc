/*
 * Buffered text files over the C library's streams.
 *
 * Stateless; a handle is used by one thread at a time.
 */
#include "vyre_os_file.h"

#include <stdio.h>

extern "C" {

OsFile *OsFopen(const char *path, const char *mode) {
    if (path == nullptr || mode == nullptr) {
        return nullptr;
    }
    return fopen(path, mode);
}

char *OsFgets(char *buf, int32_t size, OsFile *file) {
    if (buf == nullptr || file == nullptr || size < 2) {
        return nullptr;
    }
    return fgets(buf, size, file);
}

int32_t OsFclose(OsFile *file) {
    if (file == nullptr) {
        return EOF;
    }
    return fclose(file) == 0 ? 0 : EOF;
}

} // extern "C"

/*
 * Buffered text files. A handle is used by one thread at a time.
 */
#ifndef VYRE_OS_FILE_H
#define VYRE_OS_FILE_H

#include <stdio.h>

#include "vyre_os_types.h"

OS_PLATFORM_BEGIN_DECLS

typedef FILE OsFile;

/* Opens path with an fopen mode ("r"). NULL when it cannot be opened or
 * either argument is NULL. */
OS_PLATFORM_API OsFile *OsFopen(const char *path, const char *mode);
/* Reads the next line, with its line feed when one fits, into buf of size
 * bytes, zero-terminated. Returns buf, or NULL at end of file, on a read
 * error, or for a NULL argument or a size below 2. */
OS_PLATFORM_API char *OsFgets(char *buf, int32_t size, OsFile *file);
/* Closes the file. 0 on success; non-zero for NULL or a failed close. */
OS_PLATFORM_API int32_t OsFclose(OsFile *file);

OS_PLATFORM_END_DECLS

#endif /* VYRE_OS_FILE_H */

/*
 * Bounds-checking memory and string functions with the semantics of C11
 * Annex K, which the C library of this platform does not provide.
 *
 * Each returns 0 (or, for the formatting functions, the number of characters
 * written) when its runtime constraints hold. On a violation the destination
 * is cleared where Annex K says so and a non-zero (memcpy_s, memset_s,
 * strcpy_s) or negative (sprintf_s, vsprintf_s, also on output that does not
 * fit) result is returned. There is no constraint handler: violations are
 * reported only through the result. Thread-safe.
 */
#ifndef VYRE_SECUREC_H
#define VYRE_SECUREC_H

#include <stdarg.h>
#include <stddef.h>

#include "vyre_os_types.h"

OS_PLATFORM_BEGIN_DECLS

#ifndef __STDC_LIB_EXT1__
typedef int errno_t;
typedef size_t rsize_t;
#endif

/* Largest size any of these functions accepts; larger sizes are treated as
 * negative values converted to size_t and refused. */
#define VYRE_RSIZE_MAX ((size_t)(SIZE_MAX >> 1))

/* Copies count bytes. Refused (dest cleared when dest and destsz are valid)
 * when dest or src is NULL, destsz or count exceeds VYRE_RSIZE_MAX,
 * count > destsz, or the two areas overlap. */
OS_PLATFORM_API errno_t memcpy_s(void *dest, rsize_t destsz, const void *src, rsize_t count);
/* Sets count bytes to ch. When count > destsz, sets destsz bytes and fails. */
OS_PLATFORM_API errno_t memset_s(void *dest, rsize_t destsz, int ch, rsize_t count);
/* Copies the string with its terminator. Refused (dest[0] = 0 when dest and
 * destsz are valid) when dest or src is NULL, destsz is 0 or too large, the
 * string with its terminator does not fit, or the areas overlap. */
OS_PLATFORM_API errno_t strcpy_s(char *dest, rsize_t destsz, const char *src);
/* Formats into buf of bufsz bytes. Returns the length written (without the
 * terminator), or a negative value when an argument is invalid, formatting
 * fails or the output with its terminator does not fit in bufsz; buf[0] is
 * then 0 when buf and bufsz are valid. */
OS_PLATFORM_API int sprintf_s(char *buf, rsize_t bufsz, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
OS_PLATFORM_API int vsprintf_s(char *buf, rsize_t bufsz, const char *format, va_list args)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 0)))
#endif
    ;
/* Re-entrant tokenizer: *strmax holds the characters left in the string being
 * scanned and is updated. Returns the next token or NULL at the end or on a
 * violation (NULL strmax, delim or ptr; str NULL with *ptr NULL). */
OS_PLATFORM_API char *strtok_s(char *str, rsize_t *strmax, const char *delim, char **ptr);

OS_PLATFORM_END_DECLS

#endif /* VYRE_SECUREC_H */

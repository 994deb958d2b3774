/*
 * The bounds-checking functions of C11 Annex K over the C library.
 *
 * Each function checks its runtime constraints and then calls the plain C
 * library function (memcpy, memset, vsnprintf), so a checked copy costs a few
 * comparisons more than an unchecked one. There is no constraint handler: a
 * violation only shows in the result and, where Annex K asks for it, in a
 * cleared destination. Stateless and thread-safe.
 */
#include "vyre_securec.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

inline bool Overlap(const void *a, size_t aLen, const void *b, size_t bLen) {
    auto pa = reinterpret_cast<uintptr_t>(a);
    auto pb = reinterpret_cast<uintptr_t>(b);
    return pa < pb + bLen && pb < pa + aLen;
}

// True when format holds a %n conversion, which Annex K refuses because it
// writes through an argument.
bool HasWritebackConversion(const char *format) {
    for (const char *p = strchr(format, '%'); p != nullptr; p = strchr(p, '%')) {
        ++p;
        p += strspn(p, "-+ #0'123456789.*$hlLqjzt");
        if (*p == 'n') {
            return true;
        }
        if (*p == '\0') {
            break;
        }
        ++p;
    }
    return false;
}

} // namespace

extern "C" {

errno_t memcpy_s(void *dest, rsize_t destsz, const void *src, rsize_t count) {
    if (dest == nullptr || destsz > VYRE_RSIZE_MAX) {
        return EINVAL;
    }
    if (src == nullptr || count > VYRE_RSIZE_MAX || count > destsz || Overlap(dest, count, src, count)) {
        memset(dest, 0, destsz);
        return count > destsz ? ERANGE : EINVAL;
    }
    memcpy(dest, src, count);
    return 0;
}

errno_t memset_s(void *dest, rsize_t destsz, int ch, rsize_t count) {
    if (dest == nullptr || destsz > VYRE_RSIZE_MAX) {
        return EINVAL;
    }
    if (count > destsz) {
        memset(dest, ch, destsz);
        return count > VYRE_RSIZE_MAX ? EINVAL : ERANGE;
    }
    memset(dest, ch, count);
    return 0;
}

errno_t strcpy_s(char *dest, rsize_t destsz, const char *src) {
    if (dest == nullptr || destsz == 0 || destsz > VYRE_RSIZE_MAX) {
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL;
    }
    size_t len = strnlen(src, destsz);
    if (len == destsz) {
        dest[0] = '\0';
        return ERANGE;
    }
    if (Overlap(dest, len + 1, src, len + 1)) {
        dest[0] = '\0';
        return EINVAL;
    }
    memcpy(dest, src, len + 1);
    return 0;
}

int vsprintf_s(char *buf, rsize_t bufsz, const char *format, va_list args) {
    if (buf == nullptr || bufsz == 0 || bufsz > VYRE_RSIZE_MAX) {
        return -1;
    }
    if (format == nullptr || HasWritebackConversion(format)) {
        buf[0] = '\0';
        return -1;
    }
    int len = vsnprintf(buf, bufsz, format, args);
    if (len < 0 || static_cast<size_t>(len) >= bufsz) {
        buf[0] = '\0';
        return -1;
    }
    return len;
}

int sprintf_s(char *buf, rsize_t bufsz, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int len = vsprintf_s(buf, bufsz, format, args);
    va_end(args);
    return len;
}

char *strtok_s(char *str, rsize_t *strmax, const char *delim, char **ptr) {
    if (strmax == nullptr || delim == nullptr || ptr == nullptr || (str == nullptr && *ptr == nullptr) ||
        *strmax > VYRE_RSIZE_MAX) {
        return nullptr;
    }
    char *p = str != nullptr ? str : *ptr;
    rsize_t left = *strmax;
    // Skip leading delimiters. Running out of *strmax before the string's
    // terminator is a violation; reaching the terminator means no more tokens.
    for (;; ++p, --left) {
        if (left == 0) {
            return nullptr;
        }
        if (*p == '\0') {
            *strmax = left;
            *ptr = p;
            return nullptr;
        }
        if (strchr(delim, *p) == nullptr) {
            break;
        }
    }
    char *token = p;
    for (;; ++p, --left) {
        if (left == 0) {
            return nullptr;
        }
        if (*p == '\0') {
            break;
        }
        if (strchr(delim, *p) != nullptr) {
            *p++ = '\0';
            --left;
            break;
        }
    }
    *strmax = left;
    *ptr = p;
    return token;
}

} // extern "C"

/*
 * Common definitions of the platform libraries: the export macro and the
 * C/C++ linkage guards shared by every platform header.
 *
 * The platform libraries are the operating-system abstraction the messaging
 * library is built on. This directory is their contract; platform/posix holds
 * a stand-in implementation over POSIX that the real libraries replace at
 * link time.
 */
#ifndef VYRE_OS_TYPES_H
#define VYRE_OS_TYPES_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define OS_PLATFORM_API __attribute__((visibility("default")))
#else
#define OS_PLATFORM_API
#endif

#ifdef __cplusplus
#define OS_PLATFORM_BEGIN_DECLS extern "C" {
#define OS_PLATFORM_END_DECLS }
#else
#define OS_PLATFORM_BEGIN_DECLS
#define OS_PLATFORM_END_DECLS
#endif

#endif /* VYRE_OS_TYPES_H */

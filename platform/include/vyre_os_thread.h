/*
 * Threads and process identity.
 *
 * Every function may be called from any thread.
 */
#ifndef VYRE_OS_THREAD_H
#define VYRE_OS_THREAD_H

#include <pthread.h>

#include "vyre_os_types.h"

OS_PLATFORM_BEGIN_DECLS

/* Thread identity; a 64-bit value that is never 0 for a live thread. */
typedef pthread_t OsThread;

typedef void *(*OsThreadRoutine)(void *arg);

/* Starts routine(arg) on a new thread with default attributes; attr must be
 * NULL. Stores the new thread's id in *tid. 0 on success, else an error
 * number (nothing started). */
OS_PLATFORM_API int32_t OsPthreadCreate(OsThread *tid, const void *attr, OsThreadRoutine routine, void *arg);
/* Detaches a thread: its resources are released when it ends. 0 on success. */
OS_PLATFORM_API int32_t OsPthreadDetach(OsThread tid);
/* The calling thread's id. */
OS_PLATFORM_API OsThread OsPthreadSelf(void);
/* Names the calling thread for the system's tools (ps and top per thread,
 * debuggers): the first 15 characters of name. 0 on success, else an error
 * number (the name stays as it was). Optional in a platform library: callers
 * bind it weakly. */
OS_PLATFORM_API int32_t OsPthreadSetName(const char *name);

/* Process id and user id of the calling process, read from the kernel at the
 * first call and kept (read again in the child of a fork made through the C
 * library's fork). A process that changes its user id later goes on seeing
 * the one it had at the first call. No system call after the first. */
OS_PLATFORM_API uint32_t OsGetPId(void);
OS_PLATFORM_API uint32_t OsGetUId(void);

/* Writes the calling process's name (the kernel's name of the process, as
 * /proc/self/comm shows it) into buf of size bytes, zero-terminated and cut
 * to fit. 0 on success; non-zero with buf untouched when buf is NULL or size
 * is 0, or with an empty string when the name cannot be read. */
OS_PLATFORM_API int32_t MenGetProcName(char *buf, uint32_t size);

OS_PLATFORM_END_DECLS

#endif /* VYRE_OS_THREAD_H */

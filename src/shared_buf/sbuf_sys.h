/*
 * The operating-system calls of the shared buffers, in one place: memory
 * segments backed by an anonymous memory file (memfd) that is sealed against
 * shrinking and growing, their mappings, and the descriptors that travel with
 * messages. Nothing else in src/shared_buf/ calls the system.
 *
 * Every call is thread-safe and keeps no state. Failures return -1 or NULL
 * with errno set, and never log: the callers decide what a failure means.
 */
#ifndef VYRE_SBUF_SYS_H
#define VYRE_SBUF_SYS_H

#include <stddef.h>
#include <stdint.h>

/* Names of the memory files, as /proc/<pid>/fd and /proc/<pid>/maps show
 * them ("/memfd:<name>"): buffer segments and release lanes. */
#define SBUF_SYS_SEGMENT_NAME "vyre_os_msg_buf"
#define SBUF_SYS_LANE_NAME "vyre_os_msg_lane"

/* A memory file called name of bytes bytes (a multiple of the page size),
 * close-on-exec, sealed so that neither its owner nor anyone it is passed to
 * can shrink or grow it, nor change the seals: a receiver that maps it can
 * never be cut off by a truncation. The descriptor, or -1. The file has no
 * name in any file system (nothing to remove when the process goes). */
int SbufSysCreateSegment(const char *name, size_t bytes);

/* Maps all bytes of segment fd shared, readable and writable (writable only
 * when writable is true); NULL on failure. */
uint8_t *SbufSysMap(int fd, size_t bytes, bool writable);

/* Unmaps a mapping of SbufSysMap. */
void SbufSysUnmap(uint8_t *base, size_t bytes);

/* A new close-on-exec descriptor of the same memory file as fd, opened for
 * reading only: a process given it can map the file readable, never
 * writable (mprotect refuses too). The descriptor, or -1. */
int SbufSysReopenReadOnly(int fd);

/* What SbufSysCheckSegment found wrong with a segment a peer passed. */
typedef enum SbufSysSegmentFault {
    SBUF_SEGMENT_SOUND = 0,
    SBUF_SEGMENT_NOT_SEALED, /* not a memory file sealed against shrinking and growing */
    SBUF_SEGMENT_WRONG_SIZE, /* its size is not the one announced */
} SbufSysSegmentFault;

/* Checks that fd, received from another process, is a memory file of bytes
 * bytes that nobody can shrink or grow any more: a mapping of it can then
 * never lose pages under its reader. */
SbufSysSegmentFault SbufSysCheckSegment(int fd, uint64_t bytes);

/* A close-on-exec duplicate of fd at the lowest free number, or -1 (EBADF for
 * a descriptor that is not open, EMFILE when the process has no number
 * left). */
int SbufSysDupFd(int fd);

/* Closes fd (ignored when negative), through the calling thread's closer
 * when it has one (msg_foreign_fd.h); an interrupted close is not retried,
 * as Linux releases the descriptor in any case. */
void SbufSysCloseFd(int fd);

#endif /* VYRE_SBUF_SYS_H */

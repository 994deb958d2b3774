/*
 * The shared directory segment of the socket carrier: the queue directory's
 * 3,144-byte head (layout in ipc_msg.h) lives in a file of the run directory
 * that every process of that directory maps shared. The first process lays
 * it out in a private file and links it into place, so no process ever maps
 * a half-initialised head; its lock is a process-shared robust mutex.
 *
 * Thread safety: attach and detach run during process initialisation and
 * teardown (under the initialisation lock); the mapping is used through the
 * directory operations, whose lock is the head's own.
 */
#ifndef VYRE_IPC_SHM_SEGMENT_H
#define VYRE_IPC_SHM_SEGMENT_H

#include <stdint.h>

#include "transport/unix/ipc_run_dir.h"

/* File name of the segment inside the run directory. */
#define IPC_SHM_SEGMENT_FILE "queue_dir"

/* Maps the segment of runDir, whose mode IpcRunDirOpen found (creating and
 * laying it out when absent, readable and writable by the directory's group
 * in a shared directory, by its owner alone otherwise), and publishes it as
 * the process's directory head. The file is opened without following a link
 * and judged as IpcRunDirFileFault judges a regular file. 0; 0x80020021 for
 * a file another user could have put there or can change ("directory
 * segment [%s] refused: %s."); 0x8002000d when it cannot be created, opened
 * or mapped, or is not a directory this library laid out ("shmget create
 * error[%d]." / "shmget error[%d]."). */
uint32_t IpcShmSegmentAttach(const char *runDir, const IpcRunDirMode *mode);

/* Forgets and unmaps the segment; nothing when none is attached. */
void IpcShmSegmentDetach(void);

#endif /* VYRE_IPC_SHM_SEGMENT_H */

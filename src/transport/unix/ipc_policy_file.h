/*
 * The access policy file of the socket carrier: the file that
 * VYRE_OS_MSG_POLICY names, read when the carrier opens, whose rules
 * replace those of the file read before (format in the public header,
 * "Access between processes"). It configures who may send to the process,
 * so it is used only when no other user can have written it (see
 * IpcRunDirConfigFault).
 *
 * Thread safety: read during the carrier's open, under the initialisation
 * lock; the rules go to the policy under its own lock.
 */
#ifndef VYRE_IPC_POLICY_FILE_H
#define VYRE_IPC_POLICY_FILE_H

#include <stdint.h>

/* Largest policy file read, in bytes. */
#define IPC_POLICY_FILE_MAX (64U * 1024U)

/* Reads the policy file at path (the one VYRE_OS_MSG_POLICY names) into
 * the policy's file rules (none when path is NULL or empty). 0; 0x8002000d when the file cannot
 * be read ("access policy [%s] cannot be read, error[%d]."); 0x80020021 for
 * a file another user could have written ("access policy [%s] refused:
 * %s."); 0x80020001 for a malformed one ("access policy [%s] line %u: %s.",
 * also for a file larger than IPC_POLICY_FILE_MAX); 0x80020007 when its rules
 * do not fit beside those the calls set; 0x80020020. On failure the rules
 * read before stay. */
uint32_t IpcPolicyFileLoad(const char *path);

#endif /* VYRE_IPC_POLICY_FILE_H */

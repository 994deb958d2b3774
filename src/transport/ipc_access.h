/*
 * The access policy: which senders of other processes this process accepts
 * messages from, judged by the user and group ids the kernel reports for
 * them. The own user and root are always accepted; the rules (OsMsgAccessRule
 * of the public header) widen that, each for a sender (a user, a group, or
 * anyone), a task (or every task) and a range of message ids. Rules come from
 * the public calls and from the policy file; the file's rules are replaced
 * whenever the file is read, the calls' rules only by OsMsgSetAccessPolicy.
 *
 * Besides the rules the policy keeps who else may own a shared run
 * directory and the policy file (OsMsgSetSharedRunDir).
 *
 * A receiver judges a sender once (IpcAccessJudge) and keeps the verdict
 * with the sender's connection for as long as IpcAccessGeneration does not
 * change; only a sender the rules allow for some tasks or ids but not all
 * asks again per message (IpcAccessAllows).
 *
 * Thread safety: g_ipcAccessLock (in the .cc, a leaf lock) guards the rules;
 * the generation and the run directory's trusted ids are atomics. Every
 * function may be called from any thread, before and after OsMsgInit.
 */
#ifndef VYRE_IPC_ACCESS_H
#define VYRE_IPC_ACCESS_H

#include <stddef.h>
#include <stdint.h>

#include "vyre_os_msg.h"

/* A verdict on a sender. */
#define IPC_ACCESS_NONE 0U /* nothing it sends is accepted */
#define IPC_ACCESS_SOME 1U /* some tasks or ids: ask IpcAccessAllows per message */
#define IPC_ACCESS_ALL 2U  /* everything it sends is accepted */

/* A sender as the kernel reports it. */
typedef struct IpcAccessWho {
    uint32_t uid;
    uint32_t gid;
    const uint32_t *groups; /* its supplementary groups, groupCount of them (NULL for none) */
    uint32_t groupCount;
} IpcAccessWho;

/* A number that changes whenever the rules change; never 0. */
uint32_t IpcAccessGeneration(void);

/* The verdict on who under the rules now. */
uint32_t IpcAccessJudge(const IpcAccessWho *who);

/* True when the rules now accept a message with msgId for task (a 16-byte
 * name field) from who. */
bool IpcAccessAllows(const IpcAccessWho *who, const char *task, uint32_t msgId);

/* OsMsgAllow and OsMsgSetAccessPolicy: the contracts of the public header. */
uint32_t IpcAccessAdd(const OsMsgAccessRule *rule);
uint32_t IpcAccessReplace(const OsMsgAccessRule *rules, uint32_t count);

/* Replaces the rules of the policy file with the count rules at rules
 * (checked as OsMsgAllow checks them). 0; 0x80020001; 0x80020007 when they
 * do not fit beside the calls' rules. */
uint32_t IpcAccessSetFileRules(const OsMsgAccessRule *rules, uint32_t count);

/* Reads the text of a policy file (len bytes at text, untrusted) into at
 * most max rules at rules, *count of them. 0; 0x80020001 for a malformed
 * line, with *badLine its number (from 1) and *what the reason; 0x80020007
 * for more than max rules (*badLine the first that did not fit). User and
 * group names are looked up in the system's databases. */
uint32_t IpcAccessParse(const char *text, size_t len, OsMsgAccessRule *rules, uint32_t max, uint32_t *count,
                        uint32_t *badLine, const char **what);

/* OsMsgSetSharedRunDir, and what it set (OS_MSG_ID_NONE for none). */
void IpcAccessSetSharedRunDir(uint32_t ownerUid, uint32_t groupGid);
uint32_t IpcAccessTrustedOwner(void);
uint32_t IpcAccessRequiredGroup(void);

#endif /* VYRE_IPC_ACCESS_H */

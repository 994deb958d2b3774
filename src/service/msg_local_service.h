/*
 * The local service registry: a fixed table of slots, one per service of this
 * process, each binding a service name of at most 15 characters to an opaque
 * 64-bit handle of the service object (its binder), with a user id and a
 * process id that can be recorded for it. Beside it lives the pluggable
 * package-permission check.
 *
 * Thread safety: every operation may be called from any thread. The
 * registry's recursive mutex guards the slot array, its existence and its
 * capacity; it is taken only inside these functions, never while calling out
 * (no callback, no other library lock). The mutex is initialised once, on the
 * first use of the registry, and lives for the rest of the process, so every
 * operation takes it before testing whether the registry exists and a destroy
 * on another thread can never free the slots under a reader. The
 * package-permission hook is independent of the registry and read and written
 * atomically.
 *
 * The slot array comes from malloc and goes back with free, not through the
 * tracked allocator.
 */
#ifndef VYRE_MSG_LOCAL_SERVICE_H
#define VYRE_MSG_LOCAL_SERVICE_H

#include <stdint.h>

#include "vyre_os_lock.h"
#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One slot; free when name is empty and binder is 0. */
typedef struct MsgLocalService {
    char name[OS_MSG_NAME_LEN]; /* zero-terminated; empty in a free slot */
    uint64_t binder;            /* handle of the service object; 0 in a free slot */
    uint32_t uid;               /* recorded user id, 0 until recorded */
    uint32_t pid;               /* recorded process id, 0 until recorded */
} MsgLocalService;

typedef struct MsgLocalServiceManager {
    MsgLocalService *entries; /* capacity slots, or NULL while no registry exists; guarded by mutex */
    OsMutex mutex;            /* recursive; initialised on first use, never destroyed; innermost lock */
    uint32_t capacity;        /* number of slots; guarded by mutex */
} MsgLocalServiceManager;

/* The registry of this process. */
extern MsgLocalServiceManager g_msgManager;

/* The package-permission hook: two pointer-sized arguments whose meaning
 * belongs to the installer, and its verdict. It must not throw. Called
 * through MsgCheckSenderPermission, it gets the user id of a message's
 * sender as first and its process id as second. */
typedef int32_t (*MsgPackagePermissionFunc)(uintptr_t first, uintptr_t second);

/* Creates the registry with capacity zero-filled slots. 1 when created; 0
 * when a registry already exists (which stays as it is) or the slots cannot
 * be allocated. A capacity of 0 creates a registry that holds nothing: every
 * add answers 0x80020007.
 * Destroy and re-create freely: the mutex outlives every registry. */
OS_MSG_API uint32_t MsgInitLocalServiceManger(uint32_t capacity);
/* 1 while a registry exists, else 0. Internal: not exported. */
uint32_t MsgLocalServiceMangerExists(void);
/* Releases the slots; the registry no longer exists. Safe while other threads
 * use the registry: they see it either whole or missing. */
OS_MSG_API void MsgDestroyLocalServiceManger(void);

/* Binds name (at most 15 characters, copied) to binder in the first free
 * slot; the slot keeps the ids it held. 0 on success; 0x80020004 without a
 * registry; 0x80020001 for a NULL name; 0x80020003 when some slot already
 * holds the name (an empty name equals every free slot's); 0x80020007 when no
 * slot is free; 0x8002000e when the name is 16 characters or longer. */
OS_MSG_API uint32_t MsgAddLocalService(const char *name, uint64_t binder);
/* Frees the first slot whose name equals name (when name is not NULL) or
 * whose binder equals binder (when binder is not 0), ids included. Nothing
 * happens when neither is given or nothing matches. */
OS_MSG_API void MsgDelLocalService(const char *name, uint64_t binder);
/* The binder of the first slot named name; 0 when none (or no registry, or a
 * NULL name). */
OS_MSG_API uint64_t MsgGetLocalService(const char *name);
/* Copies the name of the first slot holding binder (never matches 0) into
 * the caller's buffer of size bytes. Nothing is written when nothing matches;
 * when the name does not fit, the buffer holds nothing usable (an empty
 * string when size is at least 1). */
OS_MSG_API void MsgGetLocalBinderName(uint64_t binder, char *name, int32_t size);
/* Records uid and pid in the first slot named name; nothing else changes
 * when no slot holds the name. */
OS_MSG_API void MsgUpdateUidPidForLocalService(const char *name, uint32_t uid, uint32_t pid);
/* 1 when some slot, free slots included, records exactly this uid and pid;
 * 0 otherwise and without a registry. Does not log. */
OS_MSG_API uint32_t MsgCheckBinderPermission(uint32_t uid, uint32_t pid);
/* Writes the listing of the service names to fd: a head line, each name of
 * the first slots up to the first free one (at most 128) on a line of its
 * own, and an end line. The names are collected under the mutex and written
 * after it is released. */
OS_MSG_API void MsgDumpLocalRefNames(int32_t fd);

/* The installed hook's verdict on (first, second), passed through unchanged;
 * 1 (permitted) when no hook is installed. The hook runs on the caller's
 * thread with no library lock held. */
OS_MSG_API int32_t MsgCheckPackagePermission(uintptr_t first, uintptr_t second);
/* The installed hook's verdict on the sender of msg, a message a task's
 * callback is handling: the hook gets msg->sendUid as first and
 * msg->sendPid as second. For a message from another process (the "unix"
 * carrier) these are the kernel's ids of the sending process, whatever the
 * sender wrote; within the process they are the process's own. 1 when no
 * hook is installed; 0 for a NULL msg. The hook runs on the caller's thread
 * with no library lock held. */
OS_MSG_API int32_t MsgCheckSenderPermission(const MsgHead *msg);
/* Installs the hook; NULL restores the default (everything permitted). */
OS_MSG_API void MsgSetChckPackagePermissionHandle(MsgPackagePermissionFunc hook);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_LOCAL_SERVICE_H */

/*
 * The local service registry: slot scans under the registry's recursive
 * mutex, the listing written to a caller's file descriptor, and the
 * package-permission hook. Slots are always scanned from the first to the
 * last; the first slot that qualifies wins.
 *
 * Thread safety: see msg_local_service.h. Every operation takes the mutex
 * (initialised once, never destroyed) before it tests whether the registry
 * exists, so the slot array is freed only while no other thread is inside.
 */
#include "service/msg_local_service.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "log/msg_log.h"
#include "vyre_securec.h"

MsgLocalServiceManager g_msgManager;

namespace {

/* Names the listing shows at most, however many slots the registry has. */
constexpr uint32_t kDumpMaxNames = 128U;

const char kDumpHead[] = " --------------   localRefBinder   ---------------- \n";
const char kDumpTail[] = " ----------- local RefBinder end ------------- \n";

std::atomic<MsgPackagePermissionFunc> g_packagePermissionHandle{nullptr};

/* The registry's mutex, initialised on first use. It is never destroyed: a
 * thread may be waiting for it while another destroys the registry, and it
 * must still be a mutex when that thread gets it. */
OsMutex *RegistryMutex() {
    static const int32_t initResult = OsMutexInitRecursive(&g_msgManager.mutex);
    (void)initResult;
    return &g_msgManager.mutex;
}

/* Holds the registry's mutex for one scope. */
class RegistryLock {
public:
    RegistryLock() { (void)OsMutexLock(RegistryMutex()); }
    ~RegistryLock() { (void)OsMutexUnLock(&g_msgManager.mutex); }
    RegistryLock(const RegistryLock &) = delete;
    RegistryLock &operator=(const RegistryLock &) = delete;
};

bool SlotIsFree(const MsgLocalService &slot) {
    return slot.name[0] == '\0' && slot.binder == 0U;
}

/* The first slot named name, or NULL. The caller holds the mutex and has
 * checked that the registry exists. */
MsgLocalService *FindByName(const char *name) {
    for (uint32_t i = 0; i < g_msgManager.capacity; ++i) {
        if (strcmp(g_msgManager.entries[i].name, name) == 0) {
            return &g_msgManager.entries[i];
        }
    }
    return nullptr;
}

/* Writes the whole string, stopping early when a write makes no progress. */
void WriteAll(int32_t fd, const char *text, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t written = write(fd, text + done, length - done);
        if (written < 1) {
            return;
        }
        done += static_cast<size_t>(written);
    }
}

} // namespace

extern "C" {

uint32_t MsgInitLocalServiceManger(uint32_t capacity) {
    RegistryLock lock;
    if (g_msgManager.entries != nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "already create g_msgManager.");
        return 0U;
    }
    /* A registry of 0 slots still gets a block, so that it exists. */
    size_t bytes = (capacity > 0U ? capacity : 1U) * sizeof(MsgLocalService);
    auto *entries = static_cast<MsgLocalService *>(malloc(bytes));
    if (entries == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "subscribe init hash error.");
        return 0U;
    }
    (void)memset_s(entries, bytes, 0, bytes);
    g_msgManager.entries = entries;
    g_msgManager.capacity = capacity;
    return 1U;
}

uint32_t MsgLocalServiceMangerExists(void) {
    RegistryLock lock;
    return g_msgManager.entries != nullptr ? 1U : 0U;
}

void MsgDestroyLocalServiceManger(void) {
    RegistryLock lock;
    if (g_msgManager.entries == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "subscribe not init.");
        return;
    }
    free(g_msgManager.entries);
    g_msgManager.entries = nullptr;
    g_msgManager.capacity = 0U;
}

uint32_t MsgAddLocalService(const char *name, uint64_t binder) {
    if (name == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "name is null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "MsgAddLocalService in. name=%s.", name);
    RegistryLock lock;
    if (g_msgManager.entries == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "g_msgManager not init.");
        return OS_MSG_ERR_NOT_INIT;
    }
    if (FindByName(name) != nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "[%s] exist.", name);
        return OS_MSG_ERR_REPEATED;
    }
    MsgLocalService *slot = nullptr;
    for (uint32_t i = 0; i < g_msgManager.capacity && slot == nullptr; ++i) {
        if (SlotIsFree(g_msgManager.entries[i])) {
            slot = &g_msgManager.entries[i];
        }
    }
    if (slot == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "full! [%s] not added.", name);
        return OS_MSG_ERR_FULL;
    }
    if (strcpy_s(slot->name, sizeof(slot->name), name) != 0) {
        OS_MSG_LOG(OS_LOG_ERROR, "[%s] strcpy_s error.", name);
        return OS_MSG_ERR_FAIL;
    }
    slot->binder = binder;
    OS_MSG_LOG(OS_LOG_DEBUG, "[%s] added.", name);
    return OS_MSG_OK;
}

void MsgDelLocalService(const char *name, uint64_t binder) {
    RegistryLock lock;
    if (g_msgManager.entries == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "g_msgManager not init.");
        return;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "MsgDelLocalService in.");
    if (name == nullptr && binder == 0U) {
        return;
    }
    for (uint32_t i = 0; i < g_msgManager.capacity; ++i) {
        MsgLocalService &slot = g_msgManager.entries[i];
        bool nameMatches = name != nullptr && strcmp(slot.name, name) == 0;
        bool binderMatches = binder != 0U && slot.binder == binder;
        if (nameMatches || binderMatches) {
            /* Deleted by its binder alone, the slot's own name tells the reader which service went. */
            OS_MSG_LOG(OS_LOG_DEBUG, "[%s] delete.", name != nullptr ? name : slot.name);
            (void)memset_s(&slot, sizeof(slot), 0, sizeof(slot));
            return;
        }
    }
}

uint64_t MsgGetLocalService(const char *name) {
    RegistryLock lock;
    if (g_msgManager.entries == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "g_msgManager not init.");
        return 0U;
    }
    if (name == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "name is null.");
        return 0U;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "MsgGetLocalService in.");
    const MsgLocalService *slot = FindByName(name);
    if (slot == nullptr) {
        return 0U;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "[%s] got.", name);
    return slot->binder;
}

void MsgGetLocalBinderName(uint64_t binder, char *name, int32_t size) {
    RegistryLock lock;
    if (g_msgManager.entries == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "g_msgManager not init.");
        return;
    }
    if (name == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "BinderName is null.");
        return;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "MsgGetLocalService in.");
    if (binder == 0U) {
        return;
    }
    for (uint32_t i = 0; i < g_msgManager.capacity; ++i) {
        const MsgLocalService &slot = g_msgManager.entries[i];
        if (slot.binder != binder) {
            continue;
        }
        /* A negative size converts to a size strcpy_s refuses without writing. */
        if (strcpy_s(name, static_cast<rsize_t>(size), slot.name) != 0) {
            OS_MSG_LOG(OS_LOG_ERROR, "strcpy_s fail.");
        } else {
            OS_MSG_LOG(OS_LOG_DEBUG, "find binder name [%s].", name);
        }
        return;
    }
}

void MsgUpdateUidPidForLocalService(const char *name, uint32_t uid, uint32_t pid) {
    RegistryLock lock;
    if (g_msgManager.entries == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "g_msgManager not init.");
        return;
    }
    if (name == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "name is null.");
        return;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "MsgGetLocalService in.");
    MsgLocalService *slot = FindByName(name);
    if (slot != nullptr) {
        slot->uid = uid;
        slot->pid = pid;
        OS_MSG_LOG(OS_LOG_DEBUG, "add pid & uid success.");
    }
}

uint32_t MsgCheckBinderPermission(uint32_t uid, uint32_t pid) {
    RegistryLock lock;
    if (g_msgManager.entries == nullptr) {
        return 0U;
    }
    for (uint32_t i = 0; i < g_msgManager.capacity; ++i) {
        if (g_msgManager.entries[i].uid == uid && g_msgManager.entries[i].pid == pid) {
            return 1U;
        }
    }
    return 0U;
}

void MsgDumpLocalRefNames(int32_t fd) {
    char names[kDumpMaxNames][OS_MSG_NAME_LEN];
    uint32_t count = 0;
    {
        RegistryLock lock;
        if (g_msgManager.entries == nullptr) {
            OS_MSG_LOG(OS_LOG_ERROR, "g_msgManager not init.");
            return;
        }
        for (uint32_t i = 0; i < g_msgManager.capacity && count < kDumpMaxNames; ++i) {
            const char *slotName = g_msgManager.entries[i].name;
            if (slotName[0] == '\0') {
                break;
            }
            if (strcpy_s(names[count], sizeof(names[count]), slotName) != 0) {
                OS_MSG_LOG(OS_LOG_ERROR, "strcpy_s procName fail.");
                continue;
            }
            ++count;
        }
    }
    WriteAll(fd, kDumpHead, sizeof(kDumpHead) - 1U);
    for (uint32_t i = 0; i < count; ++i) {
        WriteAll(fd, names[i], strlen(names[i]));
        WriteAll(fd, "\n", 1U);
    }
    WriteAll(fd, kDumpTail, sizeof(kDumpTail) - 1U);
}

int32_t MsgCheckPackagePermission(uintptr_t first, uintptr_t second) {
    MsgPackagePermissionFunc hook = g_packagePermissionHandle.load(std::memory_order_acquire);
    if (hook == nullptr) {
        return 1;
    }
    return hook(first, second);
}

int32_t MsgCheckSenderPermission(const MsgHead *msg) {
    if (msg == nullptr) {
        return 0;
    }
    return MsgCheckPackagePermission((uintptr_t)msg->sendUid, (uintptr_t)msg->sendPid);
}

void MsgSetChckPackagePermissionHandle(MsgPackagePermissionFunc hook) {
    g_packagePermissionHandle.store(hook, std::memory_order_release);
}

} // extern "C"

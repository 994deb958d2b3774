/*
 * The queue directory: a head in shared memory that maps 16-byte queue names
 * to message queue ids (layout and commit rule in ipc_msg.h). This platform
 * has no shared segment and no message queues, so the head is never obtained
 * and every operation gives its result for a missing head; a carrier with
 * shared memory hands its segment over with IPCMsgSetShmSegment or
 * IPCMsgAttachShmHead.
 *
 * Thread safety: g_ipcShmAttachLock (a leaf lock) serialises obtaining the
 * head and guards the name of its file; the head pointer is published once.
 * The directory lock inside the head serialises every read and change of the
 * entries across processes; it is waited for with a bound. The head's
 * entryCount and dirOffset come from another process and are bounded by the
 * head's 3,144 bytes before any entry is touched.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/msg_monotonic.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "transport/ipc_carrier.h"
#include "transport/ipc_msg.h"
#include "vyre_securec.h"

namespace {

/* Serialises obtaining the head and guards g_ipcShmPath. A leaf lock: no
 * other lock is taken while it is held. */
std::mutex g_ipcShmAttachLock;
/* Published once under g_ipcShmAttachLock, read without it. */
std::atomic<IpcMsgShmHead *> g_ipcShmHead{nullptr};
std::atomic<void *> g_ipcShmSegment{nullptr};
/* The file of the attached head, for log lines. */
char g_ipcShmPath[256] = "the shared head";

/* The commit word's value for an entry in use. */
constexpr uint32_t kIpcEntryCommitted = 1U;

/* The thread id a held lock's word names (glibc keeps the owner's id in the
 * futex word of a robust mutex, and in __owner for every kind), 0 for none. */
int IpcMsgLockOwner(pthread_mutex_t *mutex) {
    constexpr int kFutexTidMask = 0x3fffffff;
    int word = __atomic_load_n(&mutex->__data.__lock, __ATOMIC_RELAXED) & kFutexTidMask;
    return word != 0 ? word : __atomic_load_n(&mutex->__data.__owner, __ATOMIC_RELAXED);
}

/* The process of thread tid (itself for a process's main thread), or tid
 * when the kernel does not say. */
int IpcMsgProcessOf(int tid) {
    char path[64];
    (void)snprintf(path, sizeof(path), "/proc/%d/status", tid);
    int tgid = tid;
    if (FILE *status = fopen(path, "re")) {
        char line[128];
        while (fgets(line, sizeof(line), status) != nullptr) {
            if (sscanf(line, "Tgid: %d", &tgid) == 1) {
                break;
            }
        }
        (void)fclose(status);
    }
    return tgid;
}

/* Locks mutex, waiting at most waitMs as measured on the monotonic clock:
 * 0, EOWNERDEAD (locked; its last owner died holding it), ETIMEDOUT, or
 * another error number (not locked). The lock is tried, with pauses that
 * double up to a limit in between: a holder keeps it for well under a
 * millisecond, and a try (unlike a timed wait on the lock, which takes a
 * wall-clock deadline) reports an owner's death the same way everywhere. */
int IpcMsgDirLock(pthread_mutex_t *mutex, uint32_t waitMs) {
    const uint64_t end = MsgMonotonicNs() + (uint64_t)waitMs * 1000000ULL;
    uint32_t pauseUs = MSG_TUNE_DIR_LOCK_PAUSE_FIRST_US;
    for (;;) {
        int rc = pthread_mutex_trylock(mutex);
        if (rc != EBUSY) {
            return rc;
        }
        if (MsgMonotonicNs() >= end) {
            return ETIMEDOUT;
        }
        (void)usleep(pauseUs);
        pauseUs = pauseUs * 2U < MSG_TUNE_DIR_LOCK_PAUSE_LAST_US ? pauseUs * 2U : MSG_TUNE_DIR_LOCK_PAUSE_LAST_US;
    }
}

/* The directory of a head, held under the head's directory lock for one
 * scope. Only the entries the head describes that lie wholly inside it are
 * used: none for a directory offset that overlaps the head's fields or is
 * not word-aligned, and none while the lock could not be had (Locked()). */
class IpcMsgDir {
public:
    explicit IpcMsgDir(IpcMsgShmHead *head, uint32_t waitMs = MSG_TUNE_DIR_LOCK_WAIT_MS) : head_(head) {
        int rc = IpcMsgDirLock(&head_->lock.mutex, waitMs);
        if (rc == EOWNERDEAD) {
            // A process died holding the lock, perhaps mid-way through an
            // entry: make the lock usable again, then clear what was not
            // committed and free what the dead left behind.
            MSG_LOG(OS_MSG_LOG_WARN, "directory lock owner died, lock recovered.");
            (void)pthread_mutex_consistent(&head_->lock.mutex);
            ownerDied_ = true;
        } else if (rc != 0) {
            LogLockFailure(rc, waitMs);
            return;
        }
        locked_ = true;
        uint32_t offset = head_->dirOffset;
        if (offset < offsetof(IpcMsgShmHead, entries) || offset > IPC_MSG_SHM_HEAD_SIZE ||
            offset % alignof(IpcMsgQidEntry) != 0U) {
            return;
        }
        uint32_t fit = (IPC_MSG_SHM_HEAD_SIZE - offset) / (uint32_t)sizeof(IpcMsgQidEntry);
        offset_ = offset;
        count_ = head_->entryCount < fit ? head_->entryCount : fit;
        if (ownerDied_) {
            Reclaim();
        }
    }
    ~IpcMsgDir() {
        if (locked_) {
            (void)pthread_mutex_unlock(&head_->lock.mutex);
        }
    }
    IpcMsgDir(const IpcMsgDir &) = delete;
    IpcMsgDir &operator=(const IpcMsgDir &) = delete;

    bool Locked() const { return locked_; }
    uint32_t Count() const { return count_; }

    IpcMsgQidEntry *Entry(uint32_t index) {
        return reinterpret_cast<IpcMsgQidEntry *>(reinterpret_cast<uint8_t *>(head_) + offset_ +
                                                  (size_t)index * sizeof(IpcMsgQidEntry));
    }

    static bool Committed(const IpcMsgQidEntry *entry) {
        return __atomic_load_n(&entry->inUse, __ATOMIC_ACQUIRE) == kIpcEntryCommitted;
    }

    /* Name and queue first, the commit word last: a writer that dies in
     * between leaves an entry nobody trusts. */
    static void Commit(IpcMsgQidEntry *entry) { __atomic_store_n(&entry->inUse, kIpcEntryCommitted, __ATOMIC_RELEASE); }

    /* The commit word first, then the name: a remover that dies in between
     * leaves an uncommitted entry, never a committed one without its name.
     * Readers hold the lock, so only the order of this thread's own stores
     * matters to what a death leaves (a killed thread stops between two
     * instructions): the signal fence keeps the compiler from swapping
     * them. */
    static void Free(IpcMsgQidEntry *entry) {
        __atomic_store_n(&entry->inUse, 0U, __ATOMIC_RELAXED);
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        std::memset(entry->name, 0, sizeof(entry->name));
    }

    /* Clears the entries a writer or remover that died left unfinished, and
     * frees those whose owning process no longer exists (queue ids are
     * process ids under the socket carrier; 0 and all ones name no
     * process). A process id that exists may be another process's by now;
     * the claim's own test of liveness settles those. */
    void Reclaim() {
        ClearUncommitted();
        for (uint32_t i = 0U; i < count_; ++i) {
            IpcMsgQidEntry *entry = Entry(i);
            pid_t pid = (pid_t)entry->qid;
            if (!Committed(entry) || pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) {
                continue;
            }
            MSG_LOG(OS_MSG_LOG_INFO, "reclaim queue [%.16s] of dead pid %d.", entry->name, (int)pid);
            Free(entry);
        }
    }

    /* Index of the first committed entry named name, or Count(). */
    uint32_t Find(const char *name) {
        for (uint32_t i = 0U; i < count_; ++i) {
            IpcMsgQidEntry *entry = Entry(i);
            if (Committed(entry) && strncmp(entry->name, name, IPC_MSG_QUEUE_NAME_LEN) == 0) {
                return i;
            }
        }
        return count_;
    }

private:
    /* Entries a writer or remover left half done: under the lock nobody is
     * writing one. */
    void ClearUncommitted() {
        for (uint32_t i = 0U; i < count_; ++i) {
            IpcMsgQidEntry *entry = Entry(i);
            if (!Committed(entry) && (entry->name[0] != '\0' || entry->inUse != 0U)) {
                MSG_LOG(OS_MSG_LOG_INFO, "clear unfinished queue entry %u.", i);
                Free(entry);
                entry->qid = 0U;
            }
        }
    }

    void LogLockFailure(int rc, uint32_t waitMs) {
        char path[sizeof(g_ipcShmPath)];
        {
            std::lock_guard<std::mutex> guard(g_ipcShmAttachLock);
            (void)snprintf(path, sizeof(path), "%s", g_ipcShmPath);
        }
        if (rc == ETIMEDOUT) {
            int owner = IpcMsgLockOwner(&head_->lock.mutex);
            MSG_LOG(OS_MSG_LOG_ERROR, "directory [%s] locked by pid %d for over %u ms; remove the file to rebuild it.",
                    path, owner != 0 ? IpcMsgProcessOf(owner) : 0, waitMs);
        } else {
            MSG_LOG(OS_MSG_LOG_ERROR, "directory [%s] lock error[%d]; remove the file to rebuild it.", path, rc);
        }
    }

    IpcMsgShmHead *head_;
    uint32_t offset_ = 0U;
    uint32_t count_ = 0U;
    bool locked_ = false;
    bool ownerDied_ = false;
};

/* Fills the first free entry of dir with name and a new queue. */
uint32_t IpcMsgDirAdd(IpcMsgDir &dir, const char *name) {
    for (uint32_t i = 0U; i < dir.Count(); ++i) {
        IpcMsgQidEntry *entry = dir.Entry(i);
        if (IpcMsgDir::Committed(entry)) {
            continue;
        }
        uint32_t qid = IPCMsgNewQid();
        if (qid == IPC_MSG_INVALID_QID) {
            MSG_LOG(OS_MSG_LOG_ERROR, "msgget error.");
            return OS_MSG_ERR_SYSTEM;
        }
        std::memset(entry->name, 0, sizeof(entry->name)); // an unfinished entry may hold more
        if (strcpy_s(entry->name, sizeof(entry->name), name) != 0) {
            return OS_MSG_ERR_FAIL;
        }
        entry->qid = qid;
        IpcMsgDir::Commit(entry);
        MSG_LOG(OS_MSG_LOG_DEBUG, "add new msgq success, index=%u name=[%.16s] qid=[%d].", i, entry->name, (int)qid);
        return OS_MSG_OK;
    }
    MSG_LOG(OS_MSG_LOG_ERROR, "no idle block");
    return OS_MSG_ERR_NO_IDLE_BLOCK;
}

/* Frees the entries of processes that exist under their id but that ops
 * finds gone: the id has been given to another process. */
void IpcMsgDirReclaimUnanswered(IpcMsgDir &dir, const IpcMsgClaimOps *ops) {
    for (uint32_t i = 0U; i < dir.Count(); ++i) {
        IpcMsgQidEntry *entry = dir.Entry(i);
        char name[IPC_MSG_QUEUE_NAME_LEN + 1U] = {0};
        std::memcpy(name, entry->name, IPC_MSG_QUEUE_NAME_LEN);
        if (IpcMsgDir::Committed(entry) && !ops->alive(ops->arg, name)) {
            MSG_LOG(OS_MSG_LOG_INFO, "reclaim queue [%s] of pid %d, which is not its owner.", name, (int)entry->qid);
            IpcMsgDir::Free(entry);
        }
    }
}

} // namespace

extern "C" {

void IPCMsgSetShmSegment(void *segment) {
    g_ipcShmSegment.store(segment, std::memory_order_release);
}

IpcMsgShmHead *IPCMsgGetShmHead(void) {
    IpcMsgShmHead *head = g_ipcShmHead.load(std::memory_order_acquire);
    if (head != nullptr) {
        return head;
    }
    std::lock_guard<std::mutex> guard(g_ipcShmAttachLock);
    head = g_ipcShmHead.load(std::memory_order_acquire);
    if (head == nullptr) {
        IPCMsgInitShmHead(&head);
        g_ipcShmHead.store(head, std::memory_order_release);
    }
    return head;
}

void IPCMsgInitShmHead(IpcMsgShmHead **headOut) {
    auto *head = static_cast<IpcMsgShmHead *>(g_ipcShmSegment.load(std::memory_order_acquire));
    if (headOut == nullptr || head == nullptr) {
        return;
    }
    std::memset(head, 0, IPC_MSG_SHM_HEAD_SIZE);
    head->initWord = 0U;
    head->entryCount = IPC_MSG_QID_ENTRY_NUM;
    head->dirOffset = (uint32_t)offsetof(IpcMsgShmHead, entries);
    pthread_mutexattr_t attr;
    (void)pthread_mutexattr_init(&attr);
    (void)pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    (void)pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    (void)pthread_mutex_init(&head->lock.mutex, &attr);
    (void)pthread_mutexattr_destroy(&attr);
    *headOut = head;
}

void IPCMsgDeinitShmHead(IpcMsgShmHead *head) {
    if (head != nullptr) {
        (void)pthread_mutex_destroy(&head->lock.mutex);
    }
}

void IPCMSGReleaseShmHead(void) {}

uint32_t IPCMsgGetMainQid(void) {
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    if (head == nullptr) {
        return IPC_MSG_INVALID_QID;
    }
    IpcMsgDir dir(head);
    return dir.Locked() ? head->mainQid : IPC_MSG_INVALID_QID;
}

uint32_t IPCMsgGetQidByName(const char *name) {
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "shm head not init.");
        return IPC_MSG_INVALID_QID;
    }
    if (name == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input name null.");
        return IPC_MSG_INVALID_QID;
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "[%s]start find", name);
    bool found = false;
    uint32_t qid = IPC_MSG_INVALID_QID;
    {
        IpcMsgDir dir(head);
        if (!dir.Locked()) {
            return IPC_MSG_INVALID_QID;
        }
        uint32_t index = dir.Find(name);
        found = index < dir.Count();
        if (found) {
            qid = dir.Entry(index)->qid;
        }
    }
    if (found) {
        MSG_LOG(OS_MSG_LOG_DEBUG, "[%s] found", name);
    } else {
        MSG_LOG(OS_MSG_LOG_ERROR, "[%s]not found", name);
    }
    return qid;
}

uint32_t IPCMsgNewQid(void) {
    // The socket carrier's queue is the process's listening socket, found
    // by name; the entry records its owner so that a dead one's is reclaimed.
    return IpcCarrierBetweenProcesses() ? (uint32_t)getpid() : 0U;
}

void IPCMsgAttachShmHead(IpcMsgShmHead *head, const char *path) {
    std::lock_guard<std::mutex> guard(g_ipcShmAttachLock);
    g_ipcShmSegment.store(nullptr, std::memory_order_release);
    g_ipcShmHead.store(head, std::memory_order_release);
    (void)snprintf(g_ipcShmPath, sizeof(g_ipcShmPath), "%s", path != nullptr ? path : "the shared head");
}

uint32_t IPCMsgClaimQid(const char *name, const IpcMsgClaimOps *ops) {
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "get shm error");
        return OS_MSG_ERR_SYSTEM;
    }
    IpcMsgDir dir(head);
    if (!dir.Locked()) {
        return OS_MSG_ERR_SYSTEM;
    }
    dir.Reclaim();
    uint32_t index = dir.Find(name);
    bool listed = index < dir.Count();
    uint32_t ret = ops->take(ops->arg, listed ? dir.Entry(index)->qid : 0U);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    if (listed) {
        // The listed owner is gone (take found nobody answering): its entry
        // is the caller's now, in one store.
        __atomic_store_n(&dir.Entry(index)->qid, IPCMsgNewQid(), __ATOMIC_RELEASE);
        return OS_MSG_OK;
    }
    ret = IpcMsgDirAdd(dir, name);
    if (ret == OS_MSG_ERR_NO_IDLE_BLOCK && ops->alive != nullptr) {
        IpcMsgDirReclaimUnanswered(dir, ops);
        ret = IpcMsgDirAdd(dir, name);
    }
    return ret;
}

uint32_t IPCMsgReleaseQid(const char *name, uint32_t qid, uint32_t waitMs) {
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "get shm error");
        return OS_MSG_ERR_SYSTEM;
    }
    IpcMsgDir dir(head, waitMs);
    if (!dir.Locked()) {
        return OS_MSG_ERR_SYSTEM;
    }
    uint32_t index = dir.Find(name);
    if (index == dir.Count() || dir.Entry(index)->qid != qid) {
        return OS_MSG_ERR_NOT_FOUND;
    }
    IpcMsgDir::Free(dir.Entry(index));
    return OS_MSG_OK;
}

uint32_t IPCMsgAddQid(const char *name) {
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "get shm error");
        return OS_MSG_ERR_SYSTEM;
    }
    if (name == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input name null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    IpcMsgDir dir(head);
    if (!dir.Locked()) {
        return OS_MSG_ERR_SYSTEM;
    }
    if (dir.Find(name) < dir.Count()) {
        return OS_MSG_OK;
    }
    return IpcMsgDirAdd(dir, name);
}

uint32_t IPCMsgDelQid(const char *name) {
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "get shm error");
        return OS_MSG_ERR_SYSTEM;
    }
    if (name == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "input name null.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    IpcMsgDir dir(head);
    if (!dir.Locked()) {
        return OS_MSG_ERR_SYSTEM;
    }
    uint32_t index = dir.Find(name);
    if (index == dir.Count()) {
        MSG_LOG(OS_MSG_LOG_ERROR, "not found this queue");
        return OS_MSG_ERR_NOT_FOUND;
    }
    IpcMsgDir::Free(dir.Entry(index));
    return OS_MSG_OK;
}

} // extern "C"

/*
 * The queue directory: a head in shared memory that maps 16-byte queue names
 * to message queue ids (layout in ipc_msg.h). This platform has no shared
 * segment and no message queues, so the head is never obtained and every
 * operation gives its result for a missing head; a carrier with shared memory
 * hands its segment over with IPCMsgSetShmSegment.
 *
 * Thread safety: g_ipcShmAttachLock (a leaf lock) serialises obtaining the
 * head; the head pointer is published once. The directory lock inside the
 * head serialises every read and change of the entries across processes.
 * The head's entryCount and dirOffset come from another process and are
 * bounded by the head's 3,144 bytes before any entry is touched.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "log/msg_log.h"
#include "transport/ipc_carrier.h"
#include "transport/ipc_msg.h"
#include "vyre_securec.h"

namespace {

/* Serialises obtaining the head. A leaf lock: no other lock is taken while
 * it is held. */
std::mutex g_ipcShmAttachLock;
/* Published once under g_ipcShmAttachLock, read without it. */
std::atomic<IpcMsgShmHead *> g_ipcShmHead{nullptr};
std::atomic<void *> g_ipcShmSegment{nullptr};

/* The directory of a head, held under the head's directory lock for one
 * scope. Only the entries the head describes that lie wholly inside it are
 * used: none for a directory offset that overlaps the head's fields or is
 * not word-aligned. */
class IpcMsgDir {
public:
    explicit IpcMsgDir(IpcMsgShmHead *head) : head_(head) {
        int rc = pthread_mutex_lock(&head_->lock.mutex);
        if (rc == EOWNERDEAD) {
            // A process died holding the lock: the entries are whole (each
            // change is a few word stores), so make the lock usable again
            // and free what the dead left behind.
            MSG_LOG(OS_MSG_LOG_WARN, "directory lock owner died, lock recovered.");
            (void)pthread_mutex_consistent(&head_->lock.mutex);
            ownerDied_ = true;
        } else if (rc != 0) {
            MSG_LOG(OS_MSG_LOG_ERROR, "directory lock error[%d].", rc);
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

    uint32_t Count() const { return count_; }
    /* Frees the entries whose owning process no longer exists (queue ids
     * are process ids under the socket carrier; 0 and all ones name no
     * process). */
    void Reclaim() {
        for (uint32_t i = 0U; i < count_; ++i) {
            IpcMsgQidEntry *entry = Entry(i);
            pid_t pid = (pid_t)entry->qid;
            if (entry->inUse == 0U || pid <= 0 || kill(pid, 0) == 0 || errno != ESRCH) {
                continue;
            }
            MSG_LOG(OS_MSG_LOG_INFO, "reclaim queue [%.16s] of dead pid %d.", entry->name, (int)pid);
            entry->inUse = 0U;
            std::memset(entry->name, 0, sizeof(entry->name));
        }
    }

    IpcMsgQidEntry *Entry(uint32_t index) {
        return reinterpret_cast<IpcMsgQidEntry *>(reinterpret_cast<uint8_t *>(head_) + offset_ +
                                                  (size_t)index * sizeof(IpcMsgQidEntry));
    }

    /* Index of the first entry named name, or Count(). */
    uint32_t Find(const char *name) {
        for (uint32_t i = 0U; i < count_; ++i) {
            if (strncmp(Entry(i)->name, name, IPC_MSG_QUEUE_NAME_LEN) == 0) {
                return i;
            }
        }
        return count_;
    }

private:
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
        if (entry->inUse != 0U) {
            continue;
        }
        uint32_t qid = IPCMsgNewQid();
        if (qid == IPC_MSG_INVALID_QID) {
            MSG_LOG(OS_MSG_LOG_ERROR, "msgget error.");
            return OS_MSG_ERR_SYSTEM;
        }
        if (strcpy_s(entry->name, sizeof(entry->name), name) != 0) {
            return OS_MSG_ERR_FAIL;
        }
        entry->qid = qid;
        entry->inUse = 1U;
        MSG_LOG(OS_MSG_LOG_DEBUG, "add new msgq success, index=%u name=[%.16s] qid=[%d].", i, entry->name, (int)qid);
        return OS_MSG_OK;
    }
    MSG_LOG(OS_MSG_LOG_ERROR, "no idle block");
    return OS_MSG_ERR_NO_IDLE_BLOCK;
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
    return head->mainQid;
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

void IPCMsgAttachShmHead(IpcMsgShmHead *head) {
    std::lock_guard<std::mutex> guard(g_ipcShmAttachLock);
    g_ipcShmSegment.store(nullptr, std::memory_order_release);
    g_ipcShmHead.store(head, std::memory_order_release);
}

uint32_t IPCMsgClaimQid(const char *name, IpcMsgClaimHook hook, void *arg) {
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    if (head == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "get shm error");
        return OS_MSG_ERR_SYSTEM;
    }
    IpcMsgDir dir(head);
    dir.Reclaim();
    uint32_t index = dir.Find(name);
    if (index < dir.Count() && dir.Entry(index)->qid != IPCMsgNewQid()) {
        MSG_LOG(OS_MSG_LOG_ERROR, "process name [%s] in use by pid %d.", name, (int)dir.Entry(index)->qid);
        return OS_MSG_ERR_REPEATED;
    }
    uint32_t ret = hook(arg);
    if (ret != OS_MSG_OK || index < dir.Count()) {
        return ret;
    }
    return IpcMsgDirAdd(dir, name);
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
    uint32_t index = dir.Find(name);
    if (index == dir.Count()) {
        MSG_LOG(OS_MSG_LOG_ERROR, "not found this queue");
        return OS_MSG_ERR_NOT_FOUND;
    }
    IpcMsgQidEntry *entry = dir.Entry(index);
    entry->inUse = 0U;
    std::memset(entry->name, 0, sizeof(entry->name));
    return OS_MSG_OK;
}

} // extern "C"

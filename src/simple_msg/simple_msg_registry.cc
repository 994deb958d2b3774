/*
 * The task registry: the layer's initialisation flag and its two process-wide
 * locks, the table `simpleQueue` from task name to record, registration and
 * unregistration, and the look-up by name. Removal of a record lives in
 * simple_msg_removal.cc, the look-up by thread in simple_msg_thread_task.cc.
 *
 * simpleQueueLock guards the table and is held across every look-up and the
 * use of the record it yields; the flag is read without a lock (atomically).
 *
 * Every send looks its receiver up by name, so each thread remembers its last
 * few successful look-ups together with the table's entry epoch, a counter that
 * every creation, insertion, erasure and destruction of the table advances
 * under simpleQueueLock. While the epoch stands, the same name still maps to
 * the same record, and the look-up skips hashing and comparing the key. A
 * pinned push (simple_msg_push_pin.cc) uses a remembered record without the
 * lock: a record is released only while pushes are held off, and the epoch
 * advances before they resume. The same epoch tells a synchronous sender that
 * its own task, registered before its last request, is still there.
 */
#define MSG_MODULE "simple_msg"

#include <string.h>

#include <atomic>

#include "base/msg_alloc.h"
#include "base/msg_names.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_os_time.h"
#include "vyre_securec.h"

ZemHashTable *simpleQueue = nullptr;
OsMutex simpleQueueLock;
OsMutex timeOutListLock;
ZemList timeOutList;

namespace {

uint32_t simpleMsgInitFlag = 0;

/* Changes of simpleQueue's entries; advanced under simpleQueueLock. Atomic
 * only so that a look-up made without the lock is no data race; under the
 * lock it cannot change. Starts at 1: a memo of epoch 0 holds nothing. */
std::atomic<uint64_t> g_tableEpoch{1};

/* The calling thread's last successful look-ups by name: a sender usually
 * alternates between a few names (a requester: its own task and the one it
 * calls). The oldest answer gives way to a new one. */
constexpr uint32_t kLookupMemos = 4U;

struct QueueLookupMemo {
    uint64_t epoch = 0;
    // Terminated (registered names are shorter) and zero-padded, so a name
    // field holding the same name is equal in all 16 bytes.
    char name[OS_MSG_NAME_LEN] = {0};
    SimpleMsgTask *task = nullptr;
};

bool SameField(const char *a, const char *b) {
    uint64_t a0, a1, b0, b1;
    memcpy(&a0, a, sizeof(a0));
    memcpy(&a1, a + sizeof(a0), sizeof(a1));
    memcpy(&b0, b, sizeof(b0));
    memcpy(&b1, b + sizeof(b0), sizeof(b1));
    return ((a0 ^ b0) | (a1 ^ b1)) == 0U;
}

struct ThreadLookups {
    QueueLookupMemo memo[kLookupMemos];
    uint32_t next = 0; // the slot the next new answer takes
};

// Initial-exec: read on every send; a shared library's thread-local variable
// otherwise costs a call per access.
__attribute__((tls_model("initial-exec"))) thread_local ThreadLookups t_lookups;

/* The name the calling thread last made sure of as a requester, with the
 * table's entry epoch at that time: while the epoch stands, the entry is
 * still there, and registering the name again would change nothing. */
struct RequesterMemo {
    uint64_t epoch = 0;
    char name[OS_MSG_NAME_LEN] = {0}; // zero-padded, compared in all 16 bytes
};
__attribute__((tls_model("initial-exec"))) thread_local RequesterMemo t_requester;

/* Drops the entry of a registration that failed after its record was
 * inserted; the record's locks were not initialised and it has no ring. */
void SimpleMsgDropNewTask(const char *taskName, SimpleMsgTask *task) {
    (void)ZEM_StrHashErase(simpleQueue, taskName);
    SimpleMsgNoteTableChange();
    MSG_FREE(SimpleMsgRingTakeStorage(&task->ring));
    MSG_FREE(task);
}

void SimpleMsgInitTaskLocks(SimpleMsgTask *task) {
    OsCondAttr attr;
    (void)OsSemInit(&task->msgSem, 0U);
    (void)OsMutexInit(&task->respLock);
    (void)OsPthreadCondInitAttr(&attr);
    (void)OsPthreadCondAttrSetClockMonotic(&attr);
    (void)OsPthreadCondInit(&task->respCond, &attr);
    (void)OsPthreadCondAttrDestroy(&attr);
}

/* Makes a record whose removal failed (state 0, slot closed) a working task
 * again. Its ring, locks and any messages still queued were kept by the
 * failed removal, so nothing is allocated; the caller holds simpleQueueLock
 * and installs the callback. 0; 0x80020013 (a removal runs right now, or a
 * requester still holds the slot). */
uint32_t SimpleMsgReviveTask(SimpleMsgTask *task) {
    if (task->delOwner != 0 || OsMutexTryLock(&task->respLock) != 0) {
        return OS_MSG_ERR_TASK_EXIST;
    }
    task->respClosed = 0U;
    (void)OsMutexUnLock(&task->respLock);
    SimpleTaskSetState(task, 1U);
    return OS_MSG_OK;
}

} // namespace

void SimpleMsgNoteTableChange(void) {
    g_tableEpoch.fetch_add(1U, std::memory_order_release);
}

SimpleMsgTask *SimpleMsgRememberedQueue(const char *field) {
    const uint64_t epoch = g_tableEpoch.load(std::memory_order_acquire);
    for (const QueueLookupMemo &memo : t_lookups.memo) {
        if (memo.epoch == epoch && SameField(memo.name, field)) {
            return memo.task;
        }
    }
    return nullptr;
}

extern "C" {

uint32_t SimpleMsgInitPthreadMutex(void) {
    __atomic_store_n(&simpleMsgInitFlag, 1U, __ATOMIC_RELEASE);
    (void)OsMutexInitRecursive(&simpleQueueLock);
    (void)OsMutexInitRecursive(&timeOutListLock);
    return OS_MSG_OK;
}

void SimpleMsgUninitPthreadMutex(void) {
    (void)OsMutexLock(&simpleQueueLock);
    (void)OsMutexLock(&timeOutListLock);
    __atomic_store_n(&simpleMsgInitFlag, 0U, __ATOMIC_RELEASE);
    (void)OsMutexUnLock(&simpleQueueLock);
    (void)OsMutexUnLock(&timeOutListLock);
    (void)OsMutexDestroy(&simpleQueueLock);
    (void)OsMutexDestroy(&timeOutListLock);
}

uint32_t SimpleMsgCheckInit(void) {
    return __atomic_load_n(&simpleMsgInitFlag, __ATOMIC_ACQUIRE);
}

uint32_t SimpleMsgCreateQueue(uint32_t bucketCount) {
    (void)OsMutexLock(&simpleQueueLock);
    if (simpleQueue != nullptr) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "already create simpleQueue.");
        return OS_MSG_ERR_TASK_EXIST;
    }
    const ZemDataHooks hooks = {nullptr, SimpleMsgFreeNode};
    (void)OsMutexLock(&timeOutListLock);
    ZEM_ListInit(&timeOutList, &hooks);
    (void)OsMutexUnLock(&timeOutListLock);

    simpleQueue = ZEM_StrHashCreate(bucketCount);
    SimpleMsgNoteTableChange();
    if (simpleQueue == nullptr) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_FATAL, "Hash Create error.");
        return OS_MSG_ERR_HASH;
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    return OS_MSG_OK;
}

void SimpleMsgDestroyQueue(void) {
    (void)OsMutexLock(&simpleQueueLock);
    if (simpleQueue == nullptr) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "msg queue not init.");
        return;
    }
    // Always continue from the first entry: removal releases the lock while
    // it waits, so the table may have changed behind any saved position.
    for (ListNode *pos = ZEM_HashIterBegin(simpleQueue); pos != ZEM_HashIterEnd(simpleQueue);
         pos = ZEM_HashIterBegin(simpleQueue)) {
        SimpleMsgTask *task = reinterpret_cast<SimpleMsgTask *>(ZEM_HashIterValue(pos));
        if (SimpleMsgDelTask(task, nullptr) != OS_MSG_OK) {
            OS_MSG_LOG(OS_LOG_FATAL, "thread[%s] cannot quit.", task->acTaskName);
            (void)OsMutexUnLock(&simpleQueueLock);
            OsSleepMs(SIMPLE_MSG_RESP_LOCK_PAUSE_MS);
            (void)OsMutexLock(&simpleQueueLock);
        }
    }
    ZEM_HashDestory(simpleQueue);
    simpleQueue = nullptr;
    SimpleMsgNoteTableChange();
    (void)OsMutexUnLock(&simpleQueueLock);
}

uint32_t SimpleMsgGetQueue(const char *taskName, SimpleMsgTask **task) {
    *task = nullptr;
    if (simpleQueue == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "msg queue not init.");
        return OS_MSG_ERR_NOT_INIT;
    }
    if (taskName == nullptr || MsgNameEmpty(taskName)) {
        OS_MSG_LOG(OS_LOG_ERROR, "invalid taskName.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    ThreadLookups &lookups = t_lookups;
    uint64_t epoch = g_tableEpoch.load(std::memory_order_relaxed);
    for (const QueueLookupMemo &memo : lookups.memo) {
        if (memo.epoch == epoch && MsgNameEqual(memo.name, taskName)) {
            *task = memo.task;
            return OS_MSG_OK;
        }
    }
    // Names may come from 16-byte header fields without a terminator; no
    // registered name has more than 15 characters.
    const MsgNameCopy key(taskName);
    ListNode *pos = ZEM_StrHashFind(simpleQueue, key.text);
    if (pos == ZEM_HashIterEnd(simpleQueue)) {
        return OS_MSG_ERR_NOT_FOUND;
    }
    *task = reinterpret_cast<SimpleMsgTask *>(ZEM_HashIterValue(pos));
    QueueLookupMemo &memo = lookups.memo[lookups.next];
    lookups.next = (lookups.next + 1U) % kLookupMemos;
    (void)memset_s(memo.name, sizeof(memo.name), 0, sizeof(memo.name));
    (void)memcpy_s(memo.name, sizeof(memo.name), key.text, strlen(key.text));
    memo.task = *task;
    memo.epoch = epoch;
    return OS_MSG_OK;
}

uint32_t SimpleMsgAddTask(const char *taskName, SimpleMsgTask **task) {
    *task = nullptr;
    if (simpleQueue == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "msg queue not init.");
        return OS_MSG_ERR_NOT_INIT;
    }
    SimpleMsgTask *record = static_cast<SimpleMsgTask *>(MSG_CALLOC(1, sizeof(SimpleMsgTask)));
    if (record == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "malloc failed.");
        return OS_MSG_ERR_NO_MEMORY;
    }
    SimpleMsgNoteTableChange();
    if (ZEM_StrHashInsert(simpleQueue, taskName, reinterpret_cast<ZemWord>(record)) != 0U) {
        MSG_FREE(record);
        OS_MSG_LOG(OS_LOG_ERROR, "hash insert error.");
        return OS_MSG_ERR_HASH;
    }
    *task = record;
    return OS_MSG_OK;
}

uint32_t SimpleMsgSetTask(SimpleMsgTask *task, const char *taskName, uint32_t queueLen, OsMsgTaskFunc func) {
    __atomic_store_n(&task->wakeFd, -1, __ATOMIC_RELAXED); // no descriptor until one is asked for
    // The name is read up to its terminator, but never past the 16 bytes it
    // may occupy.
    if (memcpy_s(task->acTaskName, sizeof(task->acTaskName), taskName, strnlen(taskName, OS_MSG_NAME_LEN) + 1U) != 0) {
        OS_MSG_LOG(OS_LOG_FATAL, "memcpy_s error.");
        return OS_MSG_ERR_FAIL;
    }
    OS_MSG_LOG(OS_LOG_DEBUG, "reg[%s] success.", task->acTaskName);
    SimpleTaskSetState(task, 1U);
    uint32_t capacity = queueLen != 0U ? queueLen : SIMPLE_MSG_DEFAULT_QUEUE_LEN;
    void *storage = MSG_MALLOC(SimpleMsgRingBytes(capacity));
    if (storage == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "apply memory fail!");
        return OS_MSG_ERR_NO_MEMORY;
    }
    SimpleMsgRingInit(&task->ring, storage, capacity);
    SimpleTaskSetFunc(task, func);
    SimpleMsgInitTaskLocks(task);
    return OS_MSG_OK;
}

} // extern "C"

namespace {

/* Registration with either kind of callback (or none). */
uint32_t SimpleMsgRegTaskWith(const char *taskName, uint32_t queueLen, const SimpleTaskCallee &callee,
                              uint32_t autoUnreg) {
    if (taskName == nullptr || MsgNameEmpty(taskName)) {
        OS_MSG_LOG_AS("SimpleMsgRegTask", OS_LOG_ERROR, "reg invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (strnlen(taskName, OS_MSG_NAME_LEN) == OS_MSG_NAME_LEN) {
        // Refused before the name is hashed: the hash would read it to its
        // end, and a caller's name may end right after its 16th byte.
        OS_MSG_LOG_AS("SimpleMsgSetTask", OS_LOG_FATAL, "memcpy_s error.");
        return OS_MSG_ERR_FAIL;
    }
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    (void)SimpleMsgGetQueue(taskName, &task);
    if (task == nullptr) {
        uint32_t ret = SimpleMsgAddTask(taskName, &task);
        if (ret == OS_MSG_OK) {
            task->autoUnreg = autoUnreg;
            ret = SimpleMsgSetTask(task, taskName, queueLen, callee.func);
            if (ret != OS_MSG_OK) {
                SimpleMsgDropNewTask(taskName, task);
            } else {
                SimpleTaskSetFuncEx(task, callee.funcEx, callee.user);
            }
        }
        (void)OsMutexUnLock(&simpleQueueLock);
        return ret;
    }
    OS_MSG_LOG_AS("SimpleMsgRegTask", OS_LOG_INFO, "reg[%s] already exist.", taskName);
    if (SimpleTaskHasCallback(task) || !SimpleTaskCalleeSet(callee)) {
        (void)OsMutexUnLock(&simpleQueueLock);
        return OS_MSG_ERR_TASK_EXIST;
    }
    if (SimpleTaskState(task) != 1U) {
        // A record whose removal failed has lost its callback: taking the new
        // callback makes it a working task again.
        uint32_t ret = SimpleMsgReviveTask(task);
        if (ret != OS_MSG_OK) {
            (void)OsMutexUnLock(&simpleQueueLock);
            return ret;
        }
    }
    SimpleTaskSetFuncEx(task, callee.funcEx, callee.user);
    SimpleTaskSetFunc(task, callee.func);
    OS_MSG_LOG_AS("SimpleMsgRegTask", OS_LOG_INFO, "update func.");
    (void)OsMutexUnLock(&simpleQueueLock);
    return OS_MSG_OK;
}

} // namespace

extern "C" {

uint32_t SimpleMsgRegTask(const char *taskName, uint32_t queueLen, OsMsgTaskFunc func, uint32_t autoUnreg) {
    return SimpleMsgRegTaskWith(taskName, queueLen, SimpleTaskCallee{func, nullptr, nullptr}, autoUnreg);
}

uint32_t SimpleMsgRegTaskEx(const char *taskName, uint32_t queueLen, OsMsgTaskFuncEx funcEx, void *user) {
    return SimpleMsgRegTaskWith(taskName, queueLen, SimpleTaskCallee{nullptr, funcEx, user}, 0U);
}

uint32_t SimpleMsgRegRequester(const char *taskName, uint32_t autoUnreg) {
    // A registered name only costs the line "already exist" and the result
    // 0x80020013; when that line would be dropped anyway, the memo answers
    // without simpleQueueLock.
    RequesterMemo &memo = t_requester;
    if (taskName != nullptr && memo.epoch == g_tableEpoch.load(std::memory_order_acquire) &&
        SameField(memo.name, taskName) && !MsgPlatformLogEnabled(OS_LOG_INFO)) {
        return OS_MSG_ERR_TASK_EXIST;
    }
    (void)OsMutexLock(&simpleQueueLock);
    uint32_t ret = SimpleMsgRegTask(taskName, 1U, nullptr, autoUnreg);
    if (ret == OS_MSG_OK || ret == OS_MSG_ERR_TASK_EXIST) {
        // Under the lock the epoch cannot move: it is the one of the entry
        // just found or made. The name is shorter than 16 characters here.
        (void)memset_s(memo.name, sizeof(memo.name), 0, sizeof(memo.name));
        (void)memcpy_s(memo.name, sizeof(memo.name), taskName, strnlen(taskName, OS_MSG_NAME_LEN));
        memo.epoch = g_tableEpoch.load(std::memory_order_relaxed);
    }
    (void)OsMutexUnLock(&simpleQueueLock);
    return ret;
}

uint32_t SimpleMsgUnregTask(const char *taskName) {
    if (taskName == nullptr || MsgNameEmpty(taskName)) {
        OS_MSG_LOG(OS_LOG_ERROR, "unreg invalid param.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    (void)OsMutexLock(&simpleQueueLock);
    SimpleMsgTask *task = nullptr;
    if (SimpleMsgGetQueue(taskName, &task) != OS_MSG_OK) {
        (void)OsMutexUnLock(&simpleQueueLock);
        OS_MSG_LOG(OS_LOG_ERROR, "unreg[%s] not exist.", MsgNameCopy(taskName).text);
        return OS_MSG_ERR_NOT_FOUND;
    }
    uint32_t ret = SimpleMsgDelTask(task, nullptr);
    (void)OsMutexUnLock(&simpleQueueLock);
    return ret;
}

} // extern "C"

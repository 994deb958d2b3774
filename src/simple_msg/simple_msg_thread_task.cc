/*
 * The look-up by thread: which task the calling thread sends as. A thread is
 * known by the name of the registered task whose loop runs on it, or by the
 * registered task named after its default name "T<kernel thread id>";
 * otherwise by that default name alone.
 *
 * Every send asks, so the answer costs no system call and no walk over the
 * table in the common case:
 * - each thread formats its default name once (again after a fork, when its
 *   kernel thread id has changed);
 * - each thread remembers its last answer together with the registry
 *   generation, a counter that every change of a record's state or loop
 *   thread advances; while the generation stands, the answer stands;
 * - otherwise the answer comes from the thread's own set of records whose
 *   loop runs on it (kept by the loop thread itself, since only a thread
 *   claims or gives up a loop for itself) and one hash look-up of the default
 *   name, under simpleQueueLock. Only when these leave two candidates, or the
 *   set overflowed, is the table walked, so that the first match in table
 *   order wins as before.
 *
 * A thread that handles a task's messages outside the task's loop
 * (SimpleTaskHandleSome) is known by that task's name for the length of the
 * call, ahead of everything above.
 *
 * Thread safety: the generation is atomic; the per-thread state is touched
 * only by its own thread; the records are read under simpleQueueLock.
 */
#define MSG_MODULE "simple_msg"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "base/msg_names.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_securec.h"

namespace {

// Advanced after every change of a record's state or loop thread.
std::atomic<uint64_t> g_registryGeneration{1};

// Loops one thread runs at a time; more only when a callback enters another
// task's loop, and beyond this the look-up falls back to the walk.
constexpr uint32_t kLoopSlots = 4;

struct ThreadTaskState {
    uint32_t pid = 0;                        // process the default name was made in
    bool nameMade = false;                   // false when formatting failed
    char defaultName[OS_MSG_NAME_LEN] = {0}; // "T<kernel thread id>"
    SimpleMsgTask *loops[kLoopSlots] = {};   // records whose loop runs on this thread
    bool loopsOverflowed = false;            // a loop was not recorded: walk from now on
    uint64_t answerGeneration = 0;           // 0: no answer remembered
    char answerName[OS_MSG_NAME_LEN] = {0};
    uint32_t answerFound = 0;
    const char *serving = nullptr; // the task whose messages the thread handles now
};

// Initial-exec: read on every send (see t_lookups in simple_msg_registry.cc).
__attribute__((tls_model("initial-exec"))) thread_local ThreadTaskState t_self;

// The calling thread's state with its default name current for this process.
ThreadTaskState &SelfState() {
    ThreadTaskState &self = t_self;
    uint32_t pid = OsGetPId();
    if (self.pid != pid) {
        self.pid = pid;
        (void)memset_s(self.defaultName, sizeof(self.defaultName), 0, sizeof(self.defaultName));
        self.nameMade =
            sprintf_s(self.defaultName, sizeof(self.defaultName), "T%d", static_cast<int>(syscall(SYS_gettid))) >= 0;
        self.answerGeneration = 0;
    }
    return self;
}

bool SimpleMsgIsThreadTask(const SimpleMsgTask *task, OsThread threadId, const char *defaultName) {
    if (SimpleTaskState(task) != 1U) {
        return false;
    }
    return (threadId != 0 && SimpleTaskThread(task) == threadId) || MsgNameEqual(task->acTaskName, defaultName);
}

// The first matching record in table order. Caller holds simpleQueueLock.
const SimpleMsgTask *SimpleMsgWalkForThread(OsThread threadId, const char *defaultName) {
    if (simpleQueue == nullptr) {
        return nullptr;
    }
    for (ListNode *pos = ZEM_HashIterBegin(simpleQueue); pos != ZEM_HashIterEnd(simpleQueue);
         pos = ZEM_HashIterNext(simpleQueue, pos)) {
        const SimpleMsgTask *task = reinterpret_cast<const SimpleMsgTask *>(ZEM_HashIterValue(pos));
        if (SimpleMsgIsThreadTask(task, threadId, defaultName)) {
            return task;
        }
    }
    return nullptr;
}

// The same answer for the calling thread from its loop set and one hash
// look-up, falling back to the walk when two records could match. Caller
// holds simpleQueueLock.
const SimpleMsgTask *SimpleMsgFindForSelf(const ThreadTaskState &self, OsThread threadId) {
    if (simpleQueue == nullptr) {
        return nullptr;
    }
    const SimpleMsgTask *named = nullptr;
    SimpleMsgTask *byName = nullptr;
    if (SimpleMsgGetQueue(self.defaultName, &byName) == OS_MSG_OK && SimpleTaskState(byName) == 1U) {
        named = byName;
    }
    const SimpleMsgTask *looping = nullptr;
    uint32_t candidates = named != nullptr ? 1U : 0U;
    for (const SimpleMsgTask *task : self.loops) {
        if (task != nullptr && task != named && SimpleMsgIsThreadTask(task, threadId, self.defaultName)) {
            looping = task;
            ++candidates;
        }
    }
    if (self.loopsOverflowed || candidates > 1U) {
        return SimpleMsgWalkForThread(threadId, self.defaultName);
    }
    return looping != nullptr ? looping : named;
}

void CopyName(char *out, uint32_t outSize, const char *name) {
    if (memcpy_s(out, outSize, name, OS_MSG_NAME_LEN) != 0) {
        OS_MSG_LOG(OS_LOG_ERROR, "memcpy error.");
    }
}

} // namespace

void SimpleMsgNoteStateChange(void) {
    g_registryGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void SimpleMsgNoteLoopThread(SimpleMsgTask *task, OsThread thread) {
    ThreadTaskState &self = t_self;
    if (thread == 0) {
        SimpleMsgForgetLoopTask(task);
    } else if (thread == OsPthreadSelf()) {
        SimpleMsgTask **freeSlot = nullptr;
        bool known = false;
        for (SimpleMsgTask *&slot : self.loops) {
            known = known || slot == task;
            if (slot == nullptr && freeSlot == nullptr) {
                freeSlot = &slot;
            }
        }
        if (!known && freeSlot != nullptr) {
            *freeSlot = task;
        } else if (!known) {
            self.loopsOverflowed = true;
        }
    }
    g_registryGeneration.fetch_add(1, std::memory_order_acq_rel);
}

const char *SimpleMsgServeBegin(const char *name) {
    const char *previous = t_self.serving;
    t_self.serving = name;
    return previous;
}

void SimpleMsgServeEnd(const char *previous) {
    t_self.serving = previous;
}

void SimpleMsgForgetLoopTask(const SimpleMsgTask *task) {
    for (SimpleMsgTask *&slot : t_self.loops) {
        if (slot == task) {
            slot = nullptr;
        }
    }
}

extern "C" uint32_t SimpleMsgGetTaskInfoByTid(OsThread threadId, char *out, uint32_t outSize) {
    ThreadTaskState &self = SelfState();
    if (!self.nameMade) {
        return 1U;
    }
    bool forSelf = threadId == OsPthreadSelf();
    if (forSelf && self.serving != nullptr) {
        CopyName(out, outSize, self.serving);
        return 1U;
    }
    uint64_t generation = g_registryGeneration.load(std::memory_order_acquire);
    if (forSelf && self.answerGeneration == generation) {
        CopyName(out, outSize, self.answerName);
        return self.answerFound;
    }
    (void)OsMutexLock(&simpleQueueLock);
    const SimpleMsgTask *found =
        forSelf ? SimpleMsgFindForSelf(self, threadId) : SimpleMsgWalkForThread(threadId, self.defaultName);
    const char *name = found != nullptr ? found->acTaskName : self.defaultName;
    if (forSelf) {
        // Tagged with the generation read before the look-up: a change made
        // meanwhile has advanced it, so this answer is never taken for newer.
        (void)memcpy_s(self.answerName, sizeof(self.answerName), name, OS_MSG_NAME_LEN);
        self.answerFound = found != nullptr ? 1U : 0U;
        self.answerGeneration = generation;
    }
    CopyName(out, outSize, name);
    (void)OsMutexUnLock(&simpleQueueLock);
    return found != nullptr ? 1U : 0U;
}

/*
 * Threads and process identity over POSIX threads and Linux.
 *
 * Every function may be called from any thread. The process name is the
 * kernel's name of the process (its main thread), read from /proc/self/comm
 * so that a thread which renamed itself still sees the process's name; where
 * /proc is not mounted the calling thread's own kernel name (PR_GET_NAME)
 * stands in.
 *
 * The process and user ids are read from the kernel once and kept: every
 * message is stamped with them, and two system calls per send would cost
 * more than the rest of the stamping. A fork handler reads them again in the
 * child. The kept values are atomics, written only by the first caller and
 * by the fork handler.
 */
#include "vyre_os_thread.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>

namespace {

// The kernel's task name buffer: 15 characters and a terminator.
constexpr size_t kKernelNameSize = 16;

// Reads the process's kernel name (without the line feed /proc adds) into
// name of kKernelNameSize + 1 bytes. 0 on success, else an error number.
int32_t ReadKernelProcName(char *name) {
    int fd;
    do {
        fd = open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        ssize_t n;
        do {
            n = read(fd, name, kKernelNameSize);
        } while (n < 0 && errno == EINTR);
        (void)close(fd);
        if (n > 0) {
            name[n] = '\0';
            name[strcspn(name, "\n")] = '\0';
            return 0;
        }
    }
    if (prctl(PR_GET_NAME, name, 0, 0, 0) == 0) {
        name[kKernelNameSize] = '\0';
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

std::atomic<uint32_t> g_ownPid{0};
std::atomic<uint32_t> g_ownUid{0};
pthread_once_t g_idsOnce = PTHREAD_ONCE_INIT;
// Set once the ids are read: every send asks for them, and a load is cheaper
// than pthread_once.
std::atomic<bool> g_idsRead{false};

void ReadOwnIds() {
    g_ownPid.store(static_cast<uint32_t>(getpid()), std::memory_order_relaxed);
    g_ownUid.store(static_cast<uint32_t>(getuid()), std::memory_order_relaxed);
}

// The child of fork has an id of its own; only the forking thread runs in it,
// so the new values are in place before anything else asks.
void ReadOwnIdsOnce() {
    ReadOwnIds();
    (void)pthread_atfork(nullptr, nullptr, ReadOwnIds);
    g_idsRead.store(true, std::memory_order_release);
}

void EnsureOwnIds() {
    if (!g_idsRead.load(std::memory_order_acquire)) {
        (void)pthread_once(&g_idsOnce, ReadOwnIdsOnce);
    }
}

} // namespace

extern "C" {

int32_t OsPthreadCreate(OsThread *tid, const void *attr, OsThreadRoutine routine, void *arg) {
    if (tid == nullptr || attr != nullptr || routine == nullptr) {
        return EINVAL;
    }
    return pthread_create(tid, nullptr, routine, arg);
}

int32_t OsPthreadDetach(OsThread tid) {
    return pthread_detach(tid);
}

OsThread OsPthreadSelf(void) {
    return pthread_self();
}

int32_t OsPthreadSetName(const char *name) {
    if (name == nullptr) {
        return EINVAL;
    }
    char cut[kKernelNameSize] = {0};
    (void)strncpy(cut, name, sizeof(cut) - 1U);
    return pthread_setname_np(pthread_self(), cut);
}

uint32_t OsGetPId(void) {
    EnsureOwnIds();
    return g_ownPid.load(std::memory_order_relaxed);
}

uint32_t OsGetUId(void) {
    EnsureOwnIds();
    return g_ownUid.load(std::memory_order_relaxed);
}

int32_t MenGetProcName(char *buf, uint32_t size) {
    if (buf == nullptr || size == 0) {
        return EINVAL;
    }
    char name[kKernelNameSize + 1] = {0};
    int32_t rc = ReadKernelProcName(name);
    if (rc != 0) {
        buf[0] = '\0';
        return rc;
    }
    size_t len = strlen(name);
    if (len >= size) {
        len = size - 1;
    }
    memcpy(buf, name, len);
    buf[len] = '\0';
    return 0;
}

} // extern "C"

/*
 * Threads and process identity over POSIX threads and Linux.
 *
 * Stateless: every function may be called from any thread. The process name
 * is the kernel's name of the process (its main thread), read from
 * /proc/self/comm so that a thread which renamed itself still sees the
 * process's name; where /proc is not mounted the calling thread's own kernel
 * name (PR_GET_NAME) stands in.
 */
#include "vyre_os_thread.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

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

uint32_t OsGetPId(void) {
    return static_cast<uint32_t>(getpid());
}

uint32_t OsGetUId(void) {
    return static_cast<uint32_t>(getuid());
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

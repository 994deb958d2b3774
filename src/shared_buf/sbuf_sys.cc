/*
 * The system calls of the shared buffers (see sbuf_sys.h).
 */
#include "shared_buf/sbuf_sys.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/msg_foreign_fd.h"

int SbufSysCreateSegment(const char *name, size_t bytes) {
    int fd = memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        return -1;
    }
    if (ftruncate(fd, static_cast<off_t>(bytes)) != 0 ||
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        int saved = errno;
        (void)close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

uint8_t *SbufSysMap(int fd, size_t bytes, bool writable) {
    int prot = writable ? (PROT_READ | PROT_WRITE) : PROT_READ;
    void *base = mmap(nullptr, bytes, prot, MAP_SHARED, fd, 0);
    return base == MAP_FAILED ? nullptr : static_cast<uint8_t *>(base);
}

void SbufSysUnmap(uint8_t *base, size_t bytes) {
    if (base != nullptr) {
        (void)munmap(base, bytes);
    }
}

int SbufSysReopenReadOnly(int fd) {
    char path[48];
    (void)snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    return open(path, O_RDONLY | O_CLOEXEC);
}

SbufSysSegmentFault SbufSysCheckSegment(int fd, uint64_t bytes) {
    const int needed = F_SEAL_SHRINK | F_SEAL_GROW;
    int seals = fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (seals & needed) != needed) {
        return SBUF_SEGMENT_NOT_SEALED;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (uint64_t)st.st_size != bytes) {
        return SBUF_SEGMENT_WRONG_SIZE;
    }
    return SBUF_SEGMENT_SOUND;
}

int SbufSysDupFd(int fd) {
    return fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

void SbufSysCloseFd(int fd) {
    MsgForeignFdClose(fd); // a descriptor received from another process may be slow to close
}

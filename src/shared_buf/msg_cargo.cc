/*
 * Message cargo records (see msg_cargo.h): tracked allocations of a fixed
 * size, made only for messages that carry a shared buffer or descriptors.
 */
#define MSG_MODULE "shared_buf"

#include "shared_buf/msg_cargo.h"

#include <sys/resource.h>

#include <atomic>
#include <cerrno>

#include "base/msg_alloc.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"
#include "shared_buf/sbuf_sys.h"

namespace {

/* Descriptors that cargos hold: received or duplicated for a message, and
 * neither taken by a callback nor closed yet. */
std::atomic<uint32_t> g_msgCargoFds{0U};

void MsgCargoFdsGone(uint32_t n) {
    if (n != 0U) {
        g_msgCargoFds.fetch_sub(n, std::memory_order_relaxed);
    }
}

} // namespace

extern "C" {

MsgCargo *MsgCargoNew(SbufBlock *buf, const void *data, uint32_t len) {
    auto *cargo = static_cast<MsgCargo *>(MSG_MALLOC(sizeof(MsgCargo)));
    if (cargo == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "no memory for the message's cargo.");
        return nullptr;
    }
    cargo->buf = buf;
    cargo->data = static_cast<uint8_t *>(const_cast<void *>(data));
    cargo->dataLen = len;
    cargo->flags = 0U;
    cargo->fdCount = 0U;
    for (int &fd : cargo->fds) {
        fd = -1;
    }
    return cargo;
}

uint32_t MsgCargoAddFds(MsgCargo *cargo, const int *fds, uint32_t count) {
    if (count > OS_MSG_MAX_FDS - cargo->fdCount) {
        MSG_LOG(OS_MSG_LOG_ERROR, "%u descriptors: more than %u.", count, OS_MSG_MAX_FDS);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    const uint32_t first = cargo->fdCount;
    for (uint32_t i = 0U; i < count; ++i) {
        int dup = SbufSysDupFd(fds[i]);
        if (dup < 0) {
            const int err = errno;
            for (uint32_t j = first; j < first + i; ++j) {
                SbufSysCloseFd(cargo->fds[j]);
                cargo->fds[j] = -1;
            }
            MSG_LOG(OS_MSG_LOG_ERROR, "descriptor %d not duplicated (errno %d).", fds[i], err);
            return err == EBADF ? OS_MSG_ERR_INVALID_PARAM : OS_MSG_ERR_SYSTEM;
        }
        cargo->fds[first + i] = dup;
    }
    cargo->fdCount = first + count;
    g_msgCargoFds.fetch_add(count, std::memory_order_relaxed);
    return OS_MSG_OK;
}

void MsgCargoAdoptFds(MsgCargo *cargo, uint32_t count) {
    cargo->fdCount = count;
    g_msgCargoFds.fetch_add(MsgCargoFdsLeft(cargo), std::memory_order_relaxed);
}

uint32_t MsgCargoFdsHeld(void) {
    return g_msgCargoFds.load(std::memory_order_relaxed);
}

uint32_t MsgCargoFdsBound(void) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return UINT32_MAX;
    }
    const rlim_t share = limit.rlim_cur / MSG_TUNE_WAITING_FDS_SHARE;
    if (share < MSG_TUNE_WAITING_FDS_MIN) {
        return MSG_TUNE_WAITING_FDS_MIN;
    }
    return share > UINT32_MAX ? UINT32_MAX : (uint32_t)share;
}

bool MsgCargoFdsCrowded(void) {
    const uint32_t held = MsgCargoFdsHeld();
    return held > MSG_TUNE_WAITING_FDS_MIN && held > MsgCargoFdsBound();
}

bool MsgCargoFdsEased(void) {
    const uint32_t held = MsgCargoFdsHeld();
    return held <= MSG_TUNE_WAITING_FDS_MIN / 2U || held <= MsgCargoFdsBound() / 2U;
}

MsgCargo *MsgCargoShare(const MsgCargo *cargo) {
    MsgCargo *share = MsgCargoNew(cargo->buf, cargo->data, cargo->dataLen);
    if (share != nullptr && share->buf != nullptr) {
        SbufAddRef(share->buf);
    }
    return share;
}

uint32_t MsgCargoBytes(const MsgCargo *cargo, uint32_t copyLen) {
    return cargo->buf != nullptr ? SbufSizeOf(cargo->buf) : copyLen;
}

int MsgCargoTakeFd(MsgCargo *cargo, uint32_t index) {
    if (index >= cargo->fdCount) {
        return -1;
    }
    int fd = cargo->fds[index];
    cargo->fds[index] = -1;
    MsgCargoFdsGone(fd >= 0 ? 1U : 0U);
    return fd;
}

uint32_t MsgCargoFdsLeft(const MsgCargo *cargo) {
    uint32_t left = 0U;
    for (uint32_t i = 0U; i < cargo->fdCount; ++i) {
        left += cargo->fds[i] >= 0 ? 1U : 0U;
    }
    return left;
}

void MsgCargoRelease(MsgCargo *cargo) {
    if (cargo == nullptr) {
        return;
    }
    MsgCargoFdsGone(MsgCargoFdsLeft(cargo));
    for (uint32_t i = 0U; i < cargo->fdCount; ++i) {
        SbufSysCloseFd(cargo->fds[i]);
    }
    if (cargo->buf != nullptr) {
        SbufDropRef(cargo->buf);
    }
    MSG_FREE(cargo);
}

} // extern "C"

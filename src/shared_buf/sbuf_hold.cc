/*
 * Holds on shared buffers and the accounts they are charged to (see
 * sbuf_hold.h). A buffer keeps one record per account that holds it, with
 * that account's count; holds charged to no task are a plain count in the
 * block. Everything runs under the pool lock.
 */
#define MSG_MODULE "shared_buf"

#include "shared_buf/sbuf_hold.h"

#include "base/msg_alloc.h"
#include "log/msg_log.h"
#include "shared_buf/sbuf_pool.h"
#include "shared_buf/sbuf_share.h"

struct SbufHold {
    SbufHold *next;
    SbufAccount *account;
    uint32_t count;
};

namespace {

void Charge(SbufAccount *account, const SbufBlock *block, int sign) {
    uint64_t bytes = SbufSizeOf(block);
    if (sign > 0) {
        __atomic_store_n(&account->buffers, account->buffers + 1U, __ATOMIC_RELAXED);
        __atomic_store_n(&account->bytes, account->bytes + bytes, __ATOMIC_RELAXED);
    } else {
        __atomic_store_n(&account->buffers, account->buffers - 1U, __ATOMIC_RELAXED);
        __atomic_store_n(&account->bytes, account->bytes - bytes, __ATOMIC_RELAXED);
    }
}

/* The link to account's record in block, or to the list's end. */
SbufHold **FindHold(SbufBlock *block, const SbufAccount *account) {
    SbufHold **link = &block->holds;
    while (*link != nullptr && (*link)->account != account) {
        link = &(*link)->next;
    }
    return link;
}

uint32_t HoldLocked(SbufBlock *block, SbufAccount *account) {
    if (account == nullptr) {
        ++block->looseHolds;
    } else {
        SbufHold **link = FindHold(block, account);
        if (*link == nullptr) {
            auto *hold = static_cast<SbufHold *>(MSG_MALLOC(sizeof(SbufHold)));
            if (hold == nullptr) {
                return OS_MSG_ERR_NO_MEMORY;
            }
            *hold = SbufHold{nullptr, account, 0U};
            *link = hold;
        }
        ++(*link)->count;
        Charge(account, block, 1);
    }
    ++block->refs;
    return OS_MSG_OK;
}

/* Takes one hold off the record at link. */
void DischargeAt(SbufBlock *block, SbufHold **link) {
    SbufHold *hold = *link;
    if (hold->account != nullptr) {
        Charge(hold->account, block, -1);
    }
    if (--hold->count == 0U) {
        *link = hold->next;
        MSG_FREE(hold);
    }
}

bool ReleaseLocked(SbufBlock *block, SbufAccount *preferred) {
    SbufHold **link = preferred != nullptr ? FindHold(block, preferred) : nullptr;
    if (link != nullptr && *link != nullptr) {
        DischargeAt(block, link);
    } else if (block->looseHolds != 0U) {
        --block->looseHolds;
    } else if (block->holds != nullptr) {
        DischargeAt(block, &block->holds);
    } else {
        return false;
    }
    SbufDropRefLocked(block);
    return true;
}

void ForgetIn(SbufBlock *block, void *arg) {
    auto *account = static_cast<SbufAccount *>(arg);
    SbufHold **link = FindHold(block, account);
    if (*link == nullptr) {
        return;
    }
    SbufHold *hold = *link;
    *link = hold->next;
    block->looseHolds += hold->count;
    MSG_FREE(hold);
}

} // namespace

extern "C" {

uint32_t SbufHoldRef(const void *data, SbufAccount *account) {
    SbufLock();
    SbufBlock *block = SbufFindLocked(data);
    uint32_t ret = block == nullptr ? OS_MSG_ERR_INVALID_PARAM : HoldLocked(block, account);
    SbufUnlock();
    if (ret == OS_MSG_ERR_INVALID_PARAM) {
        MSG_LOG(OS_MSG_LOG_ERROR, "data is not in a shared buffer.");
    } else if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "no memory for the hold.");
    }
    return ret;
}

uint32_t SbufReleaseRef(const void *data, SbufAccount *preferred) {
    SbufLock();
    SbufBlock *block = SbufFindLocked(data);
    bool released = block != nullptr && ReleaseLocked(block, preferred);
    SbufUnlockAndNotify(); // the last hold of another process's buffer gives it back
    if (!released) {
        MSG_LOG(OS_MSG_LOG_ERROR, "data is not in a held buffer.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    return OS_MSG_OK;
}

void SbufForgetAccount(SbufAccount *account) {
    SbufLock();
    if (__atomic_load_n(&account->buffers, __ATOMIC_RELAXED) != 0U) {
        SbufForEachInUseLocked(ForgetIn, account);
    }
    if (__atomic_load_n(&account->lent, __ATOMIC_RELAXED) != 0U) {
        SbufShareForgetAccountLocked(account);
    }
    __atomic_store_n(&account->buffers, 0U, __ATOMIC_RELAXED);
    __atomic_store_n(&account->bytes, 0U, __ATOMIC_RELAXED);
    __atomic_store_n(&account->lent, 0U, __ATOMIC_RELAXED);
    SbufUnlock();
}

uint32_t SbufAccountBuffers(const SbufAccount *account) {
    return __atomic_load_n(&account->buffers, __ATOMIC_RELAXED);
}

uint64_t SbufAccountBytes(const SbufAccount *account) {
    return __atomic_load_n(&account->bytes, __ATOMIC_RELAXED);
}

uint32_t SbufAccountLent(const SbufAccount *account) {
    return __atomic_load_n(&account->lent, __ATOMIC_RELAXED);
}

} // extern "C"

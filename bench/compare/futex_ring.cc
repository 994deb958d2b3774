// Lock-free bounded ring with a futex-sleeping consumer (see futex_ring.h).
// Each cell carries a sequence number: a producer may fill cell i of lap n
// when its sequence is i + n * capacity, and publishes it by storing one more;
// the consumer frees it for the next lap by storing i + (n + 1) * capacity.
#include "futex_ring.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace compare {

void FutexWait(std::atomic<uint32_t> &word, uint32_t expected, uint32_t timeoutMs, bool betweenProcesses) {
    timespec ts{static_cast<time_t>(timeoutMs / 1000U), static_cast<long>(timeoutMs % 1000U) * 1000000L};
    (void)syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), betweenProcesses ? FUTEX_WAIT : FUTEX_WAIT_PRIVATE,
                  expected, &ts, nullptr, 0);
}

void FutexWakeAll(std::atomic<uint32_t> &word, bool betweenProcesses) {
    (void)syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), betweenProcesses ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE,
                  INT32_MAX, nullptr, nullptr, 0);
}

namespace {
uint64_t RoundUp(uint32_t n) {
    uint64_t size = 1;
    while (size < n) {
        size <<= 1;
    }
    return size;
}
} // namespace

FutexRing::FutexRing(uint32_t capacity, bool manyProducers)
    : mask_(RoundUp(capacity) - 1), manyProducers_(manyProducers), cells_(new Cell[mask_ + 1]) {
    for (uint64_t i = 0; i <= mask_; ++i) {
        cells_[i].seq.store(i, std::memory_order_relaxed);
    }
}

bool FutexRing::Push(const RingItem &item) {
    uint64_t pos = tail_.load(std::memory_order_relaxed);
    Cell *cell;
    for (;;) {
        cell = &cells_[pos & mask_];
        uint64_t seq = cell->seq.load(std::memory_order_acquire);
        int64_t diff = static_cast<int64_t>(seq - pos);
        if (diff < 0) {
            return false;
        }
        if (diff > 0) {
            pos = tail_.load(std::memory_order_relaxed);
            continue;
        }
        if (!manyProducers_) {
            tail_.store(pos + 1, std::memory_order_relaxed);
            break;
        }
        if (tail_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
            break;
        }
    }
    cell->item = item;
    cell->seq.store(pos + 1, std::memory_order_release);
    // Pairs with the consumer's fence: either it sees the item before it
    // sleeps, or this sees it sleeping and wakes it.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (sleeping_.load(std::memory_order_relaxed) != 0 && sleeping_.exchange(0) != 0) {
        FutexWakeAll(sleeping_);
    }
    return true;
}

bool FutexRing::Empty() const {
    return cells_[head_ & mask_].seq.load(std::memory_order_acquire) != head_ + 1;
}

bool FutexRing::Pop(RingItem &item) {
    Cell &cell = cells_[head_ & mask_];
    if (cell.seq.load(std::memory_order_acquire) != head_ + 1) {
        return false;
    }
    item = cell.item;
    cell.seq.store(head_ + mask_ + 1, std::memory_order_release);
    ++head_;
    return true;
}

namespace {
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}
} // namespace

void FutexRing::WaitNonEmpty() {
    // A short spin, then a few yields, before the consumer sleeps: a producer
    // that is slightly slower than the consumer then rarely pays a wake-up.
    constexpr int kSpins = 200;
    constexpr int kYields = 4;
    for (int i = 0; i < kSpins + kYields; ++i) {
        if (!Empty()) {
            return;
        }
        if (i < kSpins) {
            CpuRelax();
        } else {
            sched_yield();
        }
    }
    sleeping_.store(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (Empty()) {
        // Bounded, so that a wake-up lost to a bug costs time, not a hang.
        FutexWait(sleeping_, 1, 100);
    }
    sleeping_.store(0, std::memory_order_relaxed);
}

} // namespace compare

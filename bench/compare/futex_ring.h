// The floor the in-process contenders are measured against: a bounded
// lock-free ring of payload pointers (one or many producers, one consumer)
// whose consumer, once the ring stays empty for a short spin, sleeps on a
// futex and is woken only when it sleeps, and a futex word for ping-pong hand-offs.
//
// Push may be called from any number of threads when the ring is made for
// several producers, from one thread otherwise; Pop and WaitNonEmpty from the
// one consumer thread only.
#ifndef VYRE_BENCH_FUTEX_RING_H
#define VYRE_BENCH_FUTEX_RING_H

#include <atomic>
#include <cstdint>
#include <memory>

namespace compare {

// Sleeps while *word == expected (at most timeoutMs), and wakes sleepers;
// betweenProcesses for a word in memory that other processes map too.
void FutexWait(std::atomic<uint32_t> &word, uint32_t expected, uint32_t timeoutMs, bool betweenProcesses = false);
void FutexWakeAll(std::atomic<uint32_t> &word, bool betweenProcesses = false);

struct RingItem {
    void *data;
    uint32_t len;
};

class FutexRing {
public:
    // capacity is rounded up to a power of two.
    FutexRing(uint32_t capacity, bool manyProducers);
    // False when the ring is full (nothing is queued).
    bool Push(const RingItem &item);
    // False when the ring is empty.
    bool Pop(RingItem &item);
    // Returns when the ring holds an item (or after a bounded sleep).
    void WaitNonEmpty();

private:
    struct alignas(64) Cell {
        std::atomic<uint64_t> seq;
        RingItem item;
    };
    bool Empty() const;

    const uint64_t mask_;
    const bool manyProducers_;
    std::unique_ptr<Cell[]> cells_;
    alignas(64) std::atomic<uint64_t> tail_{0}; // next slot to fill
    alignas(64) uint64_t head_ = 0;             // next slot to take; consumer only
    alignas(64) std::atomic<uint32_t> sleeping_{0};
};

} // namespace compare

#endif

// The floor contenders: payloads copied into malloc'd buffers and handed over
// through a lock-free ring or futex words, released by the receiver.
// Producer and consumer threads are the run's own; see futex_ring.h.
#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "futex_ring.h"
#include "inproc_contenders.h"

namespace compare {

double FloorOneWay(const OneWayCase &c) {
    FutexRing ring(c.depth, c.producers > 1);
    Tally tally(c);
    const uint64_t total = c.perProducer * c.producers;
    std::thread consumer([&] {
        uint64_t taken = 0;
        RingItem item{};
        while (taken < total) {
            ring.WaitNonEmpty();
            while (ring.Pop(item)) {
                tally.Take(item.data, item.len);
                std::free(item.data);
                ++taken;
            }
        }
    });
    double rate = DriveOneWay(c, tally, [&](uint32_t producer) {
        std::vector<char> source(c.size, 'f');
        for (uint64_t seq = 0; seq < c.perProducer; ++seq) {
            StampPayload(source.data(), producer, seq);
            void *copy = std::malloc(c.size);
            if (copy == nullptr) {
                return false;
            }
            std::memcpy(copy, source.data(), c.size);
            while (!ring.Push(RingItem{copy, c.size})) {
                sched_yield();
            }
        }
        return true;
    });
    consumer.join();
    return rate;
}

namespace {

// One direction of the ping-pong: a sequence word the waiter sleeps on and
// the payload handed over with it.
struct Mailbox {
    std::atomic<uint32_t> seq{0};
    void *data = nullptr;
};

void Post(Mailbox &box, const void *payload, uint32_t size) {
    box.data = std::malloc(size);
    std::memcpy(box.data, payload, size);
    box.seq.fetch_add(1, std::memory_order_release);
    FutexWakeAll(box.seq);
}

void *Await(Mailbox &box, uint32_t seen) {
    while (box.seq.load(std::memory_order_acquire) == seen) {
        FutexWait(box.seq, seen, 1000);
    }
    return box.data;
}

} // namespace

bool FloorRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs) {
    Mailbox request;
    Mailbox answer;
    constexpr uint32_t kWarmup = 1000;
    const uint32_t trips = kWarmup + count;
    std::thread server([&] {
        for (uint32_t i = 0; i < trips; ++i) {
            void *got = Await(request, i);
            Post(answer, got, size);
            std::free(got);
        }
    });
    std::vector<char> payload(size, 'q');
    uint32_t seen = 0;
    bool ok = DriveRoundTrips(
        kWarmup, count,
        [&] {
            Post(request, payload.data(), size);
            void *got = Await(answer, seen++);
            bool same = SameBytes(got, payload.data(), size);
            std::free(got);
            return same;
        },
        samplesUs);
    if (!ok) {
        server.detach(); // waits for a request that will not come; the child exits
        return false;
    }
    server.join();
    return true;
}

} // namespace compare

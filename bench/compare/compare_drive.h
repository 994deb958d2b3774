// Driving one measurement inside its child process: the one-way case
// (producers released together, the clock stopped by the consumer when it has
// handled the last message) and the round-trip case (each trip timed by the
// caller). Every message carries its producer and sequence number in its
// first 8 bytes, and the consumer checks each one's size and order, so a
// contender that loses, duplicates, reorders or truncates messages fails
// instead of being timed.
//
// Tally::Take is called by one consumer thread at a time; the driver waits on
// the tally from its own thread.
#ifndef VYRE_BENCH_COMPARE_DRIVE_H
#define VYRE_BENCH_COMPARE_DRIVE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace compare {

// Each of producers threads sends perProducer messages of size bytes to one
// consumer; depth bounds the messages in flight (queue length, high-water
// mark or ring size, as the contender has it). A case with gapUs measures
// latency instead of rate: the messages go one at a time, gapUs apart, each
// stamped with the time it was sent, and the consumer notes how long each
// took.
struct OneWayCase {
    uint32_t size;
    uint64_t perProducer;
    uint32_t producers;
    uint32_t depth;
    uint32_t gapUs = 0;
};

// Writes the producer index and sequence number into the first 8 bytes of a
// payload (size >= 8).
void StampPayload(char *payload, uint32_t producer, uint64_t seq);

// StampPayload for the frames of case c, called right before each send:
// for a latency case it first waits until gapUs have passed since the last
// frame, then writes the time of sending into bytes 8 to 16 as well.
void StampFrame(char *payload, const OneWayCase &c, uint64_t seq);

// The consumer's side of a one-way run.
class Tally {
public:
    explicit Tally(const OneWayCase &c);
    // Checks and counts one handled message; stops the clock and wakes the
    // driver at the last one. A failed check marks the run failed.
    void Take(const void *data, uint32_t len);
    // Waits until the last message was handled or a check failed, at most
    // timeoutSec; true when every message arrived intact and in order.
    bool Wait(int timeoutSec);
    uint64_t endNs() const { return endNs_.load(std::memory_order_acquire); }
    uint64_t handled() const { return handled_; }
    // A latency case's median time from sending to handling, in
    // nanoseconds (0 for a rate case). Once Wait returned.
    uint64_t LatencyP50Ns() const;

private:
    void Finish(bool ok);

    const OneWayCase case_;
    const uint64_t total_;
    std::vector<uint64_t> next_;
    std::vector<double> latencies_; // latency cases: ns from each message's stamp to its handling
    uint64_t handled_ = 0;
    bool failed_ = false;
    std::atomic<uint64_t> endNs_{0};
    std::mutex mutex_; // guards done_ and ok_ for the driver's wait
    std::condition_variable cond_;
    bool done_ = false;
    bool ok_ = false;
};

// Starts c.producers threads, each running produce(index) once it may start
// (it sends c.perProducer stamped messages and returns false on a send
// error), and returns the messages per second from the common start until
// the tally saw the last message handled; negative on any failure. On a
// time-out the child process exits at once: a producer may be blocked in a
// send that will never return.
double DriveOneWay(const OneWayCase &c, Tally &tally, const std::function<bool(uint32_t producer)> &produce);

// Runs trip() warmup times untimed, then count times, each timed, into
// samplesUs (microseconds). False when a trip fails.
bool DriveRoundTrips(uint32_t warmup, uint32_t count, const std::function<bool()> &trip,
                     std::vector<double> &samplesUs);

// Whether the len bytes at a and b are the same (an echoed payload against
// the one sent).
bool SameBytes(const void *a, const void *b, uint32_t len);

} // namespace compare

#endif

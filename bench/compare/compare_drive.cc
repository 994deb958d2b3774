// One-way and round-trip drivers (see compare_drive.h).
#include "compare_drive.h"

#include "compare_placement.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "compare_harness.h"

namespace compare {

namespace {
constexpr uint32_t kProducerShift = 48;
}

void StampPayload(char *payload, uint32_t producer, uint64_t seq) {
    uint64_t word = (static_cast<uint64_t>(producer) << kProducerShift) | seq;
    std::memcpy(payload, &word, sizeof(word));
}

void StampFrame(char *payload, const OneWayCase &c, uint64_t seq) {
    StampPayload(payload, 0, seq);
    if (c.gapUs == 0 || c.size < 2 * sizeof(uint64_t)) {
        return;
    }
    thread_local uint64_t lastNs = 0;
    const uint64_t due = lastNs + static_cast<uint64_t>(c.gapUs) * 1000U;
    for (uint64_t now = NowNs(); seq != 0 && now < due; now = NowNs()) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
    }
    lastNs = NowNs();
    std::memcpy(payload + sizeof(uint64_t), &lastNs, sizeof(lastNs));
}

Tally::Tally(const OneWayCase &c) : case_(c), total_(c.perProducer * c.producers), next_(c.producers, 0) {
    if (c.gapUs != 0) {
        latencies_.reserve(total_);
    }
}

uint64_t Tally::LatencyP50Ns() const {
    return static_cast<uint64_t>(Quantile(latencies_, 0.5));
}

void Tally::Take(const void *data, uint32_t len) {
    if (failed_) {
        return;
    }
    uint64_t word = 0;
    if (len != case_.size || data == nullptr || len < sizeof(word)) {
        failed_ = true;
    } else {
        std::memcpy(&word, data, sizeof(word));
        uint64_t producer = word >> kProducerShift;
        uint64_t seq = word & ((1ULL << kProducerShift) - 1);
        failed_ = producer >= next_.size() || seq != next_[producer];
        if (!failed_) {
            ++next_[producer];
        }
        if (!failed_ && case_.gapUs != 0 && len >= 2 * sizeof(word)) {
            uint64_t sentNs = 0;
            std::memcpy(&sentNs, static_cast<const char *>(data) + sizeof(word), sizeof(sentNs));
            latencies_.push_back(static_cast<double>(NowNs() - sentNs));
        }
    }
    if (failed_) {
        std::fprintf(stderr, "message %llu: wrong size, order or sequence (word %#llx, %u bytes)\n",
                     static_cast<unsigned long long>(handled_), static_cast<unsigned long long>(word), len);
        Finish(false);
        return;
    }
    if (++handled_ == total_) {
        endNs_.store(NowNs(), std::memory_order_release);
        Finish(true);
    }
}

void Tally::Finish(bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    ok_ = ok;
    cond_.notify_all();
}

bool Tally::Wait(int timeoutSec) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cond_.wait_for(lock, std::chrono::seconds(timeoutSec), [this] { return done_; })) {
        return false;
    }
    return ok_;
}

double DriveOneWay(const OneWayCase &c, Tally &tally, const std::function<bool(uint32_t producer)> &produce) {
    std::mutex gateMutex;
    std::condition_variable gate;
    bool open = false;
    std::atomic<bool> sendFailed{false};
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < c.producers; ++p) {
        producers.emplace_back([&, p] {
            PlaceProducerSide();
            {
                std::unique_lock<std::mutex> lock(gateMutex);
                gate.wait(lock, [&] { return open; });
            }
            if (!produce(p)) {
                sendFailed.store(true);
            }
        });
    }
    uint64_t start = 0;
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        open = true;
        start = NowNs();
    }
    gate.notify_all();
    constexpr int kTimeoutSec = 60;
    if (!tally.Wait(kTimeoutSec)) {
        std::fprintf(stderr, "one-way run failed or timed out after %llu of %llu messages\n",
                     static_cast<unsigned long long>(tally.handled()),
                     static_cast<unsigned long long>(c.perProducer * c.producers));
        (void)fflush(nullptr);
        _exit(2);
    }
    for (std::thread &t : producers) {
        t.join();
    }
    if (sendFailed.load()) {
        return -1.0;
    }
    double seconds = static_cast<double>(tally.endNs() - start) / 1e9;
    return static_cast<double>(c.perProducer * c.producers) / seconds;
}

bool DriveRoundTrips(uint32_t warmup, uint32_t count, const std::function<bool()> &trip,
                     std::vector<double> &samplesUs) {
    PlaceProducerSide();
    for (uint32_t i = 0; i < warmup; ++i) {
        if (!trip()) {
            return false;
        }
    }
    samplesUs.clear();
    samplesUs.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t t0 = NowNs();
        if (!trip()) {
            return false;
        }
        samplesUs.push_back(static_cast<double>(NowNs() - t0) / 1e3);
    }
    return true;
}

bool SameBytes(const void *a, const void *b, uint32_t len) {
    return std::memcmp(a, b, len) == 0;
}

} // namespace compare

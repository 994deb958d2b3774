// The hand-off of 168-byte message nodes from producer threads to one
// consumer thread that sleeps when there is nothing to do, three ways:
//
//   LockedRing   the earlier queue: a mutex around the ring indices and one
//                semaphore post and wait per message;
//   LockFreeRing the task ring (simple_msg_ring.h): no lock, and a post only
//                when the consumer announced that it sleeps;
//   LayerPush    SimpleMsgPushBuffer into a registered task served by its
//                task loop: the lock-free ring plus the task table look-up
//                under simpleQueueLock and the per-task counters.
//
// Each round moves kRound messages from 1 or 4 producers (a full ring makes
// a producer yield and retry) and is timed until the consumer has taken the
// last one. Counters: messages per second, semaphore posts per message.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_ring.h"
#include "vyre_os_sem.h"

namespace {

constexpr uint32_t kCapacity = 1024;
constexpr uint64_t kRound = 200000;

MsgHead Node() {
    MsgHead head{};
    head.msgId = 1;
    std::strncpy(head.recvTaskName, "sink", sizeof(head.recvTaskName) - 1);
    std::strncpy(head.sendTaskName, "bench", sizeof(head.sendTaskName) - 1);
    return head;
}

class LockedRing {
public:
    LockedRing() : nodes_(kCapacity) { (void)OsSemInit(&sem_, 0); }
    ~LockedRing() { (void)OsSemDestroy(&sem_); }
    bool Push(const MsgHead &head) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (num_ >= kCapacity) {
                return false;
            }
            nodes_[write_] = head;
            write_ = (write_ + 1U) % kCapacity;
            ++num_;
        }
        posts_.fetch_add(1, std::memory_order_relaxed);
        (void)OsSemPost(&sem_);
        return true;
    }
    void Take(MsgHead *out) {
        (void)OsSemWait(&sem_);
        std::lock_guard<std::mutex> lock(mutex_);
        *out = nodes_[read_];
        read_ = (read_ + 1U) % kCapacity;
        --num_;
    }
    uint64_t Posts() const { return posts_.load(); }

private:
    std::mutex mutex_;
    std::vector<MsgHead> nodes_;
    uint32_t num_ = 0, write_ = 0, read_ = 0;
    OsSem sem_;
    std::atomic<uint64_t> posts_{0};
};

class LockFreeRing {
public:
    LockFreeRing() : storage_(SimpleMsgRingBytes(kCapacity)) {
        SimpleMsgRingInit(&ring_, storage_.data(), kCapacity);
        (void)OsSemInit(&sem_, 0);
    }
    ~LockFreeRing() { (void)OsSemDestroy(&sem_); }
    bool Push(const MsgHead &head) {
        uint64_t position = 0;
        uint32_t pending = 0;
        if (!SimpleMsgRingPush(&ring_, &head, nullptr, 0, &position, &pending)) {
            return false;
        }
        if (SimpleMsgRingTakeWake(&ring_)) {
            posts_.fetch_add(1, std::memory_order_relaxed);
            (void)OsSemPost(&sem_);
        }
        return true;
    }
    void Take(MsgHead *out) {
        uint64_t position = 0;
        while (!SimpleMsgRingPop(&ring_, out, &position)) {
            (void)SimpleMsgRingAwait(&ring_, &sem_);
        }
    }
    uint64_t Posts() const { return posts_.load(); }

private:
    SimpleMsgRing ring_{};
    std::vector<char> storage_;
    OsSem sem_;
    std::atomic<uint64_t> posts_{0};
};

// Starts producers that push `total` messages between them with push(head).
template <typename PushFn> std::vector<std::thread> StartProducers(int producers, uint64_t total, PushFn push) {
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        uint64_t share = total / producers + (static_cast<uint64_t>(p) < total % producers ? 1U : 0U);
        threads.emplace_back([share, push] {
            const MsgHead head = Node();
            for (uint64_t i = 0; i < share; ++i) {
                while (!push(head)) {
                    std::this_thread::yield();
                }
            }
        });
    }
    return threads;
}

template <typename Queue> void RingHandOff(benchmark::State &state) {
    const int producers = static_cast<int>(state.range(0));
    Queue queue;
    for (auto _ : state) {
        std::vector<std::thread> threads =
            StartProducers(producers, kRound, [&queue](const MsgHead &head) { return queue.Push(head); });
        MsgHead out;
        for (uint64_t i = 0; i < kRound; ++i) {
            queue.Take(&out);
            benchmark::DoNotOptimize(out.msgId);
        }
        for (auto &t : threads) {
            t.join();
        }
    }
    const double messages = static_cast<double>(state.iterations() * kRound);
    state.counters["msg/s"] = benchmark::Counter(messages, benchmark::Counter::kIsRate);
    state.counters["posts/msg"] = static_cast<double>(queue.Posts()) / messages;
}

std::atomic<uint64_t> g_taken{0};
uint32_t CountTaken(MsgHead *) {
    g_taken.fetch_add(1, std::memory_order_release);
    return 0;
}

// The layer with task "sink" and its loop, made once per process.
void LayerOnce() {
    static const bool made = [] {
        (void)SimpleMsgInitPthreadMutex();
        (void)SimpleMsgCreateQueue(128);
        (void)SimpleMsgRegTask("sink", kCapacity, CountTaken, 0);
        std::thread([] { (void)SimpleTaskRoutineByName(const_cast<char *>("sink")); }).detach();
        return true;
    }();
    (void)made;
}

void LayerPush(benchmark::State &state) {
    LayerOnce();
    const int producers = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const uint64_t target = g_taken.load() + kRound;
        std::vector<std::thread> threads = StartProducers(producers, kRound, [](const MsgHead &head) {
            return SimpleMsgPushBuffer("sink", &head, nullptr, 0) == OS_MSG_OK;
        });
        while (g_taken.load(std::memory_order_acquire) < target) {
            std::this_thread::yield();
        }
        for (auto &t : threads) {
            t.join();
        }
    }
    state.counters["msg/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * kRound), benchmark::Counter::kIsRate);
}

BENCHMARK_TEMPLATE(RingHandOff, LockedRing)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(RingHandOff, LockFreeRing)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LayerPush)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

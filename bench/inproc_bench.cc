// In-process messaging: asynchronous throughput into one task (one and two
// producer threads; 64 B, 4 KiB and 1 MiB payloads), synchronous round trips
// between two tasks with latency percentiles, each with and without the
// message memory pool, and a plain mutex + condition variable hand-off
// between two threads as the floor.
//
// A throughput run is timed until its last message has been handled by the
// receiving task, not until it was queued: the last iteration of every
// producer waits for the sink to have handled all messages of the run.
//
// The layer is set up once per process. The runs without the pool come
// first; the first run with the pool switches it on while no message is in
// flight, and it stays on (a buffer must go back where it came from).
#include <benchmark/benchmark.h>

#include <sys/prctl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simple_msg/msg_mem_pool.h"
#include "simple_msg/simple_msg.h"

namespace {

constexpr uint32_t kPoolBytes = 1048576;
constexpr uint32_t kPoolChunk = 256;

constexpr uint32_t kMarkerId = 2;
// Producers keep at most this many messages in the sink's ring of 1024, so
// a run measures delivery, not refusals of a full ring; large payloads are
// also bounded to 64 MiB in flight.
constexpr uint64_t kWindow = 1000;
constexpr uint64_t kBytesInFlight = 64ULL << 20;
std::atomic<uint64_t> g_markers{0};
std::atomic<uint64_t> g_queued{0};
std::atomic<uint64_t> g_handled{0};

uint32_t CountingSink(MsgHead *msg) {
    if (msg->msgId == kMarkerId) {
        g_markers.fetch_add(1, std::memory_order_release);
    } else {
        g_handled.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

// Answers each request with a payload of the request's size.
uint32_t EchoServer(MsgHead *msg) {
    (void)SimpleMsgRespSend(msg, msg->data, msg->dataLen);
    return 0;
}

MsgHead Head(const char *recvTask, const char *sendTask, void *data, uint32_t len) {
    MsgHead head{};
    head.msgId = 1;
    std::strncpy(head.sendProcName, "bench", sizeof(head.sendProcName) - 1);
    std::strncpy(head.sendTaskName, sendTask, sizeof(head.sendTaskName) - 1);
    std::strncpy(head.recvProcName, "bench", sizeof(head.recvProcName) - 1);
    std::strncpy(head.recvTaskName, recvTask, sizeof(head.recvTaskName) - 1);
    head.data = data;
    head.dataLen = len;
    return head;
}

// Tasks "sink" (counts), "server" (echoes) and "client" (requester), with
// loop threads for the first two; made once, left to the end of the process.
class Layer {
public:
    static Layer &Get() {
        static Layer layer;
        return layer;
    }

    // Waits until every message queued so far was handled and its payload
    // released: the loop has reached a marker queued behind them.
    void Drain() {
        uint64_t target = g_markers.load() + 1;
        MsgHead marker = Head("sink", "bench", nullptr, 0);
        marker.msgId = kMarkerId;
        while (SimpleMsgAsynSend(&marker) != OS_MSG_OK) {
            std::this_thread::yield();
        }
        while (g_markers.load(std::memory_order_acquire) < target) {
            std::this_thread::yield();
        }
    }

    // False when the run asks for a pool state that cannot be had: the pool
    // is switched on once and never off.
    bool UsePool(bool on) {
        if (on && !poolOn_) {
            Drain();
            poolOn_ = MsgMemPoolInit(kPoolBytes, kPoolChunk) == OS_MSG_OK;
            return poolOn_;
        }
        return on == poolOn_;
    }

private:
    Layer() {
        // Only listed processes may have a pool; the kernel keeps 15
        // characters of the name.
        (void)prctl(PR_SET_NAME, "vyre_video_serv", 0, 0, 0);
        (void)SimpleMsgInitPthreadMutex();
        (void)SimpleMsgCreateQueue(128);
        (void)SimpleMsgRegTask("sink", 0, CountingSink, 0);
        (void)SimpleMsgRegTask("server", 0, EchoServer, 0);
        (void)SimpleMsgRegTask("client", 1, nullptr, 0);
        for (const char *name : {"sink", "server"}) {
            std::thread([name] { (void)SimpleTaskRoutineByName(const_cast<char *>(name)); }).detach();
        }
    }

    bool poolOn_ = false;
};

void AsyncThroughput(benchmark::State &state) {
    const uint32_t size = static_cast<uint32_t>(state.range(0));
    if (state.thread_index() == 0 && !Layer::Get().UsePool(state.range(1) != 0)) {
        state.SkipWithError("pool not available");
    }
    std::vector<char> payload(size, 'x');
    MsgHead head = Head("sink", "bench", payload.data(), size);
    const uint64_t window = std::max<uint64_t>(1, std::min<uint64_t>(kWindow, kBytesInFlight / std::max(size, 1U)));
    // Every producer runs max_iterations; the earlier runs were drained, and
    // no producer sends before all have passed the start barrier.
    const uint64_t runEnd = g_handled.load() + state.max_iterations * static_cast<uint64_t>(state.threads());
    uint64_t sent = 0;
    for (auto _ : state) {
        while (g_queued.load(std::memory_order_relaxed) - g_handled.load(std::memory_order_relaxed) >= window) {
            std::this_thread::yield();
        }
        g_queued.fetch_add(1, std::memory_order_relaxed);
        uint32_t ret;
        while ((ret = SimpleMsgAsynSend(&head)) == OS_MSG_ERR_FULL) {
            std::this_thread::yield();
        }
        if (ret != OS_MSG_OK) {
            state.SkipWithError("send failed");
            break;
        }
        if (++sent == static_cast<uint64_t>(state.max_iterations)) {
            while (g_handled.load(std::memory_order_acquire) < runEnd) {
                std::this_thread::yield();
            }
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(sent));
    state.SetBytesProcessed(static_cast<int64_t>(sent) * size);
    if (state.thread_index() == 0) {
        Layer::Get().Drain();
    }
}

void Percentiles(benchmark::State &state, std::vector<double> &samples) {
    if (samples.empty()) {
        return;
    }
    auto at = [&](double q) {
        size_t k = static_cast<size_t>(q * static_cast<double>(samples.size() - 1));
        std::nth_element(samples.begin(), samples.begin() + static_cast<ptrdiff_t>(k), samples.end());
        return samples[k];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = *std::max_element(samples.begin(), samples.end());
}

void SyncRoundTrip(benchmark::State &state) {
    if (!Layer::Get().UsePool(state.range(0) != 0)) {
        state.SkipWithError("pool not available");
    }
    std::vector<char> payload(64, 'r');
    MsgHead request = Head("server", "client", payload.data(), 64);
    std::vector<double> samples;
    samples.reserve(1U << 20);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        MsgHead *resp = nullptr;
        if (SimpleMsgSynSend(&request, &resp, 1000) != OS_MSG_OK) {
            state.SkipWithError("request failed");
            break;
        }
        (void)SimpleMsgFreeRespBuffer("client");
        auto t1 = std::chrono::steady_clock::now();
        samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    Percentiles(state, samples);
}

// Floor for the asynchronous path: a bounded queue of 1024 entries under one
// mutex with two condition variables, one producer and one consumer thread.
void FloorHandOff(benchmark::State &state) {
    std::mutex mutex;
    std::condition_variable notEmpty;
    std::condition_variable notFull;
    std::deque<uint64_t> queue;
    bool stop = false;
    uint64_t consumed = 0;
    std::thread consumer([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            notEmpty.wait(lock, [&] { return !queue.empty() || stop; });
            if (queue.empty()) {
                return;
            }
            queue.pop_front();
            ++consumed;
            notFull.notify_one();
        }
    });
    uint64_t item = 0;
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        notFull.wait(lock, [&] { return queue.size() < 1024; });
        queue.push_back(item++);
        notEmpty.notify_one();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        notEmpty.notify_one();
    }
    consumer.join();
    benchmark::DoNotOptimize(consumed);
    state.SetItemsProcessed(static_cast<int64_t>(item));
}

// Floor for the synchronous path: a ping-pong between two threads through
// one mutex and one condition variable.
void FloorRoundTrip(benchmark::State &state) {
    std::mutex mutex;
    std::condition_variable cond;
    uint64_t ping = 0;
    uint64_t pong = 0;
    bool stop = false;
    std::thread peer([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            cond.wait(lock, [&] { return ping != pong || stop; });
            if (stop) {
                return;
            }
            pong = ping;
            cond.notify_all();
        }
    });
    std::vector<double> samples;
    samples.reserve(1U << 20);
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex);
        ++ping;
        cond.notify_all();
        cond.wait(lock, [&] { return pong == ping; });
        lock.unlock();
        samples.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        cond.notify_all();
    }
    peer.join();
    Percentiles(state, samples);
}

// Arguments: payload bytes, pool (0 off, 1 on). Registration order is run
// order: every run without the pool precedes the runs with it.
void AsyncSizes(benchmark::internal::Benchmark *b, int pool) {
    for (int64_t size : {64, 4096, 1 << 20}) {
        b->Args({size, pool});
    }
    b->ArgNames({"bytes", "pool"})->UseRealTime();
}

void AsyncWithoutPool(benchmark::internal::Benchmark *b) {
    AsyncSizes(b, 0);
}

void AsyncWithPool(benchmark::internal::Benchmark *b) {
    AsyncSizes(b, 1);
}

BENCHMARK(FloorHandOff)->UseRealTime();
BENCHMARK(FloorRoundTrip)->UseRealTime();
BENCHMARK(AsyncThroughput)->Name("AsyncOneProducer")->Apply(AsyncWithoutPool);
BENCHMARK(AsyncThroughput)->Name("AsyncTwoProducers")->Apply(AsyncWithoutPool)->Threads(2);
BENCHMARK(SyncRoundTrip)->Name("SyncRoundTrip")->Arg(0)->ArgName("pool")->UseRealTime();
BENCHMARK(AsyncThroughput)->Name("AsyncOneProducer")->Apply(AsyncWithPool);
BENCHMARK(AsyncThroughput)->Name("AsyncTwoProducers")->Apply(AsyncWithPool)->Threads(2);
BENCHMARK(SyncRoundTrip)->Name("SyncRoundTrip")->Arg(1)->ArgName("pool")->UseRealTime();

} // namespace

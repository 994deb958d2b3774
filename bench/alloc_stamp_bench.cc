// The per-message costs besides the queue: the tracked allocator (one and two
// threads allocating and freeing), message buffers from the memory pool
// against the tracked heap (in one thread, and handed from a sending thread
// to a releasing one as messages travel), large payload buffers, and the
// stamping of the sender fields (with and without thousands of idle tasks,
// and right after a registration).
//
// The pool is set up for the pool runs only and destroyed after them, when
// every buffer has come back. The process renames itself to a name on the
// pool's process list.
#include <benchmark/benchmark.h>

#include <sys/prctl.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "base/msg_proc_name.h"
#include "core/msg_send.h"
#include "simple_msg/msg_mem_pool.h"
#include "simple_msg/simple_msg.h"
#include "vyre_os_mem.h"

namespace {

[[maybe_unused]] const bool kListed = prctl(PR_SET_NAME, "vyre_video_serv", 0, 0, 0) == 0;

constexpr uint32_t kPoolBytes = 1048576;
constexpr uint32_t kPoolChunk = 3072;

void *Alloc(size_t size) {
    return OSMemTypeMallocMon(size, 0, 0, __LINE__, "bench");
}

void Free(void *block) {
    OSMemTypeFreeMon(block, 0, 0, __LINE__, "bench");
}

// One allocation and its release per iteration, on every thread at once.
void TrackedAllocFree(benchmark::State &state) {
    const auto size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void *block = Alloc(size);
        benchmark::DoNotOptimize(block);
        Free(block);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(TrackedAllocFree)->Arg(64)->Arg(4096)->Threads(1)->Threads(2)->UseRealTime();

// Switches the pool on for a run (arg 1) or leaves buffers on the tracked
// heap (arg 0); called before the first iteration and after the last.
void PoolOn(bool on) {
    if (on) {
        (void)MsgMemPoolInit(kPoolBytes, kPoolChunk);
    }
}

void PoolOff(bool on) {
    if (on) {
        (void)MsgMemPoolDestroy();
    }
}

// A payload buffer taken, filled and given back, as one message costs
// without its queue; range(0) pool on/off, range(1) payload bytes.
void BufferRoundTrip(benchmark::State &state) {
    const bool pool = state.range(0) != 0;
    const auto size = static_cast<uint32_t>(state.range(1));
    std::string payload(size, 'p');
    PoolOn(pool);
    for (auto _ : state) {
        void *buffer = SimpleMsgAllocBuffer(size);
        std::memcpy(buffer, payload.data(), size);
        benchmark::DoNotOptimize(buffer);
        SimpleMsgReleaseBuffer(buffer, size);
    }
    PoolOff(pool);
    state.SetBytesProcessed(state.iterations() * size);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BufferRoundTrip)
    ->ArgNames({"pool", "bytes"})
    ->Args({0, 64})
    ->Args({1, 64})
    ->Args({0, 1024})
    ->Args({1, 1024})
    ->Args({0, 1 << 20});

// The message pattern: thread 0 takes and fills buffers and hands them over
// a single-producer single-consumer ring; thread 1 gives them back. Both
// run the same number of iterations.
constexpr uint32_t kRingSlots = 256;
std::atomic<void *> g_ring[kRingSlots];
std::atomic<uint64_t> g_ringHead{0}; // next slot thread 0 writes
std::atomic<uint64_t> g_ringTail{0}; // next slot thread 1 reads

void BufferHandOff(benchmark::State &state) {
    const bool pool = state.range(0) != 0;
    const auto size = static_cast<uint32_t>(state.range(1));
    std::string payload(size, 'p');
    if (state.thread_index() == 0) {
        g_ringHead.store(0);
        g_ringTail.store(0);
        PoolOn(pool);
    }
    for (auto _ : state) {
        if (state.thread_index() == 0) {
            void *buffer = SimpleMsgAllocBuffer(size);
            while (buffer == nullptr) { // the pool is dry until the releaser catches up
                std::this_thread::yield();
                buffer = SimpleMsgAllocBuffer(size);
            }
            std::memcpy(buffer, payload.data(), size);
            uint64_t head = g_ringHead.load(std::memory_order_relaxed);
            while (head - g_ringTail.load(std::memory_order_acquire) >= kRingSlots) {
                std::this_thread::yield();
            }
            g_ring[head % kRingSlots].store(buffer, std::memory_order_relaxed);
            g_ringHead.store(head + 1, std::memory_order_release);
        } else {
            uint64_t tail = g_ringTail.load(std::memory_order_relaxed);
            while (g_ringHead.load(std::memory_order_acquire) == tail) {
                std::this_thread::yield();
            }
            void *buffer = g_ring[tail % kRingSlots].load(std::memory_order_relaxed);
            g_ringTail.store(tail + 1, std::memory_order_release);
            SimpleMsgReleaseBuffer(buffer, size);
        }
    }
    if (state.thread_index() == 0) {
        PoolOff(pool);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BufferHandOff)
    ->ArgNames({"pool", "bytes"})
    ->Args({0, 64})
    ->Args({1, 64})
    ->Args({0, 1024})
    ->Args({1, 1024})
    ->Args({0, 1 << 20})
    ->Threads(2)
    ->UseRealTime();

// The share of the zeroing on release in a large buffer's round trip: the
// same buffer given back without it, straight to the tracked allocator.
void LargeBufferWithoutZeroing(benchmark::State &state) {
    const uint32_t size = 1U << 20;
    std::string payload(size, 'p');
    for (auto _ : state) {
        void *buffer = SimpleMsgAllocBuffer(size);
        std::memcpy(buffer, payload.data(), size);
        benchmark::DoNotOptimize(buffer);
        Free(buffer);
    }
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(LargeBufferWithoutZeroing);

// Stamping a header with an empty sender task name from a thread that is no
// task, with range(0) idle tasks registered.
class Stamping {
public:
    explicit Stamping(int64_t idleTasks) {
        (void)SimpleMsgInitPthreadMutex();
        (void)SimpleMsgCreateQueue(128);
        (void)MsgSetProcName("bench", 6);
        for (int64_t i = 0; i < idleTasks; ++i) {
            (void)SimpleMsgRegTask(("idle" + std::to_string(i)).c_str(), 1, nullptr, 0);
        }
    }
    ~Stamping() {
        SimpleMsgDestroyQueue();
        SimpleMsgUninitPthreadMutex();
        (void)MsgSetProcName("", 0);
    }
};

void StampSender(benchmark::State &state) {
    Stamping layer(state.range(0));
    MsgHead head{};
    for (auto _ : state) {
        head.sendTaskName[0] = '\0';
        benchmark::DoNotOptimize(MsgForceSetSendName(&head));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(StampSender)->ArgName("idle")->Arg(0)->Arg(5000);

// Every stamp follows a change of the registry (an unrelated task comes and
// goes), as when synchronous calls come and go.
void StampAfterRegistration(benchmark::State &state) {
    Stamping layer(state.range(0));
    MsgHead head{};
    for (auto _ : state) {
        (void)SimpleMsgRegTask("other", 1, nullptr, 0);
        (void)SimpleMsgUnregTask("other");
        head.sendTaskName[0] = '\0';
        benchmark::DoNotOptimize(MsgForceSetSendName(&head));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(StampAfterRegistration)->ArgName("idle")->Arg(0)->Arg(5000);

} // namespace

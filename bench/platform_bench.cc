// Costs of the platform calls on the messaging hot path: the bounded copy of
// one 168-byte message header against a plain memcpy (inlined for a constant
// size, and the C library's call), and a platform log record that the level
// filter drops.
#include <benchmark/benchmark.h>

#include <cstring>

#include "vyre_os_log.h"
#include "vyre_securec.h"

namespace {

constexpr size_t kHeaderSize = 168;

void BM_Memcpy168(benchmark::State &state) {
    alignas(16) unsigned char src[kHeaderSize] = {1};
    alignas(16) unsigned char dest[kHeaderSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(src);
        memcpy(dest, src, sizeof(src));
        benchmark::DoNotOptimize(dest);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Memcpy168);

// The same copy through the C library's memcpy, as memcpy_s makes it: the
// size is not known at compile time, so the compiler cannot inline it.
void BM_MemcpyLibc168(benchmark::State &state) {
    alignas(16) unsigned char src[kHeaderSize] = {1};
    alignas(16) unsigned char dest[kHeaderSize];
    size_t size = sizeof(src);
    for (auto _ : state) {
        benchmark::DoNotOptimize(src);
        benchmark::DoNotOptimize(size);
        memcpy(dest, src, size);
        benchmark::DoNotOptimize(dest);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemcpyLibc168);

void BM_MemcpyS168(benchmark::State &state) {
    alignas(16) unsigned char src[kHeaderSize] = {1};
    alignas(16) unsigned char dest[kHeaderSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(src);
        benchmark::DoNotOptimize(memcpy_s(dest, sizeof(dest), src, sizeof(src)));
        benchmark::DoNotOptimize(dest);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemcpyS168);

void BM_OsLogPrintfFiltered(benchmark::State &state) {
    OsLogSetLevel(OS_LOG_ERROR);
    int value = 42;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        OsLogPrintf(OS_LOG_DEBUG, "OS_MSG", "[%s][%d]:queue %d\r\n", __func__, __LINE__, value);
    }
}
BENCHMARK(BM_OsLogPrintfFiltered);

} // namespace

// Lookup cost of the hash table as the library uses it: a 128-bucket table of
// task names (hit and miss) and a 128-bucket table of integer message ids.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "containers/zem_hash.h"

namespace {

constexpr int kEntries = 128;
constexpr uint64_t kBuckets = 128;

std::vector<std::string> TaskNames(const char *prefix) {
    std::vector<std::string> names;
    for (int i = 0; i < kEntries; ++i) {
        names.push_back(prefix + std::to_string(i));
    }
    return names;
}

void BM_StrHashFind(benchmark::State &state, bool hit) {
    ZemHashTable *table = ZEM_StrHashCreate(kBuckets);
    std::vector<std::string> stored = TaskNames("task_");
    for (const std::string &name : stored) {
        ZEM_StrHashInsert(table, name.c_str(), 1);
    }
    std::vector<std::string> probes = hit ? stored : TaskNames("idle_");
    size_t i = 0;
    for (auto _ : state) {
        ListNode *found = ZEM_StrHashFind(table, probes[i].c_str());
        benchmark::DoNotOptimize(found);
        i = (i + 1) % probes.size();
    }
    if (hit != (ZEM_StrHashFind(table, probes[0].c_str()) != ZEM_HashIterEnd(table))) {
        state.SkipWithError("lookup gave the wrong answer");
    }
    ZEM_HashDestory(table);
}
BENCHMARK_CAPTURE(BM_StrHashFind, hit, true);
BENCHMARK_CAPTURE(BM_StrHashFind, miss, false);

void BM_IntHashFind(benchmark::State &state) {
    ZemHashTable *table = ZEM_IntHashCreate(kBuckets);
    for (int32_t id = 0; id < kEntries; ++id) {
        ZEM_IntHashInsert(table, 0x200000 + id, 1);
    }
    int32_t id = 0;
    for (auto _ : state) {
        ListNode *found = ZEM_IntHashFind(table, 0x200000 + id);
        benchmark::DoNotOptimize(found);
        id = (id + 1) % kEntries;
    }
    ZEM_HashDestory(table);
}
BENCHMARK(BM_IntHashFind);

} // namespace

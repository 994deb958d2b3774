/*
 * Cost of log calls: a line below the threshold must cost a couple of loads
 * and comparisons (no formatting, clock read or system call), for the
 * library's own line and for the platform log alike. A line that passes into
 * a sink that does nothing shows what a full line costs, for reference.
 */
#include <benchmark/benchmark.h>

#include "log/msg_log.h"
#include "vyre_os_log.h"
#include "vyre_os_msg.h"

namespace {

void DiscardLine(uint32_t level, const char *line) {
    benchmark::DoNotOptimize(level);
    benchmark::DoNotOptimize(line);
}

void BM_MsgOutputFiltered(benchmark::State &state) {
    MsgSetLogLevel(OS_MSG_LOG_ERROR);
    for (auto _ : state) {
        MsgOutput(OS_MSG_LOG_DEBUG, "Bench", 1, "value %d %s", 42, "text");
    }
}
BENCHMARK(BM_MsgOutputFiltered);

void BM_MsgLogMacroFiltered(benchmark::State &state) {
    MsgSetLogLevel(OS_MSG_LOG_ERROR);
    int value = 42;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        MSG_LOG(OS_MSG_LOG_INFO, "value %d %s", value, "text");
    }
}
BENCHMARK(BM_MsgLogMacroFiltered);

void BM_OsLogPrintfFiltered(benchmark::State &state) {
    OsLogSetLevel(OS_LOG_ERROR);
    for (auto _ : state) {
        OsLogPrintf(OS_LOG_DEBUG, "OS_MSG", "[%s][%d]:value %d\r\n", "Bench", 1, 42);
    }
}
BENCHMARK(BM_OsLogPrintfFiltered);

void BM_MsgOutputPassedToNoOpSink(benchmark::State &state) {
    MsgSetLogFunc(&DiscardLine);
    MsgSetLogLevel(OS_MSG_LOG_ERROR);
    for (auto _ : state) {
        MsgOutput(OS_MSG_LOG_ERROR, "Bench", 1, "value %d %s", 42, "text");
    }
    MsgSetLogFunc(&MsgDefaultLogFunc);
}
BENCHMARK(BM_MsgOutputPassedToNoOpSink);

} // namespace

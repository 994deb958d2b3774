// Applying one subscription request and its unsubscription, as the broadcast
// task does, for growing request sizes up to the largest a message allows
// (74,895 entries): the time per entry should not grow with the request.
// Two shapes: every entry a different event id, and every entry the same id
// from a different publisher (the first 2,048 are kept, the rest refused).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "broadcast/msg_broadcast.h"
#include "support/sub_request.h"
#include "vyre_os_log.h"

namespace {

void BM_SubscribeThenUnsubscribe(benchmark::State &state, bool oneId) {
    OsLogSetLevel(4U); // the refused entries would otherwise each write a line
    const auto count = static_cast<uint32_t>(state.range(0));
    std::vector<MsgSubEntry> entries(count);
    for (uint32_t i = 0; i < count; ++i) {
        entries[i].msgId = oneId ? 7U : i;
        std::strcpy(entries[i].procName, "media");
        std::strcpy(entries[i].taskName, ("pub" + std::to_string(oneId ? i : 0U)).c_str());
    }
    const std::vector<uint8_t> subscribe = SubRequest(true, entries), unsubscribe = SubRequest(false, entries);
    MsgHead requester{};
    std::strcpy(requester.sendProcName, "media");
    std::strcpy(requester.sendTaskName, "ctl");
    if (MsgCreateSubscribeTable(128U) != OS_MSG_OK) {
        state.SkipWithError("no table");
        return;
    }
    for (auto _ : state) {
        (void)MsgRecvSubData(&requester, subscribe.data(), static_cast<uint32_t>(subscribe.size()), 0U);
        (void)MsgRecvSubData(&requester, unsubscribe.data(), static_cast<uint32_t>(unsubscribe.size()), 0U);
    }
    MsgDestroySubscribeTable();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}

BENCHMARK_CAPTURE(BM_SubscribeThenUnsubscribe, distinct_ids, false)
    ->Arg(1000)
    ->Arg(8000)
    ->Arg(74895)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SubscribeThenUnsubscribe, one_id, true)
    ->Arg(1000)
    ->Arg(8000)
    ->Arg(74895)
    ->Unit(benchmark::kMillisecond);

} // namespace

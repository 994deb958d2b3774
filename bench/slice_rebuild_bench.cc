// Reassembly throughput of the largest payload (4 MiB less the header) in
// 64 KiB slices through the one-step protocol, including the caller's copy of
// each slice and the release of the completed payload; reported as payload
// bytes per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "transport/msg_adp_buff.h"
#include "transport/msg_rebuild.h"

namespace {

void BM_SliceRebuildOneStep(benchmark::State &state) {
    const uint32_t dataLen = OS_MSG_MAX_DATA_LEN;
    const uint32_t sliceLen = 64U * 1024U;
    std::vector<unsigned char> payload(dataLen);
    for (uint32_t i = 0; i < dataLen; ++i) {
        payload[i] = static_cast<unsigned char>(i);
    }
    MsgHead head;
    memset(&head, 0, sizeof(head));
    strcpy(head.recvProcName, "media");
    strcpy(head.recvTaskName, "encoder");
    head.dataLen = dataLen;

    rebuildmsg::MsgRebuildRecvData rebuild;
    uint64_t flag = 0;
    for (auto _ : state) {
        ++flag;
        unsigned char *buf = nullptr;
        unsigned int bufLen = 0;
        unsigned char done = 0;
        for (uint32_t off = 0; off < dataLen; off += sliceLen) {
            MsgSliceTail tail;
            memset(&tail, 0, sizeof(tail));
            tail.isSplit = 1;
            tail.flag = flag;
            tail.offset = off;
            tail.curLen = dataLen - off < sliceLen ? dataLen - off : sliceLen;
            unsigned int offset = 0;
            unsigned int curLen = 0;
            if (rebuild.RebuildMsg(reinterpret_cast<unsigned char *>(&head), sizeof(head),
                                   reinterpret_cast<unsigned char *>(&tail), &buf, &bufLen, &done, &offset,
                                   &curLen) != OS_MSG_OK) {
                state.SkipWithError("slice refused");
                return;
            }
            memcpy(buf + offset, payload.data() + tail.offset, curLen);
        }
        if (done != 1) {
            state.SkipWithError("payload not complete");
            return;
        }
        benchmark::DoNotOptimize(buf[dataLen - 1]);
        MsgReleaseBuffByHead(&head, sizeof(head), buf, bufLen);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * dataLen);
}
BENCHMARK(BM_SliceRebuildOneStep)->Unit(benchmark::kMillisecond);

} // namespace

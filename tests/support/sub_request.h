/*
 * Subscription entries, and the payload of a subscription request as a
 * subscriber's process sends it to the broadcast task: the op byte (1
 * subscribe, 0 unsubscribe), the entry count (host byte order, unaligned) and
 * the entries. Written out byte by
 * byte here rather than by the library, so the tests that feed it in check
 * the library's reading of the layout against an independent writing of it.
 */
#ifndef VYRE_TEST_SUB_REQUEST_H
#define VYRE_TEST_SUB_REQUEST_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/names.h"
#include "vyre_os_msg.h"

// An entry for the event msgId that pubTask of pubProc on pubCpu publishes,
// for subscriber subTask (empty: the requesting task).
inline MsgSubEntry SubEntry(uint32_t msgId, uint32_t pubCpu, const char *pubProc, const char *pubTask,
                            const char *subTask = "") {
    MsgSubEntry entry{};
    entry.msgId = msgId;
    entry.cpuId = pubCpu;
    CopyName(entry.procName, pubProc);
    CopyName(entry.taskName, pubTask);
    CopyName(entry.subTaskName, subTask);
    return entry;
}

// count: the entry count to write, by default the number of entries.
inline std::vector<uint8_t> SubRequest(bool subscribe, const std::vector<MsgSubEntry> &entries, int64_t count = -1) {
    std::vector<uint8_t> out(5U + entries.size() * sizeof(MsgSubEntry));
    out[0] = subscribe ? 1U : 0U;
    const uint32_t n = static_cast<uint32_t>(count < 0 ? entries.size() : count);
    std::memcpy(&out[1], &n, sizeof(n));
    if (!entries.empty()) {
        std::memcpy(&out[5], entries.data(), entries.size() * sizeof(MsgSubEntry));
    }
    return out;
}

#endif // VYRE_TEST_SUB_REQUEST_H

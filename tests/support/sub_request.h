/*
 * The payload of a subscription request as a subscriber's process sends it
 * to the broadcast task: the op byte (1 subscribe, 0 unsubscribe), the entry
 * count (host byte order, unaligned) and the entries. Written out byte by
 * byte here rather than by the library, so the tests that feed it in check
 * the library's reading of the layout against an independent writing of it.
 */
#ifndef VYRE_TEST_SUB_REQUEST_H
#define VYRE_TEST_SUB_REQUEST_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "vyre_os_msg.h"

inline std::vector<uint8_t> SubRequest(bool subscribe, const std::vector<MsgSubEntry> &entries) {
    std::vector<uint8_t> out(5U + entries.size() * sizeof(MsgSubEntry));
    out[0] = subscribe ? 1U : 0U;
    const uint32_t count = static_cast<uint32_t>(entries.size());
    std::memcpy(&out[1], &count, sizeof(count));
    if (!entries.empty()) {
        std::memcpy(&out[5], entries.data(), entries.size() * sizeof(MsgSubEntry));
    }
    return out;
}

#endif

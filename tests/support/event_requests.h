// Builders of subscription and broadcast request payloads for the event tests.
#ifndef VYRE_TEST_EVENT_REQUESTS_H
#define VYRE_TEST_EVENT_REQUESTS_H

#include <cstring>
#include <string>
#include <vector>

#include "vyre_os_msg.h"

// Writes name (at most 16 bytes of it) into a zero-filled 16-byte field.
inline void SetName(char *field, const char *name) {
    std::memset(field, 0, OS_MSG_NAME_LEN);
    std::memcpy(field, name, strnlen(name, OS_MSG_NAME_LEN));
}

template <typename T> void AppendBytes(std::vector<uint8_t> &out, const T *from, size_t n = 1) {
    out.insert(out.end(), reinterpret_cast<const uint8_t *>(from), reinterpret_cast<const uint8_t *>(from + n));
}

inline MsgSubEntry SubEntry(uint32_t msgId, uint32_t pubCpu, const char *pubProc, const char *pubTask,
                            const char *subTask = "") {
    MsgSubEntry entry{msgId, pubCpu, {}, {}, {}};
    SetName(entry.procName, pubProc);
    SetName(entry.taskName, pubTask);
    SetName(entry.subTaskName, subTask);
    return entry;
}

// A subscription payload: op, count (by default the number of entries), entries.
inline std::vector<uint8_t> SubRequest(bool subscribe, const std::vector<MsgSubEntry> &entries, int64_t count = -1) {
    std::vector<uint8_t> out(1, subscribe ? 1 : 0);
    const uint32_t n = static_cast<uint32_t>(count < 0 ? entries.size() : count);
    AppendBytes(out, &n);
    AppendBytes(out, entries.data(), entries.size());
    return out;
}

// A broadcast block: data follows the fixed part, whose bytes past dataLen are 0xA5.
struct BroBlock {
    const char *task;
    uint32_t msgId;
    int32_t dataLen;
    std::string data;
};

// A broadcast payload: num (by default the number of blocks), blockSize, blocks.
inline std::vector<uint8_t> BroRequest(const std::vector<BroBlock> &blocks, uint32_t blockSize = 32, int64_t num = -1) {
    std::vector<uint8_t> out;
    const uint32_t head[2] = {static_cast<uint32_t>(num < 0 ? blocks.size() : num), blockSize};
    AppendBytes(out, head, 2);
    for (const BroBlock &block : blocks) {
        std::vector<uint8_t> fixed(blockSize, 0xA5);
        SetName(reinterpret_cast<char *>(fixed.data()), block.task);
        std::memcpy(&fixed[16], &block.msgId, sizeof(block.msgId));
        std::memcpy(&fixed[20], &block.dataLen, sizeof(block.dataLen));
        out.insert(out.end(), fixed.begin(), fixed.end());
        out.insert(out.end(), block.data.begin(), block.data.end());
    }
    return out;
}

#endif // VYRE_TEST_EVENT_REQUESTS_H

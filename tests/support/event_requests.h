/*
 * Builders for subscription and broadcast requests, a view of the
 * subscription table, and a broadcast function that records what it is
 * given, for the event tests.
 *
 * The recorder is thread-safe; the table view reads without the table's
 * mutex and is used only while no other thread changes the table.
 */
#ifndef VYRE_TEST_EVENT_REQUESTS_H
#define VYRE_TEST_EVENT_REQUESTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "vyre_os_msg.h"

// Writes name (at most 16 bytes of it) into a zero-filled 16-byte field.
void SetName(char *field, const char *name);
MsgHead RequestHead(uint32_t cpu, const char *proc, const char *task);
MsgSubEntry SubEntry(uint32_t msgId, uint32_t pubCpu, const char *pubProc, const char *pubTask,
                     const char *subTask = "");
// A MsgSubReq payload; count defaults to the number of entries.
std::vector<uint8_t> SubRequest(bool subscribe, const std::vector<MsgSubEntry> &entries, int64_t count = -1);
// A subscriber record as the subscription table keeps it.
MsgHead Subscriber(uint32_t subCpu, const char *subProc, const char *subTask, uint32_t msgId, uint32_t pubCpu,
                   const char *pubProc, const char *pubTask);

// Copies of the records listed for msgId, in list order (empty when the id
// is not in the table).
std::vector<MsgHead> Subscribers(uint32_t msgId);
bool IdInTable(uint32_t msgId);

// A MsgBroReq payload built block by block.
class BroRequest {
public:
    explicit BroRequest(uint32_t blockSize = 32) : blockSize_(blockSize) {}
    // dataLen is written as given; data bytes are appended after the block.
    BroRequest &Block(const char *task, uint32_t msgId, int32_t dataLen, const std::string &data = "");
    // The payload with num blocks announced (default: the blocks added).
    std::vector<uint8_t> Bytes(int64_t num = -1) const;

private:
    uint32_t blockSize_;
    uint32_t blocks_ = 0;
    std::vector<uint8_t> body_;
};

struct Delivery {
    MsgHead head;
    std::string data; // the dataLen bytes at head.data
    const void *dataPtr;
};

// Registers the recording broadcast function (once per process).
void InstallRecorder();
std::vector<Delivery> Deliveries();
void ClearDeliveries();

#endif // VYRE_TEST_EVENT_REQUESTS_H

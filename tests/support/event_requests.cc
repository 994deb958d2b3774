#include "support/event_requests.h"

#include <cstring>
#include <mutex>

#include <gtest/gtest.h>

#include "broadcast/msg_broadcast.h"

void SetName(char *field, const char *name) {
    std::memset(field, 0, OS_MSG_NAME_LEN);
    std::memcpy(field, name, strnlen(name, OS_MSG_NAME_LEN));
}

namespace {

template <typename T> void Append(std::vector<uint8_t> &out, const T &value) {
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&value);
    out.insert(out.end(), bytes, bytes + sizeof(value));
}

std::mutex g_deliveryMutex;
std::vector<Delivery> g_deliveries;

uint32_t RecordDelivery(MsgHead *head) {
    Delivery delivery{*head, std::string(), head->data};
    if (head->data != nullptr) {
        delivery.data.assign(static_cast<const char *>(head->data), head->dataLen);
    }
    std::lock_guard<std::mutex> lock(g_deliveryMutex);
    g_deliveries.push_back(delivery);
    return 0;
}

} // namespace

MsgHead RequestHead(uint32_t cpu, const char *proc, const char *task) {
    MsgHead head;
    std::memset(&head, 0, sizeof(head));
    head.sendCpuId = cpu;
    head.sendUid = 1000;
    head.sendPid = 4321;
    SetName(head.sendProcName, proc);
    SetName(head.sendTaskName, task);
    return head;
}

MsgSubEntry SubEntry(uint32_t msgId, uint32_t pubCpu, const char *pubProc, const char *pubTask, const char *subTask) {
    MsgSubEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.msgId = msgId;
    entry.cpuId = pubCpu;
    SetName(entry.procName, pubProc);
    SetName(entry.taskName, pubTask);
    SetName(entry.subTaskName, subTask);
    return entry;
}

std::vector<uint8_t> SubRequest(bool subscribe, const std::vector<MsgSubEntry> &entries, int64_t count) {
    std::vector<uint8_t> out;
    out.push_back(subscribe ? 1 : 0);
    Append(out, static_cast<uint32_t>(count < 0 ? entries.size() : count));
    for (const MsgSubEntry &entry : entries) {
        Append(out, entry);
    }
    return out;
}

MsgHead Subscriber(uint32_t subCpu, const char *subProc, const char *subTask, uint32_t msgId, uint32_t pubCpu,
                   const char *pubProc, const char *pubTask) {
    MsgHead record = RequestHead(subCpu, subProc, subTask);
    record.msgId = msgId;
    record.recvCpuId = pubCpu;
    SetName(record.recvProcName, pubProc);
    SetName(record.recvTaskName, pubTask);
    return record;
}

std::vector<MsgHead> Subscribers(uint32_t msgId) {
    std::vector<MsgHead> out;
    MsgSubscribeIdList *idList = g_subscribeTable != nullptr ? MsgSubscribeFindIdList(msgId) : nullptr;
    if (idList == nullptr) {
        return out;
    }
    for (ZemListNode *node = ZEM_ListIterBegin(&idList->subList); node != ZEM_ListIterEnd(&idList->subList);
         node = ZEM_ListIterNext(&idList->subList, node)) {
        // A null record would be a half-made subscription; copying it faults.
        out.push_back(*MsgSubscriberAt(node));
    }
    return out;
}

bool IdInTable(uint32_t msgId) {
    return g_subscribeTable != nullptr && MsgSubscribeFindIdList(msgId) != nullptr;
}

BroRequest &BroRequest::Block(const char *task, uint32_t msgId, int32_t dataLen, const std::string &data) {
    std::vector<uint8_t> fixed(blockSize_, 0xA5);
    SetName(reinterpret_cast<char *>(fixed.data()), task);
    std::memcpy(fixed.data() + 16, &msgId, sizeof(msgId));
    std::memcpy(fixed.data() + 20, &dataLen, sizeof(dataLen));
    body_.insert(body_.end(), fixed.begin(), fixed.end());
    body_.insert(body_.end(), data.begin(), data.end());
    ++blocks_;
    return *this;
}

std::vector<uint8_t> BroRequest::Bytes(int64_t num) const {
    std::vector<uint8_t> out;
    Append(out, static_cast<uint32_t>(num < 0 ? blocks_ : num));
    Append(out, blockSize_);
    out.insert(out.end(), body_.begin(), body_.end());
    return out;
}

void InstallRecorder() {
    ASSERT_EQ(MsgSetBroadcastFunc(RecordDelivery), OS_MSG_OK);
}

std::vector<Delivery> Deliveries() {
    std::lock_guard<std::mutex> lock(g_deliveryMutex);
    return g_deliveries;
}

void ClearDeliveries() {
    std::lock_guard<std::mutex> lock(g_deliveryMutex);
    g_deliveries.clear();
}

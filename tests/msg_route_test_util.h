/*
 * Helpers for the routing and event request tests: a fixture whose recording
 * tasks copy what they receive into its inbox (thread-safe), and spies in
 * the transport's send slots that record on the sending thread.
 */
#ifndef VYRE_MSG_ROUTE_TEST_UTIL_H
#define VYRE_MSG_ROUTE_TEST_UTIL_H

#include <algorithm>
#include <iterator>

#include "support/sub_request.h"
#include "transport_test_util.h"

namespace route_test {

using simple_msg_test::Received;
using simple_msg_test::Record;
using transport_test::CopyName;
using transport_test::Name;

// A subscription entry: the event msgId published by pubTask of pubProc on pubCpu, for subTask.
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

class RouteTest : public transport_test::TransportTest {
protected:
    void StartTask(const std::string &name, OsMsgTaskFunc callback = Record) {
        ASSERT_EQ(SimpleMsgRegTask(name.c_str(), 0U, callback, 0U), OS_MSG_OK);
        StartLoop(name);
    }
    // Sends a marker to a recording task and waits until its loop took it, so
    // all queued before has been handled and released. Returns what the task
    // received, without markers.
    std::vector<Received> Drained(const std::string &task) {
        const uint32_t marker = kFirstMarker + ++markers_;
        MsgHead head = transport_test::Head("proc", task, marker, "marker");
        EXPECT_EQ(SimpleMsgAsynSend(&head), OS_MSG_OK);
        std::vector<Received> seen, out;
        while (!HasFailure() &&
               std::none_of(seen.begin(), seen.end(), [&](const Received &s) { return s.head.msgId == marker; })) {
            EXPECT_TRUE(inbox_.WaitFor(seen.size() + 1U));
            seen = inbox_.Items();
        }
        std::copy_if(seen.begin(), seen.end(), std::back_inserter(out), [&](const Received &s) {
            return s.head.msgId < kFirstMarker && Name(s.head.recvTaskName) == task;
        });
        return out;
    }

private:
    static constexpr uint32_t kFirstMarker = 0xD0000000U;
    uint32_t markers_ = 0U;
};

// What the routing layer handed to a send slot, with a copy of the payload.
struct SpiedSend {
    uint32_t slot;
    uint32_t transType;
    MsgHead head;
    std::vector<uint8_t> payload;
};
inline std::vector<SpiedSend> g_spiedSends;

// Copies the payload through the tracked allocator, as a carrier does, so
// allocation failures reach the sender; delivers nothing.
template <uint32_t Slot> uint32_t SpySend(const char *, uint32_t transType, MsgHead *head) {
    if (head->dataLen != 0U) {
        void *copy = SimpleMsgAllocBuffer(head->dataLen);
        if (copy == nullptr) {
            return OS_MSG_ERR_NO_MEMORY;
        }
        SimpleMsgReleaseBuffer(copy, head->dataLen);
    }
    const auto *data = static_cast<const uint8_t *>(head->data);
    g_spiedSends.push_back({Slot, transType, *head, {data, data == nullptr ? data : data + head->dataLen}});
    return OS_MSG_OK;
}

// Puts spies in the send slots for this CPU and for other CPUs.
inline void SpyOnSendSlots() {
    g_spiedSends.clear();
    MsgAdpFuncReg reg{};
    for (auto [slot, spy] : {std::pair{MSG_ADP_SLOT_SEND, SpySend<MSG_ADP_SLOT_SEND>},
                             std::pair{MSG_ADP_SLOT_SEND_CPU, SpySend<MSG_ADP_SLOT_SEND_CPU>}}) {
        reg.funcId = slot;
        reg.func.send = spy;
        ASSERT_EQ(MsgAdpRegFunc(&reg), OS_MSG_OK);
    }
}

} // namespace route_test

#endif // VYRE_MSG_ROUTE_TEST_UTIL_H

/*
 * The socket carrier's datagram framing and receive handling, without
 * sockets: datagrams built here go through IpcFrameRecvDatagram and its
 * delivering sink into the task queues and a collector of the test's own.
 */
#include "transport/unix/ipc_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "carrier/carrier_raw.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "transport/msg_rebuild.h"
#include "transport_test_util.h"
#include "vyre_os_log.h"

namespace {

using simple_msg_test::Record;
using transport_test::Head;

constexpr uint32_t kPid = 4242U;
constexpr uint32_t kUid = 7U;

std::vector<simple_msg_test::Received> SeenSoFar() {
    return simple_msg_test::g_inbox->Items();
}

/* One unsliced record for task of "proc". */
std::string WholeRecord(const std::string &task, uint32_t msgId, const std::string &payload) {
    MsgHead head = Head("proc", task, msgId, "tx", payload);
    head.sendPid = 1U; // false values the credentials replace
    head.sendUid = 2U;
    return carrier_raw::Record(MSG_TRANS_ASYN, head, payload);
}

/* One slice (offset, piece) of a message of total bytes with key. */
std::string SliceRecord(const std::string &task, uint32_t total, uint32_t offset, const std::string &piece,
                        uint64_t key) {
    const std::string whole(total, '\0');
    return carrier_raw::Slice(Head("proc", task, 9U, "tx", whole), offset, piece, key);
}

class CarrierFraming : public transport_test::TransportTest {
protected:
    void SetUp() override {
        transport_test::TransportTest::SetUp();
        ASSERT_EQ(SimpleMsgRegTask("t0", 64U, Record, 0U), OS_MSG_OK);
        StartLoop("t0");
    }
    void TearDown() override {
        IpcFrameDropAllPartials(&collector_);
        transport_test::TransportTest::TearDown();
    }

    /* One datagram from process pid on a connection numbered pid too. */
    void Recv(const std::string &datagram, uint32_t pid = kPid) {
        std::vector<uint8_t> bytes(datagram.begin(), datagram.end()); // exactly its length
        IpcFrameSink sink;
        IpcFrameSinkDeliver(&sink, pid, kUid, pid);
        IpcFrameRecvDatagram(&collector_, bytes.data(), (uint32_t)bytes.size(), &sink);
    }

    int32_t Nodes() {
        std::lock_guard<std::mutex> guard(collector_.rebuildLock);
        return collector_.nodeTotal;
    }

    rebuildmsg::MsgRebuildRecvData collector_;
};

TEST_F(CarrierFraming, MalformedRecordStopsTheDatagramWithOneLineAndNoReadPastIt) {
    std::string good = WholeRecord("t0", 1U, "ok");
    std::string bad = WholeRecord("t0", 2U, "payload");
    std::string slice = SliceRecord("t0", 100U, 0U, "abc", 1U);
    std::string control(IPC_FRAME_CONTROL_RECORD, '\0');
    IpcFrameSetControl(reinterpret_cast<uint8_t *>(&control[0]), IPC_CONTROL_TASK_FULL, "t0\0\0\0\0\0\0\0\0\0\0\0\0\0",
                       0U);
    auto with = [](std::string record, size_t at, uint8_t value) {
        record[at] = (char)value;
        return record;
    };
    const size_t bodyLenAt = 4U;
    const size_t dataLenAt = IPC_FRAME_PREFIX_LEN + offsetof(MsgHead, dataLen);
    const size_t tailAt = slice.size() - IPC_FRAME_TAIL_LEN;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"short record", bad.substr(0, IPC_FRAME_RECORD_OVERHEAD - 1U)},
        {"bad record prefix", with(bad, 0U, 0x00)}, // magic
        {"bad record prefix", with(bad, 1U, 5U)},   // transport type
        {"bad record prefix", with(bad, 2U, 0x80)}, // unknown flag
        {"bad record prefix", with(bad, 3U, 1U)},   // reserved
        {"payload past the end of the datagram", with(bad, bodyLenAt, 9U)},
        {"payload past the end of the datagram", with(bad, bodyLenAt + 3U, 0xFF)},
        {"payload length differs from the header", with(bad, dataLenAt, 6U)},
        {"payload past the end of the datagram", slice.substr(0, slice.size() - 1U)}, // no room for the tail
        {"slice tail not marked", with(slice, tailAt, 0U)},
        {"slice length differs from the record", with(slice, tailAt + 8U, 4U)},
        {"sliced payload length out of range", with(slice, dataLenAt + 3U, 0x01)},
        {"bad control record", with(control, 2U, 0U)},                        // no kind
        {"bad control record", with(control, 2U, IPC_CONTROL_KIND_MAX + 1U)}, // unknown kind
        {"bad control record", with(control, bodyLenAt, 39U)},
        {"bad control record", with(control, 3U, 1U)}, // reserved
        {"short record", control.substr(0, control.size() - 1U)},
    };
    for (const auto &c : cases) {
        LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
        size_t before = SeenSoFar().size();
        Recv(good + c.second);
        ASSERT_TRUE(simple_msg_test::WaitUntil([&] { return SeenSoFar().size() == before + 1U; })) << c.first;
        EXPECT_EQ(log.Count("bad datagram from pid 4242: " + c.first + "."), 1U) << log.Dump();
        EXPECT_EQ(log.Count("bad datagram"), 1U) << c.first;
    }
    EXPECT_EQ(Nodes(), 0);
}

// Slices are kept apart per connection, also under one key; a sender's
// partial messages go with its connection or with its abort, and a later
// slice of a dropped message starts nothing.
TEST_F(CarrierFraming, PartialMessagesAreKeptPerConnectionAndGoWithItOrItsAbort) {
    Recv(SliceRecord("t0", 10U, 0U, "12", 1U), 1U);
    Recv(SliceRecord("t0", 10U, 0U, "34", 2U), 1U);
    Recv(SliceRecord("t0", 10U, 0U, "56", 1U), 2U);
    Recv(SliceRecord("t0", 10U, 0U, "78", 3U), 2U);
    EXPECT_EQ(Nodes(), 4);
    Recv(SliceRecord("t0", 10U, 2U, "abcdefgh", 2U), 1U);
    ASSERT_TRUE(simple_msg_test::WaitUntil([] { return SeenSoFar().size() == 1U; }));
    EXPECT_EQ(SeenSoFar()[0].payload, "34abcdefgh");
    EXPECT_EQ(SeenSoFar()[0].head.sendPid, 1U);
    IpcFrameDropPartials(&collector_, 1U);
    EXPECT_EQ(Nodes(), 2);
    IpcFrameDropPartial(&collector_, 2U, 3U); // the sender gave that one up
    EXPECT_EQ(Nodes(), 1);
    Recv(SliceRecord("t0", 10U, 2U, "78901234", 1U), 2U);
    ASSERT_TRUE(simple_msg_test::WaitUntil([] { return SeenSoFar().size() == 2U; }));
    EXPECT_EQ(SeenSoFar()[1].payload, "5678901234"); // not the other connection's under key 1
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    Recv(SliceRecord("t0", 10U, 2U, "xx", 1U), 1U);
    EXPECT_EQ(Nodes(), 0);
}

// A streaming sender's datagram: runs of records for two tasks, longer than
// one hand-over to the queues takes, some without payload, with one record
// for a task that does not exist in the middle. Each message arrives once, in
// its task's order, with its payload and the kernel's credentials.
TEST_F(CarrierFraming, ManyRecordsOfOneDatagramArriveOnceInOrderAroundARefusedOne) {
    ASSERT_EQ(SimpleMsgRegTask("t1", 64U, Record, 0U), OS_MSG_OK);
    StartLoop("t1");
    constexpr uint32_t kRecords = 70U;
    constexpr uint32_t kMissing = 37U;
    auto payload = [](const std::string &task, uint32_t id) {
        return id % 7U == 0U ? std::string() : task + ":" + std::to_string(id);
    };
    std::string datagram;
    for (uint32_t id = 1U; id <= kRecords; ++id) {
        std::string task = id == kMissing ? "nobody" : (id % 5U == 0U ? "t1" : "t0");
        datagram += WholeRecord(task, id, payload(task, id));
    }
    LogCapture log(OS_LOG_ERROR, OS_MSG_LOG_ERROR);
    Recv(datagram);
    ASSERT_TRUE(simple_msg_test::WaitUntil([] { return SeenSoFar().size() == kRecords - 1U; }));
    EXPECT_EQ(log.Count("SimpleMsgGetQueue NULL[nobody]"), 1U) << log.Dump();
    EXPECT_EQ(log.Count("MsgAdpTransact transcat ret="), 1U) << log.Dump();
    uint32_t last[2] = {0U, 0U};
    std::vector<bool> seen(kRecords + 1U, false);
    for (const simple_msg_test::Received &s : SeenSoFar()) {
        ASSERT_TRUE(s.msgId >= 1U && s.msgId <= kRecords && s.msgId != kMissing) << s.msgId;
        EXPECT_FALSE(seen[s.msgId]) << "twice: " << s.msgId;
        seen[s.msgId] = true;
        const uint32_t task = s.msgId % 5U == 0U ? 1U : 0U;
        EXPECT_GT(s.msgId, last[task]) << "out of order";
        last[task] = s.msgId;
        EXPECT_EQ(s.payload, payload("t" + std::to_string(task), s.msgId));
        EXPECT_EQ(std::make_pair(s.head.sendPid, s.head.sendUid), std::make_pair(kPid, kUid)) << "the kernel's ids";
    }
}

// A payload buffer that cannot be had in the middle of a run: the records
// before it enter the queue together, the record goes alone (which tries
// again), nothing is lost, doubled or leaked, for each allocation failing.
TEST_F(CarrierFraming, RunWhoseBufferFailsMidwayLosesAndLeaksNothing) {
    ASSERT_EQ(SimpleMsgRegTask("bulk", 64U, nullptr, 0U), OS_MSG_OK); // no loop: the test takes the nodes
    constexpr uint32_t kRecords = 6U;
    std::string datagram;
    for (uint32_t id = 1U; id <= kRecords; ++id) {
        datagram += WholeRecord("bulk", id, std::string(id * 10U, (char)('a' + id)));
    }
    SimpleMsgRing *ring = &simple_msg_test::FindTask("bulk")->ring;
    for (int64_t failAt = 1; failAt <= (int64_t)kRecords + 1; ++failAt) {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        const uint64_t blocks = UsedBlocks();
        OSMemSetFailCountdown(failAt);
        Recv(datagram);
        OSMemSetFailCountdown(-1);
        MsgHead node;
        uint64_t position = 0U;
        for (uint32_t id = 1U; id <= kRecords; ++id) {
            ASSERT_TRUE(SimpleMsgRingPop(ring, &node, &position)) << "failing allocation " << failAt;
            EXPECT_EQ(node.msgId, id) << "failing allocation " << failAt;
            EXPECT_EQ(simple_msg_test::PayloadOf(&node), std::string(id * 10U, (char)('a' + id)));
            SimpleMsgReleaseBuffer(node.data, node.dataLen);
        }
        EXPECT_FALSE(SimpleMsgRingPop(ring, &node, &position));
        EXPECT_EQ(UsedBlocks(), blocks) << "failing allocation " << failAt;
    }
}

} // namespace

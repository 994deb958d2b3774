/*
 * Flow control per task on the receiving side of the carrier, without a
 * second process: datagrams built here arrive on a link around one end of
 * a socket pair and are handled as the receive loop handles them (the rest
 * of a datagram kept while the link pauses, parks, retries), and the
 * notices the link sends come out of the pair's other end. The tests empty
 * queues by hand, retry as the receive thread does when a task reports room
 * and end pauses as its timer does.
 */
#include "transport/unix/ipc_link_park.h"

#include "transport/unix/ipc_link_gate.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "carrier/carrier_raw.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "transport_test_util.h"
#include "vyre_os_log.h"

namespace {

constexpr uint32_t kPid = 4242U;
// A sender of the own user, whom the access policy lets in.
const uint32_t kUid = (uint32_t)getuid();
const uint32_t kGid = (uint32_t)getgid();

class CarrierParking : public transport_test::TransportTest {
protected:
    void SetUp() override {
        transport_test::TransportTest::SetUp();
        IpcGateOpen("proc", 0U);
        ASSERT_EQ(SimpleMsgRegTask("t0", 64U, simple_msg_test::Record, 0U), OS_MSG_OK);
        StartLoop("t0");
        ASSERT_EQ(SimpleMsgRegTask("one", 1U, nullptr, 0U), OS_MSG_OK); // holds one message, no loop
        links_.push_back(MakeLink());
        blocks_ = UsedBlocks();
    }
    void TearDown() override {
        for (auto &pair : links_) {
            IpcParkDropLink(pair.first);
            IpcLinkRelease(pair.first);
            (void)close(pair.second);
        }
        EXPECT_TRUE(IpcParkTrim()); // nothing held back: the spare chunks go too
        transport_test::TransportTest::TearDown();
    }

    /* An accepted link, and the other end of its socket pair. */
    static std::pair<IpcLink *, int> MakeLink() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        return {IpcLinkCreate(fds[0], IPC_LINK_ACCEPTED, kPid, kUid), fds[1]};
    }

    /* Ends link i's pause as the receive loop's timer does, until it is
     * read again (a kept rest may pause it once more). */
    void PauseRunsOut(size_t i = 0U) {
        for (int n = 0; n < 4 && links_[i].first->recv.paused; ++n) {
            (void)IpcParkResumeDue(UINT64_MAX);
        }
        EXPECT_FALSE(links_[i].first->recv.paused);
    }

    /* One datagram of records on link i, read when the link is read: after
     * its pause ran out, if it pauses. */
    void Recv(const std::string &datagram, size_t i = 0U) {
        IpcLink *link = links_[i].first;
        if (link->recv.paused) {
            PauseRunsOut(i);
        }
        std::vector<uint8_t> bytes(datagram.begin(), datagram.end());
        IpcFrameSink sink;
        IpcParkSinkInit(&sink, link, kPid, kUid, kGid);
        uint32_t handled = IpcFrameRecvDatagram(nullptr, bytes.data(), (uint32_t)bytes.size(), &sink);
        if (handled < bytes.size()) {
            IpcParkKeepRest(link, bytes.data() + handled, (uint32_t)bytes.size() - handled, kPid, kUid, kGid);
        }
        (void)IpcParkAfterDatagram(link);
    }

    static std::string Message(const std::string &task, uint32_t msgId, const std::string &payload = "p") {
        MsgHead head = carrier_raw::Head("peer", "tx", "proc", task, msgId, (uint32_t)payload.size());
        return carrier_raw::Record(MSG_TRANS_ASYN, head, payload);
    }

    /* Messages 1 to 1 + IPC_PARK_NOTICE_MSGS for task "one" in one
     * datagram: the one its queue holds and a park of the notice size. */
    static std::string Filling(const std::string &payload = "p") {
        std::string datagram;
        for (uint32_t id = 1U; id <= 1U + IPC_PARK_NOTICE_MSGS; ++id) {
            datagram += Message("one", id, payload);
        }
        return datagram;
    }

    /* Takes the oldest message out of task's queue: its id, 0 when empty. */
    static uint32_t Take(const std::string &task) {
        MsgHead node;
        uint64_t position = 0U;
        if (!SimpleMsgRingPop(&simple_msg_test::FindTask(task)->ring, &node, &position)) {
            return 0U;
        }
        SimpleMsgReleaseBuffer(node.data, node.dataLen);
        return node.msgId;
    }

    /* The notices that came out of link i's other end: "full:TASK" and
     * "room:TASK", in order. */
    std::vector<std::string> Notices(size_t i = 0U) {
        std::vector<std::string> out;
        carrier_raw::Got got;
        while (carrier_raw::Receive(links_[i].second, &got, 0)) {
            EXPECT_EQ(got.transType, IPC_FRAME_CONTROL);
            out.push_back((got.kind == IPC_CONTROL_TASK_FULL ? "full:" : "room:") + std::string(got.control.task));
        }
        return out;
    }

    std::vector<std::pair<IpcLink *, int>> links_;
    uint64_t blocks_ = 0U;
};

// The sender hears "full" once, when the task's park reaches its notice
// size, and "room" once, when the park has drained to half of it; a
// message that comes meanwhile goes behind the others. The receiver logs
// the full task once for a while, however often it fills.
TEST_F(CarrierParking, SenderIsToldFullAtTheNoticeSizeAndRoomAtHalf) {
    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
    const std::string datagram = Filling();
    Recv(datagram);
    EXPECT_TRUE(Notices().empty()); // kept as it came, while the link pauses
    PauseRunsOut();
    EXPECT_EQ(Notices(), std::vector<std::string>{"full:one"});
    uint32_t last = 0U;
    const uint32_t late = 2U + IPC_PARK_NOTICE_MSGS;
    for (uint32_t id = Take("one"); id != 0U; id = Take("one")) {
        EXPECT_EQ(id, last + 1U);
        last = id;
        if (id == 10U) {
            Recv(Message("one", late)); // behind the others
        }
        IpcParkRetry();
        // The retry that follows taking message k moves message k + 1 in,
        // which leaves late - 1 - k held.
        const bool half = late - 1U - id == IPC_PARK_NOTICE_MSGS / 2U;
        EXPECT_EQ(Notices(), half ? std::vector<std::string>{"room:one"} : std::vector<std::string>{}) << id;
    }
    EXPECT_EQ(last, late);
    // Full again at once: the sender is told again, the log is not (one
    // line per connection in MSG_TUNE_RECV_FULL_LOG_MS).
    Recv(datagram);
    PauseRunsOut();
    EXPECT_EQ(Notices(), std::vector<std::string>{"full:one"});
    EXPECT_EQ(log.Count("task[one] is full: 512 messages from pid 4242", OS_MSG_LOG_ERROR), 1U) << log.Dump();
}

// A link that holds its bound of bytes back is no longer read (only watched
// for its peer closing) until it has drained to half.
TEST_F(CarrierParking, LinkPastItsBoundIsHeldBackUntilItDrainsToHalf) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    const std::string big(256U * 1024U, 'b');
    IpcLink *link = links_[0].first;
    uint32_t sent = 0U;
    while (!link->recv.heldBack && sent < 64U) {
        Recv(Message("one", ++sent, big));
        if (link->recv.paused && !link->recv.heldBack) {
            PauseRunsOut(); // a slow task: it is parked from here on
        }
    }
    ASSERT_TRUE(link->recv.heldBack);
    EXPECT_GE(link->recv.parkedBytes, (uint64_t)IPC_LINK_PARK_BYTES);
    EXPECT_LT(link->recv.parkedBytes, (uint64_t)IPC_LINK_PARK_BYTES + big.size() + 1024U);
    while (link->recv.heldBack && Take("one") != 0U) {
        IpcParkRetry();
        if (link->recv.heldBack) {
            EXPECT_GT(link->recv.parkedBytes, (uint64_t)IPC_LINK_PARK_BYTES / 2U);
        }
    }
    EXPECT_FALSE(link->recv.heldBack);
    EXPECT_LE(link->recv.parkedBytes, (uint64_t)IPC_LINK_PARK_BYTES / 2U);
}

// Two links hold messages back for one task: as the queue makes room, the
// links take turns.
TEST_F(CarrierParking, LinksShareTheRoomOfAQueueInTurn) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    links_.push_back(MakeLink());
    Recv(Message("one", 100U));
    Recv(Message("one", 101U) + Message("one", 102U) + Message("one", 103U), 0U);
    Recv(Message("one", 201U) + Message("one", 202U) + Message("one", 203U), 1U);
    std::vector<uint32_t> taken;
    for (uint32_t id = Take("one"); id != 0U; id = Take("one")) {
        taken.push_back(id);
        IpcParkRetry(); // as the room hook does
    }
    ASSERT_EQ(taken.size(), 7U);
    for (size_t i = 1U; i + 1U < taken.size(); ++i) {
        EXPECT_NE(taken[i] / 100U, taken[i + 1U] / 100U) << "one link took two turns in a row at " << i;
    }
}

// What a link holds back for a task that goes away is dropped with one
// line, and the sender hears "room"; what a closing link holds is released.
TEST_F(CarrierParking, ParksOfAGoneTaskOrAClosingLinkAreReleased) {
    const std::string datagram = Filling(std::string(100U, 'x'));
    ASSERT_LT(datagram.size(), (size_t)IPC_FRAME_DATAGRAM_MAX);
    {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        Recv(datagram);
        PauseRunsOut();
    }
    EXPECT_EQ(Notices(), std::vector<std::string>{"full:one"});
    ASSERT_EQ(SimpleMsgUnregTask("one"), OS_MSG_OK);
    {
        LogCapture log(OS_LOG_ERROR, OS_MSG_LOG_ERROR);
        IpcParkRetry();
        EXPECT_EQ(
            log.Count(std::to_string(IPC_PARK_NOTICE_MSGS) + " messages held for task [one] dropped: no such task."),
            1U)
            << log.Dump();
    }
    EXPECT_EQ(Notices(), std::vector<std::string>{"room:one"});
    EXPECT_FALSE(IpcParkPending());
    ASSERT_EQ(SimpleMsgRegTask("one", 1U, nullptr, 0U), OS_MSG_OK);
    EXPECT_TRUE(IpcParkTrim()); // the spare chunks kept for parks
    EXPECT_EQ(UsedBlocks(), blocks_);
    {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        Recv(datagram);
    }
    EXPECT_TRUE(IpcParkPending()); // the rest kept while it pauses
    IpcParkDropLink(links_[0].first);
    EXPECT_FALSE(IpcParkPending());
    (void)Take("one");
    EXPECT_TRUE(IpcParkTrim()); // the spare chunks kept for parks
    EXPECT_EQ(UsedBlocks(), blocks_);
}

// An answer on a connection that carries requests, and a notice that only
// a receiver sends, are dropped with one line each.
TEST_F(CarrierParking, RecordsAgainstTheLinksDirectionAreDropped) {
    MsgHead head = carrier_raw::Head("peer", "tx", "proc", "t0", 9U, 3U);
    std::string notice(IPC_FRAME_CONTROL_RECORD, '\0');
    IpcFrameSetControl(reinterpret_cast<uint8_t *>(&notice[0]), IPC_CONTROL_TASK_FULL, nullptr, 0U);
    LogCapture log(OS_LOG_ERROR, OS_MSG_LOG_ERROR);
    Recv(carrier_raw::Record(MSG_TRANS_SYN_RESP, head, "abc") + notice + Message("t0", 10U));
    EXPECT_EQ(log.Count("bad datagram from pid 4242: answer on a connection for requests."), 1U) << log.Dump();
    EXPECT_EQ(log.Count("bad datagram from pid 4242: notice on a connection for requests."), 1U) << log.Dump();
    ASSERT_TRUE(simple_msg_test::g_inbox->WaitFor(1U));
    EXPECT_EQ(simple_msg_test::g_inbox->Ids(), std::vector<uint32_t>{10U}); // the record after them is handled
    // The loop of t0 releases the payload once its callback returned.
    EXPECT_TRUE(simple_msg_test::WaitUntil([this] { return UsedBlocks() == blocks_; }));
}

} // namespace

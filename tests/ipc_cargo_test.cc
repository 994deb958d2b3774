/*
 * The receiving side of shared buffers and descriptors on the carrier,
 * without a second process: datagrams built here (a segment of this
 * process's own pool, passed read-only, stands for another process's)
 * arrive with their descriptors on a link around one end of a socket pair,
 * and what the link sends back (references given back) comes out of the
 * other end. Every message names its buffer and descriptors as a peer
 * could, rightly or wrongly; the tests check what is delivered, what is
 * given back and that no descriptor or mapping is left behind. A sound
 * frame read in place between real processes is shared_buf_between_test's.
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "base/msg_tunables.h"
#include "carrier/carrier_raw.h"
#include "carrier/frame_roles.h"
#include "shared_buf/sbuf_lane.h"
#include "shared_buf/sbuf_pool.h"
#include "shared_buf/sbuf_sys.h"
#include "support/descriptors.h"
#include "support/log_capture.h"
#include "transport/unix/ipc_cargo_frame.h"
#include "transport/unix/ipc_link_gate.h"
#include "transport/unix/ipc_link_park.h"
#include "transport/unix/ipc_link_share.h"
#include "transport/unix/ipc_post.h"
#include "transport/unix/ipc_unix_sys.h"
#include "transport_test_util.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"

namespace {

constexpr uint32_t kPid = 4343U;
// A sender of the own user, whom the access policy lets in.
const uint32_t kUid = (uint32_t)getuid();
const uint32_t kGid = (uint32_t)getgid();
constexpr uint32_t kFrameBytes = 8192U; // one block of the 8 KiB class: a 1 MiB segment of 128 blocks

class CargoRecords : public transport_test::TransportTest {
protected:
    void SetUp() override {
        transport_test::TransportTest::SetUp();
        IpcGateOpen("proc", 0U);
        ASSERT_EQ(SimpleMsgRegTask("t0", 64U, simple_msg_test::Record, 0U), OS_MSG_OK);
        StartLoop("t0");
        fds_ = OpenFds();
        OpenLink();
        ASSERT_EQ(SbufAlloc(kFrameBytes, &frame_.data), OS_MSG_OK);
        carrier_proto::FillPattern(static_cast<uint8_t *>(frame_.data), kFrameBytes, 9U);
        SbufLock();
        SbufBlock *block = SbufFindLocked(frame_.data);
        frame_.segment = block->segment;
        frame_.blockIndex = (uint32_t)((block->data - block->segment->base) / block->segment->blockBytes);
        SbufUnlock();
    }
    void TearDown() override {
        CloseLink();
        EXPECT_EQ(OsMsgBufFree(frame_.data), OS_MSG_OK);
        SbufTrim();
        EXPECT_EQ(OpenFds(), fds_);
        EXPECT_EQ(frame_roles::MappingsOf(frame_roles::kSegmentName), 0U);
        transport_test::TransportTest::TearDown();
    }

    /* An accepted link around one end of a socket pair, other_ the other. */
    void OpenLink() {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
        link_ = IpcLinkCreate(pair[0], IPC_LINK_ACCEPTED, kPid, kUid);
        other_ = pair[1];
    }
    void CloseLink() {
        IpcParkDropLink(link_);
        IpcLinkShareClose(link_);
        IpcLinkRelease(link_);
        (void)close(other_);
    }

    static std::string Lane(uint32_t bytes, uint32_t slots) {
        std::string out(IPC_FRAME_PREFIX_LEN + IPC_SHARE_LANE_LEN, '\0');
        IpcCargoSetLane(reinterpret_cast<uint8_t *>(&out[0]), bytes, slots);
        return out;
    }

    static std::string Segment(uint32_t segId, uint32_t blockBytes, uint64_t bytes) {
        std::string out(IPC_FRAME_PREFIX_LEN + IPC_SHARE_SEGMENT_LEN, '\0');
        IpcCargoSetSegment(reinterpret_cast<uint8_t *>(&out[0]), segId, blockBytes, bytes);
        return out;
    }

    /* A message for task t0 whose data is len bytes at offset of block
     * blockIndex of segment segId (size bytes in use), lent as refId, with
     * fdCount descriptors. */
    static std::string Message(uint32_t refId, uint32_t segId, uint32_t blockIndex, uint32_t size, uint32_t offset,
                               uint32_t len, uint32_t fdCount = 0U) {
        MsgHead head = carrier_raw::Head("peer", "tx", "proc", "t0", refId, len);
        IpcCargoDesc desc = {refId, segId, blockIndex, size, offset, fdCount};
        return carrier_raw::Framed(MSG_TRANS_ASYN, IPC_FRAME_CARGO, 0U, head)
            .append(reinterpret_cast<const char *>(&desc), sizeof(desc));
    }

    /* The datagram as the receive loop handles it, with fds (which it
     * closes when no record takes them, as the loop does). */
    void Recv(const std::string &datagram, std::vector<int> fds = {}) {
        std::vector<uint8_t> bytes(datagram.begin(), datagram.end());
        IpcFrameSink sink;
        IpcParkSinkInit(&sink, link_, kPid, kUid, kGid);
        IpcFrameFds carried = {fds.data(), (uint32_t)fds.size(), 0U};
        sink.fds = fds.empty() ? nullptr : &carried;
        (void)IpcFrameRecvDatagram(nullptr, bytes.data(), (uint32_t)bytes.size(), &sink);
        for (int fd : fds) {
            if (fd >= 0) {
                (void)close(fd);
            }
        }
    }

    int ReadOnlySegmentFd() const { return SbufSysReopenReadOnly(frame_.segment->fd); }
    std::string OwnSegment(uint32_t segId) const {
        return Segment(segId, frame_.segment->blockBytes, frame_.segment->bytes);
    }

    /* The reference ids given back through the pair's other end, once n of
     * them came (or the wait ran out). */
    std::vector<uint32_t> GivenBack(size_t n) {
        std::vector<uint32_t> ids;
        EXPECT_TRUE(WaitUntil([&] {
            uint8_t buf[4096];
            ssize_t got = 0;
            while ((got = carrier_raw::ReceiveBytes(other_, buf, sizeof(buf), 0)) > 0) {
                Collect(buf, (size_t)got, &ids);
            }
            return ids.size() >= n;
        }));
        return ids;
    }

    static void Collect(const uint8_t *buf, size_t n, std::vector<uint32_t> *ids) {
        for (size_t at = 0U; at + IPC_FRAME_PREFIX_LEN + 4U <= n;) {
            IpcFramePrefix prefix;
            uint32_t count = 0U;
            std::memcpy(&prefix, buf + at, sizeof(prefix));
            std::memcpy(&count, buf + at + IPC_FRAME_PREFIX_LEN, sizeof(count));
            EXPECT_EQ(prefix.transType, IPC_FRAME_SHARE);
            for (uint32_t i = 0U; prefix.flags == IPC_SHARE_RELEASE && i < count; ++i) {
                uint32_t id = 0U;
                std::memcpy(&id, buf + at + IPC_FRAME_PREFIX_LEN + 4U + 4U * i, sizeof(id));
                ids->push_back(id);
            }
            at += IPC_FRAME_PREFIX_LEN + prefix.bodyLen;
        }
    }

    IpcLink *link_ = nullptr;
    int other_ = -1;
    // A frame of the own pool, as an owner would lend it: its segment's
    // shape and a read-only descriptor of it.
    struct {
        void *data = nullptr;
        SbufSegment *segment = nullptr;
        uint32_t blockIndex = 0U;
    } frame_;
    size_t fds_ = 0U;
};

// A segment that its sender could still shrink or grow, or whose size is
// not the one announced, is never mapped: the messages naming it are
// dropped, their references given back at once, and no descriptor stays.
TEST_F(CargoRecords, SegmentThatCouldShrinkOrIsNotTheSizeAnnouncedIsRefused) {
    LogCapture log;
    int unsealed = memfd_create("unsealed", MFD_CLOEXEC);
    ASSERT_EQ(ftruncate(unsealed, (off_t)frame_.segment->bytes), 0);
    Recv(OwnSegment(2U) + Message(21U, 2U, 0U, kFrameBytes, 0U, 64U), {unsealed});
    Recv(Segment(3U, frame_.segment->blockBytes, frame_.segment->bytes * 2U) +
             Message(31U, 3U, 0U, kFrameBytes, 0U, 64U),
         {ReadOnlySegmentFd()});
    EXPECT_EQ(GivenBack(2U), (std::vector<uint32_t>{21U, 31U}));
    EXPECT_TRUE(simple_msg_test::g_inbox->Items().empty());
    EXPECT_EQ(log.Count("not a memory file sealed against shrinking and growing"), 1U) << log.Dump();
    EXPECT_EQ(log.Count("segment size differs"), 1U) << log.Dump();
}

// A peer cannot make this process map segment after segment until it can
// map nothing more: past the bound a segment is refused, and the message
// lending its block gives its reference back, until the peer gives
// segments up.
TEST_F(CargoRecords, SegmentsPastTheProcesssBoundAreRefusedUntilSomeAreGivenUp) {
    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
    const int file = memfd_create("small", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_EQ(ftruncate(file, 4096), 0);
    ASSERT_EQ(fcntl(file, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW), 0);
    constexpr uint32_t kFirst = 1000U;
    constexpr uint32_t kPerDatagram = 16U;
    for (uint32_t id = kFirst; id < kFirst + MSG_TUNE_MAPPED_SEGMENTS_MAX; id += kPerDatagram) {
        std::string datagram;
        std::vector<int> fds;
        for (uint32_t i = 0U; i < kPerDatagram; ++i) {
            datagram += Segment(id + i, 4096U, 4096U);
            fds.push_back(dup(file));
        }
        Recv(datagram, fds);
    }
    ASSERT_EQ(log.Count("refused"), 0U) << log.Dump();
    const uint32_t past = kFirst + MSG_TUNE_MAPPED_SEGMENTS_MAX;
    Recv(Segment(past, 4096U, 4096U) + Message(71U, past, 0U, 4096U, 0U, 64U), {dup(file)});
    EXPECT_EQ(GivenBack(1U), std::vector<uint32_t>{71U});
    EXPECT_TRUE(simple_msg_test::g_inbox->Items().empty()) << "a message lending a block of a refused segment";
    EXPECT_EQ(log.Count("refused (0x80020007): this process maps as many segments of other processes as it may"), 1U)
        << log.Dump();
    std::string gone(IPC_FRAME_PREFIX_LEN + 8U, '\0');
    IpcCargoSetIdsHead(reinterpret_cast<uint8_t *>(&gone[0]), IPC_SHARE_GONE, 1U);
    std::memcpy(&gone[IPC_FRAME_PREFIX_LEN + 4U], &kFirst, sizeof(kFirst));
    Recv(gone + Segment(past, 4096U, 4096U) + Message(72U, past, 0U, 4096U, 0U, 64U), {dup(file)});
    EXPECT_TRUE(simple_msg_test::g_inbox->WaitCount(72U, 1U)) << "the segment after one was given up";
    EXPECT_EQ(simple_msg_test::g_inbox->Items().size(), 1U);
    (void)close(file);
}

// A peer that keeps sending what cannot be taken gets a bounded number of
// log lines on its connection, the last of them saying so, and none after.
TEST_F(CargoRecords, ABadPeerCannotFloodTheLog) {
    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
    const std::string bad = Message(5U, 99U, 0U, kFrameBytes, 0U, 64U, 3U); // descriptors it did not bring
    for (uint32_t i = 0U; i < MSG_TUNE_RECV_BAD_LINES + 8U; ++i) {
        Recv(bad);
    }
    EXPECT_EQ(log.Count("bad datagram from pid 4343: fewer descriptors than announced"), MSG_TUNE_RECV_BAD_LINES + 1U)
        << log.Dump();
    EXPECT_EQ(log.Count("its connection's further bad records go without a line."), 1U) << log.Dump();
    EXPECT_TRUE(simple_msg_test::g_inbox->Items().empty()) << "each still dropped";
}

// A message whose block or data lies outside its segment, or that brought
// fewer descriptors than it announced, is dropped alone: its reference goes
// back, its descriptors are closed, and the message after it in the same
// datagram is delivered.
TEST_F(CargoRecords, MessageOutsideItsSegmentOrShortOfDescriptorsIsDroppedAlone) {
    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    const uint32_t blocks = (uint32_t)(frame_.segment->bytes / frame_.segment->blockBytes);
    const uint32_t i = frame_.blockIndex;
    std::string datagram = OwnSegment(4U);
    datagram += Message(41U, 4U, blocks, kFrameBytes, 0U, 64U);          // past the last block
    datagram += Message(42U, 4U, i, kFrameBytes, kFrameBytes - 8U, 64U); // data past its block
    datagram += Message(43U, 4U, i, kFrameBytes * 2U, 0U, 64U);          // block larger than its class
    datagram += Message(44U, 99U, i, kFrameBytes, 0U, 64U);              // a segment never passed
    datagram += Message(45U, 4U, i, kFrameBytes, 0U, 64U, 2U);           // two descriptors, one came
    datagram += Message(46U, 4U, i, kFrameBytes, 0U, 64U);               // sound
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    (void)close(pipeFds[1]);
    Recv(datagram, {ReadOnlySegmentFd(), pipeFds[0]});
    ASSERT_TRUE(simple_msg_test::g_inbox->WaitFor(1U));
    const simple_msg_test::Received sound = simple_msg_test::g_inbox->Items()[0];
    EXPECT_EQ(sound.msgId, 46U);
    EXPECT_EQ(sound.payload, std::string(static_cast<const char *>(frame_.data), 64U));
    EXPECT_EQ(GivenBack(6U), (std::vector<uint32_t>{41U, 42U, 43U, 44U, 45U, 46U}));
}

// With the owner's release lane, references go back there without a
// message while the owner does not wait (nothing wakes it); while it waits,
// each push is followed by a drain record. A lane that is not a sealed
// memory file of its announced size is refused, and references keep going
// back by message.
TEST_F(CargoRecords, ReferencesGoBackOnTheOwnersLaneWithADrainOnlyWhileItWaits) {
    int laneFd = -1;
    SbufLane *owner = SbufLaneCreate(&laneFd);
    ASSERT_NE(owner, nullptr);
    std::vector<uint32_t> taken;
    auto takeAll = [&] {
        uint32_t ids[64];
        bool broken = false;
        for (uint32_t n; (n = SbufLaneTake(owner, ids, 64U, &broken)) != 0U;) {
            taken.insert(taken.end(), ids, ids + n);
        }
        EXPECT_FALSE(broken);
    };
    const uint32_t i = frame_.blockIndex;
    Recv(Lane(SbufLaneBytes(), SbufLaneSlots()) + OwnSegment(1U) + Message(11U, 1U, i, kFrameBytes, 0U, 64U),
         {laneFd, ReadOnlySegmentFd()});
    ASSERT_TRUE(WaitUntil([&] {
        takeAll();
        return !taken.empty();
    }));
    EXPECT_EQ(taken, std::vector<uint32_t>{11U});
    uint8_t buf[256];
    EXPECT_LE(carrier_raw::ReceiveBytes(other_, buf, sizeof(buf), 0), 0) << "no message while the owner does not wait";

    SbufLaneSetWaiting(owner, 1U);
    Recv(Message(12U, 1U, i, kFrameBytes, 0U, 64U));
    IpcFramePrefix drain{};
    ASSERT_TRUE(WaitUntil([&] { return carrier_raw::ReceiveBytes(other_, &drain, sizeof(drain), 0) > 0; }));
    EXPECT_EQ(std::make_pair((uint32_t)drain.transType, (uint32_t)drain.flags),
              std::make_pair(IPC_FRAME_SHARE, IPC_SHARE_DRAIN));
    taken.clear();
    takeAll();
    EXPECT_EQ(taken, std::vector<uint32_t>{12U});
    SbufLaneFree(owner);

    // A second connection, whose peer passes a lane that could shrink.
    CloseLink();
    OpenLink();
    LogCapture log;
    int unsealed = memfd_create("unsealed", MFD_CLOEXEC);
    ASSERT_EQ(ftruncate(unsealed, (off_t)SbufLaneBytes()), 0);
    Recv(Lane(SbufLaneBytes(), SbufLaneSlots()) + OwnSegment(2U) + Message(21U, 2U, i, kFrameBytes, 0U, 64U),
         {unsealed, ReadOnlySegmentFd()});
    EXPECT_EQ(GivenBack(1U), std::vector<uint32_t>{21U});
    EXPECT_EQ(log.Count("release lane from pid 4343 refused: lane not a sealed memory file"), 1U) << log.Dump();
}

// Messages posted on the lane's ring are taken in their place among the
// datagrams: a post waits until the datagrams sent before it were read.
// The bell rings for the first post after the receiver armed it, not for
// the next. A post that is not a message lending a buffer is dropped, and a
// ring whose counts cannot be true is read no more.
TEST_F(CargoRecords, PostsWaitForTheDatagramsBeforeThemAndABrokenRingIsReadNoMore) {
    int laneFd = -1;
    SbufLane *owner = SbufLaneCreate(&laneFd);
    ASSERT_NE(owner, nullptr);
    const int raw = dup(laneFd); // to break the ring's count below
    const uint32_t i = frame_.blockIndex;
    bool ring = false;
    const std::string early = Message(10U, 1U, i, kFrameBytes, 0U, 64U);
    EXPECT_FALSE(SbufLanePost(owner, early.data(), (uint32_t)early.size(), 0U, &ring)) << "the ring is not open yet";
    Recv(Lane(SbufLaneBytes(), SbufLaneSlots()) + OwnSegment(1U) + Message(11U, 1U, i, kFrameBytes, 0U, 64U),
         {laneFd, ReadOnlySegmentFd()});
    ASSERT_TRUE(simple_msg_test::g_inbox->WaitFor(1U));

    auto post = [&](const std::string &rec, uint32_t tag) {
        alignas(8) uint8_t buf[SBUF_POST_RECORD_MAX] = {};
        std::memcpy(buf, rec.data(), rec.size());
        return SbufLanePost(owner, buf, (uint32_t)rec.size(), tag, &ring);
    };
    ASSERT_TRUE(post(Message(12U, 1U, i, kFrameBytes, 0U, 64U), link_->recv.datagrams));
    EXPECT_TRUE(ring) << "the receiver armed the bell when it opened the ring";
    ASSERT_TRUE(post(Message(13U, 1U, i, kFrameBytes, 0U, 64U), link_->recv.datagrams + 1U));
    EXPECT_FALSE(ring) << "rung already";
    EXPECT_EQ(IpcPostDrain(link_, false), 1U) << "the second follows a datagram not read yet";
    link_->recv.datagrams += 1U;
    EXPECT_EQ(IpcPostDrain(link_, false), 1U);
    ASSERT_TRUE(simple_msg_test::g_inbox->WaitFor(3U));
    EXPECT_EQ(simple_msg_test::g_inbox->Items()[1].msgId, 12U);
    EXPECT_EQ(simple_msg_test::g_inbox->Items()[2].msgId, 13U);

    // Once the sender's connection ended, what it posted goes whatever
    // datagrams it claims came first.
    ASSERT_TRUE(post(Message(15U, 1U, i, kFrameBytes, 0U, 64U), link_->recv.datagrams + 5U));
    EXPECT_EQ(IpcPostDrain(link_, false), 0U);
    EXPECT_EQ(IpcPostDrain(link_, true), 1U);
    ASSERT_TRUE(simple_msg_test::g_inbox->WaitFor(4U));

    LogCapture log;
    MsgHead copied = carrier_raw::Head("peer", "tx", "proc", "t0", 14U, 0U);
    ASSERT_TRUE(post(carrier_raw::Framed(MSG_TRANS_ASYN, 0U, 0U, copied), link_->recv.datagrams));
    EXPECT_EQ(IpcPostDrain(link_, false), 1U);
    EXPECT_EQ(log.Count("bad post from pid 4343: not a message lending a buffer."), 1U) << log.Dump();

    // The owner's count, on the ring's first word, claims more than it holds.
    const long page = sysconf(_SC_PAGESIZE);
    const uint32_t postAt = SbufLaneBytes() - (uint32_t)((128L + 256L * 256L + page - 1L) / page * page);
    void *map = mmap(nullptr, SbufLaneBytes(), PROT_READ | PROT_WRITE, MAP_SHARED, raw, 0);
    ASSERT_NE(map, MAP_FAILED);
    __atomic_store_n(reinterpret_cast<uint32_t *>(static_cast<uint8_t *>(map) + postAt), 100000U, __ATOMIC_SEQ_CST);
    EXPECT_EQ(IpcPostDrain(link_, true), 0U);
    EXPECT_EQ(log.Count("bad post ring from pid 4343: its counts cannot be true, read no more."), 1U) << log.Dump();
    EXPECT_EQ(IpcPostDrain(link_, true), 0U);
    EXPECT_EQ(log.Count("bad post ring"), 1U) << "logged once";
    EXPECT_EQ(munmap(map, SbufLaneBytes()), 0);
    (void)close(raw);
    // The posted frames' references came back like the datagram's.
    std::vector<uint32_t> back;
    EXPECT_TRUE(WaitUntil([&] {
        uint32_t ids[8];
        bool broken = false;
        const uint32_t n = SbufLaneTake(owner, ids, 8U, &broken);
        back.insert(back.end(), ids, ids + n);
        return back.size() >= 4U;
    }));
    EXPECT_EQ(back, (std::vector<uint32_t>{11U, 12U, 13U, 15U}));
    SbufLaneFree(owner);
}

// A sender keeps the bell a receiver passes only when it is a wake-up
// counter, and only the first: anything else (a pipe, here) would take the
// eight bytes of every ring. What it does not keep is closed, and what it
// keeps closes with the link. Ringing it never waits, whatever the receiver
// made of it: a counter that blocks when full, filled to its top, would
// otherwise hold the sending thread (and its peer's lock) for good.
TEST_F(CargoRecords, SenderKeepsOnlyAWakeUpCounterAsItsBell) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    const size_t before = OpenFds();
    IpcLink *dialled = IpcLinkCreate(pair[0], IPC_LINK_DIALLED, kPid, kUid);
    ASSERT_NE(dialled, nullptr);
    std::string bell(IPC_FRAME_PREFIX_LEN, '\0');
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, IPC_FRAME_SHARE, IPC_SHARE_BELL, 0U);
    std::memcpy(&bell[0], &prefix, sizeof(prefix));
    auto deliver = [&](int fd) {
        IpcFrameSink sink;
        IpcParkSinkInit(&sink, dialled, kPid, kUid, kGid);
        IpcFrameFds carried = {&fd, 1U, 0U};
        sink.fds = &carried;
        std::vector<uint8_t> bytes(bell.begin(), bell.end());
        (void)IpcFrameRecvDatagram(nullptr, bytes.data(), (uint32_t)bytes.size(), &sink);
        if (fd >= 0) {
            (void)close(fd); // not claimed: the loop closes it
        }
    };
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    (void)close(pipeFds[0]);
    deliver(pipeFds[1]);
    EXPECT_EQ(dialled->bellFd.load(), -1) << "a pipe is no bell";
    const int full = eventfd(0U, EFD_CLOEXEC); // blocking
    const uint64_t top = 0xfffffffffffffffeULL;
    ASSERT_EQ(write(full, &top, sizeof(top)), (ssize_t)sizeof(top));
    const int watch = dup(full);
    deliver(full);
    const int kept = dialled->bellFd.load();
    ASSERT_GE(kept, 0);
    auto ring = std::async(std::launch::async, [kept] { return IpcSysEventRing(kept); });
    if (ring.wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
        ADD_FAILURE() << "ringing a full counter waits";
        uint64_t count = 0U;
        ASSERT_EQ(read(watch, &count, sizeof(count)), (ssize_t)sizeof(count)); // lets the ring go
    }
    EXPECT_TRUE(ring.get());
    (void)close(watch);
    deliver(eventfd(0U, EFD_CLOEXEC));
    EXPECT_EQ(dialled->bellFd.load(), kept) << "the first bell stays";
    EXPECT_EQ(OpenFds(), before + 1U); // the bell kept
    IpcLinkRelease(dialled);
    (void)close(pair[1]);
    EXPECT_EQ(OpenFds(), before - 2U); // the pair, and the bell with the link
}

// The receiver asks the owner to look at the lane once as many ids wait
// there as the owner said it waits for, and once only until the owner has
// looked; an owner that does not wait is never asked.
TEST(ReleaseLane, AsksTheOwnerOnceAsManyIdsWaitAsItWantsAndOncePerLook) {
    const uint32_t blocks = OSMemGetUsedBlocks();
    int fd = -1;
    SbufLane *owner = SbufLaneCreate(&fd);
    ASSERT_NE(owner, nullptr);
    const char *why = nullptr;
    SbufLane *receiver = SbufLaneMap(dup(fd), SbufLaneBytes(), SbufLaneSlots(), &why);
    SbufSysCloseFd(fd);
    ASSERT_NE(receiver, nullptr) << why;
    uint32_t ids[8];
    bool broken = false;

    ASSERT_TRUE(SbufLanePush(receiver, 1U));
    EXPECT_FALSE(SbufLaneAskDrain(receiver)) << "the owner does not wait";
    SbufLaneSetWaiting(owner, 3U);
    EXPECT_EQ(SbufLaneTake(owner, ids, 8U, &broken), 1U); // the owner looks after it set its word
    ASSERT_TRUE(SbufLanePush(receiver, 2U));
    ASSERT_TRUE(SbufLanePush(receiver, 3U));
    EXPECT_FALSE(SbufLaneAskDrain(receiver)) << "two ids wait, the owner wants three";
    ASSERT_TRUE(SbufLanePush(receiver, 4U));
    EXPECT_TRUE(SbufLaneAskDrain(receiver));
    ASSERT_TRUE(SbufLanePush(receiver, 5U));
    EXPECT_FALSE(SbufLaneAskDrain(receiver)) << "asked already, and the owner has not looked";
    EXPECT_EQ(SbufLaneTake(owner, ids, 8U, &broken), 4U);
    EXPECT_EQ(std::vector<uint32_t>(ids, ids + 4), (std::vector<uint32_t>{2U, 3U, 4U, 5U}));
    SbufLaneSetWaiting(owner, 1U);
    ASSERT_TRUE(SbufLanePush(receiver, 6U));
    EXPECT_TRUE(SbufLaneAskDrain(receiver)) << "the owner looked since, and wants one";
    EXPECT_FALSE(broken);

    SbufLaneFree(receiver);
    SbufLaneFree(owner);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks);
}

} // namespace

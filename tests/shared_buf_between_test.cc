/*
 * Shared buffers and descriptors between processes, under the Unix-socket
 * carrier, against carrier_peer processes (frame_roles.h): what depends on
 * the carrier (segments passed and mapped read-only, references given back
 * by peers that release, die or stop, memory files with a message). What a
 * process does with its own pool and holds is shared_buf_test's. The
 * fixture counts descriptors, threads and tracked blocks around every case;
 * no segment may stay mapped, no file stay in the run directory or /dev/shm.
 */
#include <fcntl.h>
#include <linux/dma-heap.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "carrier/carrier_fixture.h"
#include "carrier/frame_roles.h"
#include "support/log_capture.h"
#include "transport/unix/ipc_unix_sys.h"

namespace {

using namespace carrier_test;
using frame_roles::FdNote;
using frame_roles::kFdMsg;
using frame_roles::kFrame;
using frame_roles::kLaneName;
using frame_roles::kSegmentName;
using frame_roles::MappingsOf;

constexpr const char *kSelf = "bufhost";
constexpr uint32_t k4kFrame = 3840U * 2160U * 3U / 2U; // I420: 12,441,600 bytes
constexpr uint32_t kMiB = 1024U * 1024U;

OsMsgBufPoolStats Pool() {
    OsMsgBufPoolStats stats{};
    EXPECT_EQ(OsMsgBufGetPoolStats(&stats), OS_MSG_OK);
    return stats;
}

uint32_t AtPeers(const char *task) {
    OsMsgTaskBufStats stats{};
    EXPECT_EQ(OsMsgGetTaskBufStats(task, &stats), OS_MSG_OK);
    return stats.buffersAtPeers;
}

/* Frames task "keep" of this process holds, for the test to read and
 * release. */
struct Kept {
    std::mutex lock;
    std::vector<std::pair<const uint8_t *, uint32_t>> frames;
};
Kept g_kept;

uint32_t Keep(MsgHead *msg) {
    if (OsMsgBufHold(msg->data) == OS_MSG_OK) {
        std::lock_guard<std::mutex> guard(g_kept.lock);
        g_kept.frames.emplace_back(static_cast<const uint8_t *>(msg->data), msg->dataLen);
    }
    return 0U;
}

/* Releases every frame task "keep" holds, each read whole first. */
void ReleaseKept() {
    std::lock_guard<std::mutex> guard(g_kept.lock);
    for (const auto &frame : g_kept.frames) {
        EXPECT_TRUE(carrier_proto::PatternIntact(frame.first, frame.second, frame.second));
        EXPECT_EQ(OsMsgBufRelease(frame.first), OS_MSG_OK);
    }
    g_kept.frames.clear();
}

/* A frame of size bytes from the pool, patterned with its length. */
void *NewFrame(uint32_t size) {
    void *data = nullptr;
    if (OsMsgBufAlloc(size, &data) != OS_MSG_OK) {
        return nullptr;
    }
    carrier_proto::FillPattern(static_cast<uint8_t *>(data), size, size);
    return data;
}

/* A frame of size bytes, patterned, to task "frames" of proc, or, when proc
 * is kPublish, published as kEvent of task "pub": the broadcast task lends
 * it to each subscriber (its buffersAtPeers). */
constexpr const char *kPublish = nullptr;
uint32_t SendFrame(const char *proc, uint32_t size) {
    void *data = NewFrame(size);
    if (data == nullptr) {
        return OS_MSG_ERR_FULL;
    }
    MsgHead head;
    carrier_proto::FillHead(&head, kSelf, proc == kPublish ? "" : proc, "frames", kFrame, data, size);
    MsgBroEntry event{"pub", carrier_proto::kEvent, (int32_t)size, data};
    uint32_t ret = proc == kPublish ? OsMsgBroadcastEventBuf(&event) : OsMsgAsynSendBuf(&head);
    if (ret != OS_MSG_OK) {
        (void)OsMsgBufFree(data);
    }
    return ret;
}

std::string FrameLine(uint32_t size, int held = -1) {
    return "frame " + std::to_string(size) + " 1 1 " + std::to_string(held);
}

size_t ShmEntriesOfOurs() {
    size_t n = 0U;
    if (DIR *dir = opendir("/dev/shm")) {
        while (const dirent *entry = readdir(dir)) {
            n += std::strstr(entry->d_name, "vyre") != nullptr ? 1U : 0U;
        }
        closedir(dir);
    }
    return n;
}

class SharedBufBetween : public CarrierFixture {
protected:
    void SetUp() override {
        CarrierFixture::SetUp();
        shm_ = ShmEntriesOfOurs();
        ASSERT_EQ(Join(kSelf), OS_MSG_OK);
        AddTask("keep", 64U, Keep);
        AddTask("pub", 16U, [](MsgHead *) { return 0U; });
    }
    void TearDown() override {
        ReleaseKept();
        EXPECT_EQ(OsMsgBufSetPoolLimit(OS_MSG_BUF_POOL_DEFAULT_MB), OS_MSG_OK); // for the next case
        CarrierFixture::TearDown();
        EXPECT_EQ(MappingsOf(kSegmentName), 0U) << "a segment stayed mapped";
        EXPECT_EQ(MappingsOf(kLaneName), 0U) << "a release lane stayed mapped";
        EXPECT_EQ(ShmEntriesOfOurs(), shm_);
    }

    /* A carrier_peer in frames mode named name, subscribed to this process's
     * "pub" when asked, once the subscription is in place here (a probe
     * fired until it arrives shows it). */
    Peer &Frames(const char *name, bool subscribed = false) {
        if (!subscribed) {
            return StartReady({"frames", name});
        }
        Peer &peer = StartReady({"frames", name, kSelf});
        EXPECT_EQ(FireUntilSeen(peer, "probe",
                                [] { EXPECT_EQ(carrier_proto::BroadcastFromPub(carrier_proto::kProbe), OS_MSG_OK); }),
                  "probe");
        return peer;
    }

    /* After a peer was killed: the run directory holds, besides this
     * process's own socket, the peer's, which the carrier leaves for the
     * next process of that name to take over, and nothing of the buffers;
     * the peer's socket is removed for the fixture. */
    void ExpectOnlySocketOf(const std::string &name) {
        std::vector<std::string> names;
        if (DIR *dir = opendir(runDir_.c_str())) {
            while (const dirent *entry = readdir(dir)) {
                if (entry->d_name[0] != '.' && std::strcmp(entry->d_name, "queue_dir") != 0 &&
                    name_ + ".sock" != entry->d_name) {
                    names.emplace_back(entry->d_name);
                }
            }
            closedir(dir);
        }
        EXPECT_EQ(names, std::vector<std::string>{name + ".sock"});
        (void)unlink(SockPath(name).c_str());
    }

private:
    size_t shm_ = 0U;
};

// Every frame arrives whole, in place in a read-only mapping of the
// sender's segment; each segment is passed and mapped once however many
// frames use it, and every buffer comes back once the peer is done.
TEST_F(SharedBufBetween, FramesFrom64BytesTo64MiBArriveIntactInAReadOnlyMapping) {
    Peer &peer = Frames("bufpeer");
    for (uint32_t size : {64U, 4097U, kMiB, OS_MSG_MAX_DATA_LEN + 1U, k4kFrame, 64U * kMiB}) {
        ASSERT_EQ(SendFrame("bufpeer", size), OS_MSG_OK) << size;
        EXPECT_EQ(peer.Expect("frame"), FrameLine(size));
    }
    for (int i = 0; i < 20; ++i) { // more frames of the smallest size: its segment is known there already
        ASSERT_EQ(SendFrame("bufpeer", 64U), OS_MSG_OK);
        EXPECT_EQ(peer.Expect("frame"), FrameLine(64U));
    }
    EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; }));
    peer.Send("maps");
    EXPECT_EQ(peer.Expect("maps"), "maps " + std::to_string(Pool().segments));
}

// One frame published to subscribers in three processes is one buffer: it
// goes back to the pool when the last of them releases it, whichever that
// is, and until then it counts as lent by the task that fanned it out.
TEST_F(SharedBufBetween, BroadcastFrameToThreeProcessesIsOneBufferUntilTheLastLetsGo) {
    std::vector<Peer *> subs;
    for (const char *name : {"bufsub0", "bufsub1", "bufsub2"}) {
        subs.push_back(&Frames(name, true));
        ASSERT_EQ(subs.back()->Ask("hold", "holding"), "holding");
    }
    const std::vector<std::vector<int>> orders = {{2, 0, 1}, {1, 2, 0}};
    for (size_t round = 0U; round < orders.size(); ++round) {
        ASSERT_EQ(SendFrame(kPublish, kMiB), OS_MSG_OK);
        for (Peer *sub : subs) {
            EXPECT_EQ(sub->Expect("frame"), FrameLine(kMiB, (int)round));
        }
        EXPECT_EQ(Pool().buffersInUse, 1U);
        EXPECT_TRUE(WaitUntil([] { return AtPeers(MSG_TASK_NAME_PMSG_BRO) == 3U; }));
        for (int k : orders[round]) {
            subs[(size_t)k]->Send("release " + std::to_string(round));
            EXPECT_EQ(subs[(size_t)k]->Expect("released"), "released 0");
        }
        EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; }));
        EXPECT_EQ(AtPeers(MSG_TASK_NAME_PMSG_BRO), 0U);
    }
}

// Calls that lend a buffer to another process are all answered, call after
// call, and the buffer stays the caller's.
TEST_F(SharedBufBetween, CallsLendingABufferAreAllAnswered) {
    Frames("bufpeer");
    void *data = NewFrame(64U * 1024U);
    ASSERT_NE(data, nullptr);
    for (uint64_t i = 0U; i < 5000U; ++i) {
        std::memcpy(data, &i, sizeof(i));
        MsgHead head = From("bufpeer", "frames", carrier_proto::kCall, data, 64U * 1024U);
        MsgHead *resp = nullptr;
        ASSERT_EQ(OsMsgSynSendBuf(&head, &resp, 5000U), OS_MSG_OK) << "call " << i;
        uint64_t answer = 0U;
        std::memcpy(&answer, resp->data, sizeof(answer));
        EXPECT_EQ(answer, i);
        EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
    }
    EXPECT_EQ(OsMsgBufFree(data), OS_MSG_OK);
    EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; }));
}

// A receiver that holds frames, then stops mid-stream, with frames in its
// socket and more waiting in this process's batch for it, and is then
// killed: its connection's close gives every reference back (the lending
// task's count too), and nothing of its connection stays open.
TEST_F(SharedBufBetween, ReceiverHoldingThenStoppedMidStreamAndKilledGivesEverythingBack) {
    const size_t fds = OpenFds() + 2U; // and the pipes to the peer, which stay until the fixture ends
    Peer &peer = Frames("bufpeer", true);
    ASSERT_EQ(peer.Ask("hold", "holding"), "holding");
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(SendFrame(kPublish, 256U * 1024U), OS_MSG_OK);
        EXPECT_EQ(peer.Expect("frame"), FrameLine(256U * 1024U, i));
    }
    EXPECT_EQ(Pool().buffersInUse, 4U);
    EXPECT_TRUE(WaitUntil([] { return AtPeers(MSG_TASK_NAME_PMSG_BRO) == 4U; }));
    ASSERT_TRUE(peer.Freeze());
    uint32_t ret = OS_MSG_OK, sent = 0U;
    while (sent < 100000U && (ret = SendFrame("bufpeer", 4096U)) == OS_MSG_OK) {
        ++sent;
    }
    EXPECT_EQ(ret, OS_MSG_ERR_FULL) << sent << " frames sent";
    EXPECT_GT(Pool().buffersInUse, 4U);
    peer.Kill();
    EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; })) << Pool().buffersInUse << " still lent";
    EXPECT_EQ(AtPeers(MSG_TASK_NAME_PMSG_BRO), 0U);
    ASSERT_EQ(OsMsgBufSetPoolLimit(1U), OS_MSG_OK); // the stream's segments go
    EXPECT_EQ(Pool().segments, 0U);
    EXPECT_TRUE(WaitUntil([&] { return OpenFds() == fds; })) << OpenFds() << " open, " << fds << " before";
    ExpectOnlySocketOf("bufpeer");
}

// Frames this process holds stay readable after their sender died, and
// their mapping goes once they are released.
TEST_F(SharedBufBetween, SenderKilledLeavesHeldFramesReadableUntilReleased) {
    Peer &sender = Start({"shipframes", "bufship", kSelf, "3", std::to_string(k4kFrame)});
    ASSERT_EQ(sender.Expect("shipped"), "shipped 0");
    ASSERT_TRUE(WaitUntil([] {
        std::lock_guard<std::mutex> guard(g_kept.lock);
        return g_kept.frames.size() == 3U;
    }));
    sender.Kill();
    ReleaseKept();
    EXPECT_TRUE(WaitUntil([] { return MappingsOf(kSegmentName) == 0U; }));
    ExpectOnlySocketOf("bufship");
}

// A pool whose buffers a peer holds refuses the next one at once, saying
// which process holds them, and gives buffers out again as they come back.
TEST_F(SharedBufBetween, FullPoolRefusesAtOnceNamesItsHolderAndRecovers) {
    Peer &peer = Frames("bufpeer");
    ASSERT_EQ(peer.Ask("hold", "holding"), "holding");
    ASSERT_EQ(OsMsgBufSetPoolLimit(8U), OS_MSG_OK); // one segment of eight 1 MiB blocks
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(SendFrame("bufpeer", kMiB), OS_MSG_OK);
        EXPECT_EQ(peer.Expect("frame"), FrameLine(kMiB, i));
    }
    {
        LogCapture log;
        void *data = nullptr;
        EXPECT_EQ(OsMsgBufAlloc(kMiB, &data), OS_MSG_ERR_FULL);
        EXPECT_EQ(log.Count("process [bufpeer] holds 8 buffers"), 1U) << log.Dump();
    }
    // The peer gives buffers back without a message while nobody waits for
    // them; a producer that waits is woken when one comes back (without the
    // wake-up it would be refused after its 20 s).
    std::thread releaser([&peer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer.Send("release 0");
    });
    void *waited = nullptr;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OsMsgBufAllocTimed(kMiB, &waited, 20000U), OS_MSG_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "not woken by the release";
    releaser.join();
    EXPECT_EQ(peer.Expect("released"), "released 0");
    for (int i = 1; i < 3; ++i) {
        peer.Send("release " + std::to_string(i));
        EXPECT_EQ(peer.Expect("released"), "released 0");
    }
    EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 6U; }));
    EXPECT_EQ(OsMsgBufFree(waited), OS_MSG_OK);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(SendFrame("bufpeer", kMiB), OS_MSG_OK);
        EXPECT_EQ(peer.Expect("frame"), FrameLine(kMiB, 8 + i));
    }
}

/* The first two processors of this thread's mask, which it gets back when
 * this goes: Split() runs start on the second (what it forks stays there),
 * then keeps this thread on the first; with one processor it only runs start. */
class Processors {
public:
    Processors() {
        (void)sched_getaffinity(0, sizeof(was_), &was_); // left empty when it fails: no processor is found
        for (int cpu = 0; cpu < CPU_SETSIZE && cpus_.size() < 2U; ++cpu) {
            if (CPU_ISSET(cpu, &was_)) {
                cpus_.push_back(cpu);
            }
        }
    }
    ~Processors() { (void)sched_setaffinity(0, sizeof(was_), &was_); }
    bool two() const { return cpus_.size() == 2U; }
    Peer &Split(const std::function<Peer &()> &start) {
        Pin(1U);
        Peer &started = start();
        Pin(0U);
        return started;
    }

private:
    void Pin(size_t which) {
        if (two()) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpus_[which], &one);
            EXPECT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
        }
    }
    cpu_set_t was_{};
    std::vector<int> cpus_;
};

// A stream of frames sent back to back (posted in shared memory, or sharing
// datagrams): each frame still arrives once, in order, from its own block,
// among copied messages sent between them, and with a pool far smaller
// than the stream every buffer must come back from the peer to be used
// again, so none may stay lent once it is through. The pool holds more
// frames than the peer's queue (64), and the peer runs on another processor
// than this thread, so its receive thread meets a full queue again and again
// and offers frames again after yielding to the task's loop.
TEST_F(SharedBufBetween, StreamOfFramesArrivesOnceInOrderAndEveryBufferComesBack) {
    Processors cpus; // with one processor the queue still fills, and the link pauses
    Peer &peer = cpus.Split([&]() -> Peer & { return Frames("bufpeer"); });
    if (cpus.two()) { // the peer's receive thread tells this process apart as this thread tells it
        EXPECT_TRUE(IpcSysCpusApart(static_cast<uint32_t>(peer.Pid())));
        EXPECT_FALSE(IpcSysCpusApart(static_cast<uint32_t>(getpid())));
    }
    constexpr uint32_t kFrames = 2000U;
    constexpr uint32_t kSize = 64U * 1024U;
    constexpr uint32_t kPoolMb = 8U; // 128 frames, twice what the peer's queue holds
    ASSERT_EQ(OsMsgBufSetPoolLimit(kPoolMb), OS_MSG_OK);
    for (uint32_t seq = 0U; seq < kFrames; ++seq) {
        MsgHead head;
        if (seq % 5U == 4U) { // runs of one and two copies (the second one batched behind the first)
            uint8_t copy[16];
            frame_roles::StampFrame(copy, sizeof(copy), seq);
            carrier_proto::FillHead(&head, kSelf, "bufpeer", "frames", frame_roles::kStamped, copy, sizeof(copy));
            ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK) << "copy " << seq;
            if (seq % 10U == 9U || ++seq == kFrames) {
                continue;
            }
            frame_roles::StampFrame(copy, sizeof(copy), seq);
            ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK) << "copy " << seq;
            continue;
        }
        void *data = nullptr;
        ASSERT_EQ(OsMsgBufAllocTimed(kSize, &data, kWaitMs), OS_MSG_OK) << "frame " << seq;
        frame_roles::StampFrame(static_cast<uint8_t *>(data), kSize, seq);
        carrier_proto::FillHead(&head, kSelf, "bufpeer", "frames", frame_roles::kStamped, data, kSize);
        ASSERT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_OK) << "frame " << seq;
    }
    std::string stamps;
    EXPECT_TRUE(WaitUntil([&] {
        unsigned taken = 0U;
        peer.Send("stamps");
        stamps = peer.Expect("stamps");
        return std::sscanf(stamps.c_str(), "stamps %u", &taken) == 1 && taken >= kFrames;
    }));
    EXPECT_EQ(stamps, "stamps " + std::to_string(kFrames) + " 0"); // none lost, repeated, reordered or torn
    EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; }));
    EXPECT_LE(Pool().segments, kPoolMb);
}

// Frames posted while the receiving thread was held up (a callback served
// on it ran long) are all taken before the datagrams sent after them,
// however many wait: a receiver that took only a burst of them first
// delivered those messages ahead of the rest. The ring fills on the way, and
// the frames that find it full go by datagram, in their place.
TEST_F(SharedBufBetween, PostsPiledUpBehindABusyReceiverStillGoBeforeTheNextDatagram) {
    Peer &peer = Frames("bufpeer");
    constexpr uint32_t kPosted = 300U; // more than the ring's 256
    constexpr uint32_t kSize = 4096U;
    uint32_t seq = 0U;
    auto sendFrame = [&seq] {
        void *data = nullptr;
        ASSERT_EQ(OsMsgBufAllocTimed(kSize, &data, kWaitMs), OS_MSG_OK) << "frame " << seq;
        frame_roles::StampFrame(static_cast<uint8_t *>(data), kSize, seq);
        MsgHead head;
        carrier_proto::FillHead(&head, kSelf, "bufpeer", "frames", frame_roles::kStamped, data, kSize);
        ASSERT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_OK) << "frame " << seq;
        ++seq;
    };
    auto taken = [&peer] {
        unsigned n = 0U;
        peer.Send("stamps");
        return std::sscanf(peer.Expect("stamps").c_str(), "stamps %u", &n) == 1 ? n : 0U;
    };
    sendFrame(); // its datagram passes the lane: the peer reads the ring from then on
    ASSERT_TRUE(WaitUntil([&] { return taken() == 1U; }));
    uint32_t stallMs = 300U;
    MsgHead stall;
    carrier_proto::FillHead(&stall, kSelf, "bufpeer", frame_roles::kStallTask, 1U, &stallMs, sizeof(stallMs));
    ASSERT_EQ(OsMsgAsynSend(&stall), OS_MSG_OK);
    while (seq <= kPosted) {
        sendFrame();
    }
    uint8_t copy[16];
    frame_roles::StampFrame(copy, sizeof(copy), seq++);
    MsgHead head;
    carrier_proto::FillHead(&head, kSelf, "bufpeer", "frames", frame_roles::kStamped, copy, sizeof(copy));
    ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
    EXPECT_TRUE(WaitUntil([&] { return taken() >= seq; }));
    peer.Send("stamps");
    EXPECT_EQ(peer.Expect("stamps"), "stamps " + std::to_string(seq) + " 0"); // none lost, repeated or reordered
    EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; }));
}

/* Fills the first len bytes of the file fd with the pattern of seed; true
 * when it could. */
bool FillFile(int fd, uint32_t len, uint32_t seed) {
    void *map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        return false;
    }
    carrier_proto::FillPattern(static_cast<uint8_t *>(map), len, seed);
    return munmap(map, len) == 0;
}

/* Sends kFdMsg to bufpeer with fds, the first holding note.len bytes
 * patterned with note.seed, and payloadLen patterned bytes after the
 * note. */
uint32_t SendFds(const std::vector<int> &fds, FdNote note, uint32_t payloadLen) {
    std::vector<uint8_t> payload(sizeof(note) + payloadLen);
    std::memcpy(payload.data(), &note, sizeof(note));
    carrier_proto::FillPattern(payload.data() + sizeof(note), payloadLen, kFdMsg);
    MsgHead head;
    carrier_proto::FillHead(&head, kSelf, "bufpeer", "frames", kFdMsg, payload.data(), (uint32_t)payload.size());
    return OsMsgAsynSendFds(&head, fds.data(), (uint32_t)fds.size());
}

// A memory file sent with a message is read on the other side; the
// descriptor the callback did not take is closed there, and a payload too
// large to go with descriptors in one datagram still arrives whole.
TEST_F(SharedBufBetween, MemoryFileTravelsWithAMessageAndTheRestAreClosed) {
    Peer &peer = Frames("bufpeer");
    const uint32_t fileLen = 65536U;
    int memfd = memfd_create("travelling", MFD_CLOEXEC);
    ASSERT_GE(memfd, 0);
    ASSERT_EQ(ftruncate(memfd, fileLen), 0);
    ASSERT_TRUE(FillFile(memfd, fileLen, 7U));
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    peer.Send("fdcount");
    const std::string before = peer.Expect("fdcount");
    ASSERT_EQ(SendFds({memfd, pipeFds[0]}, FdNote{fileLen, 7U}, 100U), OS_MSG_OK);
    EXPECT_EQ(peer.Expect("fds"), "fds 2 1 1");
    ASSERT_EQ(SendFds({memfd, pipeFds[0]}, FdNote{fileLen, 7U}, 200U * 1024U), OS_MSG_OK);
    EXPECT_EQ(peer.Expect("fds"), "fds 2 1 1");
    // The callback reports before it returns, and the library closes the
    // pipe it did not take once it has.
    EXPECT_TRUE(WaitUntil([&] {
        peer.Send("fdcount");
        return peer.Expect("fdcount") == before;
    }));
    EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; }));
    for (int fd : {memfd, pipeFds[0], pipeFds[1]}) {
        (void)close(fd);
    }
}

// A TCP connection over loopback whose client end, once its last
// descriptor is closed, lingers up to lingerS seconds over data the server
// end does not read. Closing the server end ends that wait at once.
struct LingeringSocket {
    int listener = -1;
    int client = -1;
    int server = -1;

    explicit LingeringSocket(int lingerS) {
        const int small = 4096;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t addrLen = sizeof(addr);
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const linger lingering{1, lingerS};
        if (listener < 0 || client < 0 || setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small)) != 0 ||
            bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &addrLen) != 0 ||
            setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)) != 0 ||
            connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
            (server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) < 0 ||
            setsockopt(client, SOL_SOCKET, SO_LINGER, &lingering, sizeof(lingering)) != 0 ||
            fcntl(client, F_SETFL, O_NONBLOCK) != 0) {
            return;
        }
        char chunk[4096] = {0};
        while (write(client, chunk, sizeof(chunk)) > 0) {
        }
    }
    ~LingeringSocket() {
        for (int fd : {client, server, listener}) {
            if (fd >= 0) {
                (void)close(fd);
            }
        }
    }
    bool ready() const { return server >= 0; }
};

// A descriptor whose close waits (a socket lingering over data its peer
// does not read) holds up no message: the receiving process closes it off
// its receive thread, which goes on carrying calls meanwhile; and its
// teardown waits for that close a bounded time, not for as long as it takes.
TEST_F(SharedBufBetween, ADescriptorWhoseCloseWaitsHoldsUpNeitherMessagesNorTeardown) {
    Peer &peer = Frames("bufpeer");
    LingeringSocket socket(5); // the close waits up to 5 s
    ASSERT_TRUE(socket.ready());
    // To the task served on the peer's receive thread, which takes no
    // descriptor and holds that thread 200 ms: time enough for this process
    // to close its own, so that the peer's close is the last.
    uint32_t stallMs = 200U;
    MsgHead head = From("bufpeer", frame_roles::kStallTask, 1U, &stallMs, sizeof(stallMs));
    ASSERT_EQ(OsMsgAsynSendFds(&head, &socket.client, 1U), OS_MSG_OK);
    (void)close(socket.client);
    socket.client = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(carrier_test::TakesBetween(std::chrono::milliseconds(0), std::chrono::milliseconds(1500), [&] {
        for (uint64_t i = 0U; i < 5U; ++i) {
            MsgHead call = From("bufpeer", "frames", carrier_proto::kCall, &i, sizeof(i));
            MsgHead *resp = nullptr;
            ASSERT_EQ(OsMsgSynSend(&call, &resp, 5000U), OS_MSG_OK) << "call " << i;
            EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
        }
    })) << "the calls waited for the close";
    // The peer tears down (its standard input closes) while the close still
    // waits: its carrier gives the closer a second, then ends.
    EXPECT_TRUE(carrier_test::TakesBetween(std::chrono::milliseconds(0), std::chrono::milliseconds(2500), [&] {
        peer.Stop();
    })) << "the teardown waited for the close";
    EXPECT_EQ(peer.Wait(), 0) << "the peer did not leave by itself";
}

TEST_F(SharedBufBetween, DmabufFromAHeapTravelsWithAMessage) {
    int heap = open("/dev/dma_heap/system", O_RDONLY | O_CLOEXEC);
    if (heap < 0) {
        GTEST_SKIP() << "no /dev/dma_heap/system on this machine";
    }
    Peer &peer = Frames("bufpeer");
    const uint32_t len = 1U << 20;
    struct dma_heap_allocation_data alloc = {};
    alloc.len = len;
    alloc.fd_flags = O_RDWR | O_CLOEXEC;
    ASSERT_EQ(ioctl(heap, DMA_HEAP_IOCTL_ALLOC, &alloc), 0);
    (void)close(heap);
    ASSERT_TRUE(FillFile((int)alloc.fd, len, 11U));
    ASSERT_EQ(SendFds({(int)alloc.fd}, FdNote{len, 11U}, 16U), OS_MSG_OK);
    EXPECT_EQ(peer.Expect("fds"), "fds 1 1 1");
    (void)close((int)alloc.fd);
}

} // namespace

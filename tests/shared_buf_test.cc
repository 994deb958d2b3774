// Shared buffers, descriptors with a message and byte bounds, within one
// process and through the loopback: buffers reach the receiver in place and
// intact at every size, a broadcast frame is one buffer whatever the number
// of subscribers, holds keep buffers past their callbacks and are charged to
// the tasks that made them, a full pool refuses at once and recovers, and no
// descriptor, segment mapping or tracked block outlives a test (the fixture
// counts them around every case).
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "carrier/carrier_proto.h"
#include "support/msg_test_task.h"
#include "support/process_counts.h"
#include "vyre_os_mem.h"

namespace {

using carrier_proto::FillPattern;
using carrier_proto::PatternIntact;

constexpr const char *kProc = "bufproc";
constexpr uint32_t kFrame = 0x500U, kRelease = 0x501U, kEvent = 0x502U;
constexpr uint32_t k4kFrame = 3840U * 2160U * 3U / 2U; // I420: 12,441,600 bytes

OsMsgBufPoolStats Pool() {
    OsMsgBufPoolStats stats{};
    EXPECT_EQ(OsMsgBufGetPoolStats(&stats), OS_MSG_OK);
    return stats;
}

OsMsgTaskBufStats TaskBufs(const char *task) {
    OsMsgTaskBufStats stats{};
    EXPECT_EQ(OsMsgGetTaskBufStats(task, &stats), OS_MSG_OK);
    return stats;
}

// What the tasks' callbacks saw, for the test thread to wait on.
struct Seen {
    const void *data;
    uint32_t dataLen;
    bool intact;
    std::string task;
};
std::mutex g_seenLock;
std::vector<Seen> g_seen;
TestCounter g_handled;
bool g_hold = false; // callbacks hold what they receive (set before any send)

void Note(const MsgHead *msg, bool intact) {
    {
        std::lock_guard<std::mutex> guard(g_seenLock);
        g_seen.push_back({msg->data, msg->dataLen, intact, std::string(msg->recvTaskName)});
    }
    g_handled.Add();
}

// Checks a frame stamped with its length as the pattern's seed; holds it
// when asked; a kRelease message releases the pointer it carries.
uint32_t FrameSink(MsgHead *msg) {
    if (msg->msgId == kRelease) {
        const void *held = nullptr;
        std::memcpy(&held, msg->data, sizeof(held));
        EXPECT_EQ(OsMsgBufRelease(held), OS_MSG_OK);
    } else if (g_hold) {
        EXPECT_EQ(OsMsgBufHold(msg->data), OS_MSG_OK);
    }
    Note(msg,
         msg->msgId == kRelease || PatternIntact(static_cast<const uint8_t *>(msg->data), msg->dataLen, msg->dataLen));
    return 0;
}

MsgHead FrameHead(const char *task, void *data, uint32_t len, const char *toProc = kProc) {
    MsgHead head = MakeHead(kProc, task, kFrame);
    std::strncpy(head.recvProcName, toProc, sizeof(head.recvProcName) - 1U);
    head.data = data;
    head.dataLen = len;
    return head;
}

// Joins as kProc; counts descriptors, threads and tracked blocks before, and after
// OsMsgUninit, when no segment may be mapped any more.
class SharedBuf : public ::testing::Test {
protected:
    void SetUp() override {
        counts_.Take();
        ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    }
    void TearDown() override {
        tasks_.clear();
        EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
        const OsMsgBufPoolStats pool = Pool();
        EXPECT_EQ(pool.buffersInUse, 0U);
        EXPECT_EQ(pool.segments, 0U) << "segments left mapped";
        EXPECT_EQ(MappingsOf("vyre_os_msg_buf"), 0U);
        counts_.Check();
    }
    void Start(const char *name, OsMsgTaskFunc cb, uint32_t queueLen = 0U) {
        tasks_.push_back(std::make_unique<TestTask>(name, cb, queueLen));
    }
    std::vector<std::unique_ptr<TestTask>> tasks_;

private:
    ProcessCounts counts_;
};

TEST_F(SharedBuf, ReachesTheReceiverInPlaceAndIntactFrom64BytesTo64MiB) {
    Start("rx", FrameSink);
    const uint32_t sizes[] = {64U, 4097U, 1U << 20, OS_MSG_MAX_DATA_LEN + 1U, k4kFrame, 64U << 20};
    uint64_t sent = 0U;
    for (const char *route : {kProc, "elsewhere"}) { // in-process, then through the loopback
        for (uint32_t size : sizes) {
            SCOPED_TRACE(std::string(route) + " " + std::to_string(size));
            void *data = nullptr;
            ASSERT_EQ(OsMsgBufAlloc(size, &data), OS_MSG_OK);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 4096U, 0U);
            FillPattern(static_cast<uint8_t *>(data), size, size);
            MsgHead head = FrameHead("rx", data, size, route);
            ASSERT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_OK);
            ASSERT_TRUE(g_handled.WaitFor(++sent));
            std::lock_guard<std::mutex> guard(g_seenLock);
            EXPECT_EQ(g_seen.back().data, data) << "copied instead of passed";
            EXPECT_EQ(g_seen.back().dataLen, size);
            EXPECT_TRUE(g_seen.back().intact);
        }
    }
    // Each went back to the pool once its callback had returned.
    EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; }));
}

TEST_F(SharedBuf, SegmentsAreSealedAgainstShrinkingAndGrowing) {
    void *data = nullptr;
    ASSERT_EQ(OsMsgBufAlloc(4096U, &data), OS_MSG_OK);
    int segments = 0;
    DIR *dir = opendir("/proc/self/fd");
    ASSERT_NE(dir, nullptr);
    while (const dirent *entry = readdir(dir)) {
        char target[256] = {0};
        std::string path = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(path.c_str(), target, sizeof(target) - 1U) <= 0 ||
            std::string(target).rfind("/memfd:vyre_os_msg_buf", 0) != 0) {
            continue;
        }
        ++segments;
        int fd = std::atoi(entry->d_name);
        EXPECT_EQ(fcntl(fd, F_GET_SEALS), F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
        EXPECT_NE(ftruncate(fd, 0), 0);
        EXPECT_NE(ftruncate(fd, 1 << 30), 0);
        EXPECT_NE(fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE), 0);
        EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
    }
    closedir(dir);
    EXPECT_EQ(segments, 1);
    // Mapped from a memory file, which has no name in /dev/shm or anywhere.
    EXPECT_EQ(MappingsOf("/memfd:vyre_os_msg_buf"), 1U);
    EXPECT_EQ(MappingsOf("/dev/shm/"), 0U);
    EXPECT_EQ(OsMsgBufFree(data), OS_MSG_OK);
}

// One frame to three subscribers: one buffer, each subscriber holding it,
// back in the pool only once the last has released it, in every order.
TEST_F(SharedBuf, BroadcastFrameIsOneBufferUntilTheLastSubscriberReleasesIt) {
    g_hold = true;
    const char *subs[] = {"s0", "s1", "s2"};
    for (const char *sub : subs) {
        Start(sub, FrameSink);
        MsgSubEntry entry{kEvent, 0U, {}, "pub", {}};
        std::strcpy(entry.procName, kProc);
        std::strcpy(entry.subTaskName, sub);
        ASSERT_EQ(OsMsgSubscribeEvent(&entry, 1U), OS_MSG_OK);
    }
    std::vector<int> order = {0, 1, 2};
    uint64_t handled = 0U;
    do {
        void *data = nullptr;
        ASSERT_EQ(OsMsgBufAlloc(300000U, &data), OS_MSG_OK);
        FillPattern(static_cast<uint8_t *>(data), 300000U, 300000U);
        MsgBroEntry event{"pub", kEvent, 300000, data};
        ASSERT_EQ(OsMsgBroadcastEventBuf(&event), OS_MSG_OK);
        handled += 3U;
        ASSERT_TRUE(g_handled.WaitFor(handled));
        for (const char *sub : subs) {
            EXPECT_EQ(TaskBufs(sub).buffersHeld, 1U) << sub;
        }
        for (size_t i = 0; i < order.size(); ++i) {
            EXPECT_EQ(Pool().buffersInUse, 1U);
            MsgHead release = MakeHead(kProc, subs[order[i]], kRelease, sizeof(void *));
            release.data = &data;
            ASSERT_EQ(OsMsgAsynSend(&release), OS_MSG_OK);
            ASSERT_TRUE(g_handled.WaitFor(++handled));
            EXPECT_EQ(TaskBufs(subs[order[i]]).buffersHeld, 0U) << "released the task's own hold";
        }
        EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; }));
    } while (std::next_permutation(order.begin(), order.end()));
    std::lock_guard<std::mutex> guard(g_seenLock);
    for (const Seen &seen : g_seen) {
        EXPECT_TRUE(seen.intact) << seen.task;
    }
}

TEST_F(SharedBuf, FullPoolRefusesAtOnceOrWaitsAndRecoversAsHoldsAreReleased) {
    g_hold = true;
    Start("rx", FrameSink);
    ASSERT_EQ(OsMsgBufSetPoolLimit(1U), OS_MSG_OK);
    // 64 KiB buffers share 1 MiB segments: sixteen fill the pool, held by rx.
    std::vector<void *> held;
    void *data = nullptr;
    while (held.size() < 100U && OsMsgBufAlloc(65536U, &data) == OS_MSG_OK) {
        held.push_back(data);
        MsgHead head = FrameHead("rx", data, 65536U);
        FillPattern(static_cast<uint8_t *>(data), 65536U, 65536U);
        ASSERT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_OK);
    }
    ASSERT_EQ(held.size(), 16U);
    EXPECT_EQ(OsMsgBufAlloc(65536U, &data), OS_MSG_ERR_FULL);
    EXPECT_EQ(Pool().refusedFull, 2U);
    ASSERT_TRUE(g_handled.WaitFor(16U));
    EXPECT_EQ(TaskBufs("rx").buffersHeld, 16U);
    EXPECT_EQ(TaskBufs("rx").bytesHeld, 16U * 65536U);
    // A producer that would rather wait waits out its own time, refused once.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OsMsgBufAllocTimed(65536U, &data, 50U), OS_MSG_ERR_FULL);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(Pool().refusedFull, 3U);
    // The test thread, which is no task, releases one of rx's holds: the
    // block is given out again (a producer waiting meanwhile is woken:
    // SharedBufBetween.FullPoolRefusesAtOnceNamesItsHolderAndRecovers).
    EXPECT_EQ(OsMsgBufRelease(held[3]), OS_MSG_OK);
    ASSERT_EQ(OsMsgBufAlloc(65536U, &data), OS_MSG_OK) << "a released block is reused";
    EXPECT_EQ(TaskBufs("rx").buffersHeld, 15U);
    EXPECT_EQ(Pool().refusedFull, 3U);
    ASSERT_EQ(OsMsgBufFree(data), OS_MSG_OK);
    for (size_t i = 0; i < held.size(); ++i) {
        EXPECT_EQ(OsMsgBufRelease(held[i]), i == 3U ? OS_MSG_ERR_INVALID_PARAM : OS_MSG_OK);
    }
    // Another class needs the bytes of the now free segment: it is unmapped.
    ASSERT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; })); // the loop's last release
    ASSERT_EQ(OsMsgBufAlloc(100000U, &data), OS_MSG_OK);
    EXPECT_EQ(Pool().segments, 1U);
    EXPECT_EQ(OsMsgBufFree(data), OS_MSG_OK);
}

TEST_F(SharedBuf, RefusedSendsLeaveTheBufferWithItsOwner) {
    Start("rx", FrameSink, 1U);
    char onStack[64] = {0};
    void *data = nullptr;
    ASSERT_EQ(OsMsgBufAlloc(8192U, &data), OS_MSG_OK);
    FillPattern(static_cast<uint8_t *>(data), 8192U, 100U);
    MsgHead head = FrameHead("rx", onStack, sizeof(onStack));
    EXPECT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_ERR_INVALID_PARAM);
    head = FrameHead("rx", static_cast<char *>(data) + 100, 8093U);
    EXPECT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_ERR_OVERSIZE);
    head = FrameHead("nobody", data, 100U);
    EXPECT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_ERR_NOT_FOUND);
    // Still the owner's: a message from the middle of it is accepted.
    head = FrameHead("rx", static_cast<char *>(data) + 100, 100U);
    ASSERT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_OK);
    EXPECT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_ERR_INVALID_PARAM) << "sent twice";
    EXPECT_EQ(OsMsgBufFree(data), OS_MSG_ERR_INVALID_PARAM) << "freed after it was given away";
    ASSERT_TRUE(g_handled.WaitFor(1U));
    EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 0U; }));
}

std::atomic<bool> g_gateOpen{false};

TEST_F(SharedBuf, ByteBoundCountsQueuedPayloadsAndHeldBuffers) {
    Start("slow", [](MsgHead *msg) { // waits at a gate, so that its queue fills
        while (!g_gateOpen.load()) {
            std::this_thread::yield();
        }
        Note(msg, true);
        return 0U;
    });
    ASSERT_EQ(OsMsgSetTaskByteLimit("slow", 10000U), OS_MSG_OK);
    std::vector<char> payload(4000U, 'p');
    MsgHead head = MakeHead(kProc, "slow", 1U, 4000U);
    head.data = payload.data();
    ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK); // taken at once into the gated callback
    ASSERT_TRUE(WaitUntil([] { return TaskBufs("slow").bytesQueued == 0U; }));
    ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
    ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
    EXPECT_EQ(OsMsgAsynSend(&head), OS_MSG_ERR_FULL);
    OsMsgTaskBufStats bytes = TaskBufs("slow");
    EXPECT_EQ(bytes.bytesQueued, 8000U);
    EXPECT_EQ(bytes.refusedBytes, 1U);
    OsMsgTaskStats stats{};
    ASSERT_EQ(OsMsgGetTaskStats("slow", &stats), OS_MSG_OK);
    EXPECT_EQ(stats.refusedFull, 1U);
    g_gateOpen = true;
    ASSERT_TRUE(g_handled.WaitFor(3U));
    // A queue with nothing queued or held takes one message of any size.
    void *data = nullptr;
    ASSERT_EQ(OsMsgBufAlloc(20000U, &data), OS_MSG_OK);
    MsgHead frame = FrameHead("slow", data, 10U);
    ASSERT_EQ(OsMsgAsynSendBuf(&frame), OS_MSG_OK);
    ASSERT_TRUE(g_handled.WaitFor(4U));
    ASSERT_EQ(OsMsgSetTaskByteLimit("slow", 0U), OS_MSG_OK);
    EXPECT_EQ(TaskBufs("slow").byteLimit, 0U);
    // A buffer a task holds counts against its bound until released.
    Start("keeper", [](MsgHead *msg) {
        if (msg->msgId == kFrame) {
            EXPECT_EQ(OsMsgBufHold(msg->data), OS_MSG_OK);
        }
        Note(msg, true);
        return 0U;
    });
    ASSERT_EQ(OsMsgSetTaskByteLimit("keeper", 70000U), OS_MSG_OK);
    ASSERT_EQ(OsMsgBufAlloc(65536U, &data), OS_MSG_OK);
    frame = FrameHead("keeper", data, 65536U);
    ASSERT_EQ(OsMsgAsynSendBuf(&frame), OS_MSG_OK);
    ASSERT_TRUE(g_handled.WaitFor(5U));
    EXPECT_EQ(TaskBufs("keeper").bytesHeld, 65536U);
    payload.resize(5000U, 'p');
    head = MakeHead(kProc, "keeper", 1U, 5000U);
    head.data = payload.data();
    EXPECT_EQ(OsMsgAsynSend(&head), OS_MSG_ERR_FULL);
    ASSERT_EQ(OsMsgBufRelease(data), OS_MSG_OK);
    EXPECT_EQ(TaskBufs("keeper").bytesHeld, 0U);
    EXPECT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
    ASSERT_TRUE(g_handled.WaitFor(6U));
    // A task removed while it holds a buffer leaves the hold valid, charged
    // to no task.
    ASSERT_EQ(OsMsgBufAlloc(4096U, &data), OS_MSG_OK);
    frame = FrameHead("keeper", data, 4096U);
    ASSERT_EQ(OsMsgAsynSendBuf(&frame), OS_MSG_OK);
    ASSERT_TRUE(g_handled.WaitFor(7U));
    tasks_.clear();
    EXPECT_TRUE(WaitUntil([] { return Pool().buffersInUse == 1U; }));
    EXPECT_EQ(OsMsgBufRelease(data), OS_MSG_OK);
    EXPECT_EQ(Pool().buffersInUse, 0U);
}

uint32_t SweepingHolder(MsgHead *msg) {
    const uint64_t before = UsedBlocks();
    int holds = SweepAllocFailures([&] { return OsMsgBufHold(msg->data); },
                                   [&](int, bool failed, uint32_t ret) {
                                       EXPECT_EQ(ret, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK);
                                       if (failed) {
                                           EXPECT_EQ(UsedBlocks(), before);
                                           EXPECT_EQ(TaskBufs("holder").buffersHeld, 0U);
                                       }
                                   });
    EXPECT_EQ(holds, 1);
    EXPECT_EQ(TaskBufs("holder").buffersHeld, 1U);
    EXPECT_EQ(OsMsgBufRelease(msg->data), OS_MSG_OK);
    EXPECT_EQ(UsedBlocks(), before);
    Note(msg, true);
    return 0;
}

TEST_F(SharedBuf, AllocationFailuresLeaveNothingBehind) {
    Start("rx", FrameSink);
    const uint64_t start = UsedBlocks();
    void *data = nullptr;
    int allocs = SweepAllocFailures([&] { return OsMsgBufAlloc(65536U, &data); },
                                    [&](int, bool failed, uint32_t ret) {
                                        if (failed) {
                                            EXPECT_EQ(ret, OS_MSG_ERR_NO_MEMORY);
                                            EXPECT_EQ(UsedBlocks(), start);
                                            EXPECT_EQ(Pool().segments, 0U);
                                        }
                                    });
    EXPECT_EQ(allocs, 2); // the segment's record and the segment table
    uint64_t sent = 0U;
    for (const char *route : {kProc, "elsewhere"}) {
        const uint64_t before = UsedBlocks();
        FillPattern(static_cast<uint8_t *>(data), 65536U, 65536U);
        MsgHead head = FrameHead("rx", data, 65536U, route);
        SweepAllocFailures([&] { return OsMsgAsynSendBuf(&head); },
                           [&](int, bool failed, uint32_t ret) {
                               if (failed) {
                                   EXPECT_EQ(ret, OS_MSG_ERR_NO_MEMORY);
                                   EXPECT_EQ(UsedBlocks(), before);
                                   EXPECT_EQ(Pool().buffersInUse, 1U);
                               } else {
                                   EXPECT_EQ(ret, OS_MSG_OK);
                               }
                           });
        ASSERT_TRUE(g_handled.WaitFor(++sent));
        // The loop releases the message's cargo after its callback.
        ASSERT_TRUE(WaitUntil([&] { return Pool().buffersInUse == 0U && UsedBlocks() == before; }));
        ASSERT_EQ(OsMsgBufAlloc(65536U, &data), OS_MSG_OK);
    }
    // A thread that is no task holds without a record; a task's first hold
    // of a buffer makes one, and that hold fails whole (SweepingHolder).
    const uint64_t before = UsedBlocks();
    int holds = SweepAllocFailures(
        [&] { return OsMsgBufHold(data); },
        [&](int, bool failed, uint32_t ret) { EXPECT_EQ(ret, failed ? OS_MSG_ERR_NO_MEMORY : OS_MSG_OK); });
    EXPECT_EQ(holds, 0);
    EXPECT_EQ(OsMsgBufRelease(data), OS_MSG_OK);
    EXPECT_EQ(UsedBlocks(), before);
    Start("holder", SweepingHolder);
    MsgHead head = FrameHead("holder", data, 65536U);
    ASSERT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_OK);
    ASSERT_TRUE(g_handled.WaitFor(3U));
}

// ---------------------------------------------------------------------------
// Descriptors with a message

std::atomic<int> g_takeFds{0}; // how many descriptors the callback takes

uint32_t FdReader(MsgHead *msg) {
    EXPECT_EQ(OsMsgFdCount(msg), msg->msgId);
    std::string text;
    for (int i = 0; i < g_takeFds.load(); ++i) {
        int fd = OsMsgTakeFd(msg, static_cast<uint32_t>(i));
        EXPECT_GE(fd, 0);
        char buf[64] = {0};
        ssize_t n = pread(fd, buf, sizeof(buf) - 1U, 0);
        text += n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
        EXPECT_EQ(OsMsgTakeFd(msg, static_cast<uint32_t>(i)), -1) << "taken twice";
        close(fd);
    }
    EXPECT_EQ(OsMsgTakeFd(msg, OS_MSG_MAX_FDS), -1);
    Note(msg, text == std::string(static_cast<size_t>(g_takeFds.load()), 'm'));
    return 0;
}

TEST_F(SharedBuf, MemoryFileTravelsWithAMessageAndTheRestAreClosed) {
    Start("fds", FdReader);
    int files[3];
    for (int &fd : files) {
        fd = memfd_create("test", MFD_CLOEXEC);
        ASSERT_EQ(write(fd, "m", 1U), 1);
    }
    for (int take : {0, 1, 3}) { // none taken, one of three, all
        g_takeFds = take;
        for (const char *route : {kProc, "elsewhere"}) {
            MsgHead head = FrameHead("fds", const_cast<char *>("hello"), 5U, route);
            head.msgId = 3U; // the descriptors it carries
            const uint64_t before = g_handled.Value();
            ASSERT_EQ(OsMsgAsynSendFds(&head, files, 3U), OS_MSG_OK);
            ASSERT_TRUE(g_handled.WaitFor(before + 1U));
            std::lock_guard<std::mutex> guard(g_seenLock);
            EXPECT_TRUE(g_seen.back().intact) << take << " " << route;
        }
    }
    EXPECT_EQ(OsMsgFdCount(nullptr), 0U);
    MsgHead outside = MakeHead(kProc, "fds", 0U);
    EXPECT_EQ(OsMsgTakeFd(&outside, 0U), -1) << "not a callback's message";
    for (int fd : files) {
        close(fd);
    }
}

TEST_F(SharedBuf, DescriptorsAndBuffersOfRefusedAndDroppedMessagesAreFreed) {
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    MsgHead head = MakeHead(kProc, "nobody", 2U);
    EXPECT_EQ(OsMsgAsynSendFds(&head, pipeFds, 2U), OS_MSG_ERR_NOT_FOUND);
    const int bad[1] = {1000};
    EXPECT_EQ(OsMsgAsynSendFds(&head, bad, 1U), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(OsMsgAsynSendFds(&head, pipeFds, OS_MSG_MAX_FDS + 1U), OS_MSG_ERR_INVALID_PARAM);
    // Tasks whose loops never run: a queue of two takes two messages and
    // refuses the next; removal drops those waiting, teardown another.
    ASSERT_EQ(OsMsgRegTask("idle", 2U, FdReader), OS_MSG_OK);
    ASSERT_EQ(OsMsgRegTask("late", 1U, FdReader), OS_MSG_OK);
    head = MakeHead(kProc, "idle", 2U);
    ASSERT_EQ(OsMsgAsynSendFds(&head, pipeFds, 2U), OS_MSG_OK);
    void *data = nullptr;
    ASSERT_EQ(OsMsgBufAlloc(65536U, &data), OS_MSG_OK);
    MsgHead frame = FrameHead("idle", data, 65536U);
    ASSERT_EQ(OsMsgAsynSendBuf(&frame), OS_MSG_OK);
    EXPECT_EQ(OsMsgAsynSendFds(&head, pipeFds, 2U), OS_MSG_ERR_FULL);
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, "idle"), OS_MSG_OK);
    EXPECT_EQ(Pool().buffersInUse, 0U) << "the dropped message's buffer";
    head = MakeHead(kProc, "late", 2U);
    ASSERT_EQ(OsMsgAsynSendFds(&head, pipeFds, 2U), OS_MSG_OK);
    close(pipeFds[0]);
    close(pipeFds[1]);
    // TearDown's OsMsgUninit drops the last one, and counts the descriptors.
}

// Descriptors waiting for a task that does not keep up cannot crowd the
// process's table: past a quarter of its limit, messages with descriptors
// are refused as full (messages without go on), and once the task has
// worked them down they are taken again.
TEST_F(SharedBuf, DescriptorsWaitingForASlowTaskStopAtAQuarterOfTheProcesssLimit) {
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit lowered = saved;
    lowered.rlim_cur = 512U; // a bound of 128; this process has far fewer open
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    // Given back however the test ends: the tests after it need the usual limit.
    std::unique_ptr<struct rlimit, void (*)(struct rlimit *)> restore(
        &saved, [](struct rlimit *limit) { EXPECT_EQ(setrlimit(RLIMIT_NOFILE, limit), 0); });
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    std::vector<int> sixteen(OS_MSG_MAX_FDS, pipeFds[0]);
    ASSERT_EQ(OsMsgRegTask("slow", 1024U, FdReader), OS_MSG_OK);
    int32_t taskFd = -1;
    ASSERT_EQ(OsMsgTaskFd("slow", &taskFd), OS_MSG_OK);
    g_takeFds = 0;
    MsgHead head = MakeHead(kProc, "slow", OS_MSG_MAX_FDS);
    uint32_t accepted = 0U;
    uint32_t ret = OS_MSG_OK;
    while (accepted < 1024U && (ret = OsMsgAsynSendFds(&head, sixteen.data(), OS_MSG_MAX_FDS)) == OS_MSG_OK) {
        ++accepted;
    }
    EXPECT_EQ(ret, OS_MSG_ERR_FULL);
    EXPECT_EQ(accepted * OS_MSG_MAX_FDS, 128U) << "descriptors queued before the first refusal";
    MsgHead plain = MakeHead(kProc, "slow", 0U);
    EXPECT_EQ(OsMsgAsynSend(&plain), OS_MSG_OK) << "a message without descriptors still goes";
    uint32_t handled = 0U;
    ASSERT_EQ(OsMsgTaskHandle("slow", 2048U, &handled), OS_MSG_OK);
    EXPECT_EQ(handled, accepted + 1U);
    EXPECT_EQ(OsMsgAsynSendFds(&head, sixteen.data(), OS_MSG_MAX_FDS), OS_MSG_OK);
    ASSERT_EQ(OsMsgTaskHandle("slow", 1U, &handled), OS_MSG_OK);
    EXPECT_EQ(handled, 1U);
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, "slow"), OS_MSG_OK);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

} // namespace

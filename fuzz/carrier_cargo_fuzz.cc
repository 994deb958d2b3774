/*
 * The socket carrier's receive handling of shared buffers and descriptors
 * from arbitrary datagrams: the records a peer process could send with the
 * descriptors it could pass (segments announced with a memory file, messages
 * naming blocks and carrying descriptors, references given back, segments
 * given up), through the framing's receive handling and the link's sink
 * into the task queues and the parks of full queues.
 *
 * Input: byte 0 chooses whether the parked messages are retried after the
 * queues were emptied (bit 0; else the link's pause runs out), whether the
 * datagram comes on a dialled link (bit 1: the side that lent references 1
 * to 3 of this process's buffer, which a RELEASE or its release lane gives
 * back) rather than an accepted one, and how many descriptors come with it
 * (bits 2-4, 0 to 7); byte 1 says what the first four are, two bits each: 0
 * a read-only descriptor of this process's buffer segment (1 MiB, blocks of
 * 8 KiB, as an owner passes it), 1 a memory file that is not sealed, 2 a
 * pipe, 3 a release lane as an owner makes it (with its post ring); the
 * others are of the first kind. The rest is the datagram, in a heap block of
 * exactly its length.
 *
 * Posts (bit 5 of byte 0): bytes 2 and 3 are then the datagram's length
 * (little-endian), and what follows the datagram is what the owner of the
 * lanes does with their post rings once the datagram was handled (a lane
 * record on an accepted link opens its ring). A step starts with a byte n:
 * 1 to 248, a post of the n bytes after the next one, which is its tag's
 * distance from the datagrams read (signed: a post ahead of them waits);
 * 0, a write of the owner's own (the peer's memory is not to be trusted):
 * n bytes (third byte) at twice the offset in the next two (little-endian)
 * into the lane, anywhere; 255, the receive loop's pass over the rings;
 * else, its arming of the bells before it sleeps. The rings are read to
 * their end when the connection ends, as the loop does.
 *
 * Every run starts on fresh links (socket pairs whose other ends take what
 * the links send back) and ends with their parks dropped, the queues
 * emptied and the links closed; then no descriptor may be open that was not
 * open before, no segment or lane mapped that was not before, and this
 * process's buffer back to its owner's one reference.
 */
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "shared_buf/sbuf_lane.h"
#include "shared_buf/sbuf_pool.h"
#include "shared_buf/sbuf_share.h"
#include "shared_buf/sbuf_sys.h"
#include "transport/ipc_msg.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_link.h"
#include "transport/unix/ipc_link_gate.h"
#include "transport/unix/ipc_link_park.h"
#include "transport/unix/ipc_link_share.h"
#include "transport/unix/ipc_post.h"

namespace {

// The sender is of the own user, whom the access policy lets in, so that
// its messages reach the checks behind the gate.
const uint32_t kUid = (uint32_t)getuid();
const uint32_t kGid = (uint32_t)getgid();

/* Require, naming the check that failed. */
#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "check failed: %s\n", #condition);                                                         \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

constexpr uint32_t kBlockBytes = 8192U;

void *g_buffer = nullptr; /* this process's buffer, lent on the dialled link */
SbufBlock *g_block = nullptr;
int g_segmentFd = -1;   /* its segment's read-write descriptor (the pool's) */
size_t g_fds = 0U;      /* descriptors open between runs */
size_t g_mappings = 0U; /* segment mappings between runs (the pool's own) */

/* A lane the run passed, as its owner keeps it: to post into, and mapped
 * once more to write into as a hostile owner would. */
struct OwnedLane {
    SbufLane *lane;
    uint8_t *bytes;
    uint32_t size;
};
std::vector<OwnedLane> g_lanes;

size_t OpenFds() {
    size_t n = 0U;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (const dirent *entry = readdir(dir)) {
            n += entry->d_name[0] != '.' ? 1U : 0U;
        }
        closedir(dir);
    }
    return n;
}

/* Names what the process has open, for a failed check. */
void ListFds() {
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (const dirent *entry = readdir(dir)) {
            char path[300];
            char target[256] = {0};
            snprintf(path, sizeof(path), "/proc/self/fd/%s", entry->d_name);
            if (entry->d_name[0] != '.' && readlink(path, target, sizeof(target) - 1) > 0) {
                fprintf(stderr, "open: %s -> %s\n", entry->d_name, target);
            }
        }
        closedir(dir);
    }
}

/* Mappings of memory files: segments, lanes, and those the runs pass. */
size_t SegmentMappings() {
    size_t n = 0U;
    if (FILE *maps = fopen("/proc/self/maps", "r")) {
        char line[512];
        while (fgets(line, sizeof(line), maps) != nullptr) {
            n += strstr(line, "/memfd:") != nullptr ? 1U : 0U;
        }
        fclose(maps);
    }
    return n;
}

IpcLink *PairedLink(IpcLinkKind kind, int *other) {
    int fds[2];
    Require(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0);
    *other = fds[1];
    IpcLink *link = IpcLinkCreate(fds[0], kind, 77U, kUid);
    Require(link != nullptr);
    return link;
}

int MemoryFile(size_t bytes) {
    int fd = memfd_create("fuzz", MFD_CLOEXEC);
    Require(fd >= 0 && ftruncate(fd, (off_t)bytes) == 0);
    return fd;
}

/* A new lane of an owner, kept in g_lanes; its descriptor. */
int OwnerLane() {
    int fd = -1;
    SbufLane *lane = SbufLaneCreate(&fd);
    Require(lane != nullptr);
    const uint32_t size = SbufLaneBytes();
    void *bytes = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    Require(bytes != MAP_FAILED);
    g_lanes.push_back({lane, static_cast<uint8_t *>(bytes), size});
    return fd;
}

void FreeOwnerLanes() {
    for (const OwnedLane &owned : g_lanes) {
        SbufLaneFree(owned.lane);
        munmap(owned.bytes, owned.size);
    }
    g_lanes.clear();
}

/* The owner's steps at the lanes' post rings (see the input above). */
void RunPosts(IpcLink *link, const uint8_t *steps, size_t n) {
    alignas(8) uint8_t rec[SBUF_POST_RECORD_MAX];
    size_t i = 0U;
    while (i < n) {
        const uint8_t step = steps[i++];
        if (step >= 1U && step <= SBUF_POST_RECORD_MAX) {
            if (n - i < 1U + step) {
                return;
            }
            const uint32_t tag = link->recv.datagrams + (uint32_t)(int32_t)(int8_t)steps[i];
            memcpy(rec, steps + i + 1, step);
            i += 1U + step;
            for (const OwnedLane &owned : g_lanes) {
                bool ring = false;
                (void)SbufLanePost(owned.lane, rec, step, tag, &ring);
            }
        } else if (step == 0U) {
            if (n - i < 3U || n - i - 3U < steps[i + 2]) {
                return;
            }
            const uint32_t at = 2U * (steps[i] | (uint32_t)steps[i + 1] << 8U);
            const uint32_t len = steps[i + 2];
            for (const OwnedLane &owned : g_lanes) {
                if (at <= owned.size && len <= owned.size - at) {
                    memcpy(owned.bytes + at, steps + i + 3, len);
                }
            }
            i += 3U + len;
        } else if (step == 255U) {
            IpcPostPoll();
        } else {
            (void)IpcPostArm();
        }
    }
}

/* A descriptor of the kind kinds names for index i. */
int Descriptor(uint8_t kinds, uint32_t i) {
    switch (i < 4U ? (kinds >> (2U * i)) & 3U : 0U) {
    case 1U:
        return MemoryFile(1U << 20);
    case 2U: {
        int pipeFds[2];
        Require(pipe2(pipeFds, O_CLOEXEC) == 0);
        close(pipeFds[1]);
        return pipeFds[0];
    }
    case 3U:
        return OwnerLane();
    default:
        return SbufSysReopenReadOnly(g_segmentFd);
    }
}

void Drain(int fd) {
    uint8_t buf[4096];
    while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

/* Lends this process's buffer three times on link (references 1 to 3). */
void LendThrice(IpcLink *link) {
    SbufShare *share = IpcLinkShareOf(link, "peer");
    Require(share != nullptr);
    for (uint32_t i = 0U; i < 3U; ++i) {
        SbufLend lend;
        Require(SbufShareLend(share, g_block, g_buffer, &lend) == OS_MSG_OK && lend.refId == i + 1U);
        SbufShareLent(share, &lend, g_block);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    SetUpTwoTaskProcess();
    IpcGateOpen("proc", 0U);
    rebuildEntry = new rebuildmsg::MsgRebuildRecvData();
    Require(SbufAlloc(kBlockBytes, &g_buffer) == OS_MSG_OK);
    memset(g_buffer, 'b', kBlockBytes);
    SbufLock();
    g_block = SbufFindLocked(g_buffer);
    g_segmentFd = g_block->segment->fd;
    SbufUnlock();
    // The first lend opens the segment's read-only descriptor, which the
    // pool keeps for the segment's life, before any run counts.
    int other = -1;
    IpcLink *link = PairedLink(IPC_LINK_DIALLED, &other);
    LendThrice(link);
    IpcLinkShareClose(link);
    IpcLinkRelease(link);
    close(other);
    g_mappings = SegmentMappings();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > IPC_FRAME_DATAGRAM_MAX + 2U) {
        return 0;
    }
    // Counted per run: libFuzzer may have started its symbolizer, with pipes
    // of its own, since the last one.
    g_fds = OpenFds();
    const bool retry = (data[0] & 1U) != 0U;
    const bool dialled = (data[0] & 2U) != 0U;
    const uint32_t fdCount = (data[0] >> 2U) & 7U;
    const bool posts = (data[0] & 0x20U) != 0U;
    size_t datagramLen = size - 2U;
    const uint8_t *datagramAt = data + 2;
    if (posts) {
        if (size < 4U) {
            return 0;
        }
        datagramAt = data + 4;
        datagramLen = std::min<size_t>(size - 4U, data[2] | (size_t)data[3] << 8U);
    }
    const uint8_t *stepsAt = datagramAt + datagramLen;
    const size_t stepCount = posts ? (size_t)(data + size - stepsAt) : 0U;
    int other = -1;
    IpcLink *link = PairedLink(dialled ? IPC_LINK_DIALLED : IPC_LINK_ACCEPTED, &other);
    if (dialled) {
        LendThrice(link);
    }
    std::vector<int> fds;
    for (uint32_t i = 0U; i < fdCount; ++i) {
        fds.push_back(Descriptor(data[1], i));
    }
    std::vector<uint8_t> datagram(datagramAt, datagramAt + datagramLen);
    IpcFrameSink sink;
    IpcParkSinkInit(&sink, link, 77U, kUid, kGid);
    IpcFrameFds carried = {fds.data(), (uint32_t)fds.size(), 0U};
    sink.fds = fds.empty() ? nullptr : &carried;
    uint32_t handled = IpcFrameRecvDatagram(rebuildEntry, datagram.empty() ? nullptr : datagram.data(),
                                            (uint32_t)datagram.size(), &sink);
    CHECK(handled <= datagram.size() && sink.offered == nullptr);
    CHECK(carried.next <= carried.count);
    for (int fd : fds) { // as the receive loop does: what no record took is closed
        if (fd >= 0) {
            close(fd);
        }
    }
    if (handled < datagram.size()) {
        IpcParkKeepRest(link, datagram.data() + handled, (uint32_t)(datagram.size() - handled), 77U, kUid, kGid);
    }
    (void)IpcParkAfterDatagram(link);
    RunPosts(link, stepsAt, stepCount);
    (void)IpcPostDrain(link, true);
    (void)IpcPostTakeHanded();
    if (retry) {
        ResetTwoTasks();
        IpcParkRetry();
    } else {
        (void)IpcParkResumeDue(UINT64_MAX);
    }
    IpcParkDropLink(link);
    ResetTwoTasks();
    IpcLinkShareClose(link);
    IpcLinkRelease(link);
    Drain(other);
    close(other);
    IpcFrameDropAllPartials(rebuildEntry);
    FreeOwnerLanes();
    if (OpenFds() != g_fds) {
        ListFds();
    }
    CHECK(OpenFds() == g_fds);
    CHECK(SegmentMappings() == g_mappings);
    OsMsgBufPoolStats pool;
    SbufGetStats(&pool);
    CHECK(pool.buffersInUse == 1U);
    SbufLock();
    CHECK(g_block->refs == 1U);
    SbufUnlock();
    return 0;
}

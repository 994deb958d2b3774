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
 * pipe, 3 a sealed memory file of 4 KiB set up as a release lane of 512
 * slots; the others are of the first kind. The rest is the datagram, in a
 * heap block of exactly its length.
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

int MemoryFile(size_t bytes, bool sealed) {
    int fd = memfd_create("fuzz", MFD_CLOEXEC | (sealed ? MFD_ALLOW_SEALING : 0U));
    Require(fd >= 0 && ftruncate(fd, (off_t)bytes) == 0);
    if (sealed) {
        const uint32_t head[2] = {SBUF_LANE_MAGIC, 512U};
        Require(pwrite(fd, head, sizeof(head), 0) == (ssize_t)sizeof(head));
        Require(fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) == 0);
    }
    return fd;
}

/* A descriptor of the kind kinds names for index i. */
int Descriptor(uint8_t kinds, uint32_t i) {
    switch (i < 4U ? (kinds >> (2U * i)) & 3U : 0U) {
    case 1U:
        return MemoryFile(1U << 20, false);
    case 2U: {
        int pipeFds[2];
        Require(pipe2(pipeFds, O_CLOEXEC) == 0);
        close(pipeFds[1]);
        return pipeFds[0];
    }
    case 3U:
        return MemoryFile(4096U, true);
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
    int other = -1;
    IpcLink *link = PairedLink(dialled ? IPC_LINK_DIALLED : IPC_LINK_ACCEPTED, &other);
    if (dialled) {
        LendThrice(link);
    }
    std::vector<int> fds;
    for (uint32_t i = 0U; i < fdCount; ++i) {
        fds.push_back(Descriptor(data[1], i));
    }
    std::vector<uint8_t> datagram(data + 2, data + size);
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

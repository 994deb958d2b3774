// The floor between processes: what any way costs that wakes a thread of
// the sink process once per frame and hands the frame to the same sink
// element, with nothing else in between. The source process's fakesink
// hands each frame's stamp over (signal-handoffs, on the source's streaming
// thread) into a page that both processes map, and wakes the sink process's
// thread "floor" with a futex on that page, the cheapest wake-up there is
// between processes; the thread copies the stamp into a frame of its own
// (the frame's bytes are not carried: the sink element does not read them)
// and pushes it into the sink element as the library's task does. The page
// holds 32 stamps, as the shared-memory elements' area holds 32 frames: the
// source waits while the sink is that far behind.
//
// So the floor's processor time is the wake-up and the hand-off alone; a way
// whose transport cost nothing would cost that.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "media_pad_feed.h"
#include "media_roles.h"

namespace media {

namespace {

constexpr uint32_t kSlots = 32;
constexpr size_t kFrameBytes = 1920U * 1080U * 3U / 2U;
// The longest single sleep: a stop (or a lost peer) is seen within it.
constexpr long kNapNs = 100L * 1000L * 1000L;

// The page both processes map. The counters are futex words.
struct FloorPage {
    std::atomic<uint32_t> posted;       // stamps written by the source
    std::atomic<uint32_t> taken;        // frames the sink pushed
    std::atomic<uint32_t> sinkSleeps;   // the sink sleeps on posted
    std::atomic<uint32_t> sourceSleeps; // the source sleeps on taken
    uint64_t stamps[kSlots][2];
};
static_assert(sizeof(FloorPage) <= 4096, "one page");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "futex words");

std::string PagePath(const RoleArgs &args) {
    return args.dir + "/floor";
}

void Sleep(std::atomic<uint32_t> &word, uint32_t seen) {
    const struct timespec nap = {0, kNapNs};
    (void)syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT, seen, &nap, nullptr, 0);
}

void Wake(std::atomic<uint32_t> &word) {
    (void)syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// Maps the page of path, creating it when create; nullptr on failure.
FloorPage *MapPage(const std::string &path, bool create) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0), 0600);
    if (fd < 0) {
        return nullptr;
    }
    void *at = MAP_FAILED;
    if (!create || ftruncate(fd, sizeof(FloorPage)) == 0) {
        at = mmap(nullptr, sizeof(FloorPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    (void)close(fd);
    return at == MAP_FAILED ? nullptr : static_cast<FloorPage *>(at); // a new file reads as zeros
}

// The source side, on its streaming thread: the frame's stamp into the next
// slot, then the sink woken if it sleeps.
void HandOff(GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
    FloorPage *page = static_cast<FloorPage *>(data);
    const uint32_t n = page->posted.load(std::memory_order_relaxed);
    for (;;) {
        const uint32_t taken = page->taken.load(std::memory_order_acquire);
        if (n - taken < kSlots) {
            break;
        }
        page->sourceSleeps.store(1U, std::memory_order_seq_cst);
        if (page->taken.load(std::memory_order_seq_cst) == taken) {
            Sleep(page->taken, taken);
        }
    }
    uint64_t *slot = page->stamps[n % kSlots];
    if (gst_buffer_extract(buffer, 0, slot, sizeof(page->stamps[0])) != sizeof(page->stamps[0])) {
        std::memset(slot, 0, sizeof(page->stamps[0]));
    }
    page->posted.store(n + 1U, std::memory_order_seq_cst);
    if (page->sinkSleeps.load(std::memory_order_seq_cst) != 0U) {
        page->sinkSleeps.store(0U, std::memory_order_relaxed);
        Wake(page->posted);
    }
}

// The sink process's thread: each stamp into the frame, the frame into the
// sink element, until stop.
void FeedLoop(FloorPage *page, PadFeed *pad, const std::atomic<bool> *stop) {
    (void)pthread_setname_np(pthread_self(), "floor");
    std::vector<uint8_t> frame(kFrameBytes);
    uint32_t next = 0;
    while (!stop->load(std::memory_order_acquire)) {
        const uint32_t posted = page->posted.load(std::memory_order_acquire);
        if (posted == next) {
            page->sinkSleeps.store(1U, std::memory_order_seq_cst);
            if (page->posted.load(std::memory_order_seq_cst) == next) {
                Sleep(page->posted, next);
            }
            continue;
        }
        for (; next != posted; ++next) {
            std::memcpy(frame.data(), page->stamps[next % kSlots], sizeof(page->stamps[0]));
            // The sink element drops each frame before the next comes, so
            // one frame's memory serves them all.
            pad->Push(gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, frame.data(), frame.size(), 0, frame.size(),
                                                  nullptr, nullptr));
            page->taken.store(next + 1U, std::memory_order_seq_cst);
            if (page->sourceSleeps.load(std::memory_order_seq_cst) != 0U) {
                page->sourceSleeps.store(0U, std::memory_order_relaxed);
                Wake(page->taken);
            }
        }
    }
}

} // namespace

int FloorSourceRole(const RoleArgs &args) {
    FloorPage *page = nullptr;
    RoleHooks hooks;
    hooks.prepare = [&page, &args](Pipeline &pipeline) {
        page = MapPage(PagePath(args), false);
        GstElement *sink = pipeline.Element("sink");
        return page != nullptr && sink != nullptr && g_signal_connect(sink, "handoff", G_CALLBACK(HandOff), page) != 0;
    };
    const int status =
        RunSourceRole(args, "fakesink name=sink sync=false enable-last-sample=false signal-handoffs=true", hooks);
    if (page != nullptr) {
        (void)munmap(page, sizeof(FloorPage));
    }
    return status;
}

int FloorSinkRole(const RoleArgs &args) {
    if (args.encode) {
        (void)std::fprintf(stderr, "media_compare: the floor feeds no encoder\n");
        return 2;
    }
    FloorPage *page = MapPage(PagePath(args), true);
    if (page == nullptr) {
        return 1;
    }
    PadFeed pad;
    std::atomic<bool> stop{false};
    std::thread feeder;
    RoleHooks hooks;
    hooks.prepare = [&](Pipeline &pipeline) {
        if (!pad.Link(pipeline, SinkHeadName(args), FrameCaps(args))) {
            return false;
        }
        feeder = std::thread(FeedLoop, page, &pad, &stop);
        return true;
    };
    hooks.stop = [&] {
        stop.store(true, std::memory_order_release);
        Wake(page->posted);
        if (feeder.joinable()) {
            feeder.join();
        }
        pad.Drop();
    };
    const int status = RunSinkRole(args, std::string(), hooks);
    (void)munmap(page, sizeof(FloorPage));
    return status;
}

} // namespace media

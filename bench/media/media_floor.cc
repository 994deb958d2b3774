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
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "futex_ring.h"
#include "media_pad_feed.h"
#include "media_roles.h"

namespace media {

namespace {

constexpr uint32_t kSlots = 32;
constexpr size_t kFrameBytes = 1920U * 1080U * 3U / 2U;
// The longest single sleep: a stop (or a lost peer) is seen within it.
constexpr uint32_t kNapMs = 100;

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

// Sleeps while word still reads seen, with sleeps raised so that the side
// that changes word wakes it (WakeSleeper).
void SleepWhile(std::atomic<uint32_t> &word, uint32_t seen, std::atomic<uint32_t> &sleeps) {
    sleeps.store(1U, std::memory_order_seq_cst);
    if (word.load(std::memory_order_seq_cst) == seen) {
        compare::FutexWait(word, seen, kNapMs, true);
    }
}

// After word changed: wakes the side sleeping on it, if it sleeps.
void WakeSleeper(std::atomic<uint32_t> &word, std::atomic<uint32_t> &sleeps) {
    if (sleeps.load(std::memory_order_seq_cst) != 0U && sleeps.exchange(0U) != 0U) {
        compare::FutexWakeAll(word, true);
    }
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
        SleepWhile(page->taken, taken, page->sourceSleeps);
    }
    uint64_t *slot = page->stamps[n % kSlots];
    if (gst_buffer_extract(buffer, 0, slot, sizeof(page->stamps[0])) != sizeof(page->stamps[0])) {
        std::memset(slot, 0, sizeof(page->stamps[0]));
    }
    page->posted.store(n + 1U, std::memory_order_seq_cst);
    WakeSleeper(page->posted, page->sinkSleeps);
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
            SleepWhile(page->posted, next, page->sinkSleeps);
            continue;
        }
        for (; next != posted; ++next) {
            std::memcpy(frame.data(), page->stamps[next % kSlots], sizeof(page->stamps[0]));
            // The sink element drops each frame before the next comes, so
            // one frame's memory serves them all.
            pad->Push(gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, frame.data(), frame.size(), 0, frame.size(),
                                                  nullptr, nullptr));
            page->taken.store(next + 1U, std::memory_order_seq_cst);
            WakeSleeper(page->taken, page->sourceSleeps);
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
        compare::FutexWakeAll(page->posted, true);
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

// The library's way between processes: in the source process videotestsrc
// renders each frame into a shared buffer of the library's pool (the
// shared-frame pool is offered to it through the allocation query of the
// library's sink element, media_frame_sink.h), and that element's render
// sends that very buffer to task "frames" of the sink process
// (OsMsgAsynSendBuf): no copy. In the sink process the task's callback
// holds the frame (OsMsgBufHold), wraps it read-only as a GstBuffer whose
// release gives the hold back (OsMsgBufRelease), and pushes it into the sink
// element. The task is served on the carrier's receive thread
// (OsMsgTaskServeOnReceive), so the frame reaches the pad on the thread that
// received it; with --feed thread the task has a thread of its own instead,
// and with --feed appsrc the callback pushes into appsrc, as an application
// would that keeps GStreamer's threads apart from the library's. The task's
// queue is bounded to 32 frames' bytes, as the shared-memory elements' area
// holds 32 frames.
//
// Both processes use the Unix-socket carrier with the pass's scratch
// directory as their run directory.
#include <gst/app/gstappsrc.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "compare_harness.h"
#include "library_member.h"
#include "media_frame_pool.h"
#include "media_frame_sink.h"
#include "media_pad_feed.h"
#include "media_roles.h"

namespace media {

namespace {

constexpr const char *kSourceProc = "msrc";
constexpr const char *kSinkProc = "msink";
constexpr const char *kSinkTask = "frames";
constexpr uint32_t kQueueDepth = 64;
constexpr uint64_t kQueueBytes = 32ULL * 4U * 1024U * 1024U;

// Where the sink task's callback puts each frame: into appsrc, whose own
// streaming thread pushes it on, or straight into the sink element's pad from
// the task's thread, one thread hand-off less.
struct Feed {
    GstElement *appsrc = nullptr;
    PadFeed pad;
    uint32_t warmup = 0;
    // The thread that runs the task's callback only, read once the
    // membership ended: whether the thread has its name (the receive thread
    // has its own; a task thread of its own is named "task:frames"), and the
    // time from each measured frame's stamp to the callback (the library's
    // part of the latency), in microseconds.
    bool named = false;
    std::vector<double> arrivalUs;
};

// The sink process's feed while the task may push into it.
std::atomic<Feed *> g_feed{nullptr};

void ReleaseFrame(gpointer data) {
    (void)OsMsgBufRelease(data);
}

uint32_t PushFrame(MsgHead *msg) {
    Feed *feed = g_feed.load(std::memory_order_acquire);
    if (feed == nullptr) {
        return 0;
    }
    if (OsMsgBufHold(msg->data) != OS_MSG_OK) {
        std::fprintf(stderr, "media_compare: a frame did not come in a shared buffer\n");
        return 0;
    }
    uint64_t stamp[2] = {0, 0};
    if (msg->dataLen >= sizeof(stamp)) {
        std::memcpy(stamp, msg->data, sizeof(stamp));
        if (stamp[0] >= feed->warmup) {
            feed->arrivalUs.push_back(static_cast<double>(compare::NowNs() - stamp[1]) / 1000.0);
        }
    }
    GstBuffer *buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, msg->data, msg->dataLen, 0, msg->dataLen,
                                                    msg->data, ReleaseFrame);
    if (!feed->named) {
        feed->named = pthread_setname_np(pthread_self(), "task:frames") == 0; // for --threads
    }
    if (feed->appsrc != nullptr) {
        (void)gst_app_src_push_buffer(GST_APP_SRC(feed->appsrc), buffer);
        return 0;
    }
    feed->pad.Push(buffer);
    return 0;
}

} // namespace

int LibrarySourceRole(const RoleArgs &args) {
    compare::Membership member(kSourceProc, args.dir.c_str());
    if (!member.joined()) {
        return 1;
    }
    GstBufferPool *pool = NewSharedFramePool();
    gst_object_ref_sink(pool);
    const int status =
        RegisterFrameSink(pool, FrameSinkTarget{kSourceProc, kSinkProc, kSinkTask})
            ? RunSourceRole(args, "vyreframesink name=sink sync=false enable-last-sample=false", RoleHooks{})
            : 1;
    gst_object_unref(pool);
    return status;
}

int LibrarySinkRole(const RoleArgs &args) {
    auto member = std::make_unique<compare::Membership>(kSinkProc, args.dir.c_str());
    if (!member->AddTask(kSinkTask, kQueueDepth, PushFrame, args.feed != "thread") ||
        OsMsgSetTaskByteLimit(kSinkTask, kQueueBytes) != OS_MSG_OK) {
        return 1;
    }
    const bool viaAppsrc = args.feed == "appsrc";
    Feed feed;
    feed.warmup = args.warmup;
    feed.named = args.feed != "thread";
    feed.arrivalUs.reserve(args.frames);
    RoleHooks hooks;
    hooks.prepare = [&feed, &args, viaAppsrc](Pipeline &pipeline) {
        feed.appsrc = viaAppsrc ? pipeline.Element("src") : nullptr;
        if (viaAppsrc ? feed.appsrc == nullptr : !feed.pad.Link(pipeline, SinkHeadName(args), FrameCaps(args))) {
            return false;
        }
        g_feed.store(&feed, std::memory_order_release);
        return true;
    };
    hooks.stop = [&member, &feed, &args] {
        g_feed.store(nullptr, std::memory_order_release);
        member.reset(); // leaves the membership and joins the task's loop before the pipeline goes
        feed.pad.Drop();
        if (args.threads) {
            std::fprintf(stderr, "  %-16s latency p50 from the stamp to the task's callback: %.1f us\n",
                         args.role.c_str(), compare::Quantile(feed.arrivalUs, 0.5));
        }
    };
    const std::string appsrc = "appsrc name=src format=time max-bytes=0 block=false caps=" + FrameCaps(args);
    return RunSinkRole(args, viaAppsrc ? appsrc : std::string(), hooks);
}

} // namespace media

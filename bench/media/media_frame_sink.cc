// The library's frame sink element (see media_frame_sink.h).
#include "media_frame_sink.h"

#include <gst/base/gstbasesink.h>
#include <gst/video/video.h>
#include <sched.h>

#include <cstdio>

#include "compare_harness.h"
#include "library_member.h"
#include "media_frame_pool.h"
#include "vyre_os_msg.h"

namespace media {

namespace {

constexpr uint64_t kFullWaitNs = 2000000000ULL;

GstBufferPool *g_pool = nullptr;
FrameSinkTarget g_target{};

// Sends the shared buffer data of len bytes to the target task, waiting
// while its queue is full (at most two seconds).
bool SendFrame(void *data, uint32_t len) {
    MsgHead model{};
    compare::CopyName(model.sendProcName, g_target.sendProc);
    compare::CopyName(model.recvProcName, g_target.recvProc);
    compare::CopyName(model.recvTaskName, g_target.recvTask);
    model.msgId = 1;
    model.data = data;
    model.dataLen = len;
    const uint64_t deadline = compare::NowNs() + kFullWaitNs;
    for (;;) {
        MsgHead head = model;
        const uint32_t ret = OsMsgAsynSendBuf(&head);
        if (ret == OS_MSG_OK) {
            return true;
        }
        if (ret != OS_MSG_ERR_FULL || compare::NowNs() >= deadline) {
            std::fprintf(stderr, "media_compare: frame not sent: 0x%x\n", ret);
            return false;
        }
        sched_yield();
    }
}

struct VyreFrameSink {
    GstBaseSink parent;
};

struct VyreFrameSinkClass {
    GstBaseSinkClass parent_class;
};

GType vyre_frame_sink_get_type();
G_DEFINE_TYPE(VyreFrameSink, vyre_frame_sink, GST_TYPE_BASE_SINK)

GstFlowReturn vyre_frame_sink_render(GstBaseSink *, GstBuffer *buffer) {
    void *data = SharedFrameOf(buffer);
    if (data == nullptr) {
        std::fprintf(stderr, "media_compare: a frame was not rendered into a shared buffer\n");
        return GST_FLOW_ERROR;
    }
    if (!SendFrame(data, static_cast<uint32_t>(gst_buffer_get_size(buffer)))) {
        return GST_FLOW_ERROR;
    }
    MarkSharedFrameSent(buffer);
    return GST_FLOW_OK;
}

gboolean vyre_frame_sink_propose_allocation(GstBaseSink *, GstQuery *query) {
    GstCaps *caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    GstVideoInfo video;
    if (caps == nullptr || !gst_video_info_from_caps(&video, caps)) {
        return FALSE;
    }
    gst_query_add_allocation_pool(query, g_pool, static_cast<guint>(video.size), 0, 0);
    return TRUE;
}

void vyre_frame_sink_class_init(VyreFrameSinkClass *klass) {
    static GstStaticPadTemplate sinkTemplate =
        GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
    GstElementClass *element = GST_ELEMENT_CLASS(klass);
    gst_element_class_set_static_metadata(element, "Library frame sink", "Sink/Video",
                                          "Sends each frame in a shared buffer to a task of another process",
                                          "libvyre_os_msg benchmarks");
    gst_element_class_add_static_pad_template(element, &sinkTemplate);
    GstBaseSinkClass *base = GST_BASE_SINK_CLASS(klass);
    base->render = vyre_frame_sink_render;
    base->propose_allocation = vyre_frame_sink_propose_allocation;
}

void vyre_frame_sink_init(VyreFrameSink *) {}

} // namespace

bool RegisterFrameSink(GstBufferPool *pool, const FrameSinkTarget &target) {
    g_pool = pool;
    g_target = target;
    return gst_element_register(nullptr, "vyreframesink", GST_RANK_NONE, vyre_frame_sink_get_type()) != FALSE;
}

} // namespace media

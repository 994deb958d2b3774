// The buffer pool of shared buffers (see media_frame_pool.h).
#include "media_frame_pool.h"

#include <atomic>
#include <cstdio>

#include "compare_harness.h"
#include "vyre_os_msg.h"

namespace media {

namespace {

constexpr uint32_t kFullWaitMs = 2000U;

// One frame's shared buffer, the user data of its GstMemory.
struct SharedFrame {
    void *data;
    std::atomic<bool> sent{false};
};

GQuark FrameQuark() {
    static const GQuark quark = g_quark_from_static_string("vyre-shared-frame");
    return quark;
}

void DropFrame(gpointer user) {
    SharedFrame *frame = static_cast<SharedFrame *>(user);
    if (!frame->sent.load(std::memory_order_acquire)) {
        (void)OsMsgBufFree(frame->data);
    }
    delete frame;
}

void *AllocWaiting(uint32_t size) {
    void *data = nullptr;
    const uint32_t ret = OsMsgBufAllocTimed(size, &data, kFullWaitMs);
    if (ret != OS_MSG_OK) {
        std::fprintf(stderr, "media_compare: no shared buffer of %u bytes: 0x%x\n", size, ret);
        return nullptr;
    }
    return data;
}

} // namespace

} // namespace media

// The GObject type: a GstBufferPool that remembers the frame size of its
// configuration.
struct VyreSharedFramePool {
    GstBufferPool parent;
    guint size;
};

struct VyreSharedFramePoolClass {
    GstBufferPoolClass parent_class;
};

G_DEFINE_TYPE(VyreSharedFramePool, vyre_shared_frame_pool, GST_TYPE_BUFFER_POOL)

static gboolean vyre_shared_frame_pool_set_config(GstBufferPool *pool, GstStructure *config) {
    GstCaps *caps = nullptr;
    guint size = 0, min = 0, max = 0;
    if (!gst_buffer_pool_config_get_params(config, &caps, &size, &min, &max) || size == 0) {
        return FALSE;
    }
    reinterpret_cast<VyreSharedFramePool *>(pool)->size = size;
    return GST_BUFFER_POOL_CLASS(vyre_shared_frame_pool_parent_class)->set_config(pool, config);
}

static GstFlowReturn vyre_shared_frame_pool_acquire(GstBufferPool *pool, GstBuffer **buffer,
                                                    GstBufferPoolAcquireParams *) {
    const guint size = reinterpret_cast<VyreSharedFramePool *>(pool)->size;
    void *data = media::AllocWaiting(size);
    if (data == nullptr) {
        return GST_FLOW_ERROR;
    }
    auto *frame = new media::SharedFrame{data};
    GstBuffer *out =
        gst_buffer_new_wrapped_full(static_cast<GstMemoryFlags>(0), data, size, 0, size, frame, media::DropFrame);
    gst_mini_object_set_qdata(GST_MINI_OBJECT(gst_buffer_peek_memory(out, 0)), media::FrameQuark(), frame, nullptr);
    *buffer = out;
    return GST_FLOW_OK;
}

// A buffer coming back is not kept: its memory goes with it (DropFrame).
static void vyre_shared_frame_pool_release(GstBufferPool *, GstBuffer *buffer) {
    gst_buffer_unref(buffer);
}

static void vyre_shared_frame_pool_class_init(VyreSharedFramePoolClass *klass) {
    GstBufferPoolClass *pool = GST_BUFFER_POOL_CLASS(klass);
    pool->set_config = vyre_shared_frame_pool_set_config;
    pool->acquire_buffer = vyre_shared_frame_pool_acquire;
    pool->release_buffer = vyre_shared_frame_pool_release;
}

static void vyre_shared_frame_pool_init(VyreSharedFramePool *pool) {
    pool->size = 0;
}

namespace media {

GstBufferPool *NewSharedFramePool() {
    return GST_BUFFER_POOL(g_object_new(vyre_shared_frame_pool_get_type(), nullptr));
}

void *SharedFrameOf(GstBuffer *buffer) {
    if (gst_buffer_n_memory(buffer) != 1) {
        return nullptr;
    }
    auto *frame = static_cast<SharedFrame *>(
        gst_mini_object_get_qdata(GST_MINI_OBJECT(gst_buffer_peek_memory(buffer, 0)), FrameQuark()));
    return frame != nullptr ? frame->data : nullptr;
}

void MarkSharedFrameSent(GstBuffer *buffer) {
    auto *frame = static_cast<SharedFrame *>(
        gst_mini_object_get_qdata(GST_MINI_OBJECT(gst_buffer_peek_memory(buffer, 0)), FrameQuark()));
    if (frame != nullptr) {
        frame->sent.store(true, std::memory_order_release);
    }
}

} // namespace media

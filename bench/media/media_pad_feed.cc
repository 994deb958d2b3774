// A pad of a role's own feeding the sink process's pipeline (see
// media_pad_feed.h).
#include "media_pad_feed.h"

namespace media {

namespace {

// The sticky events a stream starts with, before its first frame.
bool StartStream(GstPad *pad, const std::string &frameCaps) {
    GstCaps *caps = gst_caps_from_string(frameCaps.c_str());
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    const bool ok = gst_pad_push_event(pad, gst_event_new_stream_start("frames")) &&
                    gst_pad_push_event(pad, gst_event_new_caps(caps)) &&
                    gst_pad_push_event(pad, gst_event_new_segment(&segment));
    gst_caps_unref(caps);
    return ok;
}

} // namespace

bool PadFeed::Link(Pipeline &pipeline, const char *head, const std::string &frameCaps) {
    GstElement *sink = pipeline.Element(head);
    GstPad *sinkPad = sink != nullptr ? gst_element_get_static_pad(sink, "sink") : nullptr;
    if (sinkPad == nullptr) {
        return false;
    }
    caps_ = frameCaps;
    pad_ = GST_PAD(gst_object_ref_sink(gst_pad_new("frames", GST_PAD_SRC)));
    const bool ok = gst_pad_link(pad_, sinkPad) == GST_PAD_LINK_OK && gst_pad_set_active(pad_, TRUE);
    gst_object_unref(sinkPad);
    return ok;
}

void PadFeed::Push(GstBuffer *buffer) {
    if (!started_) {
        started_ = StartStream(pad_, caps_);
    }
    (void)gst_pad_push(pad_, buffer);
}

void PadFeed::Drop() {
    if (pad_ == nullptr) {
        return;
    }
    (void)gst_pad_set_active(pad_, FALSE);
    GstPad *peer = gst_pad_get_peer(pad_);
    if (peer != nullptr) {
        (void)gst_pad_unlink(pad_, peer);
        gst_object_unref(peer);
    }
    gst_object_unref(pad_);
    pad_ = nullptr;
}

} // namespace media

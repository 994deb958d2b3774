// A pad of a role's own that feeds the head element of the sink process's
// pipeline (the fakesink, or the encoder before it): a way that receives
// frames outside GStreamer pushes them into it from its own thread, with the
// sticky events a stream starts with before the first frame.
#ifndef VYRE_BENCH_MEDIA_PAD_FEED_H
#define VYRE_BENCH_MEDIA_PAD_FEED_H

#include <gst/gst.h>

#include <string>

#include "media_roles.h"

namespace media {

class PadFeed {
public:
    PadFeed() = default;
    ~PadFeed() { Drop(); }
    PadFeed(const PadFeed &) = delete;
    PadFeed &operator=(const PadFeed &) = delete;

    // Links a new source pad to the sink pad of element head of pipeline;
    // frameCaps go with the stream's start. false when it cannot be linked.
    bool Link(Pipeline &pipeline, const char *head, const std::string &frameCaps);
    // Pushes buffer (taking it), after the stream's start on the first call.
    void Push(GstBuffer *buffer);
    // Unlinks and drops the pad; nothing may push any more.
    void Drop();

private:
    GstPad *pad_ = nullptr;
    std::string caps_;
    bool started_ = false;
};

} // namespace media

#endif

// "vyreframesink": the library's sink element for the source process, a
// GstBaseSink as shmsink is one. Its render sends each frame, rendered into
// a shared buffer of the library's pool (media_frame_pool.h), to a task of
// another process with OsMsgAsynSendBuf: no copy, no queue of its own, on
// the streaming thread. Its allocation proposal offers that pool, so the
// source renders into shared buffers.
//
// appsink would do the same from its new-sample callback, but queues each
// frame and makes a sample of it first: 24 us more per frame from the
// stamp to the send at 60 fps here, on the source's streaming thread, where
// shmsink has none of it.
#ifndef VYRE_BENCH_MEDIA_FRAME_SINK_H
#define VYRE_BENCH_MEDIA_FRAME_SINK_H

#include <gst/gst.h>

namespace media {

// Where the element's frames go; set before the pipeline starts.
struct FrameSinkTarget {
    const char *sendProc;
    const char *recvProc;
    const char *recvTask;
};

// Registers the element for this process, with its pool and its target
// (both kept by the caller for the life of the pipelines); false when
// registration failed.
bool RegisterFrameSink(GstBufferPool *pool, const FrameSinkTarget &target);

} // namespace media

#endif

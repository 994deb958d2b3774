// A GstBufferPool whose buffers are the library's shared buffers, so that
// an element upstream (videotestsrc) renders each frame straight into the
// memory that is then sent to another process without a copy.
//
// Unlike an ordinary pool it hands out a fresh shared buffer
// (OsMsgBufAlloc) for every acquisition and never reuses one itself: once a
// frame is sent its memory belongs to the library, which gives it back to
// the process's pool of shared buffers when the receiver released it, and
// the next OsMsgBufAlloc finds it there; that pool is the one that recycles.
// A frame that is dropped before it was sent goes back with OsMsgBufFree
// when its GstBuffer goes.
//
// Acquisition waits while the library's pool is full (every frame at the
// receiver), at most two seconds, then fails the stream. Thread-safe as
// GstBufferPool is; SharedFrameOf and MarkSharedFrameSent from the thread
// that owns the buffer.
#ifndef VYRE_BENCH_MEDIA_FRAME_POOL_H
#define VYRE_BENCH_MEDIA_FRAME_POOL_H

#include <gst/gst.h>

namespace media {

// A new pool (floating reference, as gst_buffer_pool_new gives).
GstBufferPool *NewSharedFramePool();

// The first byte of the shared buffer behind buffer when it came from such a
// pool; nullptr otherwise.
void *SharedFrameOf(GstBuffer *buffer);

// Notes that a send took the shared buffer behind buffer: when buffer goes,
// its memory is no longer given back.
void MarkSharedFrameSent(GstBuffer *buffer);

} // namespace media

#endif

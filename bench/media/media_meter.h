// What a way's two processes measure of the frames that pass them.
//
// The source side stamps each frame as soon as it is ready (rendered, before
// it is handed to the element that ships it): its sequence number and the
// CLOCK_MONOTONIC time go into the frame's first 16 bytes, so the stamp
// travels inside the frame by whatever road the way takes. The sink side
// reads the stamp when its sink element sees the frame: it checks that every
// frame arrives once and in order, and notes the time from stamp to sink.
//
// Both sides measure over the same window of frames, from frame warmup to
// the last one: processor time of the whole process (every thread), and on
// the source side that of the source's streaming thread alone (it renders
// the frame, stamps it and runs the shipping element's hand-off).
//
// OnFrame runs on one streaming thread at a time; the figures are read by
// the role's main thread once it knows the last frame went by (end of stream
// on the source's bus, Wait on the sink side).
#ifndef VYRE_BENCH_MEDIA_METER_H
#define VYRE_BENCH_MEDIA_METER_H

#include <gst/gst.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace media {

// The processor time of each thread of the process, by name: one snapshot.
struct ThreadTime {
    int tid;
    std::string name;
    uint64_t ns;
};
std::vector<ThreadTime> SnapshotThreads();

// Writes to standard error, for each thread of the process that ran between
// the snapshots begin and end, its processor time per frame over frames
// frames, prefixed with who (where the time of a way goes).
void PrintThreadTimes(const char *who, const std::vector<ThreadTime> &begin, const std::vector<ThreadTime> &end,
                      double frames);

// Calls onFrame(buffer, user) for every buffer that passes pad padName of
// element; false when it has no such pad.
bool ProbeBuffers(GstElement *element, const char *padName, void (*onFrame)(GstBuffer *, void *), void *user);

class SourceMeter {
public:
    // threads: also take a snapshot of every thread's time at the window's
    // edges.
    SourceMeter(uint32_t frames, uint32_t warmup, bool threads) : frames_(frames), warmup_(warmup), threads_(threads) {}
    // On the source's streaming thread, once per frame as it is ready.
    void OnFrame(GstBuffer *buffer);
    // Process and streaming-thread processor time over the window, in ns;
    // false when a frame could not be stamped or the window was not seen.
    bool Figures(std::vector<double> &out) const;
    // The snapshots, when asked for: at the window's start and end.
    const std::vector<ThreadTime> &threadsBegin() const { return threadsBegin_; }
    const std::vector<ThreadTime> &threadsEnd() const { return threadsEnd_; }

private:
    const uint32_t frames_;
    const uint32_t warmup_;
    const bool threads_;
    std::vector<ThreadTime> threadsBegin_;
    std::vector<ThreadTime> threadsEnd_;
    uint64_t seq_ = 0;
    uint64_t processBegin_ = 0;
    uint64_t threadBegin_ = 0;
    uint64_t processEnd_ = 0;
    uint64_t threadEnd_ = 0;
    bool failed_ = false;
};

class SinkMeter {
public:
    // encoded: the frames reach the sink encoded, their stamps having been
    // taken before the encoder (OnRawFrame), which gets them fps apart.
    SinkMeter(uint32_t frames, uint32_t warmup, bool threads, bool encoded, uint32_t fps);
    // On the sink's streaming thread, once per frame it sees.
    void OnFrame(GstBuffer *buffer);
    // Before the encoder, once per raw frame: takes its stamp (the encoder
    // gives one frame out per frame in, in order: no frame reordering at
    // zero latency) and gives it a time stamp, which the encoder needs.
    void OnRawFrame(GstBuffer *buffer);
    // Waits until the last frame went by or a frame came out of order, at
    // most timeoutMs; true when every frame came once and in order.
    bool Wait(int timeoutMs);
    // Once Wait returned true: frames per second over the window, latency
    // p50 and p99 in microseconds, the process's processor time over the
    // window in ns.
    std::vector<double> Figures() const;
    const std::vector<ThreadTime> &threadsBegin() const { return threadsBegin_; }
    const std::vector<ThreadTime> &threadsEnd() const { return threadsEnd_; }

private:
    void Finish(bool ok);

    const uint32_t frames_;
    const uint32_t warmup_;
    const bool threads_;
    const bool encoded_;
    const uint32_t fps_;
    std::mutex rawMutex_; // guards raw_ between the encoder's input and the sink
    std::deque<std::array<uint64_t, 2>> raw_;
    uint64_t rawSeq_ = 0; // the encoder input's thread only
    std::vector<ThreadTime> threadsBegin_;
    std::vector<ThreadTime> threadsEnd_;
    uint64_t next_ = 0;
    std::vector<double> latencyUs_;
    uint64_t timeBegin_ = 0;
    uint64_t timeEnd_ = 0;
    uint64_t processBegin_ = 0;
    uint64_t processEnd_ = 0;
    std::mutex mutex_; // guards done_ and ok_ for Wait
    std::condition_variable cond_;
    bool done_ = false;
    bool ok_ = false;
};

// The processor time of the calling thread, in ns.
uint64_t ThreadCpuNs();

} // namespace media

#endif

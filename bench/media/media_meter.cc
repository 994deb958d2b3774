// Stamps, order checks and processor time of the frames of a way (see
// media_meter.h).
#include "media_meter.h"

#include <dirent.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "compare_harness.h"

namespace media {

namespace {

constexpr size_t kStampBytes = 16;

struct ProbeTarget {
    void (*onFrame)(GstBuffer *, void *);
    void *user;
};

GstPadProbeReturn OnProbe(GstPad *, GstPadProbeInfo *info, gpointer data) {
    const ProbeTarget *target = static_cast<const ProbeTarget *>(data);
    target->onFrame(GST_PAD_PROBE_INFO_BUFFER(info), target->user);
    return GST_PAD_PROBE_OK;
}

void FreeTarget(gpointer data) {
    delete static_cast<ProbeTarget *>(data);
}

} // namespace

bool ProbeBuffers(GstElement *element, const char *padName, void (*onFrame)(GstBuffer *, void *), void *user) {
    GstPad *pad = gst_element_get_static_pad(element, padName);
    if (pad == nullptr) {
        return false;
    }
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, OnProbe, new ProbeTarget{onFrame, user}, FreeTarget);
    gst_object_unref(pad);
    return true;
}

std::vector<ThreadTime> SnapshotThreads() {
    std::vector<ThreadTime> out;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return out;
    }
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        ThreadTime t{std::atoi(entry->d_name), std::string(), 0};
        std::ifstream comm(base + "/comm");
        std::ifstream sched(base + "/schedstat");
        if (std::getline(comm, t.name) && (sched >> t.ns)) {
            out.push_back(t);
        }
    }
    closedir(dir);
    return out;
}

void PrintThreadTimes(const char *who, const std::vector<ThreadTime> &begin, const std::vector<ThreadTime> &end,
                      double frames) {
    for (const ThreadTime &e : end) {
        uint64_t before = 0;
        for (const ThreadTime &b : begin) {
            before = b.tid == e.tid ? b.ns : before;
        }
        if (e.ns > before) {
            std::fprintf(stderr, "  %-16s thread %-16s %8.1f us per frame\n", who, e.name.c_str(),
                         static_cast<double>(e.ns - before) / frames / 1000.0);
        }
    }
}

uint64_t ThreadCpuNs() {
    timespec ts{};
    (void)clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

void SourceMeter::OnFrame(GstBuffer *buffer) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        failed_ = true;
        return;
    }
    if (map.size >= kStampBytes) {
        const uint64_t stamp[2] = {seq_, compare::NowNs()};
        std::memcpy(map.data, stamp, kStampBytes);
    } else {
        failed_ = true;
    }
    gst_buffer_unmap(buffer, &map);
    if (seq_ == warmup_) {
        threadsBegin_ = threads_ ? SnapshotThreads() : threadsBegin_;
        processBegin_ = compare::ProcessCpuNs();
        threadBegin_ = ThreadCpuNs();
    } else if (seq_ + 1 == frames_) {
        processEnd_ = compare::ProcessCpuNs();
        threadEnd_ = ThreadCpuNs();
        threadsEnd_ = threads_ ? SnapshotThreads() : threadsEnd_;
    }
    ++seq_;
}

bool SourceMeter::Figures(std::vector<double> &out) const {
    if (failed_ || processEnd_ == 0) {
        return false;
    }
    out = {static_cast<double>(processEnd_ - processBegin_), static_cast<double>(threadEnd_ - threadBegin_)};
    return true;
}

SinkMeter::SinkMeter(uint32_t frames, uint32_t warmup, bool threads, bool encoded, uint32_t fps)
    : frames_(frames), warmup_(warmup), threads_(threads), encoded_(encoded), fps_(fps != 0 ? fps : 60U) {
    latencyUs_.reserve(frames);
}

void SinkMeter::OnRawFrame(GstBuffer *buffer) {
    std::array<uint64_t, 2> stamp{~0ULL, 0};
    (void)gst_buffer_extract(buffer, 0, stamp.data(), kStampBytes);
    if (gst_buffer_is_writable(buffer)) {
        GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(rawSeq_, GST_SECOND, fps_);
        GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale(1, GST_SECOND, fps_);
    }
    ++rawSeq_;
    std::lock_guard<std::mutex> lock(rawMutex_);
    raw_.push_back(stamp);
}

void SinkMeter::OnFrame(GstBuffer *buffer) {
    const uint64_t now = compare::NowNs();
    uint64_t stamp[2] = {~0ULL, 0};
    bool stamped = false;
    if (encoded_) {
        std::lock_guard<std::mutex> lock(rawMutex_);
        if (!raw_.empty()) {
            stamp[0] = raw_.front()[0];
            stamp[1] = raw_.front()[1];
            raw_.pop_front();
            stamped = true;
        }
    } else {
        stamped = gst_buffer_extract(buffer, 0, stamp, kStampBytes) == kStampBytes;
    }
    if (!stamped || stamp[0] != next_) {
        Finish(false);
        return;
    }
    if (next_ == warmup_) {
        threadsBegin_ = threads_ ? SnapshotThreads() : threadsBegin_;
        timeBegin_ = compare::NowNs();
        processBegin_ = compare::ProcessCpuNs();
    }
    if (next_ >= warmup_) {
        latencyUs_.push_back(static_cast<double>(now - stamp[1]) / 1000.0);
    }
    if (++next_ == frames_) {
        timeEnd_ = now;
        processEnd_ = compare::ProcessCpuNs();
        threadsEnd_ = threads_ ? SnapshotThreads() : threadsEnd_;
        Finish(true);
    }
}

void SinkMeter::Finish(bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!done_) {
        done_ = true;
        ok_ = ok;
    }
    cond_.notify_all();
}

bool SinkMeter::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; }) && ok_;
}

std::vector<double> SinkMeter::Figures() const {
    const double frames = static_cast<double>(frames_ - 1U - warmup_);
    const double seconds = static_cast<double>(timeEnd_ - timeBegin_) / 1e9;
    return {seconds > 0 ? frames / seconds : -1.0, compare::Quantile(latencyUs_, 0.50),
            compare::Quantile(latencyUs_, 0.99), static_cast<double>(processEnd_ - processBegin_)};
}

} // namespace media

/*
 * What the two processes of the second demo share: the message ids and
 * payloads they exchange, the journal through which each reports what it did
 * and what it checked.
 *
 * "camera" makes frames and publishes scene changes; "encoder" encodes the
 * frames, answers status calls and follows the scene. Each is its own
 * process, forked by the demo's main, and the library's Unix-socket carrier
 * moves every message between them.
 *
 * Thread safety: a Journal may be written from any thread of its process;
 * each record is one write() of at most PIPE_BUF bytes, so records of both
 * processes reach the shared pipe whole.
 */
#ifndef VYRE_EXAMPLES_TWO_PROCESS_DEMO_H
#define VYRE_EXAMPLES_TWO_PROCESS_DEMO_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "demo_support.h"
#include "vyre_os_msg.h"

namespace duo {

using demo::CodeName;
using demo::CopyName;
using demo::MakeHead;

constexpr char kCameraProc[] = "camera";
constexpr char kEncoderProc[] = "encoder";
constexpr char kCameraTask[] = "camera";
constexpr char kEncoderTask[] = "encoder";

enum MsgId : uint32_t {
    MSG_HELLO = 0x3000,        // encoder -> camera, synchronous: subscribed and ready for frames
    MSG_FRAME,                 // camera -> encoder: FrameHeader + pixels
    MSG_GET_STATUS,            // camera -> encoder, synchronous; answered with EncoderStatus
    MSG_BYE,                   // encoder -> camera: seen the scene change, leaving
    MSG_UHD_FRAME,             // camera -> encoder: a 4K frame in a shared buffer, UhdHeader first
    EV_SCENE_CHANGED = 0x4000, // event published by camera: SceneEvent
};

// Frames 1-5 are small previews; frame 6 is a full keyframe, larger than the
// carrier's 1 MiB datagram, so it travels in slices.
constexpr uint32_t kFrames = 6;
constexpr uint32_t kPreviewWidth = 160;
constexpr uint32_t kPreviewHeight = 120;
constexpr uint32_t kKeyWidth = 1280;
constexpr uint32_t kKeyHeight = 960;
constexpr uint32_t kCallTimeoutMs = 2000;
// How long the encoder waits for the camera process to join.
constexpr uint32_t kJoinTimeoutMs = 10000;
constexpr uint32_t kNightLux = 3;

// Then a burst of 4K I420 frames (3840x2160, 12,441,600 bytes: three times
// what a copied payload may carry), each passed by reference in a shared
// buffer at a camera's 60 frames a second.
constexpr uint32_t kUhdFrames = 30;
constexpr uint32_t kUhdBytes = 3840U * 2160U * 3U / 2U;
constexpr uint32_t kUhdIntervalUs = 1000000U / 60U;

struct UhdHeader {
    uint32_t seq;
    uint64_t sentNs; // UhdNowNs() just before the send
};
/* The monotonic clock, which both processes read alike. */
inline uint64_t UhdNowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}
/* The byte every pixel of 4K frame seq holds. */
inline uint8_t UhdPixel(uint32_t seq) {
    return static_cast<uint8_t>(seq * 37U + 1U);
}

struct FrameHeader {
    uint32_t seq;
    uint32_t width;
    uint32_t height;
    uint32_t cameraPid; // what the camera says it is; the encoder compares it with the kernel's word
    uint32_t checksum;  // over the pixels
};
struct EncoderStatus {
    uint32_t framesEncoded;
    uint32_t badFrames;
    uint32_t bytesEncoded;
};
struct SceneEvent {
    uint32_t lux;
};

inline uint32_t FrameWidth(uint32_t seq) {
    return seq == kFrames ? kKeyWidth : kPreviewWidth;
}
inline uint32_t FrameHeight(uint32_t seq) {
    return seq == kFrames ? kKeyHeight : kPreviewHeight;
}
inline uint32_t FrameBytes(uint32_t seq) {
    return static_cast<uint32_t>(sizeof(FrameHeader)) + FrameWidth(seq) * FrameHeight(seq);
}

/* A simple rolling checksum, so a byte lost or moved in transit shows. */
inline uint32_t Checksum(const uint8_t *bytes, uint32_t len) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < len; ++i) {
        sum = (sum << 5 | sum >> 27) ^ bytes[i];
    }
    return sum;
}

/* The record stream of one process to the demo's main: timeline lines
 * ("L <monotonic ns> <process> <task> <text>") and check results
 * ("C <1 passed|0 failed> <process> <text>"). */
class Journal {
public:
    Journal(int fd, const char *proc) : fd_(fd), proc_(proc) {}
    void Line(const char *task, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    bool Expect(bool ok, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    uint32_t failed() const { return failed_.load(); }

private:
    void Write(const std::string &record);

    int fd_;
    const char *proc_;
    std::atomic<uint32_t> failed_{0};
};

/* The process's membership: joined under its name with one task served by a
 * loop thread of its own. Used by the process's main thread alone. */
class Member {
public:
    explicit Member(Journal &journal) : journal_(journal) {}
    /* Joins as proc in run directory runDir (the carrier is the default one)
     * and registers task; false when joining failed. */
    bool Join(const char *proc, const char *runDir, const char *task, OsMsgTaskFunc callback);
    /* Waits in OsMsgMain until a task stops the process, leaves, and waits
     * for the task loop to end; records the results and checks the teardown. */
    void Serve();

private:
    Journal &journal_;
    const char *proc_ = nullptr;
    std::thread loop_;
    uint32_t loopResult_ = OS_MSG_ERR_FAIL;
};

/* The two processes' main functions, joining in run directory runDir: each
 * returns its exit status. */
int RunCamera(Journal &journal, const char *runDir);
int RunEncoder(Journal &journal, const char *runDir);

} // namespace duo

#endif // VYRE_EXAMPLES_TWO_PROCESS_DEMO_H

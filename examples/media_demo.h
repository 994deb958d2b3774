/*
 * What the tasks of the media demo share: the message ids and payloads they
 * exchange, the scenario's numbers, the state that the scenario's steps wait
 * on, and the small helpers that fill a MsgHead and read a payload.
 *
 * Thread safety: DemoState holds only objects that lock themselves
 * (Counter, Timeline, Checks) and atomics; any task may touch it. State that
 * belongs to one task lives in that task's source file.
 */
#ifndef VYRE_EXAMPLES_MEDIA_DEMO_H
#define VYRE_EXAMPLES_MEDIA_DEMO_H

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "demo_support.h"
#include "vyre_os_msg.h"

// Diagnostics the library exports beside the public header.
extern "C" {
void SimpleMsgDump(int fd);
uint32_t MsgAddLocalService(const char *name, uint64_t binder);
uint64_t MsgGetLocalService(const char *name);
void MsgDumpLocalRefNames(int fd);
}

namespace media {

using demo::CodeName;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kProcName[] = "media_demo";
constexpr uint32_t kLocalCpu = 0; // every CPU id is CPU 0 on this platform

enum MsgId : uint32_t {
    MSG_START = 0x1000,         // main -> control: run the scenario
    MSG_SUBSCRIBE,              // control -> encoder, ui: subscribe to volume changes
    MSG_CAPTURE,                // control -> capture: CaptureCmd
    MSG_FRAME,                  // capture -> encoder: Frame
    MSG_PACKET,                 // encoder -> writer: Packet
    MSG_GET_STATUS,             // control -> encoder, synchronous; answered with EncoderStatus
    MSG_RETUNE,                 // control -> encoder: keeps it busy until control lets go
    MSG_FLUSH_DONE,             // writer -> control: the slow flush is over
    EV_VOLUME_CHANGED = 0x2000, // event published by control: VolumeEvent
};

constexpr uint32_t kWidth = 48;
constexpr uint32_t kHeight = 48;
constexpr uint32_t kPixels = kWidth * kHeight;
constexpr uint32_t kPackRatio = 8;
constexpr uint32_t kFlagLast = 1U;  // last frame of one capture command
constexpr uint32_t kFlagFlush = 2U; // the writer flushes to disk after this frame

struct FrameHeader {
    uint32_t seq;
    uint32_t width;
    uint32_t height;
    uint32_t flags;
};
struct Frame {
    FrameHeader header;
    uint8_t pixels[kPixels];
};
struct PacketHeader {
    uint32_t seq;
    uint32_t flags;
    uint32_t rawSize;
    uint32_t checksum; // over bytes
};
struct Packet {
    PacketHeader header;
    uint8_t bytes[kPixels / kPackRatio];
};
struct CaptureCmd {
    uint32_t first;
    uint32_t count;
    uint32_t flags;
};
struct EncoderStatus {
    uint32_t framesEncoded;
    uint32_t volume;
};
struct VolumeEvent {
    uint32_t volume;
};

// The scenario: frames 1-4 flow freely; frame 5 makes the writer flush slowly;
// frames 6-11 arrive while it is stuck, and its queue takes only 4 of them.
constexpr uint32_t kFirstBatch = 4;
constexpr uint32_t kWriterQueueLen = 4;
constexpr uint32_t kBurst = kWriterQueueLen + 2;
constexpr uint32_t kFramesWritten = kFirstBatch + 1 + kWriterQueueLen;
constexpr uint32_t kBatches = 3; // capture commands: frames 1-4, frame 5, frames 6-11
// The status call that is answered may wait long on a loaded machine; the
// one made while the encoder is busy times out after a short wait.
constexpr uint32_t kStatusTimeoutMs = 5000;
constexpr uint32_t kBusyCallTimeoutMs = 200;
constexpr uint32_t kVolume = 40;
// The library records every callback that takes 3,000 ms or more.
constexpr uint32_t kSlowRecordMs = 3000;
constexpr milliseconds kSlowFlush(kSlowRecordMs + 50);

struct DemoState {
    demo::Timeline timeline;
    demo::Checks checks;
    demo::Counter subscribed;     // subscriptions made by encoder and ui
    demo::Counter framesWritten;  // packets the writer stored
    demo::Counter volumeSeen;     // volume events handled by encoder and ui
    demo::Counter encoderBusy;    // the encoder started its retune
    demo::Counter retuneGate;     // control lets the encoder finish the retune
    demo::Counter statusAnswers;  // GET_STATUS answers the encoder gave
    demo::Counter writerStalled;  // the writer entered its slow flush
    demo::Counter encodedBatches; // capture commands the encoder has handled
    demo::Counter destroyed;      // control has called OsMsgDestroy
    std::atomic<uint32_t> lastAnswerResult{OS_MSG_OK};
    std::atomic<uint32_t> refusedFull{0};
    std::atomic<uint32_t> volumeEventsEncoder{0};
    std::atomic<uint32_t> volumeEventsUi{0};
    std::atomic<uint32_t> destroyResult{OS_MSG_OK};
    std::atomic<uint32_t> slowRecords{0};
    std::atomic<bool> finished{false};
};
extern DemoState g;

// Task callbacks: each runs on its task's thread, with no library lock held.
uint32_t CaptureTask(MsgHead *msg);
uint32_t EncoderTask(MsgHead *msg);
uint32_t WriterTask(MsgHead *msg);
uint32_t UiTask(MsgHead *msg);
uint32_t ControlTask(MsgHead *msg);

// Reports (media_report.cc).
/* Keeps the library's own log records out of the demo's output: into path,
 * every level, when one is given; otherwise counted and dropped (the default
 * levels pass ERROR and FATAL only). false when path cannot be opened. */
bool RouteLibraryLog(const char *path);
/* Prints where the log records went. */
void ReportLibraryLog(const char *path);
/* What dump(fd) writes, read back from a temporary file. */
std::string CaptureOutput(void (*dump)(int));
/* Counts the queue dump's slow-handling records and checks the writer's. */
void CheckSlowRecords(const std::string &dump);
/* Lists the tracked memory left after OsMsgUninit, module by module, and
 * checks that only what the library keeps by design is left. */
void ReportMemory(uint64_t blocksBefore);

using demo::CopyName;

inline bool SameName(const char *field, const char *name) {
    return std::strncmp(field, name, OS_MSG_NAME_LEN) == 0;
}

/* A header from this process to one of its tasks, carrying len bytes at data. */
inline MsgHead MakeHead(const char *task, uint32_t msgId, const void *data, uint32_t len) {
    MsgHead head = demo::MakeHead(kProcName, kProcName, task, msgId, data, len);
    head.recvCpuId = kLocalCpu;
    return head;
}

/* Asynchronous send; the library copies data before it returns. */
inline uint32_t Send(const char *task, uint32_t msgId, const void *data = nullptr, uint32_t len = 0) {
    MsgHead head = MakeHead(task, msgId, data, len);
    return OsMsgAsynSend(&head);
}

inline void ExpectSent(uint32_t result, const char *who, const char *what) {
    g.checks.Expect(result == OS_MSG_OK, "%s: sending %s: %s", who, what, CodeName(result).c_str());
}

/* Copies the payload into out when it has exactly out's size. */
template <typename T> bool ReadPayload(const MsgHead *msg, T *out) {
    if (msg->data == nullptr || msg->dataLen != sizeof(T)) {
        return false;
    }
    std::memcpy(out, msg->data, sizeof(T));
    return true;
}

inline long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

} // namespace media

#endif // VYRE_EXAMPLES_MEDIA_DEMO_H

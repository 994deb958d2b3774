/*
 * The camera process of the two-process demo. It joins as "camera" with one
 * task, "camera". When the encoder says hello (a call, answered at once),
 * the camera task sends six frames, asynchronously, then thirty 4K frames
 * by reference in shared buffers, calls the encoder synchronously for its
 * status, and publishes a scene change; when the
 * encoder says bye, it stops its process.
 *
 * Thread safety: the task's callback runs on the camera task's thread; main
 * waits in OsMsgMain and tears down after the callback stopped the server.
 */
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "two_process_demo.h"

namespace duo {

namespace {

Journal *g_journal = nullptr;
std::atomic<uint32_t> g_destroyResult{OS_MSG_ERR_FAIL};
std::atomic<uint32_t> g_byes{0};

std::vector<uint8_t> MakeFrame(uint32_t seq) {
    std::vector<uint8_t> frame(FrameBytes(seq));
    FrameHeader header{seq, FrameWidth(seq), FrameHeight(seq), static_cast<uint32_t>(getpid()), 0};
    uint8_t *pixels = frame.data() + sizeof(header);
    for (uint32_t i = 0; i < header.width * header.height; ++i) {
        pixels[i] = static_cast<uint8_t>(i * 7 + seq);
    }
    header.checksum = Checksum(pixels, header.width * header.height);
    std::memcpy(frame.data(), &header, sizeof(header));
    return frame;
}

uint32_t SendFrame(uint32_t seq) {
    std::vector<uint8_t> frame = MakeFrame(seq);
    MsgHead head =
        MakeHead(kCameraProc, kEncoderProc, kEncoderTask, MSG_FRAME, frame.data(), static_cast<uint32_t>(frame.size()));
    uint32_t result = OsMsgAsynSend(&head);
    g_journal->Expect(result == OS_MSG_OK, "camera: frame %u sent: %s", seq, CodeName(result).c_str());
    return result;
}

void SendFrames() {
    g_journal->Line(kCameraTask, "sends frames 1-%u to encoder (%ux%u previews, %u bytes each)", kFrames - 1,
                    kPreviewWidth, kPreviewHeight, FrameBytes(1));
    for (uint32_t seq = 1; seq < kFrames; ++seq) {
        (void)SendFrame(seq);
    }
    g_journal->Line(kCameraTask, "sends frame %u to encoder (%ux%u keyframe, %u bytes: travels in slices)", kFrames,
                    kKeyWidth, kKeyHeight, FrameBytes(kFrames));
    (void)SendFrame(kFrames);
}

// 4K frames by reference: each is written once, into a buffer of the
// process's shared pool, and the encoder reads it in place in its read-only
// mapping; the send call's own time is what a capture thread would see.
void SendUhdFrames() {
    g_journal->Line(kCameraTask, "sends %u 4K frames (%u bytes each) by reference at 60 frames/s", kUhdFrames,
                    kUhdBytes);
    std::vector<uint64_t> callNs;
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t seq = 1; seq <= kUhdFrames; ++seq) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(kUhdIntervalUs) * (seq - 1U));
        void *data = nullptr;
        uint32_t result = OsMsgBufAlloc(kUhdBytes, &data);
        if (!g_journal->Expect(result == OS_MSG_OK, "camera: 4K buffer %u: %s", seq, CodeName(result).c_str())) {
            return;
        }
        std::memset(data, UhdPixel(seq), kUhdBytes);
        UhdHeader header{seq, UhdNowNs()};
        std::memcpy(data, &header, sizeof(header));
        MsgHead head = MakeHead(kCameraProc, kEncoderProc, kEncoderTask, MSG_UHD_FRAME, data, kUhdBytes);
        result = OsMsgAsynSendBuf(&head);
        callNs.push_back(UhdNowNs() - header.sentNs);
        if (!g_journal->Expect(result == OS_MSG_OK, "camera: 4K frame %u sent: %s", seq, CodeName(result).c_str())) {
            (void)OsMsgBufFree(data);
            return;
        }
    }
    std::sort(callNs.begin(), callNs.end());
    g_journal->Line(kCameraTask, "4K frames sent; each send call took %.1f us (median), %.1f us at most",
                    callNs[callNs.size() / 2] / 1e3, callNs.back() / 1e3);
}

void CallStatus() {
    MsgHead request = MakeHead(kCameraProc, kEncoderProc, kEncoderTask, MSG_GET_STATUS, nullptr, 0);
    MsgHead *response = nullptr;
    g_journal->Line(kCameraTask, "calls encoder synchronously: GET_STATUS, time-out %u ms", kCallTimeoutMs);
    uint32_t result = OsMsgSynSend(&request, &response, kCallTimeoutMs);
    if (!g_journal->Expect(result == OS_MSG_OK && response != nullptr, "camera: GET_STATUS answered: %s",
                           CodeName(result).c_str())) {
        return;
    }
    EncoderStatus status{0, 0, 0};
    bool sized = response->dataLen == sizeof(status) && response->data != nullptr;
    if (sized) {
        std::memcpy(&status, response->data, sizeof(status));
    }
    uint32_t freed = OsMsgSynRespFree(response);
    uint32_t expectedBytes = 0;
    for (uint32_t seq = 1; seq <= kFrames; ++seq) {
        expectedBytes += FrameBytes(seq);
    }
    g_journal->Line(kCameraTask, "answer: %u frames encoded (%u bytes), %u bad; response freed: %s",
                    status.framesEncoded, status.bytesEncoded, status.badFrames, CodeName(freed).c_str());
    // Frames and the call travel to the same task over one connection, in
    // order, so the answer counts every frame.
    g_journal->Expect(sized && status.framesEncoded == kFrames && status.badFrames == 0 &&
                          status.bytesEncoded == expectedBytes,
                      "camera: status says %u frames, %u bad, %u bytes; expected %u, 0, %u", status.framesEncoded,
                      status.badFrames, status.bytesEncoded, kFrames, expectedBytes);
    g_journal->Expect(freed == OS_MSG_OK, "camera: response freed: %s", CodeName(freed).c_str());
}

void PublishScene() {
    SceneEvent event{kNightLux};
    MsgBroEntry entry = demo::OwnEvent(EV_SCENE_CHANGED, &event, sizeof(event));
    g_journal->Line(kCameraTask, "broadcasts SCENE_CHANGED (%u lux: night)", kNightLux);
    uint32_t result = OsMsgBroadcastEvent(&entry, 1);
    g_journal->Expect(result == OS_MSG_OK, "camera: broadcast: %s", CodeName(result).c_str());
}

uint32_t CameraTask(MsgHead *msg) {
    switch (msg->msgId) {
    case MSG_HELLO:
        // The encoder calls from its main thread, which is no task: only its
        // process is named.
        g_journal->Line(kCameraTask, "HELLO from process %.16s (pid %u, as the kernel saw it)", msg->sendProcName,
                        msg->sendPid);
        g_journal->Expect(OsMsgSynSendResp(msg, nullptr, 0) == OS_MSG_OK, "camera: HELLO answered");
        SendFrames();
        SendUhdFrames();
        CallStatus();
        PublishScene();
        break;
    case MSG_BYE:
        g_byes.fetch_add(1);
        g_journal->Line(kCameraTask, "BYE from encoder; stops its process");
        g_destroyResult.store(OsMsgDestroy(kCameraProc));
        break;
    default:
        g_journal->Expect(false, "camera: unexpected message %#x", msg->msgId);
        break;
    }
    return 0;
}

} // namespace

int RunCamera(Journal &journal, const char *runDir) {
    g_journal = &journal;
    Member member(journal);
    if (!member.Join(kCameraProc, runDir, kCameraTask, CameraTask)) {
        return 1;
    }
    journal.Line("main", "registered task camera; waits for the encoder's HELLO");

    member.Serve();
    // OsMsgMain may return while the callback that stopped the server is
    // still running; after the loop ended, its result is in.
    journal.Expect(g_byes.load() == 1 && g_destroyResult.load() == OS_MSG_OK,
                   "camera: stopped by its task after BYE: %s", CodeName(g_destroyResult.load()).c_str());
    return journal.failed() == 0 ? 0 : 1;
}

} // namespace duo

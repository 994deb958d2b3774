/*
 * The encoder process of the two-process demo. It joins as "encoder" with
 * one task, "encoder", and subscribes that task to the camera's
 * SCENE_CHANGED event before the camera runs (the subscription is kept and
 * goes to the camera's process when it joins); then it waits for the camera
 * process to join and says hello, a call that the camera's task answers. The
 * task checks and "encodes" each frame (the 4K ones where they lie, in its
 * read-only mapping of the camera's buffers, timing each), answers the
 * camera's status call, and on the scene change says bye and stops its
 * process.
 *
 * Thread safety: the counters (and the 4K frames' times) are touched by the
 * encoder task's thread only, and read by main after the task loop has
 * ended.
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
EncoderStatus g_status{0, 0, 0};
uint32_t g_sceneEvents = 0;
std::atomic<uint32_t> g_destroyResult{OS_MSG_ERR_FAIL};

void EncodeFrame(const MsgHead *msg) {
    FrameHeader header{};
    bool ok = msg->data != nullptr && msg->dataLen >= sizeof(header);
    if (ok) {
        std::memcpy(&header, msg->data, sizeof(header));
        const uint8_t *pixels = static_cast<const uint8_t *>(msg->data) + sizeof(header);
        ok = header.seq == g_status.framesEncoded + 1 && msg->dataLen == FrameBytes(header.seq) &&
             header.width == FrameWidth(header.seq) && header.height == FrameHeight(header.seq) &&
             Checksum(pixels, header.width * header.height) == header.checksum;
    }
    g_journal->Expect(ok, "encoder: frame %u arrives whole and in order (%u bytes)", header.seq, msg->dataLen);
    // The kernel, not the sender, supplies sendPid across processes.
    g_journal->Expect(msg->sendPid == header.cameraPid, "encoder: frame %u from pid %u, kernel says %u", header.seq,
                      header.cameraPid, msg->sendPid);
    ++g_status.framesEncoded;
    g_status.badFrames += ok ? 0U : 1U;
    g_status.bytesEncoded += msg->dataLen;
    g_journal->Line(kEncoderTask, "encoded frame %u (%ux%u, %u bytes, checksum %s) from pid %u", header.seq,
                    header.width, header.height, msg->dataLen, ok ? "ok" : "BAD", msg->sendPid);
}

// Checks a 4K frame where it lies, one byte per page and the last, and
// notes when it came; after the last one, tells the rate and latency seen.
void TakeUhdFrame(const MsgHead *msg) {
    static std::vector<uint64_t> latencyNs;
    static uint64_t firstNs = 0;
    const uint64_t now = UhdNowNs();
    UhdHeader header{};
    bool ok = msg->data != nullptr && msg->dataLen == kUhdBytes;
    if (ok) {
        std::memcpy(&header, msg->data, sizeof(header));
        const uint8_t *bytes = static_cast<const uint8_t *>(msg->data);
        for (uint32_t at = 4096U; ok && at < kUhdBytes; at += 4096U) {
            ok = bytes[at] == UhdPixel(header.seq);
        }
        ok = ok && bytes[kUhdBytes - 1U] == UhdPixel(header.seq) && header.seq == latencyNs.size() + 1U;
    }
    g_journal->Expect(ok, "encoder: 4K frame %u arrives whole and in order (%u bytes)", header.seq, msg->dataLen);
    firstNs = latencyNs.empty() ? now : firstNs;
    latencyNs.push_back(now - header.sentNs);
    if (header.seq != kUhdFrames) {
        return;
    }
    const double spanS = static_cast<double>(now - firstNs) / 1e9;
    std::sort(latencyNs.begin(), latencyNs.end());
    g_journal->Line(kEncoderTask,
                    "%zu 4K frames read in place: %.1f frames/s, latency %.0f us (median), %.0f us at most",
                    latencyNs.size(), spanS > 0 ? static_cast<double>(latencyNs.size() - 1U) / spanS : 0.0,
                    latencyNs[latencyNs.size() / 2] / 1e3, latencyNs.back() / 1e3);
    g_journal->Expect(latencyNs.size() == kUhdFrames, "encoder: %zu 4K frames of %u", latencyNs.size(), kUhdFrames);
}

void AnswerStatus(MsgHead *msg) {
    uint32_t result = OsMsgSynSendResp(msg, &g_status, sizeof(g_status));
    g_journal->Line(kEncoderTask, "answers GET_STATUS from %.16s: %u frames encoded: %s", msg->sendProcName,
                    g_status.framesEncoded, CodeName(result).c_str());
    g_journal->Expect(result == OS_MSG_OK, "encoder: answer accepted: %s", CodeName(result).c_str());
}

void FollowScene(const MsgHead *msg) {
    SceneEvent event{0};
    bool sized = msg->dataLen == sizeof(event) && msg->data != nullptr;
    if (sized) {
        std::memcpy(&event, msg->data, sizeof(event));
    }
    ++g_sceneEvents;
    g_journal->Line(kEncoderTask, "SCENE_CHANGED from task %.16s (pid %u): %u lux, switches to the night profile",
                    msg->sendTaskName, msg->sendPid, event.lux);
    g_journal->Expect(sized && event.lux == kNightLux, "encoder: scene event carries %u lux", event.lux);
    MsgHead bye = MakeHead(kEncoderProc, kCameraProc, kCameraTask, MSG_BYE, nullptr, 0);
    uint32_t result = OsMsgAsynSend(&bye);
    g_journal->Line(kEncoderTask, "says BYE to camera (%s) and stops its process", CodeName(result).c_str());
    g_journal->Expect(result == OS_MSG_OK, "encoder: BYE sent: %s", CodeName(result).c_str());
    g_destroyResult.store(OsMsgDestroy(kEncoderProc));
}

uint32_t EncoderTask(MsgHead *msg) {
    switch (msg->msgId) {
    case MSG_FRAME:
        EncodeFrame(msg);
        break;
    case MSG_UHD_FRAME:
        TakeUhdFrame(msg);
        break;
    case MSG_GET_STATUS:
        AnswerStatus(msg);
        break;
    case EV_SCENE_CHANGED:
        FollowScene(msg);
        break;
    default:
        g_journal->Expect(false, "encoder: unexpected message %#x", msg->msgId);
        break;
    }
    return 0;
}

/* Says HELLO to the camera's task. A process that joined registers its
 * tasks right after: a call that comes first is refused at once
 * (OS_MSG_ERR_NOT_FOUND), and is made again a millisecond later, for at
 * most about kCallTimeoutMs. */
uint32_t SayHello(uint32_t *refusals) {
    MsgHead hello = MakeHead(kEncoderProc, kCameraProc, kCameraTask, MSG_HELLO, nullptr, 0);
    MsgHead *response = nullptr;
    uint32_t result = OS_MSG_ERR_NOT_FOUND;
    for (*refusals = 0; *refusals < kCallTimeoutMs; ++*refusals) {
        result = OsMsgSynSend(&hello, &response, kCallTimeoutMs);
        if (result != OS_MSG_ERR_NOT_FOUND) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (result == OS_MSG_OK) {
        (void)OsMsgSynRespFree(response);
    }
    return result;
}

} // namespace

int RunEncoder(Journal &journal, const char *runDir) {
    g_journal = &journal;
    Member member(journal);
    if (!member.Join(kEncoderProc, runDir, kEncoderTask, EncoderTask)) {
        return 1;
    }
    // The camera may not run yet: the subscription is kept, and goes to the
    // camera's process as soon as it joins, ahead of anything sent to it
    // afterwards, so it is in place there before the camera publishes.
    journal.Line("main", "subscribes task encoder to SCENE_CHANGED published by camera/camera");
    MsgSubEntry entry = demo::Subscription(EV_SCENE_CHANGED, kCameraProc, kCameraTask, kEncoderTask);
    uint32_t result = OsMsgSubscribeEvent(&entry, 1);
    journal.Expect(result == OS_MSG_OK, "encoder: subscription accepted: %s", CodeName(result).c_str());
    result = OsMsgWaitProcess(kCameraProc, kJoinTimeoutMs);
    journal.Line("main", "OsMsgWaitProcess(\"camera\") = %s: the camera process joined", CodeName(result).c_str());
    if (!journal.Expect(result == OS_MSG_OK, "encoder: the camera process joined: %s", CodeName(result).c_str())) {
        return 1;
    }
    uint32_t refusals = 0;
    result = SayHello(&refusals);
    journal.Line("main", "says HELLO to camera (%s): ready for frames%s", CodeName(result).c_str(),
                 refusals != 0 ? "; refused at once before the camera registered its task" : "");
    journal.Expect(result == OS_MSG_OK, "encoder: HELLO answered: %s", CodeName(result).c_str());

    member.Serve();
    journal.Expect(g_destroyResult.load() == OS_MSG_OK, "encoder: stopped by its task: %s",
                   CodeName(g_destroyResult.load()).c_str());
    journal.Expect(g_status.framesEncoded == kFrames && g_status.badFrames == 0,
                   "encoder: %u frames encoded, %u bad; expected %u, 0", g_status.framesEncoded, g_status.badFrames,
                   kFrames);
    journal.Expect(g_sceneEvents == 1, "encoder: SCENE_CHANGED arrived %u times (once)", g_sceneEvents);
    return journal.failed() == 0 ? 0 : 1;
}

} // namespace duo

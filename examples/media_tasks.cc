/*
 * The working tasks of the media demo: capture makes frames, encoder checks
 * and packs them and forwards packets to writer, writer checks and stores
 * them, and encoder and ui follow volume changes.
 *
 * Thread safety: each callback runs on its own task's thread only, so the
 * per-task state here (g_encoder, g_writerNextSeq) needs no lock; what other
 * threads see goes through DemoState.
 */
#include <thread>

#include "media_demo.h"

namespace media {
namespace {

uint8_t PixelAt(uint32_t seq, uint32_t i) {
    return static_cast<uint8_t>(seq * 31U + i * 7U);
}

uint32_t Checksum(const uint8_t *bytes, size_t n) {
    uint32_t hash = 2166136261U;
    for (size_t i = 0; i < n; ++i) {
        hash = (hash ^ bytes[i]) * 16777619U;
    }
    return hash;
}

// ---------------------------------------------------------------- encoder

// Touched only on the encoder's thread.
struct EncoderState {
    uint32_t framesEncoded = 0;
    uint32_t volume = 0;
    uint32_t batchFirst = 0;
    uint32_t batchForwarded = 0;
    uint32_t batchRefused = 0;
} g_encoder;

bool FrameIsIntact(const Frame &frame) {
    if (frame.header.width != kWidth || frame.header.height != kHeight) {
        return false;
    }
    for (uint32_t i = 0; i < kPixels; ++i) {
        if (frame.pixels[i] != PixelAt(frame.header.seq, i)) {
            return false;
        }
    }
    return true;
}

Packet Pack(const Frame &frame) {
    Packet packet;
    for (uint32_t i = 0; i < sizeof(packet.bytes); ++i) {
        uint32_t sum = 0;
        for (uint32_t k = 0; k < kPackRatio; ++k) {
            sum += frame.pixels[i * kPackRatio + k];
        }
        packet.bytes[i] = static_cast<uint8_t>(sum / kPackRatio);
    }
    packet.header =
        PacketHeader{frame.header.seq, frame.header.flags, kPixels, Checksum(packet.bytes, sizeof(packet.bytes))};
    return packet;
}

void ForwardPacket(const Packet &packet) {
    uint32_t result = Send("writer", MSG_PACKET, &packet, sizeof(packet));
    if (result == OS_MSG_OK) {
        ++g_encoder.batchForwarded;
    } else if (result == OS_MSG_ERR_FULL) {
        ++g_encoder.batchRefused;
        g.refusedFull.fetch_add(1);
        g.timeline.Add("encoder", "frame %u -> writer refused: %s (its queue of %u is full); frame dropped",
                       packet.header.seq, CodeName(result).c_str(), kWriterQueueLen);
    } else {
        ExpectSent(result, "encoder", "a packet");
    }
}

void EndBatch(uint32_t lastSeq) {
    std::string range = g_encoder.batchFirst == lastSeq
                            ? "frame " + std::to_string(lastSeq)
                            : "frames " + std::to_string(g_encoder.batchFirst) + "-" + std::to_string(lastSeq);
    g.timeline.Add("encoder", "packed %s (%zu -> %zu bytes%s); %u forwarded to writer, %u dropped", range.c_str(),
                   sizeof(Frame), sizeof(Packet), g_encoder.batchFirst == lastSeq ? "" : " each",
                   g_encoder.batchForwarded, g_encoder.batchRefused);
    g_encoder.batchFirst = 0;
    g_encoder.batchForwarded = 0;
    g_encoder.batchRefused = 0;
    g.encodedBatches.Add();
}

void EncodeFrame(const MsgHead *msg) {
    Frame frame;
    if (!g.checks.Expect(ReadPayload(msg, &frame), "encoder: frame payload of %zu bytes, got %u", sizeof(Frame),
                         msg->dataLen)) {
        return;
    }
    g.checks.Expect(FrameIsIntact(frame), "encoder: frame %u arrived intact", frame.header.seq);
    if (g_encoder.batchFirst == 0) {
        g_encoder.batchFirst = frame.header.seq;
    }
    ForwardPacket(Pack(frame));
    ++g_encoder.framesEncoded;
    if ((frame.header.flags & kFlagLast) != 0) {
        EndBatch(frame.header.seq);
    }
}

void AnswerStatus(MsgHead *request) {
    EncoderStatus status{g_encoder.framesEncoded, g_encoder.volume};
    // Logged before answering: once answered, the caller runs on at once.
    g.timeline.Add("encoder", "answers GET_STATUS: %u frames encoded, volume %u", status.framesEncoded, status.volume);
    uint32_t result = OsMsgSynSendResp(request, &status, sizeof(status));
    if (result != OS_MSG_OK) {
        g.timeline.Add("encoder", "answer refused: %s (the caller has stopped waiting)", CodeName(result).c_str());
    }
    g.lastAnswerResult.store(result);
    g.statusAnswers.Add();
}

void Retune() {
    g.timeline.Add("encoder", "retunes its rate control: busy on purpose until control lets go");
    g.encoderBusy.Add();
    g.checks.Expect(g.retuneGate.WaitFor(1), "encoder: control ended the retune");
    g.timeline.Add("encoder", "retune done; takes the next message from its queue");
}

void SubscribeToVolume(const char *who) {
    // Publisher: task "control" of this process. An empty subTaskName makes
    // the calling task the subscriber.
    MsgSubEntry entry = demo::Subscription(EV_VOLUME_CHANGED, kProcName, "control");
    uint32_t result = OsMsgSubscribeEvent(&entry, 1);
    g.checks.Expect(result == OS_MSG_OK, "%s: subscribing: %s", who, CodeName(result).c_str());
    g.timeline.Add(who, "subscribes to VOLUME_CHANGED published by control: %s", CodeName(result).c_str());
    g.subscribed.Add();
}

/* The volume carried by a VOLUME_CHANGED event from control; 0 when the
 * event is malformed (and a check fails). */
uint32_t ReadVolumeEvent(const char *who, const MsgHead *msg) {
    VolumeEvent event{0};
    bool ok = ReadPayload(msg, &event) && SameName(msg->sendTaskName, "control");
    g.checks.Expect(ok, "%s: VOLUME_CHANGED carries a volume and comes from control (from %.16s, %u bytes)", who,
                    msg->sendTaskName, msg->dataLen);
    g.checks.Expect(event.volume == kVolume, "%s: volume %u, expected %u", who, event.volume, kVolume);
    return event.volume;
}

// ---------------------------------------------------------------- writer

uint32_t g_writerNextSeq = 1; // writer's thread only

void SlowFlush(uint32_t seq) {
    g.timeline.Add("writer", "stored frame %u, now flushes to disk: slow on purpose (%lld ms)", seq,
                   static_cast<long long>(kSlowFlush.count()));
    g.writerStalled.Add();
    Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(kSlowFlush);
    g.checks.Expect(g.encodedBatches.WaitFor(kBatches), "writer: the burst was over before the flush ended");
    g.timeline.Add("writer", "flush done after %ld ms (callbacks of %u ms or more are recorded for the dump)",
                   MsSince(start), kSlowRecordMs);
    ExpectSent(Send("control", MSG_FLUSH_DONE), "writer", "FLUSH_DONE");
}

} // namespace

// ---------------------------------------------------------------- callbacks

uint32_t CaptureTask(MsgHead *msg) {
    CaptureCmd cmd;
    if (msg->msgId != MSG_CAPTURE || !ReadPayload(msg, &cmd)) {
        return 0;
    }
    uint32_t last = cmd.first + cmd.count - 1;
    if (cmd.count == 1) {
        g.timeline.Add("capture", "sends frame %u to encoder%s", cmd.first,
                       (cmd.flags & kFlagFlush) != 0 ? ", marked: flush to disk after it" : "");
    } else {
        g.timeline.Add("capture", "sends frames %u-%u to encoder (%zu-byte payload: %zu-byte header + %ux%u pixels)",
                       cmd.first, last, sizeof(Frame), sizeof(FrameHeader), kWidth, kHeight);
    }
    Frame frame;
    for (uint32_t seq = cmd.first; seq <= last; ++seq) {
        frame.header = FrameHeader{seq, kWidth, kHeight, cmd.flags | (seq == last ? kFlagLast : 0U)};
        for (uint32_t i = 0; i < kPixels; ++i) {
            frame.pixels[i] = PixelAt(seq, i);
        }
        ExpectSent(Send("encoder", MSG_FRAME, &frame, sizeof(frame)), "capture", "a frame");
    }
    return 0;
}

uint32_t EncoderTask(MsgHead *msg) {
    switch (msg->msgId) {
    case MSG_SUBSCRIBE:
        SubscribeToVolume("encoder");
        break;
    case MSG_FRAME:
        EncodeFrame(msg);
        break;
    case MSG_GET_STATUS:
        AnswerStatus(msg);
        break;
    case MSG_RETUNE:
        Retune();
        break;
    case EV_VOLUME_CHANGED:
        g_encoder.volume = ReadVolumeEvent("encoder", msg);
        g.timeline.Add("encoder", "VOLUME_CHANGED from %.16s: volume %u, audio gain follows", msg->sendTaskName,
                       g_encoder.volume);
        g.volumeEventsEncoder.fetch_add(1);
        g.volumeSeen.Add();
        break;
    default:
        break;
    }
    return 0;
}

uint32_t WriterTask(MsgHead *msg) {
    Packet packet;
    if (msg->msgId != MSG_PACKET) {
        return 0;
    }
    if (!g.checks.Expect(ReadPayload(msg, &packet), "writer: packet of %zu bytes, got %u", sizeof(Packet),
                         msg->dataLen)) {
        return 0;
    }
    uint32_t seq = packet.header.seq;
    bool intact =
        packet.header.rawSize == kPixels && packet.header.checksum == Checksum(packet.bytes, sizeof(packet.bytes));
    g.checks.Expect(intact, "writer: packet %u intact", seq);
    g.checks.Expect(seq == g_writerNextSeq, "writer: packet %u arrives in order (expected %u)", seq, g_writerNextSeq);
    g_writerNextSeq = seq + 1;
    if ((packet.header.flags & kFlagFlush) != 0) {
        SlowFlush(seq);
    } else {
        g.timeline.Add("writer", "stored frame %u (%zu bytes, checksum ok)", seq, sizeof(Packet));
    }
    g.framesWritten.Add();
    return 0;
}

uint32_t UiTask(MsgHead *msg) {
    if (msg->msgId == MSG_SUBSCRIBE) {
        SubscribeToVolume("ui");
    } else if (msg->msgId == EV_VOLUME_CHANGED) {
        uint32_t volume = ReadVolumeEvent("ui", msg);
        g.timeline.Add("ui", "VOLUME_CHANGED from %.16s: volume %u, volume bar redrawn", msg->sendTaskName, volume);
        g.volumeEventsUi.fetch_add(1);
        g.volumeSeen.Add();
    }
    return 0;
}

} // namespace media

/*
 * camera_cpp: the camera pipeline of camera_c.c on the C++ interface
 * (vyre_os_msg.hpp): the same process, tasks, messages, output and checks.
 *
 * The tasks' state lives in main and reaches their callables as captures;
 * one lock guards it. The tasks stop, and the process leaves, as their
 * objects go at the end of main's block.
 */
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "vyre_os_msg.hpp"

namespace msg = vyre::msg;

namespace {

constexpr uint32_t kFrames = 8U, kVolume = 40U;
enum : uint32_t { MSG_FRAME = 0x100, MSG_PACKET, MSG_GET_STATUS, EV_VOLUME = 0x200 };

struct Frame {
    uint32_t seq;
    uint8_t pixels[64];
};
struct Packet {
    uint32_t seq;
    uint32_t checksum;
};
struct Status {
    uint32_t encoded;
    uint32_t volume;
};

uint32_t Checksum(const Frame &frame) {
    uint32_t sum = frame.seq;
    for (uint8_t pixel : frame.pixels) {
        sum = sum * 31U + pixel;
    }
    return sum;
}

struct Pipeline {
    std::mutex lock;
    std::condition_variable changed;
    uint32_t encoded = 0, written = 0, volumeSeen = 0, encoderVolume = 0, failures = 0;

    /* Counts one more of what field counts, and wakes main. */
    void Note(uint32_t &field, bool failed = false) {
        std::lock_guard<std::mutex> guard(lock);
        ++field;
        failures += failed ? 1U : 0U;
        changed.notify_all();
    }
    /* Waits at most 10 s until field reaches target. */
    bool WaitFor(const uint32_t &field, uint32_t target) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), [&] { return field >= target; });
    }
};

bool Run(const msg::process &proc, Pipeline &p) {
    const msg::address control = proc.local("control"), encoder = proc.local("encoder");
    if (!proc.subscribe("encoder", control, {EV_VOLUME}) || !proc.subscribe("writer", control, {EV_VOLUME})) {
        return false;
    }
    for (uint32_t seq = 1; seq <= kFrames; ++seq) {
        Frame frame{seq, {}};
        std::memset(frame.pixels, static_cast<int>(seq), sizeof(frame.pixels));
        if (!proc.send(encoder, MSG_FRAME, msg::bytes_of(frame))) {
            return false;
        }
    }
    if (!p.WaitFor(p.written, kFrames)) {
        return false;
    }
    std::printf("camera: the writer stored %u packets\n", kFrames);
    if (!proc.broadcast("control", EV_VOLUME, msg::bytes_of(kVolume)) || !p.WaitFor(p.volumeSeen, 2U)) {
        return false;
    }
    std::printf("camera: encoder and writer follow volume %u\n", kVolume);
    auto answer = proc.call(encoder, MSG_GET_STATUS, {}, std::chrono::milliseconds(1000));
    Status status = answer ? answer->read<Status>().value_or(Status{}) : Status{};
    std::printf("camera: encoder status: %u frames encoded, volume %u\n", status.encoded, status.volume);
    return status.encoded == kFrames && status.volume == kVolume;
}

} // namespace

int main() {
    OsMsgSetLogLevel(OS_MSG_LOG_FATAL); // this program reports what it gets itself
    Pipeline p;
    bool ok = false;
    {
        auto proc = msg::process::join("camera");
        if (!proc) {
            std::fprintf(stderr, "camera: %s\n", proc.error().message().c_str());
            return 1;
        }
        auto encoder = proc->start_task(
            "encoder",
            [&](msg::message &m) {
                if (auto frame = m.read<Frame>(); frame && m.id() == MSG_FRAME) {
                    Packet packet{frame->seq, Checksum(*frame)};
                    p.Note(p.encoded, !proc->send(proc->local("writer"), MSG_PACKET, msg::bytes_of(packet)));
                } else if (auto volume = m.read<uint32_t>(); volume && m.id() == EV_VOLUME) {
                    {
                        std::lock_guard<std::mutex> guard(p.lock);
                        p.encoderVolume = *volume;
                    }
                    p.Note(p.volumeSeen);
                } else if (m.id() == MSG_GET_STATUS) {
                    std::unique_lock<std::mutex> guard(p.lock);
                    Status status{p.encoded, p.encoderVolume};
                    guard.unlock();
                    if (!m.reply(msg::bytes_of(status))) {
                        p.Note(p.failures);
                    }
                }
            },
            16U);
        auto writer = proc->start_task(
            "writer",
            [&](msg::message &m) {
                if (auto packet = m.read<Packet>(); packet && m.id() == MSG_PACKET) {
                    p.Note(p.written, packet->checksum == 0U);
                } else if (m.id() == EV_VOLUME) {
                    p.Note(p.volumeSeen);
                }
            },
            16U);
        ok = encoder && writer && Run(*proc, p);
    }
    ok = ok && p.failures == 0U;
    std::printf("camera: %s\n", ok ? "done" : "FAILED");
    return ok ? 0 : 1;
}

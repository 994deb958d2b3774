// The role processes' common part: their arguments, the pipeline, and the
// run of a source role and of a sink role under the parent's protocol (see
// media_roles.h).
#include "media_roles.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "media_link.h"
#include "media_meter.h"

namespace media {

std::string FrameCaps(const RoleArgs &args) {
    return "video/x-raw,format=I420,width=1920,height=1080,framerate=" +
           std::to_string(args.fps != 0 ? args.fps : 60U) + "/1";
}

const char *SinkHeadName(const RoleArgs &args) {
    return args.encode ? "enc" : "sink";
}

namespace {

// Bounds of the role's waits: setting up (GStreamer's first start reads its
// plug-in registry), the run itself beyond the frames' own time, and the
// parent's release.
constexpr int kSetupMs = 30000;
constexpr int kRunSlackMs = 30000;
constexpr int kQuitMs = 60000;

int RunMs(const RoleArgs &args) {
    return kRunSlackMs + (args.fps != 0 ? static_cast<int>(args.frames * 1000U / args.fps) : 0);
}

bool ParseCount(const char *text, uint32_t &out) {
    char *end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value > 1000000UL) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

} // namespace

bool IsSourceRole(const std::string &role) {
    return role == "shm-source" || role == "library-source" || role == "floor-source";
}

std::vector<std::string> RoleCommandLine(const RoleArgs &args) {
    return {"--role",    args.role,
            "--dir",     args.dir,
            "--pattern", args.pattern,
            "--frames",  std::to_string(args.frames),
            "--warmup",  std::to_string(args.warmup),
            "--fps",     std::to_string(args.fps),
            "--feed",    args.feed,
            "--threads", args.threads ? "1" : "0",
            "--encode",  args.encode ? "1" : "0"};
}

bool ParseRoleArgs(int argc, char **argv, RoleArgs &out) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const char *key = argv[i];
        const char *value = argv[i + 1];
        bool ok = true;
        if (std::strcmp(key, "--role") == 0) {
            out.role = value;
        } else if (std::strcmp(key, "--dir") == 0) {
            out.dir = value;
        } else if (std::strcmp(key, "--pattern") == 0) {
            out.pattern = value;
        } else if (std::strcmp(key, "--frames") == 0) {
            ok = ParseCount(value, out.frames);
        } else if (std::strcmp(key, "--warmup") == 0) {
            ok = ParseCount(value, out.warmup);
        } else if (std::strcmp(key, "--feed") == 0) {
            out.feed = value;
            ok = out.feed == "pad" || out.feed == "appsrc";
        } else if (std::strcmp(key, "--encode") == 0) {
            out.encode = std::strcmp(value, "1") == 0;
        } else if (std::strcmp(key, "--threads") == 0) {
            out.threads = std::strcmp(value, "1") == 0;
        } else if (std::strcmp(key, "--fps") == 0) {
            ok = ParseCount(value, out.fps);
        } else {
            ok = false;
        }
        if (!ok) {
            return false;
        }
    }
    return argc % 2 == 1 && !out.role.empty() && !out.dir.empty() && !out.pattern.empty() &&
           out.frames > out.warmup + 1U;
}

int RunRole(const RoleArgs &args) {
    gst_init(nullptr, nullptr);
    if (args.role == "shm-source") {
        return ShmSourceRole(args);
    }
    if (args.role == "shm-sink") {
        return ShmSinkRole(args);
    }
    if (args.role == "library-source") {
        return LibrarySourceRole(args);
    }
    if (args.role == "library-sink") {
        return LibrarySinkRole(args);
    }
    if (args.role == "floor-source") {
        return FloorSourceRole(args);
    }
    if (args.role == "floor-sink") {
        return FloorSinkRole(args);
    }
    std::fprintf(stderr, "media_compare: unknown role %s\n", args.role.c_str());
    return 2;
}

Pipeline::Pipeline(const std::string &description) {
    GError *error = nullptr;
    pipeline_ = gst_parse_launch(description.c_str(), &error);
    if (error != nullptr) {
        std::fprintf(stderr, "media_compare: %s: %s\n", description.c_str(), error->message);
        g_error_free(error);
        if (pipeline_ != nullptr) {
            gst_object_unref(pipeline_);
            pipeline_ = nullptr;
        }
        return;
    }
    if (!GST_IS_PIPELINE(pipeline_)) { // a description of one element gives that element alone
        GstElement *alone = pipeline_;
        pipeline_ = gst_pipeline_new(nullptr);
        (void)gst_bin_add(GST_BIN(pipeline_), alone);
    }
}

Pipeline::~Pipeline() {
    if (pipeline_ != nullptr) {
        (void)gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
}

GstElement *Pipeline::Element(const char *name) const {
    GstElement *element = gst_bin_get_by_name(GST_BIN(pipeline_), name);
    if (element != nullptr) {
        gst_object_unref(element); // the pipeline keeps its own reference
    }
    return element;
}

bool Pipeline::Set(GstState state) {
    return gst_element_set_state(pipeline_, state) != GST_STATE_CHANGE_FAILURE;
}

bool Pipeline::AwaitEos(int timeoutMs) {
    GstBus *bus = gst_element_get_bus(pipeline_);
    GstMessage *msg = gst_bus_timed_pop_filtered(bus, static_cast<GstClockTime>(timeoutMs) * GST_MSECOND,
                                                 static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    gst_object_unref(bus);
    if (msg == nullptr) {
        std::fprintf(stderr, "media_compare: no end of stream within %d ms\n", timeoutMs);
        return false;
    }
    const bool eos = GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
    if (!eos) {
        GError *error = nullptr;
        gst_message_parse_error(msg, &error, nullptr);
        std::fprintf(stderr, "media_compare: %s: %s\n", GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)), error->message);
        g_error_free(error);
    }
    gst_message_unref(msg);
    return eos;
}

std::string SourceDescription(const RoleArgs &args) {
    return "videotestsrc name=src is-live=" + std::string(args.fps != 0 ? "true" : "false") +
           " num-buffers=" + std::to_string(args.frames) + " pattern=" + args.pattern + " ! " + FrameCaps(args);
}

namespace {

void StampAtSource(GstBuffer *buffer, void *meter) {
    static_cast<SourceMeter *>(meter)->OnFrame(buffer);
}

void SeenAtSink(GstBuffer *buffer, void *meter) {
    static_cast<SinkMeter *>(meter)->OnFrame(buffer);
}

void SeenAtEncoder(GstBuffer *buffer, void *meter) {
    static_cast<SinkMeter *>(meter)->OnRawFrame(buffer);
}

} // namespace

int RunSourceRole(const RoleArgs &args, const std::string &sinkDescription, const RoleHooks &hooks) {
    Pipeline pipeline(SourceDescription(args) + " ! " + sinkDescription);
    SourceMeter meter(args.frames, args.warmup, args.threads);
    const bool started = pipeline.ok() && ProbeBuffers(pipeline.Element("src"), "src", StampAtSource, &meter) &&
                         (!hooks.prepare || hooks.prepare(pipeline)) && pipeline.Set(GST_STATE_PAUSED) && SayReady() &&
                         AwaitGo(kSetupMs) && pipeline.Set(GST_STATE_PLAYING);
    std::vector<double> figures;
    const bool ok = started && pipeline.AwaitEos(RunMs(args)) && meter.Figures(figures) && SayResult(figures);
    if (ok && args.threads) {
        PrintThreadTimes(args.role.c_str(), meter.threadsBegin(), meter.threadsEnd(), args.frames - 1.0 - args.warmup);
    }
    if (ok) {
        AwaitQuit(kQuitMs); // a failed role goes at once, so its parent sees the end of its reports
    }
    if (hooks.stop) {
        hooks.stop();
    }
    return ok ? 0 : 1;
}

int RunSinkRole(const RoleArgs &args, const std::string &sourceDescription, const RoleHooks &hooks) {
    const std::string sink =
        std::string(args.encode ? "x264enc name=enc speed-preset=ultrafast tune=zerolatency ! " : "") +
        "fakesink name=sink sync=false enable-last-sample=false";
    Pipeline pipeline(sourceDescription.empty() ? sink : sourceDescription + " ! " + sink);
    SinkMeter meter(args.frames, args.warmup, args.threads, args.encode, args.fps);
    const bool started = pipeline.ok() && ProbeBuffers(pipeline.Element("sink"), "sink", SeenAtSink, &meter) &&
                         (!args.encode || ProbeBuffers(pipeline.Element("enc"), "sink", SeenAtEncoder, &meter)) &&
                         (!hooks.prepare || hooks.prepare(pipeline)) && pipeline.Set(GST_STATE_PLAYING) && SayReady() &&
                         AwaitGo(kSetupMs);
    const bool ok = started && meter.Wait(RunMs(args)) && SayResult(meter.Figures());
    if (ok && args.threads) {
        PrintThreadTimes(args.role.c_str(), meter.threadsBegin(), meter.threadsEnd(), args.frames - 1.0 - args.warmup);
    }
    if (started && !ok) {
        std::fprintf(stderr, "media_compare: %s: frames missing or out of order\n", args.role.c_str());
    }
    if (ok) {
        AwaitQuit(kQuitMs);
    }
    if (hooks.stop) {
        hooks.stop();
    }
    return ok ? 0 : 1;
}

} // namespace media

// The role processes of the media comparison. A way of carrying frames
// between two processes is a pair of roles: a source process renders 1080p
// I420 frames with videotestsrc and ships them, a sink process receives them
// and pushes them to a GStreamer sink element. The pair runs under the
// parent's line protocol (media_link.h): the process that others connect to
// or look up is set up first, then the other; both measure with the meters
// of media_meter.h and report their figures.
//
// Each role runs in a process of its own, started for one pass and gone
// after it; GStreamer is initialised in the role processes only, never in the
// parent, which forks them.
#ifndef VYRE_BENCH_MEDIA_ROLES_H
#define VYRE_BENCH_MEDIA_ROLES_H

#include <gst/gst.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace media {

// What a role process is asked to do.
struct RoleArgs {
    std::string role;         // one of the roles of RunRole
    std::string dir;          // scratch directory of the pass (the socket, the library's run directory)
    std::string pattern;      // videotestsrc's pattern
    uint32_t frames = 0;      // frames the source renders
    uint32_t warmup = 0;      // frames before the measured window
    uint32_t fps = 0;         // 0: as fast as the source renders; else a live source at this rate
    std::string feed = "pad"; // the library's sink: "pad" (the task pushes into the sink) or "appsrc"
    bool threads = false;     // print each thread's processor time per frame to standard error
    bool encode = false;      // the sink process encodes each frame (x264enc) before its fakesink
};

// The source roles: "shm-source", "library-source", "floor-source"; the
// sink roles: "shm-sink", "library-sink", "floor-sink".
bool IsSourceRole(const std::string &role);

// The arguments that start a process for args ("--role ..."), and their
// reading in that process; false for anything else.
std::vector<std::string> RoleCommandLine(const RoleArgs &args);
bool ParseRoleArgs(int argc, char **argv, RoleArgs &out);

// Runs the role in this process; the process's exit status.
int RunRole(const RoleArgs &args);

// What the roles share. A pipeline built from a launch description; its
// elements are found by name.
class Pipeline {
public:
    explicit Pipeline(const std::string &description);
    ~Pipeline();
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    bool ok() const { return pipeline_ != nullptr; }
    // The element named name (owned by the pipeline), or nullptr.
    GstElement *Element(const char *name) const;
    // Asks for the state; false when the pipeline refused it at once.
    bool Set(GstState state);
    // Waits for the end of the stream, at most timeoutMs; false on an error
    // message or the time-out.
    bool AwaitEos(int timeoutMs);

private:
    GstElement *pipeline_ = nullptr;
};

// The source's description up to the element that ships the frames.
std::string SourceDescription(const RoleArgs &args);

// The frame caps both ways carry, with the source's frame rate.
std::string FrameCaps(const RoleArgs &args);

// The element of the sink process that a way feeds: the encoder when it
// encodes, else the fakesink.
const char *SinkHeadName(const RoleArgs &args);

// How a way fits its elements into a role: prepare (may be empty) runs once
// the pipeline is built, before it starts; stop (may be empty) runs after the
// parent let the role go, before the pipeline is torn down, so that nothing
// of the way's own pushes into a pipeline that is going.
struct RoleHooks {
    std::function<bool(Pipeline &)> prepare;
    std::function<void()> stop;
};

// A source role: the pipeline SourceDescription ! sinkDescription. Stamps
// each frame at the source's pad, and reports the process's and the
// streaming thread's processor time over the window once the stream ended.
// Returns the exit status.
int RunSourceRole(const RoleArgs &args, const std::string &sinkDescription, const RoleHooks &hooks);

// A sink role: the pipeline sourceDescription ! fakesink named "sink" (the
// fakesink alone for an empty description, fed by the way's own pad), with
// x264enc (ultrafast, zero latency) named "enc" before the fakesink when
// args.encode; the latency is then the time from the stamp to the encoded
// frame reaching the fakesink.
// Reports the sink meter's figures once every frame went by.
int RunSinkRole(const RoleArgs &args, const std::string &sourceDescription, const RoleHooks &hooks);

// The ways' roles.
int ShmSourceRole(const RoleArgs &args);
int ShmSinkRole(const RoleArgs &args);
int LibrarySourceRole(const RoleArgs &args);
int LibrarySinkRole(const RoleArgs &args);
int FloorSourceRole(const RoleArgs &args);
int FloorSinkRole(const RoleArgs &args);

} // namespace media

#endif

// GStreamer's own way between processes: shmsink in the source process
// writes each frame into its shared-memory area (videotestsrc renders
// straight into that area, from the allocator shmsink proposes) and sends
// its place over a Unix socket; shmsrc in the sink process maps the area and
// pushes each frame, read in place, downstream. The area holds 32 frames, so
// that as fast as the source renders it is not the area that bounds the
// rate.
#include <string>

#include "media_roles.h"

namespace media {

namespace {

std::string SocketPath(const RoleArgs &args) {
    return args.dir + "/shm-frames";
}

constexpr uint32_t kAreaBytes = 32U * 1920U * 1080U * 3U / 2U;

} // namespace

int ShmSourceRole(const RoleArgs &args) {
    return RunSourceRole(args,
                         "shmsink name=sink socket-path=" + SocketPath(args) +
                             " shm-size=" + std::to_string(kAreaBytes) + " wait-for-connection=true sync=false",
                         RoleHooks{});
}

int ShmSinkRole(const RoleArgs &args) {
    // shmsrc sends no caps of its own; an encoder needs them.
    return RunSinkRole(args,
                       "shmsrc socket-path=" + SocketPath(args) + " is-live=false" +
                           (args.encode ? " ! " + FrameCaps(args) : std::string()),
                       RoleHooks{});
}

} // namespace media

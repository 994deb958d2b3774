/*
 * The shared-buffer roles of carrier_peer: task "frames", which checks every
 * frame it gets byte for byte, tells whether the frame lies in a read-only
 * mapping of a sender's segment, holds frames on command and reads the
 * descriptors that come with a message; and the shipper, which sends frames
 * of its own pool to a task of the test process. Reports go out as one line
 * each through g_report.
 *
 * The callback runs on the task's loop thread, commands on the thread that
 * reads them; the held frames are guarded by a mutex. A frames peer also
 * has task "stall", which holds up its receive thread on demand.
 */
#ifndef VYRE_FRAME_ROLES_H
#define VYRE_FRAME_ROLES_H

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "carrier/carrier_proto.h"
#include "support/descriptors.h"
#include "vyre_os_msg.h"

namespace frame_roles {

using namespace carrier_proto;

constexpr uint32_t kFrame = 200U;   // a frame in a shared buffer; its pattern's seed is its length
constexpr uint32_t kFdMsg = 201U;   // descriptors; payload: FdNote, then bytes patterned with kFdMsg
constexpr uint32_t kStamped = 202U; // a frame of a numbered stream, its number stamped (StampFrame)
constexpr const char *kSegmentName = "vyre_os_msg_buf";
constexpr const char *kLaneName = "vyre_os_msg_lane"; // where a receiver gives buffers back

/* What a message with descriptors says about its first one. */
struct FdNote {
    uint32_t len;  // bytes to read from the descriptor's start
    uint32_t seed; // their pattern's seed
};

inline void (*g_report)(const std::string &line) = nullptr;

/* Stamps frame number seq at the start, the middle and the end of data
 * (len at least 12), so that a frame read from the wrong block or at the
 * wrong offset shows. */
inline void StampFrame(uint8_t *data, uint32_t len, uint32_t seq) {
    for (uint32_t at : {0U, len / 2U, len - 4U}) {
        std::memcpy(data + at, &seq, sizeof(seq));
    }
}

/* The number stamped on data, or UINT32_MAX when its three stamps differ. */
inline uint32_t StampOf(const uint8_t *data, uint32_t len) {
    uint32_t seq[3] = {0U, 0U, 0U};
    if (len < 12U) {
        return UINT32_MAX;
    }
    std::memcpy(&seq[0], data, 4U);
    std::memcpy(&seq[1], data + len / 2U, 4U);
    std::memcpy(&seq[2], data + len - 4U, 4U);
    return seq[0] == seq[1] && seq[1] == seq[2] ? seq[0] : UINT32_MAX;
}

using ::MappingsOf;

/* The open descriptors of the kinds that travel with messages here: memory
 * files (segments among them) and pipes. Sockets and process watches that
 * the library opens for its peers in its own time are left out. */
inline size_t OpenFdCount() {
    size_t n = 0U;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (const dirent *entry = readdir(dir)) {
            char target[256] = {0};
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            if (entry->d_name[0] != '.' && readlink(path.c_str(), target, sizeof(target) - 1U) > 0) {
                n += std::strncmp(target, "/memfd:", 7) == 0 || std::strncmp(target, "pipe:", 5) == 0 ? 1U : 0U;
            }
        }
        closedir(dir);
    }
    return n;
}

/* True when p lies in a shared, read-only mapping of a buffer segment that
 * cannot be made writable. */
inline bool InReadOnlySegment(const void *p) {
    const auto at = reinterpret_cast<uintptr_t>(p);
    bool found = false;
    if (FILE *maps = std::fopen("/proc/self/maps", "r")) {
        char line[512];
        while (!found && std::fgets(line, sizeof(line), maps) != nullptr) {
            uintptr_t lo = 0U;
            uintptr_t hi = 0U;
            char perms[8] = {0};
            if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %7s", &lo, &hi, perms) == 3 && at >= lo && at < hi) {
                found = std::strcmp(perms, "r--s") == 0 && std::strstr(line, kSegmentName) != nullptr;
            }
        }
        std::fclose(maps);
    }
    void *page = reinterpret_cast<void *>(at & ~static_cast<uintptr_t>(4095U));
    return found && mprotect(page, 4096U, PROT_READ | PROT_WRITE) != 0 && errno == EACCES;
}

class Frames {
public:
    /* kFrame and kEvent: "frame LEN INTACT READONLY HELD" (HELD: its index
     * among the held frames, -1 when not held); kProbe: "probe"; kCall: the
     * first 8 bytes answered back, without a report; kFdMsg:
     * "fds COUNT INTACT PAYLOAD", COUNT the message's descriptors, INTACT
     * whether the first one's bytes matched, PAYLOAD whether the payload
     * did (the others are left to the library to close); kStamped: counted,
     * without a report (see "stamps"). */
    uint32_t OnMessage(MsgHead *msg) {
        if (msg->msgId == kStamped) {
            const uint32_t seq = StampOf(static_cast<const uint8_t *>(msg->data), msg->dataLen);
            std::lock_guard<std::mutex> guard(lock_);
            misplaced_ += seq != stamps_ ? 1U : 0U;
            stamps_ += 1U;
        } else if (msg->msgId == kProbe) {
            g_report("probe");
        } else if (msg->msgId == kCall) {
            (void)OsMsgSynSendResp(msg, msg->data, msg->dataLen >= 8U ? 8U : 0U);
        } else if (msg->msgId == kFdMsg) {
            OnFds(msg);
        } else if (msg->msgId == kFrame || msg->msgId == kEvent) {
            const uint8_t *data = static_cast<const uint8_t *>(msg->data);
            const bool intact = PatternIntact(data, msg->dataLen, msg->dataLen);
            const bool readOnly = InReadOnlySegment(data);
            int held = -1;
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (holding_ && OsMsgBufHold(data) == OS_MSG_OK) {
                    held = static_cast<int>(held_.size());
                    held_.push_back(data);
                }
            }
            g_report("frame " + std::to_string(msg->dataLen) + " " + std::to_string(intact) + " " +
                     std::to_string(readOnly) + " " + std::to_string(held));
        }
        return 0U;
    }

    /* "hold": frames are held from now on ("holding"); "release I": releases held frame
     * I ("released CODE"); "maps": "maps N", the segments mapped;
     * "fdcount": "fdcount N", the memory files and pipes open; "stamps":
     * "stamps N BAD", the stamped frames taken and those of them that were
     * not the next number of the stream. False for another command. */
    bool RunCommand(const std::string &command) {
        unsigned index = 0U;
        if (command == "hold") {
            {
                std::lock_guard<std::mutex> guard(lock_);
                holding_ = true;
            }
            g_report("holding"); // commands and frames travel apart: the test sends frames after this
        } else if (std::sscanf(command.c_str(), "release %u", &index) == 1) {
            const void *data = nullptr;
            {
                std::lock_guard<std::mutex> guard(lock_);
                data = index < held_.size() ? held_[index] : nullptr;
            }
            g_report("released " + std::to_string(OsMsgBufRelease(data)));
        } else if (command == "maps") {
            g_report("maps " + std::to_string(MappingsOf(kSegmentName)));
        } else if (command == "fdcount") {
            g_report("fdcount " + std::to_string(OpenFdCount()));
        } else if (command == "stamps") {
            std::lock_guard<std::mutex> guard(lock_);
            g_report("stamps " + std::to_string(stamps_) + " " + std::to_string(misplaced_));
        } else {
            return false;
        }
        return true;
    }

private:
    void OnFds(MsgHead *msg) {
        FdNote note{};
        const bool noted = msg->dataLen >= sizeof(note);
        if (noted) {
            std::memcpy(&note, msg->data, sizeof(note));
        }
        const uint32_t count = OsMsgFdCount(msg);
        const int fd = OsMsgTakeFd(msg, 0U);
        bool intact = false;
        if (fd >= 0 && noted && note.len != 0U) {
            void *map = mmap(nullptr, note.len, PROT_READ, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED) {
                intact = PatternIntact(static_cast<const uint8_t *>(map), note.len, note.seed);
                (void)munmap(map, note.len);
            }
        }
        if (fd >= 0) {
            (void)close(fd);
        }
        const bool payload = noted && PatternIntact(static_cast<const uint8_t *>(msg->data) + sizeof(note),
                                                    msg->dataLen - (uint32_t)sizeof(note), kFdMsg);
        g_report("fds " + std::to_string(count) + " " + std::to_string(intact) + " " + std::to_string(payload));
    }

    std::mutex lock_;
    bool holding_ = false;
    std::vector<const void *> held_;
    uint32_t stamps_ = 0U;    // stamped frames taken, and so the number expected next
    uint32_t misplaced_ = 0U; // of them: those stamped with another number (lost, repeated, reordered, torn)
};

inline Frames g_frames;

/* Task "stall", served on the receive thread of a frames peer: it holds
 * that thread for the milliseconds its message's first four bytes say (at
 * most two seconds), while senders go on posting. */
constexpr const char *kStallTask = "stall";

inline uint32_t OnStall(MsgHead *msg) {
    uint32_t ms = 0U;
    if (msg->dataLen >= sizeof(ms)) {
        std::memcpy(&ms, msg->data, sizeof(ms));
    }
    (void)usleep((ms < 2000U ? ms : 2000U) * 1000U);
    return 0U;
}

inline uint32_t OnFrame(MsgHead *msg) {
    return g_frames.OnMessage(msg);
}

/* Sends count frames of size bytes from this process's pool to task "keep"
 * of process dest: the first failing send's code, or 0. */
inline uint32_t ShipFrames(const char *self, const char *dest, uint32_t count, uint32_t size) {
    for (uint32_t i = 0U; i < count; ++i) {
        void *data = nullptr;
        uint32_t ret = OsMsgBufAlloc(size, &data);
        if (ret != OS_MSG_OK) {
            return ret;
        }
        FillPattern(static_cast<uint8_t *>(data), size, size);
        MsgHead head;
        FillHead(&head, self, dest, "keep", kFrame, data, size);
        ret = OsMsgAsynSendBuf(&head);
        if (ret != OS_MSG_OK) {
            (void)OsMsgBufFree(data);
            return ret;
        }
    }
    return OS_MSG_OK;
}

} // namespace frame_roles

#endif /* VYRE_FRAME_ROLES_H */

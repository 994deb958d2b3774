// The cross-process floor of the frames comparison (frames_contenders.h):
// c.depth frames in sealed memory files, passed once with SCM_RIGHTS; then
// per frame a 4-byte datagram with its index, and the index back once the
// receiver is done with it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "frames_contenders.h"

namespace compare {

namespace {

constexpr uint32_t kMaxFrames = 16;

sockaddr_un Address(const std::string &dir) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, (dir + "/frames.sock").c_str(), sizeof(addr.sun_path) - 1);
    return addr;
}

// The frames of one side: descriptors and mappings, released at the end.
struct Frames {
    std::vector<int> fds;
    std::vector<char *> maps;
    uint32_t size = 0;
    ~Frames() {
        for (size_t i = 0; i < fds.size(); ++i) {
            if (maps[i] != nullptr) {
                (void)munmap(maps[i], size);
            }
            (void)close(fds[i]);
        }
    }
    bool Make(uint32_t count, uint32_t bytes) {
        size = bytes;
        for (uint32_t i = 0; i < count; ++i) {
            int fd = memfd_create("frame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
            if (fd < 0 || ftruncate(fd, bytes) != 0 ||
                fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
                return false;
            }
            fds.push_back(fd);
            void *map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            maps.push_back(map == MAP_FAILED ? nullptr : static_cast<char *>(map));
            if (maps.back() == nullptr) {
                return false;
            }
        }
        return true;
    }
    bool Map(const int *received, uint32_t count, uint32_t bytes) {
        size = bytes;
        for (uint32_t i = 0; i < count; ++i) {
            fds.push_back(received[i]);
            void *map = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, received[i], 0);
            maps.push_back(map == MAP_FAILED ? nullptr : static_cast<char *>(map));
            if (maps.back() == nullptr) {
                return false;
            }
        }
        return true;
    }
};

bool SendFds(int sock, const std::vector<int> &fds) {
    char space[CMSG_SPACE(sizeof(int) * kMaxFrames)] = {0};
    uint32_t count = static_cast<uint32_t>(fds.size());
    iovec iov{&count, sizeof(count)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = space;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
    return sendmsg(sock, &msg, 0) == static_cast<ssize_t>(sizeof(count));
}

bool ReceiveFds(int sock, uint32_t size, Frames &frames) {
    char space[CMSG_SPACE(sizeof(int) * kMaxFrames)] = {0};
    uint32_t count = 0;
    iovec iov{&count, sizeof(count)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = space;
    msg.msg_controllen = sizeof(space);
    if (recvmsg(sock, &msg, MSG_CMSG_CLOEXEC) != static_cast<ssize_t>(sizeof(count)) || count > kMaxFrames) {
        return false;
    }
    cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
    if (cmsg == nullptr || cmsg->cmsg_type != SCM_RIGHTS || cmsg->cmsg_len != CMSG_LEN(sizeof(int) * count)) {
        return false;
    }
    int fds[kMaxFrames];
    std::memcpy(fds, CMSG_DATA(cmsg), sizeof(int) * count);
    return frames.Map(fds, count, size);
}

int Accept(const std::string &dir, const Hook &ready) {
    int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr = Address(dir);
    int conn = -1;
    if (listener >= 0 && bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
        listen(listener, 1) == 0 && ready()) {
        conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (listener >= 0) {
        (void)close(listener);
    }
    return conn;
}

int Connect(const std::string &dir) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr = Address(dir);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        (void)close(fd);
        return -1;
    }
    return fd;
}

uint32_t Depth(uint32_t depth) {
    return depth == 0 || depth > kMaxFrames ? kMaxFrames : depth;
}

bool ServeOneWay(const OneWayCase &c, const std::string &dir, const Hook &ready, const Hook &finish, Tally &tally) {
    int conn = Accept(dir, ready);
    Frames frames;
    bool ok = conn >= 0 && ReceiveFds(conn, c.size, frames);
    for (uint64_t i = 0; ok && i < c.perProducer; ++i) {
        uint32_t index = 0;
        ok = recv(conn, &index, sizeof(index), 0) == sizeof(index) && index < frames.maps.size();
        if (ok) {
            tally.Take(frames.maps[index], c.size);
            ok = send(conn, &index, sizeof(index), MSG_NOSIGNAL) == sizeof(index);
        }
    }
    ok = ok && finish();
    if (conn >= 0) {
        (void)close(conn);
    }
    return ok;
}

bool SendOneWay(const OneWayCase &c, const std::string &dir, const Hook &begin, const Hook &finish) {
    Frames frames;
    int conn = Connect(dir);
    bool ok = conn >= 0 && frames.Make(Depth(c.depth), c.size) && SendFds(conn, frames.fds) && begin();
    std::vector<uint32_t> free;
    for (uint32_t i = 0; i < frames.fds.size(); ++i) {
        free.push_back(i);
    }
    for (uint64_t seq = 0; ok && seq < c.perProducer; ++seq) {
        uint32_t index = 0;
        if (free.empty()) {
            ok = recv(conn, &index, sizeof(index), 0) == sizeof(index);
        } else {
            index = free.back();
            free.pop_back();
        }
        StampFrame(frames.maps[index], c, seq);
        ok = ok && send(conn, &index, sizeof(index), MSG_NOSIGNAL) == sizeof(index);
    }
    ok = ok && finish();
    if (conn >= 0) {
        (void)close(conn);
    }
    return ok;
}

bool ServeEcho(uint32_t size, uint32_t trips, const std::string &dir, const Hook &ready, const Hook &finish) {
    int conn = Accept(dir, ready);
    Frames frames;
    bool ok = conn >= 0 && ReceiveFds(conn, size, frames);
    for (uint32_t i = 0; ok && i < trips; ++i) {
        uint32_t index = 0;
        uint64_t stamp = 0;
        ok = recv(conn, &index, sizeof(index), 0) == sizeof(index) && index < frames.maps.size();
        if (ok) {
            std::memcpy(&stamp, frames.maps[index], sizeof(stamp));
            ok = send(conn, &stamp, sizeof(stamp), MSG_NOSIGNAL) == sizeof(stamp);
        }
    }
    ok = ok && finish();
    if (conn >= 0) {
        (void)close(conn);
    }
    return ok;
}

bool CallEcho(uint32_t size, uint32_t warmup, uint32_t count, const std::string &dir, const Hook &finish,
              std::vector<double> &samplesUs) {
    Frames frames;
    int conn = Connect(dir);
    uint64_t seq = 0;
    bool ok = conn >= 0 && frames.Make(1, size) && SendFds(conn, frames.fds) &&
              DriveRoundTrips(
                  warmup, count,
                  [&] {
                      StampPayload(frames.maps[0], 0, ++seq);
                      uint32_t index = 0;
                      uint64_t answer = 0;
                      uint64_t expected = 0;
                      std::memcpy(&expected, frames.maps[0], sizeof(expected));
                      return send(conn, &index, sizeof(index), MSG_NOSIGNAL) == sizeof(index) &&
                             recv(conn, &answer, sizeof(answer), 0) == sizeof(answer) && answer == expected;
                  },
                  samplesUs) &&
              finish();
    if (conn >= 0) {
        (void)close(conn);
    }
    return ok;
}

} // namespace

const IpcContender kFramesFloor = {"memfd + SCM_RIGHTS", ServeOneWay, SendOneWay, ServeEcho, CallEcho};

} // namespace compare

// The cross-process floor: a connected SOCK_SEQPACKET pair and nothing else.
// A message of up to 64 KiB is one datagram, a larger one travels in 64 KiB
// slices, each with an 8-byte slice header (message length, offset). The
// receiver hands out whole messages in one malloc'd buffer each, as a library
// must: the first datagram lands in a stack buffer (the length is not known
// before it) and is copied, every further slice lands in place. Blocking sockets: the kernel's
// buffer limits provide the back-pressure.
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ipc_contenders.h"

namespace compare {

namespace {

constexpr uint32_t kSlice = 64U * 1024U;

struct SliceHeader {
    uint32_t total;
    uint32_t offset;
};

sockaddr_un Address(const std::string &dir) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = dir + "/raw.sock";
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    return addr;
}

// A file descriptor closed on destruction.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            (void)close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Listens in dir, calls ready and accepts one client; -1 on failure.
int AcceptOne(const std::string &dir, const Hook &ready) {
    Fd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr = Address(dir);
    if (listener.get() < 0 || bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(listener.get(), 1) != 0 || !ready()) {
        return -1;
    }
    return accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
}

int ConnectTo(const std::string &dir) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr = Address(dir);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        (void)close(fd);
        return -1;
    }
    return fd;
}

bool SendMessage(int fd, const char *data, uint32_t len) {
    uint32_t offset = 0;
    do {
        uint32_t chunk = std::min(kSlice, len - offset);
        SliceHeader header{len, offset};
        iovec parts[2] = {{&header, sizeof(header)}, {const_cast<char *>(data) + offset, chunk}};
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = 2;
        if (sendmsg(fd, &msg, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(header) + chunk)) {
            return false;
        }
        offset += chunk;
    } while (offset < len);
    return true;
}

// Receives one whole message into a new buffer (the caller frees it);
// nullptr on a broken stream. A slice's payload lands at its offset.
char *ReceiveMessage(int fd, uint32_t &len) {
    char *buffer = nullptr;
    uint32_t total = 0;
    uint32_t received = 0;
    do {
        SliceHeader header{};
        char first[kSlice];
        iovec parts[2] = {{&header, sizeof(header)}, {buffer != nullptr ? buffer + received : first, kSlice}};
        msghdr msg{};
        msg.msg_iov = parts;
        msg.msg_iovlen = 2;
        ssize_t n = recvmsg(fd, &msg, 0);
        uint32_t chunk = n < static_cast<ssize_t>(sizeof(header)) ? 0 : static_cast<uint32_t>(n) - sizeof(header);
        if (n < static_cast<ssize_t>(sizeof(header)) || header.offset != received ||
            (buffer != nullptr && header.total != total) || header.total - received < chunk) {
            std::free(buffer);
            return nullptr;
        }
        if (buffer == nullptr) {
            total = header.total;
            buffer = static_cast<char *>(std::malloc(std::max(total, 1U)));
            std::memcpy(buffer, first, chunk);
        }
        received += chunk;
    } while (received < total);
    len = total;
    return buffer;
}

bool ServeOneWay(const OneWayCase &c, const std::string &dir, const Hook &ready, const Hook &finish, Tally &tally) {
    Fd conn(AcceptOne(dir, ready));
    for (uint64_t i = 0; conn.get() >= 0 && i < c.perProducer; ++i) {
        uint32_t len = 0;
        char *data = ReceiveMessage(conn.get(), len);
        if (data == nullptr) {
            return false;
        }
        tally.Take(data, len);
        std::free(data);
    }
    return conn.get() >= 0 && finish();
}

bool SendOneWay(const OneWayCase &c, const std::string &dir, const Hook &finish) {
    Fd conn(ConnectTo(dir));
    std::vector<char> payload(c.size, 'q');
    for (uint64_t seq = 0; conn.get() >= 0 && seq < c.perProducer; ++seq) {
        StampPayload(payload.data(), 0, seq);
        if (!SendMessage(conn.get(), payload.data(), c.size)) {
            return false;
        }
    }
    return conn.get() >= 0 && finish();
}

bool ServeEcho(uint32_t, uint32_t trips, const std::string &dir, const Hook &ready, const Hook &finish) {
    Fd conn(AcceptOne(dir, ready));
    for (uint32_t i = 0; conn.get() >= 0 && i < trips; ++i) {
        uint32_t len = 0;
        char *data = ReceiveMessage(conn.get(), len);
        bool sent = data != nullptr && SendMessage(conn.get(), data, len);
        std::free(data);
        if (!sent) {
            return false;
        }
    }
    return conn.get() >= 0 && finish();
}

bool CallEcho(uint32_t size, uint32_t warmup, uint32_t count, const std::string &dir, const Hook &finish,
              std::vector<double> &samplesUs) {
    Fd conn(ConnectTo(dir));
    std::vector<char> payload(size, 'r');
    return conn.get() >= 0 &&
           DriveRoundTrips(
               warmup, count,
               [&] {
                   uint32_t len = 0;
                   char *answer =
                       SendMessage(conn.get(), payload.data(), size) ? ReceiveMessage(conn.get(), len) : nullptr;
                   bool same = answer != nullptr && len == size && SameBytes(answer, payload.data(), size);
                   std::free(answer);
                   return same;
               },
               samplesUs) &&
           finish();
}

} // namespace

const IpcContender kRawSeqpacket = {"raw SOCK_SEQPACKET", ServeOneWay, SendOneWay, ServeEcho, CallEcho};

} // namespace compare

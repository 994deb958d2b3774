// The cross-process floor: a connected SOCK_SEQPACKET pair and nothing else,
// each message sent and received as seqpacket_slices.h describes.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "ipc_contenders.h"
#include "seqpacket_slices.h"

namespace compare {

namespace {

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

bool ServeOneWay(const OneWayCase &c, const std::string &dir, const Hook &ready, const Hook &finish, Tally &tally) {
    Fd conn(AcceptOne(dir, ready));
    for (uint64_t i = 0; conn.get() >= 0 && i < c.perProducer; ++i) {
        uint32_t len = 0;
        char *data = ReceiveSliced(conn.get(), len);
        if (data == nullptr) {
            return false;
        }
        tally.Take(data, len);
        std::free(data);
    }
    return conn.get() >= 0 && finish();
}

bool SendOneWay(const OneWayCase &c, const std::string &dir, const Hook &begin, const Hook &finish) {
    Fd conn(ConnectTo(dir));
    std::vector<char> payload(c.size, 'q');
    if (conn.get() < 0 || !begin()) {
        return false;
    }
    for (uint64_t seq = 0; seq < c.perProducer; ++seq) {
        StampPayload(payload.data(), 0, seq);
        if (!SendSliced(conn.get(), payload.data(), c.size)) {
            return false;
        }
    }
    return finish();
}

bool ServeEcho(uint32_t, uint32_t trips, const std::string &dir, const Hook &ready, const Hook &finish) {
    Fd conn(AcceptOne(dir, ready));
    for (uint32_t i = 0; conn.get() >= 0 && i < trips; ++i) {
        uint32_t len = 0;
        char *data = ReceiveSliced(conn.get(), len);
        bool sent = data != nullptr && SendSliced(conn.get(), data, len);
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
                       SendSliced(conn.get(), payload.data(), size) ? ReceiveSliced(conn.get(), len) : nullptr;
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

// nng across processes over ipc://: pair1 one way (buffers of the case's
// depth), req0/rep0 round trips. nng_send copies the payload into a message;
// the receiver frees it after nng_recvmsg.
#include <nng/nng.h>
#include <nng/protocol/pair1/pair.h>
#include <nng/protocol/reqrep0/rep.h>
#include <nng/protocol/reqrep0/req.h>

#include <algorithm>

#include "ipc_contenders.h"

namespace compare {

namespace {

std::string Endpoint(const std::string &dir) {
    return "ipc://" + dir + "/nng.sock";
}

// An open socket, closed on destruction.
class Socket {
public:
    explicit Socket(int (*open)(nng_socket *)) : ok_(open(&socket_) == 0) {}
    ~Socket() {
        if (ok_) {
            (void)nng_close(socket_);
        }
    }
    void SetDepth(uint32_t depth) {
        int buffered = static_cast<int>(std::min<uint32_t>(depth, 8192U));
        (void)nng_socket_set_int(socket_, NNG_OPT_SENDBUF, buffered);
        (void)nng_socket_set_int(socket_, NNG_OPT_RECVBUF, buffered);
    }
    bool Listen(const std::string &dir) { return ok_ && nng_listen(socket_, Endpoint(dir).c_str(), nullptr, 0) == 0; }
    bool Dial(const std::string &dir) { return ok_ && nng_dial(socket_, Endpoint(dir).c_str(), nullptr, 0) == 0; }
    nng_socket get() const { return socket_; }

private:
    nng_socket socket_{};
    bool ok_;
};

bool ServeOneWay(const OneWayCase &c, const std::string &dir, const Hook &ready, const Hook &finish, Tally &tally) {
    Socket sink(nng_pair1_open);
    sink.SetDepth(c.depth);
    if (!sink.Listen(dir) || !ready()) {
        return false;
    }
    for (uint64_t i = 0; i < c.perProducer; ++i) {
        nng_msg *msg = nullptr;
        if (nng_recvmsg(sink.get(), &msg, 0) != 0) {
            return false;
        }
        tally.Take(nng_msg_body(msg), static_cast<uint32_t>(nng_msg_len(msg)));
        nng_msg_free(msg);
    }
    return finish();
}

bool SendOneWay(const OneWayCase &c, const std::string &dir, const Hook &begin, const Hook &finish) {
    Socket source(nng_pair1_open);
    source.SetDepth(c.depth);
    if (!source.Dial(dir)) {
        return false;
    }
    std::vector<char> payload(c.size, 'n');
    if (!begin()) {
        return false;
    }
    for (uint64_t seq = 0; seq < c.perProducer; ++seq) {
        StampPayload(payload.data(), 0, seq);
        if (nng_send(source.get(), payload.data(), c.size, 0) != 0) {
            return false;
        }
    }
    return finish();
}

bool ServeEcho(uint32_t, uint32_t trips, const std::string &dir, const Hook &ready, const Hook &finish) {
    Socket rep(nng_rep0_open);
    if (!rep.Listen(dir) || !ready()) {
        return false;
    }
    for (uint32_t i = 0; i < trips; ++i) {
        nng_msg *msg = nullptr;
        if (nng_recvmsg(rep.get(), &msg, 0) != 0) {
            return false;
        }
        if (nng_sendmsg(rep.get(), msg, 0) != 0) {
            nng_msg_free(msg);
            return false;
        }
    }
    return finish();
}

bool CallEcho(uint32_t size, uint32_t warmup, uint32_t count, const std::string &dir, const Hook &finish,
              std::vector<double> &samplesUs) {
    Socket req(nng_req0_open);
    if (!req.Dial(dir)) {
        return false;
    }
    std::vector<char> payload(size, 'r');
    return DriveRoundTrips(
               warmup, count,
               [&] {
                   nng_msg *answer = nullptr;
                   if (nng_send(req.get(), payload.data(), size, 0) != 0 || nng_recvmsg(req.get(), &answer, 0) != 0) {
                       return false;
                   }
                   bool same = nng_msg_len(answer) == size && SameBytes(nng_msg_body(answer), payload.data(), size);
                   nng_msg_free(answer);
                   return same;
               },
               samplesUs) &&
           finish();
}

} // namespace

const IpcContender kNngIpc = {"nng ipc", ServeOneWay, SendOneWay, ServeEcho, CallEcho};

} // namespace compare

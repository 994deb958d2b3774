// ZeroMQ across processes over ipc://: PAIR one way (high-water marks set to
// the case's depth), REQ/REP round trips. Payloads are copied into ZeroMQ's
// messages by zmq_send and released by the receiver after zmq_msg_recv.
#include <zmq.h>

#include <cstdio>

#include "ipc_contenders.h"

namespace compare {

namespace {

std::string Endpoint(const std::string &dir) {
    return "ipc://" + dir + "/zmq.sock";
}

void SetDepth(void *socket, uint32_t depth) {
    int hwm = static_cast<int>(depth);
    (void)zmq_setsockopt(socket, ZMQ_SNDHWM, &hwm, sizeof(hwm));
    (void)zmq_setsockopt(socket, ZMQ_RCVHWM, &hwm, sizeof(hwm));
}

// One socket of the given type in a context of its own, bound or connected
// to the directory's endpoint; closed with its context.
class Socket {
public:
    Socket(int type, uint32_t depth) : ctx_(zmq_ctx_new()), socket_(zmq_socket(ctx_, type)) {
        SetDepth(socket_, depth);
    }
    ~Socket() {
        (void)zmq_close(socket_);
        (void)zmq_ctx_term(ctx_);
    }
    bool Bind(const std::string &dir) { return zmq_bind(socket_, Endpoint(dir).c_str()) == 0; }
    bool Connect(const std::string &dir) { return zmq_connect(socket_, Endpoint(dir).c_str()) == 0; }
    void *get() const { return socket_; }

private:
    void *ctx_;
    void *socket_;
};

bool ServeOneWay(const OneWayCase &c, const std::string &dir, const Hook &ready, const Hook &finish, Tally &tally) {
    Socket sink(ZMQ_PAIR, c.depth);
    if (!sink.Bind(dir) || !ready()) {
        return false;
    }
    zmq_msg_t msg;
    for (uint64_t i = 0; i < c.perProducer; ++i) {
        (void)zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, sink.get(), 0) < 0) {
            return false;
        }
        tally.Take(zmq_msg_data(&msg), static_cast<uint32_t>(zmq_msg_size(&msg)));
        (void)zmq_msg_close(&msg);
    }
    return finish();
}

bool SendOneWay(const OneWayCase &c, const std::string &dir, const Hook &begin, const Hook &finish) {
    Socket source(ZMQ_PAIR, c.depth);
    if (!source.Connect(dir)) {
        return false;
    }
    std::vector<char> payload(c.size, 'z');
    if (!begin()) {
        return false;
    }
    for (uint64_t seq = 0; seq < c.perProducer; ++seq) {
        StampPayload(payload.data(), 0, seq);
        if (zmq_send(source.get(), payload.data(), c.size, 0) != static_cast<int>(c.size)) {
            return false;
        }
    }
    return finish();
}

bool ServeEcho(uint32_t, uint32_t trips, const std::string &dir, const Hook &ready, const Hook &finish) {
    Socket rep(ZMQ_REP, 1000);
    if (!rep.Bind(dir) || !ready()) {
        return false;
    }
    zmq_msg_t msg;
    for (uint32_t i = 0; i < trips; ++i) {
        (void)zmq_msg_init(&msg);
        if (zmq_msg_recv(&msg, rep.get(), 0) < 0 || zmq_msg_send(&msg, rep.get(), 0) < 0) {
            (void)zmq_msg_close(&msg);
            return false;
        }
    }
    return finish();
}

bool CallEcho(uint32_t size, uint32_t warmup, uint32_t count, const std::string &dir, const Hook &finish,
              std::vector<double> &samplesUs) {
    Socket req(ZMQ_REQ, 1000);
    if (!req.Connect(dir)) {
        return false;
    }
    std::vector<char> payload(size, 'r');
    std::vector<char> answer(size);
    return DriveRoundTrips(
               warmup, count,
               [&] {
                   return zmq_send(req.get(), payload.data(), size, 0) == static_cast<int>(size) &&
                          zmq_recv(req.get(), answer.data(), size, 0) == static_cast<int>(size) &&
                          SameBytes(answer.data(), payload.data(), size);
               },
               samplesUs) &&
           finish();
}

} // namespace

const IpcContender kZmqIpc = {"ZeroMQ ipc", ServeOneWay, SendOneWay, ServeEcho, CallEcho};

} // namespace compare

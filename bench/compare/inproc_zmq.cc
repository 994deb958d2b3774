// ZeroMQ in-process contenders: inproc PAIR (one producer), PUSH into PULL
// (several producers), and REQ/REP round trips. zmq_send copies the payload
// into a message of its own; the receiver takes it with zmq_msg_recv and
// releases it. High-water marks are set to the case's depth on both ends.
#include <zmq.h>

#include <cstdio>
#include <string>
#include <thread>

#include "inproc_contenders.h"

namespace compare {

namespace {

void SetDepth(void *socket, uint32_t depth) {
    int hwm = static_cast<int>(depth);
    (void)zmq_setsockopt(socket, ZMQ_SNDHWM, &hwm, sizeof(hwm));
    (void)zmq_setsockopt(socket, ZMQ_RCVHWM, &hwm, sizeof(hwm));
}

// A context whose sockets are all closed before it is terminated.
class Context {
public:
    Context() : ctx_(zmq_ctx_new()) {}
    ~Context() { (void)zmq_ctx_term(ctx_); }
    void *get() const { return ctx_; }

private:
    void *ctx_;
};

} // namespace

double ZmqOneWay(const OneWayCase &c) {
    Context ctx;
    const bool many = c.producers > 1;
    void *sink = zmq_socket(ctx.get(), many ? ZMQ_PULL : ZMQ_PAIR);
    SetDepth(sink, c.depth);
    if (zmq_bind(sink, "inproc://oneway") != 0) {
        std::fprintf(stderr, "zmq bind: %s\n", zmq_strerror(zmq_errno()));
        (void)zmq_close(sink);
        return -1.0;
    }
    std::vector<void *> sources;
    for (uint32_t p = 0; p < c.producers; ++p) {
        void *source = zmq_socket(ctx.get(), many ? ZMQ_PUSH : ZMQ_PAIR);
        SetDepth(source, c.depth);
        (void)zmq_connect(source, "inproc://oneway");
        sources.push_back(source);
    }
    Tally tally(c);
    const uint64_t total = c.perProducer * c.producers;
    std::thread consumer([&] {
        zmq_msg_t msg;
        for (uint64_t i = 0; i < total; ++i) {
            (void)zmq_msg_init(&msg);
            if (zmq_msg_recv(&msg, sink, 0) < 0) {
                tally.Take(nullptr, 0);
                return;
            }
            tally.Take(zmq_msg_data(&msg), static_cast<uint32_t>(zmq_msg_size(&msg)));
            (void)zmq_msg_close(&msg);
        }
    });
    double rate = DriveOneWay(c, tally, [&](uint32_t producer) {
        std::vector<char> source(c.size, 'z');
        for (uint64_t seq = 0; seq < c.perProducer; ++seq) {
            StampPayload(source.data(), producer, seq);
            if (zmq_send(sources[producer], source.data(), c.size, 0) != static_cast<int>(c.size)) {
                return false;
            }
        }
        return true;
    });
    consumer.join();
    for (void *source : sources) {
        (void)zmq_close(source);
    }
    (void)zmq_close(sink);
    return rate;
}

bool ZmqRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs) {
    Context ctx;
    void *rep = zmq_socket(ctx.get(), ZMQ_REP);
    void *req = zmq_socket(ctx.get(), ZMQ_REQ);
    if (zmq_bind(rep, "inproc://roundtrip") != 0 || zmq_connect(req, "inproc://roundtrip") != 0) {
        (void)zmq_close(req);
        (void)zmq_close(rep);
        return false;
    }
    constexpr uint32_t kWarmup = 1000;
    std::thread server([&] {
        zmq_msg_t msg;
        for (uint32_t i = 0; i < kWarmup + count; ++i) {
            (void)zmq_msg_init(&msg);
            if (zmq_msg_recv(&msg, rep, 0) < 0 || zmq_msg_send(&msg, rep, 0) < 0) {
                (void)zmq_msg_close(&msg);
                return;
            }
        }
    });
    std::vector<char> payload(size, 'r');
    std::vector<char> answer(size);
    bool ok = DriveRoundTrips(
        kWarmup, count,
        [&] {
            return zmq_send(req, payload.data(), size, 0) == static_cast<int>(size) &&
                   zmq_recv(req, answer.data(), size, 0) == static_cast<int>(size) &&
                   SameBytes(answer.data(), payload.data(), size);
        },
        samplesUs);
    if (!ok) {
        server.detach();
        return false;
    }
    server.join();
    (void)zmq_close(req);
    (void)zmq_close(rep);
    return true;
}

} // namespace compare

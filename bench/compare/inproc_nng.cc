// nng in-process contenders: inproc pair1 (one producer), push0 sockets into
// one pull0 (several producers), and req0/rep0 round trips. nng_send copies
// the payload into a message of its own; the receiver takes it with
// nng_recvmsg and frees it. Send and receive buffers hold the case's depth.
#include <nng/nng.h>
#include <nng/protocol/pair1/pair.h>
#include <nng/protocol/pipeline0/pull.h>
#include <nng/protocol/pipeline0/push.h>
#include <nng/protocol/reqrep0/rep.h>
#include <nng/protocol/reqrep0/req.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "inproc_contenders.h"

namespace compare {

namespace {

void SetDepth(nng_socket socket, uint32_t depth) {
    int buffered = static_cast<int>(std::min<uint32_t>(depth, 8192U));
    (void)nng_socket_set_int(socket, NNG_OPT_SENDBUF, buffered);
    (void)nng_socket_set_int(socket, NNG_OPT_RECVBUF, buffered);
}

} // namespace

double NngOneWay(const OneWayCase &c) {
    const bool many = c.producers > 1;
    nng_socket sink;
    int rv = many ? nng_pull0_open(&sink) : nng_pair1_open(&sink);
    if (rv != 0) {
        return -1.0;
    }
    SetDepth(sink, c.depth);
    if ((rv = nng_listen(sink, "inproc://oneway", nullptr, 0)) != 0) {
        std::fprintf(stderr, "nng listen: %s\n", nng_strerror(rv));
        (void)nng_close(sink);
        return -1.0;
    }
    std::vector<nng_socket> sources(c.producers);
    for (nng_socket &source : sources) {
        rv = many ? nng_push0_open(&source) : nng_pair1_open(&source);
        if (rv == 0) {
            SetDepth(source, c.depth);
            rv = nng_dial(source, "inproc://oneway", nullptr, 0);
        }
        if (rv != 0) {
            std::fprintf(stderr, "nng dial: %s\n", nng_strerror(rv));
            return -1.0;
        }
    }
    Tally tally(c);
    const uint64_t total = c.perProducer * c.producers;
    std::thread consumer([&] {
        for (uint64_t i = 0; i < total; ++i) {
            nng_msg *msg = nullptr;
            if (nng_recvmsg(sink, &msg, 0) != 0) {
                tally.Take(nullptr, 0);
                return;
            }
            tally.Take(nng_msg_body(msg), static_cast<uint32_t>(nng_msg_len(msg)));
            nng_msg_free(msg);
        }
    });
    double rate = DriveOneWay(c, tally, [&](uint32_t producer) {
        std::vector<char> source(c.size, 'n');
        for (uint64_t seq = 0; seq < c.perProducer; ++seq) {
            StampPayload(source.data(), producer, seq);
            if (nng_send(sources[producer], source.data(), c.size, 0) != 0) {
                return false;
            }
        }
        return true;
    });
    consumer.join();
    for (nng_socket source : sources) {
        (void)nng_close(source);
    }
    (void)nng_close(sink);
    return rate;
}

bool NngRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs) {
    nng_socket rep;
    nng_socket req;
    if (nng_rep0_open(&rep) != 0 || nng_req0_open(&req) != 0 ||
        nng_listen(rep, "inproc://roundtrip", nullptr, 0) != 0 ||
        nng_dial(req, "inproc://roundtrip", nullptr, 0) != 0) {
        return false;
    }
    constexpr uint32_t kWarmup = 1000;
    std::thread server([&] {
        for (uint32_t i = 0; i < kWarmup + count; ++i) {
            nng_msg *msg = nullptr;
            if (nng_recvmsg(rep, &msg, 0) != 0) {
                return;
            }
            if (nng_sendmsg(rep, msg, 0) != 0) {
                nng_msg_free(msg);
                return;
            }
        }
    });
    std::vector<char> payload(size, 'r');
    bool ok = DriveRoundTrips(
        kWarmup, count,
        [&] {
            nng_msg *answer = nullptr;
            if (nng_send(req, payload.data(), size, 0) != 0 || nng_recvmsg(req, &answer, 0) != 0) {
                return false;
            }
            bool same = nng_msg_len(answer) == size && SameBytes(nng_msg_body(answer), payload.data(), size);
            nng_msg_free(answer);
            return same;
        },
        samplesUs);
    if (!ok) {
        server.detach();
        return false;
    }
    server.join();
    (void)nng_close(req);
    (void)nng_close(rep);
    return true;
}

} // namespace compare

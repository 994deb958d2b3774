// The comparison tool's own parts: order statistics, per-round ratios, the
// floor's ring, the consumer's checks and the isolated measurements. A wrong
// figure here would misstate every contender, so these are checked against
// hand-computed values.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "compare_drive.h"
#include "compare_harness.h"
#include "compare_options.h"
#include "futex_ring.h"
#include "ipc_drive.h"
#include "seqpacket_slices.h"

namespace compare {
namespace {

TEST(OrderStatistics, QuantileTakesTheNearestRankOfUnsortedSamples) {
    std::vector<double> samples;
    for (int i = 100; i >= 1; --i) {
        samples.push_back(i);
    }
    EXPECT_EQ(Quantile(samples, 0.50), 50);
    EXPECT_EQ(Quantile(samples, 0.99), 99);
    EXPECT_EQ(Quantile(samples, 1.0), 100);
    EXPECT_EQ(Quantile(samples, 0.0), 1);
    EXPECT_EQ(Quantile({7, 3, 5}, 0.99), 7);
    EXPECT_EQ(Quantile({}, 0.5), 0);
}

TEST(OrderStatistics, MedianAveragesTheMiddlePairOfAnEvenCount) {
    EXPECT_EQ(Median({9, 1, 5}), 5);
    EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
    EXPECT_EQ(Median({}), 0);
}

Figure TwoContenders() {
    Figure figure("rates", Unit::kRate, Reference{"peer", "xpeer"}, Reference{"floor", "xfloor"});
    // Round 1: the machine is fast; round 2: slow; round 3: the peer failed.
    figure.Add("peer", 100);
    figure.Add("lib", 80);
    figure.Add("floor", 200);
    figure.Add("peer", 10);
    figure.Add("lib", 20);
    figure.Add("floor", 20);
    figure.Add("peer", -1);
    figure.Add("lib", 50);
    figure.Add("floor", 100);
    return figure;
}

TEST(ComparisonFigure, RatiosComeFromTheSameRoundNotFromTheMedians) {
    Figure figure = TwoContenders();
    // Per round lib/peer: 0.8 and 2.0 (round 3 has no peer): median 1.4,
    // while the ratio of the medians would be 50 / 55.
    EXPECT_DOUBLE_EQ(figure.RatioTo("lib", "peer"), 1.4);
    // lib/floor per round: 0.4, 1.0, 0.5.
    EXPECT_DOUBLE_EQ(figure.RatioTo("lib", "floor"), 0.5);
    EXPECT_DOUBLE_EQ(figure.RatioTo("floor", "floor"), 1.0);
}

TEST(ComparisonFigure, MedianLeavesFailedRoundsOutAndReportsAContenderThatNeverRan) {
    Figure figure = TwoContenders();
    EXPECT_DOUBLE_EQ(figure.MedianOf("peer"), 55);
    EXPECT_DOUBLE_EQ(figure.MedianOf("lib"), 50);
    EXPECT_LT(figure.MedianOf("absent"), 0);
    EXPECT_LT(figure.RatioTo("absent", "peer"), 0);
}

TEST(ComparisonFigure, ComparesAContenderWithItselfInAnotherFigure) {
    Figure one("one", Unit::kRate, Reference{"a", "xa"}, Reference{"a", "xa"});
    Figure eight("eight", Unit::kRate, Reference{"a", "xa"}, Reference{"a", "xa"});
    for (double v : {100.0, 50.0, 10.0}) {
        one.Add("lib", v);
    }
    for (double v : {70.0, 40.0, 10.0}) {
        eight.Add("lib", v);
    }
    EXPECT_DOUBLE_EQ(eight.RatioTo("lib", one), 0.8);
}

TEST(ComparisonFigure, FormatsRatesAndTimesInTheirUnits) {
    EXPECT_EQ(FormatValue(1790000, Unit::kRate), "1.79 M/s");
    EXPECT_EQ(FormatValue(733400, Unit::kRate), "733.4 k/s");
    EXPECT_EQ(FormatValue(950, Unit::kRate), "950 /s");
    EXPECT_EQ(FormatValue(40.06, Unit::kMicros), "40.1 us");
    EXPECT_EQ(FormatValue(-1, Unit::kMicros), "failed");
}

TEST(FloorRing, RefusesWhenFullAndKeepsOrderAcrossWraps) {
    FutexRing ring(4, false);
    int items[6] = {};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(ring.Push(RingItem{&items[i], static_cast<uint32_t>(i)}));
    }
    EXPECT_FALSE(ring.Push(RingItem{&items[4], 4}));
    RingItem got{};
    for (uint32_t lap = 0; lap < 10; ++lap) {
        ASSERT_TRUE(ring.Pop(got));
        EXPECT_EQ(got.len, lap);
        ASSERT_TRUE(ring.Push(RingItem{nullptr, lap + 4}));
    }
    for (uint32_t i = 10; i < 14; ++i) {
        ASSERT_TRUE(ring.Pop(got));
        EXPECT_EQ(got.len, i);
    }
    EXPECT_FALSE(ring.Pop(got));
}

TEST(FloorRing, DeliversEveryItemOfManyProducersOnceInEachProducersOrder) {
    constexpr uint32_t kProducers = 4;
    constexpr uint32_t kEach = 50000;
    FutexRing ring(64, true);
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; ++p) {
        producers.emplace_back([&ring, p] {
            for (uint32_t i = 0; i < kEach; ++i) {
                while (!ring.Push(RingItem{nullptr, p * kEach + i})) {
                    std::this_thread::yield();
                }
            }
        });
    }
    std::vector<uint32_t> next(kProducers, 0);
    uint64_t taken = 0;
    RingItem item{};
    while (taken < uint64_t{kProducers} * kEach) {
        ring.WaitNonEmpty();
        while (ring.Pop(item)) {
            uint32_t p = item.len / kEach;
            ASSERT_LT(p, kProducers);
            ASSERT_EQ(item.len % kEach, next[p]) << "producer " << p;
            ++next[p];
            ++taken;
        }
    }
    for (std::thread &t : producers) {
        t.join();
    }
    EXPECT_FALSE(ring.Pop(item));
    EXPECT_EQ(next, std::vector<uint32_t>(kProducers, kEach));
}

std::vector<char> Stamped(uint32_t size, uint32_t producer, uint64_t seq) {
    std::vector<char> payload(size, 'x');
    StampPayload(payload.data(), producer, seq);
    return payload;
}

TEST(ConsumerTally, CompletesWhenEveryProducersSequenceArrivedInOrder) {
    Tally tally(OneWayCase{64, 3, 2, 8});
    for (uint64_t seq = 0; seq < 3; ++seq) {
        tally.Take(Stamped(64, 1, seq).data(), 64);
        tally.Take(Stamped(64, 0, seq).data(), 64);
    }
    EXPECT_TRUE(tally.Wait(5));
    EXPECT_EQ(tally.handled(), 6U);
    EXPECT_GT(tally.endNs(), 0U);
}

TEST(ConsumerTally, FailsTheRunOnADuplicateAGapAWrongSizeOrAStrangeProducer) {
    struct Fault {
        const char *what;
        std::vector<char> payload;
        uint32_t len;
    };
    const Fault faults[] = {
        {"duplicate", Stamped(64, 0, 0), 64},
        {"gap", Stamped(64, 0, 2), 64},
        {"truncated", Stamped(64, 0, 1), 63},
        {"unknown producer", Stamped(64, 5, 1), 64},
    };
    for (const Fault &fault : faults) {
        Tally tally(OneWayCase{64, 4, 1, 8});
        tally.Take(Stamped(64, 0, 0).data(), 64);
        tally.Take(fault.payload.data(), fault.len);
        EXPECT_FALSE(tally.Wait(5)) << fault.what;
    }
}

TEST(IsolatedMeasurement, ReturnsTheChildsNumbersAndKeepsItsHeapSettingsInTheChild) {
    std::vector<double> out;
    ASSERT_TRUE(RunIsolated(
        [](std::vector<double> &values) {
            values = {1.5, static_cast<double>(getpid())};
            return true;
        },
        Heap::kTuned, 30, out));
    ASSERT_EQ(out.size(), 2U);
    EXPECT_EQ(out[0], 1.5);
    EXPECT_NE(out[1], static_cast<double>(getpid()));
    // A tuned child serves a 1 MiB block from the heap, not from a mapping
    // of its own; the parent's settings are untouched.
    ASSERT_TRUE(RunIsolated(
        [](std::vector<double> &values) {
            void *block = std::malloc(1 << 20);
            values = {static_cast<double>(mallinfo2().hblks)};
            std::free(block);
            return true;
        },
        Heap::kTuned, 30, out));
    EXPECT_EQ(out.at(0), 0);
    void *block = std::malloc(1 << 20);
    EXPECT_GE(mallinfo2().hblks, 1U);
    std::free(block);
}

TEST(IsolatedMeasurement, ReportsAFailedCrashedOrHungChildAsFailure) {
    std::vector<double> out;
    EXPECT_FALSE(RunIsolated([](std::vector<double> &) { return false; }, Heap::kDefault, 30, out));
    EXPECT_FALSE(RunIsolated([](std::vector<double> &) -> bool { std::abort(); }, Heap::kDefault, 30, out));
    EXPECT_FALSE(RunIsolated(
        [](std::vector<double> &) {
            pause(); // never returns: the harness must stop it
            return true;
        },
        Heap::kDefault, 1, out));
}

// A connected SOCK_SEQPACKET pair with send buffers large enough that a
// test can send a whole message before it receives it.
class SocketPair {
public:
    SocketPair() {
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_) == 0) {
            int size = 4 << 20;
            (void)setsockopt(fds_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
            (void)setsockopt(fds_[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        }
    }
    ~SocketPair() {
        (void)close(fds_[0]);
        (void)close(fds_[1]);
    }
    int sender() const { return fds_[0]; }
    int receiver() const { return fds_[1]; }

private:
    int fds_[2] = {-1, -1};
};

TEST(SeqpacketSlices, ReassemblesMessagesOfEverySliceCountByteForByte) {
    SocketPair pair;
    ASSERT_GE(pair.sender(), 0);
    for (uint32_t len : {1U, 64U, kSlice - 1, kSlice, kSlice + 1, 3 * kSlice + 17}) {
        std::vector<char> sent(len);
        for (uint32_t i = 0; i < len; ++i) {
            sent[i] = static_cast<char>(i * 31 + len);
        }
        std::thread writer([&] { EXPECT_TRUE(SendSliced(pair.sender(), sent.data(), len)); });
        uint32_t got = 0;
        char *message = ReceiveSliced(pair.receiver(), got);
        writer.join();
        ASSERT_NE(message, nullptr) << len;
        EXPECT_EQ(got, len);
        EXPECT_EQ(std::memcmp(message, sent.data(), len), 0) << len;
        std::free(message);
    }
}

// Sends one raw slice: header (total, offset) and n payload bytes.
void SendSlice(int fd, uint32_t total, uint32_t offset, uint32_t n) {
    std::vector<char> datagram(8 + n, 'x');
    std::memcpy(datagram.data(), &total, 4);
    std::memcpy(datagram.data() + 4, &offset, 4);
    ASSERT_EQ(send(fd, datagram.data(), datagram.size(), 0), static_cast<ssize_t>(datagram.size()));
}

TEST(SeqpacketSlices, RefusesASliceThatDoesNotContinueItsMessage) {
    struct Case {
        const char *what;
        uint32_t secondTotal;
        uint32_t secondOffset;
        uint32_t secondBytes;
    };
    // The first slice of each message announces 100000 bytes and brings 65536.
    const Case cases[] = {
        {"gap", 100000, kSlice + 1, 100},
        {"another length", 100001, kSlice, 100},
        {"more bytes than announced", 100000, kSlice, 40000},
    };
    for (const Case &c : cases) {
        SocketPair pair;
        SendSlice(pair.sender(), 100000, 0, kSlice);
        SendSlice(pair.sender(), c.secondTotal, c.secondOffset, c.secondBytes);
        uint32_t got = 0;
        char *message = ReceiveSliced(pair.receiver(), got);
        EXPECT_EQ(message, nullptr) << c.what;
        std::free(message);
    }
}

TEST(SeqpacketSlices, ReportsAClosedStreamAsNoMessage) {
    SocketPair pair;
    SendSlice(pair.sender(), 100000, 0, kSlice);
    ASSERT_EQ(shutdown(pair.sender(), SHUT_WR), 0);
    uint32_t got = 0;
    EXPECT_EQ(ReceiveSliced(pair.receiver(), got), nullptr);
}

TEST(CommandLine, TakesRoundsScaleAndFiltersAndRefusesAnythingElse) {
    auto parse = [](std::vector<const char *> args, Options &out) {
        args.insert(args.begin(), "compare");
        return ParseOptions(static_cast<int>(args.size()), const_cast<char **>(args.data()), 3, out);
    };
    Options options{};
    ASSERT_TRUE(parse({}, options));
    EXPECT_EQ(options.rounds, 3);
    EXPECT_EQ(options.scale, 1.0);
    EXPECT_EQ(options.only, nullptr);
    ASSERT_TRUE(parse({"--rounds", "5", "--scale", "0.01", "--only", "nng"}, options));
    EXPECT_EQ(options.rounds, 5);
    EXPECT_EQ(options.scale, 0.01);
    EXPECT_TRUE(Selected(options, "nng ipc"));
    EXPECT_FALSE(Selected(options, "ZeroMQ ipc"));
    EXPECT_EQ(Scaled(options, 200000, 1000), 2000U);
    EXPECT_EQ(Scaled(options, 20, 5), 5U);
    ASSERT_TRUE(parse({"--only", "ping-pong,SynSend"}, options));
    EXPECT_TRUE(Selected(options, "floor: futex ping-pong"));
    EXPECT_TRUE(Selected(options, "library OsMsgSynSend"));
    EXPECT_FALSE(Selected(options, "ZeroMQ inproc REQ/REP"));
    EXPECT_FALSE(Selected(options, "ping"));
    EXPECT_TRUE(FigureSelected(options, "any figure")) << "no --figure selects every figure";
    ASSERT_TRUE(parse({"--figure", "64 B,round trip"}, options));
    EXPECT_TRUE(FigureSelected(options, "Across processes, one way, 64 B"));
    EXPECT_TRUE(FigureSelected(options, "Across processes, round trip, 64 B, p99"));
    EXPECT_FALSE(FigureSelected(options, "Across processes, one way, 4 KiB"));
    EXPECT_TRUE(Selected(options, "nng ipc")) << "--figure leaves the contenders alone";
    for (std::vector<const char *> bad : std::vector<std::vector<const char *>>{
             {"--rounds", "0"}, {"--rounds", "2x"}, {"--scale", "-1"}, {"--scale"}, {"--fast"}}) {
        EXPECT_FALSE(parse(bad, options)) << bad[0];
    }
}

TEST(CrossProcessDriver, TimesAForkedRawSocketRunWhoseEveryMessageArrived) {
    for (uint32_t size : {64U, 200U * 1024U}) {
        double rate = RunOneWayAcross(kRawSeqpacket, OneWayCase{size, 300, 1, 64});
        EXPECT_GT(rate, 0) << size;
    }
    std::vector<double> samples;
    ASSERT_TRUE(RunRoundTripsAcross(kRawSeqpacket, 64, 100, samples));
    EXPECT_EQ(samples.size(), 100U);
}

// A client that sends message 1 twice, to the raw socket's own server.
bool SendADuplicate(const OneWayCase &c, const std::string &dir, const Hook &begin, const Hook &finish) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/raw.sock", dir.c_str());
    bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 && begin();
    std::vector<char> payload(c.size, 'd');
    for (uint64_t seq : {0, 1, 1, 2}) {
        StampPayload(payload.data(), 0, seq);
        ok = ok && SendSliced(fd, payload.data(), c.size);
    }
    ok = ok && finish();
    (void)close(fd);
    return ok;
}

bool FailToServe(const OneWayCase &, const std::string &, const Hook &, const Hook &, Tally &) {
    return false;
}

bool FailToServeEcho(uint32_t, uint32_t, const std::string &, const Hook &, const Hook &) {
    return false;
}

TEST(CrossProcessDriver, FailsARunWithADuplicateOrAServerThatNeverStarted) {
    IpcContender duplicating = kRawSeqpacket;
    duplicating.sendOneWay = SendADuplicate;
    EXPECT_LT(RunOneWayAcross(duplicating, OneWayCase{64, 4, 1, 64}), 0);
    IpcContender broken = kRawSeqpacket;
    broken.serveOneWay = FailToServe;
    broken.serveEcho = FailToServeEcho;
    EXPECT_LT(RunOneWayAcross(broken, OneWayCase{64, 4, 1, 64}), 0);
    std::vector<double> samples;
    EXPECT_FALSE(RunRoundTripsAcross(broken, 64, 10, samples));
}

} // namespace
} // namespace compare

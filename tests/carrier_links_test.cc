/*
 * The carrier's connections between real processes: answers travel back
 * on the connection their request came on, the peer cache forgets peers
 * that leave, idle or never ran, the receive loop rests when descriptors
 * run out, connections that close drop what they held back, a receiver
 * whose application forks keeps serving, and a message with more
 * descriptors than any takes is dropped alone. Every wait is bounded; the
 * fixture checks that nothing is left behind.
 */
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "carrier/carrier_fixture.h"
#include "carrier/carrier_raw.h"
#include "support/instrumented.h"
#include "support/msg_test_task.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_link.h"
#include "transport/unix/ipc_peer_cache.h"

namespace {

using namespace carrier_proto;
using carrier_test::CarrierFixture;
using carrier_test::OpenFds;
using carrier_test::Peer;
using carrier_test::SettledEntriesOf;

class CarrierLinks : public CarrierFixture {};

// A raw client writes requests whose sender fields name processes that do
// not run, and one that runs: every answer comes back on its own
// connection, and neither the server nor the named process gains a
// descriptor (the server never dials the names it was given).
TEST_F(CarrierLinks, AnswersGoBackOnTheRequestsConnectionWhateverSenderItNames) {
    Peer &server = StartReady({"echo", "srv"});
    Peer &named = StartReady({"echo", "named"});
    int fd = carrier_raw::Connect(SockPath("srv"));
    ASSERT_GE(fd, 0);
    auto ask = [&](uint32_t i) {
        std::string sender = i % 10U == 0U ? "named" : "fake" + std::to_string(i);
        MsgHead head = carrier_raw::Head(sender, "t" + std::to_string(i), "srv", "echo", kCall, 0U);
        carrier_raw::Got got;
        return carrier_raw::Call(fd, head, &got, carrier_test::kWaitMs) &&
               std::string(got.head.sendTaskName) == "t" + std::to_string(i) && got.payload.size() == sizeof(Answer);
    };
    ASSERT_TRUE(ask(0U));
    const size_t serverFds = SettledEntriesOf(server.Pid());
    const size_t namedFds = SettledEntriesOf(named.Pid());
    for (uint32_t i = 1U; i <= 200U; ++i) {
        ASSERT_TRUE(ask(i)) << "no answer on the request's connection for request " << i;
    }
    EXPECT_EQ(SettledEntriesOf(server.Pid()), serverFds);
    EXPECT_EQ(SettledEntriesOf(named.Pid()), namedFds);
    (void)close(fd);
}

// A process that does not run takes no slot, however many are tried, and
// the slots of peers that leave are given back: more peers than there are
// slots come and go, and each is heard. A connection left unused past the
// idle time is closed and its slot given back while the peer runs on; the
// next send connects again.
TEST_F(CarrierLinks, PeerSlotsAreGivenBackWhenThePeerLeavesIdlesOrNeverRan) {
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    const size_t fds = OpenFds();
    {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        for (uint32_t i = 0U; i < 2U * IPC_PEER_NUM; ++i) {
            ASSERT_EQ(SendTo(("ghost" + std::to_string(i)).c_str(), "echo", kPing), OS_MSG_ERR_SERVER_NOT_RUNNING) << i;
        }
    }
    EXPECT_EQ(IpcPeerNamedCount(), 0U);
    // More peers than slots over the rounds; under a sanitizer, where each
    // peer takes a second to start, a few rounds show the slots come back.
    const uint32_t rounds = kInstrumentedBuild ? 8U : IPC_PEER_NUM / 4U + 4U;
    for (uint32_t round = 0U; round < rounds; ++round) {
        std::vector<std::string> names;
        for (uint32_t i = 0U; i < 4U; ++i) {
            names.push_back("p" + std::to_string(round) + "_" + std::to_string(i));
            StartReady({"echo", names.back()});
        }
        for (const std::string &name : names) {
            ASSERT_EQ(Call(name.c_str(), 10000U), OS_MSG_OK) << name;
        }
        peers_.clear(); // they leave; the receive thread sees their links go
        ASSERT_TRUE(WaitUntil([] { return IpcPeerNamedCount() == 0U; })) << "round " << round;
        ASSERT_TRUE(WaitUntil([&] { return OpenFds() == fds; })) << "round " << round;
    }

    StartReady({"echo", "quiet"});
    // Once the wait returns, this process watches quiet's pid: that
    // descriptor is open before the count and stays so. A connection made
    // before the count (the two processes may have met already) is let go
    // idle first, so that the count holds none.
    ASSERT_EQ(OsMsgWaitProcess("quiet", 10000U), OS_MSG_OK);
    IpcPeerSetIdleMs(100U);
    ASSERT_TRUE(WaitUntil([] { return IpcPeerNamedCount() == 0U && IpcLinkCount() == 0U; }));
    const size_t watching = OpenFds();
    ASSERT_EQ(Call("quiet", 10000U), OS_MSG_OK);
    EXPECT_EQ(IpcPeerNamedCount(), 1U);
    EXPECT_TRUE(WaitUntil([] { return IpcPeerNamedCount() == 0U; }));
    EXPECT_TRUE(WaitUntil([&] { return OpenFds() == watching; }));
    EXPECT_EQ(Call("quiet", 10000U), OS_MSG_OK);
    IpcPeerSetIdleMs(0U);
}

// A receiver out of descriptors, with connections still queued on its
// listening socket, does not spin (its processor time over a second stays
// far below a core) and goes on answering the peer connected before; once
// descriptors free, new connections are served again.
TEST_F(CarrierLinks, OutOfDescriptorsTheListenerRestsAndConnectedPeersAreServed) {
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    Peer &lim = StartReady({"echo", "lim", "48"});
    ASSERT_EQ(Call("lim", 10000U), OS_MSG_OK);
    struct Flood {
        std::vector<int> fds;
        void Close() {
            for (int fd : fds) {
                (void)close(fd);
            }
            fds.clear();
        }
        ~Flood() { Close(); }
    } flood;
    for (int fd = 0; flood.fds.size() < 400U && fd >= 0;) { // until its backlog is full
        if ((fd = carrier_raw::Connect(SockPath("lim"), SOCK_NONBLOCK)) >= 0) {
            flood.fds.push_back(fd);
        }
    }
    ASSERT_GT(flood.fds.size(), 48U); // past its descriptors
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    const unsigned long long before = carrier_test::CpuTicksOf(lim.Pid());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(Call("lim", 10000U), OS_MSG_OK) << i; // the connected peer is served meanwhile
    }
    std::this_thread::sleep_for(std::chrono::seconds(1) -
                                (std::chrono::steady_clock::now() - start)); // the time is the behaviour
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double share = (double)(carrier_test::CpuTicksOf(lim.Pid()) - before) / (double)ticksPerSecond / seconds;
    EXPECT_LT(share, 0.3) << "the receiver spun while out of descriptors";
    flood.Close();
    ASSERT_TRUE(WaitUntil([&] {
        const int fresh = carrier_raw::Connect(SockPath("lim"));
        carrier_raw::Got got;
        const bool answered =
            fresh >= 0 && carrier_raw::Call(fresh, carrier_raw::Head("raw", "t", "lim", "echo", kCall, 0U), &got, 1000);
        (void)close(fresh);
        return answered;
    }));
}

// Clients each send a large message to a task whose queue is full and
// close, some after sending more than a connection may hold back (which
// stops it being read), some in the middle of a message (its first slice
// only, as a sender killed mid-message leaves it): nothing they sent stays
// held or under reassembly a moment later, and no descriptor stays open.
TEST_F(CarrierLinks, ConnectionsThatCloseLeaveNoHeldBackOrPartMessage) {
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    EXPECT_EQ(OsMsgRegTask("full", 1U, nullptr), OS_MSG_OK); // no loop: its queue stays full
    ASSERT_EQ(SendTo(name_.c_str(), "full", kPing), OS_MSG_OK);
    const size_t fds = OpenFds();
    const uint64_t blocks = UsedBlocks();
    constexpr uint32_t kMessage = 960U * 1024U;
    constexpr uint32_t kSlice = 128U * 1024U;
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
    const uint32_t clients = kInstrumentedBuild ? 20U : 100U; // 288 MB through sockets at full size
    for (uint32_t client = 0U; client < clients; ++client) {
        int fd = carrier_raw::Connect(SockPath("ctest"));
        ASSERT_GE(fd, 0);
        struct timeval bounded = {2, 0}; // a held-back connection takes no more
        ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bounded, sizeof(bounded)), 0);
        const uint32_t messages = client % 3U == 1U ? 5U : 1U; // 5 pass the bound
        const bool cut = client % 3U == 2U;
        MsgHead head = carrier_raw::Head("raw", "t", "ctest", "full", kPing, kMessage);
        bool sent = true;
        for (uint32_t m = 0U; m < messages && sent; ++m) {
            const std::vector<std::string> slices = carrier_raw::Slices(head, kMessage, kSlice, m);
            for (size_t i = 0U; i < (cut ? 1U : slices.size()) && sent; ++i) {
                sent = carrier_raw::Send(fd, slices[i]);
            }
        }
        (void)close(fd);
    }
    EXPECT_TRUE(WaitUntil([&] { return UsedBlocks() == blocks && OpenFds() == fds; }))
        << UsedBlocks() - blocks << " blocks and " << OpenFds() - fds << " descriptors left";
    EXPECT_EQ(IpcLinkCount(), 0U);
    {
        std::lock_guard<std::mutex> guard(rebuildEntry->rebuildLock);
        EXPECT_EQ(rebuildEntry->nodeTotal, 0);
    }
    ASSERT_EQ(OsMsgUnregTask(nullptr, 0U, "full"), OS_MSG_OK);
}

std::atomic<uint32_t> g_slowTaken{0U};

uint32_t TakeSlowly(MsgHead *) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    g_slowTaken.fetch_add(1U);
    return OS_MSG_OK;
}

// A sender sends a burst to a task that takes its messages slowly and
// closes at once, as a process that exits after its last send does: the
// receiver had stopped reading the connection while the queue was full,
// and still delivers every message the sender's sends put in the socket,
// for longer than a task that takes nothing is waited for (2.5 s here).
TEST_F(CarrierLinks, SenderThatClosesAfterABurstToASlowTaskLosesNothing) {
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    g_slowTaken = 0U;
    TestTask slow("slow", TakeSlowly, 2U);
    constexpr uint32_t kBurst = 100U;
    int fd = carrier_raw::Connect(SockPath("ctest"));
    ASSERT_GE(fd, 0);
    for (uint32_t m = 0U; m < kBurst; ++m) {
        MsgHead head = carrier_raw::Head("raw", "t", "ctest", "slow", kPing, 64U);
        ASSERT_TRUE(carrier_raw::Send(fd, carrier_raw::Record(MSG_TRANS_ASYN, head, std::string(64U, 'b'))));
    }
    (void)close(fd);
    EXPECT_TRUE(WaitUntil([] { return g_slowTaken.load() == kBurst; })) << g_slowTaken.load() << " of " << kBurst;
    EXPECT_TRUE(WaitUntil([] { return IpcLinkCount() == 0U; }));
}

// The receiver's application forks children that exit after a moment, and
// children that call it over a connection of their own and exit, while it
// serves: the children's copies of its descriptors never hand its poller a
// connection it closed, so it never crashes and every call is answered.
TEST_F(CarrierLinks, ReceiverWhoseApplicationForksKeepsServing) {
    ASSERT_EQ(Join("ctest", true), OS_MSG_OK);
    const std::string path = SockPath("ctest");
    MsgHead head = carrier_raw::Head("child", "t", "ctest", "echo", kCall, 0U);
    const std::string request = carrier_raw::Record(MSG_TRANS_SYN, head, ""); // built before the forks
    std::vector<char> answer(IPC_FRAME_DATAGRAM_MAX);
    constexpr int kChildren = 80;
    constexpr int kAtOnce = 4;
    std::vector<pid_t> running;
    int answered = 0;
    auto reap = [&](pid_t pid) {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status)) << "child " << pid;
        answered += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
    };
    for (int i = 0; i < kChildren; ++i) {
        if ((int)running.size() == kAtOnce) {
            reap(running.front());
            running.erase(running.begin());
        }
        const bool calls = i % 2 == 0;
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (!calls) {
                // Holds its copies of the receiver's descriptors a moment,
                // as a child that execs or exits soon does.
                struct timespec moment = {0, 20 * 1000 * 1000};
                (void)nanosleep(&moment, nullptr);
                _exit(0);
            }
            int fd = carrier_raw::Connect(path);
            bool ok = fd >= 0 && carrier_raw::SendBytes(fd, request.data(), request.size()) &&
                      carrier_raw::ReceiveBytes(fd, answer.data(), answer.size(), carrier_test::kWaitMs) > 0;
            _exit(ok ? 0 : 1);
        }
        running.push_back(pid);
    }
    for (pid_t pid : running) {
        reap(pid);
    }
    EXPECT_EQ(answered, kChildren);
    EXPECT_TRUE(WaitUntil([] { return IpcLinkCount() == 0U; }));
}

/* Sends datagram on fd with count descriptors of /dev/null: more than
 * IpcSysSendFds takes, by hand. */
bool SendWithFds(int fd, const std::string &datagram, int count) {
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    std::vector<uint8_t> control(CMSG_SPACE(sizeof(int) * fds.size()));
    struct iovec iov = {const_cast<char *>(datagram.data()), datagram.size()};
    struct msghdr msg {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    bool sent = sendmsg(fd, &msg, MSG_NOSIGNAL) == (ssize_t)datagram.size();
    for (int f : fds) {
        (void)close(f);
    }
    return sent;
}

// A large message that comes with more descriptors than any message takes
// is dropped alone, also when the receiver reads large messages straight
// into their buffers: the next message, of the same size, reaches the task
// its own header names (the one the broken message named gets nothing).
TEST_F(CarrierLinks, MessageWithTooManyDescriptorsIsDroppedAloneAndTheNextArrives) {
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    Peer &server = StartReady({"echo", "srv"});
    int fd = carrier_raw::Connect(SockPath("srv"));
    ASSERT_GE(fd, 0);
    const uint32_t len = 64U * 1024U;
    std::string payload(len, '\0');
    FillPattern(reinterpret_cast<uint8_t *>(&payload[0]), len, kPing);
    auto ping = [&](const char *replyTo, uint32_t size) {
        return carrier_raw::Record(MSG_TRANS_ASYN, carrier_raw::Head("ctest", replyTo, "srv", "echo", kPing, size),
                                   payload.substr(0U, size));
    };
    // The first large message makes the receiver read the next in place.
    ASSERT_TRUE(carrier_raw::Send(fd, ping("main", len)));
    ASSERT_TRUE(inbox_.WaitCount(kPong, 1U));
    const size_t serverFds = SettledEntriesOf(server.Pid());
    // Stopped, so that the three are waiting together when it reads again.
    ASSERT_TRUE(server.Freeze());
    ASSERT_TRUE(SendWithFds(fd, ping("nobody", len), 40));
    ASSERT_TRUE(carrier_raw::Send(fd, ping("main", len)));
    ASSERT_TRUE(carrier_raw::Send(fd, ping("main", 0U)));
    ASSERT_TRUE(server.Thaw());
    ASSERT_TRUE(inbox_.WaitCount(kPong, 3U)) << inbox_.Count(kPong) << " answers";
    EXPECT_EQ(AnswerOf(inbox_.Items()[1].payload), (Answer{(uint32_t)getpid(), (uint32_t)getuid(), len, 1U}));
    // Those that came were closed. An emulated peer's own receive buffer
    // takes more descriptors than the peer's and keeps those it cannot hand
    // over: its count says nothing about the library.
    if (!carrier_test::kPeerEmulated) {
        EXPECT_EQ(SettledEntriesOf(server.Pid()), serverFds);
    }
    (void)close(fd);
}

} // namespace

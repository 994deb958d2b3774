/*
 * What a message for another process does, through the public functions,
 * with each carrier: the loopback (the default: such a message comes back
 * into the sending process) and the Unix-socket carrier. The other process is
 * a carrier_peer process under the carrier and, under the loopback, the same
 * tasks (tests/carrier/peer_roles.h) run in this process under the other
 * process's name. Where the carriers differ by design, each case says so for
 * each carrier. Every wait is bounded; each case checks that the process is
 * left with the descriptors, threads and tracked blocks it had.
 */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "carrier/carrier_fixture.h"
#include "carrier/peer_roles.h"
#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "transport/ipc_carrier.h"
#include "transport/ipc_msg.h"
#include "transport/msg_rebuild.h"
#include "vyre_os_log.h"

namespace {

using namespace carrier_proto;
using simple_msg_test::Received;
using simple_msg_test::Record;

constexpr char kSelf[] = "ctest";
constexpr int kWaitMs = carrier_test::kWaitMs;

enum class Kind { kLoopback, kUnix };

/* The other process: one task (echo or sub) that reports lines. */
class Place {
public:
    virtual ~Place() = default;
    /* The next report, or "" when none comes within waitMs. */
    virtual std::string Line(int waitMs = kWaitMs) = 0;
    virtual void Send(const std::string &command) = 0;
    /* The process id its messages carry. */
    virtual uint32_t Pid() const = 0;
    const std::string &Name() const { return name_; }
    const std::string &Task() const { return task_; }
    /* Skips reports until one starting with prefix; "" when none comes. */
    std::string Expect(const std::string &prefix, int waitMs = kWaitMs) {
        return carrier_test::ExpectLine(*this, prefix, waitMs);
    }

protected:
    std::string name_;
    std::string task_;
};

/* A carrier_peer process. */
class PeerPlace : public Place {
public:
    PeerPlace(const std::string &role, const std::string &name, const std::string &pubProc)
        : peer_(pubProc.empty() ? std::vector<std::string>{role, name}
                                : std::vector<std::string>{role, name, pubProc}) {
        name_ = name;
        task_ = role;
    }
    std::string Line(int waitMs) override { return peer_.Line(waitMs); }
    void Send(const std::string &command) override { peer_.Send(command); }
    uint32_t Pid() const override { return (uint32_t)peer_.Pid(); }

private:
    carrier_test::Peer peer_;
};

/* The same task inside this process, under a task name of its own. */
class LocalPlace : public Place {
public:
    LocalPlace(const std::string &role, const std::string &name, const std::string &pubProc) {
        name_ = name;
        task_ = role == "sub" ? "sub" + name : role;
        {
            std::lock_guard<std::mutex> lock(Registry());
            Places()[task_] = this;
        }
        uint32_t (*callback)(MsgHead *) = role == "echo" ? peer_roles::Echo : peer_roles::Sub;
        EXPECT_EQ(OsMsgRegTask(task_.c_str(), 64U, callback), OS_MSG_OK);
        loop_ = std::thread([this] { (void)OsMsgTaskRoutineByName(task_.c_str()); });
        if (role == "sub") {
            Add("subscribed " + std::to_string(SubscribeToPub(pubProc.c_str(), task_.c_str())));
        }
        Add("ready");
    }
    ~LocalPlace() override {
        peer_roles::g_hold.Release();
        (void)OsMsgUnregTask(nullptr, 0U, task_.c_str()); // ends its loop (teardown did, if it came first)
        loop_.join();
        std::lock_guard<std::mutex> lock(Registry());
        Places().erase(task_);
    }
    std::string Line(int waitMs) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cond_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return !lines_.empty(); })) {
            return "";
        }
        std::string line = lines_.front();
        lines_.pop_front();
        return line;
    }
    void Send(const std::string &command) override { EXPECT_TRUE(peer_roles::RunCommand(task_, command)); }
    uint32_t Pid() const override { return (uint32_t)getpid(); }

    /* peer_roles::g_report under the loopback: to the place of the task. */
    static void Report(const std::string &task, const std::string &line) {
        std::lock_guard<std::mutex> lock(Registry());
        auto place = Places().find(task);
        if (place != Places().end()) {
            place->second->Add(line);
        }
    }

private:
    static std::mutex &Registry() {
        static std::mutex lock;
        return lock;
    }
    static std::map<std::string, LocalPlace *> &Places() {
        static std::map<std::string, LocalPlace *> places;
        return places;
    }
    void Add(const std::string &line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        cond_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<std::string> lines_;
    std::thread loop_;
};

/* This process joined as kSelf under the carrier of the parameter, with task
 * "main" feeding the inbox, in a run directory of its own; descriptors,
 * threads and tracked blocks counted before anything starts. */
class BetweenProcesses : public carrier_test::CarrierFixture, public ::testing::WithParamInterface<Kind> {
protected:
    void SetUp() override {
        CarrierFixture::SetUp();
        setenv("VYRE_OS_MSG_CARRIER", Unix() ? "unix" : "loopback", 1);
        // A loopback's server thread may stay in the transport's join for good.
        keptThreads_ = Unix() ? 0U : 1U;
        peer_roles::g_report = LocalPlace::Report;
        ASSERT_EQ(Join(kSelf), OS_MSG_OK);
    }

    void TearDown() override {
        peer_roles::g_hold.Release();
        places_.clear();
        CarrierFixture::TearDown();
    }

    static bool Unix() { return GetParam() == Kind::kUnix; }

    /* The other process named name, running role ("echo", or "sub"
     * subscribed to pubProc's "pub"), ready. */
    Place &Start(const std::string &role, const std::string &name, const std::string &pubProc = "") {
        if (Unix()) {
            places_.push_back(std::make_unique<PeerPlace>(role, name, pubProc));
        } else {
            places_.push_back(std::make_unique<LocalPlace>(role, name, pubProc));
        }
        Place &place = *places_.back();
        EXPECT_EQ(place.Expect("ready"), "ready") << name;
        return place;
    }

    MsgHead To(const Place &place, uint32_t msgId, const void *data, uint32_t len) {
        return From(place.Name().c_str(), place.Task().c_str(), msgId, data, len);
    }

    uint32_t SendTo(const Place &place, uint32_t msgId, const void *data = nullptr, uint32_t len = 0U) {
        MsgHead head = To(place, msgId, data, len);
        return OsMsgAsynSend(&head);
    }

    /* Sends as an application that must not lose the message does: again
     * while the receiving task's queue is full (bounded). */
    uint32_t SendTaken(const Place &place, uint32_t msgId, const void *data = nullptr, uint32_t len = 0U) {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        uint32_t ret = OS_MSG_ERR_FULL;
        for (int i = 0; i < kWaitMs && ret == OS_MSG_ERR_FULL; ++i) {
            ret = SendTo(place, msgId, data, len);
            if (ret == OS_MSG_ERR_FULL) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1)); // paces the retries while it drains
            }
        }
        return ret;
    }

    /* A call; on success the response's payload is copied into *resp. */
    uint32_t Call(const Place &place, uint32_t msgId, const void *data, uint32_t len, uint32_t timeoutMs,
                  std::vector<uint8_t> *resp = nullptr) {
        MsgHead head = To(place, msgId, data, len);
        MsgHead *answer = nullptr;
        uint32_t ret = OsMsgSynSend(&head, &answer, timeoutMs);
        if (ret == OS_MSG_OK) {
            if (resp != nullptr) {
                const uint8_t *bytes = static_cast<const uint8_t *>(answer->data);
                resp->assign(bytes, bytes + answer->dataLen);
            }
            EXPECT_EQ(OsMsgSynRespFree(answer), OS_MSG_OK);
        }
        return ret;
    }

    /* Sends kPing once it is taken, then waits for the pongs. */
    bool PingAnswered(const Place &place, size_t pongs) {
        return SendTaken(place, kPing) == OS_MSG_OK && inbox_.WaitCount(kPong, pongs);
    }

    std::vector<std::unique_ptr<Place>> places_;
};

// Sizes from none to the largest, past the carrier's slicing at 1 MiB.
TEST_P(BetweenProcesses, AsyncMessagesArriveInOrderWithEveryByteAndTheSendersTrueIds) {
    Place &echo = Start("echo", "echo1");
    std::vector<uint32_t> sizes = {0U, 1U, 1024U * 1024U - 1U, 1024U * 1024U + 1U, OS_MSG_MAX_DATA_LEN};
    for (uint32_t i = 1U; i < 120U; ++i) {
        sizes.push_back(i * 37U);
    }
    std::vector<uint8_t> payload(OS_MSG_MAX_DATA_LEN);
    FillPattern(payload.data(), OS_MSG_MAX_DATA_LEN, kPing);
    for (uint32_t size : sizes) {
        ASSERT_EQ(SendTaken(echo, kPing, payload.data(), size), OS_MSG_OK) << size;
    }
    ASSERT_TRUE(inbox_.WaitFor(sizes.size()));
    std::vector<Received> got = inbox_.Items();
    ASSERT_EQ(got.size(), sizes.size());
    for (size_t i = 0U; i < sizes.size(); ++i) {
        Answer answer = AnswerOf(got[i].payload);
        EXPECT_EQ(answer.len, sizes[i]) << "out of order at " << i;
        EXPECT_EQ(answer.intact, 1U) << i;
        EXPECT_EQ(answer.pid, (uint32_t)getpid()) << i;
        EXPECT_EQ(answer.uid, (uint32_t)getuid()) << i;
        EXPECT_EQ(got[i].head.sendPid, echo.Pid());
        // The loopback writes the own name into a message it brings back.
        EXPECT_EQ(Name(got[i].head.sendProcName), Unix() ? echo.Name() : kSelf);
    }
    // Sender fields written past the library's stamping, straight into the
    // carrier: the carrier between processes delivers the kernel's ids; the
    // loopback, within one process, delivers them as written.
    MsgHead forged = To(echo, kPing, nullptr, 0U);
    forged.sendPid = 1U;
    forged.sendUid = 4242U;
    ASSERT_EQ(IpcCarrierCurrent()->send(echo.Name().c_str(), 1U, &forged), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(sizes.size() + 1U));
    Answer answer = AnswerOf(inbox_.Items().back().payload);
    EXPECT_EQ(answer.pid, Unix() ? (uint32_t)getpid() : 1U);
    EXPECT_EQ(answer.uid, Unix() ? (uint32_t)getuid() : 4242U);
}

TEST_P(BetweenProcesses, CallsAreAnsweredWithTheLargestPayloadsBothWays) {
    Place &echo = Start("echo", "echo2");
    std::vector<uint8_t> request(OS_MSG_MAX_DATA_LEN);
    FillPattern(request.data(), OS_MSG_MAX_DATA_LEN, kCall);
    std::vector<uint8_t> resp;
    for (uint32_t size : {0U, 5U, OS_MSG_MAX_DATA_LEN}) {
        ASSERT_EQ(Call(echo, kCall, request.data(), size, 10000U, &resp), OS_MSG_OK) << size;
        ASSERT_EQ(resp.size(), sizeof(Answer));
        Answer answer = AnswerOf(resp);
        EXPECT_EQ(answer.len, size);
        EXPECT_EQ(answer.intact, 1U);
        EXPECT_EQ(answer.pid, (uint32_t)getpid());
    }
    for (uint32_t size : {0U, 1U, OS_MSG_MAX_DATA_LEN}) {
        ASSERT_EQ(Call(echo, kBigCall, &size, sizeof(size), 10000U, &resp), OS_MSG_OK) << size;
        EXPECT_EQ(resp.size(), size);
        EXPECT_TRUE(PatternIntact(resp.data(), (uint32_t)resp.size(), kBigCall)) << size;
    }
    rebuildmsg::MsgRebuildRecvData *collector = rebuildEntry;
    std::lock_guard<std::mutex> guard(collector->rebuildLock);
    EXPECT_EQ(collector->nodeTotal, 0); // nothing left under reassembly
}

// The answer comes long after the time-out, so that even a loaded machine
// tells the time-out from a wait for the answer.
TEST_P(BetweenProcesses, CallTimesOutWithinBoundsAndItsLateAnswerIsRefused) {
    Place &echo = Start("echo", "echo3");
    const uint32_t delayMs = 2000U;
    MsgHead slow = To(echo, kSlowCall, &delayMs, sizeof(delayMs));
    MsgHead untouched{};
    MsgHead *resp = &untouched;
    EXPECT_TRUE(carrier_test::TakesBetween(std::chrono::milliseconds(100), std::chrono::milliseconds(delayMs), [&] {
        EXPECT_EQ(OsMsgSynSend(&slow, &resp, 100U), OS_MSG_ERR_SYN_TIMEOUT);
    }));
    EXPECT_EQ(resp, &untouched); // set only on success
    // The loopback's responder is in the requester's process and finds the
    // requester (the calling thread's temporary task) gone; the carrier's
    // responder can only send the answer, which the requester's process drops.
    EXPECT_EQ(echo.Expect("late"), "late " + std::to_string(Unix() ? OS_MSG_OK : OS_MSG_ERR_NOT_FOUND));
    uint8_t other[9];
    FillPattern(other, sizeof(other), kCall);
    std::vector<uint8_t> answer;
    ASSERT_EQ(Call(echo, kCall, other, sizeof(other), 10000U, &answer), OS_MSG_OK);
    EXPECT_EQ(AnswerOf(answer).len, sizeof(other)); // its own answer, not the late one
}

// Subscribers elsewhere, the publisher here: each event reaches each
// subscriber once (a duplicate would come before the probe sent after the
// event), and no longer once its subscription is taken back.
TEST_P(BetweenProcesses, EventsReachEachSubscriberOnceUntilItUnsubscribes) {
    ASSERT_EQ(OsMsgRegTask("pub", 16U, Record), OS_MSG_OK);
    Place &subA = Start("sub", "suba", kSelf);
    Place &subB = Start("sub", "subb", kSelf);
    for (Place *sub : {&subA, &subB}) { // the probe shows when the subscription is in place here
        ASSERT_EQ(carrier_test::FireUntilSeen(*sub, "event " + std::to_string(kProbe),
                                              [] { EXPECT_EQ(BroadcastFromPub(kProbe), OS_MSG_OK); }),
                  "event 101 4");
    }
    ASSERT_EQ(BroadcastFromPub(kEvent), OS_MSG_OK);
    ASSERT_EQ(BroadcastFromPub(kProbe), OS_MSG_OK);
    for (Place *sub : {&subA, &subB}) {
        EXPECT_EQ(sub->Expect("event " + std::to_string(kEvent)), "event 100 4");
        EXPECT_EQ(sub->Line(), "event 101 4");
    }
    subA.Send(std::string("unsub ") + kSelf);
    ASSERT_EQ(subA.Expect("unsubscribed"), "unsubscribed 0");
    // The request travels apart from the broadcasts: rounds until one
    // reaches subA without the event, each round's event reaching subB once.
    bool gone = false;
    for (int round = 0; round < 100 && !gone; ++round) {
        ASSERT_EQ(BroadcastFromPub(kEvent), OS_MSG_OK);
        ASSERT_EQ(BroadcastFromPub(kProbe), OS_MSG_OK);
        EXPECT_EQ(subB.Line(), "event 100 4");
        EXPECT_EQ(subB.Line(), "event 101 4");
        std::string line = subA.Line();
        gone = line == "event 101 4";
        if (!gone) {
            ASSERT_EQ(line, "event 100 4");
            ASSERT_EQ(subA.Line(), "event 101 4");
        }
    }
    EXPECT_TRUE(gone);
}

// A task elsewhere that takes nothing: once its queue (and under the carrier
// what the sockets hold) is full, asynchronous sends are refused. A call is
// refused at once by the loopback, which pushes into the queue itself, and
// fails no sooner than its time-out under the carrier, which waits for room.
// Either way the task is served again once it takes messages.
TEST_P(BetweenProcesses, FullTaskElsewhereRefusesWhatFindsNoRoomUntilItTakesAgain) {
    Place &echo = Start("echo", "echo4");
    ASSERT_EQ(SendTo(echo, kHold), OS_MSG_OK);
    ASSERT_EQ(echo.Expect("held"), "held");
    std::vector<uint8_t> payload(4096U);
    uint32_t ret = OS_MSG_OK;
    uint32_t sent = 0U;
    {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        for (; sent < 100000U && ret == OS_MSG_OK; ++sent) {
            ret = SendTo(echo, 0U, payload.data(), (uint32_t)payload.size());
        }
        EXPECT_EQ(ret, OS_MSG_ERR_FULL) << "after " << sent << " messages";
        EXPECT_TRUE(Unix() || sent == 65U) << sent << ": the queue holds 64";
        uint32_t called = OS_MSG_OK;
        EXPECT_TRUE(carrier_test::TakesBetween(std::chrono::milliseconds(Unix() ? 200 : 0),
                                               std::chrono::milliseconds(5000),
                                               [&] { called = Call(echo, kCall, nullptr, 0U, 200U); }));
        // The carrier's request may yet find room in the socket, to wait
        // there behind the full queue until its time-out.
        EXPECT_TRUE(called == OS_MSG_ERR_FULL || (Unix() && called == OS_MSG_ERR_SYN_TIMEOUT)) << called;
    }
    echo.Send("release");
    EXPECT_TRUE(PingAnswered(echo, 1U));
}

// Codes given before anything reaches a carrier, the same with both; for a
// process that does not run, the loopback brings the message here like any
// other (where a task of that name answers it), while the carrier reports at
// once with one line naming the process and the directory it looked in.
TEST_P(BetweenProcesses, RefusalsAndLossesOfEachCarrier) {
    Place &echo = Start("echo", "echo5");
    static uint8_t byte = 0U;
    MsgHead *resp = nullptr;
    MsgHead big = To(echo, kPing, &byte, OS_MSG_MAX_DATA_LEN + 1U);
    {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        EXPECT_EQ(OsMsgAsynSend(&big), OS_MSG_ERR_OVERSIZE);
        EXPECT_EQ(OsMsgSynSend(&big, &resp, 100U), OS_MSG_ERR_OVERSIZE);
        // A task the other process does not have: an asynchronous message is
        // lost there; a call fails at once, where the loopback pushes it into
        // this process and where the carrier's receiver refuses it.
        MsgHead lost = To(echo, kPing, nullptr, 0U);
        (void)snprintf(lost.recvTaskName, sizeof(lost.recvTaskName), "nosuch");
        EXPECT_EQ(OsMsgAsynSend(&lost), OS_MSG_OK);
        EXPECT_EQ(OsMsgSynSend(&lost, &resp, 5000U), OS_MSG_ERR_NOT_FOUND);
    }
    MsgHead absent;
    FillHead(&absent, kSelf, "nobody", echo.Task().c_str(), kPing, nullptr, 0U);
    (void)snprintf(absent.sendTaskName, sizeof(absent.sendTaskName), "main");
    {
        LogCapture log(OS_LOG_ERROR, OS_MSG_LOG_ERROR);
        EXPECT_EQ(OsMsgAsynSend(&absent), Unix() ? OS_MSG_ERR_SERVER_NOT_RUNNING : OS_MSG_OK);
        EXPECT_EQ(log.Count("process [nobody] not running (no socket in " + runDir_ + ")."), Unix() ? 1U : 0U)
            << log.Dump();
    }
    absent.msgId = kCall;
    ASSERT_EQ(OsMsgSynSend(&absent, &resp, 5000U), Unix() ? OS_MSG_ERR_SERVER_NOT_RUNNING : OS_MSG_OK);
    if (!Unix()) {
        EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
    }
    EXPECT_TRUE(PingAnswered(echo, Unix() ? 1U : 2U)); // the loopback's echo answered "nobody"'s ping too
    Leave();
    EXPECT_EQ(SendTo(echo, kPing), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(Call(echo, kCall, nullptr, 0U, 100U), OS_MSG_ERR_NOT_INIT);
}

void PrintTo(Kind kind, std::ostream *out) {
    *out << (kind == Kind::kUnix ? "unix" : "loopback");
}

INSTANTIATE_TEST_SUITE_P(Carriers, BetweenProcesses, ::testing::Values(Kind::kLoopback, Kind::kUnix),
                         [](const ::testing::TestParamInfo<Kind> &info) {
                             return info.param == Kind::kUnix ? std::string("Unix") : std::string("Loopback");
                         });

} // namespace

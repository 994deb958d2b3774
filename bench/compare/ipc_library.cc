// The library's Unix-socket carrier between two processes: "xcli" sends to
// task "sink" (one way) or "echo" (round trips) of process "xsrv". Both
// select the carrier and the scratch directory through the environment
// before they join.
//
// The carrier drops a message that arrives for a full task queue, so the
// one-way run keeps at most the sink's queue length in flight: the sink
// reports its count back to the client's "credit" task every quarter queue,
// and the producer waits for credit before it would overrun the queue.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ipc_contenders.h"
#include "library_member.h"

namespace compare {

namespace {

constexpr const char *kServer = "xsrv";
constexpr const char *kClient = "xcli";
constexpr uint32_t kCreditId = 7;

// Server side: the run's tally and how often the sink reports its count.
Tally *g_tally = nullptr;
uint64_t g_handled = 0;
uint64_t g_creditEvery = 1;

// Client side: the count the sink last reported.
// Written under g_creditMutex (so a waiting producer cannot miss it), read
// without it while the window is open.
std::mutex g_creditMutex;
std::condition_variable g_creditCond;
std::atomic<uint64_t> g_credited{0};

MsgHead HeadTo(const char *proc, const char *task, const char *sender, uint32_t msgId) {
    MsgHead head{};
    head.msgId = msgId;
    CopyName(head.sendProcName, sender);
    CopyName(head.recvProcName, proc);
    CopyName(head.recvTaskName, task);
    return head;
}

uint32_t TakeMessage(MsgHead *msg) {
    g_tally->Take(msg->data, msg->dataLen);
    if (++g_handled % g_creditEvery == 0) {
        MsgHead credit = HeadTo(kClient, "credit", kServer, kCreditId);
        credit.data = &g_handled;
        credit.dataLen = sizeof(g_handled);
        (void)OsMsgAsynSend(&credit);
    }
    return 0;
}

uint32_t TakeCredit(MsgHead *msg) {
    uint64_t handled = 0;
    if (msg->msgId == kCreditId && msg->dataLen == sizeof(handled)) {
        std::memcpy(&handled, msg->data, sizeof(handled));
        std::lock_guard<std::mutex> lock(g_creditMutex);
        g_credited.store(handled, std::memory_order_release);
        g_creditCond.notify_all();
    }
    return 0;
}

bool ServeOneWay(const OneWayCase &c, const std::string &dir, const Hook &ready, const Hook &finish, Tally &tally) {
    g_tally = &tally;
    g_creditEvery = std::max<uint64_t>(1, c.depth / 4);
    Membership member(kServer, dir.c_str());
    return member.AddTask("sink", c.depth, TakeMessage) && ready() && finish();
}

// Waits until fewer than depth messages are in flight; false when no credit
// came for 60 s.
bool AwaitCredit(uint64_t sent, uint32_t depth) {
    auto open = [&] { return sent - g_credited.load(std::memory_order_acquire) < depth; };
    if (open()) {
        return true;
    }
    std::unique_lock<std::mutex> lock(g_creditMutex);
    return g_creditCond.wait_for(lock, std::chrono::seconds(60), open);
}

bool SendOneWay(const OneWayCase &c, const std::string &dir, const Hook &begin, const Hook &finish) {
    Membership member(kClient, dir.c_str());
    if (!member.AddTask("credit", 64, TakeCredit)) {
        return false;
    }
    std::vector<char> payload(c.size, 'v');
    MsgHead model = HeadTo(kServer, "sink", kClient, 1);
    model.data = payload.data();
    model.dataLen = c.size;
    if (!begin()) {
        return false;
    }
    for (uint64_t seq = 0; seq < c.perProducer; ++seq) {
        if (!AwaitCredit(seq, c.depth)) {
            return false;
        }
        StampPayload(payload.data(), 0, seq);
        if (SendRetrying(model, OsMsgAsynSend) != OS_MSG_OK) {
            return false;
        }
    }
    return finish();
}

bool ServeEcho(uint32_t, uint32_t, const std::string &dir, const Hook &ready, const Hook &finish) {
    Membership member(kServer, dir.c_str());
    return member.AddTask("echo", 16, EchoMessage) && ready() && finish();
}

bool CallEcho(uint32_t size, uint32_t warmup, uint32_t count, const std::string &dir, const Hook &finish,
              std::vector<double> &samplesUs) {
    Membership member(kClient, dir.c_str());
    const std::string self = member.AddCaller();
    if (self.empty()) {
        return false;
    }
    std::vector<char> payload(size, 'r');
    MsgHead model = HeadTo(kServer, "echo", kClient, 2);
    CopyName(model.sendTaskName, self.c_str());
    model.data = payload.data();
    model.dataLen = size;
    return DriveRoundTrips(
               warmup, count, [&] { return SynTrip(model, size); }, samplesUs) &&
           finish();
}

} // namespace

const IpcContender kLibraryCarrier = {"library Unix carrier", ServeOneWay, SendOneWay, ServeEcho, CallEcho};

} // namespace compare

// Messages across the loopback transport: asynchronous throughput and
// synchronous round-trip latency to a task addressed under another process
// name (so every message takes the transport route and comes back through the
// receive entry), and the fan-out of one broadcast event through the
// broadcast task to 1, 8 and 64 subscribers.
//
// The process joins once, through the public call, with the loopback
// selected.
#include <benchmark/benchmark.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "broadcast/msg_broadcast.h"
#include "core/msg_event_req.h"
#include "core/msg_send.h"
#include "simple_msg/simple_msg.h"
#include "transport/msg_adapter.h"
#include "vyre_os_msg.h"

namespace {

constexpr const char *kProc = "bench";
constexpr const char *kRemoteProc = "remote";
constexpr uint32_t kProbeEvent = 0x7F00U;
constexpr uint32_t kFanOutEvent = 0x7F01U;

void CopyName(char (&field)[OS_MSG_NAME_LEN], const std::string &name) {
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, name.data(), std::min(name.size(), sizeof(field) - 1U));
}

// Messages taken by every task of this program; task callbacks are plain
// functions, so they count here.
std::atomic<uint64_t> g_received{0};

uint32_t CountMessage(MsgHead *) {
    g_received.fetch_add(1U, std::memory_order_release);
    return 0U;
}

uint32_t AnswerMessage(MsgHead *msg) {
    if (msg->msgKind == MSG_KIND_SYN) {
        (void)MsgSynSendResp(msg, msg->data, msg->dataLen);
    }
    return 0U;
}

// Spins (yielding) until at least target messages were taken; false after
// ten seconds.
bool AwaitReceived(uint64_t target) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_received.load(std::memory_order_acquire) < target) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// A registered task with its loop on a thread of its own.
class LoopTask {
public:
    LoopTask(const std::string &name, OsMsgTaskFunc func) : name_(name) {
        ok_ = SimpleMsgRegTask(name_.c_str(), 0U, func, 0U) == OS_MSG_OK;
        if (ok_) {
            loop_ = std::thread([this] { (void)SimpleTaskRoutineByName(const_cast<char *>(name_.c_str())); });
        }
    }
    ~LoopTask() {
        if (ok_) {
            (void)SimpleMsgUnregTask(name_.c_str());
            loop_.join();
        }
    }
    bool ok() const { return ok_; }

private:
    std::string name_;
    bool ok_ = false;
    std::thread loop_;
};

uint32_t Subscribe(const std::vector<std::string> &subscribers, uint32_t msgId, uint32_t op) {
    std::vector<MsgSubEntry> entries(subscribers.size());
    for (size_t i = 0; i < subscribers.size(); ++i) {
        entries[i].msgId = msgId;
        CopyName(entries[i].procName, kProc);
        CopyName(entries[i].taskName, "publisher");
        CopyName(entries[i].subTaskName, subscribers[i]);
    }
    return MsgSendSubMsg(entries.data(), static_cast<uint32_t>(entries.size()), op);
}

uint32_t Publish(uint32_t msgId, void *data, int32_t len) {
    MsgBroEntry event{};
    CopyName(event.taskName, "publisher");
    event.msgId = msgId;
    event.dataLen = len;
    event.data = data;
    return MsgSendBroadcastMsg(&event, 1U);
}

// Joins once, with the loopback selected: messages for another process's
// name come back into this one. The broadcast task is serving once a probe
// event reaches a subscriber.
bool SetUpProcess() {
    static const bool ready = [] {
        OsMsgOptions options = OS_MSG_OPTIONS_INIT;
        options.carrier = OS_MSG_CARRIER_LOOPBACK;
        if (OsMsgInitWithOptions(kProc, &options) != OS_MSG_OK) {
            return false;
        }
        OsMsgSetLogLevel(OS_MSG_LOG_FATAL);
        LoopTask probe("probe", CountMessage);
        for (int attempt = 0; attempt < 1000; ++attempt) {
            uint64_t before = g_received.load();
            (void)Subscribe({"probe"}, kProbeEvent, 1U);
            (void)Publish(kProbeEvent, nullptr, 0);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
            while (std::chrono::steady_clock::now() < deadline) {
                if (g_received.load() > before) {
                    return true;
                }
                std::this_thread::yield();
            }
        }
        return false;
    }();
    return ready;
}

MsgHead RemoteHead(const char *recvTask, uint32_t msgId, std::vector<char> &payload) {
    MsgHead head{};
    head.msgId = msgId;
    CopyName(head.sendProcName, kProc);
    CopyName(head.recvProcName, kRemoteProc);
    CopyName(head.recvTaskName, recvTask);
    head.dataLen = static_cast<uint32_t>(payload.size());
    head.data = payload.empty() ? nullptr : payload.data();
    return head;
}

// Asynchronous messages of range(0) bytes to another process's name, sent in
// bursts of 256 (a quarter of the receiver's ring) and waited for.
void BM_LoopbackAsynThroughput(benchmark::State &state) {
    if (!SetUpProcess()) {
        state.SkipWithError("process set-up failed");
        return;
    }
    LoopTask rx("rx", CountMessage);
    std::vector<char> payload(static_cast<size_t>(state.range(0)), 'x');
    constexpr uint32_t kBurst = 256U;
    uint64_t target = g_received.load();
    for (auto _ : state) {
        for (uint32_t i = 0; i < kBurst; ++i) {
            MsgHead head = RemoteHead("rx", 0x100U, payload);
            (void)MsgForceSetSendName(&head);
            if (MsgAsynSend(&head, MSG_TRANS_ASYN) != OS_MSG_OK) {
                state.SkipWithError("send failed");
                return;
            }
        }
        target += kBurst;
        if (!AwaitReceived(target)) {
            state.SkipWithError("messages lost");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBurst);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBurst * state.range(0));
}
BENCHMARK(BM_LoopbackAsynThroughput)->Arg(0)->Arg(64)->Arg(4096)->UseRealTime();

// One synchronous request of 64 bytes to another process's name and its
// answer (echoed payload), then the response released. range(0) = 1: the
// caller is a registered task; 0: a plain thread, which gets a temporary task
// for every call.
void BM_LoopbackSynRoundTrip(benchmark::State &state) {
    if (!SetUpProcess()) {
        state.SkipWithError("process set-up failed");
        return;
    }
    LoopTask rx("echo", AnswerMessage);
    const bool asTask = state.range(0) != 0;
    const std::string self = "T" + std::to_string(static_cast<long>(syscall(SYS_gettid)));
    if (asTask && SimpleMsgRegTask(self.c_str(), 1U, nullptr, 0U) != OS_MSG_OK) {
        state.SkipWithError("task registration failed");
        return;
    }
    std::vector<char> payload(64U, 'p');
    std::vector<double> micros;
    micros.reserve(1U << 16);
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        MsgHead head = RemoteHead("echo", 0x200U, payload);
        uint32_t found = MsgForceSetSendName(&head);
        MsgHead *resp = nullptr;
        uint32_t ret = MsgSynSend(&head, &resp, 1000U, MSG_TRANS_SYN, found);
        if (ret != OS_MSG_OK || resp == nullptr || MsgFreeResp(resp) != OS_MSG_OK) {
            state.SkipWithError("call failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    if (asTask) {
        (void)SimpleMsgUnregTask(self.c_str());
    }
    if (micros.empty()) {
        return;
    }
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2U];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1U, micros.size() * 99U / 100U)];
    state.counters["max_us"] = micros.back();
}
BENCHMARK(BM_LoopbackSynRoundTrip)->Arg(1)->Arg(0)->UseRealTime();

// One broadcast event of 64 bytes, timed until every one of range(0)
// subscriber tasks has taken it.
void BM_EventFanOut(benchmark::State &state) {
    if (!SetUpProcess()) {
        state.SkipWithError("process set-up failed");
        return;
    }
    const size_t count = static_cast<size_t>(state.range(0));
    std::vector<std::string> names;
    std::vector<std::unique_ptr<LoopTask>> subscribers;
    for (size_t i = 0; i < count; ++i) {
        names.push_back("sub" + std::to_string(i));
        subscribers.push_back(std::make_unique<LoopTask>(names.back(), CountMessage));
    }
    // The subscription is in place once a first event reached everyone.
    std::vector<char> data(64U, 'e');
    uint64_t target = g_received.load() + count;
    if (Subscribe(names, kFanOutEvent, 1U) != OS_MSG_OK ||
        Publish(kFanOutEvent, data.data(), static_cast<int32_t>(data.size())) != OS_MSG_OK || !AwaitReceived(target)) {
        state.SkipWithError("subscription failed");
        return;
    }
    for (auto _ : state) {
        target += count;
        if (Publish(kFanOutEvent, data.data(), static_cast<int32_t>(data.size())) != OS_MSG_OK ||
            !AwaitReceived(target)) {
            state.SkipWithError("event lost");
            break;
        }
    }
    (void)Subscribe(names, kFanOutEvent, 0U);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(BM_EventFanOut)->Arg(1)->Arg(8)->Arg(64)->UseRealTime();

} // namespace

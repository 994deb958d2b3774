/*
 * One process of the chaos run: COUNT processes named chaos0, chaos1, ...
 * each run task "node" (peer_roles::Echo, counting the events it gets),
 * subscribe it to the events of every other process's "pub", and, while
 * running, send in a loop to a randomly chosen other process an asynchronous
 * ping, a synchronous call (200 ms time-out) and an event broadcast, renewing
 * their subscriptions now and then (a publisher that was restarted forgot
 * them); every sixteenth ping carries a payload that travels in slices, so
 * that some processes die in the middle of one. Failures are expected while
 * processes die and come back; only the counts of what succeeded are
 * reported.
 *
 * Commands (on the peer's command thread): "run" starts the traffic;
 * "pause" stops it and reports "paused CALLS EVENTS SENDMS CALLMS" (calls
 * answered and events received since the start, the longest asynchronous
 * send and the longest call in milliseconds); "touch" subscribes to every
 * other process again, calls each once with a 2 s time-out and reports
 * "touched N", the number answered; "blocks" reports "blocks N", the tracked blocks in use.
 */
#ifndef VYRE_CHAOS_NODE_H
#define VYRE_CHAOS_NODE_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "carrier/peer_roles.h"
#include "vyre_os_mem.h"

namespace chaos_node {

using namespace carrier_proto;

inline std::atomic<uint64_t> g_events{0U};

/* Task "node": counts events, answers like the echo task. */
inline uint32_t OnMessage(MsgHead *msg) {
    if (msg->msgId == kEvent) {
        g_events.fetch_add(1U, std::memory_order_relaxed);
    }
    return peer_roles::Echo(msg);
}

inline std::string NodeName(uint32_t i) {
    return "chaos" + std::to_string(i);
}

class Node {
public:
    Node(const char *own, uint32_t count, uint32_t seed, void (*report)(const std::string &))
        : own_(own), count_(count), random_(seed), report_(report) {
        SubscribeAll();
    }
    ~Node() { Stop(); }
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    bool RunCommand(const std::string &command) {
        if (command == "run") {
            Stop();
            running_ = true;
            worker_ = std::thread([this] { Work(); });
        } else if (command == "pause") {
            Stop();
            report_("paused " + std::to_string(calls_) + " " + std::to_string(g_events.load()) + " " +
                    std::to_string(longestSendMs_) + " " + std::to_string(longestCallMs_));
        } else if (command == "blocks") {
            report_("blocks " + std::to_string(OSMemGetUsedBlocks()));
        } else if (command == "touch") {
            SubscribeAll();
            uint32_t answered = 0U;
            for (uint32_t i = 0U; i < count_; ++i) {
                answered += NodeName(i) != own_ && Call(NodeName(i), 2000U) ? 1U : 0U;
            }
            report_("touched " + std::to_string(answered));
        } else {
            return false;
        }
        return true;
    }

    void Stop() {
        running_ = false;
        if (worker_.joinable()) {
            worker_.join();
        }
    }

private:
    void SubscribeAll() {
        for (uint32_t i = 0U; i < count_; ++i) {
            if (NodeName(i) != own_) {
                (void)SubscribeToPub(NodeName(i).c_str(), "node");
            }
        }
    }

    bool Call(const std::string &proc, uint32_t timeoutMs) {
        MsgHead head;
        FillHead(&head, own_.c_str(), proc.c_str(), "node", kCall, nullptr, 0U);
        MsgHead *resp = nullptr;
        if (OsMsgSynSend(&head, &resp, timeoutMs) != OS_MSG_OK) {
            return false;
        }
        (void)OsMsgSynRespFree(resp);
        return true;
    }

    void Work() {
        for (uint32_t round = 0U; running_; ++round) {
            uint32_t other = (uint32_t)(random_() % (count_ - 1U));
            std::string proc = NodeName(other);
            proc = proc == own_ ? NodeName(count_ - 1U) : proc;
            MsgHead ping;
            const bool sliced = round % 16U == 15U;
            FillHead(&ping, own_.c_str(), proc.c_str(), "node", kPing, sliced ? big_.data() : nullptr,
                     sliced ? (uint32_t)big_.size() : 0U);
            (void)snprintf(ping.sendTaskName, sizeof(ping.sendTaskName), "node"); // the pong comes to "node"
            auto start = std::chrono::steady_clock::now();
            (void)OsMsgAsynSend(&ping);
            Longest(&longestSendMs_, start);
            start = std::chrono::steady_clock::now();
            calls_ += Call(proc, 200U) ? 1U : 0U;
            Longest(&longestCallMs_, start);
            (void)BroadcastFromPub(kEvent);
            if (round % 64U == 63U) {
                SubscribeAll();
            }
            // Paces the load: six of these share two processors with the test.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    static void Longest(uint64_t *longest, std::chrono::steady_clock::time_point start) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        *longest = std::max<uint64_t>(*longest, (uint64_t)ms.count());
    }

    std::string own_;
    uint32_t count_;
    std::mt19937 random_;
    void (*report_)(const std::string &);
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> calls_{0U};
    uint64_t longestSendMs_ = 0U; // written by the worker, read once it has been joined
    uint64_t longestCallMs_ = 0U;
    std::thread worker_;
    std::vector<uint8_t> big_ = std::vector<uint8_t>(1536U * 1024U); // past what one datagram takes
};

} // namespace chaos_node

#endif /* VYRE_CHAOS_NODE_H */

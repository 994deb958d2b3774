/*
 * The tasks a process runs for the tests between processes, shared by
 * carrier_peer (a process of its own, under the Unix-socket carrier) and by
 * the tests that run the same tasks inside the test process under the
 * loopback: an echo task and a subscriber, and the commands a test gives
 * them. What a task or command has to tell goes out as one line
 * through g_report (carrier_peer writes it to its standard output).
 *
 * Task callbacks run on their loop threads; commands on the thread that
 * reads them. Reports may come from any thread.
 */
#ifndef VYRE_PEER_ROLES_H
#define VYRE_PEER_ROLES_H

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "carrier/carrier_proto.h"
#include "vyre_os_msg.h"

namespace peer_roles {

using namespace carrier_proto;

/* Receives each report with the task whose callback (or command) made it. */
inline void (*g_report)(const std::string &task, const std::string &line) = nullptr;

inline std::string TaskOf(const MsgHead *msg) {
    return std::string(msg->recvTaskName, strnlen(msg->recvTaskName, OS_MSG_NAME_LEN));
}

/* Where kHold keeps the echo task until the next "release" command (or
 * 20 s); a release with nobody held is not kept for a later hold. */
class Hold {
public:
    uint64_t Releases() {
        std::lock_guard<std::mutex> lock(mutex_);
        return releases_;
    }
    void WaitPast(uint64_t releases) {
        std::unique_lock<std::mutex> lock(mutex_);
        (void)cond_.wait_for(lock, std::chrono::seconds(20), [&] { return releases_ != releases; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++releases_;
        cond_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    uint64_t releases_ = 0U;
};
inline Hold g_hold;

/* What the receiver saw: the sender's pid and uid as delivered, the
 * payload's length and whether every byte matched the pattern. */
inline Answer Describe(const MsgHead *msg) {
    Answer answer;
    answer.pid = msg->sendPid;
    answer.uid = msg->sendUid;
    answer.len = msg->dataLen;
    answer.intact = PatternIntact(static_cast<const uint8_t *>(msg->data), msg->dataLen, msg->msgId) ? 1U : 0U;
    return answer;
}

/* kPing: an asynchronous kPong with the Answer back to the sender's task;
 * kCall: the Answer as response; kSlowCall: the same after the delay in its
 * payload, reporting "late CODE" with the answer's result; kBigCall: a
 * response of the length in its payload, filled with the pattern of
 * kBigCall; kHold: reports "held" and holds the loop until released. */
inline uint32_t Echo(MsgHead *msg) {
    Answer answer = Describe(msg);
    uint32_t word = 0U;
    if (msg->data != nullptr && msg->dataLen >= sizeof(word)) {
        std::memcpy(&word, msg->data, sizeof(word));
    }
    switch (msg->msgId) {
    case kPing: {
        MsgHead reply;
        FillHead(&reply, msg->recvProcName, msg->sendProcName, msg->sendTaskName, kPong, &answer, sizeof(answer));
        (void)OsMsgAsynSend(&reply);
        break;
    }
    case kCall:
        (void)OsMsgSynSendResp(msg, &answer, sizeof(answer));
        break;
    case kSlowCall: {
        usleep(word * 1000U);
        g_report(TaskOf(msg), "late " + std::to_string(OsMsgSynSendResp(msg, &answer, sizeof(answer))));
        break;
    }
    case kBigCall: {
        std::vector<uint8_t> big(word);
        FillPattern(big.data(), word, kBigCall);
        (void)OsMsgSynSendResp(msg, big.data(), word);
        break;
    }
    case kHold: {
        const uint64_t releases = g_hold.Releases();
        g_report(TaskOf(msg), "held");
        g_hold.WaitPast(releases);
        break;
    }
    default:
        break;
    }
    return 0U;
}

/* Takes messages and does nothing with them. */
inline uint32_t Idle(MsgHead *) {
    return 0U;
}

/* Reports "event ID LEN" for each event. */
inline uint32_t Sub(MsgHead *msg) {
    g_report(TaskOf(msg), "event " + std::to_string(msg->msgId) + " " + std::to_string(msg->dataLen));
    return 0U;
}

/* Runs a command for task, reporting its result: "unsub PROC" takes task's
 * subscription to kEvent of PROC's "pub" back ("unsubscribed CODE"),
 * "release" ends a kHold. False for a command it does not know. */
inline bool RunCommand(const std::string &task, const std::string &command) {
    char proc[OS_MSG_NAME_LEN] = {0};
    if (sscanf(command.c_str(), "unsub %15s", proc) == 1) {
        g_report(task, "unsubscribed " + std::to_string(UnsubscribeFromPub(proc, task.c_str())));
    } else if (command == "release") {
        g_hold.Release();
    } else {
        return false;
    }
    return true;
}

} // namespace peer_roles

#endif /* VYRE_PEER_ROLES_H */

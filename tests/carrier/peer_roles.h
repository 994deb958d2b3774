/*
 * The tasks carrier_peer runs for the tests between processes: an echo task
 * and a subscriber, and the commands a test gives them. What a task or
 * command has to tell goes out as one line through g_report (carrier_peer
 * writes it to its standard output). Task callbacks run on their loop
 * threads, commands on the thread that reads them; reports may come from
 * any thread.
 */
#ifndef VYRE_PEER_ROLES_H
#define VYRE_PEER_ROLES_H

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "carrier/carrier_proto.h"
#include "vyre_os_msg.h"

namespace peer_roles {

using namespace carrier_proto;

/* Receives each report. */
inline void (*g_report)(const std::string &line) = nullptr;

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
 * kBigCall. */
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
        g_report("late " + std::to_string(OsMsgSynSendResp(msg, &answer, sizeof(answer))));
        break;
    }
    case kBigCall: {
        std::vector<uint8_t> big(word);
        FillPattern(big.data(), word, kBigCall);
        (void)OsMsgSynSendResp(msg, big.data(), word);
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
    g_report("event " + std::to_string(msg->msgId) + " " + std::to_string(msg->dataLen));
    return 0U;
}

/* Runs a command for task: "unsub PROC" takes task's subscription to
 * kEvent of PROC's "pub" back ("unsubscribed CODE"). False for a command it
 * does not know. */
inline bool RunCommand(const std::string &task, const std::string &command) {
    char proc[OS_MSG_NAME_LEN] = {0};
    if (sscanf(command.c_str(), "unsub %15s", proc) != 1) {
        return false;
    }
    g_report("unsubscribed " + std::to_string(UnsubscribeFromPub(proc, task.c_str())));
    return true;
}

} // namespace peer_roles

#endif /* VYRE_PEER_ROLES_H */

/*
 * The tasks carrier_peer runs for the tests between processes: an echo task
 * and a subscriber. What a task has to tell goes out as one line through
 * g_report (carrier_peer writes it to its standard output). Task callbacks
 * run on their loop threads; reports may come from any thread.
 */
#ifndef VYRE_PEER_ROLES_H
#define VYRE_PEER_ROLES_H

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "carrier/carrier_proto.h"
#include "vyre_os_msg.h"

namespace peer_roles {

using namespace carrier_proto;

/* Receives each report. */
inline void (*g_report)(const std::string &line) = nullptr;

/* kPing: an asynchronous kPong with the Answer back to the sender's task;
 * kCall: the Answer as response; kSlowCall: the same after the delay in its
 * payload, reporting "late CODE" with the answer's result; kBigCall: a
 * response of the length in its payload, filled with the pattern of
 * kBigCall. */
inline uint32_t Echo(MsgHead *msg) {
    // What the receiver saw: the sender's ids as delivered, the payload's
    // length and whether every byte matched the pattern.
    Answer answer{msg->sendPid, msg->sendUid, msg->dataLen,
                  PatternIntact(static_cast<const uint8_t *>(msg->data), msg->dataLen, msg->msgId) ? 1U : 0U};
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

} // namespace peer_roles

#endif /* VYRE_PEER_ROLES_H */

/*
 * What the carrier tests and their peer program (carrier_peer) agree on:
 * message ids, the answer record, the payload pattern, a header builder, and
 * the subscription and broadcast both sides make.
 */
#ifndef VYRE_CARRIER_PROTO_H
#define VYRE_CARRIER_PROTO_H

#include <stdint.h>

#include <cstdio>
#include <cstring>
#include <ostream>

#include "support/sub_request.h"
#include "vyre_os_msg.h"

namespace carrier_proto {

constexpr uint32_t kPing = 1U;     // asynchronous; answered with kPong
constexpr uint32_t kPong = 2U;     // payload: Answer
constexpr uint32_t kCall = 3U;     // synchronous; answered with an Answer
constexpr uint32_t kSlowCall = 4U; // synchronous; payload: delay in ms
constexpr uint32_t kBigCall = 5U;  // synchronous; payload: the response's length
constexpr uint32_t kExitNow = 7U;  // the callback calls exit(0)
constexpr uint32_t kForkNow = 8U;  // the callback forks; the child returns from it
constexpr uint32_t kEvent = 100U;  // the event under test
constexpr uint32_t kProbe = 101U;  // an event that shows a subscription is in place

/* What the receiver saw. */
struct Answer {
    uint32_t pid;
    uint32_t uid;
    uint32_t len;
    uint32_t intact; // 1 when every payload byte matched the pattern
};

inline bool operator==(const Answer &a, const Answer &b) {
    return a.pid == b.pid && a.uid == b.uid && a.len == b.len && a.intact == b.intact;
}

inline std::ostream &operator<<(std::ostream &out, const Answer &a) {
    return out << "{pid " << a.pid << ", uid " << a.uid << ", len " << a.len << ", intact " << a.intact << "}";
}

/* The Answer at the start of bytes (a container of bytes), zero where
 * bytes is shorter. */
template <class Bytes> Answer AnswerOf(const Bytes &bytes) {
    Answer answer{};
    std::memcpy(&answer, bytes.data(), bytes.size() < sizeof(answer) ? bytes.size() : sizeof(answer));
    return answer;
}

/* Bytes that differ from those 2 KiB (and any multiple of 256) away, so
 * that a page mapped at the wrong place shows. */
inline uint8_t PatternByte(uint32_t i, uint32_t seed) {
    return (uint8_t)((i * 131U + seed * 7U + 3U) ^ (i >> 11));
}

inline void FillPattern(uint8_t *data, uint32_t len, uint32_t seed) {
    for (uint32_t i = 0U; i < len; ++i) {
        data[i] = PatternByte(i, seed);
    }
}

inline bool PatternIntact(const uint8_t *data, uint32_t len, uint32_t seed) {
    for (uint32_t i = 0U; i < len; ++i) {
        if (data[i] != PatternByte(i, seed)) {
            return false;
        }
    }
    return true;
}

inline void FillHead(MsgHead *head, const char *from, const char *toProc, const char *toTask, uint32_t msgId,
                     const void *data, uint32_t len) {
    std::memset(head, 0, sizeof(*head));
    (void)snprintf(head->sendProcName, sizeof(head->sendProcName), "%.15s", from);
    (void)snprintf(head->recvProcName, sizeof(head->recvProcName), "%.15s", toProc);
    (void)snprintf(head->recvTaskName, sizeof(head->recvTaskName), "%.15s", toTask);
    head->msgId = msgId;
    head->data = const_cast<void *>(data);
    head->dataLen = len;
}

/* Subscribes task subTask of this process to kEvent and kProbe of task "pub"
 * of pubProc. */
inline uint32_t SubscribeToPub(const char *pubProc, const char *subTask) {
    MsgSubEntry entries[2] = {SubEntry(kEvent, 0U, pubProc, "pub", subTask),
                              SubEntry(kProbe, 0U, pubProc, "pub", subTask)};
    return OsMsgSubscribeEvent(entries, 2U);
}

/* Takes task subTask's subscription to kEvent of pubProc's "pub" back. */
inline uint32_t UnsubscribeFromPub(const char *pubProc, const char *subTask) {
    MsgSubEntry entry = SubEntry(kEvent, 0U, pubProc, "pub", subTask);
    return OsMsgUnsubscribeEvent(&entry, 1U);
}

/* Broadcasts event msgId from task "pub", its id as the 4-byte payload. */
inline uint32_t BroadcastFromPub(uint32_t msgId) {
    MsgBroEntry event;
    std::memset(&event, 0, sizeof(event));
    (void)snprintf(event.taskName, sizeof(event.taskName), "pub");
    event.msgId = msgId;
    event.dataLen = sizeof(msgId);
    event.data = &msgId;
    return OsMsgBroadcastEvent(&event, 1U);
}

} // namespace carrier_proto

#endif /* VYRE_CARRIER_PROTO_H */

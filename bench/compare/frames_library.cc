// The library's contenders of the frames comparison, within one process: a
// producer thread sends frames to task "sink" through shared buffers
// (OsMsgAsynSendBuf, a buffer from the pool per frame) or by copy
// (OsMsgAsynSend of one source frame); round trips are calls to task "echo",
// which answers with the frame's 8-byte stamp.
#include <cstring>
#include <string>
#include <vector>

#include "frames_contenders.h"
#include "library_member.h"

namespace compare {

namespace {

constexpr const char *kProc = "xframes";
Tally *g_tally = nullptr;

uint32_t TakeFrame(MsgHead *msg) {
    g_tally->Take(msg->data, msg->dataLen);
    return 0;
}

uint32_t AnswerStamp(MsgHead *msg) {
    return OsMsgSynSendResp(msg, msg->data, msg->dataLen >= 8U ? 8U : 0U);
}

MsgHead FrameTo(const char *task, const char *sender, void *data, uint32_t len) {
    MsgHead head{};
    head.msgId = 1;
    CopyName(head.sendProcName, kProc);
    CopyName(head.sendTaskName, sender);
    CopyName(head.recvProcName, kProc);
    CopyName(head.recvTaskName, task);
    head.data = data;
    head.dataLen = len;
    return head;
}

// A buffer of size bytes, waiting while the pool is full (frames in flight).
void *AllocWaiting(uint32_t size) {
    void *data = nullptr;
    return OsMsgBufAllocTimed(size, &data, 5000U) == OS_MSG_OK ? data : nullptr;
}

double OneWay(const OneWayCase &c, bool shared) {
    Membership member(kProc);
    Tally tally(c);
    g_tally = &tally;
    if (!member.joined() || !member.AddTask("sink", c.depth, TakeFrame)) {
        return -1.0;
    }
    return DriveOneWay(c, tally, [&](uint32_t) { // one producer
        std::vector<char> source(shared ? 0U : c.size, 'v');
        for (uint64_t seq = 0; seq < c.perProducer; ++seq) {
            void *data = shared ? AllocWaiting(c.size) : source.data();
            if (data == nullptr) {
                return false;
            }
            StampFrame(static_cast<char *>(data), c, seq);
            MsgHead model = FrameTo("sink", "producer", data, c.size);
            if (SendRetrying(model, shared ? OsMsgAsynSendBuf : OsMsgAsynSend) != OS_MSG_OK) {
                return false;
            }
        }
        return true;
    });
}

bool RoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs, bool shared) {
    Membership member(kProc);
    if (!member.AddTask("echo", 16, AnswerStamp)) {
        return false;
    }
    const std::string self = member.AddCaller();
    std::vector<char> source(shared ? 0U : size, 'r');
    void *data = shared ? AllocWaiting(size) : source.data();
    if (self.empty() || data == nullptr) {
        return false;
    }
    uint64_t seq = 0;
    bool ok = DriveRoundTrips(
        1000, count,
        [&] {
            StampPayload(static_cast<char *>(data), 0, ++seq);
            MsgHead head = FrameTo("echo", self.c_str(), data, size), *resp = nullptr;
            uint32_t ret = shared ? OsMsgSynSendBuf(&head, &resp, 1000U) : OsMsgSynSend(&head, &resp, 1000U);
            bool same = ret == OS_MSG_OK && resp->dataLen == 8U && std::memcmp(resp->data, data, 8U) == 0;
            if (ret == OS_MSG_OK) {
                (void)OsMsgSynRespFree(resp);
            }
            return same;
        },
        samplesUs);
    if (shared) {
        (void)OsMsgBufFree(data);
    }
    return ok;
}

} // namespace

double LibrarySharedOneWay(const OneWayCase &c) {
    return OneWay(c, true);
}

bool LibrarySharedRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs) {
    return RoundTrip(size, count, samplesUs, true);
}

double LibraryCopiedOneWay(const OneWayCase &c) {
    return OneWay(c, false);
}

bool LibraryCopiedRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs) {
    return RoundTrip(size, count, samplesUs, false);
}

} // namespace compare

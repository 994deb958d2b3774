// The library's contenders: its in-process layer (SimpleMsgAsynSend straight
// into the task's queue) and its public path (OsMsgAsynSend, OsMsgSynSend),
// each into a task served by a loop thread of its own. The process joins as
// "xbench" for the run and leaves at its end; the sink's callback reaches the
// run's tally through a pointer set before the producers start.
#include <string>

#include "inproc_contenders.h"
#include "library_member.h"
#include "simple_msg/simple_msg.h"

namespace compare {

namespace {

constexpr const char *kProc = "xbench";
Tally *g_tally = nullptr;

uint32_t TakeMessage(MsgHead *msg) {
    g_tally->Take(msg->data, msg->dataLen);
    return 0;
}

MsgHead HeadTo(const char *task, const char *sender, void *data, uint32_t len) {
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

// Producers fill a header for task "sink" per message and hand it to send,
// retrying while the queue is full.
double LibraryOneWay(const OneWayCase &c, uint32_t (*send)(MsgHead *)) {
    Membership member(kProc);
    Tally tally(c);
    g_tally = &tally;
    if (!member.joined() || !member.AddTask("sink", c.depth, TakeMessage)) {
        return -1.0;
    }
    return DriveOneWay(c, tally, [&](uint32_t producer) {
        std::vector<char> source(c.size, 'v');
        const MsgHead model = HeadTo("sink", "producer", source.data(), c.size);
        for (uint64_t seq = 0; seq < c.perProducer; ++seq) {
            StampPayload(source.data(), producer, seq);
            if (SendRetrying(model, send) != OS_MSG_OK) {
                return false;
            }
        }
        return true;
    });
}

uint32_t LayerSend(MsgHead *head) {
    return SimpleMsgAsynSend(head);
}

} // namespace

double LayerOneWay(const OneWayCase &c) {
    return LibraryOneWay(c, LayerSend);
}

double PublicOneWay(const OneWayCase &c) {
    return LibraryOneWay(c, OsMsgAsynSend);
}

bool PublicRoundTrip(uint32_t size, uint32_t count, std::vector<double> &samplesUs) {
    Membership member(kProc);
    if (!member.AddTask("echo", 16, EchoMessage)) {
        return false;
    }
    const std::string self = member.AddCaller();
    if (self.empty()) {
        return false;
    }
    std::vector<char> payload(size, 'r');
    const MsgHead model = HeadTo("echo", self.c_str(), payload.data(), size);
    return DriveRoundTrips(
        1000, count, [&] { return SynTrip(model, size); }, samplesUs);
}

} // namespace compare

// The library's Unix-socket carrier between two processes: "xcli" sends to
// task "sink" (one way) or "echo" (round trips) of process "xsrv". Both
// select the carrier and the scratch directory through the environment
// before they join.
//
// The one-way producer sends as an application would, with the carrier's own
// flow control: when the sink's queue is full the carrier holds the rest back
// in the socket until the sink has room, a send to a full socket waits
// briefly and then reports the queue full, and the producer tries again.
#include <cstring>
#include <string>
#include <vector>

#include "ipc_contenders.h"
#include "library_member.h"

namespace compare {

namespace {

constexpr const char *kServer = "xsrv";
constexpr const char *kClient = "xcli";

// Server side: the run's tally.
Tally *g_tally = nullptr;

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
    return 0;
}

bool ServeOneWay(const OneWayCase &c, const std::string &dir, const Hook &ready, const Hook &finish, Tally &tally) {
    g_tally = &tally;
    Membership member(kServer, dir.c_str());
    return member.AddTask("sink", c.depth, TakeMessage) && ready() && finish();
}

bool SendOneWay(const OneWayCase &c, const std::string &dir, const Hook &begin, const Hook &finish) {
    Membership member(kClient, dir.c_str());
    if (!member.Reach(kServer)) {
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
        StampFrame(payload.data(), c, seq);
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

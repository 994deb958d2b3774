// The library's contenders: its in-process layer (SimpleMsgAsynSend straight
// into the task's queue) and its public path (OsMsgAsynSend, OsMsgSynSend),
// each into a task served by a loop thread of its own. The process joins as
// "xbench" for the run and leaves at its end; the sink's callback reaches the
// run's tally through a pointer set before the producers start.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "inproc_contenders.h"
#include "simple_msg/simple_msg.h"
#include "vyre_os_log.h"
#include "vyre_os_msg.h"

namespace compare {

namespace {

constexpr const char *kProc = "xbench";
Tally *g_tally = nullptr;

uint32_t TakeMessage(MsgHead *msg) {
    g_tally->Take(msg->data, msg->dataLen);
    return 0;
}

uint32_t EchoMessage(MsgHead *msg) {
    (void)OsMsgSynSendResp(msg, msg->data, msg->dataLen);
    return 0;
}

uint32_t IgnoreMessage(MsgHead *) {
    return 0;
}

void CopyName(char (&field)[OS_MSG_NAME_LEN], const char *name) {
    std::memset(field, 0, sizeof(field));
    std::strncpy(field, name, sizeof(field) - 1);
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

// The process's membership for one run, with the loop threads of its tasks.
class Membership {
public:
    // Producers retry on a full queue, and the library logs every refusal;
    // the levels are raised first so those records are dropped unformatted.
    Membership() : joined_(Join()) {}
    ~Membership() {
        if (joined_) {
            (void)OsMsgUninit();
        }
        for (std::thread &loop : loops_) {
            loop.join();
        }
    }
    bool joined() const { return joined_; }
    bool AddTask(const char *name, uint32_t depth, OsMsgTaskFunc callback) {
        if (OsMsgRegTask(name, depth, callback) != OS_MSG_OK) {
            return false;
        }
        std::string task(name);
        loops_.emplace_back([task] { (void)OsMsgTaskRoutineByName(task.c_str()); });
        return true;
    }

private:
    static bool Join() {
        OsLogSetLevel(OS_LOG_FATAL);
        OsMsgSetLogLevel(OS_MSG_LOG_FATAL);
        return OsMsgInit(kProc) == OS_MSG_OK;
    }

    bool joined_;
    std::vector<std::thread> loops_;
};

// Producers fill a header for task "sink" per message and hand it to send,
// retrying while the queue is full.
double LibraryOneWay(const OneWayCase &c, uint32_t (*send)(MsgHead *)) {
    Membership member;
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
            MsgHead head = model;
            uint32_t ret;
            while ((ret = send(&head)) == OS_MSG_ERR_FULL) {
                head = model;
                sched_yield();
            }
            if (ret != OS_MSG_OK) {
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
    Membership member;
    // A plain thread is known by "T" and its thread id; registering that name
    // makes the caller a task, so no temporary task is made per call.
    const std::string self = "T" + std::to_string(static_cast<long>(syscall(SYS_gettid)));
    if (!member.joined() || !member.AddTask("echo", 16, EchoMessage) ||
        OsMsgRegTask(self.c_str(), 1, IgnoreMessage) != OS_MSG_OK) {
        return false;
    }
    std::vector<char> payload(size, 'r');
    const MsgHead model = HeadTo("echo", self.c_str(), payload.data(), size);
    return DriveRoundTrips(
        1000, count,
        [&] {
            MsgHead head = model;
            MsgHead *answer = nullptr;
            if (OsMsgSynSend(&head, &answer, 1000) != OS_MSG_OK || answer == nullptr) {
                return false;
            }
            bool same = answer->dataLen == size && SameBytes(answer->data, payload.data(), size);
            return OsMsgSynRespFree(answer) == OS_MSG_OK && same;
        },
        samplesUs);
}

} // namespace compare

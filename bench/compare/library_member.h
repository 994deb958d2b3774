// What the library's contenders of both comparisons share: the process's
// membership for one run with the loop threads of its tasks, the echo task's
// callback, the retried asynchronous send and one timed synchronous trip.
//
// A Membership is made, used and destroyed by one thread; its tasks' loop
// threads run until OsMsgUninit in its destructor stops them.
#ifndef VYRE_BENCH_LIBRARY_MEMBER_H
#define VYRE_BENCH_LIBRARY_MEMBER_H

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "vyre_os_msg.h"

namespace compare {

class Membership {
public:
    // Joins as process name. With runDir, messages to other processes go
    // through the Unix-socket carrier with its sockets under runDir; without,
    // the loopback keeps everything in this process.
    // Producers retry on a full queue, and the library logs every refusal;
    // the levels are raised first so those records are dropped unformatted.
    explicit Membership(const char *name, const char *runDir = nullptr);
    ~Membership();
    Membership(const Membership &) = delete;
    Membership &operator=(const Membership &) = delete;

    bool joined() const { return joined_; }
    // Registers task name with a queue of depth and starts its loop thread,
    // or with onReceive has the carrier's receive thread serve it instead;
    // false when not joined or the registration failed.
    bool AddTask(const char *name, uint32_t depth, OsMsgTaskFunc callback, bool onReceive = false);
    // Registers the calling thread's own name ("T" and its thread id) as a
    // task, so that its synchronous sends make no temporary task per call.
    // Returns that name, or an empty one on failure.
    std::string AddCaller();
    // Waits (at most 5 s) until process peer has joined and this process
    // reaches it, as the other contenders connect before their clock starts;
    // false when not joined or it never came.
    bool Reach(const char *peer) const;

private:
    bool joined_ = false;
    std::vector<std::thread> loops_;
};

// Fills a name field of a header, cut to fit and zero-padded.
void CopyName(char (&field)[OS_MSG_NAME_LEN], const char *name);

// A task callback that answers every message with its own bytes.
uint32_t EchoMessage(MsgHead *msg);

// Sends a copy of model through send, retrying while the queue is full; the
// last result.
uint32_t SendRetrying(const MsgHead &model, uint32_t (*send)(MsgHead *));

// Sends a copy of model synchronously and waits at most a second for the
// answer; true when it carries the model's size bytes unchanged.
bool SynTrip(const MsgHead &model, uint32_t size);

} // namespace compare

#endif

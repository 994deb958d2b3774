// The line protocol between media_compare and the role processes it starts.
// A role process is the program itself run with "--role NAME ...": the
// parent writes to its standard input, and it answers on descriptor 3 (its
// standard output goes to /dev/null, so that what GStreamer or the library
// print there cannot be taken for an answer). A role writes "ready" once it
// is set up, waits for "go", writes "result v1 v2 ..." when it has measured,
// and then stays until the parent closes its standard input, so that neither
// side of a way goes away before the other is done. Every wait on either
// side is bounded.
//
// A RoleProcess is used by the single-threaded parent alone; the role-side
// calls by the role process's main thread alone.
#ifndef VYRE_BENCH_MEDIA_LINK_H
#define VYRE_BENCH_MEDIA_LINK_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace media {

// The parent's handle of one role process.
class RoleProcess {
public:
    RoleProcess() = default;
    // Kills and reaps a process that is still running.
    ~RoleProcess();
    RoleProcess(const RoleProcess &) = delete;
    RoleProcess &operator=(const RoleProcess &) = delete;

    // Starts this program with args after argv[0], its threads on the
    // producing side's processor or the consumer side's
    // (compare_placement.h); false when it could not be started.
    bool Start(const std::vector<std::string> &args, bool producerSide);
    // Waits until the process writes a line whose first word is word, at
    // most until deadlineNs (NowNs); the rest of the line in rest. False on
    // the deadline or when the process closed its end first.
    bool WaitLine(const char *word, uint64_t deadlineNs, std::string &rest);
    // Writes line and a newline to the process; false when it is gone.
    bool Send(const char *line);
    // Closes the process's standard input and waits until deadlineNs for it
    // to exit, killing it then; true when it exited with status 0.
    bool Finish(uint64_t deadlineNs);

private:
    pid_t pid_ = -1;
    int in_ = -1;  // the process's standard input
    int out_ = -1; // its descriptor 3
    std::string pending_;
};

// The role side. Each returns false when the parent is gone or did not
// answer in time.
bool SayReady();
bool AwaitGo(int timeoutMs);
bool SayResult(const std::vector<double> &values);
// Waits until the parent closes the standard input, at most timeoutMs.
void AwaitQuit(int timeoutMs);

} // namespace media

#endif

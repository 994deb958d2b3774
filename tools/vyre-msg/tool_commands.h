/*
 * The commands of vyre-msg. Each runs on a joined session with its parsed
 * arguments and returns the process's exit code (tool_session.h).
 */
#ifndef VYRE_TOOL_COMMANDS_H
#define VYRE_TOOL_COMMANDS_H

#include "tool_args.h"
#include "tool_session.h"

namespace vyremsg {

int CmdPs(Session &session, const Args &args);
int CmdTasks(Session &session, const Args &args);
int CmdSubs(Session &session, const Args &args);
int CmdTop(Session &session, const Args &args);
int CmdSend(Session &session, const Args &args);
int CmdCall(Session &session, const Args &args);
int CmdMonitor(Session &session, const Args &args);
int CmdHz(Session &session, const Args &args);

/* "loop", "fd" or "none" for a MSG_CTL_SERVED_* value. */
const char *ServedName(uint32_t served);

/* Reports a failed command on standard error ("vyre-msg: what: NAME:
 * meaning") and returns kExitFailed. */
int Fail(const std::string &what, uint32_t code);

/* The end of a command that runs until it is interrupted: SIGINT and SIGTERM
 * are blocked in every thread (main blocks them before the session starts
 * its threads) and read from a descriptor here. */
class Interrupt {
public:
    Interrupt();
    ~Interrupt();
    Interrupt(const Interrupt &) = delete;
    Interrupt &operator=(const Interrupt &) = delete;
    /* Readable once a signal came. */
    int Fd() const { return fd_; }
    /* Waits up to ms milliseconds; false when a signal came. */
    bool Sleep(uint32_t ms);

private:
    int fd_ = -1;
};

/* Blocks SIGINT and SIGTERM for the calling thread and the threads it
 * starts afterwards. */
void BlockInterrupts();

} // namespace vyremsg

#endif // VYRE_TOOL_COMMANDS_H

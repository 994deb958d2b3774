/*
 * vyre-msg: see and drive a running system of libvyre_os_msg processes from
 * the shell. It joins the run directory as a process of its own and asks the
 * control task every process runs (pmsgCtl) what it needs to know; it sends
 * and calls like any application.
 */
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "tool_commands.h"
#include "vyre_os_msg.h"

namespace {

using namespace vyremsg;

struct Command {
    const char *name;
    const char *usage;   // after "vyre-msg NAME"
    const char *summary; // one line
    const char *details; // the rest of its --help
    const char *options; // accepted options besides --json and --help
    size_t minWords;
    size_t maxWords;
    int (*run)(Session &, const Args &);
};

const Command kCommands[] = {
    {"ps", "[--timeout MS]", "list the processes of the run directory",
     "Lists every process that has a socket in the run directory: name, pid, uid, since when it runs,\n"
     "its carrier, how many tasks it has, the shared-buffer pool it has mapped (POOL) and how many\n"
     "of its buffers are in use (BUFFERS: being filled, queued, or held here or by other processes).\n"
     "--json adds the pool's limit, bytes in use and refusals. A socket whose process died shows as\n"
     "not answering.\n",
     "timeout", 0U, 0U, CmdPs},
    {"tasks", "PROC [--timeout MS]", "show the tasks of process PROC with their counters",
     "For each task of PROC: queue length, messages queued now, the most ever queued, messages\n"
     "accepted, refused because the queue was full, denied by PROC's access policy, handled, the\n"
     "callback's 99th percentile and longest time, what serves it (loop: a thread runs its loop;\n"
     "fd: an application's poll loop; recv: the carrier's receive thread; none: nothing yet, its\n"
     "queue only fills), the shared buffers it holds, and those it sent that other processes still\n"
     "hold. --json adds their bytes and the task's byte bound.\n",
     "timeout", 1U, 1U, CmdTasks},
    {"subs", "PROC [--timeout MS]", "show the subscription table of process PROC",
     "Each event id with its publisher and subscriber, as PROC's table holds them (subscriptions\n"
     "live in the publisher's process).\n",
     "timeout", 1U, 1U, CmdSubs},
    {"top", "[--interval MS] [--count N]", "the tasks of every process, refreshed",
     "Every interval (default 1000 ms), every task of every process with its queue, handled and\n"
     "refused messages per second and callback times: tasks that refuse messages first, then the\n"
     "busiest. --count N stops after N refreshes; otherwise Ctrl-C stops.\n",
     "interval,count", 0U, 0U, CmdTop},
    {"send", "PROC TASK MSGID [--data HEX | --file F]", "send a message to a task",
     "Sends message MSGID (decimal or 0x-hex) asynchronously to task TASK of process PROC, with the\n"
     "payload given as hex bytes or read from a file (at most 4,194,136 bytes). Succeeds once the\n"
     "message is on its way: a process that is not running refuses at once; a task that does not\n"
     "exist in a running process drops it there, and so does a process whose access policy does not\n"
     "accept the tool's user for that task and id.\n",
     "data,file", 3U, 3U, CmdSend},
    {"call", "PROC TASK MSGID [--data HEX | --file F] [--timeout MS] [--raw]", "call a task and print its answer",
     "Sends message MSGID as a synchronous request to task TASK of process PROC and prints the answer\n"
     "as a hex dump (--raw: its bytes alone, --json: as hex). Waits at most --timeout ms (default\n"
     "5000). A process that has no task TASK, or whose access policy does not accept the tool's user\n"
     "for it, refuses the call at once.\n",
     "data,file,timeout,raw", 3U, 3U, CmdCall},
    {"monitor", "PROC [--event ID ...] [--count N] [--capture BYTES]", "print the events PROC publishes",
     "Prints each event that a task of PROC publishes, as PROC fans it out: time, event id, publishing\n"
     "task and pid, size and the first bytes of the payload (--capture, at most 256; default 64).\n"
     "--event (up to 16 times) limits it to those ids. --count N stops after N events; otherwise\n"
     "Ctrl-C stops. Events published while the tool's queue was full are counted as missed.\n",
     "event,count,capture,timeout", 1U, 1U, CmdMonitor},
    {"hz", "PROC TASK [--window MS] [--count N]", "message rate and mean size of a task",
     "Over consecutive windows (default 1000 ms): the messages task TASK of PROC handled per second,\n"
     "their mean payload size and the messages refused because its queue was full. --count N stops\n"
     "after N windows; otherwise Ctrl-C stops.\n",
     "window,count", 2U, 2U, CmdHz},
};

const char kExitCodes[] =
    "Exit codes: 0 done; 1 a request failed, was refused or got no answer; 2 wrong command line;\n"
    "3 the tool could not join the messaging system.\n";

void PrintUsage(FILE *out) {
    (void)fprintf(out, "usage: vyre-msg COMMAND [ARGS] [--json]\n\n"
                       "See and drive the processes of a run directory (VYRE_OS_MSG_RUNDIR, default\n"
                       "/run/vyre_os_msg where this user may use it, else /tmp/vyre_os_msg-UID) while\n"
                       "they run.\n\nCommands:\n");
    for (const Command &c : kCommands) {
        (void)fprintf(out, "  %-8s %s\n", c.name, c.summary);
    }
    (void)fprintf(out,
                  "\n--json prints JSON for scripts (one document; one per line for monitor, top and hz).\n"
                  "vyre-msg COMMAND --help tells more. VYRE_OS_MSG_LOG_LEVEL=0..4 shows the library's own\n"
                  "records on standard error.\n%s",
                  kExitCodes);
}

void PrintCommandHelp(const Command &c) {
    (void)printf("usage: vyre-msg %s %s [--json]\n\n%s\n%s", c.name, c.usage, c.details, kExitCodes);
}

const Command *FindCommand(const char *name) {
    for (const Command &c : kCommands) {
        if (strcmp(c.name, name) == 0) {
            return &c;
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "help") == 0) {
        PrintUsage(argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitUsage : kExitOk;
    }
    const Command *command = FindCommand(argv[1]);
    if (command == nullptr) {
        (void)fprintf(stderr, "vyre-msg: no command %s\n\n", argv[1]);
        PrintUsage(stderr);
        return kExitUsage;
    }
    Args args;
    std::string error;
    if (!ParseArgs(argc, argv, 2, command->options, &args, &error)) {
        (void)fprintf(stderr, "vyre-msg %s: %s\nusage: vyre-msg %s %s [--json]\n", command->name, error.c_str(),
                      command->name, command->usage);
        return kExitUsage;
    }
    if (args.help) {
        PrintCommandHelp(*command);
        return kExitOk;
    }
    if (args.words.size() < command->minWords || args.words.size() > command->maxWords ||
        (args.hasData && !args.file.empty())) {
        (void)fprintf(stderr, "usage: vyre-msg %s %s [--json]\n", command->name, command->usage);
        return kExitUsage;
    }
    // Before the library starts its threads, which inherit the mask: the
    // commands that run until stopped read interrupts from a descriptor, the
    // others end by themselves within their time-outs, so that every run
    // leaves the run directory (its socket) as it found it.
    BlockInterrupts();
    (void)signal(SIGPIPE, SIG_IGN);
    Session session;
    uint32_t ret = session.Join();
    if (ret != OS_MSG_OK) {
        (void)fprintf(stderr, "vyre-msg: cannot join the messaging system: %s\n", OsMsgStrError(ret));
        return kExitJoin;
    }
    return command->run(session, args);
}

/*
 * The other process of the carrier tests. The test starts it with the
 * carrier settings in its environment, drives it through lines on standard
 * input and reads its reports, one line each, from standard output. It
 * tears the library down and leaves when standard input closes, so a test
 * that fails early never leaves it behind; the kernel kills it when the test
 * process dies.
 *
 *   echo NAME [FDS]       task "echo" (peer_roles::Echo), at most FDS descriptors
 *   flow NAME [FDS]       "echo", and "slow" (queue of 8) that waits for "open",
 *                         at most FDS descriptors
 *   pub NAME              task "pub", which publishes on "fire ID"
 *   sub NAME PUBPROC      task "sub" subscribed to PUBPROC's "pub"
 *   member NAME           tasks "echo", "sub" and "pub"
 *   chaos NAME COUNT SEED one of COUNT chaos nodes (chaos_node.h)
 *   frames NAME [PUBPROC] task "frames" (frame_roles.h), subscribed to PUBPROC,
 *                         and task "stall" served on the receive thread
 *   shipframes NAME DEST COUNT SIZE
 *                         sends COUNT frames of SIZE bytes to DEST's "keep"
 *                         ("shipped CODE")
 *   hold-lock [NAME]      holds the directory lock (with an entry for NAME
 *                         half written, as a writer killed mid-way leaves it)
 *   fds                   reports the library's kinds of inherited descriptors
 *   as UID GID GROUPS MODE ...
 *                         MODE as that user, group and supplementary groups
 *                         (comma-separated, "-" for none)
 *
 * Commands, besides those of frame_roles and chaos_node:
 * "fire ID" ("fired CODE"), "send PROC TASK ID" ("sent CODE"), "call PROC
 * TASK" (kCall, 20 s: "call CODE UID PID MS", the ids the echo task saw),
 * "subscribe PROC" ("subscribed CODE"), "unsub PROC" (takes the task's
 * subscription to kEvent of PROC's "pub" back: "unsubscribed CODE"),
 * "open", "count" ("count ECHO SLOW ORDERED": messages "echo" got, "slow"
 * took, whether in id order), "logs" ("logs REFUSALS FULL": ERROR lines of
 * refused deliveries, lines telling a task stayed full), "partials"
 * ("partials N", messages under reassembly),
 * "exit return|callback|destroyed" (leave without tearing down: return from
 * main, exit() in a callback, exit() after OsMsgDestroy) and "fork
 * exit|stay|callback" (fork without exec: a child that tries the library
 * and exits, "child CODE... lines N" then "forked STATUS"; one that outlives
 * this process, "child PID"; one forked in a callback, "loop CODE" and
 * "forked STATUS"). A mode that joins reports "init CODE"; every mode but
 * fds reports "ready".
 */
#include <grp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "carrier/carrier_proto.h"
#include "carrier/chaos_node.h"
#include "carrier/frame_roles.h"
#include "carrier/peer_roles.h"
#include "transport/ipc_msg.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_run_dir.h"
#include "transport/unix/ipc_shm_segment.h"
#include "vyre_os_log.h"
#include "vyre_os_msg.h"

namespace {

using namespace carrier_proto;

char g_name[OS_MSG_NAME_LEN];
std::mutex g_outLock;

void Report(const std::string &line) {
    std::lock_guard<std::mutex> guard(g_outLock);
    (void)!write(STDOUT_FILENO, (line + "\n").c_str(), line.size() + 1U);
}

/* Lines of the library at ERROR and above about a refused delivery, and
 * those that tell a task stayed full ("logs" reports both). */
std::atomic<uint32_t> g_refusalLines{0U};
std::atomic<uint32_t> g_fullLines{0U};

void CountLine(bool error, const char *line) {
    if (error && (strstr(line, "simple msg full") != nullptr || strstr(line, "transcat ret=") != nullptr)) {
        g_refusalLines.fetch_add(1U);
    }
    if (strstr(line, "] is full: ") != nullptr) {
        g_fullLines.fetch_add(1U);
    }
}

/* The library's log lines go to standard error, so that standard output
 * carries only reports. */
void LogToStderr(uint32_t level, const char *line) {
    CountLine(level >= OS_MSG_LOG_ERROR, line);
    (void)fprintf(stderr, "%s\n", line);
}

/* A fork made in a callback: the child returns from the callback (its loop
 * must end), the parent reports how the child ended. */
void ForkInCallback() {
    pid_t child = fork();
    if (child == 0) {
        alarm(60U); // a child whose loop went on would otherwise stay
    } else if (child > 0) {
        int status = -1;
        (void)waitpid(child, &status, 0);
        Report("forked " + std::to_string(status));
    }
}

/* Task "echo": the shared echo role, and the ways of leaving and forking
 * from inside a callback. */
std::atomic<uint32_t> g_echoCount{0U};
/* Task "slow": its loop waits at the gate until "open"; what it took. */
std::mutex g_gateLock;
std::condition_variable g_gateCond;
bool g_gateOpen = false;
uint32_t g_slowCount = 0U;  /* g_gateLock */
uint32_t g_slowLastId = 0U; /* g_gateLock */
bool g_slowOrdered = true;  /* g_gateLock */

uint32_t EchoTask(MsgHead *msg) {
    g_echoCount.fetch_add(1U);
    switch (msg->msgId) {
    case kExitNow:
        exit(0);
    case kForkNow:
        ForkInCallback();
        return 0U;
    default:
        return peer_roles::Echo(msg);
    }
}

uint32_t SlowTask(MsgHead *msg) {
    std::unique_lock<std::mutex> lock(g_gateLock);
    g_gateCond.wait(lock, [] { return g_gateOpen; });
    g_slowOrdered = g_slowOrdered && msg->msgId > g_slowLastId;
    g_slowLastId = msg->msgId;
    g_slowCount += 1U;
    return 0U;
}

void OpenGate() {
    std::lock_guard<std::mutex> guard(g_gateLock);
    g_gateOpen = true;
    g_gateCond.notify_all();
}

void ReportCount() {
    std::lock_guard<std::mutex> guard(g_gateLock);
    Report("count " + std::to_string(g_echoCount.load()) + " " + std::to_string(g_slowCount) + " " +
           (g_slowOrdered ? "1" : "0"));
}

void ReportPartials() {
    int32_t nodes = 0;
    if (rebuildEntry != nullptr) {
        std::lock_guard<std::mutex> guard(rebuildEntry->rebuildLock);
        nodes = rebuildEntry->nodeTotal;
    }
    Report("partials " + std::to_string(nodes));
}

void PlatformLogToStderr(uint32_t level, const char *, const char *text) {
    CountLine(level >= OS_LOG_ERROR, text);
    (void)fprintf(stderr, "%s", text);
}

pid_t g_pid;

void *TaskLoop(void *name) {
    uint32_t ret = OsMsgTaskRoutineByName(static_cast<const char *>(name));
    if (getpid() != g_pid) {
        Report("loop " + std::to_string(ret)); // a child forked in the callback
        _exit(0);
    }
    return nullptr;
}

bool Join(const char *task, uint32_t (*callback)(MsgHead *), pthread_t *thread) {
    uint32_t ret = OsMsgInit(g_name);
    Report("init " + std::to_string(ret));
    if (ret != OS_MSG_OK) {
        return false;
    }
    return OsMsgRegTask(task, 64U, callback) == OS_MSG_OK &&
           pthread_create(thread, nullptr, TaskLoop, const_cast<char *>(task)) == 0;
}

void Leave(pthread_t thread) {
    OpenGate(); // a loop waiting at the gate must be able to leave
    (void)OsMsgDestroy(g_name);
    (void)OsMsgUninit();
    (void)pthread_join(thread, nullptr);
}

/* Sends an asynchronous message msgId to task of proc from task "echo". */
uint32_t SendTo(const char *proc, const char *task, uint32_t msgId) {
    MsgHead head;
    FillHead(&head, g_name, proc, task, msgId, nullptr, 0U);
    (void)snprintf(head.sendTaskName, sizeof(head.sendTaskName), "echo");
    return OsMsgAsynSend(&head);
}

uint32_t g_forkLines = 0U;

void CountForkLines(uint32_t, const char *line) {
    if (strstr(line, "process forked from pid") != nullptr) {
        __atomic_add_fetch(&g_forkLines, 1U, __ATOMIC_RELAXED);
    }
}

/* The child of a fork without exec: every call is refused, and its normal
 * exit (which runs the parent's exit handlers) leaves the parent's traces. */
[[noreturn]] void TryTheLibraryAndExit(const char *task) {
    alarm(60U); // a call that hung would otherwise keep it
    OsMsgRegLogFunc(CountForkLines);
    MsgHead head;
    FillHead(&head, g_name, g_name, task, kPing, nullptr, 0U);
    uint32_t codes[] = {OsMsgInit("forkling"),
                        OsMsgRegTask("forkling", 0U, peer_roles::Idle),
                        OsMsgAsynSend(&head),
                        OsMsgDestroy(g_name),
                        OsMsgWaitProcess(g_name, 0U),
                        OsMsgUninit(),
                        OsMsgMain()};
    std::string line = "child";
    for (uint32_t code : codes) {
        line += " " + std::to_string(code);
    }
    Report(line + " lines " + std::to_string(__atomic_load_n(&g_forkLines, __ATOMIC_RELAXED)));
    exit(0);
}

/* "fork HOW"; a child that stays does so for at most a minute. */
void Fork(const char *task, const char *how) {
    if (strncmp(how, "callback", 8) == 0) {
        (void)SendTo(g_name, task, kForkNow);
        return;
    }
    pid_t child = fork();
    if (child == 0 && strncmp(how, "exit", 4) == 0) {
        TryTheLibraryAndExit(task);
    }
    if (child == 0) {
        // Reported by the child itself, once fork() has returned in it: its
        // fork handlers have run. One write, no lock a parent thread may
        // have held at the fork.
        char line[32];
        int len = snprintf(line, sizeof(line), "child %d\n", (int)getpid());
        (void)!write(STDOUT_FILENO, line, (size_t)len);
        alarm(60U);
        for (;;) {
            pause();
        }
    }
    if (strncmp(how, "stay", 4) == 0) {
        return;
    }
    int status = -1;
    (void)waitpid(child, &status, 0);
    Report("forked " + std::to_string(status));
}

/* "exit HOW": returns only for "return". */
void Exit(const char *task, const char *how) {
    if (strncmp(how, "callback", 8) == 0) {
        (void)SendTo(g_name, task, kExitNow);
        for (;;) {
            pause();
        }
    }
    if (strncmp(how, "destroyed", 9) == 0) {
        (void)OsMsgDestroy(g_name);
        exit(0);
    }
}

/* Calls task of proc with kCall; reports the result, the ids in an Answer
 * and the milliseconds the call took. */
void CallAndReport(const char *proc, const char *task) {
    MsgHead head;
    FillHead(&head, g_name, proc, task, kCall, nullptr, 0U);
    MsgHead *resp = nullptr;
    const auto start = std::chrono::steady_clock::now();
    uint32_t ret = OsMsgSynSend(&head, &resp, 20000U);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    Answer answer{};
    if (ret == OS_MSG_OK) {
        if (resp->dataLen == sizeof(answer)) {
            std::memcpy(&answer, resp->data, sizeof(answer));
        }
        (void)OsMsgSynRespFree(resp);
    }
    Report("call " + std::to_string(ret) + " " + std::to_string(answer.uid) + " " + std::to_string(answer.pid) + " " +
           std::to_string(ms));
}

/* The commands that reach other processes, for task ownTask; false for
 * another command. */
bool RunSendCommand(const char *ownTask, const std::string &command) {
    char proc[OS_MSG_NAME_LEN] = {0};
    char task[OS_MSG_NAME_LEN] = {0};
    unsigned id = 0U;
    if (sscanf(command.c_str(), "send %15s %15s %u", proc, task, &id) == 3) {
        Report("sent " + std::to_string(SendTo(proc, task, id)));
    } else if (sscanf(command.c_str(), "call %15s %15s", proc, task) == 2) {
        CallAndReport(proc, task);
    } else if (sscanf(command.c_str(), "subscribe %15s", proc) == 1) {
        Report("subscribed " + std::to_string(SubscribeToPub(proc, "sub")));
    } else if (sscanf(command.c_str(), "unsub %15s", proc) == 1) {
        Report("unsubscribed " + std::to_string(UnsubscribeFromPub(proc, ownTask)));
    } else {
        return false;
    }
    return true;
}

/* Runs commands from standard input until it closes. */
void Serve(const char *task, pthread_t thread, chaos_node::Node *node) {
    char line[128];
    FILE *in = fdopen(STDIN_FILENO, "r");
    while (in != nullptr && fgets(line, sizeof(line), in) != nullptr) {
        std::string command(line, strcspn(line, "\n"));
        if (command.compare(0, 5, "exit ") == 0) {
            Exit(task, command.c_str() + 5);
            return; // main returns with the library up
        }
        unsigned id = 0U;
        if (command.compare(0, 5, "fork ") == 0) {
            Fork(task, command.c_str() + 5);
        } else if (sscanf(command.c_str(), "fire %u", &id) == 1) {
            Report("fired " + std::to_string(BroadcastFromPub(id)));
        } else if (command == "open") {
            OpenGate();
        } else if (command == "count") {
            ReportCount();
        } else if (command == "partials") {
            ReportPartials();
        } else if (command == "logs") {
            Report("logs " + std::to_string(g_refusalLines.load()) + " " + std::to_string(g_fullLines.load()));
        } else if (!RunSendCommand(task, command) && (node == nullptr || !node->RunCommand(command))) {
            (void)frame_roles::g_frames.RunCommand(command);
        }
    }
    if (node != nullptr) {
        node->Stop();
    }
    Leave(thread);
}

/* Ends the process, as it stands, once standard input has closed. */
[[noreturn]] void ExitWhenStdinCloses() {
    char byte;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, &byte, 1U);
        if (n == 0 || (n < 0 && errno != EINTR)) {
            _exit(0);
        }
    }
}

/* Holds the directory lock of the run directory until killed; given a
 * name, first writes an entry for it up to its commit word, which a killed
 * writer never sets. */
int HoldLock(const char *halfName) {
    char dir[IPC_RUN_DIR_PATH_SIZE];
    IpcRunDirMode mode;
    if (IpcRunDirPath(dir, sizeof(dir)) != OS_MSG_OK || IpcRunDirOpen(dir, &mode) != OS_MSG_OK ||
        IpcShmSegmentAttach(dir, &mode) != OS_MSG_OK) {
        return 1;
    }
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    (void)pthread_mutex_lock(&head->lock.mutex);
    if (halfName != nullptr) {
        IpcMsgQidEntry *entry = &head->entries[0];
        while (entry->inUse != 0U) {
            ++entry;
        }
        (void)snprintf(entry->name, sizeof(entry->name), "%s", halfName);
        entry->qid = (uint32_t)getpid();
    }
    Report("ready");
    ExitWhenStdinCloses();
}

/* Reports how many inherited descriptors are the library's kinds. */
int ReportLibraryFds() {
    int count = 0;
    for (int fd = 3; fd < 1024; ++fd) {
        char link[64];
        char target[128] = {0};
        (void)snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
        if (readlink(link, target, sizeof(target) - 1U) > 0 &&
            (strncmp(target, "socket:", 7) == 0 || strstr(target, "eventpoll") != nullptr ||
             strstr(target, "eventfd") != nullptr || strstr(target, "inotify") != nullptr ||
             strstr(target, "pidfd") != nullptr)) {
            ++count;
        }
    }
    Report("fds " + std::to_string(count));
    return 0;
}

/* Joins as g_name and ships frames to dest, then waits to be killed. */
int ShipFrames(const char *dest, uint32_t count, uint32_t size) {
    pthread_t thread;
    if (!Join("idle", peer_roles::Idle, &thread)) {
        return 1;
    }
    Report("shipped " + std::to_string(frame_roles::ShipFrames(g_name, dest, count, size)));
    ExitWhenStdinCloses();
}

/* Becomes user uid with group gid and the supplementary groups listed
 * ("1,2" or "-"); false when the kernel refuses. */
bool SwitchUser(const char *uid, const char *gid, const char *groups) {
    std::vector<gid_t> list;
    for (const char *at = groups; strcmp(groups, "-") != 0 && *at != '\0';) {
        char *end = nullptr;
        list.push_back((gid_t)strtoul(at, &end, 10));
        at = *end == ',' ? end + 1 : end;
    }
    const auto g = (gid_t)strtoul(gid, nullptr, 10);
    const auto u = (uid_t)strtoul(uid, nullptr, 10);
    return setgroups(list.size(), list.data()) == 0 && setresgid(g, g, g) == 0 && setresuid(u, u, u) == 0;
}

/* The tasks of the member mode ("echo", "pub" without a loop, "sub") or of
 * the flow mode ("echo", "slow" with a queue of 8). */
bool JoinTwo(bool member, pthread_t *echo, pthread_t *other) {
    const char *name = member ? "sub" : "slow";
    return Join("echo", EchoTask, echo) && (!member || OsMsgRegTask("pub", 64U, peer_roles::Idle) == OS_MSG_OK) &&
           OsMsgRegTask(name, member ? 64U : 8U, member ? peer_roles::Sub : SlowTask) == OS_MSG_OK &&
           pthread_create(other, nullptr, TaskLoop, const_cast<char *>(name)) == 0;
}

} // namespace

int main(int argc, char **argv) {
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_IGN);
    g_pid = getpid();
    peer_roles::g_report = Report;
    frame_roles::g_report = Report;
    OsMsgRegLogFunc(LogToStderr);
    OsLogSetSink(PlatformLogToStderr);
    if (argc >= 6 && strcmp(argv[1], "as") == 0) {
        if (!SwitchUser(argv[2], argv[3], argv[4])) {
            Report("as failed " + std::to_string(errno));
            return 1;
        }
        argv[4] = argv[0];
        argv += 4;
        argc -= 4;
    }
    if (argc >= 2 && strcmp(argv[1], "hold-lock") == 0) {
        return HoldLock(argc >= 3 ? argv[2] : nullptr);
    }
    if (argc >= 2 && strcmp(argv[1], "fds") == 0) {
        return ReportLibraryFds();
    }
    if (argc < 3) {
        return 2;
    }
    (void)snprintf(g_name, sizeof(g_name), "%s", argv[2]);
    std::string mode = argv[1];
    if (mode == "shipframes" && argc == 6) {
        return ShipFrames(argv[3], (uint32_t)std::strtoul(argv[4], nullptr, 10),
                          (uint32_t)std::strtoul(argv[5], nullptr, 10));
    }
    if ((mode == "echo" || mode == "flow") && argc == 4) {
        struct rlimit limit = {(rlim_t)atoi(argv[3]), (rlim_t)atoi(argv[3])};
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (mode == "flow" || mode == "member") {
        pthread_t echo;
        pthread_t other;
        if (!JoinTwo(mode == "member", &echo, &other)) {
            return 1;
        }
        Report("ready");
        Serve("echo", echo, nullptr);
        (void)pthread_join(other, nullptr);
        return 0;
    }
    const bool chaos = mode == "chaos" && argc == 5;
    if (chaos) { // failures are the rule while processes die; each would log
        OsMsgSetLogLevel(OS_MSG_LOG_FATAL);
        OsLogSetLevel(OS_LOG_FATAL);
    }
    const bool frames = mode == "frames";
    const char *task = chaos ? "node" : frames ? "frames" : mode == "echo" ? "echo" : mode == "pub" ? "pub" : "sub";
    uint32_t (*callback)(MsgHead *) = chaos            ? chaos_node::OnMessage
                                      : frames         ? frame_roles::OnFrame
                                      : mode == "echo" ? EchoTask
                                      : mode == "pub"  ? peer_roles::Idle
                                                       : peer_roles::Sub;
    pthread_t thread;
    if (!Join(task, callback, &thread)) {
        return 1;
    }
    if (frames && (OsMsgRegTask(frame_roles::kStallTask, 4U, frame_roles::OnStall) != OS_MSG_OK ||
                   OsMsgTaskServeOnReceive(frame_roles::kStallTask) != OS_MSG_OK)) {
        return 1;
    }
    if ((mode == "sub" || frames) && argc == 4) {
        Report("subscribed " + std::to_string(SubscribeToPub(argv[3], task)));
    }
    std::unique_ptr<chaos_node::Node> node;
    if (chaos) {
        node = std::make_unique<chaos_node::Node>(g_name, (uint32_t)std::strtoul(argv[3], nullptr, 10),
                                                  (uint32_t)std::strtoul(argv[4], nullptr, 10), Report);
    }
    Report("ready");
    Serve(task, thread, node.get());
    return 0;
}

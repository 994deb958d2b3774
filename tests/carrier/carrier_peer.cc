/*
 * The other process of the carrier tests. The test starts it with the
 * carrier settings in its environment, drives it through lines on standard
 * input and reads its reports from standard output (one line each). It
 * leaves, tearing the library down, when standard input closes, so a test
 * that fails early never leaves it behind; the kernel kills it when the test
 * process dies (a stopped peer reads nothing).
 *
 *   carrier_peer echo NAME [FDS]    task "echo" answers (see EchoTask); with
 *                                   FDS, the process may open at most that
 *                                   many descriptors (RLIMIT_NOFILE)
 *   carrier_peer flow NAME          task "echo", and task "slow" (queue of 8)
 *                                   whose loop waits for "open" before it
 *                                   takes its first message
 *   carrier_peer caller NAME DEST N joins as NAME0 ... NAME<N-1> in turn,
 *                                   each time calls DEST's task "echo" once
 *                                   and leaves
 *   carrier_peer pub NAME           task "pub" publishes on command
 *   carrier_peer sub NAME PUBPROC   task "sub" subscribes to PUBPROC's "pub"
 *   carrier_peer hold-lock          locks the run directory's queue directory
 *                                   and waits to be killed (or for standard
 *                                   input to close)
 *   carrier_peer partial NAME DEST  sends DEST the first slice of a large
 *                                   message and waits likewise
 *
 * Commands: "fire ID" (pub: broadcast event ID), "reinit" (echo: leave and
 * join again under the same name), "open" (flow: task "slow" goes on),
 * "count" (messages task "echo" got, and task "slow" took and whether in the
 * order of their ids), "partials" (messages under reassembly). Reports:
 * "ready", "event ID LEN", "late CODE", "fired CODE", "init CODE",
 * "count ECHO SLOW ORDERED", "partials N", "called I CODE", "done".
 */
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "carrier/carrier_proto.h"
#include "transport/ipc_msg.h"
#include "transport/msg_rebuild.h"
#include "transport/unix/ipc_frame.h"
#include "transport/unix/ipc_peer_cache.h"
#include "transport/unix/ipc_run_dir.h"
#include "transport/unix/ipc_shm_segment.h"
#include "vyre_os_log.h"
#include "vyre_os_msg.h"

namespace {

using namespace carrier_proto;

char g_name[OS_MSG_NAME_LEN];
std::mutex g_outLock;
std::atomic<uint32_t> g_echoCount{0U};
/* Task "slow": its loop waits at the gate until "open"; what it took. */
std::mutex g_gateLock;
std::condition_variable g_gateCond;
bool g_gateOpen = false;
uint32_t g_slowCount = 0U;  /* g_gateLock */
uint32_t g_slowLastId = 0U; /* g_gateLock */
bool g_slowOrdered = true;  /* g_gateLock */

void Report(const std::string &line) {
    std::lock_guard<std::mutex> guard(g_outLock);
    (void)!write(STDOUT_FILENO, (line + "\n").c_str(), line.size() + 1U);
}

/* Answers with what the carrier delivered: the sender's pid and uid as the
 * receiver saw them, the payload's length and whether every byte matched. */
Answer Describe(const MsgHead *msg) {
    Answer answer;
    answer.pid = msg->sendPid;
    answer.uid = msg->sendUid;
    answer.len = msg->dataLen;
    answer.intact = PatternIntact(static_cast<const uint8_t *>(msg->data), msg->dataLen, msg->msgId) ? 1U : 0U;
    return answer;
}

uint32_t EchoTask(MsgHead *msg) {
    g_echoCount.fetch_add(1U);
    Answer answer = Describe(msg);
    switch (msg->msgId) {
    case kPing: {
        MsgHead reply;
        FillHead(&reply, g_name, msg->sendProcName, msg->sendTaskName, kPong, &answer, sizeof(answer));
        (void)OsMsgAsynSend(&reply);
        break;
    }
    case kCall:
        (void)OsMsgSynSendResp(msg, &answer, sizeof(answer));
        break;
    case kSlowCall: {
        uint32_t delayMs = 0U;
        std::memcpy(&delayMs, msg->data, sizeof(delayMs));
        usleep(delayMs * 1000U);
        uint32_t ret = OsMsgSynSendResp(msg, &answer, sizeof(answer));
        Report("late " + std::to_string(ret));
        break;
    }
    default:
        break;
    }
    return 0U;
}

uint32_t PubTask(MsgHead *) {
    return 0U;
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

uint32_t SubTask(MsgHead *msg) {
    Report("event " + std::to_string(msg->msgId) + " " + std::to_string(msg->dataLen));
    return 0U;
}

void *TaskLoop(void *name) {
    (void)OsMsgTaskRoutineByName(static_cast<const char *>(name));
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

void Subscribe(const char *pubProc) {
    Report("subscribed " + std::to_string(SubscribeToPub(pubProc, "sub")));
}

void Fire(uint32_t msgId) {
    Report("fired " + std::to_string(BroadcastFromPub(msgId)));
}

/* Runs commands from standard input until it closes. */
void Serve(const char *task, uint32_t (*callback)(MsgHead *), pthread_t thread) {
    char line[128];
    FILE *in = fdopen(STDIN_FILENO, "r");
    while (in != nullptr && fgets(line, sizeof(line), in) != nullptr) {
        unsigned id = 0U;
        if (sscanf(line, "fire %u", &id) == 1) {
            Fire(id);
        } else if (strncmp(line, "open", 4) == 0) {
            OpenGate();
        } else if (strncmp(line, "count", 5) == 0) {
            ReportCount();
        } else if (strncmp(line, "partials", 8) == 0) {
            ReportPartials();
        } else if (strncmp(line, "reinit", 6) == 0) {
            Leave(thread);
            if (!Join(task, callback, &thread)) {
                return;
            }
            Report("ready");
        }
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

/* Holds the directory lock of the run directory until killed. */
int HoldLock() {
    char dir[IPC_RUN_DIR_PATH_SIZE];
    if (IpcRunDirPath(dir, sizeof(dir)) != OS_MSG_OK || IpcShmSegmentAttach(dir) != OS_MSG_OK) {
        return 1;
    }
    (void)pthread_mutex_lock(&IPCMsgGetShmHead()->lock.mutex);
    Report("ready");
    ExitWhenStdinCloses();
}

/* Joins as name and sends dest the first slice of a message that is never
 * finished, then waits to be killed. */
int SendPartial(const char *dest) {
    pthread_t thread;
    if (!Join("idle", PubTask, &thread)) {
        return 1;
    }
    uint32_t err = 0U;
    uint32_t gen = 0U;
    IpcPeer *peer = IpcPeerFind(dest, &err, &gen);
    if (peer == nullptr) {
        return 1;
    }
    std::lock_guard<std::mutex> guard(peer->lock);
    if (IpcPeerConnect(peer) != OS_MSG_OK) {
        return 1;
    }
    static uint8_t slice[kPartialSlice];
    MsgHead head;
    FillHead(&head, g_name, dest, "echo", kPing, nullptr, 0U);
    head.dataLen = kPartialTotal;
    IpcFramePrefix prefix;
    IpcFrameSetPrefix(&prefix, 1U, IPC_FRAME_SLICED, sizeof(slice));
    MsgSliceTail tail;
    std::memset(&tail, 0, sizeof(tail));
    tail.isSplit = 1U;
    tail.curLen = sizeof(slice);
    tail.flag = 42U;
    struct iovec iov[4] = {
        {&prefix, sizeof(prefix)}, {&head, sizeof(head)}, {slice, sizeof(slice)}, {&tail, sizeof(tail)}};
    struct msghdr msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msg_iov = iov;
    msg.msg_iovlen = 4;
    if (sendmsg(peer->link->fd, &msg, MSG_NOSIGNAL) < 0) {
        return 1;
    }
    Report("ready");
    ExitWhenStdinCloses();
}

/* Joins under NAME0 ... NAME<count-1> in turn; each calls dest's task
 * "echo" once and leaves. */
int CallUnderNames(const char *prefix, const char *dest, int count) {
    // Only the reports go to the pipe, which the test reads one caller after
    // another: a log line blocked on a full pipe could hold the run
    // directory's lock that the other callers wait for.
    OsMsgRegLogFunc(nullptr);
    OsLogSetLevel(OS_LOG_FATAL + 1U);
    for (int i = 0; i < count; ++i) {
        (void)snprintf(g_name, sizeof(g_name), "%.10s%d", prefix, i % 10000);
        uint32_t ret = OsMsgInit(g_name);
        if (ret == OS_MSG_OK) {
            MsgHead head;
            FillHead(&head, g_name, dest, "echo", kCall, nullptr, 0U);
            MsgHead *resp = nullptr;
            ret = OsMsgSynSend(&head, &resp, 10000U);
            if (ret == OS_MSG_OK) {
                (void)OsMsgSynRespFree(resp);
            }
            (void)OsMsgDestroy(g_name);
            (void)OsMsgUninit();
        }
        Report("called " + std::to_string(i) + " " + std::to_string(ret));
    }
    Report("done");
    ExitWhenStdinCloses();
}

/* The tasks of the flow mode: "echo", and "slow" with its loop. */
bool JoinFlow(pthread_t *echo, pthread_t *slow) {
    return Join("echo", EchoTask, echo) && OsMsgRegTask("slow", 8U, SlowTask) == OS_MSG_OK &&
           pthread_create(slow, nullptr, TaskLoop, const_cast<char *>("slow")) == 0;
}

} // namespace

int main(int argc, char **argv) {
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && strcmp(argv[1], "hold-lock") == 0) {
        return HoldLock();
    }
    if (argc < 3) {
        return 2;
    }
    (void)snprintf(g_name, sizeof(g_name), "%s", argv[2]);
    std::string mode = argv[1];
    if (mode == "partial" && argc == 4) {
        return SendPartial(argv[3]);
    }
    if (mode == "caller" && argc == 5) {
        return CallUnderNames(argv[2], argv[3], atoi(argv[4]));
    }
    if (mode == "echo" && argc == 4) {
        struct rlimit limit = {(rlim_t)atoi(argv[3]), (rlim_t)atoi(argv[3])};
        (void)setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (mode == "flow") {
        pthread_t echo;
        pthread_t slow;
        if (!JoinFlow(&echo, &slow)) {
            return 1;
        }
        Report("ready");
        Serve("echo", EchoTask, echo);
        (void)pthread_join(slow, nullptr);
        return 0;
    }
    const char *task = mode == "echo" ? "echo" : mode == "pub" ? "pub" : "sub";
    uint32_t (*callback)(MsgHead *) = mode == "echo" ? EchoTask : mode == "pub" ? PubTask : SubTask;
    pthread_t thread;
    if (!Join(task, callback, &thread)) {
        return 1;
    }
    if (mode == "sub" && argc == 4) {
        Subscribe(argv[3]);
    }
    Report("ready");
    Serve(task, callback, thread);
    return 0;
}

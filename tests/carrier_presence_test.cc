/*
 * Processes that find each other and peers that come and go, under the
 * Unix-socket carrier: the default carrier and run directory, the join
 * options, the wait for a process, the "process joined" and "process left"
 * events, and the subscriptions a process keeps for publishers that
 * restart. The cases run real processes (carrier_peer), each in a run
 * directory of its own but the one about the default directory, and check
 * that descriptors, threads and tracked blocks come back to what they were;
 * every wait is bounded.
 */
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "carrier/carrier_fixture.h"
#include "transport/unix/ipc_run_dir.h"

namespace {

using carrier_test::CarrierFixture;
using carrier_test::Peer;
using simple_msg_test::Received;

bool Exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

/* The sanitizers' settings, the only variables a peer started with an empty
 * environment gets: they are no settings of the library. */
std::vector<std::string> EmptyEnvironment() {
    std::vector<std::string> env;
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char *value = getenv(name)) {
            env.push_back(std::string(name) + "=" + value);
        }
    }
    return env;
}

MsgSubEntry Entry(uint32_t msgId, const char *proc, const char *task) {
    return SubEntry(msgId, 0U, proc, task, "main");
}

/* A presence event as received: "J name pid" or "L name pid". */
std::string PresenceOf(const Received &item) {
    OsMsgProcEvent event{};
    if (item.payload.size() != sizeof(event) || item.head.sendProcName != std::string(MSG_PROC_NAME_PMSG)) {
        return "?";
    }
    std::memcpy(&event, item.payload.data(), sizeof(event));
    return std::string(item.msgId == MSG_ID_PROC_JOINED ? "J " : "L ") + event.procName + " " +
           std::to_string(event.pid);
}

std::vector<std::string> Presences(const std::vector<Received> &items) {
    std::vector<std::string> seen;
    for (const Received &item : items) {
        if (item.msgId == MSG_ID_PROC_JOINED || item.msgId == MSG_ID_PROC_LEFT) {
            seen.push_back(PresenceOf(item));
        }
    }
    return seen;
}

class Presence : public CarrierFixture {
protected:
    /* Joins as "self" with task "main" subscribed to the presence events. */
    void JoinWatching() {
        ASSERT_EQ(Join("self"), OS_MSG_OK);
        MsgSubEntry entries[2] = {Entry(MSG_ID_PROC_JOINED, MSG_PROC_NAME_PMSG, MSG_TASK_NAME_PMSG_BRO),
                                  Entry(MSG_ID_PROC_LEFT, MSG_PROC_NAME_PMSG, MSG_TASK_NAME_PMSG_BRO)};
        ASSERT_EQ(OsMsgSubscribeEvent(entries, 2U), OS_MSG_OK);
    }

    /* Waits for the presence event text ("J pub 123") to have arrived. */
    bool SawPresence(const std::string &text) {
        return inbox_.WaitUntil([&](const std::vector<Received> &items) {
            const std::vector<std::string> seen = Presences(items);
            return std::find(seen.begin(), seen.end(), text) != seen.end();
        });
    }

    /* Once the wait for a publisher has returned, its kept subscriptions
     * were sent to it, ahead of a call on the same link: answered, they are
     * applied before anything it publishes later. */
    void AfterJoinOf(const char *proc) {
        ASSERT_EQ(OsMsgWaitProcess(proc, 10000U), OS_MSG_OK);
        ASSERT_EQ(Call(proc, 5000U, nullptr, MSG_TASK_NAME_PMSG_CTL), OS_MSG_OK);
    }
};

// Finding each other.

TEST(FindEachOther, TwoProcessesWithAnEmptyEnvironmentMeetInTheDefaultDirectory) {
    // No carrier, no run directory, no session: the processes meet in the
    // one default directory, under names no other run uses.
    const std::string server = "envs" + std::to_string(getpid());
    const std::string caller = "envc" + std::to_string(getpid());
    const std::vector<std::string> env = EmptyEnvironment();
    Peer echo(CARRIER_PEER_PATH, {"echo", server}, false, &env);
    ASSERT_EQ(echo.Expect("ready"), "ready");
    char dir[IPC_RUN_DIR_PATH_SIZE];
    unsetenv("VYRE_OS_MSG_RUNDIR");
    IpcRunDirDefault(dir, sizeof(dir));
    EXPECT_TRUE(Exists(std::string(dir) + "/" + server + ".sock")) << dir;

    Peer call(CARRIER_PEER_PATH, {"echo", caller}, false, &env);
    ASSERT_EQ(call.Expect("ready"), "ready");
    const std::string called = call.Ask("call " + server + " echo", "call ");
    EXPECT_EQ(called.compare(0, 7, "call 0 "), 0) << called;
    call.Stop();
    echo.Stop();
    EXPECT_EQ(echo.Wait(), 0);
    EXPECT_FALSE(Exists(std::string(dir) + "/" + server + ".sock")) << "it removed its socket as it left";
}

TEST(DefaultRunDirectory, IsTheSystemFolderForRootAndOneFolderPerUserOtherwise) {
    if (geteuid() != 0U) {
        GTEST_SKIP() << "needs root, to see the default of root and of another user";
    }
    unsetenv("VYRE_OS_MSG_RUNDIR");
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1); // a login session plays no part
    char path[IPC_RUN_DIR_PATH_SIZE];
    ASSERT_EQ(IpcRunDirPath(path, sizeof(path)), OS_MSG_OK);
    EXPECT_STREQ(path, IPC_RUN_DIR_SYSTEM);

    // The child's answer comes back in memory it shares with this process.
    void *shared = mmap(nullptr, IPC_RUN_DIR_PATH_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    char *seen = static_cast<char *>(shared);
    EXPECT_TRUE(
        carrier_test::AsUser(65534, 65534, [&] { return IpcRunDirPath(seen, IPC_RUN_DIR_PATH_SIZE) == OS_MSG_OK; }));
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_STREQ(seen, "/tmp/vyre_os_msg-65534") << "a user who may not use the system folder";
    (void)munmap(shared, IPC_RUN_DIR_PATH_SIZE);
}

// Join options.

using JoinOptions = CarrierFixture;

// A given option wins over the environment and an unset one leaves it to
// it; the record grows at its end, and what this library cannot do is
// refused with nothing joined.
TEST_F(JoinOptions, AGivenOptionWinsAnUnsetOneLeavesItToTheEnvironmentAndTheRecordGrowsAtItsEnd) {
    keptThreads_ = 1U; // the loopback's server thread stays for the life of the process
    const std::string optionDir = runDir_ + "/opt";
    setenv("VYRE_OS_MSG_CARRIER", "loopback", 1);
    OsMsgOptions options = OS_MSG_OPTIONS_INIT;
    options.carrier = OS_MSG_CARRIER_UNIX;
    options.runDir = optionDir.c_str();
    ASSERT_EQ(OsMsgInitWithOptions("self", &options), OS_MSG_OK);
    EXPECT_TRUE(Exists(optionDir + "/self.sock")) << "carrier and directory of the options";
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    options.runDir = nullptr;
    ASSERT_EQ(OsMsgInitWithOptions("self", &options), OS_MSG_OK);
    EXPECT_TRUE(Exists(SockPath("self"))) << "the directory of VYRE_OS_MSG_RUNDIR";
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    (void)unlink((optionDir + "/queue_dir").c_str());
    EXPECT_EQ(rmdir(optionDir.c_str()), 0);

    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
    struct Newer {
        OsMsgOptions known;
        uint64_t later; // a field of a later header
    } newer;
    std::memset(&newer, 0, sizeof(newer));
    newer.known.size = sizeof(newer);
    ASSERT_EQ(OsMsgInitWithOptions("self", &newer.known), OS_MSG_OK) << "unknown fields that are zero";
    EXPECT_FALSE(Exists(SockPath("self"))) << "an unset carrier is the environment's loopback";
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
    OsMsgOptions older = OS_MSG_OPTIONS_INIT;
    older.size = OS_MSG_OPTIONS_SIZE_V1;
    ASSERT_EQ(OsMsgInitWithOptions("self", &older), OS_MSG_OK) << "the first version's size";
    EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);

    newer.later = 1U;
    OsMsgOptions unknownFlag = OS_MSG_OPTIONS_INIT;
    unknownFlag.flags = 0x80U;
    OsMsgOptions relative = OS_MSG_OPTIONS_INIT;
    relative.runDir = "relative/dir";
    OsMsgOptions shortSize = OS_MSG_OPTIONS_INIT;
    shortSize.size = OS_MSG_OPTIONS_SIZE_V1 - 1U;
    OsMsgOptions badLevel = OS_MSG_OPTIONS_INIT;
    badLevel.flags = OS_MSG_OPT_LOG_LEVEL;
    badLevel.logLevel = OS_MSG_LOG_FATAL + 1U;
    for (const OsMsgOptions *refused : {&newer.known, &unknownFlag, &relative, &shortSize, &badLevel}) {
        EXPECT_EQ(OsMsgInitWithOptions("self", refused), OS_MSG_ERR_INVALID_PARAM);
        char name[OS_MSG_NAME_LEN];
        EXPECT_EQ(OsMsgGetProcName(name, sizeof(name)), OS_MSG_ERR_NOT_INIT) << "nothing joined";
    }
    EXPECT_EQ(log.Count("options", OS_MSG_LOG_ERROR) + log.Count("unusable", OS_MSG_LOG_ERROR), 5U) << log.Dump();
}

// Waiting for a process, and joined and left.

// A wait returns at once for a process that runs, times out for one that
// does not, is woken when one joins and ends when this process leaves; the
// "process joined" and "process left" events arrive once each, also for a
// process that dies.
TEST_F(Presence, WaitsAndJoinedAndLeftFollowProcessesThatComeAndGoAlsoOneThatDies) {
    using std::chrono::milliseconds;
    JoinWatching();
    EXPECT_EQ(OsMsgWaitProcess("self", 0U), OS_MSG_OK);
    EXPECT_TRUE(carrier_test::TakesBetween(milliseconds(300), milliseconds(3000),
                                           [] { EXPECT_EQ(OsMsgWaitProcess("ghost", 300U), OS_MSG_ERR_TIMEOUT); }));
    std::thread waiter([] {
        EXPECT_TRUE(carrier_test::TakesBetween(milliseconds(0), milliseconds(15000), [] {
            EXPECT_EQ(OsMsgWaitProcess("tidy", 20000U), OS_MSG_OK);
        })) << "woken by the join, not by the time-out";
    });
    Peer &tidy = StartReady({"echo", "tidy"});
    waiter.join();
    EXPECT_EQ(OsMsgWaitProcess("tidy", 0U), OS_MSG_OK);
    EXPECT_EQ(Call("tidy", 5000U), OS_MSG_OK);
    const std::string tidyPid = std::to_string(tidy.Pid());
    ASSERT_TRUE(SawPresence("J tidy " + tidyPid));
    tidy.Stop(); // tears down: removes its socket
    ASSERT_TRUE(SawPresence("L tidy " + tidyPid));

    Peer &dies = StartReady({"echo", "dies"});
    const std::string diesPid = std::to_string(dies.Pid());
    ASSERT_TRUE(SawPresence("J dies " + diesPid));
    dies.Kill(); // leaves its socket behind: the kernel tells of its end
    ASSERT_TRUE(SawPresence("L dies " + diesPid));
    EXPECT_EQ(unlink(SockPath("dies").c_str()), 0) << "its socket stayed";

    Peer &last = StartReady({"echo", "last"}); // what came twice would come before it
    ASSERT_TRUE(SawPresence("J last " + std::to_string(last.Pid())));
    EXPECT_EQ(Presences(inbox_.Items()),
              (std::vector<std::string>{"J tidy " + tidyPid, "L tidy " + tidyPid, "J dies " + diesPid,
                                        "L dies " + diesPid, "J last " + std::to_string(last.Pid())}));
    std::thread never([] { EXPECT_EQ(OsMsgWaitProcess("never", 20000U), OS_MSG_ERR_NOT_INIT); });
    Leave();
    never.join();
}

// Subscriptions kept for publishers that come and go.

// A subscription made before the publisher runs takes effect when it joins,
// and again after it restarts; one taken back meanwhile is forgotten too (it
// would come first).
TEST_F(Presence, ASubscriptionBeforeThePublisherRunsAndAfterItRestartsTakesEffect) {
    JoinWatching();
    MsgSubEntry entries[2] = {Entry(carrier_proto::kEvent, "pub", "pub"), Entry(carrier_proto::kProbe, "pub", "pub")};
    {
        LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
        ASSERT_EQ(OsMsgSubscribeEvent(entries, 2U), OS_MSG_OK) << "accepted before the publisher runs";
        EXPECT_EQ(log.Count("", OS_MSG_LOG_ERROR), 0U) << log.Dump();
    }
    ASSERT_EQ(OsMsgUnsubscribeEvent(&entries[1], 1U), OS_MSG_OK);
    for (int life = 0; life < 2; ++life) {
        Peer &pub = StartReady({"pub", "pub"});
        AfterJoinOf("pub");
        pub.Send("fire " + std::to_string(carrier_proto::kProbe));
        pub.Send("fire " + std::to_string(carrier_proto::kEvent));
        EXPECT_EQ(pub.Expect("fired"), "fired 0");
        ASSERT_TRUE(inbox_.WaitCount(carrier_proto::kEvent, (size_t)life + 1U)) << "life " << life;
        EXPECT_EQ(inbox_.Count(carrier_proto::kProbe), 0U) << "life " << life;
        const std::string pid = std::to_string(pub.Pid());
        pub.Stop();
        ASSERT_TRUE(SawPresence("L pub " + pid));
    }
}

TEST_F(Presence, SubscriptionsKeptForOtherProcessesAreBounded) {
    ASSERT_EQ(Join("self"), OS_MSG_OK);
    std::vector<MsgSubEntry> entries;
    for (uint32_t i = 0U; i < OS_MSG_SUB_KEPT_MAX; ++i) {
        entries.push_back(Entry(1000U + i, "absent", "pub"));
    }
    ASSERT_EQ(OsMsgSubscribeEvent(entries.data(), (uint32_t)entries.size()), OS_MSG_OK);
    MsgSubEntry more = Entry(999U, "absent", "pub");
    {
        LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
        EXPECT_EQ(OsMsgSubscribeEvent(&more, 1U), OS_MSG_ERR_NO_IDLE_BLOCK);
        EXPECT_EQ(log.Count("subscription refused"), 1U) << log.Dump();
    }
    EXPECT_EQ(OsMsgSubscribeEvent(&entries[0], 1U), OS_MSG_OK) << "one kept already takes no room";
    ASSERT_EQ(OsMsgUnsubscribeEvent(&entries[0], 1U), OS_MSG_OK);
    EXPECT_EQ(OsMsgSubscribeEvent(&more, 1U), OS_MSG_OK) << "room again";
}

} // namespace

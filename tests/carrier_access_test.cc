/*
 * Access between processes under the carrier: run directories and files
 * another user controls are refused, a process delivers only what is
 * addressed to it, the access policy refuses senders it does not allow
 * (dropped and counted, calls ended at once), and members of a shared run
 * directory of different users talk while others cannot connect.
 *
 * Other users are real: the tests run as root (as CI does) and switch uid
 * and gid in forked children and in carrier_peer ("as UID GID GROUPS");
 * without root they say so and skip. Every wait is bounded; the fixture
 * checks that descriptors, threads and tracked blocks come back.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "carrier/carrier_fixture.h"
#include "carrier/carrier_raw.h"
#include "service/msg_local_service.h"

namespace {

using namespace carrier_proto;
using carrier_test::AsUser;
using carrier_test::CarrierFixture;
using carrier_test::Code;
using carrier_test::Peer;

// Users and a group that exist only as numbers.
constexpr uid_t kAlice = 61234U;
constexpr uid_t kBob = 61235U;
constexpr uid_t kMallory = 61236U;
constexpr gid_t kGroup = 61240U;

#define SKIP_UNLESS_ROOT()                                                                                             \
    if (geteuid() != 0) {                                                                                              \
        GTEST_SKIP() << "needs root: the other users are made by switching uid and gid in children";                   \
    }

/* What peer reports for its command "send WHAT" ("sent CODE"), or for
 * "call WHAT" ("call CODE UID PID MS"). */
std::string Sent(Peer &peer, const std::string &what) {
    return peer.Ask("send " + what, "sent");
}
std::string Called(Peer &peer, const std::string &what) {
    return peer.Ask("call " + what, "call ");
}

bool Begins(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

/* Makes the file path with mode (less the umask); true when it did. */
bool Create(const std::string &path, mode_t mode) {
    int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
    return fd >= 0 && close(fd) == 0;
}

/* The peer arguments that run mode NAME as user uid in the group list. */
std::vector<std::string> As(uid_t uid, const std::string &groups, const std::string &mode, const std::string &name) {
    return {"as", std::to_string(uid), std::to_string(uid), groups, mode, name};
}

/* Makes dir the shared run directory of group kGroup: root's, setgid, 2770. */
bool Share(const std::string &dir) {
    return chown(dir.c_str(), 0, kGroup) == 0 && chmod(dir.c_str(), 02770) == 0;
}

class RunDirectory : public CarrierFixture {
protected:
    /* OsMsgInit under dir fails with OS_MSG_ERR_ACCESS and the one line
     * that names file (dir itself when empty) and why. */
    void ExpectRefused(const std::string &dir, const std::string &line) {
        setenv("VYRE_OS_MSG_RUNDIR", dir.c_str(), 1);
        LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
        EXPECT_EQ(OsMsgInit("victim"), OS_MSG_ERR_ACCESS) << dir;
        EXPECT_EQ(log.Count(line), 1U) << log.Dump();
        EXPECT_EQ(log.Count("refused"), 1U) << "one line: " << log.Dump();
        setenv("VYRE_OS_MSG_RUNDIR", runDir_.c_str(), 1);
    }
};

// Another user made the directory (mode 0777), or put a symbolic link to a
// folder of its own where the directory should be: neither is used.
TEST_F(RunDirectory, AnotherUsersOrLinkedDirectoryIsRefused) {
    SKIP_UNLESS_ROOT();
    const std::string hostile = runDir_ + "/hostile";
    const std::string home = runDir_ + "/alicehome";
    const std::string linked = runDir_ + "/linked";
    ASSERT_EQ(chmod(runDir_.c_str(), 0777), 0); // a parent anyone may write to, as /tmp
    ASSERT_TRUE(AsUser(kAlice, kAlice, [&] {
        return mkdir(hostile.c_str(), 0777) == 0 && chmod(hostile.c_str(), 0777) == 0 &&
               mkdir(home.c_str(), 0700) == 0 && symlink(home.c_str(), linked.c_str()) == 0;
    }));
    ExpectRefused(hostile, "run directory [" + hostile + "] refused: owned by uid " + std::to_string(kAlice) +
                               " and writable by others (mode 0777).");
    ExpectRefused(linked, "run directory [" + linked + "] refused: a symbolic link.");
    struct stat st;
    EXPECT_EQ(lstat((home + "/queue_dir").c_str(), &st), -1) << "nothing was made in the user's folder";
    EXPECT_EQ(unlink(linked.c_str()) | rmdir(home.c_str()) | rmdir(hostile.c_str()), 0);
    ASSERT_EQ(chmod(runDir_.c_str(), 0700), 0);
}

// The own directory left writable by others, and a directory segment that
// is a link or writable by others, are refused; the directory the library
// makes itself is private whatever the umask.
TEST_F(RunDirectory, WorldWritableDirectoryOrSegmentIsRefused) {
    const std::string open = runDir_ + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0700) | chmod(open.c_str(), 0777), 0);
    ExpectRefused(open, "run directory [" + open + "] refused: writable by others (mode 0777).");
    ASSERT_EQ(rmdir(open.c_str()), 0);

    const std::string segment = runDir_ + "/queue_dir";
    const std::string elsewhere = runDir_ + "/elsewhere";
    ASSERT_TRUE(Create(elsewhere, 0600));
    ASSERT_EQ(symlink(elsewhere.c_str(), segment.c_str()), 0);
    ExpectRefused(runDir_, "directory segment [" + segment + "] refused: a symbolic link.");
    ASSERT_EQ(unlink(segment.c_str()) | unlink(elsewhere.c_str()), 0);
    ASSERT_TRUE(Create(segment, 0666));
    ASSERT_EQ(chmod(segment.c_str(), 0666), 0);
    ExpectRefused(runDir_, "directory segment [" + segment + "] refused: writable by others (mode 0666).");
    ASSERT_EQ(unlink(segment.c_str()), 0);

    const std::string made = runDir_ + "/made";
    setenv("VYRE_OS_MSG_RUNDIR", made.c_str(), 1);
    mode_t old = umask(0);
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    umask(old);
    for (const std::string &file : {made, made + "/queue_dir", made + "/ctest.sock"}) {
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 07777U, file == made ? 0700U : 0600U) << file;
    }
    Leave();
    setenv("VYRE_OS_MSG_RUNDIR", runDir_.c_str(), 1);
    EXPECT_EQ(unlink((made + "/queue_dir").c_str()) | rmdir(made.c_str()), 0);
}

/* With a policy file of the test's own (Write), removed again at the end. */
class CarrierAccess : public CarrierFixture {
protected:
    std::string Write(const std::string &text, mode_t mode) {
        const std::string path = runDir_ + ".policy";
        FILE *f = fopen(path.c_str(), "w");
        EXPECT_NE(f, nullptr);
        (void)fputs(text.c_str(), f);
        (void)fclose(f);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        setenv("VYRE_OS_MSG_POLICY", path.c_str(), 1);
        return path;
    }
    void TearDown() override {
        unsetenv("VYRE_OS_MSG_POLICY");
        (void)unlink((runDir_ + ".policy").c_str());
        CarrierFixture::TearDown();
    }
};

// victim.sock is made to lead to process "other" (a hard link: the sender
// sees a socket): "other" delivers nothing addressed to "victim", logs it
// once, and ends a call to "victim" at once; a symbolic link in its place
// is not even connected to.
TEST_F(CarrierAccess, MessageForAnotherProcessIsNotDelivered) {
    ASSERT_EQ(Join("other"), OS_MSG_OK);
    const std::string victim = SockPath("victim");
    ASSERT_EQ(link(SockPath("other").c_str(), victim.c_str()), 0);
    Peer &sender = StartReady({"member", "sender"});
    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
    EXPECT_EQ(Sent(sender, "victim main 9"), "sent 0");
    const std::string call = Called(sender, "victim main");
    EXPECT_TRUE(Begins(call, "call " + Code(OS_MSG_ERR_NOT_FOUND) + " ")) << call;
    EXPECT_EQ(Sent(sender, "other main 10"), "sent 0");
    ASSERT_TRUE(inbox_.WaitCount(10U, 1U));
    EXPECT_EQ(inbox_.Ids(), std::vector<uint32_t>{10U}) << "the earlier message to victim was not delivered";
    EXPECT_EQ(log.Count("for [victim] on cpu 0 from pid " + std::to_string(sender.Pid()) +
                        " dropped: this process is [other] on cpu 0"),
              1U)
        << log.Dump();

    // A sender that connects now finds a link in victim's place.
    ASSERT_EQ(unlink(victim.c_str()) | symlink(SockPath("other").c_str(), victim.c_str()), 0);
    Peer &late = StartReady({"member", "late"});
    EXPECT_EQ(Sent(late, "victim main 11"), "sent " + Code(OS_MSG_ERR_ACCESS));
    ASSERT_EQ(unlink(victim.c_str()), 0);
    peers_.clear();
    EXPECT_EQ(inbox_.Ids(), std::vector<uint32_t>{10U});
}

std::atomic<uint64_t> g_hookIds{0U};

/* Task "guard": asks the package-permission hook about each caller. */
uint32_t Guard(MsgHead *msg) {
    int32_t verdict = MsgCheckSenderPermission(msg);
    (void)OsMsgSynSendResp(msg, &verdict, sizeof(verdict));
    return 0U;
}

OsMsgAccessRule Rule(uint32_t kind, uint32_t id, const char *task, uint32_t first, uint32_t last) {
    OsMsgAccessRule rule{};
    rule.kind = kind;
    rule.id = id;
    (void)snprintf(rule.taskName, sizeof(rule.taskName), "%s", task);
    rule.firstMsgId = first;
    rule.lastMsgId = last;
    return rule;
}

uint32_t Refused(const char *task) {
    OsMsgTaskStats stats{};
    return OsMsgGetTaskStats(task, &stats) == OS_MSG_OK ? stats.refusedAccess : 0U;
}

// A user the policy does not allow: its messages are dropped, logged once
// and counted, its calls (the control task's included) end at once with
// OS_MSG_ERR_ACCESS; rules added while it runs let in the task and ids
// they name, no more, and the permission hook sees the kernel's ids.
TEST_F(CarrierAccess, SenderThePolicyDoesNotAllowIsRefusedAndCounted) {
    SKIP_UNLESS_ROOT();
    ASSERT_TRUE(Share(runDir_)); // alice may reach this process's socket
    ASSERT_EQ(Join("ctest", true), OS_MSG_OK);
    AddTask("guard", 64U, Guard);
    MsgSetChckPackagePermissionHandle([](uintptr_t uid, uintptr_t pid) {
        g_hookIds.store(((uint64_t)uid << 32U) | (uint32_t)pid);
        return 1;
    });
    Peer &alice = StartReady(As(kAlice, std::to_string(kGroup), "member", "alice"));
    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Sent(alice, "ctest main 5"), "sent 0");
    }
    EXPECT_TRUE(WaitUntil([] { return Refused("main") == 3U; })) << Refused("main");
    EXPECT_EQ(log.Count("for task [main] from pid " + std::to_string(alice.Pid()) + " (uid " + std::to_string(kAlice) +
                        ", gid " + std::to_string(kAlice) + ") refused by the access policy"),
              1U)
        << log.Dump();
    for (const char *task : {"echo", MSG_TASK_NAME_PMSG_CTL}) {
        unsigned code = 0U;
        unsigned long ms = 0U;
        ASSERT_EQ(sscanf(Called(alice, std::string("ctest ") + task).c_str(), "call %u %*u %*u %lu", &code, &ms), 2);
        EXPECT_EQ(code, OS_MSG_ERR_ACCESS) << task;
        EXPECT_LT(ms, 10000U) << "ended by the refusal, not by its 20 s time-out";
    }

    OsMsgAccessRule mainOnly = Rule(OS_MSG_ACCESS_UID, kAlice, "main", 5U, 5U);
    ASSERT_EQ(OsMsgAllow(&mainOnly), OS_MSG_OK);
    alice.Send("send ctest main 6"); // an id the rule does not name
    alice.Send("send ctest main 5");
    ASSERT_TRUE(inbox_.WaitCount(5U, 1U));
    EXPECT_EQ(inbox_.Items()[0].head.sendUid, kAlice);
    EXPECT_EQ(Refused("main"), 4U);
    EXPECT_TRUE(Begins(Called(alice, "ctest echo"), "call " + Code(OS_MSG_ERR_ACCESS) + " "));

    OsMsgAccessRule guard = Rule(OS_MSG_ACCESS_UID, kAlice, "guard", 0U, 0xFFFFFFFFU);
    ASSERT_EQ(OsMsgAllow(&guard), OS_MSG_OK);
    EXPECT_TRUE(Begins(Called(alice, "ctest guard"), "call 0 "));
    EXPECT_EQ(g_hookIds.load(), ((uint64_t)kAlice << 32U) | (uint32_t)alice.Pid());
    peers_.clear();
    MsgSetChckPackagePermissionHandle(nullptr);
    EXPECT_EQ(OsMsgSetAccessPolicy(nullptr, 0U), OS_MSG_OK);
    EXPECT_EQ(inbox_.Ids(), std::vector<uint32_t>{5U});
}

// A root-owned shared directory (setgid, mode 2770) and a policy file that
// lets its group in: two members of different users exchange messages,
// calls and events, their files are the group's and no one else's, and a
// user outside the group can neither join nor connect.
TEST_F(CarrierAccess, MembersOfASharedDirectoryTalkAndOthersCannotConnect) {
    SKIP_UNLESS_ROOT();
    ASSERT_TRUE(Share(runDir_));
    const std::string group = std::to_string(kGroup);
    Write("# the members of the group\nallow gid " + group + "\n", 0644);
    Peer &alice = StartReady(As(kAlice, group, "member", "alice"));
    Peer &bob = StartReady(As(kBob, group, "member", "bob"));

    ASSERT_EQ(bob.Ask("subscribe alice", "subscribed"), "subscribed 0");
    ASSERT_EQ(carrier_test::FireUntilSeen(bob, "event " + std::to_string(kProbe),
                                          [&] { alice.Send("fire " + std::to_string(kProbe)); }),
              "event 101 4");
    alice.Send("fire " + std::to_string(kEvent));
    EXPECT_EQ(bob.Expect("event " + std::to_string(kEvent)), "event 100 4");
    alice.Send("send bob sub 7");
    EXPECT_EQ(bob.Expect("event 7"), "event 7 0");
    // The callee saw the caller's ids as the kernel gave them.
    EXPECT_TRUE(Begins(Called(alice, "bob echo"),
                       "call 0 " + std::to_string(kAlice) + " " + std::to_string(alice.Pid()) + " "));
    EXPECT_TRUE(
        Begins(Called(bob, "alice echo"), "call 0 " + std::to_string(kBob) + " " + std::to_string(bob.Pid()) + " "));

    for (const std::string &file : {SockPath("alice"), SockPath("bob"), runDir_ + "/queue_dir"}) {
        struct stat st;
        ASSERT_EQ(lstat(file.c_str(), &st), 0) << file;
        EXPECT_EQ(std::make_pair(st.st_mode & 07777U, st.st_gid), std::make_pair(0660U, kGroup)) << file;
    }
    const std::string aliceSock = SockPath("alice");
    EXPECT_FALSE(AsUser(kMallory, kMallory, [&] { return carrier_raw::Connect(aliceSock) >= 0; }));
    Peer &mallory = Start(As(kMallory, "-", "member", "mallory"));
    EXPECT_EQ(mallory.Expect("init "), "init " + Code(OS_MSG_ERR_ACCESS));
}

// A policy file in every form the format allows starts the process; a
// malformed, unreadable or world-writable one fails start-up with its code
// and one line naming it (and the line).
using AccessPolicy = CarrierAccess;

TEST_F(AccessPolicy, PolicyFileIsCheckedBeforeStartUp) {
    Write("# rules\n\nallow uid 0 task * ids 0x10-0x20\n  allow any task pmsgBro ids 2097164 # subscriptions\n"
          "allow gid root ids *\r\nallow uid root\n",
          0644);
    ASSERT_EQ(Join("ctest"), OS_MSG_OK);
    Leave();
    struct Case {
        std::string text;
        mode_t mode;
        uint32_t code;
        std::string line; // after "access policy [FILE]"
    } cases[] = {
        {"allow uid 0\n# fine\nallow gid\n", 0644, OS_MSG_ERR_INVALID_PARAM, " line 3: 'gid' without a group."},
        {"allow uid 0 task averylongtaskname\n", 0644, OS_MSG_ERR_INVALID_PARAM,
         " line 1: task name longer than 15 characters."},
        {"allow uid 0 ids 9-3\n", 0644, OS_MSG_ERR_INVALID_PARAM, " line 1: bad message ids"},
        {"deny uid 0\n", 0644, OS_MSG_ERR_INVALID_PARAM, " line 1: a rule begins with 'allow'."},
        {"allow uid 0\n", 0666, OS_MSG_ERR_ACCESS, " refused: writable by others than its owner (mode 0666)."},
    };
    for (const Case &c : cases) {
        const std::string path = Write(c.text, c.mode);
        LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
        EXPECT_EQ(OsMsgInit("ctest"), c.code) << c.text;
        EXPECT_EQ(log.Count("access policy [" + path + "]" + c.line), 1U) << log.Dump();
    }
    setenv("VYRE_OS_MSG_POLICY", (runDir_ + ".none").c_str(), 1);
    LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
    EXPECT_EQ(OsMsgInit("ctest"), OS_MSG_ERR_SYSTEM);
    EXPECT_EQ(log.Count("access policy [" + runDir_ + ".none] cannot be read, error[2]."), 1U) << log.Dump();
}

} // namespace

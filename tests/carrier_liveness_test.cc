/*
 * A process's identity and lifetime under the Unix-socket carrier, between
 * real processes: leaving by any way ends the process and clears its traces,
 * a forked child never disturbs its parent, a name is taken over only from a
 * process whose socket no longer answers (whatever pid its entry lists, a
 * deleted directory file, a half-written entry), and the directory lock's
 * wait is bounded.
 * Every wait is bounded; each test checks that this process keeps no
 * descriptor, thread or tracked block it did not have before.
 */
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "carrier/carrier_fixture.h"
#include "support/instrumented.h"
#include "transport/unix/ipc_shm_segment.h"

namespace {

using namespace carrier_proto;
using carrier_test::Code;
using carrier_test::Peer;

constexpr char kSelf[] = "ltest";
// The directory lock's bound (MSG_TUNE_DIR_LOCK_WAIT_MS) and a generous
// limit above it for a loaded machine under a sanitizer.
constexpr auto kLockBound = std::chrono::milliseconds(1000);
constexpr auto kLockLimit = std::chrono::milliseconds(10000);

/* The common carrier fixture, joined as kSelf by default; killed peers
 * leave their sockets and entries behind, which the tear-down removes. */
class Life : public carrier_test::CarrierFixture {
protected:
    void SetUp() override {
        CarrierFixture::SetUp();
        strayFiles_ = true;
    }

    uint32_t Join(const char *name = kSelf) { return CarrierFixture::Join(name); }

    std::string Path(const std::string &file) const { return runDir_ + "/" + file; }

    bool Exists(const std::string &file) const {
        struct stat st;
        return lstat(Path(file).c_str(), &st) == 0;
    }

    /* Runs act, which meets the directory lock held: it waits out the
     * lock's bound, no longer, logs line once and leaves no socket here. */
    template <class Act> void ExpectLockBound(Act act, const std::string &line) {
        LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
        EXPECT_TRUE(carrier_test::TakesBetween(kLockBound, kLockLimit, act));
        EXPECT_EQ(log.Count(line), 1U) << log.Dump();
        EXPECT_FALSE(Exists(std::string(kSelf) + ".sock"));
    }

    /* The process id the directory lists under name (attaching it for the
     * look-up when this process has not joined), IPC_MSG_INVALID_QID for
     * none. */
    uint32_t Listed(const char *name) {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        bool attach = name_.empty();
        const IpcRunDirMode mode = {false, 0U};
        if (attach && IpcShmSegmentAttach(runDir_.c_str(), &mode) != OS_MSG_OK) {
            return IPC_MSG_INVALID_QID;
        }
        uint32_t qid = IPCMsgGetQidByName(name);
        if (attach) {
            IpcShmSegmentDetach();
        }
        return qid;
    }
};

// Leaving: each way, with each carrier.
class LeavingWithoutTeardown : public Life,
                               public ::testing::WithParamInterface<std::tuple<const char *, const char *>> {};

TEST_P(LeavingWithoutTeardown, EndsTheProcessPromptlyAndRemovesItsSocketAndEntry) {
    const std::string carrier = std::get<0>(GetParam());
    const std::string way = std::get<1>(GetParam());
    setenv("VYRE_OS_MSG_CARRIER", carrier.c_str(), 1);
    if (way == "destroyed") {
        // OsMsgDestroy ends the receive thread, which stays joinable until an
        // OsMsgUninit that never comes: a thread sanitizer counts it leaked.
        const char *options = getenv("TSAN_OPTIONS");
        setenv("TSAN_OPTIONS", (std::string(options != nullptr ? options : "") + ":report_thread_leaks=0").c_str(), 1);
    }
    Peer &peer = StartEcho("leaver");
    ASSERT_EQ(Exists("leaver.sock"), carrier == "unix");
    peer.Send("exit " + way);
    int status = -1;
    EXPECT_TRUE(carrier_test::TakesBetween(std::chrono::milliseconds(0), std::chrono::seconds(10),
                                           [&] { status = peer.WaitExit(carrier_test::kWaitMs); }));
    ASSERT_NE(status, -1) << "still running " << carrier_test::kWaitMs << " ms after it left";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(Exists("leaver.sock"));
    EXPECT_EQ(Listed("leaver"), IPC_MSG_INVALID_QID);
}

INSTANTIATE_TEST_SUITE_P(EachWayAndCarrier, LeavingWithoutTeardown,
                         ::testing::Combine(::testing::Values("loopback", "unix"),
                                            ::testing::Values("return", "callback", "destroyed")),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
                         });

// Fork without exec, and exec.
TEST_F(Life, ForkedChildIsRefusedItsExitKeepsTheParentsNameAndExecInheritsNothing) {
    // Under AddressSanitizer a child forked while another thread of its
    // parent was inside the sanitizer's allocator inherits that allocator's
    // lock held, and the leak check at the child's normal exit then waits for
    // good: this compiler's sanitizer takes no locks around fork. A peer that
    // forks so runs without the leak check (the test process keeps its own).
    const char *asan = getenv("ASAN_OPTIONS");
    const std::string kept = asan != nullptr ? asan : "";
    if (kAddressSanitizer) {
        ASSERT_EQ(setenv("ASAN_OPTIONS", (kept + (kept.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1), 0);
    }
    Peer &forker = StartEcho("forker");
    if (kAddressSanitizer) {
        (void)(asan != nullptr ? setenv("ASAN_OPTIONS", kept.c_str(), 1) : unsetenv("ASAN_OPTIONS"));
    }
    forker.Send("fork exit");
    // Init, task registration, send, destroy, a wait for a process (the
    // presence thread is the parent's), uninit, main: each refused with one
    // line.
    std::string all;
    for (int i = 0; i < 7; ++i) {
        all += " " + Code(OS_MSG_ERR_FAIL);
    }
    EXPECT_EQ(forker.Expect("child"), "child" + all + " lines 7");
    EXPECT_EQ(forker.Expect("forked"), "forked 0"); // it exited normally, running its exit handlers
    EXPECT_TRUE(Exists("forker.sock"));
    ASSERT_EQ(Join(), OS_MSG_OK);
    EXPECT_EQ(Listed("forker"), (uint32_t)forker.Pid());
    EXPECT_TRUE(PingAnswered("forker"));

    // A program executed by a process with open connections inherits none
    // of the library's descriptors.
    Peer &exec = Start({"fds"});
    EXPECT_EQ(exec.Expect("fds"), "fds 0");
}

TEST_F(Life, ChildForkedInACallbackLeavesItsLoopAndOneOutlivingItsParentLeavesTheNameFree) {
    Peer &forker = StartEcho("forker");
    forker.Send("fork callback");
    EXPECT_EQ(forker.Expect("loop"), "loop " + Code(OS_MSG_ERR_FAIL)); // not the parent's queue served twice
    EXPECT_EQ(forker.Expect("forked"), "forked 0");

    forker.Send("fork stay");
    std::string line = forker.Expect("child");
    ASSERT_EQ(line.compare(0, 6, "child "), 0) << line;
    pid_t child = (pid_t)std::stol(line.substr(6));
    forker.Kill();
    EXPECT_EQ(kill(child, 0), 0); // the child lives on, with its copies of the parent's memory
    EXPECT_EQ(Join("forker"), OS_MSG_OK);
    (void)kill(child, SIGKILL);
}

// Taking over only the dead. Entries that list a process id that exists
// (this process's), as entries of dead processes whose ids were given away
// do, but whose sockets no longer answer: a newcomer takes such a name over,
// and a full directory frees them all, and only them.
TEST_F(Life, NamesAndEntriesWhoseSocketsNoLongerAnswerAreTakenOver) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    Peer &live = StartEcho("live");
    StartEcho("reused").Kill(); // its socket file and entry stay behind
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    ASSERT_NE(head, nullptr);
    bool listed = false;
    for (IpcMsgQidEntry &entry : head->entries) {
        if (entry.inUse != 0U && std::string(entry.name) == "reused") {
            entry.qid = (uint32_t)getpid();
            listed = true;
        }
    }
    ASSERT_TRUE(listed);
    Peer &owner = StartEcho("reused");
    EXPECT_EQ(Listed("reused"), (uint32_t)owner.Pid());
    EXPECT_TRUE(PingAnswered("reused")); // the name's new owner answers
    for (uint32_t i = 0U; i < IPC_MSG_QID_ENTRY_NUM; ++i) {
        IpcMsgQidEntry &entry = head->entries[i];
        if (entry.inUse == 0U) {
            (void)snprintf(entry.name, sizeof(entry.name), "gone%u", i);
            entry.qid = (uint32_t)getpid();
            entry.inUse = 1U;
        }
    }
    StartEcho("newcomer");
    EXPECT_EQ(Listed("live"), (uint32_t)live.Pid());
    EXPECT_EQ(Listed(kSelf), (uint32_t)getpid());
    EXPECT_EQ(Listed("gone100"), IPC_MSG_INVALID_QID);
}

TEST_F(Life, HalfWrittenEntryIsNeitherReadNorBlocksItsName) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    IpcMsgShmHead *head = IPCMsgGetShmHead();
    ASSERT_NE(head, nullptr);
    auto noHalfEntry = [] {
        for (const IpcMsgQidEntry &entry : IPCMsgGetShmHead()->entries) {
            if (entry.inUse != 1U && entry.name[0] != '\0') {
                return false;
            }
        }
        return true;
    };
    // As a writer stopped before its commit word leaves it: a name and a
    // live process's id, the in-use word still 0.
    IpcMsgQidEntry *entry = &head->entries[IPC_MSG_QID_ENTRY_NUM - 1U];
    ASSERT_EQ(entry->inUse, 0U);
    (void)snprintf(entry->name, sizeof(entry->name), "halfa");
    entry->qid = (uint32_t)getpid();
    EXPECT_EQ(Listed("halfa"), IPC_MSG_INVALID_QID);
    Peer &halfa = StartEcho("halfa");
    EXPECT_EQ(Listed("halfa"), (uint32_t)halfa.Pid());
    EXPECT_TRUE(noHalfEntry()); // the claim cleared it
    EXPECT_TRUE(PingAnswered("halfa"));
    if (carrier_test::kPeerEmulated) {
        return; // no robust locks under the emulator: nothing marks a dead holder's
    }
    // A writer killed holding the directory lock mid-way through an entry:
    // the next process to join recovers the lock (saying so once), its claim
    // clears the half entry, and others join after it.
    Leave();
    StartReady({"hold-lock", "halfb"}).Kill();
    {
        LogCapture log(OS_LOG_ERROR, OS_MSG_LOG_WARN);
        ASSERT_EQ(Join("halfb"), OS_MSG_OK);
        EXPECT_EQ(log.Count("directory lock owner died"), 1U) << log.Dump();
    }
    EXPECT_EQ(Listed("halfb"), (uint32_t)getpid());
    EXPECT_TRUE(noHalfEntry());
    StartEcho("halfc");
    EXPECT_TRUE(PingAnswered("halfc"));
}

// The directory lock's bound and the way back.
TEST_F(Life, StoppedLockHolderDelaysTeardownAndStartUpOnlyByTheBound) {
    ASSERT_EQ(Join(), OS_MSG_OK);
    Peer &holder = StartReady({"hold-lock"});
    ASSERT_TRUE(holder.Freeze());
    const std::string line =
        "directory [" + Path("queue_dir") + "] locked by pid " + std::to_string(holder.Pid()) + " for over 1000 ms";
    ExpectLockBound([&] { Leave(); }, line); // its entry stays; the rest is torn down (counted at the end)
    ExpectLockBound([] { EXPECT_EQ(OsMsgInit(kSelf), OS_MSG_ERR_SYSTEM); }, line);
    holder.Kill();
}

TEST_F(Life, CorruptLockWordFailsStartUpAndRemovingTheFileRestoresService) {
    Peer &bystander = StartEcho("bystander");
    const IpcRunDirMode mode = {false, 0U};
    ASSERT_EQ(IpcShmSegmentAttach(runDir_.c_str(), &mode), OS_MSG_OK);
    // The lock word names a live process that holds nothing.
    IPCMsgGetShmHead()->lock.mutex.__data.__lock = bystander.Pid();
    IpcShmSegmentDetach();
    ExpectLockBound([] { EXPECT_EQ(OsMsgInit(kSelf), OS_MSG_ERR_SYSTEM); },
                    "directory [" + Path("queue_dir") + "] locked by pid " + std::to_string(bystander.Pid()) +
                        " for over 1000 ms; remove the file to rebuild it.");
    // Removed (as a temp-folder cleaner would, too), the file is made anew,
    // and the live process keeps its name: its socket still answers.
    ASSERT_EQ(unlink(Path("queue_dir").c_str()), 0);
    {
        LogCapture log(OS_LOG_FATAL, OS_MSG_LOG_ERROR);
        EXPECT_EQ(OsMsgInit("bystander"), OS_MSG_ERR_REPEATED);
        EXPECT_EQ(log.Count("process name [bystander] in use by pid " + std::to_string(bystander.Pid()) + "."), 1U)
            << log.Dump();
    }
    EXPECT_TRUE(Exists("bystander.sock"));
    ASSERT_EQ(Join(), OS_MSG_OK);
    EXPECT_TRUE(PingAnswered("bystander"));
}

} // namespace

/*
 * The fixture of the multi-process carrier tests: a run directory of its
 * own with the carrier selected, this process joined under a name with task
 * "main" (what it gets goes to the test's inbox) and, on request, task
 * "echo" (answers as the peer's does), and a tear-down that checks the
 * carrier left no descriptor, thread or tracked block behind. It brings the
 * log capture and log levels every carrier test uses.
 */
#ifndef VYRE_CARRIER_FIXTURE_H
#define VYRE_CARRIER_FIXTURE_H

#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "carrier/carrier_proto.h"
#include "carrier/carrier_test_util.h"
#include "simple_msg_test_util.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "support/process_counts.h"
#include "support/threads.h"
#include "transport/ipc_msg.h"
#include "vyre_os_log.h"

namespace carrier_test {

using namespace carrier_proto;

inline void *RunTaskLoop(void *name) {
    (void)OsMsgTaskRoutineByName(static_cast<const char *>(name));
    return nullptr;
}

/* Task "echo" of the test process: answers calls with what it saw. */
inline uint32_t EchoHere(MsgHead *msg) {
    if (msg->msgId == kCall) {
        Answer answer{msg->sendPid, msg->sendUid, msg->dataLen, 1U};
        (void)OsMsgSynSendResp(msg, &answer, sizeof(answer));
    }
    return 0U;
}

class CarrierFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vyre_carrier_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        runDir_ = dir;
        setenv("VYRE_OS_MSG_CARRIER", "unix", 1);
        setenv("VYRE_OS_MSG_RUNDIR", runDir_.c_str(), 1);
        simple_msg_test::g_inbox = &inbox_;
        counts_.Take();
    }

    void TearDown() override {
        Leave();
        peers_.clear();
        counts_.Check(keptThreads_);
        (void)unlink((runDir_ + "/queue_dir").c_str());
        if (rmdir(runDir_.c_str()) != 0) {
            EXPECT_TRUE(strayFiles_) << "something besides the directory segment was left in " << runDir_;
            RemoveDir(runDir_);
        }
        simple_msg_test::g_inbox = nullptr;
    }

    /* Joins as name with task "main" feeding the inbox and, with echo set,
     * task "echo" answering calls. */
    uint32_t Join(const char *name, bool echo = false) {
        uint32_t ret = OsMsgInit(name);
        if (ret != OS_MSG_OK) {
            return ret;
        }
        name_ = name;
        AddTask("main", 1024U, simple_msg_test::Record);
        if (echo) {
            AddTask("echo", 1024U, EchoHere);
        }
        return ret;
    }

    /* Registers task name with its loop on a thread of its own. */
    void AddTask(const char *name, uint32_t queueLen, OsMsgTaskFunc callback) {
        EXPECT_EQ(OsMsgRegTask(name, queueLen, callback), OS_MSG_OK);
        loops_.emplace_back();
        EXPECT_EQ(pthread_create(&loops_.back(), nullptr, RunTaskLoop, const_cast<char *>(name)), 0);
    }

    void Leave() {
        if (name_.empty()) {
            return;
        }
        EXPECT_EQ(OsMsgDestroy(name_.c_str()), OS_MSG_OK);
        EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
        for (pthread_t loop : loops_) {
            (void)pthread_join(loop, nullptr);
        }
        loops_.clear();
        name_.clear();
    }

    Peer &Start(std::vector<std::string> args) {
        peers_.push_back(std::make_unique<Peer>(std::move(args)));
        Peer &peer = *peers_.back();
        EXPECT_GT(peer.Pid(), 0);
        return peer;
    }

    /* A started peer that is ready. */
    Peer &StartReady(std::vector<std::string> args) {
        Peer &peer = Start(std::move(args));
        EXPECT_EQ(peer.Expect("ready"), "ready");
        return peer;
    }

    std::string SockPath(const std::string &proc) const { return runDir_ + "/" + proc + ".sock"; }

    /* A started echo peer named name that joined and is ready. */
    Peer &StartEcho(const std::string &name) {
        Peer &peer = Start({"echo", name});
        EXPECT_EQ(peer.Expect("init"), "init 0") << name;
        EXPECT_EQ(peer.Expect("ready"), "ready") << name;
        return peer;
    }

    /* An asynchronous message from task "main": its result. */
    uint32_t SendTo(const char *proc, const char *task, uint32_t msgId, const void *data = nullptr, uint32_t len = 0U) {
        MsgHead head = From(proc, task, msgId, data, len);
        return OsMsgAsynSend(&head);
    }

    /* Pings task "echo" of proc: true when its one answer came back. */
    bool PingAnswered(const char *proc) {
        const size_t before = inbox_.Items().size();
        return SendTo(proc, "echo", kPing) == OS_MSG_OK && inbox_.WaitFor(before + 1U) &&
               inbox_.Items().size() == before + 1U;
    }

    /* A header from task "main" of this process. */
    MsgHead From(const char *proc, const char *task, uint32_t msgId, const void *data = nullptr, uint32_t len = 0U) {
        MsgHead head;
        FillHead(&head, name_.c_str(), proc, task, msgId, data, len);
        (void)snprintf(head.sendTaskName, sizeof(head.sendTaskName), "main");
        return head;
    }

    /* A call to task "echo" of proc: its result, the answer copied. */
    uint32_t Call(const char *proc, uint32_t timeoutMs, Answer *answer = nullptr, const char *task = "echo") {
        MsgHead head = From(proc, task, kCall);
        MsgHead *resp = nullptr;
        uint32_t ret = OsMsgSynSend(&head, &resp, timeoutMs);
        if (ret == OS_MSG_OK) {
            if (answer != nullptr && resp->dataLen == sizeof(Answer)) {
                std::memcpy(answer, resp->data, sizeof(Answer));
            }
            EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
        }
        return ret;
    }

    std::string runDir_;
    std::string name_;
    simple_msg_test::Inbox inbox_;
    std::vector<std::unique_ptr<Peer>> peers_;
    bool strayFiles_ = false; /* peers killed in the test leave their sockets in runDir_ */
    size_t keptThreads_ = 0U; /* threads the library keeps for the life of the process */

private:
    ProcessCounts counts_;
    std::vector<pthread_t> loops_;
};

/* Entries of /proc/PID/WHAT: the descriptors process pid has open ("fd"),
 * or its threads ("task"). */
inline size_t EntriesOf(pid_t pid, const char *what = "fd") {
    size_t n = 0U;
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/" + what).c_str())) {
        while (struct dirent *entry = readdir(d)) {
            n += entry->d_name[0] != '.' ? 1U : 0U;
        }
        (void)closedir(d);
    }
    return n;
}

/* EntriesOf once the count has held still for three looks 20 ms apart (at
 * most about 2 s): the presence threads of processes that join probe each
 * other's sockets, connecting and closing at once, so a single look may
 * count a descriptor that is about to go. */
inline size_t SettledEntriesOf(pid_t pid, const char *what = "fd") {
    size_t n = EntriesOf(pid, what);
    for (int same = 0, looks = 0; same < 3 && looks < 100; ++looks) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const size_t now = EntriesOf(pid, what);
        same = now == n ? same + 1 : 0;
        n = now;
    }
    return n;
}

/* Processor time process pid has used (user and system), in clock ticks
 * (/proc/PID/stat). */
inline unsigned long long CpuTicksOf(pid_t pid) {
    unsigned long long user = 0U;
    unsigned long long sys = 0U;
    if (FILE *f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r")) {
        char line[1024] = {0};
        if (fgets(line, sizeof(line), f) != nullptr) {
            // Fields 14 and 15, counted after the command, which ends with ')'.
            const char *at = strrchr(line, ')');
            if (at != nullptr) {
                (void)sscanf(at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &sys);
            }
        }
        (void)fclose(f);
    }
    return user + sys;
}

} // namespace carrier_test

#endif /* VYRE_CARRIER_FIXTURE_H */

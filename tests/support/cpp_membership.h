/*
 * The fixture of the C++ interface's tests: a run directory of its own, the
 * loopback selected, and the process joined through msg::process;
 * descriptors, threads and tracked blocks counted before it joins and
 * checked after it has left. A test may leave (proc_.reset()) and join again
 * itself. Inbox collects what task callables receive, without globals.
 */
#ifndef VYRE_TEST_CPP_MEMBERSHIP_H
#define VYRE_TEST_CPP_MEMBERSHIP_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "simple_msg_test_util.h"
#include "support/process_counts.h"
#include "support/threads.h"
#include "vyre_os_msg.hpp"

namespace msg = vyre::msg;

/* Messages as a task callable saw them: id and payload, in arrival order. */
class Inbox {
public:
    void Add(const msg::message &m) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.emplace_back(m.id(), std::string(m.text()));
        cond_.notify_all();
    }
    /* True when n messages with id arrived within 20 s (or limit). */
    bool WaitCount(uint32_t id, size_t n, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, limit, [&] { return CountLocked(id) >= n; });
    }
    size_t Count(uint32_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return CountLocked(id);
    }
    std::vector<std::pair<uint32_t, std::string>> Items() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }

private:
    size_t CountLocked(uint32_t id) const {
        size_t n = 0U;
        for (const auto &item : items_) {
            n += item.first == id ? 1U : 0U;
        }
        return n;
    }
    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<std::pair<uint32_t, std::string>> items_;
};

/* A gate a callback waits at until the test opens it (20 s at most). */
using simple_msg_test::Gate;

class CppMembership : public ::testing::Test {
protected:
    explicit CppMembership(const char *own) : own_(own) {}

    void SetUp() override {
        char dir[] = "/tmp/vyre_cpp_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        runDir_ = dir;
        setenv("VYRE_OS_MSG_RUNDIR", runDir_.c_str(), 1);
        setenv("VYRE_OS_MSG_CARRIER", "loopback", 1);
        counts_.Take();
        Join();
    }

    void TearDown() override {
        proc_.reset();
        counts_.Check();
        (void)unlink((runDir_ + "/queue_dir").c_str());
        EXPECT_EQ(rmdir(runDir_.c_str()), 0) << "something was left in " << runDir_;
    }

    void Join() {
        msg::result<msg::name> own = msg::name::make(own_);
        ASSERT_TRUE(own);
        msg::result<msg::process> joined = msg::process::join(*own);
        ASSERT_TRUE(joined) << joined.error().message();
        proc_.emplace(std::move(*joined));
    }

    msg::process &Proc() { return *proc_; }

    std::optional<msg::process> proc_;

private:
    std::string own_;
    std::string runDir_;
    ProcessCounts counts_;
};

#endif // VYRE_TEST_CPP_MEMBERSHIP_H

/*
 * Descriptors, threads and tracked blocks counted by Take() before a test
 * joins and checked by Check() after it has left. The first start-up of a
 * process makes the server context and the slice collector, which stay (two
 * blocks); the loopback's server thread may stay in the transport's join
 * (keptThreads: the threads a test may leave running). Test thread only.
 */
#ifndef VYRE_TEST_PROCESS_COUNTS_H
#define VYRE_TEST_PROCESS_COUNTS_H

#include <gtest/gtest.h>

#include <thread>

#include "support/descriptors.h"
#include "support/mem_check.h"
#include "support/threads.h"
#include "transport/ipc_msg.h"

class ProcessCounts {
public:
    void Take() {
        std::thread([] {}).join(); // a sanitizer starts a thread of its own with the first one
        fds_ = OpenFds();
        threads_ = ThreadCount();
        blocks_ = UsedBlocks();
        firstServer_ = rebuildEntry == nullptr;
    }
    void Check(size_t keptThreads = 1U) const {
        EXPECT_EQ(OpenFds(), fds_) << "descriptors left open";
        EXPECT_TRUE(WaitUntil([this, keptThreads] { return ThreadCount() <= threads_ + keptThreads; })) << ThreadList();
        EXPECT_EQ(UsedBlocks(), blocks_ + (firstServer_ && rebuildEntry != nullptr ? 2U : 0U)) << "blocks left";
    }

private:
    size_t fds_ = 0U, threads_ = 0U;
    uint64_t blocks_ = 0U;
    bool firstServer_ = false;
};

#endif // VYRE_TEST_PROCESS_COUNTS_H

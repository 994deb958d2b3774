#include "support/mem_check.h"

#include <unistd.h>

#include "vyre_os_mem.h"

uint64_t UsedBlocks() {
    return OSMemGetUsedBlocks();
}

void DumpUsedBlocks() {
    OSMemDumpUsed(STDERR_FILENO);
}

void MemBalanceTest::SetUp() {
    OSMemSetFailCountdown(-1);
    startBlocks_ = OSMemGetUsedBlocks();
}

void MemBalanceTest::TearDown() {
    OSMemSetFailCountdown(-1);
    uint64_t now = OSMemGetUsedBlocks();
    if (now != startBlocks_) {
        DumpUsedBlocks();
    }
    EXPECT_EQ(now, startBlocks_) << "tracked blocks leaked by the test";
}

int SweepAllocFailures(const std::function<uint32_t()> &op,
                       const std::function<void(int n, bool failed, uint32_t result)> &check, int limit) {
    for (int n = 1; n <= limit; ++n) {
        OSMemSetFailCountdown(n);
        uint32_t result = op();
        bool failed = OSMemGetFailCountdown() == -1;
        OSMemSetFailCountdown(-1);
        check(n, failed, result);
        if (!failed) {
            return n - 1;
        }
        if (::testing::Test::HasFatalFailure()) {
            return -1;
        }
    }
    ADD_FAILURE() << "operation still allocating after " << limit << " allocations";
    return -1;
}

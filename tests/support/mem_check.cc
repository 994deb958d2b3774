#include "support/mem_check.h"

#include <unistd.h>

#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "vyre_os_mem.h"

namespace {

/* Tracked blocks of each record of a slow callback call: the record and its
 * list node. */
constexpr uint64_t kBlocksPerSlowRecord = 2U;

/* Records of slow callback calls the library keeps for the life of the
 * process, as it keeps its server context: a loaded machine (a sanitizer,
 * an emulator) can make any callback take the slow time, so they are not
 * the test's to count. */
uint64_t SlowRecords() {
    if (SimpleMsgCheckInit() == 0U) {
        return ZEM_ListSize(&timeOutList); // no loop runs: the list's lock is gone
    }
    (void)OsMutexLock(&timeOutListLock);
    uint64_t records = ZEM_ListSize(&timeOutList);
    (void)OsMutexUnLock(&timeOutListLock);
    return records;
}

} // namespace

uint64_t UsedBlocks() {
    return OSMemGetUsedBlocks() - kBlocksPerSlowRecord * SlowRecords();
}

void DumpUsedBlocks() {
    OSMemDumpUsed(STDERR_FILENO);
}

void MemBalanceTest::SetUp() {
    OSMemSetFailCountdown(-1);
    startBlocks_ = UsedBlocks();
}

void MemBalanceTest::TearDown() {
    OSMemSetFailCountdown(-1);
    uint64_t now = UsedBlocks();
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

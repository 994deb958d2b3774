/*
 * Memory balance checks for tests.
 *
 * MemBalanceTest: a fixture base that records the tracked block count when a
 * test starts and fails the test when the count differs at its end, printing
 * every outstanding block with its module and line.
 *
 * SweepAllocFailures: runs an operation with the n-th tracked allocation
 * failing, for n = 1, 2, ..., until the operation runs with no injected
 * failure; the check is called after each run with n and whether the
 * injected failure fired. The block count must be back where it started after
 * each failing run (the check undoes what a successful run built).
 */
#ifndef VYRE_TEST_MEM_CHECK_H
#define VYRE_TEST_MEM_CHECK_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

uint64_t UsedBlocks();
// Prints the outstanding tracked blocks to standard error.
void DumpUsedBlocks();

class MemBalanceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    uint64_t startBlocks_ = 0;
};

// op returns the operation's result; check(n, failed, result) asserts what a
// run with the n-th allocation failing must give (failed tells whether the
// injected failure fired). Returns the number of allocations the operation
// made when nothing failed.
int SweepAllocFailures(const std::function<uint32_t()> &op,
                       const std::function<void(int n, bool failed, uint32_t result)> &check, int limit = 10000);

#endif // VYRE_TEST_MEM_CHECK_H

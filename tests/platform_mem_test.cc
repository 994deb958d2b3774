// Tracked memory of the platform stand-in: counters that balance, one-shot
// failure injection counted over all threads, overflow refusal and a dump
// that names each outstanding block's origin.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "vyre_os_mem.h"

namespace {

void *Alloc(size_t size) {
    return OSMemTypeMallocMon(size, 0, 0, __LINE__, "platform_mem_test");
}

void Free(void *block) {
    OSMemTypeFreeMon(block, 0, 0, __LINE__, "platform_mem_test");
}

class TrackedMemory : public ::testing::Test {
protected:
    void SetUp() override {
        OSMemSetFailCountdown(-1);
        blocks_ = OSMemGetUsedBlocks();
        bytes_ = OSMemGetUsedBytes();
    }
    void TearDown() override {
        OSMemSetFailCountdown(-1);
        EXPECT_EQ(OSMemGetUsedBlocks(), blocks_);
        EXPECT_EQ(OSMemGetUsedBytes(), bytes_);
    }
    uint64_t blocks_ = 0;
    uint64_t bytes_ = 0;
};

TEST_F(TrackedMemory, CountersFollowAllocationsAndFrees) {
    void *a = Alloc(100);
    void *b = OSMemCallocMon(3, 7, 0, 0, __LINE__, "platform_mem_test");
    void *c = Alloc(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks_ + 3);
    EXPECT_EQ(OSMemGetUsedBytes(), bytes_ + 121);
    Free(b);
    EXPECT_EQ(OSMemGetUsedBlocks(), blocks_ + 2);
    EXPECT_EQ(OSMemGetUsedBytes(), bytes_ + 100);
    Free(a);
    Free(c);
    Free(nullptr);
}

TEST_F(TrackedMemory, BlocksAreDistinctAlignedAndUsable) {
    std::vector<void *> blocks;
    for (size_t size : {0, 0, 1, 15, 16, 17, 168, 4096}) {
        void *p = Alloc(size);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0U) << "size " << size;
        memset(p, 0xA5, size);
        for (void *other : blocks) {
            EXPECT_NE(p, other);
        }
        blocks.push_back(p);
    }
    for (void *p : blocks) {
        Free(p);
    }
}

TEST_F(TrackedMemory, CallocZeroFillsAndRefusesOverflowingProducts) {
    auto *p = static_cast<unsigned char *>(OSMemCallocMon(64, 4, 0, 0, __LINE__, "platform_mem_test"));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(p[i], 0) << "byte " << i;
    }
    Free(p);
    EXPECT_EQ(OSMemCallocMon(SIZE_MAX / 2 + 1, 2, 0, 0, __LINE__, "platform_mem_test"), nullptr);
    EXPECT_EQ(OSMemCallocMon(2, SIZE_MAX / 2 + 1, 0, 0, __LINE__, "platform_mem_test"), nullptr);
    EXPECT_EQ(Alloc(SIZE_MAX), nullptr) << "header arithmetic must not wrap";
}

TEST_F(TrackedMemory, CountdownFailsExactlyTheNthAllocationOnce) {
    OSMemSetFailCountdown(3);
    EXPECT_EQ(OSMemGetFailCountdown(), 3);
    void *first = Alloc(8);
    EXPECT_EQ(OSMemGetFailCountdown(), 2);
    void *second = OSMemCallocMon(1, 8, 0, 0, __LINE__, "platform_mem_test");
    uint64_t before = OSMemGetUsedBlocks();
    void *third = Alloc(8);
    EXPECT_EQ(OSMemGetUsedBlocks(), before) << "a failed allocation is not counted";
    void *fourth = Alloc(8);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(OSMemGetFailCountdown(), -1);
    Free(first);
    Free(second);
    Free(fourth);
}

TEST_F(TrackedMemory, CountdownFiresOnceAcrossThreads) {
    constexpr int kThreads = 4;
    constexpr int kAllocsEach = 250;
    OSMemSetFailCountdown(kThreads * kAllocsEach / 2);
    std::vector<std::vector<void *>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&results, t] {
            for (int i = 0; i < kAllocsEach; ++i) {
                results[t].push_back(Alloc(32));
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    int failures = 0;
    for (const std::vector<void *> &r : results) {
        for (void *p : r) {
            failures += p == nullptr ? 1 : 0;
            Free(p);
        }
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(OSMemGetFailCountdown(), -1);
}

// Reads everything written to a temporary file through fd.
std::string DumpToString() {
    FILE *file = tmpfile();
    if (file == nullptr) {
        ADD_FAILURE() << "tmpfile failed";
        return "";
    }
    OSMemDumpUsed(fileno(file));
    std::string out;
    rewind(file);
    char chunk[256];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        out.append(chunk, n);
    }
    fclose(file);
    return out;
}

TEST_F(TrackedMemory, DumpNamesModuleAndLineOfEachOutstandingBlock) {
    void *probe = OSMemTypeMallocMon(77, 0, 0, 4242, "dump_probe_module");
    void *other = OSMemTypeMallocMon(5, 0, 0, 31337, "other_probe_module");
    ASSERT_NE(probe, nullptr);
    ASSERT_NE(other, nullptr);
    std::string dump = DumpToString();
    Free(other);

    size_t at = dump.find("dump_probe_module");
    ASSERT_NE(at, std::string::npos) << dump;
    std::string line = dump.substr(dump.rfind('\n', at) + 1);
    line = line.substr(0, line.find('\n'));
    EXPECT_NE(line.find("4242"), std::string::npos) << line;
    EXPECT_NE(line.find("77"), std::string::npos) << line;
    EXPECT_NE(dump.find("other_probe_module"), std::string::npos) << dump;

    std::string after = DumpToString();
    EXPECT_EQ(after.find("other_probe_module"), std::string::npos) << "freed block still listed";
    EXPECT_NE(after.find("dump_probe_module"), std::string::npos);
    Free(probe);
}

} // namespace

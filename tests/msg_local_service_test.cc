// Behaviour of the local service registry: slot rules, look-ups, ids, the
// listing written to a file descriptor, the package-permission hook, and the
// registry used from several threads, also while it is destroyed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "service/msg_local_service.h"
#include "support/log_capture.h"
#include "vyre_os_log.h"

namespace {

constexpr uint32_t kSlots = 128;
const std::string kHead = " --------------   localRefBinder   ---------------- \n";
const std::string kTail = " ----------- local RefBinder end ------------- \n";

// The listing as a reader of the descriptor sees it.
std::string Listing() {
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe failed";
        return "";
    }
    MsgDumpLocalRefNames(fds[1]);
    close(fds[1]);
    std::string text;
    char chunk[512];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof(chunk))) > 0) {
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fds[0]);
    return text;
}

std::string ListingOf(const std::vector<std::string> &names) {
    std::string text = kHead;
    for (const std::string &name : names) {
        text += name + "\n";
    }
    return text + kTail;
}

std::string SlotName(uint32_t i) {
    return "svc" + std::to_string(i);
}

class LocalServiceRegistry : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(MsgInitLocalServiceManger(kSlots), 1U); }
    void TearDown() override { MsgDestroyLocalServiceManger(); }

    void Fill() {
        for (uint32_t i = 0; i < kSlots; ++i) {
            ASSERT_EQ(MsgAddLocalService(SlotName(i).c_str(), 1000U + i), OS_MSG_OK);
        }
    }
};

TEST_F(LocalServiceRegistry, SecondAddOfANameIsRefusedAndTheFirstBinderStays) {
    LogCapture log;
    ASSERT_EQ(MsgAddLocalService("camera", 0x11U), OS_MSG_OK);
    EXPECT_EQ(MsgAddLocalService("camera", 0x22U), OS_MSG_ERR_REPEATED);
    EXPECT_EQ(MsgGetLocalService("camera"), 0x11U);
    EXPECT_EQ(log.Count("[camera] exist.", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(log.Count("MsgAddLocalService in. name=camera.", OS_LOG_DEBUG), 2U);
}

TEST_F(LocalServiceRegistry, FullRegistryRefusesUntilADeleteFreesThatSlot) {
    Fill();
    std::vector<std::string> names;
    for (uint32_t i = 0; i < kSlots; ++i) {
        names.push_back(SlotName(i));
    }
    {
        LogCapture log;
        EXPECT_EQ(MsgAddLocalService("extra", 1U), OS_MSG_ERR_FULL);
        EXPECT_EQ(log.Count("full! [extra] not added.", OS_LOG_ERROR), 1U) << log.Dump();
        // Without a free slot the empty name equals nothing and is simply too many.
        EXPECT_EQ(MsgAddLocalService("", 1U), OS_MSG_ERR_FULL);
    }
    for (uint32_t freed : {0U, 57U, kSlots - 1U}) {
        MsgDelLocalService(SlotName(freed).c_str(), 0U);
        ASSERT_EQ(MsgAddLocalService("extra", 7U), OS_MSG_OK);
        std::vector<std::string> expected = names;
        expected[freed] = "extra";
        EXPECT_EQ(Listing(), ListingOf(expected)) << "freed slot " << freed;
        MsgDelLocalService(nullptr, 7U);
        ASSERT_EQ(MsgAddLocalService(SlotName(freed).c_str(), 1000U + freed), OS_MSG_OK);
    }
}

TEST_F(LocalServiceRegistry, NamesMustBeShortAndNotEmpty) {
    LogCapture log;
    EXPECT_EQ(MsgAddLocalService("", 5U), OS_MSG_ERR_REPEATED);
    EXPECT_EQ(MsgAddLocalService("fifteen-chars-x", 1U), OS_MSG_OK);
    EXPECT_EQ(MsgAddLocalService("sixteen-chars-xy", 2U), OS_MSG_ERR_FAIL);
    EXPECT_EQ(log.Count("[sixteen-chars-xy] strcpy_s error.", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(MsgAddLocalService(nullptr, 3U), OS_MSG_ERR_INVALID_PARAM);
    // The refused names left the second slot free for the next add.
    ASSERT_EQ(MsgAddLocalService("next", 4U), OS_MSG_OK);
    EXPECT_EQ(Listing(), ListingOf({"fifteen-chars-x", "next"}));
    EXPECT_EQ(MsgGetLocalService("fifteen-chars-x"), 1U);
    EXPECT_EQ(MsgGetLocalService("sixteen-chars-xy"), 0U);
}

TEST_F(LocalServiceRegistry, DeleteByBinderAloneRemovesTheFirstSlotWithIt) {
    ASSERT_EQ(MsgAddLocalService("audio", 7U), OS_MSG_OK);
    ASSERT_EQ(MsgAddLocalService("video", 9U), OS_MSG_OK);
    ASSERT_EQ(MsgAddLocalService("mixer", 9U), OS_MSG_OK);
    LogCapture log;
    MsgDelLocalService(nullptr, 9U);
    EXPECT_EQ(log.Count("[video] delete.", OS_LOG_DEBUG), 1U) << log.Dump();
    EXPECT_EQ(MsgGetLocalService("video"), 0U);
    EXPECT_EQ(MsgGetLocalService("mixer"), 9U);

    log.Clear();
    MsgDelLocalService(nullptr, 0U);
    MsgDelLocalService("nobody", 0U);
    EXPECT_EQ(log.Count("delete."), 0U) << log.Dump();
    EXPECT_EQ(log.Count("", OS_LOG_ERROR), 0U) << log.Dump();
    EXPECT_EQ(MsgGetLocalService("audio"), 7U);
    EXPECT_EQ(MsgGetLocalService("mixer"), 9U);
}

TEST_F(LocalServiceRegistry, LookUpsOfUnknownNamesAndBinderZeroFindNothing) {
    ASSERT_EQ(MsgAddLocalService("nullsvc", 0U), OS_MSG_OK);
    EXPECT_EQ(MsgGetLocalService("unknown"), 0U);
    {
        LogCapture log;
        EXPECT_EQ(MsgGetLocalService(nullptr), 0U);
        EXPECT_EQ(log.Count("name is null.", OS_LOG_ERROR), 1U) << log.Dump();
    }
    char buffer[16];
    memset(buffer, 'x', sizeof(buffer));
    MsgGetLocalBinderName(0U, buffer, sizeof(buffer));
    MsgGetLocalBinderName(0x99U, buffer, sizeof(buffer));
    EXPECT_EQ(std::string(buffer, sizeof(buffer)), std::string(16, 'x'));
}

TEST_F(LocalServiceRegistry, BinderNameNeedsABufferThatHoldsIt) {
    ASSERT_EQ(MsgAddLocalService("encoder", 0x42U), OS_MSG_OK);
    LogCapture log;
    char small[7] = {'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    MsgGetLocalBinderName(0x42U, small, sizeof(small));
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(log.Count("strcpy_s fail.", OS_LOG_ERROR), 1U) << log.Dump();

    char exact[8];
    MsgGetLocalBinderName(0x42U, exact, sizeof(exact));
    EXPECT_STREQ(exact, "encoder");
    EXPECT_EQ(log.Count("find binder name [encoder].", OS_LOG_DEBUG), 1U);

    char untouched[4] = {'x', 'x', 'x', 'x'};
    MsgGetLocalBinderName(0x42U, untouched, -1);
    EXPECT_EQ(untouched[0], 'x');
    MsgGetLocalBinderName(0x42U, nullptr, 16);
    EXPECT_EQ(log.Count("BinderName is null.", OS_LOG_ERROR), 1U);
    EXPECT_EQ(log.Count("strcpy_s fail.", OS_LOG_ERROR), 2U);
}

TEST_F(LocalServiceRegistry, PermissionNeedsTheExactIdPairInSomeSlot) {
    EXPECT_EQ(MsgCheckBinderPermission(0U, 0U), 1U) << "free slots have no ids";
    Fill();
    for (uint32_t i = 0; i < kSlots; ++i) {
        MsgUpdateUidPidForLocalService(SlotName(i).c_str(), i + 1U, i + 500U);
    }
    EXPECT_EQ(MsgCheckBinderPermission(0U, 0U), 0U);
    EXPECT_EQ(MsgCheckBinderPermission(5U, 504U), 1U);
    EXPECT_EQ(MsgCheckBinderPermission(5U, 505U), 0U);
    EXPECT_EQ(MsgCheckBinderPermission(128U, 627U), 1U);

    MsgUpdateUidPidForLocalService("unknown", 0U, 0U);
    EXPECT_EQ(MsgCheckBinderPermission(0U, 0U), 0U);
    MsgUpdateUidPidForLocalService(SlotName(4).c_str(), 77U, 78U);
    EXPECT_EQ(MsgCheckBinderPermission(5U, 504U), 0U);
    EXPECT_EQ(MsgCheckBinderPermission(77U, 78U), 1U);
    // A delete takes the ids with it, and a new service in that slot starts without any.
    MsgDelLocalService(SlotName(9).c_str(), 0U);
    EXPECT_EQ(MsgCheckBinderPermission(10U, 509U), 0U);
    EXPECT_EQ(MsgCheckBinderPermission(0U, 0U), 1U);
    ASSERT_EQ(MsgAddLocalService("again", 9U), OS_MSG_OK);
    EXPECT_EQ(MsgCheckBinderPermission(0U, 0U), 1U);
}

TEST_F(LocalServiceRegistry, ListingStopsAtTheFirstFreeSlot) {
    EXPECT_EQ(Listing(), kHead + kTail);
    for (const char *name : {"A", "B", "C"}) {
        ASSERT_EQ(MsgAddLocalService(name, 1U), OS_MSG_OK);
    }
    EXPECT_EQ(Listing(), ListingOf({"A", "B", "C"}));
    MsgDelLocalService("A", 0U);
    EXPECT_EQ(Listing(), kHead + kTail);
    ASSERT_EQ(MsgAddLocalService("D", 2U), OS_MSG_OK);
    EXPECT_EQ(Listing(), ListingOf({"D", "B", "C"}));
}

TEST(LocalServiceListing, ShowsAtMostTheFirst128Names) {
    ASSERT_EQ(MsgInitLocalServiceManger(200U), 1U);
    std::vector<std::string> first;
    for (uint32_t i = 0; i < 200U; ++i) {
        ASSERT_EQ(MsgAddLocalService(SlotName(i).c_str(), i + 1U), OS_MSG_OK);
        if (i < 128U) {
            first.push_back(SlotName(i));
        }
    }
    EXPECT_EQ(Listing(), ListingOf(first));
    EXPECT_EQ(MsgGetLocalService(SlotName(199).c_str()), 200U);
    MsgDestroyLocalServiceManger();
}

TEST(LocalServiceLifecycle, WithoutARegistryEveryOperationSaysSo) {
    LogCapture log;
    char buffer[16] = "keep";
    EXPECT_EQ(MsgAddLocalService("audio", 1U), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(MsgGetLocalService("audio"), 0U);
    MsgDelLocalService("audio", 1U);
    MsgGetLocalBinderName(1U, buffer, sizeof(buffer));
    MsgUpdateUidPidForLocalService("audio", 1U, 2U);
    int devNull = open("/dev/null", O_WRONLY);
    MsgDumpLocalRefNames(devNull);
    close(devNull);
    for (const char *op : {"MsgAddLocalService", "MsgGetLocalService", "MsgDelLocalService", "MsgGetLocalBinderName",
                           "MsgUpdateUidPidForLocalService", "MsgDumpLocalRefNames"}) {
        EXPECT_EQ(log.Count("[" + std::string(op) + "][", OS_LOG_ERROR), 1U) << op << "\n" << log.Dump();
    }
    EXPECT_EQ(log.Count("g_msgManager not init.", OS_LOG_ERROR), 6U);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(Listing(), "");

    log.Clear();
    EXPECT_EQ(MsgCheckBinderPermission(0U, 0U), 0U);
    EXPECT_EQ(log.Records().size(), 0U) << log.Dump();
    MsgDestroyLocalServiceManger();
    EXPECT_EQ(log.Count("subscribe not init.", OS_LOG_ERROR), 1U) << log.Dump();
}

TEST(LocalServiceLifecycle, SecondCreationIsRefusedAndKeepsTheRegistry) {
    ASSERT_EQ(MsgInitLocalServiceManger(4U), 1U);
    ASSERT_EQ(MsgAddLocalService("audio", 1U), OS_MSG_OK);
    {
        LogCapture log;
        EXPECT_EQ(MsgInitLocalServiceManger(8U), 0U);
        EXPECT_EQ(log.Count("already create g_msgManager.", OS_LOG_ERROR), 1U) << log.Dump();
    }
    EXPECT_EQ(MsgGetLocalService("audio"), 1U);
    MsgDestroyLocalServiceManger();
    ASSERT_EQ(MsgInitLocalServiceManger(4U), 1U);
    EXPECT_EQ(MsgGetLocalService("audio"), 0U) << "a new registry starts empty";
    MsgDestroyLocalServiceManger();
}

TEST(LocalServiceLifecycle, ZeroCapacityRegistryExistsButHoldsNothing) {
    ASSERT_EQ(MsgInitLocalServiceManger(0U), 1U);
    LogCapture log;
    EXPECT_EQ(MsgAddLocalService("audio", 1U), OS_MSG_ERR_FULL);
    EXPECT_EQ(log.Count("full! [audio] not added.", OS_LOG_ERROR), 1U) << log.Dump();
    EXPECT_EQ(MsgGetLocalService("audio"), 0U);
    EXPECT_EQ(MsgCheckBinderPermission(0U, 0U), 0U);
    EXPECT_EQ(Listing(), kHead + kTail);
    EXPECT_EQ(log.Count("not init."), 0U) << log.Dump();
    EXPECT_EQ(MsgInitLocalServiceManger(4U), 0U);
    MsgDestroyLocalServiceManger();
    EXPECT_EQ(MsgInitLocalServiceManger(4U), 1U);
    EXPECT_EQ(MsgAddLocalService("audio", 1U), OS_MSG_OK);
    MsgDestroyLocalServiceManger();
}

std::atomic<int> g_hookCalls{0};

int32_t DenyUnlessEqual(uintptr_t first, uintptr_t second) {
    ++g_hookCalls;
    return first == second ? 1 : -5;
}

TEST(PackagePermission, HookDecidesUntilItIsRemoved) {
    g_hookCalls = 0;
    int object = 0;
    auto address = reinterpret_cast<uintptr_t>(&object);
    EXPECT_EQ(MsgCheckPackagePermission(address, 1U), 1);
    MsgSetChckPackagePermissionHandle(&DenyUnlessEqual);
    EXPECT_EQ(MsgCheckPackagePermission(address, address), 1);
    EXPECT_EQ(MsgCheckPackagePermission(address, address + 1U), -5);
    EXPECT_EQ(g_hookCalls.load(), 2);
    MsgSetChckPackagePermissionHandle(nullptr);
    EXPECT_EQ(MsgCheckPackagePermission(address, address + 1U), 1);
    EXPECT_EQ(g_hookCalls.load(), 2);
}

// Each thread owns its own names, so its model predicts every result exactly;
// 4 threads of 32 names can together fill all 128 slots.
TEST(LocalServiceConcurrency, ThreadsAgreeWithTheirModels) {
    constexpr int kThreads = 4;
    constexpr uint32_t kNamesPerThread = kSlots / kThreads;
    constexpr int kOps = 3000;
    const uint32_t seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    RecordProperty("seed", std::to_string(seed));
    ASSERT_EQ(MsgInitLocalServiceManger(kSlots), 1U);
    LogCapture quiet(OS_LOG_FATAL); // the expected refusals stay off the console

    std::vector<std::map<std::string, uint64_t>> models(kThreads);
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, seed, &models, &mismatches] {
            std::mt19937 rng(seed + static_cast<uint32_t>(t));
            std::map<std::string, uint64_t> &model = models[t];
            for (int op = 0; op < kOps; ++op) {
                std::string name = "t" + std::to_string(t) + "-" + std::to_string(rng() % kNamesPerThread);
                auto it = model.find(name);
                uint64_t present = it != model.end() ? it->second : 0U;
                switch (rng() % 4) {
                case 0: {
                    uint64_t binder = (static_cast<uint64_t>(t + 1) << 40) | static_cast<uint64_t>(op + 1);
                    uint32_t result = MsgAddLocalService(name.c_str(), binder);
                    mismatches[t] += result != (present != 0U ? OS_MSG_ERR_REPEATED : OS_MSG_OK);
                    if (present == 0U) {
                        model[name] = binder;
                    }
                    break;
                }
                case 1:
                    mismatches[t] += MsgGetLocalService(name.c_str()) != present;
                    break;
                case 2: {
                    char found[OS_MSG_NAME_LEN] = "";
                    MsgGetLocalBinderName(present, found, sizeof(found));
                    mismatches[t] += present != 0U && name != found;
                    break;
                }
                default:
                    if (present != 0U && (rng() & 1U) != 0U) {
                        MsgDelLocalService(nullptr, present);
                    } else {
                        MsgDelLocalService(name.c_str(), 0U);
                    }
                    model.erase(name);
                    break;
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    size_t expectedUsed = 0;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
        for (const auto &entry : models[t]) {
            EXPECT_EQ(MsgGetLocalService(entry.first.c_str()), entry.second) << entry.first;
        }
        expectedUsed += models[t].size();
    }
    size_t used = 0;
    for (uint32_t i = 0; i < g_msgManager.capacity; ++i) {
        used += g_msgManager.entries[i].name[0] != '\0' ? 1U : 0U;
    }
    EXPECT_EQ(used, expectedUsed);
    MsgDestroyLocalServiceManger();
}

// A reader must never see one id of a slot updated and the other not.
TEST(LocalServiceConcurrency, PermissionCheckNeverSeesAHalfWrittenSlot) {
    ASSERT_EQ(MsgInitLocalServiceManger(1U), 1U);
    ASSERT_EQ(MsgAddLocalService("svc", 1U), OS_MSG_OK);
    MsgUpdateUidPidForLocalService("svc", 1U, 2U);
    std::atomic<bool> stop{false};
    std::thread writer([&stop] {
        for (uint32_t i = 0; !stop.load(); ++i) {
            uint32_t base = (i & 1U) != 0U ? 3U : 1U;
            MsgUpdateUidPidForLocalService("svc", base, base + 1U);
        }
    });
    int torn = 0;
    int whole = 0;
    for (int i = 0; i < 20000; ++i) {
        torn += static_cast<int>(MsgCheckBinderPermission(3U, 2U) + MsgCheckBinderPermission(1U, 4U));
        whole += static_cast<int>(MsgCheckBinderPermission(1U, 2U) + MsgCheckBinderPermission(3U, 4U));
    }
    stop.store(true);
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(whole, 0);
    MsgDestroyLocalServiceManger();
}

// Workers keep using the registry while the main thread destroys and
// re-creates it; the sanitizers catch any touch of a freed slot array.
TEST(LocalServiceConcurrency, DestroyWhileOtherThreadsUseTheRegistry) {
    constexpr int kWorkers = 3;
    constexpr int kRounds = 20;
    constexpr uint64_t kOpsPerPhase = 60;
    const uint32_t seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    RecordProperty("seed", std::to_string(seed));
    LogCapture log(OS_LOG_ERROR);
    std::mutex mutex;
    std::condition_variable progress;
    uint64_t ops = 0; // guarded by mutex
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::atomic<int> notInit{0};
    int devNull = open("/dev/null", O_WRONLY);

    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 rng(seed + static_cast<uint32_t>(w));
            while (!stop.load()) {
                std::string name = "w" + std::to_string(w) + "-" + std::to_string(rng() % 50U);
                uint64_t binder = (rng() % 50U) + 1U;
                char found[OS_MSG_NAME_LEN];
                switch (rng() % 6) {
                case 0: {
                    uint32_t result = MsgAddLocalService(name.c_str(), binder);
                    notInit += result == OS_MSG_ERR_NOT_INIT;
                    unexpected += result != OS_MSG_OK && result != OS_MSG_ERR_REPEATED && result != OS_MSG_ERR_FULL &&
                                  result != OS_MSG_ERR_NOT_INIT;
                    break;
                }
                case 1:
                    (void)MsgGetLocalService(name.c_str());
                    break;
                case 2:
                    MsgDelLocalService((rng() & 1U) != 0U ? name.c_str() : nullptr, binder);
                    break;
                case 3:
                    MsgGetLocalBinderName(binder, found, sizeof(found));
                    break;
                case 4:
                    MsgUpdateUidPidForLocalService(name.c_str(), rng() % 4U, rng() % 4U);
                    (void)MsgCheckBinderPermission(rng() % 4U, rng() % 4U);
                    break;
                default:
                    MsgDumpLocalRefNames(devNull);
                    break;
                }
                std::lock_guard<std::mutex> lock(mutex);
                ++ops;
                progress.notify_all();
            }
        });
    }
    auto waitForOps = [&] {
        std::unique_lock<std::mutex> lock(mutex);
        uint64_t target = ops + kOpsPerPhase;
        progress.wait(lock, [&] { return ops >= target; });
    };
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(MsgInitLocalServiceManger(round % 2 == 0 ? kSlots : 8U), 1U);
        waitForOps();
        MsgDestroyLocalServiceManger();
        waitForOps();
    }
    stop.store(true);
    for (std::thread &worker : workers) {
        worker.join();
    }
    close(devNull);
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(log.Count("[MsgAddLocalService][", OS_LOG_ERROR) - log.Count("exist.") - log.Count("full!"),
              static_cast<size_t>(notInit.load()))
        << "every add refused for a missing registry logs it once";
    EXPECT_EQ(g_msgManager.entries, nullptr);
}

} // namespace

// The local service registry: slot rules, look-ups, ids, the listing, the
// package-permission hook, and use from several threads during destruction.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "service/msg_local_service.h"
#include "support/log_capture.h"
#include "support/threads.h"
#include "support/written_text.h"
#include "vyre_os_log.h"

namespace {

const std::string kHead = " --------------   localRefBinder   ---------------- \n";
const std::string kTail = " ----------- local RefBinder end ------------- \n";

// The listing as a reader of the descriptor sees it.
std::string Listing() {
    return WrittenText(MsgDumpLocalRefNames);
}

TEST(LocalServiceRegistry, AddRefusesDuplicatesLongNamesAndAFullRegistry) {
    ASSERT_EQ(MsgInitLocalServiceManger(128), 1U);
    LogCapture log;
    ASSERT_EQ(MsgAddLocalService("camera", 0x11U), OS_MSG_OK);
    EXPECT_EQ(MsgAddLocalService("camera", 0x22U), OS_MSG_ERR_REPEATED);
    EXPECT_EQ(MsgGetLocalService("camera"), 0x11U) << "the first binder stays";
    EXPECT_EQ(MsgAddLocalService("", 5U), OS_MSG_ERR_REPEATED) << "an empty name equals a free slot's";
    EXPECT_EQ(MsgAddLocalService("fifteen-chars-x", 1U), OS_MSG_OK);
    EXPECT_EQ(MsgAddLocalService("sixteen-chars-xy", 2U), OS_MSG_ERR_FAIL);
    EXPECT_EQ(MsgAddLocalService(nullptr, 3U), OS_MSG_ERR_INVALID_PARAM);
    for (const char *text : {"[camera] exist.", "[sixteen-chars-xy] strcpy_s error.", "name is null."}) {
        EXPECT_EQ(log.Count(text, OS_LOG_ERROR), 1U) << text << "\n" << log.Dump();
    }
    std::string names = "camera\nfifteen-chars-x\n";
    for (uint32_t i = 2; i < 128; ++i) {
        ASSERT_EQ(MsgAddLocalService(("svc" + std::to_string(i)).c_str(), 1000U + i), OS_MSG_OK);
        names += "svc" + std::to_string(i) + "\n";
    }
    EXPECT_EQ(Listing(), kHead + names + kTail) << "the refused names took no slot";
    EXPECT_EQ(MsgAddLocalService("extra", 1U), OS_MSG_ERR_FULL);
    EXPECT_EQ(MsgAddLocalService("", 1U), OS_MSG_ERR_FULL) << "no free slot left to equal";
    EXPECT_EQ(log.Count("full! [extra] not added.", OS_LOG_ERROR), 1U);
    MsgDelLocalService("svc57", 0U);
    ASSERT_EQ(MsgAddLocalService("extra", 7U), OS_MSG_OK);
    EXPECT_EQ(Listing(), kHead + names.replace(names.find("svc57\n"), 6, "extra\n") + kTail) << "the freed slot";
    MsgDestroyLocalServiceManger();
}

TEST(LocalServiceRegistry, DeletesLookUpsAndIdsTakeTheFirstMatchingSlot) {
    ASSERT_EQ(MsgInitLocalServiceManger(128), 1U);
    for (const char *name : {"audio", "video", "mixer"}) {
        ASSERT_EQ(MsgAddLocalService(name, name[0] == 'a' ? 7U : 9U), OS_MSG_OK);
    }
    LogCapture log;
    MsgDelLocalService(nullptr, 9U);
    EXPECT_EQ(log.Count("[video] delete.", OS_LOG_DEBUG), 1U) << log.Dump();
    EXPECT_EQ(MsgGetLocalService("video") + MsgGetLocalService("unknown") + MsgGetLocalService(nullptr), 0U);
    log.Clear();
    MsgDelLocalService(nullptr, 0U);
    MsgDelLocalService("nobody", 0U);
    EXPECT_EQ(log.Count("delete.") + log.Count("", OS_LOG_ERROR), 0U) << log.Dump();
    EXPECT_EQ(Listing(), kHead + "audio\n" + kTail) << "the listing stops at the first free slot";

    char buffer[8] = "xxxxxxx";
    MsgGetLocalBinderName(0U, buffer, sizeof(buffer)); // binder 0 matches nothing
    MsgGetLocalBinderName(9U, buffer, -1);             // nor does a negative size write
    MsgGetLocalBinderName(9U, nullptr, 16);
    EXPECT_STREQ(buffer, "xxxxxxx");
    MsgGetLocalBinderName(9U, buffer, 5);
    EXPECT_EQ(buffer[0], '\0') << "a name that does not fit leaves nothing usable";
    MsgGetLocalBinderName(9U, buffer, 6);
    EXPECT_STREQ(buffer, "mixer");
    EXPECT_EQ(log.Count("strcpy_s fail.", OS_LOG_ERROR) + log.Count("BinderName is null.", OS_LOG_ERROR), 3U);

    EXPECT_EQ(MsgCheckBinderPermission(0U, 0U), 1U) << "free slots have no ids";
    MsgUpdateUidPidForLocalService("mixer", 5U, 504U);
    MsgUpdateUidPidForLocalService("unknown", 77U, 78U);
    EXPECT_EQ(MsgCheckBinderPermission(5U, 504U), 1U);
    EXPECT_EQ(MsgCheckBinderPermission(5U, 505U) + MsgCheckBinderPermission(504U, 5U), 0U);
    MsgDelLocalService("mixer", 0U);
    EXPECT_EQ(MsgCheckBinderPermission(5U, 504U) + MsgCheckBinderPermission(77U, 78U), 0U) << "ids went with the slot";
    MsgDestroyLocalServiceManger();
}

TEST(LocalServiceLifecycle, WithoutARegistryEveryOperationSaysSoAndCapacityBoundsIt) {
    LogCapture log;
    char buffer[16] = "keep";
    EXPECT_EQ(MsgAddLocalService("audio", 1U), OS_MSG_ERR_NOT_INIT);
    EXPECT_EQ(MsgGetLocalService("audio") + MsgCheckBinderPermission(0U, 0U), 0U);
    MsgDelLocalService("audio", 1U);
    MsgGetLocalBinderName(1U, buffer, sizeof(buffer));
    MsgUpdateUidPidForLocalService("audio", 1U, 2U);
    EXPECT_EQ(Listing(), "");
    MsgDestroyLocalServiceManger();
    EXPECT_EQ(log.Count("g_msgManager not init.", OS_LOG_ERROR), 6U) << log.Dump();
    EXPECT_EQ(log.Count("subscribe not init.", OS_LOG_ERROR), 1U);
    EXPECT_STREQ(buffer, "keep");

    ASSERT_EQ(MsgInitLocalServiceManger(0U), 1U) << "a registry that holds nothing";
    EXPECT_EQ(MsgAddLocalService("audio", 1U), OS_MSG_ERR_FULL);
    EXPECT_TRUE(MsgInitLocalServiceManger(4U) == 0U && log.Count("already create g_msgManager.", OS_LOG_ERROR) == 1U);
    MsgDestroyLocalServiceManger();
    ASSERT_EQ(MsgInitLocalServiceManger(200U), 1U);
    std::string first128;
    for (uint32_t i = 0; i < 200U; ++i) {
        ASSERT_EQ(MsgAddLocalService(("svc" + std::to_string(i)).c_str(), i + 1U), OS_MSG_OK);
        first128 += i < 128U ? "svc" + std::to_string(i) + "\n" : "";
    }
    EXPECT_EQ(Listing(), kHead + first128 + kTail) << "the listing shows at most 128 names";
    MsgDestroyLocalServiceManger();

    EXPECT_EQ(MsgCheckPackagePermission(1U, 2U), 1) << "everything is permitted without a hook";
    MsgSetChckPackagePermissionHandle([](uintptr_t first, uintptr_t second) { return first == second ? 1 : -5; });
    EXPECT_EQ(MsgCheckPackagePermission(3U, 3U) + MsgCheckPackagePermission(3U, 4U), -4);
    MsgSetChckPackagePermissionHandle(nullptr);
    EXPECT_EQ(MsgCheckPackagePermission(3U, 4U), 1);
}

// Workers use every operation while the main thread destroys and re-creates
// the registry; the sanitizers catch any touch of a freed slot array. Ids are
// always written as a pair (a, a + 100), so a mixed pair is a torn read.
TEST(LocalServiceConcurrency, DestroyWhileOtherThreadsUseTheRegistry) {
    const uint32_t seed = std::random_device{}();
    LogCapture quiet(OS_LOG_FATAL); // the expected refusals stay off the console
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> ops{0};
    std::atomic<int> unexpected{0}, torn{0};
    std::vector<std::thread> workers;
    for (uint32_t w = 0; w < 3; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 rng(seed + w);
            for (char found[OS_MSG_NAME_LEN]; !stop; ++ops) {
                std::string name = "w" + std::to_string(w) + "-" + std::to_string(rng() % 50U);
                uint64_t binder = rng() % 50U + 1U;
                uint32_t result = MsgAddLocalService(name.c_str(), binder), a = rng() % 4U, b = (a + 1U) % 4U;
                unexpected += result != OS_MSG_OK && result != OS_MSG_ERR_REPEATED && result != OS_MSG_ERR_FULL &&
                              result != OS_MSG_ERR_NOT_INIT;
                (void)MsgGetLocalService(name.c_str());
                MsgGetLocalBinderName(binder, found, sizeof(found));
                MsgUpdateUidPidForLocalService(name.c_str(), a, a + 100U);
                torn += static_cast<int>(MsgCheckBinderPermission(a, b + 100U));
                MsgDumpLocalRefNames(-1);
                MsgDelLocalService((rng() & 1U) != 0U ? name.c_str() : nullptr, binder);
            }
        });
    }
    for (int round = 0; round < 40; ++round) { // each phase lasts until the workers did 60 more rounds
        uint64_t target = ops + 60;            // even rounds create a registry, odd ones destroy it
        EXPECT_EQ(round % 2 == 0 ? MsgInitLocalServiceManger(round % 4 == 0 ? 128U : 8U)
                                 : (MsgDestroyLocalServiceManger(), 1U),
                  1U);
        if (!WaitUntil([&] { return ops >= target; })) {
            ADD_FAILURE() << "the workers stalled in round " << round;
            break;
        }
    }
    stop = true;
    JoinAll(workers);
    EXPECT_EQ(unexpected.load() + torn.load(), 0) << "seed " << seed;
    EXPECT_EQ(g_msgManager.entries, nullptr);
}

} // namespace

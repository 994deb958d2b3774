/*
 * Tasks served on the carrier's receive thread, between real processes: a
 * peer's messages reach the callback on that thread, in order, and so do
 * the process's own; a call is answered from there; what would wait for
 * that very thread is refused at once and receiving goes on; serving ends
 * with the task, however it is unregistered, leaving no descriptor, also
 * when the name is served again at once; a task served otherwise is
 * refused, and a served task has no other server. The fixture checks that
 * nothing is left behind.
 */
#include <pthread.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "base/msg_thread_name.h"
#include "carrier/carrier_fixture.h"
#include "simple_msg/simple_msg_stats.h"
#include "support/descriptors.h"

namespace {

using namespace carrier_proto;
using carrier_test::CarrierFixture;
using carrier_test::Peer;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kTryWaits = 900U; // the callback tries what would wait
constexpr uint32_t kLeave = 901U;    // the callback unregisters its own task
constexpr char kPeer[] = "servepeer";

/* What the served task's callback saw and got. */
struct Seen {
    std::mutex mutex;
    std::vector<uint32_t> ids;
    std::vector<std::string> threads;
    uint32_t callPeer = 0U;   // a call to the peer's "echo"
    int64_t callPeerMs = -1;  // how long it took
    uint32_t callHere = 0U;   // a call to this process's "echo"
    uint32_t callServed = 0U; // a call to another task the receive thread serves
    uint32_t sendFull = 0U;   // a send that would wait for room in a full task of this process
    uint32_t allocFull = 0U;  // an allocation that would wait for a buffer of the full pool
    uint32_t uninit = 0U;     // OsMsgUninit
    uint32_t loop = 0U;       // OsMsgTaskRoutineByName
    int64_t triesMs = -1;     // how long all the tries took
    uint32_t leave = 0U;      // OsMsgUnregTask of its own task
};
Seen *g_seen = nullptr;

uint32_t Call(const char *proc, const char *task, uint32_t timeoutMs) {
    MsgHead head;
    FillHead(&head, "", proc, task, kCall, nullptr, 0U);
    MsgHead *resp = nullptr;
    uint32_t ret = OsMsgSynSend(&head, &resp, timeoutMs);
    if (ret == OS_MSG_OK) {
        (void)OsMsgSynRespFree(resp);
    }
    return ret;
}

uint32_t Served(MsgHead *msg) {
    Seen &seen = *g_seen;
    char thread[16] = {0};
    (void)pthread_getname_np(pthread_self(), thread, sizeof(thread));
    if (msg->msgId == kCall) {
        Answer answer{msg->sendPid, msg->sendUid, msg->dataLen, 1U};
        (void)OsMsgSynSendResp(msg, &answer, sizeof(answer));
    } else if (msg->msgId == kTryWaits) {
        const auto start = Clock::now();
        auto msSince = [](Clock::time_point t) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
        };
        const uint32_t callPeer = Call(kPeer, "echo", 5000U);
        const int64_t ms = msSince(start);
        const uint32_t callHere = Call("", "echo", 5000U);
        const uint32_t callServed = Call("", "served2", 5000U);
        MsgHead toFull;
        FillHead(&toFull, "", "", "full", 1U, nullptr, 0U);
        const uint32_t sendFull = OsMsgAsynSendTimed(&toFull, 5000U);
        void *data = nullptr;
        const uint32_t allocFull = OsMsgBufAllocTimed(65536U, &data, 5000U);
        const uint32_t uninit = OsMsgUninit();
        const uint32_t loop = OsMsgTaskRoutineByName("main");
        const int64_t triesMs = msSince(start);
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.callPeer = callPeer;
        seen.callPeerMs = ms;
        seen.callHere = callHere;
        seen.callServed = callServed;
        seen.sendFull = sendFull;
        seen.allocFull = allocFull;
        seen.uninit = uninit;
        seen.loop = loop;
        seen.triesMs = triesMs;
    } else if (msg->msgId == kLeave) {
        const uint32_t ret = OsMsgUnregTask(nullptr, 0U, msg->recvTaskName);
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.leave = ret;
    }
    std::lock_guard<std::mutex> lock(seen.mutex);
    seen.ids.push_back(msg->msgId);
    seen.threads.emplace_back(thread);
    return 0U;
}

class CarrierServe : public CarrierFixture {
protected:
    void SetUp() override {
        CarrierFixture::SetUp();
        g_seen = &seen_;
    }
    void TearDown() override {
        CarrierFixture::TearDown();
        g_seen = nullptr;
    }

    /* Registers task name with the recording callback, served on the receive
     * thread. */
    void Serve(const char *name) {
        ASSERT_EQ(OsMsgRegTask(name, 64U, Served), OS_MSG_OK);
        ASSERT_EQ(OsMsgTaskServeOnReceive(name), OS_MSG_OK);
    }

    bool SeenCount(size_t n) {
        return WaitUntil([&] {
            std::lock_guard<std::mutex> lock(seen_.mutex);
            return seen_.ids.size() >= n;
        });
    }

    Seen seen_;
};

TEST_F(CarrierServe, PeersAndOwnMessagesReachTheCallbackOnTheReceiveThreadInOrder) {
    ASSERT_EQ(Join("servehost"), OS_MSG_OK);
    Serve("served");
    EXPECT_EQ(OsMsgTaskServeOnReceive("served"), OS_MSG_OK) << "served so already";
    EXPECT_EQ(OsMsgTaskRoutineByName("served"), OS_MSG_ERR_TASK_BUSY) << "no loop may run beside it";
    SimpleMsgStatsRow rows[8];
    uint32_t total = 0U;
    ASSERT_EQ(SimpleMsgCollectStats(rows, 8U, &total), OS_MSG_OK);
    bool listed = false;
    for (uint32_t i = 0U; i < total && i < 8U; ++i) {
        if (std::string(rows[i].name) == "served") {
            listed = true;
            EXPECT_EQ(rows[i].served, SIMPLE_MSG_SERVED_RECV) << "what the listings show";
        }
    }
    EXPECT_TRUE(listed);
    Peer &peer = StartEcho(kPeer);
    constexpr uint32_t kFirst = 100U;
    constexpr uint32_t kCount = 20U;
    for (uint32_t id = kFirst; id < kFirst + kCount; ++id) {
        ASSERT_EQ(peer.Ask("send servehost served " + std::to_string(id), "sent"), "sent 0") << id;
    }
    ASSERT_EQ(SendTo("servehost", "served", 500U), OS_MSG_OK); // from this process
    EXPECT_EQ(peer.Ask("call servehost served", "call").rfind("call 0 ", 0), 0U) << "answered on the receive thread";
    ASSERT_TRUE(SeenCount(kCount + 2U));
    std::lock_guard<std::mutex> lock(seen_.mutex);
    std::vector<uint32_t> fromPeer;
    for (uint32_t id : seen_.ids) {
        if (id >= kFirst && id < kFirst + kCount) {
            fromPeer.push_back(id);
        }
    }
    std::vector<uint32_t> expected;
    for (uint32_t id = kFirst; id < kFirst + kCount; ++id) {
        expected.push_back(id);
    }
    EXPECT_EQ(fromPeer, expected);
    for (const std::string &thread : seen_.threads) {
        EXPECT_EQ(thread, MSG_THREAD_RECV);
    }
}

TEST_F(CarrierServe, WaitsOnlyTheReceiveThreadCouldEndAreRefusedThereAndReceivingGoesOn) {
    ASSERT_EQ(Join("servehost", true), OS_MSG_OK);
    Serve("served");
    Serve("served2");
    // A task of this process whose one place is taken and which nobody
    // serves, and a pool of shared buffers taken whole.
    ASSERT_EQ(OsMsgRegTask("full", 1U, Served), OS_MSG_OK);
    ASSERT_EQ(SendTo("servehost", "full", 1U), OS_MSG_OK);
    ASSERT_EQ(OsMsgBufSetPoolLimit(1U), OS_MSG_OK);
    std::vector<void *> taken;
    void *data = nullptr;
    while (taken.size() < 100U && OsMsgBufAlloc(65536U, &data) == OS_MSG_OK) {
        taken.push_back(data);
    }
    Peer &peer = StartEcho(kPeer);
    ASSERT_EQ(peer.Ask("send servehost served " + std::to_string(kTryWaits), "sent"), "sent 0");
    ASSERT_EQ(peer.Ask("send servehost served 7", "sent"), "sent 0");
    ASSERT_TRUE(SeenCount(2U));
    std::lock_guard<std::mutex> lock(seen_.mutex);
    EXPECT_EQ(seen_.callPeer, OS_MSG_ERR_FAIL) << "its answer would come in on the receive thread";
    EXPECT_LT(seen_.callPeerMs, 1000) << "refused at once, not after its time-out";
    EXPECT_EQ(seen_.callHere, OS_MSG_OK) << "a call within the process is answered by another thread";
    EXPECT_EQ(seen_.callServed, OS_MSG_ERR_FAIL) << "one the receive thread itself would answer is refused";
    EXPECT_EQ(seen_.sendFull, OS_MSG_ERR_FULL) << "sends do not wait for room";
    EXPECT_EQ(seen_.allocFull, OS_MSG_ERR_FULL) << "allocations do not wait for a buffer";
    EXPECT_LT(seen_.triesMs, 2000) << "no try waited out its time-out";
    EXPECT_EQ(seen_.uninit, OS_MSG_ERR_FAIL);
    EXPECT_EQ(seen_.loop, OS_MSG_ERR_FAIL);
    EXPECT_EQ(seen_.ids, (std::vector<uint32_t>{kTryWaits, 7U}));
    for (void *buf : taken) {
        EXPECT_EQ(OsMsgBufFree(buf), OS_MSG_OK);
    }
}

TEST_F(CarrierServe, ServingEndsWithTheTaskLeavingNoDescriptor) {
    ASSERT_EQ(Join("servehost"), OS_MSG_OK);
    Peer &peer = StartEcho(kPeer);
    // The peer's link to this process is open before the count.
    ASSERT_EQ(peer.Ask("send servehost main 1", "sent"), "sent 0");
    ASSERT_TRUE(inbox_.WaitFor(1U));
    const size_t before = OpenFds();
    // Unregistered from another thread, and at once registered and served
    // again under the same name: the first service ends, the second works.
    Serve("served");
    EXPECT_EQ(OpenFds(), before + 2U) << "the carrier's descriptor and the task's";
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, "served"), OS_MSG_OK);
    Serve("served");
    ASSERT_EQ(peer.Ask("send servehost served 5", "sent"), "sent 0");
    ASSERT_TRUE(SeenCount(1U));
    EXPECT_TRUE(WaitUntil([&] { return OpenFds() == before + 2U; }));
    // Unregistered from its own callback.
    ASSERT_EQ(peer.Ask("send servehost served " + std::to_string(kLeave), "sent"), "sent 0");
    ASSERT_TRUE(SeenCount(2U));
    EXPECT_EQ(seen_.leave, OS_MSG_OK);
    EXPECT_TRUE(WaitUntil([&] { return OpenFds() == before; }));
    // A bounded number of tasks are served so.
    std::vector<std::string> names;
    for (uint32_t i = 0U; i < 17U; ++i) {
        names.push_back("many" + std::to_string(i));
        ASSERT_EQ(OsMsgRegTask(names.back().c_str(), 4U, Served), OS_MSG_OK);
        EXPECT_EQ(OsMsgTaskServeOnReceive(names.back().c_str()), i < 16U ? OS_MSG_OK : OS_MSG_ERR_NO_IDLE_BLOCK) << i;
    }
    for (const std::string &name : names) {
        EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, name.c_str()), OS_MSG_OK);
    }
    EXPECT_TRUE(WaitUntil([&] { return OpenFds() == before; }));
}

TEST_F(CarrierServe, TasksServedOtherwiseAreRefusedAndAServedTaskHasNoOtherServer) {
    ASSERT_EQ(Join("servehost"), OS_MSG_OK);
    ASSERT_EQ(SendTo("servehost", "main", 1U), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(1U)) << "the loop of \"main\" runs";
    EXPECT_EQ(OsMsgTaskServeOnReceive("main"), OS_MSG_ERR_TASK_BUSY);
    EXPECT_EQ(OsMsgTaskServeOnReceive("nosuch"), OS_MSG_ERR_NOT_FOUND);
    ASSERT_EQ(OsMsgRegTask("polled", 4U, Served), OS_MSG_OK);
    int fd = -1;
    ASSERT_EQ(OsMsgTaskFd("polled", &fd), OS_MSG_OK);
    EXPECT_EQ(OsMsgTaskServeOnReceive("polled"), OS_MSG_ERR_TASK_BUSY) << "the application serves it";
    Serve("served");
    EXPECT_EQ(OsMsgTaskFd("served", &fd), OS_MSG_ERR_TASK_BUSY);
    uint32_t handled = 1U;
    EXPECT_EQ(OsMsgTaskHandle("served", 4U, &handled), OS_MSG_ERR_TASK_BUSY);
    EXPECT_EQ(handled, 0U);
    EXPECT_EQ(OsMsgUnregTask(nullptr, 0U, "polled"), OS_MSG_OK);
}

} // namespace

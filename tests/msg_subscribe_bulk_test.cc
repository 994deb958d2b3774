// Subscriptions and broadcast events: applying requests, the repeat and
// unsubscribe rules, packing, unpacking a received request within its bounds,
// delivery once per matching subscriber; and requests of thousands of entries
// (under `make stress`, the largest a message allows) against a plain model
// of the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "broadcast/msg_broadcast.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "support/names.h"
#include "support/stress_scale.h"
#include "support/sub_request.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"

namespace {

constexpr uint32_t kBad = OS_MSG_ERR_INVALID_PARAM;

// A broadcast block: data follows the fixed part, whose bytes past dataLen are 0xA5.
struct BroBlock {
    const char *task;
    uint32_t msgId;
    int32_t dataLen;
    std::string data;
};

// A broadcast payload: num (by default the number of blocks), blockSize, blocks.
std::vector<uint8_t> BroRequest(const std::vector<BroBlock> &blocks, uint32_t blockSize = 32, int64_t num = -1) {
    const uint32_t head[2] = {static_cast<uint32_t>(num < 0 ? blocks.size() : num), blockSize};
    std::vector<uint8_t> out(sizeof(head)); // sized and copied: GCC 12 takes an insert for a write past the end
    std::memcpy(out.data(), head, sizeof(head));
    for (const BroBlock &block : blocks) {
        std::vector<uint8_t> fixed(blockSize, 0xA5);
        CopyName(*reinterpret_cast<char(*)[OS_MSG_NAME_LEN]>(fixed.data()), block.task);
        std::memcpy(&fixed[16], &block.msgId, sizeof(block.msgId));
        std::memcpy(&fixed[20], &block.dataLen, sizeof(block.dataLen));
        out.insert(out.end(), fixed.begin(), fixed.end());
        out.insert(out.end(), block.data.begin(), block.data.end());
    }
    return out;
}

// From task of proc on cpu to peerTask of peerProc; a record keeps the subscriber in the send fields.
MsgHead EventHead(uint32_t cpu, const char *proc, const char *task, uint32_t msgId = 0, uint32_t peerCpu = 0,
                  const char *peerProc = "", const char *peerTask = "") {
    MsgHead head{0, 1000, 4321, cpu, {}, {}, msgId, peerCpu, {}, {}, 0, 0, {}, 0, nullptr};
    CopyName(head.sendProcName, proc);
    CopyName(head.sendTaskName, task);
    CopyName(head.recvProcName, peerProc);
    CopyName(head.recvTaskName, peerTask);
    return head;
}

// The records of msgId in list order (a half-made, null record faults here).
std::vector<MsgHead> Subscribers(uint32_t msgId) {
    std::vector<MsgHead> out;
    ZemList *l = g_subscribeTable && MsgSubscribeFindIdList(msgId) ? &MsgSubscribeFindIdList(msgId)->subList : nullptr;
    for (ZemListNode *n = l ? ZEM_ListIterBegin(l) : nullptr; l && n != ZEM_ListIterEnd(l);
         n = ZEM_ListIterNext(l, n)) {
        out.push_back(*MsgSubscriberAt(n));
    }
    return out;
}

// The headers given to RecordDelivery, which runs on the delivering thread.
std::vector<MsgHead> g_deliveries;

uint32_t RecordDelivery(MsgHead *head) {
    g_deliveries.push_back(*head);
    return 0;
}

// The subscription table, with the recording broadcast function registered.
class Events : public MemBalanceTest {
protected:
    void SetUp() override {
        MemBalanceTest::SetUp();
        ASSERT_EQ(MsgCreateSubscribeTable(128), OS_MSG_OK);
        ASSERT_EQ(MsgSetBroadcastFunc(RecordDelivery), OS_MSG_OK);
    }
    void TearDown() override {
        MsgDestroySubscribeTable();
        MemBalanceTest::TearDown();
    }
};

TEST_F(Events, SubscriptionAppliesWholeLocalEntriesAndCarriesTheSubscriberTask) {
    LogCapture log;
    const MsgHead head = EventHead(0, "subp", "subt");
    auto recv = [&](std::vector<uint8_t> req, uint32_t cpu, uint32_t cut) { // from an offset copy: read bytewise
        req.insert(req.begin(), 0);
        return MsgRecvSubData(&head, req.data() + 1, static_cast<uint32_t>(req.size() - 1 - cut), cpu);
    };
    EXPECT_EQ(recv(SubRequest(true, {{7, 0, "pp", "pt", ""}}), 0, 1), kBad);
    EXPECT_EQ(recv(SubRequest(true, {{7, 0, "pp", "pt", ""}}, 0), 0, 0), kBad);
    EXPECT_EQ(log.Count("]:wrong dataLen = 60.", OS_LOG_ERROR) + log.Count("]:wrong dataNum = 0.", OS_LOG_ERROR), 2U);

    // A count far beyond the payload, entry 5 cut short, entry 2 for CPU 1.
    const std::vector<MsgSubEntry> entries = {
        {1, 0, "p", "a", ""}, {2, 1, "p", "b", ""}, {3, 0, "p", "c", "tA"}, {4, 0, "p", "d", ""}, {5, 0, "p", "e", ""}};
    EXPECT_EQ(recv(SubRequest(true, entries, 0xFFFFFFFF), 0, 30), OS_MSG_OK);
    const MsgHead want[] = {EventHead(0, "subp", "subt", 1, 0, "p", "a"), EventHead(0, "subp", "tA", 3, 0, "p", "c"),
                            EventHead(0, "subp", "tA", 4, 0, "p", "d")}; // subTaskName carried on
    for (const MsgHead &w : want) {
        EXPECT_EQ(std::memcmp(&Subscribers(w.msgId).at(0), &w, sizeof(w)), 0) << w.msgId;
    }
    EXPECT_TRUE(Subscribers(2).empty() && Subscribers(5).empty());
    EXPECT_EQ(log.Count("]:cpuid[1]-[0] not match, cannot support sub-bro cross cpu.", OS_LOG_ERROR), 1U);

    EXPECT_EQ(recv(SubRequest(false, entries), 0, 30), OS_MSG_OK); // removing the last subscriber removes the id
    EXPECT_FALSE(MsgSubscribeFindIdList(1) || MsgSubscribeFindIdList(3) ||
                 MsgSubscribeFindIdList(4)); // the fixture checks that their records went
    EXPECT_EQ(recv(SubRequest(true, entries), 1, 30), OS_MSG_OK);
    EXPECT_EQ(Subscribers(2).at(0).recvCpuId, 1U);
}

TEST_F(Events, RepeatIgnoresTheSubscriberCpuAndUnsubscribeThePublisherProcess) {
    const MsgHead base = EventHead(0, "sp", "st", 5, 0, "pp", "pt");
    struct Case {
        const char *what;
        void (*edit)(MsgHead &);
        size_t afterAdd, afterDel; // records after adding the changed record to base, after deleting with it
        bool baseLeft;             // base is the first record left
    } cases[] = {
        {"subscriber cpu", [](MsgHead &r) { r.sendCpuId = 3; }, 1, 1, true}, // a repeat; no match
        {"subscriber process", [](MsgHead &r) { CopyName(r.sendProcName, "x"); }, 2, 1, true},
        {"subscriber task", [](MsgHead &r) { CopyName(r.sendTaskName, "x"); }, 2, 1, true},
        {"publisher cpu", [](MsgHead &r) { r.recvCpuId = 1; }, 2, 1, true},
        {"publisher process", [](MsgHead &r) { CopyName(r.recvProcName, "x"); }, 2, 1, false}, // the first match goes
        {"publisher task", [](MsgHead &r) { CopyName(r.recvTaskName, "x"); }, 2, 1, true},
        {"empty tasks", [](MsgHead &r) { CopyName(r.sendTaskName, ""), CopyName(r.recvTaskName, ""); }, 2, 2, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MsgHead changed = base;
        c.edit(changed);
        ASSERT_EQ(MsgAddSubscribe(&base), OS_MSG_OK);
        EXPECT_EQ(MsgAddSubscribe(&changed), OS_MSG_OK);
        EXPECT_EQ(Subscribers(5).size(), c.afterAdd);
        EXPECT_EQ(MsgDelSubscribe(&changed), OS_MSG_OK);
        std::vector<MsgHead> left = Subscribers(5);
        ASSERT_EQ(left.size(), c.afterDel);
        EXPECT_EQ(std::memcmp(&left[0], c.baseLeft ? &base : &changed, sizeof(base)), 0);
        MsgDestroySubscribeTable();
        ASSERT_EQ(MsgCreateSubscribeTable(128), OS_MSG_OK);
    }
}

TEST_F(Events, PackingLaysBlocksBackToBackOrRefusesBeforeAllocating) {
    LogCapture log;
    const int32_t fits = static_cast<int32_t>(OS_MSG_MAX_MSG_SIZE - 168U - 8U - 32U);
    std::vector<char> largest(static_cast<size_t>(fits), 'x');
    char digits[] = "0123456789";
    const MsgBroEntry ten{"pt", 1, 10, digits}, none{"", 2, 0, nullptr}, huge{"t", 1, INT32_MAX, digits};
    // With the first allocation set to fail: a refusal comes before it and leaves the head alone.
    auto refuse = [&](std::vector<MsgBroEntry> entries, uint32_t result, const char *logged) {
        log.Clear();
        MsgHead head = EventHead(0, "pp", "sender"), before = head;
        OSMemSetFailCountdown(1);
        EXPECT_EQ(MsgSetBroadcastData(&head, entries.data(), static_cast<uint32_t>(entries.size()), "t"), result);
        EXPECT_EQ(OSMemGetFailCountdown(), result == OS_MSG_ERR_NO_MEMORY ? -1 : 1);
        OSMemSetFailCountdown(-1);
        EXPECT_EQ(std::memcmp(&head, &before, sizeof(head)), 0);
        EXPECT_EQ(log.Count(logged, OS_LOG_ERROR), 1U) << logged;
    };
    refuse({ten, {"t", 1, 5, nullptr}}, kBad, "]:entry[1] dataLen = 5 without data.");
    refuse({{"t", 1, fits + 1, largest.data()}}, OS_MSG_ERR_OVERSIZE, "]:msg oversize");
    refuse({huge, huge, ten}, OS_MSG_ERR_OVERSIZE, "]:msg oversize"); // a sum that wraps 32 bits
    refuse({ten}, OS_MSG_ERR_NO_MEMORY, "]:malloc error.");           // its one allocation fails
    // The payload's bytes; its layout is checked by the round trip of the delivery test.
    auto pack = [](std::vector<MsgBroEntry> entries, const char *defaultTask) {
        MsgHead head = EventHead(0, "pp", "sender");
        EXPECT_EQ(MsgSetBroadcastData(&head, entries.data(), static_cast<uint32_t>(entries.size()), defaultTask), 0U);
        std::string bytes(static_cast<const char *>(head.data), head.dataLen);
        OSMemTypeFreeMon(head.data, 0, 0, __LINE__, "test");
        return bytes;
    };
    std::string bytes = pack({ten, none}, "sender");
    EXPECT_EQ(bytes.size(), 82U);
    EXPECT_EQ(bytes.substr(40, 17), std::string("0123456789sender\0", 17)); // the default fills the empty name
    EXPECT_EQ(pack({none, {"", 3, -4, nullptr}}, nullptr).size(), 72U);     // a negative dataLen adds no bytes
    EXPECT_STREQ(pack({none}, "0123456789abcdef").c_str() + 8, "");         // a default too long is not packed
    EXPECT_EQ(pack({}, nullptr), std::string("\0\0\0\0\x20\0\0\0", 8));     // no blocks, block size 32
    bytes = pack({{"t", 1, fits, largest.data()}}, nullptr);
    EXPECT_TRUE(bytes.size() == OS_MSG_MAX_DATA_LEN && bytes.back() == 'x');
}

TEST_F(Events, DeliveredOncePerMatchingSubscriberWithinTheRequestsBounds) {
    LogCapture log;
    MsgHead unfit = EventHead(0, "P", "", 1, 0, "pubp", "pt");
    std::memset(unfit.sendTaskName, 'x', sizeof(unfit.sendTaskName)); // no room for a terminator: skipped
    for (const MsgHead &r : {EventHead(0, "A", "a", 100, 0, "pubp", "pt"), EventHead(0, "C", "c", 100, 0, "pubp", "pu"),
                             EventHead(0, "B", "b", 100, 0, "otherproc", "pt"), // publisher process not compared
                             EventHead(0, "D", "d", 100, 1, "pubp", "pt"), EventHead(2, "E", "e", 100, 0, "pubp", "pt"),
                             EventHead(0, "P", "s", 1, 0, "pubp", "pt"), unfit,
                             EventHead(0, "P", "any", 1, 0, "pubp", "")}) { // an empty publisher task matches nothing
        ASSERT_EQ(MsgAddSubscribe(&r), OS_MSG_OK);
    }
    // msgKind, reserved0 and mscBlock are not carried to subscribers.
    MsgHead pub{1, 1000, 4321, 0, "pubp", "ptask", 0, 0, "", "", 5, 0x77, {}, 0, nullptr};
    // From an exactly sized copy, each header checked, summed up as "proc/task@cpu:dataLen:data".
    auto recv = [&](const std::vector<uint8_t> &bytes, uint32_t expected) {
        std::vector<uint8_t> copy(bytes);
        EXPECT_EQ(MsgRecvBroadcastData(&pub, copy.data(), static_cast<uint32_t>(copy.size())), expected);
        std::vector<std::string> out;
        for (const MsgHead &d : std::exchange(g_deliveries, {})) {
            MsgHead e = EventHead(0, "pubp", d.sendTaskName, d.msgId, d.recvCpuId, d.recvProcName, d.recvTaskName);
            EXPECT_EQ(std::memcmp(&d, &e, offsetof(MsgHead, dataLen)), 0);
            EXPECT_EQ(d.data != nullptr, static_cast<int32_t>(d.dataLen) > 0); // no data for a length up to 0
            std::string data = d.data != nullptr ? std::string(static_cast<const char *>(d.data), d.dataLen) : "";
            out.push_back(std::string(d.recvProcName) + "/" + d.recvTaskName + "@" + std::to_string(d.recvCpuId) + ":" +
                          std::to_string(static_cast<int32_t>(d.dataLen)) + ":" + data);
        }
        return out;
    };
    char hello[] = "hello";
    MsgBroEntry event{"", 100, 5, hello};
    MsgHead packed = pub;
    ASSERT_EQ(MsgSetBroadcastData(&packed, &event, 1, "pt"), OS_MSG_OK);
    std::vector<uint8_t> round(static_cast<uint8_t *>(packed.data),
                               static_cast<uint8_t *>(packed.data) + packed.dataLen);
    OSMemTypeFreeMon(packed.data, 0, 0, __LINE__, "test");
    std::vector<uint8_t> cut = BroRequest({{"pt", 1, 0, ""}}, 28), hugeBlock = cut;
    cut.pop_back();
    std::memset(&hugeBlock[4], 0xFF, 4);
    const char *f16 = "0123456789abcdef"; // fails its event
    const std::vector<BroBlock> two = {{"pt", 1, 4, "abcd"}, {"pt", 1, 2, "ef"}};
    const std::vector<BroBlock> noData = {{"pt", 1, 0, ""}, {"pt", 1, -5, ""}, {"pt", 1, INT32_MIN, ""}};
    struct Case {
        std::vector<uint8_t> req;
        uint32_t result; // for a whole request, the last event's
        const char *logged;
        std::vector<std::string> got;
    } cases[] = {
        {round, OS_MSG_OK, "]:get broadcast Num = 1.", {"A/a@0:5:hello", "B/b@0:5:hello", "E/e@2:5:hello"}},
        {BroRequest({{"pt", 1, 3, "abc"}}, 32, 2), kBad, "]:dataLen[43] not match dataSize[75].", {"P/s@0:3:abc"}},
        {BroRequest({{"pt", 1, 100, "short"}}), kBad, "]:dataLen[45] not match dataSize[140].", {}},
        {hugeBlock, kBad, "]:dataLen[36] not match dataSize[4294967303].", {}},
        {cut, kBad, "]:wrong dataLen = 35.", {}},
        {BroRequest({{"pt", 1, 0, ""}}, 28, 0), kBad, "]:wrong dataNum = 0.", {}},
        {BroRequest(two, 27), kBad, "]:wrong blocksize = 27.", {}},
        {BroRequest(two, 28), OS_MSG_OK, "]:get broadcast Num = 2.", {"P/s@0:4:abcd", "P/s@0:2:ef"}},
        {BroRequest(two, 40), OS_MSG_OK, "]:get broadcast Num = 2.", {"P/s@0:4:abcd", "P/s@0:2:ef"}},
        {BroRequest(noData), OS_MSG_OK, "]:get broadcast Num = 3.", {"P/s@0:0:", "P/s@0:-5:", "P/s@0:-2147483648:"}},
        {BroRequest({{"pt", 1, 1, "a"}, {"pt", 2, 0, ""}, {f16, 1, 0, ""}}), OS_MSG_ERR_FAIL, "[2].", {"P/s@0:1:a"}},
        {BroRequest({{f16, 1, 0, ""}, {"", 1, 0, ""}, {"pt", 1, 1, "b"}}), OS_MSG_OK, "-2147352562.", {"P/s@0:1:b"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.logged);
        log.Clear();
        EXPECT_EQ(recv(c.req, c.result), c.got);
        EXPECT_EQ(log.Count(c.logged), 1U) << log.Dump();
    }
}

using EventSetup = MemBalanceTest;

TEST_F(EventSetup, TableRefusesMisuseAndLeavesNoHalfEntryWhenMemoryIsShort) {
    LogCapture quiet(OS_LOG_FATAL);
    const MsgHead first = EventHead(0, "sp", "st", 20, 0, "pp", "pt");
    EXPECT_TRUE(MsgSetBroadcastFunc(nullptr) == kBad && MsgBroadcastEvent(&first) == OS_MSG_ERR_NOT_INIT);
    EXPECT_TRUE(MsgAddSubscribe(&first) == OS_MSG_ERR_NOT_INIT && MsgDelSubscribe(&first) == OS_MSG_ERR_NOT_INIT);
    ASSERT_EQ(MsgCreateSubscribeTable(4), OS_MSG_OK);
    EXPECT_EQ(MsgCreateSubscribeTable(4), OS_MSG_ERR_REPEATED);
    MsgDestroySubscribeTable();
    const MsgHead second = EventHead(0, "sp", "st2", 20, 0, "pp", "pt");
    const uint64_t before = UsedBlocks();
    SweepAllocFailures(
        [&] {
            uint32_t ret = MsgCreateSubscribeTable(4);
            ret = ret == OS_MSG_OK ? MsgAddSubscribe(&first) : ret;
            return ret == OS_MSG_OK ? MsgAddSubscribe(&second) : ret;
        },
        [&](int n, bool failed, uint32_t result) {
            SCOPED_TRACE(n);
            const bool table = g_subscribeTable != nullptr;
            EXPECT_EQ(result, failed ? (table ? OS_MSG_ERR_NO_MEMORY : OS_MSG_ERR_HASH) : OS_MSG_OK);
            // The id is listed only with whole records: none, or the first after a failure.
            EXPECT_EQ(Subscribers(20).size(), !failed ? 2U : table && MsgSubscribeFindIdList(20) != nullptr ? 1U : 0U);
            MsgDestroySubscribeTable(); // only logs without a table
            EXPECT_EQ(UsedBlocks(), before);
        });
}

// Entries per request: 74,895 at full size, the most a message holds (count *
// 56 + 5 + 168 fits 0x400000); by default fewer, which a sanitizer on a loaded
// machine still runs in seconds.
uint32_t RequestEntries() {
    return StressScale() > 1U ? 74895U : 12000U;
}
constexpr uint32_t kLocalCpu = 0U;

// A subscriber record as the rules see it.
struct Rec {
    uint32_t subCpu;
    std::string subProc, subTask, pubProc, pubTask;
    uint32_t pubCpu;
    auto Tie() const { return std::tie(subCpu, subProc, subTask, pubProc, pubTask, pubCpu); }
    bool operator==(const Rec &o) const { return Tie() == o.Tie(); }
};

// The rules, written as plainly as possible.
class Model {
public:
    void Apply(const MsgHead &requester, const std::vector<MsgSubEntry> &entries, bool subscribe) {
        std::string subTask = Name(requester.sendTaskName);
        for (const MsgSubEntry &e : entries) {
            if (e.cpuId != kLocalCpu) {
                continue;
            }
            if (e.subTaskName[0] != '\0') {
                subTask = Name(e.subTaskName); // also for the later entries that give none
            }
            const Rec r{requester.sendCpuId,
                        Name(requester.sendProcName),
                        subTask,
                        Name(e.procName),
                        Name(e.taskName),
                        kLocalCpu};
            subscribe ? Add(e.msgId, r) : Del(e.msgId, r);
        }
    }
    const std::map<uint32_t, std::vector<Rec>> &Ids() const { return ids_; }

private:
    void Add(uint32_t msgId, const Rec &r) {
        std::vector<Rec> &list = ids_[msgId];
        auto repeat = [&](const Rec &l) { // the same subscription whatever the subscriber's CPU
            return std::tie(l.pubTask, l.subTask, l.pubProc, l.subProc, l.pubCpu) ==
                   std::tie(r.pubTask, r.subTask, r.pubProc, r.subProc, r.pubCpu);
        };
        if (list.size() < MSG_SUB_MAX_PER_ID && std::none_of(list.begin(), list.end(), repeat)) {
            list.push_back(r);
        }
    }
    void Del(uint32_t msgId, const Rec &r) {
        auto it = ids_.find(msgId);
        if (it == ids_.end() || r.subTask.empty() || r.pubTask.empty()) {
            return;
        }
        std::vector<Rec> &list = it->second;
        auto first = std::find_if(list.begin(), list.end(), [&](const Rec &l) { // the publisher's process not compared
            return std::tie(l.subCpu, l.pubCpu, l.subProc, l.subTask, l.pubTask) ==
                   std::tie(r.subCpu, r.pubCpu, r.subProc, r.subTask, r.pubTask);
        });
        if (first != list.end()) {
            list.erase(first);
        }
        if (list.empty()) {
            ids_.erase(it);
        }
    }
    std::map<uint32_t, std::vector<Rec>> ids_;
};

// Entries over many ids (most with one to three subscribers) and one id that
// gets far more subscriptions than it may keep; publisher names repeat, and
// two publisher processes share their task names.
std::vector<MsgSubEntry> Entries(std::mt19937 &rng, uint32_t count) {
    std::vector<MsgSubEntry> out(count);
    for (MsgSubEntry &e : out) {
        const bool crowded = rng() % 5U == 0U;
        e.msgId = crowded ? 1U : 100U + rng() % (RequestEntries() / 3U);
        e.cpuId = rng() % 1000U == 0U ? 7U : kLocalCpu;
        CopyName(e.procName, rng() % 2U == 0U ? "procA" : "procB");
        CopyName(e.taskName, "pub" + std::to_string(rng() % 3000U));
        const uint32_t sub = rng() % 50U;
        CopyName(e.subTaskName, sub < 3U ? "sub" + std::to_string(sub) : "");
    }
    return out;
}

void ExpectTableIs(const Model &model) {
    ASSERT_EQ(ZEM_HashSize(g_subscribeTable), model.Ids().size());
    for (const auto &[msgId, expected] : model.Ids()) { // the model keeps no empty list
        std::vector<Rec> got;
        for (const MsgHead &h : Subscribers(msgId)) {
            ASSERT_EQ(h.msgId, msgId);
            got.push_back({h.sendCpuId, Name(h.sendProcName), Name(h.sendTaskName), Name(h.recvProcName),
                           Name(h.recvTaskName), h.recvCpuId});
        }
        ASSERT_TRUE(got == expected) << "id " << msgId << ": " << got.size() << " records, " << expected.size()
                                     << " expected";
    }
}

class SubscribeBulk : public MemBalanceTest {};

TEST_F(SubscribeBulk, RequestsOfThousandsOfEntriesApplyEveryEntryByTheRules) {
    LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL); // every refused entry is logged
    const uint32_t seed = std::random_device{}();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    ASSERT_EQ(MsgCreateSubscribeTable(128U), OS_MSG_OK);
    Model model;
    MsgHead requester{};
    CopyName(requester.sendProcName, "media");
    CopyName(requester.sendTaskName, "ctl");
    requester.sendCpuId = 3U; // the subscriber's CPU: compared by unsubscription only
    // One request to the table and to the model.
    auto apply = [&](const std::vector<MsgSubEntry> &entries, bool subscribe) {
        std::vector<uint8_t> request = SubRequest(subscribe, entries);
        EXPECT_EQ(MsgRecvSubData(&requester, request.data(), static_cast<uint32_t>(request.size()), kLocalCpu),
                  OS_MSG_OK);
        model.Apply(requester, entries, subscribe);
    };

    const uint32_t size = RequestEntries();
    std::vector<MsgSubEntry> first = Entries(rng, size);
    apply(first, true);
    ASSERT_NO_FATAL_FAILURE(ExpectTableIs(model));
    EXPECT_EQ(MsgSubscribeFindIdList(1U)->subList.size, MSG_SUB_MAX_PER_ID) << "a crowded id holds all it may";

    // Unsubscribe a shuffled half of what was subscribed (as the same
    // subscribers), then entries that match only in part, after new
    // subscriptions.
    std::vector<MsgSubEntry> half(first.begin(), first.begin() + size / 2U);
    std::shuffle(half.begin(), half.end(), rng);
    for (bool subscribe : {false, true, false}) {
        apply(subscribe ? Entries(rng, size / 8U) : half, subscribe);
        half = Entries(rng, size / 8U);
    }
    ASSERT_NO_FATAL_FAILURE(ExpectTableIs(model));

    // Everything goes: each listed record, unsubscribed by its subscriber.
    std::vector<MsgSubEntry> all;
    for (const auto &[msgId, recs] : model.Ids()) {
        for (const Rec &r : recs) {
            MsgSubEntry e{};
            e.msgId = msgId;
            CopyName(e.procName, r.pubProc);
            CopyName(e.taskName, r.pubTask);
            CopyName(e.subTaskName, r.subTask);
            all.push_back(e);
        }
    }
    std::shuffle(all.begin(), all.end(), rng);
    for (size_t from = 0; from < all.size(); from += size) {
        apply({all.begin() + from, all.begin() + std::min<size_t>(all.size(), from + size)}, false);
    }
    EXPECT_TRUE(model.Ids().empty());
    EXPECT_EQ(ZEM_HashSize(g_subscribeTable), 0U);
    MsgDestroySubscribeTable();
}

} // namespace

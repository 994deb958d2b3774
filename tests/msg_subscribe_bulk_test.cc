// Subscription requests of thousands of entries (under `make stress`, the
// largest a message allows): applied entry by entry exactly as a plain model
// of the rules says (repeats, the per-id limit, the subscriber a subTaskName
// sets for later entries, the first match an unsubscription removes), with
// many ids and with a few ids holding long lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "broadcast/msg_broadcast.h"
#include "support/log_capture.h"
#include "support/mem_check.h"
#include "support/names.h"
#include "support/stress_scale.h"
#include "support/sub_request.h"
#include "vyre_os_log.h"

namespace {

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
    bool operator==(const Rec &o) const {
        return subCpu == o.subCpu && subProc == o.subProc && subTask == o.subTask && pubProc == o.pubProc &&
               pubTask == o.pubTask && pubCpu == o.pubCpu;
    }
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
            Rec r{requester.sendCpuId,
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
    // A repeat is the same subscription whatever the subscriber's CPU.
    static std::string RepeatKey(const Rec &r) {
        return r.subProc + '/' + r.subTask + '/' + r.pubProc + '/' + r.pubTask + '/' + std::to_string(r.pubCpu);
    }
    void Add(uint32_t msgId, const Rec &r) {
        std::vector<Rec> &list = ids_[msgId];
        if (list.size() < MSG_SUB_MAX_PER_ID && repeatKeys_[msgId].insert(RepeatKey(r)).second) {
            list.push_back(r);
        }
    }
    void Del(uint32_t msgId, const Rec &r) {
        auto it = ids_.find(msgId);
        if (it == ids_.end() || r.subTask.empty() || r.pubTask.empty()) {
            return;
        }
        std::vector<Rec> &list = it->second;
        for (auto l = list.begin(); l != list.end(); ++l) {
            if (l->subCpu == r.subCpu && l->pubCpu == r.pubCpu && l->subProc == r.subProc && l->subTask == r.subTask &&
                l->pubTask == r.pubTask) { // the publisher's process is not compared
                repeatKeys_[msgId].erase(RepeatKey(*l));
                list.erase(l);
                break;
            }
        }
        if (list.empty()) {
            ids_.erase(it);
            repeatKeys_.erase(msgId);
        }
    }
    std::map<uint32_t, std::vector<Rec>> ids_;
    std::unordered_map<uint32_t, std::unordered_set<std::string>> repeatKeys_;
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
    for (const auto &[msgId, expected] : model.Ids()) {
        MsgSubscribeIdList *idList = MsgSubscribeFindIdList(msgId);
        ASSERT_NE(idList, nullptr) << msgId;
        std::vector<Rec> got;
        for (ZemListNode *n = ZEM_ListIterBegin(&idList->subList); n != ZEM_ListIterEnd(&idList->subList);
             n = ZEM_ListIterNext(&idList->subList, n)) {
            const MsgHead *h = MsgSubscriberAt(n);
            ASSERT_EQ(h->msgId, msgId);
            got.push_back({h->sendCpuId, Name(h->sendProcName), Name(h->sendTaskName), Name(h->recvProcName),
                           Name(h->recvTaskName), h->recvCpuId});
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

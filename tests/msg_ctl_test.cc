// The control task of a process, asked from inside the process: what it
// answers, what it refuses, and its monitors' bounds, leases and drops.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/msg_ctl_proto.h"
#include "support/mem_check.h"
#include "support/msg_test_task.h"
#include "vyre_os_msg.h"

namespace {

constexpr char kProc[] = "ctlproc";

struct Answer {
    uint32_t code; // the call's, else the answer's result
    MsgCtlHead head;
    std::vector<uint8_t> bytes;
};

/* Sends raw as the payload of control request msgId to this process. */
Answer AskRaw(uint32_t msgId, const std::vector<uint8_t> &raw) {
    MsgHead msg = MakeHead(kProc, MSG_TASK_NAME_PMSG_CTL, msgId);
    msg.data = const_cast<uint8_t *>(raw.data());
    msg.dataLen = static_cast<uint32_t>(raw.size());
    MsgHead *resp = nullptr;
    Answer answer{OsMsgSynSend(&msg, &resp, 5000U), {}, {}};
    if (answer.code == OS_MSG_OK) {
        const uint8_t *data = static_cast<const uint8_t *>(resp->data);
        answer.bytes.assign(data, data + resp->dataLen);
        EXPECT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);
        EXPECT_TRUE(MsgCtlParse(answer.bytes.data(), static_cast<uint32_t>(answer.bytes.size()), 0U, &answer.head));
        answer.code = answer.head.result;
    }
    return answer;
}

/* A well-formed request: the head and records of recordSize bytes (the
 * first sizeof(Record) of each copied from records). */
template <typename Record>
std::vector<uint8_t> Request(const std::vector<Record> &records, uint32_t recordSize = sizeof(Record)) {
    std::vector<uint8_t> raw(sizeof(MsgCtlHead) + records.size() * recordSize, 0U);
    MsgCtlHead head = MsgCtlMakeHead(OS_MSG_OK, static_cast<uint32_t>(records.size()), recordSize, 0U);
    std::memcpy(raw.data(), &head, sizeof(head));
    for (size_t i = 0; i < records.size(); ++i) {
        std::memcpy(raw.data() + sizeof(head) + i * recordSize, &records[i], sizeof(Record));
    }
    return raw;
}

template <typename Record> std::vector<Record> Records(const Answer &answer) {
    std::vector<Record> out(answer.head.count);
    for (uint32_t i = 0; i < answer.head.count; ++i) {
        MsgCtlReadRecord(answer.bytes.data(), &answer.head, i, &out[i], sizeof(Record));
    }
    return out;
}

/* A request for the named tasks (none: every task, or no record at all). */
std::vector<uint8_t> Queries(std::vector<const char *> tasks = {}, uint32_t recordSize = sizeof(MsgCtlTaskQuery)) {
    std::vector<MsgCtlTaskQuery> queries(tasks.size());
    for (size_t i = 0; i < tasks.size(); ++i) {
        std::strncpy(queries[i].taskName, tasks[i], sizeof(queries[i].taskName) - 1U);
    }
    return Request(queries, recordSize);
}

class ControlTask : public MemBalanceTest {
protected:
    void SetUp() override {
        ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK); // the server's lasting blocks come before the balance starts
        EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
        MemBalanceTest::SetUp();
        ASSERT_EQ(OsMsgInit(kProc), OS_MSG_OK);
    }
    void TearDown() override {
        EXPECT_EQ(OsMsgUninit(), OS_MSG_OK);
        MemBalanceTest::TearDown();
    }
};

TEST_F(ControlTask, AnswersWhatItKnowsAndRefusesWhatItCannotRead) {
    TestTask echo(
        "echo", [](MsgHead *) { return 0U; }, 16U);
    ASSERT_TRUE(WaitLoopServes(kProc, "echo", 1U));
    Answer info = AskRaw(MSG_ID_CTL_INFO, Queries());
    ASSERT_EQ(info.code, OS_MSG_OK);
    std::vector<MsgCtlInfo> infos = Records<MsgCtlInfo>(info);
    ASSERT_EQ(infos.size(), 1U);
    const MsgCtlInfo &i = infos[0];
    // Four tasks: echo, the broadcast and control tasks, and the task the asking thread has for its call.
    EXPECT_EQ(
        std::make_tuple(std::string(i.procName), i.pid, i.libVersion, i.carrier, std::string(i.runDir), i.taskCount),
        std::make_tuple(std::string(kProc), static_cast<uint32_t>(getpid()), OsMsgGetVersion(),
                        uint32_t{MSG_CTL_CARRIER_LOOPBACK}, std::string(), 4U))
        << "name, pid, version, carrier, run directory, tasks";
    EXPECT_LE(i.startRealNs, i.nowRealNs);

    // One task by name, also in a record longer than this version's (a later one may add fields).
    for (uint32_t recordSize : {static_cast<uint32_t>(sizeof(MsgCtlTaskQuery)), 40U}) {
        Answer tasks = AskRaw(MSG_ID_CTL_TASKS, Queries({"echo"}, recordSize));
        ASSERT_EQ(tasks.code, OS_MSG_OK);
        std::vector<MsgCtlTask> rows = Records<MsgCtlTask>(tasks);
        ASSERT_EQ(rows.size(), 1U);
        EXPECT_EQ(std::make_tuple(std::string(rows[0].name), rows[0].queueLen, rows[0].served),
                  std::make_tuple(std::string("echo"), 16U, uint32_t{MSG_CTL_SERVED_LOOP}));
    }
    EXPECT_EQ(AskRaw(MSG_ID_CTL_TASKS, Queries({"nope"})).code, OS_MSG_ERR_NOT_FOUND);
    EXPECT_EQ(Records<MsgCtlTask>(AskRaw(MSG_ID_CTL_TASKS, Queries())).size(), 4U);

    std::vector<uint8_t> bad = Queries({"echo"});
    EXPECT_EQ(AskRaw(MSG_ID_CTL_TASKS, std::vector<uint8_t>(bad.begin(), bad.begin() + 10)).code,
              OS_MSG_ERR_INVALID_PARAM)
        << "shorter than a head";
    EXPECT_EQ(AskRaw(MSG_ID_CTL_TASKS, std::vector<uint8_t>(bad.begin(), bad.end() - 1)).code, OS_MSG_ERR_INVALID_PARAM)
        << "a record running past the end";
    bad[0] ^= 0xFFU;
    EXPECT_EQ(AskRaw(MSG_ID_CTL_TASKS, bad).code, OS_MSG_ERR_INVALID_PARAM) << "not the protocol's magic";
    EXPECT_EQ(AskRaw(MSG_ID_CTL_LAST, Queries()).code, OS_MSG_ERR_NOT_IMPLEMENTED);

    MsgHead oneWay = MakeHead(kProc, MSG_TASK_NAME_PMSG_CTL, MSG_ID_CTL_INFO);
    EXPECT_EQ(OsMsgAsynSend(&oneWay), OS_MSG_OK) << "an asynchronous message gets no answer, and breaks nothing";
    EXPECT_EQ(AskRaw(MSG_ID_CTL_INFO, Queries()).code, OS_MSG_OK);
}

// A monitor task's reports.
struct Reports {
    std::mutex lock;
    std::vector<MsgCtlEvent> events;
    std::vector<std::string> payloads;
    size_t Count() {
        std::lock_guard<std::mutex> guard(lock);
        return events.size();
    }
};

uint32_t TakeReport(MsgHead *msg, void *user) {
    auto *reports = static_cast<Reports *>(user);
    MsgCtlHead head;
    EXPECT_EQ(msg->msgId, MSG_ID_CTL_EVENT);
    EXPECT_STREQ(msg->sendTaskName, MSG_TASK_NAME_PMSG_CTL);
    EXPECT_TRUE(MsgCtlParse(msg->data, msg->dataLen, sizeof(MsgCtlEvent), &head));
    MsgCtlEvent ev;
    MsgCtlReadRecord(msg->data, &head, 0U, &ev, sizeof(ev));
    EXPECT_EQ(msg->dataLen, head.headSize + head.recordSize + ev.captured);
    std::lock_guard<std::mutex> guard(reports->lock);
    reports->events.push_back(ev);
    reports->payloads.emplace_back(static_cast<const char *>(msg->data) + head.headSize + head.recordSize, ev.captured);
    return 0U;
}

uint32_t Monitor(const std::string &task, uint32_t op, uint32_t leaseMs, uint32_t capture,
                 std::vector<uint32_t> ids = {}) {
    MsgCtlMonitorReq req{};
    std::strncpy(req.taskName, task.c_str(), sizeof(req.taskName) - 1U);
    req.op = op;
    req.leaseMs = leaseMs;
    req.captureBytes = capture;
    req.idCount = static_cast<uint32_t>(ids.size());
    std::copy(ids.begin(), ids.end(), req.ids);
    return AskRaw(MSG_ID_CTL_MONITOR, Request(std::vector<MsgCtlMonitorReq>{req})).code;
}

uint32_t Monitors() {
    return Records<MsgCtlInfo>(AskRaw(MSG_ID_CTL_INFO, Queries())).at(0).monitorCount;
}

void Publish(uint32_t msgId, const std::string &data) {
    MsgBroEntry event{"pub", msgId, static_cast<int32_t>(data.size()), const_cast<char *>(data.data())};
    ASSERT_EQ(OsMsgBroadcastEvent(&event, 1U), OS_MSG_OK);
}

TEST_F(ControlTask, MonitorsAreBoundedGetEveryEventTheyAskForAndGoWhenGoneRemovedOrExpired) {
    constexpr size_t kPlaces = MSG_CTL_MONITORS_MAX;
    Reports reports[kPlaces];
    std::vector<std::thread> loops;
    for (size_t i = 0; i < kPlaces; ++i) {
        const std::string name = "m" + std::to_string(i);
        ASSERT_EQ(OsMsgRegTaskEx(name.c_str(), 16U, TakeReport, &reports[i]), OS_MSG_OK);
        loops.emplace_back([name] { (void)OsMsgTaskRoutineByName(name.c_str()); });
    }
    // m0 takes every id and the largest capture; m1 asks for more than the
    // largest; m2 only id 101; the rest 16 bytes of every id.
    ASSERT_EQ(Monitor("m0", MSG_CTL_MONITOR_ADD, 0U, MSG_CTL_CAPTURE_MAX), OS_MSG_OK);
    ASSERT_EQ(Monitor("m1", MSG_CTL_MONITOR_ADD, 0U, 100000U), OS_MSG_OK);
    ASSERT_EQ(Monitor("m2", MSG_CTL_MONITOR_ADD, 0U, 16U, {101U}), OS_MSG_OK);
    for (size_t i = 3; i < kPlaces; ++i) {
        ASSERT_EQ(Monitor("m" + std::to_string(i), MSG_CTL_MONITOR_ADD, 0U, 16U), OS_MSG_OK);
    }
    EXPECT_EQ(Monitor("m0", MSG_CTL_MONITOR_ADD, 0U, MSG_CTL_CAPTURE_MAX), OS_MSG_OK) << "a renewal takes no place";
    EXPECT_EQ(Monitor("extra", MSG_CTL_MONITOR_ADD, 0U, 16U), OS_MSG_ERR_FULL);
    EXPECT_EQ(Monitor("", MSG_CTL_MONITOR_ADD, 0U, 16U), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(Monitors(), kPlaces);

    const std::string big(300U, 'x');
    Publish(100U, big);
    Publish(101U, "probe");
    for (size_t i = 0; i < kPlaces; ++i) {
        ASSERT_TRUE(WaitUntil([&] { return reports[i].Count() == (i == 2U ? 1U : 2U); })) << i;
        std::lock_guard<std::mutex> guard(reports[i].lock);
        const MsgCtlEvent &first = reports[i].events[0];
        EXPECT_EQ(first.msgId, i == 2U ? 101U : 100U);
        EXPECT_STREQ(first.sendTaskName, "pub");
        EXPECT_STREQ(first.sendProcName, kProc);
        EXPECT_EQ(first.sendPid, static_cast<uint32_t>(getpid()));
        if (i != 2U) {
            EXPECT_EQ(first.dataLen, 300U);
            EXPECT_EQ(reports[i].payloads[0], big.substr(0, i <= 1U ? MSG_CTL_CAPTURE_MAX : 16U));
        }
    }

    // Gone (its task unregistered), removed, expired: three places free up.
    ASSERT_EQ(OsMsgUnregTask(nullptr, 0U, "m3"), OS_MSG_OK);
    ASSERT_EQ(Monitor("m4", MSG_CTL_MONITOR_REMOVE, 0U, 0U), OS_MSG_OK);
    ASSERT_EQ(Monitor("m5", MSG_CTL_MONITOR_ADD, 1U, 16U), OS_MSG_OK); // a lease of 1 ms
    std::this_thread::sleep_for(std::chrono::milliseconds(20));        // the lease is the behaviour
    Publish(102U, "after");
    ASSERT_TRUE(WaitUntil([&] { return reports[0].Count() == 3U; }));
    EXPECT_TRUE(WaitUntil([] { return Monitors() == kPlaces - 3U; })) << Monitors();
    EXPECT_EQ(reports[4].Count(), 2U);
    EXPECT_EQ(reports[5].Count(), 2U);
    EXPECT_EQ(Monitor("extra", MSG_CTL_MONITOR_ADD, 0U, 16U), OS_MSG_OK) << "a freed place is taken again";

    for (size_t i = 0; i < kPlaces; ++i) {
        (void)OsMsgUnregTask(nullptr, 0U, ("m" + std::to_string(i)).c_str());
    }
    JoinAll(loops);
}

} // namespace

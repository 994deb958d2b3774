/*
 * The vyre-msg tool against real processes: carrier_peer processes in a run
 * directory of the test's own, and in some tests this test process too. Each
 * run of the tool is a process of its own whose output and exit code are
 * checked; every wait is bounded. Each test checks that this process gets
 * back every descriptor, thread and tracked block.
 */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "carrier/carrier_fixture.h"
#include "carrier/carrier_proto.h"
#include "support/threads.h"
#include "tool_session.h"
#include "transport/ipc_msg.h"
#include "vyre_os_msg.h"

namespace {

using carrier_test::Peer;
using nlohmann::json;

struct ToolRun {
    int code;
    std::string out;
    pid_t pid;
};

/* Runs vyre-msg with args to its end. */
ToolRun RunTool(const std::vector<std::string> &args, bool withStderr = false) {
    Peer tool(VYRE_MSG_TOOL_PATH, args, withStderr);
    ToolRun run;
    run.pid = tool.Pid();
    run.out = tool.Rest();
    run.code = tool.Wait();
    return run;
}

json Parsed(const ToolRun &run) {
    json doc = json::parse(run.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << run.out;
    return doc;
}

/* The entry named name of the array at key in a JSON answer (null when
 * none). */
json EntryIn(const json &doc, const char *key, const std::string &name) {
    const json &entries = doc.at(key);
    const auto found =
        std::find_if(entries.begin(), entries.end(), [&](const json &e) { return e.at("name") == name; });
    return found != entries.end() ? *found : json();
}

/* Runs the tool with args (--json added) until pred holds for the entry
 * named name of the array at key (the tool reads a snapshot: the receiving
 * task may still be at work), and returns that entry. */
template <typename Pred>
json EntryWhen(std::vector<std::string> args, const char *key, const std::string &name, Pred pred) {
    args.emplace_back("--json");
    json entry;
    EXPECT_TRUE(WaitUntil([&] {
        ToolRun run = RunTool(args);
        entry = run.code == 0 ? EntryIn(Parsed(run), key, name) : json();
        return !entry.is_null() && pred(entry);
    })) << entry.dump();
    return entry;
}

/* Task name of process proc in "tasks proc", once pred holds for it. */
template <typename Pred> json TaskWhen(const std::string &proc, const std::string &name, Pred pred) {
    return EntryWhen({"tasks", proc}, "tasks", name, pred);
}

/* The common carrier fixture: a run directory of the test's own for the
 * peers, the tool and this process alike, which joins as "tester" when a
 * test asks. Peers killed in a test leave their sockets behind. */
class VyreMsgTool : public carrier_test::CarrierFixture {
protected:
    void SetUp() override {
        CarrierFixture::SetUp();
        strayFiles_ = true;
    }

    Peer &Start(std::vector<std::string> args) { return StartReady(std::move(args)); }

    void Join() { ASSERT_EQ(CarrierFixture::Join("tester"), OS_MSG_OK); }
};

TEST_F(VyreMsgTool, PsListsEveryProcessWithItsPidAndAProcessThatDiedAsNotAnswering) {
    Peer &camera = Start({"echo", "camera"});
    Peer &station = Start({"pub", "station"});
    Start({"echo", "ghost"}).Kill(); // its socket stays behind

    ToolRun run = RunTool({"ps", "--json"});
    ASSERT_EQ(run.code, 0) << run.out;
    json doc = Parsed(run);
    EXPECT_EQ(doc.at("runDir"), runDir_);
    std::vector<std::string> names;
    for (const json &p : doc.at("processes")) {
        names.push_back(p.at("name"));
        if (p.at("name") == "ghost") {
            EXPECT_EQ(p.at("error").get<std::string>().rfind("OS_MSG_ERR_SERVER_NOT_RUNNING:", 0), 0U) << p.dump();
            continue;
        }
        EXPECT_EQ(p.at("pid"), p.at("name") == "camera" ? camera.Pid() : station.Pid());
        EXPECT_EQ(p.at("uid"), getuid());
        EXPECT_EQ(p.at("carrier"), "unix");
        EXPECT_EQ(p.at("tasks"), 3U) << "its task, the broadcast task and the control task";
    }
    EXPECT_EQ(names, (std::vector<std::string>{"camera", "ghost", "station"})) << "sorted, without the tool itself";

    run = RunTool({"ps"});
    ASSERT_EQ(run.code, 0);
    EXPECT_NE(run.out.find("\ncamera "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" " + std::to_string(camera.Pid()) + " "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ghost            (no answer: OS_MSG_ERR_SERVER_NOT_RUNNING"), std::string::npos) << run.out;
}

TEST_F(VyreMsgTool, TasksShowCountersThatMatchWhatThisProcessSent) {
    Start({"echo", "camera"});
    Join();
    uint8_t bytes[10] = {0};
    MsgHead head;
    for (int i = 0; i < 5; ++i) {
        carrier_proto::FillHead(&head, "tester", "camera", "echo", 77U, bytes, sizeof(bytes));
        ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
    }
    uint8_t call[3];
    carrier_proto::FillPattern(call, sizeof(call), carrier_proto::kCall);
    carrier_proto::FillHead(&head, "tester", "camera", "echo", carrier_proto::kCall, call, sizeof(call));
    MsgHead *resp = nullptr;
    ASSERT_EQ(OsMsgSynSend(&head, &resp, 5000U), OS_MSG_OK);
    ASSERT_EQ(OsMsgSynRespFree(resp), OS_MSG_OK);

    json echo = TaskWhen("camera", "echo", [](const json &t) { return t.at("handled") == 6U; });
    EXPECT_EQ(echo.at("accepted"), 6U);
    EXPECT_EQ(echo.at("refusedFull"), 0U);
    EXPECT_EQ(echo.at("refusedAccess"), 0U); // the listing carries the access counter
    EXPECT_EQ(echo.at("handledBytes"), 5U * sizeof(bytes) + sizeof(call));
    EXPECT_EQ(echo.at("queueLen"), 64U);
    EXPECT_EQ(echo.at("pending"), 0U);
    EXPECT_EQ(echo.at("served"), "loop");
    EXPECT_LE(echo.at("callbackP99Ns").get<uint64_t>(), echo.at("callbackMaxNs").get<uint64_t>());

    // The library's threads of this process carry names of their own.
    const std::string threads = ThreadList();
    for (const char *expected : {"vyre-server", "vyre-recv", "vyre-pmsgBro", "vyre-pmsgCtl"}) {
        EXPECT_NE(threads.find(std::string(" (") + expected + ") "), std::string::npos) << threads;
    }
}

/* The pool figures of process name in "ps", once pred holds for them. */
template <typename Pred> json PoolWhen(const std::string &name, Pred pred) {
    const json process =
        EntryWhen({"ps"}, "processes", name, [&](const json &p) { return p.contains("pool") && pred(p.at("pool")); });
    return process.contains("pool") ? process.at("pool") : json();
}

// The listings show who holds shared buffers: the frames a receiving task
// keeps past its callback, until it lets them go, in the sender's pool.
TEST_F(VyreMsgTool, TasksAndPsShowWhoHoldsSharedBuffers) {
    Peer &peer = Start({"frames", "camera"});
    peer.Send("hold");
    ASSERT_EQ(peer.Expect("holding"), "holding");
    Join();
    constexpr uint32_t kSize = 4096U;
    for (int i = 0; i < 2; ++i) {
        void *data = nullptr;
        ASSERT_EQ(OsMsgBufAlloc(kSize, &data), OS_MSG_OK);
        carrier_proto::FillPattern(static_cast<uint8_t *>(data), kSize, kSize);
        MsgHead head;
        carrier_proto::FillHead(&head, "tester", "camera", "frames", 200U, data, kSize);
        ASSERT_EQ(OsMsgAsynSendBuf(&head), OS_MSG_OK);
        EXPECT_EQ(peer.Expect("frame"), "frame 4096 1 1 " + std::to_string(i));
    }
    json frames = TaskWhen("camera", "frames", [](const json &t) { return t.at("buffersHeld") == 2U; });
    EXPECT_EQ(frames.at("bytesHeld"), 2U * kSize);
    EXPECT_EQ(frames.at("buffersAtPeers"), 0U);
    EXPECT_EQ(frames.at("byteLimit"), 0U);
    ToolRun run = RunTool({"tasks", "camera"});
    ASSERT_EQ(run.code, 0);
    EXPECT_NE(run.out.find("  SERVED    HELD  AT PEERS\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  loop         2         0\n"), std::string::npos) << run.out;
    json pool = PoolWhen("tester", [](const json &p) { return p.at("buffersInUse") == 2U; });
    EXPECT_EQ(pool.at("bytesInUse"), 2U * kSize);
    EXPECT_GT(pool.at("mappedBytes").get<uint64_t>(), 0U);
    EXPECT_EQ(pool.at("refusedFull"), 0U);

    peer.Send("release 0");
    EXPECT_EQ(peer.Expect("released"), "released 0");
    frames = TaskWhen("camera", "frames", [](const json &t) { return t.at("buffersHeld") == 1U; });
    EXPECT_EQ(frames.at("bytesHeld"), kSize);
    peer.Send("release 1");
    EXPECT_EQ(peer.Expect("released"), "released 0");
    PoolWhen("tester", [](const json &p) { return p.at("buffersInUse") == 0U; });
}

// A process of the library before the buffer figures answers with shorter
// task records: the tool still reads them, the figures they lack as 0, and
// refuses records shorter than that.
TEST(VyreMsgToolRecords, TaskRecordsOfTheEarlierVersionAreReadWithoutTheirBufferFigures) {
    MsgCtlTask old;
    std::memset(&old, 0xAB, sizeof(old));
    std::memcpy(old.name, "echo", 5U);
    for (uint32_t size : {(uint32_t)MSG_CTL_TASK_V2_SIZE, (uint32_t)MSG_CTL_TASK_V2_SIZE - 8U}) {
        std::vector<uint8_t> answer(sizeof(MsgCtlHead) + size);
        const MsgCtlHead head = MsgCtlMakeHead(OS_MSG_OK, 1U, size, 1U);
        std::memcpy(answer.data(), &head, sizeof(head));
        std::memcpy(answer.data() + sizeof(head), &old, size);
        std::vector<MsgCtlTask> tasks;
        const bool read = vyremsg::ReadRecords(answer, &tasks, nullptr, MSG_CTL_TASK_V2_SIZE);
        ASSERT_EQ(read, size == MSG_CTL_TASK_V2_SIZE) << size;
        if (read) {
            ASSERT_EQ(tasks.size(), 1U);
            EXPECT_STREQ(tasks[0].name, "echo");
            EXPECT_EQ(tasks[0].refusedAccess, old.refusedAccess);
            EXPECT_EQ(std::tie(tasks[0].buffersHeld, tasks[0].bytesHeld, tasks[0].byteLimit), std::tuple(0U, 0U, 0U));
        }
    }
}

TEST_F(VyreMsgTool, SendAndCallReachATaskAndPrintItsAnswer) {
    Start({"echo", "camera"});
    // The echo task answers with the sender's pid and uid as the carrier saw
    // them, the payload's length and whether it had the call's pattern.
    ToolRun run = RunTool({"call", "camera", "echo", "3", "--data", "189b1e", "--json"});
    ASSERT_EQ(run.code, 0) << run.out;
    json doc = Parsed(run);
    EXPECT_EQ(doc.at("result").get<std::string>().rfind("OS_MSG_OK:", 0), 0U);
    ASSERT_EQ(doc.at("dataLen"), sizeof(carrier_proto::Answer));
    const std::string hex = doc.at("data");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1U < hex.size(); i += 2U) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2U), nullptr, 16)));
    }
    ASSERT_EQ(bytes.size(), sizeof(carrier_proto::Answer));
    const carrier_proto::Answer answer = carrier_proto::AnswerOf(bytes);
    EXPECT_EQ(std::make_tuple(answer.pid, answer.uid, answer.len, answer.intact),
              std::make_tuple(static_cast<uint32_t>(run.pid), getuid(), 3U, 1U))
        << "pid, uid, length, intact";

    run = RunTool({"call", "camera", "echo", "0x3", "--data", "18:9b:1e"});
    ASSERT_EQ(run.code, 0) << run.out;
    EXPECT_EQ(run.out.rfind("answer from camera/echo: 16 bytes\n  000000 ", 0), 0U) << run.out;

    run = RunTool({"send", "camera", "echo", "77", "--data", "0102"});
    ASSERT_EQ(run.code, 0) << run.out;
    EXPECT_EQ(run.out, "sent to camera/echo: message 0x4d, 2 bytes\n");
    json echo = TaskWhen("camera", "echo", [](const json &t) { return t.at("handled") == 3U; });
    EXPECT_EQ(echo.at("handledBytes"), 3U + 3U + 2U);

    run = RunTool({"call", "nobody", "echo", "3"}, true);
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.out.find("call to nobody/echo: OS_MSG_ERR_SERVER_NOT_RUNNING:"), std::string::npos) << run.out;
    for (const std::vector<std::string> &wrong :
         std::vector<std::vector<std::string>>{{"call", "camera", "echo", "three"},
                                               {"call", "camera", "echo", "3", "--data", "1"},
                                               {"send", "camera", "echo"},
                                               {"send", "camera", "echo", "1", "--data", "01", "--file", "/dev/null"},
                                               {"tasks", "camera", "--bogus"}}) {
        EXPECT_EQ(RunTool(wrong, true).code, 2) << wrong.back();
    }
}

TEST_F(VyreMsgTool, MonitorPrintsEachBroadcastEventOnceAndSubsShowsWhoSubscribed) {
    Peer &station = Start({"pub", "station"});
    Peer &viewer = Start({"sub", "viewer", "station"}); // subscribed before it is ready

    // The station's broadcast task applies the request after the viewer sent it.
    json doc;
    ASSERT_TRUE(WaitUntil([&doc] {
        ToolRun subs = RunTool({"subs", "station", "--json"});
        doc = subs.code == 0 ? Parsed(subs) : json();
        return !doc.is_null() && doc.at("subscriptions").size() == 2U;
    })) << doc.dump();
    for (const json &s : doc.at("subscriptions")) {
        EXPECT_TRUE(s.at("event") == carrier_proto::kEvent || s.at("event") == carrier_proto::kProbe);
        EXPECT_EQ(s.at("publisher").at("task"), "pub");
        EXPECT_EQ(s.at("subscriber").at("process"), "viewer");
        EXPECT_EQ(s.at("subscriber").at("task"), "sub");
    }

    Peer monitor(VYRE_MSG_TOOL_PATH,
                 {"monitor", "station", "--event", "100", "--event", "101", "--count", "2", "--json"}, true);
    ASSERT_EQ(monitor.Expect("vyre-msg: monitoring").rfind("vyre-msg: monitoring", 0), 0U);
    station.Send("fire 100");
    ASSERT_EQ(station.Expect("fired"), "fired 0");
    station.Send("fire 99"); // an id the monitor did not ask for
    station.Send("fire 101");
    std::vector<json> events;
    for (std::string line = monitor.Line(); !line.empty(); line = monitor.Line()) {
        events.push_back(json::parse(line, nullptr, false));
        ASSERT_FALSE(events.back().is_discarded()) << line;
    }
    EXPECT_EQ(monitor.Wait(), 0);
    ASSERT_EQ(events.size(), 2U) << "one report per event, then the tool stops";
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].at("event"), i == 0 ? 100U : 101U);
        EXPECT_EQ(events[i].at("process"), "station");
        EXPECT_EQ(events[i].at("task"), "pub");
        EXPECT_EQ(events[i].at("pid"), station.Pid());
        EXPECT_EQ(events[i].at("dataLen"), 4U);
        EXPECT_EQ(events[i].at("data"), i == 0 ? "64000000" : "65000000");
        EXPECT_EQ(events[i].at("missed"), 0U);
    }
    EXPECT_EQ(viewer.Expect("event 100"), "event 100 4") << "the subscriber gets the event as before";

    // The tool withdrew its registration when it stopped.
    const json after = Parsed(RunTool({"ps", "--json"}));
    for (const json &p : after.at("processes")) {
        EXPECT_EQ(p.at("monitors"), 0U) << p.dump();
    }
}

TEST_F(VyreMsgTool, HzAndTopMeasureTheTrafficOfAWindow) {
    Start({"echo", "camera"});
    Join();
    // Two windows, so that a loaded machine may hand some of the messages to
    // the task only in the second: together they must count every one.
    Peer hz(VYRE_MSG_TOOL_PATH, {"hz", "camera", "echo", "--window", "1500", "--count", "2", "--json"}, true);
    ASSERT_EQ(hz.Expect("vyre-msg: measuring").rfind("vyre-msg: measuring", 0), 0U);
    uint8_t bytes[100] = {0};
    for (int i = 0; i < 20; ++i) {
        MsgHead head;
        carrier_proto::FillHead(&head, "tester", "camera", "echo", 77U, bytes, sizeof(bytes));
        ASSERT_EQ(OsMsgAsynSend(&head), OS_MSG_OK);
    }
    uint64_t messages = 0U;
    uint64_t total = 0U;
    for (int i = 0; i < 2; ++i) {
        json window = json::parse(hz.Line(), nullptr, false);
        ASSERT_FALSE(window.is_discarded());
        messages += window.at("messages").get<uint64_t>();
        total += window.at("bytes").get<uint64_t>();
        if (window.at("messages") != 0U) {
            EXPECT_DOUBLE_EQ(window.at("meanBytes").get<double>(), 100.0);
            EXPECT_GT(window.at("rateHz").get<double>(), 0.0);
        }
    }
    EXPECT_EQ(hz.Wait(), 0);
    EXPECT_EQ(messages, 20U);
    EXPECT_EQ(total, 2000U);

    ToolRun top = RunTool({"top", "--count", "2", "--interval", "100", "--json"});
    ASSERT_EQ(top.code, 0) << top.out;
    std::istringstream rounds(top.out);
    int seen = 0;
    for (std::string line; std::getline(rounds, line); ++seen) {
        json round = json::parse(line, nullptr, false);
        ASSERT_FALSE(round.is_discarded()) << line;
        EXPECT_EQ(round.at("round"), seen + 1);
        EXPECT_EQ(round.at("processes"), 2U) << "camera and this process";
        bool echoListed = false;
        for (const json &row : round.at("rows")) {
            echoListed = echoListed || (row.at("process") == "camera" && row.at("task") == "echo");
        }
        EXPECT_TRUE(echoListed) << line;
    }
    EXPECT_EQ(seen, 2);
}

TEST_F(VyreMsgTool, KeepsTheLibrarysRecordsOffUnlessTheEnvironmentAsksForThem) {
    Start({"echo", "camera"});
    ToolRun quiet = RunTool({"tasks", "camera"}, true);
    ASSERT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.out.find("[vyre_os_msg]"), std::string::npos) << quiet.out;
    EXPECT_EQ(quiet.out.find("create pmsgBro"), std::string::npos) << "the start-up line stays out of the output";

    setenv("VYRE_OS_MSG_LOG_LEVEL", "debug", 1);
    ToolRun loud = RunTool({"ps"}, true); // asks its own control task first: a push in its own process
    unsetenv("VYRE_OS_MSG_LOG_LEVEL");
    ASSERT_EQ(loud.code, 0);
    EXPECT_NE(loud.out.find("[DEBUG]"), std::string::npos) << loud.out;
    EXPECT_NE(loud.out.find("[SimpleMsgPushBuffer:"), std::string::npos) << "platform records in the library's shape";
    EXPECT_NE(loud.out.find("]SimpleMsgPushBuffer condsignal."), std::string::npos);
}

} // namespace

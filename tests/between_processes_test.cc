/*
 * What a message for another process does through the public functions
 * under the Unix-socket carrier: the other process is a carrier_peer
 * process running the echo or the subscriber task (tests/carrier/
 * peer_roles.h). What the loopback does with such a message is
 * msg_adapter_test's and msg_send_test's. Every wait is bounded; the
 * fixture checks that the process is left with the descriptors, threads and
 * tracked blocks it had.
 */
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "carrier/carrier_fixture.h"
#include "transport/ipc_carrier.h"
#include "transport/msg_rebuild.h"

namespace {

using namespace carrier_proto;
using carrier_test::Peer;
using simple_msg_test::Received;
using simple_msg_test::Record;

constexpr char kSelf[] = "ctest";

class BetweenProcesses : public carrier_test::CarrierFixture {
protected:
    void SetUp() override {
        CarrierFixture::SetUp();
        ASSERT_EQ(Join(kSelf), OS_MSG_OK);
    }

    /* Sends as an application that must not lose the message does: again
     * while the receiving task's queue is full (bounded). */
    uint32_t SendTaken(const char *proc, uint32_t msgId, const void *data, uint32_t len) {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        uint32_t ret = OS_MSG_ERR_FULL;
        for (int i = 0; i < carrier_test::kWaitMs && ret == OS_MSG_ERR_FULL; ++i) {
            ret = SendTo(proc, "echo", msgId, data, len);
            if (ret == OS_MSG_ERR_FULL) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1)); // paces the retries while it drains
            }
        }
        return ret;
    }

    /* A call to proc's "echo"; on success the response's payload is copied
     * into *resp. */
    uint32_t CallBytes(const char *proc, uint32_t msgId, const void *data, uint32_t len, std::vector<uint8_t> *resp) {
        MsgHead head = From(proc, "echo", msgId, data, len);
        MsgHead *answer = nullptr;
        uint32_t ret = OsMsgSynSend(&head, &answer, 10000U);
        if (ret == OS_MSG_OK) {
            const uint8_t *bytes = static_cast<const uint8_t *>(answer->data);
            resp->assign(bytes, bytes + answer->dataLen);
            EXPECT_EQ(OsMsgSynRespFree(answer), OS_MSG_OK);
        }
        return ret;
    }
};

// Sizes from none to the largest, past the carrier's slicing at 1 MiB; the
// receiver sees the sender's true ids, also when the header names others.
TEST_F(BetweenProcesses, AsyncMessagesArriveInOrderWithEveryByteAndTheSendersTrueIds) {
    Peer &echo = StartReady({"echo", "echo1"});
    std::vector<uint32_t> sizes = {0U, 1U, 1024U * 1024U - 1U, 1024U * 1024U + 1U, OS_MSG_MAX_DATA_LEN};
    for (uint32_t i = 1U; i < 120U; ++i) {
        sizes.push_back(i * 37U);
    }
    std::vector<uint8_t> payload(OS_MSG_MAX_DATA_LEN);
    FillPattern(payload.data(), OS_MSG_MAX_DATA_LEN, kPing);
    for (uint32_t size : sizes) {
        ASSERT_EQ(SendTaken("echo1", kPing, payload.data(), size), OS_MSG_OK) << size;
    }
    ASSERT_TRUE(inbox_.WaitFor(sizes.size()));
    std::vector<Received> got = inbox_.Items();
    ASSERT_EQ(got.size(), sizes.size());
    const uint32_t pid = (uint32_t)getpid();
    const uint32_t uid = (uint32_t)getuid();
    for (size_t i = 0U; i < sizes.size(); ++i) {
        EXPECT_EQ(AnswerOf(got[i].payload), (Answer{pid, uid, sizes[i], 1U})) << "in order, intact, at " << i;
        EXPECT_EQ(got[i].head.sendPid, (uint32_t)echo.Pid());
        EXPECT_EQ(Name(got[i].head.sendProcName), "echo1");
    }
    // Sender fields written past the library's stamping, straight into the
    // carrier: the receiver gets the kernel's ids.
    MsgHead forged = From("echo1", "echo", kPing);
    forged.sendPid = 1U;
    forged.sendUid = 4242U;
    ASSERT_EQ(IpcCarrierCurrent()->send("echo1", 1U, &forged), OS_MSG_OK);
    ASSERT_TRUE(inbox_.WaitFor(sizes.size() + 1U));
    EXPECT_EQ(AnswerOf(inbox_.Items().back().payload), (Answer{pid, uid, 0U, 1U}));
}

TEST_F(BetweenProcesses, CallsAreAnsweredWithTheLargestPayloadsBothWays) {
    StartReady({"echo", "echo2"});
    std::vector<uint8_t> request(OS_MSG_MAX_DATA_LEN);
    FillPattern(request.data(), OS_MSG_MAX_DATA_LEN, kCall);
    std::vector<uint8_t> resp;
    for (uint32_t size : {0U, 5U, OS_MSG_MAX_DATA_LEN}) {
        ASSERT_EQ(CallBytes("echo2", kCall, request.data(), size, &resp), OS_MSG_OK) << size;
        ASSERT_EQ(resp.size(), sizeof(Answer));
        EXPECT_EQ(AnswerOf(resp), (Answer{(uint32_t)getpid(), (uint32_t)getuid(), size, 1U}));
    }
    for (uint32_t size : {0U, 1U, OS_MSG_MAX_DATA_LEN}) {
        ASSERT_EQ(CallBytes("echo2", kBigCall, &size, sizeof(size), &resp), OS_MSG_OK) << size;
        EXPECT_EQ(resp.size(), size);
        EXPECT_TRUE(PatternIntact(resp.data(), (uint32_t)resp.size(), kBigCall)) << size;
    }
    std::lock_guard<std::mutex> guard(rebuildEntry->rebuildLock);
    EXPECT_EQ(rebuildEntry->nodeTotal, 0); // nothing left under reassembly
}

// The answer comes long after the time-out, so that even a loaded machine
// tells the time-out from a wait for the answer. The responder can only
// send it; this process drops it.
TEST_F(BetweenProcesses, CallTimesOutWithinBoundsAndItsLateAnswerIsDropped) {
    Peer &echo = StartReady({"echo", "echo3"});
    const uint32_t delayMs = 2000U;
    MsgHead slow = From("echo3", "echo", kSlowCall, &delayMs, sizeof(delayMs));
    MsgHead untouched{};
    MsgHead *resp = &untouched;
    EXPECT_TRUE(carrier_test::TakesBetween(std::chrono::milliseconds(100), std::chrono::milliseconds(delayMs), [&] {
        EXPECT_EQ(OsMsgSynSend(&slow, &resp, 100U), OS_MSG_ERR_SYN_TIMEOUT);
    }));
    EXPECT_EQ(resp, &untouched); // set only on success
    EXPECT_EQ(echo.Expect("late"), "late " + std::to_string(OS_MSG_OK));
    uint8_t other[9];
    FillPattern(other, sizeof(other), kCall);
    std::vector<uint8_t> answer;
    ASSERT_EQ(CallBytes("echo3", kCall, other, sizeof(other), &answer), OS_MSG_OK);
    EXPECT_EQ(AnswerOf(answer).len, sizeof(other)); // its own answer, not the late one
}

// Subscribers elsewhere, the publisher here: each event reaches each
// subscriber once (a duplicate would come before the probe sent after the
// event), and no longer once its subscription is taken back.
TEST_F(BetweenProcesses, EventsReachEachSubscriberOnceUntilItUnsubscribes) {
    ASSERT_EQ(OsMsgRegTask("pub", 16U, Record), OS_MSG_OK);
    Peer &subA = StartReady({"sub", "suba", kSelf});
    Peer &subB = StartReady({"sub", "subb", kSelf});
    for (Peer *sub : {&subA, &subB}) { // the probe shows when the subscription is in place here
        ASSERT_EQ(carrier_test::FireUntilSeen(*sub, "event " + std::to_string(kProbe),
                                              [] { EXPECT_EQ(BroadcastFromPub(kProbe), OS_MSG_OK); }),
                  "event 101 4");
    }
    ASSERT_EQ(BroadcastFromPub(kEvent), OS_MSG_OK);
    ASSERT_EQ(BroadcastFromPub(kProbe), OS_MSG_OK);
    for (Peer *sub : {&subA, &subB}) {
        EXPECT_EQ(sub->Expect("event " + std::to_string(kEvent)), "event 100 4");
        EXPECT_EQ(sub->Line(), "event 101 4");
    }
    ASSERT_EQ(subA.Ask(std::string("unsub ") + kSelf, "unsubscribed"), "unsubscribed 0");
    // The request travels apart from the broadcasts: rounds until one
    // reaches subA without the event, each round's event reaching subB once.
    bool gone = false;
    for (int round = 0; round < 100 && !gone; ++round) {
        ASSERT_EQ(BroadcastFromPub(kEvent), OS_MSG_OK);
        ASSERT_EQ(BroadcastFromPub(kProbe), OS_MSG_OK);
        EXPECT_EQ(subB.Line(), "event 100 4");
        EXPECT_EQ(subB.Line(), "event 101 4");
        std::string line = subA.Line();
        gone = line == "event 101 4";
        if (!gone) {
            ASSERT_EQ(line, "event 100 4");
            ASSERT_EQ(subA.Line(), "event 101 4");
        }
    }
    EXPECT_TRUE(gone);
}

// A task the other process does not have: an asynchronous message is lost
// there, a call is refused at once by its receiver. A process that does not
// run is reported at once, with one line naming it and the directory looked
// in.
TEST_F(BetweenProcesses, UnknownTaskOrProcessIsRefusedAtOnce) {
    StartReady({"echo", "echo5"});
    MsgHead *resp = nullptr;
    {
        LogCapture quiet(OS_LOG_FATAL, OS_MSG_LOG_FATAL);
        MsgHead lost = From("echo5", "nosuch", kPing);
        EXPECT_EQ(OsMsgAsynSend(&lost), OS_MSG_OK);
        EXPECT_EQ(OsMsgSynSend(&lost, &resp, 5000U), OS_MSG_ERR_NOT_FOUND);
    }
    MsgHead absent = From("nobody", "echo", kPing);
    {
        LogCapture log(OS_LOG_ERROR, OS_MSG_LOG_ERROR);
        EXPECT_EQ(OsMsgAsynSend(&absent), OS_MSG_ERR_SERVER_NOT_RUNNING);
        EXPECT_EQ(log.Count("process [nobody] not running (no socket in " + runDir_ + ")."), 1U) << log.Dump();
    }
    absent.msgId = kCall;
    EXPECT_EQ(OsMsgSynSend(&absent, &resp, 5000U), OS_MSG_ERR_SERVER_NOT_RUNNING);
    EXPECT_TRUE(PingAnswered("echo5")) << "the lost message brought no answer";
}

} // namespace

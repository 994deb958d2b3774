/*
 * Helpers for the transport tests: a fixture that sets the layers up as
 * process start-up does (process name "proc", in-process layer, subscription
 * table, loopback transport registered; no server) and tears them down in
 * reverse before the memory balance is checked, and a header builder.
 */
#ifndef VYRE_TRANSPORT_TEST_UTIL_H
#define VYRE_TRANSPORT_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/msg_proc_name.h"
#include "broadcast/msg_broadcast.h"
#include "simple_msg_test_util.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"

namespace transport_test {

using simple_msg_test::CopyName;
using simple_msg_test::Name;
using simple_msg_test::Received;
using simple_msg_test::WaitForLoop;

// From task sendTask of "proc" to recvTask of recvProc, CPU 0 to CPU 0,
// pointing at payload (which must outlive the header).
inline MsgHead Head(const std::string &recvProc, const std::string &recvTask, uint32_t msgId,
                    const std::string &sendTask, const std::string &payload = std::string()) {
    MsgHead head = simple_msg_test::MakeHead(recvTask, msgId, sendTask, payload);
    head.sendCpuId = 0U;
    CopyName(head.sendProcName, "proc");
    CopyName(head.recvProcName, recvProc);
    return head;
}
MsgHead Head(const std::string &, const std::string &, uint32_t, const std::string &, std::string &&) = delete;

class TransportTest : public simple_msg_test::SimpleMsgTest {
protected:
    void SetUp() override {
        ASSERT_EQ(MsgSetProcName("proc", 5), OS_MSG_OK);
        simple_msg_test::SimpleMsgTest::SetUp();
        ASSERT_EQ(MsgCreateSubscribeTable(128), OS_MSG_OK);
        PMsgRegAdpFunc();
    }
    void TearDown() override {
        MsgDestroySubscribeTable();
        simple_msg_test::SimpleMsgTest::TearDown();
        (void)MsgSetProcName("", 0);
    }
};

} // namespace transport_test

#endif // VYRE_TRANSPORT_TEST_UTIL_H

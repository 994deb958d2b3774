// The own process name store.
#include <gtest/gtest.h>

#include "core/msg_proc_name.h"

namespace {

TEST(ProcessName, StoresUpTo15CharactersAndRefusesLongerLengths) {
    ASSERT_EQ(MsgSetProcName("abcdefghijklmno", 16), OS_MSG_OK);
    EXPECT_STREQ(MsgGetProcName(), "abcdefghijklmno");
    EXPECT_EQ(MsgSetProcName("other", 17), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_EQ(MsgSetProcName(nullptr, 1), OS_MSG_ERR_INVALID_PARAM);
    EXPECT_STREQ(MsgGetProcName(), "abcdefghijklmno");
}

TEST(ProcessName, SixteenCharactersFailTheCopyAndLeaveItEmpty) {
    ASSERT_EQ(MsgSetProcName("media", 6), OS_MSG_OK);
    // The length passes the test; the copy is bounded by the field.
    EXPECT_EQ(MsgSetProcName("abcdefghijklmnop", 16), OS_MSG_ERR_FAIL);
    ASSERT_NE(MsgGetProcName(), nullptr);
    EXPECT_STREQ(MsgGetProcName(), "");
}

TEST(ProcessName, EmptyNameClearsIt) {
    ASSERT_EQ(MsgSetProcName("media", 6), OS_MSG_OK);
    EXPECT_EQ(MsgSetProcName("", 0), OS_MSG_OK);
    EXPECT_STREQ(MsgGetProcName(), "");
}

} // namespace

/* Compiled by check_header_standards.cmake as C99, C11, C++11 and C++17 with
 * every warning an error: the public header must compile alone under each.
 * With OS_MSG_EXPECT_LAYOUT_FAILURE defined, a false layout check follows,
 * and compiling must fail: the header's check really rejects a wrong size in
 * every language version, including C99, which has no static assertion. */
#include "vyre_os_msg.h"

OS_MSG_STATIC_ASSERT(VYRE_OS_MSG_VERSION >> 16 == VYRE_OS_MSG_VERSION_MAJOR, "version number holds the major");
OS_MSG_STATIC_ASSERT(OS_MSG_MAX_DATA_LEN == 0x3FFF58U, "largest payload");

#ifdef OS_MSG_EXPECT_LAYOUT_FAILURE
OS_MSG_STATIC_ASSERT(sizeof(MsgHead) == 167, "this check must fail");
#endif

static uint32_t OnMessage(MsgHead *msg) {
    return msg->dataLen;
}

OsMsgTaskFunc g_headerStandardsCallback = OnMessage;

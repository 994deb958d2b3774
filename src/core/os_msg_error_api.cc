/*
 * The public text of result codes. Keeps no state; callable from any thread
 * at any time.
 */
#include "base/msg_result_code.h"
#include "vyre_os_msg.h"

extern "C" const char *OsMsgStrError(uint32_t code) {
    return MsgCodeText(code);
}

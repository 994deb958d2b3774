/*
 * The library's version at run time: the header's version macros as they
 * were when the library was built. Stateless; callable from any thread at
 * any time.
 */
#include "vyre_os_msg.h"

extern "C" {

uint32_t OsMsgGetVersion(void) {
    return VYRE_OS_MSG_VERSION;
}

} // extern "C"

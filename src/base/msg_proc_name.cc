/*
 * The own process name store. Written during start-up and teardown only,
 * read without a lock at all other times.
 */
#define MSG_MODULE "msg_proc"

#include "base/msg_proc_name.h"

#include "vyre_securec.h"

namespace {

char g_procName[OS_MSG_NAME_LEN] = {0};

} // namespace

extern "C" {

uint32_t MsgSetProcName(const char *name, uint32_t length) {
    if (name == nullptr || length > OS_MSG_NAME_LEN) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    (void)memset_s(g_procName, sizeof(g_procName), 0, sizeof(g_procName));
    // The copy is bounded by the field alone; length only guards the call.
    if (strcpy_s(g_procName, sizeof(g_procName), name) != 0) {
        return OS_MSG_ERR_FAIL;
    }
    return OS_MSG_OK;
}

const char *MsgGetProcName(void) {
    return g_procName;
}

} // extern "C"

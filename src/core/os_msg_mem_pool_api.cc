/*
 * Public memory pool controls: they forward to the message memory pool.
 * Call them while no messages flow (before the first send, after the last).
 */
#include "simple_msg/msg_mem_pool.h"
#include "vyre_os_msg.h"

extern "C" {

uint32_t OsMsgMemPoolInit(uint32_t maxPoolSize, uint32_t chunkSize) {
    return MsgMemPoolInit(maxPoolSize, chunkSize);
}

uint32_t OsMsgMemPoolUnInit(void) {
    return MsgMemPoolDestroy();
}

} // extern "C"

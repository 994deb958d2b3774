/*
 * Message buffers: every payload copy inside the process comes from here and
 * goes back here. A buffer that fits one chunk of the message memory pool
 * comes from the pool while the pool is in use; every other buffer comes from
 * the tracked allocator. The size given back decides the route, so it must be
 * the size the buffer was obtained with.
 *
 * Thread-safe: the pool locks itself, and its in-use flag and chunk size
 * change only while no messages flow.
 */
#define MSG_MODULE "simple_msg"

#include <string.h>

#include "base/msg_alloc.h"
#include "simple_msg/msg_mem_pool.h"
#include "simple_msg/simple_msg.h"
#include "vyre_securec.h"

namespace {

bool SimpleMsgBufferFromPool(uint32_t size) {
    return MsgMemPoolInUse() != 0U && size <= MsgMemPoolChunkSize();
}

} // namespace

extern "C" {

void *SimpleMsgAllocBuffer(uint32_t size) {
    if (SimpleMsgBufferFromPool(size)) {
        return MsgMemPoolAlloc(size);
    }
    return MSG_MALLOC(size);
}

void SimpleMsgReleaseBuffer(void *buffer, uint32_t size) {
    if (buffer == nullptr) {
        return;
    }
    // The size is the buffer's own, so no bounds check is needed; the release
    // is a call into the allocator, so the zeroing is never left out.
    (void)memset(buffer, 0, size);
    if (SimpleMsgBufferFromPool(size)) {
        MsgMemPoolFree(buffer);
    } else {
        MSG_FREE(buffer);
    }
}

} // extern "C"

/*
 * Subscription requests from arbitrary bytes.
 *
 * Input: byte 0 chooses the local CPU (bit 0), the requester's CPU (bit 1)
 * and whether the requester names its task (bit 2); the remaining bytes are
 * the payload handed to MsgRecvSubData. After every request the table must
 * hold only well-formed lists: keyed by their own id, never empty, at most
 * the per-id limit, no missing record. The table is rebuilt every
 * kRunsPerTable inputs and must then have returned every tracked block.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "broadcast/msg_broadcast.h"
#include "fuzz_support.h"
#include "log/msg_log.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"

namespace {

constexpr int kRunsPerTable = 256;
int g_runs = 0;
uint64_t g_emptyBlocks = 0;

void CheckTable() {
    for (ListNode *pos = ZEM_HashIterBegin(g_subscribeTable); pos != ZEM_HashIterEnd(g_subscribeTable);
         pos = ZEM_HashIterNext(g_subscribeTable, pos)) {
        const MsgSubscribeIdList *idList = (const MsgSubscribeIdList *)MsgWordToPtr(ZEM_HashIterValue(pos));
        Require(idList != nullptr);
        Require((int32_t)ZEM_HashIterKey(pos) == (int32_t)idList->msgId);
        uint64_t size = ZEM_ListSize(&idList->subList);
        Require(size > 0 && size <= MSG_SUB_MAX_PER_ID);
        ZemList *list = (ZemList *)&idList->subList;
        for (ZemListNode *node = ZEM_ListIterBegin(list); node != ZEM_ListIterEnd(list);
             node = ZEM_ListIterNext(list, node)) {
            const MsgHead *record = MsgSubscriberAt(node);
            Require(record != nullptr && record->msgId == idList->msgId);
        }
    }
}

void RebuildTable() {
    MsgDestroySubscribeTable();
    Require(OSMemGetUsedBlocks() == g_emptyBlocks);
    Require(MsgCreateSubscribeTable(128) == OS_MSG_OK);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    SilenceLogs();
    g_emptyBlocks = OSMemGetUsedBlocks();
    Require(MsgCreateSubscribeTable(128) == OS_MSG_OK);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    MsgHead head;
    memset(&head, 0, sizeof(head));
    head.sendCpuId = (data[0] >> 1) & 1U;
    memcpy(head.sendProcName, "fuzzproc", sizeof("fuzzproc"));
    if ((data[0] & 4U) != 0) {
        memcpy(head.sendTaskName, "fuzztask", sizeof("fuzztask"));
    }
    (void)MsgRecvSubData(&head, data + 1, (uint32_t)(size - 1), data[0] & 1U);
    CheckTable();
    if (++g_runs % kRunsPerTable == 0) {
        RebuildTable();
    }
    return 0;
}

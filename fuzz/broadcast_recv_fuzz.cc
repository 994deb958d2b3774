/*
 * Broadcast requests from arbitrary bytes.
 *
 * The whole input is the payload handed to MsgRecvBroadcastData, in a buffer
 * of exactly its size. The table holds a few subscriptions to events 1-4 of
 * tasks "a" and "b" on CPU 0. The broadcast function reads every data byte
 * it is given (so a pointer past the payload is caught) and checks that the
 * data lies inside the payload, that no data comes without a pointer, and
 * that the names it is given are terminated within their fields.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "broadcast/msg_broadcast.h"
#include "fuzz_support.h"
#include "log/msg_log.h"
#include "vyre_os_log.h"

namespace {

const uint8_t *g_payload = nullptr;
size_t g_length = 0;
volatile uint8_t g_sink;

void SetName(char *field, const char *name) {
    memset(field, 0, OS_MSG_NAME_LEN);
    memcpy(field, name, strnlen(name, OS_MSG_NAME_LEN - 1));
}

bool Terminated(const char *name) {
    return strnlen(name, OS_MSG_NAME_LEN) < OS_MSG_NAME_LEN;
}

uint32_t CheckDelivery(MsgHead *head) {
    Require(Terminated(head->sendProcName) && Terminated(head->sendTaskName));
    Require(Terminated(head->recvProcName) && Terminated(head->recvTaskName));
    if (head->data == nullptr) {
        // No data: the published length is passed on and is 0 or negative.
        Require((int32_t)head->dataLen <= 0);
        return 0;
    }
    const uint8_t *data = (const uint8_t *)head->data;
    Require(head->dataLen > 0 && head->dataLen <= INT32_MAX);
    Require(data >= g_payload && (size_t)(data - g_payload) + head->dataLen <= g_length);
    uint8_t sum = 0;
    for (uint32_t i = 0; i < head->dataLen; ++i) {
        sum = (uint8_t)(sum + data[i]);
    }
    g_sink = sum;
    return 0;
}

void Subscribe(uint32_t subCpu, const char *subTask, uint32_t msgId, const char *pubTask) {
    MsgHead record = {};
    record.sendCpuId = subCpu;
    SetName(record.sendProcName, "subp");
    SetName(record.sendTaskName, subTask);
    record.msgId = msgId;
    SetName(record.recvProcName, "pubp");
    SetName(record.recvTaskName, pubTask);
    Require(MsgAddSubscribe(&record) == OS_MSG_OK);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    SilenceLogs();
    Require(MsgCreateSubscribeTable(16) == OS_MSG_OK);
    Require(MsgSetBroadcastFunc(CheckDelivery) == OS_MSG_OK);
    for (uint32_t id = 1; id <= 4; ++id) {
        Subscribe(0, "s1", id, "a");
        Subscribe(1, "s2", id, "a");
        Subscribe(0, "s3", id, "b");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > UINT32_MAX) {
        return 0;
    }
    uint8_t *payload = (uint8_t *)malloc(size == 0 ? 1 : size);
    Require(payload != nullptr);
    if (size > 0) {
        memcpy(payload, data, size);
    }
    MsgHead head;
    memset(&head, 0, sizeof(head));
    SetName(head.sendProcName, "pubp");
    SetName(head.sendTaskName, "pmsgBro");
    g_payload = payload;
    g_length = size;
    (void)MsgRecvBroadcastData(&head, payload, (uint32_t)size);
    free(payload);
    return 0;
}

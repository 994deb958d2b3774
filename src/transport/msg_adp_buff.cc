/*
 * Payload buffers by header for receiving transports. The received header is
 * untrusted: it is copied out of the caller's bytes before any field is read,
 * and its names are logged from terminated copies.
 *
 * Thread safety: stateless; callable from any thread.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/msg_adp_buff.h"

#include <string.h>

#include "base/msg_names.h"
#include "log/msg_log.h"
#include "simple_msg/simple_msg.h"

extern "C" uint32_t MsgGetBuffByHead(const MsgHead *head, uint32_t headLen, void **bufOut, uint32_t *lenOut) {
    if (head == nullptr || bufOut == nullptr || lenOut == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "MsgGetBuffByHead input invalid.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    if (headLen < MSG_ADP_MIN_HEAD_LEN) {
        OS_MSG_LOG(OS_LOG_ERROR, "headLen[%u] error.", headLen);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    MsgHead copy;
    memset(&copy, 0, sizeof(copy));
    memcpy(&copy, head, MSG_ADP_MIN_HEAD_LEN);
    const MsgNameCopy sendProc(copy.sendProcName);
    const MsgNameCopy sendTask(copy.sendTaskName);
    const MsgNameCopy recvProc(copy.recvProcName);
    const MsgNameCopy recvTask(copy.recvTaskName);
    OS_MSG_LOG(OS_LOG_DEBUG, "msgId:%d, dataLen:%d, sendProc[%s][%s], recv[%s][%s].", (int)copy.msgId,
               (int)copy.dataLen, sendProc.text, sendTask.text, recvProc.text, recvTask.text);

    *bufOut = nullptr;
    *lenOut = 0;
    if (copy.dataLen == 0 || copy.dataLen > OS_MSG_MAX_DATA_LEN) {
        return OS_MSG_OK;
    }
    void *buf = SimpleMsgAllocBuffer(copy.dataLen);
    if (buf == nullptr) {
        OS_MSG_LOG(OS_LOG_ERROR, "malloc %u error.", copy.dataLen);
        return OS_MSG_ERR_NO_MEMORY;
    }
    *bufOut = buf;
    *lenOut = copy.dataLen;
    return OS_MSG_OK;
}

extern "C" void MsgReleaseBuffByHead(const MsgHead * /*head*/, uint32_t headLen, void *buf, uint32_t len) {
    if (headLen < MSG_ADP_MIN_HEAD_LEN) {
        OS_MSG_LOG(OS_LOG_ERROR, "headLen[%u] error.", headLen);
        return;
    }
    if (buf != nullptr) {
        SimpleMsgReleaseBuffer(buf, len);
    }
}

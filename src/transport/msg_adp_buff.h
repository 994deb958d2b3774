/*
 * Payload buffers by header: how a receiving transport gets the buffer for
 * the payload announced by a received header, and how it gives that buffer
 * back when the message is not delivered. The buffers are ordinary message
 * buffers (SimpleMsgAllocBuffer / SimpleMsgReleaseBuffer), so a delivered
 * payload can travel on in a task queue and be released by the task loop.
 *
 * Thread safety: no state of their own; any thread may call them.
 *
 * Ownership: a buffer from MsgGetBuffByHead belongs to the transport until
 * MsgAdpTransact accepts the message (result 0); from then on it belongs to
 * the queue it was pushed into and the receiving task's loop releases it.
 * When the message is not delivered, the transport releases the buffer with
 * MsgReleaseBuffByHead, giving the length it received with the buffer.
 */
#ifndef VYRE_MSG_ADP_BUFF_H
#define VYRE_MSG_ADP_BUFF_H

#include <stdint.h>

#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Only the first 164 bytes of a received header are significant. */
#define MSG_ADP_MIN_HEAD_LEN 164U

/*
 * Allocates the payload buffer for the message described by head, of which
 * headLen bytes were received (only the first 164 are read; head need not be
 * aligned).
 *  - 0x80020001: head, bufOut or lenOut is NULL, or headLen < 164; nothing
 *    is stored.
 *  - dataLen 1..OS_MSG_MAX_DATA_LEN: a buffer of dataLen bytes is stored
 *    through bufOut and dataLen through lenOut; 0. No memory: NULL and 0
 *    are stored; 0x80020020.
 *  - dataLen 0 or above OS_MSG_MAX_DATA_LEN: NULL and 0 are stored; 0 (the
 *    message carries no payload buffer).
 * The caller owns a returned buffer (see the ownership rule above).
 */
OS_MSG_API uint32_t MsgGetBuffByHead(const MsgHead *head, uint32_t headLen, void **bufOut, uint32_t *lenOut);

/*
 * Releases a buffer from MsgGetBuffByHead; len must be the length it came
 * with. With headLen < 164 the call is refused (logged) and nothing is
 * released. head itself is not read. A NULL buf is ignored.
 */
OS_MSG_API void MsgReleaseBuffByHead(const MsgHead *head, uint32_t headLen, void *buf, uint32_t len);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_ADP_BUFF_H */

/*
 * Slice reassembly. A transport that carries a large payload in slices sends
 * each slice with the whole message header and a 24-byte slice tail saying
 * where the slice belongs; the receiving side collects the slices of each
 * message into one payload buffer here and then delivers the complete
 * message like any other received message.
 *
 * rebuildmsg::MsgRebuildRecvData keeps one RebuildList node per message
 * under reassembly, oldest first, and bounds the memory they hold: above
 * 100 MiB every new message evicts the oldest incomplete one, and a total of
 * 200 MiB or more is cut back to 100 MiB at once.
 *
 * Thread safety: rebuildLock guards the node sequence, the nodes and the four
 * counters. It is a leaf lock: nothing else is locked while it is held and no
 * callback runs under it. The public entry points (RebuildMsg, RebuildMsgEx,
 * FillMsgBody, DelRebuildNodeEx, the destructor) hold it for their whole run,
 * buffer releases and balancing included; the members marked "lock held"
 * expect the caller to hold it and never take it themselves. Receive threads
 * may call the entry points concurrently, with the limit stated at
 * RebuildMsg for the one-step protocol.
 *
 * Everything received (header, tail, slice bytes and the arguments derived
 * from them) is untrusted: no input makes the collector read or write
 * outside a payload buffer, and it never hands out an offset and length
 * that do not fit in the buffer it hands out.
 */
#ifndef VYRE_MSG_REBUILD_H
#define VYRE_MSG_REBUILD_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "transport/msg_rebuild_allocator.h"
#include "vyre_os_msg.h"

/*
 * The slice tail: 24 bytes after each slice on the wire, little-endian (the
 * host order of every platform this library runs on).
 *
 *   offset  width  field
 *        0      1  isSplit   non-zero: the message is carried in slices
 *        1      3  reserved  not read
 *        4      4  offset    byte offset of this slice in the whole payload
 *        8      4  curLen    length of this slice in bytes
 *       12      4  reserved  not read
 *       16      8  flag      message key: the same for all slices of one
 *                            message, distinct between messages in flight
 *
 * The header sent with each slice is the message's own, with dataLen the
 * length of the whole payload (at most OS_MSG_MAX_DATA_LEN).
 */
typedef struct MsgSliceTail {
    uint8_t isSplit;
    uint8_t reserved0[3];
    uint32_t offset;
    uint32_t curLen;
    uint32_t reserved1;
    uint64_t flag;
} MsgSliceTail;

static_assert(sizeof(MsgSliceTail) == 24, "MsgSliceTail is 24 bytes");
static_assert(offsetof(MsgSliceTail, offset) == 4, "MsgSliceTail.offset offset");
static_assert(offsetof(MsgSliceTail, curLen) == 8, "MsgSliceTail.curLen offset");
static_assert(offsetof(MsgSliceTail, flag) == 16, "MsgSliceTail.flag offset");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the slice tail is read in host byte order");
static_assert(sizeof(unsigned long) == sizeof(uint64_t), "message keys are carried in unsigned long");

extern "C" {

/* isSplit (byte 0) of a received tail of tailLen bytes. A tailLen other than
 * 24 (logged) or a NULL tail (logged) gives 0: not sliced. */
OS_MSG_API uint32_t MsgAdpCheckIsSlice(const unsigned char *tail, uint32_t tailLen);

/* Copies flag, offset and curLen out of a 24-byte tail (which need not be
 * aligned). 0x80020001 (logged, nothing stored) when any pointer is NULL. */
OS_MSG_API uint32_t MsgGetRebuildInfo(const MsgSliceTail *tail, uint64_t *flag, uint32_t *offset, uint32_t *curLen);

} // extern "C"

namespace rebuildmsg {

/* One message under reassembly. Zero-filled on construction. */
class OS_MSG_API RebuildList {
public:
    RebuildList();
    ~RebuildList(); // NOLINT(performance-trivially-destructible): defined out of line, callers link against it

    unsigned long flag;    // message key
    unsigned char *buf;    // payload buffer of dataLen bytes, owned by the node
    unsigned int dataLen;  // length of the whole payload
    unsigned int offset;   // offset of the slice accepted last
    unsigned int curLen;   // length of the slice accepted last
    unsigned int totalLen; // bytes accepted so far; the only offset accepted next
};

class OS_MSG_API MsgRebuildRecvData {
public:
    MsgRebuildRecvData();
    /* Destroys the nodes without releasing their payload buffers: a caller
     * that still holds incomplete messages releases their buffers (through
     * rebuildNodes) before destroying the collector. */
    ~MsgRebuildRecvData();
    MsgRebuildRecvData(const MsgRebuildRecvData &) = delete;
    MsgRebuildRecvData &operator=(const MsgRebuildRecvData &) = delete;

    /*
     * One-step reassembly: records one slice; the caller copies it.
     *
     * head/headLen: the received header (read only when the slice starts a
     * new message); tail: the received 24-byte tail. A slice of a new
     * message obtains a payload buffer of the header's dataLen bytes
     * (MsgGetBuffByHead) and a node. The slice is accepted only at the
     * node's current end (offset == bytes accepted so far, so the first
     * slice is at 0) and only when it fits: offset + curLen <= dataLen,
     * computed without overflow.
     *
     * 0: the slice was accepted. *buf / *bufLen are the message's payload
     * buffer and its length, *offsetOut / *curLenOut the slice's place in it;
     * these four are stored only now, after the order and bounds checks, so
     * offset + curLen <= *bufLen always holds. The caller copies curLen bytes
     * of the slice to *buf + offset. *done is 1 when that copy completes the
     * payload: the node is gone, the buffer belongs to the caller, who
     * delivers the message or releases the buffer (MsgReleaseBuffByHead with
     * *bufLen). While *done is 0 the buffer still belongs to the collector.
     *
     * Failures leave offsetOut and curLenOut alone and, once the arguments
     * are valid, store 0 through done, NULL through buf and 0 through bufLen:
     *  - 0x80020001: a NULL argument or tail; no buffer or no payload for a
     *    new message; the slice out of order or past the end, which drops the
     *    whole message (node removed, buffer released).
     *  - 0x80020020: no memory for the node or the node sequence (the new
     *    message's buffer is released), or the new message was evicted at
     *    once by memory balancing (possible only when memoryTotal was raised
     *    by hand).
     *
     * Concurrency: the caller's copy runs without the lock. While *done is
     * 0 the buffer stays valid until the next slice of the same message, or
     * until a new message on another thread evicts this one; callers feeding
     * one collector from several threads finish the copy before another
     * thread may start a message, or use the two-step protocol, whose copy
     * runs under the lock.
     */
    unsigned int RebuildMsg(unsigned char *head, unsigned int headLen, unsigned char *tail, unsigned char **buf,
                            unsigned int *bufLen, unsigned char *done, unsigned int *offsetOut,
                            unsigned int *curLenOut);

    /*
     * Two-step reassembly, first step: finds or creates the message's node
     * (as RebuildMsg does) and checks that the slice lies within the payload
     * (offset + curLen <= dataLen without overflow); the order is checked by
     * FillMsgBody. No slice is accepted here.
     *
     * 0: *buf / *bufLen are the payload buffer and its length, *offsetOut /
     * *curLenOut the slice's offset and length; the buffer remains the
     * collector's until FillMsgBody reports completion.
     * Failures leave offsetOut and curLenOut alone and, once the arguments
     * are valid, store NULL through buf and 0 through bufLen:
     *  - 0x80020001: a NULL argument or tail; no payload announced; slice
     *    bounds invalid (the message is dropped, its buffer released).
     *  - the code of MsgGetBuffByHead when it fails for a new message.
     *  - 0x80020020: no memory for the node or the sequence (the buffer is
     *    released), or the new message was evicted at once by balancing.
     */
    unsigned int RebuildMsgEx(unsigned char *head, unsigned int headLen, unsigned char *tail, unsigned char **buf,
                              unsigned int *bufLen, unsigned int *offsetOut, unsigned int *curLenOut);

    /*
     * Two-step reassembly, second step: accepts the slice of curLen bytes at
     * offset for the message flag (order and bounds as in RebuildMsg) and
     * copies srcLen bytes from src into the payload at offset, within
     * destMax bytes and never past the payload's end. Negative values of the
     * int arguments are refused: offset and curLen by the order and bounds
     * checks, destMax and srcLen by the copy. srcLen 0 copies nothing; src
     * must hold srcLen bytes (the caller's own buffer, not checked here).
     *
     * 0: the slice is in; *done is 1 when it completed the payload, which
     * then belongs to the caller (the buffer RebuildMsgEx returned).
     * Failures store 0 through done unless stated:
     *  - 0x80020001: done is NULL; no message under reassembly has this
     *    flag; slice out of order or past the end (the message is dropped,
     *    its buffer released).
     *  - 0x8002000e: the copy failed; the message is dropped and its buffer
     *    released even when 1 was stored through done.
     */
    unsigned int FillMsgBody(unsigned long flag, int offset, int destMax, unsigned char *src, int srcLen, int curLen,
                             unsigned char *done);

    /* (lock held) The oldest node with this flag, or NULL. */
    RebuildList *GetRebuildNode(unsigned long flag);
    /* (lock held) Accepts a slice: 0 when offset equals the node's totalLen
     * and totalLen + curLen <= dataLen, else 0x80020001 (logged) and the
     * node is unchanged. A NULL node gives 0x80020001. */
    unsigned int SetRebuildNode(RebuildList *node, unsigned int offset, unsigned int curLen);
    /* (lock held) Initialises a new node with its key and payload buffer. */
    void SetRebuildNodeFirst(RebuildList *node, unsigned long flag, unsigned char *buf, unsigned int dataLen);
    /* (lock held) Removes and destroys the node of flag, if any; its payload
     * buffer is not released. */
    void DelRebuildNode(unsigned long flag);
    /* As DelRebuildNode, taking the lock. */
    void DelRebuildNodeEx(unsigned long flag);
    /* (lock held) Memory balancing, run after each new node: above 100 MiB
     * the oldest node is evicted; at 200 MiB or more the oldest nodes are
     * evicted until at most 100 MiB remain. Evicted buffers are released. */
    void blanceRebuildNode();

    std::mutex rebuildLock;                                                   // guards every field below; a leaf lock
    std::vector<RebuildList *, TrackedAllocator<RebuildList *>> rebuildNodes; // oldest first
    int64_t memoryTotal;                                                      // sum of dataLen over rebuildNodes
    int32_t nodeTotal;                                                        // number of nodes in rebuildNodes
    uint32_t memMaxCnt;     // balancing runs that found more than 100 MiB
    uint32_t memExtremeCnt; // balancing runs that found 200 MiB or more
};

} // namespace rebuildmsg

#endif // VYRE_MSG_REBUILD_H

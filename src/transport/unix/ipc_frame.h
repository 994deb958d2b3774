/*
 * Datagram framing of the socket carrier: how messages, slices of messages
 * and control records are laid out in one datagram, and the receive
 * handling that takes a received datagram apart record by record.
 *
 * A datagram holds one or more records back to back. A message record is
 *
 *   offset  width  field
 *        0      1  magic       IPC_FRAME_MAGIC
 *        1      1  transType   transport message type, 1 to 4
 *        2      1  flags       IPC_FRAME_SLICED or 0
 *        3      1  reserved    0
 *        4      4  bodyLen     payload bytes in this record
 *        8    168  the message header (its data word is never used)
 *      176  bodyLen  payload bytes: the whole payload, or one slice of it
 *        +     24  a slice tail (MsgSliceTail), sliced records only
 *
 * An unsliced record carries the whole payload (bodyLen equals the header's
 * dataLen). A payload larger than a datagram takes travels as sliced
 * records, one per datagram, in order, each with the message's header; the
 * process-wide slice collector puts them together, keyed by the connection
 * they came on and the sender's key. Several unsliced records for the same
 * peer share a datagram when they are sent together. All records of a
 * datagram come from the one sending process whose kernel-verified
 * credentials arrive with it.
 *
 * A control record carries flow control between the two ends of a
 * connection instead of a message:
 *
 *   offset  width  field
 *        0      1  magic       IPC_FRAME_MAGIC
 *        1      1  IPC_FRAME_CONTROL
 *        2      1  kind        IPC_CONTROL_* below
 *        3      1  reserved    0
 *        4      4  bodyLen     IPC_FRAME_CONTROL_LEN
 *        8     40  the body, an IpcFrameControl
 *
 * Kinds: "task T is full", "task T has room" and "the request msgId of
 * task R, sent to task T, is refused with code C" travel from a receiver to
 * the process that sends it messages, on the connection those came on;
 * "drop the message with key K" travels the other way, from a sender that
 * gave up on a message in slices. A record of any kind not listed is
 * malformed, and so is a refusal whose code is not one of the library's
 * error codes.
 *
 * Shared buffers and descriptors travel in records of their own, laid out
 * in ipc_cargo_frame.h: share records (IPC_FRAME_SHARE) and message records
 * flagged IPC_FRAME_CARGO. The framing hands them to the sink's cargo step
 * together with the descriptors their datagram brought; a sink without one
 * takes them for malformed.
 *
 * Thread safety: the functions keep no state of their own; the receive
 * handling runs on the receive thread and uses the collector's lock and,
 * through the sink, the queue locks of the in-process layer.
 */
#ifndef VYRE_IPC_FRAME_H
#define VYRE_IPC_FRAME_H

#include <stdint.h>

#include "vyre_os_msg.h"

namespace rebuildmsg {
class MsgRebuildRecvData;
}

#define IPC_FRAME_MAGIC 0x76U
#define IPC_FRAME_SLICED 0x01U
#define IPC_FRAME_PREFIX_LEN 8U
#define IPC_FRAME_HEAD_LEN 168U
#define IPC_FRAME_TAIL_LEN 24U
/* Bytes of a record besides its payload (prefix and header). */
#define IPC_FRAME_RECORD_OVERHEAD (IPC_FRAME_PREFIX_LEN + IPC_FRAME_HEAD_LEN)
/* Largest payload in one record; larger payloads are sliced. */
#define IPC_FRAME_SLICE_MAX (1024U * 1024U)
/* Largest datagram a sender produces and a receiver accepts. */
#define IPC_FRAME_DATAGRAM_MAX (IPC_FRAME_RECORD_OVERHEAD + IPC_FRAME_SLICE_MAX + IPC_FRAME_TAIL_LEN)

typedef struct IpcFramePrefix {
    uint8_t magic;
    uint8_t transType;
    uint8_t flags;
    uint8_t reserved;
    uint32_t bodyLen;
} IpcFramePrefix;

static_assert(sizeof(IpcFramePrefix) == IPC_FRAME_PREFIX_LEN, "the record prefix is 8 bytes");

/* Fills a record prefix. */
void IpcFrameSetPrefix(IpcFramePrefix *prefix, uint32_t transType, uint32_t flags, uint32_t bodyLen);

/* A share record's transType, and the flag of a message record that
 * carries a shared buffer or descriptors (ipc_cargo_frame.h). */
#define IPC_FRAME_SHARE 0x11U
#define IPC_FRAME_CARGO 0x02U

/* True when the record at data (remain bytes left) is one for the sink's
 * cargo step: a share record or a message record flagged IPC_FRAME_CARGO. */
bool IpcFrameIsCargo(const uint8_t *data, uint32_t remain);

/* The descriptors a datagram brought, claimed by its records in order: a
 * claimed one is set to -1, and whoever received the datagram closes those
 * left when it has been handled. */
typedef struct IpcFrameFds {
    int *fds;
    uint32_t count;
    uint32_t next; /* the first not claimed */
} IpcFrameFds;

/* Control records. */
#define IPC_FRAME_CONTROL 0x10U
#define IPC_CONTROL_TASK_FULL 1U /* receiver to sender: task's queue refused a message */
#define IPC_CONTROL_TASK_ROOM 2U /* receiver to sender: task takes messages again */
#define IPC_CONTROL_ABORT 3U     /* sender to receiver: drop the message in slices with key arg */
#define IPC_CONTROL_REFUSED 4U   /* receiver to sender: the request msgId of requester is refused with arg */
#define IPC_CONTROL_KIND_MAX IPC_CONTROL_REFUSED
#define IPC_FRAME_CONTROL_LEN 40U
/* Bytes of a whole control record. */
#define IPC_FRAME_CONTROL_RECORD (IPC_FRAME_PREFIX_LEN + IPC_FRAME_CONTROL_LEN)

typedef struct IpcFrameControl {
    char task[OS_MSG_NAME_LEN];      /* the receiving task it is about (a 16-byte field) */
    char requester[OS_MSG_NAME_LEN]; /* a refused request's requesting task; zero otherwise */
    uint32_t arg;                    /* ABORT: the message key; a refusal: its code; else 0 */
    uint32_t msgId;                  /* a refused request's msgId; else 0 */
} IpcFrameControl;

static_assert(sizeof(IpcFrameControl) == IPC_FRAME_CONTROL_LEN, "the control body is 40 bytes");

/* A whole control record of kind for task (a 16-byte field, NULL for none)
 * with arg, in out (IPC_FRAME_CONTROL_RECORD bytes). */
void IpcFrameSetControl(uint8_t *out, uint32_t kind, const char *task, uint32_t arg);

/* A whole IPC_CONTROL_REFUSED record for the request head (as received) with
 * code, in out (IPC_FRAME_CONTROL_RECORD bytes): task is its recvTaskName,
 * requester its sendTaskName, msgId its msgId. */
void IpcFrameSetRefusal(uint8_t *out, const MsgHead *head, uint32_t code);

/*
 * Where the receive handling hands what it took from a datagram. message
 * gets each complete message (a whole record, or the slice that completed
 * one) with its payload buffer (from MsgGetBuffByHead, bufLen bytes; NULL
 * and 0 for none); head is the record's header as received (data cleared);
 * refusal is 0, or the code with which the receive entry refused the
 * message already (a run's). It returns true when it took the message (buf
 * belongs to it from then on); false, only when canStop is set, when the
 * handling is to stop before this record, which the caller keeps with the
 * rest of the datagram to hand over again later (buf is released). control
 * gets each control record. pid and uid are the kernel's credentials of the
 * datagram; link keys the messages under reassembly (a connection's own
 * number), so senders cannot complete or spoil each other's messages. While
 * direct is set, runs of whole asynchronous records go straight to their
 * queues (MsgAdpTransactBatch) and only the records a queue refuses reach
 * message; the sink clears it while it holds messages back, and sets it only
 * for a sender all of whose messages it accepts. A run takes only records
 * addressed to process addressee (a zero-padded 16-byte name field; NULL
 * for any) on CPU cpuId, so that message sees every other one.
 */
typedef struct IpcFrameSink {
    bool (*message)(struct IpcFrameSink *sink, int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen,
                    uint32_t refusal, bool canStop);
    void (*control)(struct IpcFrameSink *sink, const IpcFrameControl *control, uint32_t kind);
    /* Takes the record at data (remain bytes left), one IpcFrameIsCargo
     * accepts: its length, or 0 when it is malformed (*why says how; the
     * datagram's handling stops). NULL: every such record is malformed. */
    uint32_t (*cargo)(struct IpcFrameSink *sink, const uint8_t *data, uint32_t remain, const char **why);
    uint32_t pid;
    uint32_t uid;
    uint32_t link;
    bool direct;
    const char *addressee;
    uint32_t cpuId;
    void *owner;              /* the sink's own state */
    IpcFrameFds *fds;         /* the datagram's descriptors, NULL when it brought none */
    struct MsgCargo *offered; /* while the cargo step offers message a message with cargo: the cargo, which
                               * message takes with buf (and clears) in every case; else NULL */
    uint32_t *badLines;       /* lines its bad records got so far (a connection's), NULL: no bound */
} IpcFrameSink;

/* Logs "bad WHAT from pid PID: WHY." for sink's sender (what: "datagram" or
 * "post"), within its bound of MSG_TUNE_RECV_BAD_LINES lines; the line
 * past it says that further ones go without a line. */
void IpcFrameLogBad(IpcFrameSink *sink, const char *what, const char *why);

/* A sink that hands every message to the receive entry (MsgAdpTransact with
 * pid and uid) and drops, releasing its buffer, what is refused; control
 * records are ignored, and it has no cargo step. */
void IpcFrameSinkDeliver(IpcFrameSink *sink, uint32_t pid, uint32_t uid, uint32_t link);

/* The receive entry for one message, as the delivering sink does it: the
 * receive entry's code; buf is released when the message is refused, except
 * for a full queue (0x80020007) when keep is set (the caller keeps it). */
uint32_t IpcFrameDeliver(int32_t transType, const MsgHead *head, void *buf, uint32_t bufLen, uint32_t pid, uint32_t uid,
                         bool keep);

/*
 * Takes one received datagram (len bytes at data, untrusted) apart and hands
 * its messages and control records to sink, in order. A record that is
 * short, has a bad prefix, lengths that disagree with its header, a bad
 * slice tail or a bad control body stops the handling of the datagram with
 * one ERROR line ("bad datagram from pid %u: %s."); records before it stay
 * handled. Nothing is read outside the datagram. Returns the bytes handled:
 * len, or the offset of the whole record before which the sink stopped (the
 * caller keeps the rest and hands it over again later).
 */
uint32_t IpcFrameRecvDatagram(rebuildmsg::MsgRebuildRecvData *collector, const uint8_t *data, uint32_t len,
                              IpcFrameSink *sink);

/* Checks the first IPC_FRAME_RECORD_OVERHEAD bytes (at start) of a datagram
 * of len bytes: true when it is one unsliced message record whose payload
 * may be received straight into a payload buffer; *prefix and *head (data
 * cleared) are then filled. */
bool IpcFrameWholeInPlace(const uint8_t *start, uint32_t len, IpcFramePrefix *prefix, MsgHead *head);

/* Hands sink a whole message whose payload was received into buf (from
 * MsgGetBuffByHead, bufLen bytes; NULL and 0 for none), as
 * IpcFrameRecvDatagram hands a record. */
void IpcFrameRecvInPlace(const IpcFramePrefix *prefix, const MsgHead *head, void *buf, uint32_t bufLen,
                         IpcFrameSink *sink);

/* Drops, releasing their payload buffers, the messages under reassembly that
 * came on connection link (it closed mid-message); with nothing left under
 * reassembly the collector's node array is given back too. */
void IpcFrameDropPartials(rebuildmsg::MsgRebuildRecvData *collector, uint32_t link);

/* Drops the message under reassembly with key on connection link, if any
 * (its sender gave it up). */
void IpcFrameDropPartial(rebuildmsg::MsgRebuildRecvData *collector, uint32_t link, uint32_t key);

/* Drops every message under reassembly and gives the collector's node array
 * back (the carrier closes: no sender can finish them). */
void IpcFrameDropAllPartials(rebuildmsg::MsgRebuildRecvData *collector);

#endif /* VYRE_IPC_FRAME_H */

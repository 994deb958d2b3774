/*
 * The control protocol: what the control task "pmsgCtl" of every process
 * answers, and what it reports to monitors. The vyre-msg tool speaks it;
 * so may any program.
 *
 * Requests are ordinary synchronous messages to task MSG_TASK_NAME_PMSG_CTL
 * of a process, with one of the message ids below (within
 * MSG_ID_CTL_FIRST..MSG_ID_CTL_LAST of the public header); they pass every
 * check an application's message passes, the access policy of the receiving
 * process included. Every payload, request and answer, begins with a
 * MsgCtlHead and carries `count` records of `recordSize` bytes after
 * `headSize` bytes. Numbers are in the byte order of the machine, as in
 * MsgHead; names are 16-byte fields as in MsgHead.
 *
 * Versions. A writer sets `version` to its MSG_CTL_VERSION and `headSize`
 * and `recordSize` to the sizes it writes. A later version only adds: new
 * requests, new fields at the end of the head or of a record. A reader takes
 * a payload whose magic matches, whose version is at least 1 and whose sizes
 * are at least those it knows, reads the fields it knows and skips the rest;
 * it refuses anything else. A reader may also take the shorter records of an
 * earlier version, reading the fields they lack as 0 (the vyre-msg tool
 * takes the task records and process descriptions of version 2 so).
 *
 * Requests and answers:
 *
 *   MSG_ID_CTL_INFO     request: the head alone. Answer: one MsgCtlInfo.
 *   MSG_ID_CTL_TASKS    request: the head, optionally one MsgCtlTaskQuery
 *                       (one task by name). Answer: one MsgCtlTask per task
 *                       in the task table's order; `total` is the number of
 *                       tasks, of which at most MSG_CTL_ROWS_MAX are sent.
 *   MSG_ID_CTL_SUBS     request: the head alone. Answer: one MsgCtlSub per
 *                       subscription the process's table holds, at most
 *                       MSG_CTL_ROWS_MAX (`total` says how many there are).
 *   MSG_ID_CTL_MONITOR  request: the head and one MsgCtlMonitorReq. Answer:
 *                       the head alone, its result saying whether the
 *                       monitor is registered.
 *   MSG_ID_CTL_EVENT    not a request: sent asynchronously by a process to
 *                       each monitor registered with it, for each event the
 *                       process fans out (published by one of its tasks):
 *                       the head, one MsgCtlEvent, then `captured` bytes of
 *                       the event's payload.
 *
 * An answer's `result` is OS_MSG_OK, or the code that refused the request
 * (OS_MSG_ERR_INVALID_PARAM for a malformed one, OS_MSG_ERR_NOT_IMPLEMENTED
 * for an id this version does not know, OS_MSG_ERR_FULL when every monitor
 * place is taken); a refused request's answer has no records.
 *
 * Monitors. A monitor is a task of some process that registers with the
 * publishing process: while registered it receives a MSG_ID_CTL_EVENT report
 * for each event the process fans out whose id it asked for (all ids when it
 * named none). At most MSG_CTL_MONITORS_MAX monitors per process; each
 * report copies at most MSG_CTL_CAPTURE_MAX payload bytes. A registration
 * lasts its lease: the monitor renews it by registering again, and is
 * dropped when the lease runs out, when it unregisters (op 0), or as soon as
 * a report finds its process or task gone. A report its queue refuses is
 * counted in the next report's `missed`.
 */
#ifndef VYRE_MSG_CTL_PROTO_H
#define VYRE_MSG_CTL_PROTO_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "vyre_os_msg.h"

#define MSG_CTL_MAGIC 0x4C54434DU /* "MCTL" in a little-endian dump */
#define MSG_CTL_VERSION 3U /* 2: MsgCtlTask.refusedAccess; 3: its byte and shared buffer figures, MsgCtlInfo's pool */

#define MSG_ID_CTL_INFO (MSG_ID_CTL_FIRST + 0U)
#define MSG_ID_CTL_TASKS (MSG_ID_CTL_FIRST + 1U)
#define MSG_ID_CTL_SUBS (MSG_ID_CTL_FIRST + 2U)
#define MSG_ID_CTL_MONITOR (MSG_ID_CTL_FIRST + 3U)
#define MSG_ID_CTL_EVENT (MSG_ID_CTL_FIRST + 4U)

/* Rows an answer carries at most (a listing of 80-byte rows stays near 1 MiB). */
#define MSG_CTL_ROWS_MAX 16384U
/* Monitors one process keeps at most. */
#define MSG_CTL_MONITORS_MAX 8U
/* Event ids a monitor may name. */
#define MSG_CTL_MONITOR_IDS 16U
/* Payload bytes a report copies at most, and by default. */
#define MSG_CTL_CAPTURE_MAX 256U
#define MSG_CTL_CAPTURE_DEFAULT 64U
/* A monitor's lease: by default, and at most. */
#define MSG_CTL_LEASE_DEFAULT_MS 10000U
#define MSG_CTL_LEASE_MAX_MS 60000U

typedef struct MsgCtlHead {
    uint32_t magic;      /* MSG_CTL_MAGIC */
    uint16_t version;    /* the writer's MSG_CTL_VERSION */
    uint16_t headSize;   /* bytes of this head as written: the records start here */
    uint32_t result;     /* answers: OS_MSG_OK or why the request was refused; requests: 0 */
    uint32_t count;      /* records that follow */
    uint32_t recordSize; /* bytes of each record as written */
    uint32_t total;      /* answers: records there were (more than count when they did not all fit) */
} MsgCtlHead;

/* How the process reaches other processes. */
#define MSG_CTL_CARRIER_LOOPBACK 0U /* it does not: messages for others come back to it */
#define MSG_CTL_CARRIER_UNIX 1U     /* Unix sockets in its run directory */

/* Bytes of a run directory path, with its terminator. */
#define MSG_CTL_PATH_SIZE 112U

typedef struct MsgCtlInfo {
    char procName[OS_MSG_NAME_LEN];
    uint32_t pid;
    uint32_t uid;
    uint64_t startRealNs;           /* when OsMsgInit finished, nanoseconds since 1970 (UTC) */
    uint64_t nowRealNs;             /* when the answer was made, on the same clock */
    uint32_t libVersion;            /* OsMsgGetVersion() of the answering library */
    uint32_t carrier;               /* MSG_CTL_CARRIER_* */
    uint32_t taskCount;             /* tasks registered */
    uint32_t monitorCount;          /* monitors registered with it */
    uint32_t cpuId;                 /* its CPU id */
    uint32_t reserved;              /* 0 */
    char runDir[MSG_CTL_PATH_SIZE]; /* the carrier's run directory; empty for the loopback */
    /* Version 3: its pool of shared buffers (as OsMsgBufPoolStats). */
    uint64_t poolMappedBytes; /* segments mapped now */
    uint64_t poolLimitBytes;  /* the most that may be mapped */
    uint64_t poolBytesInUse;  /* sizes of the buffers in use */
    uint64_t poolRefusedFull; /* allocations refused because the pool was at its limit */
    uint32_t poolSegments;    /* segments mapped */
    uint32_t poolBuffersInUse;
} MsgCtlInfo;

/* Bytes of the process description before version 3, which a reader may
 * still take. */
#define MSG_CTL_INFO_V2_SIZE 176U

typedef struct MsgCtlTaskQuery {
    char taskName[OS_MSG_NAME_LEN]; /* the one task to list */
} MsgCtlTaskQuery;

/* How a task is served. */
#define MSG_CTL_SERVED_NONE 0U /* no thread serves it: its queue only fills */
#define MSG_CTL_SERVED_LOOP 1U /* a thread runs its loop */
#define MSG_CTL_SERVED_FD 2U   /* an application's poll loop serves it through its descriptor */
#define MSG_CTL_SERVED_RECV 3U /* the carrier's receive thread serves it */

typedef struct MsgCtlTask {
    char name[OS_MSG_NAME_LEN];
    uint32_t queueLen;      /* capacity in messages */
    uint32_t pending;       /* messages queued now */
    uint32_t highWater;     /* most messages ever queued at once */
    uint32_t served;        /* MSG_CTL_SERVED_* */
    uint64_t accepted;      /* messages taken into the queue */
    uint64_t refusedFull;   /* sends refused with OS_MSG_ERR_FULL */
    uint64_t handled;       /* messages passed to the callback (or dropped without one) */
    uint64_t handledBytes;  /* payload bytes of those */
    uint64_t callbackMaxNs; /* longest callback call */
    uint64_t callbackP99Ns; /* 99th percentile of the callback calls (as OsMsgTaskStats) */
    uint64_t refusedAccess; /* messages from other processes its access policy refused (version 2) */
    /* Version 3: its byte bound and shared buffers (as OsMsgTaskBufStats). */
    uint64_t byteLimit;      /* the bound on the bytes waiting for it, 0 for none */
    uint64_t bytesQueued;    /* queued bytes counted against the bound */
    uint64_t bytesHeld;      /* sizes of the shared buffers it holds */
    uint64_t refusedBytes;   /* sends the bound refused */
    uint32_t buffersHeld;    /* holds it has not released */
    uint32_t buffersAtPeers; /* references to buffers it sent that other processes still hold */
} MsgCtlTask;

/* Bytes of a task record before version 3, which a reader may still take. */
#define MSG_CTL_TASK_V2_SIZE 88U

typedef struct MsgCtlSub {
    uint32_t msgId;    /* the event */
    uint32_t pubCpuId; /* its publisher */
    char pubProcName[OS_MSG_NAME_LEN];
    char pubTaskName[OS_MSG_NAME_LEN];
    uint32_t subCpuId; /* the subscriber, where the event goes */
    uint32_t reserved; /* 0 */
    char subProcName[OS_MSG_NAME_LEN];
    char subTaskName[OS_MSG_NAME_LEN];
} MsgCtlSub;

#define MSG_CTL_MONITOR_REMOVE 0U
#define MSG_CTL_MONITOR_ADD 1U

/* The monitor is task taskName of the requesting process (the request's
 * sendCpuId and sendProcName). */
typedef struct MsgCtlMonitorReq {
    char taskName[OS_MSG_NAME_LEN];
    uint32_t op;           /* MSG_CTL_MONITOR_ADD (register or renew) or MSG_CTL_MONITOR_REMOVE */
    uint32_t leaseMs;      /* 0: MSG_CTL_LEASE_DEFAULT_MS; at most MSG_CTL_LEASE_MAX_MS */
    uint32_t captureBytes; /* payload bytes per report, at most MSG_CTL_CAPTURE_MAX */
    uint32_t idCount;      /* ids used from ids; 0: every event */
    uint32_t ids[MSG_CTL_MONITOR_IDS];
} MsgCtlMonitorReq;

typedef struct MsgCtlEvent {
    uint64_t realNs;  /* when the process fanned it out, nanoseconds since 1970 (UTC) */
    uint32_t msgId;   /* the event */
    uint32_t dataLen; /* its payload's length (0 without a payload) */
    uint32_t sendPid; /* the publisher's process and user ids, as the library stamped them */
    uint32_t sendUid;
    char sendProcName[OS_MSG_NAME_LEN]; /* the publishing process and task */
    char sendTaskName[OS_MSG_NAME_LEN];
    uint32_t captured; /* payload bytes that follow this record */
    uint32_t missed;   /* reports this monitor lost before this one (its queue was full) */
} MsgCtlEvent;

/* A head for count records of recordSize bytes. */
static inline MsgCtlHead MsgCtlMakeHead(uint32_t result, uint32_t count, uint32_t recordSize, uint32_t total) {
    MsgCtlHead head;
    head.magic = MSG_CTL_MAGIC;
    head.version = MSG_CTL_VERSION;
    head.headSize = (uint16_t)sizeof(MsgCtlHead);
    head.result = result;
    head.count = count;
    head.recordSize = recordSize;
    head.total = total;
    return head;
}

/* Checks that the len bytes at data are a control payload whose records are
 * at least recordSize bytes each and lie wholly inside it, and copies its
 * head into *head: 1; 0 for anything else (data is untrusted). */
static inline int MsgCtlParse(const void *data, uint32_t len, uint32_t recordSize, MsgCtlHead *head) {
    if (data == NULL || len < sizeof(MsgCtlHead)) {
        return 0;
    }
    memcpy(head, data, sizeof(*head));
    if (head->magic != MSG_CTL_MAGIC || head->version < 1U || head->headSize < sizeof(MsgCtlHead) ||
        head->headSize > len) {
        return 0;
    }
    if (head->count == 0U) {
        return 1;
    }
    return head->recordSize >= recordSize &&
           (uint64_t)head->headSize + (uint64_t)head->count * head->recordSize <= (uint64_t)len;
}

/* Copies the first size bytes of record i of a parsed payload into out. */
static inline void MsgCtlReadRecord(const void *data, const MsgCtlHead *head, uint32_t i, void *out, uint32_t size) {
    memcpy(out, (const uint8_t *)data + head->headSize + (uint64_t)i * head->recordSize, size);
}

#ifdef __cplusplus
static_assert(sizeof(MsgCtlHead) == 24U, "the control head is 24 bytes");
static_assert(sizeof(MsgCtlInfo) == 216U, "MsgCtlInfo is 216 bytes");
static_assert(offsetof(MsgCtlInfo, poolMappedBytes) == MSG_CTL_INFO_V2_SIZE, "version 3 only adds at the end");
static_assert(sizeof(MsgCtlTask) == 128U, "MsgCtlTask is 128 bytes");
static_assert(offsetof(MsgCtlTask, byteLimit) == MSG_CTL_TASK_V2_SIZE, "version 3 only adds at the end");
static_assert(sizeof(MsgCtlSub) == 80U, "MsgCtlSub is 80 bytes");
static_assert(sizeof(MsgCtlMonitorReq) == 96U, "MsgCtlMonitorReq is 96 bytes");
static_assert(sizeof(MsgCtlEvent) == 64U, "MsgCtlEvent is 64 bytes");
#endif

#endif /* VYRE_MSG_CTL_PROTO_H */

/*
 * vyre_os_msg.h - the public interface of libvyre_os_msg.
 *
 * A process joins the messaging system under a name of at most 15
 * characters, registers its threads as named tasks with bounded queues, and
 * exchanges messages with other tasks: asynchronously, synchronously with a
 * time-out, or as events by subscribe and broadcast.
 *
 * Every message is one fixed 168-byte header, MsgHead, that names sender and
 * receiver and points at a separate payload. The caller always owns what it
 * passes: each send copies header and payload before it returns.
 *
 * Every function returns an unsigned 32-bit result code: OS_MSG_OK (0) for
 * success, otherwise one of the OS_MSG_ERR_* values below. Every function may
 * be called from any thread unless its comment says otherwise. No function
 * throws.
 *
 * This header compiles as C99 or later and as C++11 or later, with nothing
 * but the C library's <stddef.h> and <stdint.h>.
 */
#ifndef VYRE_OS_MSG_H
#define VYRE_OS_MSG_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define OS_MSG_API __attribute__((visibility("default")))
#else
#define OS_MSG_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Version
 *
 * The version of this header; OsMsgGetVersion gives the library's. A program
 * built against one minor version runs with any later minor version of the
 * same major version.
 * ------------------------------------------------------------------------- */

#define VYRE_OS_MSG_VERSION_MAJOR 1
#define VYRE_OS_MSG_VERSION_MINOR 0
#define VYRE_OS_MSG_VERSION_PATCH 0
/* The version as one number, (major << 16) | (minor << 8) | patch, the
 * format OsMsgGetVersion returns: 1.0.0 is 0x010000. */
#define VYRE_OS_MSG_VERSION                                                                                            \
    (((uint32_t)VYRE_OS_MSG_VERSION_MAJOR << 16) | ((uint32_t)VYRE_OS_MSG_VERSION_MINOR << 8) |                        \
     (uint32_t)VYRE_OS_MSG_VERSION_PATCH)

/* Returns the version of the library that is loaded, in the format of
 * VYRE_OS_MSG_VERSION: (major << 16) | (minor << 8) | patch. A program may
 * compare it with VYRE_OS_MSG_VERSION to detect a library older than its
 * header. Callable at any time, also before OsMsgInit. */
OS_MSG_API uint32_t OsMsgGetVersion(void);

/* ---------------------------------------------------------------------------
 * Result codes
 * ------------------------------------------------------------------------- */

#define OS_MSG_OK 0x00000000U
/* Argument null, empty, too long or out of range; received data malformed. */
#define OS_MSG_ERR_INVALID_PARAM 0x80020001U
/* The process's message server did not start, or has already quit. */
#define OS_MSG_ERR_SERVER_NOT_RUNNING 0x80020002U
/* A table, pool or service created, initialised or registered twice. */
#define OS_MSG_ERR_REPEATED 0x80020003U
/* The library, a table or the transport client is not initialised. */
#define OS_MSG_ERR_NOT_INIT 0x80020004U
/* Named task, queue or directory entry not found. */
#define OS_MSG_ERR_NOT_FOUND 0x80020005U
/* A queue or table is full. */
#define OS_MSG_ERR_FULL 0x80020007U
/* The target task of a direct call has no callback. */
#define OS_MSG_ERR_NO_CALLBACK 0x80020008U
/* The wait for a response ended with an error other than a time-out. */
#define OS_MSG_ERR_WAIT 0x80020009U
/* Message or response larger than OS_MSG_MAX_MSG_SIZE with its header. */
#define OS_MSG_ERR_OVERSIZE 0x8002000bU
/* The queue directory, or a bounded table of the carrier (its peers, the
 * subscriptions kept for other processes), has no free entry. */
#define OS_MSG_ERR_NO_IDLE_BLOCK 0x8002000cU
/* An operating-system resource or the CPU configuration file is missing. */
#define OS_MSG_ERR_SYSTEM 0x8002000dU
/* The caller is not permitted (a child forked without exec is refused every
 * call), or a bounded copy failed. */
#define OS_MSG_ERR_FAIL 0x8002000eU
/* The requested channel conversion is not implemented. */
#define OS_MSG_ERR_NOT_IMPLEMENTED 0x80020011U
/* The task name is already registered, or the task table already exists. */
#define OS_MSG_ERR_TASK_EXIST 0x80020013U
/* The wait for an in-process response expired. */
#define OS_MSG_ERR_TIMEOUT 0x80020014U
/* A synchronous send through the transport timed out. */
#define OS_MSG_ERR_SYN_TIMEOUT 0x80020015U
/* A response arrived for a request that is no longer waited for. */
#define OS_MSG_ERR_REQ_RELEASED 0x80020017U
/* The requester's response slot is in the wrong state (e.g. a late answer). */
#define OS_MSG_ERR_RESP_STATE 0x80020018U
/* A task cannot be removed because its loop thread still runs. */
#define OS_MSG_ERR_TASK_BUSY 0x8002001cU
/* The task loop's semaphore wait failed. */
#define OS_MSG_ERR_TASK_WAIT 0x8002001dU
/* Hash table creation or entry insertion failed. */
#define OS_MSG_ERR_HASH 0x8002001eU
/* Thread creation or detach failed. */
#define OS_MSG_ERR_THREAD_CREATE 0x8002001fU
/* Memory allocation failed. */
#define OS_MSG_ERR_NO_MEMORY 0x80020020U
/* Refused by access control: the receiving process's access policy does not
 * accept this sender for this task and message id (see "Access between
 * processes"), or the run directory, one of its files or the policy file is
 * one that another user could have put there or can change. */
#define OS_MSG_ERR_ACCESS 0x80020021U

/* ---------------------------------------------------------------------------
 * Sizes, reserved ids and names
 * ------------------------------------------------------------------------- */

/* Name fields hold at most 15 characters and a terminator. */
#define OS_MSG_NAME_LEN 16U
/* Header plus payload may not exceed this many bytes. */
#define OS_MSG_MAX_MSG_SIZE 0x400000U
/* Largest payload: 0x3FFF58 (4,194,136) bytes. */
#define OS_MSG_MAX_DATA_LEN (OS_MSG_MAX_MSG_SIZE - 168U)
/* A time-out of 0 selects this many milliseconds. */
#define OS_MSG_DEFAULT_TIMEOUT_MS 30000U

/* Subscription request (payload: op byte, count, MsgSubEntry records). */
#define MSG_ID_SUBSCRIBE 0x20000cU
/* Broadcast request (payload built from MsgBroEntry records). */
#define MSG_ID_BROADCAST 0x20000dU

/* Process of the library's broadcast task. */
#define MSG_PROC_NAME_PMSG "pmsg"
/* The broadcast task that applies subscriptions and fans out events. */
#define MSG_TASK_NAME_PMSG_BRO "pmsgBro"
/* System control process; its messages keep their sender fields. */
#define MSG_PROC_NAME_SYSCTRL "sysctrl"
/* The library's control task, which runs in every process beside
 * "pmsgBro": it answers inspection requests (the vyre-msg tool's) about the
 * process's tasks, counters and subscriptions, and reports published events
 * to registered monitors. Its requests are ordinary synchronous messages
 * with the reserved ids below. */
#define MSG_TASK_NAME_PMSG_CTL "pmsgCtl"
/* Message ids reserved for the control task's requests and reports;
 * applications use none of them. */
#define MSG_ID_CTL_FIRST 0x200020U
#define MSG_ID_CTL_LAST 0x20002fU

/* msgKind values. */
#define MSG_KIND_ASYN 0U
#define MSG_KIND_SYN 1U
#define MSG_KIND_SYN_RESP 2U

/* mscBlock: bits 0-3 memory type, bits 4-6 channel type, bits 7-31 carried
 * unchanged. */
#define MSG_MSC_MEM_TYPE_MASK 0x0000000FU
#define MSG_MSC_CHAN_TYPE_SHIFT 4U
#define MSG_MSC_CHAN_TYPE_MASK 0x00000070U

/* ---------------------------------------------------------------------------
 * Records
 * ------------------------------------------------------------------------- */

/*
 * The message header, 168 bytes in native byte order, no gaps. Names are
 * NUL-terminated strings of at most 15 characters, compared over 16 bytes.
 *
 * A sender fills msgId, recvCpuId, recvProcName, recvTaskName, dataLen, data
 * and sendProcName (its own process name), optionally sendTaskName and
 * mscBlock. The library stamps sendUid, sendPid, sendCpuId and, when empty,
 * sendTaskName, and writes msgKind. reserved0, reserved1 and bits 7-31 of
 * mscBlock reach the receiver unchanged.
 */
typedef struct MsgHead {
    uint32_t msgKind;                   /* 0 asynchronous, 1 request, 2 response */
    uint32_t sendUid;                   /* user id of the sending process */
    uint32_t sendPid;                   /* process id of the sending process */
    uint32_t sendCpuId;                 /* CPU of the sender */
    char sendProcName[OS_MSG_NAME_LEN]; /* sender's process */
    char sendTaskName[OS_MSG_NAME_LEN]; /* sender's task */
    uint32_t msgId;                     /* application message id */
    uint32_t recvCpuId;                 /* CPU of the receiver */
    char recvProcName[OS_MSG_NAME_LEN]; /* receiver's process */
    char recvTaskName[OS_MSG_NAME_LEN]; /* receiver's task; never empty */
    uint32_t reserved0;                 /* carried unchanged */
    uint32_t mscBlock;                  /* multi-CPU channel block */
    uint8_t reserved1[60];              /* carried unchanged */
    uint32_t dataLen;                   /* payload length, 0 for none */
    void *data;                         /* payload address, or NULL */
} MsgHead;

/*
 * One subscription, 56 bytes: the event msgId published by task taskName of
 * process procName on CPU cpuId. subTaskName names the subscribing task;
 * empty means the task that sends the request.
 */
typedef struct MsgSubEntry {
    uint32_t msgId;
    uint32_t cpuId;
    char procName[OS_MSG_NAME_LEN];
    char taskName[OS_MSG_NAME_LEN];
    char subTaskName[OS_MSG_NAME_LEN];
} MsgSubEntry;

/*
 * One event to publish, 32 bytes: dataLen bytes at data are delivered with
 * message id msgId to every subscriber of (CPU, taskName). An empty taskName
 * publishes under the sending task's name.
 */
typedef struct MsgBroEntry {
    char taskName[OS_MSG_NAME_LEN];
    uint32_t msgId;
    int32_t dataLen;
    void *data;
} MsgBroEntry;

/* Compile-time layout checks: static_assert in C++, _Static_assert in C11,
 * and in C99 a typedef of an array whose size is -1 when cond is false. */
#if defined(__cplusplus)
#define OS_MSG_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OS_MSG_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define OS_MSG_CHECK_NAME_(line) OsMsgLayoutCheck##line
#define OS_MSG_CHECK_NAME(line) OS_MSG_CHECK_NAME_(line)
#define OS_MSG_STATIC_ASSERT(cond, msg) typedef char OS_MSG_CHECK_NAME(__LINE__)[(cond) ? 1 : -1]
#endif

OS_MSG_STATIC_ASSERT(sizeof(MsgHead) == 168, "MsgHead is 168 bytes");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, sendUid) == 4, "MsgHead.sendUid offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, sendPid) == 8, "MsgHead.sendPid offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, sendCpuId) == 12, "MsgHead.sendCpuId offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, sendProcName) == 16, "MsgHead.sendProcName offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, sendTaskName) == 32, "MsgHead.sendTaskName offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, msgId) == 48, "MsgHead.msgId offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, recvCpuId) == 52, "MsgHead.recvCpuId offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, recvProcName) == 56, "MsgHead.recvProcName offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, recvTaskName) == 72, "MsgHead.recvTaskName offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, reserved0) == 88, "MsgHead.reserved0 offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, mscBlock) == 92, "MsgHead.mscBlock offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, reserved1) == 96, "MsgHead.reserved1 offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, dataLen) == 156, "MsgHead.dataLen offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgHead, data) == 160, "MsgHead.data offset");
OS_MSG_STATIC_ASSERT(sizeof(MsgSubEntry) == 56, "MsgSubEntry is 56 bytes");
OS_MSG_STATIC_ASSERT(offsetof(MsgSubEntry, subTaskName) == 40, "MsgSubEntry.subTaskName offset");
OS_MSG_STATIC_ASSERT(sizeof(MsgBroEntry) == 32, "MsgBroEntry is 32 bytes");
OS_MSG_STATIC_ASSERT(offsetof(MsgBroEntry, dataLen) == 20, "MsgBroEntry.dataLen offset");
OS_MSG_STATIC_ASSERT(offsetof(MsgBroEntry, data) == 24, "MsgBroEntry.data offset");

/* ---------------------------------------------------------------------------
 * Process
 *
 * A process joins once (OsMsgInit), runs (tasks, messages; its main thread
 * waits in OsMsgMain), stops its own server (OsMsgDestroy) and leaves
 * (OsMsgUninit). It may join again afterwards.
 *
 * Leaving without OsMsgUninit. A process that ends through exit() or a
 * return from main, from any thread and also from inside a task callback,
 * with or without OsMsgDestroy, ends promptly: no library thread is waited
 * for. With the "unix" carrier its exit removes its socket file and its
 * directory entry (waiting at most 100 ms for the directory lock). A process
 * that dies (a signal, _exit) leaves them behind, and the next process under
 * its name takes them over.
 *
 * Fork. A process may fork at any time; its own messaging goes on as
 * before. A child that executes another program starts afresh: every
 * descriptor of the library is close-on-exec, and the child may join under
 * a name of its own. A child forked after the process's first OsMsgInit that
 * does not execute a program must not use the library: it has the parent's
 * tables but none of the threads that serve them. In it OsMsgInit,
 * OsMsgUninit, OsMsgMain and every call that needs the messaging system fail
 * with OS_MSG_ERR_FAIL, each logging "process forked from pid PID: no call
 * before exec."; a task loop whose callback forked ends in the child when
 * the callback returns there (OsMsgTaskRoutineByName returns
 * OS_MSG_ERR_FAIL). The child's exit, which runs the exit handlers it
 * inherited, never removes the parent's socket or directory entry, and the
 * child closes its copies of the parent's listening socket as it is forked,
 * so the parent's name is free once the parent has died. A child forked
 * before the first OsMsgInit is a process like any other.
 *
 * Between processes. By default messages for another process travel to it
 * over Unix sockets (the "unix" carrier), so that processes find each other
 * with no setting at all; the loopback, which delivers every message for
 * another process back into the sending process, is selected explicitly.
 * Two settings choose, each by an option of OsMsgInitWithOptions or else by
 * an environment variable (read by OsMsgInit and OsMsgInitWithOptions); an
 * option that is given wins over the variable:
 *   carrier        OsMsgOptions.carrier, or VYRE_OS_MSG_CARRIER "unix" or
 *                  "loopback" (unset or empty: the build's default, "unix"
 *                  unless the library was built with
 *                  VYRE_DEFAULT_CARRIER=loopback). Any other value makes
 *                  the join fail with OS_MSG_ERR_INVALID_PARAM.
 *   run directory  OsMsgOptions.runDir, or VYRE_OS_MSG_RUNDIR: the folder
 *                  the processes that talk to each other share (absolute, at
 *                  most 80 characters). Default: /run/vyre_os_msg when the
 *                  process may use it (it exists and the process may write
 *                  there, or the process may create it in /run: root), else
 *                  /tmp/vyre_os_msg-<uid>, per user. A login session plays
 *                  no part. A folder the join creates gets mode 0700.
 * With the "unix" carrier each process listens on <run directory>/<name>.sock
 * and a second live process under a name in use is refused (a process counts
 * as live while its socket answers, see OsMsgInit); a receiver sees the
 * kernel's process and user ids of the sender in sendPid and sendUid. A
 * message for a process that is not running fails at once with
 * OS_MSG_ERR_SERVER_NOT_RUNNING (the log line names the run directory it
 * looked in); a synchronous call to a task that the running process does
 * not have fails at once with OS_MSG_ERR_NOT_FOUND, while an asynchronous
 * message for it is accepted and dropped by the receiving process (with a
 * log line there): the sender learns of it only through a round trip. One
 * that finds the receiving process unable to take more (its socket full
 * because its task queue is) waits at most 5 ms for room, then fails with
 * OS_MSG_ERR_FULL, as a full queue in the own process does; a synchronous
 * call waits for room at most its time-out.
 *
 * Peers that come and go (with the "unix" carrier): OsMsgWaitProcess waits
 * for a process to join; every process publishes "process joined" and
 * "process left" events (MSG_ID_PROC_JOINED, MSG_ID_PROC_LEFT) that its
 * tasks subscribe to like any event; and a subscription to a publisher in
 * another process is kept by the subscribing process and sent again
 * whenever that publisher's process joins, so it is accepted before the
 * publisher runs and survives the publisher's restarts.
 * ------------------------------------------------------------------------- */

/* Joins the messaging system under procName (1 to 15 characters, copied):
 * creates the local service registry, the process's server thread (and waits
 * for it to report its start), the task table, the subscription table, the
 * transport client and the CPU configuration. Returns when everything is up,
 * the library's broadcast task and control task included, so events may be
 * subscribed to at once.
 * OS_MSG_OK, also when the process is initialised already or another thread
 * is initialising it (nothing changes); OS_MSG_ERR_INVALID_PARAM (procName
 * NULL, empty, or 16 characters or more); OS_MSG_ERR_FAIL (in a child forked
 * without exec, see Fork above). A failing step returns its code and undoes
 * the whole set-up, so a later OsMsgInit may succeed:
 * OS_MSG_ERR_NO_MEMORY, OS_MSG_ERR_HASH (a table could not be made),
 * OS_MSG_ERR_REPEATED (with the "unix" carrier a live process holds the
 * name: its socket answers a connection, whatever the directory says; logged
 * as "process name [NAME] in use by pid PID."; a local service registry the
 * application created before is adopted, not refused), OS_MSG_ERR_SERVER_NOT_RUNNING (the server could not
 * start), OS_MSG_ERR_THREAD_CREATE, OS_MSG_ERR_SYSTEM (the carrier's run
 * directory, directory segment or socket could not be set up, or the
 * directory's lock stayed taken for a second: a stopped holder, or a corrupt
 * lock word; the log line names the file and the pid in the lock word, and
 * removing that file restores service, see docs/carrier.md).
 * With the "unix" carrier a name is taken over from a process that died
 * (its socket no longer answers: it is replaced), never from one that runs,
 * also when its pid has been given to another process since or the
 * directory file was deleted.
 * The first successful OsMsgInit leaves one idle server thread that stays for
 * the life of the process, also after OsMsgUninit, and serves every later
 * OsMsgInit. */
OS_MSG_API uint32_t OsMsgInit(const char *procName);

/* Leaves the messaging system: refuses further calls (OS_MSG_ERR_NOT_INIT),
 * unregisters every task (their loops return from OsMsgTaskRoutineByName,
 * pending messages are dropped, synchronous requests in progress fail), waits
 * for the calls still running on other threads, releases the tables, wakes
 * OsMsgMain, and releases the message memory pool and the shared-buffer
 * segments whose buffers have all come back (a buffer still owned or held
 * stays valid, and its segment goes once it is freed or released and the
 * pool is trimmed by a later OsMsgUninit). Afterwards the process name is
 * empty and OsMsgInit may be called again. With the "unix" carrier it removes
 * the socket file and the directory entry; a directory lock that stays taken
 * delays it by at most a second (logged), the entry then stays until a later
 * claim finds its owner gone, and everything else is torn down. OS_MSG_OK,
 * also when the process is not initialised; OS_MSG_ERR_FAIL in a child
 * forked without exec (nothing is done). Call it from a thread that is no
 * task loop. */
OS_MSG_API uint32_t OsMsgUninit(void);

/* Blocks the calling thread (normally the main thread) until the process's
 * server quits: OsMsgDestroy of the own name, or OsMsgUninit. Several threads
 * may wait; all are woken.
 * OS_MSG_OK after the quit; OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_SERVER_NOT_RUNNING
 * at once when the server has quit already (or never started);
 * OS_MSG_ERR_FAIL in a child forked without exec. */
OS_MSG_API uint32_t OsMsgMain(void);

/* Stops the server of this process, named procName, and wakes OsMsgMain; a
 * process may stop only itself. The tables stay until OsMsgUninit.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (procName NULL, empty, or 16 characters
 * or more); OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_FAIL (procName is not the own
 * name, or a child forked without exec; nothing changes). */
OS_MSG_API uint32_t OsMsgDestroy(const char *procName);

/* Copies the own process name as its 16-byte field (zero-padded) into
 * buffer, which holds size bytes.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (buffer NULL); OS_MSG_ERR_NOT_INIT (no
 * name: the process is not initialised); OS_MSG_ERR_FAIL (size below 16; the
 * buffer is then cleared when size is not 0). */
OS_MSG_API uint32_t OsMsgGetProcName(char *buffer, uint32_t size);

/* ---------------------------------------------------------------------------
 * Access between processes
 *
 * What follows holds for the "unix" carrier. Within a process, and over the
 * loopback, every sender is the process itself: nothing is checked.
 *
 * The run directory. OsMsgInit uses a run directory only when no other user
 * can have made it or can change what is in it: a real directory (not a
 * symbolic link) whose owner is the process's own user, and that no one but
 * its owner can write to (a private directory, as OsMsgInit creates it, mode
 * 0700). A directory several users share is owned by root, by the process's
 * own user or by the one user OsMsgSetSharedRunDir names, and is setgid and
 * writable by its group and no one else (mode 2770): the processes of the
 * group's members then meet in it, and the library makes its socket and its
 * directory segment readable and writable by that group and never by others,
 * whatever the process's umask. A process that is not in the group (root
 * aside) cannot use it. The socket files and the directory segment are opened
 * without following symbolic links and checked the same way. Otherwise
 * OsMsgInit fails with OS_MSG_ERR_ACCESS and one log line, "run directory
 * [DIR] refused: REASON.", where REASON says what is wrong ("a symbolic
 * link", "owned by uid N", "writable by others (mode 0777)", ...); a sender
 * refuses to connect to a socket file that is a symbolic link or no socket
 * (OS_MSG_ERR_ACCESS).
 *
 * Delivery. A process delivers only what is addressed to it: a message whose
 * recvProcName is not its own name, or whose recvCpuId is not its CPU, is
 * dropped with one log line per sending connection (a socket file that leads
 * to another process cannot divert messages). Subscription requests, which
 * go to the reserved process "pmsg" (task "pmsgBro") of the publisher, are
 * the exception.
 *
 * The access policy. A process accepts messages from other processes of its
 * own user and of root. It accepts others' as its rules allow: each rule
 * names a sender (a user id, a group id, which the sender's primary group or
 * one of its supplementary groups must be, or anyone who can reach its
 * socket), a task of the receiving process (or every task) and a range of
 * message ids. The ids are those the kernel reports with each datagram (the
 * sender's real user and group ids), with the supplementary groups the
 * kernel recorded when the sender connected; a sender whose ids changed since
 * it connected is judged by its user and group ids alone. Rules come from
 * OsMsgAllow and OsMsgSetAccessPolicy and from the policy file that
 * VYRE_OS_MSG_POLICY names (read by OsMsgInit), and apply to every control
 * request as well (task "pmsgCtl", see the tool vyre-msg). A message the
 * policy refuses is dropped and counted in the receiving task's statistics
 * (refusedAccess, OsMsgGetTaskStats), with one log line per sending
 * connection and task; a refused synchronous call returns OS_MSG_ERR_ACCESS
 * to its caller at once. Answers to this process's own calls, which come
 * back on the connections it opened, are not judged.
 *
 * The policy file. One rule per line; '#' starts a comment; blank lines are
 * skipped; words are separated by blanks:
 *   allow uid USER|gid GROUP|any [task NAME|task *] [ids FIRST[-LAST]|ids *]
 * USER and GROUP are numbers or names, FIRST and LAST numbers (decimal or
 * 0x hexadecimal); without "task" a rule covers every task, without "ids"
 * every message id. For example:
 *   allow gid media                      # every task, every id
 *   allow uid 1001 task camera ids 0x100-0x1ff
 * A file that cannot be read makes OsMsgInit fail with OS_MSG_ERR_SYSTEM; a
 * malformed one with OS_MSG_ERR_INVALID_PARAM; one that another user could
 * change (not owned by root, the own user or the OsMsgSetSharedRunDir user,
 * or writable by its group or others) with OS_MSG_ERR_ACCESS; each with one
 * log line naming the file (and the line: "access policy [FILE] line N:
 * WHAT.").
 * ------------------------------------------------------------------------- */

/* Who a rule allows. */
#define OS_MSG_ACCESS_UID 1U    /* the sender's user id is id */
#define OS_MSG_ACCESS_GID 2U    /* id is the sender's group or one of its supplementary groups */
#define OS_MSG_ACCESS_ANYONE 3U /* every sender that can reach the socket (id is not used) */
/* Rules a process holds at most, those of the policy file included. */
#define OS_MSG_ACCESS_RULES_MAX 128U
/* An id argument that names no one. */
#define OS_MSG_ID_NONE 0xFFFFFFFFU

/* One rule: senders of kind/id may send messages with ids firstMsgId to
 * lastMsgId (both included) to task taskName ("" for every task). */
typedef struct OsMsgAccessRule {
    uint32_t kind;                  /* OS_MSG_ACCESS_UID, OS_MSG_ACCESS_GID or OS_MSG_ACCESS_ANYONE */
    uint32_t id;                    /* the user or group id */
    char taskName[OS_MSG_NAME_LEN]; /* at most 15 characters; "" for every task */
    uint32_t firstMsgId;
    uint32_t lastMsgId; /* at least firstMsgId; 0 to 0xFFFFFFFF: every id */
} OsMsgAccessRule;

/* Adds a copy of rule to the process's access policy; the rules hold until
 * OsMsgSetAccessPolicy replaces them, across OsMsgUninit and a new
 * OsMsgInit. May be called before OsMsgInit and at any time after: messages
 * that arrive afterwards are judged by the new rules.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (rule NULL, an unknown kind, a task
 * name of 16 characters or more, firstMsgId above lastMsgId);
 * OS_MSG_ERR_FULL (OS_MSG_ACCESS_RULES_MAX rules are held). */
OS_MSG_API uint32_t OsMsgAllow(const OsMsgAccessRule *rule);

/* Replaces the rules added by OsMsgAllow and earlier calls of this function
 * with copies of the count rules at rules (count 0: none; only the own user
 * and root are then accepted, besides the rules of the policy file). The
 * rules are checked first: nothing changes when one is refused.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (rules NULL with a count, or a rule
 * OsMsgAllow refuses); OS_MSG_ERR_FULL (more rules than there is room for). */
OS_MSG_API uint32_t OsMsgSetAccessPolicy(const OsMsgAccessRule *rules, uint32_t count);

/* Names the shared run directory this process may use, for the next
 * OsMsgInit: ownerUid may own it besides root and the process's own user
 * (OS_MSG_ID_NONE: no one else), and, unless groupGid is OS_MSG_ID_NONE, its
 * group must be groupGid. The policy file may be owned by ownerUid too.
 * Callable before OsMsgInit. OS_MSG_OK. */
OS_MSG_API uint32_t OsMsgSetSharedRunDir(uint32_t ownerUid, uint32_t groupGid);

/* ---------------------------------------------------------------------------
 * Callbacks
 * ------------------------------------------------------------------------- */

/* A task's message handler. It runs on the task's loop thread with no library
 * lock held and receives a copy of the header whose data/dataLen describe the
 * library's own payload copy; both are valid only during the call. The result
 * is not used. */
typedef uint32_t (*OsMsgTaskFunc)(MsgHead *msg);

/* The same, with the pointer the application gave at registration
 * (OsMsgRegTaskEx), passed unchanged on every call. */
typedef uint32_t (*OsMsgTaskFuncEx)(MsgHead *msg, void *user);

/* A log sink: receives each finished log line (time stamp, level, process and
 * thread ids, function and line, then the message), ending in "\r" (a line
 * of 767 characters, the longest, has no room for it).
 * Called on the logging thread; must be safe for concurrent calls. */
typedef void (*OsMsgLogFunc)(uint32_t level, const char *line);

/* ---------------------------------------------------------------------------
 * Joining with options
 *
 * OsMsgInitWithOptions joins as OsMsgInit does, with settings given by the
 * program. Each field left zero (NULL) leaves its setting to the
 * environment and the defaults, exactly as OsMsgInit has it; a field that is
 * set wins over the environment variable of the same setting (see
 * "Between processes" above).
 *
 * The record grows at its end only, and size tells the library which
 * version of it the caller has: a program built against an older header
 * passes a smaller size and gets the defaults for the fields it does not
 * know; one built against a newer header may run with an older library as
 * long as every field the library does not know is zero (else the join is
 * refused with OS_MSG_ERR_INVALID_PARAM). Fill it with OS_MSG_OPTIONS_INIT
 * (or zero it and set size to sizeof(OsMsgOptions)), then set the fields
 * wanted.
 * ------------------------------------------------------------------------- */

/* OsMsgOptions.carrier. */
#define OS_MSG_CARRIER_DEFAULT 0U  /* VYRE_OS_MSG_CARRIER, else the build's default */
#define OS_MSG_CARRIER_UNIX 1U     /* messages for another process travel over Unix sockets */
#define OS_MSG_CARRIER_LOOPBACK 2U /* they are delivered back into this process */

/* OsMsgOptions.flags: which of the fields that have no "unset" value are
 * given. */
#define OS_MSG_OPT_LOG_LEVEL 0x1U /* logLevel is given */
#define OS_MSG_OPT_LOG_SINK 0x2U  /* logSink is given (NULL switches the records off) */

typedef struct OsMsgOptions {
    /* sizeof(OsMsgOptions) as the caller's header has it; at least
     * OS_MSG_OPTIONS_SIZE_V1. */
    uint32_t size;
    uint32_t flags;   /* OS_MSG_OPT_* */
    uint32_t carrier; /* OS_MSG_CARRIER_* */
    /* The lowest level logged (OS_MSG_LOG_DEBUG to OS_MSG_LOG_FATAL), as
     * OsMsgSetLogLevel sets it, when OS_MSG_OPT_LOG_LEVEL is set. */
    uint32_t logLevel;
    /* The run directory (absolute, at most 80 characters; copied), or NULL. */
    const char *runDir;
    /* The sink of every log record, as OsMsgRegLogFunc sets it, when
     * OS_MSG_OPT_LOG_SINK is set. */
    OsMsgLogFunc logSink;
    /* Fields added later go here, at the end, each meaning "as without
     * options" when zero: the access settings (the shared run directory's
     * owner and group, the access policy file) come next. */
} OsMsgOptions;

/* The size of the first version of the record. */
#define OS_MSG_OPTIONS_SIZE_V1 ((uint32_t)(offsetof(OsMsgOptions, logSink) + sizeof(OsMsgLogFunc)))

/* Every setting left to the environment and the defaults. */
#define OS_MSG_OPTIONS_INIT                                                                                            \
    { (uint32_t)sizeof(OsMsgOptions), 0U, 0U, 0U, NULL, NULL }

/* Joins as OsMsgInit(procName) does, with the settings options gives
 * (options NULL: exactly OsMsgInit). The log level and sink are set first,
 * so they govern the join's own records too, and stay set afterwards as
 * OsMsgSetLogLevel and OsMsgRegLogFunc leave them; the carrier and the run
 * directory hold for this membership, until OsMsgUninit. When the process is
 * initialised already nothing changes, options included (OS_MSG_OK).
 * The caller keeps options and the strings it points to.
 * The results of OsMsgInit, and OS_MSG_ERR_INVALID_PARAM (logged) for a size
 * below OS_MSG_OPTIONS_SIZE_V1, a non-zero field this library does not know,
 * an unknown flag or carrier, a log level above OS_MSG_LOG_FATAL, or a run
 * directory that is not absolute or longer than 80 characters. */
OS_MSG_API uint32_t OsMsgInitWithOptions(const char *procName, const OsMsgOptions *options);

/* ---------------------------------------------------------------------------
 * Peers that come and go
 *
 * With the "unix" carrier every process watches its run directory (the
 * kernel tells it when a socket appears or goes, and when a process it
 * knows ends). A process has joined once its socket answers: the library's
 * own tasks take requests then, while the tasks the application registers
 * after OsMsgInit come later (a call to one not registered yet fails at once
 * with OS_MSG_ERR_NOT_FOUND). With the loopback no process joins or leaves:
 * every name is this process.
 * ------------------------------------------------------------------------- */

/* Events the library publishes in every process: a process joined the run
 * directory (its socket answers), a process left it (it removed its socket,
 * or it ended without doing so). Subscribe to them as to any event, with
 * procName MSG_PROC_NAME_PMSG and taskName MSG_TASK_NAME_PMSG_BRO (the
 * library's own broadcast task, which publishes them) on the local CPU;
 * each arrives as an asynchronous message with sendProcName "pmsg",
 * sendTaskName "pmsgBro" and an OsMsgProcEvent as payload, once per change,
 * in the order of the changes. A process is not told about itself; the
 * processes that were running when a subscriber subscribed are not joined
 * again. Applications publish neither id. */
#define MSG_ID_PROC_JOINED 0x200010U
#define MSG_ID_PROC_LEFT 0x200011U

/* The payload of MSG_ID_PROC_JOINED and MSG_ID_PROC_LEFT, 24 bytes. */
typedef struct OsMsgProcEvent {
    char procName[OS_MSG_NAME_LEN]; /* the process that joined or left */
    uint32_t pid;                   /* its process id (0 when the kernel did not tell it) */
    uint32_t reserved;              /* 0 */
} OsMsgProcEvent;

/* Waits until a process named procName has joined: its socket in the run
 * directory answers, and the subscriptions this process keeps for it (see
 * OsMsgSubscribeEvent) have been sent to it, so that whatever the caller
 * sends it afterwards arrives after them. Returns at once when it runs and
 * is known (this process's own name included); otherwise the calling thread
 * sleeps until the run directory changes (woken by the kernel, not by
 * polling) and looks again, at most timeoutMs milliseconds in all. The
 * tasks the process registers after its join may come later: a call that
 * finds one missing fails at once with OS_MSG_ERR_NOT_FOUND. With the loopback it returns OS_MSG_OK at
 * once, since every message stays in this process.
 * OS_MSG_OK; OS_MSG_ERR_TIMEOUT (no such process joined within timeoutMs; 0
 * only looks); OS_MSG_ERR_INVALID_PARAM (procName NULL, empty, or 16
 * characters or more); OS_MSG_ERR_NOT_INIT (also when OsMsgUninit ends the
 * wait); OS_MSG_ERR_SYSTEM (the run directory cannot be watched). */
OS_MSG_API uint32_t OsMsgWaitProcess(const char *procName, uint32_t timeoutMs);

/* ---------------------------------------------------------------------------
 * Tasks
 *
 * A task is a named queue of messages with a callback, served by one thread
 * of the application: register the task, then call OsMsgTaskRoutineByName on
 * the thread that is to run its callback. A thread with a poll loop of its
 * own may instead serve several tasks: it waits on each task's descriptor
 * (OsMsgTaskFd) and calls OsMsgTaskHandle for the tasks whose descriptor is
 * readable.
 * ------------------------------------------------------------------------- */

/* Registers the task name (at most 15 characters) with a queue of queueLen
 * messages (0 selects 1024) and the callback cb (may be NULL: its messages are
 * then dropped). A name that is registered without a callback takes cb when
 * cb is not NULL.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (name NULL or empty);
 * OS_MSG_ERR_NOT_INIT (the library is not initialised); OS_MSG_ERR_TASK_EXIST
 * (registered already, with a callback, or cb is NULL); OS_MSG_ERR_FAIL (name
 * of 16 or more characters); OS_MSG_ERR_NO_MEMORY; OS_MSG_ERR_HASH. */
OS_MSG_API uint32_t OsMsgRegTask(const char *name, uint32_t queueLen, OsMsgTaskFunc cb);

/* OsMsgRegTask with a callback that also receives user, unchanged, on every
 * call: state of the application's own, without globals. The library never
 * reads or frees user. Same rules and results as OsMsgRegTask (a name
 * registered with any callback already gives OS_MSG_ERR_TASK_EXIST). */
OS_MSG_API uint32_t OsMsgRegTaskEx(const char *name, uint32_t queueLen, OsMsgTaskFuncEx cb, void *user);

/* Runs the loop of task name on the calling thread: blocks, calling the
 * task's callback for each message in arrival order, until the task is
 * unregistered (from another thread or from the callback). One thread per
 * task. OS_MSG_OK when the task was unregistered; OS_MSG_ERR_NOT_INIT;
 * OS_MSG_ERR_NOT_FOUND (not registered); OS_MSG_ERR_INVALID_PARAM (name NULL
 * or empty); OS_MSG_ERR_TASK_BUSY (another thread runs the task's loop
 * already); OS_MSG_ERR_TASK_WAIT (the loop's wait failed); OS_MSG_ERR_FAIL
 * (in a child forked without exec, also when a callback forked and returned
 * in the child). */
OS_MSG_API uint32_t OsMsgTaskRoutineByName(const char *name);

/* OsMsgTaskRoutineByName for the task registered by OsMsgRegTaskEx with this
 * user pointer. A thread started for a task may reach this call late, after
 * the task was unregistered (by OsMsgUninit, say) and the name registered
 * again: it then returns OS_MSG_ERR_NOT_FOUND at once instead of serving the
 * new task, whose own thread would find its loop taken (and the late thread
 * would run until that task goes). Same results as OsMsgTaskRoutineByName,
 * with OS_MSG_ERR_NOT_FOUND also when the task under name was registered
 * with another pointer or by OsMsgRegTask. */
OS_MSG_API uint32_t OsMsgTaskRoutineEx(const char *name, void *user);

/* Makes task name (of this process) one that is served from the
 * application's own poll loop, and gives its descriptor in *fd: it is
 * readable (POLLIN, EPOLLIN) while messages wait in the task's queue, and may
 * also be readable with none waiting (OsMsgTaskHandle then handles none).
 * The application only polls it: it neither reads, writes nor closes it. It
 * stays open until the task is unregistered, when it is closed: take it out
 * of the poll set before OsMsgUnregTask (or once OsMsgTaskHandle returns
 * OS_MSG_ERR_NOT_FOUND). A second call gives the same descriptor. From then
 * on no thread may run the task's loop (OsMsgTaskRoutineByName refuses with
 * OS_MSG_ERR_TASK_BUSY). Tasks that never ask for a descriptor have none.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (name NULL or empty, or fd NULL);
 * OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_NOT_FOUND (not registered);
 * OS_MSG_ERR_TASK_BUSY (a thread runs the task's loop, or the receive thread
 * serves it, OsMsgTaskServeOnReceive);
 * OS_MSG_ERR_SYSTEM (no descriptor could be made). */
OS_MSG_API uint32_t OsMsgTaskFd(const char *name, int *fd);

/* Handles, on the calling thread, up to maxCount of the messages waiting in
 * the queue of task name, oldest first, exactly as the task's loop would
 * (callback with no lock held, payload released after it); returns without
 * waiting when fewer wait. *handled (when handled is not NULL) is the number
 * handled. For a task with a descriptor, the descriptor is left readable when
 * messages still wait. One thread at a time serves a task; a callback may
 * serve other tasks but not its own.
 * OS_MSG_OK (also when the callback unregistered its own task);
 * OS_MSG_ERR_INVALID_PARAM (name NULL or empty, or maxCount 0);
 * OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_NOT_FOUND (not registered, or being
 * unregistered); OS_MSG_ERR_TASK_BUSY (another thread serves the task now, or
 * a thread runs its loop, or the receive thread serves it, or the call comes
 * from the task's own callback). */
OS_MSG_API uint32_t OsMsgTaskHandle(const char *name, uint32_t maxCount, uint32_t *handled);

/* Makes task name (of this process, registered, with no thread running its
 * loop) one that the carrier's receive thread serves: a message from another
 * process is handed to the task's callback on the thread that received it,
 * with no other thread woken, which is what a stream of frames wants (less
 * latency and processor time per message). Messages from this process reach
 * it too, on the same thread. The task stays served so until it is
 * unregistered; no thread may run its loop meanwhile.
 * Its callback holds up all receiving while it runs, so it must be short and
 * must not wait: on that thread a synchronous send to another process, or to
 * another task that thread serves, is refused with OS_MSG_ERR_FAIL (its
 * answer would come from that very thread), sends do not wait for room
 * (OS_MSG_ERR_FULL at once),
 * OsMsgBufAllocTimed does not wait, and OsMsgTaskRoutineByName,
 * OsMsgTaskRoutineEx and OsMsgUninit are refused with OS_MSG_ERR_FAIL. It
 * may unregister its own task.
 * OS_MSG_OK (also when the task is served so already);
 * OS_MSG_ERR_INVALID_PARAM (name NULL or empty); OS_MSG_ERR_NOT_INIT;
 * OS_MSG_ERR_NOT_IMPLEMENTED (the carrier has no receive thread: the
 * loopback); OS_MSG_ERR_NOT_FOUND (not registered); OS_MSG_ERR_TASK_BUSY (a
 * thread runs its loop, or it was given a descriptor, OsMsgTaskFd);
 * OS_MSG_ERR_NO_IDLE_BLOCK (16 tasks of the process are served so already);
 * OS_MSG_ERR_SYSTEM (no descriptor could be made). */
OS_MSG_API uint32_t OsMsgTaskServeOnReceive(const char *name);

/* Unregisters task taskName of this process: messages still queued are
 * dropped, a synchronous request the task waits on fails, and the task's loop
 * thread returns from OsMsgTaskRoutineByName. procName may be NULL (this
 * process) or must be this process's name; reserved is not used.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (taskName NULL or empty);
 * OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_FAIL (procName names another process);
 * OS_MSG_ERR_NOT_FOUND (not registered); OS_MSG_ERR_TASK_BUSY (the task's
 * callback did not return within about three seconds, or another thread is
 * unregistering the task; it takes no more messages and may be unregistered
 * again later). */
OS_MSG_API uint32_t OsMsgUnregTask(const char *procName, uint32_t reserved, const char *taskName);

/* ---------------------------------------------------------------------------
 * Messages
 *
 * The sender fills msgId, recvCpuId, recvProcName, recvTaskName, dataLen and
 * data (the payload, or NULL with dataLen 0) and sendProcName (its own
 * process name); the library stamps the other sender fields. Every send
 * copies the payload before it returns: the caller keeps the header and the
 * payload and may reuse both at once. dataLen may be at most
 * OS_MSG_MAX_DATA_LEN. The library may rewrite sender and receiver fields of
 * the caller's header.
 * ------------------------------------------------------------------------- */

/* Queues a copy of the message for task recvTaskName; its callback runs later
 * on the task's loop thread. Never waits long: a full queue in this process
 * refuses the message at once.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (head NULL or recvTaskName empty);
 * OS_MSG_ERR_OVERSIZE (dataLen above OS_MSG_MAX_DATA_LEN);
 * OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_NOT_FOUND (no such task); OS_MSG_ERR_FULL
 * (the receiver's queue is full); OS_MSG_ERR_NO_MEMORY. A message that has to
 * travel through the transport is accepted (OS_MSG_OK) and dropped there
 * when its receiver does not exist (the receiving process logs it: the
 * sender cannot know without a round trip); a full queue there also gives
 * OS_MSG_ERR_FULL. With the "unix" carrier: OS_MSG_ERR_SERVER_NOT_RUNNING at
 * once when no process of that name runs; the call waits at most 5 ms while the
 * receiver makes no room (for a receiving task that reported its queue
 * full, for room in the receiver's socket; the 5 ms start again with each
 * slice of a large message that goes out), then OS_MSG_ERR_FULL (logged
 * once per episode); a waiting send holds no lock other senders need. */
OS_MSG_API uint32_t OsMsgAsynSend(MsgHead *head);

/* As OsMsgAsynSend, but when the receiver's queue is full the call waits for
 * room, at most timeoutMs milliseconds (0: not at all), instead of failing at
 * once: the calling thread sleeps until the receiving task's loop takes a
 * message (in this process) or until the receiving process reports room for
 * the task (through the carrier between processes), so it is woken when room
 * returns rather than polling. Every wait of the call together, for a full
 * queue and for room in the receiver's socket, ends by timeoutMs. The caller
 * keeps head and its payload.
 * OS_MSG_OK once the message is queued (across processes: accepted by the
 * receiving process, which queues it in order once there is room);
 * OS_MSG_ERR_FULL when the queue stayed full for timeoutMs (also for a task
 * that sends to its own full queue, which only its own loop could empty);
 * every other result as OsMsgAsynSend. A task being unregistered ends the
 * wait at once with its result. */
OS_MSG_API uint32_t OsMsgAsynSendTimed(MsgHead *head, uint32_t timeoutMs);

/* Sends the message as a request and waits at most timeout ms (0: 30,000 ms)
 * for the receiver's answer (OsMsgSynSendResp). sendTaskName is always
 * replaced by the calling thread's task name (a thread that is no task gets a
 * temporary one for the call), since only the requester may free the
 * response. A task that sends to itself has its callback run on the calling
 * thread.
 * OS_MSG_OK and *respOut = the response: a header whose data/dataLen describe
 * the library's copy of the answer. It belongs to the calling thread until it
 * passes it to OsMsgSynRespFree, which the same thread must do before its
 * next OsMsgSynSend. On failure *respOut is NULL.
 * OS_MSG_ERR_INVALID_PARAM (head or respOut NULL, or recvTaskName empty);
 * OS_MSG_ERR_OVERSIZE; OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_NOT_FOUND (no such
 * task, or it was unregistered while the call waited; across processes with
 * the "unix" carrier the receiving process refuses the call at once);
 * OS_MSG_ERR_SERVER_NOT_RUNNING (no process of that name runs); OS_MSG_ERR_FULL;
 * OS_MSG_ERR_TIMEOUT or OS_MSG_ERR_SYN_TIMEOUT (no answer in time);
 * OS_MSG_ERR_WAIT; OS_MSG_ERR_NO_CALLBACK (a task sending to itself has no
 * callback); OS_MSG_ERR_NO_MEMORY. */
OS_MSG_API uint32_t OsMsgSynSend(MsgHead *head, MsgHead **respOut, uint32_t timeout);

/* Answers a request from inside the receiving task's callback: head is the
 * request exactly as the callback received it; the len bytes at data (none
 * when data is NULL or len is 0) are copied to the requester. The caller
 * keeps data. Its CPU ids are normalised in place.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (head NULL or its sendTaskName empty);
 * OS_MSG_ERR_OVERSIZE (data given and len above OS_MSG_MAX_DATA_LEN);
 * OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_REQ_RELEASED or OS_MSG_ERR_RESP_STATE (the
 * requester no longer waits for this answer, e.g. after its time-out);
 * OS_MSG_ERR_NOT_FOUND (the requester is gone); OS_MSG_ERR_NO_MEMORY. */
OS_MSG_API uint32_t OsMsgSynSendResp(MsgHead *head, const void *data, uint32_t len);

/* Releases a response of OsMsgSynSend; head and its data must not be used
 * afterwards. Only the thread that made the request may release it.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (head NULL or its sendTaskName empty);
 * OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_FAIL (called by another task or on another
 * CPU: nothing is released); OS_MSG_ERR_NOT_FOUND; OS_MSG_ERR_RESP_STATE. */
OS_MSG_API uint32_t OsMsgSynRespFree(MsgHead *head);

/* ---------------------------------------------------------------------------
 * Events
 *
 * A task subscribes to event ids published by named tasks; any task
 * publishes events, and each event reaches every matching subscriber's
 * callback as an asynchronous message. Requests are applied in order by the
 * library's broadcast task, after the call returns. A call that returns
 * OS_MSG_OK has queued its request, and it takes effect: every event then
 * reaches every matching subscriber once. When the broadcast task's queue is
 * full, the call waits up to 1,000 ms for room and then returns
 * OS_MSG_ERR_FULL, with nothing of the request queued. A subscriber whose
 * queue is full holds the broadcast task up to 2,000 ms per event before it
 * loses that event.
 * ------------------------------------------------------------------------- */

/* Subscribes to count events (count >= 1): entries[i] names the event msgId
 * and its publisher (cpuId, procName, taskName) and the subscribing task
 * (subTaskName; empty: the calling thread's task). The caller keeps entries;
 * each cpuId is replaced by its real CPU id.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (entries NULL or count 0, tested before
 * anything else); OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_OVERSIZE (too many entries
 * for one message); OS_MSG_ERR_NO_MEMORY; OS_MSG_ERR_FULL (the broadcast
 * task's queue stayed full); OS_MSG_ERR_NO_IDLE_BLOCK (the subscriptions
 * kept for other processes would pass OS_MSG_SUB_KEPT_MAX: nothing of the
 * request is sent); 0xFFFFFFFF when no entry belongs to this CPU (the
 * others were sent).
 * With the "unix" carrier an entry whose publisher is another process goes
 * to that process, and this process keeps it (until the matching
 * unsubscription or OsMsgUninit) to send it again each time that process
 * joins: a subscription to a publisher that does not run yet is accepted
 * (OS_MSG_OK, nothing logged) and takes effect when it joins, and one to a
 * publisher that restarts goes on. */
OS_MSG_API uint32_t OsMsgSubscribeEvent(MsgSubEntry *entries, uint32_t count);

/* Subscriptions to publishers in other processes that a process keeps to
 * send again (see OsMsgSubscribeEvent): at most this many entries, about
 * 64 bytes each. */
#define OS_MSG_SUB_KEPT_MAX 4096U

/* Removes the subscriptions entries describe, from the publisher's table and
 * from those this process keeps; same rules and results as
 * OsMsgSubscribeEvent. */
OS_MSG_API uint32_t OsMsgUnsubscribeEvent(MsgSubEntry *entries, uint32_t count);

/* Publishes count events (count >= 1); the caller keeps events and their
 * data, which are copied. An event with an empty taskName is published under
 * the calling thread's task name.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (events NULL, count 0, or an event with
 * a positive dataLen and no data); OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_OVERSIZE
 * (the events do not fit one message); OS_MSG_ERR_NO_MEMORY; OS_MSG_ERR_FULL
 * (the broadcast task's queue stayed full). */
OS_MSG_API uint32_t OsMsgBroadcastEvent(const MsgBroEntry *events, uint32_t count);

/* ---------------------------------------------------------------------------
 * Diagnostics
 * ------------------------------------------------------------------------- */

/* Log levels: 0 DEBUG, 1 INFO, 2 WARN, 3 ERROR (default threshold), 4 FATAL. */
#define OS_MSG_LOG_DEBUG 0U
#define OS_MSG_LOG_INFO 1U
#define OS_MSG_LOG_WARN 2U
#define OS_MSG_LOG_ERROR 3U
#define OS_MSG_LOG_FATAL 4U

/* Installs the sink for every log record of the library. NULL switches the
 * records off entirely; a non-NULL function replaces the default sink, which
 * writes each line to standard error. With the platform libraries this
 * library ships as a stand-in, the records its in-process layer, tables and
 * registry write through the platform log reach the same sink, as lines of
 * the same shape, unless the program set a sink of the platform log itself
 * (OsLogSetSink), which keeps those. */
OS_MSG_API void OsMsgRegLogFunc(OsMsgLogFunc func);

/* Sets the lowest level that is logged (0-4), for every record as
 * OsMsgRegLogFunc describes. Other values are ignored. Records below the
 * level cost no formatting. The environment variable VYRE_OS_MSG_LOG_LEVEL
 * (0-4, or DEBUG, INFO, WARN, ERROR, FATAL), read when the library is
 * loaded, sets the starting level (default 3, ERROR). */
OS_MSG_API void OsMsgSetLogLevel(uint32_t level);

/* The name of result code code and what it means, as one line of text:
 * "OS_MSG_ERR_FULL: a queue or table is full: ...". "unknown result code" for
 * a value this header does not define. A constant string: never NULL, never
 * to be freed. Callable at any time, also before OsMsgInit. */
OS_MSG_API const char *OsMsgStrError(uint32_t code);

/* ---------------------------------------------------------------------------
 * Task statistics
 *
 * Every task keeps counters from its registration on; they cost a few
 * relaxed atomic operations per message and take no lock on the message
 * path. They count pushes that reached the task's queue: a send refused
 * before (unknown task, no memory for the payload copy) is not counted.
 * ------------------------------------------------------------------------- */

typedef struct OsMsgTaskStats {
    uint64_t accepted;      /* messages taken into the queue */
    uint64_t refusedFull;   /* sends refused with OS_MSG_ERR_FULL */
    uint64_t handled;       /* messages the loop passed to the callback (or dropped, without one) */
    uint64_t callbackMaxNs; /* longest callback call, in nanoseconds */
    uint64_t callbackP99Ns; /* 99th percentile of the callback calls: the top of its histogram bucket (at most
                               25% above the true value), never above callbackMaxNs; 0 before the first call */
    uint32_t queueLen;      /* queue capacity in messages */
    uint32_t pending;       /* messages queued now (a snapshot) */
    uint32_t highWater;     /* most messages ever queued at once */
    uint32_t refusedAccess; /* messages from other processes its access policy refused (at most 0xFFFFFFFF) */
} OsMsgTaskStats;

/* Reads the counters of task taskName of this process into *stats. Once
 * every sender has returned and the queue is empty, accepted + refusedFull is
 * the number of sends that reached the task and handled equals accepted.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (taskName NULL or empty, or stats
 * NULL); OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_NOT_FOUND (no such task, or it is
 * being unregistered). */
OS_MSG_API uint32_t OsMsgGetTaskStats(const char *taskName, OsMsgTaskStats *stats);

/* Flushes the C library's standard output stream, so that what the program
 * printed there before comes first, then writes the counters of every task
 * to standard output, one line each, as the library's other listings do:
 * "TaskStats: <name> queueLen:<n> pending:<n> highWater:<n> accepted:<n>
 * refusedFull:<n> handled:<n> cbMaxNs:<n> cbP99Ns:<n> refusedAccess:<n>".
 * OS_MSG_OK; OS_MSG_ERR_NOT_INIT. */
OS_MSG_API uint32_t OsMsgDumpStats(void);

/* ---------------------------------------------------------------------------
 * Shared buffers and descriptors
 *
 * Large payloads (video frames) need not be copied: a sender takes a buffer
 * from its process's pool of shared memory (OsMsgBufAlloc), writes its data
 * there and sends a message whose data points into it (OsMsgAsynSendBuf,
 * OsMsgSynSendBuf, OsMsgBroadcastEventBuf). The receiving callback finds
 * data/dataLen as usual, pointing at the very buffer (within the process) or
 * into a read-only mapping of it (in another process): nothing is copied,
 * and dataLen may reach OS_MSG_BUF_MAX_SIZE instead of OS_MSG_MAX_DATA_LEN. A
 * buffer counts references: its owner's, one per message that carries it,
 * one per hold. A receiver keeps a buffer past its callback with
 * OsMsgBufHold and gives it back with OsMsgBufRelease; the buffer goes back
 * to the pool when the last reference is gone (one frame broadcast to N
 * subscribers is one buffer and N references).
 *
 * A shared buffer stays the sender's memory: it is not zeroed when it comes
 * back, and a sender can still write to it while a receiver reads it. A
 * receiver that must not trust its sender copies what it keeps.
 *
 * Between processes (the "unix" carrier) a segment's memory file is passed
 * once per connection, read-only, and mapped once by the receiving process,
 * which checks that it is sealed against shrinking and growing: a sender
 * can neither cut a mapping short under its reader nor be written to by
 * it. The receiver's references travel back when its last one goes; a
 * receiver that dies gives back all it held, and a sender that dies leaves
 * its receivers' buffers valid until they release them. What another
 * process holds of a task's buffers is its buffersAtPeers
 * (OsMsgGetTaskBufStats), and a refusal of a full pool names the process
 * that holds most of it.
 *
 * The pool consists of sealed anonymous memory files (they cannot shrink or
 * grow, and have no name in any file system, so nothing is left behind when
 * the process ends), mapped once each. It grows on demand up to its limit
 * (OS_MSG_BUF_POOL_DEFAULT_MB, changed with OsMsgBufSetPoolLimit); beyond it
 * an allocation fails at once with OS_MSG_ERR_FULL, so a receiver that holds
 * buffers cannot make its sender wait. A buffer takes the next power of two
 * of at least 4 KiB of the pool's address space (only the pages written take
 * memory); buffers up to 16 MiB share segments, larger ones get one each.
 *
 * A message can also carry file descriptors (a dmabuf, a memory file, a
 * pipe): OsMsgAsynSendFds. The callback takes those it wants with
 * OsMsgTakeFd; the library closes the others when the callback returns, and
 * the descriptors of a message that is dropped.
 *
 * Shared buffers and descriptors reach tasks of the own process (also
 * through the loopback) and, with the "unix" carrier, of other processes;
 * a response carries neither (OsMsgSynSendResp copies).
 * ------------------------------------------------------------------------- */

/* Largest shared buffer: 256 MiB. */
#define OS_MSG_BUF_MAX_SIZE 0x10000000U
/* The pool's limit until OsMsgBufSetPoolLimit: 1 GiB of mapped segments. */
#define OS_MSG_BUF_POOL_DEFAULT_MB 1024U
/* Most descriptors one message carries. */
#define OS_MSG_MAX_FDS 16U

/* Gives the caller a buffer of size bytes (1 to OS_MSG_BUF_MAX_SIZE) from
 * the process's pool: *data is its first byte, aligned to 4 KiB; its
 * contents are whatever it held before. The caller owns it until it sends it
 * or frees it. Callable at any time, also before OsMsgInit.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (data NULL, size 0 or too large);
 * OS_MSG_ERR_FULL (the pool is at its limit: buffers must come back first);
 * OS_MSG_ERR_SYSTEM (the system refused a memory file or a mapping);
 * OS_MSG_ERR_NO_MEMORY. */
OS_MSG_API uint32_t OsMsgBufAlloc(uint32_t size, void **data);

/* As OsMsgBufAlloc, but when the pool is at its limit it waits up to
 * timeoutMs for buffers to come back (or the limit to rise), woken when one
 * does, instead of refusing at once: for a producer whose buffers are all
 * with its consumers. timeoutMs 0 waits not at all. Not to be called from a
 * task's callback whose own messages hold the buffers it waits for.
 * OS_MSG_OK; the codes of OsMsgBufAlloc, OS_MSG_ERR_FULL once timeoutMs has
 * passed without room. */
OS_MSG_API uint32_t OsMsgBufAllocTimed(uint32_t size, void **data, uint32_t timeoutMs);

/* Gives back a buffer that the caller owns and never sent (or whose send
 * failed); data may point anywhere inside it. Holds on it stay valid.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (data is not inside a buffer the
 * caller owns). */
OS_MSG_API uint32_t OsMsgBufFree(void *data);

/* Sends head as OsMsgAsynSend does, except that its payload is not copied:
 * data must point into a shared buffer that the caller owns, and data +
 * dataLen must not run past the buffer's end (dataLen 1 to the buffer's
 * size; OS_MSG_MAX_DATA_LEN does not apply). On OS_MSG_OK the buffer belongs
 * to the library, which gives it back to the pool once the receiver is done
 * with it (or at once when the message is dropped); the caller must not
 * touch it any more unless it holds it (OsMsgBufHold, before the send). On
 * any other result it stays the caller's.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (head NULL, recvTaskName empty, data
 * not inside a buffer the caller owns, or dataLen 0); OS_MSG_ERR_OVERSIZE
 * (dataLen runs past the buffer's end); OS_MSG_ERR_NOT_INIT;
 * OS_MSG_ERR_NOT_FOUND; OS_MSG_ERR_FULL (the receiver's queue is full, or
 * its byte bound is reached); OS_MSG_ERR_NO_MEMORY; the results of
 * OsMsgAsynSend for a receiver in another process
 * (OS_MSG_ERR_SERVER_NOT_RUNNING, ...); OS_MSG_ERR_NOT_IMPLEMENTED (the
 * receiver is on another CPU, or the carrier passes no buffers). */
OS_MSG_API uint32_t OsMsgAsynSendBuf(MsgHead *head);

/* Sends head as a request, as OsMsgSynSend does, with its payload in a shared
 * buffer that the caller owns, as for OsMsgAsynSendBuf. The buffer is lent,
 * not given: it stays the caller's in every case (to send again, to free),
 * and the receiver reads it in place; the library's reference goes when the
 * receiver's callback has returned. Results of OsMsgSynSend, and those of
 * OsMsgAsynSendBuf for the buffer. */
OS_MSG_API uint32_t OsMsgSynSendBuf(MsgHead *head, MsgHead **respOut, uint32_t timeout);

/* Publishes one event, as OsMsgBroadcastEvent does, whose data lies in a
 * shared buffer that the caller owns (event->dataLen bytes at event->data,
 * not running past the buffer's end). Every subscriber's callback gets the
 * same buffer, with a reference of its own. On OS_MSG_OK the buffer belongs
 * to the library (with no subscriber it goes back to the pool at once); on
 * any other result it stays the caller's.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (event NULL, dataLen not positive, data
 * not inside a buffer the caller owns); OS_MSG_ERR_OVERSIZE;
 * OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_NO_MEMORY; OS_MSG_ERR_FULL (the broadcast
 * task's queue stayed full). */
OS_MSG_API uint32_t OsMsgBroadcastEventBuf(const MsgBroEntry *event);

/* Adds a hold on the shared buffer that data points into: it stays valid
 * until the matching OsMsgBufRelease, also past the callback that received
 * it. A hold made on a task's thread is charged to that task (its
 * OsMsgGetTaskBufStats, and its byte bound); one made on another thread to
 * no task. Any thread.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (data is not inside a buffer in use);
 * OS_MSG_ERR_NO_MEMORY. */
OS_MSG_API uint32_t OsMsgBufHold(const void *data);

/* Gives back one hold on the buffer that data points into: one of the
 * calling thread's task when it holds the buffer, else one charged to no
 * task, else the oldest. The buffer goes back to the pool with its last
 * reference. Any thread.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (data is not inside a buffer in use, or
 * the buffer has no hold). */
OS_MSG_API uint32_t OsMsgBufRelease(const void *data);

/* Sets the most the pool maps, in MiB (at least 1, at most 1048576). A lower
 * limit than what is mapped unmaps the segments with no buffer in use; the
 * others go as their buffers come back. OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM
 * (out of range). Any time. */
OS_MSG_API uint32_t OsMsgBufSetPoolLimit(uint32_t megabytes);

typedef struct OsMsgBufPoolStats {
    uint64_t mappedBytes; /* segments mapped now */
    uint64_t limitBytes;  /* the most that may be mapped */
    uint64_t bytesInUse;  /* sizes of the buffers in use (as asked for) */
    uint64_t refusedFull; /* allocations refused with OS_MSG_ERR_FULL */
    uint32_t segments;    /* segments mapped */
    uint32_t buffersInUse;
} OsMsgBufPoolStats;

/* Reads the pool's figures. OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (stats NULL).
 * Any time. */
OS_MSG_API uint32_t OsMsgBufGetPoolStats(OsMsgBufPoolStats *stats);

/* Sends head as OsMsgAsynSend does (its payload copied), together with
 * fdCount descriptors (at most OS_MSG_MAX_FDS): each is duplicated
 * (close-on-exec) before the call returns, so the caller keeps and closes its
 * own in every case. The receiving callback takes them with OsMsgTakeFd; the
 * library closes those the callback did not take, and all of them when the
 * message is refused or dropped.
 * Between processes the descriptors travel with the message (SCM_RIGHTS),
 * and a payload above 60 KiB goes in a shared buffer of the sender's pool.
 * Results of OsMsgAsynSend, and OS_MSG_ERR_INVALID_PARAM (fds NULL with
 * fdCount above 0, more than OS_MSG_MAX_FDS, or a descriptor not open),
 * OS_MSG_ERR_SYSTEM (the process has no descriptor number left),
 * OS_MSG_ERR_FULL (also: such a payload found the pool full, or descriptors
 * that wait for this process's tasks passed a quarter of its descriptor
 * limit; across processes the receiver then stops reading the connection
 * instead, until its tasks have worked them down),
 * OS_MSG_ERR_NOT_IMPLEMENTED (the receiver is on another CPU). */
OS_MSG_API uint32_t OsMsgAsynSendFds(MsgHead *head, const int *fds, uint32_t fdCount);

/* Inside a task's callback, for the message msg it received: the number of
 * its descriptors (taken ones included; 0 for a message without any, or when
 * msg is not the callback's message). */
OS_MSG_API uint32_t OsMsgFdCount(const MsgHead *msg);

/* Inside a task's callback: takes descriptor index (0 to OsMsgFdCount - 1)
 * of the message msg it received, which the caller then owns and closes. -1
 * when there is none at index, it was taken already, or msg is not the
 * callback's message. */
OS_MSG_API int OsMsgTakeFd(MsgHead *msg, uint32_t index);

/* Bounds the bytes waiting for task taskName of this process: payloads of
 * its queued messages (copied payloads by their length, shared buffers by
 * their size) and the shared buffers it holds. A send that would pass the
 * bound is refused with OS_MSG_ERR_FULL, like one to a full queue; a task
 * with nothing queued or held takes one message of any size. bytes 0 removes
 * the bound (the default). Messages queued before the bound was set do not
 * count against it. A task without a bound pays nothing for this.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (taskName NULL or empty);
 * OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_NOT_FOUND. */
OS_MSG_API uint32_t OsMsgSetTaskByteLimit(const char *taskName, uint64_t bytes);

typedef struct OsMsgTaskBufStats {
    uint64_t byteLimit;      /* the bound, 0 for none */
    uint64_t bytesQueued;    /* queued bytes counted against the bound (0 without one) */
    uint64_t bytesHeld;      /* sizes of the shared buffers the task holds */
    uint64_t refusedBytes;   /* sends the bound refused (also in refusedFull) */
    uint32_t buffersHeld;    /* holds the task has not released */
    uint32_t buffersAtPeers; /* references to shared buffers the task sent (not lent to a call) that other
                                processes still hold */
} OsMsgTaskBufStats;

/* Reads the byte bound and shared-buffer figures of task taskName.
 * OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM (taskName NULL or empty, stats NULL);
 * OS_MSG_ERR_NOT_INIT; OS_MSG_ERR_NOT_FOUND. */
OS_MSG_API uint32_t OsMsgGetTaskBufStats(const char *taskName, OsMsgTaskBufStats *stats);

/* ---------------------------------------------------------------------------
 * Message memory pool
 * ------------------------------------------------------------------------- */

/* Sets up the process's message memory pool: maxPoolSize / chunkSize chunks
 * of chunkSize bytes, made at once. While the pool is in use, every message
 * payload copy of at most chunkSize bytes comes from it (and a send fails
 * with OS_MSG_ERR_NO_MEMORY when no chunk is free); larger payloads use the
 * general allocator. Only processes on the library's list may have a pool.
 * Call before the first message buffer is taken.
 * Returns OS_MSG_OK; OS_MSG_ERR_INVALID_PARAM when chunkSize is outside
 * 16..3072 or maxPoolSize outside 10240..1048576, or the process is not
 * listed; OS_MSG_ERR_REPEATED when a pool is already in use (it stays as it
 * is); OS_MSG_ERR_NO_MEMORY when memory is short (if only some chunks could
 * be made, the pool is in use with those). */
OS_MSG_API uint32_t OsMsgMemPoolInit(uint32_t maxPoolSize, uint32_t chunkSize);

/* Releases the pool; a new OsMsgMemPoolInit may follow. Call only after every
 * pool buffer came back (no messages in flight). Returns OS_MSG_OK, also when
 * no pool exists. OsMsgUninit releases the pool too. */
OS_MSG_API uint32_t OsMsgMemPoolUnInit(void);

/* ---------------------------------------------------------------------------
 * Multi-CPU channel
 * ------------------------------------------------------------------------- */

/* Asks the multi-CPU channel for its synchronisation status; arg is passed
 * unchanged to the channel implementation, which defines its meaning. Returns
 * the implementation's answer, or 0 (after an ERROR log line) when no
 * channel implementation is attached, as on a single-CPU platform. */
OS_MSG_API uint32_t OsMscGetSyncStatus(void *arg);

/* Hands cb, unchanged, to the channel implementation as its synchronisation
 * status callback; the implementation defines cb's type and when it is
 * called. Returns OS_MSG_OK, or the implementation's non-zero result when it
 * refuses cb. Without a channel implementation: 0 after an ERROR log line. */
OS_MSG_API uint32_t OsMscSetSyncStatusCallback(void *cb);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_OS_MSG_H */

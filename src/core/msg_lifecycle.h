/*
 * Process start-up and shutdown: joining the messaging system under the own
 * process name (local service registry, channel layer, the process's server
 * thread with its start hand-shake, task table, subscription table,
 * transport client, CPU configuration), letting the main thread wait for the
 * server to quit, and tearing everything down again.
 *
 * Threads. The initialising thread runs MsgInit; the server thread (one per
 * life cycle, detached) runs MsgMainThreadProc: it starts the transport
 * server (which starts the life cycle's broadcast thread; that thread waits
 * for the set-up's outcome and ends at once when the set-up fails) and
 * reports through g_msgServerSem. Then it runs the transport's join, unless a server
 * thread of an earlier life cycle still runs it: the join serves the
 * process, and on this platform it never returns, so the first server thread
 * stays in it for the life of the process and the later ones end after
 * their report. The main thread waits in MsgWaitServer; any thread may stop
 * the server (MsgDestroyServer) or tear down (MsgUninit).
 *
 * Locks, outermost first:
 *   g_msgInitMutex    plain POSIX mutex, statically initialised. Held across
 *                     the whole of MsgInit (test, mark and every set-up step,
 *                     including the roll-back of a failed one) and the whole
 *                     of MsgUninit, so set-up and teardown never overlap: a
 *                     MsgInit during another thread's set-up waits for it and
 *                     then finds the library initialised. Taken before every
 *                     other library lock; nothing the set-up waits for (the
 *                     server's start report) needs it.
 *   g_msgServerMutex  statically initialised. Guards the existence of
 *                     g_msgServerCond and g_msgServerSem, the waiters of
 *                     MsgWaitServer and the quit count; taken inside
 *                     g_msgInitMutex by teardown, alone by everyone else.
 * g_msgServerQuit and g_msgServerStarted are single words accessed
 * atomically: the server thread writes them before it posts the semaphore,
 * and the quit flag is set before g_msgServerMutex is taken.
 *
 * Results are the codes of vyre_os_msg.h; every failure is logged once with
 * the library's own line (MSG_LOG).
 */
#ifndef VYRE_MSG_LIFECYCLE_H
#define VYRE_MSG_LIFECYCLE_H

#include <pthread.h>
#include <stdint.h>

#include "vyre_os_lock.h"
#include "vyre_os_msg.h"
#include "vyre_os_sem.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Capacities passed during set-up: registry slots, task table buckets,
 * subscription table buckets. */
#define MSG_LOCAL_SERVICE_NUM 128U
#define MSG_TASK_TABLE_BUCKETS 128U
#define MSG_SUBSCRIBE_TABLE_BUCKETS 128U

extern pthread_mutex_t g_msgInitMutex;
/* 1 while the server is not running or has quit, 0 while it runs. */
extern uint32_t g_msgServerQuit;
/* 1 once a transport server has started in this process; never cleared. */
extern uint32_t g_msgServerStarted;
/* OsMsgMain waits on it for the server to quit. Exists from MsgCreateServer
 * until the last waiter of MsgWaitServer has left after the quit. */
extern OsCond g_msgServerCond;
extern OsMutex g_msgServerMutex;
/* The server thread posts it once to report its start. Exists along with
 * g_msgServerCond. */
extern OsSem g_msgServerSem;

/*
 * Joins the messaging system under procName (non-empty, at most 15
 * characters: checked by the caller). 0 also when the library is initialised
 * already (INFO "already inited."); a call during another thread's set-up or
 * teardown waits for it to finish. Otherwise MsgInitResource's result: on
 * failure the process is left not initialised, with an empty name, nothing
 * of the set-up kept and no library thread of it left running.
 */
OS_MSG_API uint32_t MsgInit(const char *procName);

struct MsgJoinSettings;
/* MsgInit with the settings of OsMsgInitWithOptions (see
 * core/msg_join_options.h): once the library is found not initialised, the
 * log level and sink are applied and the carrier and run directory
 * configured for this membership, before any other step. MsgInit passes the
 * zero settings. Not exported. */
uint32_t MsgInitWith(const char *procName, const struct MsgJoinSettings *settings);

/*
 * Creates the process's resources in order; the caller holds g_msgInitMutex
 * and has marked the library initialised. A local service registry that the
 * application created before is adopted as it is (and left to it at
 * teardown); otherwise the set-up creates one, and only that one is
 * destroyed again. The last step registers the broadcast task "pmsgBro",
 * whose loop the server's broadcast thread runs once the set-up succeeded.
 * The first failing step's code is logged ("msg init error ret=%d.") and
 * returned after everything was rolled back: the broadcast thread has ended
 * (it never retries anything) and the process is not initialised. Codes:
 * 0x80020020 (no memory for the registry's slots); MsgCreateServer's;
 * 0x80020002 (the server thread did not start its transport server);
 * SimpleMsgCreateQueue's; MsgCreateSubscribeTable's; PMsgInitClient's;
 * MsgMscInit's; MsgCpuCfgInit's; SimpleMsgRegTask's for the broadcast task.
 */
OS_MSG_API uint32_t MsgInitResource(const char *procName);

/*
 * Makes sure g_msgServerCond and g_msgServerSem exist (those of an earlier
 * life cycle whose waiter never came are reused), stores the process name
 * and starts the server thread. 0; MsgSetProcName's code (ERROR
 * "MsgSetProcName error. ret = %d", no thread started); 0x8002001f (ERROR
 * "thread create error."). Called by MsgInitResource only.
 */
OS_MSG_API uint32_t MsgCreateServer(const char *procName);

/* Body of the server thread; arg is not used. Detaches itself, starts the
 * transport server under the own name and reports through g_msgServerSem:
 * g_msgServerQuit 0 when the server started, 1 when not (ERROR "start
 * server[%s] error."). Then, unless another server thread is in it, runs the
 * transport's join and, when that returns 0, MsgNotifyQuit. Returns NULL. */
OS_MSG_API void *MsgMainThreadProc(void *arg);

/*
 * Blocks until the server quits (MsgNotifyQuit). 0x80020002 at once when it
 * is not running; otherwise the last condition wait's result, 0 after a
 * normal wake-up (a failing wait logs FATAL "thread cond wait error = %d."
 * and waits again). The last waiter to leave destroys g_msgServerCond and
 * g_msgServerSem, unless a set-up is between creating them and its
 * hand-shake. Any number of threads may wait; each quit wakes all of them.
 */
OS_MSG_API uint32_t MsgWaitServer(void);

/* Threads waiting in MsgWaitServer right now (not exported; tests use it to
 * know a waiter is in place). */
uint32_t MsgWaitServerWaiters(void);

/* Marks the server quit and wakes every waiter of MsgWaitServer (DEBUG
 * "binder server[%s] quit."). Harmless at any time: without the condition
 * (never created, or destroyed by the last waiter) nothing is signalled. */
OS_MSG_API void MsgNotifyQuit(void);

/* Stops the transport server when one was ever started, then MsgNotifyQuit.
 * Always 0. */
OS_MSG_API uint32_t MsgDestroyServer(void);

/*
 * Tears the process down; always 0, and nothing happens when the library is
 * not initialised. A call during another thread's set-up waits for it.
 * Public operations are refused from the start (0x80020004); then every task
 * is removed (ending the task loops and waking synchronous requesters), the
 * subscription table destroyed, and the operations still running are waited
 * for; then follow the channel layer, the process name, the in-process
 * layer's locks (not initialised from here on), the transport client, the
 * server stop and wake-up, and the local service registry when the set-up
 * created it. All of it under g_msgInitMutex. Must not run on a task loop
 * thread while other task loops wait for that thread.
 */
OS_MSG_API uint32_t MsgUninit(void);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_LIFECYCLE_H */

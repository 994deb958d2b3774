/*
 * Process start-up and shutdown, the server thread and the wait for the
 * server to quit. Locks and threads: see msg_lifecycle.h.
 *
 * The server's condition and semaphore are created on demand and destroyed by
 * the last waiter of MsgWaitServer, never while a set-up waits for the start
 * report (g_msgServerHandshake) or a waiter still sleeps on the condition
 * (g_msgServerWaiters). MsgNotifyQuit signals only while they exist
 * (g_msgServerObjects), so a quit after the waiter is gone is harmless.
 */
#include "core/msg_lifecycle.h"

#include <string.h>

#include "base/msg_fork_state.h"
#include "base/msg_names.h"
#include "base/msg_proc_name.h"
#include "base/msg_result_code.h"
#include "base/msg_setup_state.h"
#include "base/msg_thread_name.h"
#include "broadcast/msg_broadcast.h"
#include "core/msg_api_gate.h"
#include "core/msg_ctl.h"
#include "core/msg_join_options.h"
#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "msc/msg_msc.h"
#include "service/msg_local_service.h"
#include "simple_msg/simple_msg.h"
#include "transport/ipc_carrier.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"
#include "vyre_os_thread.h"

pthread_mutex_t g_msgInitMutex = PTHREAD_MUTEX_INITIALIZER;
uint32_t g_msgServerQuit = 1U;
uint32_t g_msgServerStarted = 0U;
OsCond g_msgServerCond;
OsMutex g_msgServerMutex = PTHREAD_MUTEX_INITIALIZER;
OsSem g_msgServerSem;

namespace {

/* All guarded by g_msgServerMutex. */
bool g_msgServerObjects = false;   // g_msgServerCond and g_msgServerSem exist
bool g_msgServerHandshake = false; // a set-up waits for the server's start report
uint32_t g_msgServerWaiters = 0U;  // threads inside MsgWaitServer's wait
uint32_t g_msgServerQuits = 0U;    // quits so far; a waiter leaves when it changes

/* 1 while a server thread runs the transport's join; accessed atomically. */
uint32_t g_msgServerInJoin = 0U;

void MsgSetServerQuit(uint32_t quit) {
    __atomic_store_n(&g_msgServerQuit, quit, __ATOMIC_RELEASE);
}

uint32_t MsgServerQuit(void) {
    return __atomic_load_n(&g_msgServerQuit, __ATOMIC_ACQUIRE);
}

/* The quit notice under the name the server ran as: the server thread passes
 * its own copy, since a teardown may be clearing the process name while the
 * server leaves its join. */
void MsgNotifyQuitAs(const char *procName) {
    MsgSetServerQuit(1U);
    (void)OsMutexLock(&g_msgServerMutex);
    MSG_LOG(OS_MSG_LOG_DEBUG, "binder server[%s] quit.", procName);
    g_msgServerQuits += 1U;
    if (g_msgServerObjects) {
        (void)OsPthreadCondSignal(&g_msgServerCond);
    }
    (void)OsMutexUnLock(&g_msgServerMutex);
}

/* The set-up no longer waits for a start report: the last waiter of
 * MsgWaitServer may destroy the server's objects again. */
void MsgEndHandshake(void) {
    (void)OsMutexLock(&g_msgServerMutex);
    g_msgServerHandshake = false;
    (void)OsMutexUnLock(&g_msgServerMutex);
}

/* Waits for the start report of the server thread MsgCreateServer started. */
void MsgWaitServerReport(void) {
    (void)OsSemWait(&g_msgServerSem);
    MsgEndHandshake();
}

/* true while the local service registry is the one the set-up created, and
 * so the teardown's to destroy; a registry the application created before
 * is used as it is and left to the application. Guarded by g_msgInitMutex. */
bool g_msgOwnsRegistry = false;

/* Adopts the registry that exists, or creates one. 0, or 0x80020020 when
 * the slots could not be allocated. */
uint32_t MsgInitRegistry(void) {
    if (MsgLocalServiceMangerExists() != 0U) {
        return OS_MSG_OK;
    }
    if (MsgInitLocalServiceManger(MSG_LOCAL_SERVICE_NUM) == 1U) {
        g_msgOwnsRegistry = true;
        return OS_MSG_OK;
    }
    return MsgLocalServiceMangerExists() != 0U ? OS_MSG_OK : OS_MSG_ERR_NO_MEMORY;
}

/* The set-up steps that need the running server: task table, subscription
 * table, the broadcast task (registered here so that event requests sent as
 * soon as the set-up returns find it, and so that a failure to register it
 * fails the set-up instead of leaving a thread that retries) and the
 * control task with its thread, then the transport client, channel layer
 * and CPU configuration. The library's own tasks come before the transport
 * client: a carrier between processes makes the process visible to the
 * others when it opens, and what they send at once (subscriptions sent
 * again, inspection requests) finds its task. */
uint32_t MsgInitTables(const char *procName) {
    uint32_t ret = SimpleMsgCreateQueue(MSG_TASK_TABLE_BUCKETS);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    ret = MsgCreateSubscribeTable(MSG_SUBSCRIBE_TABLE_BUCKETS);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    ret = SimpleMsgRegTask(MSG_TASK_NAME_PMSG_BRO, 0U, IPCMsgBroTaskCallback, 0U);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    ret = MsgCtlStart();
    if (ret != OS_MSG_OK) {
        return ret;
    }
    ret = PMsgInitClient();
    if (ret != OS_MSG_OK) {
        return ret;
    }
    ret = MsgMscInit(procName);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    return MsgCpuCfgInit();
}

/* The teardown; the caller holds g_msgInitMutex and the library is
 * initialised. */
void MsgTearDown(void) {
    MsgApiBlock();
    // The transport client goes first: a carrier between processes stops
    // delivering into the tables before they go.
    (void)PMsgUninitClient();
    // Responses live in task records: no call may still read one when the
    // tasks go. Removing the tasks then ends every wait an ordinary call can
    // be in, so its drain is short, and no call still running sees the
    // channel layer, the name or the locks half torn down.
    MsgApiDrain(MSG_API_RESP_CALL);
    SimpleMsgDestroyQueue();
    MsgCtlStop();
    MsgDestroySubscribeTable();
    MsgApiDrain(MSG_API_CALL);
    (void)MsgMscUninit(MsgGetProcName());
    (void)MsgSetProcName("", 0U);
    SimpleMsgUninitPthreadMutex();
    (void)MsgDestroyServer();
    MsgSetupLifeEnd();
    MsgApiUnblock();
    if (g_msgOwnsRegistry) {
        MsgDestroyLocalServiceManger();
        g_msgOwnsRegistry = false;
    }
}

} // namespace

extern "C" {

uint32_t MsgInit(const char *procName) {
    const MsgJoinSettings defaults = {};
    return MsgInitWith(procName, &defaults);
}

uint32_t MsgInitWith(const char *procName, const MsgJoinSettings *settings) {
    MsgForkWatch();
    (void)pthread_mutex_lock(&g_msgInitMutex);
    if (SimpleMsgCheckInit() != 0U) {
        MSG_LOG(OS_MSG_LOG_INFO, "already inited.");
        (void)pthread_mutex_unlock(&g_msgInitMutex);
        return OS_MSG_OK;
    }
    MsgApplyJoinLogging(settings);
    IpcCarrierConfigure(settings->carrier, settings->runDir);
    // The layer's flag goes up before its locks exist: keep calls out.
    MsgApiBlock();
    (void)SimpleMsgInitPthreadMutex();
    MsgApiUnblock();
    PMsgRegAdpFunc();
    uint32_t ret = MsgInitResource(procName);
    (void)pthread_mutex_unlock(&g_msgInitMutex);
    return ret;
}

uint32_t MsgInitResource(const char *procName) {
    (void)MsgSetupBegin();
    uint32_t ret = MsgInitRegistry();
    if (ret == OS_MSG_OK) {
        (void)MsgMscInitHidl();
        ret = MsgCreateServer(procName);
        if (ret == OS_MSG_OK) {
            MsgWaitServerReport();
            ret = (MsgServerQuit() == 1U) ? OS_MSG_ERR_SERVER_NOT_RUNNING : MsgInitTables(procName);
        } else {
            MsgEndHandshake();
        }
    }
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "msg init error ret=%d. " MSG_CODE_FMT, (int32_t)ret, MSG_CODE_ARGS(ret));
        // The threads the server started end before the teardown begins.
        MsgSetupEnd(false);
        MsgTearDown();
        return ret;
    }
    MsgSetupEnd(true);
    return OS_MSG_OK;
}

uint32_t MsgCreateServer(const char *procName) {
    (void)OsMutexLock(&g_msgServerMutex);
    if (!g_msgServerObjects) {
        (void)OsPthreadCondInit(&g_msgServerCond, nullptr);
        (void)OsSemInit(&g_msgServerSem, 0U);
        g_msgServerObjects = true;
    }
    g_msgServerHandshake = true;
    (void)OsMutexUnLock(&g_msgServerMutex);

    uint32_t ret = MsgSetProcName(procName, (uint32_t)strlen(procName) + 1U);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "MsgSetProcName error. ret = %d " MSG_CODE_FMT, (int32_t)ret, MSG_CODE_ARGS(ret));
        return ret;
    }
    MsgSetServerQuit(1U);
    OsThread tid;
    if (OsPthreadCreate(&tid, nullptr, MsgMainThreadProc, nullptr) != 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "thread create error.");
        return OS_MSG_ERR_THREAD_CREATE;
    }
    return OS_MSG_OK;
}

void *MsgMainThreadProc(void *arg) {
    (void)arg;
    MsgNameThisThread(MSG_THREAD_SERVER);
    (void)OsPthreadDetach(OsPthreadSelf());
    // Set before this thread was started, and stable until its start report.
    const MsgNameCopy name(MsgGetProcName());
    if (PMsgStartServer(name.text) != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "start server[%s] error.", name.text);
        (void)OsSemPost(&g_msgServerSem);
        return nullptr;
    }
    MsgSetServerQuit(0U);
    __atomic_store_n(&g_msgServerStarted, 1U, __ATOMIC_RELEASE);
    (void)OsSemPost(&g_msgServerSem);
    // From here on this thread touches nothing of its life cycle but the
    // quit notice: a later set-up may reuse the semaphore. The join serves
    // the process, not one life cycle, so only one thread runs it at a time.
    if (__atomic_exchange_n(&g_msgServerInJoin, 1U, __ATOMIC_ACQ_REL) != 0U) {
        return nullptr;
    }
    uint32_t joinRet = PMsgJoinServer();
    __atomic_store_n(&g_msgServerInJoin, 0U, __ATOMIC_RELEASE);
    if (joinRet == OS_MSG_OK) {
        MsgNotifyQuitAs(name.text);
    }
    return nullptr;
}

uint32_t MsgWaitServer(void) {
    uint32_t ret = OS_MSG_OK;
    (void)OsMutexLock(&g_msgServerMutex);
    if (MsgServerQuit() == 1U) {
        ret = OS_MSG_ERR_SERVER_NOT_RUNNING;
    } else {
        const uint32_t quits = g_msgServerQuits;
        g_msgServerWaiters += 1U;
        while (g_msgServerQuits == quits) {
            int32_t waitRet = OsPthreadCondWait(&g_msgServerCond, &g_msgServerMutex);
            if (waitRet != 0) {
                MSG_LOG(OS_MSG_LOG_FATAL, "thread cond wait error = %d.", (int)waitRet);
            }
            ret = (uint32_t)waitRet;
        }
        g_msgServerWaiters -= 1U;
        if (g_msgServerWaiters > 0U) {
            // One signal per quit: each waiter passes it on to the next.
            (void)OsPthreadCondSignal(&g_msgServerCond);
        }
    }
    if (g_msgServerObjects && g_msgServerWaiters == 0U && !g_msgServerHandshake) {
        (void)OsPthreadCondDestroy(&g_msgServerCond);
        (void)OsSemDestroy(&g_msgServerSem);
        g_msgServerObjects = false;
    }
    (void)OsMutexUnLock(&g_msgServerMutex);
    return ret;
}

uint32_t MsgWaitServerWaiters(void) {
    (void)OsMutexLock(&g_msgServerMutex);
    uint32_t waiters = g_msgServerWaiters;
    (void)OsMutexUnLock(&g_msgServerMutex);
    return waiters;
}

void MsgNotifyQuit(void) {
    MsgNotifyQuitAs(MsgGetProcName());
}

uint32_t MsgDestroyServer(void) {
    if (__atomic_load_n(&g_msgServerStarted, __ATOMIC_ACQUIRE) != 0U) {
        (void)PMsgStopServer();
    }
    MsgNotifyQuit();
    return OS_MSG_OK;
}

uint32_t MsgUninit(void) {
    (void)pthread_mutex_lock(&g_msgInitMutex);
    if (SimpleMsgCheckInit() != 0U) {
        MsgTearDown();
    }
    (void)pthread_mutex_unlock(&g_msgInitMutex);
    return OS_MSG_OK;
}

} // extern "C"

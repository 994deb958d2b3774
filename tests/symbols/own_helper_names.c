/* A program that defines functions named like two of the library's own
 * helpers, FreeListNode and FreeDataEntry (both exported, both called when a
 * task leaves the task table), runs a task's life cycle against the shared
 * library: initialise, register a task, send it a message, unregister it,
 * tear down. The library must keep calling its own helpers, so this
 * program's are never called. Exits 0 when the life cycle succeeds and
 * neither function ran, 1 otherwise. */
#define _POSIX_C_SOURCE 200809L /* clock_gettime, pthreads under strict C99 */

#include "vyre_os_msg.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_cond = PTHREAD_COND_INITIALIZER;
static int g_ownHelperCalls; /* guarded by g_lock */
static int g_received;       /* guarded by g_lock */

/* The library's helpers take a list link and an entry; these take any
 * pointer, free nothing and count their calls. */
void FreeListNode(void *link);
void FreeDataEntry(void *entry);

void FreeListNode(void *link) {
    (void)link;
    pthread_mutex_lock(&g_lock);
    ++g_ownHelperCalls;
    pthread_mutex_unlock(&g_lock);
}

void FreeDataEntry(void *entry) {
    FreeListNode(entry);
}

static uint32_t OnMessage(MsgHead *msg) {
    pthread_mutex_lock(&g_lock);
    if (msg->msgId == 7 && msg->dataLen == 5 && memcmp(msg->data, "ping", 5) == 0) {
        g_received = 1;
    }
    pthread_cond_broadcast(&g_cond);
    pthread_mutex_unlock(&g_lock);
    return 0;
}

static void *RunWorker(void *arg) {
    (void)arg;
    OsMsgTaskRoutineByName("worker");
    return NULL;
}

/* Waits at most 10 s for the worker's callback. */
static int WaitForMessage(void) {
    struct timespec deadline;
    int rc = 0;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    pthread_mutex_lock(&g_lock);
    while (!g_received && rc != ETIMEDOUT) {
        rc = pthread_cond_timedwait(&g_cond, &g_lock, &deadline);
    }
    rc = g_received;
    pthread_mutex_unlock(&g_lock);
    return rc;
}

static int Check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "own_helper_names: %s\n", what);
    }
    return ok;
}

int main(void) {
    char payload[] = "ping";
    MsgHead head;
    pthread_t worker;
    int ok = 1;
    int calls;

    OsMsgSetLogLevel(OS_MSG_LOG_FATAL);
    if (!Check(OsMsgInit("symcheck") == OS_MSG_OK, "OsMsgInit failed") ||
        !Check(OsMsgRegTask("worker", 4, OnMessage) == OS_MSG_OK, "OsMsgRegTask failed") ||
        !Check(pthread_create(&worker, NULL, RunWorker, NULL) == 0, "no worker thread")) {
        return 1;
    }
    memset(&head, 0, sizeof(head));
    strcpy(head.sendProcName, "symcheck");
    strcpy(head.recvProcName, "symcheck");
    strcpy(head.recvTaskName, "worker");
    head.msgId = 7;
    head.data = payload;
    head.dataLen = sizeof(payload);
    ok &= Check(OsMsgAsynSend(&head) == OS_MSG_OK, "OsMsgAsynSend failed");
    ok &= Check(WaitForMessage(), "the worker did not receive the message");
    ok &= Check(OsMsgUnregTask(NULL, 0, "worker") == OS_MSG_OK, "OsMsgUnregTask failed");
    pthread_join(worker, NULL);
    ok &= Check(OsMsgUninit() == OS_MSG_OK, "OsMsgUninit failed");

    pthread_mutex_lock(&g_lock);
    calls = g_ownHelperCalls;
    pthread_mutex_unlock(&g_lock);
    ok &= Check(calls == 0, "the library called this program's FreeListNode or FreeDataEntry");
    return ok ? 0 : 1;
}

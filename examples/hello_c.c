/*
 * hello_c: the smallest complete program on libvyre_os_msg, in C99 against
 * the public header alone.
 *
 * The process "hello" has one task, "worker", served by a thread of its own.
 * The main thread sends the worker a greeting (asynchronous, with a payload),
 * asks it synchronously to add two numbers, then tells it to stop the
 * process, and waits in OsMsgMain until it has. Exits 0 when every call
 * returned what this program expects.
 *
 * Threads: main, the worker's loop thread, and the library's own. The
 * worker's counters are read by main only after joining the worker's thread.
 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "vyre_os_msg.h"

#define PROC_NAME "hello"
#define TASK_NAME "worker"
#define MSG_GREETING 0x100U /* payload: a string */
#define MSG_ADD 0x101U      /* synchronous; payload: two uint32_t, answer: their sum */
#define MSG_BYE 0x102U      /* the worker stops the process */

static unsigned g_workerFailures; /* written on the worker's thread only */

static void fill_head(MsgHead *head, uint32_t msgId, void *data, uint32_t len) {
    memset(head, 0, sizeof(*head));
    head->msgId = msgId;
    head->recvCpuId = 0;
    strcpy(head->sendProcName, PROC_NAME);
    strcpy(head->recvProcName, PROC_NAME);
    strcpy(head->recvTaskName, TASK_NAME);
    head->data = data;
    head->dataLen = len;
}

/* The worker's callback. msg and its payload are the library's copies, valid
 * only during the call. */
static uint32_t on_message(MsgHead *msg) {
    uint32_t r = OS_MSG_OK;
    uint32_t terms[2];
    uint32_t sum;

    switch (msg->msgId) {
    case MSG_GREETING:
        printf("worker: \"%.*s\" from task %.16s\n", (int)msg->dataLen, (const char *)msg->data, msg->sendTaskName);
        break;
    case MSG_ADD:
        if (msg->dataLen != sizeof(terms)) {
            g_workerFailures++;
            break;
        }
        memcpy(terms, msg->data, sizeof(terms));
        sum = terms[0] + terms[1];
        /* The library copies the answer; sum may go out of scope afterwards. */
        r = OsMsgSynSendResp(msg, &sum, sizeof(sum));
        break;
    case MSG_BYE:
        printf("worker: stopping the process\n");
        r = OsMsgDestroy(PROC_NAME);
        break;
    default:
        break;
    }
    if (r != OS_MSG_OK) {
        printf("worker: 0x%08x\n", (unsigned)r);
        g_workerFailures++;
    }
    return 0;
}

static void *worker_thread(void *arg) {
    (void)arg;
    /* Returns when the task is removed, at OsMsgUninit. */
    return OsMsgTaskRoutineByName(TASK_NAME) == OS_MSG_OK ? NULL : (void *)1;
}

static int expect(uint32_t got, uint32_t want, const char *what) {
    if (got != want) {
        printf("main: %s returned 0x%08x, expected 0x%08x\n", what, (unsigned)got, (unsigned)want);
        return 1;
    }
    return 0;
}

/* Asks the worker for a + b; the calling thread waits at most 1000 ms. */
static int call_add(uint32_t a, uint32_t b) {
    uint32_t terms[2];
    MsgHead request;
    MsgHead *response = NULL; /* written by the library only on success */
    uint32_t sum = 0;
    uint32_t r;

    terms[0] = a;
    terms[1] = b;
    fill_head(&request, MSG_ADD, terms, sizeof(terms));
    r = OsMsgSynSend(&request, &response, 1000);
    if (expect(r, OS_MSG_OK, "OsMsgSynSend")) {
        return 1;
    }
    if (response->dataLen == sizeof(sum)) {
        memcpy(&sum, response->data, sizeof(sum));
    }
    printf("main: %u + %u = %u\n", (unsigned)a, (unsigned)b, (unsigned)sum);
    /* The response belongs to this thread until it gives it back. */
    return expect(OsMsgSynRespFree(response), OS_MSG_OK, "OsMsgSynRespFree") || sum != a + b;
}

int main(void) {
    char greeting[] = "hello from main";
    MsgHead head;
    pthread_t worker;
    void *workerResult = NULL;
    uint32_t r;
    int failures = 0;

    OsMsgSetLogLevel(OS_MSG_LOG_FATAL); /* this program prints the results it gets itself */
    if (expect(OsMsgInit(PROC_NAME), OS_MSG_OK, "OsMsgInit") ||
        expect(OsMsgRegTask(TASK_NAME, 16, on_message), OS_MSG_OK, "OsMsgRegTask") ||
        pthread_create(&worker, NULL, worker_thread, NULL) != 0) {
        return 1;
    }

    /* The payload is copied before OsMsgAsynSend returns. */
    fill_head(&head, MSG_GREETING, greeting, (uint32_t)strlen(greeting));
    failures += expect(OsMsgAsynSend(&head), OS_MSG_OK, "OsMsgAsynSend");
    failures += call_add(20, 22);
    fill_head(&head, MSG_BYE, NULL, 0);
    failures += expect(OsMsgAsynSend(&head), OS_MSG_OK, "OsMsgAsynSend");

    /* Blocks until the worker's OsMsgDestroy; returns at once with
     * OS_MSG_ERR_SERVER_NOT_RUNNING when that came first. */
    r = OsMsgMain();
    failures += r != OS_MSG_OK && r != OS_MSG_ERR_SERVER_NOT_RUNNING;
    failures += expect(OsMsgUninit(), OS_MSG_OK, "OsMsgUninit");
    failures += pthread_join(worker, &workerResult) != 0 || workerResult != NULL;
    failures += (int)g_workerFailures;
    printf("main: %s\n", failures == 0 ? "done" : "FAILED");
    return failures == 0 ? 0 : 1;
}

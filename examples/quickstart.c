/* quickstart.c: one process, one task, a message each way. */
#define _POSIX_C_SOURCE 200809L
#include <vyre_os_msg.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>

enum { MSG_HELLO = 1, MSG_ADD = 2 };

/* Runs on the worker's thread, once per message, in arrival order. */
static uint32_t on_message(MsgHead *msg, void *user) {
    unsigned *greetings = user;
    uint32_t terms[2], sum;
    if (msg->msgId == MSG_HELLO) {
        printf("worker: %.*s\n", (int)msg->dataLen, (const char *)msg->data);
        ++*greetings;
    } else if (msg->msgId == MSG_ADD && msg->dataLen == sizeof(terms)) {
        memcpy(terms, msg->data, sizeof(terms));
        sum = terms[0] + terms[1];
        OsMsgSynSendResp(msg, &sum, sizeof(sum)); /* the answer is copied */
    }
    return 0;
}

static void *serve(void *name) {
    OsMsgTaskRoutineByName(name); /* returns once the task is removed */
    return NULL;
}

int main(void) {
    char hello[] = "hello";
    uint32_t terms[2] = {20, 22}, sum = 0;
    unsigned greetings = 0;
    MsgHead head, *resp = NULL;
    pthread_t worker;

    if (OsMsgInit("quickstart") != OS_MSG_OK || OsMsgRegTaskEx("worker", 16, on_message, &greetings) != OS_MSG_OK ||
        pthread_create(&worker, NULL, serve, "worker") != 0) {
        return 1;
    }
    memset(&head, 0, sizeof(head));
    strcpy(head.sendProcName, "quickstart");
    strcpy(head.recvProcName, "quickstart");
    strcpy(head.recvTaskName, "worker");

    head.msgId = MSG_HELLO; /* asynchronous: copied, returns at once */
    head.data = hello;
    head.dataLen = (uint32_t)strlen(hello);
    OsMsgAsynSend(&head);

    head.msgId = MSG_ADD; /* synchronous: waits for the answer, 1 s at most */
    head.data = terms;
    head.dataLen = sizeof(terms);
    if (OsMsgSynSend(&head, &resp, 1000) == OS_MSG_OK) {
        memcpy(&sum, resp->data, sizeof(sum));
        OsMsgSynRespFree(resp); /* given back by the thread that called */
    }
    printf("main: 20 + 22 = %u\n", (unsigned)sum);

    OsMsgUninit(); /* removes the task: its loop returns */
    pthread_join(worker, NULL);
    return sum == 42 && greetings == 1 ? 0 : 1;
}

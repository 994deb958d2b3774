/* The smallest complete program on the installed library, built by the
 * install check from outside the source tree (with find_package, with
 * pkg-config and with plain compiler options): it initialises, registers a
 * task served by a thread of its own, sends the task a message, waits for it
 * (at most 10 s), removes the task and tears down. Exits 0 when every step
 * succeeded and the message arrived intact. */
#define _POSIX_C_SOURCE 200809L /* clock_gettime, pthreads under strict C99 */

#include <vyre_os_msg.h>

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#define PROC_NAME "consumer"
#define TASK_NAME "echo"
#define MSG_HELLO 1U

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_arrived = PTHREAD_COND_INITIALIZER;
static char g_text[32]; /* guarded by g_lock; set by the task's callback */

static uint32_t OnMessage(MsgHead *msg) {
    if (msg->msgId == MSG_HELLO && msg->dataLen < sizeof(g_text)) {
        pthread_mutex_lock(&g_lock);
        memcpy(g_text, msg->data, msg->dataLen);
        pthread_cond_signal(&g_arrived);
        pthread_mutex_unlock(&g_lock);
    }
    return 0;
}

static void *RunTask(void *arg) {
    (void)arg;
    return OsMsgTaskRoutineByName(TASK_NAME) == OS_MSG_OK ? NULL : (void *)1;
}

static int WaitForText(void) {
    struct timespec deadline;
    int rc = 0;
    int arrived;

    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    pthread_mutex_lock(&g_lock);
    while (g_text[0] == '\0' && rc != ETIMEDOUT) {
        rc = pthread_cond_timedwait(&g_arrived, &g_lock, &deadline);
    }
    arrived = strcmp(g_text, "hello") == 0;
    pthread_mutex_unlock(&g_lock);
    return arrived;
}

int main(void) {
    char hello[] = "hello";
    MsgHead head;
    pthread_t task;
    void *taskResult = NULL;
    int ok;

    printf("libvyre_os_msg 0x%06x (header 0x%06x)\n", (unsigned)OsMsgGetVersion(), (unsigned)VYRE_OS_MSG_VERSION);
    if (OsMsgInit(PROC_NAME) != OS_MSG_OK || OsMsgRegTask(TASK_NAME, 8, OnMessage) != OS_MSG_OK ||
        pthread_create(&task, NULL, RunTask, NULL) != 0) {
        fprintf(stderr, "consumer: set-up failed\n");
        return 1;
    }
    memset(&head, 0, sizeof(head));
    strcpy(head.sendProcName, PROC_NAME);
    strcpy(head.recvProcName, PROC_NAME);
    strcpy(head.recvTaskName, TASK_NAME);
    head.msgId = MSG_HELLO;
    head.data = hello;
    head.dataLen = (uint32_t)strlen(hello);
    ok = OsMsgAsynSend(&head) == OS_MSG_OK && WaitForText();
    ok = OsMsgUnregTask(NULL, 0, TASK_NAME) == OS_MSG_OK && ok;
    pthread_join(task, &taskResult);
    ok = OsMsgUninit() == OS_MSG_OK && taskResult == NULL && ok;
    printf("consumer: %s\n", ok ? "message delivered, torn down" : "FAILED");
    return ok ? 0 : 1;
}

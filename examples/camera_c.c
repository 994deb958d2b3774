/*
 * camera_c: a camera pipeline in C99 on the C interface; camera_cpp.cc is
 * the same program on the C++ interface.
 *
 * The process "camera" has two tasks, each served by a thread of its own:
 * "encoder" packs each frame into a packet for "writer", which checks and
 * counts it. The main thread is the camera and the control: it sends the
 * frames, waits until the writer has them all, publishes a volume change
 * that both tasks follow, calls the encoder for its status and checks the
 * answer. Exits 0 when every step gave what it expects.
 *
 * The tasks' state lives in main and reaches the callbacks as the pointer
 * given at registration (OsMsgRegTaskEx); one lock guards it.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "vyre_os_msg.h"

#define PROC "camera"
#define FRAMES 8U
#define VOLUME 40U
enum { MSG_FRAME = 0x100, MSG_PACKET, MSG_GET_STATUS, EV_VOLUME = 0x200 };

typedef struct {
    uint32_t seq;
    uint8_t pixels[64];
} Frame;
typedef struct {
    uint32_t seq;
    uint32_t checksum;
} Packet;
typedef struct {
    uint32_t encoded;
    uint32_t volume;
} Status;

typedef struct {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    uint32_t encoded, written, volumeSeen, encoderVolume, failures;
} Pipeline;

static uint32_t Checksum(const Frame *frame) {
    uint32_t sum = frame->seq, i;
    for (i = 0; i < sizeof(frame->pixels); i++) {
        sum = sum * 31U + frame->pixels[i];
    }
    return sum;
}

static void FillHead(MsgHead *head, const char *task, uint32_t msgId, void *data, uint32_t len) {
    memset(head, 0, sizeof(*head));
    strcpy(head->sendProcName, PROC);
    strcpy(head->recvProcName, PROC);
    strcpy(head->recvTaskName, task);
    head->msgId = msgId;
    head->data = data;
    head->dataLen = len;
}

/* Counts one more of what *field counts, and wakes main. */
static void Note(Pipeline *p, uint32_t *field, uint32_t failed) {
    pthread_mutex_lock(&p->lock);
    (*field)++;
    p->failures += failed;
    pthread_cond_broadcast(&p->changed);
    pthread_mutex_unlock(&p->lock);
}

static uint32_t Encoder(MsgHead *msg, void *user) {
    Pipeline *p = user;
    Frame frame;
    Packet packet;
    MsgHead out;
    Status status;
    uint32_t volume;

    if (msg->msgId == MSG_FRAME && msg->dataLen == sizeof(frame)) {
        memcpy(&frame, msg->data, sizeof(frame));
        packet.seq = frame.seq;
        packet.checksum = Checksum(&frame);
        FillHead(&out, "writer", MSG_PACKET, &packet, sizeof(packet));
        Note(p, &p->encoded, OsMsgAsynSend(&out) != OS_MSG_OK);
    } else if (msg->msgId == EV_VOLUME && msg->dataLen == sizeof(volume)) {
        memcpy(&volume, msg->data, sizeof(volume));
        pthread_mutex_lock(&p->lock);
        p->encoderVolume = volume;
        pthread_mutex_unlock(&p->lock);
        Note(p, &p->volumeSeen, 0);
    } else if (msg->msgId == MSG_GET_STATUS) {
        pthread_mutex_lock(&p->lock);
        status.encoded = p->encoded;
        status.volume = p->encoderVolume;
        pthread_mutex_unlock(&p->lock);
        if (OsMsgSynSendResp(msg, &status, sizeof(status)) != OS_MSG_OK) {
            Note(p, &p->failures, 0);
        }
    }
    return 0;
}

static uint32_t Writer(MsgHead *msg, void *user) {
    Pipeline *p = user;
    Packet packet;

    if (msg->msgId == MSG_PACKET && msg->dataLen == sizeof(packet)) {
        memcpy(&packet, msg->data, sizeof(packet));
        Note(p, &p->written, packet.checksum == 0U);
    } else if (msg->msgId == EV_VOLUME) {
        Note(p, &p->volumeSeen, 0);
    }
    return 0;
}

static void *TaskLoop(void *name) {
    return OsMsgTaskRoutineByName(name) == OS_MSG_OK ? NULL : (void *)1;
}

/* Waits at most 10 s until *field reaches target. */
static int WaitFor(Pipeline *p, const uint32_t *field, uint32_t target) {
    struct timespec deadline;
    int rc = 0;
    int reached;

    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    pthread_mutex_lock(&p->lock);
    while (*field < target && rc != ETIMEDOUT) {
        rc = pthread_cond_timedwait(&p->changed, &p->lock, &deadline);
    }
    reached = *field >= target;
    pthread_mutex_unlock(&p->lock);
    return reached;
}

static int Subscribe(const char *task) {
    MsgSubEntry entry;
    memset(&entry, 0, sizeof(entry));
    entry.msgId = EV_VOLUME;
    strcpy(entry.procName, PROC);
    strcpy(entry.taskName, "control");
    strcpy(entry.subTaskName, task);
    return OsMsgSubscribeEvent(&entry, 1) == OS_MSG_OK;
}

static int Run(Pipeline *p) {
    MsgHead head;
    MsgHead *response = NULL;
    MsgBroEntry event;
    Frame frame;
    Status status;
    uint32_t volume = VOLUME, seq;

    if (!Subscribe("encoder") || !Subscribe("writer")) {
        return 0;
    }
    for (seq = 1; seq <= FRAMES; seq++) {
        frame.seq = seq;
        memset(frame.pixels, (int)seq, sizeof(frame.pixels));
        FillHead(&head, "encoder", MSG_FRAME, &frame, sizeof(frame));
        if (OsMsgAsynSend(&head) != OS_MSG_OK) {
            return 0;
        }
    }
    if (!WaitFor(p, &p->written, FRAMES)) {
        return 0;
    }
    printf("camera: the writer stored %u packets\n", (unsigned)FRAMES);
    memset(&event, 0, sizeof(event));
    strcpy(event.taskName, "control");
    event.msgId = EV_VOLUME;
    event.dataLen = sizeof(volume);
    event.data = &volume;
    if (OsMsgBroadcastEvent(&event, 1) != OS_MSG_OK || !WaitFor(p, &p->volumeSeen, 2)) {
        return 0;
    }
    printf("camera: encoder and writer follow volume %u\n", (unsigned)VOLUME);
    FillHead(&head, "encoder", MSG_GET_STATUS, NULL, 0);
    if (OsMsgSynSend(&head, &response, 1000) != OS_MSG_OK) {
        return 0;
    }
    memset(&status, 0, sizeof(status));
    if (response->dataLen == sizeof(status)) {
        memcpy(&status, response->data, sizeof(status));
    }
    OsMsgSynRespFree(response);
    printf("camera: encoder status: %u frames encoded, volume %u\n", (unsigned)status.encoded, (unsigned)status.volume);
    return status.encoded == FRAMES && status.volume == VOLUME;
}

int main(void) {
    Pipeline p;
    pthread_t threads[2];
    const char *names[2] = {"encoder", "writer"};
    OsMsgTaskFuncEx callbacks[2] = {Encoder, Writer};
    int started = 0, ok, i;

    OsMsgSetLogLevel(OS_MSG_LOG_FATAL); /* this program reports what it gets itself */
    memset(&p, 0, sizeof(p));
    pthread_mutex_init(&p.lock, NULL);
    pthread_cond_init(&p.changed, NULL);
    if (OsMsgInit(PROC) != OS_MSG_OK) {
        fprintf(stderr, "camera: could not join\n");
        return 1;
    }
    for (i = 0; i < 2; i++) {
        if (OsMsgRegTaskEx(names[i], 16, callbacks[i], &p) != OS_MSG_OK ||
            pthread_create(&threads[i], NULL, TaskLoop, (void *)names[i]) != 0) {
            break;
        }
        started++;
    }
    ok = started == 2 && Run(&p);
    /* Ends the task loops too. */
    ok = OsMsgDestroy(PROC) == OS_MSG_OK && OsMsgUninit() == OS_MSG_OK && ok;
    for (i = 0; i < started; i++) {
        pthread_join(threads[i], NULL);
    }
    ok = ok && p.failures == 0;
    printf("camera: %s\n", ok ? "done" : "FAILED");
    pthread_cond_destroy(&p.changed);
    pthread_mutex_destroy(&p.lock);
    return ok ? 0 : 1;
}

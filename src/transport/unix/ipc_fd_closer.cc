/*
 * The carrier's closer thread (see ipc_fd_closer.h).
 */
#define MSG_MODULE "transport"

#include "transport/unix/ipc_fd_closer.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/msg_forever.h"
#include "base/msg_thread_name.h"
#include "base/msg_tunables.h"
#include "log/msg_log.h"

namespace {

/* Guards the queue and the flags below it; a leaf lock, never held across a
 * close, a log line or another lock. Closers left to finish on their own
 * (IpcFdCloserStop) share the queue with a later carrier's closer, and every
 * one of them ends once it is empty and stopping is set. */
MsgForever<std::mutex> g_ipcCloserLock;
MsgForever<std::condition_variable> g_ipcCloserCond;
int g_ipcCloserFds[MSG_TUNE_CLOSER_FDS];
uint32_t g_ipcCloserHead = 0U;       /* g_ipcCloserLock */
uint32_t g_ipcCloserCount = 0U;      /* g_ipcCloserLock */
bool g_ipcCloserStopping = false;    /* g_ipcCloserLock */
bool g_ipcCloserStuckLogged = false; /* g_ipcCloserLock */
uint64_t g_ipcCloserGeneration = 0U; /* g_ipcCloserLock: of the closer started last */
bool g_ipcCloserEnded = false;       /* g_ipcCloserLock: the closer started last has ended */
/* Receive thread and IpcFdCloserStop only. */
bool g_ipcCloserRunning = false;
bool g_ipcCloserStartLogged = false; /* once per carrier */
pthread_t g_ipcCloserThread;

void *IpcCloserThread(void *arg) {
    MsgNameThisThread(MSG_THREAD_CLOSER);
    const uint64_t generation = reinterpret_cast<uintptr_t>(arg);
    std::unique_lock<std::mutex> lock(*g_ipcCloserLock);
    for (;;) {
        g_ipcCloserCond->wait(lock, [] { return g_ipcCloserCount != 0U || g_ipcCloserStopping; });
        if (g_ipcCloserCount == 0U) {
            if (generation == g_ipcCloserGeneration) {
                g_ipcCloserEnded = true;
                g_ipcCloserCond->notify_all(); // to IpcFdCloserStop
            }
            return nullptr;
        }
        const int fd = g_ipcCloserFds[g_ipcCloserHead];
        g_ipcCloserHead = (g_ipcCloserHead + 1U) % MSG_TUNE_CLOSER_FDS;
        g_ipcCloserCount -= 1U;
        lock.unlock();
        (void)close(fd);
        lock.lock();
    }
}

} // namespace

void IpcFdCloserPut(int fd) {
    if (!g_ipcCloserRunning) {
        uintptr_t generation = 0U;
        {
            std::lock_guard<std::mutex> guard(*g_ipcCloserLock);
            g_ipcCloserStopping = false;
            g_ipcCloserEnded = false;
            generation = (uintptr_t)++g_ipcCloserGeneration;
        }
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the closer's generation travels as its argument.
        if (pthread_create(&g_ipcCloserThread, nullptr, IpcCloserThread, reinterpret_cast<void *>(generation)) != 0) {
            if (!g_ipcCloserStartLogged) {
                g_ipcCloserStartLogged = true;
                MSG_LOG(OS_MSG_LOG_ERROR, "closer thread not started: the receive thread closes descriptors itself.");
            }
            (void)close(fd);
            return;
        }
        g_ipcCloserRunning = true;
    }
    bool queued = false;
    bool logIt = false;
    {
        std::lock_guard<std::mutex> guard(*g_ipcCloserLock);
        if (g_ipcCloserCount < MSG_TUNE_CLOSER_FDS) {
            g_ipcCloserFds[(g_ipcCloserHead + g_ipcCloserCount) % MSG_TUNE_CLOSER_FDS] = fd;
            g_ipcCloserCount += 1U;
            queued = true;
        } else {
            logIt = !g_ipcCloserStuckLogged;
            g_ipcCloserStuckLogged = true;
        }
    }
    if (queued) {
        g_ipcCloserCond->notify_one();
        return;
    }
    if (logIt) {
        MSG_LOG(OS_MSG_LOG_ERROR,
                "%u descriptors from other processes wait to be closed: the receive thread closes the next ones "
                "itself, and may wait.",
                MSG_TUNE_CLOSER_FDS);
    }
    (void)close(fd);
}

namespace {

/* Keeps the library loaded for good: a closer left running returns into its
 * code whenever its close ends, after the program may have unloaded it. */
void IpcCloserPinLibrary(void) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&IpcFdCloserStop), &info) != 0 && info.dli_fname != nullptr) {
        (void)dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
}

} // namespace

void IpcFdCloserStop(void) {
    g_ipcCloserStartLogged = false;
    if (!g_ipcCloserRunning) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(*g_ipcCloserLock);
        g_ipcCloserStopping = true;
    }
    g_ipcCloserCond->notify_all();
    bool ended = false;
    uint32_t waiting = 0U;
    {
        std::unique_lock<std::mutex> lock(*g_ipcCloserLock);
        ended = g_ipcCloserCond->wait_for(lock, std::chrono::milliseconds(MSG_TUNE_CLOSER_STOP_MS),
                                          [] { return g_ipcCloserEnded; });
        waiting = g_ipcCloserCount;
    }
    if (ended) {
        (void)pthread_join(g_ipcCloserThread, nullptr); // it has returned, or is about to
    } else {
        IpcCloserPinLibrary();
        (void)pthread_detach(g_ipcCloserThread);
        MSG_LOG(OS_MSG_LOG_WARN,
                "a descriptor from another process is still being closed after %u ms (its close waits: a lingering "
                "socket, or a file whose server does not answer); %u more wait behind it. The closer thread "
                "finishes them on its own and the carrier ends now.",
                MSG_TUNE_CLOSER_STOP_MS, waiting);
    }
    g_ipcCloserRunning = false;
    std::lock_guard<std::mutex> guard(*g_ipcCloserLock);
    g_ipcCloserStuckLogged = false;
}

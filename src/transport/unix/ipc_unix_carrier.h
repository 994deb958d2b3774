/*
 * The Unix-socket carrier: messages travel between the processes of one run
 * directory over SOCK_SEQPACKET sockets. Each process listens on the socket
 * named after its process name; senders keep one link per peer (see
 * ipc_peer_cache.h), used both ways (ipc_link.h); the receive thread hands
 * each datagram, with the kernel's credentials of its sender, to the
 * framing's receive handling (ipc_frame.h) and holds back, per task, what a
 * full queue refuses (ipc_link_park.h). The process's name is claimed in the shared queue directory
 * under its cross-process lock, so two live processes never share a name and
 * a dead one's socket and entry are taken over; a process counts as live
 * while its socket answers (ipc_unix_life.h).
 *
 * The IPC transport reaches it through its table of operations,
 * g_ipcUnixOps (ipc_carrier.h): open (claims the name, listens, starts the
 * receive thread), close, send, stop (ends the receive loop) and the
 * receive loop itself.
 *
 * Thread safety. The carrier's state is opened and closed by process
 * initialisation and teardown, which the initialisation lock serialises;
 * the receive thread owns the links' receive state and the receive buffer
 * while it runs, and the stop and the room hook (called by task loops when a
 * full queue has drained) reach it only through their flags and the wake-up
 * descriptor, whose writes and close a leaf lock orders. Senders use the
 * peer cache, the link registry and their locks only.
 */
#ifndef VYRE_IPC_UNIX_CARRIER_H
#define VYRE_IPC_UNIX_CARRIER_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>

#include "transport/unix/ipc_run_dir.h"
#include "vyre_os_msg.h"

typedef struct IpcUnixCarrier {
    char runDir[IPC_RUN_DIR_PATH_SIZE];
    IpcRunDirMode runMode; /* how the run directory is shared */
    char sockPath[IPC_RUN_DIR_PATH_SIZE];
    char procName[OS_MSG_NAME_LEN];
    int listenFd;
    int epollFd;
    std::atomic<int> wakeFd; /* written by open and close, read by the stop from any thread */
    pthread_t recvThread;
    bool recvStarted;
    std::atomic<bool> stopping;
    /* Set when a task loop found room in a queue that a push had found full
     * (the room hook), cleared by the receive thread, which then retries its
     * stalled connections at once. */
    std::atomic<bool> roomOffered;
    uint8_t *recvBuf; /* IPC_FRAME_DATAGRAM_MAX bytes, the receive thread's */
} IpcUnixCarrier;

/* Opens the carrier for the own process name: run directory, access
 * policy file, shared directory, name claim, listening socket, receive
 * thread. 0; 0x80020003 when a live process holds the name ("process name
 * [%s] in use by pid %d."); 0x80020001 for a name or run directory that
 * cannot be used, or a malformed policy file; 0x80020021 for a run
 * directory, directory segment or policy file another user controls;
 * 0x8002000d, 0x80020020 or 0x8002001f for failures of the system, the
 * directory lock staying taken among them (each logged). Everything is
 * undone on failure. */
uint32_t IpcUnixInitClient(void);

/* Ends the receive thread, closes every socket, removes the own socket file
 * and directory entry, detaches the shared directory. 0. */
uint32_t IpcUnixUninitClient(void);

/* Ends the receive loop promptly (the transport's stop). Any thread. */
void IpcUnixStopRecv(void);

/* Sends head to process destProcName. See ipc_unix_send.cc. */
uint32_t IpcUnixSendData(const char *destProcName, uint32_t transType, MsgHead *head);

/* Sends head to process destProcName as IpcUnixSendData does for anything
 * but a request for the own broadcast task: to the own process when
 * destProcName is empty or the own name, an answer back on its request's
 * link, everything else to the peer's socket. With logAbsent clear, a peer
 * that does not run (0x80020002) is not logged. */
uint32_t IpcUnixSendTo(const char *destProcName, uint32_t transType, MsgHead *head, bool logAbsent);

/* The receive loop over the sockets of carrier (an IpcUnixCarrier); returns
 * when it is stopped. Run by IPCMsgRecvThread on the receive thread. */
void IpcUnixRecvLoop(void *carrier);

struct IpcLink;
/* What goes with a link that closes (its parked messages, its messages under
 * reassembly, its slot's hold on it), for the close once the receive thread
 * has ended. */
void IpcUnixRecvDropLink(struct IpcLink *link);

#endif /* VYRE_IPC_UNIX_CARRIER_H */

/*
 * The carriers between processes, as one table of operations each, and the
 * choice of carrier made once per start-up.
 *
 * The IPC transport reaches whatever moves its messages through the table
 * the choice returns, as the core reaches a transport through the adapter
 * table: the transport never names a carrier. The loopback (every message
 * that leaves the process is delivered back into it) is the table with only
 * a send and a wait for processes that returns at once; the Unix-socket
 * carrier (src/transport/unix/) is the default. The choice, in order: the
 * carrier OsMsgInitWithOptions names (IpcCarrierConfigure), else
 * VYRE_OS_MSG_CARRIER, else the build's VYRE_DEFAULT_CARRIER_NAME. The run
 * directory follows the same order (option, VYRE_OS_MSG_RUNDIR, default;
 * see ipc_run_dir.h).
 *
 * Thread safety: IpcCarrierConfigure and IpcCarrierSelect run during process
 * initialisation (under the initialisation lock, before any send), and the
 * choice is published in one atomic word; IpcCarrierCurrent may be read
 * from any thread afterwards. The run directory option is written and read
 * under the initialisation lock only. The tables themselves are constant.
 */
#ifndef VYRE_IPC_CARRIER_H
#define VYRE_IPC_CARRIER_H

#include <stddef.h>
#include <stdint.h>

#include "vyre_os_msg.h"

/* Environment variables read by OsMsgInit. */
#define IPC_CARRIER_ENV "VYRE_OS_MSG_CARRIER"
#define IPC_CARRIER_RUNDIR_ENV "VYRE_OS_MSG_RUNDIR"
#define IPC_CARRIER_POLICY_ENV "VYRE_OS_MSG_POLICY"

/*
 * One carrier. Every operation but send may be NULL: the carrier has no such
 * step (the loopback has none of them).
 */
typedef struct IpcCarrierOps {
    /* The value of VYRE_OS_MSG_CARRIER that selects it. */
    const char *name;
    /* Opens the carrier for the own process name (adapter slot 4): 0, or a
     * result code with everything undone. Runs under the initialisation
     * lock. */
    uint32_t (*open)(void);
    /* Closes it (adapter slot 5): ends its threads, closes its descriptors,
     * removes its files. 0. Runs under the initialisation lock. */
    uint32_t (*close)(void);
    /* Sends head to process destProcName with transport message type
     * transType (adapter slots 0 and 8); the contract of slot 0. */
    uint32_t (*send)(const char *destProcName, uint32_t transType, MsgHead *head);
    /* The same for a receiver on another CPU (adapter slot 8). */
    uint32_t (*sendCpu)(const char *destProcName, uint32_t transType, MsgHead *head);
    /* Ends the receive loop promptly (the transport's stop). Any thread. */
    void (*stop)(void);
    /* The receive loop, run on the carrier's receive thread with the
     * argument open gave it; returns when it is stopped. */
    void (*recvLoop)(void *arg);
    /* Writes the folder the carrier's processes meet in (their sockets) into
     * out (size bytes): 0, or a result code. */
    uint32_t (*runDir)(char *out, size_t size);
    /* Waits at most timeoutMs for a process named procName to join (the
     * contract of OsMsgWaitProcess). Any thread. */
    uint32_t (*waitProcess)(const char *procName, uint32_t timeoutMs);
    /* Serves task name of this process on the receive thread (the contract
     * of OsMsgTaskServeOnReceive); NULL for a carrier without one. */
    uint32_t (*serveTask)(const char *name);
} IpcCarrierOps;

/* The loopback: only the sends (IPCMsgSendData, IPCMsgSendCpuData). */
extern const IpcCarrierOps g_ipcLoopbackOps;
/* The Unix-socket carrier (src/transport/unix/ipc_unix_carrier.cc). */
extern const IpcCarrierOps g_ipcUnixOps;

/* What the next IpcCarrierSelect and the run directory look at first: the
 * carrier (OS_MSG_CARRIER_DEFAULT: none given) and the run directory (NULL:
 * none given; copied) of OsMsgInitWithOptions. Every start-up sets both,
 * OsMsgInit to none. Under the initialisation lock. */
void IpcCarrierConfigure(uint32_t carrier, const char *runDir);

/* The run directory IpcCarrierConfigure was given, or NULL. Under the
 * initialisation lock. */
const char *IpcCarrierRunDirOption(void);

/* Remembers and returns the carrier of this start-up: the one
 * IpcCarrierConfigure was given, else the one VYRE_OS_MSG_CARRIER names
 * ("unix" or "loopback"), else the build's default. Any other value of the
 * variable is logged ("unknown carrier [%s].") and gives the refusing
 * carrier, whose open fails initialisation with 0x80020001. */
const IpcCarrierOps *IpcCarrierSelect(void);

/* The carrier of the last IpcCarrierSelect (the loopback before any). */
const IpcCarrierOps *IpcCarrierCurrent(void);

/* True when the current carrier moves messages between processes (it has a
 * receive loop of its own). */
bool IpcCarrierBetweenProcesses(void);

#endif /* VYRE_IPC_CARRIER_H */

/*
 * The carrier choice and the loopback's and refusing carrier's tables.
 * Thread safety: see ipc_carrier.h; the one atomic word is the only state.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/ipc_carrier.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <cstdio>

#include "log/msg_log.h"
#include "transport/ipc_msg.h"

#ifndef VYRE_DEFAULT_CARRIER_NAME
#define VYRE_DEFAULT_CARRIER_NAME "unix"
#endif

namespace {

/* Open of a carrier VYRE_OS_MSG_CARRIER named but this library does not
 * have: initialisation fails rather than running without the carrier the
 * process asked for. */
uint32_t IpcCarrierRefuse(void) {
    MSG_LOG(OS_MSG_LOG_ERROR, "no such carrier, see " IPC_CARRIER_ENV ".");
    return OS_MSG_ERR_INVALID_PARAM;
}

/* With the loopback every process name is this process. */
uint32_t IpcLoopbackWaitProcess(const char *, uint32_t) {
    return OS_MSG_OK;
}

const IpcCarrierOps g_ipcRefusingOps = {"",      IpcCarrierRefuse, nullptr, IPCMsgSendData,         IPCMsgSendCpuData,
                                        nullptr, nullptr,          nullptr, IpcLoopbackWaitProcess, nullptr};

std::atomic<const IpcCarrierOps *> g_ipcCarrier{&g_ipcLoopbackOps};

/* The settings of OsMsgInitWithOptions for this start-up (initialisation
 * lock). A run directory longer than the buffer is kept too long to use,
 * so that it is refused rather than cut. */
uint32_t g_ipcCarrierOption = OS_MSG_CARRIER_DEFAULT;
char g_ipcRunDirOption[256];
bool g_ipcRunDirOptionSet = false;

/* The carrier named name ("unix", "loopback"), or NULL. */
const IpcCarrierOps *IpcCarrierNamed(const char *name) {
    if (strcmp(name, g_ipcUnixOps.name) == 0) {
        return &g_ipcUnixOps;
    }
    return strcmp(name, g_ipcLoopbackOps.name) == 0 ? &g_ipcLoopbackOps : nullptr;
}

} // namespace

const IpcCarrierOps g_ipcLoopbackOps = {"loopback", nullptr, nullptr, IPCMsgSendData,         IPCMsgSendCpuData,
                                        nullptr,    nullptr, nullptr, IpcLoopbackWaitProcess, nullptr};

void IpcCarrierConfigure(uint32_t carrier, const char *runDir) {
    g_ipcCarrierOption = carrier;
    g_ipcRunDirOptionSet = runDir != nullptr;
    (void)snprintf(g_ipcRunDirOption, sizeof(g_ipcRunDirOption), "%s", runDir != nullptr ? runDir : "");
}

const char *IpcCarrierRunDirOption(void) {
    return g_ipcRunDirOptionSet ? g_ipcRunDirOption : nullptr;
}

const IpcCarrierOps *IpcCarrierSelect(void) {
    const IpcCarrierOps *ops = nullptr;
    if (g_ipcCarrierOption == OS_MSG_CARRIER_UNIX) {
        ops = &g_ipcUnixOps;
    } else if (g_ipcCarrierOption == OS_MSG_CARRIER_LOOPBACK) {
        ops = &g_ipcLoopbackOps;
    } else {
        const char *value = getenv(IPC_CARRIER_ENV);
        const bool set = value != nullptr && value[0] != '\0';
        ops = IpcCarrierNamed(set ? value : VYRE_DEFAULT_CARRIER_NAME);
        if (ops == nullptr) {
            MSG_LOG(OS_MSG_LOG_ERROR, "unknown carrier [%s].", set ? value : VYRE_DEFAULT_CARRIER_NAME);
            ops = &g_ipcRefusingOps;
        }
    }
    g_ipcCarrier.store(ops, std::memory_order_release);
    return ops;
}

const IpcCarrierOps *IpcCarrierCurrent(void) {
    return g_ipcCarrier.load(std::memory_order_acquire);
}

bool IpcCarrierBetweenProcesses(void) {
    return IpcCarrierCurrent()->recvLoop != nullptr;
}

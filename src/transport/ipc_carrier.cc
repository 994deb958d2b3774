/*
 * The carrier choice and the loopback's and refusing carrier's tables.
 * Thread safety: see ipc_carrier.h; the one atomic word is the only state.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/ipc_carrier.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "log/msg_log.h"
#include "transport/ipc_msg.h"

namespace {

/* Open of a carrier VYRE_OS_MSG_CARRIER named but this library does not
 * have: initialisation fails rather than running without the carrier the
 * process asked for. */
uint32_t IpcCarrierRefuse(void) {
    MSG_LOG(OS_MSG_LOG_ERROR, "no such carrier, see " IPC_CARRIER_ENV ".");
    return OS_MSG_ERR_INVALID_PARAM;
}

const IpcCarrierOps g_ipcRefusingOps = {"",      IpcCarrierRefuse, nullptr, IPCMsgSendData, IPCMsgSendCpuData,
                                        nullptr, nullptr,          nullptr};

std::atomic<const IpcCarrierOps *> g_ipcCarrier{&g_ipcLoopbackOps};

} // namespace

const IpcCarrierOps g_ipcLoopbackOps = {"loopback",        nullptr, nullptr, IPCMsgSendData,
                                        IPCMsgSendCpuData, nullptr, nullptr, nullptr};

const IpcCarrierOps *IpcCarrierSelect(void) {
    const char *value = getenv(IPC_CARRIER_ENV);
    const IpcCarrierOps *ops = &g_ipcLoopbackOps;
    if (value != nullptr && value[0] != '\0') {
        if (strcmp(value, g_ipcUnixOps.name) == 0) {
            ops = &g_ipcUnixOps;
        } else if (strcmp(value, g_ipcLoopbackOps.name) != 0) {
            MSG_LOG(OS_MSG_LOG_ERROR, "unknown carrier [%s].", value);
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

/*
 * vyre-msg monitor PROC: the events process PROC fans out, as they are
 * published. The tool registers a task of its own as PROC's monitor, renews
 * the registration while it runs and withdraws it when it stops; PROC's
 * control task copies each event to it (msg_ctl_proto.h). The tool serves
 * its task from its own poll loop, through the task's descriptor, together
 * with the interrupt.
 */
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "tool_commands.h"
#include "tool_output.h"
#include "vyre_os_msg.h"

namespace vyremsg {

namespace {

constexpr char kMonitorTask[] = "monitor";
constexpr uint32_t kMonitorQueue = 1024U;
constexpr uint32_t kLeaseMs = MSG_CTL_LEASE_DEFAULT_MS;
constexpr uint32_t kRenewMs = kLeaseMs / 3U;
constexpr uint32_t kHandleBatch = 64U;

struct MonitorState {
    bool json;
    uint32_t seen;
    bool outputGone;
};

uint64_t NowMs() {
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000U + static_cast<uint64_t>(now.tv_nsec) / 1000000U;
}

std::string Describe(const MsgCtlEvent &ev, const uint8_t *bytes, uint32_t captured, bool json) {
    if (json) {
        Json out;
        out.Open().Key("time").Str(WallTime(ev.realNs, false)).Key("timeNs").Num(ev.realNs);
        out.Key("event").Num(ev.msgId).Key("process").Str(NameOf(ev.sendProcName));
        out.Key("task").Str(NameOf(ev.sendTaskName)).Key("pid").Num(ev.sendPid).Key("uid").Num(ev.sendUid);
        out.Key("dataLen").Num(ev.dataLen).Key("data").Str(Hex(bytes, captured)).Key("missed").Num(ev.missed);
        return out.Close().Text() + "\n";
    }
    char line[256];
    (void)snprintf(line, sizeof(line), "%s  event %u (0x%x)  from %s/%s pid %u  %u bytes",
                   WallTime(ev.realNs, false).c_str(), ev.msgId, ev.msgId, NameOf(ev.sendProcName).c_str(),
                   NameOf(ev.sendTaskName).c_str(), ev.sendPid, ev.dataLen);
    std::string text = line;
    if (captured != 0U) {
        text += ": " + Hex(bytes, captured) + (captured < ev.dataLen ? "..." : "");
    }
    if (ev.missed != 0U) {
        text += "  (" + std::to_string(ev.missed) + " events missed before: the tool's queue was full)";
    }
    return text + "\n";
}

/* The monitor task's callback, on the tool's main thread (OsMsgTaskHandle). */
uint32_t OnReport(MsgHead *msg, void *user) {
    auto *state = static_cast<MonitorState *>(user);
    MsgCtlHead head;
    if (msg->msgId != MSG_ID_CTL_EVENT || !MsgCtlParse(msg->data, msg->dataLen, sizeof(MsgCtlEvent), &head) ||
        head.count != 1U) {
        return 0U;
    }
    MsgCtlEvent ev;
    MsgCtlReadRecord(msg->data, &head, 0U, &ev, sizeof(ev));
    const uint32_t after = head.headSize + head.recordSize;
    const uint32_t captured = std::min(ev.captured, msg->dataLen - after);
    const uint8_t *bytes = static_cast<const uint8_t *>(msg->data) + after;
    state->outputGone = state->outputGone || !Print(Describe(ev, bytes, captured, state->json));
    state->seen += 1U;
    return 0U;
}

MsgCtlMonitorReq MakeRequest(const Args &args, uint32_t op) {
    MsgCtlMonitorReq req;
    (void)memset(&req, 0, sizeof(req));
    (void)memcpy(req.taskName, kMonitorTask, sizeof(kMonitorTask));
    req.op = op;
    req.leaseMs = kLeaseMs;
    req.captureBytes = std::min(args.captureBytes, MSG_CTL_CAPTURE_MAX);
    req.idCount = static_cast<uint32_t>(args.events.size());
    std::copy(args.events.begin(), args.events.end(), req.ids);
    return req;
}

/* Serves the monitor task until count reports came, the output is gone, a
 * renewal fails or an interrupt comes. The exit code. */
int Watch(Session &session, const Args &args, int taskFd, MonitorState *state) {
    Interrupt interrupt;
    const std::string &proc = args.words[0];
    uint64_t renewAt = NowMs() + kRenewMs;
    for (;;) {
        struct pollfd fds[2] = {{taskFd, POLLIN, 0}, {interrupt.Fd(), POLLIN, 0}};
        uint64_t now = NowMs();
        int wait = renewAt > now ? static_cast<int>(renewAt - now) : 0;
        (void)poll(fds, 2, wait);
        if ((fds[1].revents & POLLIN) != 0) {
            return kExitOk;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint32_t handled = 0U;
            (void)OsMsgTaskHandle(kMonitorTask, kHandleBatch, &handled);
        }
        if (state->outputGone) {
            return kExitFailed;
        }
        if (args.count != 0U && state->seen >= args.count) {
            return kExitOk;
        }
        if (NowMs() >= renewAt) {
            uint32_t ret = session.Monitor(proc, MakeRequest(args, MSG_CTL_MONITOR_ADD), kRequestTimeoutMs);
            if (ret != OS_MSG_OK) {
                return Fail("monitor of " + proc + " ended", ret);
            }
            renewAt = NowMs() + kRenewMs;
        }
    }
}

} // namespace

int CmdMonitor(Session &session, const Args &args) {
    const std::string &proc = args.words[0];
    if (args.events.size() > MSG_CTL_MONITOR_IDS) {
        (void)fprintf(stderr, "vyre-msg: at most %u --event options\n", MSG_CTL_MONITOR_IDS);
        return kExitUsage;
    }
    MonitorState state = {args.json, 0U, false};
    int fd = -1;
    uint32_t ret = OsMsgRegTaskEx(kMonitorTask, kMonitorQueue, OnReport, &state);
    if (ret == OS_MSG_OK) {
        ret = OsMsgTaskFd(kMonitorTask, &fd);
    }
    if (ret != OS_MSG_OK) {
        return Fail("monitor task", ret);
    }
    ret = session.Monitor(proc, MakeRequest(args, MSG_CTL_MONITOR_ADD),
                          args.hasTimeout ? args.timeoutMs : kRequestTimeoutMs);
    if (ret != OS_MSG_OK) {
        return Fail("monitor of " + proc, ret);
    }
    (void)fprintf(stderr, "vyre-msg: monitoring the events %s publishes; Ctrl-C stops\n", proc.c_str());
    int code = Watch(session, args, fd, &state);
    (void)session.Monitor(proc, MakeRequest(args, MSG_CTL_MONITOR_REMOVE), kRequestTimeoutMs);
    (void)OsMsgUnregTask(nullptr, 0U, kMonitorTask);
    return code;
}

} // namespace vyremsg

/*
 * vyre-msg ps: the processes of the run directory. Every socket there names
 * a process; each is asked for its own description, so a socket left by a
 * process that died shows as not running.
 */
#include <stdio.h>

#include "tool_commands.h"
#include "tool_output.h"
#include "vyre_os_msg.h"

namespace vyremsg {

namespace {

const char *CarrierName(uint32_t carrier) {
    return carrier == MSG_CTL_CARRIER_UNIX ? "unix" : "loopback";
}

std::string Version(uint32_t v) {
    return std::to_string(v >> 16U) + "." + std::to_string((v >> 8U) & 0xffU) + "." + std::to_string(v & 0xffU);
}

void JsonProcess(Json &json, const std::string &name, uint32_t ret, const MsgCtlInfo &info) {
    json.Open().Key("name").Str(name);
    if (ret != OS_MSG_OK) {
        json.Key("error").Str(OsMsgStrError(ret)).Key("code").Num(ret).Close();
        return;
    }
    json.Key("pid").Num(info.pid).Key("uid").Num(info.uid);
    json.Key("since").Str(WallTime(info.startRealNs, true)).Key("startNs").Num(info.startRealNs);
    json.Key("uptimeNs").Num(info.nowRealNs > info.startRealNs ? info.nowRealNs - info.startRealNs : 0U);
    json.Key("carrier").Str(CarrierName(info.carrier)).Key("tasks").Num(info.taskCount);
    json.Key("monitors").Num(info.monitorCount).Key("version").Str(Version(info.libVersion));
    json.Key("pool").Open().Key("mappedBytes").Num(info.poolMappedBytes).Key("limitBytes").Num(info.poolLimitBytes);
    json.Key("segments").Num(info.poolSegments).Key("buffersInUse").Num(info.poolBuffersInUse);
    json.Key("bytesInUse").Num(info.poolBytesInUse).Key("refusedFull").Num(info.poolRefusedFull).Close().Close();
}

std::string TextProcess(const std::string &name, uint32_t ret, const MsgCtlInfo &info) {
    char line[256];
    if (ret != OS_MSG_OK) {
        (void)snprintf(line, sizeof(line), "%-15s  (no answer: %s)\n", name.c_str(), OsMsgStrError(ret));
        return line;
    }
    uint64_t up = info.nowRealNs > info.startRealNs ? info.nowRealNs - info.startRealNs : 0U;
    (void)snprintf(line, sizeof(line), "%-15s  %7u  %5u  %-19s  %7s  %-8s  %5u  %8s  %7u\n", name.c_str(), info.pid,
                   info.uid, WallTime(info.startRealNs, true).c_str(), Duration(up).c_str(), CarrierName(info.carrier),
                   info.taskCount, Bytes(info.poolMappedBytes).c_str(), info.poolBuffersInUse);
    return line;
}

} // namespace

int CmdPs(Session &session, const Args &args) {
    std::vector<std::string> names;
    std::string dir;
    uint32_t ret = session.Processes(&names, &dir);
    if (ret != OS_MSG_OK) {
        return Fail("cannot list the run directory " + dir, ret);
    }
    const uint32_t timeout = args.hasTimeout ? args.timeoutMs : kRequestTimeoutMs;
    Json json;
    json.Open().Key("runDir").Str(dir).Key("processes").OpenArray();
    std::string text = "run directory " + dir + "\n";
    char head[200];
    (void)snprintf(head, sizeof(head), "%-15s  %7s  %5s  %-19s  %7s  %-8s  %5s  %8s  %7s\n", "NAME", "PID", "UID",
                   "SINCE", "UP", "CARRIER", "TASKS", "POOL", "BUFFERS");
    text += head;
    for (const std::string &name : names) {
        MsgCtlInfo info;
        ret = session.Info(name, timeout, &info);
        JsonProcess(json, name, ret, info);
        text += TextProcess(name, ret, info);
    }
    json.CloseArray().Close();
    return Print(args.json ? json.Text() + "\n" : text) ? kExitOk : kExitFailed;
}

} // namespace vyremsg

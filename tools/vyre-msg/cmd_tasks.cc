/*
 * vyre-msg tasks PROC and subs PROC: a process's task counters and its
 * subscription table, as its control task reads them.
 */
#include <stdio.h>

#include "tool_commands.h"
#include "tool_output.h"
#include "vyre_os_msg.h"

namespace vyremsg {

const char *ServedName(uint32_t served) {
    switch (served) {
    case MSG_CTL_SERVED_LOOP:
        return "loop";
    case MSG_CTL_SERVED_FD:
        return "fd";
    case MSG_CTL_SERVED_RECV:
        return "recv";
    default:
        return "none";
    }
}

namespace {

void JsonTask(Json &json, const MsgCtlTask &t) {
    json.Open().Key("name").Str(NameOf(t.name)).Key("queueLen").Num(t.queueLen).Key("pending").Num(t.pending);
    json.Key("highWater").Num(t.highWater).Key("accepted").Num(t.accepted).Key("refusedFull").Num(t.refusedFull);
    json.Key("refusedAccess").Num(t.refusedAccess);
    json.Key("handled").Num(t.handled).Key("handledBytes").Num(t.handledBytes);
    json.Key("callbackP99Ns").Num(t.callbackP99Ns).Key("callbackMaxNs").Num(t.callbackMaxNs);
    json.Key("served").Str(ServedName(t.served));
    json.Key("buffersHeld").Num(t.buffersHeld).Key("bytesHeld").Num(t.bytesHeld);
    json.Key("buffersAtPeers").Num(t.buffersAtPeers).Key("byteLimit").Num(t.byteLimit);
    json.Key("bytesQueued").Num(t.bytesQueued).Key("refusedBytes").Num(t.refusedBytes).Close();
}

std::string TextTask(const MsgCtlTask &t) {
    char line[320];
    (void)snprintf(line, sizeof(line), "%-15s  %6u  %7u  %6u  %10llu  %8llu  %8llu  %10llu  %8s  %8s  %-6s  %6u  %8u\n",
                   NameOf(t.name).c_str(), t.queueLen, t.pending, t.highWater, (unsigned long long)t.accepted,
                   (unsigned long long)t.refusedFull, (unsigned long long)t.refusedAccess,
                   (unsigned long long)t.handled, Nanos(t.callbackP99Ns).c_str(), Nanos(t.callbackMaxNs).c_str(),
                   ServedName(t.served), t.buffersHeld, t.buffersAtPeers);
    return line;
}

std::string Party(const char *proc, const char *task, uint32_t cpu) {
    return NameOf(proc) + "/" + NameOf(task) + " (cpu " + std::to_string(cpu) + ")";
}

} // namespace

int CmdTasks(Session &session, const Args &args) {
    const std::string &proc = args.words[0];
    std::vector<MsgCtlTask> tasks;
    uint32_t total = 0U;
    uint32_t ret = session.Tasks(proc, "", args.hasTimeout ? args.timeoutMs : kRequestTimeoutMs, &tasks, &total);
    if (ret != OS_MSG_OK) {
        return Fail("tasks of " + proc, ret);
    }
    Json json;
    json.Open().Key("process").Str(proc).Key("total").Num(total).Key("tasks").OpenArray();
    char head[240];
    (void)snprintf(head, sizeof(head), "%-15s  %6s  %7s  %6s  %10s  %8s  %8s  %10s  %8s  %8s  %-6s  %6s  %8s\n", "TASK",
                   "QUEUE", "PENDING", "HIGH", "ACCEPTED", "FULL", "DENIED", "HANDLED", "CB P99", "CB MAX", "SERVED",
                   "HELD", "AT PEERS");
    std::string text = head;
    for (const MsgCtlTask &t : tasks) {
        JsonTask(json, t);
        text += TextTask(t);
    }
    json.CloseArray().Close();
    if (total > tasks.size()) {
        text += "(" + std::to_string(total - tasks.size()) + " more tasks not listed)\n";
    }
    return Print(args.json ? json.Text() + "\n" : text) ? kExitOk : kExitFailed;
}

int CmdSubs(Session &session, const Args &args) {
    const std::string &proc = args.words[0];
    std::vector<MsgCtlSub> subs;
    uint32_t total = 0U;
    uint32_t ret = session.Subs(proc, args.hasTimeout ? args.timeoutMs : kRequestTimeoutMs, &subs, &total);
    if (ret != OS_MSG_OK) {
        return Fail("subscriptions of " + proc, ret);
    }
    Json json;
    json.Open().Key("process").Str(proc).Key("total").Num(total).Key("subscriptions").OpenArray();
    char line[256];
    (void)snprintf(line, sizeof(line), "%-20s  %-36s  %s\n", "EVENT", "PUBLISHER", "SUBSCRIBER");
    std::string text = line;
    for (const MsgCtlSub &s : subs) {
        json.Open().Key("event").Num(s.msgId);
        json.Key("publisher").Open().Key("cpu").Num(s.pubCpuId).Key("process").Str(NameOf(s.pubProcName));
        json.Key("task").Str(NameOf(s.pubTaskName)).Close();
        json.Key("subscriber").Open().Key("cpu").Num(s.subCpuId).Key("process").Str(NameOf(s.subProcName));
        json.Key("task").Str(NameOf(s.subTaskName)).Close().Close();
        char event[32];
        (void)snprintf(event, sizeof(event), "%u (0x%x)", s.msgId, s.msgId);
        (void)snprintf(line, sizeof(line), "%-20s  %-36s  %s\n", event,
                       Party(s.pubProcName, s.pubTaskName, s.pubCpuId).c_str(),
                       Party(s.subProcName, s.subTaskName, s.subCpuId).c_str());
        text += line;
    }
    json.CloseArray().Close();
    if (total > subs.size()) {
        text += "(" + std::to_string(total - subs.size()) + " more subscriptions not listed)\n";
    }
    return Print(args.json ? json.Text() + "\n" : text) ? kExitOk : kExitFailed;
}

} // namespace vyremsg

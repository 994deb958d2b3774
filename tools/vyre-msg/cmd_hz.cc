/*
 * vyre-msg hz PROC TASK: how many messages a task handles per second and
 * their mean payload size, over consecutive windows, from the differences of
 * its counters.
 */
#include <stdio.h>
#include <time.h>

#include "tool_commands.h"
#include "tool_output.h"
#include "vyre_os_msg.h"

namespace vyremsg {

namespace {

uint64_t NowNs() {
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000U + static_cast<uint64_t>(now.tv_nsec);
}

struct Sample {
    MsgCtlTask task;
    uint64_t atNs;
};

uint32_t Take(Session &session, const Args &args, Sample *sample) {
    std::vector<MsgCtlTask> tasks;
    uint32_t ret = session.Tasks(args.words[0], args.words[1], kRequestTimeoutMs, &tasks, nullptr);
    if (ret == OS_MSG_OK && tasks.size() != 1U) {
        ret = OS_MSG_ERR_NOT_FOUND;
    }
    if (ret == OS_MSG_OK) {
        sample->task = tasks[0];
        sample->atNs = NowNs();
    }
    return ret;
}

std::string Report(const Args &args, const Sample &from, const Sample &to) {
    const uint64_t messages = to.task.handled - from.task.handled;
    const uint64_t bytes = to.task.handledBytes - from.task.handledBytes;
    const uint64_t refused = to.task.refusedFull - from.task.refusedFull;
    const double seconds = static_cast<double>(to.atNs - from.atNs) / 1e9;
    const double rate = seconds > 0.0 ? static_cast<double>(messages) / seconds : 0.0;
    const double mean = messages != 0U ? static_cast<double>(bytes) / static_cast<double>(messages) : 0.0;
    if (args.json) {
        Json json;
        json.Open().Key("process").Str(args.words[0]).Key("task").Str(args.words[1]);
        json.Key("windowNs").Num(to.atNs - from.atNs).Key("messages").Num(messages).Key("bytes").Num(bytes);
        json.Key("refusedFull").Num(refused).Key("rateHz").Real(rate).Key("meanBytes").Real(mean);
        return json.Close().Text() + "\n";
    }
    char line[256];
    (void)snprintf(line, sizeof(line), "%s/%s  %.1f msg/s  mean %.1f B  (%llu messages in %.2f s, %llu refused)\n",
                   args.words[0].c_str(), args.words[1].c_str(), rate, mean, (unsigned long long)messages, seconds,
                   (unsigned long long)refused);
    return line;
}

} // namespace

int CmdHz(Session &session, const Args &args) {
    Sample from;
    uint32_t ret = Take(session, args, &from);
    if (ret != OS_MSG_OK) {
        return Fail("task " + args.words[0] + "/" + args.words[1], ret);
    }
    (void)fprintf(stderr, "vyre-msg: measuring %s/%s every %u ms; Ctrl-C stops\n", args.words[0].c_str(),
                  args.words[1].c_str(), args.windowMs);
    Interrupt interrupt;
    for (uint32_t window = 0U; args.count == 0U || window < args.count; ++window) {
        if (!interrupt.Sleep(args.windowMs)) {
            break;
        }
        Sample to;
        ret = Take(session, args, &to);
        if (ret != OS_MSG_OK) {
            return Fail("task " + args.words[0] + "/" + args.words[1], ret);
        }
        if (!Print(Report(args, from, to))) {
            return kExitFailed;
        }
        from = to;
    }
    return kExitOk;
}

} // namespace vyremsg

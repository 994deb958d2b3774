/*
 * vyre-msg top: every task of every process of the run directory, refreshed,
 * the tasks that refuse messages first, then the busiest. Rates come from
 * the counters' differences between two rounds.
 */
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "tool_commands.h"
#include "tool_output.h"
#include "vyre_os_msg.h"

namespace vyremsg {

namespace {

struct Round {
    uint64_t atNs = 0U;
    std::map<std::string, MsgCtlTask> tasks; // by "process/task"
    std::vector<std::string> unreachable;
    uint32_t processes = 0U;
};

struct Row {
    std::string process;
    const MsgCtlTask *task;
    double handledPerSec;
    double refusedPerSec; // refused as full
    double deniedPerSec;  // refused by the access policy
};

uint64_t NowNs() {
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000U + static_cast<uint64_t>(now.tv_nsec);
}

uint32_t Collect(Session &session, Round *round) {
    std::vector<std::string> names;
    std::string dir;
    uint32_t ret = session.Processes(&names, &dir);
    if (ret != OS_MSG_OK) {
        return ret;
    }
    round->atNs = NowNs();
    round->processes = static_cast<uint32_t>(names.size());
    for (const std::string &name : names) {
        std::vector<MsgCtlTask> tasks;
        if (session.Tasks(name, "", kRequestTimeoutMs, &tasks, nullptr) != OS_MSG_OK) {
            round->unreachable.push_back(name);
            continue;
        }
        for (const MsgCtlTask &t : tasks) {
            round->tasks[name + "/" + NameOf(t.name)] = t;
        }
    }
    return OS_MSG_OK;
}

/* The rows of now with their rates since before, refusing first, then busiest. */
std::vector<Row> Rank(const Round &before, const Round &now) {
    const double seconds = static_cast<double>(now.atNs - before.atNs) / 1e9;
    std::vector<Row> rows;
    for (const auto &entry : now.tasks) {
        auto old = before.tasks.find(entry.first);
        double handled = 0.0;
        double refused = 0.0;
        double denied = 0.0;
        if (old != before.tasks.end() && seconds > 0.0 && entry.second.handled >= old->second.handled) {
            handled = static_cast<double>(entry.second.handled - old->second.handled) / seconds;
            refused = static_cast<double>(entry.second.refusedFull - old->second.refusedFull) / seconds;
            denied = static_cast<double>(entry.second.refusedAccess - old->second.refusedAccess) / seconds;
        }
        rows.push_back({entry.first.substr(0, entry.first.find('/')), &entry.second, handled, refused, denied});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
        const double aRefused = a.refusedPerSec + a.deniedPerSec;
        const double bRefused = b.refusedPerSec + b.deniedPerSec;
        if (aRefused != bRefused) {
            return aRefused > bRefused;
        }
        if (a.handledPerSec != b.handledPerSec) {
            return a.handledPerSec > b.handledPerSec;
        }
        return a.task->pending > b.task->pending;
    });
    return rows;
}

std::string Render(const Args &args, const Round &now, const std::vector<Row> &rows, uint32_t number) {
    if (args.json) {
        Json json;
        json.Open().Key("round").Num(number).Key("intervalMs").Num(args.intervalMs);
        json.Key("processes").Num(now.processes).Key("rows").OpenArray();
        for (const Row &r : rows) {
            json.Open().Key("process").Str(r.process).Key("task").Str(NameOf(r.task->name));
            json.Key("pending").Num(r.task->pending).Key("queueLen").Num(r.task->queueLen);
            json.Key("highWater").Num(r.task->highWater).Key("handledPerSec").Real(r.handledPerSec);
            json.Key("refusedPerSec")
                .Real(r.refusedPerSec)
                .Key("deniedPerSec")
                .Real(r.deniedPerSec)
                .Key("callbackP99Ns")
                .Num(r.task->callbackP99Ns);
            json.Key("callbackMaxNs").Num(r.task->callbackMaxNs).Key("served").Str(ServedName(r.task->served)).Close();
        }
        json.CloseArray().Key("unreachable").OpenArray();
        for (const std::string &name : now.unreachable) {
            json.Str(name);
        }
        return json.CloseArray().Close().Text() + "\n";
    }
    char line[256];
    (void)snprintf(line, sizeof(line),
                   "vyre-msg top: %u processes, %zu tasks, every %u ms (refusing first, then busiest)\n\n",
                   now.processes, rows.size(), args.intervalMs);
    std::string text = isatty(STDOUT_FILENO) != 0 ? std::string("\x1b[H\x1b[2J") + line : line;
    (void)snprintf(line, sizeof(line), "%-15s  %-15s  %15s  %6s  %9s  %8s  %8s  %8s  %8s  %-4s\n", "PROCESS", "TASK",
                   "PENDING/QUEUE", "HIGH", "MSG/S", "FULL/S", "DENIED/S", "CB P99", "CB MAX", "SERVED");
    text += line;
    for (const Row &r : rows) {
        std::string depth = std::to_string(r.task->pending) + "/" + std::to_string(r.task->queueLen);
        (void)snprintf(line, sizeof(line), "%-15s  %-15s  %15s  %6u  %9.1f  %8.1f  %8.1f  %8s  %8s  %-4s\n",
                       r.process.c_str(), NameOf(r.task->name).c_str(), depth.c_str(), r.task->highWater,
                       r.handledPerSec, r.refusedPerSec, r.deniedPerSec, Nanos(r.task->callbackP99Ns).c_str(),
                       Nanos(r.task->callbackMaxNs).c_str(), ServedName(r.task->served));
        text += line;
    }
    for (const std::string &name : now.unreachable) {
        text += name + ": no answer\n";
    }
    return text;
}

} // namespace

int CmdTop(Session &session, const Args &args) {
    Round before;
    uint32_t ret = Collect(session, &before);
    if (ret != OS_MSG_OK) {
        return Fail("cannot list the run directory", ret);
    }
    Interrupt interrupt;
    for (uint32_t number = 1U; args.count == 0U || number <= args.count; ++number) {
        if (!interrupt.Sleep(args.intervalMs)) {
            break;
        }
        Round now;
        ret = Collect(session, &now);
        if (ret != OS_MSG_OK) {
            return Fail("cannot list the run directory", ret);
        }
        if (!Print(Render(args, now, Rank(before, now), number))) {
            return kExitFailed;
        }
        before = std::move(now);
    }
    return kExitOk;
}

} // namespace vyremsg

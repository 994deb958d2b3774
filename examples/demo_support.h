/*
 * Helpers of the demos: a counter that threads wait on to sequence the
 * scenario's steps, the timeline that collects what happened, the list of
 * checks that decides the exit code, the names of the library's result codes,
 * and the filling of a message header, a subscription and an event entry.
 *
 * Thread safety: every class here may be used from any thread at once; each
 * guards its state with its own mutex and none calls out while holding it.
 */
#ifndef VYRE_EXAMPLES_DEMO_SUPPORT_H
#define VYRE_EXAMPLES_DEMO_SUPPORT_H

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "vyre_os_msg.h"

namespace demo {

/* A count that only grows; threads wait until it reaches a value. Used as a
 * latch (wait for n events) and as a gate (wait for 1). Every wait is bounded
 * so that a broken step ends the demo with a failed check, never a hang. */
class Counter {
public:
    void Add(uint32_t n = 1) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            value_ += n;
        }
        changed_.notify_all();
    }
    uint32_t Value() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    /* false when the value stayed below target for the whole time-out. */
    bool WaitFor(uint32_t target, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return value_ >= target; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint32_t value_ = 0; // guarded by mutex_
};

inline std::string Format(const char *fmt, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof(text), fmt, args);
    return text;
}

/* What happened, in the order it happened, with milliseconds since Start. */
class Timeline {
public:
    void Start() { start_ = std::chrono::steady_clock::now(); }
    long ElapsedMs() const {
        auto elapsed = std::chrono::steady_clock::now() - start_;
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    }
    void Add(const char *who, const char *fmt, ...) __attribute__((format(printf, 3, 4))) {
        va_list args;
        va_start(args, fmt);
        std::string text = Format(fmt, args);
        va_end(args);
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(Entry{ElapsedMs(), who, text});
    }
    void Print(FILE *out) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Entry &e : entries_) {
            std::fprintf(out, "%6ld ms  %-8s %s\n", e.ms, e.who.c_str(), e.text.c_str());
        }
    }

private:
    struct Entry {
        long ms;
        std::string who;
        std::string text;
    };
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;
    std::vector<Entry> entries_; // guarded by mutex_
};

/* Every expectation of the scenario; the demo exits non-zero when one fails. */
class Checks {
public:
    bool Expect(bool ok, const char *fmt, ...) __attribute__((format(printf, 3, 4))) {
        va_list args;
        va_start(args, fmt);
        std::string what = Format(fmt, args);
        va_end(args);
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        if (!ok) {
            failures_.push_back(what);
        }
        return ok;
    }
    uint32_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    std::vector<std::string> Failures() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return failures_;
    }

private:
    mutable std::mutex mutex_;
    uint32_t count_ = 0;                // guarded by mutex_
    std::vector<std::string> failures_; // guarded by mutex_
};

/* The name of a result code of the public header, for people to read. */
inline const char *KnownCodeName(uint32_t code) {
    switch (code) {
    case OS_MSG_OK:
        return "OS_MSG_OK";
    case OS_MSG_ERR_INVALID_PARAM:
        return "OS_MSG_ERR_INVALID_PARAM";
    case OS_MSG_ERR_SERVER_NOT_RUNNING:
        return "OS_MSG_ERR_SERVER_NOT_RUNNING";
    case OS_MSG_ERR_REPEATED:
        return "OS_MSG_ERR_REPEATED";
    case OS_MSG_ERR_NOT_INIT:
        return "OS_MSG_ERR_NOT_INIT";
    case OS_MSG_ERR_NOT_FOUND:
        return "OS_MSG_ERR_NOT_FOUND";
    case OS_MSG_ERR_FULL:
        return "OS_MSG_ERR_FULL";
    case OS_MSG_ERR_OVERSIZE:
        return "OS_MSG_ERR_OVERSIZE";
    case OS_MSG_ERR_FAIL:
        return "OS_MSG_ERR_FAIL";
    case OS_MSG_ERR_TASK_EXIST:
        return "OS_MSG_ERR_TASK_EXIST";
    case OS_MSG_ERR_TIMEOUT:
        return "OS_MSG_ERR_TIMEOUT";
    case OS_MSG_ERR_SYN_TIMEOUT:
        return "OS_MSG_ERR_SYN_TIMEOUT";
    case OS_MSG_ERR_REQ_RELEASED:
        return "OS_MSG_ERR_REQ_RELEASED";
    case OS_MSG_ERR_RESP_STATE:
        return "OS_MSG_ERR_RESP_STATE";
    case OS_MSG_ERR_TASK_BUSY:
        return "OS_MSG_ERR_TASK_BUSY";
    case OS_MSG_ERR_NO_MEMORY:
        return "OS_MSG_ERR_NO_MEMORY";
    case OS_MSG_ERR_ACCESS:
        return "OS_MSG_ERR_ACCESS";
    default:
        return nullptr;
    }
}

/* The code's name, or its value in hex when the header gives it no name here. */
inline std::string CodeName(uint32_t code) {
    const char *name = KnownCodeName(code);
    if (name != nullptr) {
        return name;
    }
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08x", code);
    return hex;
}

template <size_t N> void CopyName(char (&field)[N], const char *name) {
    std::snprintf(field, N, "%s", name);
}

/* A header from process from to task task of process to, carrying len bytes
 * at data. */
inline MsgHead MakeHead(const char *from, const char *to, const char *task, uint32_t msgId, const void *data,
                        uint32_t len) {
    MsgHead head;
    std::memset(&head, 0, sizeof(head));
    head.msgId = msgId;
    CopyName(head.sendProcName, from);
    CopyName(head.recvProcName, to);
    CopyName(head.recvTaskName, task);
    head.dataLen = len;
    head.data = const_cast<void *>(data);
    return head;
}

/* A subscription to event msgId published by task pubTask of process
 * pubProc (on this CPU) for task subTask; an empty subTask makes the calling
 * task the subscriber. */
inline MsgSubEntry Subscription(uint32_t msgId, const char *pubProc, const char *pubTask, const char *subTask = "") {
    MsgSubEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.msgId = msgId;
    CopyName(entry.procName, pubProc);
    CopyName(entry.taskName, pubTask);
    CopyName(entry.subTaskName, subTask);
    return entry;
}

/* An event of msgId carrying len bytes at data, published under the sending
 * task's own name (the entry's taskName left empty). */
inline MsgBroEntry OwnEvent(uint32_t msgId, void *data, int32_t len) {
    MsgBroEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    entry.msgId = msgId;
    entry.dataLen = len;
    entry.data = data;
    return entry;
}

} // namespace demo

#endif // VYRE_EXAMPLES_DEMO_SUPPORT_H

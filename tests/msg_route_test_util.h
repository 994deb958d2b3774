/*
 * Helpers for the routing and event request tests: the layers of a process
 * without the lifecycle (name "proc", task table, subscription table,
 * loopback transport), tasks with loop threads of their own that record what
 * they receive, a stand-in for the transport's send slots, header builders.
 *
 * Task callbacks are plain functions, so recording tasks find their state in
 * a registry keyed by task name; every test case runs in a process of its own.
 */
#ifndef VYRE_MSG_ROUTE_TEST_UTIL_H
#define VYRE_MSG_ROUTE_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "broadcast/msg_broadcast.h"
#include "core/msg_proc_name.h"
#include "core/msg_send.h"
#include "simple_msg/simple_msg.h"
#include "simple_msg/simple_msg_layer.h"
#include "transport/ipc_msg.h"
#include "transport/msg_adapter.h"

namespace route_test {

// Long enough never to pass in a healthy run; a hand-shake that runs out is a
// failure, not a wait.
constexpr std::chrono::seconds kHandShakeLimit{10};
constexpr const char *kOwnProc = "proc";

inline void CopyName(char (&field)[OS_MSG_NAME_LEN], const std::string &name) {
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, name.data(), std::min(name.size(), sizeof(field)));
}

inline std::string NameOf(const char (&field)[OS_MSG_NAME_LEN]) {
    return std::string(field, strnlen(field, OS_MSG_NAME_LEN));
}

// The name a thread that is no task sends under.
inline std::string ThreadTaskName() {
    return "T" + std::to_string(static_cast<long>(syscall(SYS_gettid)));
}

inline bool TaskExists(const std::string &name) {
    SimpleMsgTask *task = nullptr;
    (void)OsMutexLock(&simpleQueueLock);
    uint32_t ret = SimpleMsgGetQueue(name.c_str(), &task);
    (void)OsMutexUnLock(&simpleQueueLock);
    return ret == OS_MSG_OK;
}

// A header from (sendCpu, sendProc, sendTask) to (recvCpu, recvProc, recvTask).
inline MsgHead Head(uint32_t sendCpu, const char *sendProc, const char *sendTask, uint32_t recvCpu,
                    const char *recvProc, const char *recvTask, uint32_t msgId = 0U) {
    MsgHead head{};
    head.msgId = msgId;
    head.sendCpuId = sendCpu;
    head.recvCpuId = recvCpu;
    CopyName(head.sendProcName, sendProc);
    CopyName(head.sendTaskName, sendTask);
    CopyName(head.recvProcName, recvProc);
    CopyName(head.recvTaskName, recvTask);
    return head;
}

// A header from this thread (sender task left for stamping) to recvTask of
// recvProc on this CPU, pointing at payload, which must outlive it.
inline MsgHead Outgoing(const char *sendProc, const char *recvProc, const std::string &recvTask, uint32_t msgId,
                        const std::string &payload = std::string()) {
    MsgHead head = Head(0U, sendProc, "", 0U, recvProc, recvTask.c_str(), msgId);
    head.dataLen = static_cast<uint32_t>(payload.size());
    head.data = payload.empty() ? nullptr : const_cast<char *>(payload.data());
    return head;
}
MsgHead Outgoing(const char *, const char *, const std::string &, uint32_t, std::string &&) = delete;

// What a recording task saw of one message: the header (data cleared) and a
// copy of its payload.
struct Received {
    MsgHead head;
    std::string payload;
};

// A registered task whose loop runs on a thread of its own; it passes each
// message to the optional handler (on the loop thread) and then records it.
class RecordingTask {
public:
    using Handler = std::function<void(MsgHead *msg)>;

    explicit RecordingTask(const std::string &name, Handler handler = {}) : name_(name), handler_(std::move(handler)) {
        {
            std::lock_guard<std::mutex> lock(RegistryMutex());
            Registry()[name_] = this;
        }
        regResult_ = SimpleMsgRegTask(name_.c_str(), 0U, &RecordingTask::Callback, 0U);
        if (regResult_ == OS_MSG_OK) {
            loop_ = std::thread([this] { (void)SimpleTaskRoutineByName(const_cast<char *>(name_.c_str())); });
        }
    }
    ~RecordingTask() {
        if (loop_.joinable()) {
            (void)SimpleMsgUnregTask(name_.c_str());
            loop_.join();
        }
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry().erase(name_);
    }
    RecordingTask(const RecordingTask &) = delete;
    RecordingTask &operator=(const RecordingTask &) = delete;

    uint32_t RegResult() const { return regResult_; }

    // True once `times` messages with msgId have been handled.
    bool WaitForId(uint32_t msgId, size_t times = 1U) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, kHandShakeLimit, [&] {
            size_t seen = 0;
            for (const Received &r : items_) {
                seen += r.head.msgId == msgId ? 1U : 0U;
            }
            return seen >= times;
        });
    }
    // Sends an empty message from this thread and waits until the loop took
    // it: every message queued before has been handled and released.
    void Fence() {
        static std::atomic<uint32_t> lastFence{0xF0000000U};
        uint32_t id = ++lastFence;
        MsgHead head = Outgoing(kOwnProc, kOwnProc, name_, id);
        (void)MsgForceSetSendName(&head);
        ASSERT_EQ(MsgAsynSend(&head, MSG_TRANS_ASYN), OS_MSG_OK);
        ASSERT_TRUE(WaitForId(id));
    }
    // Messages handled so far, without fences.
    std::vector<Received> Messages(uint32_t onlyId = 0U) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Received> out;
        for (const Received &r : items_) {
            if (r.head.msgId < 0xF0000000U && (onlyId == 0U || r.head.msgId == onlyId)) {
                out.push_back(r);
            }
        }
        return out;
    }

private:
    static std::mutex &RegistryMutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::map<std::string, RecordingTask *> &Registry() {
        static std::map<std::string, RecordingTask *> registry;
        return registry;
    }
    static uint32_t Callback(MsgHead *msg) {
        RecordingTask *self = nullptr;
        {
            std::lock_guard<std::mutex> lock(RegistryMutex());
            auto it = Registry().find(NameOf(msg->recvTaskName));
            self = it != Registry().end() ? it->second : nullptr;
        }
        if (self == nullptr) {
            ADD_FAILURE() << "message for unknown task " << NameOf(msg->recvTaskName);
            return 0U;
        }
        if (self->handler_) {
            self->handler_(msg);
        }
        Received r{*msg, std::string()};
        if (msg->data != nullptr) {
            r.payload.assign(static_cast<const char *>(msg->data), msg->dataLen);
        }
        r.head.data = nullptr;
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->items_.push_back(r);
        self->cond_.notify_all();
        return 0U;
    }

    std::string name_;
    Handler handler_;
    uint32_t regResult_ = 0U;
    std::thread loop_;
    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<Received> items_; // guarded by mutex_
};

// Takes the place of the transport's send slots (0: this CPU, 8: another
// CPU) and records what the routing layer hands them on the sending thread;
// nothing is delivered. The loopback transport is registered again when it
// goes.
class TransportSpy {
public:
    struct Call {
        uint32_t slot;
        uint32_t transType;
        MsgHead head;
    };

    TransportSpy() {
        Log().clear();
        Register(MSG_ADP_SLOT_SEND, [](const char *, uint32_t type, MsgHead *head) {
            Log().push_back(Call{MSG_ADP_SLOT_SEND, type, *head});
            return OS_MSG_OK;
        });
        Register(MSG_ADP_SLOT_SEND_CPU, [](const char *, uint32_t type, MsgHead *head) {
            Log().push_back(Call{MSG_ADP_SLOT_SEND_CPU, type, *head});
            return OS_MSG_OK;
        });
    }
    ~TransportSpy() { PMsgRegAdpFunc(); }
    TransportSpy(const TransportSpy &) = delete;
    TransportSpy &operator=(const TransportSpy &) = delete;

    const std::vector<Call> &Calls() const { return Log(); }

private:
    static void Register(uint32_t slot, MsgAdpSendFunc func) {
        MsgAdpFuncReg reg{};
        reg.funcId = slot;
        reg.func.send = func;
        EXPECT_EQ(MsgAdpRegFunc(&reg), OS_MSG_OK);
    }
    static std::vector<Call> &Log() {
        static std::vector<Call> calls;
        return calls;
    }
};

// The layers a process has after its start, without the lifecycle.
inline void StartLayers() {
    ASSERT_EQ(MsgSetProcName(kOwnProc, 5U), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgInitPthreadMutex(), OS_MSG_OK);
    ASSERT_EQ(SimpleMsgCreateQueue(128U), OS_MSG_OK);
    ASSERT_EQ(MsgCreateSubscribeTable(128U), OS_MSG_OK);
    PMsgRegAdpFunc();
}

// Removes every task (waiting for their loops), then the tables and locks.
inline void StopLayers() {
    SimpleMsgDestroyQueue();
    MsgDestroySubscribeTable();
    SimpleMsgUninitPthreadMutex();
    (void)MsgSetProcName("", 0U);
}

} // namespace route_test

#endif // VYRE_MSG_ROUTE_TEST_UTIL_H

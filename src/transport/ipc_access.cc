/*
 * The access policy's rules and its verdicts (see ipc_access.h). The rules
 * of the calls and of the policy file share one fixed table, the calls'
 * first, so that nothing is allocated and nothing needs tearing down.
 * g_ipcAccessLock guards the table and is a leaf lock.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include "transport/ipc_access.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "base/msg_forever.h"
#include "base/msg_names.h"
#include "vyre_os_thread.h"

namespace {

struct IpcAccessTable {
    OsMsgAccessRule rules[OS_MSG_ACCESS_RULES_MAX]; /* the calls' rules, then the file's */
    uint32_t callCount;
    uint32_t fileCount;
};

MsgForever<std::mutex> g_ipcAccessLock;
IpcAccessTable g_ipcAccess; /* g_ipcAccessLock */
std::atomic<uint32_t> g_ipcAccessGen{1U};
std::atomic<uint32_t> g_ipcAccessOwner{OS_MSG_ID_NONE};
std::atomic<uint32_t> g_ipcAccessGroup{OS_MSG_ID_NONE};

bool IpcAccessRuleValid(const OsMsgAccessRule &rule) {
    bool kind = rule.kind == OS_MSG_ACCESS_UID || rule.kind == OS_MSG_ACCESS_GID || rule.kind == OS_MSG_ACCESS_ANYONE;
    return kind && strnlen(rule.taskName, OS_MSG_NAME_LEN) < OS_MSG_NAME_LEN && rule.firstMsgId <= rule.lastMsgId;
}

bool IpcAccessRulesValid(const OsMsgAccessRule *rules, uint32_t count) {
    if (rules == nullptr && count != 0U) {
        return false;
    }
    for (uint32_t i = 0U; i < count; ++i) {
        if (!IpcAccessRuleValid(rules[i])) {
            return false;
        }
    }
    return true;
}

/* A rule as kept: its task name zero-padded, so a 16-byte comparison with
 * a name field decides. */
OsMsgAccessRule IpcAccessKept(const OsMsgAccessRule &rule) {
    OsMsgAccessRule kept = rule;
    size_t len = strnlen(rule.taskName, OS_MSG_NAME_LEN);
    std::memset(kept.taskName + len, 0, OS_MSG_NAME_LEN - len);
    return kept;
}

/* Stores count rules as the calls' (file false) or the file's rules
 * (g_ipcAccessLock held); false when they do not fit. */
bool IpcAccessStore(const OsMsgAccessRule *rules, uint32_t count, bool file) {
    IpcAccessTable &t = g_ipcAccess;
    uint32_t keep = file ? t.callCount : t.fileCount;
    if ((uint64_t)keep + count > OS_MSG_ACCESS_RULES_MAX) {
        return false;
    }
    if (!file) {
        // The file's rules move to follow the new calls' rules.
        std::memmove(&t.rules[count], &t.rules[t.callCount], t.fileCount * sizeof(OsMsgAccessRule));
    }
    OsMsgAccessRule *at = file ? &t.rules[t.callCount] : &t.rules[0];
    for (uint32_t i = 0U; i < count; ++i) {
        at[i] = IpcAccessKept(rules[i]);
    }
    (file ? t.fileCount : t.callCount) = count;
    return true;
}

void IpcAccessChanged() {
    uint32_t next = g_ipcAccessGen.load(std::memory_order_relaxed) + 1U;
    g_ipcAccessGen.store(next != 0U ? next : 1U, std::memory_order_release);
}

/* Whether rule names who as its sender. */
bool IpcAccessNames(const OsMsgAccessRule &rule, const IpcAccessWho *who) {
    switch (rule.kind) {
    case OS_MSG_ACCESS_UID:
        return rule.id == who->uid;
    case OS_MSG_ACCESS_GID:
        if (rule.id == who->gid) {
            return true;
        }
        for (uint32_t i = 0U; i < who->groupCount; ++i) {
            if (who->groups[i] == rule.id) {
                return true;
            }
        }
        return false;
    default:
        return true;
    }
}

bool IpcAccessAlwaysAccepted(const IpcAccessWho *who) {
    return who->uid == 0U || who->uid == OsGetUId();
}

} // namespace

uint32_t IpcAccessGeneration(void) {
    return g_ipcAccessGen.load(std::memory_order_acquire);
}

uint32_t IpcAccessJudge(const IpcAccessWho *who) {
    if (IpcAccessAlwaysAccepted(who)) {
        return IPC_ACCESS_ALL;
    }
    std::lock_guard<std::mutex> guard(*g_ipcAccessLock);
    const IpcAccessTable &t = g_ipcAccess;
    uint32_t verdict = IPC_ACCESS_NONE;
    for (uint32_t i = 0U; i < t.callCount + t.fileCount && verdict != IPC_ACCESS_ALL; ++i) {
        const OsMsgAccessRule &rule = t.rules[i];
        if (IpcAccessNames(rule, who)) {
            bool everything = rule.taskName[0] == '\0' && rule.firstMsgId == 0U && rule.lastMsgId == 0xFFFFFFFFU;
            verdict = everything ? IPC_ACCESS_ALL : IPC_ACCESS_SOME;
        }
    }
    return verdict;
}

bool IpcAccessAllows(const IpcAccessWho *who, const char *task, uint32_t msgId) {
    if (IpcAccessAlwaysAccepted(who)) {
        return true;
    }
    std::lock_guard<std::mutex> guard(*g_ipcAccessLock);
    const IpcAccessTable &t = g_ipcAccess;
    for (uint32_t i = 0U; i < t.callCount + t.fileCount; ++i) {
        const OsMsgAccessRule &rule = t.rules[i];
        if (IpcAccessNames(rule, who) && (rule.taskName[0] == '\0' || MsgFieldEqual(rule.taskName, task)) &&
            msgId >= rule.firstMsgId && msgId <= rule.lastMsgId) {
            return true;
        }
    }
    return false;
}

uint32_t IpcAccessAdd(const OsMsgAccessRule *rule) {
    if (rule == nullptr || !IpcAccessRuleValid(*rule)) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> guard(*g_ipcAccessLock);
    IpcAccessTable &t = g_ipcAccess;
    if (t.callCount + t.fileCount >= OS_MSG_ACCESS_RULES_MAX) {
        return OS_MSG_ERR_FULL;
    }
    std::memmove(&t.rules[t.callCount + 1U], &t.rules[t.callCount], t.fileCount * sizeof(OsMsgAccessRule));
    t.rules[t.callCount] = IpcAccessKept(*rule);
    t.callCount += 1U;
    IpcAccessChanged();
    return OS_MSG_OK;
}

uint32_t IpcAccessReplace(const OsMsgAccessRule *rules, uint32_t count) {
    if (!IpcAccessRulesValid(rules, count)) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> guard(*g_ipcAccessLock);
    if (!IpcAccessStore(rules, count, false)) {
        return OS_MSG_ERR_FULL;
    }
    IpcAccessChanged();
    return OS_MSG_OK;
}

uint32_t IpcAccessSetFileRules(const OsMsgAccessRule *rules, uint32_t count) {
    if (!IpcAccessRulesValid(rules, count)) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    std::lock_guard<std::mutex> guard(*g_ipcAccessLock);
    if (!IpcAccessStore(rules, count, true)) {
        return OS_MSG_ERR_FULL;
    }
    IpcAccessChanged();
    return OS_MSG_OK;
}

void IpcAccessSetSharedRunDir(uint32_t ownerUid, uint32_t groupGid) {
    g_ipcAccessOwner.store(ownerUid, std::memory_order_relaxed);
    g_ipcAccessGroup.store(groupGid, std::memory_order_relaxed);
}

uint32_t IpcAccessTrustedOwner(void) {
    return g_ipcAccessOwner.load(std::memory_order_relaxed);
}

uint32_t IpcAccessRequiredGroup(void) {
    return g_ipcAccessGroup.load(std::memory_order_relaxed);
}

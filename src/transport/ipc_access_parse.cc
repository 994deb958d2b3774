/*
 * The text of a policy file read into access rules (IpcAccessParse, format
 * in the public header): one rule per line,
 *
 *   allow uid USER|gid GROUP|any [task NAME|task *] [ids FIRST[-LAST]|ids *]
 *
 * with '#' starting a comment. The text is untrusted: every word is bounded
 * and nothing past len is read. Stateless; any thread.
 */
#define MSG_MODULE "ipcmsg_adapt"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>

#include <cstring>

#include "transport/ipc_access.h"

namespace {

/* Longest word read; longer ones are malformed. */
constexpr size_t kIpcWordMax = 64U;

/* The words of one line. */
struct IpcPolicyLine {
    const char *at;
    const char *end;
    char word[kIpcWordMax + 1U];
};

/* The next word of line into line->word: 1, 0 at the end of the line (or a
 * comment), -1 for a word too long. */
int IpcPolicyWord(IpcPolicyLine *line) {
    while (line->at < line->end && (*line->at == ' ' || *line->at == '\t' || *line->at == '\r')) {
        ++line->at;
    }
    if (line->at == line->end || *line->at == '#') {
        return 0;
    }
    size_t n = 0U;
    while (line->at < line->end && *line->at != ' ' && *line->at != '\t' && *line->at != '\r' && *line->at != '#') {
        if (n == kIpcWordMax) {
            return -1;
        }
        line->word[n++] = *line->at++;
    }
    line->word[n] = '\0';
    return 1;
}

/* A number, decimal or 0x hexadecimal, of 32 bits. */
bool IpcPolicyNumber(const char *word, uint32_t *out) {
    bool hex = word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const char *digits = hex ? word + 2 : word;
    if (digits[0] == '\0' || digits[0] == '-' || digits[0] == '+' || digits[0] == ' ') {
        return false;
    }
    char *stop = nullptr;
    errno = 0;
    unsigned long long value = strtoull(digits, &stop, hex ? 16 : 10);
    if (errno != 0 || *stop != '\0' || value > 0xFFFFFFFFULL) {
        return false;
    }
    *out = (uint32_t)value;
    return true;
}

/* A user or group, by number or by name. */
bool IpcPolicyId(const char *word, bool group, uint32_t *out) {
    if (IpcPolicyNumber(word, out)) {
        return true;
    }
    char buf[4096];
    if (group) {
        struct group entry;
        struct group *found = nullptr;
        if (getgrnam_r(word, &entry, buf, sizeof(buf), &found) != 0 || found == nullptr) {
            return false;
        }
        *out = (uint32_t)found->gr_gid;
        return true;
    }
    struct passwd entry;
    struct passwd *found = nullptr;
    if (getpwnam_r(word, &entry, buf, sizeof(buf), &found) != 0 || found == nullptr) {
        return false;
    }
    *out = (uint32_t)found->pw_uid;
    return true;
}

/* "FIRST", "FIRST-LAST" or "*". */
bool IpcPolicyIds(char *word, OsMsgAccessRule *rule) {
    if (strcmp(word, "*") == 0) {
        rule->firstMsgId = 0U;
        rule->lastMsgId = 0xFFFFFFFFU;
        return true;
    }
    char *dash = strchr(word, '-');
    if (dash != nullptr) {
        *dash = '\0';
    }
    if (!IpcPolicyNumber(word, &rule->firstMsgId)) {
        return false;
    }
    rule->lastMsgId = rule->firstMsgId;
    return (dash == nullptr || IpcPolicyNumber(dash + 1, &rule->lastMsgId)) && rule->firstMsgId <= rule->lastMsgId;
}

/* The sender of a rule: "uid X", "gid X" or "any". NULL, or what is wrong. */
const char *IpcPolicySender(IpcPolicyLine *line, OsMsgAccessRule *rule) {
    if (IpcPolicyWord(line) != 1) {
        return "'allow' without uid, gid or any";
    }
    if (strcmp(line->word, "any") == 0) {
        rule->kind = OS_MSG_ACCESS_ANYONE;
        return nullptr;
    }
    bool group = strcmp(line->word, "gid") == 0;
    if (!group && strcmp(line->word, "uid") != 0) {
        return "'allow' without uid, gid or any";
    }
    rule->kind = group ? OS_MSG_ACCESS_GID : OS_MSG_ACCESS_UID;
    if (IpcPolicyWord(line) != 1) {
        return group ? "'gid' without a group" : "'uid' without a user";
    }
    if (!IpcPolicyId(line->word, group, &rule->id)) {
        return group ? "no such group" : "no such user";
    }
    return nullptr;
}

/* The clauses after the sender: "task X" and "ids X", each at most once. */
const char *IpcPolicyClauses(IpcPolicyLine *line, OsMsgAccessRule *rule) {
    bool task = false;
    bool ids = false;
    for (int got = IpcPolicyWord(line); got != 0; got = IpcPolicyWord(line)) {
        bool isTask = got == 1 && strcmp(line->word, "task") == 0;
        bool isIds = got == 1 && strcmp(line->word, "ids") == 0;
        if (!(isTask && !task) && !(isIds && !ids)) {
            return got < 0 ? "word too long" : "unexpected word (after the sender: task, ids)";
        }
        if (IpcPolicyWord(line) != 1) {
            return isTask ? "'task' without a name" : "'ids' without a range";
        }
        if (isTask) {
            task = true;
            if (strlen(line->word) >= OS_MSG_NAME_LEN) {
                return "task name longer than 15 characters";
            }
            std::memset(rule->taskName, 0, sizeof(rule->taskName));
            if (strcmp(line->word, "*") != 0) {
                std::memcpy(rule->taskName, line->word, strlen(line->word));
            }
        } else {
            ids = true;
            if (!IpcPolicyIds(line->word, rule)) {
                return "bad message ids (FIRST, FIRST-LAST with FIRST at most LAST, or *)";
            }
        }
    }
    return nullptr;
}

/* One line: *rule filled and true in *isRule for a rule, false for a blank
 * or comment line. NULL, or what is wrong. */
const char *IpcPolicyParseLine(IpcPolicyLine *line, OsMsgAccessRule *rule, bool *isRule) {
    *isRule = false;
    int got = IpcPolicyWord(line);
    if (got == 0) {
        return nullptr;
    }
    if (got < 0 || strcmp(line->word, "allow") != 0) {
        return "a rule begins with 'allow'";
    }
    std::memset(rule, 0, sizeof(*rule));
    rule->lastMsgId = 0xFFFFFFFFU;
    const char *what = IpcPolicySender(line, rule);
    if (what == nullptr) {
        what = IpcPolicyClauses(line, rule);
    }
    *isRule = what == nullptr;
    return what;
}

} // namespace

uint32_t IpcAccessParse(const char *text, size_t len, OsMsgAccessRule *rules, uint32_t max, uint32_t *count,
                        uint32_t *badLine, const char **what) {
    *count = 0U;
    *badLine = 0U;
    *what = nullptr;
    const char *end = text + len;
    uint32_t number = 0U;
    for (const char *at = text; at < end;) {
        const char *stop = static_cast<const char *>(memchr(at, '\n', (size_t)(end - at)));
        stop = stop != nullptr ? stop : end;
        number += 1U;
        IpcPolicyLine line = {at, stop, {0}};
        OsMsgAccessRule rule;
        bool isRule = false;
        const char *wrong =
            memchr(at, '\0', (size_t)(stop - at)) != nullptr ? "a NUL byte" : IpcPolicyParseLine(&line, &rule, &isRule);
        if (wrong != nullptr || (isRule && *count == max)) {
            *badLine = number;
            *what = wrong != nullptr ? wrong : "more rules than a process holds";
            return wrong != nullptr ? OS_MSG_ERR_INVALID_PARAM : OS_MSG_ERR_FULL;
        }
        if (isRule) {
            rules[(*count)++] = rule;
        }
        at = stop + 1;
    }
    return OS_MSG_OK;
}

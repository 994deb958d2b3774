/*
 * CPU ids and the CPU configuration file parser. See msg_cpu_cfg.h for the
 * file's rules and the thread-safety of cpunum.
 */
#include "msc/msg_cpu_cfg.h"

#include <string.h>

#include "base/msg_result_code.h"
#include "log/msg_log.h"

namespace {

constexpr char kCpuNumKey[] = "cpunum";
constexpr uint32_t kCpuNumKeyLen = sizeof(kCpuNumKey) - 1;
// Larger values are reported as this one; any of them is refused anyway.
constexpr uint64_t kCpuNumSaturation = 0x7FFFFFFF;

bool IsLineBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Length of the line OsFgets stored in buf. The buffer is filled with a
// non-zero byte before the read, so the last NUL is the reader's terminator
// even when the line itself holds NULs.
uint32_t StoredLength(const char *buf, uint32_t size) {
    const void *end = memrchr(buf, '\0', size);
    return end != nullptr ? (uint32_t)((const char *)end - buf) : 0;
}

} // namespace

extern "C" {

uint32_t cpunum = 0;
const MsgCpuEntry g_cpuTable[MSG_CPU_MAX_NUM] = {};

uint32_t MsgCpuCfgInit(void) {
    char path[MSG_CPU_CFG_BUF_LEN] = {0};
    if (MsgCpuGetCfgFile(path, sizeof(path)) != OS_MSG_OK) {
        __atomic_store_n(&cpunum, 0U, __ATOMIC_RELAXED);
        MSG_LOG(OS_MSG_LOG_ERROR, "not found cpu cfg file.");
        return OS_MSG_OK;
    }
    uint32_t ret = MsgCpuParseCpuCfgFile(path);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "cpu cfg init failed. %u " MSG_CODE_FMT, ret, MSG_CODE_ARGS(ret));
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "get cpunum:%d, cpu1=%x, cpu2=%x\r\n", (int)__atomic_load_n(&cpunum, __ATOMIC_RELAXED),
            0U, 0U);
    return OS_MSG_OK;
}

uint32_t MsgCpuGetCfgFile(char *path, uint32_t size) {
    if (path == nullptr || size == 0) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    return OS_MSG_OK;
}

uint32_t MsgCpuParseCpuCfgFile(const char *path) {
    if (path == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "not found cpu cfg file.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    OsFile *file = OsFopen(path, "r");
    if (file == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "open cpu cfg file failed.");
        return OS_MSG_ERR_SYSTEM;
    }
    uint32_t ret = MsgCpuParseFile(file);
    (void)OsFclose(file);
    if (ret != OS_MSG_OK) {
        MSG_LOG(OS_MSG_LOG_ERROR, "parse cpu file failed.");
        return OS_MSG_ERR_SYSTEM;
    }
    return OS_MSG_OK;
}

uint32_t MsgCpuIsNoChar(const char *line, uint32_t len) {
    if (line == nullptr) {
        return 1;
    }
    if (len > 0 && line[0] == '#') {
        MSG_LOG(OS_MSG_LOG_DEBUG, "start with annotation.");
        return 1;
    }
    for (uint32_t i = 0; i < len; ++i) {
        if (!IsLineBlank(line[i])) {
            MSG_LOG(OS_MSG_LOG_DEBUG, "got valid char.");
            return 0;
        }
    }
    MSG_LOG(OS_MSG_LOG_DEBUG, "all invalid char.");
    return 1;
}

uint32_t MsgCpuParseLine(const char *line, uint32_t len) {
    if (line == nullptr) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    // The value runs to the end of the line, without its line end.
    uint32_t end = len;
    if (end > 0 && line[end - 1] == '\n') {
        --end;
    }
    if (end > 0 && line[end - 1] == '\r') {
        --end;
    }
    uint32_t pos = 0;
    while (pos < end && line[pos] == ':') {
        ++pos;
    }
    uint32_t keyStart = pos;
    while (pos < end && line[pos] != ':') {
        ++pos;
    }
    if (pos == keyStart) {
        MSG_LOG(OS_MSG_LOG_ERROR, "find key error.");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    // The key is taken exactly: "cpunum " is another key. A key without a
    // colon behind it has no value and fails like an unknown key.
    if (pos - keyStart != kCpuNumKeyLen || memcmp(line + keyStart, kCpuNumKey, kCpuNumKeyLen) != 0 || pos == end) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    return MsgCpuParseCpuNum(line + pos + 1, end - pos - 1);
}

uint32_t MsgCpuParseCpuNum(const char *value, uint32_t len) {
    if (value == nullptr) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    MSG_LOG(OS_MSG_LOG_INFO, "cpunum : %.*s.", (int)len, value);
    uint32_t pos = 0;
    while (pos < len && IsSpace(value[pos])) {
        ++pos;
    }
    uint64_t number = 0;
    for (; pos < len && value[pos] >= '0' && value[pos] <= '9'; ++pos) {
        number = number * 10 + (uint64_t)(value[pos] - '0');
        if (number > kCpuNumSaturation) {
            number = kCpuNumSaturation;
        }
    }
    if (number > MSG_CPU_MAX_NUM) {
        MSG_LOG(OS_MSG_LOG_ERROR, "cpunum error : %d.", (int)number);
        return OS_MSG_ERR_INVALID_PARAM;
    }
    __atomic_store_n(&cpunum, (uint32_t)number, __ATOMIC_RELAXED);
    return OS_MSG_OK;
}

uint32_t MsgCpuParseFile(OsFile *file) {
    if (file == nullptr) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    char line[MSG_CPU_CFG_BUF_LEN];
    for (;;) {
        memset(line, '\n', sizeof(line));
        if (OsFgets(line, (int32_t)sizeof(line), file) == nullptr) {
            return OS_MSG_OK;
        }
        uint32_t len = StoredLength(line, sizeof(line));
        if (len > MSG_CPU_CFG_MAX_LINE) {
            MSG_LOG(OS_MSG_LOG_ERROR, "line too long.");
            return OS_MSG_ERR_INVALID_PARAM;
        }
        if (MsgCpuIsNoChar(line, len) != 0) {
            continue;
        }
        if (MsgCpuParseLine(line, len) != OS_MSG_OK) {
            MSG_LOG(OS_MSG_LOG_ERROR, "parse line error.");
            return OS_MSG_ERR_INVALID_PARAM;
        }
    }
}

uint32_t MsgGetLocalCpuID(void) {
    return 0;
}

uint32_t MsgCpuGetRealCpuID(uint32_t id, uint32_t *out) {
    (void)id;
    if (out == nullptr) {
        MSG_LOG(OS_MSG_LOG_ERROR, "invalid param");
        return OS_MSG_ERR_INVALID_PARAM;
    }
    *out = 0;
    return OS_MSG_OK;
}

uint32_t MsgCpuGetVirtualCpuID(uint32_t realId, uint32_t *out) {
    uint32_t count = __atomic_load_n(&cpunum, __ATOMIC_RELAXED);
    if (out == nullptr || count == 0) {
        return OS_MSG_ERR_INVALID_PARAM;
    }
    for (uint32_t row = 0; row < count && row < MSG_CPU_MAX_NUM; ++row) {
        if (g_cpuTable[row].realCpuId == realId && g_cpuTable[row].valid == 1) {
            *out = row + 1;
            return OS_MSG_OK;
        }
    }
    return OS_MSG_ERR_INVALID_PARAM;
}

} // extern "C"

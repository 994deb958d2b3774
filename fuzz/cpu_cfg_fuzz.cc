/*
 * Feeds arbitrary bytes as the CPU configuration file. The bytes go into one
 * memory file per process, opened by path through /proc/self/fd, so every
 * run parses exactly the input. Whatever the content, the parser must stay
 * inside its buffers and leave cpunum within 0-256.
 */
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "log/msg_log.h"
#include "msc/msg_cpu_cfg.h"
#include "vyre_os_log.h"

namespace {

int g_fd = -1;
char g_path[64];

void Setup() {
    MsgSetLogFunc(nullptr);
    OsLogSetLevel(5);
    g_fd = memfd_create("cpu_cfg", 0);
    if (g_fd < 0) {
        perror("memfd_create");
        abort();
    }
    snprintf(g_path, sizeof(g_path), "/proc/self/fd/%d", g_fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (g_fd < 0) {
        Setup();
    }
    if (ftruncate(g_fd, 0) != 0 || pwrite(g_fd, data, size, 0) != (ssize_t)size) {
        abort();
    }
    cpunum = 0;
    uint32_t ret = MsgCpuParseCpuCfgFile(g_path);
    if ((ret != OS_MSG_OK && ret != OS_MSG_ERR_SYSTEM) || cpunum > MSG_CPU_MAX_NUM) {
        abort();
    }
    return 0;
}

/*
 * The media demo's reports: where the library's own log records go, the
 * reading of the library's dumps, and the account of the tracked memory left
 * after shutdown.
 *
 * Thread safety: the log callbacks run on any thread of the library and
 * touch only g_log (a file handle fixed before the library starts, and an
 * atomic count); the other functions run on one thread at a time.
 */
#include <atomic>
#include <cinttypes>
#include <map>

#include "media_demo.h"
#include "vyre_os_log.h"
#include "vyre_os_mem.h"

namespace media {
namespace {

struct LogRoute {
    FILE *file = nullptr;
    std::atomic<uint32_t> records{0};
} g_log;

std::string WithoutLineEnd(const char *text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

void OnLibraryLine(uint32_t, const char *line) {
    g_log.records.fetch_add(1);
    if (g_log.file != nullptr) {
        std::fprintf(g_log.file, "%s\n", WithoutLineEnd(line).c_str());
    }
}

void OnPlatformRecord(uint32_t level, const char *tag, const char *text) {
    static const char *const kLevels[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    g_log.records.fetch_add(1);
    if (g_log.file != nullptr) {
        std::fprintf(g_log.file, "[%s][%s] %s\n", tag, level < 5 ? kLevels[level] : "?", WithoutLineEnd(text).c_str());
    }
}

struct BlockGroup {
    uint32_t blocks = 0;
    uint64_t bytes = 0;
};

/* OSMemDumpUsed's lines ("block <address> size <n> module <name> line <n>")
 * summed up by module. */
std::map<std::string, BlockGroup> UsedBlocksByModule() {
    std::map<std::string, BlockGroup> groups;
    std::string dump = CaptureOutput(OSMemDumpUsed);
    size_t pos = 0;
    while (pos < dump.size()) {
        size_t end = dump.find('\n', pos);
        if (end == std::string::npos) {
            end = dump.size();
        }
        std::string line = dump.substr(pos, end - pos);
        char module[64] = {0};
        unsigned long long size = 0;
        if (std::sscanf(line.c_str(), "block %*s size %llu module %63s", &size, module) == 2) {
            groups[module].blocks++;
            groups[module].bytes += size;
        }
        pos = end + 1;
    }
    return groups;
}

/* Why a module's blocks outlive OsMsgUninit, and how many may. */
struct KeptByDesign {
    const char *module;
    const char *why;
    uint32_t blocks;      // blocks kept whatever happened
    uint32_t perSlowCall; // and this many per slow-handling record
};
const KeptByDesign kKept[] = {
    {"ipcmsg_adapt", "the transport's server context and slice collector, kept for the life of the process", 2, 0},
    {"simple_msg", "the slow-handling record: a new task table forgets these, nothing frees them", 0, 1},
    {"zem_list_impl", "the list entry that holds that record", 0, 1},
};

const KeptByDesign *FindKept(const std::string &module) {
    for (const KeptByDesign &kept : kKept) {
        if (module == kept.module) {
            return &kept;
        }
    }
    return nullptr;
}

} // namespace

bool RouteLibraryLog(const char *path) {
    if (path != nullptr) {
        g_log.file = std::fopen(path, "w");
        if (g_log.file == nullptr) {
            std::perror(path);
            return false;
        }
        OsMsgSetLogLevel(OS_MSG_LOG_DEBUG);
        OsLogSetLevel(OS_LOG_DEBUG);
    }
    OsMsgRegLogFunc(OnLibraryLine);
    OsLogSetSink(OnPlatformRecord);
    return true;
}

void ReportLibraryLog(const char *path) {
    if (path != nullptr) {
        std::fflush(g_log.file);
        std::printf("\nLibrary log: %u records written to %s\n", g_log.records.load(), path);
        return;
    }
    std::printf("\nLibrary log: %u records at ERROR level or above kept out of this output (the refusals in the\n"
                "timeline, and lines the library writes at start-up and teardown); `media_demo --log FILE`\n"
                "keeps every record, DEBUG included\n",
                g_log.records.load());
}

std::string CaptureOutput(void (*dump)(int)) {
    std::string text;
    FILE *file = std::tmpfile();
    if (file == nullptr) {
        return text;
    }
    dump(fileno(file));
    std::rewind(file);
    char chunk[1024];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        text.append(chunk, n);
    }
    std::fclose(file);
    return text;
}

void CheckSlowRecords(const std::string &dump) {
    uint32_t records = 0;
    bool writerRecorded = false;
    const std::string writerPrefix = "acTaskName:writer,";
    size_t pos = 0;
    while ((pos = dump.find("acTaskName:", pos)) != std::string::npos) {
        size_t end = dump.find('\n', pos);
        std::string line = dump.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        const char *at = std::strstr(line.c_str(), "intervalTime:");
        unsigned interval = 0;
        bool timed = at != nullptr && std::sscanf(at, "intervalTime:%u", &interval) == 1 && interval >= kSlowRecordMs;
        writerRecorded = writerRecorded || (line.compare(0, writerPrefix.size(), writerPrefix) == 0 && timed);
        ++records;
        pos = end;
    }
    g.slowRecords.store(records);
    g.checks.Expect(records == 1 && writerRecorded, "dump: one slow-handling record, the writer's (%u records)",
                    records);
}

void ReportMemory(uint64_t blocksBefore) {
    std::printf("\nTracked memory after OsMsgUninit: %" PRIu64 " blocks, %" PRIu64 " bytes (%" PRIu64
                " blocks before OsMsgInit)\n",
                OSMemGetUsedBlocks(), OSMemGetUsedBytes(), blocksBefore);
    for (const auto &entry : UsedBlocksByModule()) {
        const KeptByDesign *kept = FindKept(entry.first);
        std::printf("  %-14s %2u block(s) %8" PRIu64 " bytes  %s\n", entry.first.c_str(), entry.second.blocks,
                    entry.second.bytes, kept != nullptr ? kept->why : "NOT EXPECTED");
        bool allowed =
            kept != nullptr && entry.second.blocks <= kept->blocks + kept->perSlowCall * g.slowRecords.load();
        g.checks.Expect(allowed, "memory: %u block(s) of module %s left", entry.second.blocks, entry.first.c_str());
    }
}

} // namespace media

/*
 * CPU ids and the CPU configuration file.
 *
 * Every header names a sender and a receiver CPU. Applications use virtual
 * CPU ids; between CPUs real ids travel. On this platform every id collapses
 * to 0: the local CPU is 0, every id maps to real id 0, and the CPU table has
 * no valid row.
 *
 * The configuration file sets how many CPUs take part (key "cpunum"). Its
 * contents are untrusted: the parser reads it line by line into a fixed
 * buffer and never looks outside the bytes it read.
 *
 * Thread safety: cpunum is written only while the file is parsed (once per
 * library initialisation) and read by the id lookups from any thread; both
 * sides use relaxed atomic operations. g_cpuTable is constant. Everything
 * else works on the caller's arguments only.
 */
#ifndef VYRE_MSG_CPU_CFG_H
#define VYRE_MSG_CPU_CFG_H

#include <stdint.h>

#include "vyre_os_file.h"
#include "vyre_os_msg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Rows of g_cpuTable: row i describes virtual CPU i + 1. */
#define MSG_CPU_MAX_NUM 256U
/* Size of the path buffer and of the line buffer of the file parser. */
#define MSG_CPU_CFG_BUF_LEN 512U
/* Longest accepted line, counting its line end. */
#define MSG_CPU_CFG_MAX_LINE 510U

typedef struct MsgCpuEntry {
    uint32_t reserved; /* not used by the lookups */
    uint32_t realCpuId;
    uint32_t valid; /* 1 = row in use */
} MsgCpuEntry;

/* Configured number of CPUs, 0 to 256; 0 at load. Set only by a successful
 * "cpunum" line; a later failure keeps it. */
extern OS_MSG_API uint32_t cpunum;
/* Virtual to real CPU mapping; all rows zero (none valid) on this platform. */
extern OS_MSG_API const MsgCpuEntry g_cpuTable[MSG_CPU_MAX_NUM];

/* Reads the configuration file when one is supplied. Always 0: a missing or
 * malformed file is logged and leaves cpunum as it was. */
OS_MSG_API uint32_t MsgCpuCfgInit(void);

/* Writes the configuration file's path (at most size - 1 characters) into
 * path. 0 when a path was supplied; this platform supplies none and returns 0
 * with path untouched. 0x80020001 for a NULL path or size 0. */
OS_MSG_API uint32_t MsgCpuGetCfgFile(char *path, uint32_t size);

/* Opens the file at path and applies its lines. 0 on success; 0x80020001 for
 * a NULL path; 0x8002000d when the file cannot be opened or a line fails
 * (lines before the failing one keep their effect). */
OS_MSG_API uint32_t MsgCpuParseCpuCfgFile(const char *path);

/* The line-handling steps of MsgCpuParseCpuCfgFile; each logs under its own
 * name. A line is given as len bytes at line, without the terminator the
 * reader adds; a NUL inside it counts as content. */

/* 1 when the line carries nothing to parse: it starts with '#', or holds
 * only spaces, tabs, carriage returns and line feeds (an empty line too).
 * 0 when it has content. */
OS_MSG_API uint32_t MsgCpuIsNoChar(const char *line, uint32_t len);
/* Splits a line at the colon behind its key and applies "cpunum". 0 on
 * success; 0x80020001 when the line has no key, another key, no colon
 * behind the key, or a bad value. */
OS_MSG_API uint32_t MsgCpuParseLine(const char *line, uint32_t len);
/* Reads len bytes at value as an unsigned decimal number (leading white
 * space skipped, stops at the first non-digit, no digits gives 0) and makes
 * it cpunum. 0x80020001 for a value above 256 (cpunum unchanged). */
OS_MSG_API uint32_t MsgCpuParseCpuNum(const char *value, uint32_t len);
/* Reads every line of an open file and applies it. 0 at the end of the file;
 * 0x80020001 for a NULL file, a line longer than 510 characters with its
 * line end, or a failing line. Does not close the file. */
OS_MSG_API uint32_t MsgCpuParseFile(OsFile *file);

/* The local CPU id: 0. */
OS_MSG_API uint32_t MsgGetLocalCpuID(void);
/* Stores the real id of CPU id through out (0 on this platform); returns 0.
 * 0x80020001 for a NULL out. */
OS_MSG_API uint32_t MsgCpuGetRealCpuID(uint32_t id, uint32_t *out);
/* Stores the virtual id of real CPU realId through out: the index + 1 of the
 * first valid row among the first cpunum rows whose real id matches. 0 on
 * success; 0x80020001 (out untouched, nothing logged) when cpunum is 0, no
 * row matches, or out is NULL. */
OS_MSG_API uint32_t MsgCpuGetVirtualCpuID(uint32_t realId, uint32_t *out);

#ifdef __cplusplus
}
#endif

#endif /* VYRE_MSG_CPU_CFG_H */

/*
 * The command line of one vyre-msg command: its positional words and the
 * options it accepts, wherever they stand.
 */
#ifndef VYRE_TOOL_ARGS_H
#define VYRE_TOOL_ARGS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace vyremsg {

struct Args {
    std::vector<std::string> words; // positional, after the command
    bool json = false;
    bool help = false;
    bool raw = false;
    bool hasTimeout = false;
    uint32_t timeoutMs = 0U;
    bool hasData = false;
    std::vector<uint8_t> data; // --data HEX
    std::string file;          // --file F
    std::vector<uint32_t> events;
    uint32_t count = 0U; // 0: until interrupted
    uint32_t intervalMs = 1000U;
    uint32_t windowMs = 1000U;
    uint32_t captureBytes = 64U;
};

/* Parses argv[first..argc) for a command that accepts the options named in
 * allowed (e.g. "json,timeout,data"); --help and --json are always
 * accepted. false with *error set for an unknown or malformed option. */
bool ParseArgs(int argc, char **argv, int first, const std::string &allowed, Args *args, std::string *error);

/* A number in decimal or with a 0x prefix in hex; false for anything else
 * or a value above 0xFFFFFFFF. */
bool ParseNumber(const std::string &text, uint32_t *value);

} // namespace vyremsg

#endif // VYRE_TOOL_ARGS_H

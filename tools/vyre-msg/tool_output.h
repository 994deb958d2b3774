/*
 * What vyre-msg prints: a JSON writer for --json (one value per document,
 * strings escaped, numbers exact), and the text forms of names, times,
 * durations and bytes for the tables.
 */
#ifndef VYRE_TOOL_OUTPUT_H
#define VYRE_TOOL_OUTPUT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace vyremsg {

/* Builds one JSON document. Keys and values are appended in order; the
 * writer puts the commas. */
class Json {
public:
    Json &Open();  // {
    Json &Close(); // }
    Json &OpenArray();
    Json &CloseArray();
    Json &Key(const char *key);
    Json &Str(const std::string &value);
    Json &Num(uint64_t value);
    Json &Real(double value);
    Json &Bool(bool value);
    Json &Null();
    const std::string &Text() const { return out_; }

private:
    void Comma();
    std::string out_;
    std::vector<bool> started_; // per open container: a member was written
    bool afterKey_ = false;
};

/* A 16-byte name field as a string (it may fill all 16 bytes). */
std::string NameOf(const char *field);
/* Lower-case hex of the bytes, no separators. */
std::string Hex(const uint8_t *data, size_t len);
/* Parses hex ("0a0B", optionally "0x"-prefixed, spaces and colons between
 * bytes allowed) into bytes; false for anything else. */
bool ParseHex(const std::string &text, std::vector<uint8_t> *bytes);
/* A time in nanoseconds as "850ns", "12.3us", "4.56ms", "1.20s". */
std::string Nanos(uint64_t ns);
/* A byte count as "0", "512B", "64.0K", "12.5M", "3.25G" (powers of 1024). */
std::string Bytes(uint64_t bytes);
/* A duration as "42s", "3m12s", "5h03m", "2d04h". */
std::string Duration(uint64_t ns);
/* Nanoseconds since 1970 as local "YYYY-MM-DD hh:mm:ss" (withDate) or
 * "hh:mm:ss.uuuuuu". */
std::string WallTime(uint64_t realNs, bool withDate);
/* A hex dump, 16 bytes a line with their printable characters. */
std::string HexDump(const uint8_t *data, size_t len);
/* Writes text to standard output; false once standard output is gone. */
bool Print(const std::string &text);

} // namespace vyremsg

#endif // VYRE_TOOL_OUTPUT_H

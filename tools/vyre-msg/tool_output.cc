/*
 * The JSON writer and the text forms of vyre-msg's output.
 */
#include "tool_output.h"

#include <stdio.h>
#include <time.h>

#include <cctype>
#include <cinttypes>

namespace vyremsg {

void Json::Comma() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!started_.empty()) {
        if (started_.back()) {
            out_ += ',';
        }
        started_.back() = true;
    }
}

Json &Json::Open() {
    Comma();
    out_ += '{';
    started_.push_back(false);
    return *this;
}

Json &Json::Close() {
    out_ += '}';
    started_.pop_back();
    return *this;
}

Json &Json::OpenArray() {
    Comma();
    out_ += '[';
    started_.push_back(false);
    return *this;
}

Json &Json::CloseArray() {
    out_ += ']';
    started_.pop_back();
    return *this;
}

Json &Json::Key(const char *key) {
    Str(key);
    out_ += ':';
    afterKey_ = true;
    return *this;
}

Json &Json::Str(const std::string &value) {
    Comma();
    out_ += '"';
    for (unsigned char c : value) {
        switch (c) {
        case '"':
            out_ += "\\\"";
            break;
        case '\\':
            out_ += "\\\\";
            break;
        case '\n':
            out_ += "\\n";
            break;
        default:
            if (c < 0x20U || c >= 0x7fU) {
                char escaped[8];
                (void)snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                out_ += escaped;
            } else {
                out_ += static_cast<char>(c);
            }
        }
    }
    out_ += '"';
    return *this;
}

Json &Json::Num(uint64_t value) {
    Comma();
    out_ += std::to_string(value);
    return *this;
}

Json &Json::Real(double value) {
    Comma();
    char text[32];
    (void)snprintf(text, sizeof(text), "%.3f", value);
    out_ += text;
    return *this;
}

Json &Json::Bool(bool value) {
    Comma();
    out_ += value ? "true" : "false";
    return *this;
}

Json &Json::Null() {
    Comma();
    out_ += "null";
    return *this;
}

std::string NameOf(const char *field) {
    size_t len = 0U;
    while (len < 16U && field[len] != '\0') {
        ++len;
    }
    return std::string(field, len);
}

std::string Hex(const uint8_t *data, size_t len) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(len * 2U);
    for (size_t i = 0U; i < len; ++i) {
        out += kDigits[data[i] >> 4U];
        out += kDigits[data[i] & 0x0fU];
    }
    return out;
}

bool ParseHex(const std::string &text, std::vector<uint8_t> *bytes) {
    size_t i = text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0 ? 2U : 0U;
    bytes->clear();
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == ':') {
            ++i;
            continue;
        }
        if (i + 1U >= text.size() || !isxdigit(static_cast<unsigned char>(text[i])) ||
            !isxdigit(static_cast<unsigned char>(text[i + 1U]))) {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2U), nullptr, 16)));
        i += 2U;
    }
    return true;
}

std::string Nanos(uint64_t ns) {
    char text[32];
    if (ns < 1000U) {
        (void)snprintf(text, sizeof(text), "%" PRIu64 "ns", ns);
    } else if (ns < 1000000U) {
        (void)snprintf(text, sizeof(text), "%.1fus", static_cast<double>(ns) / 1e3);
    } else if (ns < 1000000000U) {
        (void)snprintf(text, sizeof(text), "%.2fms", static_cast<double>(ns) / 1e6);
    } else {
        (void)snprintf(text, sizeof(text), "%.2fs", static_cast<double>(ns) / 1e9);
    }
    return text;
}

std::string Bytes(uint64_t bytes) {
    if (bytes < 1024U) {
        return bytes == 0U ? "0" : std::to_string(bytes) + "B";
    }
    // Kibibytes and mebibytes to one decimal, gibibytes (the last unit) to two.
    static const char kUnits[] = {'K', 'M', 'G'};
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0U;
    while (value >= 1024.0 && unit + 1U < sizeof(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    (void)snprintf(text, sizeof(text), "%.*f%c", unit + 1U < sizeof(kUnits) ? 1 : 2, value, kUnits[unit]);
    return text;
}

std::string Duration(uint64_t ns) {
    uint64_t s = ns / 1000000000U;
    char text[32];
    if (s < 60U) {
        (void)snprintf(text, sizeof(text), "%" PRIu64 "s", s);
    } else if (s < 3600U) {
        (void)snprintf(text, sizeof(text), "%" PRIu64 "m%02" PRIu64 "s", s / 60U, s % 60U);
    } else if (s < 86400U) {
        (void)snprintf(text, sizeof(text), "%" PRIu64 "h%02" PRIu64 "m", s / 3600U, s / 60U % 60U);
    } else {
        (void)snprintf(text, sizeof(text), "%" PRIu64 "d%02" PRIu64 "h", s / 86400U, s / 3600U % 24U);
    }
    return text;
}

std::string WallTime(uint64_t realNs, bool withDate) {
    time_t seconds = static_cast<time_t>(realNs / 1000000000U);
    struct tm local;
    if (localtime_r(&seconds, &local) == nullptr) {
        return "-";
    }
    char text[64];
    if (withDate) {
        (void)strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    } else {
        char hms[16];
        (void)strftime(hms, sizeof(hms), "%H:%M:%S", &local);
        (void)snprintf(text, sizeof(text), "%s.%06u", hms, static_cast<unsigned>(realNs % 1000000000U / 1000U));
    }
    return text;
}

std::string HexDump(const uint8_t *data, size_t len) {
    std::string out;
    for (size_t line = 0U; line < len; line += 16U) {
        char text[96];
        int n = snprintf(text, sizeof(text), "  %06zx ", line);
        out.append(text, static_cast<size_t>(n));
        std::string chars;
        for (size_t i = line; i < line + 16U; ++i) {
            if (i < len) {
                n = snprintf(text, sizeof(text), " %02x", data[i]);
                out.append(text, static_cast<size_t>(n));
                chars += isprint(data[i]) ? static_cast<char>(data[i]) : '.';
            } else {
                out += "   ";
            }
        }
        out += "  " + chars + "\n";
    }
    return out;
}

bool Print(const std::string &text) {
    return fwrite(text.data(), 1U, text.size(), stdout) == text.size() && fflush(stdout) == 0;
}

} // namespace vyremsg

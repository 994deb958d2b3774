/*
 * Option parsing for vyre-msg's commands.
 */
#include "tool_args.h"

#include <errno.h>
#include <stdlib.h>

#include "tool_output.h"

namespace vyremsg {

namespace {

bool Allowed(const std::string &allowed, const std::string &name) {
    size_t pos = 0U;
    while (pos <= allowed.size()) {
        size_t end = allowed.find(',', pos);
        if (end == std::string::npos) {
            end = allowed.size();
        }
        if (allowed.compare(pos, end - pos, name) == 0) {
            return true;
        }
        pos = end + 1U;
    }
    return false;
}

/* Applies an option that takes a value. */
bool TakeValue(const std::string &name, const std::string &value, Args *args, std::string *error) {
    uint32_t number = 0U;
    const bool numeric = ParseNumber(value, &number);
    if (name == "data") {
        args->hasData = ParseHex(value, &args->data);
        if (!args->hasData) {
            *error = "--data takes hex bytes, such as 0a0b0c";
        }
        return args->hasData;
    }
    if (name == "file") {
        args->file = value;
        return true;
    }
    if (!numeric) {
        *error = "--" + name + " takes a number, not \"" + value + "\"";
        return false;
    }
    if (name == "timeout") {
        args->hasTimeout = true;
        args->timeoutMs = number;
    } else if (name == "event") {
        args->events.push_back(number);
    } else if (name == "count") {
        args->count = number;
    } else if (name == "interval" || name == "window") {
        if (number == 0U) {
            *error = "--" + name + " must be above 0";
            return false;
        }
        (name == "interval" ? args->intervalMs : args->windowMs) = number;
    } else if (name == "capture") {
        args->captureBytes = number;
    }
    return true;
}

} // namespace

bool ParseNumber(const std::string &text, uint32_t *value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return false;
    }
    const bool hex = text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0;
    errno = 0;
    char *end = nullptr;
    unsigned long long parsed = strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > 0xFFFFFFFFULL || (hex && text.size() == 2U)) {
        return false;
    }
    *value = static_cast<uint32_t>(parsed);
    return true;
}

bool ParseArgs(int argc, char **argv, int first, const std::string &allowed, Args *args, std::string *error) {
    for (int i = first; i < argc; ++i) {
        std::string word = argv[i];
        if (word.compare(0, 2, "--") != 0 || word.size() == 2U) {
            args->words.push_back(word);
            continue;
        }
        std::string name = word.substr(2);
        std::string value;
        size_t eq = name.find('=');
        const bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1U);
            name.resize(eq);
        }
        if (name == "help" || name == "json" || (name == "raw" && Allowed(allowed, name))) {
            (name == "help" ? args->help : name == "json" ? args->json : args->raw) = true;
            continue;
        }
        if (!Allowed(allowed, name)) {
            *error = "unknown option --" + name;
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                *error = "--" + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!TakeValue(name, value, args, error)) {
            return false;
        }
    }
    return true;
}

} // namespace vyremsg

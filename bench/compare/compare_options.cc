// Command-line options of the comparison programs (see compare_options.h).
#include "compare_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace compare {

namespace {

bool ParsePlacements(const char *list, std::vector<Placement> &out) {
    out.clear();
    std::string text = list;
    for (size_t start = 0;;) {
        size_t comma = text.find(',', start);
        Placement placement;
        if (!ParsePlacement(text.substr(start, comma - start), placement)) {
            return false;
        }
        out.push_back(placement);
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

} // namespace

bool ParseOptions(int argc, char **argv, int defaultRounds, Options &out) {
    out = Options{defaultRounds, 1.0, nullptr, nullptr, {Placement::kApart, Placement::kOneCore}};
    for (int i = 1; i < argc; ++i) {
        char *end = nullptr;
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            long rounds = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || rounds < 1 || rounds > 100) {
                break;
            }
            out.rounds = static_cast<int>(rounds);
        } else if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc) {
            double scale = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(scale > 0.0) || scale > 100.0) {
                break;
            }
            out.scale = scale;
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            out.only = argv[++i];
        } else if (std::strcmp(argv[i], "--figure") == 0 && i + 1 < argc) {
            out.figures = argv[++i];
        } else if (std::strcmp(argv[i], "--placement") == 0 && i + 1 < argc) {
            if (!ParsePlacements(argv[++i], out.placements)) {
                break;
            }
        } else {
            break;
        }
        if (i == argc - 1) {
            return true;
        }
    }
    if (argc == 1) {
        return true;
    }
    std::fprintf(stderr,
                 "usage: %s [--rounds N (1-100)] [--scale X (0-100, multiplies message counts)] [--only TEXT[,TEXT...] "
                 "(contenders whose name contains one of them)] [--figure TEXT[,TEXT...] (figures whose title "
                 "contains one of them)] [--placement apart|one-core|free[,...] (default apart,one-core)]\n",
                 argv[0]);
    return false;
}

uint64_t Scaled(const Options &options, uint64_t count, uint64_t minimum) {
    double scaled = static_cast<double>(count) * options.scale;
    return scaled < static_cast<double>(minimum) ? minimum : static_cast<uint64_t>(scaled);
}

namespace {

// Whether name contains one of the comma-separated parts of list (any name
// when there is no list).
bool Matches(const char *list, const char *name) {
    if (list == nullptr) {
        return true;
    }
    for (const char *part = list;;) {
        const char *comma = std::strchr(part, ',');
        const size_t len = comma != nullptr ? static_cast<size_t>(comma - part) : std::strlen(part);
        for (const char *at = name; len != 0U && *at != '\0'; ++at) {
            if (std::strncmp(at, part, len) == 0) {
                return true;
            }
        }
        if (comma == nullptr) {
            return false;
        }
        part = comma + 1;
    }
}

} // namespace

bool Selected(const Options &options, const char *name) {
    return Matches(options.only, name);
}

bool FigureSelected(const Options &options, const char *title) {
    return Matches(options.figures, title);
}

} // namespace compare

/*
 * The process's open descriptors as the kernel lists them, for tests that
 * check that everything opened was closed again, and its memory mappings,
 * for those that check what was mapped. Any thread.
 */
#ifndef VYRE_TEST_DESCRIPTORS_H
#define VYRE_TEST_DESCRIPTORS_H

#include <dirent.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

/* Open descriptors, not counting the one that lists them. */
inline size_t OpenFds() {
    size_t n = 0U;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (struct dirent *entry = readdir(d)) {
            n += entry->d_name[0] != '.' ? 1U : 0U;
        }
        (void)closedir(d);
    }
    return n - 1U;
}

/* Mappings of this process's memory whose file name contains text. */
inline size_t MappingsOf(const char *text) {
    size_t n = 0U;
    if (FILE *maps = std::fopen("/proc/self/maps", "r")) {
        char line[512];
        while (std::fgets(line, sizeof(line), maps) != nullptr) {
            n += std::strstr(line, text) != nullptr ? 1U : 0U;
        }
        std::fclose(maps);
    }
    return n;
}

#endif // VYRE_TEST_DESCRIPTORS_H

/*
 * The process's open descriptors as the kernel lists them, for tests that
 * check that everything opened was closed again. Any thread.
 */
#ifndef VYRE_TEST_DESCRIPTORS_H
#define VYRE_TEST_DESCRIPTORS_H

#include <dirent.h>

#include <cstddef>

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

#endif // VYRE_TEST_DESCRIPTORS_H

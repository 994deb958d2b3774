/*
 * What a dump function writes to a file descriptor, read back as a reader of
 * that descriptor sees it: the function writes into an anonymous in-memory
 * file, which is then read from its start. Each call uses a file of its own.
 */
#ifndef VYRE_TEST_WRITTEN_TEXT_H
#define VYRE_TEST_WRITTEN_TEXT_H

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>

template <typename Write> std::string WrittenText(Write write) {
    int fd = memfd_create("written", 0);
    write(fd);
    std::string text(static_cast<size_t>(std::max<off_t>(0, lseek(fd, 0, SEEK_END))), '\0');
    text.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(fd, &text[0], text.size(), 0))));
    (void)close(fd);
    return text;
}

#endif

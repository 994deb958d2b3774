/*
 * What tests ask about threads: the task name a thread that is no task sends
 * under, how many threads the process has as the kernel lists them (with
 * their states, for failure messages), and a bounded wait for state no
 * callback can signal, and threads started and joined together. All of it
 * may be called from any thread.
 */
#ifndef VYRE_TEST_THREADS_H
#define VYRE_TEST_THREADS_H

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

// "T" and the kernel thread id: the task name of a thread that is no task.
inline std::string ThreadTaskName() {
    return "T" + std::to_string(static_cast<long>(syscall(SYS_gettid)));
}

// Calls visit(name) for each thread of this process in /proc/self/task.
template <typename Visit> void ForEachThread(Visit visit) {
    if (DIR *dir = opendir("/proc/self/task")) {
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                visit(entry->d_name);
            }
        }
        closedir(dir);
    }
}

inline size_t ThreadCount() {
    size_t n = 0U;
    ForEachThread([&n](const char *) { ++n; });
    return n;
}

// The kernel's line for each thread (name and state), for failure messages.
inline std::string ThreadList() {
    std::string list;
    ForEachThread([&list](const char *tid) {
        char line[256] = {0};
        if (FILE *f = std::fopen(("/proc/self/task/" + std::string(tid) + "/stat").c_str(), "r")) {
            (void)!std::fgets(line, sizeof(line), f);
            std::fclose(f);
        }
        list += std::string("\n  ") + line;
    });
    return list;
}

// Yields until pred holds; false when it still does not after limit.
template <typename Pred> bool WaitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// Joins each of threads.
inline void JoinAll(std::vector<std::thread> &threads) {
    for (std::thread &thread : threads) {
        thread.join();
    }
}

// Runs body(i) for i = 0 .. n - 1, each on a thread of its own, and returns
// once every one has ended.
template <typename Body> void RunOnThreads(uint32_t n, Body body) {
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < n; ++i) {
        threads.emplace_back(body, i);
    }
    JoinAll(threads);
}

#endif // VYRE_TEST_THREADS_H

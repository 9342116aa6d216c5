#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace vt::bench {

[[noreturn]] inline void fail(const char* bench, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", bench, message.c_str());
    std::exit(1);
}

// One run of a program: its wall time, the CPU time it used and its peak resident memory.
struct ProcessRun {
    double milliseconds = 0;
    double cpuMilliseconds = 0;
    double megabytes = 0;
};

// Runs `argv` (null-terminated) with its standard output going to `outputFd` and this
// process's environment; a failed run ends the benchmark.
inline ProcessRun runProcess(const char* bench, const std::vector<const char*>& argv, int outputFd) {
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child < 0) fail(bench, "fork failed");
    if (child == 0) {
        if (::dup2(outputFd, STDOUT_FILENO) < 0) _exit(126);
        execv(argv[0], const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) < 0) fail(bench, "wait4 failed");
    double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(bench, std::string(argv[0]) + " failed");
    auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
    return {elapsed, ms(usage.ru_utime) + ms(usage.ru_stime), static_cast<double>(usage.ru_maxrss) / 1024.0};
}

// The benchmark's positional argument at `index`: a positive number, else the default.
inline int argument(int argc, char** argv, int index, int fallback) {
    if (argc <= index) return fallback;
    int value = std::atoi(argv[index]);
    return value > 0 ? value : fallback;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace vt::bench

#pragma once

#include <chrono>
#include <cstdlib>

namespace vt::bench {

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

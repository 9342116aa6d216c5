#include "core/ResourceSampler.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include <sys/resource.h>
#include <unistd.h>

#include "base/Localization.hpp"

namespace vt {

namespace {

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double residentMegabytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    if (statm >> pages >> resident) return static_cast<double>(resident) * sysconf(_SC_PAGESIZE) / (1024.0 * 1024.0);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // peak, in kilobytes on Linux
}

}  // namespace

ResourceSampler::ResourceSampler() : lastCpuSeconds_(processCpuSeconds()), lastWallSeconds_(wallSeconds()) {}

void ResourceSampler::takeSample() {
    double cpu = processCpuSeconds(), wall = wallSeconds();
    double elapsed = wall - lastWallSeconds_;
    double percent = elapsed > 0 ? 100.0 * (cpu - lastCpuSeconds_) / elapsed : 0;
    lastCpuSeconds_ = cpu;
    lastWallSeconds_ = wall;
    samples_.push_back({percent, residentMegabytes()});
}

std::string ResourceSampler::finish() {
    takeSample();
    double cpuSum = 0, cpuPeak = 0, ramSum = 0, ramPeak = 0;
    for (const auto& sample : samples_) {
        cpuSum += sample.cpuPercent;
        ramSum += sample.residentMegabytes;
        cpuPeak = std::max(cpuPeak, sample.cpuPercent);
        ramPeak = std::max(ramPeak, sample.residentMegabytes);
    }
    double count = static_cast<double>(std::max<std::size_t>(samples_.size(), 1));
    auto decimal = [](double value) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.1f", value);
        return std::string(text);
    };
    return localized("log.scan_resources", {decimal(cpuSum / count), decimal(cpuPeak), decimal(ramSum / count),
                                            decimal(ramPeak), std::to_string(samples_.size())});
}

}  // namespace vt

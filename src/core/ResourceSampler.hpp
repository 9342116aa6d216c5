#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vt {

// Samples this process's CPU use and resident memory while it lives (a scan), for the
// "Scan resources" log line. The GPU is not sampled.
class ResourceSampler {
public:
    ResourceSampler();
    ~ResourceSampler();
    ResourceSampler(const ResourceSampler&) = delete;
    ResourceSampler& operator=(const ResourceSampler&) = delete;

    // Stops sampling and returns the log line.
    std::string finish();

private:
    struct Sample {
        double cpuPercent;
        double residentMegabytes;
    };
    void takeSample();

    std::mutex mutex_;
    std::vector<Sample> samples_;
    double lastCpuSeconds_ = 0;
    double lastWallSeconds_ = 0;
    std::jthread thread_;
};

}  // namespace vt

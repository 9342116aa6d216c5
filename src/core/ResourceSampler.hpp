#pragma once

#include <string>
#include <vector>

namespace vt {

// Samples this process's CPU use and resident memory during a scan, for the "Scan resources"
// log line. The thread that waits for the scan's sources takes the samples as it waits (a
// quick scan is not worth a thread of its own). The GPU is not sampled.
class ResourceSampler {
public:
    ResourceSampler();

    // One sample: the CPU share since the last one, and the memory now.
    void takeSample();

    // Takes the last sample and returns the log line.
    std::string finish();

private:
    struct Sample {
        double cpuPercent;
        double residentMegabytes;
    };

    std::vector<Sample> samples_;
    double lastCpuSeconds_ = 0;
    double lastWallSeconds_ = 0;
};

}  // namespace vt

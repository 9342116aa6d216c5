// The scan's critical path: 5 core and 10 extended sources whose listings run real `sleep`
// processes of known, different lengths through the runner, then an update-check phase of
// known length. With each phase run concurrently, the ideal is the longest core listing
// plus the longest extended listing plus the update checks. The update checks of all 15
// sources run together, under the runner's bound of 12 processes: two waves of 0.3 s.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/RefreshCoordinator.hpp"
#include "core/ScanProgressModel.hpp"
#include "system/CommandRunner.hpp"

namespace {

constexpr double kUpdateCheckSeconds = 0.3;

vt::ScanOutcome sleepFor(double seconds, std::stop_token stop) {
    vt::CommandRequest request;
    request.command = "/bin/sleep";
    request.arguments = {std::to_string(seconds)};
    request.timeout = 30;
    vt::CommandRunner::shared().execute(request, stop);
    return {};
}

}  // namespace

int main() {
    std::vector<vt::ScannerPipeline> pipelines;
    const std::vector<double> core = {0.2, 0.5, 0.8, 1.0, 0.4};
    const std::vector<double> extended = {0.3, 0.6, 0.9, 1.2, 1.5, 2.0, 0.25, 0.7, 1.1, 1.8};
    auto add = [&](const std::string& id, bool isCore, double seconds) {
        vt::ScannerPipeline pipeline;
        pipeline.id = pipeline.source = pipeline.logTag = id;
        pipeline.isCore = isCore;
        pipeline.run = [seconds](std::stop_token stop) { return sleepFor(seconds, stop); };
        pipeline.checkUpdates = [](std::stop_token stop) { return sleepFor(kUpdateCheckSeconds, stop); };
        pipelines.push_back(pipeline);
    };
    for (std::size_t i = 0; i < core.size(); ++i) add("core-" + std::to_string(i), true, core[i]);
    for (std::size_t i = 0; i < extended.size(); ++i) add("extended-" + std::to_string(i), false, extended[i]);

    vt::ScanProgressModel progress;
    vt::RefreshCoordinator refresh(progress, [&](std::stop_token) { return pipelines; });
    constexpr double kProcessBound = 12;
    const double updateWaves = std::ceil(static_cast<double>(pipelines.size()) / kProcessBound);
    const double ideal = 1.0 + 2.0 + updateWaves * kUpdateCheckSeconds;
    std::vector<double> ratios;
    for (int run = 0; run < 3; ++run) {
        auto start = std::chrono::steady_clock::now();
        refresh.run(true, {});
        double measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("run %d: %.3f s (ideal %.3f s)\n", run + 1, measured, ideal);
        ratios.push_back(measured / ideal);
    }
    std::sort(ratios.begin(), ratios.end());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %.1f MB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    std::printf("scan critical-path ratio measured/ideal: %.2f\n", ratios[1]);
    return 0;
}

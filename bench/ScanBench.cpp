// The scan's critical path with every source's chain (its listing, then its update check)
// started together. Each source's listing and check run real `sleep` processes of known,
// different lengths through the runner, under its bound of 12 processes at once.
//
// The ideal is a time no scheduler could beat for the same work: the larger of two lower
// bounds,
//  - the longest chain: no source can finish before its own listing plus its own check;
//  - the process bound: all the sleeping (every listing and every check) divided by 12,
//    the most processes that may run at once.
// The second counts only where it really binds, that is when the sources' work cannot fit
// in 12 processes within the longest chain (the 40-source configuration); with 15 sources
// three listings must wait at the start, but the shortest three can wait without delaying
// anyone, so the longest chain stays the ideal. Spawning the processes and the threads is
// our cost and is not in the ideal.
//
// Usage: ScanBench SOURCES (15 or 40). Prints each run, the longest time a source's check
// waited for a process slot, the peak resident memory, and last the median ratio
// measured/ideal of 3 runs.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "core/RefreshCoordinator.hpp"
#include "core/ScanProgressModel.hpp"
#include "system/CommandRunner.hpp"
#include "system/ConcurrencyGuard.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Source {
    double listing;
    double check;
};

// The 15 sources of earlier versions of this benchmark (5 core, then 10 extended), then 25
// more of the same spread for the size the product is heading to.
const std::vector<double> kListings = {
    0.2, 0.5, 0.8, 1.0, 0.4,                                 // core
    0.3, 0.6, 0.9, 1.2, 1.5, 2.0, 0.25, 0.7, 1.1, 1.8,       // extended
    0.15, 0.4, 0.65, 0.9, 1.3, 0.35, 0.55, 0.8, 1.0, 0.2,    //
    0.45, 0.6, 1.4, 0.3, 0.75, 0.5, 0.25, 1.6, 0.85, 0.4,    //
    0.95, 0.3, 0.7, 1.2, 0.5,                                //
};
constexpr double kCheckSeconds = 0.3;
constexpr std::size_t kCoreSources = 5;

void sleepFor(double seconds, std::stop_token stop) {
    vt::CommandRequest request;
    request.command = "/bin/sleep";
    request.arguments = {std::to_string(seconds)};
    request.timeout = 30;
    vt::CommandRunner::shared().execute(request, stop);
}

double idealSeconds(const std::vector<Source>& sources) {
    double longestChain = 0, work = 0;
    for (const Source& source : sources) {
        longestChain = std::max(longestChain, source.listing + source.check);
        work += source.listing + source.check;
    }
    return std::max(longestChain, work / vt::ConcurrencyGuard::kMaxConcurrentJobs);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 15;
    if (count == 0 || count > kListings.size()) {
        std::fprintf(stderr, "usage: ScanBench SOURCES (1 to %zu)\n", kListings.size());
        return 2;
    }
    std::vector<Source> sources;
    for (std::size_t i = 0; i < count; ++i) sources.push_back({kListings[i], kCheckSeconds});

    std::mutex mutex;
    double longestCheckWait = 0;
    std::vector<vt::ScannerPipeline> pipelines;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        vt::ScannerPipeline pipeline;
        pipeline.id = pipeline.source = pipeline.logTag = (i < kCoreSources ? "core-" : "extended-") + std::to_string(i);
        pipeline.isCore = i < kCoreSources;
        const Source source = sources[i];
        pipeline.run = [source](std::stop_token stop) {
            sleepFor(source.listing, stop);
            return vt::ScanOutcome{};
        };
        // A check's wait for a slot is its time beyond its own sleep.
        pipeline.checkUpdates = [source, &mutex, &longestCheckWait](std::stop_token stop) {
            auto start = SteadyClock::now();
            sleepFor(source.check, stop);
            double waited = std::chrono::duration<double>(SteadyClock::now() - start).count() - source.check;
            std::scoped_lock lock(mutex);
            longestCheckWait = std::max(longestCheckWait, waited);
            return vt::ScanOutcome{};
        };
        pipelines.push_back(pipeline);
    }

    vt::ScanProgressModel progress;
    vt::RefreshCoordinator refresh(progress, [&](std::stop_token) { return pipelines; });
    const double ideal = idealSeconds(sources);
    std::vector<double> ratios;
    for (int run = 0; run < 3; ++run) {
        auto start = SteadyClock::now();
        refresh.run(true, {});
        double measured = std::chrono::duration<double>(SteadyClock::now() - start).count();
        std::printf("%zu sources, run %d: %.3f s (ideal %.3f s)\n", count, run + 1, measured, ideal);
        ratios.push_back(measured / ideal);
    }
    std::sort(ratios.begin(), ratios.end());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%zu sources: longest wait of a check for a process slot %.3f s\n", count, longestCheckWait);
    std::printf("%zu sources: peak resident memory %.1f MB\n", count, static_cast<double>(usage.ru_maxrss) / 1024.0);
    std::printf("%zu sources: scan ratio measured/ideal %.2f\n", count, ratios[1]);
    return 0;
}

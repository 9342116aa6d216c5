// Yarn's latest-version lookups: N packages against the loopback registry, each answered
// after an injected latency, through YarnManager (at most 16 requests at a time, nothing
// cached). Compared with the ideal ceil(N / 16) * latency; the last line is the ratio of the
// median of three runs.
//
//   YarnLookupsBench [packages=200] [latency-ms=50]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "managers/javascript/YarnManager.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"
#include "system/SystemNetworkClient.hpp"

namespace {

using vt::bench::argument;
using vt::bench::secondsSince;

using Clock = std::chrono::steady_clock;

}  // namespace

int main(int argc, char** argv) {
    const int packages = argument(argc, argv, 1, 200);
    const int latencyMs = argument(argc, argv, 2, 50);
    const auto inFlight = static_cast<int>(vt::YarnManager::kMaxConcurrentLookups);

    vt::testing::LoopbackServer server;
    vt::testing::LoopbackRoute route;
    route.body = R"({"name":"package","version":"1.2.3"})";
    route.latency = std::chrono::milliseconds(latencyMs);
    std::vector<std::string> names;
    for (int i = 0; i < packages; ++i) {
        names.push_back("package-" + std::to_string(i));
        server.setRoute("/" + names.back() + "/latest", route);
    }

    vt::testing::FakeCommandRunner runner;
    vt::testing::RecordingFileSystem files;
    vt::SystemNetworkClient network;
    std::vector<double> runs;
    std::size_t found = 0;
    for (int run = 0; run < 3; ++run) {
        vt::testing::TempDir cache("vt-yarn-bench");  // a cold cache each time
        vt::YarnManager manager(
            runner, files,
            vt::YarnManager::Options{
                .network = &network, .cacheFile = cache.file("yarn_cache.json"), .registry = server.origin()});
        const auto start = Clock::now();
        found = manager.latestVersions(names, {}).size();
        runs.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(runs.begin(), runs.end());
    const double measured = runs[1];
    const double ideal = static_cast<double>((packages + inFlight - 1) / inFlight) * (latencyMs / 1000.0);
    std::printf("yarn lookups: %d packages, %d ms latency, %d in flight, %zu versions found\n", packages, latencyMs,
                inFlight, found);
    std::printf("runs %.3f / %.3f / %.3f s (median %.3f s), ideal %.3f s\n", runs[0], runs[1], runs[2], measured,
                ideal);
    std::printf("yarn lookups ratio measured/ideal: %.2f\n", measured / ideal);
    return found == static_cast<std::size_t>(packages) ? 0 : 1;
}

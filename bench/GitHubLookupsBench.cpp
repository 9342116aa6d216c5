// GitHub release lookups of the application checks: N GitHub-published applications against
// a loopback API answering after an injected latency, through the update-check engine at
// its starting cap (nothing cached). Compared with the ideal ceil(N / cap) * latency; the
// requests are counted (one per application). The last line is the ratio of the median of
// three runs.
//
//   GitHubLookupsBench [apps=100] [latency-ms=80]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/ApplicationUpdateChecks.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/SystemNetworkClient.hpp"

namespace {

using vt::bench::argument;
using vt::bench::secondsSince;

using Clock = std::chrono::steady_clock;

}  // namespace

int main(int argc, char** argv) {
    const int count = argument(argc, argv, 1, 100);
    const int latencyMs = argument(argc, argv, 2, 80);

    vt::testing::LoopbackServer server;
    vt::testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_GITHUB_API", server.origin().c_str());
    vt::testing::TempDir bundles("vt-github-bench");
    std::map<std::string, vt::GitHubAppEntry, std::less<>> table;
    std::vector<vt::Application> applications;
    vt::testing::LoopbackRoute route;
    route.body = R"({"tag_name":"v2.0.0","html_url":"https://example.test","assets":[)"
                 R"({"name":"App-2.0.0-universal.dmg","browser_download_url":"https://downloads.test/a.dmg"}]})";
    route.latency = std::chrono::milliseconds(latencyMs);
    for (int i = 0; i < count; ++i) {
        const std::string repo = std::string("app").append(std::to_string(i));
        const std::string id = "bench." + repo;
        table[id] = {{"bench", repo}, vt::GitHubAppCategory::Other};
        server.setRoute("/repos/bench/" + repo + "/releases/latest", route);
        vt::Application application;
        application.id = application.bundlePath = bundles.makeFolder(repo + ".app");
        application.name = repo;
        application.bundleIdentifier = id;
        application.version = "1.0.0";
        applications.push_back(std::move(application));
    }

    vt::SystemNetworkClient network;
    std::vector<double> runs;
    long long outdated = 0;
    int cap = 0;
    const std::size_t before = server.requests().size();
    for (int run = 0; run < 3; ++run) {
        vt::testing::TempDir state("vt-github-bench-state");  // a cold cache each time
        vt::UpdateRepository repository(state.path());
        vt::UpdateCheckOptions options;
        options.stateFile = state.file("cap.json");
        vt::UpdateCheckCoordinator coordinator(repository, options);
        cap = coordinator.currentMaxConcurrent();
        vt::GitHubReleasesManager::Options gitHub;
        gitHub.network = &network;
        gitHub.table = &table;
        vt::ApplicationUpdateCheckRequest request;
        request.applications = applications;
        request.check = vt::ApplicationManager::sourceChecks({std::make_shared<vt::GitHubReleasesManager>(gitHub)});
        const auto start = Clock::now();
        vt::ApplicationUpdateCheckResult result = vt::checkApplicationsForUpdates(coordinator, std::move(request));
        runs.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        outdated = result.outdatedCount;
    }
    const std::size_t requests = (server.requests().size() - before) / 3;
    std::sort(runs.begin(), runs.end());
    const double ideal = static_cast<double>((count + cap - 1) / cap) * latencyMs / 1000.0;
    std::printf("github-lookups: %d apps, %d ms latency, cap %d: %.3f s (median of 3; runs %.3f %.3f %.3f)\n", count,
                latencyMs, cap, runs[1], runs[0], runs[1], runs[2]);
    std::printf("github-lookups: %zu requests per run for %d uncached apps; %lld outdated found\n", requests, count,
                outdated);
    std::printf("github-lookups ideal ceil(%d/%d) x %.3f s = %.3f s\n", count, cap, latencyMs / 1000.0, ideal);
    std::printf("github-lookups ratio measured/ideal: %.2f\n", runs[1] / ideal);
    return outdated == count && requests == static_cast<std::size_t>(count) ? 0 : 1;
}

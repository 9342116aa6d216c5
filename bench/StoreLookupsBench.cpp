// App Store lookups by item identifier: N identifiers, half of them fresh in the cache,
// against the loopback lookup service answering after an injected latency, through
// DirectMacAppStoreChecker (one request per uncached identifier, a batch of them at a time).
// Compared with the ideal ceil(uncached / batch) * latency; the request count must equal the
// uncached count. The last line is the ratio of the median of three runs.
//
//   StoreLookupsBench [identifiers=300] [latency-ms=80]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "base/Json.hpp"
#include "sources/appstore/DirectMacAppStoreChecker.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/SystemNetworkClient.hpp"

namespace {

using vt::bench::argument;
using vt::bench::secondsSince;

using SteadyClock = std::chrono::steady_clock;

}  // namespace

int main(int argc, char** argv) {
    const int count = argument(argc, argv, 1, 300);
    const int latencyMs = argument(argc, argv, 2, 80);
    const int uncached = count - count / 2;
    const auto batch = static_cast<int>(vt::DirectMacAppStoreChecker::kBatchSize);

    vt::testing::LoopbackServer server;
    vt::testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_ITUNES", server.origin().c_str());
    server.setHandler("/lookup", [latencyMs](const vt::testing::LoopbackRequest& request) {
        std::size_t at = request.target.find("id=");
        std::string id = request.target.substr(at + 3, request.target.find('&', at) - at - 3);
        vt::testing::LoopbackRoute route;
        route.latency = std::chrono::milliseconds(latencyMs);
        route.body = R"({"resultCount":1,"results":[{"trackId":)" + id +
                     R"(,"bundleId":"com.example.app)" + id +
                     R"(","trackName":"App","version":"2.0","kind":"mac-software"}]})";
        return route;
    });

    std::vector<vt::DirectMacAppStoreChecker::Item> items;
    vt::Json cached = vt::Json::object();
    for (int i = 0; i < count; ++i) {
        std::string id = std::to_string(100000000 + i);
        items.push_back({id, "1.0", false});
        if (i % 2 == 1) cached[id + "-mac"] = {{"version", "2.0"}, {"timestamp", vt::toReferenceSeconds(vt::Clock::shared().now())}};
    }

    vt::SystemNetworkClient network;
    std::vector<double> runs;
    std::size_t found = 0, requests = 0;
    for (int run = 0; run < 3; ++run) {
        vt::testing::TempDir folder("vt-store-bench");
        folder.write("mas_cache.json", vt::dumpJson(cached));
        vt::DirectMacAppStoreChecker checker(network, {.cachePath = folder.file("mas_cache.json"), .countryCode = "us"});
        const std::size_t before = server.requestCount("/lookup");
        const auto start = SteadyClock::now();
        auto results = checker.latestVersions(items);
        runs.push_back(std::chrono::duration<double>(SteadyClock::now() - start).count());
        requests = server.requestCount("/lookup") - before;
        found = static_cast<std::size_t>(std::count_if(results.begin(), results.end(),
                                                       [](const auto& entry) { return entry.second.version.has_value(); }));
    }
    std::sort(runs.begin(), runs.end());
    const double measured = runs[1];
    const double ideal = static_cast<double>((uncached + batch - 1) / batch) * (latencyMs / 1000.0);
    std::printf("appstore lookups: %d identifiers (%d cached), %d ms latency, batches of %d, %zu versions found\n",
                count, count - uncached, latencyMs, batch, found);
    std::printf("appstore requests: %zu for %d uncached identifiers\n", requests, uncached);
    std::printf("runs %.3f / %.3f / %.3f s (median %.3f s), ideal %.3f s\n", runs[0], runs[1], runs[2], measured, ideal);
    std::printf("appstore lookups ratio measured/ideal: %.2f\n", measured / ideal);
    return found == static_cast<std::size_t>(count) && requests == static_cast<std::size_t>(uncached) ? 0 : 1;
}

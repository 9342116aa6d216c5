// Fan-out of registry lookups: N GETs against the loopback server, each answered after an
// injected latency, with at most K in flight, as a scan checks hundreds of packages against
// one registry. Compared with the ideal N * latency / K; the last line is the ratio.
//
//   HttpFanoutBench [requests=300] [latency-ms=50] [in-flight=16]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.hpp"
#include "support/LoopbackServer.hpp"
#include "system/SystemNetworkClient.hpp"

namespace {

using vt::bench::argument;
using vt::bench::secondsSince;

using Clock = std::chrono::steady_clock;

}  // namespace

int main(int argc, char** argv) {
    const int requests = argument(argc, argv, 1, 300);
    const int latencyMs = argument(argc, argv, 2, 50);
    const int inFlight = argument(argc, argv, 3, 16);

    vt::testing::LoopbackServer server;
    vt::testing::LoopbackRoute route;
    route.body = R"({"info":{"name":"requests","version":"2.32.3"}})";
    route.latency = std::chrono::milliseconds(latencyMs);
    for (int i = 0; i < requests; ++i) server.setRoute("/pypi/package" + std::to_string(i) + "/json", route);

    vt::SystemNetworkClient client;
    std::atomic<int> next{0};
    std::atomic<int> failures{0};
    auto start = Clock::now();
    {
        std::vector<std::jthread> workers;
        for (int w = 0; w < inFlight; ++w) {
            workers.emplace_back([&] {
                for (int i = next++; i < requests; i = next++) {
                    try {
                        client.fetchData(server.url("/pypi/package" + std::to_string(i) + "/json"));
                    } catch (const std::exception& error) {
                        std::fprintf(stderr, "request %d failed: %s\n", i, error.what());
                        ++failures;
                    }
                }
            });
        }
    }
    double measured = std::chrono::duration<double>(Clock::now() - start).count();
    double ideal = requests * (latencyMs / 1000.0) / inFlight;

    std::set<int> connections;
    for (const auto& request : server.requests()) connections.insert(request.remotePort);
    std::printf("http fan-out: %d GETs, %d ms latency, %d in flight, %zu connections, %d failed\n", requests, latencyMs,
                inFlight, connections.size(), failures.load());
    std::printf("measured %.3f s, ideal %.3f s\n", measured, ideal);
    std::printf("http fan-out ratio measured/ideal: %.2f\n", measured / ideal);
    return failures.load() == 0 ? 0 : 1;
}

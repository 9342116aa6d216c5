// Editor extension checks: N extensions split across two editors (one on Microsoft's gallery,
// one on Open VSX), every marketplace answer after an injected latency, the two editors
// checked at once as a scan does. The full round is compared with the ideal for the request
// cap, ceil(N / 2 / cap) * latency; the lightweight round, against a marketplace slower than
// its budget, with that budget. The last line is the full round's ratio.
//
//   ExtensionsBench [extensions=300] [latency-ms=60]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "BenchSupport.hpp"
#include "managers/editors/IDEExtensionManager.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"
#include "system/SystemNetworkClient.hpp"

namespace {

using vt::bench::argument;
using vt::bench::secondsSince;

using Clock = std::chrono::steady_clock;
using vt::IDEExtensionManager;
using vt::IDEType;

std::string galleryAnswer(const std::string& publisher, const std::string& name) {
    return R"({"results":[{"extensions":[{"publisher":{"publisherName":")" + publisher + R"("},"extensionName":")" +
           name + R"(","versions":[{"version":"2.0.0","targetPlatform":"universal","properties":[{"key":)"
           R"("Microsoft.VisualStudio.Code.Engine","value":"^1.80.0"}]}]}]}]})";
}

struct Editors {
    vt::testing::FakeCommandRunner runner;
    vt::testing::RecordingFileSystem files;
    vt::testing::TempDir cache{"vt-extensions-bench"};
    std::vector<std::unique_ptr<IDEExtensionManager>> managers;

    Editors(int perEditor, vt::NetworkClient& network, double budget) {
        for (IDEType type : {IDEType::VSCode, IDEType::VSCodium}) {
            const vt::IDEEditor& editor = IDEExtensionManager::editor(type);
            const std::string tool = "/home/user/.local/bin/" + editor.binaryName;
            files.addExecutable(tool);
            std::string list;
            for (int i = 0; i < perEditor; ++i) list += "pub.ext" + std::to_string(i) + "@1.0.0\n";
            runner.on(tool + " --list-extensions --show-versions", vt::testing::FakeCommandRunner::Response::output(list));
            runner.on(tool + " --version", vt::testing::FakeCommandRunner::Response::output("1.96.0\n"));
            managers.push_back(std::make_unique<IDEExtensionManager>(
                type, runner, files,
                IDEExtensionManager::Options{.home = "/home/user", .cacheFile = cache.file(editor.id + ".json"),
                                             .lightweightBudget = budget, .network = &network}));
            managers.back()->listInstalled({});
        }
    }
    // Seconds for one round of both editors at once, and the outdated extensions found.
    std::pair<double, std::size_t> round(bool lightweight) {
        const auto start = Clock::now();
        std::vector<std::future<std::size_t>> checks;
        for (auto& manager : managers) {
            checks.push_back(std::async(std::launch::async, [&manager, lightweight] {
                return manager->checkForUpdates(lightweight, {}).size();
            }));
        }
        std::size_t outdated = 0;
        for (auto& check : checks) outdated += check.get();
        return {std::chrono::duration<double>(Clock::now() - start).count(), outdated};
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int extensions = argument(argc, argv, 1, 300);
    const int latencyMs = argument(argc, argv, 2, 60);
    const int perEditor = extensions / 2;
    const auto cap = static_cast<int>(IDEExtensionManager::kLookupConcurrency);

    vt::testing::LoopbackServer server;
    ::setenv("VANTREEL_ENDPOINT_VSMARKETPLACE", server.origin().c_str(), 1);
    ::setenv("VANTREEL_ENDPOINT_OPENVSX", server.origin().c_str(), 1);
    auto latency = std::make_shared<std::atomic<int>>(latencyMs);
    server.setHandler("/_apis/public/gallery/extensionquery", [latency](const vt::testing::LoopbackRequest& request) {
        const std::size_t at = request.body.find("\"pub.ext");
        const std::string name = request.body.substr(at + 5, request.body.find('"', at + 1) - at - 5);
        return vt::testing::LoopbackRoute{.body = galleryAnswer("pub", name), .latency = std::chrono::milliseconds(latency->load())};
    });
    for (int i = 0; i < perEditor; ++i) {
        const std::string name = "ext" + std::to_string(i);
        server.setHandler("/api/pub/" + name, [latency](const vt::testing::LoopbackRequest&) {
            return vt::testing::LoopbackRoute{
                .body = R"({"version":"2.0.0","targetPlatform":"universal","engines":{"vscode":"^1.80.0"}})",
                .latency = std::chrono::milliseconds(latency->load())};
        });
    }

    vt::SystemNetworkClient network;
    std::vector<double> runs;
    std::size_t found = 0;
    for (int run = 0; run < 3; ++run) {
        Editors editors(perEditor, network, IDEExtensionManager::kLightweightBudget);
        auto [seconds, outdated] = editors.round(false);
        runs.push_back(seconds);
        found = outdated;
    }
    std::sort(runs.begin(), runs.end());
    const double ideal = static_cast<double>((perEditor + cap - 1) / cap) * (latencyMs / 1000.0);

    // Then a marketplace answering each request in 4 s: the budget ends the round, and the
    // extensions it did not reach keep what the full round found.
    Editors slow(perEditor, network, IDEExtensionManager::kLightweightBudget);
    slow.round(false);
    latency->store(4000);
    auto [lightweight, kept] = slow.round(true);

    std::printf("extensions: %d across 2 editors, %d ms latency, %d in flight per editor, %zu outdated found\n",
                extensions, latencyMs, cap, found);
    std::printf("full rounds %.3f / %.3f / %.3f s (median %.3f s), ideal %.3f s\n", runs[0], runs[1], runs[2], runs[1],
                ideal);
    std::printf("lightweight round against 4 s answers: %.3f s for a %.0f s budget (over by %.3f s), %zu outdated kept\n",
                lightweight, IDEExtensionManager::kLightweightBudget, lightweight - IDEExtensionManager::kLightweightBudget,
                kept);
    std::printf("extensions ratio measured/ideal: %.2f\n", runs[1] / ideal);
    return found == static_cast<std::size_t>(2 * perEditor) ? 0 : 1;
}

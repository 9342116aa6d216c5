// The four JavaScript adapters side by side over one runner, as a scan runs them: whichever
// tool is missing or failing, only its own adapter publishes an error.
#include <gtest/gtest.h>

#include "managers/javascript/BunManager.hpp"
#include "managers/javascript/DenoManager.hpp"
#include "JsToolsTestSupport.hpp"
#include "managers/javascript/PnpmManager.hpp"
#include "managers/javascript/YarnManager.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;
using jstest::recorded;

enum class Breakage { None, Missing, Failing };

const std::string kPnpm = "/usr/local/bin/pnpm";
const std::string kYarn = "/usr/local/bin/yarn";
const std::string kBun = "/home/me/.bun/bin/bun";
const std::string kDeno = "/home/me/.deno/bin/deno";
const std::string kYarnGlobal = "/home/me/.config/yarn/global";

struct Machine {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    testing::TempDir cache{"vt-js-tools"};
    std::map<std::string, std::unique_ptr<BaseManager>> adapters;

    explicit Machine(const std::map<std::string, Breakage>& broken) {
        auto state = [&](const std::string& tool) {
            auto found = broken.find(tool);
            return found == broken.end() ? Breakage::None : found->second;
        };
        if (state("pnpm") != Breakage::Missing) {
            files.addExecutable(kPnpm);
            runner.on("/usr/bin/which pnpm", Response::output(kPnpm + "\n"));
        }
        const bool pnpmFails = state("pnpm") == Breakage::Failing;
        runner.on(kPnpm + " list -g --depth=0 --json",
                  recorded("pnpm", pnpmFails ? "list-pnpm-home-not-a-folder" : "list"));
        runner.on(kPnpm + " outdated -g --json",
                  recorded("pnpm", pnpmFails ? "outdated-unreachable-registry" : "outdated"));

        if (state("yarn") != Breakage::Missing) {
            files.addExecutable(kYarn);
            runner.on("/usr/bin/which yarn", Response::output(kYarn + "\n"));
        }
        const bool yarnFails = state("yarn") == Breakage::Failing;
        runner.on(kYarn + " global list", recorded("yarn", yarnFails ? "list-broken-manifest" : "list"));
        runner.on(kYarn + " global dir", Response::output(kYarnGlobal + "\n"));
        files.addFile(kYarnGlobal + "/package.json",
                      yarnFails ? "{\"dependencies\":" : jstest::fixture("yarn", "global-package.json"));
        network.setText("https://REGISTRY/semver/latest", R"({"version":"7.8.6"})");

        if (state("bun") != Breakage::Missing) files.addExecutable(kBun);
        const bool bunFails = state("bun") == Breakage::Failing;
        runner.on(kBun + " pm ls -g", recorded("bun", "list"));
        runner.on(kBun + " outdated --no-progress",
                  recorded("bun", bunFails ? "outdated-unreachable-registry" : "outdated"));
        files.addFile("~/.bun/install/global/package.json", "{}");

        if (state("deno") != Breakage::Missing) files.addExecutable(kDeno);
        const bool denoFails = state("deno") == Breakage::Failing;
        runner.on(kDeno + " --version", recorded("deno", "version"));
        runner.on(kDeno + " upgrade --dry-run",
                  recorded("deno", denoFails ? "upgrade-dry-run-offline" : "upgrade-dry-run-newer"));

        adapters["pnpm"] = std::make_unique<PnpmManager>(runner, files, PnpmManager::Options{.home = "/home/me"});
        adapters["yarn"] =
            std::make_unique<YarnManager>(runner, files,
                                          YarnManager::Options{.network = &network,
                                                               .home = "/home/me",
                                                               .cacheFile = cache.file("yarn_cache.json"),
                                                               .registry = "https://REGISTRY"});
        adapters["bun"] = std::make_unique<BunManager>(runner, files, BunManager::Options{.home = "/home/me"});
        adapters["deno"] = std::make_unique<DenoManager>(runner, files, DenoManager::Options{.home = "/home/me"});
    }
};

TEST(JsToolsTest, AMissingOrFailingToolOnlyFailsItsOwnAdapter) {
    for (const char* culprit : {"pnpm", "yarn", "bun", "deno"}) {
        for (Breakage breakage : {Breakage::Missing, Breakage::Failing}) {
            Machine machine({{culprit, breakage}});
            for (auto& [id, adapter] : machine.adapters) {
                SCOPED_TRACE(std::string(culprit) + (breakage == Breakage::Missing ? " missing, " : " failing, ") + id);
                std::vector<Package> installed = adapter->listInstalled({});
                std::optional<std::string> listError = adapter->errorMessage();
                std::vector<Package> outdated = adapter->checkOutdated({});
                std::optional<std::string> checkError = adapter->errorMessage();
                if (id == culprit) {
                    EXPECT_TRUE(listError || checkError) << "no error published";
                } else {
                    EXPECT_EQ(listError, std::nullopt);
                    EXPECT_EQ(checkError, std::nullopt);
                    EXPECT_FALSE(installed.empty());
                    EXPECT_FALSE(outdated.empty());
                }
            }
        }
    }
}

}  // namespace
}  // namespace vt

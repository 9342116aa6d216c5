// Each registry's publish times, read over real HTTP from loopback, reach the release-age guard:
// versions published 40, 10, 3 and 1 days ago, 1.0.0 installed, a week's minimum age.
#include <gtest/gtest.h>

#include "base/IsoDate.hpp"
#include "managers/javascript/YarnManager.hpp"
#include "managers/languages/CargoManager.hpp"
#include "managers/languages/GemManager.hpp"
#include "managers/languages/GoManager.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/LoopbackServer.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;
using std::chrono::hours;

class RegistryReleaseAgesTest : public ::testing::Test {
protected:
    const Clock::TimePoint now_ = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const std::pair<const char*, int> ages_[4] = {{"1.0.0", 40}, {"1.1.0", 10}, {"1.2.0", 3}, {"1.3.0", 1}};

    std::string daysAgo(int days) const { return formatIsoDate(now_ - hours(24 * days)); }
    void serve(const std::string& path, const Json& body) {
        testing::LoopbackRoute route;
        route.body = body.dump();
        registry_.setRoute(path, route);
    }
    // What the guard makes of a package the adapter found outdated, as a scan's rows decide it.
    ReleaseAgeDecision decide(const std::vector<Package>& outdated) const {
        EXPECT_EQ(outdated.size(), 1u);
        if (outdated.empty()) return {};
        return decideReleaseAge(outdated[0].version, outdated[0].latestVersion, outdated[0].releases,
                                ReleaseAgeRule{.minimum = hours(24 * 7)}, now_);
    }
    void expectFallback(const ReleaseAgeDecision& decision, const std::string& prefix = "") const {
        EXPECT_EQ(decision.verdict, ReleaseAgeVerdict::Fallback);
        EXPECT_EQ(decision.offered, prefix + "1.1.0");
        EXPECT_EQ(decision.waiting, prefix + "1.2.0");
        EXPECT_EQ(decision.waitingUntil, now_ + hours(24 * 4));
    }

    testing::LoopbackServer registry_;
    testing::TempDir home_{"vt-registry-ages"};
    testing::FakeCommandRunner runner_;
    testing::RecordingFileSystem files_;
};

TEST_F(RegistryReleaseAgesTest, CratesAndGemsOfferTheNewestVersionOldEnoughAndNameTheOneWaiting) {
    testing::ScopedEnvironment crates("VANTREEL_ENDPOINT_CRATES", registry_.origin().c_str());
    testing::ScopedEnvironment gems("VANTREEL_ENDPOINT_RUBYGEMS", registry_.origin().c_str());
    Json versions = Json::array();
    Json gemVersions = Json::array();
    for (const auto& [version, days] : ages_) {
        versions.push_back({{"num", version}, {"created_at", daysAgo(days)}, {"yanked", false}, {"bin_names", {"rg"}}});
        gemVersions.push_back({{"number", version}, {"created_at", daysAgo(days)}, {"prerelease", false}, {"platform", "ruby"}});
    }
    serve("/api/v1/crates/ripgrep", {{"crate", {{"max_stable_version", "1.3.0"}}}, {"versions", versions}});
    serve("/api/v1/versions/rake.json", gemVersions);

    const std::string cargo = home_.file(".cargo/bin/cargo");
    files_.addExecutable(cargo);
    runner_.on(cargo + " install --list", Response::output("ripgrep v1.0.0:\n    rg\n"));
    CargoManager cargoManager(runner_, files_, {.home = home_.path(), .cacheFile = home_.file("cargo.json")});
    cargoManager.setWantsPublishTimes(true);
    ASSERT_EQ(cargoManager.listInstalled({}).size(), 1u);
    expectFallback(decide(cargoManager.checkOutdated({})));

    const std::string gem = "/usr/bin/gem";
    files_.addExecutable(gem);
    runner_.on(gem + " list --local", Response::output("rake (1.0.0)\n"));
    runner_.on(gem + " environment gemdir", Response::output(home_.path() + "\n"));
    GemManager gemManager(runner_, files_,
                          {.home = home_.path(), .cacheFile = home_.file("gem.json"), .gemPaths = std::vector{gem}});
    gemManager.setWantsPublishTimes(true);
    ASSERT_EQ(gemManager.listInstalled({}).size(), 1u);
    expectFallback(decide(gemManager.checkOutdated({})));
    // The dated list took the place of the latest alone.
    EXPECT_EQ(registry_.requestCount("/api/v1/versions/rake/latest.json"), 0u);
}

// Yarn asks for the whole document, which dates every version, instead of its latest alone.
// The Go proxy's @latest dates only the latest: it waits for its week, nothing older offered.
TEST_F(RegistryReleaseAgesTest, YarnReadsTheRegistrysTimeMapAndGoTheLatestsInfo) {
    Json manifests = Json::object();
    Json times = {{"created", daysAgo(40)}};
    for (const auto& [version, days] : ages_) {
        manifests[version] = {{"name", "vt-tool"}, {"version", version}};
        times[version] = daysAgo(days);
    }
    serve("/yarn/vt-tool", {{"name", "vt-tool"}, {"dist-tags", {{"latest", "1.3.0"}}}, {"versions", manifests}, {"time", times}});
    const std::string yarn = "/usr/local/bin/yarn";
    const std::string global = home_.file(".config/yarn/global");
    files_.addExecutable(yarn);
    files_.addFile(global + "/package.json", R"({"dependencies": {"vt-tool": "^1.0.0"}})");
    files_.addFile(global + "/node_modules/vt-tool/package.json", R"({"name": "vt-tool", "version": "1.0.0"})");
    runner_.on("/usr/bin/which yarn", Response::output(yarn + "\n"));
    runner_.on(yarn + " global dir", Response::output(global + "\n"));
    runner_.on(yarn + " global list", Response::output("info \"vt-tool@1.0.0\" has binaries:\n   - vt-tool\n"));
    YarnManager yarnManager(runner_, files_,
                            {.home = home_.path(), .cacheFile = home_.file("yarn.json"), .registry = registry_.origin() + "/yarn"});
    yarnManager.setWantsPublishTimes(true);
    ASSERT_EQ(yarnManager.listInstalled({}).size(), 1u);
    expectFallback(decide(yarnManager.checkOutdated({})));
    EXPECT_EQ(registry_.requestCount("/yarn/vt-tool/latest"), 0u);

    testing::ScopedEnvironment proxy("VANTREEL_ENDPOINT_GO_PROXY", registry_.origin().c_str());
    serve("/example.com/vt/@latest", {{"Version", "v1.3.0"}, {"Time", daysAgo(1)}});
    const std::string go = "/usr/bin/go";
    const std::string program = home_.write("go/bin/vt", std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(64, '\0'), 0755);
    runner_.on(go + " env GOBIN", Response::output("\n"));
    runner_.on(go + " env GOPATH", Response::output(home_.file("go") + "\n"));
    runner_.on(go + " version -m " + program,
               Response::output(program + ": go1.22.1\n\tpath\texample.com/vt\n\tmod\texample.com/vt\tv1.0.0\th1:abc=\n"));
    SystemFileSystemManager disk;
    GoManager goManager(runner_, disk, {.home = home_.path(), .cacheFile = home_.file("go.json")});
    goManager.setWantsPublishTimes(true);
    ASSERT_EQ(goManager.listInstalled({}).size(), 1u);
    const ReleaseAgeDecision module = decide(goManager.checkOutdated({}));
    EXPECT_EQ(module.verdict, ReleaseAgeVerdict::Waiting);
    EXPECT_EQ(module.waiting, "v1.3.0");
    EXPECT_EQ(module.waitingUntil, now_ + hours(24 * 6));
}

}  // namespace
}  // namespace vt

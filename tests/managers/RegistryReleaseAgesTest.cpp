// Each registry's publish times, read over real HTTP from loopback, reach the release-age guard:
// versions published 40, 10, 3 and 1 days ago, 1.0.0 installed, a week's minimum age.
#include <gtest/gtest.h>

#include "base/IsoDate.hpp"
#include "base/Paths.hpp"
#include "managers/javascript/BunManager.hpp"
#include "managers/javascript/PnpmManager.hpp"
#include "managers/javascript/YarnManager.hpp"
#include "managers/languages/CargoManager.hpp"
#include "managers/languages/ComposerManager.hpp"
#include "managers/languages/GemManager.hpp"
#include "managers/languages/GoManager.hpp"
#include "managers/python/PipManager.hpp"
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
        registry_.setRoute(path, {.body = body.dump()});
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

    // An npm-style packument of vt-tool, dating every version.
    void servePackument(const std::string& path) {
        Json manifests = Json::object();
        Json times = {{"created", daysAgo(40)}};
        for (const auto& [version, days] : ages_) {
            manifests[version] = {{"name", "vt-tool"}, {"version", version}};
            times[version] = daysAgo(days);
        }
        serve(path, {{"name", "vt-tool"}, {"dist-tags", {{"latest", "1.3.0"}}}, {"versions", manifests}, {"time", times}});
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
    files_.addFile(home_.file(".cargo/.crates.toml"),
                   "[v1]\n\"ripgrep 1.0.0 (sparse+https://index.crates.io/)\" = [\"rg\"]\n");
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
// The Go proxy dates one version a request: the latest's, then those its list names between
// the installed version and the latest.
TEST_F(RegistryReleaseAgesTest, YarnReadsTheRegistrysTimeMapAndGoTheProxysInfoOfEachNewerVersion) {
    servePackument("/yarn/vt-tool");
    const std::string yarn = "/usr/local/bin/yarn";
    const std::string global = home_.file(".config/yarn/global");
    files_.addExecutable(yarn);
    files_.addFile(global + "/package.json", R"({"dependencies": {"vt-tool": "^1.0.0"}})");
    files_.addFile(global + "/node_modules/vt-tool/package.json", R"({"name": "vt-tool", "version": "1.0.0"})");
    runner_.on(yarn + " global dir", Response::output(global + "\n"));
    runner_.on(yarn + " global list", Response::output("info \"vt-tool@1.0.0\" has binaries:\n   - vt-tool\n"));
    YarnManager yarnManager(runner_, files_,
                            {.home = home_.path(), .cacheFile = home_.file("yarn.json"), .registry = registry_.origin() + "/yarn"});
    yarnManager.setWantsPublishTimes(true);
    ASSERT_EQ(yarnManager.listInstalled({}).size(), 1u);
    expectFallback(decide(yarnManager.checkOutdated({})));
    EXPECT_EQ(registry_.requestCount("/yarn/vt-tool/latest"), 0u);

    testing::ScopedEnvironment proxy("VANTREEL_ENDPOINT_GO_PROXY", registry_.origin().c_str());
    for (const auto& [version, days] : ages_) {
        const std::string tag = std::string("v") + version;
        serve("/example.com/vt/@v/" + tag + ".info", {{"Version", tag}, {"Time", daysAgo(days)}});
    }
    serve("/example.com/vt/@latest", {{"Version", "v1.3.0"}, {"Time", daysAgo(1)}});
    registry_.setRoute("/example.com/vt/@v/list", {.body = "v1.0.0\nv1.2.0\nv1.4.0-rc.1\nv1.1.0\nv1.3.0\nv1.1.0/../x\n"});
    const std::string go = "/usr/bin/go";
    const std::string program = home_.write("go/bin/vt", std::string("\x7f" "ELF\x02\x01\x01", 7) + std::string(64, '\0'), 0755);
    runner_.on(go + " version -m " + program,
               Response::output(program + ": go1.22.1\n\tpath\texample.com/vt\n\tmod\texample.com/vt\tv1.0.0\th1:abc=\n"));
    SystemFileSystemManager disk;
    GoManager goManager(runner_, disk, {.home = home_.path(), .cacheFile = home_.file("go.json")});
    goManager.setWantsPublishTimes(true);
    ASSERT_EQ(goManager.listInstalled({}).size(), 1u);
    expectFallback(decide(goManager.checkOutdated({})), "v");
    EXPECT_EQ(registry_.requestCount("/example.com/vt/@v/v1.1.0.info"), 1u);
    EXPECT_EQ(registry_.requestCount("/example.com/vt/@v/v1.0.0.info"), 0u);  // installed
    EXPECT_EQ(registry_.requestCount("/example.com/vt/@v/v1.3.0.info"), 0u);  // @latest said
}

// pnpm and Bun name their latest versions without dates: the registry each installs from
// (pnpm's `config get registry`, Bun's bunfig) dates them, one document a package, and a
// package the registry does not know stays of unknown age.
TEST_F(RegistryReleaseAgesTest, PnpmAndBunAskTheirOwnRegistryForEachOutdatedPackage) {
    servePackument("/npm/vt-tool");
    const std::string pnpm = "/usr/local/bin/pnpm";
    files_.addExecutable(pnpm);
    runner_.on(pnpm + " list -g --depth=0 --json",
               Response::output(R"([{"path": "/g", "dependencies": {"vt-tool": {"version": "1.0.0"}, "vt-gone": {"version": "2.0.0"}}}])"));
    runner_.on(pnpm + " outdated -g --json", Response::output(R"({"vt-tool": {"current": "1.0.0", "latest": "1.3.0"},
        "vt-gone": {"current": "2.0.0", "latest": "2.1.0"}})", 1));
    runner_.on(pnpm + " config get registry", Response::output(registry_.origin() + "/npm/\n"));
    PnpmManager pnpmManager(runner_, files_, {.home = home_.path()});
    pnpmManager.setWantsPublishTimes(true);
    ASSERT_EQ(pnpmManager.listInstalled({}).size(), 2u);
    std::vector<Package> outdated = pnpmManager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    const auto gone = std::find_if(outdated.begin(), outdated.end(), [](const Package& p) { return p.name == "vt-gone"; });
    EXPECT_TRUE(gone->releases.empty());
    const ReleaseAgeDecision unknown = decideReleaseAge(gone->version, gone->latestVersion, gone->releases,
                                                        ReleaseAgeRule{.minimum = hours(24 * 7)}, now_);
    EXPECT_EQ(unknown.verdict, ReleaseAgeVerdict::AgeUnknown);
    outdated.erase(gone);
    expectFallback(decide(outdated));

    // Bun's bunfig names its registry as a table; only the outdated package is asked for.
    home_.write(".bunfig.toml", "[install.registry]\nurl = \"" + registry_.origin() + "/npm\" # ours\n");
    testing::ScopedEnvironment xdg("XDG_CONFIG_HOME", nullptr);
    const std::string bun = home_.file(".bun/bin/bun");
    const std::string global = home_.file(".bun/install/global");
    files_.addExecutable(bun);
    files_.addFile(global + "/package.json", R"({"dependencies": {"vt-tool": "1.0.0", "vt-current": "1.0.0"}})");
    runner_.on(bun + " pm ls -g", Response::output(global + " node_modules (2 installed)\n├── vt-current@1.0.0\n└── vt-tool@1.0.0\n"));
    runner_.on(bun + " outdated --no-progress",
               Response::output("| Package | Current | Update | Latest |\n|---|---|---|---|\n| vt-tool | 1.0.0 | 1.0.0 | 1.3.0 |\n"));
    BunManager bunManager(runner_, files_, {.home = home_.path(), .bunInstall = home_.file(".bun")});
    bunManager.setWantsPublishTimes(true);
    ASSERT_EQ(bunManager.listInstalled({}).size(), 2u);
    expectFallback(decide(bunManager.checkOutdated({})));
    EXPECT_EQ(registry_.requestCount("/npm/vt-tool"), 2u);
    EXPECT_EQ(registry_.requestCount("/npm/vt-current"), 0u);
}

// pip's outdated packages are dated by PyPI's JSON; Composer's by Packagist's minified metadata,
// where a version's entry holds only what changed since the one before it.
TEST_F(RegistryReleaseAgesTest, PipAndComposerAskPyPIAndPackagistForEachOutdatedPackage) {
    testing::ScopedEnvironment pypi("VANTREEL_ENDPOINT_PYPI", registry_.origin().c_str());
    testing::ScopedEnvironment packagist("VANTREEL_ENDPOINT_PACKAGIST", registry_.origin().c_str());
    Json releases = Json::object();
    Json versions = Json::array();
    for (const auto& [version, days] : ages_) {
        releases[version] = Json::array({Json::object({{"upload_time_iso_8601", daysAgo(days)}, {"yanked", false}})});
        versions.insert(versions.begin(), Json::object({{"version", std::string("v") + version}, {"time", daysAgo(days)}}));
    }
    versions[0]["name"] = "vt/tool";
    versions[0]["require"] = {{"php", ">=8.1"}};
    versions[3]["require"] = "__unset";
    // A pre-release the time of the one before it would date: never offered.
    versions.insert(versions.begin() + 1, Json::object({{"version", "v1.4.0-RC1"}}));
    serve("/pypi/vt-tool/json", {{"info", {{"version", "1.3.0"}}}, {"releases", releases}});
    serve("/p2/vt/tool.json", {{"minified", "composer/2.0"}, {"packages", {{"vt/tool", versions}}}});

    const std::string python = "/usr/bin/python3";
    PythonEnvironments::Environment environment{.interpreter = python, .kind = PythonEnvironments::Kind::System};
    files_.addExecutable(python);
    // A local wheel folder: pip's own check runs, and answers as given here.
    files_.addFile(paths::home() + "/.config/pip/pip.conf", "[global]\nfind-links = /srv/wheels\n");
    runner_.on(python + " -m pip list --format=json", Response::output(R"([{"name": "Vt_Tool", "version": "1.0.0"}])"));
    runner_.on(python + " -m pip list --outdated --format=json",
               Response::output(R"([{"name": "Vt_Tool", "version": "1.0.0", "latest_version": "1.3.0"}])"));
    PipManager pipManager(runner_, files_, {.environments = [&] { return std::vector{environment}; }});
    pipManager.setWantsPublishTimes(true);
    ASSERT_EQ(pipManager.listInstalled({}).size(), 1u);
    expectFallback(decide(pipManager.checkOutdated({})));

    const std::string composer = "/usr/bin/composer";
    files_.addExecutable(composer);
    files_.addFile(paths::home() + "/.composer/composer.json", R"({"require": {"vt/tool": "*"}})");
    runner_.on(composer + " global outdated --format=json --no-interaction --no-ansi",
               Response::output(R"({"installed": [{"name": "vt/tool", "version": "v1.0.0", "latest": "v1.3.0"}]})"));
    ComposerManager composerManager(runner_, files_);
    composerManager.setWantsPublishTimes(true);
    expectFallback(decide(composerManager.checkOutdated({})), "v");
}

}  // namespace
}  // namespace vt

#include "managers/javascript/DenoManager.hpp"

#include <gtest/gtest.h>

#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "JsToolsTestSupport.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/RecordingFileSystem.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;
using jstest::recorded;

const std::string kDeno = "/home/me/.deno/bin/deno";
const std::string kVersion = kDeno + " --version";
const std::string kDryRun = kDeno + " upgrade --dry-run";
const std::string kBrew = "/opt/homebrew/bin/brew";

struct DenoFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    std::vector<std::string> invalidated;
    std::unique_ptr<DenoManager> manager;

    explicit DenoFixture(bool installed = true, bool withBrew = false) {
        if (installed) files.addExecutable(kDeno);
        if (withBrew) files.addExecutable(kBrew);
        manager = std::make_unique<DenoManager>(
            runner, files,
            DenoManager::Options{.home = "/home/me", .denoInstallRoot = "/home/me/.deno",
                                 .invalidateListings = [this](std::string_view tool) { invalidated.emplace_back(tool); }});
        runner.on(kVersion, recorded("deno", "version"));
    }
};

TEST(DenoManagerTest, ListsTheRuntimeFromItsOwnInstallRootAndComparesWithWhatDenoUpgradeFinds) {
    DenoFixture fixture;
    std::vector<Package> packages = fixture.manager->listInstalled({});
    ASSERT_EQ(packages.size(), 1u);
    EXPECT_EQ(packages[0].name, "deno");
    EXPECT_EQ(packages[0].version, "2.9.6");
    EXPECT_EQ(packages[0].type, PackageType::DenoPackage);
    EXPECT_EQ(packages[0].installLocationOverride, kDeno);
    const CommandRequest request = fixture.runner.history().back();
    EXPECT_EQ(request.environment.at("DENO_INSTALL_ROOT"), "/home/me/.deno");
    EXPECT_TRUE(startsWith(request.environment.at("PATH"), "/home/me/.deno/bin:"));

    ::setenv("DENO_INSTALL_ROOT", "/opt/deno", 1);
    EXPECT_EQ(DenoManager(fixture.runner, fixture.files).denoInstallRoot(), "/opt/deno");
    ::unsetenv("DENO_INSTALL_ROOT");
    EXPECT_EQ(DenoManager(fixture.runner, fixture.files, DenoManager::Options{.home = "/home/you"}).denoInstallRoot(),
              "/home/you/.deno");

    // Deno 2 colours the version even into a pipe, and a dry run that found the release but
    // could not download it exits 1 after naming it.
    ASSERT_EQ(jstest::recording("deno", "upgrade-dry-run-newer").exitCode, 1);
    fixture.runner.on(kDryRun, recorded("deno", "upgrade-dry-run-newer"));
    std::vector<Package> outdated = fixture.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].version, "2.9.6");
    EXPECT_EQ(outdated[0].latestVersion, "2.9.7");
    EXPECT_EQ(fixture.manager->errorMessage(), std::nullopt);

    fixture.runner.on(kDryRun, recorded("deno", "upgrade-dry-run-current"));
    EXPECT_TRUE(fixture.manager->checkOutdated({}).empty());
    EXPECT_EQ(fixture.manager->errorMessage(), std::nullopt);

    // Deno 2's and Deno 1's own words; the outdated check reads the rest of the recordings.
    EXPECT_EQ(DenoManager::parseUpgradeCheck(jstest::recording("deno", "upgrade-dry-run-deno1").standardError)
                  .latestVersion,
              "1.46.3");
    EXPECT_EQ(DenoManager::parseVersion("deno 1.46.3 (release, aarch64-apple-darwin)\nv8 12.9\n"), "1.46.3");
    EXPECT_EQ(DenoManager::parseVersion("command not found"), std::nullopt);
}

TEST(DenoManagerTest, FailuresArePublishedAndAManualUpdateIsAskedForWhenDenoCannotUpgradeItself) {
    DenoFixture fixture;
    fixture.runner.on(kDryRun, recorded("deno", "upgrade-dry-run-offline"));
    EXPECT_TRUE(fixture.manager->checkOutdated({}).empty());
    EXPECT_TRUE(startsWith(fixture.manager->errorMessage().value_or(""), "deno upgrade --dry-run failed: error sending request"))
        << fixture.manager->errorMessage().value_or("");

    fixture.runner.on(kDryRun, recorded("deno", "upgrade-built-without-upgrade"));
    fixture.runner.on(kDeno + " upgrade", recorded("deno", "upgrade-built-without-upgrade"));
    EXPECT_TRUE(fixture.manager->checkOutdated({}).empty());
    EXPECT_EQ(fixture.manager->errorMessage(), DenoManager::selfUpgradeUnavailableText());
    const auto manual = testing::thrown<PackageManualUpdateRequiredError>(
        [&] { fixture.manager->update(fixture.manager->packages().front(), {}); });
    EXPECT_EQ(manual.value().packageName(), "deno");
    EXPECT_EQ(manual->reason(), DenoManager::selfUpgradeUnavailableText());

    DenoFixture missing(false);
    EXPECT_TRUE(missing.manager->listInstalled({}).empty());
    EXPECT_EQ(missing.manager->errorMessage(), "Deno not found");

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(fixture.manager->checkOutdated(stop.get_token()), CancellationError);
}

TEST(DenoManagerTest, HomebrewOwnsDenoOnlyWhenItsDenoIsTheOneInUse) {
    // The deno in use is Homebrew's.
    DenoFixture fixture(false, true);
    const std::string brewDeno = "/opt/homebrew/bin/deno";
    fixture.files.addExecutable(brewDeno);
    fixture.runner.on(brewDeno + " --version", recorded("deno", "version"));
    fixture.runner.on(kBrew + " list --formula deno", Response::output("/opt/homebrew/Cellar/deno/2.9.6/bin/deno\n"));
    fixture.runner.on(kBrew + " info --json=v2 deno", Response::output(jstest::fixture("deno", "brew-info-deno.json")));
    fixture.runner.on(kBrew + " upgrade deno", Response::output("==> Upgrading deno\n"));
    std::vector<Package> outdated = fixture.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "2.9.7");
    EXPECT_FALSE(fixture.runner.ran(brewDeno + " upgrade --dry-run"));

    fixture.manager->update(outdated[0], {});
    EXPECT_TRUE(fixture.runner.ran(kBrew + " upgrade deno"));
    EXPECT_TRUE(fixture.runner.history().back().timeout.has_value());
    EXPECT_FALSE(fixture.runner.ran(brewDeno + " upgrade"));
    EXPECT_EQ(fixture.invalidated, (std::vector<std::string>{"brew"}));

    // The installer's deno is in use while Homebrew has one too: Deno updates itself.
    DenoFixture own(true, true);
    own.runner.on(kBrew + " list --formula deno", Response::output("/opt/homebrew/Cellar/deno/2.9.6/bin/deno\n"));
    own.runner.on(kDeno + " upgrade", Response::output("", 0, "Upgraded successfully to Deno v2.9.7\n"));
    own.manager->update(outdated[0], {});
    EXPECT_TRUE(own.runner.ran(kDeno + " upgrade"));
    EXPECT_FALSE(own.runner.ran(kBrew + " upgrade deno"));
}

}  // namespace
}  // namespace vt

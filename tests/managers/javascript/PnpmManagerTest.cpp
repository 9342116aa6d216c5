#include "managers/javascript/PnpmManager.hpp"

#include <cstdlib>

#include <gtest/gtest.h>

#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "JsToolsTestSupport.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using testing::find;
using Response = testing::FakeCommandRunner::Response;
using jstest::recorded;

const std::string kPnpm = "/usr/local/bin/pnpm";
const std::string kList = kPnpm + " list -g --depth=0 --json";
const std::string kOutdated = kPnpm + " outdated -g --json";

struct PnpmFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    int invalidations = 0;
    std::unique_ptr<PnpmManager> manager;

    explicit PnpmFixture(bool installed = true, std::optional<std::string> pnpmHome = std::nullopt,
                         std::string home = "/home/me") {
        if (installed) files.addExecutable(kPnpm);
        manager = std::make_unique<PnpmManager>(runner, files,
                                                PnpmManager::Options{.home = std::move(home), .pnpmHome = std::move(pnpmHome),
                                                                     .invalidateListings = [this] { ++invalidations; }});
    }
};

TEST(PnpmManagerTest, ListsRecordedGlobalPackagesWithPnpmHomeOnPath) {
    ::unsetenv("PNPM_HOME");
    PnpmFixture fixture;
    fixture.runner.on(kList, recorded("pnpm", "list"));
    std::vector<Package> packages = fixture.manager->listInstalled({});
    ASSERT_EQ(packages.size(), 4u);
    const Package* ni = find(packages, "@antfu/ni");
    ASSERT_NE(ni, nullptr);
    EXPECT_EQ(ni->version, "0.21.2");
    EXPECT_EQ(ni->type, PackageType::PnpmGlobal);
    EXPECT_EQ(ni->installLocationOverride, "~/.local/share/pnpm/global/5/node_modules/@antfu/ni");
    EXPECT_EQ(find(packages, "is-odd")->version, "3.0.1");
    EXPECT_EQ(fixture.manager->errorMessage(), std::nullopt);

    // pnpm's own Linux default, first on PATH, with pnpm's folder (node may live there) after.
    const CommandRequest request = fixture.runner.history().back();
    EXPECT_EQ(request.environment.at("PNPM_HOME"), "/home/me/.local/share/pnpm");
    EXPECT_EQ(request.environment.at("PATH"), "/home/me/.local/share/pnpm:/usr/local/bin:/usr/bin:/bin");
    EXPECT_TRUE(request.timeout.has_value());  // every run has a time limit

    ::setenv("PNPM_HOME", "/opt/pnpm-home", 1);
    PnpmManager fromEnvironment(fixture.runner, fixture.files);
    EXPECT_EQ(fromEnvironment.pnpmHome(), "/opt/pnpm-home");
    EXPECT_EQ(fromEnvironment.environment("/srv/node/bin/pnpm").at("PATH"),
              "/opt/pnpm-home:/usr/local/bin:/usr/bin:/bin:/srv/node/bin");
    ::unsetenv("PNPM_HOME");
}

// pnpm's own "minimum-release-age" is in minutes. `pnpm outdated` dates nothing and here pnpm
// names no registry to ask, so under that limit the latest versions are of unknown age, and
// they wait: pnpm would refuse them.
TEST(PnpmManagerTest, OutdatedExitingOneWithJsonGivesTheLatestVersionsHeldByPnpmsOwnMinimumAge) {
    testing::TempDir home{"vt-pnpm-age"};
    home.write(".npmrc", "minimum-release-age=10080\n");
    PnpmFixture fixture(true, "/home/me/.local/share/pnpm", home.path());
    fixture.runner.on(kList, recorded("pnpm", "list"));
    fixture.runner.on(kOutdated, recorded("pnpm", "outdated"));
    fixture.runner.on(kPnpm + " config get registry", Response::output("undefined\n"));
    ASSERT_EQ(jstest::recording("pnpm", "outdated").exitCode, 1);
    fixture.manager->listInstalled({});
    std::vector<Package> outdated = fixture.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 3u);
    Package semver = *find(outdated, "semver");
    EXPECT_EQ(semver.version, "7.5.0");
    EXPECT_EQ(semver.latestVersion, "7.8.6");
    // The listing's record is kept, its folder included.
    EXPECT_EQ(semver.installLocationOverride, "~/.local/share/pnpm/global/5/node_modules/semver");
    EXPECT_EQ(find(outdated, "@antfu/ni")->latestVersion, "30.6.0");
    EXPECT_EQ(find(outdated, "is-odd"), nullptr);
    ASSERT_TRUE(semver.toolReleaseAge);
    EXPECT_EQ(semver.toolReleaseAge->minimum, std::chrono::hours(24 * 7));
    applyReleaseAge(semver, ReleaseAgeRule::stricter(ReleaseAgeRule{}, semver.toolReleaseAge), Clock::shared().now());
    ASSERT_TRUE(semver.releaseAge);
    EXPECT_EQ(semver.releaseAge->verdict, ReleaseAgeVerdict::AgeUnknown);
    EXPECT_TRUE(semver.releaseAge->holdsBack());
    EXPECT_EQ(semver.releaseAge->rule.origin, "pnpm minimum-release-age");

    // Output that an older pnpm prefixed with a warning line still parses.
    PnpmManager::Parsed parsed =
        PnpmManager::parseOutdated(" WARN  deprecated config\n" + jstest::recording("pnpm", "outdated").standardOutput);
    EXPECT_EQ(parsed.entries.size(), 3u);
    EXPECT_EQ(parsed.error, std::nullopt);
}

TEST(PnpmManagerTest, MissingOrFailingPnpmIsPublishedNotThrown) {
    PnpmFixture missing(false);
    EXPECT_TRUE(missing.manager->listInstalled({}).empty());
    EXPECT_EQ(missing.manager->errorMessage(), "PNPM not found");
    EXPECT_TRUE(missing.manager->checkOutdated({}).empty());
    EXPECT_EQ(missing.manager->errorMessage(), "pnpm outdated failed: PNPM not found");
    EXPECT_THROW(missing.manager->update(Package{.name = "semver", .type = PackageType::PnpmGlobal}, {}),
                 CommandError);

    PnpmFixture fixture;
    // The recorded outdated check of a fresh folder fails with exit 1: no manifest yet. Empty,
    // not a failure.
    fixture.runner.on(kList, recorded("pnpm", "list-empty"));
    fixture.runner.on(kOutdated, recorded("pnpm", "outdated-empty"));
    EXPECT_TRUE(fixture.manager->listInstalled({}).empty());
    EXPECT_EQ(fixture.manager->errorMessage(), std::nullopt);
    EXPECT_TRUE(fixture.manager->checkOutdated({}).empty());
    EXPECT_EQ(fixture.manager->errorMessage(), std::nullopt);

    fixture.runner.on(kOutdated, recorded("pnpm", "outdated-unreachable-registry"));
    fixture.runner.on(kList, Response::throwing(CommandError::timeout()));
    EXPECT_TRUE(fixture.manager->checkOutdated({}).empty());
    EXPECT_TRUE(startsWith(fixture.manager->errorMessage().value_or(""), "pnpm outdated failed: ERR_PNPM_META_FETCH_FAIL"))
        << fixture.manager->errorMessage().value_or("");

    EXPECT_TRUE(fixture.manager->listInstalled({}).empty());
    EXPECT_EQ(fixture.manager->errorMessage(), CommandError::timeout().description());

    // PNPM_HOME naming a file: pnpm's own error, not the JSON it could not print.
    fixture.runner.on(kList, recorded("pnpm", "list-pnpm-home-not-a-folder"));
    fixture.manager->listInstalled({});
    EXPECT_EQ(fixture.manager->errorMessage(), "ERROR EEXIST: file already exists, mkdir '<sandbox>/not-a-folder'");

    fixture.runner.on(kList, Response::output("not json at all"));
    fixture.manager->listInstalled({});
    EXPECT_TRUE(contains(fixture.manager->errorMessage().value_or(""), "did not print JSON"))
        << fixture.manager->errorMessage().value_or("");

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(fixture.manager->listInstalled(stop.get_token()), CancellationError);
}

TEST(PnpmManagerTest, UpdateAddsTheVersionShownAndDropsCachedListings) {
    PnpmFixture fixture;
    const std::string pinned = kPnpm + " add -g left-pad@1.3.0";
    fixture.runner.on(pinned, recorded("pnpm", "add-latest"));
    fixture.manager->update(
        Package{.name = "left-pad", .version = "1.1.0", .type = PackageType::PnpmGlobal, .latestVersion = "1.3.0"}, {});
    EXPECT_TRUE(fixture.runner.ran(pinned));
    // Without a version shown, pnpm's own latest.
    const std::string add = kPnpm + " add -g left-pad@latest";
    fixture.runner.on(add, recorded("pnpm", "add-latest"));
    fixture.manager->update(Package{.name = "left-pad", .version = "1.1.0", .type = PackageType::PnpmGlobal}, {});
    EXPECT_TRUE(fixture.runner.ran(add));
    EXPECT_EQ(fixture.invalidations, 2);

    fixture.runner.on(add, Response::failure(1, "", " ERR_PNPM_FETCH_404  GET <registry>/left-pad: Not Found - 404\n"));
    const auto error = testing::thrown<CommandError>(
        [&] { fixture.manager->update(Package{.name = "left-pad", .type = PackageType::PnpmGlobal}, {}); });
    EXPECT_EQ(error.value().kind(), CommandError::Kind::ExecutionFailed);
    EXPECT_TRUE(contains(error->description(), "ERR_PNPM_FETCH_404")) << error->description();
    EXPECT_EQ(fixture.invalidations, 3);

    // A name pnpm would read as an option never reaches it.
    const std::size_t runs = fixture.runner.history().size();
    EXPECT_THROW(fixture.manager->update(Package{.name = "--global-dir=/tmp", .type = PackageType::PnpmGlobal}, {}),
                 std::invalid_argument);
    EXPECT_EQ(fixture.runner.history().size(), runs);
}

}  // namespace
}  // namespace vt

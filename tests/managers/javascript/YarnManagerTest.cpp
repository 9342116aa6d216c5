#include "managers/javascript/YarnManager.hpp"


#include <gtest/gtest.h>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "JsToolsTestSupport.hpp"
#include "managers/javascript/YarnError.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"
#include "system/Endpoints.hpp"

namespace vt {
namespace {

using testing::find;
using Response = testing::FakeCommandRunner::Response;
using jstest::recorded;

const std::string kYarn = "/usr/local/bin/yarn";
const std::string kList = kYarn + " global list";
const std::string kDir = kYarn + " global dir";
const std::string kGlobal = "/home/me/.config/yarn/global";
const std::string kRegistry = "https://REGISTRY";

std::string latestJson(const std::string& version) {
    return R"({"name":"x","version":")" + version + R"("})";
}

struct YarnFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    FakeClock clock;
    testing::TempDir cache{"vt-yarn-cache"};
    int invalidations = 0;
    std::unique_ptr<YarnManager> manager;

    explicit YarnFixture(bool installed = true, std::optional<std::string> registry = kRegistry) {
        if (installed) files.addExecutable(kYarn);
        runner.on(kDir, Response::output(kGlobal + "\n"));
        manager = make(std::move(registry));
    }

    std::unique_ptr<YarnManager> make(std::optional<std::string> registry) {
        return std::make_unique<YarnManager>(
            runner, files,
            YarnManager::Options{.clock = &clock, .network = &network, .home = "/home/me",
                                 .cacheFile = cache.file("yarn_cache.json"), .registry = std::move(registry),
                                 .invalidateListings = [this] { ++invalidations; }});
    }

    // The global folder as `yarn global add` leaves it: the manifest and each package's own.
    void installGlobals(const std::map<std::string, std::string>& versions) {
        files.addFile(kGlobal + "/package.json", jstest::fixture("yarn", "global-package.json"));
        for (const auto& [name, version] : versions) {
            files.addFile(kGlobal + "/node_modules/" + name + "/package.json",
                          R"({"name":")" + name + R"(","version":")" + version + R"("})");
        }
    }
};

TEST(YarnManagerTest, ReadsBothListingFormsAndTheGlobalManifestCompletesThem) {
    YarnFixture fixture;
    fixture.runner.on(kList, recorded("yarn", "list"));
    fixture.installGlobals({{"@antfu/ni", "0.21.2"}, {"is-odd", "3.0.1"}, {"left-pad", "1.1.0"}, {"semver", "7.5.0"}});
    std::vector<Package> packages = fixture.manager->listInstalled({});
    ASSERT_EQ(packages.size(), 4u);
    // Left out of `yarn global list` for having no binaries.
    const Package* leftPad = find(packages, "left-pad");
    ASSERT_NE(leftPad, nullptr);
    EXPECT_EQ(leftPad->version, "1.1.0");
    EXPECT_EQ(leftPad->type, PackageType::YarnGlobal);
    // The folder yarn reported is the default one: no override.
    EXPECT_EQ(leftPad->installLocationOverride, std::nullopt);
    EXPECT_EQ(find(packages, "@antfu/ni")->version, "0.21.2");
    for (const CommandRequest& request : fixture.runner.history()) {
        if (request.command != kYarn) continue;
        EXPECT_TRUE(startsWith(request.environment.at("PATH"), "/home/me/.yarn/bin:/usr/local/bin:/usr/bin:"));
    }

    // Elsewhere (root's /usr/local/share, a global-folder setting) the location follows it;
    // a version the manifest pins stands in for an unreadable package.json.
    YarnFixture moved;
    moved.runner.on(kList, recorded("yarn", "list-empty"));
    moved.runner.on(kDir, Response::output("/usr/local/share/.config/yarn/global\n"));
    moved.files.addFile("/usr/local/share/.config/yarn/global/package.json",
                        R"({"dependencies":{"left-pad":"^1.3.0","local-tool":"file:/tmp/local-tool"}})");
    packages = moved.manager->listInstalled({});
    ASSERT_EQ(packages.size(), 1u) << "a file: specification without a readable package names no version";
    EXPECT_EQ(packages[0].version, "1.3.0");
    EXPECT_EQ(packages[0].installLocationOverride, "/usr/local/share/.config/yarn/global/node_modules/left-pad");

    // Yarn 1.22: only the packages that have binaries, as info lines.
    std::vector<YarnManager::Entry> info =
        YarnManager::parseGlobalList(jstest::recording("yarn", "list").standardOutput);
    EXPECT_EQ(info, (std::vector<YarnManager::Entry>{{"@antfu/ni", "0.21.2"}, {"semver", "7.5.0"}}));
    EXPECT_EQ(YarnManager::parseGlobalList(jstest::recording("yarn", "list-json").standardOutput), info);
    // Tree lines, as `yarn global upgrade` and older listings print them.
    EXPECT_EQ(YarnManager::parseGlobalList(jstest::recording("yarn", "upgrade-latest").standardOutput),
              (std::vector<YarnManager::Entry>{{"semver", "7.8.6"}}));
    EXPECT_EQ(YarnManager::parseGlobalList("├─ @vue/cli@5.0.8\n└─ typescript@5.4.5\n"),
              (std::vector<YarnManager::Entry>{{"@vue/cli", "5.0.8"}, {"typescript", "5.4.5"}}));
    EXPECT_TRUE(YarnManager::parseGlobalList(jstest::recording("yarn", "list-empty").standardOutput).empty());

    EXPECT_EQ(YarnManager::splitNameAndVersion("@scope/name@1.2.3"), (YarnManager::Entry{"@scope/name", "1.2.3"}));
    EXPECT_EQ(YarnManager::splitNameAndVersion("@scope/name@1.2.3-beta.1"),
              (YarnManager::Entry{"@scope/name", "1.2.3-beta.1"}));
    EXPECT_EQ(YarnManager::splitNameAndVersion("@scope/name"), std::nullopt);
    EXPECT_EQ(YarnManager::splitNameAndVersion("name@"), std::nullopt);
}

TEST(YarnManagerTest, AFailingOrMissingYarnIsPublishedWithTheScanPrefix) {
    YarnFixture fixture;
    // The recorded failure: yarn cannot parse its own global manifest, nor can we.
    fixture.runner.on(kList, recorded("yarn", "list-broken-manifest"));
    fixture.files.addFile(kGlobal + "/package.json", "{\"dependencies\":");
    EXPECT_TRUE(fixture.manager->listInstalled({}).empty());
    ASSERT_TRUE(fixture.manager->errorMessage().has_value());
    const std::string message = *fixture.manager->errorMessage();
    EXPECT_TRUE(startsWith(message, "Error during the scan: ")) << message;
    EXPECT_TRUE(contains(message, "SyntaxError: ~/.config/yarn/global/package.json: Unexpected end of JSON input"))
        << message;
    EXPECT_TRUE(fixture.manager->checkOutdated({}).empty());
    EXPECT_EQ(fixture.manager->errorMessage(), message);

    // A failing listing beside a readable manifest still lists everything.
    fixture.runner.on(kList, Response::failure(1, "error An unexpected error occurred\n"));
    fixture.installGlobals({{"semver", "7.5.0"}});
    std::vector<Package> packages = fixture.manager->listInstalled({});
    EXPECT_EQ(packages.size(), 4u);  // the three others by the exact versions the manifest pins
    EXPECT_EQ(fixture.manager->errorMessage(), std::nullopt);

    YarnFixture missing(false);
    EXPECT_TRUE(missing.manager->listInstalled({}).empty());
    EXPECT_EQ(missing.manager->errorMessage(), "Error during the scan: Yarn not found");
}

// Yarn's own configuration names the registry before npm's does; when neither names one,
// no registry is guessed: the latest versions are unknown, and the source says so. Versions
// are kept per registry (the cache itself is tested with the shared helper).
TEST(YarnManagerTest, TheRegistryIsYarnsElseNpmsAndNeverAGuess) {
    YarnFixture fixture(true, std::nullopt);
    fixture.files.addExecutable("/usr/bin/npm");
    fixture.runner.on("/usr/bin/npm config get registry", Response::output(kRegistry + "/\n"));
    fixture.runner.on(kList, recorded("yarn", "list"));
    fixture.installGlobals({{"@antfu/ni", "0.21.2"}, {"is-odd", "3.0.1"}, {"left-pad", "1.1.0"}, {"semver", "7.5.0"}});
    fixture.network.setText(kRegistry + "/@antfu/ni/latest", latestJson("30.6.0"));
    fixture.network.setText(kRegistry + "/is-odd/latest", latestJson("3.0.1"));
    fixture.network.setText(kRegistry + "/semver/latest", latestJson("7.8.6"));
    fixture.network.setError(kRegistry + "/left-pad/latest", NetworkError::timeout());
    LogCapture log;
    fixture.manager->listInstalled({});
    std::vector<Package> outdated = fixture.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u);
    EXPECT_EQ(find(outdated, "@antfu/ni")->latestVersion, "30.6.0");
    EXPECT_EQ(find(outdated, "semver")->latestVersion, "7.8.6");
    EXPECT_TRUE(log.contains("Yarn: no latest version for left-pad"));
    EXPECT_EQ(fixture.manager->errorMessage(), std::nullopt);

    std::unique_ptr<YarnManager> mirror = fixture.make("https://MIRROR");
    mirror->listInstalled({});
    mirror->checkOutdated({});
    EXPECT_EQ(fixture.network.fetchCount("https://MIRROR/semver/latest"), 1u);

    fixture.runner.on(kYarn + " config get registry", Response::output("https://YARN-MIRROR\n"));
    fixture.network.setText("https://YARN-MIRROR/semver/latest", latestJson("7.9.0"));
    fixture.manager->listInstalled({});
    outdated = fixture.manager->checkOutdated({});
    ASSERT_NE(find(outdated, "semver"), nullptr);
    EXPECT_EQ(find(outdated, "semver")->latestVersion, "7.9.0");
    EXPECT_FALSE(fixture.manager->latestVersionsUnknown());

    fixture.runner.on(kYarn + " config get registry", Response::failure(1, "error config\n"));
    fixture.runner.on("/usr/bin/npm config get registry", Response::output("undefined\n"));
    const std::size_t fetched = fixture.network.fetchedURLs().size();
    fixture.manager->listInstalled({});
    EXPECT_TRUE(fixture.manager->checkOutdated({}).empty());
    EXPECT_EQ(fixture.network.fetchedURLs().size(), fetched) << "no registry is asked";
    EXPECT_EQ(fixture.manager->errorMessage(), localized("error.yarn.registry_unknown"));
    EXPECT_TRUE(fixture.manager->latestVersionsUnknown());
}

TEST(YarnManagerTest, UpdateAddsTheVersionShownAndChecksWhatIsInstalled) {
    YarnFixture fixture;
    // The version shown is added; without one, Yarn's own latest.
    const std::string upgrade = kYarn + " global add semver@7.8.6";
    fixture.runner.on(upgrade, recorded("yarn", "upgrade-latest"));
    fixture.runner.on(kYarn + " global upgrade semver --latest", recorded("yarn", "upgrade-latest"));
    fixture.runner.on(kYarn + " global add semver@8.0.0", recorded("yarn", "upgrade-latest"));
    fixture.installGlobals({{"semver", "7.8.6"}});
    const Package semver{
        .name = "semver", .version = "7.5.0", .type = PackageType::YarnGlobal, .latestVersion = "7.8.6"};
    fixture.manager->update(semver, {});
    EXPECT_TRUE(fixture.runner.ran(upgrade));
    EXPECT_EQ(fixture.invalidations, 1);

    auto failure = [&](const Package& package) {
        return testing::thrown<YarnError>([&] { fixture.manager->update(package, {}); }).value();
    };
    YarnError error = failure(Package{.name = "semver", .version = "7.8.6", .type = PackageType::YarnGlobal});
    EXPECT_EQ(error.kind(), YarnError::Kind::VersionUnchanged);
    EXPECT_EQ(error.description(),
              "Error during the update: The installed version did not change after yarn global upgrade");

    error = failure(
        Package{.name = "semver", .version = "7.0.0", .type = PackageType::YarnGlobal, .latestVersion = "8.0.0"});
    EXPECT_EQ(error.description(),
              "Error during the update: The installed version is still lower than the expected one after yarn "
              "global upgrade");

    fixture.runner.on(upgrade,
                      Response::failure(1, "error Couldn't find package \"semver\" on the \"npm\" registry.\n"));
    error = failure(semver);
    EXPECT_EQ(error.kind(), YarnError::Kind::CommandFailed);
    EXPECT_TRUE(startsWith(error.description(), "Error during the update: ")) << error.description();
    EXPECT_TRUE(contains(error.description(), "Couldn't find package")) << error.description();

    const std::size_t runs = fixture.runner.history().size();
    EXPECT_EQ(failure(Package{.name = "--prefix=/tmp", .type = PackageType::YarnGlobal}).kind(),
              YarnError::Kind::InvalidPackageName);
    EXPECT_EQ(fixture.runner.history().size(), runs);
}

}  // namespace
}  // namespace vt

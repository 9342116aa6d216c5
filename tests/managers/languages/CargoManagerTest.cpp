#include "managers/languages/CargoManager.hpp"

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "managers/languages/CargoError.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"
#include "system/Endpoints.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

const std::string kHome = "/home/user";
const std::string kCargo = kHome + "/.cargo/bin/cargo";
const std::string kList = kCargo + " install --list";

// As `cargo install --list` prints it: registry crates, one from a path, one from Git, and a
// line that is not a crate at all.
const char* kInstallList = R"(bat v0.24.0:
    bat
ev%il v1.0.0:
    evil
nightly-tool v1.0.0:
    nightly-tool
mytool v0.1.0 (/home/user/src/mytool):
    mytool
ripgrep v13.0.0:
    rg
sdk-helper v2.0.0:
    sdk-helper
tokei v12.1.2 (https://git.example/tokei#1a2b3c4d):
    tokei
warning: be sure to add `/home/user/.cargo/bin` to your PATH
)";

std::string crates(const std::string& name) { return Endpoints::url(Service::Crates, "/api/v1/crates/" + name); }

struct CargoFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    testing::TempDir cacheFolder{"vt-cargo-cache"};
    CargoManager manager{runner, files,
                         CargoManager::Options{.network = &network, .home = kHome,
                                               .cacheFile = cacheFolder.file("cargo_cache.json")}};

    CargoFixture() {
        files.addExecutable(kCargo);
        runner.on(kList, Response::output(kInstallList));
    }
};

TEST(CargoManagerTest, RegistryCratesAreComparedAndPreReleasesOrLibrariesKeepTheirVersion) {
    CargoFixture f;
    f.network.setText(crates("ripgrep"), R"({"crate": {"max_stable_version": "14.1.0", "max_version": "15.0.0-alpha.1"},
        "versions": [{"num": "14.1.0", "bin_names": ["rg"]}]})");
    f.network.setText(crates("bat"), R"({"crate": {"max_stable_version": "0.24.0", "max_version": "0.24.0"}})");
    // Only a pre-release is newer: the installed version stands.
    f.network.setText(crates("nightly-tool"), R"({"crate": {"max_stable_version": null, "max_version": "2.0.0-beta.1"}})");
    // The newest release ships no binary to install.
    f.network.setText(crates("sdk-helper"), R"({"crate": {"max_stable_version": "3.0.0"},
        "versions": [{"num": "3.0.0", "bin_names": []}]})");

    std::vector<Package> installed = f.manager.listInstalled({});
    ASSERT_EQ(installed.size(), 7u);
    EXPECT_EQ(installed[3].name, "mytool");
    EXPECT_EQ(installed[3].sourceIdentifier, "/home/user/src/mytool");
    EXPECT_EQ(installed[4].name, "ripgrep");
    EXPECT_EQ(installed[4].version, "13.0.0");
    EXPECT_EQ(installed[4].sourceIdentifier, std::nullopt);

    std::vector<Package> outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].name, "ripgrep");
    EXPECT_EQ(outdated[0].latestVersion, "14.1.0");
    EXPECT_EQ(f.manager.errorMessage(), std::nullopt);
    // Path and Git installs are never looked up.
    EXPECT_EQ(f.network.fetchCount(crates("mytool")), 0u);
    EXPECT_EQ(f.network.fetchCount(crates("tokei")), 0u);
    // A name outside the registry pattern never becomes an address.
    for (const std::string& url : f.network.fetchedURLs()) EXPECT_EQ(url.find('%'), std::string::npos) << url;
    // The answers are kept: a second check asks nobody.
    EXPECT_TRUE(readFile(f.cacheFolder.file("cargo_cache.json")).has_value());
    f.manager.checkOutdated({});
    EXPECT_EQ(f.network.fetchCount(crates("ripgrep")), 1u);
}

TEST(CargoManagerTest, UnreachableRegistryKeepsTheCratesAndSaysWhichRegistry) {
    CargoFixture f;
    for (const char* name : {"bat", "nightly-tool", "ripgrep", "sdk-helper"}) {
        f.network.setError(crates(name), NetworkError::connectionFailed());
    }
    EXPECT_EQ(f.manager.listInstalled({}).size(), 7u);
    EXPECT_TRUE(f.manager.checkOutdated({}).empty());
    ASSERT_TRUE(f.manager.errorMessage().has_value());
    EXPECT_NE(f.manager.errorMessage()->find(Endpoints::host(Service::Crates)), std::string::npos);
    EXPECT_EQ(f.manager.packages().size(), 7u);
}

TEST(CargoManagerTest, UpdateRunsForcedInstallOfTheVersionShownAndTellsTheOutcomes) {
    CargoFixture f;
    const std::string install = kCargo + " install ripgrep --version 14.1.0 --force";
    Package ripgrep{.name = "ripgrep", .version = "13.0.0", .type = PackageType::CargoPackage,
                    .latestVersion = "14.1.0"};

    // cargo succeeded but the list still shows the old version.
    f.runner.on(install, Response::output(""));
    try {
        f.manager.update(ripgrep, {});
        FAIL() << "no mismatch reported";
    } catch (const CargoError& error) {
        EXPECT_EQ(error.kind(), CargoErrorKind::VersionMismatch);
    }
    // Nothing newer was expected: already up to date, cargo's own choice of version.
    Package current = ripgrep;
    current.latestVersion.reset();
    f.runner.on(kCargo + " install ripgrep --force", Response::output(""));
    EXPECT_NO_THROW(f.manager.update(current, {}));

    f.runner.on(install, Response::failure(101, "error: could not compile `ripgrep`"));
    try {
        f.manager.update(ripgrep, {});
        FAIL() << "no failure reported";
    } catch (const CargoError& error) {
        EXPECT_EQ(error.kind(), CargoErrorKind::CommandFailed);
        EXPECT_NE(error.description().find("could not compile"), std::string::npos);
    }

    // A name that is no crate name reaches neither a command nor the registry.
    f.runner.clearHistory();
    Package hostile{.name = "--config=evil", .version = "1", .type = PackageType::CargoPackage};
    EXPECT_THROW(f.manager.update(hostile, {}), CargoError);
    hostile.name = "a b/../../x?y";
    EXPECT_THROW(f.manager.update(hostile, {}), CargoError);
    EXPECT_TRUE(f.runner.commandLines().empty());
}

}  // namespace
}  // namespace vt

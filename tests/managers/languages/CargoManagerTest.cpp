#include "managers/languages/CargoManager.hpp"

#include <algorithm>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "managers/languages/CargoError.hpp"
#include "support/Thrown.hpp"
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

// As `cargo install --list` prints it (in name order): registry crates, one from a path, one
// from Git, and a line that is not a crate at all.
const char* kInstallList = R"(bat v0.24.0:
    bat
ev%il v1.0.0:
    evil
mytool v0.1.0 (/home/user/src/mytool):
    mytool
nightly-tool v1.0.0:
    nightly-tool
ripgrep v13.0.0:
    rg
sdk-helper v2.0.0:
    sdk-helper
tokei v12.1.2 (https://git.example/tokei#1a2b3c4d):
    tokei
warning: be sure to add `/home/user/.cargo/bin` to your PATH
)";

// The record cargo kept of the same installs (.crates.toml), which the list is printed from.
std::string cratesRecord() {
    const std::string index = "(registry+" + Endpoints::base(Service::GitHubWeb) + "/rust-lang/crates.io-index)";
    return "[v1]\n"
           "\"bat 0.24.0 " + index + "\" = [\"bat\"]\n"
           "\"ev%il 1.0.0 " + index + "\" = [\"evil\"]\n"
           "\"mytool 0.1.0 (path+file:///home/user/src/mytool)\" = [\"mytool\"]\n"
           "\"nightly-tool 1.0.0 " + index + "\" = [\"nightly-tool\"]\n"
           "\"ripgrep 13.0.0 " + index + "\" = [\"rg\"]\n"
           "\"sdk-helper 2.0.0 " + index + "\" = [\"sdk-helper\"]\n"
           "\"tokei 12.1.2 (git+https://git.example/tokei#1a2b3c4d)\" = [\"tokei\"]\n"
           "[v2]\n";
}

std::string crates(const std::string& name) { return Endpoints::url(Service::Crates, "/api/v1/crates/" + name); }

struct CargoFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    testing::TempDir cacheFolder{"vt-cargo-cache"};
    FakeClock clock;
    CargoManager manager{runner, files,
                         CargoManager::Options{.clock = &clock, .network = &network, .home = kHome,
                                               .cacheFile = cacheFolder.file("cargo_cache.json")}};

    CargoFixture() {
        files.addExecutable(kCargo);
        files.addFile(kHome + "/.cargo/.crates.toml", cratesRecord());
    }
};

// What a listing says of each crate (a package's own id differs from one listing to the next).
std::vector<std::string> described(const std::vector<Package>& packages) {
    std::vector<std::string> lines;
    for (const Package& package : packages) {
        lines.push_back(package.name + " " + package.version + " " + package.description.value_or("-") + " " +
                        package.sourceIdentifier.value_or("-"));
    }
    return lines;
}

long listRuns(const testing::FakeCommandRunner& runner) {
    const std::vector<std::string> lines = runner.commandLines();
    return std::count(lines.begin(), lines.end(), kList);
}

// Cargo's record is read as `cargo install --list` prints it; cargo itself is asked only when
// the record cannot be read, and not at all when nothing was ever installed.
TEST(CargoManagerTest, TheRecordCargoKeepsReadsAsItsListAndCargoRunsOnlyWithoutOne) {
    CargoFixture f;
    std::vector<Package> fromRecord = f.manager.listInstalled({});
    EXPECT_EQ(fromRecord.size(), 7u);
    EXPECT_EQ(listRuns(f.runner), 0);

    CargoFixture unreadable;
    unreadable.files.addFile(kHome + "/.cargo/.crates.toml", "[v1\n");
    unreadable.runner.on(kList, Response::output(kInstallList));
    EXPECT_EQ(described(unreadable.manager.listInstalled({})), described(fromRecord));
    EXPECT_EQ(listRuns(unreadable.runner), 1);

    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    files.addExecutable(kCargo);
    CargoManager none(runner, files, {.home = kHome});
    EXPECT_TRUE(none.listInstalled({}).empty());
    files.addFile(kHome + "/.cargo/.crates.toml", "");  // as cargo leaves it before any install
    EXPECT_TRUE(none.listInstalled({}).empty());
    EXPECT_EQ(none.errorMessage(), std::nullopt);
    EXPECT_EQ(listRuns(runner), 0);
}

TEST(CargoManagerTest, RegistryCratesAreComparedAndPreReleasesOrLibrariesKeepTheirVersion) {
    CargoFixture f;
    HttpResponse ripgrep{.statusCode = 200,
                         .body = R"({"crate": {"max_stable_version": "14.1.0", "max_version": "15.0.0-alpha.1"},
        "versions": [{"num": "14.1.0", "bin_names": ["rg"]}]})"};
    ripgrep.headers.set("ETag", "\"rg-1\"");
    f.network.setResponse(crates("ripgrep"), ripgrep);
    f.network.setText(crates("bat"), R"({"crate": {"max_stable_version": "0.24.0", "max_version": "0.24.0"}})");
    // Only a pre-release is newer: the installed version stands.
    f.network.setText(crates("nightly-tool"), R"({"crate": {"max_stable_version": null, "max_version": "2.0.0-beta.1"}})");
    // The newest release ships no binary to install.
    f.network.setText(crates("sdk-helper"), R"({"crate": {"max_stable_version": "3.0.0"},
        "versions": [{"num": "3.0.0", "bin_names": []}]})");

    std::vector<Package> installed = f.manager.listInstalled({});
    ASSERT_EQ(installed.size(), 7u);
    EXPECT_EQ(installed[2].name, "mytool");
    EXPECT_EQ(installed[2].sourceIdentifier, "/home/user/src/mytool");
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
    // Past their time limit, crates.io is asked whether the document changed: "not modified"
    // keeps the answer.
    f.clock.advance(std::chrono::minutes(31));
    f.network.setResponse(crates("ripgrep"), HttpResponse{.statusCode = 304});
    outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "14.1.0");
    const std::vector<HttpRequest> sent = f.network.sentRequests();
    const auto revalidation = std::find_if(sent.rbegin(), sent.rend(),
                                           [](const HttpRequest& request) { return request.url == crates("ripgrep"); });
    ASSERT_NE(revalidation, sent.rend());
    EXPECT_EQ(revalidation->ifNoneMatch, "\"rg-1\"");
}

TEST(CargoManagerTest, UnreachableRegistryKeepsTheCratesAndUpdatesInstallTheVersionShown) {
    CargoFixture f;
    for (const char* name : {"bat", "nightly-tool", "ripgrep", "sdk-helper"}) {
        f.network.setError(crates(name), NetworkError::connectionFailed());
    }
    EXPECT_EQ(f.manager.listInstalled({}).size(), 7u);
    EXPECT_TRUE(f.manager.checkOutdated({}).empty());
    EXPECT_NE(f.manager.errorMessage().value_or("").find(Endpoints::host(Service::Crates)), std::string::npos);
    EXPECT_EQ(f.manager.packages().size(), 7u);

    const std::string install = kCargo + " install ripgrep --version 14.1.0 --force";
    Package ripgrep{.name = "ripgrep", .version = "13.0.0", .type = PackageType::CargoPackage,
                    .latestVersion = "14.1.0"};

    // cargo succeeded but the list still shows the old version.
    f.runner.on(install, Response::output(""));
    EXPECT_EQ(testing::thrown<CargoError>([&] { f.manager.update(ripgrep, {}); }).value().kind(),
              CargoErrorKind::VersionMismatch);
    // Nothing newer was expected: already up to date, cargo's own choice of version.
    Package current = ripgrep;
    current.latestVersion.reset();
    f.runner.on(kCargo + " install ripgrep --force", Response::output(""));
    EXPECT_NO_THROW(f.manager.update(current, {}));

    f.runner.on(install, Response::failure(101, "error: could not compile `ripgrep`"));
    const auto failed = testing::thrown<CargoError>([&] { f.manager.update(ripgrep, {}); });
    EXPECT_EQ(failed.value().kind(), CargoErrorKind::CommandFailed);
    EXPECT_NE(failed->description().find("could not compile"), std::string::npos);

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

#include "managers/javascript/BunManager.hpp"

#include <chrono>
#include <thread>

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

const std::string kBun = "/home/me/.bun/bin/bun";
const std::string kList = kBun + " pm ls -g";
const std::string kOutdated = kBun + " outdated --no-progress";
// The folder the recorded listing names (the recorder wrote the sandbox home as "~").
const std::string kGlobal = "~/.bun/install/global";

struct BunFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    int invalidations = 0;
    std::unique_ptr<BunManager> manager;

    explicit BunFixture(bool installed = true) {
        if (installed) files.addExecutable(kBun);
        manager = std::make_unique<BunManager>(
            runner, files,
            BunManager::Options{.home = "/home/me", .bunInstall = "/home/me/.bun",
                                .invalidateListings = [this] { ++invalidations; }});
    }
};

std::vector<std::string> names(const std::vector<BunManager::Entry>& entries) {
    std::vector<std::string> result;
    for (const auto& entry : entries) result.push_back(entry.name);
    return result;
}

TEST(BunManagerTest, ListsTheGlobalTreeFromBunsOwnFolder) {
    BunFixture fixture;
    fixture.runner.on(kList, recorded("bun", "list"));
    std::vector<Package> packages = fixture.manager->listInstalled({});
    ASSERT_EQ(packages.size(), 4u);
    EXPECT_EQ(packages[0].name, "@antfu/ni");
    EXPECT_EQ(packages[0].version, "0.21.2");
    EXPECT_EQ(packages[0].type, PackageType::BunGlobal);
    EXPECT_EQ(packages[0].installLocationOverride, kGlobal + "/node_modules/@antfu/ni");
    EXPECT_EQ(packages[3].name, "semver");
    EXPECT_EQ(fixture.manager->globalFolder(), kGlobal);
    // Not on the user's PATH: found in ~/.bun/bin, which comes first on the tool's PATH.
    EXPECT_EQ(fixture.runner.history().back().environment.at("PATH"), "/home/me/.bun/bin:/usr/local/bin:/usr/bin:/bin");

    fixture.runner.on(kList, recorded("bun", "list-empty"));
    EXPECT_TRUE(fixture.manager->listInstalled({}).empty());
    EXPECT_EQ(fixture.manager->errorMessage(), std::nullopt);

    // A damaged row without a name before its at sign lists nothing.
    EXPECT_EQ(names(BunManager::parseInstalled("├──  @1\n└── semver@7.5.4\n").entries),
              (std::vector<std::string>{"semver"}));
}

TEST(BunManagerTest, OutdatedRunsInsideTheGlobalFolder) {
    BunFixture fixture;
    fixture.runner.on(kList, recorded("bun", "list"));
    fixture.runner.on(kOutdated, recorded("bun", "outdated"));
    fixture.files.addFile(kGlobal + "/package.json", "{}");
    fixture.manager->listInstalled({});
    std::vector<Package> outdated = fixture.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 3u);
    EXPECT_EQ(outdated[0].name, "@antfu/ni");
    EXPECT_EQ(outdated[0].latestVersion, "30.6.0");
    EXPECT_EQ(outdated[0].installLocationOverride, kGlobal + "/node_modules/@antfu/ni");
    EXPECT_EQ(outdated[2].name, "semver");
    EXPECT_EQ(outdated[2].version, "7.5.0");
    EXPECT_EQ(fixture.runner.history().back().currentDirectory, kGlobal);

    // Without a global manifest nothing was ever installed: bun is not even asked (it would
    // fail, as recorded outside a project).
    BunFixture fresh;
    EXPECT_TRUE(fresh.manager->checkOutdated({}).empty());
    EXPECT_EQ(fresh.manager->errorMessage(), std::nullopt);
    // Finding bun on the user's PATH may ask `which`; bun itself is never run.
    for (const CommandRequest& request : fresh.runner.history()) {
        EXPECT_FALSE(request.command.ends_with("/bun")) << request.command;
    }

    // A project with a dev and an optional dependency: the rows read "is-odd (dev)".
    std::vector<BunManager::Entry> project =
        BunManager::parseOutdated(jstest::recording("bun", "outdated-project").standardOutput);
    EXPECT_EQ(names(project), (std::vector<std::string>{"left-pad", "is-odd", "semver"}));
    EXPECT_EQ(project[1].version, "2.0.0");
    EXPECT_EQ(project[1].latest, "3.0.1");
    std::vector<BunManager::Entry> dev = BunManager::parseOutdated(
        "| Package   | Current | Update | Latest |\n|-----|-----|-----|-----|\n| foo (dev) | 1.0.0 | 1.0.0 | 2.0.0 |\n"
        "| @scope/bar (peer) | 0.1.0 | 0.1.0 | 0.2.0 |\n| (optional) | 6.5.0 | 7.5.0 | 7.8.6 |\n");
    ASSERT_EQ(dev.size(), 2u);
    EXPECT_EQ(dev[0].name, "foo");
    EXPECT_EQ(dev[1].name, "@scope/bar");
    EXPECT_EQ(dev[1].latest, "0.2.0");
}

TEST(BunManagerTest, MissingOrFailingBunIsPublishedNotThrown) {
    BunFixture missing(false);
    EXPECT_TRUE(missing.manager->listInstalled({}).empty());
    EXPECT_EQ(missing.manager->errorMessage(), "Bun not found");
    EXPECT_TRUE(missing.manager->checkOutdated({}).empty());
    EXPECT_EQ(missing.manager->errorMessage(), "Bun not found");

    BunFixture fixture;
    fixture.files.addFile("/home/me/.bun/install/global/package.json", "{}");
    fixture.runner.on(kOutdated, recorded("bun", "outdated-unreachable-registry"));
    EXPECT_TRUE(fixture.manager->checkOutdated({}).empty());
    // Every "error:" line (bun prints them in the order its requests fail).
    const std::string message = fixture.manager->errorMessage().value_or("");
    EXPECT_TRUE(startsWith(message, "ConnectionRefused downloading package manifest ")) << message;
    EXPECT_TRUE(contains(message, "; ConnectionRefused downloading package manifest ")) << message;

    fixture.runner.on(kList, Response::failure(1, "error: lockfile is corrupt\n"));
    EXPECT_TRUE(fixture.manager->listInstalled({}).empty());
    EXPECT_EQ(fixture.manager->errorMessage(), "lockfile is corrupt");

    fixture.runner.on(kList, Response::output("").after(std::chrono::seconds(30)));
    std::stop_source stop;
    std::jthread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.request_stop();
    });
    EXPECT_THROW(fixture.manager->listInstalled(stop.get_token()), CancellationError);
}

TEST(BunManagerTest, UpdateAddsTheVersionShownGlobally) {
    BunFixture fixture;
    const std::string pinned = kBun + " add -g left-pad@1.3.0";
    fixture.runner.on(pinned, recorded("bun", "add-latest"));
    fixture.manager->update(
        Package{.name = "left-pad", .version = "1.1.0", .type = PackageType::BunGlobal, .latestVersion = "1.3.0"}, {});
    EXPECT_TRUE(fixture.runner.ran(pinned));
    // Without a version shown, Bun's own latest.
    const std::string add = kBun + " add -g left-pad@latest";
    fixture.runner.on(add, recorded("bun", "add-latest"));
    fixture.manager->update(Package{.name = "left-pad", .version = "1.1.0", .type = PackageType::BunGlobal}, {});
    EXPECT_TRUE(fixture.runner.ran(add));
    EXPECT_EQ(fixture.invalidations, 2);

    fixture.runner.on(add, Response::failure(1, "error: GET <registry>/left-pad - 404\n"));
    EXPECT_TRUE(contains(testing::thrown<CommandError>([&] {
                             fixture.manager->update(Package{.name = "left-pad", .type = PackageType::BunGlobal}, {});
                         }).value().description(),
                         "GET <registry>/left-pad - 404"));
    EXPECT_THROW(fixture.manager->update(Package{.name = "../evil", .type = PackageType::BunGlobal}, {}),
                 std::invalid_argument);
}

}  // namespace
}  // namespace vt

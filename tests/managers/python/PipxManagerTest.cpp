#include "managers/python/PipxManager.hpp"

#include <algorithm>

#include <gtest/gtest.h>

#include "base/Paths.hpp"

#include "PipTestSupport.hpp"
#include "managers/python/PipError.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/RecordingFileSystem.hpp"
#include "system/Endpoints.hpp"

namespace vt {
namespace {

using piptest::fixture;
using Response = testing::FakeCommandRunner::Response;

const std::string kPipx = "/usr/bin/pipx";

struct PipxFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    std::unique_ptr<PipxManager> manager;

    explicit PipxFixture(bool applications = true) {
        files.addExecutable(kPipx);
        if (applications) files.addDirectory(paths::home() + "/.local/pipx/venvs/black");
        manager = std::make_unique<PipxManager>(runner, files, PipxManager::Options{.network = &network});
    }
    static std::string pypi(const std::string& name) {
        return Endpoints::url(Service::PyPI, "/pypi/" + name + "/json");
    }
};

TEST(PipxManagerTest, ListsApplicationsAndComparesRegistryInstallsWithPyPI) {
    PipxFixture f;
    f.runner.on(kPipx + " list --json", Response::output(fixture("pipx", "list.json")));
    f.network.setText(PipxFixture::pypi("vt-demo"),
                      R"({"info": {"name": "vt-demo", "version": "1.1.0"}, "releases": {}})");
    f.network.setResponse(PipxFixture::pypi("other-tool"), HttpResponse{.statusCode = 404, .body = "Not Found"});

    ASSERT_EQ(f.manager->listInstalled({}).size(), 2u);
    std::vector<Package> outdated = f.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].name, "vt-demo");
    EXPECT_EQ(outdated[0].latestVersion, "1.1.0");
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);
    // The registry conventions: our user agent.
    std::vector<HttpRequest> sent = f.network.sentRequests();
    ASSERT_EQ(sent.size(), 2u);
    for (const HttpRequest& request : sent) {
        EXPECT_EQ(request.headers.get("User-Agent"), kDefaultUserAgent);
    }

    // Installed from a wheel file: PyPI says nothing about it. A suffixed install keeps its
    // own name for pipx.
    f.runner.on(kPipx + " list --json", Response::output(fixture("pipx", "list-path-and-suffix.json")));
    f.network.setText(PipxFixture::pypi("other-tool"), R"({"info": {"version": "9.0"}})");
    f.network.setText(PipxFixture::pypi("vt-demo"), R"({"info": {"version": "2.0.0"}})");
    std::vector<Package> installed = f.manager->listInstalled({});
    ASSERT_EQ(installed.size(), 2u);
    EXPECT_EQ(installed[1].sourceIdentifier, "vt-demo-2");
    outdated = f.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].name, "vt-demo");
    EXPECT_EQ(outdated[0].latestVersion, "2.0.0");
    EXPECT_EQ(f.network.fetchCount(PipxFixture::pypi("other-tool")), 1u);

    auto from = [](std::string source) {
        return PipxManager::isFromRegistry({.venv = "x", .package = "x", .version = "1", .source = std::move(source)});
    };
    for (const char* source : {"black", "black==24.1.0", "black[d]>=23"}) EXPECT_TRUE(from(source)) << source;
    for (const char* source : {"/home/user/wheels/other_tool-0.3.1-py3-none-any.whl", "git+https://github.com/psf/black",
                               "black @ https://example.com/black.tar.gz", "./black"}) {
        EXPECT_FALSE(from(source)) << source;
    }
    EXPECT_EQ(PipxManager::latestVersionOf(Json::parse(R"({"info": {"version": " 3.2 "}})")), "3.2");
    EXPECT_EQ(PipxManager::latestVersionOf(Json::parse(R"({"info": {}})")), std::nullopt);
    EXPECT_EQ(PipxManager::latestVersionOf(Json::parse(R"({"message": "Not Found"})")), std::nullopt);
}

TEST(PipxManagerTest, ReportsAListingPipxCouldNotGiveAndUpgradesByThePipxName) {
    PipxFixture f;
    f.runner.on(kPipx + " list --json", Response::output(fixture("pipx", "list-empty.json")));
    EXPECT_TRUE(f.manager->listInstalled({}).empty());
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);

    // An old pipx without --json prints its usage and exits 2.
    f.runner.on(kPipx + " list --json", Response::failure(2, "pipx list: error: unrecognized arguments: --json\n"));
    EXPECT_TRUE(f.manager->listInstalled({}).empty());
    EXPECT_TRUE(contains(f.manager->errorMessage().value_or(""), "unrecognized arguments: --json"));

    // Without an application folder pipx is not even asked: it could only say "nothing".
    PipxFixture none(false);
    none.runner.on(kPipx + " list --json", Response::failure(2, "must not run\n"));
    EXPECT_TRUE(none.manager->listInstalled({}).empty());
    EXPECT_EQ(none.manager->errorMessage(), std::nullopt);

    // A plain upgrade runs in the host test with the real pipx; a suffixed install goes by its own name.
    f.runner.on(kPipx + " upgrade vt-demo-2", Response::output("upgraded package vt-demo from 1.1.0 to 2.0.0\n"));
    f.manager->update(
        Package{
            .name = "vt-demo", .version = "1.1.0", .type = PackageType::PipxPackage, .sourceIdentifier = "vt-demo-2"},
        {});
    EXPECT_EQ(f.runner.commandLines().back(), kPipx + " upgrade vt-demo-2");

    f.runner.on(kPipx + " upgrade not-installed", Response::failure(1, fixture("pipx", "upgrade-missing.stderr")));
    const Package missing{.name = "not-installed", .version = "1", .type = PackageType::PipxPackage};
    EXPECT_TRUE(contains(testing::thrown<CommandError>([&] { f.manager->update(missing, {}); }).value().description(),
                         "Package is not installed"));
    EXPECT_THROW(f.manager->update(Package{.name = "--force", .version = "1", .type = PackageType::PipxPackage}, {}),
                 PipError);
    EXPECT_EQ(f.runner.count(kPipx + " upgrade --force"), 0u);
}

}  // namespace
}  // namespace vt

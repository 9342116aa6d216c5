// GitHub CLI extensions over a recorded `gh extension list`, their folders in a sandboxed
// data folder, and GitHub's releases API on loopback.
#include "managers/extensions/GhExtensionManager.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "managers/extensions/GhExtensionError.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

const std::string kGh = "/usr/bin/gh";

// gh 2.23's `gh extension list` when not on a terminal: tab-separated, an empty repository and
// version for a local extension.
const std::string kList = "gh bin\tacme/gh-bin\tv1.0.0\ngh held\tacme/gh-held\tv0.9.0\ngh mine\t\t\n"
                          "gh --exec\tacme/gh-x\tv1\nnot an extension line\n";

class GhExtensionManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string extensions = data_.file("gh/extensions");
        data_.write("gh/extensions/gh-bin/manifest.yml",
                    "owner: acme\nname: gh-bin\nhost: github.com\ntag: v1.0.0\nispinned: false\npath: gh-bin\n");
        data_.write("gh/extensions/gh-held/manifest.yml",
                    "owner: acme\nname: gh-held\nhost: github.com\ntag: v0.9.0\nispinned: true\npath: gh-held\n");
        data_.write("elsewhere/gh-mine/gh-mine", "#!/bin/sh\n");
        std::filesystem::create_symlink(data_.file("elsewhere/gh-mine"), extensions + "/gh-mine");
        github_.setRoute("/repos/acme/gh-bin/releases/latest", {.body = R"({"tag_name": "v1.1.0"})"});
        github_.setRoute("/repos/acme/gh-held/releases/latest", {.body = R"({"tag_name": "v2.0.0"})"});
        runner_.on(kGh + " extension list", Response::output(kList));
    }

    testing::TempDir data_{"vt-gh-data"};
    testing::LoopbackServer github_;
    testing::ScopedEnvironment api_{"VANTREEL_ENDPOINT_GITHUB_API", github_.origin().c_str()};
    testing::ScopedEnvironment token_{"GH_TOKEN", "sandbox"};
    testing::FakeCommandRunner runner_;
    SystemFileSystemManager files_;
    SystemNetworkClient network_;
    GhExtensionManager manager_{runner_, files_,
                                {.environment = {{"XDG_DATA_HOME", data_.path()}}, .home = data_.path(),
                                 .network = &network_}};
};

TEST_F(GhExtensionManagerTest, ListsEveryKindOffersOnlyANewerReleaseOfAnUnpinnedBinaryAndUpgradesItByName) {
    std::vector<Package> installed = manager_.listInstalled({});
    ASSERT_EQ(installed.size(), 3u) << "a name gh would read as an option is not listed";
    EXPECT_EQ(installed[0].name, "bin");
    EXPECT_EQ(installed[0].version, "v1.0.0");
    EXPECT_EQ(installed[0].sourceIdentifier, "acme/gh-bin");
    EXPECT_TRUE(installed[1].isPinned);
    EXPECT_EQ(installed[2].name, "mine");
    EXPECT_EQ(installed[2].version, "local");

    std::vector<Package> outdated = manager_.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u) << "pinned and local extensions are never offered";
    EXPECT_EQ(outdated[0].name, "bin");
    EXPECT_EQ(outdated[0].latestVersion, "v1.1.0");
    EXPECT_EQ(github_.requestCount("/repos/acme/gh-held/releases/latest"), 0u);

    // Upgraded by name; pinned, local and hostile ones are refused before any command.
    Package bin = installed[0];
    bin.latestVersion = "v1.1.0";
    runner_.on(kGh + " extension list", Response::output("gh bin\tacme/gh-bin\tv1.1.0\n"));
    runner_.on(kGh + " extension upgrade bin", Response::output(""));
    manager_.update(bin, {});
    EXPECT_TRUE(runner_.ran(kGh + " extension upgrade bin"));

    // gh said it upgraded, the listing says otherwise.
    runner_.on(kGh + " extension list", Response::output(kList));
    EXPECT_EQ(testing::thrown<GhExtensionError>([&] { manager_.update(bin, {}); }).value().kind(),
              GhExtensionErrorKind::VersionUnchanged);

    const std::size_t upgrades = runner_.count(kGh + " extension upgrade bin");
    struct Case { std::string name; GhExtensionErrorKind kind; };
    for (const Case& c : {Case{"held", GhExtensionErrorKind::Pinned}, Case{"mine", GhExtensionErrorKind::LocalExtension},
                          Case{"--all", GhExtensionErrorKind::InvalidName},
                          Case{"bin;id", GhExtensionErrorKind::InvalidName}}) {
        Package target = bin;
        target.name = c.name;
        target.isPinned = false;  // the folder says it, whatever the row carries
        EXPECT_EQ(testing::thrown<GhExtensionError>([&] { manager_.update(target, {}); }).value().kind(), c.kind) << c.name;
    }
    for (const std::string& line : runner_.commandLines()) {
        EXPECT_EQ(line.find("upgrade") != std::string::npos && line != kGh + " extension upgrade bin", false) << line;
    }
    EXPECT_EQ(runner_.count(kGh + " extension upgrade bin"), upgrades);

    // gh itself failing (no token, say) is the source's failure, said with gh's words.
    runner_.on(kGh + " extension list",
               Response::failure(4, "To get started with GitHub CLI, please run:  gh auth login\n"));
    EXPECT_TRUE(manager_.listInstalled({}).empty());
    EXPECT_NE(manager_.errorMessage().value_or("").find("gh auth login"), std::string::npos);

    // Without any extension installed there is nothing to list, logged in or not: no failure.
    std::filesystem::remove_all(data_.file("gh/extensions"));
    const std::size_t asked = runner_.count(kGh + " extension list");
    EXPECT_TRUE(manager_.listInstalled({}).empty());
    EXPECT_FALSE(manager_.errorMessage().has_value()) << *manager_.errorMessage();
    EXPECT_EQ(runner_.count(kGh + " extension list"), asked);
}

}  // namespace
}  // namespace vt

// The AI coding assistant's binary, marketplaces, plugins and skills, read from a settings
// folder in a sandboxed home: real git clones of local repositories, a stand-in for the
// assistant's command, its release channel on loopback.
#include "managers/extensions/AiAssistantManager.hpp"

#include <fstream>

#include <gtest/gtest.h>

#include "managers/extensions/AiAssistantError.hpp"
#include "support/Thrown.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

const Package* named(const std::vector<Package>& packages, const std::string& name, PackageType type) {
    for (const Package& package : packages) {
        if (package.name == name && package.type == type) return &package;
    }
    return nullptr;
}

std::string names(const std::vector<Package>& packages) {
    std::string text;
    for (const Package& package : packages) text += package.name + " " + package.latestVersion.value_or("-") + "; ";
    return text;
}

class AiAssistantIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SystemFileSystemManager().isExecutableFile("/usr/bin/git")) GTEST_SKIP() << "git is not installed";
        releases_.setRoute("/releases/stable", {.body = "1.0.99\n", .contentType = "text/plain"});
        // The assistant's own commands are recorded; `--version` answers as the real one does.
        home_.writeExecutable(".local/bin/claude", "#!/bin/sh\nif [ \"$1\" = --version ]; then echo '1.0.98 (Claude Code)';"
                                                   " else echo \"$@\" >> " + home_.file("claude.log") + "; fi\n");
        const std::string marketplace = home_.file(".claude/plugins/marketplaces/team-tools");
        repository("team-tools", ".claude-plugin/marketplace.json",
                   R"({"name": "team-tools", "plugins": [{"name": "formatter", "version": "1.2.0"}]})");
        git({"clone", "-q", sandbox_.file("team-tools.git"), marketplace});
        home_.write(".claude/plugins/known_marketplaces.json",
                    R"({"team-tools": {"source": {"source": "git", "url": "x"}, "installLocation": ")" + marketplace +
                        R"("}, "--evil": {"installLocation": "/"}})");
        home_.write(".claude/plugins/installed_plugins.json",
                    R"({"version": 2, "plugins": {"formatter@team-tools": [{"scope": "user", "version": "1.1.0"}],)"
                    R"( "linter@elsewhere": [{"version": "0.3.0"}]}})");
        repository("review", "SKILL.md", "---\nname: review\n---\nReview the change.\n");
        git({"clone", "-q", sandbox_.file("review.git"), home_.file(".claude/skills/review")});
        home_.write(".claude/skills/notes/SKILL.md", "---\nname: notes\nversion: \"2.0\"\n---\nTake notes.\n");
    }

    void git(std::vector<std::string> arguments, const std::string& folder = "/tmp") const {
        CommandRequest request{.command = "/usr/bin/git", .arguments = std::move(arguments),
                               .environment = {{"GIT_AUTHOR_NAME", "Van Treel"}, {"GIT_COMMITTER_NAME", "Van Treel"},
                                               {"GIT_AUTHOR_EMAIL", "tests@example.com"},
                                               {"GIT_COMMITTER_EMAIL", "tests@example.com"}},
                               .timeout = 30, .currentDirectory = folder};
        CommandRunner::shared().execute(request);
    }

    // A bare repository NAME.git with one commit of `file`, and a working clone to push more.
    void repository(const std::string& name, const std::string& file, const std::string& contents) const {
        git({"init", "-q", "--bare", "-b", "main", sandbox_.file(name + ".git")});
        git({"clone", "-q", sandbox_.file(name + ".git"), sandbox_.file(name)});
        commit(name, file, contents);
    }

    void commit(const std::string& name, const std::string& file, const std::string& contents) const {
        sandbox_.write(name + "/" + file, contents);
        git({"add", "-A"}, sandbox_.file(name));
        git({"commit", "-q", "-m", "change"}, sandbox_.file(name));
        git({"push", "-q", "origin", "HEAD:main"}, sandbox_.file(name));
    }

    std::string log() const {
        std::ifstream stream(home_.file("claude.log"));
        return {std::istreambuf_iterator<char>(stream), {}};
    }

    testing::TempDir sandbox_{"vt-ai"};
    testing::TempDir home_{"vt-ai-home"};
    testing::LoopbackServer releases_;
    testing::ScopedEnvironment channel_{"VANTREEL_ENDPOINT_CLAUDE_RELEASES",
                                        (releases_.origin() + "/releases").c_str()};
    SystemNetworkClient network_;
    SystemFileSystemManager files_;
    AiAssistantManager manager_{CommandRunner::shared(), files_, {.home = home_.path(), .network = &network_}};
};

TEST_F(AiAssistantIntegrationTest, ListsEveryKindAndOffersWhatMovedUpstream) {
    std::vector<Package> installed = manager_.listInstalled({});
    ASSERT_EQ(installed.size(), 6u) << "a marketplace named like an option is not read";
    ASSERT_TRUE(named(installed, "claude", PackageType::AiAssistant));
    EXPECT_EQ(named(installed, "claude", PackageType::AiAssistant)->version, "1.0.98");
    ASSERT_TRUE(named(installed, "team-tools", PackageType::AiMarketplace));
    EXPECT_EQ(named(installed, "team-tools", PackageType::AiMarketplace)->version.size(), 8u);
    ASSERT_TRUE(named(installed, "formatter@team-tools", PackageType::AiPlugin));
    EXPECT_EQ(named(installed, "formatter@team-tools", PackageType::AiPlugin)->version, "1.1.0");
    ASSERT_TRUE(named(installed, "notes", PackageType::AiSkill));
    EXPECT_EQ(named(installed, "notes", PackageType::AiSkill)->version, "2.0");
    ASSERT_TRUE(named(installed, "review", PackageType::AiSkill));
    const std::string reviewed = named(installed, "review", PackageType::AiSkill)->version;

    // Nothing moved upstream yet: the binary and the plugin only.
    std::vector<Package> outdated = manager_.checkOutdated({});
    ASSERT_EQ(outdated.size(), 2u) << names(outdated) << manager_.errorMessage().value_or("");
    EXPECT_EQ(named(outdated, "claude", PackageType::AiAssistant)->latestVersion, "1.0.99");
    EXPECT_EQ(named(outdated, "formatter@team-tools", PackageType::AiPlugin)->latestVersion, "1.2.0");
    EXPECT_FALSE(manager_.errorMessage().has_value());

    commit("team-tools", "README.md", "more\n");
    commit("review", "SKILL.md", "---\nname: review\n---\nReview the change, twice.\n");
    outdated = manager_.checkOutdated({});
    ASSERT_EQ(outdated.size(), 4u) << names(outdated) << manager_.errorMessage().value_or("");
    ASSERT_TRUE(named(outdated, "team-tools", PackageType::AiMarketplace));
    const Package review = *named(outdated, "review", PackageType::AiSkill);
    EXPECT_EQ(review.version, reviewed);
    EXPECT_NE(review.latestVersion, reviewed);
    EXPECT_FALSE(named(outdated, "notes", PackageType::AiSkill)) << "a plain folder has no upstream";

    // A skill is pulled in its clone; the others go through the assistant's own commands.
    manager_.update(review, {});
    std::vector<Package> after = manager_.listInstalled({});
    EXPECT_EQ(named(after, "review", PackageType::AiSkill)->version, review.latestVersion);
    manager_.update(*named(outdated, "formatter@team-tools", PackageType::AiPlugin), {});
    manager_.update(*named(outdated, "team-tools", PackageType::AiMarketplace), {});
    EXPECT_EQ(log(), "plugin update formatter@team-tools\nplugin marketplace update team-tools\n");

    const Package notes = *named(installed, "notes", PackageType::AiSkill);
    EXPECT_EQ(testing::thrown<AiAssistantError>([&] { manager_.update(notes, {}); }).value().kind(),
              AiAssistantErrorKind::NotAClone);
    for (const char* hostile : {"--help", "formatter", "a b@c", "@team", "x/../y"}) {
        Package package = *named(installed, "formatter@team-tools", PackageType::AiPlugin);
        package.name = hostile;
        EXPECT_THROW(manager_.update(package, {}), AiAssistantError) << hostile;
    }
    EXPECT_EQ(log(), "plugin update formatter@team-tools\nplugin marketplace update team-tools\n");
}

}  // namespace
}  // namespace vt

// The gems of a Ruby read from the specification folders it names, and their latest versions
// from a gem source's index written by Ruby's own Marshal, served on loopback with an ETag.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Files.hpp"
#include "managers/languages/GemIndex.hpp"
#include "managers/languages/GemManager.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

// Platforms as gem sources name them, around this machine's own; one string object and one
// Gem::Version object stand for several entries, so the dump links back to them.
const char* kIndexScript = R"(
require "rubygems"
out, local, rake = ARGV
pure = "ruby"
shared = Gem::Version.new("2.4.0")
tuples = [
  ["rake", Gem::Version.new("13.0.6"), pure], ["rake", Gem::Version.new(rake), pure],
  ["nokogiri", Gem::Version.new("1.15.0"), pure], ["nokogiri", Gem::Version.new("1.16.0"), local],
  ["nokogiri", Gem::Version.new("1.16.2"), local + "-gnu"], ["nokogiri", Gem::Version.new("1.17.0"), "java"],
  ["nokogiri", Gem::Version.new("1.18.0"), "universal-mingw32"],
  ["sassc", shared, Gem::Platform.new(local)], ["sassc", Gem::Version.new("2.3.0"), pure],
  ["thor", shared, pure], ["zeitwerk", Gem::Version.new("9.9.9"), pure],
]
File.binwrite(out, Gem::Util.gzip(Marshal.dump(tuples)))
)";

std::string specification(const std::string& name, const std::string& version, const std::string& platform) {
    return "# -*- encoding: utf-8 -*-\n# stub: " + name + " " + version + " " + platform +
           " lib\n\nGem::Specification.new do |s|\nend\n";
}

class GemSourceIndexHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists("/usr/bin/ruby")) GTEST_SKIP() << "needs Ruby to write a gem source's index";
        home_.writeExecutable("bin/gem", "");
        // Two gem folders, the second holding default gems and an older rake.
        home_.write("user/specifications/rake-13.0.6.gemspec", specification("rake", "13.0.6", "ruby"));
        home_.write("user/specifications/nokogiri-1.15.4-x86_64-linux.gemspec",
                    specification("nokogiri", "1.15.4", gemindex::localPlatform()));
        home_.write("user/specifications/README", "not a specification");
        home_.write("system/specifications/default/rake-12.3.3.gemspec", specification("rake", "12.3.3", "ruby"));
        home_.write("system/specifications/sassc-2.4.0.gemspec", specification("sassc", "2.4.0", "ruby"));
        runner_.on(gem_ + " env gempath", Response::output(home_.file("user") + ":" + home_.file("system") +
                                                           ":" + home_.file("absent") + "\n"));
        serveIndex("13.2.1", "\"v1\"");
    }

    void serveIndex(const std::string& rake, const std::string& etag) {
        const std::string file = home_.file("index/latest_specs.4.8.gz");
        std::filesystem::create_directories(home_.file("index"));
        CommandRunner().execute(
            {.command = "/usr/bin/ruby", .arguments = {"-e", kIndexScript, file, gemindex::localPlatform(), rake}, .timeout = 60});
        registry_.setRoute("/latest_specs.4.8.gz",
                           {.body = readFile(file).value_or(""), .contentType = "application/octet-stream", .etag = etag});
    }

    std::map<std::string, std::string> outdated() {
        std::map<std::string, std::string> latest;
        for (const Package& package : manager_.checkOutdated({})) latest[package.name] = package.latestVersion.value_or("");
        return latest;
    }

    testing::TempDir home_{"vt-gem-index"};
    const std::string gem_ = home_.file("bin/gem");
    testing::LoopbackServer registry_;
    testing::ScopedEnvironment endpoint_{"VANTREEL_ENDPOINT_RUBYGEMS", registry_.origin().c_str()};
    testing::FakeCommandRunner runner_;
    SystemFileSystemManager files_;
    FakeClock clock_;
    GemManager manager_{runner_, files_,
                        {.clock = &clock_, .home = home_.path(), .cacheFile = home_.file("cache/gem_cache.json"),
                         .gemPaths = std::vector{gem_}}};
};

TEST_F(GemSourceIndexHostTest, GemsAreReadFromTheirSpecificationsAndCheckedAgainstTheIndexRevalidatedByItsETag) {
    std::map<std::string, std::string> installed;
    for (const Package& package : manager_.listInstalled({})) installed[package.name] = package.version;
    EXPECT_EQ(installed, (std::map<std::string, std::string>{{"nokogiri", "1.15.4"}, {"rake", "13.0.6"}, {"sassc", "2.4.0"}}));
    EXPECT_EQ(runner_.commandLines(), std::vector<std::string>{gem_ + " env gempath"});

    // The newest release for this machine: not Java's nor Windows' nokogiri.
    const std::map<std::string, std::string> expected = {{"nokogiri", "1.16.2"}, {"rake", "13.2.1"}};
    EXPECT_EQ(outdated(), expected);
    EXPECT_EQ(registry_.requests().size(), 1u);
    EXPECT_EQ(registry_.requestCount("/api/v1/versions/rake/latest.json"), 0u);

    clock_.advance(std::chrono::minutes(10));
    EXPECT_EQ(outdated(), expected);
    EXPECT_EQ(registry_.requests().size(), 1u) << "asked again within the half hour";

    clock_.advance(std::chrono::minutes(25));
    EXPECT_EQ(outdated(), expected);
    ASSERT_EQ(registry_.requests().size(), 2u);
    EXPECT_EQ(registry_.requests()[1].headers.get("If-None-Match"), "\"v1\"");

    serveIndex("13.3.0", "\"v2\"");
    clock_.advance(std::chrono::minutes(35));
    EXPECT_EQ(outdated()["rake"], "13.3.0");
    // A new manager, as the next run of the program: the index kept on disk answers.
    GemManager next{runner_, files_,
                    {.clock = &clock_, .home = home_.path(), .cacheFile = home_.file("cache/gem_cache.json"),
                     .gemPaths = std::vector{gem_}}};
    next.listInstalled({});
    EXPECT_EQ(next.checkOutdated({}).size(), 2u);
    EXPECT_EQ(registry_.requests().size(), 3u);
}

TEST_F(GemSourceIndexHostTest, WithoutStubsOrIndexTheToolAndTheApiAnswerAndDatesAreAskedOnlyForOutdatedGems) {
    // A specification from before stub lines: only Ruby reads it, so gem lists the gems.
    home_.write("system/specifications/old-1.0.gemspec", "Gem::Specification.new do |s|\nend\n");
    runner_.on(gem_ + " list --local", Response::output("old (1.0)\nrake (13.0.6)\n"));
    std::vector<Package> installed = manager_.listInstalled({});
    EXPECT_EQ(installed.size(), 2u);

    // Dates wanted: the index finds rake outdated, and the API dates only rake.
    registry_.setRoute("/api/v1/versions/rake.json",
                       {.body = R"([{"number":"13.2.1","created_at":"2024-01-02T00:00:00Z","prerelease":false,)"
                                R"("platform":"ruby"}])"});
    manager_.setWantsPublishTimes(true);
    std::vector<Package> outdated = manager_.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "13.2.1");
    EXPECT_EQ(outdated[0].releases.size(), 1u);
    EXPECT_EQ(registry_.requestCount("/api/v1/versions/old.json"), 0u);

    // A source without the index: each gem is asked from the API.
    std::filesystem::remove_all(home_.file("cache"));
    registry_.setRoute("/latest_specs.4.8.gz", {.status = 404});
    registry_.setRoute("/api/v1/versions/old/latest.json", {.body = R"({"version":"1.1"})"});
    manager_.setWantsPublishTimes(false);
    GemManager fresh{runner_, files_,
                     {.clock = &clock_, .home = home_.path(), .cacheFile = home_.file("cache/gem_cache.json"),
                      .gemPaths = std::vector{gem_}}};
    fresh.listInstalled({});
    outdated = fresh.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].name, "old");
    EXPECT_EQ(outdated[0].latestVersion, "1.1");
}

}  // namespace
}  // namespace vt

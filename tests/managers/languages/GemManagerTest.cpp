#include "managers/languages/GemManager.hpp"

#include <gtest/gtest.h>

#include "managers/languages/GemError.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"
#include "system/Endpoints.hpp"

namespace vt {
namespace {

using Response = testing::FakeCommandRunner::Response;

const std::string kSystemGem = "/usr/bin/gem";
const std::string kRbenvGem = "/home/user/.rbenv/shims/gem";

// `gem list --local` of the system Ruby, run with LC_ALL=C: a warning about a gem whose
// extensions were never built comes first, and platform gems carry their platform.
const char* kSystemList = R"(Ignoring debug-1.6.3 because its extensions are not built. Try: gem pristine debug --version 1.6.3

*** LOCAL GEMS ***

bigdecimal (default: 3.1.1)
nokogiri (1.15.4 x86_64-linux, 1.13.10 x86_64-linux)
rake (13.0.6)
)";
// The same gem under rbenv's Ruby, newer there, with a default version beside it.
const char* kRbenvList = "rake (13.1.0, default: 13.0.6)\r\nrspec-core (3.12.2)\r\n";

std::string rubygems(const std::string& name) {
    return Endpoints::url(Service::RubyGems, "/api/v1/versions/" + name + "/latest.json");
}

struct GemFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    testing::TempDir folder{"vt-gem"};
    GemManager manager{runner, files,
                       GemManager::Options{.network = &network, .home = "/home/user",
                                           .cacheFile = folder.file("gem_cache.json"),
                                           .gemPaths = std::vector<std::string>{kSystemGem, kRbenvGem}}};

    GemFixture() {
        files.addExecutable(kSystemGem);
        files.addExecutable(kRbenvGem);
        runner.on(kSystemGem + " list --local", Response::output(kSystemList));
        runner.on(kRbenvGem + " list --local", Response::output(kRbenvList));
        // The system Ruby's gem folder is not ours to write; rbenv's is.
        runner.on(kSystemGem + " environment gemdir", Response::output("/proc/vt-not-writable\n"));
        runner.on(kRbenvGem + " environment gemdir", Response::output(folder.path() + "\n"));
    }
};

TEST(GemManagerTest, GemOfTwoRubiesIsListedOnceAndUpdatedWithTheGemThatReportedIt) {
    GemFixture f;
    std::vector<Package> installed = f.manager.listInstalled({});
    ASSERT_EQ(installed.size(), 4u);
    EXPECT_EQ(installed[1].name, "nokogiri");
    EXPECT_EQ(installed[1].version, "1.15.4");
    EXPECT_EQ(installed[2].name, "rake");
    EXPECT_EQ(installed[2].version, "13.0.6");
    EXPECT_EQ(installed[2].sourceIdentifier, kSystemGem);
    EXPECT_EQ(installed[3].name, "rspec-core");
    EXPECT_EQ(installed[3].sourceIdentifier, kRbenvGem);

    f.network.setText(rubygems("rake"), R"({"version": "13.2.1"})");
    f.network.setText(rubygems("rspec-core"), R"({"version": "3.12.2"})");
    f.network.setText(rubygems("nokogiri"), R"({"version": "unknown"})");
    std::vector<Package> outdated = f.manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "13.2.1");

    // Not writable: a user install of the version shown, and gem's own warning becomes the
    // PATH hint.
    f.runner.on(kSystemGem + " install rake -v 13.2.1 --user-install",
                Response::output("Successfully installed rake-13.2.1\n",
                                 0, "WARNING:  You don't have /home/user/.local/share/gem/ruby/3.1.0/bin in your PATH,\n"
                                    "\t  gem executables will not run.\n"));
    // gem then lists the new version beside the old one.
    std::string updatedList = kSystemList;
    updatedList.replace(updatedList.find("rake (13.0.6)"), 13, "rake (13.2.1, 13.0.6)");
    f.runner.on(kSystemGem + " list --local", Response::output(updatedList));
    f.manager.update(outdated[0], {});
    EXPECT_TRUE(f.runner.ran(kSystemGem + " install rake -v 13.2.1 --user-install"));
    EXPECT_FALSE(f.runner.ran(kRbenvGem + " update rake"));
    f.manager.checkOutdated({});
    EXPECT_NE(f.manager.errorMessage().value_or("").find("Add ~/.local/share/gem/ruby/3.1.0/bin to your PATH."),
              std::string::npos);

    // Writable, and no version known: a plain update with rbenv's gem.
    f.runner.on(kRbenvGem + " update rspec-core", Response::output("Updating installed gems\n"));
    f.manager.update(installed[3], {});
    EXPECT_TRUE(f.runner.ran(kRbenvGem + " update rspec-core"));
}

// Offline, the index's host gives no answer: the API on the same host is not asked gem by
// gem, and the message names the host.
TEST(GemManagerTest, AnIndexOutOfReachAsksNothingMoreOfItsHost) {
    GemFixture f;
    const std::string index = Endpoints::url(Service::RubyGems, "/latest_specs.4.8.gz");
    f.network.setError(index, NetworkError::connectionFailed());
    f.manager.listInstalled({});
    EXPECT_TRUE(f.manager.checkOutdated({}).empty());
    EXPECT_EQ(f.network.fetchedURLs(), std::vector<std::string>{index});
    EXPECT_NE(f.manager.errorMessage().value_or("").find(Endpoints::host(Service::RubyGems)), std::string::npos);
}

TEST(GemManagerTest, KnownGemFailuresAreRecognised) {
    GemFixture f;
    f.manager.listInstalled({});
    Package rspec{.name = "rspec-core", .version = "3.12.2", .type = PackageType::RubyGem,
                  .sourceIdentifier = kRbenvGem};

    f.runner.on(kRbenvGem + " update rspec-core",
                Response::failure(1, "ERROR:  Error installing rspec-core:\n\tERROR: Failed to build gem native extension."
                                     "\nIgnoring bootsnap-1.16.0 because its extensions are not built."));
    EXPECT_EQ(testing::thrown<GemError>([&] { f.manager.update(rspec, {}); }).value().kind(), GemErrorKind::PristineNeeded);

    // gem names the last release for this Ruby: retried with exactly that.
    f.runner.on(kRbenvGem + " update rspec-core",
                Response::failure(1, "ERROR:  Error installing rspec-core:\n\tThe last version of rspec-core (>= 0) to "
                                     "support your Ruby & RubyGems was 3.11.0. Try installing it with `gem install "
                                     "rspec-core -v 3.11.0`\n\trspec-core requires Ruby version >= 3.2."));
    f.runner.on(kRbenvGem + " install rspec-core -v 3.11.0", Response::output("Successfully installed\n"));
    EXPECT_NO_THROW(f.manager.update(rspec, {}));
    EXPECT_TRUE(f.runner.ran(kRbenvGem + " install rspec-core -v 3.11.0"));

    // Names gem would read as options never reach it.
    f.runner.clearHistory();
    Package hostile{.name = "--system", .version = "1", .type = PackageType::RubyGem};
    EXPECT_THROW(f.manager.update(hostile, {}), GemError);
    EXPECT_TRUE(f.runner.commandLines().empty());

    // Every RubyGems release listed, matched to the Ruby through its series.
    const char* search = "\n*** REMOTE GEMS ***\n\nrubygems-update (3.6.2, 3.5.23, 3.5.0, 3.4.22, 3.3.27, 3.0.9, 2.7.11)\n";
    EXPECT_EQ(GemManager::compatibleRubyGemsVersion(search, "3.1.2"), "3.6.2");
    EXPECT_EQ(GemManager::compatibleRubyGemsVersion(search, "3.0.6"), "3.5.23");
    EXPECT_EQ(GemManager::compatibleRubyGemsVersion("rubygems-update (4.0.0)", "3.3.0"), std::nullopt);
    EXPECT_EQ(GemManager::compatibleRubyGemsVersion("", "3.3.0"), std::nullopt);
}

}  // namespace
}  // namespace vt

#include "managers/homebrew/BrewManager.hpp"

#include <gtest/gtest.h>

#include "base/Log.hpp"
#include "BrewTestSupport.hpp"

namespace vt {
namespace {

using brewtest::brew;
using brewtest::BrewFixture;
using brewtest::corpus;
using brewtest::fixture;
using Response = testing::FakeCommandRunner::Response;
using Item = BrewManager::InstalledItem;

const std::string kFormulae = brew("list --formula --versions");
const std::string kCasks = brew("list --cask --versions");
const std::string kCaskTokens = brew("list --cask");
const std::string kCaskDetails = brew("info --json=v2 --installed --cask");

std::string caskDetailsDocument(const std::vector<std::string>& entries) {
    return "{\n  \"formulae\": [],\n  \"casks\": [\n" + join(entries, ",\n") + "\n  ]\n}\n";
}

TEST(BrewManagerInventoryTest, ReadsVersionListingsWithOddSpacing) {
    BrewFixture f;
    f.runner.on(kFormulae, Response::output(fixture("list-formula-versions-odd-spacing.stdout")));

    std::vector<Item> formulae = f.manager->listInstalledFormulae();
    EXPECT_EQ(formulae, (std::vector<Item>{{"python@3.12", {"3.12.2_1", "3.12.3"}},
                                           {"wget", {"1.21.4"}},
                                           {"openssl@3", {"3.2.1", "3.3.0"}},
                                           {"sqlite", {"3.45.3"}}}));
    EXPECT_EQ(f.manager->formulaDiagnostics().duplicatesRemoved, 1);

    std::vector<std::string> warnings;
    EXPECT_EQ(BrewManager::parseVersionListing(corpus("from-brew-specs/list-versions.stdout"), warnings),
              (std::vector<Item>{{"testball", {"0.1"}}, {"local-caffeine", {"1.2.3"}}}));
    EXPECT_TRUE(warnings.empty());

    std::string small = fixture("cask-details-manual.json");
    // One entry of 50 MB among ordinary ones: far beyond any real cask.
    std::string huge = R"({"token": "huge", "caveats": ")" + std::string(50u * 1024 * 1024, 'x') + R"("})";
    std::string other = R"({"token": "after-huge", "auto_updates": true})";
    warnings.clear();
    auto details = BrewManager::parseCaskDetails(caskDetailsDocument({small, huge, other}), warnings);
    EXPECT_EQ(details.size(), 2u);
    EXPECT_TRUE(details.at("little-snitch").manualInstaller);
    EXPECT_TRUE(details.at("after-huge").autoUpdates);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].find("over the limit"), std::string::npos);
    EXPECT_NE(warnings[1].find("Skipping a cask details entry of"), std::string::npos);

    // Cut short: the complete entries before the cut still count.
    std::string document = caskDetailsDocument({small, other, small});
    warnings.clear();
    details = BrewManager::parseCaskDetails(document.substr(0, document.size() - 200), warnings);
    EXPECT_EQ(details.size(), 2u);
    EXPECT_EQ(warnings.size(), 1u);
}

TEST(BrewManagerInventoryTest, RecoversFormulaeFromTheCellarWhenBrewListFails) {
    BrewFixture f;
    f.runner.on(kFormulae, Response::failure(1, "Error: Running Homebrew as root is extremely dangerous"));
    f.files.addDirectory("/opt/homebrew/Cellar/wget/1.21.4");
    f.files.addDirectory("/opt/homebrew/Cellar/node/22.1.0");
    f.files.addDirectory("/opt/homebrew/Cellar/node/22.2.0");
    f.files.addFile("/opt/homebrew/Cellar/.keepme");
    f.files.addDirectory("/opt/homebrew/Cellar/empty");

    std::vector<Item> formulae = f.manager->listInstalledFormulae();
    EXPECT_EQ(formulae, (std::vector<Item>{{"node", {"22.1.0", "22.2.0"}}, {"wget", {"1.21.4"}}}));
    EXPECT_EQ(f.manager->formulaDiagnostics().recoveredFromCellar, (std::vector<std::string>{"node", "wget"}));
}

TEST(BrewManagerInventoryTest, CaskroomDecidesWhatIsReallyInstalled) {
    BrewFixture f;
    f.runner.on(kCasks, Response::output("firefox 120.0.1\nghost 1.0\n"));
    const std::string room = "/opt/homebrew/Caskroom";
    f.files.addDirectory(room + "/firefox/.metadata");
    f.files.addDirectory(room + "/firefox/120.0.1");
    f.files.addDirectory(room + "/ghost/1.0");  // no .metadata: a ghost entry
    f.files.addDirectory(room + "/docker/.metadata");
    f.files.addDirectory(room + "/docker/4.30.0");
    f.files.addDirectory(room + "/docker/4.29.0.upgrading");
    f.files.addDirectory(room + "/slack.upgrading/4.38");

    std::vector<Item> casks = f.manager->listInstalledCasks();
    EXPECT_EQ(casks, (std::vector<Item>{{"firefox", {"120.0.1"}}, {"docker", {"4.30.0"}}}));
    EXPECT_EQ(f.removed, (std::vector<std::string>{room + "/docker/4.29.0.upgrading", room + "/slack.upgrading"}));
    EXPECT_FALSE(f.files.directoryExists(room + "/slack.upgrading"));
}

TEST(BrewManagerInventoryTest, CaskroomAloneWhenTheCaskListingsFail) {
    BrewFixture f;
    f.runner.on(kCasks, Response::failure(1, "Error: something broke"));
    f.runner.on(kCaskTokens, Response::failure(1, "Error: something broke"));
    f.files.addDirectory("/opt/homebrew/Caskroom/iterm2/.metadata");
    f.files.addDirectory("/opt/homebrew/Caskroom/iterm2/3.5.0");
    f.files.addDirectory("/opt/homebrew/Caskroom/foo/1.0");

    EXPECT_EQ(f.manager->listInstalledCasks(), (std::vector<Item>{{"iterm2", {"3.5.0"}}}));
}

TEST(BrewManagerInventoryTest, ListingMarksManualAndSelfUpdatingCasks) {
    const std::string everything = corpus("brew-test-fixtures/cask-everything.json");
    const std::string caffeine = corpus("brew-test-fixtures/cask-caffeine.json");
    BrewFixture f;
    f.runner.on(kFormulae, Response::output("wget 1.21.4\n"));
    f.runner.on(kCasks, Response::output("everything 1.2.3\ncaffeine 1.2.3\nlittle-snitch 5.7.3\n"));
    f.runner.on(kCaskDetails,
                Response::output(caskDetailsDocument({everything, caffeine, fixture("cask-details-manual.json")})));

    std::vector<Package> packages = f.manager->listInstalled({});
    ASSERT_EQ(packages.size(), 4u);
    EXPECT_EQ(packages[0].type, PackageType::BrewFormula);
    EXPECT_EQ(packages[3].name, "little-snitch");
    EXPECT_EQ(packages[3].type, PackageType::BrewCask);
    EXPECT_TRUE(packages[3].requiresManualInstaller);
    EXPECT_EQ(packages[3].tap, "obdev/tap");
    EXPECT_FALSE(packages[1].requiresManualInstaller);  // a script installer is not a manual one
    EXPECT_EQ(f.manager->manualInstallerCasks(), (std::set<std::string>{"little-snitch"}));
    EXPECT_EQ(f.manager->autoUpdatingCasks(), (std::set<std::string>{"everything"}));
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);
    EXPECT_EQ(f.manager->packages(), packages);
    // The flag reaches the records, the outdated ones included.
    EXPECT_TRUE(packages[1].autoUpdates);
    EXPECT_FALSE(packages[2].autoUpdates);
    f.runner.on(brew("update"), Response::output(""));
    f.runner.on(brew("outdated --json=v2 --greedy-auto-updates"),
                Response::output(R"({"formulae": [], "casks": [{"name": "everything", "installed_versions": ["1.2.3"],
                                     "current_version": "1.2.4"}]})"));
    std::vector<Package> outdated = f.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_TRUE(outdated[0].autoUpdates);
}

}  // namespace
}  // namespace vt

#include "managers/BaseManager.hpp"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "managers/ExecutableLocator.hpp"
#include "managers/PackageManager.hpp"
#include "support/Thrown.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/ScopedEnvironment.hpp"

namespace vt {
namespace {

using testing::FakeCommandRunner;
using testing::RecordingFileSystem;
using Response = FakeCommandRunner::Response;

class ToyManager final : public BaseManager {
public:
    ToyManager(CommandRunning& runner, const FileSystemManager& files, std::vector<std::string> executables)
        : BaseManager({"toy", "Toy", std::move(executables), {PackageType::CargoPackage}}, runner, files) {}
    std::vector<Package> listInstalled(std::stop_token) override { return {}; }
    std::vector<Package> checkOutdated(std::stop_token) override { return {}; }
    void update(const Package& package, std::stop_token) override { updated.push_back(package.name); }
    std::vector<std::string> updated;
};

TEST(BaseManagerTest, DiscoveryFallsBackToCandidateFoldersInOrder) {
    testing::ScopedEnvironment path("PATH", "/home/u/bin");
    FakeCommandRunner runner;
    RecordingFileSystem files;
    files.addExecutable("/usr/bin/toy");
    files.addExecutable("/bin/toy");
    ToyManager manager(runner, files, {"toy"});
    EXPECT_TRUE(manager.discover());
    EXPECT_EQ(manager.binaryPath(), "/usr/bin/toy");
    // The PATH, then the earlier candidates, in order; no process started to ask.
    auto history = files.operationHistory();
    std::vector<std::string> asked(history.begin(), history.begin() + 4);
    EXPECT_EQ(asked, (std::vector<std::string>{"isExecutableFile:/home/u/bin/toy",
                                               "isExecutableFile:/opt/homebrew/bin/toy",
                                               "isExecutableFile:/usr/local/bin/toy",
                                               "isExecutableFile:/usr/bin/toy"}));
    EXPECT_TRUE(runner.history().empty());
    // Cached from now on, even for callers arriving together.
    std::vector<std::jthread> callers;
    std::atomic<int> found{0};
    for (int i = 0; i < 8; ++i) callers.emplace_back([&] { found += manager.discover() ? 1 : 0; });
    callers.clear();
    EXPECT_EQ(found.load(), 8);
    EXPECT_EQ(files.operationHistory().size(), history.size());

    RecordingFileSystem empty;
    ToyManager missing(runner, empty, {"toy"});
    EXPECT_FALSE(missing.discover());
    EXPECT_EQ(missing.binaryPath(), "");
}

// The user's PATH is searched first, for every name, before the installer's folders and
// then the standard ones: the pip the user's shell runs wins over the system's pip3. On the
// PATH only an executable regular file counts, as for `which`.
TEST(BaseManagerTest, TheUsersPathComesFirstThenTheInstallersFoldersThenTheStandardOnes) {
    testing::ScopedEnvironment path("PATH", "/home/u/.pyenv/shims:relative/bin::/opt/py/bin/:/usr/local/bin");
    FakeCommandRunner runner;
    RecordingFileSystem files;
    files.addFile("/home/u/.pyenv/shims/pip3");  // not executable
    files.addDirectory("/opt/py/bin/pip3");
    files.addExecutable("/usr/local/bin/pip");
    files.addExecutable("/usr/bin/pip3");
    files.addExecutable("relative/bin/pip3");
    ToyManager manager(runner, files, {"pip3", "pip"});
    EXPECT_TRUE(manager.discover());
    EXPECT_EQ(manager.binaryPath(), "/usr/local/bin/pip");
    EXPECT_EQ(ExecutableLocator::originOf("/usr/local/bin/pip"), ExecutableOrigin::SearchPath);
    // Relative entries would depend on our working folder: left out.
    for (const std::string& operation : files.operationHistory()) EXPECT_EQ(operation.find("relative"), std::string::npos);

    RecordingFileSystem installed;
    installed.addExecutable("/usr/local/bin/toy");
    installed.addExecutable("/home/u/.toy/bin/toy");
    testing::ScopedEnvironment elsewhere("PATH", "/home/u/.pyenv/shims");
    const ExecutableLocator locator(installed);
    EXPECT_EQ(locator.locate("toy", {}, {"/home/u/.toy/bin/"}), "/home/u/.toy/bin/toy");
    EXPECT_EQ(locator.locate("toy"), "/usr/local/bin/toy");
    EXPECT_EQ(ExecutableLocator::originOf("/home/u/.toy/bin/toy"), ExecutableOrigin::InstallerFolder);
    EXPECT_EQ(ExecutableLocator::originOf("/usr/local/bin/toy"), ExecutableOrigin::StandardFolder);
}

// The package manager over one toy source of these kinds; `toy` and `made` follow its adapter.
struct FacadeFixture {
    explicit FacadeFixture(std::vector<PackageType> types)
        : facade({{.id = "toy",
                   .types = std::move(types),
                   .make = [this](CommandRunning& r, const FileSystemManager& f) -> std::unique_ptr<BaseManager> {
                       ++made;
                       auto adapter = std::make_unique<ToyManager>(r, f, std::vector<std::string>{"toy"});
                       toy = adapter.get();
                       return adapter;
                   }}},
                 runner, files) {}
    FakeCommandRunner runner;
    RecordingFileSystem files;
    int made = 0;
    ToyManager* toy = nullptr;
    PackageManager facade;
};

TEST(PackageManagerTest, CreatesAdaptersLazilyAndRoutesUpdatesByKind) {
    FacadeFixture f({PackageType::CargoPackage});
    PackageManager& facade = f.facade;
    int& made = f.made;
    EXPECT_EQ(made, 0);
    std::vector<std::string> handled;
    facade.setUpdateHandler(PackageType::RubyGem,
                            [&](const Package& package, std::stop_token) { handled.push_back(package.name); });

    Package crate;
    crate.name = "ripgrep";
    crate.type = PackageType::CargoPackage;
    facade.updatePackage(crate, {});
    Package gem = crate;
    gem.name = "rails";
    gem.type = PackageType::RubyGem;
    facade.updatePackage(gem, {});
    EXPECT_EQ(made, 1);
    ASSERT_NE(f.toy, nullptr);
    EXPECT_EQ(f.toy->updated, std::vector<std::string>{"ripgrep"});
    EXPECT_EQ(handled, std::vector<std::string>{"rails"});
    EXPECT_EQ(facade.adapter("toy"), facade.adapterFor(PackageType::CargoPackage));
    EXPECT_EQ(made, 1);

    Package orphan = crate;
    orphan.type = PackageType::NixPackage;
    EXPECT_THROW(facade.updatePackage(orphan, {}), std::invalid_argument);
    EXPECT_EQ(facade.activeUpdateCount(), 0);
}

// Names read from tool output or saved files reach no update command unless they are names.
TEST(PackageManagerTest, RefusesNamesThatAToolWouldReadAsOptionsOrPaths) {
    FacadeFixture f({PackageType::BrewFormula, PackageType::NpmGlobal, PackageType::ComposerPackage});
    PackageManager& facade = f.facade;
    ToyManager*& toy = f.toy;
    auto named = [](std::string name, PackageType type, std::optional<std::string> tap = std::nullopt) {
        return Package{.name = std::move(name), .type = type, .tap = std::move(tap)};
    };
    for (const Package& bad : {named("--force", PackageType::BrewFormula), named("../../etc", PackageType::BrewFormula),
                               named("a/b", PackageType::BrewFormula), named("a\\b", PackageType::BrewFormula),
                               named("wget\n", PackageType::BrewFormula), named("..", PackageType::BrewFormula),
                               named("@scope/-x", PackageType::NpmGlobal), named("@a/b/c", PackageType::NpmGlobal),
                               named("vendor/../x", PackageType::ComposerPackage),
                               named("/x", PackageType::ComposerPackage), named("a/b/c", PackageType::ComposerPackage),
                               named("wget", PackageType::BrewFormula, "--debug/tap")}) {
        const auto refused = testing::thrown<InvalidPackageNameError>([&] { facade.updatePackage(bad, {}); });
        EXPECT_NE(std::string(refused.value().what()).find("Refusing to update"), std::string::npos) << bad.name;
    }
    EXPECT_TRUE(toy == nullptr || toy->updated.empty());
    facade.updatePackage(named("@scope/name", PackageType::NpmGlobal), {});
    facade.updatePackage(named("wget", PackageType::BrewFormula, "user/tap"), {});
    // Composer names are "vendor/name".
    facade.updatePackage(named("friendsofphp/php-cs-fixer", PackageType::ComposerPackage), {});
    ASSERT_NE(toy, nullptr);
    EXPECT_EQ(toy->updated, (std::vector<std::string>{"@scope/name", "wget", "friendsofphp/php-cs-fixer"}));
    EXPECT_TRUE(f.runner.history().empty());
}

}  // namespace
}  // namespace vt

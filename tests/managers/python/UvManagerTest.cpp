#include "managers/python/UvManager.hpp"

#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "managers/python/UvError.hpp"
#include "support/Thrown.hpp"
#include "support/BuildPaths.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/Fixtures.hpp"
#include "support/MockNetworkClient.hpp"
#include "support/RecordingFileSystem.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using testing::find;
using Response = testing::FakeCommandRunner::Response;

const std::string kHome = "/home/user";
const std::string kUv = kHome + "/.local/bin/uv";
const std::string kList = kUv + " tool list";

// A fixture file; `withoutHeader` drops its first line, which says what it was modelled on.
std::string fixture(const std::string& name, bool withoutHeader = true) {
    return withoutHeader ? testing::fixture("uv", name) : readFile(testing::fixturePath("uv", name)).value();
}

// Four tools: black from PyPI, httpie from a pinned Git tag, localtool from a folder, ruff
// from a wheel URL, and v2-cli from PyPI (its receipt names a mirror index).
struct UvFixture {
    testing::FakeCommandRunner runner;
    testing::RecordingFileSystem files;
    testing::MockNetworkClient network;
    testing::TempDir cacheFolder{"vt-uv-cache"};
    FakeClock clock;
    std::unique_ptr<UvManager> manager;

    UvFixture() {
        files.addExecutable(kUv);
        files.addExecutable(kHome + "/.cargo/bin/uv");  // a later candidate: never chosen
        runner.on(kList, Response::output(fixture("tool-list.stdout")));
        addReceipt("black", "receipt-registry.toml");
        addReceipt("httpie", "receipt-git.toml");
        addReceipt("localtool", "receipt-directory.toml");
        addReceipt("ruff", "receipt-url.toml");
        addReceipt("v2-cli", "receipt-registry-with-index.toml");
        manager = make();
    }

    std::unique_ptr<UvManager> make() {
        return std::make_unique<UvManager>(runner, files,
                                           UvManager::Options{.clock = &clock, .network = &network, .home = kHome,
                                                              .cacheFile = cacheFolder.file("uv_cache.json")});
    }

    void addReceipt(const std::string& tool, const std::string& name) {
        files.addFile(kHome + "/.local/share/uv/tools/" + tool + "/uv-receipt.toml", fixture(name, false));
    }
};

TEST(UvManagerTest, ListsToolsWithTheirSourcesAndNotes) {
    EXPECT_EQ(UvManager::parseToolList(fixture("tool-list.stdout")),
              (std::vector<UvManager::Tool>{{"black", "24.2.0"}, {"httpie", "3.2.2"}, {"localtool", "0.1.0.dev3"},
                                            {"ruff", "0.3.0"}, {"v2-cli", "1.4.0"}}));
    // "- v2" is an executable, not a tool named "-" at version 2; paths and warnings are not tools.
    EXPECT_TRUE(UvManager::parseToolList("- v2\n  - /home/user/.local/bin/v2\nNo tools installed\n"
                                         "warning: Ignoring malformed tool `broken`\n")
                    .empty());
    UvFixture f;
    std::vector<Package> packages = f.manager->listInstalled({});
    ASSERT_EQ(packages.size(), 5u);
    EXPECT_EQ(f.manager->binaryPath(), kUv);
    EXPECT_FALSE(f.manager->errorMessage());

    const Package* black = find(packages, "black");
    ASSERT_NE(black, nullptr);
    EXPECT_EQ(black->type, PackageType::UvTool);
    EXPECT_EQ(black->version, "24.2.0");
    EXPECT_EQ(black->sourceIdentifier, "pypi");
    EXPECT_FALSE(black->description);

    const Package* httpie = find(packages, "httpie");
    ASSERT_NE(httpie, nullptr);
    EXPECT_EQ(httpie->description,
              "httpie was installed with uv from a pinned Git source. Van Treel does not compare this "
              "installation with PyPI.");
    EXPECT_EQ(httpie->sourceIdentifier, "git+https://github.com/httpie/cli?tag=3.2.2");
    EXPECT_TRUE(find(packages, "localtool")->description.has_value());
    EXPECT_TRUE(find(packages, "ruff")->description.has_value());

    // A tool whose receipt is missing is still listed, as a registry install.
    f.files.remove(kHome + "/.local/share/uv/tools/black");
    packages = f.manager->listInstalled({});
    EXPECT_EQ(find(packages, "black")->sourceIdentifier, "pypi");
    EXPECT_EQ(packages.size(), 5u);

    struct Case { std::string file; std::string name; UvReceipt::SourceKind kind; std::string identifier; };
    using Kind = UvReceipt::SourceKind;
    for (const Case& c : std::vector<Case>{
             {"receipt-registry.toml", "black", Kind::Registry, "pypi"},
             {"receipt-git.toml", "httpie", Kind::Git, "git+https://github.com/httpie/cli?tag=3.2.2"},
             {"receipt-directory.toml", "localtool", Kind::LocalPath, "/home/user/src/localtool"},
             {"receipt-url.toml", "ruff", Kind::DirectURL, "https://files.example.org/ruff-0.3.0-py3-none-any.whl"},
             // A commented-out source and an index `url` under [tool.options] are not the tool's.
             {"receipt-registry-with-index.toml", "v2-cli", Kind::Registry, "pypi"},
             {"receipt-legacy-string.toml", "black", Kind::LocalPath, "file:///home/user/src/black_editable"},
         }) {
        UvReceipt receipt = UvReceipt::parse(fixture(c.file, false));
        EXPECT_EQ(receipt.requirementName, c.name) << c.file;
        EXPECT_EQ(receipt.sourceKind, c.kind) << c.file;
        EXPECT_EQ(receipt.sourceIdentifier(), c.identifier) << c.file;
    }
    // Entry points' install-path never passes for a path source; a key after "{" or "," does.
    EXPECT_EQ(UvReceipt::parse(R"(entrypoints = [{ name = "x", install-path = "/bin/x" }])").sourceKind,
              UvReceipt::SourceKind::Registry);
    UvReceipt inline_ = UvReceipt::parse(R"([tool]
requirements = [{name="tool",path='/wheels/tool.whl'}])");
    EXPECT_EQ(inline_.sourceKind, UvReceipt::SourceKind::LocalPath);
    EXPECT_EQ(inline_.sourceLocation, "/wheels/tool.whl");
    // Nothing readable: a registry install with no name of its own.
    EXPECT_EQ(UvReceipt::parse("\x01garbage = [\n"), UvReceipt{});
    // Receipts that once led the TOML reader into undefined behaviour (found by the fuzzer and
    // kept as its seeds) are read as nothing, and read safely.
    for (const auto& seed :
         std::filesystem::directory_iterator(testing::sourceDir() + "/fuzz/seeds/UvReceiptFuzzer")) {
        auto found = readFile(seed.path().string());
        ASSERT_TRUE(found.has_value()) << seed.path();
        EXPECT_EQ(UvReceipt::parse(*found), UvReceipt{}) << seed.path();
    }
}

TEST(UvManagerTest, UpdateUpgradesRegistryToolsAndReportsAVersionThatDidNotMove) {
    UvFixture f;
    Package black = *find(f.manager->listInstalled({}), "black");
    black.latestVersion = "24.3.0";
    const std::string upgrade = kUv + " tool upgrade black";

    // uv keeps the receipt's constraint and says "Nothing to upgrade": the version stays.
    f.runner.on(upgrade, Response::output("Nothing to upgrade\n"));
    auto error = testing::thrown<UvError>([&] { f.manager->update(black, {}); });
    EXPECT_EQ(error.value().kind(), UvError::Kind::VersionUnchanged);
    EXPECT_EQ(error->description(), "uv finished without installing black 24.3.0 (current version: 24.2.0)");

    // A version that moved is a success, and the new listing is published.
    f.runner.on(kList, Response::output("black v24.3.0\n- black\n"));
    f.runner.on(upgrade, Response::output("Updated black v24.2.0 -> v24.3.0\n"));
    EXPECT_NO_THROW(f.manager->update(black, {}));
    EXPECT_EQ(f.manager->packages().at(0).version, "24.3.0");

    // A failing uv carries its own words.
    f.runner.on(upgrade, Response::failure(2, "error: Failed to upgrade black\n  Caused by: network unreachable\n"));
    error = testing::thrown<UvError>([&] { f.manager->update(black, {}); });
    EXPECT_EQ(error.value().kind(), UvError::Kind::CommandFailed);
    EXPECT_EQ(error->description(), localized("uv_command_failed", {"error: Failed to upgrade black"}));
}

TEST(UvManagerTest, PinnedSourcesAreRefusedBeforeAnyCommandAndAFailingListingIsPublishedNotThrown) {
    UvFixture f;
    std::vector<Package> listed = f.manager->listInstalled({});
    ASSERT_EQ(listed.size(), 5u);
    f.runner.clearHistory();
    const auto manual = testing::thrown<PackageManualUpdateRequiredError>(
        [&] { f.manager->update(*find(listed, "httpie"), {}); });
    EXPECT_EQ(manual.value().command(), "uv tool install --force git+https://github.com/httpie/cli?tag=3.2.2");
    EXPECT_EQ(manual->reason(), *find(listed, "httpie")->description);
    EXPECT_TRUE(f.runner.commandLines().empty());

    f.runner.on(kList, Response::failure(2, "error: Failed to read tool environments\n  Caused by: permission denied"));
    std::vector<Package> packages;
    EXPECT_NO_THROW(packages = f.manager->listInstalled({}));
    EXPECT_TRUE(packages.empty());
    EXPECT_TRUE(f.manager->packages().empty()) << "the last listing is no longer published";
    EXPECT_EQ(f.manager->errorMessage(), localized("uv_scan_error", {"error: Failed to read tool environments"}));
    EXPECT_NO_THROW(f.manager->checkOutdated({}));

    // A stop request is not a failure to publish.
    std::stop_source stop;
    stop.request_stop();
    f.runner.on(kList, Response::output(fixture("tool-list.stdout")));
    EXPECT_THROW(f.manager->listInstalled(stop.get_token()), CancellationError);
}

}  // namespace
}  // namespace vt

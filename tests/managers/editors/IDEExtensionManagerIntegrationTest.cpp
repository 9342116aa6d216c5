// The editor adapters against a stand-in editor tool (a script that installs what it is told
// into its own list) and a loopback marketplace answering with the shapes of the corpus.
#include "managers/editors/IDEExtensionManager.hpp"

#include <chrono>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/IsoDate.hpp"
#include "base/Strings.hpp"
#include "managers/editors/IDEExtensionError.hpp"
#include "support/Thrown.hpp"
#include "support/Corpus.hpp"
#include "support/FakeEditor.hpp"
#include "support/Fixtures.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

// A gallery version shaped like the corpus answer's, with the platform, pre-release flag and
// engine given.
Json galleryVersion(const std::string& version, const std::string& platform, bool preRelease, const std::string& engine,
                    const std::string& vsix) {
    static const Json model = parseJson(testing::corpusFile("vscode/openvsx-adapter.findname-yaml-response.json"))
                                  .value()["results"][0]["extensions"][0]["versions"][0];
    Json entry = model;
    entry["version"] = version;
    entry["targetPlatform"] = platform;
    for (Json& property : entry["properties"]) {
        if (property["key"] == "Microsoft.VisualStudio.Code.Engine") property["value"] = engine;
    }
    if (preRelease) entry["properties"].push_back({{"key", "Microsoft.VisualStudio.Code.PreRelease"}, {"value", "true"}});
    for (Json& file : entry["files"]) {
        if (file["assetType"] == "Microsoft.VisualStudio.Services.VSIXPackage") file["source"] = vsix;
    }
    return entry;
}

std::string galleryAnswer(const std::string& identifier, const std::vector<Json>& versions) {
    Json answer = parseJson(testing::corpusFile("vscode/openvsx-adapter.findname-yaml-response.json")).value();
    Json& extension = answer["results"][0]["extensions"][0];
    extension["publisher"]["publisherName"] = identifier.substr(0, identifier.find('.'));
    extension["extensionName"] = identifier.substr(identifier.find('.') + 1);
    extension["versions"] = versions;
    return dumpJson(answer);
}

using LoopbackRequest = testing::LoopbackRequest;
using LoopbackRoute = testing::LoopbackRoute;

struct EditorSandbox {
    testing::TempDir root{"vt-editors"};
    testing::LoopbackServer marketplace;
    testing::ScopedEnvironment vs{"VANTREEL_ENDPOINT_VSMARKETPLACE", marketplace.origin().c_str()};
    testing::ScopedEnvironment cursor{"VANTREEL_ENDPOINT_CURSOR_MARKETPLACE", marketplace.origin().c_str()};
    testing::ScopedEnvironment openVsx{"VANTREEL_ENDPOINT_OPENVSX", marketplace.origin().c_str()};
    CommandRunner runner;
    SystemFileSystemManager files;
    SystemNetworkClient network;
    std::map<std::string, std::string> gallery;  // identifier → answer
    std::chrono::milliseconds latency{0};         // before each answer
    std::unique_ptr<IDEExtensionManager> manager;

    // The tool in APP/bin, reached through HOME/.local/bin, with the editor's files in
    // APP/resources/app as the Linux packages lay them out.
    explicit EditorSandbox(IDEType type, const std::string& installed, IDEExtensionManager::Options options = {}) {
        const IDEEditor& editor = IDEExtensionManager::editor(type);
        const std::string tool = root.writeExecutable("app/bin/" + editor.binaryName, testing::kFakeEditorTool);
        root.write("app/resources/app/package.json", R"({"name": "code-oss-dev", "version": "1.90.2"})");
        root.write("app/resources/app/product.json", R"({"nameShort": "Editor", "version": "0.42.3"})");
        root.write("app/extensions.txt", installed);
        root.makeFolder("home/.local/bin");
        std::filesystem::create_symlink(tool, root.file("home/.local/bin/" + editor.binaryName));
        marketplace.setHandler("/_apis/public/gallery/extensionquery", [this](const LoopbackRequest& request) {
            LoopbackRoute route;
            std::optional<Json> query = parseJson(request.body);
            std::string name = query ? (*query)["filters"][0]["criteria"][1].value("value", "") : "";
            auto found = gallery.find(name);
            route.body = found == gallery.end() ? testing::corpusFile("vscode/openvsx-adapter.empty-response.json")
                                                : found->second;
            route.latency = latency;
            return route;
        });
        options.home = root.file("home");
        options.cacheFile = options.cacheFile.value_or(root.file("latest.json"));
        options.network = &network;
        manager = std::make_unique<IDEExtensionManager>(type, runner, files, options);
    }
    std::string installs() const { return readFile(root.file("app/installs.log")).value_or(""); }
};

using testing::find;

TEST(IDEExtensionManagerIntegrationTest, GalleryVersionsForAnotherPlatformPreReleasesAndNewerEnginesAreSkipped) {
    EditorSandbox s(IDEType::VSCode, "ms-python.python@2024.1.0\nredhat.vscode-yaml@1.0.0\nrust-lang.rust-analyzer@0.3.1\n"
                                     "GitHub.copilot-chat@0.23.0\n");
    // The editor's record: copilot-chat came from the pre-release channel, so it stays there.
    s.root.write("home/.vscode/extensions/extensions.json",
                 R"([{"identifier": {"id": "github.copilot-chat"}, "version": "0.23.0",
                      "metadata": {"source": "gallery", "isPreReleaseVersion": true, "preRelease": true}}])");
    const std::string other = ExtensionMarketplace::machinePlatform() == "linux-x64" ? "linux-arm64" : "linux-x64";
    const std::string vsix = s.marketplace.url("/vsix");
    s.gallery["ms-python.python"] = galleryAnswer("ms-python.python", {
        galleryVersion("2024.3.0", "universal", true, "^1.85.0", vsix),   // pre-release: skipped
        galleryVersion("2024.2.0", "universal", false, "^1.85.0", vsix)});
    s.gallery["redhat.vscode-yaml"] = galleryAnswer("redhat.vscode-yaml", {
        galleryVersion("1.2.0", "universal", false, "^1.95.0", vsix),     // needs a newer editor
        galleryVersion("1.1.0", "universal", false, ">=1.90.0", vsix)});
    s.gallery["rust-lang.rust-analyzer"] = galleryAnswer("rust-lang.rust-analyzer", {
        galleryVersion("0.4.0", other, false, "^1.80.0", vsix),           // another machine
        galleryVersion("0.3.9", ExtensionMarketplace::machinePlatform(), false, "^1.80.0", vsix)});
    s.gallery["GitHub.copilot-chat"] = galleryAnswer("GitHub.copilot-chat", {
        galleryVersion("0.24.0", "universal", true, "^1.85.0", vsix)});

    std::vector<Package> listed = s.manager->listInstalled({});
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[0].homepage, s.marketplace.origin() + "/items?itemName=ms-python.python");
    std::vector<Package> outdated = s.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 4u);
    EXPECT_EQ(find(outdated, "ms-python.python")->latestVersion, "2024.2.0");
    EXPECT_EQ(find(outdated, "GitHub.copilot-chat")->latestVersion, "0.24.0");
    EXPECT_EQ(find(outdated, "redhat.vscode-yaml")->latestVersion, "1.1.0");
    EXPECT_EQ(find(outdated, "rust-lang.rust-analyzer")->latestVersion, "0.3.9");
    EXPECT_EQ(s.manager->editorVersion({}), "1.90.2");  // package.json, not the fork's own version

    const LoopbackRequest request = s.marketplace.requests().front();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.headers.get("Accept"), "application/json;api-version=3.0-preview.1");
    EXPECT_EQ(parseJson(request.body).value()["flags"], 0x93);
}

// The gallery dates every version in its one answer: with a week's minimum age, of versions
// 40, 10, 3 and 1 days old, the 10-day one is offered and the 3-day one named as waiting.
TEST(IDEExtensionManagerIntegrationTest, GalleryDatesLetTheReleaseAgeGuardOfferAnOlderVersion) {
    EditorSandbox s(IDEType::VSCode, "redhat.vscode-yaml@1.0.0\n");
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    std::vector<Json> versions;
    for (const auto& [version, days] : {std::pair{"1.3.0", 1}, {"1.2.0", 3}, {"1.1.0", 10}, {"1.0.0", 40}}) {
        versions.push_back(galleryVersion(version, "universal", false, "^1.80.0", s.marketplace.url("/vsix")));
        versions.back()["lastUpdated"] = formatIsoDate(now - std::chrono::hours(24 * days));
    }
    s.gallery["redhat.vscode-yaml"] = galleryAnswer("redhat.vscode-yaml", versions);
    s.manager->setWantsPublishTimes(true);
    s.manager->listInstalled({});
    std::vector<Package> outdated = s.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    const ReleaseAgeDecision decision = decideReleaseAge(outdated[0].version, outdated[0].latestVersion, outdated[0].releases,
                                                         ReleaseAgeRule{.minimum = std::chrono::hours(24 * 7)}, now);
    EXPECT_EQ(decision.verdict, ReleaseAgeVerdict::Fallback);
    EXPECT_EQ(decision.offered, "1.1.0");
    EXPECT_EQ(decision.waiting, "1.2.0");
    EXPECT_EQ(decision.waitingUntil, now + std::chrono::hours(24 * 4));
}

TEST(IDEExtensionManagerIntegrationTest, CursorSendsItsClientVersionAndPinsTheVersionItInstalls) {
    EditorSandbox s(IDEType::Cursor, "esbenp.prettier-vscode@10.0.0\n");
    s.gallery["esbenp.prettier-vscode"] = galleryAnswer("esbenp.prettier-vscode", {
        galleryVersion("11.0.0", "universal", false, "^1.80.0", s.marketplace.url("/vsix"))});
    s.manager->listInstalled({});
    std::vector<Package> outdated = s.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    const LoopbackRequest request = s.marketplace.requests().front();
    EXPECT_EQ(request.headers.get("x-cursor-client-version"), "0.42.3");
    EXPECT_EQ(request.headers.get("Content-Type"), "application/json;api-version=6.0-preview.1");

    s.manager->update(outdated[0], {});
    EXPECT_EQ(s.installs(), "esbenp.prettier-vscode@11.0.0 --force\n");
    Package unknown = outdated[0];
    unknown.latestVersion.reset();
    EXPECT_THROW(s.manager->update(unknown, {}), IDEExtensionError);
}

TEST(IDEExtensionManagerIntegrationTest, OpenVsxIsWalkedBackFromTheNewestToOneTheEditorCanRun) {
    EditorSandbox s(IDEType::VSCodium, "meta.pyrefly@0.40.0\n");
    // The corpus document is 0.46.0, which needs editor 1.94; 0.45.2 asks for 1.90.
    const std::string newest = testing::corpusFile("vscode/openvsx.extension-meta.pyrefly.json");
    s.marketplace.setRoute("/api/meta/pyrefly", LoopbackRoute{.body = newest});
    Json older = parseJson(newest).value();
    older["version"] = "0.45.2";
    older["engines"]["vscode"] = "^1.90.0";
    s.marketplace.setRoute("/api/meta/pyrefly/0.45.2", LoopbackRoute{.body = dumpJson(older)});

    std::vector<Package> listed = s.manager->listInstalled({});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].homepage, s.marketplace.origin() + "/extension/meta/pyrefly");
    std::vector<Package> outdated = s.manager->checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "0.45.2");
    EXPECT_EQ(s.marketplace.requestCount("/api/meta/pyrefly/0.45.2"), 1u);
}

TEST(IDEExtensionManagerIntegrationTest, TheLightweightCheckKeepsToItsBudgetAndUnreachedExtensionsKeepTheirState) {
    std::string installed;
    for (int i = 0; i < 40; ++i) installed += "pub.ext" + std::to_string(i) + "@1.0.0\n";
    EditorSandbox s(IDEType::VSCode, installed, {.lightweightBudget = 3.0, .lightweightRequestTimeout = 5});
    for (int i = 0; i < 40; ++i) {
        const std::string name = "pub.ext" + std::to_string(i);
        s.gallery[name] = galleryAnswer(name, {galleryVersion("2.0.0", "universal", false, "^1.0.0", "")});
    }
    s.manager->listInstalled({});
    EXPECT_EQ(s.manager->checkOutdated({}).size(), 40u);  // full round, remembered
    const std::size_t fullRound = s.marketplace.requests().size();

    // Now every answer names 3.0.0 and takes 1 s: 8 at a time, the five waves cannot all
    // finish in 3 s, and the first does even on a busy machine.
    for (int i = 0; i < 40; ++i) {
        const std::string name = "pub.ext" + std::to_string(i);
        s.gallery[name] = galleryAnswer(name, {galleryVersion("3.0.0", "universal", false, "^1.0.0", "")});
    }
    s.latency = std::chrono::milliseconds(1000);
    std::vector<Package> outdated = s.manager->checkForUpdates(true, {});
    // The budget stopped the round before every extension was asked.
    EXPECT_LT(s.marketplace.requests().size() - fullRound, 40u);
    // What it reached shows the newer version; what it did not reach keeps exactly what the
    // full round found.
    ASSERT_EQ(outdated.size(), 40u);
    std::size_t reached = 0, kept = 0;
    for (const Package& package : outdated) {
        EXPECT_EQ(package.version, "1.0.0") << package.name;
        reached += package.latestVersion == "3.0.0" ? 1 : 0;
        kept += package.latestVersion == "2.0.0" ? 1 : 0;
    }
    EXPECT_GT(reached, 0u);
    EXPECT_GT(kept, 0u);
    EXPECT_EQ(reached + kept, 40u);
}

TEST(IDEExtensionManagerIntegrationTest, AToolThatPrintsNothingOrHangsGivesAnEmptyListing) {
    EditorSandbox s(IDEType::Windsurf, "", {.inventoryTimeout = 1});
    EXPECT_TRUE(s.manager->listInstalled({}).empty());
    EXPECT_EQ(s.manager->errorMessage(), std::nullopt);
    s.root.writeExecutable("app/bin/windsurf", "#!/bin/sh\nsleep 30\n");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(s.manager->listInstalled({}).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(s.manager->errorMessage().has_value());
    EXPECT_TRUE(s.manager->checkOutdated({}).empty());
}

TEST(IDEExtensionManagerIntegrationTest, UpdatesGoThroughTheToolThenTheVsixAndAreVerified) {
    EditorSandbox s(IDEType::VSCode, "ms-python.python@2024.1.0\n");
    s.marketplace.setRoute("/vsix/2024.2.0", LoopbackRoute{.body = "2024.2.0", .contentType = "application/octet-stream"});
    s.gallery["ms-python.python"] = galleryAnswer("ms-python.python", {
        galleryVersion("2024.2.0", "universal", false, "^1.85.0", s.marketplace.url("/vsix/2024.2.0"))});
    Package python{.name = "ms-python.python", .version = "2024.1.0", .type = PackageType::VscodeExtension,
                   .latestVersion = "2024.2.0"};

    // The tool's own marketplace has only 2024.1.5: the VSIX of the wanted version follows.
    s.root.write("app/cli-latest", "2024.1.5");
    s.manager->update(python, {});
    const std::string log = s.installs();
    const std::vector<std::string_view> installs = splitLines(log);
    ASSERT_GE(installs.size(), 2u);
    EXPECT_EQ(installs[0], "ms-python.python@2024.2.0 --force");
    EXPECT_TRUE(startsWith(installs[1], std::filesystem::temp_directory_path().string())) << installs[1];
    EXPECT_TRUE(endsWith(installs[1], "/ms-python.python.vsix --force")) << installs[1];
    EXPECT_EQ(find(s.manager->packages(), "ms-python.python")->version, "2024.2.0");

    // "Failed Installing Extensions:" with exit status 0, and no VSIX for the version either.
    s.root.write("app/fail", "");
    python.latestVersion = "2024.3.0";
    const auto failed = testing::thrown<IDEExtensionError>([&] { s.manager->update(python, {}); });
    EXPECT_EQ(failed.value().kind(), IDEExtensionErrorKind::InstallFailed);
    EXPECT_NE(failed->description().find("Failed Installing Extensions"), std::string::npos) << failed->description();
    EXPECT_EQ(failed->description().find("DeprecationWarning"), std::string::npos);

    // Identifiers that fail the pattern reach neither the tool nor the marketplace.
    const std::size_t requests = s.marketplace.requests().size();
    const std::string before = s.installs();
    for (const char* hostile : {"--force", "a..b", "pub/../x.y", "pub.ext;rm", "noDot"}) {
        python.name = hostile;
        EXPECT_THROW(s.manager->update(python, {}), IDEExtensionError) << hostile;
    }
    EXPECT_EQ(s.installs(), before);
    EXPECT_EQ(s.marketplace.requests().size(), requests);
}

}  // namespace
}  // namespace vt

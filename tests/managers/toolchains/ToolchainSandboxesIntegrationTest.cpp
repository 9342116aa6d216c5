// SDKMAN in a temporary SDKMAN folder run by the real bash, and Flutter's release manifests
// served on loopback.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "base/Localization.hpp"
#include "managers/toolchains/FlutterManager.hpp"
#include "managers/toolchains/SdkmanManager.hpp"
#include "managers/toolchains/ToolchainError.hpp"
#include "support/Corpus.hpp"
#include "support/Fixtures.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

using testing::find;

// An init script whose `sdk` writes each argument it was given on a line of its own.
constexpr const char* kInitScript = R"(sdk() { printf '%s\n' "$@" > "$SDKMAN_DIR/sdk-arguments"; })";

std::string contents(const std::string& path) {
    std::ifstream stream(path);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

struct Sandbox {
    testing::TempDir root{"vt-toolchains"};
    CommandRunner runner;
    SystemFileSystemManager files;
    SystemNetworkClient network;
    testing::LoopbackServer server;

    ToolchainManager::Options options(std::map<std::string, std::string> environment = {}) {
        return {.environment = std::move(environment), .home = root.path(), .network = &network,
                .cacheFolder = root.makeFolder("cache")};
    }
};

TEST(ToolchainSandboxesIntegrationTest, SdkmanListsCandidatesAsksTheApiAndPassesValuesOutsideTheScript) {
    Sandbox s;
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_SDKMAN", s.server.origin().c_str());
    const std::string folder = s.root.makeFolder(".sdkman");
    for (const char* version : {"17.0.9-tem", "21.0.1-tem"}) s.root.makeFolder(std::string(".sdkman/candidates/java/") + version);
    s.root.makeFolder(".sdkman/candidates/gradle/8.4");
    s.root.makeFolder(".sdkman/candidates/gradle/8.5");
    // Folders whose names would be options or shell text are not candidates nor versions.
    s.root.makeFolder(".sdkman/candidates/$(touch PWNED)/1.0");
    s.root.makeFolder(".sdkman/candidates/gradle/--init-script=x");
    std::filesystem::create_directory_symlink(folder + "/candidates/java/17.0.9-tem", folder + "/candidates/java/current");
    SdkmanManager sdkman(s.runner, s.files, s.options());

    // Candidates on disk, but no init script: listed, and said.
    std::vector<Package> listed = sdkman.listInstalled({});
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(find(listed, "java")->version, "17.0.9-tem");  // the default, not the newest
    EXPECT_EQ(find(listed, "gradle")->version, "8.5");
    EXPECT_EQ(find(listed, "java")->description, localized("enum.sdkman_category.jdk"));
    EXPECT_EQ(find(listed, "gradle")->description, localized("enum.sdkman_category.build_tools"));
    EXPECT_EQ(sdkman.errorMessage(), localized("sdkman.init_missing", {folder + "/bin/sdkman-init.sh"}));
    EXPECT_THROW(sdkman.setDefault("java", "21.0.1-tem", {}), ToolchainError);

    s.root.write(".sdkman/bin/sdkman-init.sh", kInitScript);
    s.server.setRoute("/2/candidates/default/java", {.body = "21.0.2-tem\n", .contentType = "text/plain"});
    s.server.setRoute("/2/candidates/default/gradle", {.body = "8.5", .contentType = "text/plain"});
    sdkman.listInstalled({});
    std::vector<Package> outdated = sdkman.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "21.0.2-tem");
    EXPECT_TRUE(std::filesystem::exists(s.root.path() + "/cache/sdkman_candidates.json"));

    // Quotes, blanks and a command substitution reach sdk as one argument, and nothing runs.
    const std::string hostile = R"(1.0 "quoted" 'single' $(touch PWNED) `touch PWNED2`; touch PWNED3)";
    sdkman.setDefault("java", hostile, {});
    EXPECT_EQ(contents(folder + "/sdk-arguments"), "default\njava\n" + hostile + "\n");
    for (const char* marker : {"PWNED", "PWNED2", "PWNED3"}) {
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::temp_directory_path() / marker));
        EXPECT_FALSE(std::filesystem::exists(s.root.path() + "/" + marker));
    }
    EXPECT_THROW(sdkman.setDefault("java", "--help", {}), ToolchainError);
    // An update installs the latest version, then makes it the default.
    sdkman.update(outdated[0], {});
    EXPECT_EQ(contents(folder + "/sdk-arguments"), "default\njava\n21.0.2-tem\n");
}

TEST(ToolchainSandboxesIntegrationTest, FlutterReadsItsSdkVersionAndTheCurrentStableOfThisSystemsManifest) {
    Sandbox s;
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_FLUTTER", (s.server.origin() + "/").c_str());
    const std::string flutter = s.root.writeExecutable("flutter/bin/flutter", "#!/bin/sh\nexit 3\n");
    s.root.write("flutter/bin/cache/flutter.version.json",
                 R"({"frameworkVersion": "3.41.0", "channel": "stable", "repositoryUrl": "https://github.com/flutter/flutter.git"})");
    FlutterManager manager(s.runner, s.files, s.options());
    ASSERT_TRUE(manager.discover({}));
    EXPECT_EQ(manager.binaryPath(), flutter);
    std::vector<Package> listed = manager.listInstalled({});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].version, "3.41.0");

    // The real manifests: stable 3.44.4 on both, x64 and arm64 entries on the Mac one.
    for (const char* name : {"releases_macos.json", "releases_linux.json"}) {
        s.server.setRoute(std::string("/") + name, {.body = testing::corpusFile(std::string("flutter/") + name)});
    }
    std::vector<Package> outdated = manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u) << manager.errorMessage().value_or("");
    EXPECT_EQ(outdated[0].latestVersion, "3.44.4");
    EXPECT_EQ(s.server.requestCount(FlutterManager::manifestPath()), 1u);
    EXPECT_EQ(FlutterManager::manifestPath(), "/releases_linux.json");

    // A 20 MB manifest is read; a body past the limit is refused with one message.
    std::string large = R"({"current_release": {"stable": "abc"}, "releases": [)";
    while (large.size() < 20u * 1024u * 1024u) {
        large += R"({"hash": "0", "channel": "beta", "version": "1.0.0-0.1.pre", "archive": "x"},)";
    }
    large += R"({"hash": "abc", "channel": "stable", "version": "3.50.0"}]})";
    s.server.setRoute("/releases_linux.json", {.body = large});
    outdated = manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "3.50.0");
    s.server.setRoute("/releases_linux.json", {.body = std::string(FlutterManager::kMaxManifestBytes + 10, ' ')});
    EXPECT_TRUE(manager.checkOutdated({}).empty());
    EXPECT_EQ(manager.errorMessage(), localized("flutter.manifest_unreadable", {s.server.url("/releases_linux.json")}));

    // Without the version file, `flutter --version --machine` answers, after its banner.
    std::filesystem::remove(s.root.path() + "/flutter/bin/cache/flutter.version.json");
    s.root.writeExecutable("flutter/bin/flutter",
                           "#!/bin/sh\necho 'Downloading Dart SDK from Flutter engine ...'\n"
                           "echo '{\"frameworkVersion\": \"3.44.4\", \"channel\": \"stable\", \"dartSdkVersion\": \"3.12.0\"}'\n");
    listed = manager.listInstalled({});
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].version, "3.44.4");
}

}  // namespace
}  // namespace vt

// The real cargo, go and composer of this machine, each in a sandbox of its own (CARGO_HOME,
// GOPATH, COMPOSER_HOME), with their registries on loopback. The real gem is run by the
// end-to-end scan of a sandbox home.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Paths.hpp"
#include "managers/languages/CargoManager.hpp"
#include "managers/languages/ComposerManager.hpp"
#include "managers/languages/GoManager.hpp"
#include "support/Fixtures.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

ShellCommandResult runTool(CommandRunner& runner, const std::string& tool, std::vector<std::string> arguments,
                           std::map<std::string, std::string> environment, const std::string& directory) {
    CommandRequest request{.command = tool, .arguments = std::move(arguments), .environment = std::move(environment),
                           .timeout = 240, .currentDirectory = directory, .allowNonZeroExit = true};
    return runner.execute(request);
}

using testing::find;

TEST(LanguageToolsHostTest, CargoListsAPathInstallAndComparesRegistryCratesOnLoopback) {
    const std::string cargo = paths::home() + "/.cargo/bin/cargo";
    if (!std::filesystem::exists(cargo)) GTEST_SKIP() << "no cargo in ~/.cargo/bin";
    testing::TempDir sandbox{"vt-cargo-host"};
    testing::LoopbackServer crates;
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_CRATES", crates.origin().c_str());
    sandbox.write("src/vt-demo/Cargo.toml", "[package]\nname = \"vt-demo\"\nversion = \"0.3.1\"\nedition = \"2021\"\n");
    sandbox.write("src/vt-demo/src/main.rs", "fn main() { println!(\"demo\"); }\n");
    const std::map<std::string, std::string> environment = {
        {"CARGO_HOME", sandbox.file("cargo")}, {"RUSTUP_HOME", paths::home() + "/.rustup"},
        {"CARGO_TARGET_DIR", sandbox.file("target")}};
    CommandRunner runner;
    ShellCommandResult installed =
        runTool(runner, cargo, {"install", "--offline", "--path", sandbox.file("src/vt-demo")}, environment,
                sandbox.path());
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;
    // A crate from the registry, recorded as cargo records one.
    std::ofstream(sandbox.file("cargo/.crates.toml"), std::ios::app)
        << "\"ripgrep 13.0.0 (registry+" << Endpoints::base(Service::GitHubWeb)
        << "/rust-lang/crates.io-index)\" = [\"rg\"]\n";
    testing::LoopbackRoute ripgrep;
    ripgrep.body = R"({"crate": {"max_stable_version": "14.1.0"}, "versions": [{"num": "14.1.0", "bin_names": ["rg"]}]})";
    crates.setRoute("/api/v1/crates/ripgrep", ripgrep);

    SystemFileSystemManager files;
    CargoManager manager(runner, files,
                         {.cacheFile = sandbox.file("cargo_cache.json"), .environment = environment});
    std::vector<Package> packages = manager.listInstalled({});
    EXPECT_EQ(manager.errorMessage(), std::nullopt);
    ASSERT_EQ(packages.size(), 2u);
    const Package* demo = find(packages, "vt-demo");
    ASSERT_NE(demo, nullptr);
    EXPECT_EQ(demo->version, "0.3.1");
    EXPECT_TRUE(demo->sourceIdentifier.has_value());
    std::vector<Package> outdated = manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].name, "ripgrep");
    EXPECT_EQ(outdated[0].latestVersion, "14.1.0");
    EXPECT_EQ(crates.requestCount("/api/v1/crates/vt-demo"), 0u);
}

// A module proxy on loopback, serving one module at two versions: go installs from it, the
// adapter reads the version back, finds the newer one and updates to it.
TEST(LanguageToolsHostTest, GoBinariesAreReadBackAndUpdatedThroughTheProxy) {
    const std::string go = "/usr/bin/go";
    if (!std::filesystem::exists(go)) GTEST_SKIP() << "no /usr/bin/go";
    if (!std::filesystem::exists("/usr/bin/zip")) GTEST_SKIP() << "no /usr/bin/zip to pack the module";
    testing::TempDir sandbox{"vt-go-host"};
    testing::LoopbackServer proxy;
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_GO_PROXY", proxy.origin().c_str());
    CommandRunner runner;
    const std::string module = "example.com/vtdemo";
    for (const std::string version : {"v1.0.0", "v1.1.0"}) {
        const std::string root = "zip-" + version + "/" + module + "@" + version;
        sandbox.write(root + "/go.mod", "module " + module + "\n\ngo 1.19\n");
        sandbox.write(root + "/main.go", "package main\n\nfunc main() { println(\"" + version + "\") }\n");
        ShellCommandResult zipped =
            runTool(runner, "/usr/bin/zip", {"-q", "-r", "-D", sandbox.file(version + ".zip"), "example.com"}, {},
                    sandbox.file("zip-" + version));
        ASSERT_EQ(zipped.exitCode, 0) << zipped.standardError;
        testing::LoopbackRoute info, mod, zip;
        info.body = R"({"Version": ")" + version + R"(", "Time": "2024-01-01T00:00:00Z"})";
        mod.body = "module " + module + "\n\ngo 1.19\n";
        mod.contentType = "text/plain; charset=utf-8";
        zip.body = readFile(sandbox.file(version + ".zip")).value();
        zip.contentType = "application/zip";
        proxy.setRoute("/" + module + "/@v/" + version + ".info", info);
        proxy.setRoute("/" + module + "/@v/" + version + ".mod", mod);
        proxy.setRoute("/" + module + "/@v/" + version + ".zip", zip);
    }
    testing::LoopbackRoute list, latest;
    list.body = "v1.0.0\nv1.1.0\n";
    list.contentType = "text/plain; charset=utf-8";
    latest.body = R"({"Version": "v1.1.0", "Time": "2024-02-01T00:00:00Z"})";
    proxy.setRoute("/" + module + "/@v/list", list);
    proxy.setRoute("/" + module + "/@latest", latest);

    const std::map<std::string, std::string> environment = {
        {"GOPATH", sandbox.file("gopath")}, {"GOCACHE", sandbox.file("gocache")}, {"GOFLAGS", "-mod=mod -modcacherw"},
        {"GOSUMDB", "off"}, {"GOTOOLCHAIN", "local"}, {"GOENV", "off"}};
    std::map<std::string, std::string> installEnvironment = environment;
    installEnvironment["GOPROXY"] = proxy.origin();
    ShellCommandResult installed = runTool(runner, go, {"install", module + "@v1.0.0"}, installEnvironment, sandbox.path());
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;

    // A local module built offline is a "(devel)" build.
    sandbox.write("local/go.mod", "module example.com/localtool\n\ngo 1.19\n");
    sandbox.write("local/main.go", "package main\n\nfunc main() {}\n");
    std::map<std::string, std::string> offline = environment;
    offline["GOPROXY"] = "off";
    ShellCommandResult local = runTool(runner, go, {"install", "."}, offline, sandbox.file("local"));
    ASSERT_EQ(local.exitCode, 0) << local.standardError;
    // Not Go programs: a script, an ELF without Go metadata, and a 2 GB file that only starts like one.
    sandbox.write("gopath/bin/script", "#!/bin/sh\n", 0755);
    std::filesystem::copy_file("/bin/true", sandbox.file("gopath/bin/true"));
    {
        std::ofstream huge(sandbox.file("gopath/bin/huge"), std::ios::binary);
        huge << std::string("\x7f" "ELF\x02\x01\x01", 7);
    }
    std::filesystem::resize_file(sandbox.file("gopath/bin/huge"), 2ull << 30);
    std::filesystem::permissions(sandbox.file("gopath/bin/huge"), std::filesystem::perms::owner_all);

    SystemFileSystemManager files;
    GoManager manager(runner, files, {.cacheFile = sandbox.file("go_cache.json"), .environment = environment});
    const auto started = std::chrono::steady_clock::now();
    std::vector<Package> packages = manager.listInstalled({});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    ASSERT_EQ(packages.size(), 2u) << manager.errorMessage().value_or("");
    const Package* demo = find(packages, "vtdemo");
    ASSERT_NE(demo, nullptr);
    EXPECT_EQ(demo->version, "v1.0.0");
    EXPECT_EQ(demo->sourceIdentifier, module);
    const Package* localTool = find(packages, "localtool");
    ASSERT_NE(localTool, nullptr);
    EXPECT_EQ(localTool->version, "(devel)");

    std::vector<Package> outdated = manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].latestVersion, "v1.1.0");
    manager.update(outdated[0], {});
    packages = manager.listInstalled({});
    demo = find(packages, "vtdemo");
    ASSERT_NE(demo, nullptr);
    EXPECT_EQ(demo->version, "v1.1.0");
}

TEST(LanguageToolsHostTest, ComposerGlobalPackageFromAPathRepositoryIsListedAndUpdated) {
    const std::string composer = "/usr/bin/composer";
    if (!std::filesystem::exists(composer)) GTEST_SKIP() << "no /usr/bin/composer";
    testing::TempDir sandbox{"vt-composer-host"};
    const auto writePackage = [&](const std::string& version) {
        sandbox.write("repo/demo/composer.json",
                      R"({"name": "vt/demo", "version": ")" + version + R"(", "description": "A test package"})");
    };
    writePackage("1.0.0");
    sandbox.write("home/composer.json", R"({
    "repositories": [{"type": "path", "url": ")" + sandbox.file("repo/demo") +
                                            R"(", "options": {"symlink": false}}, {"packagist.org": false}],
    "require": {"vt/demo": "^1.0"}
})");
    const std::map<std::string, std::string> environment = {{"COMPOSER_HOME", sandbox.file("home")},
                                                             {"COMPOSER_CACHE_DIR", sandbox.file("cache")},
                                                             {"COMPOSER_NO_AUDIT", "1"},
                                                             {"COMPOSER_ALLOW_SUPERUSER", "1"}};
    CommandRunner runner;
    ShellCommandResult installed =
        runTool(runner, composer, {"global", "update", "--no-interaction", "--no-progress"}, environment, sandbox.path());
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;

    SystemFileSystemManager files;
    ComposerManager manager(runner, files, {.environment = environment});
    std::vector<Package> packages = manager.listInstalled({});
    ASSERT_EQ(packages.size(), 1u) << manager.errorMessage().value_or("");
    EXPECT_EQ(packages[0].name, "vt/demo");
    EXPECT_EQ(packages[0].version, "1.0.0");

    writePackage("1.1.0");
    std::vector<Package> outdated = manager.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u) << manager.errorMessage().value_or("");
    EXPECT_EQ(outdated[0].latestVersion, "1.1.0");
    manager.update(outdated[0], {});
    packages = manager.listInstalled({});
    ASSERT_EQ(packages.size(), 1u);
    EXPECT_EQ(packages[0].version, "1.1.0");
}

}  // namespace
}  // namespace vt

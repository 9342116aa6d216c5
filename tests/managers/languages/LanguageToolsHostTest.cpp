// The real cargo and go of this machine in sandboxes of their own (CARGO_HOME, GOPATH): what only
// they write. The real cargo, go, composer and gem install, list and update through `vantreel` in
// the end-to-end tests of the command line.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "base/Paths.hpp"
#include "managers/languages/CargoManager.hpp"
#include "managers/languages/GoManager.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

// A crate installed from a folder: read back from the record cargo itself keeps, with its folder.
TEST(LanguageToolsHostTest, CargoListsAPathInstallFromItsOwnRecord) {
    const std::string cargo = paths::home() + "/.cargo/bin/cargo";
    if (!std::filesystem::exists(cargo)) GTEST_SKIP() << "no cargo in ~/.cargo/bin";
    testing::TempDir sandbox{"vt-cargo-host"};
    sandbox.write("src/vt-demo/Cargo.toml", "[package]\nname = \"vt-demo\"\nversion = \"0.3.1\"\nedition = \"2021\"\n");
    sandbox.write("src/vt-demo/src/main.rs", "fn main() { println!(\"demo\"); }\n");
    const std::map<std::string, std::string> environment = {
        {"CARGO_HOME", sandbox.file("cargo")}, {"RUSTUP_HOME", paths::home() + "/.rustup"},
        {"CARGO_TARGET_DIR", sandbox.file("target")}};
    CommandRunner runner;
    ShellCommandResult installed =
        runner.execute({.command = cargo, .arguments = {"install", "--offline", "--path", sandbox.file("src/vt-demo")},
                        .environment = environment, .timeout = 240, .currentDirectory = sandbox.path(),
                        .allowNonZeroExit = true});
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;
    SystemFileSystemManager files;
    CargoManager manager(runner, files, {.cacheFile = sandbox.file("cargo_cache.json"), .environment = environment});
    std::vector<Package> packages = manager.listInstalled({});
    EXPECT_EQ(manager.errorMessage(), std::nullopt);
    ASSERT_EQ(packages.size(), 1u);
    EXPECT_EQ(packages[0].version, "0.3.1");
    EXPECT_EQ(packages[0].sourceIdentifier, sandbox.file("src/vt-demo"));
}

// What go builds is read back, and only that: a script, an ELF without Go metadata and a 2 GB
// file that only starts like one are passed over, and quickly.
TEST(LanguageToolsHostTest, GoBinariesAreReadBackAndAnythingElseIsPassedOver) {
    const std::string go = "/usr/bin/go";
    if (!std::filesystem::exists(go)) GTEST_SKIP() << "no /usr/bin/go";
    testing::TempDir sandbox{"vt-go-host"};
    CommandRunner runner;
    const std::map<std::string, std::string> environment = {
        {"GOPATH", sandbox.file("gopath")}, {"GOCACHE", sandbox.file("gocache")}, {"GOFLAGS", "-mod=mod -modcacherw"},
        {"GOSUMDB", "off"}, {"GOTOOLCHAIN", "local"}, {"GOENV", "off"}, {"GOPROXY", "off"}};
    // A local module built offline is a "(devel)" build.
    sandbox.write("local/go.mod", "module example.com/localtool\n\ngo 1.19\n");
    sandbox.write("local/main.go", "package main\n\nfunc main() {}\n");
    ShellCommandResult local = runner.execute({.command = go, .arguments = {"install", "."}, .environment = environment,
                                               .timeout = 240, .currentDirectory = sandbox.file("local"),
                                               .allowNonZeroExit = true});
    ASSERT_EQ(local.exitCode, 0) << local.standardError;
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
    ASSERT_EQ(packages.size(), 1u) << manager.errorMessage().value_or("");
    EXPECT_EQ(packages[0].name, "localtool");
    EXPECT_EQ(packages[0].version, "(devel)");
}

}  // namespace
}  // namespace vt

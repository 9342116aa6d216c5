// The real rustup of this machine, over a sandbox rustup home whose toolchains are links to
// the installed ones: nothing it does can change them.
#include <filesystem>

#include <gtest/gtest.h>

#include "base/Paths.hpp"
#include "managers/toolchains/RustupManager.hpp"
#include "support/Fixtures.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

TEST(RustupHostTest, ListsTheInstalledToolchainsWithTheirVersionsAndReportsTheCheckOutcome) {
    const std::string realHome = paths::environmentValue("RUSTUP_HOME").value_or(paths::home() + "/.rustup");
    // Both before anything is copied: a home without its settings would throw, not skip.
    if (!std::filesystem::is_directory(realHome + "/toolchains") || !std::filesystem::exists(realHome + "/settings.toml")) {
        GTEST_SKIP() << "no rustup home here";
    }
    testing::TempDir sandbox("vt-rustup");
    const std::string home = sandbox.makeFolder("rustup");
    std::filesystem::copy_file(realHome + "/settings.toml", home + "/settings.toml");
    sandbox.makeFolder("rustup/toolchains");
    std::vector<std::string> installed;
    for (const auto& entry : std::filesystem::directory_iterator(realHome + "/toolchains")) {
        if (!entry.is_directory()) continue;
        installed.push_back(entry.path().filename().string());
        std::filesystem::create_directory_symlink(entry.path(), home + "/toolchains/" + installed.back());
    }
    CommandRunner runner;
    SystemFileSystemManager files;
    RustupManager rustup(runner, files,
                         {.environment = {{"RUSTUP_HOME", home}, {"RUSTUP_AUTO_INSTALL", "0"}}, .home = paths::home()});
    if (!rustup.discover({})) GTEST_SKIP() << "rustup is not installed here";

    std::vector<Package> listed = rustup.listInstalled({});
    EXPECT_EQ(rustup.errorMessage(), std::nullopt);
    ASSERT_EQ(listed.size(), installed.size() + 1);
    for (const std::string& name : installed) {
        const Package* toolchain = testing::find(listed, name);
        ASSERT_NE(toolchain, nullptr) << name;
        EXPECT_NE(toolchain->version, "unknown") << name;
    }
    ASSERT_NE(testing::find(listed, "rustup"), nullptr);

    // Online, what is outdated; offline (as on the build machine), one message and the
    // toolchains still listed.
    std::vector<Package> outdated = rustup.checkOutdated({});
    if (rustup.errorMessage()) {
        EXPECT_TRUE(outdated.empty()) << *rustup.errorMessage();
    }
    EXPECT_EQ(rustup.packages().size(), listed.size());
    for (const Package& package : outdated) EXPECT_TRUE(package.latestVersion.has_value());
}

}  // namespace
}  // namespace vt

// The real pipx of this machine in a sandbox home, with packages from a folder of wheels.
#include "managers/python/PipxManager.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "PipTestSupport.hpp"
#include "base/Files.hpp"
#include "support/TempDir.hpp"
#include "support/TempHome.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

TEST(PipxManagerHostTest, ListsAndUpgradesAnApplicationInstalledWithPipx) {
    testing::TempHome home;
    testing::TempDir wheels{"vt-pipx-wheels"};
    CommandRunner runner;
    SystemFileSystemManager files;
    PipxManager pipx(runner, files);
    if (!pipx.discover()) GTEST_SKIP() << "no pipx here";
    // No index is needed: pip, run by pipx, takes packages from the folder only.
    std::filesystem::create_directories(home.path() + "/.config/pip");
    writeFileAtomically(home.path() + "/.config/pip/pip.conf",
                        "[global]\nno-index = true\nfind-links = " + wheels.path() + "\n");
    piptest::buildWheel(runner, "vt-demo", "1.0.0", wheels.path());
    CommandRequest install{
        .command = pipx.binaryPath(), .arguments = {"install", "vt-demo"}, .timeout = 300, .allowNonZeroExit = true};
    ShellCommandResult installed = runner.execute(install);
    ASSERT_EQ(installed.exitCode, 0) << installed.standardError;

    std::vector<Package> packages = pipx.listInstalled({});
    EXPECT_EQ(pipx.errorMessage(), std::nullopt);
    ASSERT_EQ(packages.size(), 1u);
    EXPECT_EQ(packages[0].name, "vt-demo");
    EXPECT_EQ(packages[0].version, "1.0.0");
    EXPECT_EQ(packages[0].type, PackageType::PipxPackage);

    piptest::buildWheel(runner, "vt-demo", "1.1.0", wheels.path());
    pipx.update(packages[0], {});
    packages = pipx.listInstalled({});
    ASSERT_EQ(packages.size(), 1u);
    EXPECT_EQ(packages[0].version, "1.1.0");
}

}  // namespace
}  // namespace vt

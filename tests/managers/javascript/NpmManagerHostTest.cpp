// The npm adapter against the npm installed on this machine, in a sandbox HOME whose
// .npmrc points npm's global prefix at a temporary folder: the machine's own global
// packages are never read nor touched, and nothing here needs the network.
#include "managers/javascript/NpmManager.hpp"

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "support/TempHome.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

class NpmManagerHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_.emplace();
        // Runners are built after the sandbox HOME is in place, so npm gets it.
        CommandRunner runner;
        if (!ExecutableLocator(runner, files_).locate("npm")) GTEST_SKIP() << "npm is not installed here";
        prefix_ = home_->path() + "/npm-global";
        writeFile(home_->path() + "/.npmrc", "prefix=" + prefix_ + "\nupdate-notifier=false\n");
    }

    static void writeFile(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path) << text;
    }

    // A global package as npm would leave it: its folder and package.json under the prefix.
    void installByHand(const std::string& name, const std::string& version) {
        writeFile(prefix_ + "/lib/node_modules/" + name + "/package.json",
                  R"({"name": ")" + name + R"(", "version": ")" + version + R"("})");
    }

    SystemFileSystemManager files_;
    std::optional<testing::TempHome> home_;
    std::string prefix_;
};

TEST_F(NpmManagerHostTest, ListsTheSandboxGlobalsWithNpmsOwnGlobalFolder) {
    {
        // Nothing installed into the prefix yet: no lib folder at all.
        CommandRunner runner;
        NpmManager manager(runner, files_);
        EXPECT_TRUE(manager.listInstalled({}).empty());
        EXPECT_EQ(manager.errorMessage(), std::nullopt);
    }

    installByHand("vt-host-tool", "1.2.3");
    installByHand("@vt-host/scoped", "0.4.0");
    CommandRunner runner;
    NpmManager manager(runner, files_, NpmManager::Options{.resolveGlobalRoot = true});
    std::vector<Package> installed = manager.listInstalled({});
    ASSERT_EQ(manager.errorMessage(), std::nullopt);
    ASSERT_EQ(installed.size(), 2u);
    EXPECT_EQ(installed[0].name, "@vt-host/scoped");
    EXPECT_EQ(installed[0].version, "0.4.0");
    EXPECT_EQ(installed[1].name, "vt-host-tool");
    EXPECT_EQ(installed[1].version, "1.2.3");
    EXPECT_EQ(installed[1].type, PackageType::NpmGlobal);
    std::error_code error;
    const std::string root = std::filesystem::canonical(prefix_ + "/lib/node_modules", error).string();
    ASSERT_TRUE(installed[1].installLocationOverride.has_value());
    EXPECT_EQ(std::filesystem::canonical(*installed[1].installLocationOverride, error).string(),
              root + "/vt-host-tool");
    EXPECT_TRUE(endsWith(manager.cachedNpmPath().value_or(""), "/npm"));
}

}  // namespace
}  // namespace vt

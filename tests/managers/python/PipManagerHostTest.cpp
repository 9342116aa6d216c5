// The real pip of this machine, through the real runner, in every Python found here.
#include "managers/python/PipManager.hpp"

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

TEST(PipManagerHostTest, ListsThisMachinesPackagesWithTheirVersionAndEnvironment) {
    CommandRunner runner;
    SystemFileSystemManager files;
    PipManager::Options options;
    PipManager pip(runner, files, options);
    if (!pip.discover()) GTEST_SKIP() << "no pip here";

    std::vector<Package> packages = pip.listInstalled({});
    std::vector<PipManager::Environment> environments = pip.environments();
    ASSERT_FALSE(environments.empty());
    if (packages.empty()) GTEST_SKIP() << "no Python here has pip";
    EXPECT_EQ(pip.errorMessage(), std::nullopt);

    std::set<std::string> interpreters, names;
    for (const auto& environment : environments) interpreters.insert(environment.interpreter);
    for (const Package& package : packages) {
        EXPECT_EQ(package.type, PackageType::PipPackage);
        EXPECT_FALSE(trim(package.version).empty()) << package.name;
        ASSERT_TRUE(package.sourceIdentifier.has_value()) << package.name;
        EXPECT_EQ(interpreters.count(*package.sourceIdentifier), 1u) << *package.sourceIdentifier;
        EXPECT_TRUE(names.insert(PipManager::normalizedName(package.name)).second) << "twice: " << package.name;
    }

    // pip itself is listed once, with the version its own environment's pip reports.
    const Package* pipPackage = nullptr;
    for (const Package& package : packages) {
        if (package.name == "pip") pipPackage = &package;
    }
    ASSERT_NE(pipPackage, nullptr);
    CommandRequest version{
        .command = *pipPackage->sourceIdentifier, .arguments = {"-m", "pip", "--version"}, .timeout = 60};
    std::string said = runner.execute(version).standardOutput;
    EXPECT_TRUE(startsWith(said, "pip " + pipPackage->version + " from ")) << said;

    // A Python the operating system manages says so with its marker; pip would refuse it.
    for (const auto& environment : environments) {
        bool marked = !environment.standardLibrary.empty() &&
                      std::filesystem::exists(environment.standardLibrary + "/EXTERNALLY-MANAGED");
        EXPECT_EQ(environment.isExternallyManaged, marked && !environment.isVirtual) << environment.interpreter;
    }
}

}  // namespace
}  // namespace vt

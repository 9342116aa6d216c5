// The site folders of every Python of this machine, read without Python, against pip's own list.
#include <set>
#include <utility>

#include <gtest/gtest.h>

#include "managers/python/PipManager.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using Listed = std::set<std::pair<std::string, std::string>>;

Listed normalized(const std::vector<PipManager::InstalledEntry>& entries) {
    Listed listed;
    for (const auto& entry : entries) listed.insert({PipManager::normalizedName(entry.name), entry.version});
    return listed;
}

TEST(PipListingHostTest, EachEnvironmentsSiteFoldersReadAsPipListsThem) {
    CommandRunner runner;
    SystemFileSystemManager files;
    PipManager pip(runner, files);
    pip.listInstalled({});
    std::size_t compared = 0;
    for (const PipManager::Environment& environment : pip.environments()) {
        std::optional<PipManager::EnvironmentListing> read = pip.readSiteFolders(environment);
        if (!read) continue;  // pip lists it itself: nothing of ours to compare
        CommandRequest request{.command = environment.interpreter,
                               .arguments = {"-m", "pip", "list", "--format=json", "--disable-pip-version-check"},
                               .timeout = 120, .allowNonZeroExit = true};
        ShellCommandResult result = runner.execute(request);
        if (read->hasNoPip) {
            EXPECT_NE(result.exitCode, 0) << environment.interpreter << " has a pip we did not see";
            continue;
        }
        ASSERT_EQ(result.exitCode, 0) << environment.interpreter << ": " << result.standardError;
        EXPECT_EQ(normalized(read->entries), normalized(PipManager::parseInstalled(result.standardOutput).entries))
            << environment.interpreter;
        ++compared;
    }
    if (compared == 0) GTEST_SKIP() << "no Python with pip whose site folders we read";
}

}  // namespace
}  // namespace vt

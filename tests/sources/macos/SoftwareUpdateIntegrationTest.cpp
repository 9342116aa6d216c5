#include <gtest/gtest.h>

#include "presentation/AllUpdatesRowBuilder.hpp"
#include "sources/macos/SoftwareUpdateManager.hpp"
#include "support/Corpus.hpp"
#include "support/TempDir.hpp"
#include "system/AdminPrompt.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

TEST(SoftwareUpdateIntegrationTest, TheToolsListIsCachedAndBecomesRowsWithTheirLabels) {
    testing::TempDir folder;
    // The tool as it answers on a Mac: its listing, with its own log lines, on both streams.
    const std::string listing = folder.write("listing.txt", testing::corpusFile("softwareupdate/munki.list.2024-09-09.monterey.txt"));
    const std::string tool = folder.writeExecutable("softwareupdate", "#!/bin/sh\n[ \"$1\" = --list ] || exit 3\ncat '" + listing + "'\necho 'Software Update Tool' >&2\n");
    CommandRunner runner;
    SystemFileSystemManager files;
    SystemAdminPrompt prompt(runner, files);
    SoftwareUpdateManager::Options options{.cacheFile = folder.file("software_updates_cache.json"),
                                           .tool = tool,
                                           .preferences = folder.file("absent.plist")};
    SoftwareUpdateManager manager(runner, files, prompt, options);
    ASSERT_TRUE(manager.isAvailable());
    std::vector<SoftwareUpdate> found = manager.checkForUpdates();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_FALSE(manager.errorMessage());

    // A later run without a check shows what the last one saved.
    std::vector<SoftwareUpdate> cached = SoftwareUpdateManager(runner, files, prompt, options).cachedUpdates();
    ASSERT_EQ(cached.size(), 3u);
    EXPECT_EQ(cached[1].id, "macOS Monterey 12.7.6-21H1320");
    EXPECT_TRUE(cached[1].isRestart);
    EXPECT_EQ(cached[1].size, "1765616K");

    AllUpdateRow row = AllUpdatesRowBuilder::systemUpdateRow(cached[1]);
    EXPECT_EQ(row.id, "macos:macOS Monterey 12.7.6-21H1320");
    EXPECT_EQ(row.source, "macOS");
    EXPECT_EQ(row.latestVersion, "12.7.6");
    EXPECT_EQ(row.kind, AllUpdateRow::Kind::Software);

    // A failing tool keeps the list and says so.
    SoftwareUpdateManager::Options failing = options;
    failing.tool = folder.writeExecutable("broken", "#!/bin/sh\necho 'softwareupdate: unreachable catalog' >&2\nexit 1\n");
    SoftwareUpdateManager broken(runner, files, prompt, failing);
    EXPECT_TRUE(broken.checkForUpdates().empty());
    ASSERT_TRUE(broken.errorMessage());
    EXPECT_EQ(broken.errorMessage()->rfind("Error while checking: ", 0), 0u);
    EXPECT_EQ(SoftwareUpdateManager(runner, files, prompt, options).cachedUpdates().size(), 3u);
}

}  // namespace
}  // namespace vt

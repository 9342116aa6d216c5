// Spotlight through the real command runner: a stand-in `mdfind` script answers, fails or
// hangs, and the inventory merges or falls back to the walk.
#include <gtest/gtest.h>

#include "base/Log.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "support/Corpus.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunner.hpp"

namespace vt {
namespace {

TEST(ApplicationManagerIntegrationTest, SpotlightResultsMergeWithTheListingOrTheWalkTakesOver) {
    testing::TempDir temp;
    const std::string plist = testing::corpusFile("plists/amethyst-0.14.2b.Info.plist");
    temp.write("Applications/Top.app/Contents/Info.plist", plist);
    temp.write("Applications/Nested/Deep.app/Contents/Info.plist", plist);
    CommandRunner runner;
    auto scan = [&](const std::string& script) {
        ApplicationManager::Options options;
        options.runner = &runner;
        options.fixedRoots = {{temp.file("Applications"), "Applications", 4}};
        options.spotlightTool = temp.writeExecutable("mdfind", "#!/bin/sh\n" + script);
        return ApplicationManager(std::move(options)).scanApplications();
    };

    // Spotlight knows both bundles; the listing finds Top.app again: each once.
    LogCapture log;
    auto found = scan("[ \"$1\" = -onlyin ] || exit 3\necho \"$2/Top.app\"\necho \"$2/Nested/Deep.app\"\n");
    EXPECT_EQ(found.size(), 2u);
    EXPECT_TRUE(log.contains("Spotlight: 2 apps in "));
    EXPECT_TRUE(log.contains("s, listing: 1 apps in "));
    EXPECT_FALSE(log.contains("falling back"));

    // A failing Spotlight, and one that answers nothing: the walk finds both.
    EXPECT_EQ(scan("exit 1\n").size(), 2u);
    EXPECT_TRUE(log.contains("Spotlight scan failed: "));
    EXPECT_EQ(scan("exit 0\n").size(), 2u);
    EXPECT_EQ(log.count("falling back to a recursive scan"), 2u);
}

}  // namespace
}  // namespace vt

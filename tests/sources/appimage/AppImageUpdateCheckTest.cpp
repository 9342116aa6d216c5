// What the AppImage checker decides without the network: which update information applies,
// which release files fit this machine, and when an installed file is hashed again.
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "sources/appimage/AppImageUpdateCheck.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "support/AppImageBuilder.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

// Rewrites a file with other bytes of the same size and puts its times back.
void replaceKeepingTime(const std::string& path, char fill) {
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(0);
        file.put(fill);
    }
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(AppImageHashCacheTest, HashesOnceBySizeAndTimeAndRemembersAcrossRuns) {
    testing::TempDir dir("vt-appimage-hash");
    const std::string file = dir.write("App.AppImage", "first contents");
    const std::string store = dir.file("cache/appimage-sha1.json");
    const std::string first = testing::sha1Of(file);
    {
        AppImageHashCache cache(store);
        EXPECT_EQ(cache.sha1(file), first);
        replaceKeepingTime(file, 'F');  // same size, same time: not read again
        EXPECT_EQ(cache.sha1(file), first);
    }
    AppImageHashCache again(store);  // a later run reads what the first one hashed
    EXPECT_EQ(again.sha1(file), first);
    dir.write("App.AppImage", "second, longer contents");
    EXPECT_EQ(again.sha1(file), testing::sha1Of(file));
    EXPECT_NE(again.sha1(file), first);
    EXPECT_EQ(again.sha1(dir.file("missing")), std::nullopt);
}

TEST(AppImageUpdateCheckerTest, UpdateInformationFirstThenTheRuleCatalogByName) {
    auto rules = std::make_shared<AppRuleCatalogService>(AppRuleCatalogService::build(
        R"([{"bundleIdentifier": "org.acme.Tool", "displayName": "Acme Tool", "aliases": [], "normalizedNames": ["acmetool"],
             "primarySource": "github", "fallbackSources": [], "manualOnly": false, "confidence": "high",
             "github": {"owner": "acme", "repo": "tool"}}])",
        {}));
    AppImageUpdateChecker checker(AppImageUpdateChecker::Options{.rules = rules});

    AppImageFile described{.path = "/x", .name = "Acme Tool", .updateInformation = "zsync|https://example.org/a.zsync"};
    EXPECT_EQ(checker.updateInformation(described)->kind, AppImageUpdateInformation::Kind::Zsync);

    // No update information: the catalog's repository, any AppImage of its latest release.
    AppImageFile bare{.path = "/x", .name = "Acme Tool", .desktopName = "org.acme.Tool.desktop"};
    EXPECT_EQ(checker.updateInformation(bare),
              (AppImageUpdateInformation{AppImageUpdateInformation::Kind::GitHubReleasesDirect, "", "acme", "tool", "latest", "*.AppImage"}));
    // Unreadable update information and no rule: none, and the check says so.
    AppImageFile unknown{.path = "/x", .name = "Unknown", .updateInformation = "bintray-zsync|a|b|c|d"};
    EXPECT_EQ(checker.updateInformation(unknown), std::nullopt);
    EXPECT_THROW(checker.check(unknown, {}), AppImageCheckError);
}

TEST(AppImageUpdateCheckerTest, FilesNamingAnotherProcessorAreNotThisMachines) {
    EXPECT_TRUE(AppImageUpdateChecker::namesOtherArchitecture("App-1.0-aarch64.AppImage", "x86_64"));
    EXPECT_TRUE(AppImageUpdateChecker::namesOtherArchitecture("App-1.0-arm64.AppImage", "x86_64"));
    EXPECT_TRUE(AppImageUpdateChecker::namesOtherArchitecture("App-1.0-i686.AppImage", "x86_64"));
    EXPECT_FALSE(AppImageUpdateChecker::namesOtherArchitecture("App-1.0-amd64.AppImage", "x86_64"));
    EXPECT_FALSE(AppImageUpdateChecker::namesOtherArchitecture("App-1.0.AppImage", "x86_64"));
    EXPECT_TRUE(AppImageUpdateChecker::namesOtherArchitecture("App-1.0-x86_64.AppImage", "aarch64"));
    EXPECT_FALSE(AppImageUpdateChecker::namesOtherArchitecture("App-1.0-arm64.AppImage", "aarch64"));
}

}  // namespace
}  // namespace vt

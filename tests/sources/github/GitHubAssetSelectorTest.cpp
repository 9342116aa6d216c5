#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Json.hpp"
#include "sources/github/GitHubAssetSelector.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "sources/inventory/MachOArchitecture.hpp"
#include "support/Corpus.hpp"
#include "support/TempDir.hpp"
#include "system/Endpoints.hpp"

using namespace vt;

namespace {

std::string bytesOf(std::vector<unsigned> words, bool bigEndian) {
    std::string bytes;
    for (unsigned word : words)
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>((word >> (bigEndian ? 24 - 8 * i : 8 * i)) & 0xFF);
    return bytes;
}

std::vector<GitHubAsset> assetsNamed(const std::vector<std::string>& names) {
    std::vector<GitHubAsset> assets;
    for (const std::string& name : names) assets.push_back({name, "https://downloads.test/" + name, {}, {}});
    return assets;
}

}  // namespace

TEST(GitHubAssetSelector, ScoresRejectsAndChoosesAgainstTheInstalledArchitecture) {
    using Kind = AppArchitectureKind;
    EXPECT_EQ(assetScore("App-1.2-arm64.dmg", Kind::AppleSilicon), 112);
    EXPECT_EQ(assetScore("App-1.2-universal.zip", Kind::AppleSilicon), 98);
    EXPECT_EQ(assetScore("App-1.2-universal.dmg", Kind::AppleSilicon), 128);
    EXPECT_EQ(assetScore("App-1.2-x86_64.pkg", Kind::Intel), 102);
    EXPECT_EQ(assetScore("App-1.2-arm64-x86_64.dmg", Kind::Universal), 115);  // both markers: universal
    EXPECT_EQ(assetScore("App-1.2-mac.zip", Kind::Unknown), 70);
    for (const char* rejected : {"App-1.2-linux-arm64.zip", "App-1.2-win-x64.zip", "App-1.2.exe", "App.AppImage",
                                 "App-1.2.tar.gz", "App-1.2.zip", "App_1.2_amd64.deb", "App-android-arm64.zip"}) {
        EXPECT_EQ(assetScore(rejected, Kind::AppleSilicon), std::nullopt) << rejected;
    }
    // A darwin build names "win-" inside "darwin-"; case and accents do not matter.
    EXPECT_EQ(assetScore("App-1.2-darwin-arm64.zip", Kind::AppleSilicon), 82);
    EXPECT_EQ(assetScore("APP-1.2-MÂCÖS.DMG", Kind::Intel), 100);
    EXPECT_EQ(foldedName("Ünïcödé-Ærø"), "unicode-aro");

    auto assets = assetsNamed({"App-1.2-linux-arm64.zip", "App-1.2-universal.zip", "App-1.2-arm64.dmg"});
    EXPECT_EQ(chooseAsset(assets, Kind::AppleSilicon)->index, 2u);
    assets.push_back(assetsNamed({"App-1.2-universal.dmg"}).front());
    EXPECT_EQ(chooseAsset(assets, Kind::AppleSilicon)->index, 3u);
    EXPECT_EQ(chooseAsset(assetsNamed({"App.exe", "App.deb"}), Kind::Intel), std::nullopt);

    // The real 2017 release: the one asset that says it is for a Mac (the bare .dmg does not).
    Json list = *parseJson(vt::testing::corpusFile("github/hyper.releases-list.2017.json"));
    GitHubRelease newest = parseGitHubRelease(list.at(0));
    ASSERT_EQ(newest.assets.size(), 9u);
    auto choice = chooseAsset(newest.assets, Kind::Intel);
    ASSERT_TRUE(choice);
    EXPECT_EQ(newest.assets[choice->index].name, "hyper-1.3.1-mac.zip");
    EXPECT_EQ(choice->score, 70);

    // Releases since 2025 give each asset's SHA-256 as its digest; nothing else passes for one.
    EXPECT_EQ(newest.assets[choice->index].sha256, std::nullopt);
    Json digested = list.at(0);
    digested["assets"][0]["digest"] = "sha256:" + std::string(64, 'A');
    digested["assets"][1]["digest"] = "sha512:" + std::string(128, 'a');
    digested["assets"][2]["digest"] = "sha256:" + std::string(63, 'a') + "g";
    GitHubRelease withDigests = parseGitHubRelease(digested);
    EXPECT_EQ(withDigests.assets[0].sha256, std::string(64, 'a'));
    EXPECT_EQ(withDigests.assets[1].sha256, std::nullopt);
    EXPECT_EQ(withDigests.assets[2].sha256, std::nullopt);
}

TEST(MachOArchitecture, ReadsFatAndThinHeadersAndRefusesTheRest) {
    using Kind = AppArchitectureKind;
    // Fat: magic, count, then (cputype, subtype, offset, size, align) per architecture.
    const std::string fat = bytesOf({0xCAFEBABE, 2, 0x01000007, 3, 0x4000, 0x100, 14, 0x0100000C, 0, 0x8000, 0x100, 14}, true);
    EXPECT_EQ(machOArchitecture(fat), Kind::Universal);
    EXPECT_EQ(machOArchitecture(bytesOf({0xCAFEBABE, 1, 0x0100000C, 0, 0x4000, 0x100, 14}, true)), Kind::AppleSilicon);
    EXPECT_EQ(machOArchitecture(fat.substr(0, 20)), Kind::Unknown);  // the second entry is cut off
    EXPECT_EQ(machOArchitecture(bytesOf({0xFEEDFACF, 0x0100000C, 0, 2}, false)), Kind::AppleSilicon);
    EXPECT_EQ(machOArchitecture(bytesOf({0xFEEDFACF, 0x01000007, 3, 2}, false)), Kind::Intel);
    EXPECT_EQ(machOArchitecture(bytesOf({0xCAFEBABE, 0x00000034}, true)), Kind::Unknown);  // a Java class file
    EXPECT_EQ(machOArchitecture("#!/bin/sh\n"), Kind::Unknown);
    EXPECT_EQ(machOArchitecture(""), Kind::Unknown);

    vt::testing::TempDir temp;
    temp.write("A.app/Contents/Info.plist",
               R"(<?xml version="1.0"?><plist version="1.0"><dict><key>CFBundleIdentifier</key><string>a</string>)"
               R"(<key>CFBundleExecutable</key><string>A</string></dict></plist>)");
    temp.write("A.app/Contents/MacOS/A", fat + std::string(64, '\0'));
    EXPECT_EQ(bundleArchitecture(temp.file("A.app")), Kind::Universal);
    EXPECT_EQ(bundleArchitecture(temp.file("Missing.app")), Kind::Unknown);
}

TEST(GitHubReleaseNames, TagsRepositoriesAndCategories) {
    EXPECT_EQ(versionFromTag("v1.2.3"), "1.2.3");
    EXPECT_EQ(versionFromTag("V2.0"), "2.0");
    EXPECT_EQ(versionFromTag("app-v1.2.3"), "1.2.3");
    EXPECT_EQ(versionFromTag("Hyper_2.1.0-beta"), "2.1.0-beta");
    EXPECT_EQ(versionFromTag("1.3.1"), "1.3.1");
    EXPECT_EQ(versionFromTag("x264-r3100"), std::nullopt);
    EXPECT_EQ(versionFromTag("nightly"), std::nullopt);

    const std::string web = Endpoints::url(Service::GitHubWeb, "");
    auto found = gitHubRepositoryIn("see " + web + "/owner-1/My.App.git for sources");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id(), "owner-1/My.App");
    found = gitHubRepositoryIn(Endpoints::url(Service::GitHubApi, "/repos/o/r/releases/latest"));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id(), "o/r");
    EXPECT_EQ(gitHubRepositoryIn("https://example.test/owner/repo"), std::nullopt);

    EXPECT_EQ(categoryFromKeywords("WezTerm", "com.github.wez.wezterm"), GitHubAppCategory::Terminal);
    EXPECT_EQ(categoryFromKeywords("Rectangle", "com.knollsoft.Rectangle"), GitHubAppCategory::WindowManager);
    EXPECT_EQ(categoryFromKeywords("Tool", "com.github.tool"), GitHubAppCategory::Developer);
    EXPECT_EQ(categoryFromKeywords("Player", "org.example.player"), GitHubAppCategory::Other);
    EXPECT_THROW(parseGitHubRepositoryTable(R"({"a": {"repository": "no-slash", "category": "other"}})"),
                 GitHubReleasesError);
}

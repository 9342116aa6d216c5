// AppImages built for real in each test (objcopy, mksquashfs) and read back without running them.
#include <filesystem>

#include <gtest/gtest.h>

#include "sources/appimage/AppImageFile.hpp"
#include "sources/appimage/AppImageInventory.hpp"
#include "sources/appimage/AppImageUpdateInformation.hpp"
#include "support/AppImageBuilder.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;
using testing::AppImageSpec;
using testing::buildAppImage;

TEST(AppImageFileTest, ReadsNameVersionAndUpdateInformationFromTheImage) {
    testing::TempDir dir("vt-appimage");
    const std::string path = buildAppImage(
        dir.file("My Tools/Editor 2-x86_64.AppImage"),
        AppImageSpec{.name = "Text Editor", .version = "2.4.1",
                     .updateInformation = "gh-releases-zsync|acme|editor|latest|Editor-*-x86_64.AppImage.zsync",
                     .signature = true, .desktopFile = "org.acme.Editor.desktop"});
    EXPECT_EQ(appImageType(path), 2);
    AppImageFile image = readAppImage(path);
    EXPECT_EQ(image.type, 2);
    EXPECT_EQ(image.name, "Text Editor");  // the [Desktop Entry] Name, not the action's
    EXPECT_EQ(image.version, "2.4.1");
    EXPECT_EQ(image.desktopName, "org.acme.Editor.desktop");
    EXPECT_EQ(image.updateInformation, "gh-releases-zsync|acme|editor|latest|Editor-*-x86_64.AppImage.zsync");
    EXPECT_TRUE(image.isSigned);

    // A desktop file linked into usr/share/applications is followed; no .upd_info text is none.
    const std::string linked = buildAppImage(
        dir.file("Linked.AppImage"), AppImageSpec{.name = "Linked", .version = "0.3", .desktopFileIsLink = true});
    AppImageFile other = readAppImage(linked);
    EXPECT_EQ(other.name, "Linked");
    EXPECT_EQ(other.version, "0.3");
    EXPECT_EQ(other.updateInformation, std::nullopt);
    EXPECT_FALSE(other.isSigned);
}

TEST(AppImageFileTest, NonAppImagesTruncatedFilesAndTypeOneAreToldApart) {
    testing::TempDir dir("vt-appimage");
    // A plain ELF is no AppImage.
    const std::string plain = dir.file("true");
    fs::copy_file("/usr/bin/true", plain);
    EXPECT_EQ(appImageType(plain), std::nullopt);
    EXPECT_THROW(readAppImage(plain), AppImageError);
    EXPECT_EQ(appImageType(dir.write("empty.AppImage", "")), std::nullopt);

    const std::string whole = testing::appImageBytes(AppImageSpec{.name = "Cut", .version = "1.0"});
    // Cut inside the ELF header or its section table: refused, not misread.
    EXPECT_THROW(readAppImage(dir.write("Head.AppImage", whole.substr(0, 40))), AppImageError);
    EXPECT_THROW(readAppImage(dir.write("Table.AppImage", whole.substr(0, whole.size() / 8))), AppImageError);
    // Cut inside the image, past its superblock: the ELF says it is one, the name falls back
    // to the file's.
    const std::size_t start = whole.find("hsqs");
    ASSERT_NE(start, std::string::npos);
    const std::string cut = dir.write("Cut Tool-1.0-x86_64.AppImage", whole.substr(0, start + 200));
    AppImageFile image = readAppImage(cut);
    EXPECT_EQ(image.name, "Cut Tool");
    EXPECT_EQ(image.version, std::nullopt);

    // Type 1 keeps its update information at a fixed place of its ISO 9660 image.
    std::string typeOne(40000, '\0');
    std::copy_n(whole.begin(), 8, typeOne.begin());
    typeOne[8] = 'A';
    typeOne[9] = 'I';
    typeOne[10] = 1;
    const std::string info = "zsync|https://example.invalid/Old.AppImage.zsync";
    std::copy(info.begin(), info.end(), typeOne.begin() + 33651);
    AppImageFile old = readAppImage(dir.write("Old_App-0.9.AppImage", typeOne));
    EXPECT_EQ(old.type, 1);
    EXPECT_EQ(old.name, "Old_App");
    EXPECT_EQ(old.updateInformation, info);
}

TEST(AppImageFileTest, DesktopEntriesAndFileNames) {
    DesktopEntry entry = parseDesktopEntry(
        "# comment\n[Desktop Action x]\nName=Action\n[Desktop Entry]\nName[fr]=Éditeur\nName = Editor \n"
        "X-AppImage-Version=\nX-AppImage-Version=3.1\n");
    EXPECT_EQ(entry.name, "Editor");
    EXPECT_EQ(entry.version, "3.1");  // an empty value is no version
    EXPECT_EQ(parseDesktopEntry("Name=Outside\n").name, std::nullopt);

    EXPECT_EQ(appImageNameFromFile("Krita-5.2.2-x86_64.AppImage"), "Krita");
    EXPECT_EQ(appImageNameFromFile("obsidian_v1.5.3_amd64.AppImage"), "obsidian");
    EXPECT_EQ(appImageNameFromFile("Some Tool.AppImage"), "Some Tool");
    EXPECT_EQ(appImageNameFromFile("tool-x86_64.AppImage"), "tool");
    EXPECT_EQ(appImageNameFromFile("1.0.AppImage"), "1.0");
}

TEST(AppImageUpdateInformationTest, ReadsTheThreeFormsAndRefusesTheRest) {
    using Kind = AppImageUpdateInformation::Kind;
    EXPECT_EQ(parseAppImageUpdateInformation("zsync|https://dl.example.org/App-latest.AppImage.zsync\n"),
              (AppImageUpdateInformation{Kind::Zsync, "https://dl.example.org/App-latest.AppImage.zsync"}));
    EXPECT_EQ(parseAppImageUpdateInformation("gh-releases-zsync|owner|repo.name|latest|App-*x86_64.AppImage.zsync"),
              (AppImageUpdateInformation{Kind::GitHubReleasesZsync, "", "owner", "repo.name", "latest", "App-*x86_64.AppImage.zsync"}));
    EXPECT_EQ(parseAppImageUpdateInformation("gh-releases-direct|o|r|v2.0|*.AppImage"),
              (AppImageUpdateInformation{Kind::GitHubReleasesDirect, "", "o", "r", "v2.0", "*.AppImage"}));

    for (const char* bad : {"", "zsync", "zsync|ftp://x/y.zsync", "zsync|file:///etc/passwd", "zsync|https://a b",
                            "gh-releases-zsync|o|r|latest", "gh-releases-zsync|../x|r|latest|*", "gh-releases-direct|o|r||*",
                            "bintray-zsync|a|b|c|d", "gh-releases-zsync|o|r|a/../../b|*"}) {
        EXPECT_EQ(parseAppImageUpdateInformation(bad), std::nullopt) << bad;
    }

    EXPECT_TRUE(matchesAssetPattern("App-*-x86_64.AppImage", "App-1.2.3-x86_64.AppImage"));
    EXPECT_TRUE(matchesAssetPattern("*.AppImage", "x.AppImage"));
    EXPECT_TRUE(matchesAssetPattern("a*b*c", "aXbYbZc"));
    EXPECT_FALSE(matchesAssetPattern("App-*-x86_64.AppImage", "App-1.2.3-x86_64.AppImage.zsync"));
    EXPECT_FALSE(matchesAssetPattern("App-*.AppImage", "Other-1.AppImage"));
}

TEST(AppImageUpdateInformationTest, ReadsTheZsyncHeaderAndResolvesItsAddress) {
    ZsyncHeader header = parseZsyncHeader(
        "zsync: 0.6.2\nFilename: App-2.1.0-x86_64.AppImage\nMTime: Tue, 05 Dec 2026 10:00:00 +0000\n"
        "Blocksize: 2048\nLength: 123456\nHash-Lengths: 2,2,5\nURL: App-2.1.0-x86_64.AppImage\n"
        "SHA-1: 0123456789ABCDEF0123456789abcdef01234567\n\n\x01\x02\xff binary checksums");
    EXPECT_EQ(header.filename, "App-2.1.0-x86_64.AppImage");
    EXPECT_EQ(header.length, 123456u);
    EXPECT_EQ(header.sha1, "0123456789abcdef0123456789abcdef01234567");
    EXPECT_EQ(header.url, "App-2.1.0-x86_64.AppImage");
    EXPECT_EQ(header.mtime, "Tue, 05 Dec 2026 10:00:00 +0000");

    EXPECT_THROW(parseZsyncHeader("Filename: a\nSHA-1: 0123456789abcdef0123456789abcdef01234567\n"), ZsyncHeaderError);
    EXPECT_THROW(parseZsyncHeader("zsync: 0.6.2\nFilename: a\nSHA-1: 0123\n"), ZsyncHeaderError);
    EXPECT_THROW(parseZsyncHeader("zsync: 0.6.2\nFilename: ../a\nSHA-1: 0123456789abcdef0123456789abcdef01234567\n"),
                 ZsyncHeaderError);

    EXPECT_EQ(resolveRelativeAddress("https://h.example/d/a.zsync?x=1", "a.AppImage"), "https://h.example/d/a.AppImage");
    EXPECT_EQ(resolveRelativeAddress("https://h.example/d/a.zsync", "/top/a.AppImage"), "https://h.example/top/a.AppImage");
    EXPECT_EQ(resolveRelativeAddress("https://h.example/d/a.zsync", "http://o.example/b"), "http://o.example/b");
    EXPECT_EQ(versionFromFileName("App-2.1.0-x86_64.AppImage"), "2.1.0");
    EXPECT_EQ(versionFromFileName("App_v3.0rc1.AppImage"), "3.0rc1");
    EXPECT_EQ(versionFromFileName("App-latest-x86_64.AppImage"), std::nullopt);
}

TEST(AppImageScannerTest, FindsImagesInTheUsualFoldersWithinBoundsAndWithoutLoops) {
    testing::TempDir home("vt-appimage-home");
    testing::TempDir opt("vt-appimage-opt");
    testing::TempDir extra("vt-appimage-extra");
    buildAppImage(home.file("Applications/Tools/Deep.AppImage"), AppImageSpec{.name = "Deep"});
    buildAppImage(home.file(".local/bin/cli-tool"), AppImageSpec{.name = "Cli"});  // no extension needed
    buildAppImage(opt.file("vendor/Vendor.AppImage"), AppImageSpec{.name = "Vendor"});
    buildAppImage(opt.file("vendor/lib/TooDeep.AppImage"), AppImageSpec{.name = "TooDeep"});
    buildAppImage(extra.file("Extra.AppImage"), AppImageSpec{.name = "Extra"});
    fs::copy_file("/usr/bin/true", home.file(".local/bin/true"));
    home.write("Applications/Broken.AppImage", testing::appImageBytes().substr(0, 100));
    // A loop back to the home, a link to an image already listed, and a link to the extra folder.
    fs::create_symlink(home.path(), home.file("Applications/loop"));
    fs::create_directories(home.file("bin"));
    fs::create_symlink(home.file("Applications/Tools/Deep.AppImage"), home.file("bin/deep"));
    fs::create_symlink(extra.path(), home.file("Applications/extra"));

    AppImageScanner scanner(AppImageScanner::Options{.home = home.path(), .optFolder = opt.path(),
                                                     .additionalFolders = [&] { return std::vector{extra.path()}; }});
    AppImageInventory inventory = scanner.scan();
    std::vector<std::string> names;
    for (const AppImageFile& image : inventory.images) names.push_back(image.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Cli", "Deep", "Extra", "Vendor"}));
    ASSERT_EQ(inventory.errors.size(), 1u);
    EXPECT_NE(inventory.errors[0].find("Broken.AppImage"), std::string::npos);
    EXPECT_GE(inventory.symlinksSkipped, 2);
}

}  // namespace
}  // namespace vt

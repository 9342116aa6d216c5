// `vantreel scan`, `apps` and `update` over a sandbox ~/Applications of AppImages built for real,
// against a loopback GitHub API and zsync server; firmware from a fake fwupdmgr in the
// sandbox's ~/.local/bin that prints fwupd's JSON and logs its calls (fwupd's daemon cannot
// run here).
#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "sources/appimage/AppImageFile.hpp"
#include "support/AppImageBuilder.hpp"
#include "support/Fixtures.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::AppImageSpec;
using testing::runVantreel;

std::string zsyncFor(const std::string& name, const std::string& bytes) {
    testing::TempDir dir("vt-zsync");
    return "zsync: 0.6.2\nFilename: " + name + "\nBlocksize: 2048\nLength: " + std::to_string(bytes.size()) +
           "\nURL: " + name + "\nSHA-1: " + testing::sha1Of(dir.write("f", bytes)) + "\n\n";
}

class AppImageE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowAppImages"});
        editor_ = testing::buildAppImage(
            home_.file("Applications/Editor.AppImage"),
            AppImageSpec{.name = "Editor", .version = "1.0.0",
                         .updateInformation = "gh-releases-zsync|acme|editor|latest|Editor-*-x86_64.AppImage.zsync"});
        viewer_ = testing::buildAppImage(
            home_.file("Applications/Viewer.AppImage"),
            AppImageSpec{.name = "Viewer", .version = "2.0",
                         .updateInformation = "zsync|" + server_.url("/viewer/Viewer-2.1-x86_64.AppImage.zsync")});
        testing::buildAppImage(home_.file("Applications/Plain Tool.AppImage"), AppImageSpec{.name = "Plain Tool"});

        newEditor_ = testing::appImageBytes(AppImageSpec{.name = "Editor", .version = "1.1.0", .payload = "new"});
        Json release = {{"tag_name", "v1.1.0"},
                        {"html_url", "https://example.invalid"},
                        {"assets",
                         {{{"name", "Editor-1.1.0-x86_64.AppImage.zsync"},
                           {"browser_download_url", server_.url("/dl/Editor-1.1.0-x86_64.AppImage.zsync")}}}}};
        server_.setRoute("/repos/acme/editor/releases/latest", {.body = release.dump()});
        server_.setRoute("/dl/Editor-1.1.0-x86_64.AppImage.zsync",
                         {.body = zsyncFor("Editor-1.1.0-x86_64.AppImage", newEditor_), .contentType = "application/octet-stream"});
        server_.setRoute("/dl/Editor-1.1.0-x86_64.AppImage", {.body = newEditor_, .contentType = "application/octet-stream"});
        const std::string newViewer = testing::appImageBytes(AppImageSpec{.name = "Viewer", .version = "2.1", .payload = "new"});
        server_.setRoute("/viewer/Viewer-2.1-x86_64.AppImage.zsync",
                         {.body = zsyncFor("Viewer-2.1-x86_64.AppImage", newViewer), .contentType = "application/octet-stream"});
        // Tampered on the way: not the file the control file describes.
        server_.setRoute("/viewer/Viewer-2.1-x86_64.AppImage",
                         {.body = testing::appImageBytes(AppImageSpec{.name = "Viewer", .version = "2.1", .payload = "bad"}),
                          .contentType = "application/octet-stream"});
    }

    testing::VantreelRun run(std::vector<std::string> arguments) const {
        return {std::move(arguments), home_.path(),
                {{"VANTREEL_SCANNER_TIMEOUT", "30"}, {"VANTREEL_ENDPOINT_GITHUB_API", server_.origin()}}};
    }

    testing::LoopbackServer server_;
    testing::TempDir home_{"vt-appimage-e2e"};
    std::string editor_, viewer_, newEditor_;
};

TEST_F(AppImageE2ETest, ScanShowsTwoUpdatesUpdateVerifiesAndATamperedDownloadChangesNothing) {
    auto scan = runVantreel(run({"--accept-terms", "scan", "--json"}));
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    std::map<std::string, Json> items = testing::itemsByKey(testing::jsonOf(scan));
    ASSERT_TRUE(items.count("package:appimage:" + editor_)) << scan.standardOutput;
    EXPECT_EQ(items["package:appimage:" + editor_]["latestVersion"], "1.1.0");
    EXPECT_EQ(items["package:appimage:" + viewer_]["latestVersion"], "2.1");
    int updates = 0;
    for (const auto& [key, item] : items) updates += item.value("updateAvailable", false) ? 1 : 0;
    EXPECT_EQ(updates, 2);

    auto apps = runVantreel(run({"--accept-terms", "apps", "--json"}));
    ASSERT_EQ(apps.exitCode, 0) << apps.standardError;
    Json listed = testing::jsonOf(apps);
    std::map<std::string, std::string> kinds;
    for (const Json& entry : listed["applications"]) kinds[entry.value("name", "")] = entry.value("kind", "");
    EXPECT_EQ(kinds["Plain Tool"], "appimage");
    EXPECT_EQ(kinds["Editor"], "appimage");

    // Without --yes and without a terminal, nothing happens.
    const std::string before = readFile(editor_).value();
    auto refused = runVantreel(run({"--accept-terms", "update", "Editor"}));
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_EQ(readFile(editor_), before);

    auto dryRun = runVantreel(run({"--accept-terms", "update", "--dry-run", "Editor"}));
    EXPECT_EQ(dryRun.exitCode, 0) << dryRun.standardError;
    EXPECT_NE(dryRun.standardOutput.find("1.1.0"), std::string::npos) << dryRun.standardOutput;
    EXPECT_EQ(readFile(editor_), before);

    auto update = runVantreel(run({"--accept-terms", "update", "--yes", "Editor"}));
    EXPECT_EQ(update.exitCode, 0) << update.standardOutput << update.standardError;
    EXPECT_EQ(readFile(editor_), newEditor_);
    EXPECT_FALSE(std::filesystem::exists(editor_ + ".previous"));

    const std::string viewerBefore = readFile(viewer_).value();
    auto tampered = runVantreel(run({"--accept-terms", "update", "--yes", "Viewer"}));
    EXPECT_EQ(tampered.exitCode, 1);
    EXPECT_NE((tampered.standardOutput + tampered.standardError).find("nothing was changed"), std::string::npos)
        << tampered.standardOutput << tampered.standardError;
    EXPECT_EQ(readFile(viewer_), viewerBefore);
}

TEST(FirmwareE2ETest, DeviceUpdatesAreRowsSecurityCountsAndAUsersOwnFwupdmgrNeverRunsAsRoot) {
    testing::TempDir home("vt-firmware-e2e");
    testing::showOnly(home.path(), {"ShowFirmware"});
    home.write("devices.json", testing::fixture("fwupd", "devices.json"));
    home.write("updates.json", testing::fixture("fwupd", "updates-several.json"));
    home.writeExecutable(".local/bin/fwupdmgr", "#!/bin/sh\necho \"$*\" >> \"$HOME/fwupdmgr.log\"\n"
                                                "case \"$1\" in\n"
                                                "  get-devices) cat \"$HOME/devices.json\" ;;\n"
                                                "  get-updates) cat \"$HOME/updates.json\" ;;\n"
                                                "  *) echo \"unexpected $*\" >&2; exit 1 ;;\nesac\n");
    testing::VantreelRun scanRun{{"--accept-terms", "scan", "--json"}, home.path(), {{"VANTREEL_SCANNER_TIMEOUT", "30"}}};
    auto scan = runVantreel(scanRun);
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    std::map<std::string, Json> items = testing::itemsByKey(testing::jsonOf(scan));
    const std::string system = "package:firmware:a45df35ac0e948ee180fe216a5f703f32dda163f";
    ASSERT_TRUE(items.count(system)) << scan.standardOutput;
    EXPECT_EQ(items[system]["latestVersion"], "3.19");
    EXPECT_EQ(items[system].value("isSecurityUpdate", false), true);
    EXPECT_EQ(items["package:firmware:599ead362818be284e800cbc30d4c29f934086c3"].value("isSecurityUpdate", false), false);

    // The fake is not the system's /usr/bin/fwupdmgr: the administrator prompt refuses it.
    testing::VantreelRun updateRun{{"--accept-terms", "update", "--yes", "System Firmware"}, home.path(), {}};
    auto update = runVantreel(updateRun);
    EXPECT_EQ(update.exitCode, 1);
    EXPECT_EQ(readFile(home.file("fwupdmgr.log")).value_or("").find("update a45df"), std::string::npos);
}

}  // namespace
}  // namespace vt
